// Actions: idle workers, the action base, callback actions, lists of choices
// and the managers that own actions and find them by name.
//
// Keys and menu items hold actions, never code. An action refreshes its
// state (enabled, checked, caption, hint) whenever its thread runs idle, and
// once more right before it is performed.
#pragma once

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LInterfaces.h"
#include "lw/LObjects.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class TActionItem;
class TActionItems;

// ---------------------------------------------------------------------------
// Idle workers

// Refreshes itself whenever its thread's message queue runs empty. A global
// worker listens to the application's idle step (run under the exclusive
// application lock), any other to the idle step of the thread that
// constructs it, which must be a toolkit thread (assertion of LActions).
//
// A global worker is constructed by a thread that holds the application
// lock (as every GUI thread does while it handles a message) or by the main
// thread, so that no idle step reaches it half made.
//
// A worker may be destroyed on any thread and may outlive its thread: it
// then stops listening without touching the other thread's list, which
// drops it in its next idle step or when it ends.
class T0IdleWorker : public T0Object {
public:
    // Incremented whenever a visible property changes.
    uint32_t ChangeCount() const noexcept { return FChangeCount; }
    bool Global() const noexcept { return FGlobal; }

    virtual void Idle() = 0;

protected:
    explicit T0IdleWorker(bool global);
    ~T0IdleWorker() override;

    void Changed() noexcept { ++FChangeCount; }

private:
    uint32_t FChangeCount = 0;
    bool FGlobal;
    // The observer the idle step notifies; see LActions.cpp.
    ComPtr<IObserver> FLink;
};

// ---------------------------------------------------------------------------
// Actions

// A named command with a caption (menu text), a hint (status text), an
// enabled and a checked state. Lives on its manager's thread, or, when
// global, is shared by all threads under the application lock.
class T0Action : public TInterfaced<T0IdleWorker, IAction> {
public:
    const std::string& Name() const noexcept { return FName; }
    // Set once; a second time is an assertion of LActions.
    void SetName(std::string name);
    const std::wstring& Caption() const noexcept { return FCaption; }
    void SetCaption(std::wstring caption);
    const std::wstring& Hint() const noexcept { return FHint; }
    void SetHint(std::wstring hint);
    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool enabled);
    bool Checked() const noexcept { return FChecked; }
    void SetChecked(bool checked);
    // Name, caption and hint at once, as an action describes itself when
    // it is made; always counts as a change.
    void Describe(std::string name, std::wstring caption, std::wstring hint);

    // Brings the state up to date (a global action under the exclusive
    // application lock), then executes when enabled. Whether it ran.
    bool Perform();

    // Recomputes the state; nothing by default.
    void Idle() override {}
    // By default: lets the user choose from ActionItems (through the global
    // manager) and performs the chosen item; nothing without a list.
    virtual void Execute();
    // The list of choices the action offers, or null (the default).
    virtual IActionItems* ActionItems() { return nullptr; }

    // IActionItem
    HRESULT STDMETHODCALLTYPE GetCaption(BSTR* caption) override;
    bool STDMETHODCALLTYPE GetChecked() override { return FChecked; }
    HRESULT STDMETHODCALLTYPE GetItems(IActionItems** items) override;
    HRESULT STDMETHODCALLTYPE Perform(bool* performed) override;
    // IAction
    const char* STDMETHODCALLTYPE GetName() override { return FName.c_str(); }
    HRESULT STDMETHODCALLTYPE GetHint(BSTR* hint) override;
    bool STDMETHODCALLTYPE GetEnabled() override { return FEnabled; }

protected:
    explicit T0Action(bool global) : TInterfaced(global) {}

    HRESULT GetInterface(REFIID iid, void** object) noexcept override;

private:
    std::string FName;
    std::wstring FCaption;
    std::wstring FHint;
    bool FEnabled = true;
    bool FChecked = false;
};

// What a callback action asks its callback to do.
enum class TTransferMode : uint8_t {
    Describe = 0, // set name, caption and hint with Describe
    Update = 1,   // set Enabled, Checked and the like
    Execute = 2,  // run
};

class TTransferAction;
// A plain function (the default calling convention, so that static
// functions and captureless lambdas both convert on every target).
using TTransferCallback = void (*)(void* context, TTransferAction* action, TTransferMode mode);

// An action whose every operation is one callback.
class TTransferAction : public T0Action {
public:
    // Calls the callback to describe the action.
    TTransferAction(bool global, TTransferCallback callback, void* context);

    void* Context() const noexcept { return FContext; }

    void Idle() override { FCallback(FContext, this, TTransferMode::Update); }
    void Execute() override { FCallback(FContext, this, TTransferMode::Execute); }

private:
    TTransferCallback FCallback;
    void* FContext;
};

// ---------------------------------------------------------------------------
// Lists of choices

// Fills a list of choices and performs its items. It outlives its lists
// (it usually owns them): the lists do not count it.
class TActionItemsProvider {
public:
    // Empties (Clear) and refills the list as it sees fit.
    virtual void Fill(TActionItems& list) = 0;
    virtual void PerformItem(TActionItem& item) = 0;

protected:
    ~TActionItemsProvider() = default;
};

// One choice of a list.
class TActionItem : public TInterfaced<T0CollectionItem, IActionItem, IActionItemData> {
public:
    TActionItem(TActionItems* list, std::wstring caption, intptr_t data = 0, bool checked = false);

    const std::wstring& Caption() const noexcept { return FCaption; }
    intptr_t Data() const noexcept { return FData; }
    bool Checked() const noexcept { return FChecked; }
    // The list this item belongs to; null once the list has dropped it.
    TActionItems* List() const noexcept;
    // The sub-list of this item, made on first request with the provider
    // of the item's list; filled by whoever asks for it.
    TActionItems* SubItems();

