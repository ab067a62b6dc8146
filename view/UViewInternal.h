// What the parts of the view unit share: the skin in use, drawing helpers
// and the kinds of folders. Not for use outside view/.
#pragma once

// Own
#include "view/UView.h"

// Application
#include "app/UMain.h"

// Folders
#include "folders/UFolders.h"

// Search
#include "search/UFounds.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <string_view>

namespace viewinternal {

constexpr const wchar_t* kUnit = L"UView";
constexpr const wchar_t* kNoCaret = L"許されない操作です";
// Columns: the view is 48 wide and the header counters end at 50.
constexpr int kViewColumns = 48;
constexpr int kCounterEndColumn = 50;
constexpr int kKindBitmapSize = 80;
constexpr int kKindBitmapInset = 100;
constexpr COLORREF kScrollBarBackground = 0x998888;
constexpr COLORREF kFocusedHeaderText = RGB(0, 255, 255);

inline const TSkin& CurrentSkin()
{
    static const TSkin defaults = [] {
        TSkin skin;
        FillSkinDefaults(skin);
        return skin;
    }();
    const TSkin* skin = Skin();
    return skin != nullptr ? *skin : defaults;
}

// A skin picture: a relative name is looked for beside the program, not in
// the current directory (the temporary folder while the program runs).
inline HBITMAP LoadPicture(const std::wstring& name)
{
    if (name.empty())
        return nullptr;
    return LoadBitmapFile(SkinPicturePath(name, ProgramDirectory()));
}

inline SIZE BitmapSize(HBITMAP bitmap)
{
    BITMAP info{};
    GetObjectW(bitmap, sizeof(info), &info);
    return {info.bmWidth, info.bmHeight};
}

// Tiles bitmap over rect of dc, the picture's origin shifted left by shift
// pixels so that it runs on across side-by-side views.
inline void TileBitmap(HDC dc, HBITMAP bitmap, const RECT& rect, int shift)
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
inline void DrawEmblem(HDC dc, HBITMAP bitmap, int x, int y)
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
inline void DrawFitted(HDC dc, int x, int y, std::wstring_view text, int width)
{
    RECT rect{x, y, x + width, y + 0x7FFF};
    DrawTextW(dc, text.data(), static_cast<int>(text.size()), &rect,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS | DT_NOCLIP);
}

inline void DrawAt(HDC dc, int x, int y, std::wstring_view text)
{
    TextOutW(dc, x, y, text.data(), static_cast<int>(text.size()));
}

// An empty text and the quoted patterns of every name mean no filter.
inline bool IsNoFilterText(std::wstring_view text)
{
    return text.empty() || text == L"\"*.*\"" || text == L"\"*\"";
}

inline bool IsDirectoryFolder(IFolder* folder)
{
    return folder != nullptr && ComPtr<IFolder>(folder).as<IDirectory>() != nullptr;
}

inline bool IsNameSpaceFolder(IFolder* folder)
{
    return folder != nullptr && ComPtr<IFolder>(folder).as<INameSpace>() != nullptr;
}

// Archive contents are the folders that are neither directories, shell
// namespace folders nor search results (the modules serve them).
inline bool IsArchiveFolder(IFolder* folder)
{
    return folder != nullptr && !IsDirectoryFolder(folder) && !IsNameSpaceFolder(folder) && !IsFoundsFolder(folder);
}


} // namespace viewinternal
