#include "lw/LRegistry.h"

// Standard library
#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

constexpr const wchar_t* kUnit = L"LRegistry";
constexpr const wchar_t* kNotARoot = L"ルートキー 0x%08llX は定義済みのキーではありません";
constexpr const wchar_t* kNoParent = L"親のキーがありません";
constexpr const wchar_t* kNoCallback = L"列挙の呼び出し先がありません";
constexpr const wchar_t* kCannotOpen = L"を開けませんでした";
constexpr const wchar_t* kInvalidOperation = L"許されない操作です";
constexpr const wchar_t* kReadFailed = L"の取得に失敗しました";
constexpr const wchar_t* kBadType = L"のデータ型が不正です";

// A value that changes size between asking for it and reading it is read
// again, but not forever.
constexpr int kReadAttempts = 4;
// Longer than any key name the registry accepts; the limit when a subkey
// name does not fit the length the key reported.
constexpr DWORD kMaxKeyNameBuffer = 32768;

// The registry's texts name the key or value in double quotes.
std::wstring Quoted(std::wstring_view name, const wchar_t* text)
{
    std::wstring message;
    message.reserve(name.size() + 24);
    message += L'"';
    message += name;
    message += L'"';
    message += text;
    return message;
}

bool IsText(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

// Environment references expanded; false when the system cannot do it.
bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded)
{
    DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    // The environment may grow between the two calls; then ask again.
    for (int attempt = 0; needed != 0 && attempt < kReadAttempts; ++attempt) {
        std::wstring buffer(needed, L'\0');
        DWORD written = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), needed);
        if (written == 0)
            return false;
        if (written <= needed) {
            // The count includes the terminating zero.
            buffer.resize(wcsnlen(buffer.c_str(), written));
            expanded = std::move(buffer);
            return true;
        }
        needed = written;
    }
    return false;
}

HKEY ParentKey(T0Registry* parent)
{
    Assert(parent != nullptr, kUnit, kNoParent);
    return parent->Key();
}

} // namespace

