#include "fileop/URename.h"

// Folders
#include "folders/SysUtilsW.h"

// Platform
#include <shellapi.h>

TNameParts SplitName(std::wstring_view name)
{
    size_t dot = name.find_last_of(L".\\:");
    if (dot == std::wstring_view::npos || name[dot] != L'.')
        return {std::wstring(name), {}};
    return {std::wstring(name.substr(0, dot)), std::wstring(name.substr(dot + 1))};
}

namespace {

bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

} // namespace

TNameParts CommonParts(const std::vector<std::wstring>& names)
{
    if (names.empty())
        return {};
    TNameParts common = SplitName(names.front());
    for (size_t i = 1; i < names.size(); ++i) {
        TNameParts parts = SplitName(names[i]);
        if (common.Base != kDiffering && !EqualIgnoringCase(common.Base, parts.Base))
            common.Base = kDiffering;
        if (common.Extension != kDiffering && !EqualIgnoringCase(common.Extension, parts.Extension))
            common.Extension = kDiffering;
    }
    return common;
}

std::wstring MultiRenamedName(std::wstring_view name, const TNameParts& common, const TNameParts& typed)
{
    TNameParts parts = SplitName(name);
    std::wstring base = common.Base == kDiffering ? parts.Base : typed.Base;
    std::wstring extension = common.Extension == kDiffering ? parts.Extension : typed.Extension;
    // "name." is "name" to the file system; saying so keeps the name exact.
    return extension.empty() ? base : base + L"." + extension;
}

TRenameSource RenameSource(std::wstring_view folder, std::wstring_view name)
{
    size_t slash = name.rfind(L'\\');
    if (slash == std::wstring_view::npos)
        return {IncludeTrailingBackslash(folder), std::wstring(name)};
    return {std::wstring(name.substr(0, slash + 1)), std::wstring(name.substr(slash + 1))};
}

namespace {

bool IsValidFileName(std::wstring_view name)
{
    if (name.empty() || name == L"." || name == L"..")
        return false;
    for (wchar_t c : name)
        if (c < 32 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
            return false;
    return true;
}

} // namespace

bool ShellRename(HWND owner, const std::wstring& folder, const std::wstring& oldName, const std::wstring& newName)
{
    if (newName == oldName)
        return true;
    if (!IsValidFileName(newName))
        return false;
    std::wstring from = folder + oldName;
    std::wstring to = folder + newName;
    // A change of case alone names the same file, which the shell takes for
    // a file in the way (and some systems for no change at all): the name
    // goes by way of a free temporary one, and comes back when the second
    // step fails.
    if (EqualIgnoringCase(oldName, newName)) {
        std::wstring between;
        for (unsigned attempt = GetTickCount() & 0xFFFF;; ++attempt) {
            between = folder + L"~rename" + std::to_wstring(attempt) + L".tmp";
            if (GetFileAttributesW(between.c_str()) == INVALID_FILE_ATTRIBUTES)
                break;
        }
        if (!MoveFileW(from.c_str(), between.c_str()))
            return false;
        if (MoveFileW(between.c_str(), to.c_str()))
            return true;
        MoveFileW(between.c_str(), from.c_str());
        return false;
    }
    // The shell, told not to ask, would replace a file of the new name; a
    // rename never does.
    if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    // Double-zero-terminated lists.
    from.push_back(L'\0');
    to.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = owner;
    operation.wFunc = FO_RENAME;
    operation.pFrom = from.c_str();
    operation.pTo = to.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    return SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted;
}
