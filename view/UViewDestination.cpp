// Finding filer windows and views, and the destination folder dialog.
#include "view/UView.h"

// Own
#include "view/UViewInternal.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// Toolkit
#include "lw/LCmmDlgs.h"
#include "lw/LAddDlgs.h"
#include "lw/LExceptions.h"

// Standard library
#include <cwchar>

using namespace viewinternal;

// ---------------------------------------------------------------------------
// Lookups

TFilerView* CurrentView()
{
    T0GUIThread* thread = CurrentGUIThread();
    auto* window = dynamic_cast<TFilerWindow*>(thread->MainWindow());
    return window != nullptr ? window->CurrentView() : nullptr;
}

TFilerView* ForegroundView()
{
    auto* window = dynamic_cast<TFilerWindow*>(ProcessWindowOf(GetForegroundWindow()));
    return window != nullptr ? window->CurrentView() : nullptr;
}

namespace {

struct TFindFiler {
    bool (*Test)(HWND window, void* data);
    void* Data;
    HWND Found;
};

BOOL CALLBACK FindFilerProc(HWND window, LPARAM param)
{
    auto* find = reinterpret_cast<TFindFiler*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId())
        return TRUE;
    wchar_t className[64];
    if (GetClassNameW(window, className, 64) == 0 || wcscmp(className, kFilerWindowClass) != 0)
        return TRUE;
    if (find->Test != nullptr && !find->Test(window, find->Data))
        return TRUE;
    find->Found = window;
    return FALSE;
}

} // namespace

HWND FindFilerWindow(bool (*test)(HWND window, void* data), void* data)
{
    TFindFiler find{test, data, nullptr};
    EnumWindows(FindFilerProc, reinterpret_cast<LPARAM>(&find));
    return find.Found;
}

// ---------------------------------------------------------------------------
// The destination folder dialog

namespace {

constexpr TEntryData kBrowseEntry = -1;

struct TFolderChoice {
    std::wstring Text;
    TPath Location;
};

struct TChoiceCollector {
    TPath Current;
    std::vector<TFolderChoice> Choices;

    // Adds the folder of view unless it is the current one, cannot take
    // files or is listed already.
    void Add(TFilerView* view)
    {
        IFolder* folder = view->Folder();
        if (folder == nullptr || (folder->GetCapabilities() & kCanModify) == 0)
            return;
        TPath location;
        folder->GetPath(&location);
        if (location == Current)
            return;
        for (const TFolderChoice& choice : Choices)
            if (choice.Location == location)
                return;
        Choices.push_back({view->DisplayPath(), std::move(location)});
    }
};

struct TBrowseContext {
    TChoiceCollector* Collector;
    std::wstring Caption;
    std::wstring Start;
};

// Confirming the browse entry opens the folder browser instead of closing
// the dialog; a folder chosen there becomes a selected entry.
bool BrowseOnConfirm(T0DialogWindow* window, void* data)
{
    auto* dialog = static_cast<TSelectDialog*>(window);
    auto* browse = static_cast<TBrowseContext*>(data);
    if (dialog->ItemIndex() < 0 || dialog->ItemData() != kBrowseEntry)
        return true;
    TOwned<TBrowseFolderDialog> browser(new TBrowseFolderDialog(dialog->Handle(), browse->Caption, browse->Start));
    if (browser->Execute() && !browser->Path().empty()) {
        std::wstring chosen = browser->Path();
        browse->Collector->Choices.push_back({chosen, TPath::FromPath(chosen)});
        int index = dialog->InsertEntry(dialog->Count() - 1, chosen,
                                        static_cast<TEntryData>(browse->Collector->Choices.size() - 1));
        dialog->SetItemIndex(index);
        dialog->SetChecked(true);
    }
    return false;
}

bool CollectOtherWindow(HWND handle, void* data)
{
    auto* collector = static_cast<TChoiceCollector*>(data);
    auto* window = dynamic_cast<TFilerWindow*>(ProcessWindowOf(handle));
    if (window != nullptr && window->Handle() != nullptr && GetWindowThreadProcessId(handle, nullptr) != GetCurrentThreadId())
        for (TFilerView* view = window->FirstView(); view != nullptr; view = view->NextView())
            collector->Add(view);
    return false;
}

} // namespace

bool ChooseFolder(const std::wstring& caption, TPath& path)
{
    TFilerView* current = CurrentView();
    Assert(current != nullptr, kUnit, L"ChooseFolder without a current view");
    TChoiceCollector collector;
    {
        // The views of other windows live on other threads.
        TExclusiveLock lock;
        if (current->Folder() != nullptr)
            current->Folder()->GetPath(&collector.Current);
        for (TFilerView* view = current->Window()->FirstView(); view != nullptr; view = view->NextView())
            collector.Add(view);
        FindFilerWindow(CollectOtherWindow, &collector);
        if (current->Folder() != nullptr && (current->Folder()->GetCapabilities() & kCanModify) != 0)
            collector.Choices.push_back({L". (" + current->DisplayPath() + L")", collector.Current});
    }

    TOwned<TSelectDialog> dialog(new TSelectDialog(current->Window()->Handle(), caption));
    for (size_t i = 0; i < collector.Choices.size(); ++i)
        dialog->AddEntry(collector.Choices[i].Text, static_cast<TEntryData>(i));
    dialog->AddEntry(L"...", kBrowseEntry);
    dialog->SetCheckBox(L"選択フォルダを開く(&S)", false);
    TBrowseContext browse{&collector, caption, std::wstring(collector.Current.PathView())};
    dialog->SetValidation(BrowseOnConfirm, &browse);
    if (!dialog->Execute())
        return false;
    TEntryData chosen = dialog->ItemData();
    Assert(chosen >= 0 && static_cast<size_t>(chosen) < collector.Choices.size(), kUnit,
           L"the chosen destination has no folder");
    path = collector.Choices[static_cast<size_t>(chosen)].Location;
    if (dialog->Checked() && current->Handle() != nullptr) {
        auto* another = new TPath(path);
        if (!PostMessageW(current->Handle(), WM_OPEN_ANOTHER_VIEW, 0, reinterpret_cast<LPARAM>(another)))
            delete another;
    }
    return true;
}

