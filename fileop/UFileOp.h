// The rules of copy, move and link jobs that need no window: backup names
// and their renumbering, link names, the recursion guard, where two
// locations are the same place, and when a move takes a directory whole.
#pragma once

// Folders
#include "folders/UFolders.h"
#include "folders/UPath.h"

// Toolkit
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Kinds of job.
enum class TFileOperationKind : uint8_t { Copy = 0, Move = 1, Link = 2 };

// Backups are numbered 000 to 998.
inline constexpr int kBackupSlots = 999;

// The backup name of a path with number n: report.txt -> report.007.txt,
// name -> name.007.
std::wstring BackupName(std::wstring_view path, int number);

// What making a backup does: the renames that close the gaps between the
// backups present (in this order, each to a lower number, keeping their
// order), and the number the destination itself goes to; no number when all
// slots are taken (the destination must then stay as it is).
struct TBackupPlan {
    struct TRename {
        int From;
        int To;
    };
    std::vector<TRename> Renames;
    std::optional<int> Next;
};
// present(n) tells whether backup n exists, for n from 0 to 998.
template <class Present>
TBackupPlan PlanBackup(Present&& present)
{
    TBackupPlan plan;
    int next = 0;
    for (int number = 0; number < kBackupSlots; ++number) {
        if (!present(number))
            continue;
        if (number != next)
            plan.Renames.push_back({number, next});
        ++next;
    }
    if (next < kBackupSlots)
        plan.Next = next;
    return plan;
}

// The name of the shortcut to a file: ".exe" (in any case) gives way to
// ".lnk"; any other name gets ".lnk" added (notes.txt -> notes.txt.lnk).
std::wstring LinkName(std::wstring_view destinationPath);

// Whether copying the directory source to destination would copy it into
// itself: destination + "\" begins with source + "\", ignoring case (this
// includes destination = source).
bool IsWithinSource(std::wstring_view destinationPath, std::wstring_view sourcePath);

// Two locations are the same place: the same provider, both or neither
// with an ID list, and then the same ID list bytes, or the same path and
// sub-path ignoring case.
bool SamePlace(const TPath& a, const TPath& b);

// A move takes a directory whole (one rename) when it lies on the same
// drive as its destination (drive parts compared exactly) and nothing of
// that name exists there yet.
bool MovesWhole(TFileOperationKind kind, bool destinationExists, std::wstring_view sourcePath,
                std::wstring_view destinationPath);

// Why a name typed for a file cannot be used; empty when it can. A name
// must stay in its folder (no separators) and name a file (no colon, which
// would write an alternate data stream, no wildcard or device name).
std::wstring BadFileNameReason(std::wstring_view name);

// A file's identity: the volume serial number and the file index. Two paths
// name one file (through a link, a junction, another spelling) exactly when
// their identities are equal.
struct TFileIdentity {
    DWORD Volume = 0;
    DWORD IndexHigh = 0;
    DWORD IndexLow = 0;
    friend bool operator==(const TFileIdentity&, const TFileIdentity&) = default;
    friend auto operator<=>(const TFileIdentity&, const TFileIdentity&) = default;
};
// The identity of what path leads to (links followed); none when it cannot
// be opened.
std::optional<TFileIdentity> FileIdentity(const std::wstring& path);
// Whether path is inside directory or is directory itself, by identity:
// path and each folder above it compared with directory.
bool IsInsideByIdentity(const std::wstring& path, const std::wstring& directory);

// The name of a file on its way into folder: it tells the process that
// writes it, so that one left behind by a job that ended (killed, crashed)
// is found and removed by the next job writing into that folder.
std::wstring TemporaryName(const std::wstring& folder);
// Removes the files on their way in folder whose writers are gone; returns
// how many it removed.
int SweepStaleTemporaries(const std::wstring& folder);

// ---------------------------------------------------------------------------
// The job engine

// How a collision with an existing destination file is resolved.
enum class TCollisionMode : uint8_t {
    Overwrite = 0,
    Backup = 1,
    Recycle = 2,
    OverwriteIfNewer = 3,
    BackupIfNewer = 4,
    RecycleIfNewer = 5,
    Rename = 6,
    Skip = 7,
};

