// Copy and move jobs meeting faults on real file systems: a destination that
// fills up or cannot be written, a source held open by another process or
// deleted while the job runs, Cancel in the middle, names too long for the
// shell, names in other scripts. Whatever happens, every byte of every
// source still exists (at the source or, for what was done, at the
// destination), nothing half-written stays under a final name, and no
// destination file is replaced unless the chosen mode says so.
//
// Built with FILEOP_HOLDER, the same file is the helper process that holds
// files open while a job runs.

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <vector>

#ifdef FILEOP_HOLDER

// fileop_holder READY RELEASE SHARE PATH [SHARE PATH]...: opens each path for
// reading with the given share mode, sets the event READY, and keeps them
// open until the event RELEASE is set (or a minute has passed).
int wmain(int argc, wchar_t** argv)
{
    if (argc < 5)
        return 2;
    std::vector<UniqueFileHandle> held;
    for (int i = 3; i + 1 < argc; i += 2) {
        auto share = static_cast<DWORD>(wcstoul(argv[i], nullptr, 10));
        held.emplace_back(CreateFileW(argv[i + 1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!held.back())
            return 3;
    }
    UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
    UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, argv[2]));
    if (!ready || !release)
        return 4;
    SetEvent(ready.get());
    WaitForSingleObject(release.get(), 60000);
    return 0;
}

#else

// Own
#include "fileop/UFileOp.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LStrings.h"

// Standard library
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "tests/fileop/ScriptedUI.h"
#include "tests/folders/TempFolder.h"

