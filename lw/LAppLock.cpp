// The application lock.
#include "lw/LAppLock.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LWindows.h"

// Standard library
#include <cwchar>

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

bool TAppLock::MayEnterAsReader() const
{
    // A handler of a message sent from another thread goes ahead of waiting
    // writers: its sender may hold the lock shared and wait for the answer,
    // and the writer waits for the sender.
    return FWritersWaiting == 0 || InSendMessage();
}

void TAppLock::EnterSection()
{
    EnterSectionBy(INFINITE);
}

bool TAppLock::EnterSectionBy(DWORD deadline)
{
    if (TryEnterCriticalSection(&FSection))
        return true;
    if (!IsGUIThread(FALSE) && deadline == INFINITE) {
        EnterCriticalSection(&FSection);
        return true;
    }
    do {
        if (deadline != INFINITE && static_cast<LONG>(GetTickCount() - deadline) >= 0)
            return false;
        WaitForLockStep();
    } while (!TryEnterCriticalSection(&FSection));
    return true;
}

void TAppLock::AcquireShared()
{
    TryAcquireShared(INFINITE);
}

bool TAppLock::TryAcquireShared(DWORD timeout)
{
    const DWORD deadline = timeout == INFINITE ? INFINITE : GetTickCount() + timeout;
    for (;;) {
        if (!EnterSectionBy(deadline))
            return false;
        if (MayEnterAsReader()) {
            FReaders = FReaders + 1;
            LeaveCriticalSection(&FSection);
            return true;
        }
        LeaveCriticalSection(&FSection);
        if (deadline != INFINITE && static_cast<LONG>(GetTickCount() - deadline) >= 0)
            return false;
        WaitForLockStep();
    }
}

void TAppLock::ReleaseShared()
{
    EnterCriticalSection(&FSection);
    FReaders = FReaders - 1;
    LeaveCriticalSection(&FSection);
}

void TAppLock::AcquireExclusive()
{
    // Counted as waiting from the start: readers arriving from now on wait
    // behind this writer, so the wait ends once the current ones leave.
    InterlockedIncrement(&FWritersWaiting);
    EnterSection();
    while (FReaders > 0) {
        LeaveCriticalSection(&FSection);
        WaitForLockStep();
        EnterSection();
    }
    InterlockedDecrement(&FWritersWaiting);
}

bool TAppLock::TryExclusive()
{
    if (!TryEnterCriticalSection(&FSection))
        return false;
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
// Checks of the caller's hold

namespace {

volatile LONG g_lockFaults = 0;

void ReportLockFault(const wchar_t* what, const wchar_t* wanted)
{
    InterlockedIncrement(&g_lockFaults);
    wchar_t text[256];
    swprintf(text, 256, L"LWindows: %ls touched without %ls on thread %lu (lock state %d)\n",
             what != nullptr ? what : L"?", wanted, static_cast<unsigned long>(GetCurrentThreadId()),
             static_cast<int>(CallerLockStateValue()));
    OutputDebugStringW(text);
}

} // namespace

int32_t CallerLockStateValue()
{
    T0Application* app = Application();
    return app != nullptr ? app->CallerLockState() : 0;
}

void CheckLockHeld(const wchar_t* what)
{
    if (Application() != nullptr && CallerLockStateValue() == 0)
        ReportLockFault(what, L"the lock");
}

void CheckLockExclusive(const wchar_t* what)
{
    if (Application() != nullptr && CallerLockStateValue() != -1)
        ReportLockFault(what, L"the exclusive lock");
}

void CheckLockHeldFor(DWORD ownerThread, const wchar_t* what)
{
    if (Application() == nullptr)
        return;
    const int32_t state = CallerLockStateValue();
    if (state == -1 || (state > 0 && (ownerThread == 0 || ownerThread == GetCurrentThreadId())))
        return;
    ReportLockFault(what, state == 0 ? L"the lock" : L"the exclusive lock (another thread's view)");
}

LONG LockFaultCount()
{
    return InterlockedCompareExchange(&g_lockFaults, 0, 0);
}

// ---------------------------------------------------------------------------
// Holders

TSuspendShared::TSuspendShared() : FPrevious(Application()->SuspendShared()) {}

TSuspendShared::~TSuspendShared()
{
    Application()->ResumeShared(FPrevious);
}

TSuspendSharedOnly::TSuspendSharedOnly()
{
    T0Application* app = Application();
    if (app != nullptr && app->CallerLockState() > 0) {
        FPrevious = app->SuspendShared();
        FSuspended = true;
    }
}

TSuspendSharedOnly::~TSuspendSharedOnly()
{
    if (FSuspended)
        Application()->ResumeShared(FPrevious);
}

TExclusiveLock::TExclusiveLock() : FPrevious(Application()->BeginExclusive()) {}

TExclusiveLock::~TExclusiveLock()
{
    Application()->EndExclusive(FPrevious);
}

TSharedLock::TSharedLock() : FPrevious(Application()->BeginShared()) {}

TSharedLock::~TSharedLock()
{
    Application()->EndShared(FPrevious);
}