// What the engine asks of the job's window (and tests of a script).
class TFileOperationUI {
public:
    virtual void ShowCurrentItem(std::wstring_view displayName) = 0;
    // The mode for an existing destination; false for Cancel.
    virtual bool AskCollision(std::wstring_view destinationPath, TCollisionMode& mode) = 0;
    // Another name for the destination (name holds the current one); false
    // for Cancel.
    virtual bool AskNewName(std::wstring_view caption, std::wstring& name) = 0;
    // After a failed operation: true goes on with the next item.
    virtual bool AskContinueAfterFailure(std::wstring_view text, std::wstring_view caption) = 0;
    virtual void ShowWarning(std::wstring_view text, std::wstring_view caption) = 0;
    // One unit of work done.
    virtual void Step(bool repaint) = 0;
    // Bytes of the file in work copied so far.
    virtual void Progress(uint64_t done, uint64_t total) {}
    // How often (milliseconds) a large file's copy reports its bytes and
    // asks CloseRequested: a window repaints no faster than it is read.
    virtual DWORD AnswerInterval() const { return 100; }
    // Lets the window handle its messages; true when it was asked to close.
    virtual bool CloseRequested() = 0;
    // The owner of shell operations; may be null.
    virtual HWND Owner() = 0;

protected:
    ~TFileOperationUI() = default;
};

// One copy, move or link job over names in a file-system folder. Scan
// counts the work, Execute does it; a Cancel in a prompt or a close request
// ends Execute with EAbort (items done stay done). A file that fails on its
// way (a full disk, a source held open) is reported and leaves nothing
// half-written under its name; a file it was to replace stays as it was.
class TFileOperationEngine {
public:
    TFileOperationEngine(TFileOperationKind kind, TPath source, TPath destination, std::vector<std::wstring> names,
                         TFileOperationUI& ui);

    // The units of work: the names and every entry below them.
    int32_t Scan();
    void Execute();

    // The caption of the job's window and message boxes.
    const wchar_t* KindName() const;

private:
    void ProcessItem(const std::wstring& sourceDir, const std::wstring& destinationDir, const WIN32_FIND_DATAW& item);
    // Sources inside an archive: each file is extracted into a scratch
    // folder and taken from there like any file, so the collision answers,
    // backups and the safe replacing hold for it too.
    int32_t ScanArchive();
    void ExecuteArchive();
    void ProcessArchiveItem(const TPath& location, IArchiveFolder* folder, const std::wstring& destinationDir,
                            const TFileItem& item);
    void ProcessFile(const std::wstring& sourcePath, std::wstring destinationPath, const WIN32_FIND_DATAW& item);
    void ProcessDirectory(const std::wstring& sourcePath, const std::wstring& destinationPath,
                          const WIN32_FIND_DATAW& item);
    // A link (junction, symbolic link) met on the way: moved as a link,
    // never through. False when it is to be taken as a file or folder
    // (a copy goes through it).
    bool ProcessLink(const std::wstring& sourcePath, const std::wstring& destinationPath,
                     const WIN32_FIND_DATAW& item);
    // Whether a directory is one the job is walking already.
    bool LeadsBack(const std::wstring& sourcePath) const;
    // Moves a directory with everything in it by one rename; false when it
    // must go entry by entry instead (another file system under the same
    // drive letter, as a volume mounted in a folder).
    bool MoveWhole(const std::wstring& sourcePath, const std::wstring& destinationPath);
    // Advances the progress once for every entry below a directory.
    void StepOver(const std::wstring& directory);
    // Copies or moves one file to a destination nothing has; false when
    // something has it (nothing is done then).
    bool TransferToFreeName(const std::wstring& sourcePath, const std::wstring& destinationPath,
                            const WIN32_FIND_DATAW& item);
    // Copies or moves one file to its destination once its collision is
    // resolved; replace lets it take the place of an existing file there.
    void Transfer(const std::wstring& sourcePath, const std::wstring& destinationPath, const WIN32_FIND_DATAW& item,
                  bool replace);
    void TransferThroughTemporary(const std::wstring& sourcePath, const std::wstring& destinationPath,
                                  const WIN32_FIND_DATAW& item, bool replace);
    // The new file is made safe under a temporary name, then the old one
    // goes to the recycle bin, then the new one takes its name.
    void ReplaceByRecycling(const std::wstring& sourcePath, const std::wstring& destinationPath,
                            const WIN32_FIND_DATAW& item);
    // Copies a file onto a name this job claimed (an empty file of its own);
    // false (with nothing left there) when it did not arrive.
    bool Deliver(const std::wstring& sourcePath, const std::wstring& targetPath, const WIN32_FIND_DATAW& item);
    // Copies a file in chunks to a new file, with byte progress; a close
    // request stops it (the new file removed) with EAbort. False, with
    // nothing left, when it fails.
    bool CopyChunks(const std::wstring& sourcePath, const std::wstring& targetPath);
    // After a file arrived by copy: a move removes its source.
    void FinishMove(const std::wstring& sourcePath);
    void SweepOnce(const std::wstring& folder);
    // Says that path failed and asks whether to go on (No aborts).
    void Failed(const std::wstring& path);
    // False when no backup could be made (the user chose to go on).
    bool MakeBackup(const std::wstring& destinationPath, bool samePlace);
    // False when the file is still there or might be gone for good (the
    // user chose to go on).
    bool Recycle(const std::wstring& destinationPath);
    bool SourceIsNewer(const WIN32_FIND_DATAW& item, const std::wstring& sourcePath,
                       const std::wstring& destinationPath) const;
    void CreateLink(const std::wstring& sourcePath, const std::wstring& linkPath);

