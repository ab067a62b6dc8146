// Clipboard actions: files put on the clipboard for a copy or a cut, files
// pasted from it into the current directory, and the contents of one file
// put on it as text.
//
// Clipboard calls may wait for another thread or process: the clipboard's
// owner renders what it promised, the previous owner hears that it lost the
// clipboard, OLE asks the source of a data object for its data. None of them
// runs with the application lock held, and the view is looked up again after
// the lock was given up.
#include "actions/UActionsInternal.h"

// View
#include "view/UView.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Platform
#include <ole2.h>
#include <shlobj.h>

// Standard library
#include <algorithm>
#include <cstring>
#include <optional>

namespace actionsinternal {

namespace {

using UniqueGlobal = UniqueResource<NullIsInvalid<HGLOBAL, ::GlobalFree>>;

constexpr const wchar_t* kPasteTitle = L"貼り付け";
constexpr const wchar_t* kForcedPrefix = L"効果が記録されてないが意地と度胸で強制的に";
constexpr const wchar_t* kFileDataFormat = L"REvU Clipboard Format";
constexpr const wchar_t* kFileDataCaption = L"ファイルデータをコピー";
constexpr const wchar_t* kTooLarge = L"は大きすぎてクリップボードに置けません";
constexpr const wchar_t* kUnreadable = L"を読み込めません";

// Files of the view's selection

std::vector<std::wstring> SelectedNames(TFilerView* view)
{
    std::vector<std::wstring> names;
    for (const TFileItem* item : view->GetSelection())
        names.emplace_back(item->Name, static_cast<size_t>(item->NameLen));
    return names;
}

// Puts the view's selection on the clipboard as the shell's file list, with
// the effect the paste should prefer.
void PutFilesOnClipboard(TFilerView* view, DWORD effect)
{
    std::wstring directory = DirectoryPath(view);
    std::vector<std::wstring> names = SelectedNames(view);
    if (directory.empty() || names.empty())
        return;
    ComPtr<IDataObject> data;
    try {
        data = FileDataObject(OwnerWindow(view), directory, names, effect);
    } catch (const Exception&) {
        // No data object, no change: what the clipboard held stays.
        data.reset();
    }
    if (!data) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    HRESULT hr;
    {
        TSuspendShared unlocked;
        hr = OleSetClipboard(data.get());
        // Rendered now, so the list stays when this window goes.
        if (SUCCEEDED(hr))
            hr = OleFlushClipboard();
    }
    CheckHResult(hr);
}

// The clipboard's data object; null when it cannot be had.
ComPtr<IDataObject> ClipboardData()
{
    ComPtr<IDataObject> data;
    if (FAILED(OleGetClipboard(data.put())))
        data.reset();
    return data;
}

// Pastes the clipboard's file list into the current view's directory with
// one effect, as a drop of it there would.
void PasteFiles(DWORD effect)
{
    if (!IsDirectoryView(ActionView()))
        return;
    ComPtr<IDataObject> data;
    TDroppedFiles files;
    bool read = false;
    {
        TSuspendShared unlocked;
        data = ClipboardData();
        read = data && ReadDroppedFiles(data.get(), files);
    }
    if (!read) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    // Found again: the lock was given up meanwhile.
    TFilerView* view = ActionView();
    if (!IsDirectoryView(view) || !view->TransferFiles(files, effect))
        return;
    if ((effect & DROPEFFECT_MOVE) == 0)
        return;
    // The job moves the files itself and may yet skip or fail some of them:
    // a source that waits to delete its originals after a cut is told there
    // is nothing left for it to do, and that a move was asked for.
    TSuspendShared unlocked;
    SetDropEffectFormat(data.get(), CFSTR_PERFORMEDDROPEFFECT, DROPEFFECT_NONE);
    SetDropEffectFormat(data.get(), CFSTR_LOGICALPERFORMEDDROPEFFECT, DROPEFFECT_MOVE);
}

// "ClipboardPaste": copy, move or link what the clipboard holds; the effects
// the clipboard prefers come first.
class TClipboardPasteAction : public T0Action, public TActionItemsProvider {
public:
    TClipboardPasteAction() : T0Action(false)
    {
        Describe("ClipboardPaste", L"クリップボードから貼り付け", L"クリップボードに記録されたファイルを貼り付けます");
        FItems = new TActionItems(this, kPasteTitle);
        FItems->SetOwner(this);
    }

