// Actions, their managers, lists of choices and idle workers, on real
// toolkit threads.

// Toolkit
#include "lw/LActions.h"
#include "lw/LExceptions.h"
#include "lw/LWindows.h"

// Tests
#include "tests/RecordedDisplay.h"

// Standard library
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/lw/ToolkitTest.h"

namespace {

UniqueHandle NewEvent()
{
    return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// An action whose refresh turns it on or off as the test says, and which
// counts its runs.
class TTestAction : public T0Action {
public:
    TTestAction(bool global, std::string name) : T0Action(global) { Describe(std::move(name), L"", L""); }
    bool EnableOnIdle = true;
    int Idles = 0;
    int Runs = 0;
    IActionItems* List = nullptr;

    void Idle() override
    {
        ++Idles;
        SetEnabled(EnableOnIdle);
    }
    void Execute() override
    {
        ++Runs;
        T0Action::Execute();
    }
    IActionItems* ActionItems() override { return List; }
};

TTestAction* NewAction(T0ActionManager* owner, std::string name)
{
    auto* action = new TTestAction(owner->Global(), std::move(name));
    action->SetOwner(owner);
    return action;
}

// Frees a manager (and its actions) at the end of a scope.
struct TManagerScope {
    T0ActionManager* Manager;
    ~TManagerScope() { T0Object::Free(Manager); }
};

// A global manager whose choice is scripted.
class TChoosingManager : public T0ActionManager {
public:
    TChoosingManager() : T0ActionManager(true) {}
    int Choose = -1;
    std::wstring SeenTitle;
    ComPtr<IActionItem> ChooseItem(IActionItems* items) override
    {
        SeenTitle = ItemsTitle(items);
        ComPtr<IActionItem> chosen;
        int index = 0;
        ForEachItem(items, [&](IActionItem* item) {
            if (index++ == Choose)
                chosen = item;
        });
        return chosen;
    }
};

struct TGlobalScope {
    explicit TGlobalScope(IActionManager* manager) { SetGlobalActionManager(manager); }
    ~TGlobalScope() { SetGlobalActionManager(nullptr); }
};

} // namespace

TEST(ActionManager, FindOrderCaseAndHiding)
{
    auto* global = new T0ActionManager(true);
    auto* local = new T0ActionManager(false);
    TManagerScope freeLocal{local}, freeGlobal{global};
    TGlobalScope scope(global);

    TTestAction* copy = NewAction(local, "Copy");
    TTestAction* secondCopy = NewAction(local, "COPY");
    TTestAction* help = NewAction(global, "HelpContents");
    TTestAction* globalCopy = NewAction(global, "Copy");

    EXPECT_EQ(local->Find("copy").get(), static_cast<IAction*>(copy)) << "own actions in creation order, any case";
    EXPECT_EQ(local->Find("helpcontents").get(), static_cast<IAction*>(help)) << "falls back to the global manager";
    EXPECT_EQ(global->Find("COPY").get(), static_cast<IAction*>(globalCopy)) << "the global one never asks a thread's";
    EXPECT_THROW(local->Find("Cop"), EInvalidContainer) << "whole names only";

    // Added ones hide the own ones, the later the earlier; removing the
    // last occurrence uncovers the one before it.
    TTestAction* added = NewAction(global, "cOpY");
    TTestAction* addedLater = NewAction(global, "Copy2");
    ASSERT_HRESULT_SUCCEEDED(local->AddAction(added));
    ASSERT_HRESULT_SUCCEEDED(local->AddAction(secondCopy));
    ASSERT_HRESULT_SUCCEEDED(local->AddAction(addedLater));
    EXPECT_EQ(local->Find("Copy").get(), static_cast<IAction*>(secondCopy));
    ASSERT_HRESULT_SUCCEEDED(local->AddAction(added));
    EXPECT_EQ(local->Find("Copy").get(), static_cast<IAction*>(added));
    ASSERT_HRESULT_SUCCEEDED(local->RemoveAction(added));
    EXPECT_EQ(local->Find("Copy").get(), static_cast<IAction*>(secondCopy)) << "only the last occurrence goes";
    EXPECT_EQ(local->Registered().size(), 3u);
    ASSERT_HRESULT_SUCCEEDED(local->RemoveAction(help)) << "never added";
    ASSERT_HRESULT_SUCCEEDED(local->RemoveAction(nullptr));
    EXPECT_EQ(local->Registered().size(), 3u);
    ASSERT_HRESULT_SUCCEEDED(local->RemoveAction(secondCopy));
    ASSERT_HRESULT_SUCCEEDED(local->RemoveAction(added));
    EXPECT_EQ(local->Find("Copy").get(), static_cast<IAction*>(copy));

    // Unknown everywhere: the class survives the interface boundary.
    try {
        local->Find("Nowhere");
        ADD_FAILURE() << "no exception";
    } catch (const EInvalidContainer& error) {
        EXPECT_EQ(error.Message(), L"アクション\"Nowhere\"が見つかりません");
    }
    ComPtr<IAction> none;
    EXPECT_EQ(static_cast<IActionManager*>(local)->FindAction("Nowhere", none.put()), kActionNotFound);
    EXPECT_FALSE(none);
    EXPECT_THROW(FindAction(local, "Nowhere"), EInvalidContainer);
    EXPECT_EQ(FindAction(local, "HELPCONTENTS").get(), static_cast<IAction*>(help));

    // The references the manager held are gone with its list.
    ASSERT_HRESULT_SUCCEEDED(local->RemoveAction(addedLater));
    EXPECT_EQ(added->RefCount(), 0);
    EXPECT_EQ(addedLater->RefCount(), 0);
}

TEST(Action, PerformRefreshesFirstAndRunsOnlyWhenEnabled)
{
    auto* manager = new T0ActionManager(false);
    TManagerScope scope{manager};
    TTestAction* action = NewAction(manager, "Toggle");
    action->SetEnabled(false);

    // Disabled until Perform's own refresh turns it on.
    bool performed = false;
    ASSERT_HRESULT_SUCCEEDED(action->Perform(&performed));
    EXPECT_TRUE(performed);
    EXPECT_EQ(action->Idles, 1);
    EXPECT_EQ(action->Runs, 1);

    action->EnableOnIdle = false;
    EXPECT_FALSE(PerformItem(action));
    EXPECT_EQ(action->Runs, 1);

    // Visible changes count; setting the same value does not.
    uint32_t before = action->ChangeCount();
    action->SetEnabled(false);
    action->SetCaption(L"");
    EXPECT_EQ(action->ChangeCount(), before);
    action->SetChecked(true);
    action->SetHint(L"ヒント");
    EXPECT_EQ(action->ChangeCount(), before + 2);
    EXPECT_EQ(ActionHint(action), L"ヒント");

    EXPECT_THROW(action->SetName("Again"), EAssertionFailed);
    EXPECT_EQ(action->Name(), "Toggle");

    // A global action refreshes under the exclusive lock.
    auto* global = new T0ActionManager(true);
    TManagerScope freeGlobal{global};
    class TLockProbe : public TTestAction {
    public:
        using TTestAction::TTestAction;
        int32_t StateSeen = 0;
        void Idle() override
        {
            StateSeen = CurrentThread()->LockState();
            TTestAction::Idle();
        }
    };
    auto* probe = new TLockProbe(true, "Probe");
    probe->SetOwner(global);
    EXPECT_TRUE(probe->Perform());
    EXPECT_EQ(probe->StateSeen, -1);
    EXPECT_EQ(CurrentThread()->LockState(), 0);
}

namespace {

struct TTransferLog {
    std::vector<TTransferMode> Modes;
    bool Enable = false;
};

TTransferLog* g_transferLog = nullptr;

void TransferCallback(void* context, TTransferAction* action, TTransferMode mode)
{
    g_transferLog->Modes.push_back(mode);
    if (mode == TTransferMode::Describe) {
        EXPECT_NE(context, nullptr);
        action->Describe("Transfer", L"転送", L"転送します");
    } else if (mode == TTransferMode::Update) {
        action->SetEnabled(g_transferLog->Enable);
    }
}

} // namespace

TEST(Action, TransferActionRunsItsCallbackByMode)
{
    TTransferLog log;
    g_transferLog = &log;
    auto* manager = new T0ActionManager(false);
    TManagerScope scope{manager};
    TTransferAction* action = manager->NewTransferAction(TransferCallback);
    EXPECT_EQ(action->Context(), static_cast<void*>(manager));
    EXPECT_EQ(action->Owner(), manager);
    EXPECT_EQ(ItemCaption(action), L"転送");
    EXPECT_EQ(manager->Find("TRANSFER").get(), static_cast<IAction*>(action));

    EXPECT_FALSE(action->Perform());
    log.Enable = true;
    EXPECT_TRUE(action->Perform());
    using M = TTransferMode;
    EXPECT_EQ(log.Modes, (std::vector<M>{M::Describe, M::Update, M::Update, M::Execute}));
    g_transferLog = nullptr;
}

namespace {

// Fills a list with the captions it is given and records what it performs.
class TListProvider : public TActionItemsProvider {
public:
    std::vector<std::wstring> Captions;
    int Fills = 0;
    bool FailNext = false;
    std::vector<intptr_t> Performed;

