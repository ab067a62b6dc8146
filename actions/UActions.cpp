#include "actions/UActions.h"

// Own
#include "actions/UActionsInternal.h"

// Application
#include "app/UMain.h"

// View
#include "view/UView.h"

// File operations
#include "fileop/UActionCommandLine.h"
#include "fileop/UActionDelete.h"
#include "fileop/UActionAttribute.h"
#include "fileop/UActionRename.h"
#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LAddDlgs.h"
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"

// Platform
#include <shlobj.h>

// Standard library
#include <algorithm>

using namespace actionsinternal;

// Folder helpers

ComPtr<IFolder> actionsinternal::FolderAt(const TPath& location)
{
    TExclusiveLock lock;
    TFolderManager* manager = FolderManager();
    return manager != nullptr ? manager->Folder(location) : ComPtr<IFolder>();
}

TPath actionsinternal::LocationOf(IFolder* folder)
{
    TPath location;
    if (folder != nullptr)
        folder->GetPath(&location);
    return location;
}

void actionsinternal::NavigateTo(TFilerView* view, const TPath& location)
{
    if (ComPtr<IFolder> folder = FolderAt(location))
        view->ChangeFolder(folder.get());
}

void actionsinternal::NavigateToFile(TFilerView* view, const std::wstring& fileName)
{
    NavigateTo(view, TPath::FromPath(ExtractFileDir(fileName)));
    view->SetCaretByNameText(ExtractFileName(fileName));
}

HWND actionsinternal::OwnerWindow(TFilerView* view)
{
    return view != nullptr ? view->Window()->Handle() : nullptr;
}

bool actionsinternal::HasItems(TFilerView* view)
{
    return view != nullptr && view->Count() > 0;
}

bool actionsinternal::Always(TFilerView*)
{
    return true;
}

bool actionsinternal::IsDirectoryView(TFilerView* view)
{
    return view != nullptr && view->Folder() != nullptr &&
           ComPtr<IFolder>(view->Folder()).as<IDirectory>() != nullptr;
}

bool actionsinternal::IsArchiveView(TFilerView* view)
{
    return view != nullptr && view->Folder() != nullptr &&
           ComPtr<IFolder>(view->Folder()).as<IArchiveFolder>() != nullptr;
}

bool actionsinternal::FolderCan(TFilerView* view, uint8_t flag)
{
    return view != nullptr && view->Folder() != nullptr && (view->Folder()->GetCapabilities() & flag) != 0;
}