bool T0Registry::KeyExists(std::wstring_view subKey) const
{
    const std::wstring name(subKey);
    UniqueRegKey key;
    if (RegOpenKeyExW(FKey, name.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        return true;
    // A failed open hands back nothing to close.
    key.release();
    return false;
}

bool T0Registry::GetInfo(TRegistryKeyInfo& info) const
{
    info = {};
    LONG result = RegQueryInfoKeyW(FKey, nullptr, nullptr, nullptr, &info.NumSubKeys, &info.MaxSubKeyLen,
                                   nullptr, &info.NumValues, &info.MaxValueNameLen, &info.MaxValueLen, nullptr,
                                   &info.LastWriteTime);
    if (result == ERROR_SUCCESS)
        return true;
    // Whatever the call filled in before it failed means nothing.
    info = {};
    return false;
}

void T0Registry::EnumSubKeys(TEnumSubKeysCallback callback, void* data)
{
    Assert(callback != nullptr, kUnit, kNoCallback);
    TRegistryKeyInfo info;
    if (!GetInfo(info))
        throw ERegistryError(kInvalidOperation);
    std::vector<wchar_t> name(info.MaxSubKeyLen + 1);
    for (DWORD index = 0; index < info.NumSubKeys; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG result = RegEnumKeyExW(FKey, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        // A subkey with a longer name may have been added since the key
        // was queried: read the same index again into a larger buffer.
        while (result == ERROR_MORE_DATA && name.size() < kMaxKeyNameBuffer) {
            name.resize(std::min<size_t>(name.size() * 2 + 256, kMaxKeyNameBuffer));
            length = static_cast<DWORD>(name.size());
            result = RegEnumKeyExW(FKey, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        }
        // Subkeys removed meanwhile end the walk early.
        if (result == ERROR_NO_MORE_ITEMS)
            return;
        if (result != ERROR_SUCCESS)
            throw ERegistryError(kInvalidOperation);
        if (callback(this, name.data(), data))
            return;
    }
}

bool T0Registry::ValueExists(std::wstring_view name) const
{
    const std::wstring valueName(name);
    DWORD type = 0;
    DWORD size = 0;
    return RegQueryValueExW(FKey, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
}

DWORD T0Registry::ReadData(std::wstring_view name, void* buffer, DWORD size) const
{
    const std::wstring valueName(name);
    DWORD read = size;
    if (RegQueryValueExW(FKey, valueName.c_str(), nullptr, nullptr, static_cast<BYTE*>(buffer), &read) !=
        ERROR_SUCCESS)
        throw ERegistryError(Quoted(name, kReadFailed));
    return read;
}

void T0Registry::ReadString(std::wstring_view name, std::wstring& value) const
{
    const std::wstring valueName(name);
    std::vector<wchar_t> buffer;
    DWORD type = 0;
    DWORD size = 0;
    LONG result = ERROR_MORE_DATA;
    for (int attempt = 0; result == ERROR_MORE_DATA && attempt < kReadAttempts; ++attempt) {
        result = RegQueryValueExW(FKey, valueName.c_str(), nullptr, &type, nullptr, &size);
        if (result != ERROR_SUCCESS || !IsText(type) || size < 2)
            break;
        // Room for every byte of the data, an odd last byte included, and
        // a zero behind it that the data itself need not carry.
        buffer.assign(size / 2 + 2, L'\0');
        size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
        result = RegQueryValueExW(FKey, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                  &size);
    }
    // Still growing after several reads: give up rather than chase it.
    if (result == ERROR_MORE_DATA)
        throw ERegistryError(Quoted(name, kReadFailed));
    if (result != ERROR_SUCCESS || !IsText(type)) {
        // The default value may well be absent; a named one the caller
        // asked for must be there.
        if (!name.empty())
            throw ERegistryError(Quoted(name, kBadType));
        value.clear();
        return;
    }
    if (size < 2) {
        value.clear();
        return;
    }
    // Whole characters only, up to the first zero: a terminated string
    // loses its terminator, one stored without keeps its last character,
    // and an odd trailing byte is no character.
    std::wstring text(buffer.data(), wcsnlen(buffer.data(), size / 2));
    if (type == REG_EXPAND_SZ) {
        std::wstring expanded;
        if (!ExpandEnvironment(text, expanded))
            throw ERegistryError(Quoted(name, kReadFailed));
        text = std::move(expanded);
    }
    value = std::move(text);
}

TRegistryHive::TRegistryHive(HKEY root)
{
    FKey = root;
    // The predefined keys are sign-extended on 64-bit Windows
    // (0xFFFFFFFF80000000 there): compare with the platform's own values and
    // show the handle at its full width.
    const auto value = reinterpret_cast<ULONG_PTR>(root);
    if (value < reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) || value > reinterpret_cast<ULONG_PTR>(HKEY_DYN_DATA)) {
        wchar_t message[128];
        swprintf(message, 128, kNotARoot, static_cast<unsigned long long>(value));
        Assert(false, kUnit, message);
    }
}

TRegistryKey::TRegistryKey(HKEY parent, bool create, REGSAM access, std::wstring_view subKey) : FAccess(access)
{
    const std::wstring name(subKey);
    LONG result;
    if (create)
        result = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                 FHandle.put(), nullptr);
    else
        result = RegOpenKeyExW(parent, name.c_str(), 0, access, FHandle.put());
    if (result != ERROR_SUCCESS) {
        // A failed call hands back nothing to close.
        FHandle.release();
        throw ERegistryError(Quoted(subKey, kCannotOpen));
    }
    FKey = FHandle.get();
}

TRegistryKey::TRegistryKey(T0Registry* parent, bool create, REGSAM access, std::wstring_view subKey)
    : TRegistryKey(ParentKey(parent), create, access, subKey)
{
}
