// Windows disk idle counters: the Performance Data Helper for the "PhysicalDisk" instance names, and WMI
// through COM (a refresher over the raw performance class) for the samples. The COM objects of a session
// are created, used and released on the thread that opened it, inside its multithreaded apartment.
#include <windows.h>
#include <objbase.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <wbemidl.h>

#include <new>
#include <vector>

#include "platform/DiskCounters.h"

namespace kestrel::perf {
namespace {

static_assert(kPdhMoreData == static_cast<std::int32_t>(PDH_MORE_DATA));
static_assert(kPdhNoObject == static_cast<std::int32_t>(PDH_CSTATUS_NO_OBJECT));

// An owned COM interface reference.
template <class T>
class ComRef {
  public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T** Out() {
        Reset();
        return &p_;
    }
    void Reset() {
        if (p_ != nullptr)
            p_->Release();
        p_ = nullptr;
    }
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// A BSTR for one call.
class Bstr {
  public:
    explicit Bstr(const std::wstring& text) : b_(SysAllocString(text.c_str())) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }

  private:
    BSTR b_;
};

class WmiAccess : public CounterAccess {
  public:
    explicit WmiAccess(IWbemObjectAccess* access) : access_(access) {}
    ~WmiAccess() override { access_->Release(); }
    std::int32_t GetPropertyHandle(const std::wstring& property, std::int32_t& handle) override {
        long value = 0;
        const HRESULT hr = access_->GetPropertyHandle(property.c_str(), nullptr, &value);
        if (SUCCEEDED(hr))
            handle = static_cast<std::int32_t>(value);
        return static_cast<std::int32_t>(hr);
    }
    bool ReadQword(std::int32_t handle, std::uint64_t& value) override {
        unsigned __int64 read = 0;
        if (FAILED(access_->ReadQWORD(handle, &read)))
            return false;
        value = read;
        return true;
    }

  private:
    IWbemObjectAccess* access_;
};

class WmiRefresher : public Refresher {
  public:
    WmiRefresher(IWbemServices* services, IWbemRefresher* refresher, IWbemConfigureRefresher* configurer)
        : services_(services), refresher_(refresher), configurer_(configurer) {
        services_->AddRef();
    }
    ~WmiRefresher() override {
        configurer_->Release();
        refresher_->Release();
        services_->Release();
    }
    AddResult AddObjectByPath(const std::wstring& objectPath, std::int32_t& error,
                              std::unique_ptr<CounterAccess>& access) override {
        ComRef<IWbemClassObject> object;
        const HRESULT hr =
            configurer_->AddObjectByPath(services_, objectPath.c_str(), 0, nullptr, object.Out(), nullptr);
        if (FAILED(hr)) {
            error = static_cast<std::int32_t>(hr);
            return AddResult::Failed;
        }
        if (!object)
            return AddResult::NoObject;
        IWbemObjectAccess* objectAccess = nullptr;
        const HRESULT query =
            object->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(&objectAccess));
        if (FAILED(query) || objectAccess == nullptr) {
            error = static_cast<std::int32_t>(query);
            return AddResult::Failed;
        }
        access = std::make_unique<WmiAccess>(objectAccess);
        return AddResult::Added;
    }
    void Refresh() override { refresher_->Refresh(0); }

