#include "lw/LActions.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"
#include "lw/LWindows.h"

// Standard library
#include <atomic>
#include <mutex>

namespace {

constexpr const wchar_t* kUnit = L"LActions";
constexpr const wchar_t* kNameSetTwice = L"アクション名は既に設定されています";
constexpr const wchar_t* kNoIdleSubject = L"アイドル処理の通知元がありません";
constexpr const wchar_t* kCannotChoose = L"このアクションマネージャは項目を選択できません";
constexpr const wchar_t* kNotFoundBefore = L"アクション\"";
constexpr const wchar_t* kNotFoundAfter = L"\"が見つかりません";

std::atomic<IActionManager*> g_globalActionManager{nullptr};

// The application lock held in a mode for a scope; nothing without an
// application (a program that made none has no other threads to fear).
class TSharedHold {
public:
    TSharedHold() : FApplication(Application()), FPrevious(FApplication ? FApplication->BeginShared() : 0) {}
    ~TSharedHold()
    {
        if (FApplication)
            FApplication->EndShared(FPrevious);
    }
    TSharedHold(const TSharedHold&) = delete;
    TSharedHold& operator=(const TSharedHold&) = delete;

private:
    T0Application* FApplication;
    int32_t FPrevious;
};

class TExclusiveHold {
public:
    TExclusiveHold() : FApplication(Application()), FPrevious(FApplication ? FApplication->BeginExclusive() : 0) {}
    ~TExclusiveHold()
    {
        if (FApplication)
            FApplication->EndExclusive(FPrevious);
    }
    TExclusiveHold(const TExclusiveHold&) = delete;
    TExclusiveHold& operator=(const TExclusiveHold&) = delete;

private:
    T0Application* FApplication;
    int32_t FPrevious;
};

HRESULT ReturnString(BSTR* out, const std::wstring& text) noexcept
{
    if (out == nullptr)
        return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr || text.empty() ? S_OK : E_OUTOFMEMORY;
}

std::wstring NotFoundMessage(std::string_view name)
{
    return kNotFoundBefore + Utf8ToUnicode(name) + kNotFoundAfter;
}

} // namespace

// ---------------------------------------------------------------------------
// Idle workers

// The observer that an idle step notifies for one worker. The subject's list
// holds it, and so does the worker; a worker that goes away first only
// drops its pointer here (under the lock, so an Idle running on the
// subject's thread finishes first), and the link leaves the subject's list
// in its next notification. The subject is only touched from its own
// thread (or under the exclusive lock for the application's list), and only
// while it still holds the link, which proves it alive.
class TIdleLink : public TInterfaced<TInterfacedObject, IObserver> {
public:
    TIdleLink(T0IdleWorker* worker, IObservable* subject)
        : FWorker(worker), FSubject(subject), FThreadId(GetCurrentThreadId())
    {
    }

    IObservable* Subject() const noexcept { return FSubject; }
    DWORD ThreadId() const noexcept { return FThreadId; }
    // Whether the subject's list still holds the link (or is notifying it).
    bool Attached() const noexcept { return RefCount() > 1; }

    void Drop()
    {
        std::lock_guard<std::recursive_mutex> guard(FLock);
        FWorker = nullptr;
    }

    void STDMETHODCALLTYPE Update() override
    {
        std::lock_guard<std::recursive_mutex> guard(FLock);
        if (FWorker == nullptr) {
            // The notification holds a reference across this call.
            FSubject->Detach(this);
            return;
        }
        try {
            FWorker->Idle();
        } catch (...) {
            // A failing refresh must not end the thread's loop; Perform
            // refreshes once more and reports the failure then.
        }
    }

private:
    std::recursive_mutex FLock;
    T0IdleWorker* FWorker;
    IObservable* FSubject;
    DWORD FThreadId;
};

T0IdleWorker::T0IdleWorker(bool global) : FGlobal(global)
{
    if (global) {
        T0Application* app = Application();
        Assert(app != nullptr && app->Observers() != nullptr, kUnit, kNoIdleSubject);
        TExclusiveHold hold;
        FLink = new TIdleLink(this, app->Observers());
        app->Observers()->Attach(FLink.get());
    } else {
        T0Thread* thread = CurrentThread();
        Assert(thread != nullptr && thread->Observers() != nullptr, kUnit, kNoIdleSubject);
        FLink = new TIdleLink(this, thread->Observers());
        thread->Observers()->Attach(FLink.get());
    }
}

