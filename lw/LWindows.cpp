#include "lw/LWindows.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <imm.h>
#include <objbase.h>

// Standard library
#include <algorithm>
#include <cwchar>

namespace {

constexpr const wchar_t* kUnit = L"LWindows";

T0Application* g_application = nullptr;

// Per-thread state of the toolkit.
thread_local T0Thread* t_currentThread = nullptr;
thread_local IUnknown* t_currentThreadIntf = nullptr;
thread_local T0Window* t_creatingWindow = nullptr;
// An exception raised inside a window procedure, rethrown by the message
// loop once the system has returned: no exception unwinds through an OS frame.
thread_local std::exception_ptr* t_pendingException = nullptr;

class TSectionLock {
public:
    explicit TSectionLock(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
    ~TSectionLock() { LeaveCriticalSection(&FSection); }
    TSectionLock(const TSectionLock&) = delete;
    TSectionLock& operator=(const TSectionLock&) = delete;

private:
    CRITICAL_SECTION& FSection;
};

void SetPendingException(std::exception_ptr e)
{
    if (t_pendingException == nullptr)
        t_pendingException = new std::exception_ptr(std::move(e));
}

// Shows what a window procedure raised on this thread, if anything.
void ShowPendingException(HWND owner)
{
    if (t_pendingException == nullptr)
        return;
    std::exception_ptr e = std::move(*t_pendingException);
    delete t_pendingException;
    t_pendingException = nullptr;
    ShowException(e, owner);
}

// Dispatches every queued message of a thread that runs no message loop of
// its own (the main thread while it waits for the others).
void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        ShowPendingException(nullptr);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// TAppLock

namespace {

// One step of waiting for the lock. The holder may itself be waiting for
// this thread: a message sent across threads (a list filled by a folder
// refresh, the system's own focus and input messages) is answered only when
// the receiving thread takes its sent messages. A thread with windows takes
// them while it waits, in the holder's stead, as it does in GetMessage.
void WaitForLockStep()
{
    if (IsGUIThread(FALSE)) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 1, QS_SENDMESSAGE, 0);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    } else {
        Sleep(1);
    }
}

} // namespace

