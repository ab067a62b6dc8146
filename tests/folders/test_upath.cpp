// Folder locations: the string form in both directions, equality and the
// ownership of the parts of a TPath.

// Own
#include "folders/ShlUtils.h"
#include "IDListBuilder.h"
#include "folders/SysUtilsW.h"
#include "folders/UPath.h"
#include "TempFolder.h"

// Platform
#include <windows.h>
#include <objbase.h>

// Standard library
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr std::wstring_view MyComputer = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";

class UPathTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

std::wstring CurrentDirectory()
{
    wchar_t buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
    return std::wstring(buffer, length);
}

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

} // namespace

TEST_F(UPathTest, EmptyTextIsTheDesktop)
{
    TPath desktop = ParsePath(L"");
    ASSERT_NE(desktop.IDList, nullptr);
    EXPECT_EQ(IDListSize(desktop.IDList), 2u);
    EXPECT_TRUE(desktop.PathView().empty());
    EXPECT_TRUE(desktop.SubPathView().empty());
    EXPECT_EQ(PathToString(desktop), L"");
    EXPECT_TRUE(SamePath(ParsePath(PathToString(desktop)), desktop));
}

TEST_F(UPathTest, ArchiveLocationSplitsAtTheFirstSlashAndRoundTrips)
{
    TempFolder temp;
    std::wstring archive = GetLongPathName(temp.MakeFile(L"packed archive.zip"));
    wchar_t shortName[MAX_PATH];
    ASSERT_GT(GetShortPathNameW(archive.c_str(), shortName, MAX_PATH), 0u);

    // Written in the long form, the short form, or relative to the current
    // directory, the location is the same.
    std::wstring saved = CurrentDirectory();
    ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
    std::vector<std::wstring> inputs = {archive + L"/x/y", std::wstring(shortName) + L"/x/y", L"packed archive.zip/x/y"};
    for (const auto& input : inputs) {
        TPath p = ParsePath(input);
        EXPECT_EQ(p.IDList, nullptr) << Narrow(input);
        EXPECT_EQ(p.PathView(), archive) << Narrow(input);
        EXPECT_EQ(p.SubPathView(), L"x/y") << Narrow(input);
        EXPECT_EQ(PathToString(p), archive + L"/x/y") << Narrow(input);
    }
    SetCurrentDirectoryW(saved.c_str());

    // A trailing slash names the archive's top.
    TPath top = ParsePath(archive + L"/");
    EXPECT_EQ(top.PathView(), archive);
    EXPECT_TRUE(top.SubPathView().empty());
    EXPECT_EQ(PathToString(top), archive);
}

TEST_F(UPathTest, DirectoriesRoundTrip)
{
    TempFolder temp;
    std::vector<std::wstring> directories = {
        GetLongPathName(temp.Path()),
        GetLongPathName(temp.MakeDir(L"日本語のフォルダ")),
        GetLongPathName(temp.MakeDir(L"name.with.dots")),
        L"C:\\",
        L"Z:\\",
    };
    for (const auto& dir : directories) {
        TPath p = ParsePath(dir);
        EXPECT_EQ(p.IDList, nullptr) << Narrow(dir);
        EXPECT_EQ(p.PathView(), dir) << Narrow(dir);
        EXPECT_EQ(PathToString(p), dir) << Narrow(dir);
        EXPECT_TRUE(SamePath(ParsePath(PathToString(p)), p)) << Narrow(dir);
    }
}

TEST_F(UPathTest, MyComputerIsANamespaceLocation)
{
    TPath p = ParsePath(MyComputer);
    ASSERT_NE(p.IDList, nullptr);
    EXPECT_GT(IDListSize(p.IDList), 2u);
    EXPECT_EQ(p.PathView(), MyComputer);
    EXPECT_EQ(SameText(PathToString(p), MyComputer), 0) << Narrow(PathToString(p));
    EXPECT_TRUE(SamePath(ParsePath(PathToString(p)), p));
    EXPECT_FALSE(SamePath(p, ParsePath(L"")));
}

TEST_F(UPathTest, UnknownTextFallsBackToTheCurrentDirectory)
{
    const std::wstring_view garbage[] = {
        L"no such place at all 12345",
        L"Q:\\nowhere\\at\\all",
        L"C:\\nowhere 12345\\x.zip/inner/part",
    };
    for (auto text : garbage) {
        TPath p = ParsePath(text);
        EXPECT_EQ(p.IDList, nullptr) << Narrow(text);
        EXPECT_EQ(p.PathView(), CurrentDirectory()) << Narrow(text);
        EXPECT_TRUE(p.SubPathView().empty()) << Narrow(text);
    }
}

