// The rules of copy, move and link jobs that need no window.

// Own
#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

// Standard library
#include <algorithm>
#include <cstdio>
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
        // An earlier run under the same process id may have left its tree.
        TempFolder::Remove(FRoot);
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

// ---------------------------------------------------------------------------
// Files told apart by identity, names taken as written, nothing lost

namespace {

std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

void WriteExtended(const std::wstring& path, const std::string& text)
{
    UniqueFileHandle file(
        CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << "cannot write the test file, error " << GetLastError();
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string ReadExtended(const std::wstring& path)
{
    return ReadFileBytes(Extended(path)).value_or("<missing>");
}

void SetWriteTime(const std::wstring& path, FILETIME time)
{
    UniqueFileHandle file(CreateFileW(Extended(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &time));
}

bool MakeJunction(const std::wstring& link, const std::wstring& target)
{
    if (!CreateDirectoryW(link.c_str(), nullptr))
        return false;
    std::wstring substitute = L"\\??\\" + target;
    std::vector<BYTE> buffer(8 + 8 + (substitute.size() + target.size() + 2) * sizeof(wchar_t));
    auto* words = reinterpret_cast<WORD*>(buffer.data());
    *reinterpret_cast<DWORD*>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
    words[2] = static_cast<WORD>(buffer.size() - 8);
    words[4] = 0;
    words[5] = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    words[6] = static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t));
    words[7] = static_cast<WORD>(target.size() * sizeof(wchar_t));
    auto* text = reinterpret_cast<wchar_t*>(buffer.data() + 16);
    std::copy(substitute.begin(), substitute.end(), text);
    std::copy(target.begin(), target.end(), text + substitute.size() + 1);
    UniqueFileHandle handle(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD size = 0;
    if (handle && DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), nullptr, 0, &size, nullptr))
        return true;
    handle.reset();
    RemoveDirectoryW(link.c_str());
    return false;
}

// A directory link made by the file system, one that leads where it
// should: a junction, or else a symbolic link; empty when neither works.
// Under Wine: a symbolic link of the Unix side, made by its own ln (the
// links Wine makes itself do not lead anywhere in this version).
bool MakeUnixLink(const std::wstring& link, const std::wstring& target)
{
    using TUnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<TUnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr)
        return false;
    char* unixTarget = unixName(target.c_str());
    std::wstring folder = link.substr(0, link.find_last_of(L'\\'));
    char* unixFolder = unixName(folder.c_str());
    if (unixTarget == nullptr || unixFolder == nullptr)
        return false;
    // -n -f: a link of that name left by an earlier run is replaced, not
    // entered (a link inside the folder it leads to would be made instead).
    std::string command = std::string("/bin/ln -s -n -f ") + unixTarget + " " + unixFolder + "/" +
                          UnicodeToUtf8(link.substr(folder.size() + 1));
    HeapFree(GetProcessHeap(), 0, unixTarget);
    HeapFree(GetProcessHeap(), 0, unixFolder);
    std::wstring wide(command.begin(), command.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Wine may say a Unix process ended before it did: the link itself is
    // waited for.
    for (int i = 0; i < 200; ++i) {
        if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(50);
    }
    return false;
}

// A directory link that leads where it should: a Unix one under Wine, a
// junction, or a symbolic link; empty when none can be made here.
std::string MakeDirectoryLink(const std::wstring& link, const std::wstring& target)
{
    auto leads = [&] { return FileIdentity(link) && FileIdentity(link) == FileIdentity(target); };
    if (MakeUnixLink(link, target) && leads())
        return "Unix symbolic link";
    if (MakeJunction(link, target) && leads())
        return "junction";
    RemoveDirectoryW(link.c_str());
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && leads())
        return "symbolic link";
    return {};
}

