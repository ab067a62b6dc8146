// Shell helpers shared by the namespace folder, the file list view and the
// file operations: ID list arithmetic, display names, data objects and
// context menus for files, property sheets and shell file operations.
#pragma once

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LHandles.h"

// Platform
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

// Standard library
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An ID list allocated with the shell allocator.
using UniqueIDList = UniqueResource<NullIsInvalid<LPITEMIDLIST, ::CoTaskMemFree>>;

// ID list arithmetic. Every walk stops at the first zero size field, so a
// list is never read past its terminator.

// The ID after the given one (possibly the terminator); null at the
// terminator or for a null list.
LPITEMIDLIST NextID(LPCITEMIDLIST id) noexcept;
// The last ID of the list; the terminator itself for an empty list; null for null.
LPITEMIDLIST LastID(LPCITEMIDLIST list) noexcept;
// Bytes of the list including the 2-byte terminator; 0 for null.
UINT IDListSize(LPCITEMIDLIST list) noexcept;
// No IDs before the terminator: the desktop. A null list is not empty.
bool IsEmptyIDList(LPCITEMIDLIST list) noexcept;
// Both null, or the same size and the same bytes.
bool SameIDList(LPCITEMIDLIST a, LPCITEMIDLIST b) noexcept;
// The list begins with the IDs of prefix (the terminator of prefix not
// counted); every list begins with the empty list.
bool IDListBeginsWith(LPCITEMIDLIST list, LPCITEMIDLIST prefix) noexcept;
// A zero-filled block of size bytes; raises when memory is short.
UniqueIDList AllocIDList(UINT size);
// A copy of the list; empty for null.
UniqueIDList CloneIDList(LPCITEMIDLIST list);
// The first list's IDs followed by the second list; a null side counts as
// empty, both null give null.
UniqueIDList CombineIDLists(LPCITEMIDLIST first, LPCITEMIDLIST second);
// Cuts the last ID off by writing a terminator where it began; false when the
// list was empty or null.
bool RemoveLastID(LPITEMIDLIST list) noexcept;

// The name of an item of folder in the given SHGDN_* form, whatever STRRET
// form the folder answers with; empty when the folder fails.
std::wstring DisplayNameOf(IShellFolder* folder, LPCITEMIDLIST id, DWORD flags);
// The desktop folder, root of the namespace; raises when the shell has none.
ComPtr<IShellFolder> DesktopFolder();
// The file-system path of a special folder (CSIDL_*) with a trailing
// backslash; empty when the folder has no file-system path.
std::wstring SpecialFolderPath(int csidl);

// The effect of a drag from the mouse-key state: Ctrl+Shift link, Ctrl copy,
// otherwise move.
DWORD DropEffectFromKeys(DWORD keyState) noexcept;

// The shell's context menu for names in directory; raises when the directory
// or a name cannot be parsed. No names give no menu.
ComPtr<IContextMenu> FileContextMenu(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names);
// The same for one full file name.
ComPtr<IContextMenu> FileContextMenu(HWND owner, std::wstring_view fileName);
// The shell's data object for names in directory, with "Preferred DropEffect"
// when effect is not 0 and the full paths as tab-separated text; raises like
// FileContextMenu.
ComPtr<IDataObject> FileDataObject(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names,
                                   DWORD effect);

// The files of a file list (CF_HDROP) handed over by drag and drop or the
// clipboard: the directory of the first one, and each one's name in its
// long form. Scattered when they do not all lie in that directory.
struct TDroppedFiles {
    std::wstring Directory;
    std::vector<std::wstring> Names;
    bool Scattered = false;
};
// Reads the file list of data; false when it offers none or an empty one.
// Entries without a name of their own (a drive root) are left out.
bool ReadDroppedFiles(IDataObject* data, TDroppedFiles& files);
// Hands a drop effect to the data object under one of the shell's formats
// ("Preferred DropEffect", "Performed DropEffect" and the like); quietly
// nothing when the object does not take it.
void SetDropEffectFormat(IDataObject* data, const wchar_t* formatName, DWORD effect);
// The drop effect the data object holds under a format; none when it has
// no such format or less than four bytes of it.
std::optional<DWORD> DropEffectFormat(IDataObject* data, const wchar_t* formatName);

// Opens the shell's property sheet; false when the shell could not.
bool ShowPropertySheet(std::wstring_view fileName, HWND owner = nullptr);
bool ShowPropertySheet(LPCITEMIDLIST idList, HWND owner = nullptr);

// The names as SHFileOperationW wants them: each a full path (directory +
// "\" + name unless the name contains a "\"), each zero-terminated, and one
// more zero at the end. Raises for an empty directory and for an empty name
// or a zero inside a name or the directory.
std::wstring DoubleZeroList(std::wstring_view directory, const std::vector<std::wstring>& names);
// Deletes names in directory through the shell with the given FOF_* flags;
// true when the shell reports success and nothing was cancelled.
bool ShellDelete(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names, FILEOP_FLAGS flags);
// One FO_* operation from source to target, silent and without
// confirmation; true on success.
bool ShellFileOperation(HWND owner, UINT func, std::wstring_view source, std::wstring_view target);
