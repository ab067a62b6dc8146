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

// Finding files (UActionFindFile.cpp)
namespace actionsinternal {
// "ToFound": in a list of search results with a caret item.
bool CanGoToFound(TFilerView* view);
// Opens the directory that holds the caret result, with the caret on it.
void ToFound(TFilerView* view);
// "FindFile", the search dialog; the results replace the view's folder.
T0Action* NewFindFileAction();
} // namespace actionsinternal
