// Wrappers of the common controls: the status bar of a window, the progress
// bar, the date and time field and the tree view of the tree dialog.
#pragma once

// Toolkit
#include "lw/LStdCtls.h"

// Platform
#include <windows.h>
#include <commctrl.h>

// Standard library
#include <string>
#include <string_view>
#include <vector>

// Registers the common control classes the toolkit uses; once per process.
void InitCommonControlClasses();

// The right edges SB_SETPARTS wants for panes of the given widths; a width
// of -1 (only sensible for the last pane) reaches to the window's edge.
std::vector<int> PaneRightEdges(const std::vector<int>& widths);

// A status bar at the bottom of its owner window, with panes of given
// widths. It lines up at the bottom of the owner's client area when the
// owner realigns its children (on every resize).
class TStatusBar : public T0Control {
public:
    TStatusBar(T0Window* owner, const std::vector<int>& widths);
    void SetPanes(const std::vector<int>& widths);
    int PaneCount() const;
    void SetText(int pane, std::wstring_view text);
    std::wstring Text(int pane) const;
    // The height the owner leaves for it in its layout.
    int Height() const;
};

// A progress bar from 0 to a maximum.
class TProgressBar : public T0Control {
public:
    explicit TProgressBar(T0Window* parent);
    void SetMaximum(int maximum);
    int Maximum() const;
    void SetPosition(int position);
    int Position() const;
};

// A date and time field. With a check box the field may hold no time.
class TDateTimePicker : public T0Control {
public:
    TDateTimePicker(T0Window* parent, UINT id, bool checkBox);
    // A display format such as "yyyy-MM-dd HH:mm:ss".
    void SetFormat(std::wstring_view format);
    // Shows time and ticks the check box.
    void SetTime(const SYSTEMTIME& time);
    // Clears the check box (only with one).
    void SetNone();
    // The time shown; false when the check box is clear.
    bool Time(SYSTEMTIME& time) const;
};

// A tree view of texts with pointer-sized data.
class TTreeView : public T0Control {
public:
    TTreeView(T0Window* parent, UINT id);
    // Appends an item under parent (TVI_ROOT for the top level).
    HTREEITEM Add(HTREEITEM parent, std::wstring_view text, TEntryData data);
    HTREEITEM Selected() const;
    void Select(HTREEITEM item);
    TEntryData Data(HTREEITEM item) const;
    std::wstring ItemText(HTREEITEM item) const;
    void Expand(HTREEITEM item);
    int Count() const;
};
