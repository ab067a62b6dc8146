// Additional controls: the light list box (an owner-drawn virtual list),
// the light switch (a one-line selector) and its entries.
#pragma once

// Toolkit
#include "lw/LObjects.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Light list box

// DrawStyle bits.
inline constexpr uint8_t kDrawOpaque = 1;    // fill the background before the rows are drawn
inline constexpr uint8_t kDrawFocusRect = 2; // focus rectangle on the caret row of the focused list

// MarkStyle bits.
inline constexpr uint8_t kMarkMulti = 1;        // marking a row keeps the other marks
inline constexpr uint8_t kMarkCaretFollows = 2; // a single-selection list: the mark follows the caret

// The scroll-bar update request a list box posts to itself. Derived classes
// must leave this message to the list box.
inline constexpr UINT WM_LIGHTLIST_SCROLLBAR = WM_USER + 1;

// What the row state tells its owner about marks.
class TListMarkHooks {
public:
    virtual bool CanMark(int32_t index) { return true; }
    virtual void MarkChanged(int32_t index, bool state) {}

protected:
    ~TListMarkHooks() = default;
};

// The rows of a list without its window: count, caret, top row, anchor and
// one mark bit per row. All the caret and mark rules live here; the window
// adds scrolling and painting. Index arguments outside their ranges are
// assertions of LAddCtls.
class TListRows {
public:
    explicit TListRows(TListMarkHooks* hooks = nullptr);

    void SetHooks(TListMarkHooks* hooks);

    int32_t Count() const { return FCount; }
    int32_t CaretIndex() const { return FCaretIndex; }
    int32_t TopIndex() const { return FTopIndex; }
    int32_t AnchorIndex() const { return FAnchorIndex; }
    int32_t MarkedCount() const { return FMarkedCount; }
    uint8_t MarkStyle() const { return FMarkStyle; }
    void SetMarkStyle(uint8_t style) { FMarkStyle = style; }

    // N at least 0. A different count clears every mark and puts caret,
    // anchor and top row at 0 (caret and anchor -1 when empty); a
    // caret-follows-mark list then marks row 0. Returns whether the count
    // changed; the same count keeps everything.
    bool SetCount(int32_t count);

    bool IsMarked(int32_t index) const;
    // Nothing happens when the hooks refuse the row or the state is
    // unchanged; setting a mark without multi-mark clears the others first.
    void SetMark(int32_t index, bool state);
    // Each row in turn through SetMark.
    void MarkAll(bool state);
    // Unmarks every row but except (-1: every row).
    void ClearMarks(int32_t except = -1);

    // Stores the caret alone (no marks change): 0..Count-1, or -1 when empty.
    void SetCaretIndex(int32_t index);
    // 0..Count-1, or 0 when empty.
    void SetTopIndex(int32_t index);
    // The anchor of a Shift range becomes the caret.
    void SetAnchor() { FAnchorIndex = FCaretIndex; }

    // Moves the caret by delta (clamped to the rows). With extend (Shift
    // held) the marks of the range anchor..old caret give way to anchor..new
    // caret; without it a caret-follows-mark list moves its one mark along.
    void MoveCaret(int32_t delta, bool extend);

private:
    void CheckIndex(int32_t index) const;

    TListMarkHooks* FHooks;
    int32_t FCount = 0;
    int32_t FTopIndex = 0;
    int32_t FCaretIndex = -1;
    int32_t FAnchorIndex = -1;
    std::vector<uint8_t> FMarks;
    int32_t FMarkedCount = 0;
    // The row marked last: in a list without multi-mark usually the only
    // one, so clearing it costs nothing.
    int32_t FLastMarked = -1;
    uint8_t FMarkStyle = kMarkCaretFollows;
};

// The scroll-bar functions a list box calls: the standard ones, or the flat
// scroll bar functions of comctl32. SetScrollProp is null for the standard
// set.
struct TScrollBarFunctions {
    BOOL(WINAPI* EnableScrollBar)(HWND window, int bar, UINT arrows);
    BOOL(WINAPI* ShowScrollBar)(HWND window, int bar, BOOL show);
    BOOL(WINAPI* GetScrollInfo)(HWND window, int bar, LPSCROLLINFO info);
    int(WINAPI* SetScrollInfo)(HWND window, int bar, LPSCROLLINFO info, BOOL redraw);
    BOOL(WINAPI* SetScrollProp)(HWND window, UINT property, INT_PTR value, BOOL redraw);
};