  private:
    IWbemServices* services_;
    IWbemRefresher* refresher_;
    IWbemConfigureRefresher* configurer_;
};

class WmiSession : public CounterSession {
  public:
    ~WmiSession() override {
        services_.Reset();
        locator_.Reset();
        if (initialized_)
            CoUninitialize();
    }
    std::int32_t Initialize() override {
        initialized_ = true;
        return static_cast<std::int32_t>(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    bool Connect() override {
        if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    reinterpret_cast<void**>(locator_.Out()))))
            return false;
        Bstr space(L"\\\\.\\root\\cimv2");
        return SUCCEEDED(locator_->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                 services_.Out()));
    }
    std::int32_t SetProxyBlanket() override {
        ComRef<IUnknown> unknown;
        HRESULT hr = services_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.Out()));
        if (FAILED(hr))
            return static_cast<std::int32_t>(hr);
        hr = CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        if (FAILED(hr))
            return static_cast<std::int32_t>(hr);
        hr = CoSetProxyBlanket(unknown.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        return FAILED(hr) ? static_cast<std::int32_t>(hr) : 0;
    }
    std::unique_ptr<Refresher> CreateRefresher() override {
        if (!services_)
            return nullptr;
        IWbemRefresher* refresher = nullptr;
        if (FAILED(CoCreateInstance(CLSID_WbemRefresher, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemRefresher,
                                    reinterpret_cast<void**>(&refresher))) ||
            refresher == nullptr)
            return nullptr;
        IWbemConfigureRefresher* configurer = nullptr;
        if (FAILED(refresher->QueryInterface(IID_IWbemConfigureRefresher,
                                             reinterpret_cast<void**>(&configurer))) ||
            configurer == nullptr) {
            refresher->Release();
            return nullptr;
        }
        return std::make_unique<WmiRefresher>(services_.get(), refresher, configurer);
    }

  private:
    bool initialized_ = false;
    ComRef<IWbemLocator> locator_;
    ComRef<IWbemServices> services_;
};

// Wine's pdh exports PdhEnumObjectsW as a stub that raises an exception when called (and has no
// "PhysicalDisk" object anyway); the refresh is skipped there, so that the enumeration answers "no object"
// instead of ending the process.
bool PdhCallIsStub() {
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

class Win32DiskCounters : public DiskCounters {
  public:
    std::int32_t RefreshObjects() override {
        if (PdhCallIsStub())
            return static_cast<std::int32_t>(PDH_CSTATUS_NO_OBJECT);
        DWORD length = 0;
        return static_cast<std::int32_t>(
            PdhEnumObjectsW(nullptr, nullptr, nullptr, &length, PERF_DETAIL_WIZARD, TRUE));
    }
    std::int32_t ObjectItemLengths(const std::wstring& object, std::uint32_t& counterLength,
                                   std::uint32_t& instanceLength, std::uint32_t& lastError) override {
        DWORD counters = 0;
        DWORD instances = 0;
        const PDH_STATUS status = PdhEnumObjectItemsW(nullptr, nullptr, object.c_str(), nullptr, &counters,
                                                      nullptr, &instances, PERF_DETAIL_WIZARD, 0);
        lastError = GetLastError();
        counterLength = counters;
        instanceLength = instances;
        return static_cast<std::int32_t>(status);
    }
    std::int32_t ObjectItems(const std::wstring& object, std::uint32_t counterLength,
                             std::uint32_t instanceLength, std::vector<std::wstring>& instances) override {
        std::vector<wchar_t> counterList;
        std::vector<wchar_t> instanceList;
        try {
            counterList.assign(counterLength + 1, L'\0');
            instanceList.assign(instanceLength + 2, L'\0');
        } catch (const std::bad_alloc&) {
            return kPdhNoMemory;
        }
        DWORD counters = counterLength;
        DWORD names = instanceLength;
        const PDH_STATUS status =
            PdhEnumObjectItemsW(nullptr, nullptr, object.c_str(), counterList.data(), &counters,
                                instanceList.data(), &names, PERF_DETAIL_WIZARD, 0);
        if (status != ERROR_SUCCESS)
            return static_cast<std::int32_t>(status);
        instances.clear();
        // A multi-string: names one after another, each ending in a null, the list in an empty name.
        for (const wchar_t* name = instanceList.data(); *name != L'\0';) {
            instances.emplace_back(name);
            name += instances.back().size() + 1;
        }
        return 0;
    }
    std::unique_ptr<CounterSession> OpenSession() override { return std::make_unique<WmiSession>(); }
};

}  // namespace

DiskCounters& DefaultDiskCounters() {
    static Win32DiskCounters counters;
    return counters;
}

}  // namespace kestrel::perf
