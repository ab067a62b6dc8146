#include "lw/LStrings.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <climits>
#include <stdexcept>

namespace {

int CheckedLength(size_t size)
{
    if (size > static_cast<size_t>(INT_MAX))
        throw std::length_error("string too long to convert");
    return static_cast<int>(size);
}

} // namespace

std::wstring CodePageToUnicode(std::string_view text, UINT codePage)
{
    if (text.empty())
        return {};
    int size = CheckedLength(text.size());
    int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, result.data(), length);
    return result;
}

std::string UnicodeToCodePage(std::wstring_view text, UINT codePage)
{
    if (text.empty())
        return {};
    int size = CheckedLength(text.size());
    int length = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, result.data(), length, nullptr, nullptr);
    return result;
}

std::wstring ProgramFileName()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            RaiseLastOSError();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}