    void Idle() override
    {
        SetEnabled(IsDirectoryView(ActionView()) && IsClipboardFormatAvailable(CF_HDROP));
    }

    IActionItems* ActionItems() override
    {
        // The clipboard changes behind our back: the list is made afresh
        // each time it is shown.
        FItems->Invalidate();
        return FItems;
    }

    void Fill(TActionItems& list) override
    {
        list.Clear();
        DWORD preferred = DROPEFFECT_MOVE;
        {
            TSuspendShared unlocked;
            if (ComPtr<IDataObject> data = ClipboardData())
                preferred = DropEffectFormat(data.get(), CFSTR_PREFERREDDROPEFFECT).value_or(DROPEFFECT_MOVE);
        }
        for (const TPasteChoice& choice : PasteChoices(preferred))
            list.Add(choice.Caption, static_cast<intptr_t>(choice.Effect));
    }

    void PerformItem(TActionItem& item) override { PasteFiles(static_cast<DWORD>(item.Data())); }

private:
    TActionItems* FItems;
};

// File contents

// The two blocks the contents go to the clipboard in: the bytes with a
// terminating zero as text, and the private record of a 32-bit length
// followed by the bytes.
struct TFileDataBlocks {
    UniqueGlobal Text;
    UniqueGlobal Record;

    // False when the memory is not to be had; nothing is kept then.
    bool Allocate(uint64_t size)
    {
        if (!FileDataFits(size))
            return false;
        Text.reset(GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size) + 1));
        Record.reset(GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size) + sizeof(uint32_t)));
        if (!Text || !Record) {
            Text.reset();
            Record.reset();
            return false;
        }
        return true;
    }
};

// Fills both blocks from bytes the caller writes into the record: fill
// gets the place and room and returns how many bytes it wrote (at most
// room), or none on failure.
template <class Fill>
bool FillFileData(TFileDataBlocks& blocks, uint64_t room, Fill&& fill)
{
    auto* record = static_cast<uint8_t*>(GlobalLock(blocks.Record.get()));
    auto* text = static_cast<uint8_t*>(GlobalLock(blocks.Text.get()));
    bool filled = false;
    if (record != nullptr && text != nullptr) {
        std::optional<uint64_t> written = fill(record + sizeof(uint32_t), room);
        if (written && *written <= room) {
            auto length = static_cast<uint32_t>(*written);
            std::memcpy(record, &length, sizeof length);
            std::memcpy(text, record + sizeof(uint32_t), length);
            text[length] = 0;
            filled = true;
        }
    }
    if (text != nullptr)
        GlobalUnlock(blocks.Text.get());
    if (record != nullptr)
        GlobalUnlock(blocks.Record.get());
    return filled;
}

// Reads a whole file into the blocks. Others may go on reading and writing
// it meanwhile; a file that grew since its size was taken gives what it
// had then, one that shrank what is left.
enum class TReadResult { Read, TooLarge, Failed };
TReadResult ReadFileData(const std::wstring& path, TFileDataBlocks& blocks, DWORD& error)
{
    UniqueFileHandle file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        error = GetLastError();
        return TReadResult::Failed;
    }
    if (!blocks.Allocate(static_cast<uint64_t>(size.QuadPart)))
        return TReadResult::TooLarge;
    error = ERROR_SUCCESS;
    bool filled = FillFileData(blocks, static_cast<uint64_t>(size.QuadPart),
                               [&](uint8_t* place, uint64_t room) -> std::optional<uint64_t> {
                                   uint64_t done = 0;
                                   while (done < room) {
                                       DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(room - done, 1u << 20));
                                       DWORD read = 0;
                                       if (!ReadFile(file.get(), place + done, chunk, &read, nullptr)) {
                                           // A region another process locked, a device gone.
                                           error = GetLastError();
                                           return std::nullopt;
                                       }
                                       if (read == 0)
                                           break;
                                       done += read;
                                   }
                                   return done;
                               });
    if (!filled && error == ERROR_SUCCESS)
        error = ERROR_NOT_ENOUGH_MEMORY;
    return filled ? TReadResult::Read : TReadResult::Failed;
}

