// The file list view: its folder, items, marks, keys and skin.
#include "view/UView.h"

// Own
#include "view/UViewInternal.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <commctrl.h>

// Standard library
#include <algorithm>
#include <cwchar>

using namespace viewinternal;

// ---------------------------------------------------------------------------
// TFilerView

TFilerView::TFilerView(TFilerWindow* window, TFilerView* after, IFolder* folder) : FWindow(window)
{
    SetOwner(window);
    SetMarkStyle(kMarkMulti);
    window->LinkView(this, after);
    try {
        if (CurrentSkin().FlatScrollBar)
            SetFlatScrollBar(true);
        Create(window->Handle(), RECT{0, 0, 100, 100});
        SetUpView(folder);
    } catch (...) {
        // A view that does not come up leaves no trace: the window's list
        // keeps no pointer to what is about to be freed, and its folder no
        // longer tells it of changes.
        Abandon();
        throw;
    }
}

void TFilerView::Abandon() noexcept
{
    try {
        if (FSetUp) {
            TearDown();
        } else {
            FWindow->UnlinkView(this);
            TExclusiveLock lock;
            if (FFolder) {
                FFolder->Detach(this);
                FFolder.reset();
            }
            FItems.clear();
        }
        if (Handle() != nullptr)
            RevokeDragDrop(Handle());
    } catch (...) {
        // Nothing more can be undone; the exception that brought us here is
        // the one reported. (The owner forgets the view in its destructor.)
    }
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
    CheckItemAccess();
    int caret = CaretIndex();
    return caret >= 0 && caret < static_cast<int>(FItems.size()) ? FItems[static_cast<size_t>(caret)] : nullptr;
}

std::vector<TFileItem*> TFilerView::GetSelection() const
{
    CheckItemAccess();
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
    CheckItemAccess();
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
    ++FChangeSerial;
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
    CheckItemAccess();
    for (size_t i = 0; i < FItems.size(); ++i) {
        const TFileItem& item = *FItems[i];
        if (CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, item.Name, item.NameLen, name.data(),
                           static_cast<int>(name.size())) == CSTR_EQUAL) {
            SetCaret(static_cast<int>(i));
            return;
        }
    }
}

int TFilerView::FindByPrefix(std::wstring_view text) const
{
    CheckItemAccess();
    // The longest prefix first: the first entry that matches at a length
    // wins, so the earlier entry takes a tie.
    for (size_t length = text.size(); length > 0; --length) {
        for (size_t i = 0; i < FItems.size(); ++i) {
            const TFileItem& item = *FItems[i];
            // A module's record never lets the search read past the name.
            int available = std::clamp<int32_t>(item.DisplayNameLen, 0, static_cast<int32_t>(std::size(item.DisplayName)));
            if (static_cast<size_t>(available) < length)
                continue;
            if (CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, item.DisplayName, static_cast<int>(length),
                               text.data(), static_cast<int>(length)) == CSTR_EQUAL)
                return static_cast<int>(i);
        }
    }
    return -1;
}

bool TFilerView::SearchByName(std::wstring_view text)
{
    int found = FindByPrefix(text);
    if (found < 0)
        return false;
    SetCaret(found);
    return true;
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
    CheckItemAccess();
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
    ++FChangeSerial;
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
        FPressed = false;
        if (RunBinding(ShiftState(), VK_RBUTTON))
            return 0;
        return TLightListBox::Dispatch(message, wParam, lParam);
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        FPressPoint = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        FPressed = true;
        return TLightListBox::Dispatch(message, wParam, lParam);
    case WM_LBUTTONUP:
        FPressed = false;
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
    case WM_DESTROY: {
        TearDown();
        // Requests to open another view that came too late own a location
        // nobody else will free.
        MSG late;
        while (PeekMessageW(&late, Handle(), WM_OPEN_ANOTHER_VIEW, WM_OPEN_ANOTHER_VIEW, PM_REMOVE))
            delete reinterpret_cast<TPath*>(late.lParam);
        return TLightListBox::Dispatch(message, wParam, lParam);
    }
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
    else if (IsFoundsFolder(FFolder.get()))
        FKindBitmap = static_cast<HBITMAP>(FKindBitmaps[1].get());
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

