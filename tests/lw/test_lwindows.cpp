// Threads, the application lock, idle steps, command identifiers and the
// window plumbing of the toolkit, on real threads and windows.

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LWindows.h"

// Tests
#include "tests/RecordedDisplay.h"

// Platform
#include <objbase.h>

// Standard library
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/lw/ToolkitTest.h"

namespace {

UniqueHandle NewEvent(bool manual = true)
{
    return UniqueHandle(CreateEventW(nullptr, manual, FALSE, nullptr));
}

// Whether another thread gets the lock exclusively right now.
bool TakenElsewhere(TAppLock& lock)
{
    bool taken = false;
    std::thread other([&] {
        taken = lock.TryExclusive();
        if (taken)
            lock.ReleaseExclusive();
    });
    other.join();
    return taken;
}

} // namespace

TEST(LockState, TransitionsOfTheProtocol)
{
    TAppLock lock;
    int32_t state = 0;

    int32_t s1 = lockstate::BeginShared(lock, state);
    EXPECT_EQ(s1, 0);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(lock.Readers(), 1);
    // Nested shared: no second hold.
    int32_t s2 = lockstate::BeginShared(lock, state);
    EXPECT_EQ(lock.Readers(), 1);
    lockstate::EndShared(lock, state, s2);
    EXPECT_EQ(lock.Readers(), 1);

    // Exclusive from shared gives the shared hold up and takes it back.
    int32_t s3 = lockstate::BeginExclusive(lock, state);
    EXPECT_EQ(s3, 1);
    EXPECT_EQ(state, -1);
    EXPECT_EQ(lock.Readers(), 0);
    int32_t s4 = lockstate::BeginExclusive(lock, state); // nested
    EXPECT_EQ(s4, -1);
    // Shared inside exclusive keeps the exclusive hold.
    int32_t s5 = lockstate::BeginShared(lock, state);
    EXPECT_EQ(state, -1);
    EXPECT_EQ(lock.Readers(), 0);
    lockstate::EndShared(lock, state, s5);
    lockstate::EndExclusive(lock, state, s4);
    EXPECT_EQ(state, -1);
    lockstate::EndExclusive(lock, state, s3);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(lock.Readers(), 1);

    int32_t s6 = lockstate::SuspendShared(lock, state);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(lock.Readers(), 0);
    EXPECT_TRUE(lock.TryExclusive()) << "a suspended hold lets the idle step run";
    lock.ReleaseExclusive();
    lockstate::ResumeShared(lock, state, s6);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(lock.Readers(), 1);
    EXPECT_FALSE(lock.TryExclusive());

    lockstate::EndShared(lock, state, s1);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(lock.Readers(), 0);

    // Suspension gives an exclusive hold up as well, and the resume takes it
    // back exclusively.
    int32_t s7 = lockstate::BeginExclusive(lock, state);
    int32_t s8 = lockstate::SuspendShared(lock, state);
    EXPECT_EQ(s8, -1);
    EXPECT_EQ(state, 0);
    EXPECT_TRUE(TakenElsewhere(lock)) << "a suspended exclusive hold lets others in";
    lockstate::ResumeShared(lock, state, s8);
    EXPECT_EQ(state, -1);
    std::atomic<bool> taken{false};
    std::thread other([&] {
        lock.AcquireExclusive();
        taken = true;
        lock.ReleaseExclusive();
    });
    Sleep(100);
    EXPECT_FALSE(taken) << "the resume took the lock back exclusively";
    lockstate::EndExclusive(lock, state, s7);
    other.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(state, 0);
}

namespace {

struct TContention {
    TAppLock Lock;
    std::atomic<int> Readers{0};
    std::atomic<int> Writers{0};
    std::atomic<bool> Violation{false};
    std::atomic<bool> Stop{false};
    std::atomic<int> WriterRounds{0};
};

DWORD WINAPI ContendingReader(void* param)
{
    auto* c = static_cast<TContention*>(param);
    while (!c->Stop) {
        c->Lock.AcquireShared();
        ++c->Readers;
        if (c->Writers != 0)
            c->Violation = true;
        --c->Readers;
        c->Lock.ReleaseShared();
    }
    return 0;
}

DWORD WINAPI ContendingWriter(void* param)
{
    auto* c = static_cast<TContention*>(param);
    while (!c->Stop) {
        c->Lock.AcquireExclusive();
        if (++c->Writers != 1 || c->Readers != 0)
            c->Violation = true;
        --c->Writers;
        c->Lock.ReleaseExclusive();
        ++c->WriterRounds;
        Sleep(0);
    }
    return 0;
}

} // namespace

