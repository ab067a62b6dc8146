// The rules of copy, move and link jobs that need no window: backup names
// and their renumbering, link names, the recursion guard, where two
// locations are the same place, and when a move takes a directory whole.
#pragma once

// Folders
#include "folders/UPath.h"

// Standard library
#include <cstdint>
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

// A move takes a directory whole (one shell move) when it lies on the same
// drive as its destination (drive parts compared exactly) and nothing of
// that name exists there yet; below such a directory everything is whole.
bool MovesWhole(TFileOperationKind kind, bool parentWhole, bool destinationExists, std::wstring_view sourcePath,
                std::wstring_view destinationPath);
