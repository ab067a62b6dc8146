// The threads of the toolkit and the application object that lists them.
#include "lw/LWindows.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LWindowsInternal.h"

// Platform
#include <objbase.h>

// Standard library
#include <algorithm>
#include <cwchar>

using namespace lwinternal;

namespace {

T0Application* g_application = nullptr;
thread_local IUnknown* t_currentThreadIntf = nullptr;
thread_local std::exception_ptr* t_pendingException = nullptr;

} // namespace

namespace lwinternal {

thread_local T0Thread* t_currentThread = nullptr;
thread_local T0Window* t_creatingWindow = nullptr;

void SetPendingException(std::exception_ptr e)
{
    if (t_pendingException == nullptr)
        t_pendingException = new std::exception_ptr(std::move(e));
}

void ShowPendingException(HWND owner)
{
    if (t_pendingException == nullptr)
        return;
    std::exception_ptr e = std::move(*t_pendingException);
    delete t_pendingException;
    t_pendingException = nullptr;
    ShowException(e, owner);
}

void DropPendingException() noexcept
{
    delete t_pendingException;
    t_pendingException = nullptr;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        ShowPendingException(nullptr);
    }
}

} // namespace lwinternal

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
    {
        // The creation handle is the thread's handle: kept before the thread
        // runs, so that even a thread whose start fails can be waited for.
        // The thread is listed before it runs, so that nobody waiting for
        // the application's threads misses it.
        TSectionLock guard(app->FThreadListLock);
        UniqueHandle created(CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, nullptr));
        if (!created)
            RaiseLastOSError();
        FThreadHandle = std::move(created);
        app->AddThread(this);
    }
    // Waited for without the list's lock: the new thread's start may need a
    // thread that is walking the list (one holding the application lock
    // while it lists the windows, say).
    ResumeThread(FThreadHandle.get());
    WaitForSingleObject(FStartEvent.get(), INFINITE);
    FStartEvent.reset();
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
    DropPendingException();
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
    // Showing the window and its loop hold nothing: each message takes its
    // own hold.
    window->Show();
    window->MessageLoop();
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

