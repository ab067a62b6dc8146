// The wide-string path functions: name parts, comparison, full and long
// forms, and the accessibility probe.

// Own
#include "folders/SysUtilsW.h"
#include "TempFolder.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct TextCase {
    std::wstring_view input;
    std::wstring_view expected;
};

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

} // namespace

TEST(SysUtilsW, ExtractFileDir)
{
    const TextCase cases[] = {
        {L"C:\\a\\b", L"C:\\a"},
        {L"C:\\a", L"C:\\"},         // the backslash after the drive stays
        {L"C:\\a\\", L"C:\\a"},      // a trailing backslash is dropped...
        {L"C:\\", L"C:\\"},          // ...but not after ":"
        {L"C:\\a\\\\", L"C:\\a\\\\"}, // ...nor after another backslash
        {L"C:", L"C:"},
        {L"C:a", L"C:"},
        {L"\\\\srv\\share\\x", L"\\\\srv\\share"},
        {L"\\\\srv\\share", L"\\\\srv"},
        {L"a.b\\c", L"a.b"},
        {L"\\a", L"\\"},
        {L"abc", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractFileDir(c.input), c.expected) << Narrow(c.input);
}

TEST(SysUtilsW, ExtractFileNameAndDrive)
{
    const TextCase names[] = {
        {L"C:\\a\\b.txt", L"b.txt"}, {L"C:x", L"x"}, {L"C:\\", L""}, {L"abc", L"abc"}, {L"\\\\srv\\share", L"share"},
    };
    for (const auto& c : names)
        EXPECT_EQ(ExtractFileName(c.input), c.expected) << Narrow(c.input);

    const TextCase drives[] = {
        {L"C:\\a\\b", L"C:"},
        {L"C:", L"C:"},
        {L"x:rel", L"x:"},
        {L"\\\\srv\\share\\x\\y", L"\\\\srv\\share"},
        {L"\\\\srv\\share", L"\\\\srv\\share"},
        {L"\\\\srv\\share\\", L"\\\\srv\\share"},
        {L"\\\\srv", L"\\\\srv"},
        {L"\\a\\b", L""},
        {L"a\\b", L""},
        {L"C", L""},
        {L"", L""},
    };
    for (const auto& c : drives)
        EXPECT_EQ(ExtractFileDrive(c.input), c.expected) << Narrow(c.input);
}

TEST(SysUtilsW, ExtractFileExt)
{
    const TextCase cases[] = {
        {L"a.txt", L".txt"},
        {L"archive.tar.gz", L".gz"},
        {L"C:\\dir.d\\file", L""}, // a dot in the directory is no extension
        {L"a.b\\c", L""},
        {L"a.b\\c.d", L".d"},
        {L"C:.x", L".x"},
        {L".profile", L".profile"},
        {L"name.", L"."},
        {L"noext", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractFileExt(c.input), c.expected) << Narrow(c.input);
}

TEST(SysUtilsW, IncludeTrailingBackslashAndCombinePath)
{
    const TextCase trailing[] = {
        {L"", L"\\"}, {L"C:", L"C:\\"}, {L"C:\\", L"C:\\"}, {L"a\\b", L"a\\b\\"}, {L"\\\\srv\\share", L"\\\\srv\\share\\"},
    };
    for (const auto& c : trailing)
        EXPECT_EQ(IncludeTrailingBackslash(c.input), c.expected) << Narrow(c.input);

    struct {
        std::wstring_view dir, name, expected;
    } const combined[] = {
        {L"C:\\a", L"b", L"C:\\a\\b"},
        {L"C:\\", L"b", L"C:\\b"},
        {L"C:\\a", L"D:\\x", L"D:\\x"},
        {L"C:\\a", L"\\\\srv\\s", L"\\\\srv\\s"},
        {L"C:\\a", L"\\x\\y", L"\\x\\y"},
        // Two characters are never taken as absolute.
        {L"C:\\a", L"C:", L"C:\\a\\C:"},
        {L"C:\\a", L"\\x", L"C:\\a\\\\x"},
        {L"C:\\a", L"ab", L"C:\\a\\ab"},
    };
    for (const auto& c : combined)
        EXPECT_EQ(CombinePath(c.dir, c.name), c.expected) << Narrow(c.dir) << " + " << Narrow(c.name);
}

TEST(SysUtilsW, IsRootPath)
{
    struct {
        std::wstring_view path;
        bool expected;
    } const cases[] = {
        {L"C:\\", true},
        {L"z:\\", true},
        {L"\\\\srv\\share", true},
        {L"\\\\srv\\share\\", false},
        {L"\\\\srv\\share\\x", false},
        {L"C:", false},
        {L"C:\\a", false},
        {L"1:\\", false},
        {L"\\", false},
        {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsRootPath(c.path), c.expected) << Narrow(c.path);
}

TEST(SysUtilsW, SameText)
{
    struct {
        std::wstring_view a, b;
        int expected;
    } const cases[] = {
        {L"abc", L"ABC", 0},
        {L"C:\\Windows", L"c:\\WINDOWS", 0},
        {L"a", L"b", -1},
        {L"B", L"a", 1},
        {L"", L"", 0},
        {L"", L"a", -1},
        {L"a", L"", 1},
        {L"日本語.txt", L"日本語.TXT", 0},
        {L"日本語", L"日本", 1},
        // Only the given length counts, not a terminator further on.
        {std::wstring_view(L"abcdef", 3), L"ABC", 0},
        {std::wstring_view(L"ab\0c", 4), std::wstring_view(L"ab\0d", 4), -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SameText(c.a, c.b), c.expected) << Narrow(c.a) << " / " << Narrow(c.b);
}

TEST(SysUtilsW, ExpandFileNameUsesTheWholeBuffer)
{
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    std::wstring base = IncludeTrailingBackslash(current);

    EXPECT_EQ(ExpandFileName(L"x.txt"), base + L"x.txt");
    EXPECT_EQ(ExpandFileName(L"C:\\a\\..\\b\\.\\c"), L"C:\\b\\c");
    EXPECT_EQ(ExpandFileName(L""), L"");

    // Longer than the classic 260 characters: nothing is cut off.
    std::wstring longName(300, L'n');
    std::wstring expanded = ExpandFileName(L"C:\\deep\\" + longName);
    EXPECT_EQ(expanded, L"C:\\deep\\" + longName);
    EXPECT_EQ(ExpandFileName(longName), base + longName);
}

TEST(SysUtilsW, GetLongPathNameExpandsShortNamesAndKeepsMissingOnes)
{
    TempFolder temp;
    std::wstring longDir = GetLongPathName(temp.MakeDir(L"長いディレクトリ名 with spaces"));
    std::wstring longFile = temp.MakeFile(L"長いディレクトリ名 with spaces\\document file.text");

    wchar_t shortName[MAX_PATH];
    ASSERT_GT(GetShortPathNameW(longFile.c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortName), longFile) << "the file system gives no short names";
    EXPECT_EQ(SameText(GetLongPathName(shortName), GetLongPathName(longFile)), 0);
    EXPECT_NE(GetLongPathName(shortName).find(L"document file.text"), std::wstring::npos);
    EXPECT_NE(GetLongPathName(shortName).find(L"長いディレクトリ名 with spaces"), std::wstring::npos);

    // A vanished location keeps its name instead of becoming empty.
    std::wstring missing = temp / L"gone\\deeper";
    EXPECT_EQ(GetLongPathName(missing), missing);
    EXPECT_EQ(GetLongPathName(L""), L"");
}

TEST(SysUtilsW, PathIsAccessible)
{
    TempFolder temp;
    std::wstring file = temp.MakeFile(L"probe.txt");
    std::wstring dir = temp.MakeDir(L"sub dir");
    const UINT errorMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);

    struct {
        std::wstring path;
        bool expected;
    } const cases[] = {
        {file, true},
        {dir, true},
        {dir + L"\\", true},
        {temp.Path(), true},
        {L"C:\\", true},
        {L"C:", true},
        {temp / L"missing", false},
        {temp / L"missing\\deeper", false},
        {L"", false},
        // A pattern matches files but is not a place.
        {temp / L"*", false},
        {temp / L"pro?e.txt", false},
        // A zero inside the text must not shorten the path that is probed.
        {temp.Path() + std::wstring(1, L'\0') + L"missing", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PathIsAccessible(c.path), c.expected) << Narrow(c.path);

    // The probe restores the caller's error mode.
    EXPECT_EQ(SetErrorMode(errorMode), static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
}

TEST(SysUtilsW, ExtendedPathKeepsEveryNameAsItStands)
{
    const TextCase cases[] = {
        {L"C:\\a\\foo.", L"\\\\?\\C:\\a\\foo."},
        {L"c:/a/b ", L"\\\\?\\c:\\a\\b "},
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"\\\\srv\\share\\x.", L"\\\\?\\UNC\\srv\\share\\x."},
        {L"\\\\srv\\share", L"\\\\?\\UNC\\srv\\share"},
        // Already extended, a device, or nothing the form can take.
        {L"\\\\?\\C:\\a.", L"\\\\?\\C:\\a."},
        {L"\\\\?\\UNC\\srv\\s\\a", L"\\\\?\\UNC\\srv\\s\\a"},
        {L"\\\\.\\COM1", L"\\\\.\\COM1"},
        {L"\\\\srv", L"\\\\srv"},
        {L"\\\\", L"\\\\"},
        {L"\\\\\\x\\y", L"\\\\\\x\\y"},
        {L"C:", L"C:"},
        {L"C:a", L"C:a"},
        {L"1:\\a", L"1:\\a"},
        {L"relative\\a", L"relative\\a"},
        {L"", L""},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(ExtendedPath(c.input), c.expected) << Narrow(c.input);

    EXPECT_TRUE(NeedsExtendedPath(L"C:\\a\\foo."));
    EXPECT_TRUE(NeedsExtendedPath(L"C:\\dir \\foo"));
    EXPECT_TRUE(NeedsExtendedPath(L"C:\\a.\\b"));
    EXPECT_FALSE(NeedsExtendedPath(L"C:\\a\\.\\b\\..\\c"));
    EXPECT_FALSE(NeedsExtendedPath(L"C:\\a\\foo.txt"));
    EXPECT_FALSE(NeedsExtendedPath(L"C:\\"));
    // The parser's limit: 259 characters and a terminator.
    std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 4, L'a');
    EXPECT_FALSE(NeedsExtendedPath(longest));
    EXPECT_TRUE(NeedsExtendedPath(longest + L"a"));

    // A name the parser would trim is reached in the extended form.
    TempFolder dir;
    std::wstring dotted = dir.Path() + L"\\foo.";
    HANDLE file = CreateFileW(ExtendedPath(dotted).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(GetFileAttributesW((dir.Path() + L"\\foo").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the file is \"foo.\", not \"foo\"";
    EXPECT_NE(GetFileAttributesW(ExtendedPath(dotted).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(DeleteFileW(ExtendedPath(dotted).c_str()));
}

TEST(SysUtilsW, AProbeTurnsErrorBoxesOffForItsOwnThreadOnly)
{
    const UINT saved = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD proberMode = 0;
    std::thread prober([&] {
        CriticalErrorsOff off;
        proberMode = GetThreadErrorMode();
        SetEvent(inside);
        WaitForSingleObject(done, 10000);
    });
    ASSERT_EQ(WaitForSingleObject(inside, 10000), WAIT_OBJECT_0);
    // While another thread probes, this thread and the process keep theirs.
    EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
    EXPECT_EQ(GetThreadErrorMode() & SEM_FAILCRITICALERRORS, 0u);
    SetEvent(done);
    prober.join();
    EXPECT_NE(proberMode & SEM_FAILCRITICALERRORS, 0u) << "the probing thread has the boxes off";

    // On the calling thread: on for the probe, what it was after it.
    const DWORD mine = GetThreadErrorMode();
    {
        CriticalErrorsOff off;
        EXPECT_NE(GetThreadErrorMode() & SEM_FAILCRITICALERRORS, 0u);
        EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_NOOPENFILEERRORBOX));
    }
    EXPECT_EQ(GetThreadErrorMode(), mine);
    CloseHandle(inside);
    CloseHandle(done);
    SetErrorMode(saved);
}
