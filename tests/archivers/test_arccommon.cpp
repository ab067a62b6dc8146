// The parts every archiver library shares: command lines with response
// files, entry names that must not leave the destination, handles, and files
// that appear under their final name only when complete.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "archivers/common/ArcCommand.h"
#include "archivers/common/ArcDll.h"

using namespace arccmd;

namespace {

TResponseReader FilesIn(std::map<std::wstring, std::wstring> files)
{
    return [files](const std::wstring& path) -> std::optional<std::wstring> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

std::wstring TemporaryFolder(const wchar_t* name)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder = std::wstring(base) + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace

TEST(ArcCommand, TheModulesLinesParseIntoArchiveFolderAndNames)
{
    TCommand zip = ParseCommand(LR"(e -hide -aoa "C:\a b\x.zip" "C:\out dir\" "sub/f 1.txt")", true, nullptr);
    EXPECT_EQ(zip.Command, L"e");
    EXPECT_EQ(zip.Switches, (std::vector<std::wstring>{L"-hide", L"-aoa"}));
    EXPECT_EQ(zip.Archive, LR"(C:\a b\x.zip)");
    EXPECT_EQ(zip.Folder, LR"(C:\out dir\)");
    EXPECT_EQ(zip.Names, (std::vector<std::wstring>{L"sub/f 1.txt"}));

    TCommand tar = ParseCommand(LR"(-x --use-directory=0 --display-dialog=0 "C:\t.tgz" "C:\o\" "a/b")", false, nullptr);
    EXPECT_TRUE(tar.Command.empty());
    EXPECT_EQ(tar.SwitchValue(L"use-directory"), L"0");
    EXPECT_FALSE(tar.SwitchValue(L"use"));
    EXPECT_EQ(tar.Archive, LR"(C:\t.tgz)");
    EXPECT_EQ(tar.Folder, LR"(C:\o\)");

    // Both response forms: a short path after "@", and "@" before a quoted
    // full path. Lines keep their quotes' grouping; a quoted "-x" or "@y" is a name.
    auto files = FilesIn({{LR"(C:\TEMP\LIST~1.LST)", L"\"a b\\*\"\r\n\"-x\"\r\n\"@y\"\r\n\r\n"},
                          {LR"(C:\Temp Dir\list.lst)", L"\"one\"\r\n"}});
    TCommand zipPack = ParseCommand(LR"(a -r0 -tzip "C:\n.zip" "C:\base\" @C:\TEMP\LIST~1.LST)", true, files);
    EXPECT_EQ(zipPack.Folder, LR"(C:\base\)");
    EXPECT_EQ(zipPack.Names, (std::vector<std::wstring>{LR"(a b\*)", L"-x", L"@y"}));
    TCommand lzhPack = ParseCommand(LR"(u -d1 "C:\n.lzh" "C:\base\" @"C:\Temp Dir\list.lst")", true, files);
    EXPECT_EQ(lzhPack.Names, (std::vector<std::wstring>{L"one"}));
    EXPECT_EQ(ParseCommand(LR"(x "C:\a.zip" "-not a switch")", true, nullptr).Names,
              (std::vector<std::wstring>{L"-not a switch"}));

    EXPECT_THROW(ParseCommand(LR"(x "C:\a.zip)", true, nullptr), ECommandError);
    EXPECT_THROW(ParseCommand(LR"(a "C:\a.zip" "C:\b\" @C:\missing.lst)", true, files), ECommandError);
    EXPECT_THROW(ParseCommand(L"x", true, nullptr), ECommandError);
    EXPECT_THROW(ParseCommand(L"-x", true, nullptr), ECommandError);
}

TEST(ArcCommand, EntryNamesNeverLeaveTheDestination)
{
    struct Case {
        const wchar_t* name;
        const wchar_t* expected;  // nullptr: refused
    } cases[] = {
        {L"a/b/c.txt", LR"(a\b\c.txt)"},
        {L"./a//b/./c", LR"(a\b\c)"},
        {L"dir/", L"dir"},
        {L"../x", nullptr},
        {LR"(a\..\..\x)", nullptr},
        {L"a/../b", nullptr},
        {L"/etc/passwd", nullptr},
        {LR"(\x)", nullptr},
        {LR"(C:\x)", nullptr},
        {L"C:x", nullptr},
        {LR"(\\server\share\x)", nullptr},
        {LR"(\\?\C:\x)", nullptr},
        {L"file.txt:stream", nullptr},
        {L"a\x01" L"b", nullptr},
        {L"a?b", nullptr},
        {L"name. . ", L"name"},
        {L"dir./file", LR"(dir\file)"},
        {L"...", nullptr},
        {L"./", nullptr},
        {L"", nullptr},
        {L"CON", L"_CON"},
        {L"sub/nul.txt", LR"(sub\_nul.txt)"},
        {L"com1", L"_com1"},
        {L"com0", L"com0"},
        {L"lpt9.log", L"_lpt9.log"},
        {L"console", L"console"},
        {L"日本語/名前.txt", LR"(日本語\名前.txt)"},
    };
    for (const Case& c : cases) {
        std::optional<std::wstring> safe = SafeRelativePath(c.name);
        if (c.expected)
            EXPECT_EQ(safe.value_or(L"<refused>"), c.expected) << "name: " << testing::PrintToString(std::wstring(c.name));
        else
            EXPECT_FALSE(safe) << "name: " << testing::PrintToString(std::wstring(c.name));
    }
    // A component of exactly 255 characters is allowed, one more is not.
    EXPECT_TRUE(SafeRelativePath(std::wstring(255, L'x')));
    EXPECT_FALSE(SafeRelativePath(std::wstring(256, L'x')));
}

TEST(ArcCommand, NamesSelectTheirEntriesAndWhatLiesBelowFolders)
{
    std::vector<std::wstring> names{L"docs", L"sub/*.txt", L"Exact.BIN"};
    EXPECT_TRUE(IsSelected(names, LR"(docs\a\b.c)"));
    EXPECT_TRUE(IsSelected(names, L"docs/"));
    EXPECT_FALSE(IsSelected(names, L"docsx/a"));
    EXPECT_TRUE(IsSelected(names, LR"(sub\x.txt)"));
    EXPECT_FALSE(IsSelected(names, LR"(sub\x.txt2)"));
    EXPECT_TRUE(IsSelected(names, L"exact.bin"));
    EXPECT_FALSE(IsSelected(names, L"exact.bi"));
    EXPECT_TRUE(IsSelected({LR"(dir\*)"}, LR"(dir\deep\x)"));
    EXPECT_TRUE(IsSelected({}, L"anything"));
}

TEST(ArcDll, StaleHandlesAreRefusedAndLongNamesAreCutBetweenCharacters)
{
    // One byte and 300 double-byte characters: 601 bytes in code page 932,
    // cut to the record's 512 would split the 256th character.
    std::vector<arcdll::TListedEntry> entries(2);
    entries[0].Name = L"a" + std::wstring(300, L'漢');
    entries[1].Name = LR"(dir\a.txt)";
    entries[1].Size = 7;
    HANDLE handle = arcdll::OpenHandle(entries);
    arcdll::TIndividualInfo info;
    ASSERT_EQ(arcdll::FindFirst(handle, "*", &info), 0);
    size_t length = strlen(info.szFileName);
    if (GetACP() == 932) {
        EXPECT_EQ(length, 511u);
        EXPECT_EQ(arcdll::AnsiToWide(info.szFileName), L"a" + std::wstring(255, L'漢'));
    }
    EXPECT_EQ(GetACP(), 932u) << "the tests run under code page 932";
    ASSERT_EQ(arcdll::FindNext(handle, &info), 0);
    EXPECT_STREQ(info.szFileName, R"(dir\a.txt)");
    EXPECT_EQ(info.dwOriginalSize, 7u);
    EXPECT_EQ(arcdll::FindNext(handle, &info), arcerr::FindEnd);
    EXPECT_FALSE(arcdll::WithCurrentEntry(handle, [](const arcdll::TListedEntry&) {}));
    // A pattern selects what lies below a folder.
    ASSERT_EQ(arcdll::FindFirst(handle, "dir", &info), 0);
    EXPECT_STREQ(info.szFileName, R"(dir\a.txt)");
    EXPECT_TRUE(arcdll::CloseHandle(handle));
    EXPECT_FALSE(arcdll::CloseHandle(handle));
    EXPECT_EQ(arcdll::FindFirst(handle, "*", &info), arcerr::HarcIsNotOpened);
}

TEST(ArcDll, AFileAppearsUnderItsNameOnlyWhenComplete)
{
    std::wstring folder = TemporaryFolder(L"arccommon-out");
    std::wstring target = folder + L"\\sub\\f.txt";
    DeleteFileW(target.c_str());
    {
        arcdll::TOutputFile file(target);
        file.Write("half", 4);
        // Destroyed without Commit, as when the entry's data turns out broken.
    }
    EXPECT_EQ(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\sub\\*.tmp").c_str(), &data);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "a temporary file was left behind";
    if (find != INVALID_HANDLE_VALUE) FindClose(find);

    // A read-only file of that name is replaced, and the new one keeps its time.
    { std::ofstream(target.c_str()) << "old"; }
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    const int64_t time = arccmd::UnixToFileTime(1700000000);
    {
        arcdll::TOutputFile file(target);
        file.Write("new", 3);
        file.Commit(time, 0, 0, FILE_ATTRIBUTE_ARCHIVE);
    }
    std::ifstream in(target.c_str());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "new");
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    ASSERT_TRUE(GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &attributes));
    EXPECT_EQ((int64_t(attributes.ftLastWriteTime.dwHighDateTime) << 32) | attributes.ftLastWriteTime.dwLowDateTime, time);
    EXPECT_FALSE(attributes.dwFileAttributes & FILE_ATTRIBUTE_READONLY);

    // A read-only file held open elsewhere cannot be replaced: it stays as
    // it was, read-only too, and the entry fails.
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    {
        HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        arcdll::TOutputFile file(target);
        file.Write("newer", 5);
        EXPECT_THROW(file.Commit(time, 0, 0, FILE_ATTRIBUTE_ARCHIVE), arcio::EArchiveError);
        CloseHandle(held);
    }
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
    std::ifstream again(target.c_str());
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), "new");
    again.close();
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);

    // Folders are made on the way down; a file standing where one of them
    // should be stops the entry with the folder error, and nothing is written.
    {
        arcdll::TOutputFile file(folder + L"\\new1\\new2\\g.txt");
        file.Write("g", 1);
        file.Commit(time, 0, 0, FILE_ATTRIBUTE_ARCHIVE);
    }
    EXPECT_NE(GetFileAttributesW((folder + L"\\new1\\new2\\g.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    for (const wchar_t* blocked : {L"\\sub\\f.txt\\h.txt", L"\\sub\\f.txt\\deeper\\h.txt"}) {
        try {
            arcdll::TOutputFile file(folder + blocked);
            ADD_FAILURE() << "a file was made below the file sub\\f.txt";
        } catch (const arcio::EArchiveError& error) {
            EXPECT_EQ(error.Code(), arcerr::MakeDirectory) << error.what();
        }
        EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }

    // An unsafe name never reaches the disk.
    EXPECT_THROW(arcdll::ExtractionPath(folder, L"../escape", true), arcio::EArchiveError);
    EXPECT_EQ(arcdll::ExtractionPath(folder + L"\\", L"a/b/c", false), folder + L"\\c");
}

// Small reads come from a block read ahead, large ones from the file: every
// read, wherever it starts and ends against the block (inside it, across its
// end, on its last byte, at the end of the file), gives the file's bytes.
TEST(ArcDll, FileInputGivesTheFileBytesWhereverAReadFalls)
{
    constexpr size_t block = arcdll::TFileInput::kReadAhead;
    std::wstring path = TemporaryFolder(L"arccommon-input") + L"\\input.bin";
    std::string bytes(2 * block + 17, '\0');
    uint32_t seed = 12345;
    for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    { std::ofstream(path.c_str(), std::ios::binary) << bytes; }
    arcdll::TFileInput input(path);
    ASSERT_EQ(input.Size(), bytes.size());
    auto check = [&](uint64_t offset, size_t count) {
        std::string got(count, '\x55');
        size_t n = input.ReadAt(offset, got.data(), count);
        size_t expected = offset >= bytes.size() ? 0 : std::min<size_t>(count, bytes.size() - static_cast<size_t>(offset));
        ASSERT_EQ(n, expected) << "read of " << count << " at " << offset;
        EXPECT_EQ(got.substr(0, n), bytes.substr(static_cast<size_t>(std::min<uint64_t>(offset, bytes.size())), n))
            << "read of " << count << " at " << offset;
    };
    // A small read fills the block at 10; then reads on its edges.
    check(10, 1);
    check(10 + block - 1, 1);
    check(10 + block - 1, 2);
    check(10 + block, 1);
    check(5, 10);
    check(0, block / 2 - 1);
    check(0, block / 2);
    check(1, 3 * block);
    check(bytes.size() - 1, 1);
    check(bytes.size() - 1, 2);
    check(bytes.size(), 1);
    check(bytes.size() + 5, 1);
    check(block + 3, block + 14);
    check(0, 0);
    for (int i = 0; i < 300; ++i) {
        seed = seed * 1103515245 + 12345;
        uint64_t offset = (seed >> 8) % (bytes.size() + 8);
        seed = seed * 1103515245 + 12345;
        size_t count = (seed >> 8) % (i % 3 == 0 ? block + block / 2 : 600);
        check(offset, count);
    }
}

// Run by the test below in a process of its own: writes a file half-way
// and ends the process there, as a program closed in the middle of an
// extraction ends its worker.
TEST(ArcDll, DISABLED_WritesHalfAndEnds)
{
    wchar_t path[MAX_PATH];
    ASSERT_NE(GetEnvironmentVariableW(L"NIMBRA_HALF_WRITTEN", path, MAX_PATH), 0u);
    arcdll::TOutputFile file(path);
    file.Write("half", 4);
    TerminateProcess(GetCurrentProcess(), 7);
}

// Whether the file is new (written in place) or replaces one (written
// beside it), a process that ends before the file is complete leaves no
// part of it: the old file stays as it was and nothing else is there.
TEST(ArcDll, AProcessEndedHalfWayLeavesNoPartOfTheFile)
{
    std::wstring folder = TemporaryFolder(L"arccommon-ended");
    std::wstring target = folder + L"\\f.txt";
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(program) +
                        L"\" --gtest_also_run_disabled_tests --gtest_filter=ArcDll.DISABLED_WritesHalfAndEnds";
    SetEnvironmentVariableW(L"NIMBRA_HALF_WRITTEN", target.c_str());
    auto runHelper = [&] {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = nul;
        PROCESS_INFORMATION process{};
        std::wstring command = line;
        BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        CloseHandle(nul);
        if (!started) return DWORD{0};
        WaitForSingleObject(process.hProcess, 30000);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return code;
    };
    auto names = [&] {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return found;
        do
            if (data.cFileName[0] != L'.') found.push_back(data.cFileName);
        while (FindNextFileW(find, &data));
        FindClose(find);
        return found;
    };
    // What an earlier run left goes first.
    for (const std::wstring& name : names()) DeleteFileW((folder + L"\\" + name).c_str());
    ASSERT_EQ(runHelper(), 7u);
    EXPECT_EQ(names(), std::vector<std::wstring>{}) << "a new file ended half-way is gone";
    { std::ofstream(target.c_str()) << "whole"; }
    ASSERT_EQ(runHelper(), 7u);
    EXPECT_EQ(names(), std::vector<std::wstring>{L"f.txt"}) << "no temporary file is left beside it";
    std::ifstream in(target.c_str());
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "whole");
    SetEnvironmentVariableW(L"NIMBRA_HALF_WRITTEN", nullptr);
}