DWORD WaitForObjectsOrMessages(DWORD count, const HANDLE* handles, DWORD timeout)
{
    return MsgWaitForMultipleObjectsEx(count, handles, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void TAppLock::EnterSection()
{
    if (TryEnterCriticalSection(&FSection))
        return;
    if (!IsGUIThread(FALSE)) {
        EnterCriticalSection(&FSection);
        return;
    }
    do
        WaitForLockStep();
    while (!TryEnterCriticalSection(&FSection));
}

void TAppLock::AcquireShared()
{
    EnterSection();
    FReaders = FReaders + 1;
    LeaveCriticalSection(&FSection);
}

void TAppLock::ReleaseShared()
{
    EnterCriticalSection(&FSection);
    FReaders = FReaders - 1;
    LeaveCriticalSection(&FSection);
}

void TAppLock::AcquireExclusive()
{
    EnterSection();
    while (FReaders > 0) {
        LeaveCriticalSection(&FSection);
        WaitForLockStep();
        EnterSection();
    }
}

bool TAppLock::TryExclusive()
{
    EnterSection();
    if (FReaders == 0)
        return true;
    LeaveCriticalSection(&FSection);
    return false;
}

namespace lockstate {

int32_t BeginExclusive(TAppLock& lock, int32_t& state)
{
    int32_t previous = state;
    if (state == -1)
        return previous;
    if (state > 0)
        lock.ReleaseShared();
    // While it waits the thread holds nothing, and says so: a message it
    // answers meanwhile must take the lock for itself.
    state = 0;
    lock.AcquireExclusive();
    state = -1;
    return previous;
}

void EndExclusive(TAppLock& lock, int32_t& state, int32_t previous)
{
    if (previous == -1)
        return;
    lock.ReleaseExclusive();
    state = 0;
    if (previous > 0)
        lock.AcquireShared();
    state = previous;
}

int32_t BeginShared(TAppLock& lock, int32_t& state)
{
    int32_t previous = state;
    // An exclusive holder already holds more than a shared hold; marking it
    // shared would let a later SuspendShared release a hold never taken.
    if (state == -1)
        return previous;
    if (state == 0)
        lock.AcquireShared();
    state = 1;
    return previous;
}

void EndShared(TAppLock& lock, int32_t& state, int32_t previous)
{
    if (previous == 0 && state > 0)
        lock.ReleaseShared();
    state = previous;
}

int32_t SuspendShared(TAppLock& lock, int32_t& state)
{
    // Whatever the thread holds is given up: a thread that waits for another
    // (a logon prompt, a refresh it asked for) may hold the lock exclusively.
    int32_t previous = state;
    if (state > 0)
        lock.ReleaseShared();
    else if (state == -1)
        lock.ReleaseExclusive();
    state = 0;
    return previous;
}

void ResumeShared(TAppLock& lock, int32_t& state, int32_t previous)
{
    if (previous > 0)
        lock.AcquireShared();
    else if (previous == -1)
        lock.AcquireExclusive();
    state = previous;
}

} // namespace lockstate

// ---------------------------------------------------------------------------
// TGarbage

T0Object* TGarbage::Mark()
{
    T0Object* previous = FMark;
    FMark = LastChild();
    return previous;
}

void TGarbage::Collect()
{
    while (LastChild() != nullptr && LastChild() != FMark)
        Free(LastChild());
}

// ---------------------------------------------------------------------------
// Threads

T0Thread* CurrentThread()
{
    return t_currentThread;
}

T0GUIThread* CurrentGUIThread()
{
    auto* thread = dynamic_cast<T0GUIThread*>(t_currentThread);
    Assert(thread != nullptr, kUnit, L"not a GUI thread");
    return thread;
}

T0Thread::~T0Thread()
{
    if (T0Application* app = g_application)
        app->RemoveThread(this);
}

bool T0Thread::Finished() const
{
    return FThreadHandle && WaitForSingleObject(FThreadHandle.get(), 0) == WAIT_OBJECT_0;
}

bool T0Thread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostThreadMessageW(FThreadId, message, wParam, lParam) != FALSE;
}

void T0Thread::Start()
{
    T0Application* app = Application();
    Assert(app != nullptr, kUnit, L"no application");
    FStartEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!FStartEvent)
        RaiseLastOSError();
    TSectionLock guard(app->FThreadListLock);
    // The creation handle is the thread's handle: kept before the thread
    // runs, so that even a thread whose start fails can be waited for.
    UniqueHandle created(CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, nullptr));
    if (!created)
        RaiseLastOSError();
    FThreadHandle = std::move(created);
    ResumeThread(FThreadHandle.get());
    WaitForSingleObject(FStartEvent.get(), INFINITE);
    FStartEvent.reset();
    app->AddThread(this);
}

DWORD WINAPI T0Thread::ThreadProc(void* param)
{
    static_cast<T0Thread*>(param)->Run();
    return 0;
}

void T0Thread::Run()
{
    // Shell objects and the windows of toolkit threads need an apartment.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::exception_ptr failed;
    try {
        Initialize();
    } catch (...) {
        failed = std::current_exception();
    }
    // The creator continues from here and closes the start event; it must
    // not wait for a message box.
    SetEvent(FStartEvent.get());
    if (failed) {
        ShowException(failed);
    } else {
        try {
            Prepare();
            Execute();
        } catch (...) {
            ShowException(std::current_exception());
        }
    }
    try {
        Finalize();
    } catch (...) {
        ShowException(std::current_exception());
    }
    LeaveCurrentThread();
    if (SUCCEEDED(com))
        CoUninitialize();
    if (T0Application* app = g_application)
        SetEvent(app->WakeEvent());
}

void T0Thread::AttachToCurrentThread()
{
    Initialize();
}

void T0Thread::Initialize()
{
    FThreadId = GetCurrentThreadId();
    if (!FThreadHandle) {
        // The main thread, which the toolkit did not start.
        HANDLE real = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &real, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            RaiseLastOSError();
        FThreadHandle.reset(real);
    }
    t_currentThread = this;
    t_currentThreadIntf = static_cast<IObservable*>(this);
    t_currentThreadIntf->AddRef();
    FObservers = new TObservable;
    FObservers->SetOwner(this);
    FGarbage = new TGarbage;
    FGarbage->SetOwner(FObservers);
}

void T0Thread::Finalize()
{
    // A child still referenced is reported and the thread ends anyway.
    DestroyChildrenReporting();
    FObservers = nullptr;
    FGarbage = nullptr;
}

