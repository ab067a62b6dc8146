// Catches what the program would show in its exception message box, for
// tests of failures that are reported instead of thrown (from destructors,
// threads and clean-up paths). Reports may arrive on any thread.
#pragma once

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>

// Standard library
#include <mutex>
#include <string>
#include <vector>

class TRecordedDisplay {
public:
    TRecordedDisplay() { FPrevious = SetExceptionDisplay(&Record); }
    ~TRecordedDisplay()
    {
        SetExceptionDisplay(FPrevious);
        std::lock_guard<std::mutex> guard(Lock());
        Messages().clear();
    }
    TRecordedDisplay(const TRecordedDisplay&) = delete;
    TRecordedDisplay& operator=(const TRecordedDisplay&) = delete;

    std::vector<std::wstring> Shown() const
    {
        std::lock_guard<std::mutex> guard(Lock());
        return Messages();
    }
    // Whether one message shown so far contains text.
    bool Contains(const std::wstring& text) const
    {
        for (const std::wstring& message : Shown())
            if (message.find(text) != std::wstring::npos)
                return true;
        return false;
    }

private:
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::wstring>& Messages()
    {
        static std::vector<std::wstring> messages;
        return messages;
    }
    static void Record(const std::wstring& message, HWND)
    {
        std::lock_guard<std::mutex> guard(Lock());
        Messages().push_back(message);
    }

    TExceptionDisplay FPrevious = nullptr;
};