TEST(AppLock, ExclusiveHoldersNeverOverlapReadersOrEachOther)
{
    TContention c;
    std::vector<UniqueHandle> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(CreateThread(nullptr, 0, ContendingReader, &c, 0, nullptr));
    for (int i = 0; i < 2; ++i)
        threads.emplace_back(CreateThread(nullptr, 0, ContendingWriter, &c, 0, nullptr));
    Sleep(700);
    c.Stop = true;
    for (auto& t : threads)
        WaitForSingleObject(t.get(), 10000);
    EXPECT_FALSE(c.Violation);
    EXPECT_GT(c.WriterRounds, 0) << "writers must get through while readers come and go";
    EXPECT_EQ(c.Lock.Readers(), 0);
}

namespace {

constexpr UINT kAnswerMe = WM_APP + 7;

// The lock state of the thread that waits, as its messages see it.
const int32_t* g_waiterState = nullptr;

LRESULT CALLBACK AnsweringProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // A thread answering while it waits holds nothing and must not think it
    // does: the answer tells which.
    if (message == kAnswerMe)
        return g_waiterState == nullptr || *g_waiterState == 0 ? 42 : 41;
    return DefWindowProcW(window, message, wParam, lParam);
}

// Whether a thread that waits for the lock in the given mode still answers
// a message the holder sends it: the holder takes the lock in the other
// mode, so that the wait is real, and sends with a time-out instead of
// hanging when the answer never comes.
HWND NewAnsweringWindow()
{
    static const ATOM atom = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = AnsweringProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"LockAnsweringWindow";
        return RegisterClassW(&windowClass);
    }();
    return CreateWindowW(MAKEINTATOM(atom), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

bool AnsweredWhileWaiting(bool waiterWantsExclusive)
{
    TAppLock lock;
    if (waiterWantsExclusive)
        lock.AcquireShared();
    else
        lock.AcquireExclusive();
    UniqueHandle created = NewEvent();
    std::atomic<HWND> window{nullptr};
    std::thread waiter([&] {
        window = NewAnsweringWindow();
        // The waiter reads before it writes: it holds the lock shared, then
        // asks for it exclusively.
        int32_t state = 0;
        if (waiterWantsExclusive)
            lockstate::BeginShared(lock, state);
        g_waiterState = &state;
        SetEvent(created.get());
        int32_t previous = waiterWantsExclusive ? lockstate::BeginExclusive(lock, state)
                                                : lockstate::BeginShared(lock, state);
        if (waiterWantsExclusive) {
            lockstate::EndExclusive(lock, state, previous);
            lockstate::EndShared(lock, state, 0);
        } else {
            lockstate::EndShared(lock, state, previous);
        }
        g_waiterState = nullptr;
        DestroyWindow(window);
    });
    WaitForSingleObject(created.get(), 10000);
    Sleep(50);
    DWORD_PTR answer = 0;
    bool answered = window != nullptr &&
                    SendMessageTimeoutW(window, kAnswerMe, 0, 0, SMTO_NORMAL, 3000, &answer) != 0 && answer == 42;
    if (waiterWantsExclusive)
        lock.ReleaseShared();
    else
        lock.ReleaseExclusive();
    waiter.join();
    return answered;
}

} // namespace

// A window thread that waits for the lock while the holder sends it a
// message (a folder refresh filling its list, the system's focus messages
// as another window closes) must answer, or both wait for ever.
TEST(AppLock, AWindowThreadWaitingForTheLockAnswersTheHoldersMessages)
{
    EXPECT_TRUE(AnsweredWhileWaiting(false)) << "waiting to read while the sender writes";
    EXPECT_TRUE(AnsweredWhileWaiting(true)) << "waiting to write while the sender reads";
}

