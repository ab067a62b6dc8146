// The light list box: its row state on its own, then a real list window on
// a GUI thread driven by posted keys and mouse clicks; the light switch.

// Toolkit
#include "lw/LAddCtls.h"
#include "lw/LExceptions.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>
#include <commctrl.h>

// Standard library
#include <algorithm>
#include <functional>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "tests/lw/ToolkitTest.h"

namespace {

// The marked rows, in order.
template <class List>
std::vector<int32_t> Marked(const List& list)
{
    std::vector<int32_t> rows;
    for (int32_t i = 0; i < list.Count(); ++i)
        if (list.IsMarked(i))
            rows.push_back(i);
    return rows;
}

std::vector<int32_t> Range(int32_t first, int32_t last)
{
    std::vector<int32_t> rows;
    for (int32_t i = first; i <= last; ++i)
        rows.push_back(i);
    return rows;
}

template <class F>
void ExpectAssertion(F&& f, const char* what)
{
    try {
        f();
        ADD_FAILURE() << what << ": no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), L"LAddCtls") << what;
    }
}

class TRecordingHooks : public TListMarkHooks {
public:
    bool CanMark(int32_t index) override { return !RefuseOdd || index % 2 == 0; }
    void MarkChanged(int32_t index, bool state) override { Changes.emplace_back(index, state); }
    bool RefuseOdd = false;
    std::vector<std::pair<int32_t, bool>> Changes;
};

} // namespace

TEST(ListRows, ShiftRangesGrowShrinkAndCrossTheAnchor)
{
    TListRows rows;
    rows.SetMarkStyle(kMarkMulti);
    rows.SetCount(10);
    rows.SetCaretIndex(2);
    rows.SetAnchor();
    for (int i = 0; i < 3; ++i)
        rows.MoveCaret(1, true);
    EXPECT_EQ(Marked(rows), Range(2, 5));
    EXPECT_EQ(rows.CaretIndex(), 5);
    rows.MoveCaret(-1, true);
    EXPECT_EQ(Marked(rows), Range(2, 4));
    EXPECT_EQ(rows.MarkedCount(), 3);

    // Past the anchor the range turns round; clamped at row 0.
    rows.MoveCaret(-7, true);
    EXPECT_EQ(rows.CaretIndex(), 0);
    EXPECT_EQ(Marked(rows), Range(0, 2));

    // Without Shift a multi-mark list moves the caret alone.
    rows.MoveCaret(50, false);
    EXPECT_EQ(rows.CaretIndex(), 9);
    EXPECT_EQ(Marked(rows), Range(0, 2));
    EXPECT_EQ(rows.AnchorIndex(), 2) << "moving without Shift keeps the anchor";
}

TEST(ListRows, CountChangesClearTheStateAndTheSameCountKeepsIt)
{
    TRecordingHooks hooks;
    TListRows rows(&hooks);
    rows.SetMarkStyle(kMarkMulti);
    rows.SetCount(6);
    rows.SetMark(1, true);
    rows.SetMark(4, true);
    rows.SetCaretIndex(4);
    EXPECT_FALSE(rows.SetCount(6));
    EXPECT_EQ(Marked(rows), (std::vector<int32_t>{1, 4}));
    EXPECT_EQ(rows.CaretIndex(), 4);

    EXPECT_TRUE(rows.SetCount(0));
    EXPECT_EQ(rows.CaretIndex(), -1);
    EXPECT_EQ(rows.MarkedCount(), 0);
    EXPECT_TRUE(rows.SetCount(9));
    EXPECT_EQ(rows.CaretIndex(), 0);
    EXPECT_EQ(rows.TopIndex(), 0);
    EXPECT_TRUE(Marked(rows).empty()) << "a new count starts without marks";

    // A caret-follows-mark list starts with its first row marked.
    rows.SetMarkStyle(kMarkCaretFollows);
    hooks.Changes.clear();
    rows.SetCount(3);
    EXPECT_EQ(Marked(rows), (std::vector<int32_t>{0}));
    EXPECT_EQ(hooks.Changes, (std::vector<std::pair<int32_t, bool>>{{0, true}}));
}

