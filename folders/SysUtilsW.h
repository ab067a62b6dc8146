// Wide-string path functions: name parts, case-insensitive comparison, full
// and long forms, and the probes that may touch removable media.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <string_view>

// Compares without regard to case as the system locale does: -1, 0 or 1.
int SameText(std::wstring_view a, std::wstring_view b);

// The directory part: up to the last "\" or ":". A trailing "\" is dropped
// unless the character before it is "\" or ":", so "C:\a" gives "C:\" and
// "C:\a\b" gives "C:\a".
std::wstring ExtractFileDir(std::wstring_view fileName);
// The name part: everything after the last "\" or ":".
std::wstring ExtractFileName(std::wstring_view fileName);
// "C:" for a drive path; "\\server\share" for a UNC path; otherwise empty.
std::wstring ExtractFileDrive(std::wstring_view fileName);
// The extension with its dot, taken from the name part only; empty when none.
std::wstring ExtractFileExt(std::wstring_view fileName);
// Appends "\" unless the text already ends with one (an empty text gets it).
std::wstring IncludeTrailingBackslash(std::wstring_view path);

// The full path (GetFullPathNameW); the text itself when the system refuses it.
std::wstring ExpandFileName(std::wstring_view fileName);
// The long form of an existing path (GetLongPathNameW); the text itself when
// the path does not exist, so that a vanished location keeps its name. A
// device name comes back as it is, untouched.
std::wstring GetLongPathName(std::wstring_view fileName);

// Switches the system's critical-error boxes (an empty floppy or CD drive)
// off for its lifetime and restores the previous error mode. The mode is the
// calling thread's own: a probe on one thread never changes what another
// thread (a view showing a prompt, a loader) gets.
class CriticalErrorsOff {
public:
    CriticalErrorsOff() noexcept
    {
        if (!::SetThreadErrorMode(SEM_FAILCRITICALERRORS | ::GetThreadErrorMode(), &FOldMode))
            FOldMode = kNotSet;
    }
    ~CriticalErrorsOff()
    {
        if (FOldMode != kNotSet)
            ::SetThreadErrorMode(FOldMode, nullptr);
    }
    CriticalErrorsOff(const CriticalErrorsOff&) = delete;
    CriticalErrorsOff& operator=(const CriticalErrorsOff&) = delete;

private:
    static constexpr DWORD kNotSet = 0xFFFFFFFF;
    DWORD FOldMode = kNotSet;
};

// The text names a device rather than a file or directory: anything in the
// device namespace ("\\.\COM1", "\\.\pipe\name", "\\?\GLOBALROOT\...",
// "\??\..."), a "\\?\" name that is neither a drive, a share nor a volume,
// or a path whose last part is a reserved device name ("CON", "NUL",
// "COM1", "LPT1.txt", "aux:"). Opening such a name opens the device (a
// serial port, a pipe instance), so nothing probes it.
bool IsDevicePath(std::wstring_view path);
// Whether one name is a device's in every folder: cut at its first dot and
// freed of trailing spaces and colons, one of the reserved names (CON, PRN,
// AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9).
bool IsReservedDeviceName(std::wstring_view part);

// The path names an existing file, directory or volume. Empty texts,
// wildcard patterns and device names are not paths and never count as
// accessible; a device name is not touched at all.
bool PathIsAccessible(std::wstring_view path);
// A drive root ("C:\") or a share root ("\\server\share").
bool IsRootPath(std::wstring_view path);
// Name itself when it is absolute ("C:..." or "\..."); otherwise Name inside Dir.
std::wstring CombinePath(std::wstring_view dir, std::wstring_view name);

// The path in the system's extended form, which the name parser leaves as it
// stands: "C:\a" gives "\\?\C:\a", "\\server\share\a" gives
// "\\?\UNC\server\share\a". A name ending in a dot or a space then keeps
// it, and the length is no longer held to MAX_PATH. A path already in that
// form or in the device form ("\\.\"), and a path that is not absolute
// (which only the parser can resolve), come back unchanged. Forward slashes
// become backslashes, since the extended form takes none.
std::wstring ExtendedPath(std::wstring_view path);

// Whether the path has a part that ends in a dot or a space, or is too long
// for the calls that parse their paths (the shell's among them): such a path
// names its file only in the extended form.
bool NeedsExtendedPath(std::wstring_view path);
