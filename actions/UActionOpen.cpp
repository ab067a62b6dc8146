// Opening files and the shell: the shell's verbs for the caret item, the
// associated program, the open-with dialog, shortcuts, the console, the
// explorer, property sheets and the folder browser.
//
// Everything here that may wait for long (the shell starting a program,
// resolving a shortcut, a property sheet, the folder browser, a verb of a
// context menu) runs with the thread's hold on the application lock given
// up. What such a call needs of the view is read before it, and the view is
// looked at afterwards only when its window is still there.
#include "actions/UActionsInternal.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LAppLock.h"
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LMenus.h"
#include "lw/LRegistry.h"
#include "lw/LStrings.h"

// Platform
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

// Standard library
#include <cwchar>
#include <string>
#include <vector>

namespace actionsinternal {

namespace {

constexpr const wchar_t* kOpenAsKey = L"Unknown\\Shell\\OpenAs\\Command";
constexpr const wchar_t* kNoOpenAsCommand =
    L"「アプリケーションから開く」のコマンドが登録されていません.\r\n(HKEY_CLASSES_ROOT\\Unknown\\Shell\\OpenAs\\Command)";
constexpr const wchar_t* kQuoteInName = L"名前に \" を含むファイルはアプリケーションに渡せません.\r\n";
constexpr const wchar_t* kCannotStart = L"を起動できません.\r\n";
constexpr const wchar_t* kNoComspec = L"環境変数 COMSPEC にコマンドインタプリタが設定されていません.";
constexpr const wchar_t* kCannotExplore = L"をエクスプローラで開けません.";
constexpr const wchar_t* kCannotFind = L"で検索を始められません.";
constexpr const wchar_t* kNoPropertySheet = L"のプロパティを表示できません.";
constexpr const wchar_t* kVerbFailed = L"を実行できませんでした.\r\n";
constexpr const wchar_t* kLinkFailed = L"ショートカットの解決に失敗しました.\r\n(報告時はこれも併記してね→ ";

// The command identifiers the shell's verbs get in the pop-up.
constexpr UINT kFirstVerbId = 4096;
constexpr UINT kLastVerbId = 32767;
// How long a shortcut may take to resolve (the high word of the flags).
constexpr DWORD kResolveTimeout = 3000;
// The longest COMSPEC taken; a longer one is not cut into another program.
constexpr DWORD kComspecLength = 1024;

// What ShellExecuteW answers, as a number; 32 and less are failures.
INT_PTR ExecuteResult(HINSTANCE result)
{
    return reinterpret_cast<INT_PTR>(result);
}

std::wstring ShellExecuteError(INT_PTR result)
{
    // Every error code of ShellExecute below 32 is also a system error code
    // with the same meaning, except the few of its own.
    switch (result) {
    case SE_ERR_ASSOCINCOMPLETE:
    case SE_ERR_NOASSOC:
        return SysErrorMessage(ERROR_NO_ASSOCIATION);
    case SE_ERR_DDEBUSY:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDETIMEOUT:
        return SysErrorMessage(ERROR_DDE_FAIL);
    case SE_ERR_SHARE:
        return SysErrorMessage(ERROR_SHARING_VIOLATION);
    case 0:
        return SysErrorMessage(ERROR_NOT_ENOUGH_MEMORY);
    default:
        return SysErrorMessage(static_cast<DWORD>(result));
    }
}

std::wstring HexResult(HRESULT hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::wstring ExpandEnvironment(const std::wstring& text)
{
    DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0)
        return text;
    std::wstring expanded(size, L'\0');
    DWORD written = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), size);
    if (written == 0 || written > size)
        return text;
    expanded.resize(written - 1);
    return expanded;
}

// The view is the same object with its window still there: a long call may
// have let the thread handle messages that closed it.
bool ViewStillThere(TFilerView* view, HWND handle)
{
    return handle != nullptr && IsWindow(handle) && WindowOf(handle) == view;
}

void ShowMessage(HWND owner, const std::wstring& text, UINT flags = MB_ICONWARNING)
{
    TMessageBox::Show(owner, text, {}, flags);
}