TFileItem* actionsinternal::SingleCaretFile(TFilerView* view)
{
    if (view == nullptr || view->Count() == 0 || view->MarkedCount() != 0)
        return nullptr;
    TFileItem* caret = view->CaretItem();
    if (caret == nullptr || caret->Kind != kKindFile || (caret->Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return nullptr;
    return caret;
}

std::wstring actionsinternal::ItemPath(TFilerView* view, const TFileItem* item)
{
    if (view == nullptr || view->Folder() == nullptr || item == nullptr)
        return {};
    TPath location;
    view->Folder()->GetItemPath(item, &location);
    return location.SubPathView().empty() ? std::wstring(location.PathView()) : std::wstring();
}

std::wstring actionsinternal::DirectoryPath(TFilerView* view)
{
    return IsDirectoryView(view) ? std::wstring(LocationOf(view->Folder()).PathView()) : std::wstring();
}

namespace {

// The name a folder has as an entry of its parent: the last part of a
// directory path ("C:\" for a drive root).
std::wstring LeafName(std::wstring_view path)
{
    if (IsRootPath(path))
        return std::wstring(path);
    std::wstring trimmed(path);
    while (trimmed.size() > 1 && trimmed.back() == L'\\')
        trimmed.pop_back();
    size_t slash = trimmed.find_last_of(L"\\/");
    return slash == std::wstring::npos ? trimmed : trimmed.substr(slash + 1);
}

// The temporary directory without its trailing separator.
std::wstring TemporaryDirectory()
{
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring path(buffer, length <= MAX_PATH ? length : 0);
    if (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

// The drive part of a path with its separator: "C:\", "\\srv\share".
std::wstring RootOf(std::wstring_view path)
{
    std::wstring drive = ExtractFileDrive(path);
    if (drive.size() == 2 && drive[1] == L':')
        drive += L'\\';
    return drive;
}

// Navigation

bool CanEnterFolder(TFilerView* view)
{
    TFileItem* caret = view != nullptr ? view->CaretItem() : nullptr;
    return caret != nullptr && (caret->Caps & kCanEnter) != 0;
}

void EnterFolder(TFilerView* view)
{
    TFileItem* caret = view->CaretItem();
    std::wstring name(caret->Name, static_cast<size_t>(caret->NameLen));
    TPath location;
    view->Folder()->GetItemPath(caret, &location);
    ComPtr<IFolder> folder = FolderAt(location);
    if (!folder || !folder->IsReady()) {
        TMessageBox::Show(view->Window()->Handle(), name + L"に入れません.", {}, MB_ICONWARNING);
        return;
    }
    view->ChangeFolder(folder.get());
}

bool CanGoToParent(TFilerView* view)
{
    return view != nullptr && view->Folder() != nullptr && (view->Folder()->GetCapabilities() & kHasParent) != 0;
}

void ToParent(TFilerView* view)
{
    std::wstring left;
    TPath parent;
    {
        TExclusiveLock lock;
        TPath here = LocationOf(view->Folder());
        left = here.SubPathView().empty() ? LeafName(here.PathView()) : LeafName(here.SubPathView());
        view->Folder()->GetParentPath(&parent);
    }
    NavigateTo(view, parent);
    view->SetCaretByNameText(left);
}

bool CanGoToRoot(TFilerView* view)
{
    if (view == nullptr || view->Folder() == nullptr)
        return false;
    TPath here = LocationOf(view->Folder());
    if (here.PathView().empty() || here.PathView().substr(0, 2) == L"::")
        return false;
    return !(here.SubPathView().empty() && RootOf(here.PathView()) == here.PathView());
}

void ToRoot(TFilerView* view)
{
    TPath here = LocationOf(view->Folder());
    NavigateTo(view, TPath::FromPath(RootOf(here.PathView())));
}

bool CanGoToTemporary(TFilerView* view)
{
    if (view == nullptr)
        return false;
    TPath here = LocationOf(view->Folder());
    return !(here.SubPathView().empty() && here.PathView() == TemporaryDirectory());
}

void ToTemporary(TFilerView* view)
{
    NavigateTo(view, TPath::FromPath(TemporaryDirectory()));
}

bool CanGoToDesktop(TFilerView* view)
{
    if (view == nullptr || view->Folder() == nullptr)
        return false;
    ComPtr<INameSpace> space = ComPtr<IFolder>(view->Folder()).as<INameSpace>();
    return !space || !space->IsDesktop();
}

void ToDesktop(TFilerView* view)
{
    NavigateTo(view, TPath());
}

void ToMyComputer(TFilerView* view)
{
    LPITEMIDLIST list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &list)) || list == nullptr)
        return;
    NavigateTo(view, TPath::FromIDList(list));
}

// Marks

void MarkAll(TFilerView* view)
{
    view->MarkAll(true);
}

void MarkReverse(TFilerView* view)
{
    view->BeginUpdate();
    for (int i = 0; i < view->Count(); ++i)
        view->SetMark(i, !view->TLightListBox::IsMarked(i));
    view->EndUpdate();
}

void MarkToggle(TFilerView* view)
{
    int caret = view->CaretIndex();
    if (caret >= 0)
        view->SetMark(caret, !view->TLightListBox::IsMarked(caret));
}

// Views and windows

void OpenView(TFilerView* view)
{
    view->Window()->OpenView(LocationOf(view->Folder()));
}

bool CanCloseView(TFilerView* view)
{
    return view != nullptr && view->Window()->ViewCount() > 1;
}

void CloseView(TFilerView* view)
{
    view->CloseView();
}

void OpenWindow(TFilerView* view)
{
    if (TApplication* app = App())
        app->OpenWindow(LocationOf(view->Folder()));
}

void CloseWindow(TFilerView* view)
{
    PostMessageW(view->Window()->Handle(), WM_CLOSE, 0, 0);
}

void Refresh(TFilerView* view)
{
    TExclusiveLock lock;
    if (view->Folder() != nullptr)
        CheckHResult(view->Folder()->Refresh());
}

void Nothing(TFilerView*) {}

// File operations

bool HasFileSystemSelection(TFilerView* view)
{
    return view != nullptr && view->IsFileSystemSelection();
}

// Copying also takes items out of an archive.
bool CanCopyItems(TFilerView* view)
{
    return HasFileSystemSelection(view) || (IsArchiveView(view) && !view->GetSelection().empty());
}

// Asks for the destination and starts the job on the view's selection.
void StartJob(TFilerView* view, TFileOperationKind kind, const wchar_t* caption)
{
    TPath target;
    if (!ChooseFolder(caption, target))
        return;
    std::vector<std::wstring> names;
    for (const TFileItem* item : view->GetSelection())
        names.emplace_back(item->Name, static_cast<size_t>(item->NameLen));
    if (!names.empty())
        StartFileOperation(kind, std::move(names), target, LocationOf(view->Folder()));
}

void CopyItems(TFilerView* view)
{
    StartJob(view, TFileOperationKind::Copy, L"コピー...");
}

void MoveItems(TFilerView* view)
{
    StartJob(view, TFileOperationKind::Move, L"移動...");
}

void LinkItems(TFilerView* view)
{
    StartJob(view, TFileOperationKind::Link, L"ショートカット作成...");
}

// Sort

bool CanSort(TFilerView* view)
{
    return view != nullptr && view->Folder() != nullptr && (view->Folder()->GetCapabilities() & kCanSort) != 0;
}

void Sort(TFilerView* view);

// Filter

void Filter(TFilerView* view);

// The callback actions, in the order the managers make them.
const TActionEntry kThreadActions[] = {
    {"ClipboardCopy", L"クリップボードへコピー", L"選択ファイルをクリップボードへコピーします", CanClipboardCopy,
     ClipboardCopy},
    {"ClipboardCut", L"クリップボードへ切り取り", L"選択ファイルをクリップボードへ切り取ります", CanClipboardCopy,
     ClipboardCut},
    {"ClipFileData", L"ファイルデータをコピー", L"ファイルの中身をクリップボードへコピーします", CanClipFileData,
     ClipFileData},
    {"CloseView", L"ビューを閉じる", L"現在のビューを閉じます", CanCloseView, CloseView},
    {"Console", L"コンソール", L"コンソールを起動します", IsDirectoryView, Console},
    {"Copy", L"コピー...", L"ファイルをコピーします", CanCopyItems, CopyItems},
    {"EnterFolder", L"フォルダに入る", L"キャレットが示すフォルダに入ります", CanEnterFolder, EnterFolder},
    {"Explorer", L"エクスプローラ", L"エクスプローラを起動します", IsDirectoryView, Explorer},
    {"ExplorerFind", L"ファイルやフォルダを検索", L"エクスプローラを使ってファイルやフォルダを検索します",
     IsDirectoryView, ExplorerFind},
    {"MakeDirectory", L"ディレクトリ作成...", L"ディレクトリを新規に作成します", CanMakeDirectory, MakeDirectory},
    {"MakeShellLink", L"ショートカット作成...", L"ショートカットを作成します", HasFileSystemSelection, LinkItems},
    {"MarkAll", L"すべて選択", L"全ての項目を選択します", HasItems, MarkAll},
    {"MarkReverse", L"選択反転", L"項目の選択を反転します", HasItems, MarkReverse},
    {"MarkToggle", L"選択/選択解除", L"項目を選択/選択解除します", HasItems, MarkToggle},
    {"Move", L"移動...", L"ファイルを移動します", HasFileSystemSelection, MoveItems},
    {"OpenFileAs", L"アプリケーションから開く...", L"アプリケーションを選んでファイルを開きます",
     CanOpenFileDirectly, OpenFileAs},
    {"OpenFileShort", L"問い合わせずに開く", L"ファイルをデフォルト動作で開きます", CanOpenFileDirectly,
     OpenFileShort},
    {"OpenView", L"別のビューを開く", L"ビューをもうひとつ開きます", Always, OpenView},
    {"Property", L"プロパティ", L"プロパティシートを表示", CanShowProperty, ShowProperty},
    {"Sort", L"並びかえ...", L"表示順を並びかえます", CanSort, Sort},
    {"ToChosen", L"選んで移動", L"フォルダをブラウズして移動", Always, ToChosen},
    {"ToDesktop", L"デスクトップに移動", L"デスクトップに移動します", CanGoToDesktop, ToDesktop},
    {"ToFound", L"存在位置へ移動", L"検索結果のファイルの存在位置に移動します", CanGoToFound, ToFound},
    {"ToMyComputer", L"マイコンピュータに移動", L"マイコンピュータに移動します", Always, ToMyComputer},
    {"ToParent", L"上へ", L"ひとつ上のフォルダに移動します", CanGoToParent, ToParent},
    {"ToRoot", L"ルートディレクトリに移動", L"ルートディレクトリに移動します", CanGoToRoot, ToRoot},
    {"ToShellLink", L"リンク先へ移動", L"ショートカットが示す先へ移動します", CanToShellLink, ToShellLink},
    {"ToTemporary", L"テンポラリに移動", L"テンポラリディレクトリに移動します", CanGoToTemporary, ToTemporary},
};

const TActionEntry kGlobalActions[] = {
    {"BrowsePage", L"Nimbraのページ表示", L"Nimbraのページをブラウザで開きます", Always, BrowsePage},
    {"CloseWindow", L"閉じる", L"この窓を閉じます", Always, CloseWindow},
    {"Dummy", L"Dummy", L"何もしません", Always, Nothing},
    {"HelpContents", L"ヘルプ", L"ヘルプの目次を表示します", Always, HelpContents},
    {"HelpOnHelp", L"ヘルプの使い方", L"Windows のヘルプの使い方を表示します", Always, HelpOnHelp},
    {"HelpTopicSearch", L"トピックの検索", L"ヘルプのトピックを検索します", Always, HelpTopicSearch},
    {"OpenWindow", L"別の窓を開く", L"別の窓を開きます", Always, OpenWindow},
    {"Refresh", L"更新", L"最新の情報に更新します", Always, Refresh},
    {"Filter", L"フィルタ...", L"ワイルドカードでフィルタをかけます", IsDirectoryView, Filter},
};

// The one callback of every table action; the context is its table entry.
void TableAction(void* context, TTransferAction* action, TTransferMode mode)
{
    const auto* entry = static_cast<const TActionEntry*>(context);
    switch (mode) {
    case TTransferMode::Describe:
        action->Describe(entry->Name, entry->Caption, entry->Hint);
        break;
    case TTransferMode::Update: {
        TFilerView* view = ActionView();
        action->SetEnabled(view != nullptr && entry->Enabled(view));
        break;
    }
    case TTransferMode::Execute:
        if (TFilerView* view = ActionView())
            entry->Execute(view);
        break;
    }
}

// "Default": runs the first enabled one of the actions a double click or
// Enter may mean.
class TDefaultAction : public T0Action {
public:
    explicit TDefaultAction(bool shortForm) : T0Action(false), FShort(shortForm)
    {
        Describe(shortForm ? "DefaultShort" : "Default", L"", L"");
    }

    void Idle() override
    {
        ResolveChain();
        for (const ComPtr<IAction>& candidate : FChain) {
            // Each candidate's own state may be from an idle step before the
            // caret moved (a key typed ahead): brought up to date first.
            if (auto* action = dynamic_cast<T0Action*>(candidate.get()))
                action->Idle();
            if (candidate->GetEnabled()) {
                FDelegate = candidate;
                CopyLooks(candidate.get());
                SetEnabled(true);
                return;
            }
        }
        FDelegate = FDummy;
        SetEnabled(false);
    }

    void Execute() override
    {
        if (ComPtr<IAction> delegate = FDelegate)
            PerformItem(delegate.get());
    }

    IActionItems* ActionItems() override
    {
        // The delegate owns its list and lives as long as its manager.
        FDelegateItems = FDelegate ? ItemsOf(FDelegate.get()) : ComPtr<IActionItems>();
        return FDelegateItems.get();
    }

private:
    // The actions to try, found once: idle steps come often, and a name that
    // is missing would raise on every one.
    void ResolveChain()
    {
        if (FResolved)
            return;
        FResolved = true;
        static const char* const kLongChain[] = {"EnterFolder", "ToShellLink", "OpenFile", "OpenFileAs"};
        static const char* const kShortChain[] = {"EnterFolder", "OpenFileShort", "ToShellLink", "OpenFile",
                                                  "OpenFileAs"};
        const char* const* chain = FShort ? kShortChain : kLongChain;
        size_t length = FShort ? std::size(kShortChain) : std::size(kLongChain);
        for (size_t i = 0; i < length; ++i)
            if (ComPtr<IAction> action = FindOptional(chain[i]))
                FChain.push_back(action);
        FDummy = FindOptional("Dummy");
    }

    // Actions that come with later parts of the program may not exist yet.
    ComPtr<IAction> FindOptional(const char* name)
    {
        try {
            return static_cast<T0ActionManager*>(Owner())->Find(name);
        } catch (const EInvalidContainer&) {
            return {};
        }
    }

    void CopyLooks(IAction* action)
    {
        SetCaption(ItemCaption(action));
        SetHint(ActionHint(action));
    }

    bool FShort;
    bool FResolved = false;
    std::vector<ComPtr<IAction>> FChain;
    ComPtr<IAction> FDummy;
    ComPtr<IAction> FDelegate;
    ComPtr<IActionItems> FDelegateItems;
};

TGlobalActionManager* g_globalManager = nullptr;

} // namespace

const TSortChoice kSortChoices[7] = {
    {0, L"ファイルシステム"}, {1, L"名前順(無差別)"}, {3, L"名前順"},     {5, L"拡張子"},
    {7, L"サイズ"},           {9, L"最終更新日時"},   {11, L"最終参照日時"},
};

namespace {

void Sort(TFilerView* view)
{
    int current = view->SortKind();
    if (current > 12)
        current = 3;
    bool reversed = current != 0 && current % 2 == 0;
    int base = reversed ? current - 1 : current;
    TOwned<TSelectDialog> dialog(new TSelectDialog(view->Window()->Handle(), L"並びかえ..."));
    int selected = 0;
    for (int i = 0; i < 7; ++i) {
        dialog->AddEntry(kSortChoices[i].Caption, static_cast<TEntryData>(kSortChoices[i].Kind));
        if (kSortChoices[i].Kind == base)
            selected = i;
    }
    dialog->SetItemIndex(selected);
    dialog->SetCheckBox(L"逆順(&R)", reversed);
    if (!dialog->Execute() || dialog->ItemIndex() < 0)
        return;
    int kind = static_cast<int>(dialog->ItemData());
    if (dialog->Checked() && kind != 0)
        ++kind;
    view->SetSortKind(kind);
}

void Filter(TFilerView* view)
{
    const std::wstring allFiles = L"\"*.*\"";
    std::vector<std::wstring> history{allFiles, L"not Hidden"};
    if (g_globalManager != nullptr)
        for (const std::wstring& text : g_globalManager->FilterHistory())
            if (std::find(history.begin(), history.end(), text) == history.end())
                history.push_back(text);
    std::wstring current = view->GetFilterText();
    TOwned<TInputDialog> dialog(new TInputDialog(view->Window()->Handle(), L"フィルタ..."));
    dialog->SetHistory(history);
    if (current.empty()) {
        dialog->SetText(allFiles);
        dialog->SetSelection(1, 4);
    } else {
        dialog->SetText(current);
    }
    if (!dialog->Execute())
        return;
    // A filter that does not parse is reported and the old one stays.
    try {
        view->SetFilter(dialog->Text());
    } catch (const EWildCardError& error) {
        TMessageBox::Show(view->Window()->Handle(), error.Message(), {}, MB_ICONWARNING);
        return;
    }
    if (g_globalManager != nullptr) {
        TExclusiveLock lock;
        g_globalManager->AddFilterHistory(dialog->Text());
    }
}

} // namespace

TFilerView* ActionView()
{
    T0Thread* thread = CurrentThread();
    auto* gui = dynamic_cast<T0GUIThread*>(thread);
    if (gui != nullptr && dynamic_cast<TFilerWindow*>(gui->MainWindow()) != nullptr)
        return CurrentView();
    return ForegroundView();
}

TThreadActionManager::TThreadActionManager() : T0ActionManager(false)
{
    for (const TActionEntry& entry : kThreadActions)
        (new TTransferAction(false, TableAction, const_cast<TActionEntry*>(&entry)))->SetOwner(this);
    (new TCommandLineAction)->SetOwner(this);
    NewOpenFileAction()->SetOwner(this);
    (new TAttributeAction)->SetOwner(this);
    NewIncrementalSearchAction()->SetOwner(this);
    NewClipboardPasteAction()->SetOwner(this);
    NewFindFileAction()->SetOwner(this);
    (new TRenameAction)->SetOwner(this);
    NewUnpackAction()->SetOwner(this);
    NewPackAction()->SetOwner(this);
    (new TDeleteAction)->SetOwner(this);
    NewCompareViewAction()->SetOwner(this);
    (new TDefaultAction(false))->SetOwner(this);
    (new TDefaultAction(true))->SetOwner(this);
}

TGlobalActionManager::TGlobalActionManager() : T0ActionManager(true)
{
    g_globalManager = this;
    // Filter is the one class action of the table: it is last there.
    for (const TActionEntry& entry : kGlobalActions)
        (new TTransferAction(true, TableAction, const_cast<TActionEntry*>(&entry)))->SetOwner(this);
    NewMakeNewFileAction()->SetOwner(this);
    NewWindowMenuAction()->SetOwner(this);
    NewVersionInfoAction()->SetOwner(this);
    NewHelpMenuAction()->SetOwner(this);
}

TGlobalActionManager::~TGlobalActionManager()
{
    if (g_globalManager == this)
        g_globalManager = nullptr;
}

std::vector<std::wstring> TGlobalActionManager::FilterHistory()
{
    return FFilterHistory;
}

void TGlobalActionManager::AddFilterHistory(const std::wstring& text)
{
    auto found = std::find(FFilterHistory.begin(), FFilterHistory.end(), text);
    if (found != FFilterHistory.end())
        FFilterHistory.erase(found);
    FFilterHistory.insert(FFilterHistory.begin(), text);
    if (FFilterHistory.size() > 32)
        FFilterHistory.pop_back();
}

namespace {

// Adds the items of a list (and of their sub-lists) under parent.
void AddTreeEntries(TTreeDialog& dialog, int parent, IActionItems* items, std::vector<ComPtr<IActionItem>>& chosen,
                    int depth)
{
    ForEachItem(items, [&](IActionItem* item) {
        chosen.emplace_back(item);
        int entry = dialog.AddEntry(parent, ItemCaption(item), static_cast<TEntryData>(chosen.size() - 1));
        // Lists may nest; a list that contains itself ends somewhere.
        if (depth < 8)
            if (ComPtr<IActionItems> sub = ItemsOf(item))
                AddTreeEntries(dialog, entry, sub.get(), chosen, depth + 1);
    });
}

} // namespace

ComPtr<IActionItem> TGlobalActionManager::ChooseItem(IActionItems* items)
{
    TFilerView* view = ActionView();
    HWND owner = view != nullptr ? view->Window()->Handle() : nullptr;
    TOwned<TTreeDialog> dialog(new TTreeDialog(owner, ItemsTitle(items)));
    std::vector<ComPtr<IActionItem>> chosen;
    AddTreeEntries(*dialog, -1, items, chosen, 0);
    if (!dialog->Execute())
        return {};
    std::optional<TEntryData> data = dialog->ChosenData();
    if (!data || *data < 0 || static_cast<size_t>(*data) >= chosen.size())
        return {};
    return chosen[static_cast<size_t>(*data)];
}
