#include "fileop/UActionDelete.h"

// View
#include "view/UView.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"
#include "folders/UFolders.h"

// Toolkit
#include "lw/LAddDlgs.h"

TDeleteThread::TDeleteThread(std::wstring folder, FILEOP_FLAGS flags, std::vector<std::wstring> names)
    : FFolder(std::move(folder)), FNames(std::move(names)), FFlags(flags)
{
}

void TDeleteThread::Execute()
{
    // No silence and no "yes to all": the shell asks and shows its progress.
    ShellDelete(nullptr, FFolder, FNames, FFlags);
    TExclusiveLock lock;
    if (TFolderManager* manager = FolderManager()) {
        for (const std::wstring& name : FNames) {
            TPath location = TPath::FromPath(name.find(L'\\') != std::wstring::npos ? name : FFolder + name);
            manager->RefreshFolders(&location, true);
        }
    }
}

TDeleteAction::TDeleteAction() : T0Action(false)
{
    Describe("Delete", L"削除...", L"ファイルを削除します");
}

void TDeleteAction::Idle()
{
    TFilerView* view = CurrentView();
    SetEnabled(view != nullptr && view->IsFileSystemSelection());
}

void TDeleteAction::Execute()
{
    TFilerView* view = CurrentView();
    if (view == nullptr || view->Folder() == nullptr)
        return;
    TOwned<TSelectDialog> dialog(new TSelectDialog(view->Window()->Handle(), L"削除"));
    dialog->AddEntry(L"ごみ箱", kDeleteToRecycleBin);
    dialog->AddEntry(L"抹消", kDeleteForGood);
    if (!dialog->Execute() || dialog->ItemIndex() < 0)
        return;
    TPath location;
    view->Folder()->GetPath(&location);
    std::vector<std::wstring> names;
    for (const TFileItem* item : view->GetSelection())
        names.emplace_back(item->Name, static_cast<size_t>(item->NameLen));
    T0Thread::StartThread<TDeleteThread>(IncludeTrailingBackslash(location.PathView()),
                                         static_cast<FILEOP_FLAGS>(dialog->ItemData()), std::move(names));
}
