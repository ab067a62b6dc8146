#include "view/UView.h"

// Own
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
#include "lw/LAddDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LMenusXP.h"

// Platform
#include <commctrl.h>
#include <imm.h>
#include <shellapi.h>
#include <shlobj.h>

// Standard library
#include <algorithm>
#include <cwchar>
#include <optional>

namespace {

constexpr const wchar_t* kUnit = L"UView";
constexpr const wchar_t* kNoCaret = L"許されない操作です";
// Columns: the view is 48 wide and the header counters end at 50.
constexpr int kViewColumns = 48;
constexpr int kCounterEndColumn = 50;
constexpr int kKindBitmapSize = 80;
constexpr int kKindBitmapInset = 100;
constexpr COLORREF kScrollBarBackground = 0x998888;
constexpr COLORREF kFocusedHeaderText = RGB(0, 255, 255);

const TSkin& CurrentSkin()
{
    static const TSkin defaults = [] {
        TSkin skin;
        FillSkinDefaults(skin);
        return skin;
    }();
    const TSkin* skin = Skin();
    return skin != nullptr ? *skin : defaults;
}

HBITMAP LoadPicture(const std::wstring& name)
{
    return name.empty() ? nullptr : LoadBitmapFile(name);
}

SIZE BitmapSize(HBITMAP bitmap)
{
    BITMAP info{};
    GetObjectW(bitmap, sizeof(info), &info);
    return {info.bmWidth, info.bmHeight};
}

// Tiles bitmap over rect of dc, the picture's origin shifted left by shift
// pixels so that it runs on across side-by-side views.
void TileBitmap(HDC dc, HBITMAP bitmap, const RECT& rect, int shift)
{
    SIZE size = BitmapSize(bitmap);
    if (size.cx <= 0 || size.cy <= 0)
        return;
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(source, bitmap);
    int startX = -(shift % size.cx);
    for (int y = 0; y < rect.bottom; y += size.cy) {
        if (y + size.cy <= rect.top)
            continue;
        for (int x = startX; x < rect.right; x += size.cx) {
            if (x + size.cx <= rect.left)
                continue;
            BitBlt(dc, x, y, size.cx, size.cy, source, 0, 0, SRCCOPY);
        }
    }
    SelectObject(source, old);
    DeleteDC(source);
}

// Draws an 80 x 80 picture with its top-left pixel's colour transparent.
void DrawEmblem(HDC dc, HBITMAP bitmap, int x, int y)
{
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ oldSource = SelectObject(source, bitmap);
    COLORREF transparent = GetPixel(source, 0, 0);
    // A monochrome mask: white where the picture is transparent.
    HBITMAP mask = CreateBitmap(kKindBitmapSize, kKindBitmapSize, 1, 1, nullptr);
    HDC maskDC = CreateCompatibleDC(dc);
    HGDIOBJ oldMask = SelectObject(maskDC, mask);
    COLORREF oldBack = SetBkColor(source, transparent);
    BitBlt(maskDC, 0, 0, kKindBitmapSize, kKindBitmapSize, source, 0, 0, SRCCOPY);
    SetBkColor(source, oldBack);
    // The picture with its transparent part black, then the background
    // with the picture's part black, combined.
    HDC pictureDC = CreateCompatibleDC(dc);
    HBITMAP picture = CreateCompatibleBitmap(dc, kKindBitmapSize, kKindBitmapSize);
    HGDIOBJ oldPicture = SelectObject(pictureDC, picture);
    BitBlt(pictureDC, 0, 0, kKindBitmapSize, kKindBitmapSize, source, 0, 0, SRCCOPY);
    COLORREF oldText = SetTextColor(pictureDC, RGB(0, 0, 0));
    oldBack = SetBkColor(pictureDC, RGB(255, 255, 255));
    BitBlt(pictureDC, 0, 0, kKindBitmapSize, kKindBitmapSize, maskDC, 0, 0, 0x00220326 /* DSna */);
    SetTextColor(pictureDC, oldText);
    SetBkColor(pictureDC, oldBack);
    oldText = SetTextColor(dc, RGB(0, 0, 0));
    oldBack = SetBkColor(dc, RGB(255, 255, 255));
    BitBlt(dc, x, y, kKindBitmapSize, kKindBitmapSize, maskDC, 0, 0, SRCAND);
    SetTextColor(dc, oldText);
    SetBkColor(dc, oldBack);
    BitBlt(dc, x, y, kKindBitmapSize, kKindBitmapSize, pictureDC, 0, 0, SRCPAINT);
    SelectObject(pictureDC, oldPicture);
    DeleteObject(picture);
    DeleteDC(pictureDC);
    SelectObject(maskDC, oldMask);
    DeleteDC(maskDC);
    DeleteObject(mask);
    SelectObject(source, oldSource);
    DeleteDC(source);
}

// Writes text at x, y, cut with an ellipsis to fit width pixels.
void DrawFitted(HDC dc, int x, int y, std::wstring_view text, int width)
{
    RECT rect{x, y, x + width, y + 0x7FFF};
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS | DT_NOCLIP);
}

void DrawAt(HDC dc, int x, int y, std::wstring_view text)
{
    TextOutW(dc, x, y, text.data(), static_cast<int>(text.size()));
}

// An empty text and the quoted patterns of every name mean no filter.
bool IsNoFilterText(std::wstring_view text)
{
    return text.empty() || text == L"\"*.*\"" || text == L"\"*\"";
}

bool IsDirectoryFolder(IFolder* folder)
{
    return folder != nullptr && ComPtr<IFolder>(folder).as<IDirectory>() != nullptr;
}

bool IsNameSpaceFolder(IFolder* folder)
{
    return folder != nullptr && ComPtr<IFolder>(folder).as<INameSpace>() != nullptr;
}

// Archive contents are the folders that are neither directories nor shell
// namespace folders (the modules serve them).
bool IsArchiveFolder(IFolder* folder)
{
    return folder != nullptr && !IsDirectoryFolder(folder) && !IsNameSpaceFolder(folder);
}

} // namespace

// ---------------------------------------------------------------------------
// TFilerView

TFilerView::TFilerView(TFilerWindow* window, TFilerView* after, IFolder* folder) : FWindow(window)
{
    SetOwner(window);
    SetMarkStyle(kMarkMulti);
    window->LinkView(this, after);
    if (CurrentSkin().FlatScrollBar)
        SetFlatScrollBar(true);
    Create(window->Handle(), RECT{0, 0, 100, 100});
    SetUpView(folder);
}

TFilerView::~TFilerView()
{
    TearDown();
}

