// The sandbox of the end-to-end tests: a folder with its own copy of the
// program beside the settings a test gives it.
#pragma once

// Toolkit
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>

// Standard library
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace {

constexpr const wchar_t* kWindowClass = L"QZ_Nimbra_Window_2";

std::wstring TestDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeout = 20000)
{
    for (DWORD waited = 0; waited < timeout; waited += 50) {
        if (done())
            return true;
        Sleep(50);
    }
    return done();
}

// A folder with its own copy of the program and its settings.
class TSandbox {
public:
    explicit TSandbox(const std::string& settings = "")
    {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        FDir = std::wstring(temp) + L"nimbra-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(FDir.c_str(), nullptr);
        std::wstring bin = TestDirectory() + L"..\\bin\\";
        Copy(bin + L"nimbra.exe", L"nimbra.exe");
        Copy(bin + L"nimbracore.dll", L"nimbracore.dll");
        if (!settings.empty())
            Write(L"setting.yaml", settings);
    }
    ~TSandbox()
    {
        // A program that just ended may still hold its files for a moment.
        for (int attempt = 0; attempt < 40; ++attempt) {
            WIN32_FIND_DATAW data;
            UniqueFindHandle find(FindFirstFileW((FDir + L"*").c_str(), &data));
            if (find) {
                do {
                    DeleteFileW((FDir + data.cFileName).c_str());
                } while (FindNextFileW(find.get(), &data));
            }
            find.reset();
            if (RemoveDirectoryW(FDir.c_str()) || GetFileAttributesW(FDir.c_str()) == INVALID_FILE_ATTRIBUTES)
                return;
            Sleep(50);
        }
    }
    const std::wstring& Dir() const { return FDir; }
    // The folder without its trailing separator, as the program shows it.
    std::wstring Folder() const { return FDir.substr(0, FDir.size() - 1); }
    void Copy(const std::wstring& from, const std::wstring& name)
    {
        ASSERT_TRUE(CopyFileW(from.c_str(), (FDir + name).c_str(), FALSE)) << UnicodeToUtf8(from);
    }
    void Write(const std::wstring& name, const std::string& text)
    {
        UniqueFileHandle file(CreateFileW((FDir + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    std::string Read(const std::wstring& name) const
    {
        UniqueFileHandle file(CreateFileW((FDir + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        std::string text;
        char buffer[4096];
        DWORD read = 0;
        while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
            text.append(buffer, read);
        return text;
    }

private:
    std::wstring FDir;
};

} // namespace