namespace {

using Kind = TFileOperationKind;
using Mode = TCollisionMode;

std::string Utf8(std::wstring_view text) { return UnicodeToUtf8(text); }

// Paths longer than MAX_PATH are reached through the extended form.
std::wstring Extended(const std::wstring& path) { return L"\\\\?\\" + path; }

std::optional<std::string> ReadAll(const std::wstring& path)
{
    return ReadFileBytes(Extended(path));
}

void WriteAll(const std::wstring& path, const std::string& bytes)
{
    UniqueFileHandle file(
        CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << Utf8(path) << " error " << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size())
        << Utf8(path);
}

// Contents that tell files, and a file from its beginning, apart.
std::string Bytes(size_t size, const std::wstring& seed)
{
    uint32_t state = 2166136261u;
    for (wchar_t c : seed)
        state = (state ^ c) * 16777619u;
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

bool IsDirectory(const WIN32_FIND_DATAW& data) { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsDot(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Removes a file or a folder with everything in it, long names included.
void RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(Extended(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(Extended(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(Extended(path).c_str());
        return;
    }
    std::vector<std::wstring> children;
    {
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(Extended(path + L"\\*").c_str(), &data));
        if (find) {
            do {
                if (!IsDot(data.cFileName))
                    children.push_back(path + L"\\" + data.cFileName);
            } while (FindNextFileW(find.get(), &data));
        }
    }
    for (const std::wstring& child : children)
        RemoveTree(child);
    RemoveDirectoryW(Extended(path).c_str());
}

// The files below a folder (or below the named entries of it), by their
// path relative to it, with their contents.
using TFiles = std::map<std::wstring, std::string>;

void AddFiles(const std::wstring& root, const std::wstring& relative, TFiles& files)
{
    std::wstring path = root + L"\\" + relative;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(Extended(path).c_str(), &data));
    if (!find)
        return;
    if (!IsDirectory(data)) {
        files[relative] = ReadAll(path).value_or("<unreadable>");
        return;
    }
    find.reset();
    std::vector<std::wstring> children;
    find.reset(FindFirstFileW(Extended(path + L"\\*").c_str(), &data));
    if (!find)
        return;
    do {
        if (!IsDot(data.cFileName))
            children.push_back(relative + L"\\" + data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    find.reset();
    for (const std::wstring& child : children)
        AddFiles(root, child, files);
}

TFiles Snapshot(const std::wstring& root, const std::vector<std::wstring>& names)
{
    TFiles files;
    for (const std::wstring& name : names)
        AddFiles(root, name, files);
    return files;
}

TFiles Snapshot(const std::wstring& root)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(Extended(root + L"\\*").c_str(), &data));
    if (find) {
        do {
            if (!IsDot(data.cFileName))
                names.push_back(data.cFileName);
        } while (FindNextFileW(find.get(), &data));
    }
    return Snapshot(root, names);
}

// A fresh folder under base, removed with everything in it at the end.
class TTree {
public:
    explicit TTree(const std::wstring& base)
    {
        static int counter = 0;
        FRoot = base + L"\\nimbra-faults-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        RemoveTree(FRoot);
        EXPECT_TRUE(CreateDirectoryW(Extended(FRoot).c_str(), nullptr)) << Utf8(FRoot);
    }
    ~TTree() { RemoveTree(FRoot); }
    TTree(const TTree&) = delete;
    TTree& operator=(const TTree&) = delete;

    const std::wstring& Root() const { return FRoot; }
    std::wstring operator/(const std::wstring& relative) const { return FRoot + L"\\" + relative; }
    void Dir(const std::wstring& relative) const
    {
        EXPECT_TRUE(CreateDirectoryW(Extended(*this / relative).c_str(), nullptr)) << Utf8(*this / relative);
    }
    // A file of the given size whose contents depend on its name.
    void File(const std::wstring& relative, size_t size) const { WriteAll(*this / relative, Bytes(size, relative)); }

private:
    std::wstring FRoot;
};

std::wstring TempBase()
{
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, length);
    if (!base.empty() && base.back() == L'\\')
        base.pop_back();
    return base;
}


const char* KindText(Kind kind) { return kind == Kind::Copy ? "copy" : "move"; }

bool ModeReplaces(Mode mode) { return mode != Mode::Skip && mode != Mode::Rename; }
bool ModeKeepsBackups(Mode mode) { return mode == Mode::Backup || mode == Mode::BackupIfNewer; }

struct TOutcome {
    bool Aborted = false;
    std::wstring Error; // an exception that ended the job
};

// Snapshots the source items and the destination before a job and checks
// after it that nothing was lost, half-written or replaced without leave.
class TNothingLost {
public:
    TNothingLost(Kind kind, std::wstring source, std::vector<std::wstring> names, std::wstring destination,
                 Mode mode = Mode::Skip)
        : FKind(kind), FSource(std::move(source)), FNames(std::move(names)), FDestination(std::move(destination)),
          FMode(mode), FSourceBefore(Snapshot(FSource, FNames)), FDestinationBefore(Snapshot(FDestination))
    {
        EXPECT_FALSE(FSourceBefore.empty());
    }

    // Deletes a source file or folder on purpose: what it held is not
    // looked for afterwards.
    void Vanish(const std::wstring& relative)
    {
        RemoveTree(FSource + L"\\" + relative);
        for (auto file = FSourceBefore.begin(); file != FSourceBefore.end();) {
            if (file->first == relative || file->first.starts_with(relative + L"\\"))
                file = FSourceBefore.erase(file);
            else
                ++file;
        }
    }

    // Runs the job; afterJob runs before the check (to let go of files).
    TOutcome Run(TScriptedUI& ui, const std::function<void()>& afterJob = {})
    {
        if (ui.Modes.empty())
            ui.Modes = {FMode};
        TOutcome outcome;
        TFileOperationEngine engine(FKind, TPath::FromPath(FSource), TPath::FromPath(FDestination), FNames, ui);
        try {
            engine.Scan();
            engine.Execute();
        } catch (const EAbort&) {
            outcome.Aborted = true;
        } catch (const Exception& e) {
            outcome.Error = e.Message();
        }
        if (afterJob)
            afterJob();
        Verify(ui, outcome);
        return outcome;
    }

    // The source file is at the destination, whole.
    bool Arrived(const std::wstring& relative) const
    {
        auto before = FSourceBefore.find(relative);
        return before != FSourceBefore.end() && ReadAll(FDestination + L"\\" + relative) == before->second;
    }
    bool AtSource(const std::wstring& relative) const
    {
        auto before = FSourceBefore.find(relative);
        return before != FSourceBefore.end() && ReadAll(FSource + L"\\" + relative) == before->second;
    }

private:
    bool IsBackupOfExisting(const std::wstring& relative, const std::string& bytes) const
    {
        for (const auto& [existing, contents] : FDestinationBefore)
            for (int number = 0; number < 20; ++number)
                if (BackupName(existing, number) == relative && contents == bytes)
                    return true;
        return false;
    }
    bool HasBackup(const std::wstring& existing, const std::string& bytes, const TFiles& after) const
    {
        for (int number = 0; number < 20; ++number) {
            auto backup = after.find(BackupName(existing, number));
            if (backup != after.end() && backup->second == bytes)
                return true;
        }
        return false;
    }

    void Verify(const TScriptedUI& ui, const TOutcome& outcome) const
    {
        TFiles source = Snapshot(FSource, FNames);
        TFiles destination = Snapshot(FDestination);
        bool quiet = ui.Failures.empty() && !outcome.Aborted && outcome.Error.empty();
        for (const auto& [relative, bytes] : FSourceBefore) {
            auto left = source.find(relative);
            auto arrived = destination.find(relative);
            bool atSource = left != source.end() && left->second == bytes;
            bool atDestination = arrived != destination.end() && arrived->second == bytes;
            if (left != source.end() && left->second != bytes)
                ADD_FAILURE() << "source " << Utf8(relative) << " changed";
            if (FKind == Kind::Copy && !atSource)
                ADD_FAILURE() << "the copy took away its source " << Utf8(relative);
            if (!atSource && !atDestination)
                ADD_FAILURE() << "LOST: " << Utf8(relative) << " is neither at the source nor whole at the destination";
            bool collided = FDestinationBefore.count(relative) != 0;
            if (quiet && !collided && !atDestination)
                ADD_FAILURE() << Utf8(relative) << " did not arrive, and no failure was reported";
            if (quiet && !collided && FKind == Kind::Move && atSource)
                ADD_FAILURE() << Utf8(relative) << " stayed at the source of a move, and no failure was reported";
        }
        for (const auto& [relative, bytes] : destination) {
            auto before = FDestinationBefore.find(relative);
            if (before != FDestinationBefore.end() && before->second == bytes)
                continue;
            auto from = FSourceBefore.find(relative);
            if (from != FSourceBefore.end() && from->second == bytes) {
                if (before != FDestinationBefore.end() && !ModeReplaces(FMode))
                    ADD_FAILURE() << "existing " << Utf8(relative) << " was replaced though the mode keeps it";
                continue;
            }
            if (before == FDestinationBefore.end() && ModeKeepsBackups(FMode) && IsBackupOfExisting(relative, bytes))
                continue;
            ADD_FAILURE() << "half-written or stray file at the destination: " << Utf8(relative) << " ("
                          << bytes.size() << " bytes"
                          << (from != FSourceBefore.end() ? ", the source has " + std::to_string(from->second.size())
                                                          : std::string(", no such source"))
                          << ")";
        }
        for (const auto& [relative, bytes] : FDestinationBefore) {
            auto after = destination.find(relative);
            if (after != destination.end() && after->second == bytes)
                continue;
            if (ModeKeepsBackups(FMode) && HasBackup(relative, bytes, destination))
                continue;
            auto from = FSourceBefore.find(relative);
            bool replacedWhole = after != destination.end() && from != FSourceBefore.end() && after->second == from->second;
            // Overwriting and recycling give the old file up for the new one.
            if (replacedWhole && ModeReplaces(FMode) && !ModeKeepsBackups(FMode))
                continue;
            ADD_FAILURE() << "existing destination file " << Utf8(relative)
                          << (after == destination.end() ? " is gone" : " changed") << " without a backup";
        }
    }

    Kind FKind;
    std::wstring FSource;
    std::vector<std::wstring> FNames;
    std::wstring FDestination;
    Mode FMode;
    TFiles FSourceBefore;
    TFiles FDestinationBefore;
};

std::string Reports(const TScriptedUI& ui)
{
    std::string text;
    for (const std::wstring& failure : ui.Failures)
        text += "\n  reported: " + Utf8(failure);
    return text;
}

bool Reported(const TScriptedUI& ui, const std::wstring& name)
{
    for (const std::wstring& failure : ui.Failures)
        if (failure.find(name) != std::wstring::npos)
            return true;
    return false;
}

// The folder a fixture mounted for these tests, as a Windows path; empty
// (with the reason printed) when there is none.
std::wstring FaultsFileSystem(const wchar_t* name, const char* missing)
{
    wchar_t unix[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"NIMBRA_FAULTS_FS", unix, MAX_PATH);
    std::string reason = "NIMBRA_FAULTS_FS is not set (the tests run outside ctest)";
    if (length > 0 && length < MAX_PATH) {
        std::wstring dir = L"Z:" + std::wstring(unix, length);
        for (wchar_t& c : dir)
            if (c == L'/')
                c = L'\\';
        std::optional<std::string> skip = ReadAll(dir + L"\\" + name + L".skip");
        if (!skip)
            return dir + L"\\" + name;
        reason = *skip;
    }
    std::printf("%s: %s\n", missing, reason.c_str());
    return {};
}

// C: is the Wine prefix and Z: the Unix root: a job between the two crosses
// drives. Where the tests' own file system is mounted, the other drive is
// that one, so a move between them is a copy and a delete; otherwise the
// Unix /tmp, which may lie on the prefix's file system.
std::wstring OtherDrive()
{
    static const std::wstring other = [] {
        std::wstring mounted = FaultsFileSystem(L"other", "no file system of the tests' own");
        return mounted.empty() ? std::wstring(L"Z:\\tmp") : mounted;
    }();
    return other;
}

// Another process that holds files open until released (or destroyed).
class THolder {
public:
    // (share mode, path) pairs.
    explicit THolder(const std::vector<std::pair<DWORD, std::wstring>>& files)
    {
        static int counter = 0;
        std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        std::wstring readyName = L"nimbra-holder-ready-" + tag, releaseName = L"nimbra-holder-release-" + tag;
        FReady.reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        FRelease.reset(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
        wchar_t self[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring program(self, length);
        program = program.substr(0, program.find_last_of(L'\\') + 1) + L"fileop_holder.exe";
        std::wstring command = L"\"" + program + L"\" " + readyName + L" " + releaseName;
        for (const auto& [share, path] : files)
            command += L" " + std::to_wstring(share) + L" \"" + path + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start " << Utf8(program);
            return;
        }
        UniqueHandle thread(process.hThread);
        FProcess.reset(process.hProcess);
        HANDLE handles[] = {FReady.get(), FProcess.get()};
        if (WaitForMultipleObjects(2, handles, FALSE, 20000) != WAIT_OBJECT_0)
            ADD_FAILURE() << "the holder did not open its files";
    }
    ~THolder() { Release(); }
    void Release()
    {
        SetEvent(FRelease.get());
        if (FProcess)
            WaitForSingleObject(FProcess.get(), 20000);
        FProcess.reset();
    }
    THolder(const THolder&) = delete;
    THolder& operator=(const THolder&) = delete;

private:
    UniqueHandle FReady;
    UniqueHandle FRelease;
    UniqueHandle FProcess;
};

} // namespace

// ---------------------------------------------------------------------------
// A destination that fills up: a 2 MiB file system

TEST(DiskFull, AFileThatDoesNotFitFailsAloneAndLeavesNoPartOfItself)
{
    std::wstring full = FaultsFileSystem(L"full", "no small file system here");
    if (full.empty())
        GTEST_SKIP() << "no small file system here";
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        SCOPED_TRACE(KindText(kind));
        TTree source(TempBase());
        TTree destination(full);
        // Three that fit together, and two that never fit (a large one goes
        // another way), in one folder; a file that never fits on its own;
        // one that fits after it; and an existing file that its too large
        // namesake is to overwrite.
        source.Dir(L"d");
        for (const wchar_t* name : {L"d\\a.bin", L"d\\b.bin", L"d\\c.bin"})
            source.File(name, 500 * 1024);
        source.File(L"d\\big.bin", 3 * 1024 * 1024);
        source.File(L"d\\huge.bin", 12 * 1024 * 1024);
        source.File(L"top.bin", 3 * 1024 * 1024);
        source.File(L"after.txt", 1000);
        source.File(L"old.bin", 3 * 1024 * 1024);
        destination.File(L"old.bin", 1000);
        TNothingLost check(kind, source.Root(), {L"d", L"top.bin", L"after.txt", L"old.bin"}, destination.Root(),
                           Mode::Overwrite);
        TScriptedUI ui;
        TOutcome outcome = check.Run(ui);
        EXPECT_FALSE(outcome.Aborted);
        EXPECT_EQ(Utf8(outcome.Error), "");
        for (const wchar_t* name : {L"big.bin", L"huge.bin", L"top.bin", L"old.bin"})
            EXPECT_TRUE(Reported(ui, name)) << Utf8(name) << Reports(ui);
        EXPECT_EQ(ui.Failures.size(), 4u) << "only what did not fit fails" << Reports(ui);
        for (const wchar_t* name : {L"d\\a.bin", L"d\\b.bin", L"d\\c.bin", L"after.txt"})
            EXPECT_TRUE(check.Arrived(name)) << Utf8(name);
        EXPECT_TRUE(ReadAll(destination / L"old.bin") == Bytes(1000, L"old.bin"))
            << "a new file that cannot be written whole leaves the old one as it was";
        if (kind == Kind::Move) {
            EXPECT_TRUE(check.AtSource(L"d\\big.bin")) << "its folder stays with it";
        }
    }
}

// A folder moved on one drive letter but between two file systems (the
// small one and the Unix root, both under Z:, as a volume mounted in a
// folder on Windows) cannot go by one rename: it goes entry by entry.
TEST(DiskFull, AWholeFolderMovedBetweenFileSystemsOfOneDriveArrives)
{
    std::wstring full = FaultsFileSystem(L"full", "no small file system here");
    if (full.empty())
        GTEST_SKIP() << "no small file system here";
    TTree source(full);
    TTree destination(OtherDrive());
    source.Dir(L"d");
    source.Dir(L"d\\sub");
    source.File(L"d\\a.txt", 1000);
    source.File(L"d\\sub\\b.txt", 2000);
    TNothingLost check(Kind::Move, source.Root(), {L"d"}, destination.Root());
    TScriptedUI ui;
    TOutcome outcome = check.Run(ui);
    EXPECT_FALSE(outcome.Aborted);
    EXPECT_EQ(Utf8(outcome.Error), "");
    EXPECT_TRUE(check.Arrived(L"d\\sub\\b.txt") && check.Arrived(L"d\\a.txt")) << Reports(ui);
    EXPECT_TRUE(ui.Failures.empty()) << Reports(ui);
    EXPECT_FALSE(check.AtSource(L"d")) << "the moved folder leaves its source";
}

// ---------------------------------------------------------------------------
// A destination that cannot be written

TEST(ReadOnly, NothingIsWrittenAndEveryModeEndsWithAReport)
{
    std::wstring readOnly = FaultsFileSystem(L"ro", "no read-only file system here");
    if (readOnly.empty())
        GTEST_SKIP() << "no read-only file system here";
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        for (Mode mode : {Mode::Overwrite, Mode::Backup, Mode::Recycle, Mode::RecycleIfNewer, Mode::Skip}) {
            SCOPED_TRACE(std::string(KindText(kind)) + " mode " + std::to_string(static_cast<int>(mode)));
            TTree source(TempBase());
            // kept.txt and d\a.txt are there already.
            source.File(L"kept.txt", 100);
            source.Dir(L"d");
            source.File(L"d\\a.txt", 100);
            source.File(L"d\\b.txt", 100);
            source.File(L"new.txt", 100);
            TNothingLost check(kind, source.Root(), {L"kept.txt", L"d", L"new.txt"}, readOnly, mode);
            TScriptedUI ui;
            TOutcome outcome = check.Run(ui);
            EXPECT_FALSE(outcome.Aborted) << "the job went round in circles: " << ui.Collisions.size()
                                          << " questions";
            EXPECT_EQ(Utf8(outcome.Error), "");
            EXPECT_TRUE(Reported(ui, L"new.txt")) << Reports(ui);
            EXPECT_TRUE(Reported(ui, L"b.txt")) << Reports(ui);
            EXPECT_LE(ui.Collisions.size(), 2u);
        }
    }
}

// ---------------------------------------------------------------------------
// Sources held open, vanishing, Cancel

TEST(Faults, TheOtherDriveIsAnotherFileSystem)
{
    if (OtherDrive() == L"Z:\\tmp")
        GTEST_SKIP() << "no file system of the tests' own: moves to another drive may be renames";
    TTree source(TempBase());
    TTree destination(OtherDrive());
    source.File(L"probe.txt", 10);
    EXPECT_FALSE(MoveFileExW((source / L"probe.txt").c_str(), (destination / L"probe.txt").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
}

TEST(Faults, FilesHeldByAnotherProcessAreReportedAndKept)
{
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        SCOPED_TRACE(KindText(kind));
        TTree source(TempBase());
        TTree destination(OtherDrive());
        source.Dir(L"d");
        source.File(L"d\\locked.txt", 5000);
        source.File(L"d\\locked-large.bin", 12 * 1024 * 1024);
        source.File(L"d\\readable.txt", 5000);
        source.File(L"d\\free.txt", 5000);
        source.File(L"after.txt", 100);
        // A destination file open for reading and writing but not for
        // renaming: the backup cannot be made, so it must not be
        // overwritten either.
        source.File(L"held.txt", 100);
        destination.File(L"held.txt", 50);
        TNothingLost check(kind, source.Root(), {L"d", L"held.txt", L"after.txt"}, destination.Root(),
                           Mode::Backup);
        THolder holder({{0, source / L"d\\locked.txt"},
                        {0, source / L"d\\locked-large.bin"},
                        {FILE_SHARE_READ, source / L"d\\readable.txt"},
                        {FILE_SHARE_READ | FILE_SHARE_WRITE, destination / L"held.txt"}});
        TScriptedUI ui;
        TOutcome outcome = check.Run(ui, [&] { holder.Release(); });
        EXPECT_FALSE(outcome.Aborted);
        EXPECT_EQ(Utf8(outcome.Error), "");
        EXPECT_TRUE(Reported(ui, L"locked.txt")) << Reports(ui);
        EXPECT_TRUE(Reported(ui, L"locked-large.bin")) << Reports(ui);
        EXPECT_TRUE(check.AtSource(L"d\\locked.txt"));
        EXPECT_TRUE(check.Arrived(L"d\\free.txt"));
        EXPECT_TRUE(check.Arrived(L"after.txt")) << "the job goes on after the failures";
        if (kind == Kind::Copy) {
            EXPECT_TRUE(check.Arrived(L"d\\readable.txt")) << "reading is shared";
        } else {
            // Read but not deleted: the move failed, reported, the source stays.
            EXPECT_TRUE(Reported(ui, L"readable.txt")) << Reports(ui);
            EXPECT_TRUE(check.AtSource(L"d\\readable.txt"));
            EXPECT_TRUE(check.AtSource(L"d\\locked.txt"));
        }
        EXPECT_TRUE(ReadAll(destination / L"held.txt") == Bytes(50, L"held.txt"));
    }
}

TEST(Faults, RecyclingKeepsTheOldFileWhenTheNewOneCannotBeWritten)
{
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        for (Mode mode : {Mode::Recycle, Mode::RecycleIfNewer}) {
            SCOPED_TRACE(std::string(KindText(kind)) + " mode " + std::to_string(static_cast<int>(mode)));
            TTree source(TempBase());
            TTree destination(TempBase());
            source.File(L"locked.txt", 3000);
            source.File(L"locked-large.bin", 9 * 1024 * 1024);
            destination.File(L"locked.txt", 100);
            destination.File(L"locked-large.bin", 200);
            for (const wchar_t* name : {L"locked.txt", L"locked-large.bin"}) {
                FILETIME old{0x10000000, 0x01D00000};
                UniqueFileHandle file(CreateFileW((destination / name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
                SetFileTime(file.get(), nullptr, nullptr, &old);
            }
            TNothingLost check(kind, source.Root(), {L"locked.txt", L"locked-large.bin"}, destination.Root(), mode);
            THolder holder({{0, source / L"locked.txt"}, {0, source / L"locked-large.bin"}});
            TScriptedUI ui;
            TOutcome outcome = check.Run(ui, [&] { holder.Release(); });
            EXPECT_FALSE(outcome.Aborted);
            EXPECT_TRUE(Reported(ui, L"locked.txt")) << Reports(ui);
            EXPECT_TRUE(Reported(ui, L"locked-large.bin")) << Reports(ui);
            EXPECT_TRUE(ReadAll(destination / L"locked.txt") == Bytes(100, L"locked.txt")) << "the old file went";
            EXPECT_TRUE(ReadAll(destination / L"locked-large.bin") == Bytes(200, L"locked-large.bin"));
            EXPECT_EQ(Snapshot(destination.Root()).size(), 2u) << "something was left beside them";
        }
    }
}

TEST(Faults, ASourceThatVanishesMidJobIsReportedAndTheJobGoesOn)
{
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        SCOPED_TRACE(KindText(kind));
        TTree source(TempBase());
        TTree destination(OtherDrive());
        source.File(L"first.txt", 100);
        source.Dir(L"d");
        source.File(L"d\\f1.txt", 100);
        source.File(L"d\\f2.txt", 100);
        source.Dir(L"d\\s1");
        source.File(L"d\\s1\\x.txt", 100);
        source.Dir(L"d\\s2");
        source.File(L"d\\s2\\y.txt", 100);
        source.File(L"gone.txt", 100);
        source.File(L"last.txt", 100);
        TNothingLost check(kind, source.Root(), {L"first.txt", L"d", L"gone.txt", L"last.txt"}, destination.Root());
        TScriptedUI ui;
        std::vector<std::wstring> vanished;
        // Once one of a pair is done, the other one goes, after its folder
        // was read and before the job reaches it.
        auto vanishPartner = [&](const std::wstring& a, const std::wstring& b, const std::wstring& aDone,
                                 const std::wstring& bDone) {
            bool aArrived = GetFileAttributesW((destination / aDone).c_str()) != INVALID_FILE_ATTRIBUTES;
            bool bArrived = GetFileAttributesW((destination / bDone).c_str()) != INVALID_FILE_ATTRIBUTES;
            if (aArrived == bArrived)
                return;
            const std::wstring& other = aArrived ? b : a;
            if (GetFileAttributesW((source / other).c_str()) == INVALID_FILE_ATTRIBUTES)
                return;
            check.Vanish(other);
            vanished.push_back(other);
        };
        ui.OnStep = [&](int step) {
            if (step == 1 && GetFileAttributesW((source / L"gone.txt").c_str()) != INVALID_FILE_ATTRIBUTES) {
                check.Vanish(L"gone.txt");
                vanished.push_back(L"gone.txt");
            }
            vanishPartner(L"d\\f1.txt", L"d\\f2.txt", L"d\\f1.txt", L"d\\f2.txt");
            vanishPartner(L"d\\s1", L"d\\s2", L"d\\s1\\x.txt", L"d\\s2\\y.txt");
        };
        TOutcome outcome = check.Run(ui);
        ASSERT_EQ(vanished.size(), 3u);
        EXPECT_FALSE(outcome.Aborted);
        EXPECT_EQ(Utf8(outcome.Error), "") << "a vanished folder ended the job";
        for (const std::wstring& name : vanished)
            EXPECT_TRUE(Reported(ui, name)) << Utf8(name) << Reports(ui);
        EXPECT_TRUE(check.Arrived(L"last.txt")) << "the job goes on";
        EXPECT_TRUE(check.Arrived(L"first.txt"));
    }
}

TEST(Faults, CancelInTheMiddleKeepsWhatIsDoneAndEverySourceOfTheRest)
{
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        for (bool atCollision : {false, true}) {
            SCOPED_TRACE(std::string(KindText(kind)) + (atCollision ? " at a collision" : " by closing"));
            TTree source(TempBase());
            TTree destination(OtherDrive());
            source.Dir(L"d");
            for (int i = 0; i < 10; ++i)
                source.File(L"d\\f" + std::to_wstring(i) + L".txt", 1000);
            source.File(L"after.txt", 100);
            TScriptedUI ui;
            if (atCollision) {
                destination.Dir(L"d");
                destination.File(L"d\\f7.txt", 10);
                ui.Cancel = true;
            } else {
                ui.CloseAfterSteps = 4;
            }
            // The job takes the folder's entries in the order the file
            // system gives them: those before f7 arrive, f7 and the rest
            // stay where they were.
            std::vector<std::wstring> order;
            {
                WIN32_FIND_DATAW data;
                UniqueFindHandle find(FindFirstFileW((source / L"d\\*").c_str(), &data));
                do {
                    if (!IsDot(data.cFileName))
                        order.emplace_back(data.cFileName);
                } while (find && FindNextFileW(find.get(), &data));
            }
            TNothingLost check(kind, source.Root(), {L"d", L"after.txt"}, destination.Root());
            TOutcome outcome = check.Run(ui);
            EXPECT_TRUE(outcome.Aborted);
            EXPECT_FALSE(check.Arrived(L"after.txt")) << "nothing after the Cancel";
            EXPECT_TRUE(check.AtSource(L"after.txt"));
            size_t stop = atCollision ? std::find(order.begin(), order.end(), L"f7.txt") - order.begin() : 3;
            ASSERT_LT(stop, order.size());
            for (size_t i = 0; i < order.size(); ++i) {
                std::wstring name = L"d\\" + order[i];
                bool before = atCollision ? i < stop : i <= stop;
                SCOPED_TRACE(Utf8(name));
                EXPECT_EQ(check.Arrived(name), before);
                if (kind == Kind::Move || !before) {
                    EXPECT_EQ(check.AtSource(name), !before);
                }
            }
            if (atCollision) {
                EXPECT_TRUE(ReadAll(destination / L"d\\f7.txt") == Bytes(10, L"d\\f7.txt")) << "the existing one stays";
                EXPECT_EQ(ui.Collisions.size(), 1u);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Names

TEST(Faults, NamesPastTheShellsLimitArriveOrAreReportedNeverLost)
{
    const std::wstring deep(120, L'd');
    const std::wstring name = std::wstring(150, L'n') + L".txt";
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        SCOPED_TRACE(KindText(kind));
        // A long source path; and a short one whose destination is long.
        TTree source(TempBase());
        TTree destination(OtherDrive());
        source.Dir(deep);
        source.File(deep + L"\\" + name, 1000);
        source.File(deep + L"\\short.txt", 1000);
        source.File(name, 1000);
        destination.Dir(deep);
        ASSERT_GT((source / deep + L"\\" + name).size(), 259u);
        TNothingLost check(kind, source.Root(), {deep, name}, destination.Root());
        TScriptedUI ui;
        TOutcome outcome = check.Run(ui);
        EXPECT_FALSE(outcome.Aborted);
        EXPECT_EQ(Utf8(outcome.Error), "");
        EXPECT_TRUE(check.Arrived(name)) << "a long name on a short path" << Reports(ui);
        EXPECT_TRUE(check.Arrived(deep + L"\\short.txt")) << Reports(ui);
        EXPECT_TRUE(check.Arrived(deep + L"\\" + name)) << "a path past the limit" << Reports(ui);
        EXPECT_TRUE(ui.Failures.empty()) << Reports(ui);

        TTree farDestination(OtherDrive());
        farDestination.Dir(deep);
        TTree shortSource(TempBase());
        shortSource.File(L"s.txt", 1000);
        shortSource.File(L"t.txt", 1000);
        std::wstring farDir = farDestination / deep;
        // The destination folder itself is near the limit: its files pass it.
        std::wstring nested = deep + L"\\" + std::wstring(259 - farDir.size() - 4, L'e');
        farDestination.Dir(nested);
        TNothingLost farCheck(kind, shortSource.Root(), {L"s.txt", L"t.txt"}, farDestination / nested);
        TScriptedUI farUI;
        outcome = farCheck.Run(farUI);
        EXPECT_FALSE(outcome.Aborted);
        EXPECT_EQ(Utf8(outcome.Error), "");
        EXPECT_TRUE(farCheck.Arrived(L"s.txt") && farCheck.Arrived(L"t.txt")) << Reports(farUI);
        EXPECT_TRUE(farUI.Failures.empty()) << Reports(farUI);
    }
}

TEST(Faults, NamesInOtherScriptsArriveWholeAndBackUpUnderTheirOwnNames)
{
    const std::vector<std::wstring> names = {
        L"日本語のファイル名.txt", L"Кириллица.txt", L"Ελληνικά.txt",
        L"emoji-\U0001F600-\U0001F4C1.txt", // outside the BMP: surrogate pairs
        L"ﾊﾝｶｸ・全角　空白.txt",
    };
    for (Kind kind : {Kind::Copy, Kind::Move}) {
        SCOPED_TRACE(KindText(kind));
        TTree source(TempBase());
        TTree destination(OtherDrive());
        const std::wstring folder = L"フォルダ-Папка-\U0001F4C2";
        source.Dir(folder);
        std::vector<std::wstring> items = {folder};
        for (const std::wstring& name : names) {
            source.File(name, 3000);
            source.File(folder + L"\\" + name, 2000);
            items.push_back(name);
        }
        // One of them is there already: it goes to a numbered backup.
        destination.File(names[0], 10);
        TNothingLost check(kind, source.Root(), items, destination.Root(), Mode::Backup);
        TScriptedUI ui;
        TOutcome outcome = check.Run(ui);
        EXPECT_FALSE(outcome.Aborted);
        EXPECT_EQ(Utf8(outcome.Error), "");
        EXPECT_TRUE(ui.Failures.empty()) << Reports(ui);
        for (const std::wstring& name : names) {
            EXPECT_TRUE(check.Arrived(name)) << Utf8(name);
            EXPECT_TRUE(check.Arrived(folder + L"\\" + name)) << Utf8(name);
        }
        EXPECT_TRUE(ReadAll(destination / L"日本語のファイル名.000.txt") == Bytes(10, names[0]));
        if (kind == Kind::Move) {
            EXPECT_EQ(GetFileAttributesW((source / folder).c_str()), INVALID_FILE_ATTRIBUTES);
        }
    }
}

#endif
