// What the units of the built-in actions share: the table entry of a
// callback action, folder and caret helpers, and each unit's entry points.
// Only the action units include this.
#pragma once

// Own
#include "actions/UActions.h"

// View
#include "view/UView.h"

// Folders
#include "folders/UFolders.h"

// Toolkit
#include "lw/LActions.h"

// Standard library
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace actionsinternal {

// A callback action of the tables: when it is enabled and what it does.
struct TActionEntry {
    const char* Name;
    const wchar_t* Caption;
    const wchar_t* Hint;
    bool (*Enabled)(TFilerView* view);
    void (*Execute)(TFilerView* view);
};

// Folder helpers

// The folder of a location, made or found by the folder manager.
ComPtr<IFolder> FolderAt(const TPath& location);
TPath LocationOf(IFolder* folder);
// Shows the location in the view; nothing when it cannot be opened.
void NavigateTo(TFilerView* view, const TPath& location);
// Shows the directory holding a file and puts the caret on the file.
void NavigateToFile(TFilerView* view, const std::wstring& fileName);
HWND OwnerWindow(TFilerView* view);

// Enabling rules shared by several actions

bool Always(TFilerView* view);
bool HasItems(TFilerView* view);
// The current folder is a file-system directory.
bool IsDirectoryView(TFilerView* view);
// The current folder is a folder inside an archive.
bool IsArchiveView(TFilerView* view);
// The current folder's capability flags include flag.
bool FolderCan(TFilerView* view, uint8_t flag);
// The caret item when the list is not empty, nothing is marked and the
// caret item is a file-system entry that is not a directory; else null.
TFileItem* SingleCaretFile(TFilerView* view);
// The full path of an item of the view's folder ("" when it has none).
std::wstring ItemPath(TFilerView* view, const TFileItem* item);
// The directory path of the view's folder ("" when it is no directory).
std::wstring DirectoryPath(TFilerView* view);

} // namespace actionsinternal

// Clipboard (UActionClipboard.cpp)
namespace actionsinternal {
bool CanClipboardCopy(TFilerView* view);
void ClipboardCopy(TFilerView* view);
void ClipboardCut(TFilerView* view);
bool CanClipFileData(TFilerView* view);
void ClipFileData(TFilerView* view);
// "ClipboardPaste", an action with a choice list.
T0Action* NewClipboardPasteAction();
// One choice of the paste list: the effect and its caption.
struct TPasteChoice {
    DWORD Effect;
    std::wstring Caption;
};
// The paste list for the effects the clipboard prefers: copy, move and link
// (in this order) that it prefers first, then the others with the long
// prefix that says they are forced.
std::vector<TPasteChoice> PasteChoices(DWORD preferred);
// The largest file "ClipFileData" puts on the clipboard: the clipboard holds
// it twice, and a 32-bit process must find each copy in one piece.
inline constexpr uint64_t kMaxFileDataBytes = uint64_t{256} << 20;
bool FileDataFits(uint64_t size);
} // namespace actionsinternal

// Opening files and the shell (UActionOpen.cpp)
namespace actionsinternal {
bool CanOpenFileDirectly(TFilerView* view);
void OpenFileAs(TFilerView* view);
void OpenFileShort(TFilerView* view);
bool CanToShellLink(TFilerView* view);
void ToShellLink(TFilerView* view);
bool CanShowProperty(TFilerView* view);
void ShowProperty(TFilerView* view);
void Console(TFilerView* view);
void Explorer(TFilerView* view);
void ExplorerFind(TFilerView* view);
void ToChosen(TFilerView* view);
// "OpenFile", the shell's verbs for the caret item.
T0Action* NewOpenFileAction();
// The open-with command line for a file name without folder: every "%1" of
// command replaced by the name (the name itself is not searched again).
// False for a name with a double quote, which would end the quotes the
// command puts around it.
bool OpenWithCommandLine(std::wstring_view command, std::wstring_view fileName, std::wstring& line);
// The name ends in ".lnk", in any letter case.
bool IsShellLinkName(std::wstring_view name);
// The message of a shortcut that could not be followed, with its details.
std::wstring ShellLinkFailureText(const std::vector<std::wstring>& details);
// The program COMSPEC names; empty when it is unset or longer than 1024
// characters (never cut short into another program's name).
std::wstring ConsoleProgram();
} // namespace actionsinternal

// New directories and files (UActionNewFile.cpp)
namespace actionsinternal {
bool CanMakeDirectory(TFilerView* view);
void MakeDirectory(TFilerView* view);
// "MakeNewFile", the types the registry says can be made new.
T0Action* NewMakeNewFileAction();

// How a new file of a type is made.
constexpr uint8_t kNewFileEmpty = 0;
constexpr uint8_t kNewFileFromTemplate = 1;

// A type that can be made new, as the registry describes it.
struct TNewFileType {
    std::wstring Caption;
    // With its leading ".".
    std::wstring Extension;
    uint8_t Kind = kNewFileEmpty;
    // The template's file name, for kNewFileFromTemplate.
    std::wstring Template;
};

// Every extension under HKEY_CLASSES_ROOT with a usable "ShellNew"
// description, in the registry's order. Entries that cannot be read are
// left out; the walk takes no lock.
std::vector<TNewFileType> ReadNewFileTypes();

// One choice of "MakeNewFile".
class TMakeNewFileActionItem : public TActionItem {
public:
    TMakeNewFileActionItem(TActionItems* list, std::wstring caption, std::wstring extension, uint8_t kind,
                           std::wstring templateName);