    void Fill(TActionItems& list) override
    {
        ++Fills;
        list.Clear();
        for (size_t i = 0; i < Captions.size(); ++i) {
            if (FailNext && i == 1) {
                FailNext = false;
                throw Exception(L"fill failed");
            }
            list.Add(Captions[i], static_cast<intptr_t>(i) + 100, i == 0);
        }
    }
    void PerformItem(TActionItem& item) override { Performed.push_back(item.Data()); }
};

std::vector<std::wstring> CaptionsOf(IActionItems* items)
{
    std::vector<std::wstring> captions;
    ForEachItem(items, [&](IActionItem* item) { captions.push_back(ItemCaption(item)); });
    return captions;
}

} // namespace

TEST(ActionItems, FilledLazilyAgainAfterInvalidateAndDroppedItemsOutliveTheirList)
{
    TListProvider provider;
    provider.Captions = {L"一", L"二"};
    TOwned<TActionItems> list(new TActionItems(&provider, L"窓"));
    EXPECT_EQ(provider.Fills, 0);
    EXPECT_EQ(ItemsTitle(list.get()), L"窓");
    EXPECT_EQ(CaptionsOf(list.get()), (std::vector<std::wstring>{L"一", L"二"}));
    EXPECT_EQ(provider.Fills, 1) << "a current list is not filled again";

    provider.Captions = {L"三"};
    EXPECT_EQ(CaptionsOf(list.get()).size(), 2u);
    list->Invalidate();
    EXPECT_EQ(CaptionsOf(list.get()), (std::vector<std::wstring>{L"三"}));
    EXPECT_EQ(provider.Fills, 2);

    // An item performs through its list's provider.
    ComPtr<IActionItem> held;
    struct TFirst {
        static bool STDMETHODCALLTYPE Test(IActionItem*, void*) { return true; }
    };
    ASSERT_HRESULT_SUCCEEDED(list->FindItem(&TFirst::Test, nullptr, held.put()));
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->GetChecked());
    EXPECT_EQ(held.as<IActionItemData>()->GetData(), 100);
    EXPECT_TRUE(PerformItem(held.get()));
    EXPECT_EQ(provider.Performed, (std::vector<intptr_t>{100}));