void T0Thread::LeaveCurrentThread() noexcept
{
    if (t_currentThread == this) {
        t_currentThread = nullptr;
        IUnknown* intf = std::exchange(t_currentThreadIntf, nullptr);
        if (intf != nullptr)
            intf->Release();
    }
    if (t_pendingException != nullptr) {
        delete t_pendingException;
        t_pendingException = nullptr;
    }
}

UINT T0GUIThread::AllocCommandId(T0Object* object)
{
    auto slot = std::find(FCommands.begin(), FCommands.end(), nullptr);
    size_t index = static_cast<size_t>(slot - FCommands.begin());
    Assert(index < kCommandIdLimit - kFirstCommandId, kUnit, L"no command identifier left");
    if (slot == FCommands.end())
        FCommands.push_back(object);
    else
        *slot = object;
    return static_cast<UINT>(index) + kFirstCommandId;
}

void T0GUIThread::FreeCommandId(UINT id)
{
    size_t index = id - kFirstCommandId;
    Assert(id >= kFirstCommandId && index < FCommands.size() && FCommands[index] != nullptr, kUnit,
           L"command identifier not in use");
    FCommands[index] = nullptr;
}

T0Object* T0GUIThread::CommandObject(UINT id) const
{
    if (id < kFirstCommandId || id >= kCommandIdLimit)
        return nullptr;
    size_t index = id - kFirstCommandId;
    if (index >= FCommands.size()) {
        wchar_t text[96];
        swprintf(text, 96, L"Bad command id %d in thread %d.", static_cast<int>(index), static_cast<int>(ThreadId()));
        OutputDebugStringW(text);
        return nullptr;
    }
    return FCommands[index];
}

bool T0GUIThread::WaitMessage(MSG& message, bool notifyIdle)
{
    T0Application* app = Application();
    bool held = LockState() > 0;
    if (held) {
        app->AppLock().ReleaseShared();
        --LockState();
    }
    if (notifyIdle)
        SetEvent(app->WakeEvent());
    GetMessageW(&message, nullptr, 0, 0);
    MSG next;
    // A burst of wake messages asks for one idle step.
    while (message.message == WM_LW_WAKE && message.hwnd == nullptr &&
           PeekMessageW(&next, nullptr, WM_LW_WAKE, WM_LW_WAKE, PM_NOREMOVE))
        GetMessageW(&message, nullptr, 0, 0);
    if (held) {
        app->AppLock().AcquireShared();
        ++LockState();
    }
    return !(message.message == WM_LW_WAKE && message.hwnd == nullptr);
}

void T0GUIThread::IdleStep(T0LeadWindow* window)
{
    Observers()->Notify();
    if (window != nullptr) {
        try {
            window->Idle();
        } catch (...) {
            // An idle hook that fails must not end the loop.
        }
    }
    Garbage()->Collect();
}

TFont* T0GUIThread::StockFont(TFont*& slot, int stockObject)
{
    if (slot == nullptr) {
        slot = TFont::Stock(stockObject);
        slot->SetOwner(this);
    }
    return slot;
}

void T0GUIThread::Finalize()
{
    // The fonts go with the thread's other children.
    FSystemFont = FDefaultGUIFont = FSystemFixedFont = nullptr;
    T0Thread::Finalize();
}

void T0GUIThread::Execute()
{
    T0LeadWindow* window = MainWindow();
    if (window == nullptr)
        return;
    T0Application* app = Application();
    app->AppLock().AcquireShared();
    ++LockState();
    try {
        window->Show();
        window->MessageLoop();
    } catch (...) {
        app->AppLock().ReleaseShared();
        --LockState();
        throw;
    }
    app->AppLock().ReleaseShared();
    --LockState();
}

TMainThread::TMainThread() = default;

bool TMainThread::WaitMessage(MSG& message, bool notifyIdle)
{
    T0Application* app = Application();
    bool held = LockState() > 0;
    if (held) {
        app->AppLock().ReleaseShared();
        --LockState();
    }
    HANDLE wake = app->WakeEvent();
    bool taken = false;
    DWORD result = WaitForObjectsOrMessages(1, &wake, GetWaitTimeout());
    if (result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT)
        app->IdleStep();
    else
        taken = PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE;
    if (held) {
        app->AppLock().AcquireShared();
        ++LockState();
    }
    return taken && !(message.message == WM_LW_WAKE && message.hwnd == nullptr);
}

// ---------------------------------------------------------------------------
// T0Application

thread_local int32_t T0Application::FForeignLockState = 0;

