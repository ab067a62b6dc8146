#include "lw/LMenusXP.h"

// Toolkit
#include "lw/LHandles.h"
#include "lw/LMenus.h"

// Standard library
#include <algorithm>
#include <string>

namespace {

using UniqueGdiObject = UniqueResource<NullIsInvalid<HGDIOBJ, ::DeleteObject>>;

struct TReleaseScreenDC {
    static void Close(HDC dc) noexcept { ReleaseDC(nullptr, dc); }
};
using UniqueScreenDC = UniqueResource<NullIsInvalid<HDC, TReleaseScreenDC::Close>>;

// Layout of pop-up items.
constexpr int kCheckColumn = 20;
constexpr int kCaptionLeft = 24;
constexpr int kRightMargin = 16;
constexpr int kSeparatorLeft = 28;
constexpr int kPopupExtraWidth = 40;
constexpr int kPopupExtraHeight = 8;
constexpr int kPopupMinHeight = 20;
constexpr SIZE kSeparatorSize{1, 5};

// Puts the device context back as it was, whatever was selected into it.
class TSavedDC {
public:
    explicit TSavedDC(HDC dc) : FDC(dc), FSaved(SaveDC(dc)) {}
    ~TSavedDC() { RestoreDC(FDC, FSaved); }
    TSavedDC(const TSavedDC&) = delete;
    TSavedDC& operator=(const TSavedDC&) = delete;

private:
    HDC FDC;
    int FSaved;
};

UniqueGdiObject NewMenuFont()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    // Without the metrics the device context's own font is used.
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return UniqueGdiObject();
    return UniqueGdiObject(CreateFontIndirectW(&metrics.lfMenuFont));
}

std::wstring WithoutFirstAmpersand(std::wstring text)
{
    if (size_t amp = text.find(L'&'); amp != std::wstring::npos)
        text.erase(amp, 1);
    return text;
}

bool InMenuBar(TAnyMenuItem* item)
{
    return dynamic_cast<TMainMenu*>(item->Menu()) != nullptr;
}

void FillColumnAndBackground(HDC dc, const RECT& area, bool popup)
{
    if (!popup) {
        FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
        return;
    }
    RECT column = area;
    column.right = std::min(area.right, area.left + kCheckColumn);
    RECT rest = area;
    rest.left = column.right;
    FillRect(dc, &column, GetSysColorBrush(COLOR_BTNFACE));
    FillRect(dc, &rest, GetSysColorBrush(COLOR_WINDOW));
}

void DrawSeparator(HDC dc, const RECT& area)
{
    UniqueGdiObject pen(CreatePen(PS_SOLID, 1, GetSysColor(COLOR_GRAYTEXT)));
    TSavedDC saved(dc);
    SelectObject(dc, pen.get());
    int middle = (area.top + area.bottom) / 2;
    MoveToEx(dc, area.left + kSeparatorLeft, middle, nullptr);
    LineTo(dc, area.right - kRightMargin, middle);
}

void DrawSelection(HDC dc, const RECT& area)
{
    COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    UniqueGdiObject pen(CreatePen(PS_SOLID, 1, highlight));
    UniqueGdiObject brush(CreateSolidBrush(MenuSelectionColor(highlight)));
    TSavedDC saved(dc);
    SelectObject(dc, pen.get());
    SelectObject(dc, brush.get());
    Rectangle(dc, area.left, area.top, area.right, area.bottom);
}

// A tick in the check column, on a box of the lighter tone.
void DrawCheckMark(HDC dc, const RECT& area, COLORREF colour)
{
    RECT box{area.left + 1, area.top + 1, area.left + kCheckColumn - 1, area.bottom - 1};
    UniqueGdiObject fill(CreateSolidBrush(MenuLightColor(MenuSelectionColor(GetSysColor(COLOR_HIGHLIGHT)))));
    FillRect(dc, &box, static_cast<HBRUSH>(fill.get()));
    UniqueGdiObject pen(CreatePen(PS_SOLID, 2, colour));
    TSavedDC saved(dc);
    SelectObject(dc, pen.get());
    int x = area.left + (kCheckColumn - 8) / 2;
    int y = (area.top + area.bottom) / 2;
    const POINT tick[] = {{x, y}, {x + 3, y + 3}, {x + 8, y - 3}};
    Polyline(dc, tick, 3);
}

