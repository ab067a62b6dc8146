// The filer window: its views side by side, the status bar, navigation and hand-offs.
#include "view/UView.h"

// Own
#include "view/UViewInternal.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LMenusXP.h"

// Platform
#include <imm.h>

// Standard library
#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>
#include <optional>

using namespace viewinternal;

// ---------------------------------------------------------------------------
// State requests

namespace {

// One request: written by the answering window thread, read by the asker,
// both under the table's section. Shared, so that whichever side lets go
// last frees it.
struct TStateRequestEntry {
    std::wstring Item;
    std::wstring Answer;
    bool Known = false;
};

class TStateRequestTable {
public:
    TStateRequestTable() { InitializeCriticalSection(&FSection); }
    ~TStateRequestTable() { DeleteCriticalSection(&FSection); }
    TStateRequestTable(const TStateRequestTable&) = delete;
    TStateRequestTable& operator=(const TStateRequestTable&) = delete;

    WPARAM Add(std::shared_ptr<TStateRequestEntry> entry)
    {
        TLock lock(FSection);
        // Zero is never a request: a stray message most often carries it.
        do
            ++FLastNumber;
        while (FLastNumber == 0 || FEntries.count(FLastNumber) != 0);
        FEntries.emplace(FLastNumber, std::move(entry));
        return FLastNumber;
    }
    std::shared_ptr<TStateRequestEntry> Find(WPARAM number)
    {
        TLock lock(FSection);
        auto found = FEntries.find(number);
        return found != FEntries.end() ? found->second : nullptr;
    }
    void Remove(WPARAM number)
    {
        std::shared_ptr<TStateRequestEntry> entry;
        TLock lock(FSection);
        auto found = FEntries.find(number);
        if (found != FEntries.end()) {
            entry = std::move(found->second);
            FEntries.erase(found);
        }
    }
    // Runs f under the section, for reading or writing an entry.
    template <class F>
    void Locked(F&& f)
    {
        TLock lock(FSection);
        f();
    }

private:
    struct TLock {
        explicit TLock(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
        ~TLock() { LeaveCriticalSection(&FSection); }
        CRITICAL_SECTION& FSection;
    };

    CRITICAL_SECTION FSection;
    WPARAM FLastNumber = 0;
    std::map<WPARAM, std::shared_ptr<TStateRequestEntry>> FEntries;
};

TStateRequestTable& StateRequests()
{
    static TStateRequestTable table;
    return table;
}

} // namespace

bool AskWindowState(HWND window, std::wstring_view item, std::wstring& answer, DWORD timeout)
{
    auto entry = std::make_shared<TStateRequestEntry>();
    entry->Item = std::wstring(item);
    TStateRequestTable& table = StateRequests();
    const WPARAM number = table.Add(entry);
    DWORD_PTR result = 0;
    LRESULT sent;
    {
        // The window's thread takes the lock to answer.
        TSuspendShared unlocked;
        sent = SendMessageTimeoutW(window, WM_NIMBRA_STATE, number, 0, SMTO_ABORTIFHUNG, timeout, &result);
    }
    // From here on a late answer finds no request; one already under way
    // writes into the entry it holds, not into this frame.
    table.Remove(number);
    if (sent == 0 || result != 1)
        return false;
    bool known = false;
    table.Locked([&] {
        known = entry->Known;
        answer = std::move(entry->Answer);
    });
    return known;
}

LRESULT AnswerWindowState(WPARAM request, TStateAnswerer answerer, void* context)
{
    std::shared_ptr<TStateRequestEntry> entry = StateRequests().Find(request);
    if (!entry)
        return 0;
    std::wstring answer;
    const bool known = answerer(context, entry->Item, answer);
    StateRequests().Locked([&] {
        entry->Answer = std::move(answer);
        entry->Known = known;
    });
    return 1;
}

// ---------------------------------------------------------------------------
// TFilerWindow

namespace {

// Pixel widths of the status bar's panes: the view pane is as wide as its
// marks need.
constexpr int kViewPaneMarkWidth = 14;

std::wstring LastErrorFreeSpaceText(const std::wstring& path)
{
    ULARGE_INTEGER available{};
    BOOL ok;
    {
        // A network drive may take its time to answer: the other windows do
        // not wait for it (the path is this thread's own copy).
        TSuspendSharedOnly unlocked;
        CriticalErrorsOff quiet;
        ok = GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr);
    }
    return ok ? FreeSpaceText(static_cast<int64_t>(available.QuadPart)) : FreeSpaceText(std::nullopt);
}

} // namespace