void TFilerView::SetUpView(IFolder* folder)
{
    HFONT font = FWindow->Font();
    SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    HDC dc = GetDC(Handle());
    HGDIOBJ old = SelectObject(dc, font);
    SIZE x{};
    GetTextExtentPoint32W(dc, L"x", 1, &x);
    SelectObject(dc, old);
    ReleaseDC(Handle(), dc);
    FCharWidth = std::max<int>(1, x.cx);
    FCharHeight = std::max<int>(1, x.cy);
    FHeaderHeight = 4 * FCharHeight + 5;
    SetRowHeight(2 * FCharHeight);

    LOGFONTW logFont{};
    GetObjectW(font, sizeof(logFont), &logFont);
    wcsncpy(logFont.lfFaceName, CurrentSkin().FaceName.c_str(), LF_FACESIZE - 1);
    logFont.lfFaceName[LF_FACESIZE - 1] = L'\0';
    FNameFont.reset(CreateFontIndirectW(&logFont));
    FLinePen.reset(CreatePen(PS_SOLID, 1, CurrentSkin().Line));
    FSetUp = true;

    if (TApplication* app = App()) {
        try {
            SetFilter(app->InitialFilter());
        } catch (const EWildCardError&) {
            // A bad initial filter leaves the view unfiltered.
        }
    }
    ChangeFolder(folder);
    SetScrollBarProperty(WSB_PROP_VBKGCOLOR, static_cast<INT_PTR>(kScrollBarBackground));
    RegisterDragDrop(Handle(), static_cast<IDropTarget*>(this));
    if (TApplication* app = App())
        app->NotifyViewListeners(this, true);
    // The frame changed size with the header: recompute the client area.
    SetWindowPos(Handle(), nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

void TFilerView::TearDown()
{
    if (!FSetUp)
        return;
    FSetUp = false;
    if (TApplication* app = App())
        app->NotifyViewListeners(this, false);
    if (Handle() != nullptr)
        RevokeDragDrop(Handle());
    TFilerView* neighbour = FNextView != nullptr ? FNextView : FPrevView;
    FWindow->UnlinkView(this);
    if (neighbour != nullptr && !FWindow->FClosing && FWindow->Handle() != nullptr &&
        IsWindowVisible(FWindow->Handle()))
        neighbour->FocusView();
    {
        TExclusiveLock lock;
        if (FFolder) {
            FFolder->Detach(this);
            FFolder.reset();
        }
        FItems.clear();
    }
    FFilter.reset();
}

int TFilerView::ViewWidth() const
{
    return kViewColumns * FCharWidth + 4 + GetSystemMetrics(SM_CXVSCROLL) + 2 * GetSystemMetrics(SM_CXEDGE);
}

TFileItem* TFilerView::CaretItem() const
{
    int caret = CaretIndex();
    return caret >= 0 && caret < static_cast<int>(FItems.size()) ? FItems[static_cast<size_t>(caret)] : nullptr;
}

std::vector<TFileItem*> TFilerView::GetSelection() const
{
    std::vector<TFileItem*> selection;
    if (MarkedCount() > 0) {
        selection.reserve(static_cast<size_t>(MarkedCount()));
        for (int i = 0; i < Count(); ++i)
            if (TLightListBox::IsMarked(i))
                selection.push_back(FItems[static_cast<size_t>(i)]);
    } else if (TFileItem* caret = CaretItem()) {
        selection.push_back(caret);
    }
    return selection;
}

bool TFilerView::IsFileSystemSelection() const
{
    if (!FFolder || IsArchiveFolder(FFolder.get()) || CaretItem() == nullptr)
        return false;
    for (TFileItem* item : GetSelection())
        if (item->Kind != kKindFile)
            return false;
    return true;
}

void TFilerView::SetFilter(std::wstring_view text)
{
    std::unique_ptr<TWildCardExpression> filter;
    if (!IsNoFilterText(text))
        filter = std::make_unique<TWildCardExpression>(text);
    FFilter = std::move(filter);
    Reload(true);
}

std::wstring TFilerView::GetFilterText() const
{
    return FFilter ? FFilter->Source() : std::wstring();
}

void TFilerView::SetSortKind(int kind)
{
    FSortKind = kind;
    Reload(true);
}

void TFilerView::EndUpdate()
{
    --FUpdateCount;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, TRUE);
    InvalidateHeader();
}

void TFilerView::ClimbToReadyFolder()
{
    TExclusiveLock lock;
    TFolderManager* manager = FolderManager();
    if (manager == nullptr)
        return;
    ComPtr<IFolder> folder = FFolder;
    // Each step goes one level up; the desktop above everything is always
    // ready, so the walk ends.
    for (int guard = 0; guard < 1024 && folder && !folder->IsReady(); ++guard) {
        TPath parent;
        folder->GetParentPath(&parent);
        ComPtr<IFolder> next = manager->Folder(parent);
        if (!next || next.get() == folder.get())
            break;
        folder = next;
    }
    if (folder && folder.get() != FFolder.get())
        ChangeFolder(folder.get());
}

void TFilerView::Reload(bool resetState)
{
    if (!FFolder) {
        FItems.clear();
        SetCount(0);
        return;
    }
    if (!FFolder->IsReady()) {
        ClimbToReadyFolder();
        return;
    }
    ++FUpdateCount;
    std::vector<TFileItem*> oldItems;
    std::vector<bool> oldMarks;
    int oldTop = 0;
    int oldCaret = -1;
    if (!resetState) {
        oldItems.swap(FItems);
        oldMarks.resize(oldItems.size());
        for (size_t i = 0; i < oldItems.size(); ++i)
            oldMarks[i] = TLightListBox::IsMarked(static_cast<int>(i));
        oldTop = TopIndex();
        oldCaret = CaretIndex();
    }
    FItems.clear();

    int32_t count = FFolder->GetCount();
    FItems.reserve(static_cast<size_t>(std::max<int32_t>(count, 0)));
    bool filtering = FFilter && IsDirectoryFolder(FFolder.get());
    for (int32_t i = 0; i < count; ++i) {
        TFileItem* item = FFolder->GetItem(i);
        if (item == nullptr)
            continue;
        if (filtering && (item->Attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            !FFilter->Matches(std::wstring_view(item->Name, static_cast<size_t>(item->NameLen)), item->Attributes))
            continue;
        FItems.push_back(item);
    }
    if ((FFolder->GetCapabilities() & kCanSort) != 0 && FSortKind != 0)
        SortFileItems(FItems, static_cast<uint8_t>(FSortKind));

    SetCount(0);
    SetCount(static_cast<int>(FItems.size()));
    if (!resetState) {
        // The old records stay valid while the folder tells its observers.
        std::vector<std::wstring_view> markedNames;
        for (size_t i = 0; i < oldItems.size(); ++i)
            if (oldMarks[i])
                markedNames.emplace_back(oldItems[i]->Name, static_cast<size_t>(oldItems[i]->NameLen));
        for (size_t index : KeptMarks(markedNames, FItems))
            SetMark(static_cast<int32_t>(index), true);
        TListPosition kept = ClampListPosition({oldTop, oldCaret}, Count());
        SetTopIndex(kept.TopIndex);
        if (kept.CaretIndex >= 0)
            SetCaret(kept.CaretIndex);
    }
    --FUpdateCount;
    if (Handle() != nullptr)
        PostMessageW(Handle(), WM_VIEW_REDRAW, 3, 0);
}

void TFilerView::InvalidateHeader()
{
    if (Handle() != nullptr)
        RedrawWindow(Handle(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOERASE | RDW_NOCHILDREN);
}

std::wstring TFilerView::DisplayPath() const
{
    if (!FFolder)
        return {};
    WideString text;
    FFolder->GetDisplayPath(text.put());
    return text.str();
}

void TFilerView::SetCaretByNameText(std::wstring_view name)
{
    for (size_t i = 0; i < FItems.size(); ++i) {
        const TFileItem& item = *FItems[i];
        if (CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, item.Name, item.NameLen, name.data(),
                           static_cast<int>(name.size())) == CSTR_EQUAL) {
            SetCaret(static_cast<int>(i));
            return;
        }
    }
}

// IFilerView

void STDMETHODCALLTYPE TFilerView::GetFolder(IFolder** result)
{
    *result = FFolder.get();
    if (*result != nullptr)
        (*result)->AddRef();
}

void STDMETHODCALLTYPE TFilerView::ChangeFolder(IFolder* folder)
{
    {
        TExclusiveLock lock;
        ComPtr<IFolder> keep(folder);
        if (FFolder)
            FFolder->Detach(this);
        FFolder = keep;
        if (FFolder)
            FFolder->Attach(this);
        if (Handle() != nullptr)
            PostMessageW(Handle(), WM_VIEW_SKIN, 0, 0);
        Reload(true);
    }
    if (FWindow->Handle() != nullptr)
        PostMessageW(FWindow->Handle(), WM_VIEW_CHANGED, 0, 0);
}

TFileItem* STDMETHODCALLTYPE TFilerView::GetViewItem(int32_t index)
{
    return index >= 0 && index < static_cast<int32_t>(FItems.size()) ? FItems[static_cast<size_t>(index)] : nullptr;
}

void STDMETHODCALLTYPE TFilerView::SetCaretByName(BSTR name)
{
    SetCaretByNameText(std::wstring_view(name != nullptr ? name : L"", SysStringLen(name)));
}

HRESULT STDMETHODCALLTYPE TFilerView::GetCaretItem(TFileItem** result)
{
    *result = CaretItem();
    if (*result != nullptr)
        return S_OK;
    return HResultFromException(std::make_exception_ptr(Exception(kNoCaret)));
}

void STDMETHODCALLTYPE TFilerView::FocusView()
{
    if (Handle() != nullptr)
        SetFocus(Handle());
}

void STDMETHODCALLTYPE TFilerView::CloseView()
{
    if (Handle() != nullptr)
        PostMessageW(Handle(), WM_CLOSE_VIEW, 0, 0);
}

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
    if (PerformDrop(data, chosen))
        *effect = chosen;
    return S_OK;
}

bool TFilerView::PerformDrop(IDataObject* data, DWORD effect)
{
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (data->GetData(&format, &medium) != S_OK)
        return false;
    std::wstring directory;
    std::vector<std::wstring> names;
    bool scattered = false;
    if (auto drop = static_cast<HDROP>(GlobalLock(medium.hGlobal))) {
        UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < count; ++i) {
            UINT length = DragQueryFileW(drop, i, nullptr, 0);
            std::wstring path(length + 1, L'\0');
            path.resize(DragQueryFileW(drop, i, path.data(), length + 1));
            wchar_t longPath[MAX_PATH * 4];
            DWORD longLength = GetLongPathNameW(path.c_str(), longPath, MAX_PATH * 4);
            if (longLength > 0 && longLength < MAX_PATH * 4)
                path.assign(longPath, longLength);
            std::wstring dir = ExtractFileDir(path);
            if (i == 0)
                directory = dir;
            else if (SameText(dir, directory) != 0)
                scattered = true;
            names.push_back(ExtractFileName(path));
        }
        GlobalUnlock(medium.hGlobal);
    }
    ReleaseStgMedium(&medium);
    if (scattered) {
        TMessageBox::Show(FWindow->Handle(), L"記録されているファイルの存在位置がばらばらです",
                          L"OLE DataObject によるファイルの受渡し", MB_ICONWARNING);
        return false;
    }
    if (names.empty())
        return false;
    TFileOperationKind kind = (effect & DROPEFFECT_MOVE) != 0   ? TFileOperationKind::Move
                              : (effect & DROPEFFECT_LINK) != 0 ? TFileOperationKind::Link
                                                                : TFileOperationKind::Copy;
    TPath destination;
    FFolder->GetPath(&destination);
    StartFileOperation(kind, std::move(names), destination, TPath::FromPath(directory));
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

// Keys and mouse

bool TFilerView::RunBinding(int shift, UINT key)
{
    switch (DispatchKey(FWindow->KeyAssignment(), shift, key)) {
    case TKeyDispatch::NotBound:
        return false;
    case TKeyDispatch::Refused:
        MessageBeep(MB_OK);
        return true;
    case TKeyDispatch::Performed:
    default:
        return true;
    }
}

bool TFilerView::KeyDown(int shift, UINT key)
{
    if (RunBinding(shift, key))
        return true;
    return TLightListBox::KeyDown(shift, key);
}

void TFilerView::MarkChanged(int index, bool state)
{
    TLightListBox::MarkChanged(index, state);
    // Marking all of 100,000 entries must not repaint the header 100,000
    // times: one request waits in the queue for all of them.
    if (FUpdateCount == 0 && !FHeaderRequested && Handle() != nullptr)
        FHeaderRequested = PostMessageW(Handle(), WM_VIEW_HEADER, 0, 0) != FALSE;
}

void TFilerView::OpenAnotherView(TPath* location)
{
    std::unique_ptr<TPath> owned(location);
    if (owned)
        FWindow->OpenView(*owned);
}

LRESULT TFilerView::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCALCSIZE: {
        LRESULT result = TLightListBox::Dispatch(message, wParam, lParam);
        auto* rect = reinterpret_cast<RECT*>(lParam);
        rect->top = std::min<LONG>(rect->top + FHeaderHeight, rect->bottom);
        return result;
    }
    case WM_NCPAINT: {
        LRESULT result = TLightListBox::Dispatch(message, wParam, lParam);
        PaintHeader();
        return result;
    }
    case WM_NCHITTEST: {
        LRESULT hit = TLightListBox::Dispatch(message, wParam, lParam);
        // The header is part of the view for clicks.
        return hit == HTNOWHERE || hit == HTBORDER ? HTCLIENT : hit;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        LRESULT result = TLightListBox::Dispatch(message, wParam, lParam);
        InvalidateHeader();
        if (message == WM_SETFOCUS)
            FWindow->ViewFocused(this);
        return result;
    }
    case WM_LBUTTONDBLCLK:
        if (!RunBinding(ShiftState(), VK_LBUTTON))
            MessageBeep(MB_OK);
        return 0;
    case WM_MBUTTONUP:
        if (!RunBinding(ShiftState(), VK_MBUTTON))
            MessageBeep(MB_OK);
        return 0;
    case WM_RBUTTONUP:
        if (RunBinding(ShiftState(), VK_RBUTTON))
            return 0;
        return TLightListBox::Dispatch(message, wParam, lParam);
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        FPressPoint = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        FPressed = true;
        return TLightListBox::Dispatch(message, wParam, lParam);
    case WM_MOUSEMOVE:
        if (FPressed && (wParam & (MK_LBUTTON | MK_RBUTTON)) != 0) {
            int x = static_cast<short>(LOWORD(lParam));
            int y = static_cast<short>(HIWORD(lParam));
            if (std::abs(x - FPressPoint.x) > GetSystemMetrics(SM_CXDRAG) ||
                std::abs(y - FPressPoint.y) > GetSystemMetrics(SM_CYDRAG)) {
                FPressed = false;
                StartDrag();
                return 0;
            }
        }
        return TLightListBox::Dispatch(message, wParam, lParam);
    case WM_VIEW_SKIN:
        ApplySkin();
        return 0;
    case WM_VIEW_HEADER:
        FHeaderRequested = false;
        InvalidateHeader();
        return 0;
    case WM_OPEN_ANOTHER_VIEW:
        OpenAnotherView(reinterpret_cast<TPath*>(lParam));
        return 0;
    case WM_CLOSE_VIEW:
        FWindow->CloseView(this);
        return 0;
    case WM_VIEW_REDRAW:
        if (FUpdateCount == 0) {
            InvalidateRect(Handle(), nullptr, TRUE);
            InvalidateHeader();
        }
        return 0;
    case WM_DESTROY:
        TearDown();
        return TLightListBox::Dispatch(message, wParam, lParam);
    default:
        return TLightListBox::Dispatch(message, wParam, lParam);
    }
}

