// The rules of copy, move and link jobs that need no window.

// Own
#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Platform
#include <windows.h>
#include <shellapi.h>

// Standard library
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fileop/ScriptedUI.h"
#include "tests/folders/TempFolder.h"

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
    EXPECT_TRUE(MovesWhole(move, false, L"C:\\a\\d", L"C:\\b\\d"));
    EXPECT_FALSE(MovesWhole(move, true, L"C:\\a\\d", L"C:\\b\\d")) << "an existing directory is merged";
    EXPECT_FALSE(MovesWhole(move, false, L"C:\\a\\d", L"D:\\b\\d")) << "another drive copies and removes";
    EXPECT_FALSE(MovesWhole(move, false, L"C:\\a\\d", L"c:\\b\\d")) << "drive parts compare exactly";
    EXPECT_FALSE(MovesWhole(TFileOperationKind::Copy, false, L"C:\\a\\d", L"C:\\b\\d"));
}

// ---------------------------------------------------------------------------
// The engine on real folders

namespace {

// A fresh folder under base, removed with its contents at the end.
class TTree {
public:
    explicit TTree(const std::wstring& base)
    {
        static int counter = 0;
        FRoot = base + L"nimbra-fileop-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        CreateDirectoryW(FRoot.c_str(), nullptr);
    }
    ~TTree() { TempFolder::Remove(FRoot); }
    std::wstring operator/(const std::wstring& name) const { return FRoot + L"\\" + name; }
    const std::wstring& Root() const { return FRoot; }
    void Dir(const std::wstring& name) const { CreateDirectoryW((*this / name).c_str(), nullptr); }
    void File(const std::wstring& name, const std::string& text) const
    {
        UniqueFileHandle file(CreateFileW((*this / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    std::string Read(const std::wstring& name) const { return ReadFileBytes(*this / name).value_or("<missing>"); }
    bool Exists(const std::wstring& name) const { return FileExists(*this / name); }

private:
    std::wstring FRoot;
};

std::wstring TempBase()
{
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp, length);
}

void RunJob(TFileOperationKind kind, const std::wstring& from, const std::wstring& to, std::vector<std::wstring> names,
         TScriptedUI& ui)
{
    TFileOperationEngine engine(kind, TPath::FromPath(from), TPath::FromPath(to), std::move(names), ui);
    engine.Execute();
}

} // namespace

TEST(Engine, CopyResolvesCollisionsWithNumberedBackupsAndCopiesTrees)
{
    TTree tree(TempBase());
    tree.Dir(L"src");
    tree.Dir(L"src\\sub");
    tree.File(L"src\\a.txt", "new");
    tree.File(L"src\\sub\\b.txt", "bee");
    tree.Dir(L"dst");
    tree.File(L"dst\\a.txt", "old");
    tree.File(L"dst\\a.000.txt", "zero");
    tree.File(L"dst\\a.002.txt", "two");
    TScriptedUI ui;
    ui.Modes = {TCollisionMode::Backup};
    TFileOperationEngine engine(TFileOperationKind::Copy, TPath::FromPath(tree / L"src"), TPath::FromPath(tree / L"dst"),
                                {L"a.txt", L"sub"}, ui);
    EXPECT_EQ(engine.Scan(), 3);
    engine.Execute();
    EXPECT_EQ(ui.Steps, 3);
    EXPECT_EQ(tree.Read(L"dst\\a.txt"), "new");
    EXPECT_EQ(tree.Read(L"dst\\a.000.txt"), "zero");
    EXPECT_EQ(tree.Read(L"dst\\a.001.txt"), "two");
    EXPECT_EQ(tree.Read(L"dst\\a.002.txt"), "old") << "the replaced file is the newest backup";
    EXPECT_EQ(tree.Read(L"dst\\sub\\b.txt"), "bee");
    EXPECT_EQ(tree.Read(L"src\\a.txt"), "new");
}

TEST(Engine, OntoItsOwnFolderABackupIsACopyAndNothingIsOverwritten)
{
    TTree tree(TempBase());
    tree.File(L"a.txt", "keep");
    TScriptedUI ui;
    ui.Modes = {TCollisionMode::Backup};
    RunJob(TFileOperationKind::Copy, tree.Root(), tree.Root(), {L"a.txt"}, ui);
    EXPECT_EQ(tree.Read(L"a.txt"), "keep");
    EXPECT_EQ(tree.Read(L"a.000.txt"), "keep");

    ui.Modes = {TCollisionMode::Recycle};
    RunJob(TFileOperationKind::Copy, tree.Root(), tree.Root(), {L"a.txt"}, ui);
    EXPECT_EQ(tree.Read(L"a.txt"), "keep");
    ASSERT_EQ(ui.Warnings.size(), 1u) << "recycling in the same place is refused, once";
}

TEST(Engine, TheRecursionGuardSkipsOnlyTheDirectoryCopiedIntoItself)
{
    TTree tree(TempBase());
    tree.Dir(L"d");
    tree.Dir(L"d\\inner");
    tree.File(L"d\\x.txt", "x");
    tree.File(L"other.txt", "o");
    TScriptedUI ui;
    RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"d", {L"d", L"other.txt"}, ui);
    ASSERT_EQ(ui.Warnings.size(), 1u);
    EXPECT_NE(ui.Warnings[0].find(L"無限コピー"), std::wstring::npos);
    EXPECT_FALSE(tree.Exists(L"d\\d"));
    EXPECT_EQ(tree.Read(L"d\\other.txt"), "o");
}

TEST(Engine, SkipAndOlderSourcesLeaveTheDestinationAndCancelStopsTheJob)
{
    TTree tree(TempBase());
    tree.Dir(L"src");
    tree.Dir(L"dst");
    tree.File(L"src\\a.txt", "new");
    tree.File(L"src\\b.txt", "bee");
    tree.File(L"dst\\a.txt", "old");
    // The destination is newer: mode 3 keeps it.
    FILETIME later{0xFFFFFFFF, 0x7FFFFFFF};
    {
        UniqueFileHandle file(CreateFileW((tree / L"dst\\a.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        SetFileTime(file.get(), nullptr, nullptr, &later);
    }
    TScriptedUI ui;
    ui.Modes = {TCollisionMode::OverwriteIfNewer};
    RunJob(TFileOperationKind::Copy, tree / L"src", tree / L"dst", {L"a.txt"}, ui);
    EXPECT_EQ(tree.Read(L"dst\\a.txt"), "old");

    TScriptedUI cancel;
    cancel.Cancel = true;
    EXPECT_THROW(RunJob(TFileOperationKind::Copy, tree / L"src", tree / L"dst", {L"a.txt", L"b.txt"}, cancel), EAbort);
    EXPECT_EQ(tree.Read(L"dst\\a.txt"), "old");
    EXPECT_FALSE(tree.Exists(L"dst\\b.txt")) << "nothing after a Cancel";
}

TEST(Engine, AMoveAcrossDrivesKeepsTheSourcesOfSkippedFiles)
{
    TTree c(TempBase());
    TTree z(L"Z:\\tmp\\");
    c.Dir(L"d");
    c.File(L"d\\keep.txt", "k");
    c.File(L"d\\go.txt", "g");
    z.File(L"keep.txt", "there");
    z.Dir(L"d");
    z.File(L"d\\keep.txt", "there");
    TScriptedUI ui;
    ui.Modes = {TCollisionMode::Skip};
    RunJob(TFileOperationKind::Move, c.Root(), z.Root(), {L"d"}, ui);
    EXPECT_EQ(z.Read(L"d\\go.txt"), "g");
    EXPECT_EQ(z.Read(L"d\\keep.txt"), "there");
    EXPECT_EQ(c.Read(L"d\\keep.txt"), "k") << "a skipped file stays with its folder";
    EXPECT_FALSE(c.Exists(L"d\\go.txt"));

    // On one drive, to a free name, the directory moves whole.
    c.Dir(L"e");
    c.File(L"e\\f.txt", "f");
    c.Dir(L"to");
    RunJob(TFileOperationKind::Move, c.Root(), c / L"to", {L"e"}, ui);
    EXPECT_EQ(c.Read(L"to\\e\\f.txt"), "f");
    EXPECT_FALSE(c.Exists(L"e"));
}

TEST(Engine, AVanishedSourceIsReportedAndTheJobGoesOn)
{
    TTree tree(TempBase());
    tree.Dir(L"dst");
    tree.File(L"b.txt", "b");
    TScriptedUI ui;
    RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"dst", {L"gone.txt", L"b.txt"}, ui);
    ASSERT_EQ(ui.Failures.size(), 1u);
    EXPECT_NE(ui.Failures[0].find(L"gone.txt"), std::wstring::npos);
    EXPECT_EQ(tree.Read(L"dst\\b.txt"), "b");
}

TEST(Engine, LinksToProgramsDropTheirExeAndRenameAsksForANewName)
{
    CoInitialize(nullptr);
    TTree tree(TempBase());
    tree.File(L"app.EXE", "MZ");
    tree.Dir(L"dst");
    TScriptedUI ui;
    RunJob(TFileOperationKind::Link, tree.Root(), tree / L"dst", {L"app.EXE"}, ui);
    EXPECT_TRUE(tree.Exists(L"dst\\app.lnk"));

    tree.File(L"n.txt", "n");
    tree.File(L"dst\\n.txt", "old");
    ui.Modes = {TCollisionMode::Rename};
    ui.NewNames = {L"n2.txt"};
    RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"dst", {L"n.txt"}, ui);
    EXPECT_EQ(tree.Read(L"dst\\n.txt"), "old");
    EXPECT_EQ(tree.Read(L"dst\\n2.txt"), "n");
    CoUninitialize();
}