TFilerWindow::TFilerWindow(TPath start) : FStart(std::move(start)) {}

TFilerWindow::~TFilerWindow() = default;

void TFilerWindow::CreateFilerWindow()
{
    HDC screen = GetDC(nullptr);
    int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    LOGFONTW logFont{};
    logFont.lfHeight = -MulDiv(9, pixelsPerInch, 72);
    logFont.lfCharSet = DEFAULT_CHARSET;
    logFont.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    wcsncpy(logFont.lfFaceName, L"MS ゴシック", LF_FACESIZE - 1);
    FFont.reset(CreateFontIndirectW(&logFont));

    FKeyAssignment = new TKeyAssignment;
    FKeyAssignment->SetOwner(this);
    FMainMenu = new TMainMenu;
    FMainMenu->SetOwner(this);

    TWindowStruct create;
    create.WindowName = LocationDisplayName(FStart);
    CreateHandle(create);

    FStatusBar = new TStatusBar(this, {kViewPaneMarkWidth, -1});

    ComPtr<IFolder> folder;
    {
        TExclusiveLock lock;
        if (TFolderManager* manager = FolderManager())
            folder = manager->Folder(FStart);
    }
    TFilerView* view = new TFilerView(this, nullptr, folder.get());
    FCurrentView = view;
    view->FocusView();

    RECT frame{0, 0, view->ViewWidth(), 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), TRUE,
                       static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
    RECT window{};
    GetWindowRect(Handle(), &window);
    SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, window.bottom - window.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutViews();
    PostViewChanged();
    FStart.Clear();
}

void TFilerWindow::LinkView(TFilerView* view, TFilerView* after)
{
    if (after == nullptr)
        after = FLastView;
    view->FPrevView = after;
    view->FNextView = after != nullptr ? after->FNextView : nullptr;
    if (after != nullptr)
        after->FNextView = view;
    else
        FFirstView = view;
    if (view->FNextView != nullptr)
        view->FNextView->FPrevView = view;
    else
        FLastView = view;
    ++FViewCount;
}

void TFilerWindow::UnlinkView(TFilerView* view)
{
    if (view->FPrevView != nullptr)
        view->FPrevView->FNextView = view->FNextView;
    else
        FFirstView = view->FNextView;
    if (view->FNextView != nullptr)
        view->FNextView->FPrevView = view->FPrevView;
    else
        FLastView = view->FPrevView;
    if (FCurrentView == view)
        FCurrentView = view->FNextView != nullptr ? view->FNextView : view->FPrevView;
    view->FPrevView = view->FNextView = nullptr;
    --FViewCount;
}

IFilerView* TFilerWindow::EnumViews(bool (*callback)(IFilerView* view, void* data), void* data)
{
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView)
        if (callback(view, data))
            return view;
    return nullptr;
}

