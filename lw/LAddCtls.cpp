#include "lw/LAddCtls.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>

namespace {

constexpr std::wstring_view kUnit = L"LAddCtls";

using UniqueDC = UniqueResource<NullIsInvalid<HDC, ::DeleteDC>>;
using UniqueBitmap = UniqueResource<NullIsInvalid<HBITMAP, ::DeleteObject>>;
using UniqueBrush = UniqueResource<NullIsInvalid<HBRUSH, ::DeleteObject>>;

// Puts an object back into a DC when it goes, before the DC or the object
// selected in its place is deleted.
class TSelected {
public:
    TSelected(HDC dc, HGDIOBJ object) : FDC(dc), FOld(SelectObject(dc, object)) {}
    ~TSelected() { SelectObject(FDC, FOld); }
    TSelected(const TSelected&) = delete;
    TSelected& operator=(const TSelected&) = delete;

private:
    HDC FDC;
    HGDIOBJ FOld;
};

int32_t ClampToInt32(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// The standard scroll-bar functions in the shape of the flat ones.
BOOL WINAPI StandardEnableScrollBar(HWND window, int bar, UINT arrows)
{
    return ::EnableScrollBar(window, static_cast<UINT>(bar), arrows);
}
BOOL WINAPI StandardShowScrollBar(HWND window, int bar, BOOL show)
{
    return ::ShowScrollBar(window, bar, show);
}
BOOL WINAPI StandardGetScrollInfo(HWND window, int bar, LPSCROLLINFO info)
{
    return ::GetScrollInfo(window, bar, info);
}
int WINAPI StandardSetScrollInfo(HWND window, int bar, LPSCROLLINFO info, BOOL redraw)
{
    return ::SetScrollInfo(window, bar, info, redraw);
}

const TScrollBarFunctions kStandardScrollBar{StandardEnableScrollBar, StandardShowScrollBar, StandardGetScrollInfo,
                                             StandardSetScrollInfo, nullptr};

// comctl32's flat scroll bar, looked up once; Present is false when any
// function is missing.
struct TFlatScrollBar {
    TScrollBarFunctions Functions{};
    BOOL(WINAPI* Initialize)(HWND window) = nullptr;
    HRESULT(WINAPI* Uninitialize)(HWND window) = nullptr;
    bool Present = false;
};

template <class F>
void Find(HMODULE module, const char* name, F& function)
{
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const TFlatScrollBar& FlatScrollBarFunctions()
{
    static const TFlatScrollBar flat = [] {
        TFlatScrollBar found;
        // A system library, loaded for the life of the process.
        HMODULE module = LoadLibraryW(L"comctl32.dll");
        if (module == nullptr)
            return found;
        Find(module, "FlatSB_EnableScrollBar", found.Functions.EnableScrollBar);
        Find(module, "FlatSB_ShowScrollBar", found.Functions.ShowScrollBar);
        Find(module, "FlatSB_GetScrollInfo", found.Functions.GetScrollInfo);
        Find(module, "FlatSB_SetScrollInfo", found.Functions.SetScrollInfo);
        Find(module, "FlatSB_SetScrollProp", found.Functions.SetScrollProp);
        Find(module, "InitializeFlatSB", found.Initialize);
        Find(module, "UninitializeFlatSB", found.Uninitialize);
        const TScrollBarFunctions& f = found.Functions;
        found.Present = f.EnableScrollBar != nullptr && f.ShowScrollBar != nullptr && f.GetScrollInfo != nullptr &&
                        f.SetScrollInfo != nullptr && f.SetScrollProp != nullptr && found.Initialize != nullptr &&
                        found.Uninitialize != nullptr;
        return found;
    }();
    return flat;
}

int MouseShift(WPARAM keys)
{
    int shift = 0;
    if ((keys & MK_SHIFT) != 0)
        shift |= kShiftShift;
    if ((keys & MK_CONTROL) != 0)
        shift |= kShiftCtrl;
    if (GetKeyState(VK_MENU) < 0)
        shift |= kShiftAlt;
    return shift;
}

POINT MousePoint(LPARAM lParam)
{
    return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}

int32_t DefaultRowHeight()
{
    LOGFONTW font{};
    if (GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font) == 0 || font.lfHeight == 0)
        return 16;
    return std::abs(font.lfHeight);
}

} // namespace

// ---------------------------------------------------------------------------
// TListRows

TListRows::TListRows(TListMarkHooks* hooks)
{
    SetHooks(hooks);
}

void TListRows::SetHooks(TListMarkHooks* hooks)
{
    struct TNoHooks final : TListMarkHooks {};
    static TNoHooks none;
    FHooks = hooks != nullptr ? hooks : &none;
}

void TListRows::CheckIndex(int32_t index) const
{
    Assert(index >= 0 && index < FCount, kUnit, L"row index out of range");
}

bool TListRows::SetCount(int32_t count)
{
    Assert(count >= 0, kUnit, L"negative row count");
    if (count == FCount)
        return false;
    FCount = count;
    // One allocation for all rows, cleared.
    FMarks.assign((static_cast<size_t>(count) + 7) / 8, 0);
    FMarkedCount = 0;
    FLastMarked = -1;
    FCaretIndex = count > 0 ? 0 : -1;
    FAnchorIndex = FCaretIndex;
    FTopIndex = 0;
    if ((FMarkStyle & kMarkCaretFollows) != 0 && count > 0)
        SetMark(0, true);
    return true;
}

bool TListRows::IsMarked(int32_t index) const
{
    CheckIndex(index);
    return (FMarks[static_cast<size_t>(index) >> 3] & (1u << (index & 7))) != 0;
}

void TListRows::SetMark(int32_t index, bool state)
{
    CheckIndex(index);
    if (!FHooks->CanMark(index) || IsMarked(index) == state)
        return;
    if (state && (FMarkStyle & kMarkMulti) == 0)
        ClearMarks();
    uint8_t& byte = FMarks[static_cast<size_t>(index) >> 3];
    const auto bit = static_cast<uint8_t>(1u << (index & 7));
    if (state) {
        byte = static_cast<uint8_t>(byte | bit);
        ++FMarkedCount;
        FLastMarked = index;
    } else {
        byte = static_cast<uint8_t>(byte & ~bit);
        --FMarkedCount;
    }
    FHooks->MarkChanged(index, state);
}

void TListRows::ClearMarks(int32_t except)
{
    const int32_t kept = except >= 0 && except < FCount && IsMarked(except) ? 1 : 0;
    if (FMarkedCount <= kept)
        return;
    if (FLastMarked != except && FLastMarked >= 0 && FLastMarked < FCount && IsMarked(FLastMarked)) {
        SetMark(FLastMarked, false);
        if (FMarkedCount <= kept)
            return;
    }
    // Whole bytes without a mark are skipped.
    for (size_t byte = 0; byte < FMarks.size() && FMarkedCount > kept; ++byte) {
        if (FMarks[byte] == 0)
            continue;
        for (int bit = 0; bit < 8; ++bit) {
            const auto index = static_cast<int32_t>(byte * 8 + static_cast<size_t>(bit));
            if ((FMarks[byte] & (1u << bit)) != 0 && index != except)
                SetMark(index, false);
        }
    }
}

void TListRows::MarkAll(bool state)
{
    if (!state) {
        ClearMarks();
        return;
    }
    for (int32_t i = 0; i < FCount; ++i)
        SetMark(i, true);
}

void TListRows::SetCaretIndex(int32_t index)
{
    Assert(index < FCount && index >= (FCount == 0 ? -1 : 0), kUnit, L"caret index out of range");
    FCaretIndex = index;
}

void TListRows::SetTopIndex(int32_t index)
{
    Assert(FCount == 0 ? index == 0 : index >= 0 && index < FCount, kUnit, L"top index out of range");
    FTopIndex = index;
}

void TListRows::MoveCaret(int32_t delta, bool extend)
{
    if (FCount == 0)
        return;
    const int32_t old = std::max(FCaretIndex, 0);
    const auto target = static_cast<int32_t>(std::clamp<int64_t>(int64_t{old} + delta, 0, FCount - 1));
    if (extend) {
        const int32_t anchor = FAnchorIndex >= 0 && FAnchorIndex < FCount ? FAnchorIndex : old;
        const int32_t newLow = std::min(anchor, target), newHigh = std::max(anchor, target);
        for (int32_t i = std::min(anchor, old); i <= std::max(anchor, old); ++i)
            if (i < newLow || i > newHigh)
                SetMark(i, false);
        const int32_t step = target >= anchor ? 1 : -1;
        for (int32_t i = anchor;; i += step) {
            SetMark(i, true);
            if (i == target)
                break;
        }
    } else if ((FMarkStyle & kMarkCaretFollows) != 0) {
        if (FMarkedCount >= 2 || !IsMarked(old))
            ClearMarks();
        SetMark(old, false);
        SetMark(target, true);
    }
    FCaretIndex = target;
}

// ---------------------------------------------------------------------------
// TLightListBox

TLightListBox::TLightListBox()
    : FHooks(this), FRows(&FHooks), FScrollBar(&kStandardScrollBar), FRowHeight(DefaultRowHeight()),
      FBackColor(GetSysColor(COLOR_WINDOW))
{
}

TLightListBox::~TLightListBox()
{
    ReleaseFlatScrollBar();
}

void TLightListBox::Create(HWND parent, const RECT& bounds, UINT id)
{
    TWindowStruct create;
    create.ExStyle = WS_EX_CLIENTEDGE;
    create.Style = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | WS_CLIPSIBLINGS;
    create.X = bounds.left;
    create.Y = bounds.top;
    create.Width = bounds.right - bounds.left;
    create.Height = bounds.bottom - bounds.top;
    create.Parent = parent;
    create.Menu = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id));
    CreateHandle(create);
    if (FFlatWanted)
        ApplyFlatScrollBar();
    PostScrollBarUpdate();
}