TEST(ListRows, SingleMarkAndCaretFollowsMark)
{
    TRecordingHooks hooks;
    TListRows rows(&hooks);
    rows.SetMarkStyle(0);
    rows.SetCount(8);
    rows.SetMark(1, true);
    rows.SetMark(3, true);
    EXPECT_EQ(Marked(rows), (std::vector<int32_t>{3}));
    EXPECT_EQ(hooks.Changes, (std::vector<std::pair<int32_t, bool>>{{1, true}, {1, false}, {3, true}}));
    hooks.Changes.clear();
    rows.SetMark(3, true);
    EXPECT_TRUE(hooks.Changes.empty()) << "an unchanged state tells nobody";

    // The mark follows the caret; a list with several marks drops them all.
    rows.SetMarkStyle(kMarkCaretFollows);
    rows.SetCount(8);
    rows.MoveCaret(2, false);
    EXPECT_EQ(Marked(rows), (std::vector<int32_t>{2}));
    rows.SetMarkStyle(kMarkCaretFollows | kMarkMulti);
    rows.SetMark(6, true);
    rows.MoveCaret(1, false);
    EXPECT_EQ(Marked(rows), (std::vector<int32_t>{3}));
    EXPECT_EQ(rows.MarkedCount(), 1);

    // Rows the hooks refuse stay unmarked.
    rows.MarkAll(false);
    hooks.RefuseOdd = true;
    rows.SetMarkStyle(kMarkMulti);
    rows.MarkAll(true);
    EXPECT_EQ(Marked(rows), (std::vector<int32_t>{0, 2, 4, 6}));
}

TEST(ListRows, LongListsMarkInLinearTime)
{
    // Quadratic clearing would take hours here, not a fraction of a second.
    TListRows rows;
    rows.SetMarkStyle(0);
    rows.SetCount(100000);
    rows.MarkAll(true);
    EXPECT_EQ(rows.MarkedCount(), 1);
    EXPECT_TRUE(rows.IsMarked(99999));
    rows.SetMarkStyle(kMarkMulti);
    rows.MarkAll(true);
    EXPECT_EQ(rows.MarkedCount(), 100000);
    for (int32_t i = 0; i < 100000; i += 2)
        rows.SetMark(i, false);
    EXPECT_EQ(rows.MarkedCount(), 50000);
    rows.MarkAll(false);
    EXPECT_EQ(rows.MarkedCount(), 0);
}

TEST(ListRows, BadArgumentsAreAssertions)
{
    TListRows rows;
    rows.SetCount(5);
    ExpectAssertion([&] { rows.SetCount(-1); }, "negative count");
    ExpectAssertion([&] { rows.SetMark(5, true); }, "mark past the end");
    ExpectAssertion([&] { rows.SetMark(-1, true); }, "negative mark");
    ExpectAssertion([&] { (void)rows.IsMarked(5); }, "IsMarked past the end");
    ExpectAssertion([&] { rows.SetCaretIndex(5); }, "caret past the end");
    ExpectAssertion([&] { rows.SetCaretIndex(-1); }, "no caret in a full list");
    ExpectAssertion([&] { rows.SetTopIndex(5); }, "top past the end");
    rows.SetCount(0);
    ExpectAssertion([&] { rows.SetTopIndex(1); }, "top of an empty list");
    rows.SetCaretIndex(-1);
    rows.SetTopIndex(0);
}

// ---------------------------------------------------------------------------
// A list window on a GUI thread