// Skin and painting

void TFilerView::LoadBitmaps()
{
    if (FBitmapsLoaded)
        return;
    FBitmapsLoaded = true;
    const TSkin& skin = CurrentSkin();
    FBackgroundBitmap.reset(LoadPicture(skin.Background));
    FHeaderBitmap.reset(LoadPicture(skin.Info));
    FKindBitmaps[0].reset(LoadPicture(skin.NameSpace));
    FKindBitmaps[1].reset(LoadPicture(skin.Founds));
    FKindBitmaps[2].reset(LoadPicture(skin.Archive));
}

void TFilerView::ApplySkin()
{
    LoadBitmaps();
    FKindBitmap = nullptr;
    if (IsNameSpaceFolder(FFolder.get()))
        FKindBitmap = static_cast<HBITMAP>(FKindBitmaps[0].get());
    else if (IsArchiveFolder(FFolder.get()))
        FKindBitmap = static_cast<HBITMAP>(FKindBitmaps[2].get());
    const TSkin& skin = CurrentSkin();
    const COLORREF colours[kViewColourCount] = {skin.BackgroundColor, skin.FileName,  skin.SystemFile,
                                                skin.Hidden,          skin.ReadOnly,  skin.Directory,
                                                skin.Virtual,         skin.Selected,  skin.Line,
                                                skin.InfoText,        skin.SelectedInfoText};
    std::copy(std::begin(colours), std::end(colours), FColours);
    SetBackColor(FColours[kColourBackground]);
    bool opaque = FBackgroundBitmap.get() == nullptr && FKindBitmap == nullptr;
    SetDrawStyle(opaque ? (DrawStyle() | kDrawOpaque) : (DrawStyle() & ~kDrawOpaque));
    FLinePen.reset(CreatePen(PS_SOLID, 1, FColours[kColourLine]));
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, TRUE);
}

