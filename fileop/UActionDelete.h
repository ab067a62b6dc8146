// Deleting the marked files: into the recycle bin or for good, through the
// shell on a thread of its own.
#pragma once

// Toolkit
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

// Deletes names in a folder through the shell, which asks first and shows
// its progress, then refreshes every open folder at or below each name.
class TDeleteThread : public T0Thread {
public:
    // folder: with its trailing backslash.
    TDeleteThread(std::wstring folder, FILEOP_FLAGS flags, std::vector<std::wstring> names);

protected:
    void Execute() override;

private:
    std::wstring FFolder;
    std::vector<std::wstring> FNames;
    FILEOP_FLAGS FFlags;
};

// "Delete": enabled when the current view has files to delete; asks
// "ごみ箱" or "抹消" and starts a delete thread.
class TDeleteAction : public T0Action {
public:
    TDeleteAction();
    void Idle() override;
    void Execute() override;
};
