// Renaming files: how a name splits into base and extension, what several
// names have in common, the names a multiple rename gives, and the rename
// itself, which never replaces another file.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <string_view>
#include <vector>

// The text of a rename field whose part differs between the names: each
// name keeps its own.
inline constexpr std::wstring_view kDiffering = L"*";

// A name in two parts: the extension is what follows the last "." after
// the last "\" or ":" (without the dot; empty when there is none), the base
// the rest without that dot.
struct TNameParts {
    std::wstring Base;
    std::wstring Extension;
};
TNameParts SplitName(std::wstring_view name);

// The parts every name shares (compared ignoring case, the first name's
// spelling kept); "*" for a part they do not share. Empty parts for no names.
TNameParts CommonParts(const std::vector<std::wstring>& names);

// The new name of one name in a multiple rename: a shared part (common is
// not "*") becomes the typed text, a differing part stays the name's own.
// With an empty extension no dot is added.
std::wstring MultiRenamedName(std::wstring_view name, const TNameParts& common, const TNameParts& typed);

// A name as the rename sees it: its folder (with a trailing backslash) and
// its file name. A name holding "\" (a search result) brings its own folder.
struct TRenameSource {
    std::wstring Folder;
    std::wstring Name;
};
TRenameSource RenameSource(std::wstring_view folder, std::wstring_view name);

// Whether a typed name can be given to a file: not empty, not "." or "..",
// none of \ / : * ? " < > | nor a control character, not ending in a dot or
// a space, and not a device's name (CON, PRN, AUX, NUL, COM1-COM9,
// LPT1-LPT9, CONIN$, CONOUT$; also with an extension, as "nul.txt").
bool IsValidFileName(std::wstring_view name);

// A typed name as the file gets it: without trailing dots and spaces, which
// the system's parser has always dropped and which, kept, would make a file
// that most programs cannot open.
std::wstring TypedFileName(std::wstring_view typed);

// The message for a name IsValidFileName refuses.
std::wstring InvalidNameMessage(std::wstring_view name);

// Renames folder + oldName to folder + newName with a call that never
// replaces another file, both in the extended form, so that a name ending in
// a dot or a space and a long path are the files they name. Refuses (false,
// nothing changed) a newName IsValidFileName refuses; a change of letter
// case alone is allowed. True when the name is the same or the rename
// succeeded; on failure the thread's last error says why.
bool RenameFile(const std::wstring& folder, const std::wstring& oldName, const std::wstring& newName);
