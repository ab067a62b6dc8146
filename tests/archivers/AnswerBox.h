// Answers the message boxes a library shows (captioned with its name) from
// another thread, with one button, and counts them.
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
                  HWND box = FindWindowW(L"#32770", FCaption.c_str());
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
    std::wstring FCaption;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};
