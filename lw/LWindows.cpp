#include "lw/LWindows.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LWindowsInternal.h"

// Platform
#include <imm.h>
#include <objbase.h>

// Standard library
#include <algorithm>
#include <cwchar>


using namespace lwinternal;

namespace {

// How long the handler of a message sent from another thread waits for its
// hold before the system's handling answers instead.
constexpr DWORD kSentMessageLockWait = 500;

// The hold one handled message takes: shared, when the thread holds nothing
// yet. Nested messages (sent by the handler to a window of its own thread)
// run under the hold of the outer one.
class THandlerHold {
public:
    THandlerHold()
    {
        T0Application* app = Application();
        if (app == nullptr || app->CallerLockState() != 0)
            return;
        const DWORD wait = InSendMessage() ? kSentMessageLockWait : INFINITE;
        if (!app->AppLock().TryAcquireShared(wait)) {
            FHeld = false;
            OutputDebugStringW(L"LWindows: a sent message was answered without its handler: the lock stayed taken\n");
            return;
        }
        app->CallerLockState() = 1;
        FTaken = true;
    }
    ~THandlerHold()
    {
        if (!FTaken)
            return;
        T0Application* app = Application();
        app->CallerLockState() = 0;
        app->AppLock().ReleaseShared();
    }
    THandlerHold(const THandlerHold&) = delete;
    THandlerHold& operator=(const THandlerHold&) = delete;
    bool Held() const { return FHeld; }

private:
    bool FHeld = true;
    bool FTaken = false;
};

ATOM WindowAtom()
{
    T0Application* app = Application();
    return app != nullptr ? app->WindowAtom() : 0;
}

BOOL CALLBACK RemoveOneProp(HWND window, LPWSTR name, HANDLE, ULONG_PTR)
{
    RemovePropW(window, name);
    return TRUE;
}

} // namespace

LRESULT CALLBACK PermanentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* object = static_cast<T0Window*>(GetPropW(window, MAKEINTATOM(WindowAtom())));
    if (object == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    THandlerHold hold;
    if (!hold.Held()) {
        // A message sent from another thread while a third holds the lock
        // exclusively for longer than the sender should wait: the system's
        // handling answers it, and the sender is not held up for good.
        TSuspendSharedOnly unlocked;
        return object->DefaultHandler(message, wParam, lParam);
    }
    LRESULT result = 0;
    try {
        result = object->Dispatch(message, wParam, lParam);
    } catch (...) {
        SetPendingException(std::current_exception());
    }
    return result;
}

LRESULT CALLBACK InitialWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    T0Window* object = std::exchange(t_creatingWindow, nullptr);
    if (object == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    object->FHandle = window;
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PermanentWindowProc));
    SetPropW(window, MAKEINTATOM(WindowAtom()), object);
    return PermanentWindowProc(window, message, wParam, lParam);
}

T0Window* WindowOf(HWND handle)
{
    if (handle == nullptr || GetWindowThreadProcessId(handle, nullptr) != GetCurrentThreadId())
        return nullptr;
    return static_cast<T0Window*>(GetPropW(handle, MAKEINTATOM(WindowAtom())));
}

T0Window* ProcessWindowOf(HWND handle)
{
    DWORD process = 0;
    if (handle == nullptr || GetWindowThreadProcessId(handle, &process) == 0 || process != GetCurrentProcessId())
        return nullptr;
    return static_cast<T0Window*>(GetPropW(handle, MAKEINTATOM(WindowAtom())));
}

TAnyWindow* AnyWindowOf(HWND handle)
{
    if (handle == nullptr || !IsWindow(handle))
        return nullptr;
    if (T0Window* window = WindowOf(handle))
        return window;
    T0Thread* thread = t_currentThread;
    if (thread == nullptr || thread->Garbage() == nullptr)
        return nullptr;
    auto same = [](T0Object* child, void* arg) {
        auto* wrapper = dynamic_cast<TAnyWindow*>(child);
        return wrapper != nullptr && wrapper->Handle() == static_cast<HWND>(arg);
    };
    if (T0Object* found = thread->Garbage()->FirstThat(same, handle))
        return static_cast<TAnyWindow*>(found);
    auto* wrapper = new TAnyWindow(handle);
    wrapper->SetOwner(thread->Garbage());
    return wrapper;
}