namespace {

class TParent : public T0MainWindow {
public:
    std::wstring WindowClassName() const override { return L"NimbraTestListParent"; }
};

class TRecordingList : public TLightListBox {
public:
    std::wstring WindowClassName() const override { return L"NimbraTestLightList"; }
    void DrawItem(int32_t index, HDC dc, const RECT& rect) override { Drawn.push_back(index); }
    std::vector<int32_t> Drawn;
    int ScrollBarUpdates = 0;
    int Backgrounds = 0;
    int DoubleClicks = 0;

protected:
    void UpdateScrollBar() override
    {
        ++ScrollBarUpdates;
        TLightListBox::UpdateScrollBar();
    }
    void PaintBackground(HDC dc, const RECT& rect) override
    {
        ++Backgrounds;
        TLightListBox::PaintBackground(dc, rect);
    }
    // Intercepts the double click as the file view does; the rest of the
    // mouse stays with the list.
    void DoubleClick(TMouseButton button, int shift, POINT point) override { ++DoubleClicks; }
};

constexpr int kRowHeight = 10;
constexpr int kVisibleRows = 10;

// A shown parent with a list whose client area holds exactly ten rows.
struct TListFixture {
    TParent* Parent;
    TRecordingList* List;
    HWND Handle;
};

TListFixture MakeList(TBodyThread* thread)
{
    auto* parent = new TParent;
    parent->SetOwner(thread);
    TWindowStruct create;
    create.X = 0;
    create.Y = 0;
    create.Width = 400;
    create.Height = 400;
    parent->CreateHandle(create);
    auto* list = new TRecordingList;
    list->SetOwner(parent);
    list->Create(parent->Handle(), RECT{0, 0, 200, 100});
    list->SetRowHeight(kRowHeight);
    RECT window, client;
    GetWindowRect(list->Handle(), &window);
    GetClientRect(list->Handle(), &client);
    SetWindowPos(list->Handle(), nullptr, 0, 0, window.right - window.left,
                 kVisibleRows * kRowHeight + (window.bottom - window.top) - client.bottom,
                 SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    ShowWindow(parent->Handle(), SW_SHOWNOACTIVATE);
    Pump();
    return TListFixture{parent, list, list->Handle()};
}

// Posts a key with the given modifiers held in this thread's key state.
void PressKey(HWND window, UINT key, int shift)
{
    BYTE keys[256] = {};
    if ((shift & kShiftShift) != 0)
        keys[VK_SHIFT] = 0x80;
    if ((shift & kShiftCtrl) != 0)
        keys[VK_CONTROL] = 0x80;
    if ((shift & kShiftAlt) != 0)
        keys[VK_MENU] = 0x80;
    SetKeyboardState(keys);
    PostMessageW(window, WM_KEYDOWN, key, 1);
    Pump();
    BYTE none[256] = {};
    SetKeyboardState(none);
}

void Click(HWND window, UINT down, UINT up, WPARAM keys, int row)
{
    LPARAM at = MAKELPARAM(5, row * kRowHeight + 2);
    PostMessageW(window, down, keys, at);
    if (up != 0)
        PostMessageW(window, up, keys, at);
    Pump();
}

} // namespace

TEST(LightListBox, KeysMoveTheCaretAndMarkAsTheTableSays)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        TRecordingList* list = f.List;
        ASSERT_EQ(list->VisibleRows(), kVisibleRows);
        list->SetMarkStyle(kMarkMulti);
        list->SetCount(100);
        list->SetCaret(2);

        PressKey(f.Handle, VK_SHIFT, kShiftShift);
        EXPECT_EQ(list->AnchorIndex(), 2);
        for (int i = 0; i < 3; ++i)
            PressKey(f.Handle, VK_DOWN, kShiftShift);
        EXPECT_EQ(Marked(*list), Range(2, 5));
        PressKey(f.Handle, VK_UP, kShiftShift);
        EXPECT_EQ(Marked(*list), Range(2, 4));
        EXPECT_EQ(list->CaretIndex(), 4);

        // Page Down moves by the visible rows less one and scrolls the caret
        // to the last visible row.
        PressKey(f.Handle, VK_NEXT, 0);
        EXPECT_EQ(list->CaretIndex(), 4 + kVisibleRows - 1);
        EXPECT_EQ(list->TopIndex(), list->CaretIndex() - kVisibleRows + 1);
        PressKey(f.Handle, VK_SPACE, 0);
        EXPECT_TRUE(list->IsMarked(13));
        PressKey(f.Handle, VK_SPACE, kShiftShift);
        EXPECT_TRUE(list->IsMarked(13)) << "Shift+Space does nothing";

        PressKey(f.Handle, VK_END, 0);
        PressKey(f.Handle, VK_HOME, 0);
        EXPECT_EQ(list->CaretIndex(), 13) << "Home and End alone are swallowed";
        PressKey(f.Handle, VK_END, kShiftCtrl);
        EXPECT_EQ(list->CaretIndex(), 99);
        EXPECT_EQ(list->TopIndex(), 90);
        // Scrolled away from the caret, Down at the last row brings it back.
        SendMessageW(f.Handle, WM_VSCROLL, SB_TOP, 0);
        PressKey(f.Handle, VK_DOWN, 0);
        EXPECT_EQ(list->TopIndex(), 90);
        PressKey(f.Handle, VK_DOWN, kShiftAlt);
        PressKey(f.Handle, VK_UP, kShiftAlt);
        EXPECT_EQ(list->CaretIndex(), 99) << "nothing is handled with Alt held";
        PressKey(f.Handle, VK_HOME, kShiftCtrl);
        EXPECT_EQ(list->CaretIndex(), 0);
        EXPECT_EQ(list->TopIndex(), 0);
        EXPECT_EQ(Marked(*list), (std::vector<int32_t>{2, 3, 4, 13}));
        EXPECT_EQ(list->MarkedCount(), 4);

