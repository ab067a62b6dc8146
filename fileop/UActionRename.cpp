#include "fileop/UActionRename.h"

// View
#include "view/UView.h"

// Folders
#include "folders/SysUtilsW.h"
#include "folders/UFolders.h"
#include "search/UFounds.h"

// Toolkit
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Standard library
#include <algorithm>
#include <vector>

namespace {

constexpr UINT kBaseId = 101;
constexpr UINT kExtensionId = 102;
constexpr const wchar_t* kCaption = L"名前の変更";
constexpr const wchar_t* kFailed = L"ファイル名を変更できませんでした.";

void ShowFailure(HWND owner, std::wstring_view text, UINT icon = MB_ICONHAND)
{
    TMessageBox::Show(owner, text, L"Rename", MB_OK | icon);
}

// The name a file is to get: what was typed, trimmed as the system's parser
// would; a name left as it was stays exactly so, even when it ends in a dot.
std::wstring NewName(const std::wstring& oldName, const std::wstring& typed)
{
    return typed == oldName ? typed : TypedFileName(typed);
}

std::wstring ItemName(const TFileItem& item)
{
    return std::wstring(item.Name, static_cast<size_t>(std::clamp(item.NameLen, 0, 259)));
}

// Asks the folder manager to move open folders inside a renamed directory.
// A file renamed in a results list keeps its place there under its new name.
void RenameOpenFolders(IFolder* shown, const std::wstring& oldPath, const std::wstring& newPath)
{
    if (TFounds* founds = AsFounds(shown))
        founds->RecordRenamed(oldPath, newPath);
    TFolderManager* manager = FolderManager();
    if (manager == nullptr)
        return;
    TPath old = TPath::FromPath(oldPath);
    WideString renamed(newPath);
    manager->RenameFolders(&old, renamed.get());
}

// Keeps the folder's watcher quiet while names change under it and wakes
// it on every way out.
class TWatchingSuspended {
public:
    explicit TWatchingSuspended(IFolder* folder) : FFolder(folder) { FFolder->SuspendWatching(); }
    ~TWatchingSuspended() { FFolder->ResumeWatching(FWait); }
    TWatchingSuspended(const TWatchingSuspended&) = delete;
    TWatchingSuspended& operator=(const TWatchingSuspended&) = delete;
    // Waits for the folder's reload when it resumes.
    void WaitOnResume() { FWait = true; }

private:
    ComPtr<IFolder> FFolder;
    bool FWait = false;
};

void RenameDrive(TFilerView* view, const std::wstring& root)
{
    HWND owner = view->Window()->Handle();
    try {
        wchar_t label[MAX_PATH + 1] = {};
        if (!GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0))
            RaiseLastOSError();
        TOwned<TInputDialog> dialog(new TInputDialog(owner, kCaption));
        dialog->SetText(label);
        if (!dialog->Execute())
            return;
        if (!SetVolumeLabelW(root.c_str(), dialog->Text().c_str()))
            RaiseLastOSError();
        TExclusiveLock lock;
        if (view->Folder() != nullptr)
            view->Folder()->Refresh();
    } catch (const Exception& error) {
        ShowFailure(owner, error.Message());
    }
}

void RenameOne(TFilerView* view, const std::wstring& folder, const std::wstring& name)
{
    HWND owner = view->Window()->Handle();
    TRenameSource source = RenameSource(folder, name);
    TOwned<TInputDialog> dialog(new TInputDialog(owner, kCaption));
    dialog->SetText(source.Name);
    dialog->SetSelection(0, static_cast<int>(SplitName(source.Name).Base.size()));
    if (!dialog->Execute())
        return;
    std::wstring renamed = NewName(source.Name, dialog->Text());
    if (renamed != source.Name && !IsValidFileName(renamed)) {
        ShowFailure(owner, InvalidNameMessage(dialog->Text()));
        return;
    }
    bool done;
    {
        ComPtr<IFolder> shown(view->Folder());
        TWatchingSuspended quiet(shown.get());
        done = RenameFile(source.Folder, source.Name, renamed);
        // The folder has reloaded before the caret goes to the new name.
        if (done)
            quiet.WaitOnResume();
    }
    if (!done) {
        ShowFailure(owner, kFailed);
        return;
    }
    RenameOpenFolders(view->Folder(), source.Folder + source.Name, source.Folder + renamed);
    view->SetCaretByNameText(name.find(L'\\') == std::wstring::npos ? renamed : source.Folder + renamed);
}

