#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LHandles.h"

// Standard library
#include <climits>

namespace {

constexpr std::wstring_view Delimiters = L"\\:";

// Embedded zeros would cut the text short at the system call and make it
// probe a different path than the one asked about.
bool HasZero(std::wstring_view text) { return text.find(L'\0') != std::wstring_view::npos; }

bool HasWildcards(std::wstring_view path)
{
    // "\\?\" and "\\.\" are prefixes of the system's own name space, not patterns.
    if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\"))
        path.remove_prefix(4);
    return path.find_first_of(L"*?") != std::wstring_view::npos;
}

int ClampedLength(std::wstring_view text)
{
    return text.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
}

// Runs a call of the GetFullPathNameW kind: it returns the length on success,
// the size it needs (terminator included) when the buffer is too small, and 0
// on failure. The buffer grows to what the call asks for, so no path is cut.
template <class Call>
std::wstring CallWithGrowingBuffer(std::wstring_view text, Call call)
{
    std::wstring name(text);
    if (name.empty() || HasZero(name))
        return name;
    std::wstring buffer(MAX_PATH, L'\0');
    // The answer only changes between two calls when the current directory
    // does; a few rounds are plenty.
    for (int round = 0; round < 4; ++round) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD length = call(name.c_str(), buffer.data(), size);
        if (length == 0)
            return name;
        if (length < size) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(length, L'\0');
    }
    return name;
}

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (AsciiUpper(text[i]) != AsciiUpper(prefix[i]))
            return false;
    return true;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

} // namespace

// The system takes the last part of a plain path as a device when, cut at
// its first dot and freed of trailing spaces and colons, it is one of the
// reserved names.
bool IsReservedDeviceName(std::wstring_view part)
{
    part = part.substr(0, part.find(L'.'));
    while (!part.empty() && (part.back() == L' ' || part.back() == L':'))
        part.remove_suffix(1);
    static constexpr std::wstring_view kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (std::wstring_view name : kNames)
        if (part.size() == name.size() && StartsWithNoCase(part, name))
            return true;
    if (part.size() == 4 && (StartsWithNoCase(part, L"COM") || StartsWithNoCase(part, L"LPT"))) {
        wchar_t digit = part[3];
        // Superscript one, two and three count as digits here too.
        return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
    }
    return false;
}

bool IsDevicePath(std::wstring_view path)
{
    // "\\.\" (and "//./") is the device namespace itself; "\\??\" the
    // native one.
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == L'.' && IsSeparator(path[3]))
        return true;
    if (path.size() >= 4 && IsSeparator(path[0]) && path[1] == L'?' && path[2] == L'?' && IsSeparator(path[3]))
        return true;
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == L'?' && IsSeparator(path[3])) {
        // A literal name: only a drive, a share and a volume are files.
        std::wstring_view rest = path.substr(4);
        if (rest.size() >= 2 && IsAsciiLetter(rest[0]) && rest[1] == L':' && (rest.size() == 2 || IsSeparator(rest[2])))
            return false;
        if (StartsWithNoCase(rest, L"UNC\\") || StartsWithNoCase(rest, L"Volume{"))
            return false;
        return true;
    }
    size_t last = path.find_last_of(L"\\/:");
    std::wstring_view part = path.substr(last == std::wstring_view::npos ? 0 : last + 1);
    // "C:\dir\CON:" ends in a colon: the name is the part before it.
    if (part.empty() && last != std::wstring_view::npos && path[last] == L':' && last > 1) {
        std::wstring_view before = path.substr(0, last);
        size_t start = before.find_last_of(L"\\/:");
        part = before.substr(start == std::wstring_view::npos ? 0 : start + 1);
    }
    return IsReservedDeviceName(part);
}

int SameText(std::wstring_view a, std::wstring_view b)
{
    int result = ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.empty() ? L"" : a.data(),
                                  ClampedLength(a), b.empty() ? L"" : b.data(), ClampedLength(b));
    if (result == 0) {
        // Only invalid arguments make the call fail; keep an order all the same.
        int ordinal = a.compare(b);
        return ordinal < 0 ? -1 : ordinal > 0 ? 1 : 0;
    }
    return result - CSTR_EQUAL;
}

std::wstring ExtractFileDir(std::wstring_view fileName)
{
    size_t last = fileName.find_last_of(Delimiters);
    if (last == std::wstring_view::npos)
        return {};
    if (last > 0 && fileName[last] == L'\\' && Delimiters.find(fileName[last - 1]) == std::wstring_view::npos)
        return std::wstring(fileName.substr(0, last));
    return std::wstring(fileName.substr(0, last + 1));
}

