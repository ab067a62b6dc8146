// Menus drawn by the program in a flat style, for items with MFT_OWNERDRAW
// (the skin's "owner-draw"). Captions and states stay in the native items,
// so the same menus drawn by the system look the same apart from style.
#pragma once

// Platform
#include <windows.h>

// The selection fill: a quarter of the highlight colour on light grey.
COLORREF MenuSelectionColor(COLORREF highlight) noexcept;
// The lighter tone next to the selection fill.
COLORREF MenuLightColor(COLORREF selection) noexcept;
// The size of an item whose text (first "&" removed) measures text: a
// separator is 1 by 5; a pop-up item has room for the check column and the
// margins and is at least 20 high; a menu-bar item keeps the text size.
SIZE MenuItemSize(SIZE text, bool separator, bool popup) noexcept;

// WM_MEASUREITEM and WM_DRAWITEM: true when the item was one of this
// thread's menu items (the window then answers TRUE); false leaves the
// message to the window's other handling.
bool MenuMeasureItem(LPARAM lParam);
bool MenuDrawItem(LPARAM lParam);
