// Changing attributes and times: only what the choice changes is written,
// read-only files take new times and stay read-only, directories too.

// Own
#include "fileop/UAttributes.h"

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <string>

#include <gtest/gtest.h>

#include "tests/folders/TempFolder.h"

namespace {

TFileTimes TimesOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    TFileTimes times;
    times.Times = {data.ftCreationTime, data.ftLastWriteTime, data.ftLastAccessTime};
    return times;
}

uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(uint64_t ticks)
{
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Sets the write time, with a fraction of a second.
void SetWriteTime(const std::wstring& path, uint64_t ticks)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(file);
    FILETIME time = FromTicks(ticks);
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &time));
}

// What the dialog holds for one file when nothing is touched.
TAttributeChoice AsShown(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    TFileTimes times = TimesOf(path);
    TAttributeChoice choice;
    for (size_t i = 0; i < kSwitchAttributes.size(); ++i)
        choice.Switches[i] = (attributes & kSwitchAttributes[i]) != 0 ? TSwitchState::On : TSwitchState::Off;
    for (size_t i = 0; i < times.Times.size(); ++i)
        choice.Times[i] = LocalSecondOf(times.Times[i]);
    return choice;
}

// 2020-02-03 04:05:06.789 UTC, in file time units.
constexpr uint64_t kFractionalTime = 132252123067890000ull;

} // namespace

