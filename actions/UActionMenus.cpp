// Window, help and version actions: the menu of all views, the menu of the
// extensions' dialogs, the help page and the version box.
#include "actions/UActionsInternal.h"

// Application
#include "app/OSUtils.h"
#include "app/UMain.h"

// Toolkit
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <shellapi.h>

// Standard library
#include <utility>
#include <vector>

namespace actionsinternal {

namespace {

constexpr const wchar_t* kMenuOnly = L"このアクションはメニュー専用です";
constexpr const wchar_t* kHelpMissing = L"ヘルプが見つかりません:\r\n";
constexpr const wchar_t* kHelpFailed = L"ヘルプを開けません:\r\n";

// The shell's show mode for pages and programs the user asked for.
constexpr int kShowMode = SW_SHOW;

HWND ActionOwner()
{
    TFilerView* view = ActionView();
    return view != nullptr ? view->Window()->Handle() : nullptr;
}

void WarnMenuOnly(const std::wstring& caption)
{
    TMessageBox::Show(ActionOwner(), kMenuOnly, caption, MB_OK | MB_ICONWARNING);
}

// ---------------------------------------------------------------------------
// The help page

bool IsUnreservedUrlCharacter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/' || c == ':';
}

// Opens the page at the anchor through the shell; the page's own file when
// the shell takes no address with a fragment. Shell calls may wait on
// other programs: nothing of the application lock is held meanwhile.
void OpenHelpPage(TFilerView* view, const wchar_t* anchor)
{
    HWND owner = OwnerWindow(view);
    std::wstring path = HelpPagePath();
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        TMessageBox::Show(owner, kHelpMissing + path, {}, MB_OK | MB_ICONWARNING);
        return;
    }
    std::wstring url = HelpPageUrl(path, anchor);
    INT_PTR result = 0;
    {
        TSuspendShared suspend;
        result = reinterpret_cast<INT_PTR>(ShellExecuteW(owner, nullptr, url.c_str(), nullptr, nullptr, kShowMode));
        if (result <= 32)
            result = reinterpret_cast<INT_PTR>(ShellExecuteW(owner, nullptr, path.c_str(), nullptr, nullptr, kShowMode));
    }
    if (result <= 32)
        TMessageBox::Show(owner, kHelpFailed + path + L"\r\n(" + std::to_wstring(result) + L")", {},
                          MB_OK | MB_ICONWARNING);
}

// ---------------------------------------------------------------------------
// "WindowMenu"

// Every filer window of the application, in the order their threads
// started. The caller holds the application lock exclusively.
std::vector<TFilerWindow*> FilerWindows()
{
    std::vector<TFilerWindow*> windows;
    TApplication* app = App();
    if (app == nullptr)
        return windows;
    windows.reserve(16);
    app->ForEachThread([&](T0Thread* thread) {
        // The thread list's section is held here: nothing may throw past it.
        try {
            auto* viewThread = dynamic_cast<TViewThread*>(thread);
            if (viewThread == nullptr || viewThread->Finished())
                return;
            TFilerWindow* window = viewThread->FilerWindow();
            if (window != nullptr && window->Handle() != nullptr)
                windows.push_back(window);
        } catch (...) {
        }
    });
    return windows;
}

class TWindowMenuAction : public T0Action, public TActionItemsProvider {
public:
    TWindowMenuAction() : T0Action(true)
    {
        Describe("WindowMenu", L"Window", L"");
        FItems = new TActionItems(this, L"Window");
        FItems->SetOwner(this);
    }

    // The views come and go: the list is made again whenever it is shown.
    // Asking for it marks it too: the idle step that would is skipped while
    // any window is busy, and a menu opened before it would list views
    // that are gone.
    void Idle() override { FItems->Invalidate(); }
    IActionItems* ActionItems() override
    {
        FItems->Invalidate();
        return FItems;
    }
    void Execute() override { WarnMenuOnly(Caption()); }

    void Fill(TActionItems& list) override
    {
        // The other windows' views belong to their threads; a menu opened on
        // a window thread holds the lock only shared.
        TExclusiveLock lock;
        list.Clear();
        HWND foreground = GetForegroundWindow();
        for (TFilerWindow* window : FilerWindows())
            for (TFilerView* view = window->FirstView(); view != nullptr; view = view->NextView())
                list.Add(view->DisplayPath(), reinterpret_cast<intptr_t>(view->Handle()),
                         window->Handle() == foreground && view == window->CurrentView());
    }

    void PerformItem(TActionItem& item) override
    {
        auto target = reinterpret_cast<HWND>(item.Data());
        HWND parent = nullptr;
        {
            // The view may have closed since the list was made, and its
            // handle may even name another window by now.
            TExclusiveLock lock;
            for (TFilerWindow* window : FilerWindows())
                for (TFilerView* view = window->FirstView(); view != nullptr; view = view->NextView())
                    if (view->Handle() != nullptr && view->Handle() == target)
                        parent = window->Handle();
        }
        if (parent != nullptr)
            PostMessageW(parent, WM_FOCUS_VIEW, reinterpret_cast<WPARAM>(target), 0);
    }

private:
    TActionItems* FItems;
};

// ---------------------------------------------------------------------------
// "HelpMenu"

// Shows an extension's dialog on a thread of its own, so that the window
// that chose it goes on answering.
class TDialogThread : public T0Thread {
public:
    explicit TDialogThread(ComPtr<IConfigurable> configurable) : FConfigurable(std::move(configurable)) {}

protected:
    void Execute() override
    {
        // Released here, on this thread, before the thread is reaped: a
        // module is unloaded only after every thread has ended.
        ComPtr<IConfigurable> configurable = std::exchange(FConfigurable, {});
        if (configurable)
            CheckHResult(configurable->Configure());
    }

private:
    ComPtr<IConfigurable> FConfigurable;
};

