#include "lw/LObjects.h"
#include "lw/LWindows.h"

// Tests
#include "tests/RecordedDisplay.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Records its own destruction into a shared log.
class TLogged : public T0Object {
public:
    TLogged(std::vector<int>* log, int id) : FLog(log), FId(id) {}

protected:
    ~TLogged() override { FLog->push_back(FId); }

private:
    std::vector<int>* FLog;
    int FId;
};

class TItem : public T0CollectionItem {
public:
    TItem(T0Collection* collection, int id, T0CollectionItem* before = nullptr)
        : T0CollectionItem(collection, before), Id(id)
    {
    }
    int Id;
};

class TOtherItem : public TItem {
public:
    using TItem::TItem;
};

std::vector<T0Object*> Children(const T0Object* owner)
{
    std::vector<T0Object*> forward;
    for (T0Object* c = owner->FirstChild(); c != nullptr; c = c->Next())
        forward.push_back(c);
    // The backward chain must describe the same list.
    std::vector<T0Object*> backward;
    for (T0Object* c = owner->LastChild(); c != nullptr; c = c->Prev())
        backward.insert(backward.begin(), c);
    EXPECT_EQ(forward, backward);
    return forward;
}

std::vector<int> ItemIds(const T0Collection* collection)
{
    std::vector<int> ids;
    for (T0Object* c : Children(collection))
        if (auto* item = dynamic_cast<TItem*>(c))
            ids.push_back(item->Id);
    return ids;
}

} // namespace

TEST(T0Object, OwnerDestroysChildrenLastFirst)
{
    std::vector<int> log;
    auto* owner = new TLogged(&log, 0);
    for (int id = 1; id <= 3; ++id)
        (new TLogged(&log, id))->SetOwner(owner);
    ASSERT_EQ(Children(owner).size(), 3u);
    T0Object::Free(owner);
    EXPECT_EQ(log, (std::vector<int>{0, 3, 2, 1}));
}

TEST(T0Object, DestroyingAChildUnlinksItFromAnyPosition)
{
    std::vector<int> log;
    TOwned<TLogged> owner(new TLogged(&log, 0));
    std::vector<T0Object*> kids;
    for (int id = 1; id <= 4; ++id) {
        kids.push_back(new TLogged(&log, id));
        kids.back()->SetOwner(owner.get());
    }
    T0Object::Free(kids[1]); // middle
    EXPECT_EQ(Children(owner.get()), (std::vector<T0Object*>{kids[0], kids[2], kids[3]}));
    T0Object::Free(kids[0]); // first
    T0Object::Free(kids[3]); // last
    EXPECT_EQ(Children(owner.get()), (std::vector<T0Object*>{kids[2]}));
    owner->DestroyChildren();
    EXPECT_EQ(owner->FirstChild(), nullptr);
    EXPECT_EQ(owner->LastChild(), nullptr);
    EXPECT_EQ(log, (std::vector<int>{2, 1, 4, 3}));
}

TEST(T0Object, SetOwnerTwiceAsserts)
{
    TOwned<T0Collection> a(new T0Collection), b(new T0Collection);
    auto* child = new T0Collection;
    child->SetOwner(a.get());
    try {
        child->SetOwner(b.get());
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), L"LObjects");
    }
    EXPECT_EQ(child->Owner(), a.get());
    EXPECT_EQ(b->FirstChild(), nullptr);
}

TEST(T0Object, FreeWithLiveReferenceAssertsWithClassAndCount)
{
    std::vector<int> log;
    auto* obj = new TLogged(&log, 7);
    obj->_AddRef();
    try {
        T0Object::Free(obj);
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_NE(e.Message().find(L"TLogged"), std::wstring::npos) << e.what();
        EXPECT_NE(e.Message().find(L"はまだ1箇所で参照されています"), std::wstring::npos) << e.what();
        EXPECT_EQ(e.Unit(), L"LObjects");
    }
    EXPECT_TRUE(log.empty()) << "a referenced object must not be torn down";
    EXPECT_EQ(obj->_Release(), 0);
    T0Object::Free(obj);
    EXPECT_EQ(log, (std::vector<int>{7}));
}

