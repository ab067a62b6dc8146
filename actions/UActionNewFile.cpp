// New directories and files: "MakeDirectory" asks for a name and makes the
// directory; "MakeNewFile" offers the types the registry says can be made
// new, empty or from a template, and makes one.
#include "actions/UActionsInternal.h"

// File operations
#include "fileop/URename.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LAddDlgs.h"
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LRegistry.h"

// Platform
#include <shlobj.h>

// Standard library
#include <mutex>
#include <optional>
#include <utility>

namespace actionsinternal {

namespace {

constexpr const wchar_t* kMakeDirectoryTitle = L"ディレクトリ作成";
constexpr const wchar_t* kInvalidName = L"は無効な名前です";
constexpr const wchar_t* kExists = L"は既にあります";
constexpr const wchar_t* kCannotCopy = L"を複製できません";
constexpr const wchar_t* kCannotCreate = L"を作成できません";
constexpr const wchar_t* kDefaultName = L"Untitled";
constexpr const wchar_t* kListTitle = L"新規作成";
constexpr const wchar_t* kEmptyCaption = L"空";
// The longest name one entry of a directory can have.
constexpr size_t kMaxNameLength = 255;

// Keeps the folder's watcher quiet while an entry appears in it, and wakes
// it on every way out.
class TWatchingSuspended {
public:
    explicit TWatchingSuspended(IFolder* folder) : FFolder(folder)
    {
        if (FFolder)
            FFolder->SuspendWatching();
    }
    ~TWatchingSuspended()
    {
        if (FFolder)
            FFolder->ResumeWatching(false);
    }
    TWatchingSuspended(const TWatchingSuspended&) = delete;
    TWatchingSuspended& operator=(const TWatchingSuspended&) = delete;

private:
    ComPtr<IFolder> FFolder;
};

// The file-system directory new entries of a folder go to, with a trailing
// separator; empty for a folder that has none (an archive, a namespace
// folder without a path).
std::wstring TargetDirectory(IFolder* folder)
{
    if (folder == nullptr)
        return {};
    TPath location = LocationOf(folder);
    std::wstring_view path = location.PathView();
    if (!location.SubPathView().empty())
        return {};
    bool drivePath = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
    bool sharePath = path.size() > 2 && path.substr(0, 2) == L"\\\\";
    if (!drivePath && !sharePath)
        return {};
    return IncludeTrailingBackslash(path);
}

// A typed name names one new entry right in the folder: no separator or
// "..", no device, nothing the parser would trim, not too long. Anything
// else could make an entry elsewhere or one nobody can open.
bool IsUsableNewName(const std::wstring& name)
{
    return IsValidFileName(name) && name.size() <= kMaxNameLength;
}

// The folder shows the new entry and the caret lands on it. The folder is
// reloaded here: the watcher's refresh comes later, and before it the view
// has no entry of that name.
void ShowNewEntry(TFilerView* view, IFolder* folder, const std::wstring& name)
{
    {
        TExclusiveLock lock;
        folder->Refresh();
    }
    if (view->Folder() == folder)
        view->SetCaretByNameText(name);
}

std::wstring RegistryText(const T0Registry& key, std::wstring_view name)
{
    return key.ReadString(name);
}

// One extension's entry, following the four steps: the type named by the
// extension's default value with a key of its own; its ShellNew key below
// the type, else below the extension; there "NullFile" or "FileName"; the
// caption from the type's display name. Nothing for an entry that fails a
// step.
std::optional<TNewFileType> ReadNewFileType(T0Registry& root, const std::wstring& extension)
{
    try {
        TOwned<TRegistryKey> extensionKey(new TRegistryKey(&root, false, KEY_READ, extension));
        std::wstring type = RegistryText(*extensionKey, L"");
        if (type.empty() || !root.KeyExists(type))
            return std::nullopt;
        std::wstring shellNew = type + L"\\ShellNew";
        if (!extensionKey->KeyExists(shellNew)) {
            shellNew = L"ShellNew";
            if (!extensionKey->KeyExists(shellNew))
                return std::nullopt;
        }
        TOwned<TRegistryKey> shellNewKey(new TRegistryKey(extensionKey.get(), false, KEY_READ, shellNew));
        TNewFileType result;
        result.Extension = extension;
        if (shellNewKey->ValueExists(L"NullFile")) {
            result.Kind = kNewFileEmpty;
        } else if (shellNewKey->ValueExists(L"FileName")) {
            result.Kind = kNewFileFromTemplate;
            result.Template = RegistryText(*shellNewKey, L"FileName");
            // Nothing to copy from: no usable description.
            if (result.Template.empty())
                return std::nullopt;
        } else {
            return std::nullopt;
        }
        TOwned<TRegistryKey> typeKey(new TRegistryKey(&root, false, KEY_READ, type));
        result.Caption = RegistryText(*typeKey, L"") + L"(" + extension + L")";
        return result;
    } catch (const ERegistryError&) {
        return std::nullopt;
    }
}

// The template file a type names: in the user's templates, the common
// templates, the system's "ShellNew" folder, else as written.
std::wstring FindTemplate(const std::wstring& templateName)
{
    std::vector<std::wstring> folders{SpecialFolderPath(CSIDL_TEMPLATES), SpecialFolderPath(CSIDL_COMMON_TEMPLATES)};
    wchar_t windows[MAX_PATH + 1] = {};
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH + 1);
    if (length > 0 && length <= MAX_PATH)
        folders.push_back(IncludeTrailingBackslash(windows) + L"ShellNew\\");
    for (const std::wstring& folder : folders) {
        if (folder.empty())
            continue;
        std::wstring candidate = folder + templateName;
        DWORD attributes = GetFileAttributesW(ExtendedPath(candidate).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return candidate;
    }
    return templateName;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(ExtendedPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsExistsError(DWORD error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// "MakeNewFile".
class TMakeNewFileAction : public T0Action, public TActionItemsProvider {
public:
    TMakeNewFileAction() : T0Action(true), FItems(new TActionItems(this, kListTitle))
    {
        Describe("MakeNewFile", L"ファイル新規作成", L"新しいファイルを作成します");
    }

    void Idle() override { SetEnabled(FolderCan(ActionView(), kCanModify)); }

    IActionItems* ActionItems() override { return FItems.get(); }

    // The list is made once per run: the types change with installations,
    // not while the program runs, and the walk through all of the classes
    // takes a while.
    void Fill(TActionItems& list) override
    {
        if (!list.Items().empty())
            return;
        // Another thread that asks meanwhile fills as well (and finds the
        // walk done) rather than showing an empty list.
        {
            TExclusiveLock lock;
            list.SetDirty(true);
        }
        std::vector<TNewFileType> types;
        {
            // The walk holds no lock: other windows go on meanwhile.
            TSuspendSharedOnly unlocked;
            types = Types();
        }
        TExclusiveLock lock;
        list.SetDirty(false);
        if (!list.Items().empty())
            return;
        list.SetTitle(kListTitle);
        new TMakeNewFileActionItem(&list, kEmptyCaption, L"", kNewFileEmpty, L"");
        for (TNewFileType& type : types)
            new TMakeNewFileActionItem(&list, std::move(type.Caption), std::move(type.Extension), type.Kind,
                                       std::move(type.Template));
    }

    void PerformItem(TActionItem& item) override
    {
        auto* type = dynamic_cast<TMakeNewFileActionItem*>(&item);
        TFilerView* view = ActionView();
        if (type != nullptr && view != nullptr)
            MakeNewFile(view, Caption(), *type);
    }

private:
    std::vector<TNewFileType> Types()
    {
        std::lock_guard<std::mutex> guard(FWalkMutex);
        if (!FTypes)
            FTypes = ReadNewFileTypes();
        return *FTypes;
    }

    TOwned<TActionItems> FItems;
    std::mutex FWalkMutex;
    std::optional<std::vector<TNewFileType>> FTypes;
};

} // namespace

std::vector<TNewFileType> ReadNewFileTypes()
{
    std::vector<TNewFileType> types;
    try {
        TOwned<TRegistryHive> root(new TRegistryHive(HKEY_CLASSES_ROOT));
        root->EnumSubKeys([&](std::wstring_view name) {
            if (!name.empty() && name.front() == L'.')
                if (std::optional<TNewFileType> type = ReadNewFileType(*root, std::wstring(name)))
                    types.push_back(std::move(*type));
            return false;
        });
    } catch (const ERegistryError&) {
        // What was read so far is the list.
    }
    return types;
}

TMakeNewFileActionItem::TMakeNewFileActionItem(TActionItems* list, std::wstring caption, std::wstring extension,
                                               uint8_t kind, std::wstring templateName)
    : TActionItem(list, std::move(caption)), FExtension(std::move(extension)), FKind(kind),
      FTemplate(std::move(templateName))
{
}

bool CanMakeDirectory(TFilerView* view)
{
    return FolderCan(view, kCanModify);
}

void MakeDirectory(TFilerView* view)
{
    HWND owner = OwnerWindow(view);
    ComPtr<IFolder> folder(view->Folder());
    std::wstring directory = TargetDirectory(folder.get());
    TOwned<TInputDialog> dialog(new TInputDialog(owner, kMakeDirectoryTitle));
    dialog->SetText(kDefaultName);
    if (!dialog->Execute())
        return;
    std::wstring name = dialog->Text();
    bool made = false;
    if (!directory.empty() && IsUsableNewName(name)) {
        TWatchingSuspended quiet(folder.get());
        made = CreateDirectoryW(ExtendedPath(directory + name).c_str(), nullptr) != FALSE;
    }
    if (!made) {
        TMessageBox::Show(owner, name + kInvalidName, kMakeDirectoryTitle, MB_OK | MB_ICONWARNING);
        return;
    }
    ShowNewEntry(view, folder.get(), name);
}

void MakeNewFile(TFilerView* view, const std::wstring& actionCaption, const TMakeNewFileActionItem& type)
{
    HWND owner = OwnerWindow(view);
    ComPtr<IFolder> folder(view->Folder());
    std::wstring directory = TargetDirectory(folder.get());
    if (directory.empty())
        return;
    TOwned<TInputDialog> dialog(new TInputDialog(owner, actionCaption + L" " + type.Caption()));
    dialog->SetText(kDefaultName + type.Extension());
    dialog->SetSelection(0, 8);
    if (!dialog->Execute())
        return;
    std::wstring name = dialog->Text();
    if (!IsUsableNewName(name)) {
        TMessageBox::Show(owner, name + kInvalidName, actionCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    std::wstring fileName = directory + name;
    if (Exists(fileName)) {
        TMessageBox::Show(owner, name + kExists, actionCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    std::wstring failure;
    {
        TWatchingSuspended quiet(folder.get());
        if (type.Kind() == kNewFileEmpty) {
            // CREATE_NEW: a file of that name that turned up meanwhile is
            // left as it is.
            UniqueFileHandle file(CreateFileW(ExtendedPath(fileName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) {
                DWORD error = GetLastError();
                failure = IsExistsError(error) ? name + kExists
                                               : name + kCannotCreate + L"\r\n" + SysErrorMessage(error);
            }
        } else {
            std::wstring source = FindTemplate(type.Template());
            if (!CopyFileW(ExtendedPath(source).c_str(), ExtendedPath(fileName).c_str(), TRUE))
                failure = IsExistsError(GetLastError()) ? name + kExists : source + kCannotCopy;
        }
    }
    if (!failure.empty()) {
        TMessageBox::Show(owner, failure, actionCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    ShowNewEntry(view, folder.get(), name);
}

T0Action* NewMakeNewFileAction()
{
    return new TMakeNewFileAction;
}

} // namespace actionsinternal