std::vector<std::wstring> Entries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find)
        do {
            if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
                names.emplace_back(data.cFileName);
        } while (FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(Identity, ALinkedFolderIsTheSamePlaceForMoveCopyAndTheRecursionGuard)
{
    TTree tree(TempBase());
    tree.Dir(L"real");
    tree.File(L"real\\f.txt", "the only copy");
    std::string kind = MakeDirectoryLink(tree / L"link", tree / L"real");
    if (kind.empty())
        GTEST_SKIP() << "no directory links on this file system";
    auto show = [](const std::optional<TFileIdentity>& id) {
        return id ? std::to_string(id->Volume) + ":" + std::to_string(id->IndexHigh) + ":" + std::to_string(id->IndexLow)
                  : std::string("none");
    };
    ASSERT_TRUE(FileIdentity(tree / L"link\\f.txt") == FileIdentity(tree / L"real\\f.txt"))
        << kind << " " << show(FileIdentity(tree / L"link\\f.txt")) << " " << show(FileIdentity(tree / L"real\\f.txt"))
        << " " << show(FileIdentity(tree / L"link")) << " " << show(FileIdentity(tree / L"real"));

    // Moved onto itself through the link, with recycling chosen: nothing
    // happens, and the user is told.
    for (TCollisionMode mode : {TCollisionMode::Recycle, TCollisionMode::Overwrite, TCollisionMode::Backup,
                                TCollisionMode::RecycleIfNewer}) {
        SCOPED_TRACE(static_cast<int>(mode));
        TScriptedUI ui;
        ui.Modes = {mode};
        RunJob(TFileOperationKind::Move, tree / L"real", tree / L"link", {L"f.txt"}, ui);
        EXPECT_EQ(tree.Read(L"real\\f.txt"), "the only copy");
        EXPECT_EQ(ui.Warnings.size(), 1u);
        EXPECT_TRUE(ui.Failures.empty());
        EXPECT_EQ(Entries(tree / L"real"), std::vector<std::wstring>{L"f.txt"});
    }
    // Copied onto itself: a numbered copy beside it, or nothing.
    TScriptedUI backup;
    backup.Modes = {TCollisionMode::Backup};
    RunJob(TFileOperationKind::Copy, tree / L"link", tree / L"real", {L"f.txt"}, backup);
    EXPECT_EQ(tree.Read(L"real\\f.txt"), "the only copy");
    EXPECT_EQ(tree.Read(L"real\\f.000.txt"), "the only copy");
    TScriptedUI recycle;
    recycle.Modes = {TCollisionMode::Recycle};
    RunJob(TFileOperationKind::Copy, tree / L"link", tree / L"real", {L"f.txt"}, recycle);
    EXPECT_EQ(tree.Read(L"real\\f.txt"), "the only copy");
    EXPECT_EQ(recycle.Warnings.size(), 1u);

    // A folder copied into itself through the link is caught.
    tree.Dir(L"real\\sub");
    TScriptedUI guard;
    RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"link\\sub", {L"real"}, guard);
    ASSERT_EQ(guard.Warnings.size(), 1u);
    EXPECT_FALSE(tree.Exists(L"real\\sub\\real"));
}

TEST(Identity, ACopyDoesNotFollowALinkBackIntoItsOwnTree)
{
    TTree tree(TempBase());
    tree.Dir(L"t");
    tree.Dir(L"t\\a");
    tree.File(L"t\\a\\x.txt", "x");
    tree.Dir(L"out");
    tree.File(L"out\\o.txt", "outside");
    std::string kind = MakeDirectoryLink(tree / L"t\\a\\up", tree / L"t");
    if (kind.empty())
        GTEST_SKIP() << "no directory links on this file system";
    std::printf("links made: %s\n", kind.c_str());
    MakeDirectoryLink(tree / L"t\\away", tree / L"out");
    tree.Dir(L"dst");
    TScriptedUI ui;
    TFileOperationEngine engine(TFileOperationKind::Copy, TPath::FromPath(tree.Root()), TPath::FromPath(tree / L"dst"),
                                {L"t"}, ui);
    engine.Scan();
    engine.Execute();
    EXPECT_EQ(tree.Read(L"dst\\t\\a\\x.txt"), "x");
    EXPECT_EQ(tree.Read(L"dst\\t\\away\\o.txt"), "outside") << "a link out of the tree is copied through";
    EXPECT_FALSE(tree.Exists(L"dst\\t\\a\\up\\a")) << "the link back to the tree was entered";
    ASSERT_EQ(ui.Warnings.size(), 1u);
    EXPECT_NE(ui.Warnings[0].find(L"up"), std::wstring::npos);

    // A move takes the links as links: what they lead to stays where it is.
    tree.Dir(L"moved");
    TScriptedUI move;
    RunJob(TFileOperationKind::Move, tree.Root(), tree / L"moved", {L"t"}, move);
    EXPECT_EQ(tree.Read(L"out\\o.txt"), "outside");
    EXPECT_EQ(tree.Read(L"moved\\t\\away\\o.txt"), "outside");
    EXPECT_TRUE(FileIdentity(tree / L"moved\\t\\away") == FileIdentity(tree / L"out")) << "still a link";
}