void RenameSeveral(TFilerView* view, const std::wstring& folder, const std::vector<std::wstring>& names)
{
    HWND owner = view->Window()->Handle();
    std::vector<std::wstring> fileNames;
    for (const std::wstring& name : names)
        fileNames.push_back(RenameSource(folder, name).Name);
    TNameParts common = CommonParts(fileNames);
    if (common.Base == kDiffering && common.Extension == kDiffering) {
        ShowFailure(owner, L"名前に共通部分がありません", MB_ICONEXCLAMATION);
        return;
    }
    TOwned<TRenameDialog> dialog(new TRenameDialog(owner, common));
    if (!dialog->Execute())
        return;
    // Every new name is checked before the first rename: a name typed wrong
    // leaves all the files as they were.
    std::vector<TRenameSource> sources;
    std::vector<std::wstring> newNames;
    for (const std::wstring& name : names) {
        sources.push_back(RenameSource(folder, name));
        newNames.push_back(NewName(sources.back().Name, MultiRenamedName(sources.back().Name, common, dialog->Typed())));
        if (newNames.back() != sources.back().Name && !IsValidFileName(newNames.back())) {
            ShowFailure(owner, InvalidNameMessage(newNames.back()));
            return;
        }
    }
    ComPtr<IFolder> shown(view->Folder());
    TWatchingSuspended quiet(shown.get());
    for (size_t i = names.size(); i-- > 0;) {
        const TRenameSource& source = sources[i];
        const std::wstring& renamed = newNames[i];
        if (RenameFile(source.Folder, source.Name, renamed))
            RenameOpenFolders(shown.get(), source.Folder + source.Name, source.Folder + renamed);
        else
            ShowFailure(owner, kFailed);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// TRenameDialog

TRenameDialog::TRenameDialog(HWND owner, TNameParts common)
    : TModalDialog(owner, kCaption), FCommon(std::move(common)), FTyped(FCommon)
{
}

T0Control* TRenameDialog::CreateControls()
{
    FBase = new TLineField(this, FCommon.Base, kBaseId);
    FExtension = new TLineField(this, FCommon.Extension, kExtensionId);
    return FBase;
}

int TRenameDialog::ContentWidth() const
{
    // Room for a name of some length in the base field, a third of it for
    // the extension.
    int base = std::max(TextWidth(FCommon.Base), TextWidth(L"xxxxxxxxxxxxxxxxxxxxxxxxx"));
    int extension = std::max(TextWidth(FCommon.Extension), base / 2);
    return base + Margin() + extension;
}

int TRenameDialog::LayoutControls(int left, int top, int width)
{
    int extension = std::max(width / 3, 1);
    int base = std::max(width - extension - Margin(), 1);
    FBase->SetBounds(left, top, base, FieldHeight());
    FExtension->SetBounds(left + base + Margin(), top, extension, FieldHeight());
    return top + FieldHeight();
}

void TRenameDialog::Load()
{
    FBase->SetText(FCommon.Base);
    FExtension->SetText(FCommon.Extension);
    SendMessageW(FBase->Handle(), EM_SETREADONLY, FCommon.Base == kDiffering, 0);
    SendMessageW(FExtension->Handle(), EM_SETREADONLY, FCommon.Extension == kDiffering, 0);
}

void TRenameDialog::Shown()
{
    FBase->SetSelection(0, -1);
    FExtension->SetSelection(0, -1);
    if (FCommon.Base == kDiffering)
        FExtension->Focus();
}

void TRenameDialog::Collect()
{
    FTyped.Base = FCommon.Base == kDiffering ? FCommon.Base : FBase->Text();
    FTyped.Extension = FCommon.Extension == kDiffering ? FCommon.Extension : FExtension->Text();
}

// ---------------------------------------------------------------------------
// TRenameAction

TRenameAction::TRenameAction() : T0Action(false)
{
    Describe("Rename", L"名前の変更...", L"ファイル名を付け直します");
}

void TRenameAction::Idle()
{
    TFilerView* view = CurrentView();
    TFileItem* caret = view != nullptr ? view->CaretItem() : nullptr;
    SetEnabled(caret != nullptr && (caret->Kind == kKindDriveRoot || view->IsFileSystemSelection()));
}

void TRenameAction::Execute()
{
    TFilerView* view = CurrentView();
    if (view == nullptr || view->Folder() == nullptr || view->CaretItem() == nullptr)
        return;
    // The names are taken now: the entries go with the next reload, which
    // may come while a dialog is up.
    TFileItem* caret = view->CaretItem();
    if (caret->Kind == kKindDriveRoot && view->MarkedCount() == 0) {
        RenameDrive(view, IncludeTrailingBackslash(ItemName(*caret)));
        return;
    }
    TPath location;
    view->Folder()->GetPath(&location);
    std::wstring folder = IncludeTrailingBackslash(location.PathView());
    std::vector<std::wstring> names;
    for (const TFileItem* item : view->GetSelection())
        names.push_back(ItemName(*item));
    if (names.size() == 1)
        RenameOne(view, folder, names.front());
    else if (names.size() > 1)
        RenameSeveral(view, folder, names);
}