void TFilerView::PaintBackground(HDC dc, const RECT& clip)
{
    RECT client{};
    GetClientRect(Handle(), &client);
    int viewsBefore = 0;
    for (TFilerView* view = FPrevView; view != nullptr; view = view->FPrevView)
        ++viewsBefore;
    if (FBackgroundBitmap) {
        TileBitmap(dc, static_cast<HBITMAP>(FBackgroundBitmap.get()), clip, viewsBefore * client.right);
    } else {
        HBRUSH brush = CreateSolidBrush(FColours[kColourBackground]);
        FillRect(dc, &clip, brush);
        DeleteObject(brush);
    }
    if (FKindBitmap != nullptr)
        DrawEmblem(dc, FKindBitmap, client.right - kKindBitmapInset, client.bottom - kKindBitmapInset);
}

void TFilerView::DrawNameLine(HDC dc, const TFileItem& item, bool marked, int x0, int top, int right)
{
    SetTextColor(dc, FColours[static_cast<int>(NameColorRole(item, marked))]);
    HGDIOBJ oldFont = SelectObject(dc, FNameFont ? FNameFont.get() : FWindow->Font());
    std::wstring_view name(item.DisplayName, static_cast<size_t>(item.DisplayNameLen));
    int width = kNameColumns * FCharWidth;
    RECT measure{0, 0, width, FCharHeight};
    DrawTextW(dc, name.data(), static_cast<int>(name.size()), &measure,
              DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS | DT_CALCRECT);
    DrawFitted(dc, x0, top, name, width);
    SelectObject(dc, oldFont);
    // A leader line from the end of the name to column 47 and down.
    int nameEnd = x0 + std::min<int>(measure.right, width);
    int lineEnd = x0 + kNameLineEndColumn * FCharWidth;
    int middle = top + FCharHeight / 2;
    if (nameEnd < lineEnd) {
        HGDIOBJ oldPen = SelectObject(dc, FLinePen.get());
        MoveToEx(dc, nameEnd + FCharWidth / 2, middle, nullptr);
        LineTo(dc, lineEnd, middle);
        LineTo(dc, lineEnd, top + FCharHeight);
        SelectObject(dc, oldPen);
    }
}

void TFilerView::DrawInfoLine(HDC dc, const TFileItem& item, bool marked, int x0, int top)
{
    for (const TTextRun& run : InfoLineRuns(item, marked)) {
        SetTextColor(dc, FColours[static_cast<int>(run.Role)]);
        int x = x0 + run.Column * FCharWidth;
        if (run.MaxColumns > 0)
            DrawFitted(dc, x, top, run.Text, run.MaxColumns * FCharWidth);
        else
            DrawAt(dc, x, top, run.Text);
    }
}