TEST(T0Object, DestroyingAnOwnerReportsAReferencedChildAndLeavesItAlive)
{
    // An owner's destruction must not throw: the referenced child is
    // reported, its siblings still go, and it lives on for its holder.
    TRecordedDisplay display;
    std::vector<int> log;
    auto* owner = new TLogged(&log, 0);
    (new TLogged(&log, 1))->SetOwner(owner);
    auto* held = new TLogged(&log, 2);
    held->SetOwner(owner);
    (new TLogged(&log, 3))->SetOwner(owner);
    held->_AddRef();
    T0Object::Free(owner);
    EXPECT_EQ(log, (std::vector<int>{0, 3, 1}));
    ASSERT_EQ(display.Shown().size(), 1u);
    EXPECT_TRUE(display.Contains(L"TLogged")) << display.Shown()[0];
    EXPECT_TRUE(display.Contains(L"はまだ1箇所で参照されています"));
    EXPECT_EQ(held->Owner(), nullptr);
    EXPECT_EQ(held->Prev(), nullptr);
    EXPECT_EQ(held->_Release(), 0);
    T0Object::Free(held);
    EXPECT_EQ(log, (std::vector<int>{0, 3, 1, 2}));
}

namespace {

class TNeverStarted : public T0Thread {
public:
    explicit TNeverStarted(bool* freed) : FFreed(freed) {}

protected:
    ~TNeverStarted() override { *FFreed = true; }

private:
    bool* FFreed;
};

} // namespace

TEST(T0Thread, AThreadThatCannotStartIsFreed)
{
    // This program has no application object, so the start fails.
    bool freed = false;
    EXPECT_THROW(T0Thread::StartThread<TNeverStarted>(&freed), EAssertionFailed);
    EXPECT_TRUE(freed);
}

TEST(T0Object, FirstThatMayDestroyTheChildItIsGiven)
{
    TOwned<T0Collection> owner(new T0Collection);
    for (int id = 1; id <= 4; ++id)
        new TItem(owner.get(), id);
    // Destroys every odd item while looking for item 4.
    auto test = [](T0Object* child, void*) {
        auto* item = static_cast<TItem*>(child);
        if (item->Id % 2 == 1) {
            T0Object::Free(item);
            return false;
        }
        return item->Id == 4;
    };
    T0Object* found = owner->FirstThat(test, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(static_cast<TItem*>(found)->Id, 4);
    EXPECT_EQ(ItemIds(owner.get()), (std::vector<int>{2, 4}));
    EXPECT_EQ(owner->Count(), 2);
}

TEST(T0Collection, InsertBeforeAndAtEndKeepCount)
{
    TOwned<T0Collection> c(new T0Collection);
    auto* second = new TItem(c.get(), 2);
    new TItem(c.get(), 3);
    auto* first = new TItem(c.get(), 1, second);
    auto* zero = new TItem(c.get(), 0, first);
    EXPECT_EQ(c->FirstChild(), zero);
    EXPECT_EQ(ItemIds(c.get()), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(c->Count(), 4);
    T0Object::Free(first);
    EXPECT_EQ(c->Count(), 3);
    EXPECT_EQ(ItemIds(c.get()), (std::vector<int>{0, 2, 3}));
}

TEST(T0Collection, ClearLeavesOtherChildren)
{
    TOwned<T0Collection> c(new T0Collection);
    new TItem(c.get(), 1);
    auto* other = new T0Collection;
    other->SetOwner(c.get());
    new TItem(c.get(), 2);
    c->Clear();
    EXPECT_EQ(c->Count(), 0);
    EXPECT_EQ(Children(c.get()), (std::vector<T0Object*>{other}));
}

TEST(T0Collection, FirstThatTestsOnlyTheGivenClass)
{
    TOwned<T0Collection> c(new T0Collection);
    new TItem(c.get(), 1);
    new TOtherItem(c.get(), 2);
    new TOtherItem(c.get(), 3);
    int visited = 0;
    auto test = [](TOtherItem* item, void* arg) {
        ++*static_cast<int*>(arg);
        return item->Id == 3;
    };
    TOtherItem* found = c->FirstThat<TOtherItem>(test, &visited);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Id, 3);
    EXPECT_EQ(visited, 2);
}

namespace {

// An outer object that counts the calls the aggregated object forwards.
class TController : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        ++Queries;
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++Count; }
    ULONG STDMETHODCALLTYPE Release() override { return --Count; }
    ULONG Count = 0;
    int Queries = 0;
};