namespace {

int g_asked = 0;
int g_answer = IDNO;

int CountedAnswer(const std::wstring&, const std::wstring&)
{
    ++g_asked;
    return g_answer;
}

} // namespace

// The question about files already there comes once per command, never for
// a file the command wrote itself (a later entry of the same name, in any
// letter case), and its answer holds for the rest of the command.
TEST(ArcDll, ExistingFilesAreAskedAboutOncePerCommand)
{
    std::wstring folder = TemporaryFolder(L"arccommon-existing");
    auto make = [&](const wchar_t* name) {
        HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CloseHandle(file);
    };
    make(L"old1");
    make(L"old2");
    DeleteFileW((folder + L"\\mine").c_str());
    for (int answer : {IDNO, IDYES}) {
        g_asked = 0;
        g_answer = answer;
        arcdll::TExistingFiles existing(L"test.dll", false, CountedAnswer);
        ASSERT_TRUE(existing.MayWrite(folder + L"\\mine"));
        make(L"mine");
        EXPECT_TRUE(existing.MayWrite(folder + L"\\MINE")) << "its own file is replaced";
        EXPECT_EQ(g_asked, 0);
        EXPECT_EQ(existing.MayWrite(folder + L"\\old1"), answer == IDYES);
        EXPECT_EQ(existing.MayWrite(folder + L"\\old2"), answer == IDYES);
        EXPECT_EQ(g_asked, 1);
        EXPECT_EQ(existing.Note(), answer == IDYES ? L"" : L" 2 existing file(s) kept.");
        DeleteFileW((folder + L"\\mine").c_str());
    }
    g_answer = IDCANCEL;
    arcdll::TExistingFiles stopped(L"test.dll", false, CountedAnswer);
    try {
        stopped.MayWrite(folder + L"\\old1");
        ADD_FAILURE() << "a stop goes on";
    } catch (const arcio::EArchiveError& e) {
        EXPECT_EQ(e.Code(), arcerr::UserCancel);
    }
    g_asked = 0;
    arcdll::TExistingFiles replacing(L"test.dll", true, CountedAnswer);
    EXPECT_TRUE(replacing.MayWrite(folder + L"\\old1"));
    EXPECT_EQ(g_asked, 0) << "the overwrite switch asks nothing";
    for (const wchar_t* name : {L"old1", L"old2"})
        DeleteFileW((folder + L"\\" + name).c_str());
    RemoveDirectoryW(folder.c_str());
}