// Two links back to the top make the tree endless when every folder
// reached is walked: the count must come back, with each real entry once.
TEST(Identity, CountingATreeWithLinksBackToItsTopEnds)
{
    TTree tree(TempBase());
    tree.Dir(L"t");
    tree.Dir(L"t\\a");
    tree.File(L"t\\a\\x.txt", "x");
    if (MakeDirectoryLink(tree / L"t\\a\\up", tree / L"t").empty())
        GTEST_SKIP() << "no directory links on this file system";
    MakeDirectoryLink(tree / L"t\\a\\up2", tree / L"t");
    TScriptedUI ui;
    TFileOperationEngine engine(TFileOperationKind::Copy, TPath::FromPath(tree.Root()), TPath::FromPath(tree / L"dst"),
                                {L"t"}, ui);
    // t, a, x.txt, up and up2.
    EXPECT_EQ(engine.Scan(), 5);
}

TEST(Names, TrailingDotsSpacesAndLongPathsMeanWhatTheySay)
{
    TTree tree(TempBase());
    tree.Dir(L"src");
    tree.Dir(L"dst");
    // "foo." and "foo" are two files; the parser would make the first the second.
    WriteExtended(tree / L"src\\foo.", "with a dot");
    WriteExtended(tree / L"src\\foo", "plain");
    WriteExtended(tree / L"src\\bar ", "with a space");
    const std::wstring deep(130, L'd');
    const std::wstring longName = std::wstring(140, L'n') + L".txt";
    CreateDirectoryW(Extended(tree / L"src\\" + deep).c_str(), nullptr);
    WriteExtended(tree / L"src\\" + deep + L"\\" + longName, "far away");
    ASSERT_GT((tree / L"dst\\" + deep + L"\\" + longName).size(), 260u);
    for (TFileOperationKind kind : {TFileOperationKind::Copy, TFileOperationKind::Move}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TScriptedUI ui;
        RunJob(kind, tree / L"src", tree / L"dst", {L"foo.", L"bar ", deep}, ui);
        EXPECT_TRUE(ui.Failures.empty());
        EXPECT_EQ(ReadExtended(tree / L"dst\\foo."), "with a dot");
        EXPECT_EQ(ReadExtended(tree / L"dst\\bar "), "with a space");
        EXPECT_EQ(ReadExtended(tree / L"dst\\" + deep + L"\\" + longName), "far away");
        EXPECT_FALSE(tree.Exists(L"dst\\foo")) << "another file was taken";
        EXPECT_EQ(ReadExtended(tree / L"src\\foo"), "plain");
        if (kind == TFileOperationKind::Move) {
            EXPECT_EQ(ReadExtended(tree / L"src\\foo."), "<missing>");
            EXPECT_EQ(ReadExtended(tree / L"src\\" + deep + L"\\" + longName), "<missing>");
        } else {
            EXPECT_EQ(ReadExtended(tree / L"src\\foo."), "with a dot");
            // Emptied for the move that follows.
            DeleteFileW(Extended(tree / L"dst\\foo.").c_str());
            DeleteFileW(Extended(tree / L"dst\\bar ").c_str());
            DeleteFileW(Extended(tree / L"dst\\" + deep + L"\\" + longName).c_str());
            RemoveDirectoryW(Extended(tree / L"dst\\" + deep).c_str());
        }
    }
    DeleteFileW(Extended(tree / L"dst\\foo.").c_str());
    DeleteFileW(Extended(tree / L"dst\\bar ").c_str());
    DeleteFileW(Extended(tree / L"dst\\" + deep + L"\\" + longName).c_str());
    RemoveDirectoryW(Extended(tree / L"dst\\" + deep).c_str());
}