        // A caret-follows-mark list: the arrows carry the one mark along.
        list->SetMarkStyle(kMarkCaretFollows);
        list->SetCount(20);
        PressKey(f.Handle, VK_DOWN, 0);
        PressKey(f.Handle, VK_DOWN, 0);
        EXPECT_EQ(Marked(*list), (std::vector<int32_t>{2}));
        PressKey(f.Handle, VK_SPACE, 0);
        EXPECT_EQ(Marked(*list), (std::vector<int32_t>{2})) << "Space is ignored there";
        T0Object::Free(f.Parent);
    });
}

TEST(LightListBox, MouseClicksSetTheCaretAndMarks)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        TRecordingList* list = f.List;
        list->SetMarkStyle(kMarkMulti);
        list->SetCount(50);

        Click(f.Handle, WM_LBUTTONDOWN, WM_LBUTTONUP, 0, 3);
        EXPECT_EQ(list->CaretIndex(), 3);
        EXPECT_EQ(list->MarkedCount(), 0) << "a plain click marks nothing in a multi-mark list";
        EXPECT_EQ(GetFocus(), f.Handle);
        Click(f.Handle, WM_LBUTTONDOWN, WM_LBUTTONUP, MK_CONTROL, 5);
        EXPECT_EQ(Marked(*list), (std::vector<int32_t>{5}));
        Click(f.Handle, WM_LBUTTONDOWN, WM_LBUTTONUP, MK_SHIFT, 8);
        EXPECT_EQ(Marked(*list), Range(5, 8)) << "Shift+click marks from the caret";
        EXPECT_EQ(list->CaretIndex(), 8);
        Click(f.Handle, WM_RBUTTONDOWN, WM_RBUTTONUP, 0, 1);
        EXPECT_EQ(list->CaretIndex(), 1);
        Click(f.Handle, WM_LBUTTONDOWN, WM_LBUTTONUP, MK_CONTROL | MK_SHIFT, 6);
        EXPECT_EQ(list->MarkedCount(), 0) << "Ctrl+Shift release clears the marks";
        Click(f.Handle, WM_LBUTTONDBLCLK, 0, 0, 7);
        EXPECT_EQ(list->DoubleClicks, 1);
        EXPECT_EQ(list->CaretIndex(), 6) << "the derived class took the double click";

        // Below the last row nothing changes.
        list->SetCount(4);
        Click(f.Handle, WM_LBUTTONDOWN, WM_LBUTTONUP, MK_CONTROL, 7);
        EXPECT_EQ(list->CaretIndex(), 0);
        EXPECT_EQ(list->MarkedCount(), 0);

        // The wheel scrolls a line.
        list->SetCount(50);
        PostMessageW(f.Handle, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0);
        Pump();
        EXPECT_EQ(list->TopIndex(), 1);

        // A caret-follows-mark list: a click moves the one mark there.
        list->SetMarkStyle(kMarkCaretFollows);
        list->SetCount(10);
        Click(f.Handle, WM_LBUTTONDOWN, WM_LBUTTONUP, 0, 4);
        EXPECT_EQ(Marked(*list), (std::vector<int32_t>{4}));
        T0Object::Free(f.Parent);
    });
}

