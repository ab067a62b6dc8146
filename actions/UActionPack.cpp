// "Pack" and "Unpack": an archive made of the marked items of a directory,
// and the archive under the caret extracted, both on a thread of their own
// through the archiver the archive's extension chooses.
#include "actions/UActionsInternal.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LAddDlgs.h"
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LWindows.h"

// Standard library
#include <functional>

namespace actionsinternal {

namespace {

constexpr const wchar_t* kUnit = L"UActionPack";
constexpr const wchar_t* kPackCaption = L"圧縮";
constexpr const wchar_t* kUnpackCaption = L"展開";

// The folder already open on a path, if a view shows it.
ComPtr<IFolder> OpenFolderAt(const std::wstring& path)
{
    TFolderManager* manager = FolderManager();
    if (manager == nullptr)
        return nullptr;
    TExclusiveLock lock;
    return manager->Find(TPath::FromPath(path));
}

// Runs an archiver call with the folder that will change kept quiet, and
// shows its failure; the folder picks up the change in every case.
void RunQuietly(const std::wstring& changedFolder, const wchar_t* caption, const std::function<void()>& call)
{
    ComPtr<IFolder> folder = OpenFolderAt(changedFolder);
    if (folder)
        folder->SuspendWatching();
    try {
        call();
    } catch (const EAbort&) {
    } catch (const Exception& error) {
        TMessageBox::Show(nullptr, error.Message(), caption, MB_OK | MB_ICONERROR);
    } catch (const std::exception&) {
        TMessageBox::Show(nullptr, L"Out of memory", caption, MB_OK | MB_ICONERROR);
    }
    if (folder)
        folder->ResumeWatching(false);
}

class TPackThread : public T0Thread {
public:
    TPackThread(std::wstring archiveName, std::wstring baseFolder, std::vector<std::wstring> names,
                ComPtr<IArchiver> archiver)
        : FArchiveName(std::move(archiveName)), FBaseFolder(std::move(baseFolder)), FNames(std::move(names)),
          FArchiver(std::move(archiver))
    {
    }

protected:
    void Execute() override
    {
        RunQuietly(ExtractFileDir(FArchiveName), kPackCaption, [&] {
            std::vector<WideString> names(FNames.begin(), FNames.end());
            std::vector<BSTR> list;
            for (WideString& name : names)
                list.push_back(name.get());
            CheckHResult(FArchiver->Pack(WideString(FArchiveName).get(), WideString(FBaseFolder).get(),
                                         static_cast<int32_t>(list.size()) - 1, list.data()));
        });
    }

private:
    std::wstring FArchiveName;
    std::wstring FBaseFolder;
    std::vector<std::wstring> FNames;
    ComPtr<IArchiver> FArchiver;
};

class TUnpackThread : public T0Thread {
public:
    TUnpackThread(std::wstring destination, std::wstring archiveName)
        : FDestination(std::move(destination)), FArchiveName(std::move(archiveName))
    {
    }

protected:
    void Execute() override
    {
        TFolderManager* manager = FolderManager();
        ComPtr<IArchiver> archiver = manager != nullptr ? manager->Archiver(FArchiveName) : nullptr;
        Assert(archiver != nullptr, kUnit, L"no archiver for " + FArchiveName);
        RunQuietly(FDestination, kUnpackCaption, [&] {
            CheckHResult(archiver->Extract(WideString(FArchiveName).get(), WideString(FDestination).get()));
        });
    }

private:
    std::wstring FDestination;
    std::wstring FArchiveName;
};

// The date as the user writes it short, made fit for a file name: the
// short form of many locales ("2026/12/08") holds "/".
std::wstring TodayForFileName()
{
    wchar_t date[80] = {};
    if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 80) == 0)
        return L"archive";
    std::wstring text = date;
    for (wchar_t& c : text)
        if (std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
            c = L'-';
    return text;
}

class TPackAction : public T0Action {
public:
    TPackAction() : T0Action(false) { Describe("Pack", L"圧縮...", L"書庫を作成します"); }

    void Idle() override
    {
        TFilerView* view = CurrentView();
        SetEnabled(view != nullptr && view->Folder() != nullptr && IsDirectoryView(view));
    }

    void Execute() override
    {
        TFilerView* view = CurrentView();
        if (view == nullptr || view->Folder() == nullptr || !IsDirectoryView(view))
            return;
        TPath target;
        if (!ChooseFolder(kPackCaption, target))
            return;
        std::vector<std::wstring> names;
        for (const TFileItem* item : view->GetSelection())
            names.emplace_back(item->Name, static_cast<size_t>(item->NameLen));
        if (names.empty())
            return;
        // The names belong to this folder, whatever the view shows once the
        // name is asked for.
        std::wstring base(LocationOf(view->Folder()).PathView());
        std::wstring proposed = (view->MarkedCount() > 0 ? TodayForFileName() : names.front()) + L".zip";
        TOwned<TInputDialog> dialog(new TInputDialog(OwnerWindow(view), kPackCaption));
        dialog->SetText(proposed);
        if (!dialog->Execute())
            return;
        std::wstring archiveName = CombinePath(target.PathView(), dialog->Text());
        TFolderManager* manager = FolderManager();
        ComPtr<IArchiver> archiver = manager != nullptr ? manager->Archiver(archiveName) : nullptr;
        if (!archiver) {
            TMessageBox::Show(OwnerWindow(view), L"不明な拡張子です", kPackCaption, MB_OK | MB_ICONEXCLAMATION);
            return;
        }
        // Some kinds add to an archive that is there, others write it anew:
        // what is in it is not given up without a word.
        DWORD existing = GetFileAttributesW(archiveName.c_str());
        if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_DIRECTORY) &&
            TMessageBox::Show(OwnerWindow(view),
                              archiveName + L"は既にあります。\r\nこの書庫に圧縮しますか?\r\n(書庫の種類によっては中身が置き換えられます)",
                              kPackCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
            return;
        T0Thread::StartThread<TPackThread>(archiveName, std::move(base), std::move(names), std::move(archiver));
    }
};

class TUnpackAction : public T0Action {
public:
    TUnpackAction() : T0Action(false) { Describe("Unpack", L"展開...", L"書庫を展開します"); }

    void Idle() override
    {
        TFilerView* view = CurrentView();
        SetEnabled(!ArchiveUnderCaret(view).empty());
    }

    void Execute() override
    {
        TFilerView* view = CurrentView();
        std::wstring archiveName = ArchiveUnderCaret(view);
        if (archiveName.empty())
            return;
        TPath target;
        if (!ChooseFolder(kUnpackCaption, target))
            return;
        T0Thread::StartThread<TUnpackThread>(std::wstring(target.PathView()), archiveName);
    }

private:
    // The full path of the caret item when it is a file some archiver
    // takes; empty otherwise.
    static std::wstring ArchiveUnderCaret(TFilerView* view)
    {
        if (view == nullptr || view->Folder() == nullptr || view->Count() == 0)
            return {};
        TFileItem* caret = view->CaretItem();
        if (caret == nullptr || caret->Kind != kKindFile || (caret->Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return {};
        std::wstring name(caret->Name, static_cast<size_t>(caret->NameLen));
        std::wstring path = CombinePath(LocationOf(view->Folder()).PathView(), name);
        TFolderManager* manager = FolderManager();
        if (manager == nullptr || !IsDirectoryView(view) || !manager->Archiver(path))
            return {};
        return path;
    }
};

} // namespace

T0Action* NewPackAction()
{
    return new TPackAction;
}

T0Action* NewUnpackAction()
{
    return new TUnpackAction;
}

} // namespace actionsinternal