void TLightListBox::SetCount(int32_t count)
{
    if (!FRows.SetCount(count))
        return;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, FALSE);
    PostScrollBarUpdate();
}

void TLightListBox::SetCaret(int32_t index)
{
    const int32_t old = FRows.CaretIndex();
    FRows.SetCaretIndex(index);
    if (index != old)
        CaretMoved(old);
}

void TLightListBox::MoveCaret(int32_t delta, bool extend)
{
    const int32_t old = FRows.CaretIndex();
    FRows.MoveCaret(delta, extend);
    // Also a caret that stayed (at either end) is brought back into view.
    if (Count() > 0)
        CaretMoved(old);
}

void TLightListBox::CaretMoved(int32_t old)
{
    const int32_t caret = FRows.CaretIndex();
    if (caret >= 0) {
        const int32_t visible = std::max(VisibleRows(), 1);
        if (caret < TopIndex())
            SetTopIndex(caret);
        else if (caret >= TopIndex() + visible)
            SetTopIndex(caret - visible + 1);
    }
    if (old >= 0 && old < Count())
        InvalidateRow(old);
    if (caret >= 0)
        InvalidateRow(caret);
}

void TLightListBox::SetTopIndex(int32_t index)
{
    const int32_t old = FRows.TopIndex();
    FRows.SetTopIndex(index);
    if (index == old)
        return;
    if (HWND window = Handle()) {
        // Opaque rows move with their pixels. A transparent list's
        // background stays put while the rows move, so it is redrawn whole.
        const int64_t rows = int64_t{old} - index;
        if ((FDrawStyle & kDrawOpaque) != 0 && std::abs(rows) <= VisibleRows())
            ScrollWindowEx(window, 0, static_cast<int>(rows * FRowHeight), nullptr, nullptr, nullptr, nullptr,
                           SW_INVALIDATE);
        else
            InvalidateRect(window, nullptr, FALSE);
    }
    PostScrollBarUpdate();
}