    // Refilled while a menu still holds an item: the item is dropped from
    // sight, not freed under its holder, and performs nothing any more.
    provider.Captions = {L"四", L"五"};
    list->Invalidate();
    EXPECT_EQ(CaptionsOf(list.get()), (std::vector<std::wstring>{L"四", L"五"}));
    EXPECT_FALSE(PerformItem(held.get()));
    EXPECT_EQ(ItemCaption(held.get()), L"三");
    EXPECT_EQ(list->Count(), 3);
    held.reset();
    list->MakeCurrent();
    EXPECT_EQ(list->Count(), 2) << "freed once released";

    // A failed fill leaves the list dirty, so the next question retries.
    provider.FailNext = true;
    list->Invalidate();
    EXPECT_THROW(CaptionsOf(list.get()), Exception);
    EXPECT_TRUE(list->Dirty());
    EXPECT_EQ(CaptionsOf(list.get()), (std::vector<std::wstring>{L"四", L"五"}));
}

TEST(Action, DefaultExecuteLetsTheGlobalManagerChoose)
{
    TListProvider provider;
    provider.Captions = {L"A", L"B", L"C"};
    auto* global = new TChoosingManager;
    TManagerScope freeGlobal{global};
    TGlobalScope scope(global);
    auto* local = new T0ActionManager(false);
    TManagerScope freeLocal{local};
    TTestAction* action = NewAction(local, "WindowMenu");
    TOwned<TActionItems> list(new TActionItems(&provider, L"ウィンドウ"));
    action->List = list.get();

    global->Choose = 1;
    EXPECT_TRUE(action->Perform());
    EXPECT_EQ(global->SeenTitle, L"ウィンドウ");
    EXPECT_EQ(provider.Performed, (std::vector<intptr_t>{101}));

    global->Choose = -1; // cancelled
    EXPECT_TRUE(action->Perform());
    EXPECT_EQ(provider.Performed.size(), 1u);

    EXPECT_THROW(local->ChooseItem(list.get()), EAssertionFailed) << "only the global manager chooses";
}

