// The GCA test double through its exports: it lists what the test writes,
// extracts it to files and to memory, and records every command line.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "archivers/common/ArcDll.h"

namespace fs = std::filesystem;

namespace {

std::string Get(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <typename T>
T Bind(HMODULE module, const char* name)
{
    FARPROC proc = GetProcAddress(module, name);
    EXPECT_NE(proc, nullptr) << name;
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

TEST(UnGca32, ListsExtractsAndRecordsWhatTheTestGivesIt)
{
    HMODULE module = LoadLibraryW(L"ungca32.dll");
    ASSERT_NE(module, nullptr);
    auto command = Bind<int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD)>(module, "UnGCA");
    auto open = Bind<HANDLE(WINAPI*)(HWND, LPCSTR, DWORD)>(module, "UnGCAOpenArchive");
    auto close = Bind<int(WINAPI*)(HANDLE)>(module, "UnGCACloseArchive");
    auto first = Bind<int(WINAPI*)(HANDLE, LPCSTR, arcdll::TIndividualInfo*)>(module, "UnGCAFindFirst");
    auto next = Bind<int(WINAPI*)(HANDLE, arcdll::TIndividualInfo*)>(module, "UnGCAFindNext");
    auto attribute = Bind<int(WINAPI*)(HANDLE)>(module, "UnGCAGetAttribute");
    auto writeTime = Bind<BOOL(WINAPI*)(HANDLE, FILETIME*)>(module, "UnGCAGetWriteTimeEx");
    auto extractMem = Bind<int(WINAPI*)(HWND, LPCSTR, LPBYTE, DWORD, void*, LPWORD, LPDWORD)>(module, "UnGCAExtractMem");
    Bind<BOOL(WINAPI*)(HWND, LPSTR, int)>(module, "UnGCAConfigDialog");

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    fs::path folder = fs::path(temp) / L"nimbra-ungca32";
    fs::remove_all(folder);
    fs::create_directories(folder / L"out");
    fs::path archive = folder / L"test.gca";
    std::ofstream(folder / L"test.gca.listing", std::ios::binary)
        << "dir\\\t0\t0x10\t1600000000\t\r\n"
        << "dir/日本語.txt\t12\t32\t1600000001\tline1\\nline2\r\n"
        << "top.txt\t3\t0x21\t1600000002\tabc\r\n";
    std::string archiveAnsi = arcdll::WideToAnsi(archive.wstring());

    HANDLE handle = open(nullptr, archiveAnsi.c_str(), 0);
    ASSERT_NE(handle, nullptr);
    arcdll::TIndividualInfo info;
    std::vector<std::string> names;
    for (int found = first(handle, "*", &info); found == 0; found = next(handle, &info)) {
        names.push_back(arcdll::WideToUtf8Text(arcdll::AnsiToWide(info.szFileName)) + "|" + std::to_string(info.dwOriginalSize) +
                        "|" + std::to_string(attribute(handle)));
        FILETIME t;
        ASSERT_TRUE(writeTime(handle, &t));
        EXPECT_EQ(arccmd::FileTimeToUnix((static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime),
                  1600000000 + static_cast<long long>(names.size()) - 1);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"dir\\|0|16", "dir\\日本語.txt|12|32", "top.txt|3|33"}));
    EXPECT_EQ(close(handle), 0);
    EXPECT_EQ(open(nullptr, arcdll::WideToAnsi((folder / L"none.gca").wstring()).c_str(), 0), nullptr);

    // "ex" writes one item under its file name; an unknown item is an error.
    std::string ex = "ex \"" + archiveAnsi + "\" \"" + arcdll::WideToAnsi((folder / L"out").wstring()) + "\\\" \"dir\\日本語.txt\"";
    ex = arcdll::WideToAnsi(arcdll::Utf8ToWide(ex));
    char output[4096];
    ASSERT_EQ(command(nullptr, ex.c_str(), output, 4095), 0) << output;
    EXPECT_EQ(Get(folder / L"out" / L"日本語.txt"), "line1\nline2");
    std::string missing = "ex \"" + archiveAnsi + "\" \"" + arcdll::WideToAnsi((folder / L"out").wstring()) + "\\\" \"nothing\"";
    EXPECT_NE(command(nullptr, missing.c_str(), output, 4095), 0);

    // To memory: at most the buffer's size.
    std::string mem = "ex \"" + archiveAnsi + "\" .\\ \"top.txt\"";
    BYTE buffer[8] = {};
    ASSERT_EQ(extractMem(nullptr, mem.c_str(), buffer, 2, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "ab");

    // Every command line, in order, as received.
    std::string calls = Get(folder / L"test.gca.calls");
    EXPECT_EQ(calls, "UnGCA\t" + ex + "\r\nUnGCA\t" + missing + "\r\nUnGCAExtractMem\t" + mem + "\r\n");
    FreeLibrary(module);
}
