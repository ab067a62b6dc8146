// Drag and drop: files dropped on a list and files dragged out of it.
#include "view/UView.h"

// Own
#include "view/UViewInternal.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// File operations
#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"

// Platform
#include <shellapi.h>
#include <shlobj.h>

using namespace viewinternal;

// Drag and drop

DWORD TFilerView::DropEffect(DWORD keyState, DWORD allowed) const
{
    // Files land only in a directory.
    if (!FCanDrop || !IsDirectoryFolder(FFolder.get()))
        return DROPEFFECT_NONE;
    DWORD effect = DropEffectFromKeys(keyState);
    return (effect & allowed) != 0 ? effect : DROPEFFECT_NONE;
}

HRESULT STDMETHODCALLTYPE TFilerView::DragEnter(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect)
{
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FCanDrop = data != nullptr && data->QueryGetData(&format) == S_OK;
    FRightDrop = (keyState & MK_RBUTTON) != 0;
    *effect = DropEffect(keyState, *effect);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TFilerView::DragOver(DWORD keyState, POINTL point, DWORD* effect)
{
    FRightDrop = (keyState & MK_RBUTTON) != 0;
    *effect = DropEffect(keyState, *effect);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TFilerView::DragLeave()
{
    FCanDrop = false;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TFilerView::Drop(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect)
{
    DWORD chosen = DropEffect(keyState, *effect);
    FCanDrop = false;
    *effect = DROPEFFECT_NONE;
    // Dropped back where it came from: nothing to do.
    if (chosen == DROPEFFECT_NONE || FDragFromHere || data == nullptr)
        return S_OK;
    if (FRightDrop) {
        TMessageBox::Show(FWindow->Handle(), L"右ドロップを検出\r\nメニューはお待ち下さい", {}, MB_ICONINFORMATION);
        return S_OK;
    }
    SetForegroundWindow(FWindow->Handle());
    if (!PerformDrop(data, chosen))
        return S_OK;
    if ((chosen & DROPEFFECT_MOVE) == 0) {
        *effect = chosen;
        return S_OK;
    }
    // The move runs here, as an optimised move: the files are moved by
    // this side's job, which may yet skip or fail some of them. The source
    // is told that nothing is left for it to do (it must not delete its
    // originals), and what the user asked for was a move.
    SetDropEffectFormat(data, CFSTR_PERFORMEDDROPEFFECT, DROPEFFECT_NONE);
    SetDropEffectFormat(data, CFSTR_LOGICALPERFORMEDDROPEFFECT, DROPEFFECT_MOVE);
    *effect = DROPEFFECT_NONE;
    return S_OK;
}

bool TFilerView::PerformDrop(IDataObject* data, DWORD effect)
{
    TDroppedFiles files;
    if (!ReadDroppedFiles(data, files))
        return false;
    return TransferFiles(files, effect);
}

bool TFilerView::TransferFiles(const TDroppedFiles& files, DWORD effect)
{
    if (files.Scattered) {
        TMessageBox::Show(FWindow->Handle(), L"記録されているファイルの存在位置がばらばらです",
                          L"OLE DataObject によるファイルの受渡し", MB_ICONWARNING);
        return false;
    }
    if (files.Names.empty() || !IsDirectoryFolder(FFolder.get()))
        return false;
    TFileOperationKind kind = (effect & DROPEFFECT_MOVE) != 0   ? TFileOperationKind::Move
                              : (effect & DROPEFFECT_LINK) != 0 ? TFileOperationKind::Link
                                                                : TFileOperationKind::Copy;
    TPath destination;
    FFolder->GetPath(&destination);
    StartFileOperation(kind, files.Names, destination, TPath::FromPath(files.Directory));
    return true;
}

HRESULT STDMETHODCALLTYPE TFilerView::QueryContinueDrag(BOOL escapePressed, DWORD keyState)
{
    if (escapePressed)
        return DRAGDROP_S_CANCEL;
    if ((keyState & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON)) == 0)
        return DRAGDROP_S_DROP;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TFilerView::GiveFeedback(DWORD effect)
{
    return DRAGDROP_S_USEDEFAULTCURSORS;
}

void TFilerView::StartDrag()
{
    ComPtr<IDirectory> directory = FFolder ? FFolder.as<IDirectory>() : ComPtr<IDirectory>();
    if (!directory || Count() == 0)
        return;
    TPath location;
    directory->GetPath(&location);
    std::vector<std::wstring> names;
    for (TFileItem* item : GetSelection())
        names.emplace_back(item->Name, static_cast<size_t>(item->NameLen));
    ComPtr<IDataObject> data;
    try {
        data = FileDataObject(Handle(), location.PathView(), names, 0);
    } catch (const Exception&) {
        MessageBeep(MB_OK);
        return;
    }
    if (!data)
        return;
    FDragFromHere = true;
    DWORD effect = DROPEFFECT_NONE;
    {
        TSuspendShared unlocked;
        DoDragDrop(data.get(), static_cast<IDropSource*>(this), DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK,
                   &effect);
    }
    FDragFromHere = false;
}