TEST(LightListBox, ScrollBarRequestsCoalesceAndTrackTheList)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        TRecordingList* list = f.List;
        list->ScrollBarUpdates = 0;
        list->SetCount(1000);
        list->SetTopIndex(5);
        list->SetRowHeight(20);
        list->PostScrollBarUpdate();
        list->PostScrollBarUpdate();
        Pump();
        EXPECT_EQ(list->ScrollBarUpdates, 1);
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_ALL;
        ASSERT_TRUE(GetScrollInfo(f.Handle, SB_VERT, &info));
        EXPECT_EQ(info.nMin, 0);
        EXPECT_EQ(info.nMax, 999);
        EXPECT_EQ(info.nPos, 5);
        EXPECT_EQ(info.nPage, static_cast<UINT>(kVisibleRows * kRowHeight / 20));

        // The scroll bar moves the rows.
        SendMessageW(f.Handle, WM_VSCROLL, SB_PAGEDOWN, 0);
        EXPECT_EQ(list->TopIndex(), 5 + kVisibleRows * kRowHeight / 20);
        SendMessageW(f.Handle, WM_VSCROLL, SB_BOTTOM, 0);
        EXPECT_EQ(list->TopIndex(), 1000 - kVisibleRows * kRowHeight / 20);

        // The flat scroll bar where comctl32 has it, the standard one where
        // not: the list keeps working through whichever is in use.
        list->SetFlatScrollBar(true);
        HMODULE comctl = GetModuleHandleW(L"comctl32.dll");
        if (comctl != nullptr && GetProcAddress(comctl, "InitializeFlatSB") != nullptr) {
            EXPECT_TRUE(list->FlatScrollBar());
        }
        list->SetTopIndex(7);
        list->SetScrollBarProperty(WSB_PROP_VBKGCOLOR, 0x998888);
        Pump();
        info.fMask = SIF_ALL;
        ASSERT_TRUE(list->ScrollBar().GetScrollInfo(f.Handle, SB_VERT, &info));
        EXPECT_EQ(info.nPos, 7);
        EXPECT_EQ(info.nMax, 999);
        list->SetFlatScrollBar(false);
        EXPECT_FALSE(list->FlatScrollBar());
        T0Object::Free(f.Parent);
    });
}

TEST(LightListBox, PaintingDrawsOnlyTheRowsInTheClipBox)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        TRecordingList* list = f.List;
        list->SetMarkStyle(kMarkMulti);
        list->SetCount(100000);
        // Marking every row redraws only what is in view.
        list->MarkAll(true);
        for (int32_t i = 0; i < list->Count(); ++i)
            list->SetMark(i, i % 3 == 0);
        EXPECT_EQ(list->MarkedCount(), 33334);
        list->SetTopIndex(50000);
        list->Drawn.clear();
        InvalidateRect(f.Handle, nullptr, FALSE);
        UpdateWindow(f.Handle);
        EXPECT_EQ(list->Drawn, Range(50000, 50000 + kVisibleRows - 1));

        list->Drawn.clear();
        list->InvalidateRow(50003);
        list->InvalidateRow(3);
        list->InvalidateRow(99999);
        UpdateWindow(f.Handle);
        EXPECT_EQ(list->Drawn, (std::vector<int32_t>{50003}));

        // Into a bitmap of our own: marked rows in the highlight colour, the
        // others in the background colour.
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 200, kVisibleRows * kRowHeight);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(dc, bitmap);
        list->SetBackColor(RGB(10, 200, 30));
        SendMessageW(f.Handle, WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
        EXPECT_EQ(GetPixel(dc, 20, 1 * kRowHeight + 5), GetSysColor(COLOR_HIGHLIGHT)) << "row 50001 is marked";
        EXPECT_EQ(GetPixel(dc, 20, 2 * kRowHeight + 5), RGB(10, 200, 30)) << "row 50002 is not";
        EXPECT_EQ(list->Backgrounds, 0) << "an opaque list fills the background itself";
        list->SetDrawStyle(0);
        SendMessageW(f.Handle, WM_PAINT, reinterpret_cast<WPARAM>(dc), 0);
        EXPECT_EQ(list->Backgrounds, 1);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);

        // An empty list paints its background and no row.
        list->Drawn.clear();
        list->SetCount(0);
        UpdateWindow(f.Handle);
        EXPECT_TRUE(list->Drawn.empty());
        EXPECT_EQ(list->CaretIndex(), -1);
        T0Object::Free(f.Parent);
    });
}

namespace {

// A list with a header of its own above the rows, in the non-client area.
class THeaderList : public TRecordingList {
public:
    static constexpr int kHeader = 30;
    std::vector<RECT> Rects;
    void DrawItem(int32_t index, HDC dc, const RECT& rect) override
    {
        TRecordingList::DrawItem(index, dc, rect);
        Rects.push_back(rect);
    }
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        LRESULT result = TLightListBox::Dispatch(message, wParam, lParam);
        if (message == WM_NCCALCSIZE)
            reinterpret_cast<RECT*>(lParam)->top += kHeader;
        return result;
    }
};

} // namespace