// ---------------------------------------------------------------------------
// T0Window

T0Window::~T0Window()
{
    if (FHandle != nullptr && IsWindow(FHandle)) {
        // The derived parts are gone: let the remaining messages go to the
        // default procedure, or to an attached control's own one, which
        // frees what the control keeps.
        RemovePropW(FHandle, MAKEINTATOM(WindowAtom()));
        if (FBaseProc != nullptr)
            SetWindowLongPtrW(FHandle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FBaseProc));
        DestroyWindow(FHandle);
    }
    FHandle = nullptr;
}

void T0Window::RegisterWindowClass(const std::wstring& className)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (GetClassInfoExW(instance, className.c_str(), &windowClass))
        return;
    windowClass = WNDCLASSEXW{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = InitialWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className.c_str();
    FillWindowClass(windowClass);
    // Another thread may have registered it meanwhile: that is fine.
    RegisterClassExW(&windowClass);
}

void T0Window::CreateHandle(const TWindowStruct& create)
{
    std::wstring className = WindowClassName();
    RegisterWindowClass(className);
    t_creatingWindow = this;
    HWND handle = CreateWindowExW(create.ExStyle, className.c_str(), create.WindowName.c_str(), create.Style, create.X,
                                  create.Y, create.Width, create.Height, create.Parent, create.Menu,
                                  GetModuleHandleW(nullptr), create.Param);
    t_creatingWindow = nullptr;
    Assert(handle != nullptr, kUnit, L"window creation failed: " + className);
}

void T0Window::AttachHandle(HWND handle)
{
    Assert(FHandle == nullptr && handle != nullptr && WindowOf(handle) == nullptr &&
               GetWindowThreadProcessId(handle, nullptr) == GetCurrentThreadId(),
           kUnit, L"only a free window of this thread can be attached");
    FHandle = handle;
    SetPropW(handle, MAKEINTATOM(WindowAtom()), this);
    FBaseProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PermanentWindowProc)));
}

LRESULT T0Window::DefaultHandler(UINT message, WPARAM wParam, LPARAM lParam)
{
    // The system's handling may run a modal loop (the menu, moving and
    // sizing, a control's own tracking) that waits for input: it runs
    // without the shared hold, and the messages it dispatches take their own.
    TSuspendSharedOnly unlocked;
    if (FBaseProc != nullptr)
        return CallWindowProcW(FBaseProc, FHandle, message, wParam, lParam);
    return DefWindowProcW(FHandle, message, wParam, lParam);
}

LRESULT T0Window::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        return WMCommand(wParam, lParam);
    case WM_NOTIFY:
        return WMNotify(wParam, lParam);
    case WM_PAINT:
        return WMPaint(wParam, lParam);
    case WM_SIZE:
        return WMSize(wParam, lParam);
    case WM_KEYDOWN:
        return WMKeyDown(wParam, lParam);
    case WM_SYSKEYDOWN:
        return WMSysKeyDown(wParam, lParam);
    case WM_SYSCHAR:
        if (std::exchange(FSwallowSysChar, false))
            return 0;
        return DefaultHandler(message, wParam, lParam);
    case WM_SYSKEYUP:
    case WM_KEYUP:
        FSwallowSysChar = false;
        if (wParam == VK_MENU && std::exchange(FSwallowAltUp, false))
            return 0;
        return DefaultHandler(message, wParam, lParam);
    case WM_NCDESTROY: {
        LRESULT result = DefaultHandler(message, wParam, lParam);
        WMNCDestroy();
        return result;
    }
    default:
        return DefaultHandler(message, wParam, lParam);
    }
}