TEST(Names, ATypedNameIsCheckedAndCancelEndsTheJob)
{
    TTree tree(TempBase());
    tree.Dir(L"src");
    tree.Dir(L"dst");
    tree.File(L"src\\a.txt", "new");
    tree.File(L"src\\b.txt", "bee");
    tree.File(L"dst\\a.txt", "old");
    // Cancelled name dialog with "all" chosen: the job ends, once asked.
    TScriptedUI cancel;
    cancel.Modes = {TCollisionMode::Rename};
    EXPECT_THROW(RunJob(TFileOperationKind::Copy, tree / L"src", tree / L"dst", {L"a.txt", L"b.txt"}, cancel), EAbort);
    EXPECT_EQ(cancel.NameQuestions, 0);
    EXPECT_EQ(cancel.Collisions.size(), 1u);
    EXPECT_EQ(tree.Read(L"dst\\a.txt"), "old");
    EXPECT_FALSE(tree.Exists(L"dst\\b.txt"));

    // A name that leaves the folder or names a stream is refused, and asked again.
    TScriptedUI ui;
    ui.Modes = {TCollisionMode::Rename};
    ui.NewNames = {L"..\\escaped.txt", L"a.txt:stream", L"CON.txt", L"ok.txt"};
    RunJob(TFileOperationKind::Copy, tree / L"src", tree / L"dst", {L"a.txt"}, ui);
    EXPECT_EQ(ui.Warnings.size(), 3u);
    EXPECT_EQ(tree.Read(L"dst\\ok.txt"), "new");
    EXPECT_EQ(tree.Read(L"dst\\a.txt"), "old");
    EXPECT_FALSE(tree.Exists(L"escaped.txt"));
    EXPECT_EQ(ReadFileBytes(tree / L"dst\\a.txt:stream").value_or("<none>"), "<none>");
    EXPECT_EQ(Entries(tree / L"dst"), (std::vector<std::wstring>{L"a.txt", L"ok.txt"}));
    EXPECT_EQ(BadFileNameReason(L"ok.txt"), L"");
    EXPECT_NE(BadFileNameReason(L"a/b"), L"");
    EXPECT_NE(BadFileNameReason(L"nul"), L"");
    EXPECT_NE(BadFileNameReason(L"COM1.log"), L"");
    EXPECT_EQ(BadFileNameReason(L"COM10.log"), L"") << "only COM1 to COM9 are devices";
    EXPECT_EQ(BadFileNameReason(L"console.txt"), L"");
}