T0IdleWorker::~T0IdleWorker()
{
    auto* link = static_cast<TIdleLink*>(FLink.get());
    try {
        link->Drop();
        if (FGlobal) {
            if (Application() != nullptr) {
                TExclusiveHold hold;
                if (link->Attached())
                    link->Subject()->Detach(link);
            }
        } else if (link->ThreadId() == GetCurrentThreadId() && link->Attached()) {
            link->Subject()->Detach(link);
        }
    } catch (...) {
        ReportAssertion(kUnit, L"idle worker detach failed");
    }
}

// ---------------------------------------------------------------------------
// Actions

void T0Action::SetName(std::string name)
{
    Assert(FName.empty(), kUnit, kNameSetTwice);
    FName = std::move(name);
}

void T0Action::SetCaption(std::wstring caption)
{
    if (caption == FCaption)
        return;
    FCaption = std::move(caption);
    Changed();
}

void T0Action::SetHint(std::wstring hint)
{
    if (hint == FHint)
        return;
    FHint = std::move(hint);
    Changed();
}

void T0Action::SetEnabled(bool enabled)
{
    if (enabled == FEnabled)
        return;
    FEnabled = enabled;
    Changed();
}

void T0Action::SetChecked(bool checked)
{
    if (checked == FChecked)
        return;
    FChecked = checked;
    Changed();
}

void T0Action::Describe(std::string name, std::wstring caption, std::wstring hint)
{
    SetName(std::move(name));
    FCaption = std::move(caption);
    FHint = std::move(hint);
    Changed();
}

bool T0Action::Perform()
{
    if (Global()) {
        TExclusiveHold hold;
        Idle();
    } else {
        Idle();
    }
    if (!FEnabled)
        return false;
    Execute();
    return true;
}

void T0Action::Execute()
{
    IActionItems* items = ActionItems();
    IActionManager* manager = GlobalActionManager();
    if (items == nullptr || manager == nullptr)
        return;
    ComPtr<IActionItem> chosen;
    CheckActionResult(manager->ChooseItem(items, chosen.put()));
    if (chosen)
        PerformItem(chosen.get());
}

HRESULT STDMETHODCALLTYPE T0Action::GetCaption(BSTR* caption)
{
    return ReturnString(caption, FCaption);
}

HRESULT STDMETHODCALLTYPE T0Action::GetHint(BSTR* hint)
{
    return ReturnString(hint, FHint);
}

HRESULT STDMETHODCALLTYPE T0Action::GetItems(IActionItems** items)
{
    if (items == nullptr)
        return E_POINTER;
    *items = nullptr;
    return GuardedCall([&] { *items = ComPtr<IActionItems>(ActionItems()).detach(); });
}

HRESULT STDMETHODCALLTYPE T0Action::Perform(bool* performed)
{
    if (performed == nullptr)
        return E_POINTER;
    *performed = false;
    return GuardedCall([&] { *performed = Perform(); });
}

HRESULT T0Action::GetInterface(REFIID iid, void** object) noexcept
{
    if (iid == __uuidof(IActionItem)) {
        *object = static_cast<IActionItem*>(static_cast<IAction*>(this));
        _AddRef();
        return S_OK;
    }
    return TInterfaced::GetInterface(iid, object);
}

TTransferAction::TTransferAction(bool global, TTransferCallback callback, void* context)
    : T0Action(global), FCallback(callback), FContext(context)
{
    FCallback(FContext, this, TTransferMode::Describe);
}

// ---------------------------------------------------------------------------
// Lists of choices

TActionItem::TActionItem(TActionItems* list, std::wstring caption, intptr_t data, bool checked)
    : TInterfaced(list, nullptr), FCaption(std::move(caption)), FData(data), FChecked(checked)
{
}

TActionItems* TActionItem::List() const noexcept
{
    return FDropped ? nullptr : dynamic_cast<TActionItems*>(Owner());
}

TActionItems* TActionItem::SubItems()
{
    if (FSubItems == nullptr) {
        TActionItems* list = List();
        auto* sub = new TActionItems(list != nullptr ? list->Provider() : nullptr, FCaption);
        sub->SetOwner(this);
        // Filled by the one who asked for it, right now.
        sub->SetDirty(false);
        FSubItems = sub;
    }
    return FSubItems;
}

