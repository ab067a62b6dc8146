// The application object with real window threads, in this process: what
// the hand-off does with a window that has gone.

// Own
#include "app/UMain.h"

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include <gtest/gtest.h>

// Every allocation of this program is counted, so a test can tell that a
// cycle of work left nothing behind.
namespace {
std::atomic<long> g_liveBlocks{0};
}

void* operator new(size_t size)
{
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    ++g_liveBlocks;
    return block;
}

void operator delete(void* block) noexcept
{
    if (block != nullptr) {
        --g_liveBlocks;
        std::free(block);
    }
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

namespace {

class TApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        FApplication = new TApplication;
        FApplication->CreateMainThread();
        // Windows show their folder's display path, from the folder manager.
        FFolders = new TFolderManager(nullptr);
    }
    void TearDown() override
    {
        T0Object::Free(FFolders);
        FApplication->WaitForThreads(10000);
        T0Object::Free(FApplication);
    }

private:
    TApplication* FApplication = nullptr;
    TFolderManager* FFolders = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

bool WaitUntil(const std::function<bool()>& done, DWORD timeout = 10000)
{
    for (DWORD waited = 0; waited < timeout; waited += 20) {
        if (done())
            return true;
        Sleep(20);
    }
    return done();
}

std::wstring Caption(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

TViewThread* OpenAndWait(const std::wstring& folder)
{
    UniqueHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    TViewThread* thread = App()->OpenWindow(TPath::FromPath(folder), ready.get());
    EXPECT_EQ(WaitForSingleObject(ready.get(), 10000), WAIT_OBJECT_0);
    return thread;
}

void CloseAndReap(TViewThread* thread)
{
    PostMessageW(thread->FilerWindow()->Handle(), WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);
    App()->FreeFinishedThreads();
}

// The window threads only: folders have watcher threads of their own.
int ViewThreads()
{
    int count = 0;
    App()->ForEachThread([&](T0Thread* thread) { count += dynamic_cast<TViewThread*>(thread) != nullptr; });
    return count;
}

std::wstring TempFolder()
{
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp, length > 3 ? length - 1 : length);
}

} // namespace

TEST(HandOff, TheFirstRequestLandsInTheTargetWindowThroughItsQueue)
{
    TViewThread* first = OpenAndWait(L"C:\\");
    App()->SetDdeTarget(first);
    const std::wstring folder = TempFolder();
    ASSERT_TRUE(App()->ServeCommand(BuildOpenCommand(folder)));
    EXPECT_EQ(App()->DdeTarget(), nullptr) << "only the first request goes to the first window";
    HWND window = first->FilerWindow()->Handle();
    EXPECT_TRUE(WaitUntil([&] { return Caption(window) == folder; })) << Caption(window);
    EXPECT_EQ(ViewThreads(), 1) << "no second window for the first request";
    CloseAndReap(first);
    EXPECT_EQ(ViewThreads(), 0);
}

TEST(HandOff, AnEndedTargetWindowIsForgottenAndTheRequestOpensANewWindow)
{
    TViewThread* first = OpenAndWait(L"C:\\");
    App()->SetDdeTarget(first);
    CloseAndReap(first);
    // The thread object is gone now: nothing may still point at it.
    EXPECT_EQ(App()->DdeTarget(), nullptr);
    ASSERT_EQ(ViewThreads(), 0);

    ASSERT_TRUE(App()->ServeCommand(BuildOpenCommand(TempFolder())));
    TViewThread* opened = nullptr;
    App()->ForEachThread([&](T0Thread* thread) { opened = dynamic_cast<TViewThread*>(thread); });
    ASSERT_NE(opened, nullptr) << "the request opened no window";
    ASSERT_TRUE(WaitUntil([&] { return opened->FilerWindow() != nullptr && IsWindowVisible(opened->FilerWindow()->Handle()); }));
    CloseAndReap(opened);
    EXPECT_EQ(ViewThreads(), 0);
}

TEST(HandOff, ARequestForAWindowThatClosesFirstIsNotLeaked)
{
    // One cycle first, so that what is made once and kept is made.
    auto cycle = [](bool handOff) {
        TViewThread* target = OpenAndWait(L"C:\\");
        App()->SetDdeTarget(target);
        {
            // The window cannot take either message before both are queued:
            // it closes first, and the request finds no window to land in.
            TExclusiveLock lock;
            PostMessageW(target->FilerWindow()->Handle(), WM_CLOSE, 0, 0);
            if (handOff) {
                EXPECT_TRUE(App()->ServeCommand(BuildOpenCommand(TempFolder())));
            }
        }
        ASSERT_EQ(WaitForSingleObject(target->ThreadHandle(), 10000), WAIT_OBJECT_0);
        App()->SetDdeTarget(nullptr);
        FolderManager()->PurgeFolders();
        ASSERT_TRUE(App()->WaitForThreads(10000));
    };
    cycle(true);
    long before = g_liveBlocks;
    cycle(false);
    long plain = g_liveBlocks - before;
    before = g_liveBlocks;
    cycle(true);
    EXPECT_EQ(g_liveBlocks - before, plain) << "the request outlived its window";
}