T0Application* Application()
{
    return g_application;
}

T0Application::T0Application()
{
    InitializeCriticalSection(&FThreadListLock);
    FWakeEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!FWakeEvent)
        RaiseLastOSError();
    FObservers = new TObservable;
    FObservers->SetOwner(this);
    FHousekeeping = new TObservable;
    FHousekeeping->SetOwner(this);
    wchar_t atomName[16];
    swprintf(atomName, 16, L"LW%.8lx", static_cast<unsigned long>(GetCurrentProcessId()));
    FWindowAtom = GlobalAddAtomW(atomName);
    g_application = this;
}

T0Application::~T0Application()
{
    if (FMainThread != nullptr) {
        try {
            FMainThread->Finalize();
        } catch (...) {
            ShowException(std::current_exception());
        }
        FMainThread->LeaveCurrentThread();
        try {
            T0Object::Free(FMainThread);
        } catch (...) {
            ShowException(std::current_exception());
        }
        FMainThread = nullptr;
    }
    FreeFinishedThreads();
    // What is still referenced now stays for its holders.
    FLingering.clear();
    if (FWindowAtom != 0)
        GlobalDeleteAtom(FWindowAtom);
    g_application = nullptr;
    DeleteCriticalSection(&FThreadListLock);
}

void T0Application::RequestHousekeeping()
{
    InterlockedExchange(&FHousekeepingRequested, 1);
    SetEvent(FWakeEvent.get());
}

void T0Application::CreateMainThread()
{
    Assert(FMainThread == nullptr, kUnit, L"the main thread exists already");
    FMainThread = new TMainThread;
    FMainThread->AttachToCurrentThread();
}

void T0Application::SetTitle(std::wstring title)
{
    FTitle = std::move(title);
    SetApplicationTitle(FTitle);
}

bool T0Application::HasThreads()
{
    TSectionLock guard(FThreadListLock);
    return FFirstThread != nullptr;
}

void T0Application::AddThread(T0Thread* thread)
{
    TSectionLock guard(FThreadListLock);
    thread->FPrevThread = FLastThread;
    thread->FNextThread = nullptr;
    if (FLastThread != nullptr)
        FLastThread->FNextThread = thread;
    else
        FFirstThread = thread;
    FLastThread = thread;
}

void T0Application::RemoveThread(T0Thread* thread)
{
    TSectionLock guard(FThreadListLock);
    bool listed = thread->FPrevThread != nullptr || FFirstThread == thread;
    if (!listed)
        return;
    if (thread->FPrevThread != nullptr)
        thread->FPrevThread->FNextThread = thread->FNextThread;
    else
        FFirstThread = thread->FNextThread;
    if (thread->FNextThread != nullptr)
        thread->FNextThread->FPrevThread = thread->FPrevThread;
    else
        FLastThread = thread->FPrevThread;
    thread->FPrevThread = thread->FNextThread = nullptr;
}

void T0Application::FreeFinishedThreads()
{
    std::vector<T0Thread*> finished, retried;
    {
        TSectionLock guard(FThreadListLock);
        for (T0Thread* t = FFirstThread; t != nullptr; t = t->FNextThread)
            if (t->Finished())
                finished.push_back(t);
        for (T0Thread* t : finished)
            RemoveThread(t);
        retried.swap(FLingering);
    }
    std::vector<T0Thread*> lingering;
    for (T0Thread* t : retried) {
        // Reported when it was first reaped; freed once its holder let go.
        if (t->RefCount() == 0)
            finished.push_back(t);
        else
            lingering.push_back(t);
    }
    for (T0Thread* t : finished) {
        try {
            T0Object::Free(t);
        } catch (...) {
            // Still referenced: the assertion is shown (after the lock, in
            // the idle step) and the object kept for its holder.
            ShowException(std::current_exception());
            if (t->RefCount() != 0)
                lingering.push_back(t);
        }
    }
    if (!lingering.empty()) {
        TSectionLock guard(FThreadListLock);
        FLingering.insert(FLingering.end(), lingering.begin(), lingering.end());
    }
}

int32_t& T0Application::CallerLockState()
{
    T0Thread* thread = t_currentThread;
    return thread != nullptr ? thread->LockState() : FForeignLockState;
}

