// The rules of copy, move and link jobs that need no window.

// Own
#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"

// Standard library
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::pair<int, int>> Renames(const TBackupPlan& plan)
{
    std::vector<std::pair<int, int>> renames;
    for (const TBackupPlan::TRename& rename : plan.Renames)
        renames.emplace_back(rename.From, rename.To);
    return renames;
}

} // namespace

TEST(Backup, NamesKeepTheExtensionAfterTheNumber)
{
    EXPECT_EQ(BackupName(L"C:\\d\\report.txt", 0), L"C:\\d\\report.000.txt");
    EXPECT_EQ(BackupName(L"C:\\d\\report.tar.gz", 12), L"C:\\d\\report.tar.012.gz");
    EXPECT_EQ(BackupName(L"C:\\d\\name", 998), L"C:\\d\\name.998");
    EXPECT_EQ(BackupName(L"C:\\d.x\\name", 5), L"C:\\d.x\\name.005") << "a dot in a folder is no extension";
}

TEST(Backup, GapsCloseInOrderAndTheNewBackupTakesTheNextNumber)
{
    std::set<int> present{0, 2, 5};
    TBackupPlan plan = PlanBackup([&](int n) { return present.count(n) != 0; });
    EXPECT_EQ(Renames(plan), (std::vector<std::pair<int, int>>{{2, 1}, {5, 2}}));
    ASSERT_TRUE(plan.Next.has_value());
    EXPECT_EQ(*plan.Next, 3);

    // None yet: the first backup is 000 and nothing moves.
    plan = PlanBackup([](int) { return false; });
    EXPECT_TRUE(plan.Renames.empty());
    EXPECT_EQ(plan.Next.value_or(-1), 0);
}

TEST(Backup, AllSlotsTakenLeavesNoNumberRatherThanAThousandth)
{
    TBackupPlan plan = PlanBackup([](int) { return true; });
    EXPECT_TRUE(plan.Renames.empty());
    EXPECT_FALSE(plan.Next.has_value()) << "backup 999 would lie outside the numbers ever looked at";
    // One gap at the very end is still a slot.
    plan = PlanBackup([](int n) { return n != 998; });
    EXPECT_EQ(plan.Next.value_or(-1), 998);
}

TEST(Link, ExeGivesWayToLnkAndOtherNamesKeepTheirs)
{
    EXPECT_EQ(LinkName(L"D:\\t\\tool.exe"), L"D:\\t\\tool.lnk");
    EXPECT_EQ(LinkName(L"D:\\t\\app.EXE"), L"D:\\t\\app.lnk");
    EXPECT_EQ(LinkName(L"D:\\t\\notes.txt"), L"D:\\t\\notes.txt.lnk");
    EXPECT_EQ(LinkName(L"D:\\t\\exe"), L"D:\\t\\exe.lnk");
}

TEST(RecursionGuard, CatchesTheSourceItselfAndItsDescendantsOnly)
{
    EXPECT_TRUE(IsWithinSource(L"C:\\a\\b", L"C:\\a\\b"));
    EXPECT_TRUE(IsWithinSource(L"C:\\A\\B\\c", L"c:\\a\\b"));
    EXPECT_FALSE(IsWithinSource(L"C:\\a\\bc", L"C:\\a\\b")) << "a sibling that shares the prefix";
    EXPECT_FALSE(IsWithinSource(L"C:\\a", L"C:\\a\\b"));
}

TEST(SamePlace, PathsIgnoreCaseAndIdListsCompareByBytes)
{
    EXPECT_TRUE(SamePlace(TPath::FromPath(L"C:\\Dir"), TPath::FromPath(L"c:\\dir")));
    EXPECT_FALSE(SamePlace(TPath::FromPath(L"C:\\a.zip", L"x"), TPath::FromPath(L"C:\\a.zip", L"y")));
    TPath tagged = TPath::FromPath(L"C:\\Dir");
    tagged.ProviderTag = 7;
    EXPECT_FALSE(SamePlace(tagged, TPath::FromPath(L"C:\\Dir")));

    UniqueIDList first = AllocIDList(6);
    UniqueIDList second = AllocIDList(6);
    reinterpret_cast<USHORT*>(first.get())[0] = 4;
    reinterpret_cast<USHORT*>(second.get())[0] = 4;
    reinterpret_cast<BYTE*>(first.get())[2] = 1;
    reinterpret_cast<BYTE*>(second.get())[2] = 2;
    TPath a = TPath::FromIDList(CloneIDList(first.get()).release());
    TPath b = TPath::FromIDList(CloneIDList(first.get()).release());
    TPath c = TPath::FromIDList(second.release());
    EXPECT_TRUE(SamePlace(a, b));
    EXPECT_FALSE(SamePlace(a, c));
    EXPECT_FALSE(SamePlace(a, TPath::FromPath(L"C:\\Dir"))) << "one with an ID list, one without";
}

TEST(MoveWhole, OnlyAMoveOnOneDriveToAFreeName)
{
    const auto move = TFileOperationKind::Move;
    EXPECT_TRUE(MovesWhole(move, false, false, L"C:\\a\\d", L"C:\\b\\d"));
    EXPECT_FALSE(MovesWhole(move, false, true, L"C:\\a\\d", L"C:\\b\\d")) << "an existing directory is merged";
    EXPECT_FALSE(MovesWhole(move, false, false, L"C:\\a\\d", L"D:\\b\\d")) << "another drive copies and removes";
    EXPECT_FALSE(MovesWhole(move, false, false, L"C:\\a\\d", L"c:\\b\\d")) << "drive parts compare exactly";
    EXPECT_FALSE(MovesWhole(TFileOperationKind::Copy, false, false, L"C:\\a\\d", L"C:\\b\\d"));
    EXPECT_TRUE(MovesWhole(TFileOperationKind::Copy, true, true, L"C:\\a\\d", L"D:\\b\\d")) << "below a whole move";
}