// The open-with dialog of the system for a file, through the command line
// registered for it.
void StartOpenWith(HWND owner, const std::wstring& fileName)
{
    std::wstring command;
    try {
        TOwned<TRegistryKey> key(new TRegistryKey(HKEY_CLASSES_ROOT, false, KEY_READ, kOpenAsKey));
        command = key->ReadString(L"");
    } catch (const ERegistryError&) {
        command.clear();
    }
    if (command.empty()) {
        ShowMessage(owner, kNoOpenAsCommand);
        return;
    }
    std::wstring name = ExtractFileName(fileName);
    std::wstring line;
    if (!OpenWithCommandLine(ExpandEnvironment(command), name, line)) {
        ShowMessage(owner, kQuoteInName + name);
        return;
    }
    std::wstring directory = ExtractFileDir(fileName);
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    BOOL started;
    DWORD error;
    {
        TSuspendShared unlocked;
        started = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 directory.empty() ? nullptr : directory.c_str(), &startup, &process);
        error = GetLastError();
    }
    if (!started) {
        ShowMessage(owner, line + kCannotStart + SysErrorMessage(error));
        return;
    }
    // Not waited for: the dialog lives on its own.
    UniqueHandle thread(process.hThread);
    UniqueHandle child(process.hProcess);
}

// The full path of the single file at the caret ("" when there is none or
// it has no path of its own, as inside an archive).
std::wstring CaretFilePath(TFilerView* view)
{
    TFileItem* caret = SingleCaretFile(view);
    return caret != nullptr ? ItemPath(view, caret) : std::wstring();
}

// What resolving a shortcut gave: the target's path, or what went wrong.
struct TLinkTarget {
    std::wstring Path;
    std::vector<std::wstring> Failure;
};

TLinkTarget ResolveShellLink(HWND owner, const std::wstring& linkName)
{
    TLinkTarget result;
    auto fail = [&](const wchar_t* step, HRESULT hr, const std::wstring& stored) {
        result.Path.clear();
        result.Failure = {linkName, step, HexResult(hr)};
        if (!stored.empty())
            result.Failure.push_back(stored);
        return result;
    };
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.put()));
    if (FAILED(hr))
        return fail(L"CoCreateInstance", hr, {});
    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()));
    if (FAILED(hr))
        return fail(L"IPersistFile", hr, {});
    hr = file->Load(linkName.c_str(), STGM_READ);
    if (FAILED(hr))
        return fail(L"Load", hr, {});
    wchar_t stored[MAX_PATH + 1] = {};
    link->GetPath(stored, MAX_PATH, nullptr, SLGP_RAWPATH);
    // No searching the disks and no dialog: a link whose target is gone
    // says so at once.
    DWORD flags = SLR_NO_UI | SLR_NOSEARCH | SLR_NOTRACK | SLR_NOUPDATE | (kResolveTimeout << 16);
    hr = link->Resolve(owner, flags);
    if (hr != S_OK)
        return fail(L"Resolve", hr, stored);
    wchar_t target[MAX_PATH + 1] = {};
    hr = link->GetPath(target, MAX_PATH, nullptr, 0);
    if (hr != S_OK || target[0] == L'\0')
        return fail(L"GetPath", hr, stored);
    if (GetFileAttributesW(target) == INVALID_FILE_ATTRIBUTES)
        return fail(target, HRESULT_FROM_WIN32(GetLastError()), stored);
    result.Path = target;
    return result;
}

// "OpenFile": the shell's verbs for the file at the caret.
class TOpenFileAction : public T0Action, public TActionItemsProvider {
public:
    TOpenFileAction() : T0Action(false)
    {
        Describe("OpenFile", L"開く", L"ファイルを開きます");
        FItems = new TActionItems(this, L"");
        FItems->SetOwner(this);
    }

    void Idle() override
    {
        TFilerView* view = ActionView();
        // The list a menu or the choice dialog shows keeps its shell menu.
        if (FBusy || (view != nullptr && (view->Window()->LoopFlags() & kMenuLoopFlag) != 0))
            return;
        ReleaseShellMenu();
        SetEnabled(view != nullptr && CanOpenFileDirectly(view));
        FItems->Invalidate();
    }

    void Execute() override
    {
        struct TBusy {
            bool& Flag;
            explicit TBusy(bool& flag) : Flag(flag) { Flag = true; }
            ~TBusy() { Flag = false; }
        } busy(FBusy);
        T0Action::Execute();
    }

    IActionItems* ActionItems() override { return FItems; }