void TLightListBox::SetRowHeight(int32_t height)
{
    Assert(height >= 1, kUnit, L"row height below 1");
    if (height == FRowHeight)
        return;
    FRowHeight = height;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, FALSE);
    PostScrollBarUpdate();
}

int32_t TLightListBox::VisibleRows() const
{
    if (Handle() == nullptr)
        return 0;
    RECT client;
    GetClientRect(Handle(), &client);
    return std::max<int32_t>(client.bottom - client.top, 0) / FRowHeight;
}

RECT TLightListBox::RowRect(int32_t index) const
{
    RECT client{};
    if (Handle() != nullptr)
        GetClientRect(Handle(), &client);
    const int32_t top = ClampToInt32((int64_t{index} - TopIndex()) * FRowHeight);
    return RECT{0, top, client.right, ClampToInt32(int64_t{top} + FRowHeight)};
}

int32_t TLightListBox::RowAt(POINT point) const
{
    if (Handle() == nullptr)
        return -1;
    RECT client;
    GetClientRect(Handle(), &client);
    if (!PtInRect(&client, point))
        return -1;
    const int64_t row = int64_t{TopIndex()} + point.y / FRowHeight;
    return row < Count() ? static_cast<int32_t>(row) : -1;
}

void TLightListBox::InvalidateRow(int32_t index)
{
    // Cheap for the rows out of view: marking all of a long list comes here
    // once per row.
    if (Handle() == nullptr || index < TopIndex() || index >= Count())
        return;
    RECT row = RowRect(index);
    RECT client;
    GetClientRect(Handle(), &client);
    if (row.top >= client.bottom)
        return;
    InvalidateRect(Handle(), &row, FALSE);
}

