#include "platform/MemoryRegistry.h"

#include <cwctype>

namespace kestrel::reg {

bool SplitKeyPath(std::wstring_view path, bool allowLeading, std::vector<std::wstring>* names) {
    names->clear();
    if (!path.empty() && path.front() == L'\\') {
        if (!allowLeading)
            return false;
        path.remove_prefix(1);
    }
    if (!path.empty() && path.back() == L'\\')
        path.remove_suffix(1);
    if (path.empty())
        return true;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find(L'\\', start);
        std::wstring_view name = path.substr(start, end == std::wstring_view::npos ? end : end - start);
        if (name.empty() || name.size() > kMaxKeyNameLength)
            return false;
        names->emplace_back(name);
        if (end == std::wstring_view::npos)
            return true;
        start = end + 1;
    }
}

MemoryRegistry::MemoryRegistry() = default;
MemoryRegistry::~MemoryRegistry() = default;

std::wstring MemoryRegistry::Fold(std::wstring_view name) {
    std::wstring folded(name);
    for (wchar_t& c : folded)
        c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
    return folded;
}

std::uint32_t MemoryRegistry::BeginOperation(bool) {
    return kErrorSuccess;
}
std::uint32_t MemoryRegistry::EndOperation(bool) {
    return kErrorSuccess;
}

template <class Operation>
std::uint32_t MemoryRegistry::Run(bool write, Operation&& operation) {
    std::lock_guard lock(mutex_);
    std::uint32_t error = BeginOperation(write);
    if (error != kErrorSuccess)
        return error;
    bool changed = false;
    std::uint32_t result = operation(changed);
    std::uint32_t end = EndOperation(changed);
    return result != kErrorSuccess ? result : end;
}

MemoryRegistry::Node* MemoryRegistry::Walk(Node* from, const std::vector<std::wstring>& folded) {
    Node* node = from;
    for (const std::wstring& name : folded) {
        auto it = node->keys.find(name);
        if (it == node->keys.end())
            return nullptr;
        node = it->second.get();
    }
    return node;
}

MemoryRegistry::Resolved MemoryRegistry::Resolve(RawKey key, std::uint32_t required) {
    Resolved r = Resolve(key);
    if (r.error == kErrorSuccess && (r.access & required) != required)
        r.error = kErrorAccessDenied;
    return r;
}

MemoryRegistry::Resolved MemoryRegistry::Resolve(RawKey key) {
    Resolved r;
    if (key == kLocalMachine || key == kCurrentUser) {
        r.root = key;
        r.node = key == kLocalMachine ? &tree_.localMachine : &tree_.currentUser;
        r.access = kKeyAllAccess;
        return r;
    }
    auto it = handles_.find(key);
    if (it == handles_.end()) {
        r.error = kErrorInvalidHandle;
        return r;
    }
    r.root = it->second.root;
    r.path = it->second.path;
    r.access = it->second.access;
    r.node = Walk(r.root == kLocalMachine ? &tree_.localMachine : &tree_.currentUser, r.path);
    if (r.node == nullptr)
        r.error = kErrorKeyDeleted;
    return r;
}

RawKey MemoryRegistry::NewHandle(RawKey root, std::vector<std::wstring> path, std::uint32_t access) {
    // Handle values stay clear of the roots' values.
    if (next_ >= kCurrentUser)
        next_ = 1;
    while (handles_.count(next_) != 0)
        ++next_;
    RawKey key = next_++;
    handles_[key] = Handle{root, std::move(path), access};
    return key;
}

std::uint32_t MemoryRegistry::OpenKey(RawKey parent, std::wstring_view subKey, std::uint32_t access,
                                      RawKey* out) {
    *out = kNoKey;
    return Run(false, [&](bool&) {
        Resolved base = Resolve(parent);
        if (base.error != kErrorSuccess)
            return base.error;
        std::vector<std::wstring> names;
        if (!SplitKeyPath(subKey, true, &names))
            return kErrorBadPathname;
        for (std::wstring& name : names)
            name = Fold(name);
        if (Walk(base.node, names) == nullptr)
            return kErrorFileNotFound;
        std::vector<std::wstring> path = base.path;
        path.insert(path.end(), names.begin(), names.end());
        *out = NewHandle(base.root, std::move(path), access);
        return kErrorSuccess;
    });
}