    const std::wstring& Extension() const noexcept { return FExtension; }
    uint8_t Kind() const noexcept { return FKind; }
    const std::wstring& Template() const noexcept { return FTemplate; }

private:
    std::wstring FExtension;
    uint8_t FKind;
    std::wstring FTemplate;
};

// Asks for a name and makes a file of the type in the view's folder;
// actionCaption titles the dialog and the messages.
void MakeNewFile(TFilerView* view, const std::wstring& actionCaption, const TMakeNewFileActionItem& type);
} // namespace actionsinternal

// Window, help and version (UActionMenus.cpp)
namespace actionsinternal {
void BrowsePage(TFilerView* view);
void HelpContents(TFilerView* view);
void HelpOnHelp(TFilerView* view);
void HelpTopicSearch(TFilerView* view);
// The help page beside the program, and its address for the shell: a file
// URL with every character outside the plain ones escaped (UTF-8), and the
// anchor after "#" when one is given.
inline constexpr const wchar_t* kHelpPageName = L"Nimbra.html";
std::wstring HelpPagePath();
std::wstring HelpPageUrl(std::wstring_view path, std::wstring_view anchor);
T0Action* NewWindowMenuAction();
T0Action* NewVersionInfoAction();
T0Action* NewHelpMenuAction();
} // namespace actionsinternal

// Folder comparison (UActionCompareView.cpp)
namespace actionsinternal {
// "CompareView": selects in the current view what another view of the
// window lacks, holds newer, holds too or holds older.
T0Action* NewCompareViewAction();

// The conditions of the comparison, in the order of the dialog's buttons.
enum class TCompareMode : int {
    Missing = 0, // no item there has the name
    Newer = 1,   // no item there has the name with the same or a later time
    Present = 2, // an item there has the name
    Older = 3,   // an item there has the name with a strictly later time
};

// An item as the comparison sees it: its name and last-write time.
struct TCompareEntry {
    std::wstring_view Name;
    FILETIME Time;
};

// For each entry of here, whether it meets the condition against there.
// Names are equal as CompareStringW (system locale, ignoring case) says.
std::vector<bool> CompareEntries(const std::vector<TCompareEntry>& here, const std::vector<TCompareEntry>& there,
                                 TCompareMode mode);
} // namespace actionsinternal

// Incremental search (UActionIncrementalSearch.cpp)
namespace actionsinternal {
// "IncrementalSearch": the search window over the current view's caret.
T0Action* NewIncrementalSearchAction();

// The window class of the search window.
inline constexpr const wchar_t* kIncrementalSearchClass = L"NimbraIncrementalSearch";

// A borderless line over the caret item of a view: what is typed moves the
// caret to the entry whose name begins with the most of it; a few keys and
// characters go up, to the root, to the network, into the matched folder or
// to a pasted path. Enter, Tab or a second Escape close it. It runs modally
// on the view's thread, its owner window disabled meanwhile.
class TIncrementalSearchDialog : public T0DialogWindow {
public:
    TIncrementalSearchDialog(TFilerView* view, std::wstring caption);

    // Shows the window and runs it until it is closed; the view keeps the
    // folder and the caret reached.
    void Execute();
    // The text typed so far (read on the window's thread, or under the
    // exclusive hold).
    const std::wstring& SearchText() const { return FSearchText; }

    std::wstring WindowClassName() const override { return kIncrementalSearchClass; }
    bool KeyDown(int shift, UINT key) override;
    void Paint(HDC dc) override;
    void Idle() override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    void FillWindowClass(WNDCLASSEXW& windowClass) override;

private:
    // The view, while it is still one of its window's.
    TFilerView* View() const;
    void CharTyped(wchar_t character);
    void Paste();
    void Backspace();
    void Escape();
    void Backslash();
    // Redraws, runs the name search when asked and moves over the caret.
    void Changed(bool search);
    void PlaceOverCaret();
    // Performs an action of the window's thread by name; whether it ran.
    bool PerformThreadAction(const char* name);
    // Shows the location in the view when it is a folder that exists.
    bool NavigateIfFolder(const TPath& location);
    void SetTextFromCaret();
    void Close() { SetTerminated(true); }

    TFilerWindow* FWindow;
    TFilerView* FView;
    std::wstring FCaption;
    std::wstring FSearchText;
    TPath FStartLocation;
    HFONT FFont = nullptr;
    int FFontHeight = 0;
    // The last key was an Escape that went back towards the start: the next
    // one closes even when the start folder could not be shown again.
    bool FReturned = false;
    bool FQuit = false;
    WPARAM FQuitCode = 0;
};

// The location a typed or pasted path names, when it can name one: an
// existing directory, or a place of the shell namespace ("\\server", a
// special folder's parsing name). False for anything else (a missing path,
// a file, a device), which must not turn into some other folder.
bool LocationOfText(std::wstring_view text, TPath& location);
} // namespace actionsinternal

// Finding files (UActionFindFile.cpp)
namespace actionsinternal {
// "ToFound": in a list of search results with a caret item.
bool CanGoToFound(TFilerView* view);
// Opens the directory that holds the caret result, with the caret on it.
void ToFound(TFilerView* view);
// "FindFile", the search dialog; the results replace the view's folder.
T0Action* NewFindFileAction();
} // namespace actionsinternal

// Archives (UActionPack.cpp)
namespace actionsinternal {
T0Action* NewPackAction();
T0Action* NewUnpackAction();
} // namespace actionsinternal