void TLightListBox::SetDrawStyle(uint8_t style)
{
    if (style == FDrawStyle)
        return;
    FDrawStyle = style;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, FALSE);
}

void TLightListBox::SetBackColor(COLORREF color)
{
    if (color == FBackColor)
        return;
    FBackColor = color;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, FALSE);
}

// ---------------------------------------------------------------------------
// Scroll bar

void TLightListBox::SetFlatScrollBar(bool flat)
{
    FFlatWanted = flat;
    if (Handle() == nullptr || flat == FFlatActive)
        return;
    if (flat)
        ApplyFlatScrollBar();
    else
        ReleaseFlatScrollBar();
    PostScrollBarUpdate();
}

void TLightListBox::ApplyFlatScrollBar()
{
    const TFlatScrollBar& flat = FlatScrollBarFunctions();
    // The flat functions only work on a window they were initialised for.
    if (flat.Present && flat.Initialize(Handle())) {
        FScrollBar = &flat.Functions;
        FFlatActive = true;
        FBarPage = FBarPos = FBarMax = -1;
    }
}

void TLightListBox::ReleaseFlatScrollBar()
{
    if (!FFlatActive)
        return;
    if (Handle() != nullptr)
        FlatScrollBarFunctions().Uninitialize(Handle());
    FScrollBar = &kStandardScrollBar;
    FFlatActive = false;
    FBarPage = FBarPos = FBarMax = -1;
}

void TLightListBox::SetScrollBarProperty(UINT property, INT_PTR value)
{
    if (Handle() != nullptr && FScrollBar->SetScrollProp != nullptr)
        FScrollBar->SetScrollProp(Handle(), property, value, TRUE);
}

void TLightListBox::PostScrollBarUpdate()
{
    if (Handle() != nullptr)
        PostMessageW(Handle(), WM_LIGHTLIST_SCROLLBAR, 0, 0);
}

void TLightListBox::ScrollBarRequest()
{
    // A burst of requests makes one update: only the last one queued acts.
    MSG queued;
    if (!PeekMessageW(&queued, Handle(), WM_LIGHTLIST_SCROLLBAR, WM_LIGHTLIST_SCROLLBAR, PM_NOREMOVE))
        UpdateScrollBar();
}

void TLightListBox::UpdateScrollBar()
{
    if (Handle() == nullptr)
        return;
    const int32_t page = VisibleRows();
    const int32_t max = std::max(Count() - 1, 0);
    const int32_t pos = TopIndex();
    if (page == FBarPage && max == FBarMax && pos == FBarPos)
        return;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    // Always shown, disabled while everything fits: the client width does
    // not jump as the count changes.
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMin = 0;
    info.nMax = max;
    info.nPage = static_cast<UINT>(page);
    info.nPos = pos;
    FScrollBar->SetScrollInfo(Handle(), SB_VERT, &info, TRUE);
    FBarPage = page;
    FBarMax = max;
    FBarPos = pos;
}