    void Fill(TActionItems& list) override
    {
        list.Clear();
        FFirstId = -1;
        FLastId = 0;
        ReleaseShellMenu();
        TFilerView* view = ActionView();
        TFileItem* caret = view != nullptr ? SingleCaretFile(view) : nullptr;
        if (caret == nullptr) {
            list.SetTitle(L"");
            return;
        }
        list.SetTitle(std::wstring(caret->Name, static_cast<size_t>(caret->NameLen)) + L"を開く");
        if (!BuildShellMenu(view))
            return;
        AddEntries(list, FShellMenu->Handle(), 0);
    }

    void PerformItem(TActionItem& item) override
    {
        intptr_t id = item.Data();
        if (id < static_cast<intptr_t>(kFirstVerbId) || id > static_cast<intptr_t>(kLastVerbId))
            return;
        TFilerView* view = ActionView();
        if (view == nullptr)
            return;
        // The shell menu went with an idle step between the choice and
        // this (a menu's command arrives after its loop ended): made again
        // for the caret, it is only used when the verb is still the one
        // chosen.
        if (!FContextMenu && (!BuildShellMenu(view) || MenuCaption(FShellMenu->Handle(), id) != item.Caption()))
            return;
        ComPtr<IContextMenu> menu = FContextMenu;
        std::wstring directory = FDirectory;
        std::string directoryAnsi = UnicodeToAnsi(directory);
        HWND owner = OwnerWindow(view);
        CMINVOKECOMMANDINFOEX info{};
        info.cbSize = sizeof(info);
        info.fMask = CMIC_MASK_UNICODE;
        info.hwnd = owner;
        info.lpVerb = MAKEINTRESOURCEA(id - kFirstVerbId);
        info.lpVerbW = MAKEINTRESOURCEW(id - kFirstVerbId);
        info.lpDirectory = directoryAnsi.empty() ? nullptr : directoryAnsi.c_str();
        info.lpDirectoryW = directory.empty() ? nullptr : directory.c_str();
        info.nShow = SW_SHOWNORMAL;
        HRESULT hr;
        {
            TSuspendShared unlocked;
            hr = menu->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO*>(&info));
        }
        if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_CANCELLED))
            ShowMessage(owner, item.Caption() + kVerbFailed + HexResult(hr));
    }

protected:
    ~TOpenFileAction() override { ReleaseShellMenu(); }

private:
    // Set in the window while its menu loop runs (T0TopWindow).
    static constexpr UINT kMenuLoopFlag = 1;

    // The shell's context menu for the caret file and the pop-up it filled;
    // false when the shell gives none.
    bool BuildShellMenu(TFilerView* view)
    {
        ReleaseShellMenu();
        std::wstring fileName = CaretFilePath(view);
        if (fileName.empty())
            return false;
        FDirectory = DirectoryPath(view);
        if (FDirectory.empty())
            FDirectory = ExtractFileDir(fileName);
        ComPtr<IContextMenu> menu;
        try {
            menu = FileContextMenu(OwnerWindow(view), fileName);
        } catch (const Exception&) {
            return false;
        }
        if (!menu)
            return false;
        TOwned<TPopupMenu> popup(new TPopupMenu);
        if (FAILED(menu->QueryContextMenu(popup->Handle(), 0, kFirstVerbId, kLastVerbId, CMF_VERBSONLY)))
            return false;
        FContextMenu = menu;
        FShellMenu = std::move(popup);
        InitPopup(FShellMenu->Handle(), 0);
        return true;
    }

    void ReleaseShellMenu()
    {
        // The handlers may still look at their menu: they go first.
        FContextMenu.reset();
        FShellMenu.reset();
    }

    void InitPopup(HMENU menu, UINT index)
    {
        ComPtr<IContextMenu2> menu2;
        if (FContextMenu &&
            SUCCEEDED(FContextMenu->QueryInterface(IID_IContextMenu2, reinterpret_cast<void**>(menu2.put()))))
            menu2->HandleMenuMsg(WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(index, FALSE));
    }

    static std::wstring ItemText(HMENU menu, UINT item, BOOL byPosition)
    {
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_STRING;
        if (!GetMenuItemInfoW(menu, item, byPosition, &info) || info.cch == 0)
            return {};
        std::wstring text(info.cch + 1, L'\0');
        info.dwTypeData = text.data();
        info.cch = static_cast<UINT>(text.size());
        if (!GetMenuItemInfoW(menu, item, byPosition, &info))
            return {};
        text.resize(info.cch);
        return text;
    }

    // The caption a list item gets for the native item with that command
    // identifier, searched through the submenus.
    static std::wstring MenuCaption(HMENU menu, intptr_t id)
    {
        return DecomposeCaption(ItemText(menu, static_cast<UINT>(id), FALSE)).Caption;
    }

    void AddEntries(TActionItems& list, HMENU menu, int depth)
    {
        int count = GetMenuItemCount(menu);
        for (int i = 0; i < count; ++i) {
            MENUITEMINFOW info{};
            info.cbSize = sizeof(info);
            info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU;
            if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info) || (info.fType & MFT_SEPARATOR) != 0)
                continue;
            std::wstring caption = DecomposeCaption(ItemText(menu, static_cast<UINT>(i), TRUE)).Caption;
            if (info.hSubMenu == nullptr) {
                list.Add(caption, static_cast<intptr_t>(info.wID));
                NoteId(info.wID);
                continue;
            }
            // A submenu's own item performs nothing.
            TActionItem* item = list.Add(caption, -1);
            InitPopup(info.hSubMenu, static_cast<UINT>(i));
            if (depth < 8)
                AddEntries(*item->SubItems(), info.hSubMenu, depth + 1);
        }
    }

    void NoteId(UINT id)
    {
        auto value = static_cast<int32_t>(id);
        if (FFirstId < 0 || value < FFirstId)
            FFirstId = value;
        if (value > FLastId)
            FLastId = value;
    }

    TActionItems* FItems = nullptr;
    TOwned<TPopupMenu> FShellMenu;
    ComPtr<IContextMenu> FContextMenu;
    int32_t FFirstId = -1;
    int32_t FLastId = 0;
    bool FBusy = false;
    // The working directory of the verbs: the folder of the file.
    std::wstring FDirectory;
};

} // namespace

