// What the toolkit's tests share: the application object (the test's main
// thread is its main thread) and a GUI thread that runs a test body.
#pragma once

// Toolkit
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <exception>
#include <functional>

#include <gtest/gtest.h>

namespace {

class TToolkitEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        FApplication = new T0Application;
        FApplication->CreateMainThread();
    }
    void TearDown() override { T0Object::Free(FApplication); }

private:
    T0Application* FApplication = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TToolkitEnvironment);

// A GUI thread that runs a test body; the body's exception comes back to the
// test thread instead of ending in a message box.
class TBodyThread : public T0GUIThread {
public:
    explicit TBodyThread(std::function<void(TBodyThread*)> body) : FBody(std::move(body)) {}
    std::exception_ptr Error;
    DWORD InitializedOn = 0;

protected:
    void Initialize() override
    {
        T0GUIThread::Initialize();
        InitializedOn = GetCurrentThreadId();
    }
    void Execute() override
    {
        try {
            FBody(this);
        } catch (...) {
            Error = std::current_exception();
        }
    }

private:
    std::function<void(TBodyThread*)> FBody;
};

// Runs body on a new GUI thread and waits until the thread is gone.
inline void RunOnGUIThread(std::function<void(TBodyThread*)> body)
{
    TBodyThread* thread = T0Thread::StartThread<TBodyThread>(std::move(body));
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 60000), WAIT_OBJECT_0) << "the GUI thread hangs";
    std::exception_ptr error = thread->Error;
    Application()->FreeFinishedThreads();
    if (error)
        std::rethrow_exception(error);
}

// Handles what the calling thread's queue holds.
inline void Pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace
