// Deleting the marked files: into the recycle bin through the shell, or for
// good through calls that take every name exactly as it stands, on a thread
// of its own.
#pragma once

// Toolkit
#include "folders/UFolders.h"
#include "lw/LActions.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>
#include <shellapi.h>

// Standard library
#include <string>
#include <vector>

// The two choices of the delete dialog.
inline constexpr FILEOP_FLAGS kDeleteToRecycleBin = FOF_ALLOWUNDO;
inline constexpr FILEOP_FLAGS kDeleteForGood = 0;

// The paths of a delete: those the shell can take, and those it cannot (a
// part ending in a dot or a space, or a path too long for it), which only
// the exact calls reach. A name holding "\\" (a search result) is its own
// path, taken inside folder when it is relative.
struct TDeleteTargets {
    std::vector<std::wstring> ForShell;
    std::vector<std::wstring> Exact;
};
TDeleteTargets DeleteTargets(const std::wstring& folder, const std::vector<std::wstring>& names);

// Deletes path for good, with everything in it when it is a directory, in
// the extended form. A link or junction is removed itself; what it points
// to is never entered. Read-only files go too (the shell's delete takes
// them as well); what cannot go keeps its read-only bit. Goes on past a
// failure and returns the first error code, 0 when all is gone.
DWORD DeleteForGood(const std::wstring& path);

// Deletes names in a folder: into the recycle bin through the shell, which
// asks first and shows its progress, or for good after asking; names the
// shell cannot take are deleted for good only when the user agrees. Then
// refreshes every open folder at or below each name.
class TDeleteThread : public T0Thread {
public:
    // folder: with its trailing backslash. results: the results list the
    // names were chosen in, or null; it does not watch its files, so it is
    // refreshed when the deleting is over.
    TDeleteThread(std::wstring folder, FILEOP_FLAGS flags, std::vector<std::wstring> names,
                  ComPtr<IFolder> results = nullptr);

protected:
    void Execute() override;

private:
    std::wstring FFolder;
    std::vector<std::wstring> FNames;
    FILEOP_FLAGS FFlags;
    ComPtr<IFolder> FResults;
};

// "Delete": enabled when the current view has files to delete; asks
// "ごみ箱" or "抹消" and starts a delete thread.
class TDeleteAction : public T0Action {
public:
    TDeleteAction();
    void Idle() override;
    void Execute() override;
};
