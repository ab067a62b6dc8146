// The program's action managers and its built-in browsing actions.
#pragma once

// Toolkit
#include "lw/LActions.h"

// Standard library
#include <string>
#include <vector>

class TFilerView;

// The actions of one window thread: they work on that thread's current view.
class TThreadActionManager : public T0ActionManager {
public:
    TThreadActionManager();
};

// The actions that belong to no window, shared by all window threads; the
// one manager that shows choice lists.
class TGlobalActionManager : public T0ActionManager {
public:
    TGlobalActionManager();
    ~TGlobalActionManager() override;
    ComPtr<IActionItem> ChooseItem(IActionItems* items) override;
    // The filter texts given so far, newest first (shared by all windows).
    std::vector<std::wstring> FilterHistory();
    void AddFilterHistory(const std::wstring& text);

private:
    std::vector<std::wstring> FFilterHistory;
};

// The view an action works on: the current view of the calling thread's
// filer window, or, on a thread without one, of the foreground window.
TFilerView* ActionView();

// The sort orders the sort dialog offers, with their numbers.
struct TSortChoice {
    int Kind;
    const wchar_t* Caption;
};
extern const TSortChoice kSortChoices[7];
