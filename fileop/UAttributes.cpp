#include "fileop/UAttributes.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LHandles.h"

namespace {

// The bits SetFileAttributesW takes; the others (directory, compression,
// encryption, reparse points) belong to the file system.
constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                            FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

DWORD Settable(DWORD attributes)
{
    attributes &= kSettable;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool SameSecond(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

} // namespace

DWORD ApplySwitches(DWORD attributes, const std::array<TSwitchState, 4>& switches)
{
    for (size_t i = 0; i < switches.size(); ++i) {
        if (switches[i] == TSwitchState::On)
            attributes |= kSwitchAttributes[i];
        else if (switches[i] == TSwitchState::Off)
            attributes &= ~kSwitchAttributes[i];
    }
    return attributes;
}

std::array<TSwitchState, 4> ChangedSwitches(DWORD shown, const std::array<TSwitchState, 4>& switches)
{
    std::array<TSwitchState, 4> changed = switches;
    for (size_t i = 0; i < changed.size(); ++i) {
        TSwitchState before = (shown & kSwitchAttributes[i]) != 0 ? TSwitchState::On : TSwitchState::Off;
        if (changed[i] == before)
            changed[i] = TSwitchState::Unchanged;
    }
    return changed;
}

SYSTEMTIME LocalSecondOf(const FILETIME& time)
{
    FILETIME local{};
    SYSTEMTIME result{};
    if (FileTimeToLocalFileTime(&time, &local))
        FileTimeToSystemTime(&local, &result);
    result.wMilliseconds = 0;
    return result;
}

std::optional<FILETIME> FileTimeOfLocal(const SYSTEMTIME& local)
{
    SYSTEMTIME exact = local;
    exact.wMilliseconds = 0;
    FILETIME localTime{}, time{};
    if (!SystemTimeToFileTime(&exact, &localTime) || !LocalFileTimeToFileTime(&localTime, &time))
        return std::nullopt;
    return time;
}

TFileTimes ChosenTimes(const TFileTimes& recorded, const TAttributeChoice& choice)
{
    TFileTimes chosen = recorded;
    for (size_t i = 0; i < chosen.Times.size(); ++i) {
        if (!choice.Times[i] || SameSecond(*choice.Times[i], LocalSecondOf(recorded.Times[i])))
            continue;
        if (std::optional<FILETIME> time = FileTimeOfLocal(*choice.Times[i]))
            chosen.Times[i] = *time;
    }
    return chosen;
}

DWORD ApplyAttributeChoice(const std::wstring& name, const TFileTimes& recorded, const TAttributeChoice& choice)
{
    std::wstring path = ExtendedPath(name);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    DWORD wanted = Settable(ApplySwitches(attributes, choice.Switches));
    TFileTimes times = ChosenTimes(recorded, choice);
    // A time left alone is not written: the file may have changed since it
    // was recorded.
    std::array<const FILETIME*, 3> changed{};
    bool timesChange = false;
    for (size_t i = 0; i < times.Times.size(); ++i) {
        if (!SameTime(times.Times[i], recorded.Times[i])) {
            changed[i] = &times.Times[i];
            timesChange = true;
        }
    }
    if (timesChange) {
        bool unlocked = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (unlocked && !SetFileAttributesW(path.c_str(), wanted & ~FILE_ATTRIBUTE_READONLY))
            return GetLastError();
        // Attribute-writing access is enough for the times and conflicts
        // with no other program's sharing; directories need the backup
        // flag to be opened at all.
        UniqueFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        DWORD error = 0;
        if (!file || !SetFileTime(file.get(), changed[0], changed[2], changed[1]))
            error = GetLastError();
        file.reset();
        if (error != 0) {
            // The file keeps the attributes it had.
            if (unlocked)
                SetFileAttributesW(path.c_str(), Settable(attributes));
            return error;
        }
    }
    if (!SetFileAttributesW(path.c_str(), wanted))
        return GetLastError();
    return 0;
}