// ---------------------------------------------------------------------------
// Idle workers and their threads

namespace {

std::atomic<int> g_idles{0};

class TCountingWorker : public T0IdleWorker {
public:
    explicit TCountingWorker(bool global) : T0IdleWorker(global) {}
    void Idle() override { ++g_idles; }
};

// A GUI thread that runs the steps the test posts to it, one at a time.
class TStepThread : public T0GUIThread {
public:
    std::function<void(TStepThread*)> Step;
    UniqueHandle Go = NewEvent();
    UniqueHandle Done = NewEvent();
    bool Quit = false;

    // Runs step on the thread and waits for it.
    void Run(std::function<void(TStepThread*)> step)
    {
        Step = std::move(step);
        ResetEvent(Done.get());
        SetEvent(Go.get());
        ASSERT_EQ(WaitForSingleObject(Done.get(), 10000), WAIT_OBJECT_0);
    }

protected:
    void Execute() override
    {
        while (!Quit) {
            WaitForSingleObject(Go.get(), INFINITE);
            ResetEvent(Go.get());
            Step(this);
            SetEvent(Done.get());
        }
    }
};

void EndThread(TStepThread* thread)
{
    thread->Run([](TStepThread* self) { self->Quit = true; });
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 10000), WAIT_OBJECT_0);
}

} // namespace

TEST(IdleWorker, ListensToItsThreadAndLeavesSafelyFromAnyThread)
{
    TRecordedDisplay display;
    auto* thread = T0Thread::StartThread<TStepThread>();
    TCountingWorker* sameThread = nullptr;
    TCountingWorker* otherThread = nullptr;
    TCountingWorker* outlivesThread = nullptr;
    thread->Run([&](TStepThread*) {
        sameThread = new TCountingWorker(false);
        otherThread = new TCountingWorker(false);
        outlivesThread = new TCountingWorker(false);
    });
    g_idles = 0;
    thread->Run([](TStepThread* self) { self->IdleStep(nullptr); });
    EXPECT_EQ(g_idles, 3);

    // Destroyed on its own thread: gone from the list at once.
    thread->Run([&](TStepThread* self) {
        T0Object::Free(sameThread);
        self->IdleStep(nullptr);
    });
    EXPECT_EQ(g_idles, 5);

    // Destroyed on another thread: never refreshed again, and its thread
    // drops the link in its next idle step.
    T0Object::Free(otherThread);
    thread->Run([](TStepThread* self) { self->IdleStep(nullptr); });
    EXPECT_EQ(g_idles, 6);
    bool observed = true;
    thread->Run([&](TStepThread* self) {
        T0Object::Free(outlivesThread);
        outlivesThread = new TCountingWorker(false);
        observed = self->Observers()->HasObservers();
    });
    EXPECT_TRUE(observed);
    thread->Run([&](TStepThread* self) {
        T0Object::Free(outlivesThread);
        observed = self->Observers()->HasObservers();
        outlivesThread = new TCountingWorker(false);
    });
    EXPECT_FALSE(observed) << "no link of a destroyed worker is left";

    // The thread ends first: the worker is freed afterwards without
    // touching the thread's list, which is gone.
    EndThread(thread);
    T0Object::Free(outlivesThread);
    Application()->FreeFinishedThreads();
    EXPECT_TRUE(display.Shown().empty());
}

TEST(IdleWorker, GlobalWorkersFollowTheApplicationIdleStep)
{
    g_idles = 0;
    auto* worker = new TCountingWorker(true);
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_EQ(g_idles, 1);

    // Made on a window thread that holds the lock shared, freed on the
    // main thread.
    TCountingWorker* fromThread = nullptr;
    auto* thread = T0Thread::StartThread<TStepThread>();
    thread->Run([&](TStepThread* self) {
        int32_t previous = Application()->BeginShared();
        fromThread = new TCountingWorker(true);
        EXPECT_EQ(self->LockState(), 1) << "back to the shared hold";
        Application()->EndShared(previous);
    });
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_EQ(g_idles, 3);
    EndThread(thread);
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_EQ(g_idles, 5) << "a global worker does not end with the thread that made it";

    T0Object::Free(worker);
    T0Object::Free(fromThread);
    EXPECT_TRUE(Application()->IdleStep());
    EXPECT_EQ(g_idles, 5);
    EXPECT_FALSE(Application()->Observers()->HasObservers());
}
