#include "lw/LCmmCtls.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <mutex>

namespace {

constexpr const wchar_t* kUnit = L"LCmmCtls";

// Status bar texts are limited by the control; longer ones are cut here
// rather than refused.
constexpr size_t kMaxPaneText = 511;

} // namespace

void InitCommonControlClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES | ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_DATE_CLASSES};
        InitCommonControlsEx(&init);
    });
}

std::vector<int> PaneRightEdges(const std::vector<int>& widths)
{
    std::vector<int> edges;
    edges.reserve(widths.size());
    int right = 0;
    for (int width : widths) {
        if (width < 0) {
            edges.push_back(-1);
            continue;
        }
        right += width;
        edges.push_back(right);
    }
    return edges;
}

// ---------------------------------------------------------------------------
// TStatusBar

namespace {

const wchar_t* StatusClass()
{
    InitCommonControlClasses();
    return STATUSCLASSNAMEW;
}

const wchar_t* TreeClass()
{
    InitCommonControlClasses();
    return WC_TREEVIEWW;
}

const wchar_t* ProgressClass()
{
    InitCommonControlClasses();
    return PROGRESS_CLASSW;
}

const wchar_t* DateTimeClass()
{
    InitCommonControlClasses();
    return DATETIMEPICK_CLASSW;
}

} // namespace

TStatusBar::TStatusBar(T0Window* owner, const std::vector<int>& widths)
    : T0Control(owner, StatusClass(), CCS_BOTTOM, L"", 0xFFFE)
{
    SetAlign(TAlign::Bottom);
    SetPanes(widths);
    owner->Realign();
}

void TStatusBar::SetPanes(const std::vector<int>& widths)
{
    Assert(!widths.empty() && widths.size() < 256, kUnit, L"a status bar has 1 to 255 panes");
    std::vector<int> edges = PaneRightEdges(widths);
    SendMessageW(Handle(), SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
}

int TStatusBar::PaneCount() const
{
    return static_cast<int>(SendMessageW(Handle(), SB_GETPARTS, 0, 0));
}

void TStatusBar::SetText(int pane, std::wstring_view text)
{
    Assert(pane >= 0 && pane < PaneCount(), kUnit, L"no such pane");
    std::wstring copy(text.substr(0, kMaxPaneText));
    SendMessageW(Handle(), SB_SETTEXTW, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(copy.c_str()));
}

std::wstring TStatusBar::Text(int pane) const
{
    auto length = LOWORD(SendMessageW(Handle(), SB_GETTEXTLENGTHW, static_cast<WPARAM>(pane), 0));
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(Handle(), SB_GETTEXTW, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return text;
}

int TStatusBar::Height() const
{
    RECT r{};
    GetWindowRect(Handle(), &r);
    return r.bottom - r.top;
}

// ---------------------------------------------------------------------------
// TProgressBar

TProgressBar::TProgressBar(T0Window* parent) : T0Control(parent, ProgressClass(), 0, L"", 0)
{
}

void TProgressBar::SetMaximum(int maximum)
{
    SendMessageW(Handle(), PBM_SETRANGE32, 0, maximum);
}

int TProgressBar::Maximum() const
{
    return static_cast<int>(SendMessageW(Handle(), PBM_GETRANGE, FALSE, 0));
}

void TProgressBar::SetPosition(int position)
{
    SendMessageW(Handle(), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int TProgressBar::Position() const
{
    return static_cast<int>(SendMessageW(Handle(), PBM_GETPOS, 0, 0));
}

// ---------------------------------------------------------------------------
// TTreeView

TTreeView::TTreeView(T0Window* parent, UINT id)
    : T0Control(parent, TreeClass(),
                WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, L"", id,
                WS_EX_CLIENTEDGE)
{
}

HTREEITEM TTreeView::Add(HTREEITEM parent, std::wstring_view text, TEntryData data)
{
    std::wstring copy(text);
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM;
    insert.item.pszText = copy.data();
    insert.item.lParam = data;
    auto item = reinterpret_cast<HTREEITEM>(
        SendMessageW(Handle(), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    Assert(item != nullptr, kUnit, L"tree item not inserted");
    return item;
}

HTREEITEM TTreeView::Selected() const
{
    return reinterpret_cast<HTREEITEM>(SendMessageW(Handle(), TVM_GETNEXTITEM, TVGN_CARET, 0));
}

void TTreeView::Select(HTREEITEM item)
{
    SendMessageW(Handle(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

TEntryData TTreeView::Data(HTREEITEM item) const
{
    TVITEMW tv{};
    tv.mask = TVIF_PARAM | TVIF_HANDLE;
    tv.hItem = item;
    SendMessageW(Handle(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    return tv.lParam;
}

std::wstring TTreeView::ItemText(HTREEITEM item) const
{
    wchar_t buffer[1024] = {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = buffer;
    tv.cchTextMax = static_cast<int>(std::size(buffer));
    SendMessageW(Handle(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
    return buffer;
}

void TTreeView::Expand(HTREEITEM item)
{
    SendMessageW(Handle(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
}

int TTreeView::Count() const
{
    return static_cast<int>(SendMessageW(Handle(), TVM_GETCOUNT, 0, 0));
}

// ---------------------------------------------------------------------------
// TDateTimePicker

TDateTimePicker::TDateTimePicker(T0Window* parent, UINT id, bool checkBox)
    : T0Control(parent, DateTimeClass(), WS_TABSTOP | (checkBox ? DTS_SHOWNONE : 0), L"", id)
{
}

void TDateTimePicker::SetFormat(std::wstring_view format)
{
    std::wstring text(format);
    SendMessageW(Handle(), DTM_SETFORMATW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void TDateTimePicker::SetTime(const SYSTEMTIME& time)
{
    SendMessageW(Handle(), DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&time));
}

void TDateTimePicker::SetNone()
{
    SendMessageW(Handle(), DTM_SETSYSTEMTIME, GDT_NONE, 0);
}

bool TDateTimePicker::Time(SYSTEMTIME& time) const
{
    time = SYSTEMTIME{};
    return SendMessageW(Handle(), DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&time)) == GDT_VALID;
}
