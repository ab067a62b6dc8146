// The application lock and the rules every thread follows with it.
//
// One readers-writer lock guards the data that several threads share: the
// items and item order of the file lists, the folders' records and the
// folder manager's table.
//
// The rules:
// - A window thread holds the lock shared while it handles one message, and
//   only then: the window procedure takes the hold when the thread holds
//   nothing and gives it back when the handler returns. A message loop, the
//   wait for input and the system's default handling of a message (where
//   the menu loop, the move and size loop and other modal loops of the
//   system run) hold nothing, so a menu held open in one window never holds
//   up the others. TSuspendShared does the same around message boxes, the
//   folder browser, drag and drop and every other wait.
// - Writers take the lock exclusively: a folder that reloads its records, a
//   view that changes its folder. While a writer waits, new readers wait
//   behind it, so a writer gets in once the current handlers return. A
//   handler of a message sent from another thread is let in all the same:
//   its sender may hold the lock shared and wait for the answer.
// - A window's own thread may change its views under its shared hold;
//   other threads read a window's views only under the exclusive hold.
//   Folder records are changed only under the exclusive hold and read under
//   either.
// - An exclusive holder does not send messages to other threads' windows
//   (it posts them): those threads cannot answer without the lock.
//
// The accessors of the guarded data check the caller's hold
// (CheckLockHeld and its kin); a breach is counted and reported to the
// debugger, and the tests fail on any.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <cstdint>

// A readers-writer lock that prefers writers: a critical section held by
// the exclusive owner, a reader count and a count of waiting writers. A
// thread with windows answers the messages other threads send it while it
// waits, since the holder may be the sender.
class TAppLock {
public:
    TAppLock() { InitializeCriticalSection(&FSection); }
    ~TAppLock() { DeleteCriticalSection(&FSection); }
    TAppLock(const TAppLock&) = delete;
    TAppLock& operator=(const TAppLock&) = delete;

    void AcquireShared();
    // As AcquireShared, giving up after timeout milliseconds.
    bool TryAcquireShared(DWORD timeout);
    void ReleaseShared();
    void AcquireExclusive();
    void ReleaseExclusive() { LeaveCriticalSection(&FSection); }
    // Takes the lock exclusively only when nobody holds it.
    bool TryExclusive();
    LONG Readers() const { return FReaders; }
    LONG WritersWaiting() const { return FWritersWaiting; }

private:
    void EnterSection();
    bool EnterSectionBy(DWORD deadline);
    bool MayEnterAsReader() const;

    CRITICAL_SECTION FSection;
    volatile LONG FReaders = 0;
    volatile LONG FWritersWaiting = 0;
};

// Waits for one of the handles or for a message in the calling thread's
// queue, as MsgWaitForMultipleObjects with QS_ALLINPUT, but a message that
// was already looked at (a peek while the thread waited for the lock) counts
// too: a plain wait sleeps past it until something newer arrives.
DWORD WaitForObjectsOrMessages(DWORD count, const HANDLE* handles, DWORD timeout);

// A thread's state in the application lock: -1 exclusive, 0 nothing,
// positive shared. Each Begin/Suspend returns the previous state for the
// matching End/Resume. SuspendShared gives up whatever the thread holds,
// shared or exclusive, and ResumeShared takes it back in the same mode.
namespace lockstate {
int32_t BeginExclusive(TAppLock& lock, int32_t& state);
void EndExclusive(TAppLock& lock, int32_t& state, int32_t previous);
int32_t BeginShared(TAppLock& lock, int32_t& state);
void EndShared(TAppLock& lock, int32_t& state, int32_t previous);
int32_t SuspendShared(TAppLock& lock, int32_t& state);
void ResumeShared(TAppLock& lock, int32_t& state, int32_t previous);
} // namespace lockstate

// The calling thread's state in the application lock (0 without an
// application).
int32_t CallerLockStateValue();

// Checks of the caller's hold. A breach is counted, reported to the
// debugger with what was touched, and the call goes on.
// Any hold, shared or exclusive.
void CheckLockHeld(const wchar_t* what);
// The exclusive hold.
void CheckLockExclusive(const wchar_t* what);
// Data that belongs to one thread's windows: that thread's hold of either
// kind, or the exclusive hold on any thread.
void CheckLockHeldFor(DWORD ownerThread, const wchar_t* what);
// How many breaches the checks have seen in this process.
LONG LockFaultCount();

// Gives up the calling thread's hold on the lock (shared or exclusive) for
// its lifetime: around waits, modal windows and long calls.
class TSuspendShared {
public:
    TSuspendShared();
    ~TSuspendShared();
    TSuspendShared(const TSuspendShared&) = delete;
    TSuspendShared& operator=(const TSuspendShared&) = delete;

private:
    int32_t FPrevious;
};

// Gives up only a shared hold for its lifetime; an exclusive one stays.
// The system's default handling of a message runs inside one.
class TSuspendSharedOnly {
public:
    TSuspendSharedOnly();
    ~TSuspendSharedOnly();
    TSuspendSharedOnly(const TSuspendSharedOnly&) = delete;
    TSuspendSharedOnly& operator=(const TSuspendSharedOnly&) = delete;

private:
    bool FSuspended = false;
    int32_t FPrevious = 0;
};

// Holds the application lock exclusively for its lifetime.
class TExclusiveLock {
public:
    TExclusiveLock();
    ~TExclusiveLock();
    TExclusiveLock(const TExclusiveLock&) = delete;
    TExclusiveLock& operator=(const TExclusiveLock&) = delete;

private:
    int32_t FPrevious;
};

// Holds the application lock at least shared for its lifetime (an
// exclusive hold the thread has stays).
class TSharedLock {
public:
    TSharedLock();
    ~TSharedLock();
    TSharedLock(const TSharedLock&) = delete;
    TSharedLock& operator=(const TSharedLock&) = delete;

private:
    int32_t FPrevious;
};
