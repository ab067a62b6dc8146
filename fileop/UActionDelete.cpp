#include "fileop/UActionDelete.h"

// View
#include "view/UView.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"
#include "folders/UFolders.h"
#include "search/UFounds.h"

// Toolkit
#include "lw/LAddDlgs.h"
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

namespace {

constexpr const wchar_t* kCaption = L"削除";

DWORD DeleteExact(const std::wstring& exact, DWORD attributes)
{
    bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesW(exact.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        return GetLastError();
    DWORD first = 0;
    bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A junction or a link to a directory is removed as it stands: what it
    // points to lies outside what is being deleted.
    if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW found{};
        UniqueFindHandle search(FindFirstFileW((exact + L"\\*").c_str(), &found));
        if (search) {
            do {
                std::wstring_view name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                DWORD error = DeleteExact(exact + L"\\" + found.cFileName, found.dwFileAttributes);
                if (first == 0)
                    first = error;
            } while (FindNextFileW(search.get(), &found));
        } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            first = GetLastError();
        }
    }
    if (directory ? RemoveDirectoryW(exact.c_str()) : DeleteFileW(exact.c_str()))
        return first;
    DWORD error = GetLastError();
    if (readOnly)
        SetFileAttributesW(exact.c_str(), attributes);
    return first != 0 ? first : error;
}

bool Ask(const std::wstring& text)
{
    return TMessageBox::Show(nullptr, text, kCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2 | MB_TASKMODAL) == IDYES;
}

std::wstring PathList(const std::vector<std::wstring>& paths)
{
    // A long list is cut: the box has to fit on the screen.
    constexpr size_t kShown = 10;
    std::wstring list;
    for (size_t i = 0; i < paths.size() && i < kShown; ++i)
        list += L"\n" + paths[i];
    if (paths.size() > kShown)
        list += L"\n... (" + std::to_wstring(paths.size()) + L" 個)";
    return list;
}

} // namespace

TDeleteTargets DeleteTargets(const std::wstring& folder, const std::vector<std::wstring>& names)
{
    TDeleteTargets targets;
    for (const std::wstring& name : names) {
        // An empty name would stand for the folder itself.
        if (name.empty())
            continue;
        std::wstring path = name.find(L'\\') != std::wstring::npos ? CombinePath(folder, name) : folder + name;
        (NeedsExtendedPath(path) ? targets.Exact : targets.ForShell).push_back(std::move(path));
    }
    return targets;
}

DWORD DeleteForGood(const std::wstring& path)
{
    std::wstring exact = ExtendedPath(path);
    DWORD attributes = GetFileAttributesW(exact.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    return DeleteExact(exact, attributes);
}

TDeleteThread::TDeleteThread(std::wstring folder, FILEOP_FLAGS flags, std::vector<std::wstring> names,
                             ComPtr<IFolder> results)
    : FFolder(std::move(folder)), FNames(std::move(names)), FFlags(flags), FResults(std::move(results))
{
}

void TDeleteThread::Execute()
{
    TDeleteTargets targets = DeleteTargets(FFolder, FNames);
    std::vector<std::wstring> forGood;
    if ((FFlags & FOF_ALLOWUNDO) == 0) {
        // The shell's delete parses its paths; deleting for good goes by the
        // exact calls for every name, and asks first as the shell would.
        forGood = targets.ForShell;
        forGood.insert(forGood.end(), targets.Exact.begin(), targets.Exact.end());
        if (!forGood.empty() &&
            !Ask(std::to_wstring(forGood.size()) + L" 個の項目を完全に削除します。よろしいですか?" + PathList(forGood)))
            forGood.clear();
    } else {
        // No silence and no "yes to all": the shell asks and shows its
        // progress.
        if (!targets.ForShell.empty())
            ShellDelete(nullptr, FFolder, targets.ForShell, FFlags);
        if (!targets.Exact.empty() &&
            Ask(L"次の項目はごみ箱に入れられません。完全に削除しますか?" + PathList(targets.Exact)))
            forGood = targets.Exact;
    }
    std::wstring failures;
    for (const std::wstring& path : forGood)
        if (DWORD error = DeleteForGood(path); error != 0)
            failures += L"\n" + path + L": " + SysErrorMessage(error);
    if (!failures.empty())
        TMessageBox::Show(nullptr, L"削除できませんでした" + failures, kCaption, MB_OK | MB_ICONHAND | MB_TASKMODAL);

    TExclusiveLock lock;
    if (TFolderManager* manager = FolderManager()) {
        for (const std::wstring& path : targets.ForShell) {
            TPath location = TPath::FromPath(path);
            manager->RefreshFolders(&location, true);
        }
        for (const std::wstring& path : targets.Exact) {
            TPath location = TPath::FromPath(path);
            manager->RefreshFolders(&location, true);
        }
    }
    if (FResults)
        FResults->Refresh();
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
    ComPtr<IFolder> results = IsFoundsFolder(view->Folder()) ? ComPtr<IFolder>(view->Folder()) : nullptr;
    T0Thread::StartThread<TDeleteThread>(IncludeTrailingBackslash(location.PathView()),
                                         static_cast<FILEOP_FLAGS>(dialog->ItemData()), std::move(names),
                                         std::move(results));
}
