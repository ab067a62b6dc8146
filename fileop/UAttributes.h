// Changing the classic attributes and the three times of files: what a set
// of switches makes of an attribute word, and applying a choice to one path
// so that nothing changes that the user did not ask for.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <array>
#include <cstdint>
#include <optional>
#include <string>

// A switch's state: set the bit, clear it, or (for several files) leave it.
enum class TSwitchState : int32_t { Unchanged = 0, On = 1, Off = 2 };

// The attributes the switches stand for, in their order.
inline constexpr std::array<DWORD, 4> kSwitchAttributes{FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,
                                                        FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_ARCHIVE};

// The three times, in their order: creation, last write, last access.
struct TFileTimes {
    std::array<FILETIME, 3> Times{};
};

// What the user chose: a state per switch and, per time, a new local time
// to the second or nothing (leave it).
struct TAttributeChoice {
    std::array<TSwitchState, 4> Switches{};
    std::array<std::optional<SYSTEMTIME>, 3> Times{};
};

// The attribute word with each switch applied.
DWORD ApplySwitches(DWORD attributes, const std::array<TSwitchState, 4>& switches);

// The switches of a dialog that showed one file's attributes as shown, with
// every switch the user left as it was made Unchanged: the file may have
// changed since, and only what the user changed is written.
std::array<TSwitchState, 4> ChangedSwitches(DWORD shown, const std::array<TSwitchState, 4>& switches);

// A file time as local time to the second (the precision the dialog shows),
// and back.
SYSTEMTIME LocalSecondOf(const FILETIME& time);
std::optional<FILETIME> FileTimeOfLocal(const SYSTEMTIME& local);

// The times after the choice: a chosen time replaces a recorded one only
// when it differs from it at the second, so that confirming unchanged
// fields keeps the recorded fractions of a second.
TFileTimes ChosenTimes(const TFileTimes& recorded, const TAttributeChoice& choice);

// Applies the choice to path (taken in the extended form, so that a name
// ending in a dot or a space and a long path are the file they name), whose times were recorded as given: the
// times that change (only those are written; a read-only file is made
// writable meanwhile), then the attributes. Returns 0, or the system's error code, with the
// file's attributes as they were when setting the times failed.
DWORD ApplyAttributeChoice(const std::wstring& path, const TFileTimes& recorded, const TAttributeChoice& choice);