// Records Update calls; may run an action inside Update.
class TRecorder : public TInterfaced<TInterfacedObject, IObserver> {
public:
    TRecorder(std::vector<int>* log, int id) : FLog(log), FId(id) {}
    void STDMETHODCALLTYPE Update() override
    {
        FLog->push_back(FId);
        if (OnUpdate)
            OnUpdate();
    }
    std::function<void()> OnUpdate;

private:
    std::vector<int>* FLog;
    int FId;
};

} // namespace

TEST(T0AggregatedObject, ForwardsToControllerOnlyWhenSet)
{
    TOwned<TObservable> subject(new TObservable);
    ComPtr<IObservable> asInterface(subject.get());
    EXPECT_EQ(subject->RefCount(), 1);

    TController controller;
    subject->SetController(&controller);
    {
        ComPtr<IObservable> second(subject.get());
        EXPECT_EQ(controller.Count, 1u);
        EXPECT_EQ(subject->RefCount(), 1);
        EXPECT_FALSE(second.as<IObserver>());
        EXPECT_EQ(controller.Queries, 1);
    }
    EXPECT_EQ(controller.Count, 0u);
    subject->SetController(nullptr);
    EXPECT_TRUE(asInterface.as<IObservable>());
    asInterface.reset();
    EXPECT_EQ(subject->RefCount(), 0);
}

TEST(TObservable, NotifyReachesEveryObserverAndKeepsReferences)
{
    std::vector<int> log;
    TOwned<TObservable> subject(new TObservable);
    ComPtr<TRecorder> a(new TRecorder(&log, 1)), b(new TRecorder(&log, 2));
    EXPECT_FALSE(subject->HasObservers());
    subject->Attach(a.get());
    subject->Attach(b.get());
    EXPECT_TRUE(subject->HasObservers());
    EXPECT_EQ(a->RefCount(), 2);
    subject->Notify();
    EXPECT_EQ(log, (std::vector<int>{1, 2}));
    subject->Detach(a.get());
    subject->Detach(b.get());
    EXPECT_EQ(a->RefCount(), 1);
    EXPECT_FALSE(subject->HasObservers());
}

TEST(TObservable, ObserverDetachingItselfDoesNotSkipTheNext)
{
    std::vector<int> log;
    TOwned<TObservable> subject(new TObservable);
    ComPtr<TRecorder> a(new TRecorder(&log, 1)), b(new TRecorder(&log, 2)), c(new TRecorder(&log, 3));
    subject->Attach(a.get());
    subject->Attach(b.get());
    subject->Attach(c.get());
    TRecorder* self = b.get();
    b->OnUpdate = [&] { subject->Detach(self); };
    subject->Notify();
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
    log.clear();
    subject->Notify();
    EXPECT_EQ(log, (std::vector<int>{1, 3}));
}

TEST(TObservable, ObserverDetachingAnEarlierOneDoesNotRepeatItself)
{
    std::vector<int> log;
    TOwned<TObservable> subject(new TObservable);
    ComPtr<TRecorder> a(new TRecorder(&log, 1)), b(new TRecorder(&log, 2)), c(new TRecorder(&log, 3));
    subject->Attach(a.get());
    subject->Attach(b.get());
    subject->Attach(c.get());
    TRecorder* first = a.get();
    b->OnUpdate = [&] { subject->Detach(first); };
    subject->Notify();
    // The detach moved b to index 0 while index 1 was examined again: c.
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
    subject->Detach(b.get());
    subject->Detach(c.get());
}

TEST(TObservable, DetachRemovesOnlyTheLaterOfTwoEntries)
{
    std::vector<int> log;
    TOwned<TObservable> subject(new TObservable);
    ComPtr<TRecorder> a(new TRecorder(&log, 1)), b(new TRecorder(&log, 2));
    subject->Attach(a.get());
    subject->Attach(b.get());
    subject->Attach(a.get());
    subject->Detach(a.get());
    subject->Notify();
    EXPECT_EQ(log, (std::vector<int>{1, 2}));
    EXPECT_EQ(a->RefCount(), 2);
    // Detaching what is not attached changes nothing.
    ComPtr<TRecorder> stranger(new TRecorder(&log, 9));
    subject->Detach(stranger.get());
    EXPECT_EQ(stranger->RefCount(), 1);
    subject->Detach(a.get());
    subject->Detach(b.get());
}
