// The system's common dialogs, run with the application lock released:
// the folder browser and the message box.
#pragma once

// Toolkit
#include "lw/LHandles.h"
#include "lw/LObjects.h"

// Platform
#include <windows.h>
#include <shlobj.h>

// Standard library
#include <string>
#include <string_view>

// An item identifier list from the shell, freed with CoTaskMemFree.
using UniqueIDList = UniqueResource<NullIsInvalid<LPITEMIDLIST, ::CoTaskMemFree>>;

// The system folder browser, limited to file-system folders.
class TBrowseFolderDialog : public T0Object {
public:
    TBrowseFolderDialog(HWND owner, std::wstring title, std::wstring startPath = {});

    // Shows the browser modally; true when the user chose a folder.
    bool Execute();
    // The chosen folder's path (empty when it has none) and ID list (null
    // before a folder was chosen); both stay valid until the next Execute.
    const std::wstring& Path() const { return FPath; }
    LPCITEMIDLIST IDList() const { return FIDList.get(); }
    // Hands the ID list over to the caller.
    UniqueIDList TakeIDList() { return std::move(FIDList); }

private:
    static int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM lParam, LPARAM data);

    HWND FOwner;
    std::wstring FTitle;
    std::wstring FStartPath;
    std::wstring FPath;
    UniqueIDList FIDList;
};

// The system message box, with the calling thread's hold on the
// application lock released while it is up.
class TMessageBox {
public:
    // Returns the button chosen (IDOK, IDYES, ...). An empty caption is
    // the application title.
    static int Show(HWND owner, std::wstring_view text, std::wstring_view caption = {}, UINT flags = MB_OK);
};