enum class TMouseButton { Left, Right, Middle };

// An owner-drawn virtual list: it holds no item data, only the rows of
// TListRows and a fixed row height, and asks DrawItem to paint each visible
// row. Painting, the caret and mark keys, the mouse and the scroll bar are
// done here; a derived class draws the rows and may intercept keys and
// mouse presses.
//
// Coordinates are client coordinates throughout: a derived class may give
// the window a non-client area of its own (a header above the rows) by
// handling WM_NCCALCSIZE and WM_NCPAINT in Dispatch.
class TLightListBox : public T0Window {
public:
    TLightListBox();

    // Creates the window as a child of parent: vertical scroll bar, tab
    // stop, client edge. The owner in the object tree is the caller's
    // business. Switches to the flat scroll bar when that was asked for.
    void Create(HWND parent, const RECT& bounds, UINT id = 0);

    int32_t Count() const { return FRows.Count(); }
    void SetCount(int32_t count);
    int32_t CaretIndex() const { return FRows.CaretIndex(); }
    // 0..Count-1 (-1 when empty). Scrolls the caret into view: a caret below
    // the visible rows becomes the last visible row, one above the first.
    void SetCaret(int32_t index);
    int32_t TopIndex() const { return FRows.TopIndex(); }
    // 0..Count-1 (0 when empty).
    void SetTopIndex(int32_t index);
    int32_t RowHeight() const { return FRowHeight; }
    // At least 1.
    void SetRowHeight(int32_t height);
    int32_t AnchorIndex() const { return FRows.AnchorIndex(); }

    bool IsMarked(int32_t index) const { return FRows.IsMarked(index); }
    void SetMark(int32_t index, bool state) { FRows.SetMark(index, state); }
    void MarkAll(bool state) { FRows.MarkAll(state); }
    int32_t MarkedCount() const { return FRows.MarkedCount(); }

    // Moves the caret as the arrow keys do (extend: Shift held) and scrolls
    // it into view.
    void MoveCaret(int32_t delta, bool extend);

    // The row under a client point, or -1 outside the rows.
    int32_t RowAt(POINT point) const;
    // The client rectangle of a row (it may lie outside the client area).
    RECT RowRect(int32_t index) const;
    // Client height div RowHeight.
    int32_t VisibleRows() const;
    // Redraws a row when it is visible; rows out of view cost nothing.
    void InvalidateRow(int32_t index);

    uint8_t DrawStyle() const { return FDrawStyle; }
    void SetDrawStyle(uint8_t style);
    uint8_t MarkStyle() const { return FRows.MarkStyle(); }
    void SetMarkStyle(uint8_t style) { FRows.SetMarkStyle(style); }
    COLORREF BackColor() const { return FBackColor; }
    void SetBackColor(COLORREF color);

    // Switches between the standard scroll-bar functions and the flat ones
    // of comctl32 (looked up by name; the standard ones stay when they are
    // missing or the window cannot take them). Before Create the choice is
    // kept and applied at creation.
    void SetFlatScrollBar(bool flat);
    bool FlatScrollBar() const { return FFlatActive; }
    const TScrollBarFunctions& ScrollBar() const { return *FScrollBar; }
    // Sets a property of the flat scroll bar (WSB_PROP_*); nothing with the
    // standard one.
    void SetScrollBarProperty(UINT property, INT_PTR value);
    // Posts the scroll-bar update; requests queued together make one update.
    void PostScrollBarUpdate();

    // Virtual operations, in this order.
    // Caret and mark keys; false for keys not handled here. Shift: kShift*.
    bool KeyDown(int shift, UINT key) override;
    void Paint(HDC dc) override;
    // Paints one row; the DC's colours are set for a marked or unmarked row.
    virtual void DrawItem(int32_t index, HDC dc, const RECT& rect) {}
    virtual bool CanMark(int32_t index) { return true; }
    // Redraws the row.
    virtual void MarkChanged(int32_t index, bool state) { InvalidateRow(index); }

    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    ~TLightListBox() override;