void T0Window::WMNCDestroy()
{
    EnumPropsExW(FHandle, RemoveOneProp, 0);
    FHandle = nullptr;
}

LRESULT T0Window::WMCommand(WPARAM wParam, LPARAM lParam)
{
    auto control = reinterpret_cast<HWND>(lParam);
    if (control != nullptr) {
        NMHDR header{control, LOWORD(wParam), kCommandNotifyBase + HIWORD(wParam)};
        LRESULT result = 0;
        T0Window* target = WindowOf(control);
        if (target == nullptr || target == this)
            target = this;
        target->HandleNotify(AnyWindowOf(control), header, result);
    } else if (HIWORD(wParam) == 0) {
        if (auto* thread = dynamic_cast<T0GUIThread*>(t_currentThread))
            if (auto* command = dynamic_cast<TCommandObject*>(thread->CommandObject(LOWORD(wParam))))
                command->ExecuteCommand();
    }
    return DefaultHandler(WM_COMMAND, wParam, lParam);
}

LRESULT T0Window::WMNotify(WPARAM wParam, LPARAM lParam)
{
    LRESULT result = DefaultHandler(WM_NOTIFY, wParam, lParam);
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (header == nullptr)
        return result;
    T0Window* target = WindowOf(header->hwndFrom);
    if (target == nullptr || target == this)
        target = this;
    target->HandleNotify(AnyWindowOf(header->hwndFrom), *header, result);
    return result;
}

LRESULT T0Window::WMPaint(WPARAM wParam, LPARAM lParam)
{
    // A system control attached to an object paints itself.
    if (FBaseProc != nullptr)
        return DefaultHandler(WM_PAINT, wParam, lParam);
    auto dc = reinterpret_cast<HDC>(wParam);
    PAINTSTRUCT paint{};
    bool began = dc == nullptr;
    if (began)
        dc = BeginPaint(FHandle, &paint);
    int saved = SaveDC(dc);
    try {
        Paint(dc);
    } catch (...) {
        RestoreDC(dc, saved);
        if (began)
            EndPaint(FHandle, &paint);
        throw;
    }
    RestoreDC(dc, saved);
    if (began)
        EndPaint(FHandle, &paint);
    return 0;
}

LRESULT T0Window::WMSize(WPARAM wParam, LPARAM lParam)
{
    LRESULT result = DefaultHandler(WM_SIZE, wParam, lParam);
    Realign();
    return result;
}

T0Window::TKeyResult T0Window::RunKeyDown(WPARAM wParam, LPARAM lParam)
{
    UINT key = static_cast<UINT>(wParam);
    int repeat = std::max(1, static_cast<int>(LOWORD(lParam)));
    int shift = ShiftState();
    HWND self = FHandle;
    bool handled = false;
    for (int i = 0; i < repeat; ++i) {
        if (KeyDown(shift, key))
            handled = true;
        if (!IsWindow(self) || WindowOf(self) != this)
            return TKeyResult::Gone;
    }
    return handled ? TKeyResult::Handled : TKeyResult::Unhandled;
}

LRESULT T0Window::WMSysKeyDown(WPARAM wParam, LPARAM lParam)
{
    // Alt alone opens the menu bar when it is let go: never a binding.
    if (wParam != VK_MENU) {
        switch (RunKeyDown(wParam, lParam)) {
        case TKeyResult::Gone:
            return 0;
        case TKeyResult::Handled:
            // The access-key character that follows must not reach the menu
            // bar as well (it would beep, or open a menu), nor the release
            // of Alt, which the system would take for Alt pressed alone.
            FSwallowSysChar = true;
            FSwallowAltUp = (HIWORD(lParam) & KF_ALTDOWN) != 0;
            return 0;
        case TKeyResult::Unhandled:
            break;
        }
    }
    return DefaultHandler(WM_SYSKEYDOWN, wParam, lParam);
}

