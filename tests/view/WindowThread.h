// Filer windows on real window threads for in-process tests: the
// application, folder manager and global actions a test program needs, and
// a window that a test drives and reads under the application lock.
#pragma once

// Application
#include "app/UMain.h"

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/folders/TempFolder.h"

namespace {

class TApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        OleInitialize(nullptr);
        FApplication = new TApplication;
        FApplication->CreateMainThread();
        FFolders = new TFolderManager(nullptr);
        FActions = new TGlobalActionManager;
        SetGlobalActionManager(FActions);
    }
    void TearDown() override
    {
        SetGlobalActionManager(nullptr);
        T0Object::Free(FActions);
        T0Object::Free(FFolders);
        FApplication->WaitForThreads(10000);
        T0Object::Free(FApplication);
        TempFolder::RemoveLeftovers();
    }

private:
    TApplication* FApplication = nullptr;
    TFolderManager* FFolders = nullptr;
    TGlobalActionManager* FActions = nullptr;
};

// One filer window on its own thread, closed at the end of the test.
class TWindowThread {
public:
    explicit TWindowThread(const std::wstring& folder)
    {
        UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        FThread = App()->OpenWindow(TPath::FromPath(folder), ready.get());
        EXPECT_EQ(WaitForSingleObject(ready.get(), 10000), WAIT_OBJECT_0);
    }
    ~TWindowThread()
    {
        PostMessageW(Window()->Handle(), WM_CLOSE, 0, 0);
        EXPECT_EQ(WaitForSingleObject(FThread->ThreadHandle(), 10000), WAIT_OBJECT_0);
        App()->FreeFinishedThreads();
    }
    TFilerWindow* Window() const { return FThread->FilerWindow(); }
    TViewThread* Thread() const { return FThread; }

    // Runs f with the view's thread kept out of its messages.
    template <class F>
    auto Locked(F&& f)
    {
        TExclusiveLock lock;
        return f(Window()->CurrentView());
    }

    std::vector<std::wstring> Marked()
    {
        return Locked([](TFilerView* view) {
            std::vector<std::wstring> names;
            for (TFileItem* item : view->GetSelection())
                if (view->MarkedCount() > 0)
                    names.emplace_back(item->Name, static_cast<size_t>(item->NameLen));
            return names;
        });
    }

    std::wstring FolderPath()
    {
        return Locked([](TFilerView* view) {
            TPath location;
            view->Folder()->GetPath(&location);
            return std::wstring(location.PathView());
        });
    }

    // Performs the named action on the window's thread, as its key would
    // (F24 is bound to it for the purpose), without waiting for it.
    void PostAction(const char* name)
    {
        HWND view = Locked([&](TFilerView* v) {
            ComPtr<IAction> action = FThread->ActionManager()->Find(name);
            Window()->KeyAssignment()->Assign(0, VK_F24, action.get());
            return v->Handle();
        });
        PostMessageW(view, WM_KEYDOWN, VK_F24, 0);
    }

private:
    TViewThread* FThread;
};

// Each test program that includes this header gets the environment once.
const auto* const g_windowTestEnvironment = ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

} // namespace