void DrawCaption(HDC dc, const RECT& area, const std::wstring& text, bool popup)
{
    size_t tab = text.find(L'\t');
    std::wstring caption = text.substr(0, tab);
    std::wstring shortcut = tab == std::wstring::npos ? std::wstring() : text.substr(tab + 1);
    RECT box = area;
    if (!popup) {
        DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        return;
    }
    box.left += kCaptionLeft;
    box.right -= kRightMargin;
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &box, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    if (!shortcut.empty())
        DrawTextW(dc, shortcut.c_str(), static_cast<int>(shortcut.size()), &box,
                  DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

} // namespace

COLORREF MenuSelectionColor(COLORREF highlight) noexcept
{
    return ((highlight & 0xFCFCFC) >> 2) + 0xBFBFBF;
}

COLORREF MenuLightColor(COLORREF selection) noexcept
{
    return ((selection & 0xFEFEFE) >> 1) + 0x3F3F3F;
}

SIZE MenuItemSize(SIZE text, bool separator, bool popup) noexcept
{
    if (separator)
        return kSeparatorSize;
    if (!popup)
        return text;
    return SIZE{text.cx + kPopupExtraWidth, std::max<LONG>(text.cy + kPopupExtraHeight, kPopupMinHeight)};
}

bool MenuMeasureItem(LPARAM lParam)
{
    auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
    if (measure == nullptr || measure->CtlType != ODT_MENU)
        return false;
    TAnyMenuItem* item = TAnyMenuItem::FromData(measure->itemData);
    if (item == nullptr)
        return false;
    bool separator = (item->Type() & MFT_SEPARATOR) != 0;
    SIZE text{0, 0};
    if (!separator) {
        std::wstring caption = WithoutFirstAmpersand(item->GetText());
        UniqueScreenDC dc(GetDC(nullptr));
        UniqueGdiObject font = NewMenuFont();
        TSavedDC saved(dc.get());
        if (font)
            SelectObject(dc.get(), font.get());
        RECT box{0, 0, 0, 0};
        DrawTextW(dc.get(), caption.c_str(), static_cast<int>(caption.size()), &box,
                  DT_CALCRECT | DT_SINGLELINE | DT_EXPANDTABS | DT_NOPREFIX);
        text = SIZE{box.right - box.left, box.bottom - box.top};
    }
    SIZE size = MenuItemSize(text, separator, !InMenuBar(item));
    measure->itemWidth = static_cast<UINT>(std::max<LONG>(size.cx, 0));
    measure->itemHeight = static_cast<UINT>(std::max<LONG>(size.cy, 0));
    return true;
}

bool MenuDrawItem(LPARAM lParam)
{
    auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (draw == nullptr || draw->CtlType != ODT_MENU)
        return false;
    TAnyMenuItem* item = TAnyMenuItem::FromData(draw->itemData);
    if (item == nullptr)
        return false;
    HDC dc = draw->hDC;
    const RECT& area = draw->rcItem;
    bool popup = !InMenuBar(item);
    bool disabled = (draw->itemState & (ODS_GRAYED | ODS_DISABLED)) != 0;
    bool selected = (draw->itemState & (ODS_SELECTED | ODS_HOTLIGHT)) != 0;

    UniqueGdiObject font = NewMenuFont();
    TSavedDC saved(dc);
    FillColumnAndBackground(dc, area, popup);
    if ((item->Type() & MFT_SEPARATOR) != 0) {
        DrawSeparator(dc, area);
        return true;
    }
    if (selected && !disabled)
        DrawSelection(dc, area);
    COLORREF textColour = GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_MENUTEXT);
    if (popup && (draw->itemState & ODS_CHECKED) != 0)
        DrawCheckMark(dc, area, textColour);
    if (font)
        SelectObject(dc, font.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, textColour);
    DrawCaption(dc, area, item->GetText(), popup);
    return true;
}
