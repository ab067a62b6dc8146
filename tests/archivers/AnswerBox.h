// Answers the message boxes a library shows in this process (captioned with
// its name) from another thread, with one button, and counts them. Boxes of
// other test programs running at the same time are left alone.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <string>
#include <thread>

class TAnswerer {
public:
    TAnswerer(std::wstring caption, int button)
        : FCaption(std::move(caption)), FThread([this, button] {
              while (!FStop) {
                  HWND box = OwnBox();
                  if (box != nullptr) {
                      ++Asked;
                      PostMessageW(box, WM_COMMAND, button, 0);
                      for (int i = 0; i < 500 && IsWindow(box); ++i)
                          Sleep(10);
                  }
                  Sleep(10);
              }
          })
    {
    }
    ~TAnswerer()
    {
        FStop = true;
        FThread.join();
    }
    TAnswerer(const TAnswerer&) = delete;
    TAnswerer& operator=(const TAnswerer&) = delete;

    std::atomic<int> Asked{0};

private:
    HWND OwnBox() const
    {
        for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", FCaption.c_str()); box != nullptr;
             box = FindWindowExW(nullptr, box, L"#32770", FCaption.c_str())) {
            DWORD process = 0;
            GetWindowThreadProcessId(box, &process);
            if (process == GetCurrentProcessId())
                return box;
        }
        return nullptr;
    }

    std::wstring FCaption;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};
