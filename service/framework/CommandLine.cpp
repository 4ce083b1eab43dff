// The service program's command line: "-v" (version and whether installed), "-i" (install), "-u"
// (remove); anything else runs the service.
#include "service/framework/CNTService.h"
#include "service/framework/EventMessages.h"

namespace kestrel {
namespace {
// The switch letter of "-x" in either case; 0 for anything else. Only ASCII letters fold, so that no
// other character can pass for a switch.
wchar_t SwitchLetter(const std::wstring& argument) {
    if (argument.size() != 2 || argument[0] != L'-')
        return 0;
    wchar_t c = argument[1];
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring EventSourceKey(const std::wstring& name) {
    return std::wstring(CNTService::kEventLogKey) + L"\\" + name;
}
}  // namespace

bool CNTService::IsConsoleSwitch(const std::wstring& argument) {
    const wchar_t letter = SwitchLetter(argument);
    return letter == L'v' || letter == L'i' || letter == L'u';
}

bool CNTService::ParseCommandLine(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 2)
        return false;
    switch (SwitchLetter(arguments[1])) {
        case L'v':
            Print(Format(L"%s Version %d.%d\n", name_, majorVersion_, minorVersion_));
            Print(Format(L"The service is %s installed\n", QueryInstalled() ? L"currently" : L"not"));
            return true;
        case L'i':
            if (QueryInstalled()) {
                Print(Format(L"%s is already installed\n", name_));
            } else if (InstallService()) {
                Print(Format(L"%s installed\n", name_));
            } else {
                std::uint32_t error = host_.LastError();
                Print(Format(L"%s failed to install. Error %d\n", name_, static_cast<std::int32_t>(error)));
                // The exit code tells scripts that the action failed.
                SetExitCode(error != 0 ? error : svc::kErrorServiceSpecificError, error != 0 ? 0 : 1);
            }
            return true;
        case L'u':
            if (!QueryInstalled()) {
                Print(Format(L"%s is not installed\n", name_));
            } else if (RemoveService()) {
                Print(Format(L"%s removed.\n", name_));
            } else {
                std::uint32_t error = host_.LastError();
                Print(Format(L"Could not remove %s. Error %d\n", name_, static_cast<std::int32_t>(error)));
                SetExitCode(error != 0 ? error : svc::kErrorServiceSpecificError, error != 0 ? 0 : 1);
            }
            return true;
        default:
            return false;
    }
}

bool CNTService::RunDispatcher() {
    Trace(L"Calling StartServiceCtrlDispatcher()");
    bool result = host_.StartDispatcher(
        name_, [this](const std::vector<std::wstring>& arguments) { ServiceMain(arguments); });
    Trace(L"Returned from StartServiceCtrlDispatcher()");
    return result;
}

bool CNTService::QueryInstalled() {
    svc::UniqueScHandle manager = host_.Own(host_.OpenManager(svc::kManagerAllAccess));
    if (!manager)
        return false;
    svc::UniqueScHandle service =
        host_.Own(host_.OpenServiceRecord(manager.get(), name_, svc::kServiceQueryConfig));
    return service.valid();
}

bool CNTService::InstallService() {
    svc::UniqueScHandle manager = host_.Own(host_.OpenManager(svc::kManagerAllAccess));
    if (!manager)
        return false;
    const std::wstring path = host_.ModulePath();
    svc::ServiceConfig config;
    config.name = name_;
    config.displayName = name_;
    config.access = svc::kServiceAllAccess;
    config.serviceType = svc::kServiceWin32OwnProcess;
    config.startType = svc::kServiceAutoStart;
    config.errorControl = svc::kServiceErrorNormal;
    // Quoted, so that no program placed earlier on a path with spaces is started in its stead, with the
    // service's rights. The event-log message file below is a plain file name and stays unquoted.
    config.imagePath = L"\"" + path + L"\"";
    svc::UniqueScHandle service = host_.Own(host_.CreateServiceRecord(manager.get(), config));
    if (!service)
        return false;

    // Record the event source; the service entry stays even when this fails.
    std::uint32_t error = reg::kErrorSuccess;
    reg::Key key = registry_.Create(reg::kLocalMachine, EventSourceKey(name_),
                                    reg::kKeyRead | reg::kKeyCreateSubKey | reg::kKeySetValue, &error);
    if (key)
        error = registry_.SetValue(key.get(), L"EventMessageFile", reg::Value::ExpandString(path));
    if (key && error == reg::kErrorSuccess) {
        error = registry_.SetValue(key.get(), L"TypesSupported", reg::Value::Dword(7));
    }
    key.reset();
    if (error != reg::kErrorSuccess) {
        service.reset();
        manager.reset();
        host_.SetLastError(error);
        return false;
    }
    ReportLogEvent(svc::kEventInformation, events::kServiceInstalled, name_);
    return true;
}

bool CNTService::RemoveService() {
    svc::UniqueScHandle manager = host_.Own(host_.OpenManager(svc::kManagerAllAccess));
    if (!manager)
        return false;
    bool removed = false;
    std::uint32_t error = svc::kErrorSuccess;
    {
        svc::UniqueScHandle service =
            host_.Own(host_.OpenServiceRecord(manager.get(), name_, svc::kServiceDelete));
        if (!service) {
            error = host_.LastError();
        } else if (host_.DeleteServiceRecord(service.get())) {
            ReportLogEvent(svc::kEventInformation, events::kServiceRemoved, name_);
            removed = true;
        } else {
            error = host_.LastError();
            ReportLogEvent(svc::kEventError, events::kServiceNotRemoved, name_);
        }
    }
    manager.reset();
    // The event source goes whether or not the service could be opened.
    registry_.DeleteTree(reg::kLocalMachine, EventSourceKey(name_));
    host_.SetLastError(error);
    return removed;
}

int RunServiceProgram(CNTService& service, const std::vector<std::wstring>& arguments) {
    if (!service.ParseCommandLine(arguments))
        service.RunDispatcher();
    return static_cast<int>(service.Status().win32ExitCode);
}

}  // namespace kestrel