LRESULT T0Window::WMKeyDown(WPARAM wParam, LPARAM lParam)
{
    UINT key = static_cast<UINT>(wParam);
    int shift = ShiftState();
    switch (RunKeyDown(wParam, lParam)) {
    case TKeyResult::Gone:
    case TKeyResult::Handled:
        return 0;
    case TKeyResult::Unhandled:
        break;
    }

    UINT wanted = 0;
    switch (key) {
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
        wanted = DLGC_WANTARROWS;
        break;
    case VK_TAB:
        wanted = DLGC_WANTTAB;
        break;
    case VK_ESCAPE:
    case VK_CANCEL:
    case VK_RETURN:
    case VK_EXECUTE:
        wanted = DLGC_WANTALLKEYS;
        break;
    default:
        break;
    }
    if (wanted != 0) {
        MSG message{FHandle, WM_KEYDOWN, wParam, lParam, 0, {0, 0}};
        auto code = static_cast<UINT>(SendMessageW(FHandle, WM_GETDLGCODE, wParam, reinterpret_cast<LPARAM>(&message)));
        if ((code & wanted) == 0 && (code & DLGC_WANTALLKEYS) == 0 && NavigateKey(key, shift))
            return 0;
    }
    return DefaultHandler(WM_KEYDOWN, wParam, lParam);
}

bool T0Window::NavigateKey(UINT key, int shift)
{
    // Up through the parent toolkit windows to the top-level window.
    if (T0Window* parent = WindowOf(GetParent(FHandle)))
        return parent->NavigateKey(key, shift);
    return false;
}