TEST(Threads, StartReturnsAfterInitializeWithAValidThreadId)
{
    UniqueHandle release = NewEvent();
    HANDLE releaseHandle = release.get();
    auto* thread = T0Thread::StartThread<TBodyThread>([releaseHandle](TBodyThread* self) {
        EXPECT_EQ(CurrentThread(), self);
        WaitForSingleObject(releaseHandle, 10000);
    });
    EXPECT_NE(thread->ThreadId(), 0u);
    EXPECT_EQ(thread->InitializedOn, thread->ThreadId());
    EXPECT_NE(thread->ThreadHandle(), nullptr);
    EXPECT_TRUE(Application()->HasThreads());
    SetEvent(release.get());
    WaitForSingleObject(thread->ThreadHandle(), 10000);
    Application()->FreeFinishedThreads();
    EXPECT_FALSE(Application()->HasThreads());
}

namespace {

// A thread whose start takes the application lock, as a window thread's
// start does when it makes its window.
class TLockedStartThread : public T0Thread {
protected:
    void Initialize() override
    {
        T0Thread::Initialize();
        TExclusiveLock lock;
    }
    void Execute() override {}
};

} // namespace

// A thread whose start needs the lock starts while another thread, holding
// the lock, walks the list of threads (the window menu does): the starting
// thread does not keep the list to itself while it waits.
TEST(Threads, AStartThatNeedsTheLockDoesNotBlockAWalkOfTheThreadList)
{
    UniqueHandle holding = NewEvent();
    HANDLE holdingHandle = holding.get();
    std::atomic<int> walked{-1};
    auto* walker = T0Thread::StartThread<TBodyThread>([&](TBodyThread*) {
        TExclusiveLock lock;
        SetEvent(holdingHandle);
        // Meanwhile the test's thread starts the other one.
        Sleep(300);
        int listed = 0;
        Application()->ForEachThread([&](T0Thread*) { ++listed; });
        walked = listed;
    });
    ASSERT_EQ(WaitForSingleObject(holding.get(), 10000), WAIT_OBJECT_0);
    auto* started = T0Thread::StartThread<TLockedStartThread>();
    EXPECT_EQ(WaitForSingleObject(walker->ThreadHandle(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(started->ThreadHandle(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(walked, 2) << "both threads are listed, the one starting included";
    Application()->FreeFinishedThreads();
    EXPECT_FALSE(Application()->HasThreads());
}

TEST(Threads, IdleStepIsSkippedWhileAGUIThreadIsBusy)
{
    UniqueHandle holding = NewEvent(), release = NewEvent();
    HANDLE holdingHandle = holding.get(), releaseHandle = release.get();
    auto* busy = T0Thread::StartThread<TBodyThread>([=](TBodyThread* self) {
        Application()->AppLock().AcquireShared();
        ++self->LockState();
        SetEvent(holdingHandle);
        WaitForSingleObject(releaseHandle, 10000);
        --self->LockState();
        Application()->AppLock().ReleaseShared();
    });
    auto* quick = T0Thread::StartThread<TBodyThread>([](TBodyThread*) {});
    ASSERT_EQ(WaitForSingleObject(holding.get(), 10000), WAIT_OBJECT_0);
    WaitForSingleObject(quick->ThreadHandle(), 10000);

    EXPECT_FALSE(Application()->IdleStep());
    int listed = 0;
    Application()->ForEachThread([&](T0Thread*) { ++listed; });
    EXPECT_EQ(listed, 2) << "a finished thread is not reaped while the idle step is skipped";

    SetEvent(release.get());
    WaitForSingleObject(busy->ThreadHandle(), 10000);
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_FALSE(Application()->HasThreads()) << "the idle step reaps finished threads";
}

namespace {

// A thread whose start, end or both fail in the ways a module's or a
// subclass's code can make them fail.
class TFailingThread : public T0Thread {
public:
    enum TFailure { InInitialize, InFinalize };
    explicit TFailingThread(TFailure failure) : FFailure(failure) {}

protected:
    void Initialize() override
    {
        // Before anything of the base has run, as an early failure would.
        if (FFailure == InInitialize)
            throw Exception(L"start failed");
        T0Thread::Initialize();
    }
    void Finalize() override
    {
        if (FFailure == InFinalize)
            throw Exception(L"end failed");
        T0Thread::Finalize();
    }

private:
    TFailure FFailure;
};

} // namespace

TEST(Threads, FailedStartsAndEndsAndHeldThreadsNeitherHangNorKeepTheLock)
{
    TRecordedDisplay display;
    auto* failedStart = T0Thread::StartThread<TFailingThread>(TFailingThread::InInitialize);
    auto* failedEnd = T0Thread::StartThread<TFailingThread>(TFailingThread::InFinalize);
    // A finished thread a module still holds a reference to.
    auto* held = T0Thread::StartThread<TBodyThread>([](TBodyThread*) {});
    held->_AddRef();
    ASSERT_NE(failedStart->ThreadHandle(), nullptr) << "a thread that failed to start can still be waited for";
    for (T0Thread* thread : {static_cast<T0Thread*>(failedStart), static_cast<T0Thread*>(failedEnd),
                             static_cast<T0Thread*>(held)})
        ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);

    EXPECT_NO_THROW(EXPECT_TRUE(Application()->IdleStep()));
    EXPECT_EQ(Application()->AppLock().Readers(), 0);
    EXPECT_EQ(Application()->MainThread()->LockState(), 0);
    ASSERT_TRUE(Application()->AppLock().TryExclusive()) << "the idle step left the lock held";
    Application()->AppLock().ReleaseExclusive();
    EXPECT_FALSE(Application()->HasThreads());
    EXPECT_TRUE(display.Contains(L"start failed"));
    EXPECT_TRUE(display.Contains(L"end failed"));
    EXPECT_TRUE(display.Contains(L"はまだ1箇所で参照されています"));

    // Reported once; freed once the holder lets go.
    size_t reports = display.Shown().size();
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_EQ(display.Shown().size(), reports);
    EXPECT_EQ(held->_Release(), 0);
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_EQ(display.Shown().size(), reports);

    // The run loop ends once such a thread is gone instead of waiting on it
    // for ever.
    T0Thread::StartThread<TFailingThread>(TFailingThread::InInitialize);
    Application()->Run();
    EXPECT_FALSE(Application()->HasThreads());
}

TEST(Threads, ToolkitThreadsLiveInASingleThreadedApartment)
{
    RunOnGUIThread([](TBodyThread*) {
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        ASSERT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
        EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
    });
}

TEST(Threads, IdleStepAssertsWhenTheMainThreadHoldsTheLock)
{
    int32_t previous = Application()->BeginShared();
    EXPECT_THROW(Application()->IdleStep(), EAssertionFailed);
    Application()->EndShared(previous);
    EXPECT_EQ(Application()->AppLock().Readers(), 0);
}

namespace {

class TCounter : public TInterfaced<TInterfacedObject, IObserver> {
public:
    void STDMETHODCALLTYPE Update() override { ++Count; }
    std::atomic<int> Count{0};
};

// A hidden lead window: message 1 blocks until an event, message 2 signals one.
class TLoopWindow : public T0MainWindow {
public:
    HANDLE Block = nullptr;
    HANDLE Handled = nullptr;
    std::wstring WindowClassName() const override { return L"NimbraTestLoopWindow"; }
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_APP + 1) {
            WaitForSingleObject(Block, 10000);
            return 0;
        }
        if (message == WM_APP + 2) {
            SetEvent(Handled);
            return 0;
        }
        return T0MainWindow::Dispatch(message, wParam, lParam);
    }
};

} // namespace

TEST(Threads, WakeMessagesQueuedWhileBusyGiveOneIdleStep)
{
    UniqueHandle block = NewEvent(), handled = NewEvent(), ready = NewEvent();
    ComPtr<TCounter> counter(new TCounter);
    HWND window = nullptr;
    HANDLE readyHandle = ready.get(), blockHandle = block.get(), handledHandle = handled.get();
    TCounter* counterPtr = counter.get();
    auto* thread = T0Thread::StartThread<TBodyThread>([&, readyHandle, blockHandle, handledHandle](TBodyThread* self) {
        auto* loop = new TLoopWindow;
        loop->SetOwner(self);
        loop->Block = blockHandle;
        loop->Handled = handledHandle;
        loop->CreateHandle(TWindowStruct{});
        self->Observers()->Attach(counterPtr);
        window = loop->Handle();
        SetEvent(readyHandle);
        Application()->AppLock().AcquireShared();
        ++self->LockState();
        loop->MessageLoop();
        --self->LockState();
        Application()->AppLock().ReleaseShared();
        self->Observers()->Detach(counterPtr);
    });
    ASSERT_EQ(WaitForSingleObject(ready.get(), 10000), WAIT_OBJECT_0);

    PostMessageW(window, WM_APP + 1, 0, 0);
    Sleep(100);
    int before = counter->Count;
    for (int i = 0; i < 5; ++i)
        thread->PostThreadMessage(WM_LW_WAKE, 0, 0);
    SetEvent(block.get());
    PostMessageW(window, WM_APP + 2, 0, 0);
    ASSERT_EQ(WaitForSingleObject(handled.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(counter->Count - before, 1);

    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindow(window)) << "the thread's end destroys its windows";
    ASSERT_FALSE(thread->Error);
    Application()->FreeFinishedThreads();
}

namespace {

class TCommand : public T0Object, public TCommandObject {
public:
    void ExecuteCommand() override { ++Runs; }
    int Runs = 0;
};

} // namespace

TEST(Commands, IdentifiersReuseTheLowestFreeSlotAndLookUpSafely)
{
    RunOnGUIThread([](TBodyThread* self) {
        auto* a = new TCommand;
        auto* b = new TCommand;
        auto* c = new TCommand;
        a->SetOwner(self);
        b->SetOwner(self);
        c->SetOwner(self);
        UINT ia = self->AllocCommandId(a), ib = self->AllocCommandId(b), ic = self->AllocCommandId(c);
        EXPECT_EQ(ia, 1024u);
        EXPECT_EQ(ib, 1025u);
        EXPECT_EQ(ic, 1026u);
        self->FreeCommandId(ia);
        self->FreeCommandId(ib);
        EXPECT_EQ(self->AllocCommandId(b), 1024u);
        EXPECT_EQ(self->CommandObject(1024), b);
        EXPECT_EQ(self->CommandObject(1025), nullptr);
        EXPECT_EQ(self->CommandObject(1026), c);
        EXPECT_EQ(self->CommandObject(1023), nullptr);
        EXPECT_EQ(self->CommandObject(61440), nullptr);
        EXPECT_EQ(self->CommandObject(1027), nullptr) << "beyond the table";
        EXPECT_EQ(self->CommandObject(61439), nullptr);
        EXPECT_THROW(self->FreeCommandId(1025), EAssertionFailed);
        EXPECT_THROW(self->FreeCommandId(5000), EAssertionFailed);
    });
}

TEST(Services, AccelChar)
{
    struct Row {
        const wchar_t* caption;
        wchar_t expected;
    } rows[] = {
        {L"&File", L'F'},       {L"e&xit", L'X'},        {L"Save && E&xit", L'X'}, {L"A && B", 0},
        {L"trailing &", 0},     {L"", 0},                {L"&&&a", L'A'},          {L"フォルダ(&f)", L'F'},
        {L"&ä", L'Ä'},          {L"no accelerator", 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(AccelChar(row.caption), row.expected) << static_cast<const void*>(row.caption);
}

TEST(Services, DialogCentringStaysInsideTheWorkArea)
{
    RECT work{0, 0, 1000, 800};
    RECT dialog{0, 0, 200, 100};
    RECT owner{100, 100, 500, 300};
    RECT centred = CentredRect(dialog, &owner, work);
    EXPECT_EQ(centred.left, 200);
    EXPECT_EQ(centred.top, 150);
    EXPECT_EQ(centred.right - centred.left, 200) << "not resized";
    RECT onScreen = CentredRect(dialog, nullptr, work);
    EXPECT_EQ(onScreen.left, 400);
    EXPECT_EQ(onScreen.top, 350);
    // An owner near the top-left corner would push the dialog off the work area.
    RECT corner{-300, -200, -100, -100};
    RECT kept = CentredRect(dialog, &corner, RECT{10, 20, 1000, 800});
    EXPECT_EQ(kept.left, 10);
    EXPECT_EQ(kept.top, 20);
}

namespace {

class TTestWindow : public T0MainWindow {
public:
    std::wstring WindowClassName() const override { return L"NimbraTestWindow"; }
    bool KeyDown(int shift, UINT key) override
    {
        Keys.push_back(key);
        return key == 'A';
    }
    bool CanClose() override { return Closable; }
    std::vector<UINT> Keys;
    bool Closable = false;
};

class TChild : public T0Window {
public:
    std::wstring WindowClassName() const override { return L"NimbraTestChild"; }
};

TChild* NewChild(T0Window* parent, TAlign align, int width, int height)
{
    auto* child = new TChild;
    child->SetOwner(parent);
    child->SetAlign(align);
    TWindowStruct create;
    create.Style = WS_CHILD | WS_VISIBLE;
    create.X = 0;
    create.Y = 0;
    create.Width = width;
    create.Height = height;
    create.Parent = parent->Handle();
    child->CreateHandle(create);
    return child;
}

RECT ChildRect(T0Window* child)
{
    RECT r;
    GetWindowRect(child->Handle(), &r);
    MapWindowPoints(nullptr, GetParent(child->Handle()), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

} // namespace

TEST(Windows, LookupKeysCommandsCloseAndAlignment)
{
    RunOnGUIThread([](TBodyThread* self) {
        auto* window = new TTestWindow;
        window->SetOwner(self);
        TWindowStruct create;
        create.Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
        window->CreateHandle(create);
        HWND handle = window->Handle();
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(WindowOf(handle), window);
        EXPECT_EQ(AnyWindowOf(handle), window);
        wchar_t className[64];
        GetClassNameW(handle, className, 64);
        EXPECT_STREQ(className, L"NimbraTestWindow");

        // A foreign window gets one wrapper, kept until garbage is collected.
        HWND desktop = GetDesktopWindow();
        TAnyWindow* wrapper = AnyWindowOf(desktop);
        ASSERT_NE(wrapper, nullptr);
        EXPECT_EQ(wrapper->Handle(), desktop);
        EXPECT_EQ(AnyWindowOf(desktop), wrapper);
        EXPECT_EQ(WindowOf(desktop), nullptr);
        EXPECT_EQ(AnyWindowOf(reinterpret_cast<HWND>(0x12345678)), nullptr);

        // Repeat counts: 3 calls, and a count of 0 still makes one.
        SendMessageW(handle, WM_KEYDOWN, 'B', 3);
        SendMessageW(handle, WM_KEYDOWN, 'C', 0);
        EXPECT_EQ(window->Keys, (std::vector<UINT>{'B', 'B', 'B', 'C'}));

        // A menu command runs the object registered under its identifier.
        auto* command = new TCommand;
        command->SetOwner(self);
        UINT id = self->AllocCommandId(command);
        SendMessageW(handle, WM_COMMAND, MAKEWPARAM(id, 0), 0);
        EXPECT_EQ(command->Runs, 1);
        SendMessageW(handle, WM_COMMAND, MAKEWPARAM(id, 1), 0); // an accelerator, not a menu
        EXPECT_EQ(command->Runs, 1);

        // Children placed top, bottom, left, then client.
        SetWindowPos(handle, nullptr, 0, 0, 400, 300, SWP_NOZORDER | SWP_NOMOVE);
        TChild* client = NewChild(window, TAlign::Client, 10, 10);
        TChild* top = NewChild(window, TAlign::Top, 10, 20);
        TChild* bottom = NewChild(window, TAlign::Bottom, 10, 30);
        TChild* left = NewChild(window, TAlign::Left, 40, 10);
        window->Realign();
        RECT area;
        GetClientRect(handle, &area);
        EXPECT_EQ(ChildRect(top).top, 0);
        EXPECT_EQ(ChildRect(top).right, area.right);
        EXPECT_EQ(ChildRect(top).bottom, 20);
        EXPECT_EQ(ChildRect(bottom).top, area.bottom - 30);
        EXPECT_EQ(ChildRect(left).top, 20);
        EXPECT_EQ(ChildRect(left).bottom, area.bottom - 30);
        EXPECT_EQ(ChildRect(left).right, 40);
        RECT c = ChildRect(client);
        EXPECT_EQ(c.left, 40);
        EXPECT_EQ(c.top, 20);
        EXPECT_EQ(c.right, area.right);
        EXPECT_EQ(c.bottom, area.bottom - 30);

        // Closing: refused while CanClose says no.
        SendMessageW(handle, WM_CLOSE, 0, 0);
        EXPECT_FALSE(window->Terminated());
        window->Closable = true;
        SendMessageW(handle, WM_CLOSE, 0, 0);
        EXPECT_TRUE(window->Terminated());

        // WM_QUIT ends a running loop.
        PostQuitMessage(0);
        window->MessageLoop();
        EXPECT_TRUE(window->Terminated());

        // Destroying the object destroys the window and its children.
        HWND childHandle = left->Handle();
        T0Object::Free(window);
        EXPECT_FALSE(IsWindow(handle));
        EXPECT_FALSE(IsWindow(childHandle));
    });
}

TEST(Threads, StockFontsAreMadeOnceAndOwnedByTheThread)
{
    RunOnGUIThread([](TBodyThread* self) {
        T0Object* before = self->LastChild();
        TFont* system = self->SystemFont();
        ASSERT_NE(system, nullptr);
        EXPECT_EQ(system, self->SystemFont()) << "made once";
        EXPECT_EQ(system->Handle(), GetStockObject(SYSTEM_FONT));
        EXPECT_EQ(system->Owner(), self);
        EXPECT_NE(self->LastChild(), before);
        EXPECT_EQ(self->DefaultGUIFont()->Handle(), GetStockObject(DEFAULT_GUI_FONT));
        EXPECT_EQ(self->SystemFixedFont()->Handle(), GetStockObject(SYSTEM_FIXED_FONT));
        EXPECT_NE(self->DefaultGUIFont(), system);
    });
    // The stock objects survive the thread's end: they were never deleted.
    LOGFONTW font{};
    EXPECT_GT(GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font), 0);
}

// Writers are preferred: with readers overlapping all the time (the count
// never falls to zero by itself), a writer still gets in once the readers
// that hold the lock let go.
TEST(AppLock, AWriterGetsInWhileReadersKeepArriving)
{
    TAppLock lock;
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&, i] {
            Sleep(static_cast<DWORD>(i));
            while (!stop) {
                lock.AcquireShared();
                Sleep(2);
                lock.ReleaseShared();
                ++rounds;
            }
        });
    while (rounds < 40)
        Sleep(1);
    UniqueHandle entered = NewEvent();
    std::thread writer([&] {
        lock.AcquireExclusive();
        SetEvent(entered.get());
        lock.ReleaseExclusive();
    });
    const DWORD start = GetTickCount();
    bool gotIn = WaitForSingleObject(entered.get(), 3000) == WAIT_OBJECT_0;
    const DWORD waited = GetTickCount() - start;
    stop = true;
    writer.join();
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_TRUE(gotIn) << "the writer starved behind readers that kept arriving";
    EXPECT_LT(waited, 1000u);
    EXPECT_EQ(lock.Readers(), 0);
    EXPECT_EQ(lock.WritersWaiting(), 0);
}

namespace {

constexpr UINT kShowBox = WM_APP + 21;

// A window that notes the hold each paint ran under and shows a message
// box, as any window does, with its hold given up around it.
class TProbeWindow : public T0LeadWindow {
public:
    std::atomic<int> Paints{0};
    std::atomic<int> UnheldPaints{0};

    void Paint(HDC) override
    {
        ++Paints;
        if (CallerLockStateValue() == 0)
            ++UnheldPaints;
    }
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == kShowBox) {
            TSuspendShared unlocked;
            MessageBoxW(Handle(), L"probe", L"probe", MB_OK);
            return 0;
        }
        return T0LeadWindow::Dispatch(message, wParam, lParam);
    }
};

struct TBoxSearch {
    DWORD Thread;
    HWND Found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TBoxSearch*>(param);
    wchar_t name[32];
    if (GetClassNameW(window, name, 32) > 0 && std::wstring(name) == L"#32770" && IsWindowVisible(window)) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

bool InMenuLoop(DWORD thread)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(thread, &info) && (info.flags & GUI_INMENUMODE) != 0;
}

template <class F>
bool WaitFor(F&& done, DWORD timeout = 5000)
{
    for (DWORD waited = 0; waited < timeout; waited += 10) {
        if (done())
            return true;
        Sleep(10);
    }
    return done();
}

// Whether another (plain) thread takes the application lock exclusively
// within the time.
bool WriterGetsIn(DWORD timeout)
{
    UniqueHandle entered = NewEvent();
    std::thread writer([&] {
        Application()->AppLock().AcquireExclusive();
        SetEvent(entered.get());
        Application()->AppLock().ReleaseExclusive();
    });
    bool in = WaitForSingleObject(entered.get(), timeout) == WAIT_OBJECT_0;
    writer.detach();
    if (!in)
        WaitForSingleObject(entered.get(), 30000);
    return in;
}

} // namespace

// A window thread holds the lock only while one of its messages is handled:
// an open menu (the system's loop inside the default handling) keeps no
// writer out, and what a message box's loop dispatches (a paint) takes its
// own hold.
TEST(AppLock, ModalLoopsHoldNothingAndWhatTheyDispatchTakesItsOwnHold)
{
    std::atomic<TProbeWindow*> probe{nullptr};
    std::atomic<HWND> handle{nullptr};
    std::atomic<DWORD> threadId{0};
    TBodyThread* thread = T0Thread::StartThread<TBodyThread>([&](TBodyThread* self) {
        TOwned<TProbeWindow> window(new TProbeWindow);
        HMENU bar = CreateMenu();
        HMENU popup = CreatePopupMenu();
        AppendMenuW(popup, MF_STRING, 100, L"Item");
        AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"&File");
        TWindowStruct create;
        create.WindowName = L"probe";
        create.Width = 300;
        create.Height = 200;
        create.Menu = bar;
        window->CreateHandle(create);
        ShowWindow(window->Handle(), SW_SHOW);
        probe = window.get();
        threadId = self->ThreadId();
        handle = window->Handle();
        window->MessageLoop();
    });
    ASSERT_TRUE(WaitFor([&] { return handle.load() != nullptr; }));
    const LONG faultsBefore = LockFaultCount();

    // The menu bar held open.
    PostMessageW(handle, WM_SYSCOMMAND, SC_KEYMENU, L'f');
    ASSERT_TRUE(WaitFor([&] { return InMenuLoop(threadId); })) << "the menu did not open";
    EXPECT_TRUE(WriterGetsIn(2000)) << "a writer waited for the open menu";
    const int paints = probe.load()->Paints;
    InvalidateRect(handle, nullptr, FALSE);
    EXPECT_TRUE(WaitFor([&] { return probe.load()->Paints > paints; })) << "no paint inside the menu loop";
    PostMessageW(handle, WM_CANCELMODE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return !InMenuLoop(threadId); }));

    // A message box.
    PostMessageW(handle, kShowBox, 0, 0);
    TBoxSearch search{threadId, nullptr};
    ASSERT_TRUE(WaitFor([&] {
        EnumThreadWindows(threadId, FindBox, reinterpret_cast<LPARAM>(&search));
        return search.Found != nullptr;
    })) << "the message box did not open";
    EXPECT_TRUE(WriterGetsIn(2000)) << "a writer waited for the message box";
    const int boxPaints = probe.load()->Paints;
    InvalidateRect(handle, nullptr, FALSE);
    EXPECT_TRUE(WaitFor([&] { return probe.load()->Paints > boxPaints; })) << "no paint under the message box";
    PostMessageW(search.Found, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] {
        return !IsWindow(search.Found);
    }));

    EXPECT_EQ(probe.load()->UnheldPaints, 0) << "a paint ran without the lock";
    EXPECT_EQ(LockFaultCount(), faultsBefore);
    PostMessageW(handle, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);
    Application()->FreeFinishedThreads();
}