    TFileOperationKind FKind;
    TPath FSource;
    TPath FDestination;
    std::vector<std::wstring> FNames;
    TFileOperationUI& FUI;
    // The source is a place inside an archive (an archive file opened as a
    // folder, or a folder in it).
    bool FSourceIsArchive = false;
    // The directories being walked, outermost first, by identity: a link
    // to one of them would lead a copy round for ever.
    std::vector<TFileIdentity> FWalking;
    std::vector<std::wstring> FSwept;
};

// Makes a backup of path with the gap-closing numbering; with samePlace the
// file is copied, not moved (it is the source too). False when no backup
// was made: every slot is taken (nothing is touched then), or the file (or
// a backup in the way) would not move.
bool MakeNumberedBackup(const std::wstring& path, bool samePlace, HWND owner);

// ---------------------------------------------------------------------------
// The job's window and thread

class TButton;
class TCheckBox;
class TGroupBox;
class TProgressBar;
class TRadioButton;
class TFileOperationThread;

// The labels of the collision modes, in their order.
extern const wchar_t* const kCollisionModeLabels[8];

// The small window of one job: where from and where to, the current item,
// the progress, and the collision prompt it grows to show.
class TFileOperationWindow : public T0MainWindow, public TFileOperationUI {
public:
    explicit TFileOperationWindow(TFileOperationThread* job);
    std::wstring WindowClassName() const override { return L"NimbraFileOperation"; }
    void CreateJobWindow();

    // What the prompt gave last (also readable by tests).
    bool Result() const { return FResult; }
    TCollisionMode ChosenMode() const { return FMode; }
    bool ApplyToAll() const { return FApplyToAll; }
    bool Prompting() const { return FPrompting; }

    // TFileOperationUI
    void ShowCurrentItem(std::wstring_view displayName) override;
    bool AskCollision(std::wstring_view destinationPath, TCollisionMode& mode) override;
    bool AskNewName(std::wstring_view caption, std::wstring& name) override;
    bool AskContinueAfterFailure(std::wstring_view text, std::wstring_view caption) override;
    void ShowWarning(std::wstring_view text, std::wstring_view caption) override;
    void Step(bool repaint) override;
    bool CloseRequested() override;
    void Progress(uint64_t done, uint64_t total) override;
    HWND Owner() override { return Handle(); }

    void Paint(HDC dc) override;
    void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    bool NavigateKey(UINT key, int shift) override;
    void FillWindowClass(WNDCLASSEXW& windowClass) override;

private:
    void RunJob();
    void Compact();
    void Expand();
    void EndPrompt(bool result);

    TFileOperationThread* FJob;
    TProgressBar* FProgress = nullptr;
    TGroupBox* FGroup = nullptr;
    TRadioButton* FModes[8] = {};
    TCheckBox* FAll = nullptr;
    TButton* FOk = nullptr;
    TButton* FCancel = nullptr;
    std::wstring FCurrentItem;
    int32_t FTotal = 0;
    int32_t FDone = 0;
    bool FResult = true;
    TCollisionMode FMode = TCollisionMode::Backup;
    bool FApplyToAll = false;
    bool FCloseRequested = false;
    bool FPrompting = false;
    bool FRunning = false;
};

// One copy, move or link job on a thread of its own with its window.
class TFileOperationThread : public T0GUIThread {
public:
    TFileOperationThread(TFileOperationKind kind, std::vector<std::wstring> names, TPath destination, TPath source);
    TFileOperationKind Kind() const { return FKind; }
    const TPath& Source() const { return FSource; }
    const TPath& Destination() const { return FDestination; }
    TFileOperationEngine& Engine() { return *FEngine; }
    TFileOperationWindow* Window() const { return FWindow; }

protected:
    void Prepare() override;

private:
    TFileOperationKind FKind;
    std::vector<std::wstring> FNames;
    TPath FDestination;
    TPath FSource;
    TFileOperationWindow* FWindow = nullptr;
    std::unique_ptr<TFileOperationEngine> FEngine;
};

// Starts a job; it runs on and ends by itself.
TFileOperationThread* StartFileOperation(TFileOperationKind kind, std::vector<std::wstring> names,
                                         const TPath& destination, const TPath& source);
