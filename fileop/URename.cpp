#include "fileop/URename.h"

// File operations
#include "fileop/UFileOp.h"

// Folders
#include "folders/SysUtilsW.h"


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


bool IsValidFileName(std::wstring_view name)
{
    return BadFileNameReason(name).empty();
}

std::wstring TypedFileName(std::wstring_view typed)
{
    size_t end = typed.find_last_not_of(L". ");
    return end == std::wstring_view::npos ? std::wstring() : std::wstring(typed.substr(0, end + 1));
}

std::wstring InvalidNameMessage(std::wstring_view name)
{
    return L"\"" + std::wstring(name) + L"\" は無効な名前です";
}

bool RenameFile(const std::wstring& folder, const std::wstring& oldName, const std::wstring& newName)
{
    if (newName == oldName)
        return true;
    if (!IsValidFileName(newName)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::wstring from = ExtendedPath(folder + oldName);
    std::wstring to = ExtendedPath(folder + newName);
    // Without MOVEFILE_REPLACE_EXISTING the call fails when the new name is
    // taken, at the moment of the rename: no test beforehand can race with
    // another program.
    if (!EqualIgnoringCase(oldName, newName))
        return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE;
    // A change of case alone names the same file, which some systems take
    // for a file in the way: the name goes by way of a free temporary one,
    // and comes back when the second step fails.
    std::wstring between;
    for (unsigned attempt = GetTickCount() & 0xFFFF;; ++attempt) {
        between = ExtendedPath(folder + L"~rename" + std::to_wstring(attempt) + L".tmp");
        if (GetFileAttributesW(between.c_str()) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    if (!MoveFileExW(from.c_str(), between.c_str(), 0))
        return false;
    if (MoveFileExW(between.c_str(), to.c_str(), 0))
        return true;
    DWORD error = GetLastError();
    MoveFileExW(between.c_str(), from.c_str(), 0);
    SetLastError(error);
    return false;
}