void TFilerView::DrawItem(int index, HDC dc, const RECT& rect)
{
    if (index < 0 || index >= static_cast<int>(FItems.size()))
        return;
    const TFileItem& item = *FItems[static_cast<size_t>(index)];
    bool marked = TLightListBox::IsMarked(index);
    SetBkMode(dc, TRANSPARENT);
    int x0 = rect.left + FCharWidth;
    DrawNameLine(dc, item, marked, x0, rect.top, rect.right);
    HGDIOBJ oldFont = SelectObject(dc, FWindow->Font());
    DrawInfoLine(dc, item, marked, x0, rect.top + FCharHeight);
    SelectObject(dc, oldFont);
}

void TFilerView::PaintHeader()
{
    if (Handle() == nullptr || FHeaderHeight <= 0)
        return;
    RECT window{};
    GetWindowRect(Handle(), &window);
    int width = window.right - window.left;
    RECT header{0, 0, width, FHeaderHeight};
    HDC windowDC = GetWindowDC(Handle());
    HDC dc = CreateCompatibleDC(windowDC);
    HBITMAP canvas = CreateCompatibleBitmap(windowDC, width, FHeaderHeight);
    HGDIOBJ oldCanvas = SelectObject(dc, canvas);

    if (FHeaderBitmap) {
        int shift = 0;
        for (TFilerView* view = FPrevView; view != nullptr; view = view->FPrevView)
            shift += view->ViewWidth();
        TileBitmap(dc, static_cast<HBITMAP>(FHeaderBitmap.get()), header, shift);
    } else {
        FillRect(dc, &header, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    UINT sides = BF_TOP | BF_BOTTOM;
    if (FPrevView == nullptr)
        sides |= BF_LEFT;
    if (FNextView == nullptr)
        sides |= BF_RIGHT;
    RECT edge = header;
    DrawEdge(dc, &edge, EDGE_SUNKEN, sides);

    bool focused = GetFocus() == Handle() && GetForegroundWindow() == FWindow->Handle();
    SetTextColor(dc, focused ? kFocusedHeaderText : GetSysColor(COLOR_INFOBK));
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = SelectObject(dc, FWindow->Font());
    int border = GetSystemMetrics(SM_CXEDGE);
    int x = border + 1;
    int y = border + 1;
    int line = 0;
    int right = width - border - 1;
    for (const std::wstring& piece : BreakDisplayPath(DisplayPath())) {
        SIZE size{};
        GetTextExtentPoint32W(dc, piece.c_str(), static_cast<int>(piece.size()), &size);
        if (x + size.cx > right && x > border + 1 + 4 * FCharWidth) {
            if (++line >= 3)
                break;
            x = border + 1 + 4 * FCharWidth;
            y += FCharHeight;
        }
        DrawAt(dc, x, y, piece);
        x += size.cx;
    }
    int total = FFolder ? FFolder->GetCount() : 0;
    std::wstring counters =
        HeaderCounterText(MarkedCount(), Count(), FFilter ? std::optional<int32_t>(total) : std::nullopt);
    int counterX = (kCounterEndColumn - static_cast<int>(counters.size())) * FCharWidth + 3;
    int bottomLine = border + 1 + 3 * FCharHeight;
    DrawAt(dc, counterX, bottomLine, counters);
    std::wstring note = FFilter ? FFilter->Source() : std::wstring();
    if (!note.empty()) {
        int room = counterX - 3 - 4 * FCharWidth;
        DrawFitted(dc, 3, bottomLine, note, std::max(room, FCharWidth));
    }
    SelectObject(dc, oldFont);

    BitBlt(windowDC, 0, 0, width, FHeaderHeight, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldCanvas);
    DeleteObject(canvas);
    DeleteDC(dc);
    ReleaseDC(Handle(), windowDC);
}

// ---------------------------------------------------------------------------
// TFilerWindow

namespace {

// Pixel widths of the status bar's panes: the view pane is as wide as its
// marks need.
constexpr int kViewPaneMarkWidth = 14;

std::wstring LastErrorFreeSpaceText(const std::wstring& path)
{
    ULARGE_INTEGER available{};
    UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    BOOL ok = GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr);
    SetErrorMode(previous);
    return ok ? FreeSpaceText(static_cast<int64_t>(available.QuadPart)) : FreeSpaceText(std::nullopt);
}

} // namespace

TFilerWindow::TFilerWindow(TPath start) : FStart(std::move(start)) {}

TFilerWindow::~TFilerWindow() = default;

void TFilerWindow::CreateFilerWindow()
{
    HDC screen = GetDC(nullptr);
    int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    LOGFONTW logFont{};
    logFont.lfHeight = -MulDiv(9, pixelsPerInch, 72);
    logFont.lfCharSet = DEFAULT_CHARSET;
    logFont.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    wcsncpy(logFont.lfFaceName, L"MS ゴシック", LF_FACESIZE - 1);
    FFont.reset(CreateFontIndirectW(&logFont));

    FKeyAssignment = new TKeyAssignment;
    FKeyAssignment->SetOwner(this);
    FMainMenu = new TMainMenu;
    FMainMenu->SetOwner(this);

    TWindowStruct create;
    create.WindowName = LocationDisplayName(FStart);
    CreateHandle(create);

    FStatusBar = new TStatusBar(this, {kViewPaneMarkWidth, -1});

    ComPtr<IFolder> folder;
    {
        TExclusiveLock lock;
        if (TFolderManager* manager = FolderManager())
            folder = manager->Folder(FStart);
    }
    TFilerView* view = new TFilerView(this, nullptr, folder.get());
    FCurrentView = view;
    view->FocusView();

    RECT frame{0, 0, view->ViewWidth(), 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), TRUE,
                       static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
    RECT window{};
    GetWindowRect(Handle(), &window);
    SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, window.bottom - window.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutViews();
    PostViewChanged();
    FStart.Clear();
}

void TFilerWindow::LinkView(TFilerView* view, TFilerView* after)
{
    if (after == nullptr)
        after = FLastView;
    view->FPrevView = after;
    view->FNextView = after != nullptr ? after->FNextView : nullptr;
    if (after != nullptr)
        after->FNextView = view;
    else
        FFirstView = view;
    if (view->FNextView != nullptr)
        view->FNextView->FPrevView = view;
    else
        FLastView = view;
    ++FViewCount;
}

void TFilerWindow::UnlinkView(TFilerView* view)
{
    if (view->FPrevView != nullptr)
        view->FPrevView->FNextView = view->FNextView;
    else
        FFirstView = view->FNextView;
    if (view->FNextView != nullptr)
        view->FNextView->FPrevView = view->FPrevView;
    else
        FLastView = view->FPrevView;
    if (FCurrentView == view)
        FCurrentView = view->FNextView != nullptr ? view->FNextView : view->FPrevView;
    view->FPrevView = view->FNextView = nullptr;
    --FViewCount;
}

IFilerView* TFilerWindow::EnumViews(bool (*callback)(IFilerView* view, void* data), void* data)
{
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView)
        if (callback(view, data))
            return view;
    return nullptr;
}