    // Fills the background under the rows when the list is not opaque: the
    // background colour here.
    virtual void PaintBackground(HDC dc, const RECT& rect);

    // The mouse, decoded: shift is the kShift* set (Alt from the keyboard),
    // buttons the MK_*BUTTON flags, point in client coordinates.
    // Left press: focus, Shift range, caret; right press: focus, caret.
    virtual void MouseDown(TMouseButton button, int shift, POINT point);
    // Left release: the click marking rules. Others: nothing.
    virtual void MouseUp(TMouseButton button, int shift, POINT point);
    // Handled as a second press.
    virtual void DoubleClick(TMouseButton button, int shift, POINT point);
    virtual void MouseMove(UINT buttons, int shift, POINT point) {}

    // Sets range, page and position now (the handler of the posted request).
    virtual void UpdateScrollBar();

    LRESULT WMSize(WPARAM wParam, LPARAM lParam) override;

private:
    // Forwards the row state's questions to the virtual operations.
    class THooks : public TListMarkHooks {
    public:
        explicit THooks(TLightListBox* list) : FList(list) {}
        bool CanMark(int32_t index) override { return FList->CanMark(index); }
        void MarkChanged(int32_t index, bool state) override { FList->MarkChanged(index, state); }

    private:
        TLightListBox* FList;
    };

    void ApplyFlatScrollBar();
    void ReleaseFlatScrollBar();
    // Redraws what a caret move from old to the current caret changed and
    // scrolls the caret into view.
    void CaretMoved(int32_t old);
    void ScrollTo(int32_t top);
    void VScroll(int request);
    void ScrollBarRequest();
    void RowClicked(int shift, POINT point);

    THooks FHooks;
    TListRows FRows;
    const TScrollBarFunctions* FScrollBar;
    bool FFlatWanted = false;
    bool FFlatActive = false;
    // What the scroll bar was last set to, so that an unchanged update
    // costs nothing.
    int32_t FBarPage = -1;
    int32_t FBarPos = -1;
    int32_t FBarMax = -1;
    int32_t FRowHeight;
    uint8_t FDrawStyle = kDrawOpaque | kDrawFocusRect;
    COLORREF FBackColor;
};

// Shortens text that is wider than width pixels in the DC's font: it is cut
// and ended with "..." so that it fits. Text that fits comes back as it is.
std::wstring FitText(HDC dc, std::wstring_view text, int width);

// ---------------------------------------------------------------------------
// Light switch

// An entry a control holds.
class T0ControlItem : public T0Object {};

// An entry of a light switch: a text and a value.
class TSimpleControlItem : public T0ControlItem {
public:
    TSimpleControlItem() = default;
    TSimpleControlItem(std::wstring text, int32_t value) : FText(std::move(text)), FValue(value) {}

    const std::wstring& Text() const { return FText; }
    void SetText(std::wstring text) { FText = std::move(text); }
    int32_t Value() const { return FValue; }
    void SetValue(int32_t value) { FValue = value; }

private:
    std::wstring FText;
    int32_t FValue = 0;
};

// A one-line selector among its entries: Left and Right make the previous
// and the next entry current (nothing at either end), and each change
// redraws the control.
class TLightSwitch : public T0Window {
public:
    // Creates the window as a child of parent, with a tab stop.
    void Create(HWND parent, const RECT& bounds, UINT id = 0);

    // Takes the item over; the items are freed with the switch. The first
    // item added becomes current.
    void Add(TSimpleControlItem* item);
    int32_t ItemCount() const { return static_cast<int32_t>(FItems.size()); }
    TSimpleControlItem* Item(int32_t index) const;
    // -1 while there are no entries.
    int32_t Current() const { return FCurrent; }
    void SetCurrent(int32_t index);
    TSimpleControlItem* CurrentItem() const { return FCurrent >= 0 ? FItems[FCurrent] : nullptr; }

    bool KeyDown(int shift, UINT key) override;
    void Paint(HDC dc) override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    std::vector<TSimpleControlItem*> FItems;
    int32_t FCurrent = -1;
};