// Hands both blocks to the clipboard, which then owns them. Raises the
// system's error when the clipboard cannot be opened.
void PutFileData(HWND owner, TFileDataBlocks& blocks)
{
    UINT recordFormat = RegisterClipboardFormatW(kFileDataFormat);
    if (recordFormat == 0)
        RaiseLastOSError();
    if (!OpenClipboard(owner))
        RaiseLastOSError();
    // Emptying tells the previous owner; rendering a promised format may
    // ask another program: a failed one is said after the clipboard closed.
    DWORD error = ERROR_SUCCESS;
    if (!EmptyClipboard())
        error = GetLastError();
    if (error == ERROR_SUCCESS) {
        if (SetClipboardData(CF_TEXT, blocks.Text.get()) != nullptr)
            blocks.Text.release();
        else
            error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        if (SetClipboardData(recordFormat, blocks.Record.get()) != nullptr)
            blocks.Record.release();
        else
            error = GetLastError();
    }
    CloseClipboard();
    if (error != ERROR_SUCCESS)
        throw EOSError(error);
}

void ShowFileDataFailure(HWND owner, const std::wstring& name, const std::wstring& reason)
{
    TMessageBox::Show(owner, name + reason, kFileDataCaption, MB_ICONWARNING);
}

} // namespace

bool FileDataFits(uint64_t size)
{
    return size <= kMaxFileDataBytes;
}

std::vector<TPasteChoice> PasteChoices(DWORD preferred)
{
    static const TPasteChoice kEffects[] = {
        {DROPEFFECT_COPY, L"コピー"},
        {DROPEFFECT_MOVE, L"移動"},
        {DROPEFFECT_LINK, L"リンク"},
    };
    std::vector<TPasteChoice> choices;
    for (const TPasteChoice& effect : kEffects)
        if ((preferred & effect.Effect) != 0)
            choices.push_back(effect);
    for (const TPasteChoice& effect : kEffects)
        if ((preferred & effect.Effect) == 0)
            choices.push_back({effect.Effect, kForcedPrefix + effect.Caption});
    return choices;
}

bool CanClipboardCopy(TFilerView* view)
{
    return IsDirectoryView(view) && HasItems(view);
}

void ClipboardCopy(TFilerView* view)
{
    PutFilesOnClipboard(view, DROPEFFECT_COPY | DROPEFFECT_LINK);
}

void ClipboardCut(TFilerView* view)
{
    PutFilesOnClipboard(view, DROPEFFECT_MOVE);
}

bool CanClipFileData(TFilerView* view)
{
    return SingleCaretFile(view) != nullptr;
}

void ClipFileData(TFilerView* view)
{
    TFileItem* caret = SingleCaretFile(view);
    if (caret == nullptr)
        return;
    const std::wstring name(caret->Name, static_cast<size_t>(caret->NameLen));
    HWND owner = OwnerWindow(view);
    HWND clipboardOwner = view->Handle();
    TFileDataBlocks blocks;
    if (ComPtr<IArchiveFolder> archive = ComPtr<IFolder>(view->Folder()).as<IArchiveFolder>()) {
        // The module reads the item from a copy of its record, without the
        // hold: the archive may take its time, as a disk may below.
        const TFileItem record = *caret;
        WideString bytes;
        {
            TSuspendShared unlocked;
            CheckHResult(archive->ReadItem(&record, bytes.put()));
        }
        UINT size = SysStringByteLen(bytes.get());
        if (!blocks.Allocate(size)) {
            ShowFileDataFailure(owner, name, kTooLarge);
            return;
        }
        FillFileData(blocks, size, [&](uint8_t* place, uint64_t room) -> std::optional<uint64_t> {
            if (room != 0)
                std::memcpy(place, bytes.get(), static_cast<size_t>(room));
            return room;
        });
    } else {
        std::wstring path = ItemPath(view, caret);
        if (path.empty()) {
            MessageBeep(MB_ICONWARNING);
            return;
        }
        TReadResult result;
        DWORD error = ERROR_SUCCESS;
        {
            // The disk may take its time; the view is not touched after this.
            TSuspendShared unlocked;
            result = ReadFileData(path, blocks, error);
        }
        if (result == TReadResult::TooLarge) {
            ShowFileDataFailure(owner, path, kTooLarge);
            return;
        }
        if (result == TReadResult::Failed) {
            ShowFileDataFailure(owner, path, std::wstring(kUnreadable) + L"\r\n" + SysErrorMessage(error));
            return;
        }
    }
    TSuspendShared unlocked;
    PutFileData(clipboardOwner, blocks);
}

T0Action* NewClipboardPasteAction()
{
    return new TClipboardPasteAction;
}

} // namespace actionsinternal