TFilerView* TFilerWindow::OpenView(const TPath& location)
{
    TFilerView* view = nullptr;
    {
        TExclusiveLock lock;
        ComPtr<IFolder> folder;
        if (TFolderManager* manager = FolderManager())
            folder = manager->Folder(location);
        view = new TFilerView(this, FCurrentView, folder.get());
    }
    FCurrentView = view;
    view->FocusView();

    // Widen the window to show every view when the work area has room.
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT window{};
    GetWindowRect(Handle(), &window);
    int wanted = FViewCount * view->ViewWidth() + 2 * GetSystemMetrics(SM_CXFRAME);
    if (wanted <= work.right - work.left) {
        int left = std::min<int>(window.left, work.right - wanted);
        SetWindowPos(Handle(), nullptr, left, window.top, wanted, window.bottom - window.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    LayoutViews();
    PostViewChanged();
    return view;
}

void TFilerWindow::CloseView(TFilerView* view)
{
    if (FViewCount <= 1 || view == nullptr)
        return;
    view->TearDown();
    T0Object::Free(view);
    LayoutViews();
    PostViewChanged();
}

void TFilerWindow::ViewFocused(TFilerView* view)
{
    if (view == FCurrentView || !IsWindowVisible(Handle()))
        return;
    TFilerView* old = FCurrentView;
    FCurrentView = view;
    if (old != nullptr)
        old->InvalidateHeader();
    view->InvalidateHeader();
    LayoutViews();
    PostViewChanged();
}

void TFilerWindow::Navigate(const TPath& location)
{
    if (FCurrentView == nullptr)
        return;
    ComPtr<IFolder> folder;
    {
        TExclusiveLock lock;
        if (TFolderManager* manager = FolderManager())
            folder = manager->Folder(location);
    }
    if (folder)
        FCurrentView->ChangeFolder(folder.get());
}

bool TFilerWindow::QueueNavigation(std::wstring location)
{
    HWND handle = Handle();
    if (handle == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> guard(FQueueLock);
        FQueued.push_back(std::move(location));
    }
    // The request stays queued either way: a window that is going frees it
    // with itself.
    return PostMessageW(handle, WM_NIMBRA_NAVIGATE, 0, 0) != FALSE;
}

void TFilerWindow::NavigateQueued()
{
    std::vector<std::wstring> queued;
    {
        std::lock_guard<std::mutex> guard(FQueueLock);
        queued.swap(FQueued);
    }
    for (const std::wstring& location : queued)
        Navigate(ParsePath(location));
}

void TFilerWindow::PostViewChanged()
{
    if (Handle() != nullptr)
        PostMessageW(Handle(), WM_VIEW_CHANGED, 0, 0);
}

void TFilerWindow::SizePanes()
{
    // The view pane on the right is as wide as its marks; the info pane
    // takes the rest.
    RECT client{};
    GetClientRect(Handle(), &client);
    int marks = kViewPaneMarkWidth * std::max(FViewCount, 1) + 8;
    FStatusBar->SetPanes({std::max<int>(client.right - marks, 1), -1});
}

int TFilerWindow::StatusBarHeight() const
{
    return FStatusBar != nullptr ? FStatusBar->Height() : 0;
}

void TFilerWindow::LayoutViews()
{
    if (FFirstView == nullptr || Handle() == nullptr)
        return;
    RECT client{};
    GetClientRect(Handle(), &client);
    if (FStatusBar != nullptr)
        SizePanes();
    int width = FFirstView->ViewWidth();
    int height = std::max<int>(0, client.bottom - StatusBarHeight());
    int currentIndex = 0;
    int index = 0;
    std::vector<HWND> handles;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView, ++index) {
        if (view == FCurrentView)
            currentIndex = index;
        handles.push_back(view->Handle());
    }
    int currentLeft = 0;
    if (FCurrentView != nullptr && FCurrentView->Handle() != nullptr) {
        RECT rect{};
        GetWindowRect(FCurrentView->Handle(), &rect);
        MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&rect), 2);
        currentLeft = rect.left;
    }
    TViewStripLayout layout = LayoutViewStrip(FViewCount, width, client.right, currentIndex, currentLeft);
    if (layout.ShrinkClient) {
        RECT frame{0, 0, layout.ClientWidth, client.bottom};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), GetMenu(Handle()) != nullptr,
                           static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
        if (!IsZoomed(Handle()))
            SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    HDWP positions = BeginDeferWindowPos(static_cast<int>(handles.size()));
    for (size_t i = 0; i < handles.size(); ++i)
        if (positions != nullptr)
            positions = DeferWindowPos(positions, handles[i], nullptr, layout.ViewX[i], 0, width, height,
                                       SWP_NOZORDER | SWP_NOACTIVATE);
    if (positions != nullptr)
        EndDeferWindowPos(positions);
}

std::wstring TFilerWindow::ViewPaneText() const
{
    int current = 0;
    int index = 0;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView, ++index)
        if (view == FCurrentView)
            current = index;
    return ::ViewPaneText(FViewCount, current);
}