bool T0Application::IdleStep()
{
    int32_t& state = CallerLockState();
    Assert(state == 0, kUnit, L"the idle step entered while holding the lock");
    // Whatever goes wrong in the step is shown once the lock is released:
    // every GUI thread waits for it meanwhile.
    TDeferReports deferred;
    if (!FAppLock.TryExclusive())
        return false;
    struct TRelease {
        TAppLock& Lock;
        int32_t& State;
        ~TRelease()
        {
            State = 0;
            Lock.ReleaseExclusive();
        }
    } release{FAppLock, state};
    state = -1;
    try {
        FObservers->Notify();
        if (InterlockedExchange(&FHousekeepingRequested, 0) != 0)
            FHousekeeping->Notify();
    } catch (...) {
        // An idle worker that fails must not keep the lock or stop the others.
    }
    ForEachThread([](T0Thread* thread) {
        if (dynamic_cast<T0GUIThread*>(thread) != nullptr)
            thread->PostThreadMessage(WM_LW_WAKE, 0, 0);
    });
    FreeFinishedThreads();
    return true;
}

void T0Application::Run()
{
    for (;;) {
        HANDLE handles[2];
        {
            TSectionLock guard(FThreadListLock);
            handles[0] = FFirstThread != nullptr ? FFirstThread->ThreadHandle() : nullptr;
        }
        if (handles[0] == nullptr) {
            // The last window asked for housekeeping as it went: the pass
            // may stop more threads (watchers of folders nobody shows), and
            // those are waited for as well.
            if (InterlockedCompareExchange(&FHousekeepingRequested, 0, 0) == 0)
                break;
            IdleStep();
            continue;
        }
        handles[1] = FWakeEvent.get();
        DWORD result = WaitForObjectsOrMessages(2, handles, kHousekeepingInterval);
        if (result == WAIT_TIMEOUT) {
            RequestHousekeeping();
            IdleStep();
        } else if (result == WAIT_OBJECT_0) {
            FreeFinishedThreads();
        } else if (result == WAIT_OBJECT_0 + 1) {
            IdleStep();
            if (FMainThread != nullptr)
                FMainThread->Garbage()->Collect();
        } else if (result == WAIT_OBJECT_0 + 2) {
            PumpMessages();
        } else {
            // The wait itself failed: reap what has ended and wait on the
            // wake event alone for a moment instead of spinning.
            FreeFinishedThreads();
            WaitForObjectsOrMessages(1, &handles[1], 100);
        }
    }
}

bool T0Application::WaitForThreads(DWORD timeout)
{
    const DWORD start = GetTickCount();
    for (;;) {
        FreeFinishedThreads();
        HANDLE first = nullptr;
        {
            TSectionLock guard(FThreadListLock);
            if (FFirstThread != nullptr)
                first = FFirstThread->ThreadHandle();
        }
        if (first == nullptr)
            return !HasThreads();
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeout)
            return false;
        if (WaitForObjectsOrMessages(1, &first, timeout - elapsed) == WAIT_OBJECT_0 + 1)
            PumpMessages();
    }
}

int32_t STDMETHODCALLTYPE T0Application::BeginExclusive()
{
    return lockstate::BeginExclusive(FAppLock, CallerLockState());
}

void STDMETHODCALLTYPE T0Application::EndExclusive(int32_t previous)
{
    lockstate::EndExclusive(FAppLock, CallerLockState(), previous);
}

int32_t STDMETHODCALLTYPE T0Application::BeginShared()
{
    return lockstate::BeginShared(FAppLock, CallerLockState());
}

void STDMETHODCALLTYPE T0Application::EndShared(int32_t previous)
{
    lockstate::EndShared(FAppLock, CallerLockState(), previous);
}

int32_t STDMETHODCALLTYPE T0Application::SuspendShared()
{
    return lockstate::SuspendShared(FAppLock, CallerLockState());
}

void STDMETHODCALLTYPE T0Application::ResumeShared(int32_t previous)
{
    lockstate::ResumeShared(FAppLock, CallerLockState(), previous);
}

// ---------------------------------------------------------------------------
// Window procedures and lookup

namespace {

ATOM WindowAtom()
{
    T0Application* app = g_application;
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

LRESULT T0Window::WMKeyDown(WPARAM wParam, LPARAM lParam)
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
            return 0;
    }
    if (handled)
        return 0;

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
    while (!FTerminated) {
        MSG message;
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            bool notifyIdle = true;
            while (!thread->WaitMessage(message, notifyIdle)) {
                notifyIdle = false;
                thread->IdleStep(this);
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
            thread->IdleStep(this);
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