TEST(LightListBox, RowsStartAtTheTopOfTheClientAreaBelowAHeader)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        auto* list = new THeaderList;
        list->SetOwner(f.Parent);
        list->Create(f.Parent->Handle(), RECT{210, 0, 400, 150});
        list->SetRowHeight(kRowHeight);
        SetWindowPos(list->Handle(), nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        RECT client;
        GetClientRect(list->Handle(), &client);
        const int visible = client.bottom / kRowHeight;
        ASSERT_EQ(list->VisibleRows(), visible);
        list->SetCount(1000);
        Pump();
        list->Rects.clear();
        list->Drawn.clear();
        InvalidateRect(list->Handle(), nullptr, FALSE);
        UpdateWindow(list->Handle());
        ASSERT_FALSE(list->Rects.empty());
        EXPECT_EQ(list->Rects.front().top, 0);
        EXPECT_EQ(list->Drawn.front(), 0);
        EXPECT_LE(list->Drawn.back(), visible);
        EXPECT_EQ(list->RowAt(POINT{5, 2 * kRowHeight + 1}), 2);
        // Page Down still lands on the last row of the client area.
        PressKey(list->Handle(), VK_NEXT, 0);
        EXPECT_EQ(list->TopIndex(), 0);
        EXPECT_EQ(list->CaretIndex(), visible - 1);
        T0Object::Free(f.Parent);
    });
}

TEST(LightListBox, BadArgumentsAreAssertions)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        TRecordingList* list = f.List;
        list->SetCount(10);
        ExpectAssertion([&] { list->SetCount(-1); }, "negative count");
        ExpectAssertion([&] { list->SetCaret(10); }, "caret past the end");
        ExpectAssertion([&] { list->SetTopIndex(-1); }, "negative top");
        ExpectAssertion([&] { list->SetRowHeight(0); }, "row height 0");
        ExpectAssertion([&] { list->SetMark(10, true); }, "mark past the end");
        EXPECT_EQ(list->RowHeight(), kRowHeight);
        T0Object::Free(f.Parent);
    });
}

TEST(LightSwitch, ArrowsStepThroughTheEntriesAndStopAtTheEnds)
{
    RunOnGUIThread([](TBodyThread* self) {
        TListFixture f = MakeList(self);
        auto* light = new TLightSwitch;
        light->SetOwner(f.Parent);
        light->Create(f.Parent->Handle(), RECT{0, 150, 200, 175});
        light->Add(new TSimpleControlItem(L"昇順", 1));
        light->Add(new TSimpleControlItem(L"降順", 2));
        light->Add(new TSimpleControlItem(L"なし", 0));
        HWND handle = light->Handle();
        EXPECT_EQ(light->Current(), 0);
        UpdateWindow(handle);

        SendMessageW(handle, WM_KEYDOWN, VK_LEFT, 1);
        EXPECT_EQ(light->Current(), 0);
        EXPECT_FALSE(GetUpdateRect(handle, nullptr, FALSE)) << "nothing to redraw at the start";
        SendMessageW(handle, WM_KEYDOWN, VK_RIGHT, 1);
        EXPECT_TRUE(GetUpdateRect(handle, nullptr, FALSE)) << "a change redraws";
        UpdateWindow(handle);
        SendMessageW(handle, WM_KEYDOWN, VK_RIGHT, 1);
        SendMessageW(handle, WM_KEYDOWN, VK_RIGHT, 1);
        EXPECT_EQ(light->Current(), 2);
        EXPECT_EQ(light->CurrentItem()->Value(), 0);
        EXPECT_EQ(light->Item(1)->Text(), L"降順");
        ExpectAssertion([&] { light->SetCurrent(3); }, "entry past the end");
        T0Object::Free(f.Parent);
    });
}

TEST(FitText, LongTextIsCutWithAnEllipsis)
{
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    auto width = [dc](const std::wstring& text) {
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        return static_cast<int>(size.cx);
    };
    EXPECT_EQ(FitText(dc, L"short", 500), L"short");
    const std::wstring name = L"a very long file name that cannot fit.txt";
    const int limit = width(name) / 2;
    std::wstring fitted = FitText(dc, name, limit);
    EXPECT_LE(width(fitted), limit);
    ASSERT_GT(fitted.size(), 3u);
    EXPECT_EQ(fitted.substr(fitted.size() - 3), L"...");
    EXPECT_EQ(name.compare(0, fitted.size() - 3, fitted, 0, fitted.size() - 3), 0) << "the start of the text is kept";
    EXPECT_LE(width(FitText(dc, name, 2)), 2);
    DeleteDC(dc);
}