void TLightListBox::VScroll(int request)
{
    const int32_t visible = std::max(VisibleRows(), 1);
    const int32_t top = TopIndex();
    int64_t target = top;
    switch (request) {
    case SB_LINEUP:
        target = top - 1;
        break;
    case SB_LINEDOWN:
        target = top + 1;
        break;
    case SB_PAGEUP:
        target = top - visible;
        break;
    case SB_PAGEDOWN:
        target = int64_t{top} + visible;
        break;
    case SB_TOP:
        target = 0;
        break;
    case SB_BOTTOM:
        target = Count();
        break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_TRACKPOS;
        if (!FScrollBar->GetScrollInfo(Handle(), SB_VERT, &info))
            return;
        target = info.nTrackPos;
        break;
    }
    default:
        return;
    }
    // Scrolling stops once the last row is at the bottom; a top row set
    // further down by the program is left where it is.
    const int32_t last = std::max({Count() - visible, top, 0});
    ScrollTo(static_cast<int32_t>(std::clamp<int64_t>(target, 0, last)));
}

void TLightListBox::ScrollTo(int32_t top)
{
    if (top != TopIndex())
        SetTopIndex(top);
}

// ---------------------------------------------------------------------------
// Painting

void TLightListBox::PaintBackground(HDC dc, const RECT& rect)
{
    UniqueBrush brush(CreateSolidBrush(FBackColor));
    FillRect(dc, &rect, brush.get());
}

void TLightListBox::Paint(HDC dc)
{
    RECT clip;
    if (GetClipBox(dc, &clip) == ERROR || IsRectEmpty(&clip))
        return;
    RECT client;
    GetClientRect(Handle(), &client);
    const int width = clip.right - clip.left, height = clip.bottom - clip.top;

    // Everything is drawn into a bitmap of the clip box first and copied
    // once: no row flickers through its background.
    UniqueDC memory(CreateCompatibleDC(dc));
    UniqueBitmap bitmap(memory ? CreateCompatibleBitmap(dc, width, height) : nullptr);
    HDC target = dc;
    std::optional<TSelected> selected;
    if (bitmap) {
        target = memory.get();
        selected.emplace(target, bitmap.get());
        SetViewportOrgEx(target, -clip.left, -clip.top, nullptr);
        SelectObject(target, GetCurrentObject(dc, OBJ_FONT));
    }

    if ((FDrawStyle & kDrawOpaque) != 0) {
        UniqueBrush back(CreateSolidBrush(FBackColor));
        FillRect(target, &clip, back.get());
    } else {
        PaintBackground(target, clip);
    }

    if (Count() > 0) {
        const int32_t first = TopIndex() + std::max<LONG>(clip.top, 0) / FRowHeight;
        const auto last = static_cast<int32_t>(
            std::min<int64_t>(int64_t{TopIndex()} + std::max<LONG>(clip.bottom - 1, 0) / FRowHeight, Count() - 1));
        const bool focused = (FDrawStyle & kDrawFocusRect) != 0 && GetFocus() == Handle();
        for (int32_t index = first; index <= last; ++index) {
            RECT row{0, (index - TopIndex()) * FRowHeight, client.right, (index - TopIndex() + 1) * FRowHeight};
            if (IsMarked(index)) {
                FillRect(target, &row, GetSysColorBrush(COLOR_HIGHLIGHT));
                SetBkColor(target, GetSysColor(COLOR_HIGHLIGHT));
                SetTextColor(target, GetSysColor(COLOR_HIGHLIGHTTEXT));
            } else {
                SetBkColor(target, FBackColor);
                SetTextColor(target, RGB(0, 0, 0));
            }
            const int saved = SaveDC(target);
            DrawItem(index, target, row);
            RestoreDC(target, saved);
            if (focused && index == CaretIndex()) {
                SetBkColor(target, FBackColor ^ 0x00FFFFFF);
                SetTextColor(target, RGB(0, 0, 0));
                DrawFocusRect(target, &row);
            }
        }
    }

    if (target != dc)
        BitBlt(dc, clip.left, clip.top, width, height, target, clip.left, clip.top, SRCCOPY);
}

// ---------------------------------------------------------------------------
// Keys and mouse

