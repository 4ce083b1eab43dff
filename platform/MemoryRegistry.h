// A registry held in memory: the tests' registry, and the tree under the host's file-backed store.
//
// It follows the Windows rules listed in platform/Registry.h, and it checks access rights the way Windows
// does (reading a value needs kKeyQueryValue, writing kKeySetValue, enumerating kKeyEnumerateSubKeys,
// creating a new key kKeyCreateSubKey on its parent), so code that would fail on Windows fails here too.
// A handle refers to its key by path: when the key is deleted, the handle answers kErrorKeyDeleted.
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace kestrel::reg {

class MemoryRegistry : public Registry {
  public:
    MemoryRegistry();
    ~MemoryRegistry() override;

    std::uint32_t OpenKey(RawKey parent, std::wstring_view subKey, std::uint32_t access,
                          RawKey* out) override;
    std::uint32_t CreateKey(RawKey parent, std::wstring_view subKey, std::uint32_t access, RawKey* out,
                            bool* created = nullptr) override;
    void CloseKey(RawKey key) noexcept override;
    std::uint32_t QueryValue(RawKey key, std::wstring_view name, Value* out) override;
    std::uint32_t SetValue(RawKey key, std::wstring_view name, const Value& value) override;
    // One operation for all of them: a persistent store saves once.
    std::uint32_t SetValues(RawKey key, const std::vector<NamedValue>& values) override;
    std::uint32_t DeleteValue(RawKey key, std::wstring_view name) override;
    std::uint32_t EnumKey(RawKey key, std::uint32_t index, std::wstring* name) override;
    std::uint32_t DeleteKey(RawKey parent, std::wstring_view subKey) override;

    // The number of handles not yet closed (roots excluded); lets tests find leaks.
    std::size_t OpenHandleCount() const;

  protected:
    // Names are kept as created; the maps are ordered by the upper-cased name.
    struct Node {
        std::wstring name;
        std::map<std::wstring, std::unique_ptr<Node>> keys;
        std::map<std::wstring, std::pair<std::wstring, Value>> values;  // upper-cased -> (name, value)
    };
    struct Tree {
        Node localMachine;
        Node currentUser;
    };

    // Hooks for a persistent store, called with the instance lock held. BeginOperation runs before every
    // operation (write tells whether it may change the tree) and may refresh the tree; a nonzero result
    // fails the operation with that code. EndOperation runs after each operation whose BeginOperation
    // succeeded; `changed` tells whether the tree was changed. A nonzero result fails the operation; the
    // store must then put the tree back as it was.
    virtual std::uint32_t BeginOperation(bool write);
    virtual std::uint32_t EndOperation(bool changed);

    Tree& tree() { return tree_; }
    static std::wstring Fold(std::wstring_view name);

  private:
    struct Handle {
        RawKey root;
        std::vector<std::wstring> path;  // upper-cased names below the root
        std::uint32_t access;
    };
    struct Resolved {
        Node* node = nullptr;
        std::vector<std::wstring> path;
        RawKey root = kNoKey;
        std::uint32_t access = 0;
        std::uint32_t error = kErrorSuccess;
    };

    Resolved Resolve(RawKey key);
    // As Resolve, and kErrorAccessDenied unless the handle was opened with every `required` right.
    Resolved Resolve(RawKey key, std::uint32_t required);
    Node* Walk(Node* from, const std::vector<std::wstring>& folded);
    RawKey NewHandle(RawKey root, std::vector<std::wstring> path, std::uint32_t access);
    template <class Operation>
    std::uint32_t Run(bool write, Operation&& operation);

    mutable std::mutex mutex_;
    Tree tree_;
    std::map<RawKey, Handle> handles_;
    RawKey next_ = 1;
};

// Splits a key path at "\" into its names. False for a path with an empty name inside it or a name longer
// than kMaxKeyNameLength; a single trailing "\" is allowed, and so is a leading one when `allowLeading`.
bool SplitKeyPath(std::wstring_view path, bool allowLeading, std::vector<std::wstring>* names);

}  // namespace kestrel::reg
