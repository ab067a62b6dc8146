#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Platform
#include <windows.h>

// Standard library
#include <cwchar>

std::wstring BackupName(std::wstring_view path, int number)
{
    std::wstring extension = ExtractFileExt(path);
    std::wstring_view stem = path.substr(0, path.size() - extension.size());
    wchar_t digits[16];
    swprintf(digits, 16, L".%.3d", number);
    return std::wstring(stem) + digits + extension;
}

std::wstring LinkName(std::wstring_view destinationPath)
{
    std::wstring extension = ExtractFileExt(destinationPath);
    std::wstring_view stem = destinationPath;
    if (SameText(extension, L".exe") == 0)
        stem.remove_suffix(extension.size());
    return std::wstring(stem) + L".lnk";
}

bool IsWithinSource(std::wstring_view destinationPath, std::wstring_view sourcePath)
{
    std::wstring destination = std::wstring(destinationPath) + L"\\";
    std::wstring source = std::wstring(sourcePath) + L"\\";
    if (destination.size() < source.size())
        return false;
    return SameText(std::wstring_view(destination).substr(0, source.size()), source) == 0;
}

bool SamePlace(const TPath& a, const TPath& b)
{
    if (a.ProviderTag != b.ProviderTag)
        return false;
    if ((a.IDList != nullptr) != (b.IDList != nullptr))
        return false;
    if (a.IDList != nullptr)
        return SameIDList(a.IDList, b.IDList);
    return SameText(a.PathView(), b.PathView()) == 0 && SameText(a.SubPathView(), b.SubPathView()) == 0;
}

bool MovesWhole(TFileOperationKind kind, bool parentWhole, bool destinationExists, std::wstring_view sourcePath,
                std::wstring_view destinationPath)
{
    if (parentWhole)
        return true;
    return kind == TFileOperationKind::Move && !destinationExists &&
           ExtractFileDrive(destinationPath) == ExtractFileDrive(sourcePath);
}