bool TLightListBox::KeyDown(int shift, UINT key)
{
    if ((shift & kShiftAlt) != 0)
        return false;
    const bool shifted = (shift & kShiftShift) != 0;
    const bool ctrl = (shift & kShiftCtrl) != 0;
    const int32_t page = std::max(VisibleRows() - 1, 1);
    switch (key) {
    case VK_SHIFT:
        FRows.SetAnchor();
        return true;
    case VK_SPACE:
        if (shifted || (MarkStyle() & kMarkCaretFollows) != 0 || CaretIndex() < 0)
            return false;
        SetMark(CaretIndex(), !IsMarked(CaretIndex()));
        return true;
    case VK_PRIOR:
        MoveCaret(-page, shifted);
        return true;
    case VK_NEXT:
        MoveCaret(page, shifted);
        return true;
    case VK_END:
        if (ctrl)
            MoveCaret(Count() - 1 - CaretIndex(), shifted);
        return true;
    case VK_HOME:
        if (ctrl)
            MoveCaret(-CaretIndex(), shifted);
        return true;
    case VK_UP:
        MoveCaret(-1, shifted);
        return true;
    case VK_DOWN:
        MoveCaret(1, shifted);
        return true;
    default:
        return false;
    }
}

void TLightListBox::MouseDown(TMouseButton button, int shift, POINT point)
{
    if (button == TMouseButton::Middle)
        return;
    SetFocus(Handle());
    const int32_t row = RowAt(point);
    if (row < 0)
        return;
    if (button == TMouseButton::Left && (shift & kShiftShift) != 0 && (shift & kShiftCtrl) == 0) {
        MarkAll(false);
        const int32_t from = CaretIndex();
        const int32_t step = row >= from ? 1 : -1;
        for (int32_t i = from;; i += step) {
            SetMark(i, true);
            if (i == row)
                break;
        }
    }
    SetCaret(row);
}

void TLightListBox::MouseUp(TMouseButton button, int shift, POINT point)
{
    if (button == TMouseButton::Left)
        RowClicked(shift, point);
}

void TLightListBox::RowClicked(int shift, POINT point)
{
    const int32_t row = RowAt(point);
    if (row < 0)
        return;
    const bool ctrl = (shift & kShiftCtrl) != 0;
    if ((MarkStyle() & kMarkCaretFollows) != 0) {
        SetCaret(row);
        if (!ctrl)
            FRows.ClearMarks(row);
        SetMark(row, !IsMarked(row));
    } else if (ctrl && (shift & kShiftShift) != 0) {
        MarkAll(false);
    } else if (ctrl) {
        SetCaret(row);
        SetMark(row, !IsMarked(row));
    }
}

void TLightListBox::DoubleClick(TMouseButton button, int shift, POINT point)
{
    MouseDown(button, shift, point);
}

LRESULT TLightListBox::WMSize(WPARAM wParam, LPARAM lParam)
{
    LRESULT result = T0Window::WMSize(wParam, lParam);
    PostScrollBarUpdate();
    return result;
}

