// Painting the file list: the rows, the background and the header.
#include "view/UView.h"

// Own
#include "view/UViewInternal.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <algorithm>
#include <optional>

using namespace viewinternal;

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
    CheckItemAccess();
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