std::wstring ExtractFileName(std::wstring_view fileName)
{
    size_t last = fileName.find_last_of(Delimiters);
    return std::wstring(last == std::wstring_view::npos ? fileName : fileName.substr(last + 1));
}

std::wstring ExtractFileDrive(std::wstring_view fileName)
{
    if (fileName.size() >= 2 && fileName[1] == L':')
        return std::wstring(fileName.substr(0, 2));
    if (fileName.starts_with(L"\\\\")) {
        // Server and share: everything before the fourth backslash.
        size_t end = fileName.find(L'\\', 2);
        if (end != std::wstring_view::npos)
            end = fileName.find(L'\\', end + 1);
        return std::wstring(fileName.substr(0, end));
    }
    return {};
}

std::wstring ExtractFileExt(std::wstring_view fileName)
{
    size_t dot = fileName.find_last_of(L".\\:");
    if (dot == std::wstring_view::npos || fileName[dot] != L'.')
        return {};
    return std::wstring(fileName.substr(dot));
}

std::wstring IncludeTrailingBackslash(std::wstring_view path)
{
    std::wstring result(path);
    if (result.empty() || result.back() != L'\\')
        result += L'\\';
    return result;
}

std::wstring ExpandFileName(std::wstring_view fileName)
{
    return CallWithGrowingBuffer(fileName, [](const wchar_t* name, wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(name, size, buffer, nullptr);
    });
}

std::wstring GetLongPathName(std::wstring_view fileName)
{
    // Asking for the long form of a device would open it.
    if (IsDevicePath(fileName))
        return std::wstring(fileName);
    return CallWithGrowingBuffer(fileName, [](const wchar_t* name, wchar_t* buffer, DWORD size) {
        return ::GetLongPathNameW(name, buffer, size);
    });
}

bool PathIsAccessible(std::wstring_view path)
{
    if (path.empty() || HasZero(path) || HasWildcards(path) || IsDevicePath(path))
        return false;
    CriticalErrorsOff noErrorBoxes;
    std::wstring name(path);
    WIN32_FIND_DATAW data;
    if (UniqueFindHandle(::FindFirstFileW(name.c_str(), &data)))
        return true;
    // A drive or share root has no entry of its own, only contents.
    if (UniqueFindHandle(::FindFirstFileW((IncludeTrailingBackslash(name) + L"*.*").c_str(), &data)))
        return true;
    return ::GetVolumeInformationW(name.c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != FALSE;
}

bool IsRootPath(std::wstring_view path)
{
    if (path.empty())
        return false;
    if (path[0] == L'\\')
        return ExtractFileDrive(path).size() == path.size();
    return path.size() == 3 && IsAsciiLetter(path[0]) && path[1] == L':' && path[2] == L'\\';
}

std::wstring CombinePath(std::wstring_view dir, std::wstring_view name)
{
    if (name.size() > 2 && (name[1] == L':' || name[0] == L'\\'))
        return std::wstring(name);
    return IncludeTrailingBackslash(dir) + std::wstring(name);
}

std::wstring ExtendedPath(std::wstring_view path)
{
    if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\"))
        return std::wstring(path);
    std::wstring plain(path);
    for (wchar_t& c : plain)
        if (c == L'/')
            c = L'\\';
    if (plain.size() >= 3 && plain[1] == L':' && plain[2] == L'\\' &&
        ((plain[0] >= L'A' && plain[0] <= L'Z') || (plain[0] >= L'a' && plain[0] <= L'z')))
        return L"\\\\?\\" + plain;
    // A share needs its server and share names: "\\" alone or "\\server"
    // is no path.
    if (plain.starts_with(L"\\\\") && plain.size() > 2 && plain[2] != L'\\') {
        size_t server = plain.find(L'\\', 2);
        if (server != std::wstring::npos && server + 1 < plain.size() && plain[server + 1] != L'\\')
            return L"\\\\?\\UNC\\" + plain.substr(2);
    }
    return std::wstring(path);
}

bool NeedsExtendedPath(std::wstring_view path)
{
    if (path.size() >= MAX_PATH)
        return true;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos)
            end = path.size();
        std::wstring_view part = path.substr(start, end - start);
        // "." and ".." are the parser's own steps, not names.
        if (!part.empty() && part != L"." && part != L".." && (part.back() == L'.' || part.back() == L' '))
            return true;
        start = end + 1;
    }
    return false;
}