TEST(Modes, EverySuccessLeavesTheRightContentsAndEqualTimesKeepTheOld)
{
    using M = TCollisionMode;
    const FILETIME older{0x10000000, 0x01D00000}, newer{0x20000000, 0x01D90000};
    struct TCase {
        M Mode;
        FILETIME SourceTime;
        const char* Expected; // at the destination's name
        bool Backup;          // the old one at .000
    };
    const TCase cases[] = {
        {M::Overwrite, older, "new", false},       {M::Backup, older, "new", true},
        {M::Recycle, older, "new", false},         {M::OverwriteIfNewer, newer, "new", false},
        {M::OverwriteIfNewer, older, "old", false}, {M::BackupIfNewer, newer, "new", true},
        {M::BackupIfNewer, older, "old", false},   {M::RecycleIfNewer, newer, "new", false},
        {M::RecycleIfNewer, older, "old", false},
    };
    for (TFileOperationKind kind : {TFileOperationKind::Copy, TFileOperationKind::Move}) {
        for (const TCase& test : cases) {
            SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " mode " +
                         std::to_string(static_cast<int>(test.Mode)));
            TTree tree(TempBase());
            tree.Dir(L"src");
            tree.Dir(L"dst");
            tree.File(L"src\\a.txt", "new");
            tree.File(L"dst\\a.txt", "old");
            // The destination was written at the older time: the "older"
            // source has the same time, the tie an "if newer" mode skips.
            SetWriteTime(tree / L"src\\a.txt", test.SourceTime);
            SetWriteTime(tree / L"dst\\a.txt", older);
            TScriptedUI ui;
            ui.Modes = {test.Mode};
            RunJob(kind, tree / L"src", tree / L"dst", {L"a.txt"}, ui);
            EXPECT_TRUE(ui.Failures.empty()) << (ui.Failures.empty() ? "" : UnicodeToUtf8(ui.Failures[0]));
            EXPECT_EQ(tree.Read(L"dst\\a.txt"), test.Expected);
            EXPECT_EQ(tree.Read(L"dst\\a.000.txt"), test.Backup ? "old" : "<missing>");
            bool moved = kind == TFileOperationKind::Move && std::string(test.Expected) == "new";
            EXPECT_EQ(tree.Read(L"src\\a.txt"), moved ? "<missing>" : "new");
            EXPECT_EQ(Entries(tree / L"dst").size(), test.Backup ? 2u : 1u) << "a temporary file stayed";
        }
    }
}

TEST(Temporaries, FilesLeftByAJobThatEndedAreSweptAndLiveOnesKept)
{
    TTree tree(TempBase());
    tree.Dir(L"dst");
    tree.File(L"a.txt", "a");
    // Left by a process that no longer runs (an id no process has), by this
    // one (which runs), and a name this program never gives.
    tree.File(L"dst\\~nimbra-fffffff0-01d9000000000000-12345678.tmp", "stale");
    std::wstring live = TemporaryName(tree / L"dst");
    WriteExtended(live, "live");
    tree.File(L"dst\\~nimbra-notours.tmp", "other");
    TScriptedUI ui;
    RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"dst", {L"a.txt"}, ui);
    EXPECT_FALSE(tree.Exists(L"dst\\~nimbra-fffffff0-01d9000000000000-12345678.tmp"));
    EXPECT_EQ(ReadExtended(live), "live");
    EXPECT_EQ(tree.Read(L"dst\\~nimbra-notours.tmp"), "other");
    EXPECT_EQ(tree.Read(L"dst\\a.txt"), "a");
}

TEST(LargeFiles, ArriveByContentWithByteProgressAndStopOnClose)
{
    TTree tree(TempBase());
    tree.Dir(L"dst");
    std::string contents(20 * 1024 * 1024 + 12345, '\0');
    uint32_t state = 12345;
    for (char& c : contents) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    tree.File(L"big.bin", contents);
    TScriptedUI ui;
    RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"dst", {L"big.bin"}, ui);
    EXPECT_TRUE(tree.Read(L"dst\\big.bin") == contents) << "the copy differs from its source";
    ASSERT_GE(ui.Bytes.size(), 3u) << "no progress within the file";
    for (size_t i = 1; i < ui.Bytes.size(); ++i)
        EXPECT_LE(ui.Bytes[i - 1].first, ui.Bytes[i].first);
    EXPECT_EQ(ui.Bytes.back().first, contents.size());
    EXPECT_GT(ui.Bytes[1].first, 0u);
    EXPECT_LT(ui.Bytes[1].first, contents.size());

    // Closed half-way: the job stops there and leaves no part of the file.
    tree.Dir(L"dst2");
    TScriptedUI closing;
    closing.OnProgress = [&](uint64_t done, uint64_t) { closing.CloseNow = done >= 4 * 1024 * 1024; };
    EXPECT_THROW(RunJob(TFileOperationKind::Copy, tree.Root(), tree / L"dst2", {L"big.bin"}, closing), EAbort);
    EXPECT_LT(closing.Bytes.back().first, contents.size()) << "it did not stop within the file";
    EXPECT_EQ(Entries(tree / L"dst2"), std::vector<std::wstring>{});
}