void T0Window::Idle()
{
    for (HWND child = GetWindow(FHandle, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        if (T0Window* window = WindowOf(child))
            window->Idle();
}

void T0Window::Realign()
{
    if (FHandle == nullptr)
        return;
    RECT area;
    GetClientRect(FHandle, &area);
    std::vector<T0Window*> children;
    for (HWND child = GetWindow(FHandle, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        // The child's own visibility: the parent may still be hidden.
        if (T0Window* window = WindowOf(child);
            window != nullptr && (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) != 0)
            children.push_back(window);

    auto sizeOf = [](T0Window* window) {
        RECT r;
        GetWindowRect(window->Handle(), &r);
        return SIZE{r.right - r.left, r.bottom - r.top};
    };
    auto place = [](T0Window* window, int x, int y, int cx, int cy) {
        SetWindowPos(window->Handle(), nullptr, x, y, std::max(0, cx), std::max(0, cy),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    };
    for (T0Window* window : children) {
        if (window->Align() == TAlign::Top) {
            int height = sizeOf(window).cy;
            place(window, area.left, area.top, area.right - area.left, height);
            area.top += height;
        } else if (window->Align() == TAlign::Bottom) {
            int height = sizeOf(window).cy;
            place(window, area.left, area.bottom - height, area.right - area.left, height);
            area.bottom -= height;
        }
    }
    for (T0Window* window : children) {
        if (window->Align() == TAlign::Left) {
            int width = sizeOf(window).cx;
            place(window, area.left, area.top, width, area.bottom - area.top);
            area.left += width;
        } else if (window->Align() == TAlign::Right) {
            int width = sizeOf(window).cx;
            place(window, area.right - width, area.top, width, area.bottom - area.top);
            area.right -= width;
        }
    }
    for (T0Window* window : children)
        if (window->Align() == TAlign::Client)
            place(window, area.left, area.top, area.right - area.left, area.bottom - area.top);
}

// ---------------------------------------------------------------------------
// Top-level windows

std::wstring T0TopWindow::ComputeStatusText()
{
    return (FLoopFlags & kMenuLoop) != 0 ? std::wstring() : std::wstring(L"Ready");
}

void T0TopWindow::Idle()
{
    FStatusText = ComputeStatusText();
    T0Window::Idle();
    if ((FLoopFlags & kMenuLoop) == 0 && FStatusObserver)
        FStatusObserver->Update();
}

bool T0TopWindow::NavigateKey(UINT key, int shift)
{
    if (key != VK_TAB)
        return false;
    HWND next = GetNextDlgTabItem(Handle(), GetFocus(), (shift & kShiftShift) != 0);
    if (next == nullptr)
        return false;
    SetFocus(next);
    return true;
}

LRESULT T0TopWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        if (CanClose())
            return DefaultHandler(message, wParam, lParam);
        return 0;
    case WM_MENUSELECT: {
        LRESULT result = DefaultHandler(message, wParam, lParam);
        UINT flags = HIWORD(wParam);
        if ((flags == 0xFFFF && lParam == 0) || (flags & MF_SYSMENU) != 0)
            FMenuCommand = 0;
        else if ((flags & MF_POPUP) != 0)
            FMenuCommand = 0; // a submenu header carries no command of its own yet
        else
            FMenuCommand = LOWORD(wParam);
        Idle();
        return result;
    }
    case WM_ENTERMENULOOP:
        FLoopFlags |= kMenuLoop;
        return DefaultHandler(message, wParam, lParam);
    case WM_EXITMENULOOP:
        FLoopFlags &= ~kMenuLoop;
        return DefaultHandler(message, wParam, lParam);
    case WM_ENTERSIZEMOVE:
        FLoopFlags |= kSizeMoveLoop;
        return DefaultHandler(message, wParam, lParam);
    case WM_EXITSIZEMOVE:
        FLoopFlags &= ~kSizeMoveLoop;
        return DefaultHandler(message, wParam, lParam);
    default:
        return T0Window::Dispatch(message, wParam, lParam);
    }
}

namespace {

struct TOwnedWalk {
    HWND Owner;
    void (*Apply)(HWND window, void* arg);
    void* Arg;
};

BOOL CALLBACK ApplyToOwned(HWND window, LPARAM param)
{
    auto* walk = reinterpret_cast<TOwnedWalk*>(param);
    if (GetWindow(window, GW_OWNER) == walk->Owner)
        walk->Apply(window, walk->Arg);
    return TRUE;
}

// Calls apply for every top-level window of this thread that owner owns.
void ForEachOwnedWindow(HWND owner, void (*apply)(HWND, void*), void* arg)
{
    TOwnedWalk walk{owner, apply, arg};
    EnumThreadWindows(GetCurrentThreadId(), ApplyToOwned, reinterpret_cast<LPARAM>(&walk));
}

} // namespace

void T0LeadWindow::Idle()
{
    T0TopWindow::Idle();
    ForEachOwnedWindow(
        Handle(),
        [](HWND window, void*) {
            if (T0Window* owned = WindowOf(window))
                owned->Idle();
        },
        nullptr);
}

LRESULT T0LeadWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        FTerminated = CanClose();
        return 0;
    case WM_QUIT:
        FTerminated = true;
        return 0;
    case WM_QUERYENDSESSION:
        return CanClose() ? TRUE : FALSE;
    case WM_ENDSESSION:
        // Only a session that really ends takes the window with it.
        if (wParam != FALSE)
            FTerminated = true;
        return T0TopWindow::Dispatch(message, wParam, lParam);
    case WM_ENABLE: {
        BOOL enable = static_cast<BOOL>(wParam);
        ForEachOwnedWindow(
            Handle(), [](HWND window, void* arg) { EnableWindow(window, *static_cast<BOOL*>(arg)); }, &enable);
        return DefaultHandler(message, wParam, lParam);
    }
    default:
        return T0TopWindow::Dispatch(message, wParam, lParam);
    }
}

void T0LeadWindow::MessageLoop()
{
    T0GUIThread* thread = CurrentGUIThread();
    FTerminated = false;
    T0LeadWindow* previousActive = thread->ActiveWindow();
    thread->SetActiveWindow(this);
    T0Object* previousMark = thread->Garbage()->Mark();
    // The loop holds nothing: each message takes its hold in the window
    // procedure, each idle step its own, and the wait for input none.
    TSuspendShared unlocked;
    auto idleStep = [&] {
        TSharedLock held;
        thread->IdleStep(this);
    };
    while (!FTerminated) {
        MSG message;
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            bool notifyIdle = true;
            while (!thread->WaitMessage(message, notifyIdle)) {
                notifyIdle = false;
                idleStep();
                ShowPendingException(Handle());
                if (FTerminated)
                    break;
            }
            if (FTerminated)
                break;
        } else if (message.message == WM_LW_WAKE && message.hwnd == nullptr) {
            // Taken while busy: the wake messages queued since ask for one step.
            MSG more;
            while (PeekMessageW(&more, nullptr, WM_LW_WAKE, WM_LW_WAKE, PM_REMOVE)) {
            }
            idleStep();
            ShowPendingException(Handle());
            continue;
        }
        if (message.message == WM_QUIT)
            message.hwnd = Handle();
        TranslateMessage(&message);
        DispatchMessageW(&message);
        ShowPendingException(Handle());
    }
    thread->Garbage()->SetMark(previousMark);
    thread->SetActiveWindow(previousActive);
}