bool OpenWithCommandLine(std::wstring_view command, std::wstring_view fileName, std::wstring& line)
{
    line.clear();
    // The name goes in as it is, between the quotes the registered command
    // usually puts around "%1"; a quote in it would end them early.
    if (fileName.find(L'"') != std::wstring_view::npos)
        return false;
    line.reserve(command.size() + fileName.size());
    for (size_t i = 0; i < command.size(); ++i) {
        if (command[i] == L'%' && i + 1 < command.size() && command[i + 1] == L'1') {
            line.append(fileName);
            ++i;
        } else {
            line += command[i];
        }
    }
    return true;
}

bool IsShellLinkName(std::wstring_view name)
{
    return SameText(ExtractFileExt(name), L".lnk") == 0;
}

std::wstring ShellLinkFailureText(const std::vector<std::wstring>& details)
{
    std::wstring text = kLinkFailed;
    for (size_t i = 0; i < details.size(); ++i) {
        if (i > 0)
            text += L" : ";
        text += details[i];
    }
    return text + L")";
}

bool CanOpenFileDirectly(TFilerView* view)
{
    return SingleCaretFile(view) != nullptr && !IsArchiveView(view);
}

void OpenFileAs(TFilerView* view)
{
    std::wstring fileName = CaretFilePath(view);
    if (!fileName.empty())
        StartOpenWith(OwnerWindow(view), fileName);
}

void OpenFileShort(TFilerView* view)
{
    std::wstring fileName = CaretFilePath(view);
    if (fileName.empty())
        return;
    std::wstring directory = ExtractFileDir(fileName);
    HWND owner = OwnerWindow(view);
    INT_PTR result;
    {
        TSuspendShared unlocked;
        result = ExecuteResult(ShellExecuteW(owner, nullptr, fileName.c_str(), nullptr, directory.c_str(), SW_SHOW));
    }
    if (result <= 32)
        StartOpenWith(owner, fileName);
}

bool CanToShellLink(TFilerView* view)
{
    TFileItem* caret = view != nullptr && view->Count() > 0 ? view->CaretItem() : nullptr;
    return caret != nullptr && IsShellLinkName(std::wstring_view(caret->Name, static_cast<size_t>(caret->NameLen)));
}

void ToShellLink(TFilerView* view)
{
    TFileItem* caret = view->CaretItem();
    if (caret == nullptr)
        return;
    std::wstring linkName = ItemPath(view, caret);
    HWND owner = OwnerWindow(view);
    HWND handle = view->Handle();
    TLinkTarget target;
    if (linkName.empty()) {
        target.Failure = {std::wstring(caret->Name, static_cast<size_t>(caret->NameLen)), L"no file-system path"};
    } else {
        TSuspendShared unlocked;
        target = ResolveShellLink(owner, linkName);
    }
    if (target.Path.empty()) {
        ShowMessage(owner, ShellLinkFailureText(target.Failure));
        return;
    }
    if (ViewStillThere(view, handle))
        NavigateToFile(view, target.Path);
}