TEST(Attributes, SwitchesSetClearOrLeaveTheirBit)
{
    DWORD start = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    DWORD result = ApplySwitches(start, {TSwitchState::Off, TSwitchState::On, TSwitchState::Unchanged, TSwitchState::On});
    EXPECT_EQ(result, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Attributes, ConfirmingAnUntouchedDialogKeepsTheExactTimes)
{
    TempFolder dir;
    std::wstring path = dir.MakeFile(L"f.txt");
    SetWriteTime(path, kFractionalTime);
    TFileTimes before = TimesOf(path);
    ASSERT_EQ(Ticks(before.Times[1]), kFractionalTime);
    EXPECT_EQ(ApplyAttributeChoice(path, before, AsShown(path)), 0u);
    EXPECT_EQ(Ticks(TimesOf(path).Times[1]), kFractionalTime) << "the fraction of a second the dialog cannot show stays";
}

TEST(Attributes, AReadOnlyFileTakesANewWriteTimeAndStaysReadOnly)
{
    TempFolder dir;
    std::wstring path = dir.MakeFile(L"ro.txt");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    TAttributeChoice choice = AsShown(path);
    SYSTEMTIME wanted{2001, 2, 0, 3, 4, 5, 6, 0};
    choice.Times[1] = wanted;
    EXPECT_EQ(ApplyAttributeChoice(path, TimesOf(path), choice), 0u);
    SYSTEMTIME now = LocalSecondOf(TimesOf(path).Times[1]);
    EXPECT_EQ(now.wYear, 2001);
    EXPECT_EQ(now.wHour, 4);
    EXPECT_EQ(now.wSecond, 6);
    EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(Attributes, SeveralFilesLeftAloneChangeNothingAndUnchosenTimesAreNotWritten)
{
    TempFolder dir;
    std::wstring hidden = dir.MakeFile(L"hidden.txt");
    ASSERT_TRUE(SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    TFileTimes recorded = TimesOf(hidden);
    TAttributeChoice leaveAll; // every switch "-", no time ticked
    EXPECT_EQ(ApplyAttributeChoice(hidden, recorded, leaveAll), 0u);
    EXPECT_EQ(GetFileAttributesW(hidden.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));

    // The file is written after the dialog took its times: changing only the
    // access time leaves the new write time alone. (Creation times are not
    // kept by every file system Wine runs on.)
    SetWriteTime(hidden, kFractionalTime);
    TAttributeChoice accessOnly;
    accessOnly.Times[2] = SYSTEMTIME{1999, 12, 0, 31, 23, 59, 58, 0};
    accessOnly.Switches[1] = TSwitchState::Off;
    EXPECT_EQ(ApplyAttributeChoice(hidden, recorded, accessOnly), 0u);
    EXPECT_EQ(Ticks(TimesOf(hidden).Times[1]), kFractionalTime);
    EXPECT_EQ(LocalSecondOf(TimesOf(hidden).Times[2]).wYear, 1999);
    EXPECT_EQ(GetFileAttributesW(hidden.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST(Attributes, ADirectorysTimesChangeAndAMissingFileReportsItsError)
{
    TempFolder dir;
    std::wstring sub = dir.MakeDir(L"sub");
    TAttributeChoice choice;
    choice.Times[1] = SYSTEMTIME{2010, 6, 0, 15, 12, 0, 0, 0};
    EXPECT_EQ(ApplyAttributeChoice(sub, TimesOf(sub), choice), 0u);
    EXPECT_EQ(LocalSecondOf(TimesOf(sub).Times[1]).wYear, 2010);
    EXPECT_NE(GetFileAttributesW(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    EXPECT_EQ(ApplyAttributeChoice(dir / L"gone.txt", TFileTimes{}, choice), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Attributes, OneFileTakesOnlyWhatTheUserChangedAgainstWhatItHasNow)
{
    TempFolder dir;
    std::wstring path = dir.MakeFile(L"one.txt");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    DWORD listed = GetFileAttributesW(path.c_str());
    TAttributeChoice choice = AsShown(path);
    // Another program marks the file as a system file after the listing;
    // the user switches read-only on and hidden off.
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    choice.Switches[0] = TSwitchState::On;
    choice.Switches[1] = TSwitchState::Off;
    choice.Switches = ChangedSwitches(listed, choice.Switches);
    EXPECT_EQ(choice.Switches[2], TSwitchState::Unchanged) << "a switch shown as it was is left alone";
    EXPECT_EQ(choice.Switches[3], TSwitchState::Unchanged);
    EXPECT_EQ(ApplyAttributeChoice(path, TimesOf(path), choice), 0u);
    EXPECT_EQ(GetFileAttributesW(path.c_str()) & 0x07u, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(Attributes, ANameEndingInADotAndALongPathAreTheFilesTheyName)
{
    TempFolder dir;
    std::wstring plain = dir.MakeFile(L"foo");
    std::wstring dotted = dir / L"foo.";
    UniqueFileHandle made(CreateFileW((L"\\\\?\\" + dotted).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(made);
    made.reset();
    TAttributeChoice hide;
    hide.Switches[1] = TSwitchState::On;
    EXPECT_EQ(ApplyAttributeChoice(dotted, TimesOf(L"\\\\?\\" + dotted), hide), 0u);
    EXPECT_NE(GetFileAttributesW((L"\\\\?\\" + dotted).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(GetFileAttributesW(plain.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u) << "the twin without the dot is untouched";
    DeleteFileW((L"\\\\?\\" + dotted).c_str());

    std::wstring deep = dir.Path();
    for (int level = 0; level < 6; ++level) {
        deep += L"\\" + std::wstring(50, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    std::wstring file = deep + L"\\deep.txt";
    ASSERT_GT(file.size(), static_cast<size_t>(MAX_PATH));
    made.reset(CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(made);
    made.reset();
    TAttributeChoice readOnly;
    readOnly.Switches[0] = TSwitchState::On;
    EXPECT_EQ(ApplyAttributeChoice(file, TimesOf(L"\\\\?\\" + file), readOnly), 0u);
    EXPECT_NE(GetFileAttributesW((L"\\\\?\\" + file).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    readOnly.Switches[0] = TSwitchState::Off;
    EXPECT_EQ(ApplyAttributeChoice(file, TimesOf(L"\\\\?\\" + file), readOnly), 0u);
    EXPECT_TRUE(DeleteFileW((L"\\\\?\\" + file).c_str()));
    for (int level = 0; level < 6; ++level) {
        RemoveDirectoryW((L"\\\\?\\" + deep).c_str());
        deep.resize(deep.rfind(L'\\'));
    }
}