std::wstring TFilerWindow::InfoPaneText() const
{
    TFilerView* view = FCurrentView;
    if (view == nullptr || !IsDirectoryFolder(view->Folder()))
        return {};
    if (view->MarkedCount() > 0) {
        bool anyDirectory = false;
        int64_t total = 0;
        for (TFileItem* item : view->GetSelection()) {
            if ((item->Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                anyDirectory = true;
                break;
            }
            total += std::max<int64_t>(item->Size, 0);
        }
        if (!anyDirectory)
            return SelectedSizeText(total);
    }
    TPath location;
    view->Folder()->GetPath(&location);
    return LastErrorFreeSpaceText(std::wstring(location.PathView()));
}

void TFilerWindow::ViewChanged()
{
    MSG pending;
    // Several requests in the queue: the last one does the work.
    if (PeekMessageW(&pending, Handle(), WM_VIEW_CHANGED, WM_VIEW_CHANGED, PM_NOREMOVE))
        return;
    if (FStatusBar != nullptr) {
        SizePanes();
        FStatusBar->SetText(0, InfoPaneText());
        FStatusBar->SetText(1, ViewPaneText());
    }
    if (FCurrentView != nullptr)
        SetWindowTextW(Handle(), FCurrentView->DisplayPath().c_str());
}

std::wstring TFilerWindow::ComputeStatusText()
{
    if ((FLoopFlags & kMenuLoop) != 0)
        return MenuCommandHint(FMenuCommand);
    if (FCurrentView == nullptr || FCurrentView->Folder() == nullptr)
        return {};
    WideString text;
    FCurrentView->Folder()->GetStatusText(FCurrentView->CaretItem(), text.put());
    return text.str();
}

void TFilerWindow::Idle()
{
    T0MainWindow::Idle();
    // The open menu is the system's while it is shown.
    if (FMainMenu != nullptr && (FLoopFlags & kMenuLoop) == 0)
        FMainMenu->Update();
    // The info pane follows the marks; the free space is asked for again
    // only when something it depends on changed.
    if (FStatusBar != nullptr && FCurrentView != nullptr) {
        TInfoPaneKey key{FCurrentView, FCurrentView->Folder(), FCurrentView->MarkedCount(), FCurrentView->Count()};
        if (!(key == FInfoPaneKey)) {
            FInfoPaneKey = key;
            FStatusBar->SetText(0, InfoPaneText());
        }
    }
}

void TFilerWindow::Activated(bool active, bool minimized)
{
    HIMC context = ImmGetContext(Handle());
    if (context != nullptr) {
        if (active)
            ImmSetOpenStatus(context, FALSE);
        ImmReleaseContext(Handle(), context);
    }
    EnableIme(Handle(), !active);
    if (FCurrentView != nullptr)
        FCurrentView->InvalidateHeader();
    if (active && !FWasActivated) {
        FWasActivated = true;
        ForceForeground();
    }
}

void TFilerWindow::ForceForeground()
{
    // Another program's foreground window keeps the system from handing the
    // foreground over unless the two input queues are joined for a moment.
    // Never join with a window thread of this program: that thread may be
    // waiting for the application lock, and joined queues then block both.
    HWND foreground = GetForegroundWindow();
    DWORD foregroundProcess = 0;
    DWORD foregroundThread = foreground != nullptr ? GetWindowThreadProcessId(foreground, &foregroundProcess) : 0;
    DWORD ownThread = GetCurrentThreadId();
    if (foregroundThread != 0 && foregroundProcess != GetCurrentProcessId() &&
        AttachThreadInput(ownThread, foregroundThread, TRUE)) {
        SetForegroundWindow(Handle());
        SetWindowPos(Handle(), nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
        SendMessageW(Handle(), WM_NCACTIVATE, TRUE, 0);
        AttachThreadInput(ownThread, foregroundThread, FALSE);
    } else {
        SetForegroundWindow(Handle());
    }
}

void TFilerWindow::MinMaxInfo(MINMAXINFO& info)
{
    if (FFirstView == nullptr)
        return;
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), GetMenu(Handle()) != nullptr,
                       static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
    int frameWidth = frame.right - frame.left;
    int frameHeight = frame.bottom - frame.top;
    int width = FFirstView->ViewWidth();
    info.ptMinTrackSize.x = width + frameWidth;
    info.ptMinTrackSize.y = StatusBarHeight() + 8 * FFirstView->CharHeight() + 9 + FFirstView->HeaderHeight() + frameHeight;
    info.ptMaxTrackSize.x = FViewCount * width + frameWidth;
    info.ptMaxSize.x = info.ptMaxTrackSize.x;
    info.ptMaxSize.y = GetSystemMetrics(SM_CYMAXIMIZED);
}

bool TFilerWindow::StateText(std::wstring_view item, std::wstring& answer)
{
    TFilerView* view = FCurrentView;
    wchar_t buffer[64];
    if (item == L"Caption") {
        int length = GetWindowTextLengthW(Handle());
        answer.assign(static_cast<size_t>(length) + 1, L'\0');
        answer.resize(static_cast<size_t>(GetWindowTextW(Handle(), answer.data(), length + 1)));
        return true;
    }
    if (item == L"Status") {
        answer = FStatusBar != nullptr ? FStatusBar->Text(0) + L"\t" + FStatusBar->Text(1) : std::wstring();
        return true;
    }
    if (item == L"Views") {
        answer = std::to_wstring(FViewCount) + L" " + std::to_wstring(CurrentViewIndex());
        return true;
    }
    if (view == nullptr)
        return false;
    if (item == L"Folder") {
        TPath location;
        if (view->Folder() != nullptr)
            view->Folder()->GetPath(&location);
        answer = PathToString(location);
        return true;
    }
    if (item == L"Caret") {
        TFileItem* caret = view->CaretItem();
        answer = caret != nullptr ? std::wstring(caret->Name, static_cast<size_t>(caret->NameLen)) : std::wstring();
        return true;
    }
    if (item == L"Marked") {
        answer.clear();
        for (int i = 0; i < view->Count(); ++i)
            if (view->TLightListBox::IsMarked(i)) {
                const TFileItem* entry = view->Items()[static_cast<size_t>(i)];
                answer.append(entry->Name, static_cast<size_t>(entry->NameLen));
                answer += L"\r\n";
            }
        return true;
    }
    if (item == L"Counts") {
        int total = view->Folder() != nullptr ? view->Folder()->GetCount() : 0;
        swprintf(buffer, 64, L"%d/%d/%d", view->MarkedCount(), view->Count(), total);
        answer = buffer;
        return true;
    }
    if (item == L"Names") {
        answer.clear();
        for (const TFileItem* entry : view->Items()) {
            answer.append(entry->Name, static_cast<size_t>(entry->NameLen));
            answer += L"\r\n";
        }
        return true;
    }
    if (item == L"Filter") {
        answer = view->GetFilterText();
        return true;
    }
    if (item == L"Sort") {
        answer = std::to_wstring(view->SortKind());
        return true;
    }
    return false;
}

int TFilerWindow::CurrentViewIndex() const
{
    int index = 0;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView, ++index)
        if (view == FCurrentView)
            return index;
    return -1;
}

LRESULT TFilerWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_VIEW_CHANGED:
        ViewChanged();
        return 0;
    case WM_FOCUS_VIEW: {
        SetForegroundWindow(Handle());
        auto target = reinterpret_cast<HWND>(wParam);
        if (target != nullptr && IsWindow(target))
            SetFocus(target);
        return 0;
    }
    case WM_NIMBRA_NAVIGATE:
        NavigateQueued();
        return 0;
    case WM_NIMBRA_STATE: {
        auto* request = reinterpret_cast<TStateRequest*>(lParam);
        request->Known = StateText(request->Item, request->Answer);
        return 1;
    }
    case WM_SIZE: {
        LRESULT result = T0MainWindow::Dispatch(message, wParam, lParam);
        LayoutViews();
        return result;
    }
    case WM_SETFOCUS:
        if (FCurrentView != nullptr)
            FCurrentView->FocusView();
        return 0;
    case WM_ACTIVATE: {
        LRESULT result = T0MainWindow::Dispatch(message, wParam, lParam);
        Activated(LOWORD(wParam) != WA_INACTIVE, HIWORD(wParam) != 0);
        return result;
    }
    case WM_GETMINMAXINFO:
        T0MainWindow::Dispatch(message, wParam, lParam);
        MinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    case WM_INITMENUPOPUP:
        MenuInitPopup(wParam, lParam);
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_MEASUREITEM:
        if (wParam == 0 && MenuMeasureItem(lParam))
            return TRUE;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_DRAWITEM:
        if (wParam == 0 && MenuDrawItem(lParam))
            return TRUE;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_MENUCHAR:
        if (LRESULT result = MenuChar(wParam, lParam))
            return result;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_DESTROY:
        FClosing = true;
        for (TFilerView* view = FFirstView; view != nullptr;) {
            TFilerView* next = view->FNextView;
            view->TearDown();
            view = next;
        }
        return T0MainWindow::Dispatch(message, wParam, lParam);
    default:
        return T0MainWindow::Dispatch(message, wParam, lParam);
    }
}

