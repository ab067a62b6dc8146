// Read access to the registry, and key creation, through small owned
// objects: the predefined roots (TRegistryHive) and keys opened below them
// (TRegistryKey). Failures raise ERegistryError with their Japanese text.
#pragma once

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LObjects.h"

// Platform
#include <windows.h>

// Standard library
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

// Failures of persistent storage.
class EStorage : public Exception {
public:
    using Exception::Exception;
};

// A registry key could not be opened, read or enumerated.
class ERegistryError : public EStorage {
public:
    using EStorage::EStorage;
};

// An opened registry key, closed with RegCloseKey.
using UniqueRegKey = UniqueResource<NullIsInvalid<HKEY, ::RegCloseKey>>;

// What RegQueryInfoKeyW tells about a key. Lengths are in characters,
// without the terminating zero; the data length is in bytes.
struct TRegistryKeyInfo {
    DWORD NumSubKeys;
    DWORD MaxSubKeyLen;
    DWORD NumValues;
    DWORD MaxValueNameLen;
    DWORD MaxValueLen;
    FILETIME LastWriteTime;
};

// A key that can be queried: a predefined root or an opened key. Names are
// relative to this key; the empty value name is the default value.
class T0Registry : public T0Object {
public:
    HKEY Key() const noexcept { return FKey; }

    // Whether SubKey can be opened for reading.
    bool KeyExists(std::wstring_view subKey) const;

    // Fills info (zeroed first); false when the key cannot be queried.
    bool GetInfo(TRegistryKeyInfo& info) const;

    // Answers true to stop the enumeration.
    using TEnumSubKeysCallback = bool (*)(T0Registry* sender, const wchar_t* name, void* data);

    // Calls callback with the name of each subkey, in index order, until it
    // answers true. Raises ERegistryError when the key cannot be queried.
    void EnumSubKeys(TEnumSubKeysCallback callback, void* data);

    // The same with any callable taking the name (std::wstring_view) and
    // answering bool.
    template <class F>
        requires std::is_invocable_r_v<bool, F&, std::wstring_view>
    void EnumSubKeys(F&& callback)
    {
        EnumSubKeys(&ForwardSubKey<std::remove_reference_t<F>>, const_cast<void*>(static_cast<const void*>(&callback)));
    }

    // Whether the value exists (of any type).
    bool ValueExists(std::wstring_view name) const;

    // Copies the value's data into buffer (size bytes) and returns the
    // number of bytes copied. With a null buffer and size 0 it returns the
    // size the data needs. Raises ERegistryError when the value is missing
    // or does not fit.
    DWORD ReadData(std::wstring_view name, void* buffer, DWORD size) const;

    // The text of a REG_SZ or REG_EXPAND_SZ value, the latter with its
    // environment references expanded. A missing value or one of another
    // type raises ERegistryError, except for the default value, which then
    // reads as the empty string.
    void ReadString(std::wstring_view name, std::wstring& value) const;
    std::wstring ReadString(std::wstring_view name) const
    {
        std::wstring value;
        ReadString(name, value);
        return value;
    }

protected:
    T0Registry() = default;
    ~T0Registry() override = default;

    HKEY FKey = nullptr;

private:
    template <class F>
    static bool ForwardSubKey(T0Registry*, const wchar_t* name, void* data)
    {
        return std::invoke(*static_cast<F*>(data), std::wstring_view(name));
    }
};

// One of the predefined roots, HKEY_CLASSES_ROOT to HKEY_DYN_DATA. It is
// never closed.
class TRegistryHive : public T0Registry {
public:
    // Any other root is a programming error (assertion of LRegistry).
    explicit TRegistryHive(HKEY root);

protected:
    ~TRegistryHive() override = default;
};

// A key opened (or created) below a handle or another registry object,
// closed with the object.
class TRegistryKey : public T0Registry {
public:
    // With create the key is created when missing. Raises ERegistryError
    // naming subKey when the key cannot be opened.
    TRegistryKey(HKEY parent, bool create, REGSAM access, std::wstring_view subKey);
    TRegistryKey(T0Registry* parent, bool create, REGSAM access, std::wstring_view subKey);

    REGSAM Access() const noexcept { return FAccess; }

protected:
    ~TRegistryKey() override = default;

private:
    UniqueRegKey FHandle;
    REGSAM FAccess;
};