class TExtensionMenuAction : public T0Action, public TActionItemsProvider {
public:
    TExtensionMenuAction() : T0Action(true)
    {
        Describe("HelpMenu", L"Help", L"");
        FItems = new TActionItems(this, L"Help");
        FItems->SetOwner(this);
    }

    // Filled once there is something to show: the modules register while
    // start-up reads the settings, which may come after the first look.
    void Idle() override
    {
        if (FItems->Items().empty()) {
            FItems->Invalidate();
            FItems->MakeCurrent();
        }
    }
    IActionItems* ActionItems() override { return FItems; }
    void Execute() override { WarnMenuOnly(Caption()); }

    void Fill(TActionItems& list) override
    {
        TExclusiveLock lock;
        list.Clear();
        FConfigurables.clear();
        TApplication* app = App();
        if (app == nullptr)
            return;
        ComPtr<IExtension> none;
        CheckHResult(app->FirstExtensionThat(&Collect, &FConfigurables, none.put()));
        for (const ComPtr<IConfigurable>& configurable : FConfigurables) {
            WideString caption;
            if (FAILED(configurable->GetCaption(caption.put())))
                continue;
            list.Add(caption.str(), reinterpret_cast<intptr_t>(configurable.get()));
        }
    }

    void PerformItem(TActionItem& item) override
    {
        ComPtr<IConfigurable> chosen;
        {
            TSharedLock lock;
            for (const ComPtr<IConfigurable>& configurable : FConfigurables)
                if (reinterpret_cast<intptr_t>(configurable.get()) == item.Data())
                    chosen = configurable;
        }
        if (chosen)
            T0Thread::StartThread<TDialogThread>(std::move(chosen));
    }

private:
    static bool STDMETHODCALLTYPE Collect(IExtension* candidate, void* data)
    {
        auto* found = static_cast<std::vector<ComPtr<IConfigurable>>*>(data);
        ComPtr<IConfigurable> configurable;
        if (candidate != nullptr &&
            SUCCEEDED(candidate->QueryInterface(__uuidof(IConfigurable), reinterpret_cast<void**>(configurable.put()))) &&
            configurable) {
            try {
                found->push_back(std::move(configurable));
            } catch (...) {
            }
        }
        return false;
    }

    TActionItems* FItems;
    // What the items' data point to, kept counted while they are listed.
    std::vector<ComPtr<IConfigurable>> FConfigurables;
};

// ---------------------------------------------------------------------------
// "VersionInfo"

// Shows the version box with a hidden window of its own as owner. It holds
// nothing of the application's but the module handles, and the application
// waits for it before it unloads them.
class TVersionBoxThread : public T0Thread {
public:
    explicit TVersionBoxThread(std::vector<HMODULE> modules) : FModules(std::move(modules)) {}

protected:
    void Execute() override
    {
        std::wstring text = VersionInfoText(GatherVersionFacts(FModules));
        UniqueWindow owner(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                           GetModuleHandleW(nullptr), nullptr));
        MessageBoxW(owner.get(), text.c_str(), kVersionBoxTitle, MB_OK | MB_ICONINFORMATION);
    }

private:
    std::vector<HMODULE> FModules;
};

class TVersionInfoAction : public T0Action {
public:
    TVersionInfoAction() : T0Action(true) { Describe("VersionInfo", L"バージョン情報...", L"バージョン情報を表示します"); }

    void Idle() override { SetEnabled(true); }
    void Execute() override
    {
        std::vector<HMODULE> modules;
        if (TApplication* app = App())
            modules = app->ModuleHandles();
        T0Thread::StartThread<TVersionBoxThread>(std::move(modules));
    }
};

} // namespace

std::wstring HelpPagePath()
{
    return ProgramDirectory() + kHelpPageName;
}

std::wstring HelpPageUrl(std::wstring_view path, std::wstring_view anchor)
{
    std::wstring slashed(path);
    for (wchar_t& c : slashed)
        if (c == L'\\')
            c = L'/';
    // "\\server\share\x" is "file://server/share/x", "C:\x" is "file:///C:/x".
    std::wstring url = slashed.compare(0, 2, L"//") == 0 ? L"file:" : L"file:///";
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (unsigned char c : UnicodeToUtf8(slashed)) {
        if (IsUnreservedUrlCharacter(c)) {
            url += static_cast<wchar_t>(c);
        } else {
            url += L'%';
            url += kHex[c >> 4];
            url += kHex[c & 15];
        }
    }
    if (!anchor.empty()) {
        url += L'#';
        url += anchor;
    }
    return url;
}

// The program has no web site: its page is the help page.
void BrowsePage(TFilerView* view)
{
    OpenHelpPage(view, L"contents");
}

void HelpContents(TFilerView* view)
{
    OpenHelpPage(view, L"contents");
}

void HelpOnHelp(TFilerView* view)
{
    OpenHelpPage(view, L"helponhelp");
}

void HelpTopicSearch(TFilerView* view)
{
    OpenHelpPage(view, L"topics");
}

T0Action* NewWindowMenuAction()
{
    return new TWindowMenuAction;
}

T0Action* NewVersionInfoAction()
{
    return new TVersionInfoAction;
}

T0Action* NewHelpMenuAction()
{
    return new TExtensionMenuAction;
}

} // namespace actionsinternal
