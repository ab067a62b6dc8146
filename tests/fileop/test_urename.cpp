// Renaming: the name parts several names share, the names a multiple rename
// gives, and the rename that never replaces another file and renames the
// very file it names.

// Own
#include "fileop/URename.h"

// Platform
#include <windows.h>

// Standard library
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "lw/LHandles.h"
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

TEST(RenameRules, TypedNamesThatNoFileCanHaveAreRefused)
{
    for (const wchar_t* bad : {L"", L".", L"..", L"sub\\c.txt", L"a/b", L"c?.txt", L"c:d", L"a*", L"\"q\"", L"a<b",
                               L"a>b", L"a|b", L"tab\there", L"x.", L"x ", L"CON", L"nul.txt", L"Com1", L"lpt9.log",
                               L"aux .c", L"CONOUT$"})
        EXPECT_FALSE(IsValidFileName(bad)) << std::string(bad, bad + wcslen(bad));
    for (const wchar_t* good : {L"a", L".profile", L"console", L"com10", L"lpt0", L"nul-file.txt", L"名前 付き.txt",
                                L"a&b(1)^%!.txt"})
        EXPECT_TRUE(IsValidFileName(good)) << std::string(good, good + wcslen(good));

    EXPECT_EQ(TypedFileName(L"foo. . "), L"foo");
    EXPECT_EQ(TypedFileName(L" a.b"), L" a.b");
    EXPECT_EQ(TypedFileName(L"..."), L"");
    EXPECT_NE(InvalidNameMessage(L"CON").find(L"CON"), std::wstring::npos);
}

namespace {

// Paths the parser would trim are made and read in the extended form.
std::wstring MakeExact(const std::wstring& path, std::string_view contents)
{
    UniqueFileHandle file(CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_TRUE(file) << "cannot make the file";
    DWORD written = 0;
    WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    return path;
}

std::string ReadExact(const std::wstring& path) { return ReadFileBytes(L"\\\\?\\" + path).value_or("<missing>"); }

void RemoveExact(const std::wstring& path) { DeleteFileW((L"\\\\?\\" + path).c_str()); }

} // namespace

TEST(RenameFile, RenamesButNeverReplacesAnotherFileOrAcceptsABadName)
{
    TempFolder dir;
    dir.MakeFile(L"a.txt", "first");
    dir.MakeFile(L"b.txt", "second");
    std::wstring folder = dir.Path() + L"\\";

    EXPECT_FALSE(RenameFile(folder, L"a.txt", L"b.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadFileBytes(dir / L"b.txt").value_or(""), "second") << "the other file is untouched";
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt").value_or(""), "first");
    // Another case of a taken name is taken all the same.
    EXPECT_FALSE(RenameFile(folder, L"a.txt", L"B.TXT"));
    EXPECT_EQ(ReadFileBytes(dir / L"b.txt").value_or(""), "second");

    for (const wchar_t* bad : {L"", L"..", L"sub\\c.txt", L"c?.txt", L"c:d", L"nul", L"c."})
        EXPECT_FALSE(RenameFile(folder, L"a.txt", bad)) << std::string(bad, bad + wcslen(bad));
    EXPECT_TRUE(FileExists(dir / L"a.txt"));
    EXPECT_FALSE(FileExists(L"\\\\?\\" + (dir / L"nul")));

    EXPECT_TRUE(RenameFile(folder, L"a.txt", L"a.txt")) << "the same name is no change";
    EXPECT_TRUE(RenameFile(folder, L"a.txt", L"A.TXT")) << "a change of case alone is allowed";
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((dir / L"a.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_STREQ(found.cFileName, L"A.TXT");
    EXPECT_EQ(ReadFileBytes(dir / L"A.TXT").value_or(""), "first");
    EXPECT_TRUE(RenameFile(folder, L"A.TXT", L"名前.txt"));
    EXPECT_EQ(ReadFileBytes(dir / L"名前.txt").value_or(""), "first");
    EXPECT_FALSE(FileExists(dir / L"a.txt"));

    EXPECT_FALSE(RenameFile(folder, L"gone.txt", L"c.txt")) << "a missing source fails";
    EXPECT_FALSE(FileExists(dir / L"c.txt"));
}

TEST(RenameFile, ANameEndingInADotOrASpaceAndALongPathAreTheFilesTheyName)
{
    TempFolder dir;
    std::wstring folder = dir.Path() + L"\\";
    // "foo." and "foo" are two files; the parser takes the first for the
    // second.
    MakeExact(folder + L"foo.", "dotted");
    dir.MakeFile(L"foo", "plain");
    MakeExact(folder + L"bar ", "spaced");
    EXPECT_TRUE(RenameFile(folder, L"foo.", L"renamed"));
    EXPECT_EQ(ReadExact(folder + L"renamed"), "dotted");
    EXPECT_EQ(ReadExact(folder + L"foo"), "plain") << "the other file keeps its name";
    EXPECT_TRUE(RenameFile(folder, L"bar ", L"bar2"));
    EXPECT_EQ(ReadExact(folder + L"bar2"), "spaced");
    // The new name may not be the trimmed twin of the old one's neighbour.
    EXPECT_FALSE(RenameFile(folder, L"renamed", L"foo"));
    EXPECT_EQ(ReadExact(folder + L"foo"), "plain");

    // A folder deep enough that the whole path passes MAX_PATH.
    std::wstring deep = folder;
    for (int level = 0; level < 6; ++level) {
        deep += std::wstring(50, static_cast<wchar_t>(L'a' + level)) + L"\\";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    ASSERT_GT(deep.size() + 10, static_cast<size_t>(MAX_PATH));
    MakeExact(deep + L"old.txt", "deep");
    EXPECT_TRUE(RenameFile(deep, L"old.txt", L"new.txt"));
    EXPECT_EQ(ReadExact(deep + L"new.txt"), "deep");
    EXPECT_EQ(ReadExact(deep + L"old.txt"), "<missing>");

    // What the parser cannot reach the cleanup cannot either.
    RemoveExact(deep + L"new.txt");
    while (deep.size() > folder.size()) {
        RemoveDirectoryW((L"\\\\?\\" + deep).c_str());
        deep.resize(deep.find_last_of(L'\\', deep.size() - 2) + 1);
    }
}
