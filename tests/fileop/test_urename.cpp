// Renaming: the name parts several names share, the names a multiple rename
// gives, and the shell rename that never replaces another file.

// Own
#include "fileop/URename.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/folders/TempFolder.h"

namespace {

std::wstring Renamed(const std::vector<std::wstring>& names, size_t index, TNameParts typed)
{
    return MultiRenamedName(names[index], CommonParts(names), typed);
}

} // namespace

TEST(RenameRules, TheExtensionIsWhatFollowsTheLastDotOfTheLastPathPart)
{
    EXPECT_EQ(SplitName(L"report.txt").Base, L"report");
    EXPECT_EQ(SplitName(L"archive.tar.gz").Extension, L"gz");
    EXPECT_EQ(SplitName(L"Makefile").Base, L"Makefile");
    EXPECT_EQ(SplitName(L"Makefile").Extension, L"");
    // A dot in a folder part of a search result's name is no extension.
    EXPECT_EQ(SplitName(L"C:\\v1.2\\README").Extension, L"");
    EXPECT_EQ(SplitName(L".profile").Base, L"");
    EXPECT_EQ(SplitName(L"trailing.").Extension, L"");
    EXPECT_EQ(SplitName(L"trailing.").Base, L"trailing");
}

TEST(RenameRules, ASharedPartTakesTheTypedTextAndADifferingPartStaysEachNamesOwn)
{
    std::vector<std::wstring> sameExtension{L"a.txt", L"b.TXT"};
    EXPECT_EQ(CommonParts(sameExtension).Base, L"*");
    EXPECT_EQ(CommonParts(sameExtension).Extension, L"txt") << "compared ignoring case, first spelling kept";
    EXPECT_EQ(Renamed(sameExtension, 0, {L"*", L"log"}), L"a.log");
    EXPECT_EQ(Renamed(sameExtension, 1, {L"*", L"log"}), L"b.log");

    std::vector<std::wstring> sameBase{L"x.txt", L"x.doc"};
    EXPECT_EQ(Renamed(sameBase, 0, {L"y", L"*"}), L"y.txt");
    EXPECT_EQ(Renamed(sameBase, 1, {L"y", L"*"}), L"y.doc");

    // Once a part differs it stays differing, even when a later name
    // matches the first again.
    std::vector<std::wstring> threeNames{L"a.txt", L"b.txt", L"a.doc"};
    EXPECT_EQ(CommonParts(threeNames).Base, L"*");
    EXPECT_EQ(CommonParts(threeNames).Extension, L"*");

    // Names without an extension get no trailing dot.
    std::vector<std::wstring> noExtension{L"one", L"two"};
    EXPECT_EQ(CommonParts(noExtension).Extension, L"");
    EXPECT_EQ(Renamed(noExtension, 0, {L"*", L""}), L"one");
    EXPECT_EQ(Renamed(noExtension, 1, {L"*", L"md"}), L"two.md");
    std::vector<std::wstring> oneWithout{L"x.txt", L"x"};
    EXPECT_EQ(CommonParts(oneWithout).Extension, L"*");
    EXPECT_EQ(Renamed(oneWithout, 1, {L"y", L"*"}), L"y");
}

TEST(RenameRules, ASearchResultBringsItsOwnFolder)
{
    TRenameSource plain = RenameSource(L"C:\\work", L"a.txt");
    EXPECT_EQ(plain.Folder, L"C:\\work\\");
    EXPECT_EQ(plain.Name, L"a.txt");
    TRenameSource found = RenameSource(L"C:\\work\\", L"D:\\deep\\er\\b.txt");
    EXPECT_EQ(found.Folder, L"D:\\deep\\er\\");
    EXPECT_EQ(found.Name, L"b.txt");
}

TEST(ShellRename, RenamesButNeverReplacesAnotherFileOrAcceptsABadName)
{
    TempFolder dir;
    dir.MakeFile(L"a.txt", "first");
    dir.MakeFile(L"b.txt", "second");
    std::wstring folder = dir.Path() + L"\\";

    EXPECT_FALSE(ShellRename(nullptr, folder, L"a.txt", L"b.txt"));
    EXPECT_EQ(ReadFileBytes(dir / L"b.txt").value_or(""), "second") << "the other file is untouched";
    EXPECT_TRUE(FileExists(dir / L"a.txt"));

    for (const wchar_t* bad : {L"", L"..", L"sub\\c.txt", L"c?.txt", L"c:d"})
        EXPECT_FALSE(ShellRename(nullptr, folder, L"a.txt", bad)) << bad;
    EXPECT_TRUE(FileExists(dir / L"a.txt"));

    EXPECT_TRUE(ShellRename(nullptr, folder, L"a.txt", L"a.txt")) << "the same name is no change";
    EXPECT_TRUE(ShellRename(nullptr, folder, L"a.txt", L"A.TXT")) << "a change of case alone is allowed";
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((dir / L"a.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_STREQ(found.cFileName, L"A.TXT");
    EXPECT_TRUE(ShellRename(nullptr, folder, L"A.TXT", L"名前.txt"));
    EXPECT_EQ(ReadFileBytes(dir / L"名前.txt").value_or(""), "first");
    EXPECT_FALSE(FileExists(dir / L"a.txt"));

    EXPECT_FALSE(ShellRename(nullptr, folder, L"gone.txt", L"c.txt")) << "a missing source fails";
    EXPECT_FALSE(FileExists(dir / L"c.txt"));
}