bool CanShowProperty(TFilerView* view)
{
    if (view == nullptr || view->Count() == 0 || view->MarkedCount() != 0)
        return false;
    TFileItem* caret = view->CaretItem();
    return caret != nullptr && (caret->Caps & kHasProperties) != 0;
}

void ShowProperty(TFilerView* view)
{
    TFileItem* caret = view->CaretItem();
    if (caret == nullptr || view->Folder() == nullptr)
        return;
    std::wstring name(caret->Name, static_cast<size_t>(caret->NameLen));
    TPath location;
    view->Folder()->GetItemPath(caret, &location);
    HWND owner = OwnerWindow(view);
    bool shown = false;
    // Namespace items through their ID list, files through their path; an
    // entry inside an archive has neither.
    if (location.IDList != nullptr) {
        TSuspendShared unlocked;
        shown = ShowPropertySheet(location.IDList, owner);
    } else if (location.SubPathView().empty() && !location.PathView().empty()) {
        std::wstring path(location.PathView());
        TSuspendShared unlocked;
        shown = ShowPropertySheet(path, owner);
    }
    if (!shown)
        ShowMessage(owner, name + kNoPropertySheet);
}

std::wstring ConsoleProgram()
{
    wchar_t comspec[kComspecLength + 1] = {};
    DWORD length = GetEnvironmentVariableW(L"COMSPEC", comspec, kComspecLength + 1);
    return length > 0 && length <= kComspecLength ? std::wstring(comspec, length) : std::wstring();
}

void Console(TFilerView* view)
{
    std::wstring directory = DirectoryPath(view);
    HWND owner = OwnerWindow(view);
    std::wstring comspec = ConsoleProgram();
    if (comspec.empty()) {
        ShowMessage(owner, kNoComspec);
        return;
    }
    INT_PTR result;
    {
        TSuspendShared unlocked;
        result = ExecuteResult(ShellExecuteW(owner, nullptr, comspec.c_str(), nullptr, directory.c_str(), SW_SHOW));
    }
    if (result <= 32)
        ShowMessage(owner, comspec + kCannotStart + ShellExecuteError(result));
}

namespace {

void ExploreDirectory(TFilerView* view, const wchar_t* verb, const wchar_t* failure)
{
    std::wstring directory = DirectoryPath(view);
    HWND owner = OwnerWindow(view);
    if (directory.empty())
        return;
    INT_PTR result;
    {
        TSuspendShared unlocked;
        result = ExecuteResult(ShellExecuteW(owner, verb, directory.c_str(), nullptr, nullptr, SW_SHOW));
    }
    if (result <= 32)
        ShowMessage(owner, directory + failure + L"\r\n" + ShellExecuteError(result));
}

} // namespace

void Explorer(TFilerView* view)
{
    ExploreDirectory(view, L"explore", kCannotExplore);
}

void ExplorerFind(TFilerView* view)
{
    ExploreDirectory(view, L"find", kCannotFind);
}

void ToChosen(TFilerView* view)
{
    TPath here = LocationOf(view->Folder());
    // The browser starts at a directory: an archive's own directory, a
    // namespace folder's path when it has one.
    std::wstring start;
    if (here.IDList != nullptr) {
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(here.IDList, path))
            start = path;
    } else if (!here.SubPathView().empty()) {
        start = ExtractFileDir(here.PathView());
    } else {
        start = here.PathView();
    }
    HWND handle = view->Handle();
    TOwned<TBrowseFolderDialog> dialog(new TBrowseFolderDialog(OwnerWindow(view), L"選んで移動", start));
    if (!dialog->Execute() || !ViewStillThere(view, handle))
        return;
    if (!dialog->Path().empty())
        NavigateTo(view, TPath::FromPath(dialog->Path()));
    else if (dialog->IDList() != nullptr)
        NavigateTo(view, TPath::FromIDList(dialog->TakeIDList().release()));
}

T0Action* NewOpenFileAction()
{
    return new TOpenFileAction;
}

} // namespace actionsinternal
