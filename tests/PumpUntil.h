// Waiting in a test for something another thread does, while this thread's
// own windows and those of other threads that send to it keep being served.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <functional>

// Dispatches this thread's messages, as a window thread's loop does, until
// done() holds; false when the time ran out.
inline bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds = 20000)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(milliseconds - elapsed, 20), QS_ALLINPUT);
    }
}
