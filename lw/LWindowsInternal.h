// What the parts of the window and thread toolkit share inside the toolkit:
// the calling thread's toolkit state and the exceptions caught inside
// window procedures. Not for use outside lw/.
#pragma once

// Toolkit
#include "lw/LWindows.h"

// Standard library
#include <exception>

namespace lwinternal {

inline constexpr const wchar_t* kUnit = L"LWindows";

// Set while the thread runs, by T0Thread::Initialize.
extern thread_local T0Thread* t_currentThread;
// The window whose handle CreateWindowExW is making on this thread.
extern thread_local T0Window* t_creatingWindow;

class TSectionLock {
public:
    explicit TSectionLock(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
    ~TSectionLock() { LeaveCriticalSection(&FSection); }
    TSectionLock(const TSectionLock&) = delete;
    TSectionLock& operator=(const TSectionLock&) = delete;

private:
    CRITICAL_SECTION& FSection;
};

// An exception raised inside a window procedure is kept here and rethrown
// (shown) by the message loop once the system has returned: no exception
// unwinds through an OS frame.
void SetPendingException(std::exception_ptr e);
// Shows what a window procedure raised on this thread, if anything.
void ShowPendingException(HWND owner);
// Drops a pending exception of a thread that ends.
void DropPendingException() noexcept;

// Dispatches every queued message of a thread that runs no message loop of
// its own (the main thread while it waits for the others).
void PumpMessages();

} // namespace lwinternal
