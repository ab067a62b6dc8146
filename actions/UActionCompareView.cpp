// "CompareView": compares the current view with another view of the same
// window by name and last-write time and selects the result.

// Own
#include "actions/UActionsInternal.h"

// Toolkit
#include "lw/LAddDlgs.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <numeric>

using namespace actionsinternal;

namespace {

bool SameName(std::wstring_view a, std::wstring_view b)
{
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool NameBefore(std::wstring_view a, std::wstring_view b)
{
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_LESS_THAN;
}

// Whether an entry with these counterparts (entries there of the same name)
// meets the condition.
bool Meets(const TCompareEntry& entry, const std::vector<const TCompareEntry*>& counterparts, TCompareMode mode)
{
    switch (mode) {
    case TCompareMode::Missing:
        return counterparts.empty();
    case TCompareMode::Present:
        return !counterparts.empty();
    case TCompareMode::Newer:
        // An equal time there means "not newer here".
        return std::none_of(counterparts.begin(), counterparts.end(), [&](const TCompareEntry* other) {
            return CompareFileTime(&other->Time, &entry.Time) >= 0;
        });
    case TCompareMode::Older:
        return std::any_of(counterparts.begin(), counterparts.end(), [&](const TCompareEntry* other) {
            return CompareFileTime(&other->Time, &entry.Time) > 0;
        });
    }
    return false;
}

// The time an item is compared by; drive roots carry none (their record
// holds drive data where a file keeps its times).
FILETIME WriteTimeOf(const TFileItem& item)
{
    return item.Kind == kKindDriveRoot ? FILETIME{} : item.File.LastWriteTime;
}

std::wstring_view NameOf(const TFileItem& item)
{
    int length = std::clamp<int32_t>(item.NameLen, 0, static_cast<int32_t>(std::size(item.Name)));
    return std::wstring_view(item.Name, static_cast<size_t>(length));
}

std::vector<TCompareEntry> EntriesOf(TFilerView* view)
{
    std::vector<TCompareEntry> entries;
    for (const TFileItem* item : view->Items())
        entries.push_back({NameOf(*item), WriteTimeOf(*item)});
    return entries;
}

// The view is still one of the window's.
bool IsViewOf(TFilerWindow* window, TFilerView* view)
{
    for (TFilerView* each = window->FirstView(); each != nullptr; each = each->NextView())
        if (each == view)
            return true;
    return false;
}

class TCompareViewAction : public T0Action {
public:
    TCompareViewAction() : T0Action(false)
    {
        Describe("CompareView", L"フォルダを比較...", L"ふたつのビューを比較し結果のファイルを選択します");
    }

    void Idle() override
    {
        TFilerView* view = CurrentView();
        SetEnabled(view != nullptr && view->Window()->ViewCount() >= 2);
    }

    void Execute() override
    {
        TFilerView* view = CurrentView();
        if (view == nullptr || view->Window()->ViewCount() < 2)
            return;
        TFilerWindow* window = view->Window();
        TOwned<TSelectDialog> dialog(new TSelectDialog(window->Handle(), L"フォルダを比較"));
        for (TFilerView* other = window->FirstView(); other != nullptr; other = other->NextView())
            if (other != view)
                dialog->AddEntry(other->DisplayPath(), reinterpret_cast<TEntryData>(other));
        dialog->SetRadioButtons({L"無い", L"新しい", L"ある", L"古い"}, 0);
        if (!dialog->Execute() || dialog->ItemIndex() < 0 || dialog->RadioIndex() < 0)
            return;
        // The dialog's loop ran this thread's messages: a view may have
        // closed meanwhile.
        auto* other = reinterpret_cast<TFilerView*>(dialog->ItemData());
        if (!IsViewOf(window, view) || other == view || !IsViewOf(window, other))
            return;
        auto mode = static_cast<TCompareMode>(dialog->RadioIndex());

        // Read and marked under this thread's hold on its own views; the
        // folders' records cannot change before the handler returns.
        std::vector<TCompareEntry> here = EntriesOf(view);
        std::vector<bool> chosen = CompareEntries(here, EntriesOf(other), mode);
        view->BeginUpdate();
        for (size_t i = chosen.size(); i-- > 0;)
            view->SetMark(static_cast<int32_t>(i), chosen[i]);
        view->EndUpdate();
    }
};

} // namespace

std::vector<bool> actionsinternal::CompareEntries(const std::vector<TCompareEntry>& here,
                                                  const std::vector<TCompareEntry>& there, TCompareMode mode)
{
    // The other side sorted by name once, so that each item finds its
    // counterparts by bisection instead of a scan of the whole list.
    std::vector<const TCompareEntry*> sorted;
    sorted.reserve(there.size());
    for (const TCompareEntry& entry : there)
        sorted.push_back(&entry);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TCompareEntry* a, const TCompareEntry* b) { return NameBefore(a->Name, b->Name); });

    std::vector<bool> result(here.size(), false);
    std::vector<const TCompareEntry*> counterparts;
    for (size_t i = here.size(); i-- > 0;) {
        const TCompareEntry& entry = here[i];
        auto first = std::partition_point(sorted.begin(), sorted.end(),
                                          [&](const TCompareEntry* other) { return NameBefore(other->Name, entry.Name); });
        counterparts.clear();
        for (auto it = first; it != sorted.end() && SameName((*it)->Name, entry.Name); ++it)
            counterparts.push_back(*it);
        result[i] = Meets(entry, counterparts, mode);
    }
    return result;
}

T0Action* actionsinternal::NewCompareViewAction()
{
    return new TCompareViewAction;
}