std::uint32_t MemoryRegistry::CreateKey(RawKey parent, std::wstring_view subKey, std::uint32_t access,
                                        RawKey* out, bool* created) {
    *out = kNoKey;
    if (created != nullptr)
        *created = false;
    return Run(true, [&](bool& changed) {
        Resolved base = Resolve(parent);
        if (base.error != kErrorSuccess)
            return base.error;
        std::vector<std::wstring> names;
        if (!SplitKeyPath(subKey, false, &names))
            return kErrorBadPathname;
        Node* node = base.node;
        std::vector<std::wstring> path = base.path;
        bool made = false;
        for (const std::wstring& name : names) {
            std::wstring folded = Fold(name);
            auto it = node->keys.find(folded);
            if (it == node->keys.end()) {
                if (node == base.node && (base.access & kKeyCreateSubKey) == 0)
                    return kErrorAccessDenied;
                auto child = std::make_unique<Node>();
                child->name = name;
                it = node->keys.emplace(folded, std::move(child)).first;
                made = changed = true;
            } else {
                made = false;
            }
            node = it->second.get();
            path.push_back(std::move(folded));
        }
        if (created != nullptr)
            *created = made;
        *out = NewHandle(base.root, std::move(path), access);
        return kErrorSuccess;
    });
}

void MemoryRegistry::CloseKey(RawKey key) noexcept {
    std::lock_guard lock(mutex_);
    handles_.erase(key);
}

std::size_t MemoryRegistry::OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::uint32_t MemoryRegistry::QueryValue(RawKey key, std::wstring_view name, Value* out) {
    return Run(false, [&](bool&) {
        Resolved r = Resolve(key, kKeyQueryValue);
        if (r.error != kErrorSuccess)
            return r.error;
        auto it = r.node->values.find(Fold(name));
        if (it == r.node->values.end())
            return kErrorFileNotFound;
        *out = it->second.second;
        return kErrorSuccess;
    });
}

std::uint32_t MemoryRegistry::SetValue(RawKey key, std::wstring_view name, const Value& value) {
    return Run(true, [&](bool& changed) {
        Resolved r = Resolve(key, kKeySetValue);
        if (r.error != kErrorSuccess)
            return r.error;
        auto& slot = r.node->values[Fold(name)];
        // Setting a value to what it already holds changes nothing, and a file-backed store then need
        // not be written again: a client that repeats a setting costs no write.
        if (!slot.first.empty() && slot.second == value)
            return kErrorSuccess;
        if (slot.first.empty())
            slot.first = std::wstring(name);
        slot.second = value;
        changed = true;
        return kErrorSuccess;
    });
}

std::uint32_t MemoryRegistry::SetValues(RawKey key, const std::vector<NamedValue>& values) {
    return Run(true, [&](bool& changed) {
        Resolved r = Resolve(key, kKeySetValue);
        if (r.error != kErrorSuccess)
            return r.error;
        for (const auto& [name, value] : values) {
            auto& slot = r.node->values[Fold(name)];
            if (!slot.first.empty() && slot.second == value)
                continue;
            if (slot.first.empty())
                slot.first = name;
            slot.second = value;
            changed = true;
        }
        return kErrorSuccess;
    });
}

std::uint32_t MemoryRegistry::DeleteValue(RawKey key, std::wstring_view name) {
    return Run(true, [&](bool& changed) {
        Resolved r = Resolve(key, kKeySetValue);
        if (r.error != kErrorSuccess)
            return r.error;
        if (r.node->values.erase(Fold(name)) == 0)
            return kErrorFileNotFound;
        changed = true;
        return kErrorSuccess;
    });
}

std::uint32_t MemoryRegistry::EnumKey(RawKey key, std::uint32_t index, std::wstring* name) {
    return Run(false, [&](bool&) {
        Resolved r = Resolve(key, kKeyEnumerateSubKeys);
        if (r.error != kErrorSuccess)
            return r.error;
        if (index >= r.node->keys.size())
            return kErrorNoMoreItems;
        auto it = r.node->keys.begin();
        std::advance(it, index);
        *name = it->second->name;
        return kErrorSuccess;
    });
}

std::uint32_t MemoryRegistry::DeleteKey(RawKey parent, std::wstring_view subKey) {
    return Run(true, [&](bool& changed) {
        Resolved base = Resolve(parent);
        if (base.error != kErrorSuccess)
            return base.error;
        std::vector<std::wstring> names;
        if (!SplitKeyPath(subKey, true, &names))
            return kErrorBadPathname;
        std::vector<std::wstring> path = base.path;
        for (const std::wstring& name : names)
            path.push_back(Fold(name));
        if (path.empty())
            return kErrorAccessDenied;  // a root cannot be deleted
        std::wstring last = path.back();
        path.pop_back();
        Node* holder = Walk(base.root == kLocalMachine ? &tree_.localMachine : &tree_.currentUser, path);
        if (holder == nullptr)
            return kErrorFileNotFound;
        auto it = holder->keys.find(last);
        if (it == holder->keys.end())
            return kErrorFileNotFound;
        if (!it->second->keys.empty())
            return kErrorAccessDenied;
        holder->keys.erase(it);
        changed = true;
        return kErrorSuccess;
    });
}

}  // namespace kestrel::reg