TEST_F(UPathTest, Equality)
{
    UniqueIDList listA = MakeIDList({"abc", "de"});
    UniqueIDList listB = MakeIDList({"abc", "de"});
    UniqueIDList listC = MakeIDList({"abc", "dx"});
    UniqueIDList listD = MakeIDList({"abc"});

    auto withList = [](LPCITEMIDLIST list, std::wstring_view name) {
        return TPath::FromIDList(CloneIDList(list).release(), name);
    };
    auto tagged = [](TPath p, int32_t tag) {
        p.ProviderTag = tag;
        return p;
    };

    struct {
        TPath a, b;
        bool expected;
        const char* what;
    } const cases[] = {
        {TPath::FromPath(L"C:\\Dir\\Sub"), TPath::FromPath(L"c:\\dir\\SUB"), true, "letter case of Path"},
        {TPath::FromPath(L"C:\\a.zip", L"Docs/Img"), TPath::FromPath(L"C:\\A.ZIP", L"docs/img"), true, "letter case of SubPath"},
        {TPath::FromPath(L"C:\\a"), TPath::FromPath(L"C:\\b"), false, "other Path"},
        {TPath::FromPath(L"C:\\a"), TPath::FromPath(L"C:\\a\\"), false, "trailing backslash"},
        {TPath::FromPath(L"C:\\a.zip", L"x"), TPath::FromPath(L"C:\\a.zip"), false, "SubPath only on one side"},
        {TPath::FromPath(L"C:\\日本"), TPath::FromPath(L"C:\\日本"), true, "Japanese names"},
        {tagged(TPath::FromPath(L"C:\\a"), 1), TPath::FromPath(L"C:\\a"), false, "provider tag"},
        {tagged(TPath::FromPath(L"C:\\a"), 7), tagged(TPath::FromPath(L"C:\\a"), 7), true, "same provider tag"},
        {withList(listA.get(), L"x"), withList(listB.get(), L"y"), true, "same bytes, other names"},
        {withList(listA.get(), L"x"), withList(listC.get(), L"x"), false, "one byte differs"},
        {withList(listA.get(), L"x"), withList(listD.get(), L"x"), false, "one list is a prefix"},
        {withList(listA.get(), L"C:\\a"), TPath::FromPath(L"C:\\a"), false, "ID list on one side"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SamePath(c.a, c.b), c.expected) << c.what;
        EXPECT_EQ(SamePath(c.b, c.a), c.expected) << c.what << " (swapped)";
    }
}

TEST_F(UPathTest, CopiesAreIndependent)
{
    TPath original = ParsePath(MyComputer);
    ASSERT_NE(original.IDList, nullptr);
    original.SetSubPath(L"inner");
    original.ProviderTag = 3;
    const UINT size = IDListSize(original.IDList);

    TPath copy = original;
    EXPECT_NE(copy.IDList, original.IDList);
    EXPECT_NE(copy.Path, original.Path);
    EXPECT_TRUE(SamePath(copy, original));
    EXPECT_EQ(copy.SubPathView(), L"inner");
    EXPECT_EQ(copy.ProviderTag, 3);

    // Changing and clearing the copy leaves the original as it was.
    RemoveLastID(copy.IDList);
    copy.SetPath(L"changed");
    copy.SetSubPath(L"other");
    EXPECT_EQ(IDListSize(original.IDList), size);
    EXPECT_EQ(original.PathView(), MyComputer);
    EXPECT_EQ(original.SubPathView(), L"inner");
    copy.Clear();
    EXPECT_EQ(copy.IDList, nullptr);
    EXPECT_TRUE(copy.PathView().empty() && copy.SubPathView().empty());
    EXPECT_EQ(copy.ProviderTag, 0);
    EXPECT_EQ(IDListSize(original.IDList), size);
    EXPECT_EQ(SameText(PathToString(original), MyComputer), 0);

    // Assignment replaces every part with copies of its own.
    TPath assigned = TPath::FromPath(L"C:\\old", L"sub");
    assigned = original;
    EXPECT_TRUE(SamePath(assigned, original));
    EXPECT_NE(assigned.IDList, original.IDList);
    assigned = assigned;
    EXPECT_TRUE(SamePath(assigned, original));

    // A move hands the parts over and leaves the source empty.
    LPITEMIDLIST list = assigned.IDList;
    TPath moved = std::move(assigned);
    EXPECT_EQ(moved.IDList, list);
    EXPECT_EQ(assigned.IDList, nullptr);
    EXPECT_EQ(assigned.Path, nullptr);
    EXPECT_EQ(assigned.ProviderTag, 0);
    moved = TPath::FromPath(L"D:\\new");
    EXPECT_EQ(moved.IDList, nullptr);
    EXPECT_EQ(moved.PathView(), L"D:\\new");
    EXPECT_TRUE(moved.SubPathView().empty());

    // Freeing the ID list keeps the strings.
    original.FreeIDList();
    EXPECT_EQ(original.IDList, nullptr);
    EXPECT_EQ(original.PathView(), MyComputer);
}