RECT CentredRect(const RECT& window, const RECT* owner, const RECT& workArea)
{
    const RECT& base = owner != nullptr ? *owner : workArea;
    LONG width = window.right - window.left;
    LONG height = window.bottom - window.top;
    LONG left = base.left + ((base.right - base.left) - width) / 2;
    LONG top = base.top + ((base.bottom - base.top) - height) / 2;
    left = std::max(left, workArea.left);
    top = std::max(top, workArea.top);
    return RECT{left, top, left + width, top + height};
}

void T0DialogWindow::Centre()
{
    RECT window, work, ownerRect;
    GetWindowRect(Handle(), &window);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    bool onOwner = FOwnerWindow != nullptr && IsWindowVisible(FOwnerWindow) && GetWindowRect(FOwnerWindow, &ownerRect);
    RECT centred = CentredRect(window, onOwner ? &ownerRect : nullptr, work);
    SetWindowPos(Handle(), nullptr, centred.left, centred.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT T0DialogWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        LRESULT result = DefaultHandler(message, wParam, lParam);
        Centre();
        return result;
    }
    default:
        return T0LeadWindow::Dispatch(message, wParam, lParam);
    }
}

void T0MainWindow::Show()
{
    if (GetWindowTextLengthW(Handle()) == 0 && Application() != nullptr)
        SetWindowTextW(Handle(), Application()->Title().c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    ShowWindow(Handle(), show);
}

// ---------------------------------------------------------------------------
// Small services

int ShiftState()
{
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    int shift = 0;
    if (keys[VK_SHIFT] & 0x80)
        shift |= kShiftShift;
    if (keys[VK_CONTROL] & 0x80)
        shift |= kShiftCtrl;
    if (keys[VK_MENU] & 0x80)
        shift |= kShiftAlt;
    return shift;
}

wchar_t AccelChar(std::wstring_view caption)
{
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] != L'&')
            continue;
        if (i + 1 >= caption.size())
            return 0;
        if (caption[i + 1] == L'&') {
            ++i;
            continue;
        }
        return static_cast<wchar_t>(reinterpret_cast<UINT_PTR>(CharUpperW(
            reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(caption[i + 1])))));
    }
    return 0;
}

void SetClientSize(HWND window, int width, int height)
{
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void EnableIme(HWND window, bool enable)
{
    if (!enable) {
        if (HIMC context = ImmGetContext(window)) {
            ImmSetOpenStatus(context, FALSE);
            ImmReleaseContext(window, context);
        }
    }
    using TEnableIme = BOOL(WINAPI*)(HWND, BOOL);
    static auto enableIme = reinterpret_cast<TEnableIme>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "WINNLSEnableIME")));
    if (enableIme != nullptr)
        enableIme(window, enable ? TRUE : FALSE);
}

HBITMAP LoadBitmapFile(const std::wstring& name)
{
    return static_cast<HBITMAP>(LoadImageW(nullptr, name.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
}