    // IActionItem
    HRESULT STDMETHODCALLTYPE GetCaption(BSTR* caption) override;
    bool STDMETHODCALLTYPE GetChecked() override { return FChecked; }
    // The sub-list when one was made, else null.
    HRESULT STDMETHODCALLTYPE GetItems(IActionItems** items) override;
    // Lets the provider perform the item; false for an item the list has
    // dropped meanwhile.
    HRESULT STDMETHODCALLTYPE Perform(bool* performed) override;
    // IActionItemData
    intptr_t STDMETHODCALLTYPE GetData() override { return FData; }

private:
    friend class TActionItems;
    std::wstring FCaption;
    intptr_t FData;
    TActionItems* FSubItems = nullptr;
    bool FChecked;
    // Dropped by its list while still referenced (a menu showing it): kept
    // out of sight and freed once nobody holds it.
    bool FDropped = false;
};

// A list of choices, filled by its provider before it answers whenever it
// is dirty (after construction and after Invalidate).
class TActionItems : public TInterfaced<T0Collection, IActionItems> {
public:
    TActionItems(TActionItemsProvider* provider, std::wstring title);

    TActionItemsProvider* Provider() const noexcept { return FProvider; }
    void SetTitle(std::wstring title) { FTitle = std::move(title); }
    bool Dirty() const noexcept { return FDirty; }
    void SetDirty(bool dirty) noexcept { FDirty = dirty; }
    // Has the provider fill the list when it is dirty.
    void MakeCurrent();

    // Appends an item.
    TActionItem* Add(std::wstring caption, intptr_t data = 0, bool checked = false);
    // Drops every item. Items still referenced (by a menu that shows them)
    // stay out of sight until they are released.
    void Clear();
    // The items in order, without filling the list.
    std::vector<TActionItem*> Items() const;

    // IActionItems
    HRESULT STDMETHODCALLTYPE GetTitle(BSTR* title) override;
    HRESULT STDMETHODCALLTYPE FindItem(TActionItemTest test, void* context, IActionItem** item) override;
    void STDMETHODCALLTYPE Invalidate() override { FDirty = true; }

private:
    // Frees the dropped items nobody holds any more.
    void Sweep();

    TActionItemsProvider* FProvider;
    std::wstring FTitle;
    bool FDirty = true;
};

// ---------------------------------------------------------------------------
// Managers

// Owns actions (its children, in creation order) and finds them by name.
class T0ActionManager : public TInterfaced<T0Object, IActionManager> {
public:
    explicit T0ActionManager(bool global) : FGlobal(global) {}
    ~T0ActionManager() override;

    bool Global() const noexcept { return FGlobal; }
    const std::vector<ComPtr<IAction>>& Registered() const noexcept { return FRegistered; }

    // The action of that name, in ASCII letters of any case: the added ones
    // from the last to the first, then the own ones in creation order, then
    // (for a manager that is not global) the global manager's. Raises
    // EInvalidContainer when none has the name.
    ComPtr<IAction> Find(std::string_view name);

    // Makes a callback action with this manager's Global flag and the
    // manager as context; owned by the manager.
    TTransferAction* NewTransferAction(TTransferCallback callback);

    // Lets the user choose from items; null when nothing was chosen. Only
    // the global manager can (an assertion of LActions otherwise).
    virtual ComPtr<IActionItem> ChooseItem(IActionItems* items);

    // IActionManager
    HRESULT STDMETHODCALLTYPE AddAction(IAction* action) override;
    HRESULT STDMETHODCALLTYPE RemoveAction(IAction* action) override;
    HRESULT STDMETHODCALLTYPE FindAction(const char* name, IAction** action) override;
    HRESULT STDMETHODCALLTYPE ChooseItem(IActionItems* items, IActionItem** item) override;

private:
    // This manager's own search: Registered, then its children.
    ComPtr<IAction> FindHere(std::string_view name);

    std::vector<ComPtr<IAction>> FRegistered;
    bool FGlobal;
};

// The global manager, set by the application when it has made it (null
// before and after). Not counted: the application owns it.
void SetGlobalActionManager(IActionManager* manager) noexcept;
IActionManager* GlobalActionManager() noexcept;

// ---------------------------------------------------------------------------
// Helpers for callers of the interfaces: failures come back as exceptions.

// CheckHResult for the action interfaces.
void CheckActionResult(HRESULT hr);

// Raises EInvalidContainer ("アクション"name"が見つかりません") when the
// manager knows no such action.
ComPtr<IAction> FindAction(IActionManager* manager, std::string_view name);
bool PerformItem(IActionItem* item);
std::wstring ItemCaption(IActionItem* item);
std::wstring ActionHint(IAction* action);
ComPtr<IActionItems> ItemsOf(IActionItem* item);
std::wstring ItemsTitle(IActionItems* items);

// Calls f(IActionItem*) for each item of the list in order (filling it
// first when it is dirty).
template <class F>
void ForEachItem(IActionItems* items, F&& f)
{
    struct TForward {
        static bool STDMETHODCALLTYPE Test(IActionItem* item, void* context)
        {
            (*static_cast<std::remove_reference_t<F>*>(context))(item);
            return false;
        }
    };
    ComPtr<IActionItem> none;
    HRESULT hr = items->FindItem(&TForward::Test, const_cast<void*>(static_cast<const void*>(&f)), none.put());
    CheckActionResult(hr);
}

// The name rule of actions: equal without regard to ASCII letter case.
bool SameActionName(std::string_view a, std::string_view b) noexcept;