HRESULT STDMETHODCALLTYPE TActionItem::GetCaption(BSTR* caption)
{
    return ReturnString(caption, FCaption);
}

HRESULT STDMETHODCALLTYPE TActionItem::GetItems(IActionItems** items)
{
    if (items == nullptr)
        return E_POINTER;
    *items = ComPtr<IActionItems>(FSubItems).detach();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TActionItem::Perform(bool* performed)
{
    if (performed == nullptr)
        return E_POINTER;
    *performed = false;
    return GuardedCall([&] {
        TActionItems* list = List();
        if (list == nullptr || list->Provider() == nullptr)
            return;
        list->Provider()->PerformItem(*this);
        *performed = true;
    });
}

TActionItems::TActionItems(TActionItemsProvider* provider, std::wstring title)
    : FProvider(provider), FTitle(std::move(title))
{
}

void TActionItems::MakeCurrent()
{
    Sweep();
    if (!FDirty)
        return;
    FDirty = false;
    if (FProvider == nullptr)
        return;
    try {
        FProvider->Fill(*this);
    } catch (...) {
        // Half a list is not current: the next question tries again.
        FDirty = true;
        throw;
    }
}

TActionItem* TActionItems::Add(std::wstring caption, intptr_t data, bool checked)
{
    return new TActionItem(this, std::move(caption), data, checked);
}

void TActionItems::Clear()
{
    for (TActionItem* item : Items()) {
        if (item->RefCount() == 0)
            Free(item);
        else
            item->FDropped = true;
    }
}

void TActionItems::Sweep()
{
    for (T0Object* child = FirstChild(); child != nullptr;) {
        T0Object* next = child->Next();
        if (auto* item = dynamic_cast<TActionItem*>(child); item != nullptr && item->FDropped && item->RefCount() == 0)
            Free(item);
        child = next;
    }
}

std::vector<TActionItem*> TActionItems::Items() const
{
    std::vector<TActionItem*> items;
    for (T0Object* child = FirstChild(); child != nullptr; child = child->Next())
        if (auto* item = dynamic_cast<TActionItem*>(child); item != nullptr && !item->FDropped)
            items.push_back(item);
    return items;
}

HRESULT STDMETHODCALLTYPE TActionItems::GetTitle(BSTR* title)
{
    if (title == nullptr)
        return E_POINTER;
    *title = nullptr;
    return GuardedCall([&] {
        MakeCurrent();
        CheckHResult(ReturnString(title, FTitle));
    });
}

HRESULT STDMETHODCALLTYPE TActionItems::FindItem(TActionItemTest test, void* context, IActionItem** item)
{
    if (item == nullptr || test == nullptr)
        return E_POINTER;
    *item = nullptr;
    return GuardedCall([&] {
        MakeCurrent();
        // Held while tested: a test that empties the list only drops it.
        std::vector<ComPtr<IActionItem>> items;
        for (TActionItem* each : Items())
            items.emplace_back(each);
        for (const ComPtr<IActionItem>& each : items)
            if (test(each.get(), context)) {
                *item = ComPtr<IActionItem>(each).detach();
                return;
            }
    });
}

// ---------------------------------------------------------------------------
// Managers

T0ActionManager::~T0ActionManager()
{
    FRegistered.clear();
}

ComPtr<IAction> T0ActionManager::FindHere(std::string_view name)
{
    for (size_t i = FRegistered.size(); i-- > 0;) {
        const char* registered = FRegistered[i]->GetName();
        if (registered != nullptr && SameActionName(registered, name))
            return FRegistered[i];
    }
    for (T0Object* child = FirstChild(); child != nullptr; child = child->Next())
        if (auto* action = dynamic_cast<T0Action*>(child); action != nullptr && SameActionName(action->Name(), name))
            return ComPtr<IAction>(action);
    return nullptr;
}

ComPtr<IAction> T0ActionManager::Find(std::string_view name)
{
    ComPtr<IAction> found;
    if (FGlobal) {
        TSharedHold hold;
        found = FindHere(name);
    } else {
        found = FindHere(name);
    }
    if (!found && !FGlobal) {
        IActionManager* global = GlobalActionManager();
        if (global != nullptr && global != static_cast<IActionManager*>(this))
            return ::FindAction(global, name);
    }
    if (!found)
        throw EInvalidContainer(NotFoundMessage(name));
    return found;
}

TTransferAction* T0ActionManager::NewTransferAction(TTransferCallback callback)
{
    auto* action = new TTransferAction(FGlobal, callback, this);
    action->SetOwner(this);
    return action;
}

ComPtr<IActionItem> T0ActionManager::ChooseItem(IActionItems*)
{
    Assert(false, kUnit, kCannotChoose);
    return nullptr;
}

HRESULT STDMETHODCALLTYPE T0ActionManager::AddAction(IAction* action)
{
    if (action == nullptr)
        return E_POINTER;
    return GuardedCall([&] {
        if (FGlobal) {
            TExclusiveHold hold;
            FRegistered.emplace_back(action);
        } else {
            FRegistered.emplace_back(action);
        }
    });
}

HRESULT STDMETHODCALLTYPE T0ActionManager::RemoveAction(IAction* action)
{
    return GuardedCall([&] {
        auto remove = [&] {
            for (size_t i = FRegistered.size(); i-- > 0;)
                if (FRegistered[i].get() == action) {
                    // Out of the list before the release, which may re-enter.
                    ComPtr<IAction> removed = std::move(FRegistered[i]);
                    FRegistered.erase(FRegistered.begin() + static_cast<ptrdiff_t>(i));
                    return;
                }
        };
        if (FGlobal) {
            TExclusiveHold hold;
            remove();
        } else {
            remove();
        }
    });
}

HRESULT STDMETHODCALLTYPE T0ActionManager::FindAction(const char* name, IAction** action)
{
    if (action == nullptr)
        return E_POINTER;
    *action = nullptr;
    try {
        *action = Find(name != nullptr ? name : "").detach();
        return S_OK;
    } catch (const EInvalidContainer&) {
        HResultFromCurrentException();
        return kActionNotFound;
    } catch (...) {
        return HResultFromCurrentException();
    }
}

HRESULT STDMETHODCALLTYPE T0ActionManager::ChooseItem(IActionItems* items, IActionItem** item)
{
    if (item == nullptr)
        return E_POINTER;
    *item = nullptr;
    return GuardedCall([&] { *item = ChooseItem(items).detach(); });
}

void SetGlobalActionManager(IActionManager* manager) noexcept
{
    g_globalActionManager = manager;
}

IActionManager* GlobalActionManager() noexcept
{
    return g_globalActionManager;
}

// ---------------------------------------------------------------------------
// Helpers

void CheckActionResult(HRESULT hr)
{
    if (hr != kActionNotFound) {
        CheckHResult(hr);
        return;
    }
    try {
        CheckHResult(hr);
    } catch (const Exception& error) {
        throw EInvalidContainer(error.Message());
    }
}

ComPtr<IAction> FindAction(IActionManager* manager, std::string_view name)
{
    Assert(manager != nullptr, kUnit, L"no action manager");
    ComPtr<IAction> action;
    HRESULT hr = manager->FindAction(std::string(name).c_str(), action.put());
    if (hr == kActionNotFound)
        throw EInvalidContainer(NotFoundMessage(name));
    CheckActionResult(hr);
    if (!action)
        throw EInvalidContainer(NotFoundMessage(name));
    return action;
}

bool PerformItem(IActionItem* item)
{
    bool performed = false;
    CheckActionResult(item->Perform(&performed));
    return performed;
}

std::wstring ItemCaption(IActionItem* item)
{
    WideString caption;
    CheckActionResult(item->GetCaption(caption.put()));
    return caption.str();
}

std::wstring ActionHint(IAction* action)
{
    WideString hint;
    CheckActionResult(action->GetHint(hint.put()));
    return hint.str();
}

ComPtr<IActionItems> ItemsOf(IActionItem* item)
{
    ComPtr<IActionItems> items;
    CheckActionResult(item->GetItems(items.put()));
    return items;
}

std::wstring ItemsTitle(IActionItems* items)
{
    WideString title;
    CheckActionResult(items->GetTitle(title.put()));
    return title.str();
}

bool SameActionName(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}