TFilerView* TFilerWindow::OpenView(const TPath& location)
{
    TFilerView* view = nullptr;
    {
        TExclusiveLock lock;
        ComPtr<IFolder> folder;
        if (TFolderManager* manager = FolderManager())
            folder = manager->Folder(location);
        view = new TFilerView(this, FCurrentView, folder.get());
    }
    FCurrentView = view;
    view->FocusView();

    // Widen the window to show every view when the work area has room.
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT window{};
    GetWindowRect(Handle(), &window);
    int wanted = FViewCount * view->ViewWidth() + 2 * GetSystemMetrics(SM_CXFRAME);
    if (wanted <= work.right - work.left) {
        int left = std::min<int>(window.left, work.right - wanted);
        SetWindowPos(Handle(), nullptr, left, window.top, wanted, window.bottom - window.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    LayoutViews();
    PostViewChanged();
    return view;
}

void TFilerWindow::CloseView(TFilerView* view)
{
    if (FViewCount <= 1 || view == nullptr)
        return;
    view->TearDown();
    T0Object::Free(view);
    LayoutViews();
    PostViewChanged();
}

void TFilerWindow::ViewFocused(TFilerView* view)
{
    if (view == FCurrentView || !IsWindowVisible(Handle()))
        return;
    MakeCurrent(view);
}

void TFilerWindow::MakeCurrent(TFilerView* view)
{
    TFilerView* old = FCurrentView;
    FCurrentView = view;
    if (old != nullptr)
        old->InvalidateHeader();
    view->InvalidateHeader();
    LayoutViews();
    PostViewChanged();
}

void TFilerWindow::FocusViewRequested(HWND target)
{
    if (IsIconic(Handle()))
        ShowWindow(Handle(), SW_RESTORE);
    SetForegroundWindow(Handle());
    // The request comes from another thread and may be older than the
    // view: only a view of this window is focused, a handle that meanwhile
    // went away (or came back as some other window) is left alone.
    if (target == nullptr)
        return;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView) {
        if (view->Handle() != target)
            continue;
        view->FocusView();
        // The focus reaches the view only while its thread is the active
        // one; it is the current view all the same.
        if (view != FCurrentView)
            MakeCurrent(view);
        return;
    }
}

void TFilerWindow::Navigate(const TPath& location)
{
    if (FCurrentView == nullptr)
        return;
    ComPtr<IFolder> folder;
    {
        TExclusiveLock lock;
        if (TFolderManager* manager = FolderManager())
            folder = manager->Folder(location);
    }
    if (folder)
        FCurrentView->ChangeFolder(folder.get());
}

bool TFilerWindow::QueueNavigation(const TPath& location)
{
    HWND handle = Handle();
    if (handle == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> guard(FQueueLock);
        if (FQueueClosed)
            return false;
        FQueued.push_back(location);
    }
    // Once queued, the request is the window's: should the message not
    // arrive, the window hands it on when it closes.
    PostMessageW(handle, WM_NIMBRA_NAVIGATE, 0, 0);
    return true;
}

void TFilerWindow::NavigateQueued()
{
    std::vector<TPath> queued;
    {
        std::lock_guard<std::mutex> guard(FQueueLock);
        queued.swap(FQueued);
    }
    for (const TPath& location : queued)
        Navigate(location);
}

void TFilerWindow::HandOnQueued()
{
    std::vector<TPath> queued;
    {
        std::lock_guard<std::mutex> guard(FQueueLock);
        FQueueClosed = true;
        queued.swap(FQueued);
    }
    // The requests were acknowledged to whoever sent them: each opens a
    // window of its own now that this one goes.
    for (const TPath& location : queued) {
        try {
            if (TApplication* app = App())
                app->OpenWindow(location);
        } catch (...) {
            ShowException(std::current_exception());
        }
    }
}

void TFilerWindow::PostViewChanged()
{
    if (Handle() != nullptr)
        PostMessageW(Handle(), WM_VIEW_CHANGED, 0, 0);
}

void TFilerWindow::SizePanes()
{
    // The view pane on the right is as wide as its marks; the info pane
    // takes the rest.
    RECT client{};
    GetClientRect(Handle(), &client);
    int marks = kViewPaneMarkWidth * std::max(FViewCount, 1) + 8;
    FStatusBar->SetPanes({std::max<int>(client.right - marks, 1), -1});
}

int TFilerWindow::StatusBarHeight() const
{
    return FStatusBar != nullptr ? FStatusBar->Height() : 0;
}

void TFilerWindow::LayoutViews()
{
    if (FFirstView == nullptr || Handle() == nullptr)
        return;
    RECT client{};
    GetClientRect(Handle(), &client);
    if (FStatusBar != nullptr)
        SizePanes();
    int width = FFirstView->ViewWidth();
    int height = std::max<int>(0, client.bottom - StatusBarHeight());
    int currentIndex = 0;
    int index = 0;
    std::vector<HWND> handles;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView, ++index) {
        if (view == FCurrentView)
            currentIndex = index;
        handles.push_back(view->Handle());
    }
    int currentLeft = 0;
    if (FCurrentView != nullptr && FCurrentView->Handle() != nullptr) {
        RECT rect{};
        GetWindowRect(FCurrentView->Handle(), &rect);
        MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&rect), 2);
        currentLeft = rect.left;
    }
    TViewStripLayout layout = LayoutViewStrip(FViewCount, width, client.right, currentIndex, currentLeft);
    if (layout.ShrinkClient) {
        RECT frame{0, 0, layout.ClientWidth, client.bottom};
        AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), GetMenu(Handle()) != nullptr,
                           static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
        if (!IsZoomed(Handle()))
            SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    HDWP positions = BeginDeferWindowPos(static_cast<int>(handles.size()));
    for (size_t i = 0; i < handles.size(); ++i)
        if (positions != nullptr)
            positions = DeferWindowPos(positions, handles[i], nullptr, layout.ViewX[i], 0, width, height,
                                       SWP_NOZORDER | SWP_NOACTIVATE);
    if (positions != nullptr)
        EndDeferWindowPos(positions);
}

