// A fresh directory under the temporary directory, removed with everything in
// it at the end of the test.
#pragma once

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>
#include <shellapi.h>

// Standard library
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

class TempFolder {
public:
    TempFolder()
    {
        wchar_t temp[MAX_PATH + 1];
        DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        EXPECT_GT(length, 0u);
        std::wstring base(temp, length);
        for (unsigned n = GetTickCount() & 0xFFFF;; ++n) {
            FPath = base + L"nimbra_folders_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(n);
            if (CreateDirectoryW(FPath.c_str(), nullptr))
                break;
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                ADD_FAILURE() << "cannot create a temporary directory";
                break;
            }
        }
    }
    ~TempFolder()
    {
        Remove(FPath);
        // Wine does not remove a directory while it is watched: try again
        // once the watchers are gone (RemoveLeftovers).
        if (GetFileAttributesW(FPath.c_str()) != INVALID_FILE_ATTRIBUTES)
            Leftovers().push_back(FPath);
    }
    static void RemoveLeftovers()
    {
        for (const std::wstring& path : Leftovers())
            Remove(path);
        Leftovers().clear();
    }
    static void Remove(const std::wstring& path)
    {
        std::wstring from = path;
        from.append(2, L'\0');
        SHFILEOPSTRUCTW operation{};
        operation.wFunc = FO_DELETE;
        operation.pFrom = from.c_str();
        operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
        SHFileOperationW(&operation);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The directory, without a trailing backslash.
    const std::wstring& Path() const { return FPath; }
    std::wstring operator/(std::wstring_view name) const { return FPath + L"\\" + std::wstring(name); }

    // Creates a file holding the text; returns its full path.
    std::wstring MakeFile(std::wstring_view name, std::string_view contents = "x") const
    {
        std::wstring path = *this / name;
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        EXPECT_TRUE(file);
        DWORD written = 0;
        WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
        return path;
    }
    std::wstring MakeDir(std::wstring_view name) const
    {
        std::wstring path = *this / name;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        return path;
    }

private:
    static std::vector<std::wstring>& Leftovers()
    {
        static std::vector<std::wstring> leftovers;
        return leftovers;
    }

    std::wstring FPath;
};

inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The whole contents of a file; none when it cannot be opened.
inline std::optional<std::string> ReadFileBytes(const std::wstring& path)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}
