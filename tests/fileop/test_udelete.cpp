// Deleting: which names the shell may take, and the delete for good that
// removes exactly the named files, whole trees, read-only files and long
// paths included, without following links out of the tree.

// Own
#include "fileop/UActionDelete.h"

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>
#include <winioctl.h>

// Standard library
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/folders/TempFolder.h"

namespace {

std::wstring Exact(const std::wstring& path) { return L"\\\\?\\" + path; }

bool ExistsExact(const std::wstring& path) { return GetFileAttributesW(Exact(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeExact(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    UniqueFileHandle file(CreateFileW(Exact(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
    EXPECT_TRUE(file) << "cannot make the file";
}

// A junction at path to target, made as the system's own tools make one.
bool MakeJunction(const std::wstring& path, const std::wstring& target)
{
    if (!CreateDirectoryW(path.c_str(), nullptr))
        return false;
    std::wstring substitute = L"\\??\\" + target;
    std::vector<BYTE> buffer(8 + 8 + (substitute.size() + 1 + target.size() + 1) * sizeof(wchar_t));
    auto* words = reinterpret_cast<USHORT*>(buffer.data());
    *reinterpret_cast<DWORD*>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
    words[2] = static_cast<USHORT>(buffer.size() - 8);
    words[4] = 0;
    words[5] = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    words[6] = static_cast<USHORT>((substitute.size() + 1) * sizeof(wchar_t));
    words[7] = static_cast<USHORT>(target.size() * sizeof(wchar_t));
    auto* names = reinterpret_cast<wchar_t*>(buffer.data() + 16);
    std::copy(substitute.begin(), substitute.end(), names);
    std::copy(target.begin(), target.end(), names + substitute.size() + 1);
    UniqueFileHandle directory(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD returned = 0;
    return directory && DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
}

} // namespace

TEST(DeleteTargets, NamesTheShellWouldMisreadGoByTheExactCalls)
{
    std::wstring folder = L"C:\\work\\";
    std::wstring longName(MAX_PATH - folder.size(), L'n');
    TDeleteTargets targets = DeleteTargets(
        folder, {L"a.txt", L"foo.", L"bar ", L"sub\\found.txt", L"D:\\x\\y.", L"", longName, longName.substr(1)});
    EXPECT_EQ(targets.ForShell, (std::vector<std::wstring>{L"C:\\work\\a.txt", L"C:\\work\\sub\\found.txt",
                                                           folder + longName.substr(1)}));
    EXPECT_EQ(targets.Exact,
              (std::vector<std::wstring>{L"C:\\work\\foo.", L"C:\\work\\bar ", L"D:\\x\\y.", folder + longName}));
    // A folder that itself ends in a dot sends every name the exact way.
    TDeleteTargets dotted = DeleteTargets(L"C:\\odd.\\", {L"a.txt"});
    EXPECT_TRUE(dotted.ForShell.empty());
    EXPECT_EQ(dotted.Exact, std::vector<std::wstring>{L"C:\\odd.\\a.txt"});
}

TEST(DeleteForGood, RemovesExactlyTheNamedFileOrTreeAndNothingBeyondIt)
{
    TempFolder dir;
    std::wstring folder = dir.Path() + L"\\";
    MakeExact(folder + L"foo.");
    dir.MakeFile(L"foo", "twin");
    EXPECT_EQ(DeleteForGood(folder + L"foo."), 0u);
    EXPECT_FALSE(ExistsExact(folder + L"foo."));
    EXPECT_EQ(ReadFileBytes(folder + L"foo").value_or(""), "twin") << "the name without the dot is another file";

    // A tree: a read-only file, a folder ending in a space, a path past
    // MAX_PATH, and a link to a folder outside that must survive.
    std::wstring outside = dir.MakeDir(L"outside");
    dir.MakeFile(L"outside\\keep.txt", "kept");
    std::wstring tree = dir.MakeDir(L"tree");
    MakeExact(tree + L"\\locked.txt", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(CreateDirectoryW(Exact(tree + L"\\spaced ").c_str(), nullptr));
    MakeExact(tree + L"\\spaced \\inner.");
    std::wstring deep = tree;
    for (int level = 0; level < 6; ++level) {
        deep += L"\\" + std::wstring(50, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(CreateDirectoryW(Exact(deep).c_str(), nullptr));
    }
    MakeExact(deep + L"\\deep.txt", FILE_ATTRIBUTE_READONLY);
    ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH));
    bool linked = MakeJunction(tree + L"\\link", outside) &&
                  FileExists(tree + L"\\link\\keep.txt");
    EXPECT_EQ(DeleteForGood(tree), 0u);
    EXPECT_FALSE(ExistsExact(tree));
    EXPECT_EQ(ReadFileBytes(outside + L"\\keep.txt").value_or(""), "kept") << "the link was followed";
    if (!linked)
        std::printf("(no junctions here: the link case did not run)\n");

    EXPECT_EQ(DeleteForGood(folder + L"gone"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(DeleteForGood, WhatCannotGoIsReportedAndTheRestStillGoes)
{
    TempFolder dir;
    std::wstring tree = dir.MakeDir(L"tree");
    dir.MakeFile(L"tree\\a.txt");
    std::wstring held = dir.MakeFile(L"tree\\held.txt");
    dir.MakeFile(L"tree\\z.txt");
    // Open without delete sharing: the file cannot go while it is open.
    UniqueFileHandle holder(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_TRUE(SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(DeleteForGood(tree), 0u);
    EXPECT_TRUE(FileExists(held));
    EXPECT_NE(GetFileAttributesW(held.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << "a file that stays keeps its bit";
    EXPECT_FALSE(FileExists(tree + L"\\a.txt"));
    EXPECT_FALSE(FileExists(tree + L"\\z.txt"));
    holder.reset();
    SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_NORMAL);
}