std::wstring TFilerWindow::ViewPaneText() const
{
    int current = 0;
    int index = 0;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView, ++index)
        if (view == FCurrentView)
            current = index;
    return ::ViewPaneText(FViewCount, current);
}

std::wstring TFilerWindow::InfoPaneText() const
{
    TFilerView* view = FCurrentView;
    // Inside an archive the pane says what kind of archive it is.
    if (view != nullptr && viewinternal::IsArchiveFolder(view->Folder())) {
        WideString text;
        view->Folder()->GetStatusText(view->CaretItem(), text.put());
        return text.str();
    }
    if (view == nullptr || !IsDirectoryFolder(view->Folder()))
        return {};
    if (view->MarkedCount() > 0) {
        bool anyDirectory = false;
        int64_t total = 0;
        for (TFileItem* item : view->GetSelection()) {
            if ((item->Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                anyDirectory = true;
                break;
            }
            total += std::max<int64_t>(item->Size, 0);
        }
        if (!anyDirectory)
            return SelectedSizeText(total);
    }
    TPath location;
    view->Folder()->GetPath(&location);
    return LastErrorFreeSpaceText(std::wstring(location.PathView()));
}

void TFilerWindow::ViewChanged()
{
    MSG pending;
    // Several requests in the queue: the last one does the work.
    if (PeekMessageW(&pending, Handle(), WM_VIEW_CHANGED, WM_VIEW_CHANGED, PM_NOREMOVE))
        return;
    if (FStatusBar != nullptr) {
        SizePanes();
        FStatusBar->SetText(0, InfoPaneText());
        FStatusBar->SetText(1, ViewPaneText());
    }
    if (FCurrentView != nullptr)
        SetWindowTextW(Handle(), FCurrentView->DisplayPath().c_str());
}

std::wstring TFilerWindow::ComputeStatusText()
{
    if ((FLoopFlags & kMenuLoop) != 0)
        return MenuCommandHint(FMenuCommand);
    if (FCurrentView == nullptr || FCurrentView->Folder() == nullptr)
        return {};
    WideString text;
    FCurrentView->Folder()->GetStatusText(FCurrentView->CaretItem(), text.put());
    return text.str();
}

void TFilerWindow::Idle()
{
    T0MainWindow::Idle();
    // The open menu is the system's while it is shown.
    if (FMainMenu != nullptr && (FLoopFlags & kMenuLoop) == 0)
        FMainMenu->Update();
    // The info pane follows the marks; the free space is asked for again
    // only when something it depends on changed.
    if (FStatusBar != nullptr && FCurrentView != nullptr) {
        TInfoPaneKey key{FCurrentView, FCurrentView->Folder(), FCurrentView->MarkedCount(), FCurrentView->Count(),
                          FCurrentView->ChangeSerial()};
        if (!(key == FInfoPaneKey)) {
            FInfoPaneKey = key;
            FStatusBar->SetText(0, InfoPaneText());
        }
    }
}

void TFilerWindow::Activated(bool active, bool minimized)
{
    HIMC context = ImmGetContext(Handle());
    if (context != nullptr) {
        if (active)
            ImmSetOpenStatus(context, FALSE);
        ImmReleaseContext(Handle(), context);
    }
    EnableIme(Handle(), !active);
    if (FCurrentView != nullptr)
        FCurrentView->InvalidateHeader();
    if (active && !FWasActivated) {
        FWasActivated = true;
        ForceForeground();
    }
}

void TFilerWindow::ForceForeground()
{
    // Another program's foreground window keeps the system from handing the
    // foreground over unless the two input queues are joined for a moment.
    // Never join with a window thread of this program: that thread may be
    // waiting for the application lock, and joined queues then block both.
    HWND foreground = GetForegroundWindow();
    DWORD foregroundProcess = 0;
    DWORD foregroundThread = foreground != nullptr ? GetWindowThreadProcessId(foreground, &foregroundProcess) : 0;
    DWORD ownThread = GetCurrentThreadId();
    if (foregroundThread != 0 && foregroundProcess != GetCurrentProcessId() &&
        AttachThreadInput(ownThread, foregroundThread, TRUE)) {
        SetForegroundWindow(Handle());
        SetWindowPos(Handle(), nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
        SendMessageW(Handle(), WM_NCACTIVATE, TRUE, 0);
        AttachThreadInput(ownThread, foregroundThread, FALSE);
    } else {
        SetForegroundWindow(Handle());
    }
}

void TFilerWindow::MinMaxInfo(MINMAXINFO& info)
{
    if (FFirstView == nullptr)
        return;
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), GetMenu(Handle()) != nullptr,
                       static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
    int frameWidth = frame.right - frame.left;
    int frameHeight = frame.bottom - frame.top;
    int width = FFirstView->ViewWidth();
    info.ptMinTrackSize.x = width + frameWidth;
    info.ptMinTrackSize.y = StatusBarHeight() + 8 * FFirstView->CharHeight() + 9 + FFirstView->HeaderHeight() + frameHeight;
    info.ptMaxTrackSize.x = FViewCount * width + frameWidth;
    info.ptMaxSize.x = info.ptMaxTrackSize.x;
    info.ptMaxSize.y = GetSystemMetrics(SM_CYMAXIMIZED);
}

int TFilerWindow::CurrentViewIndex() const
{
    int index = 0;
    for (TFilerView* view = FFirstView; view != nullptr; view = view->FNextView, ++index)
        if (view == FCurrentView)
            return index;
    return -1;
}

LRESULT TFilerWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_VIEW_CHANGED:
        ViewChanged();
        return 0;
    case WM_FOCUS_VIEW:
        FocusViewRequested(reinterpret_cast<HWND>(wParam));
        return 0;
    case WM_NIMBRA_NAVIGATE:
        NavigateQueued();
        return 0;
    case WM_NIMBRA_STATE:
        return AnswerWindowState(
            wParam,
            [](void* window, std::wstring_view item, std::wstring& answer) {
                return static_cast<TFilerWindow*>(window)->StateText(item, answer);
            },
            this);
    case WM_SIZE: {
        LRESULT result = T0MainWindow::Dispatch(message, wParam, lParam);
        LayoutViews();
        return result;
    }
    case WM_SETFOCUS:
        if (FCurrentView != nullptr)
            FCurrentView->FocusView();
        return 0;
    case WM_ACTIVATE: {
        LRESULT result = T0MainWindow::Dispatch(message, wParam, lParam);
        Activated(LOWORD(wParam) != WA_INACTIVE, HIWORD(wParam) != 0);
        return result;
    }
    case WM_GETMINMAXINFO:
        T0MainWindow::Dispatch(message, wParam, lParam);
        MinMaxInfo(*reinterpret_cast<MINMAXINFO*>(lParam));
        return 0;
    case WM_INITMENUPOPUP:
        MenuInitPopup(wParam, lParam);
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_MEASUREITEM:
        if (wParam == 0 && MenuMeasureItem(lParam))
            return TRUE;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_DRAWITEM:
        if (wParam == 0 && MenuDrawItem(lParam))
            return TRUE;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_MENUCHAR:
        if (LRESULT result = MenuChar(wParam, lParam))
            return result;
        return T0MainWindow::Dispatch(message, wParam, lParam);
    case WM_DESTROY:
        FClosing = true;
        HandOnQueued();
        for (TFilerView* view = FFirstView; view != nullptr;) {
            TFilerView* next = view->FNextView;
            view->TearDown();
            view = next;
        }
        return T0MainWindow::Dispatch(message, wParam, lParam);
    default:
        return T0MainWindow::Dispatch(message, wParam, lParam);
    }
}

// IKeyTable

HRESULT STDMETHODCALLTYPE TFilerWindow::AddHook(IKeyAssignment* hook)
{
    return FKeyAssignment->AddHook(hook);
}

HRESULT STDMETHODCALLTYPE TFilerWindow::RemoveHook(IKeyAssignment* hook)
{
    return FKeyAssignment->RemoveHook(hook);
}

HRESULT STDMETHODCALLTYPE TFilerWindow::Lookup(int32_t modifiers, int32_t key, IAction** action)
{
    return FKeyAssignment->Lookup(modifiers, key, action);
}