// IKeyTable

HRESULT STDMETHODCALLTYPE TFilerWindow::AddHook(IKeyAssignment* hook)
{
    return FKeyAssignment->AddHook(hook);
}

HRESULT STDMETHODCALLTYPE TFilerWindow::RemoveHook(IKeyAssignment* hook)
{
    return FKeyAssignment->RemoveHook(hook);
}

HRESULT STDMETHODCALLTYPE TFilerWindow::Lookup(int32_t modifiers, int32_t key, IAction** action)
{
    return FKeyAssignment->Lookup(modifiers, key, action);
}

// ---------------------------------------------------------------------------
// Lookups

TFilerView* CurrentView()
{
    T0GUIThread* thread = CurrentGUIThread();
    auto* window = dynamic_cast<TFilerWindow*>(thread->MainWindow());
    return window != nullptr ? window->CurrentView() : nullptr;
}

TFilerView* ForegroundView()
{
    auto* window = dynamic_cast<TFilerWindow*>(ProcessWindowOf(GetForegroundWindow()));
    return window != nullptr ? window->CurrentView() : nullptr;
}

namespace {

struct TFindFiler {
    bool (*Test)(HWND window, void* data);
    void* Data;
    HWND Found;
};

BOOL CALLBACK FindFilerProc(HWND window, LPARAM param)
{
    auto* find = reinterpret_cast<TFindFiler*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId())
        return TRUE;
    wchar_t className[64];
    if (GetClassNameW(window, className, 64) == 0 || wcscmp(className, kFilerWindowClass) != 0)
        return TRUE;
    if (find->Test != nullptr && !find->Test(window, find->Data))
        return TRUE;
    find->Found = window;
    return FALSE;
}

} // namespace

HWND FindFilerWindow(bool (*test)(HWND window, void* data), void* data)
{
    TFindFiler find{test, data, nullptr};
    EnumWindows(FindFilerProc, reinterpret_cast<LPARAM>(&find));
    return find.Found;
}

// ---------------------------------------------------------------------------
// The destination folder dialog

namespace {

constexpr TEntryData kBrowseEntry = -1;

struct TFolderChoice {
    std::wstring Text;
    TPath Location;
};

struct TChoiceCollector {
    TPath Current;
    std::vector<TFolderChoice> Choices;

    // Adds the folder of view unless it is the current one, cannot take
    // files or is listed already.
    void Add(TFilerView* view)
    {
        IFolder* folder = view->Folder();
        if (folder == nullptr || (folder->GetCapabilities() & kCanModify) == 0)
            return;
        TPath location;
        folder->GetPath(&location);
        if (location == Current)
            return;
        for (const TFolderChoice& choice : Choices)
            if (choice.Location == location)
                return;
        Choices.push_back({view->DisplayPath(), std::move(location)});
    }
};

struct TBrowseContext {
    TChoiceCollector* Collector;
    std::wstring Caption;
    std::wstring Start;
};

// Confirming the browse entry opens the folder browser instead of closing
// the dialog; a folder chosen there becomes a selected entry.
bool BrowseOnConfirm(T0DialogWindow* window, void* data)
{
    auto* dialog = static_cast<TSelectDialog*>(window);
    auto* browse = static_cast<TBrowseContext*>(data);
    if (dialog->ItemIndex() < 0 || dialog->ItemData() != kBrowseEntry)
        return true;
    TOwned<TBrowseFolderDialog> browser(new TBrowseFolderDialog(dialog->Handle(), browse->Caption, browse->Start));
    if (browser->Execute() && !browser->Path().empty()) {
        std::wstring chosen = browser->Path();
        browse->Collector->Choices.push_back({chosen, TPath::FromPath(chosen)});
        int index = dialog->InsertEntry(dialog->Count() - 1, chosen,
                                        static_cast<TEntryData>(browse->Collector->Choices.size() - 1));
        dialog->SetItemIndex(index);
        dialog->SetChecked(true);
    }
    return false;
}

bool CollectOtherWindow(HWND handle, void* data)
{
    auto* collector = static_cast<TChoiceCollector*>(data);
    auto* window = dynamic_cast<TFilerWindow*>(ProcessWindowOf(handle));
    if (window != nullptr && window->Handle() != nullptr && GetWindowThreadProcessId(handle, nullptr) != GetCurrentThreadId())
        for (TFilerView* view = window->FirstView(); view != nullptr; view = view->NextView())
            collector->Add(view);
    return false;
}

} // namespace

bool ChooseFolder(const std::wstring& caption, TPath& path)
{
    TFilerView* current = CurrentView();
    Assert(current != nullptr, kUnit, L"ChooseFolder without a current view");
    TChoiceCollector collector;
    {
        // The views of other windows live on other threads.
        TExclusiveLock lock;
        if (current->Folder() != nullptr)
            current->Folder()->GetPath(&collector.Current);
        for (TFilerView* view = current->Window()->FirstView(); view != nullptr; view = view->NextView())
            collector.Add(view);
        FindFilerWindow(CollectOtherWindow, &collector);
        if (current->Folder() != nullptr && (current->Folder()->GetCapabilities() & kCanModify) != 0)
            collector.Choices.push_back({L". (" + current->DisplayPath() + L")", collector.Current});
    }

    TOwned<TSelectDialog> dialog(new TSelectDialog(current->Window()->Handle(), caption));
    for (size_t i = 0; i < collector.Choices.size(); ++i)
        dialog->AddEntry(collector.Choices[i].Text, static_cast<TEntryData>(i));
    dialog->AddEntry(L"...", kBrowseEntry);
    dialog->SetCheckBox(L"選択フォルダを開く(&S)", false);
    TBrowseContext browse{&collector, caption, std::wstring(collector.Current.PathView())};
    dialog->SetValidation(BrowseOnConfirm, &browse);
    if (!dialog->Execute())
        return false;
    TEntryData chosen = dialog->ItemData();
    Assert(chosen >= 0 && static_cast<size_t>(chosen) < collector.Choices.size(), kUnit,
           L"the chosen destination has no folder");
    path = collector.Choices[static_cast<size_t>(chosen)].Location;
    if (dialog->Checked() && current->Handle() != nullptr) {
        auto* another = new TPath(path);
        if (!PostMessageW(current->Handle(), WM_OPEN_ANOTHER_VIEW, 0, reinterpret_cast<LPARAM>(another)))
            delete another;
    }
    return true;
}