LRESULT TLightListBox::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_LIGHTLIST_SCROLLBAR:
        ScrollBarRequest();
        return 0;
    case WM_ERASEBKGND:
        // Paint covers every pixel itself.
        return 1;
    case WM_GETDLGCODE:
        return DLGC_WANTCHARS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        if (CaretIndex() >= 0)
            InvalidateRow(CaretIndex());
        return DefaultHandler(message, wParam, lParam);
    case WM_VSCROLL:
        VScroll(LOWORD(wParam));
        return 0;
    case WM_MOUSEWHEEL:
        VScroll(GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? SB_LINEUP : SB_LINEDOWN);
        return 0;
    case WM_LBUTTONDOWN:
        MouseDown(TMouseButton::Left, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_RBUTTONDOWN:
        MouseDown(TMouseButton::Right, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_MBUTTONDOWN:
        MouseDown(TMouseButton::Middle, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_LBUTTONUP:
        MouseUp(TMouseButton::Left, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_RBUTTONUP:
        MouseUp(TMouseButton::Right, MouseShift(wParam), MousePoint(lParam));
        // The default handler turns the release into WM_CONTEXTMENU.
        return DefaultHandler(message, wParam, lParam);
    case WM_MBUTTONUP:
        MouseUp(TMouseButton::Middle, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_LBUTTONDBLCLK:
        DoubleClick(TMouseButton::Left, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_RBUTTONDBLCLK:
        DoubleClick(TMouseButton::Right, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_MBUTTONDBLCLK:
        DoubleClick(TMouseButton::Middle, MouseShift(wParam), MousePoint(lParam));
        return 0;
    case WM_MOUSEMOVE:
        MouseMove(static_cast<UINT>(wParam) & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON), MouseShift(wParam),
                  MousePoint(lParam));
        return 0;
    case WM_DESTROY:
        ReleaseFlatScrollBar();
        return DefaultHandler(message, wParam, lParam);
    default:
        return T0Window::Dispatch(message, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------
// Text fitting

std::wstring FitText(HDC dc, std::wstring_view text, int width)
{
    const auto length = static_cast<int>(text.size());
    SIZE size{};
    GetTextExtentPoint32W(dc, text.data(), length, &size);
    if (size.cx <= width)
        return std::wstring(text);
    constexpr std::wstring_view kEllipsis = L"...";
    SIZE dots{};
    GetTextExtentPoint32W(dc, kEllipsis.data(), static_cast<int>(kEllipsis.size()), &dots);
    int fit = 0;
    if (dots.cx > width) {
        // Not even the ellipsis fits: as much of it as does.
        GetTextExtentExPointW(dc, kEllipsis.data(), static_cast<int>(kEllipsis.size()), std::max(width, 0), &fit,
                              nullptr, &size);
        return std::wstring(kEllipsis.substr(0, static_cast<size_t>(fit)));
    }
    GetTextExtentExPointW(dc, text.data(), length, width - dots.cx, &fit, nullptr, &size);
    // Never half a surrogate pair.
    if (fit > 0 && IS_HIGH_SURROGATE(text[static_cast<size_t>(fit) - 1]))
        --fit;
    std::wstring fitted(text.substr(0, static_cast<size_t>(fit)));
    fitted += kEllipsis;
    return fitted;
}

// ---------------------------------------------------------------------------
// TLightSwitch

void TLightSwitch::Create(HWND parent, const RECT& bounds, UINT id)
{
    TWindowStruct create;
    create.Style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    create.X = bounds.left;
    create.Y = bounds.top;
    create.Width = bounds.right - bounds.left;
    create.Height = bounds.bottom - bounds.top;
    create.Parent = parent;
    create.Menu = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id));
    CreateHandle(create);
}

void TLightSwitch::Add(TSimpleControlItem* item)
{
    Assert(item != nullptr, kUnit, L"no item");
    item->SetOwner(this);
    FItems.push_back(item);
    if (FCurrent < 0)
        SetCurrent(0);
}

TSimpleControlItem* TLightSwitch::Item(int32_t index) const
{
    Assert(index >= 0 && index < ItemCount(), kUnit, L"item index out of range");
    return FItems[static_cast<size_t>(index)];
}

void TLightSwitch::SetCurrent(int32_t index)
{
    Assert(index >= 0 && index < ItemCount(), kUnit, L"item index out of range");
    if (index == FCurrent)
        return;
    FCurrent = index;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, FALSE);
}

bool TLightSwitch::KeyDown(int shift, UINT key)
{
    if ((shift & kShiftAlt) != 0)
        return false;
    switch (key) {
    case VK_LEFT:
        if (FCurrent > 0)
            SetCurrent(FCurrent - 1);
        return true;
    case VK_RIGHT:
        if (FCurrent >= 0 && FCurrent < ItemCount() - 1)
            SetCurrent(FCurrent + 1);
        return true;
    default:
        return false;
    }
}

void TLightSwitch::Paint(HDC dc)
{
    RECT client;
    GetClientRect(Handle(), &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(IsWindowEnabled(Handle()) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    // Arrows show which way there is another entry.
    RECT arrows = client;
    InflateRect(&arrows, -2, 0);
    if (FCurrent > 0)
        DrawTextW(dc, L"<", 1, &arrows, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    if (FCurrent >= 0 && FCurrent < ItemCount() - 1)
        DrawTextW(dc, L">", 1, &arrows, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
    if (TSimpleControlItem* item = CurrentItem()) {
        RECT text = client;
        InflateRect(&text, -12, 0);
        DrawTextW(dc, item->Text().c_str(), static_cast<int>(item->Text().size()), &text,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
    if (GetFocus() == Handle()) {
        RECT focus = client;
        InflateRect(&focus, -1, -1);
        DrawFocusRect(dc, &focus);
    }
}

LRESULT TLightSwitch::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS;
    case WM_ERASEBKGND:
        return 1;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(Handle(), nullptr, FALSE);
        return DefaultHandler(message, wParam, lParam);
    case WM_LBUTTONDOWN:
        SetFocus(Handle());
        return 0;
    default:
        return T0Window::Dispatch(message, wParam, lParam);
    }
}
