// The object model: an ownership tree of counted objects, intrusive
// collections, aggregation and the observer list.
#pragma once

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LInterfaces.h"

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <memory>
#include <string>
#include <vector>

// Base of every long-lived object. It may own children, which it destroys
// with itself, the last first. Its reference count guards against destroying
// an object that is still referenced; it never frees the object.
//
// Objects are destroyed with Free (or by their owner), which checks the
// count before anything is torn down.
class T0Object {
public:
    T0Object() = default;
    T0Object(const T0Object&) = delete;
    T0Object& operator=(const T0Object&) = delete;

    // Destroys obj (null is allowed). Asserts (LObjects) when obj is still
    // referenced; the object then stays as it is.
    static void Free(T0Object* obj);

    virtual LONG _AddRef() noexcept { return ++FRefCount; }
    virtual LONG _Release() noexcept { return --FRefCount; }
    LONG RefCount() const noexcept { return FRefCount; }

    T0Object* Owner() const noexcept { return FOwner; }
    T0Object* FirstChild() const noexcept { return FFirstChild; }
    T0Object* LastChild() const noexcept { return FLastChild; }
    T0Object* Prev() const noexcept { return FPrev; }
    T0Object* Next() const noexcept { return FNext; }

    // Appends this object to the end of owner's children. The object must
    // not have an owner yet (assertion of LObjects).
    void SetOwner(T0Object* owner);

    // The first child for which test(child, arg) holds, or null. The test
    // may destroy the child it is given.
    using TTest = bool (*)(T0Object* child, void* arg);
    T0Object* FirstThat(TTest test, void* arg) const;

    // Destroys the children, the last one first, until none is left. A
    // child that is still referenced asserts (LObjects).
    void DestroyChildren();
    // As DestroyChildren, for destructors and clean-up paths that must not
    // throw: a child still referenced is reported, left alive for whoever
    // holds it and taken out of this object's list.
    void DestroyChildrenReporting() noexcept;

    // The class name as the assertion texts show it.
    std::wstring ClassName() const;

protected:
    // Protected: destruction goes through Free, which checks the count first.
    virtual ~T0Object();

    // Finds an interface of the object itself; TInterfaced fills it in.
    virtual HRESULT GetInterface(REFIID, void** object) noexcept
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    virtual HRESULT _QueryInterface(REFIID iid, void** object) noexcept { return GetInterface(iid, object); }

    // Links this object into owner's child list immediately before `before`
    // (at the end when before is null).
    void LinkInto(T0Object* owner, T0Object* before);

private:
    void Unlink() noexcept;

    T0Object* FOwner = nullptr;
    T0Object* FFirstChild = nullptr;
    T0Object* FLastChild = nullptr;
    T0Object* FPrev = nullptr;
    T0Object* FNext = nullptr;
    std::atomic<LONG> FRefCount{0};
};

// Frees a T0Object through T0Object::Free.
struct T0ObjectDeleter {
    void operator()(T0Object* obj) const { T0Object::Free(obj); }
};
template <class T>
using TOwned = std::unique_ptr<T, T0ObjectDeleter>;

class T0Collection;

// An item that lives in a T0Collection.
class T0CollectionItem : public T0Object {
public:
    // Creates the item into collection, before `before` or at the end.
    explicit T0CollectionItem(T0Collection* collection, T0CollectionItem* before = nullptr);

protected:
    ~T0CollectionItem() override;
};

// Owns its items (and possibly other children, which it does not count).
class T0Collection : public T0Object {
public:
    int Count() const noexcept { return FCount; }

    // Destroys every item, front to back; other children stay.
    void Clear();

    using T0Object::FirstThat;

    // As T0Object::FirstThat, testing only children of class Item.
    template <class Item>
    Item* FirstThat(bool (*test)(Item* item, void* arg), void* arg) const
    {
        for (T0Object* child = FirstChild(); child != nullptr;) {
            T0Object* next = child->Next();
            if (auto* item = dynamic_cast<Item*>(child); item != nullptr && test(item, arg))
                return item;
            child = next;
        }
        return nullptr;
    }

private:
    friend class T0CollectionItem;
    int FCount = 0;
};

// An object whose interface calls go to an outer controller when one is set.
class T0AggregatedObject : public T0Object {
public:
    // The controller is not counted by the aggregated object.
    void SetController(IUnknown* controller) noexcept { FController = controller; }
    IUnknown* Controller() const noexcept { return FController; }

    LONG _AddRef() noexcept override;
    LONG _Release() noexcept override;

protected:
    HRESULT _QueryInterface(REFIID iid, void** object) noexcept override;

private:
    IUnknown* FController = nullptr;
};

// The subject side of the observer channel.
class TObservable : public TInterfaced<T0AggregatedObject, IObservable> {
public:
    void STDMETHODCALLTYPE Attach(IObserver* observer) override;
    void STDMETHODCALLTYPE Detach(IObserver* observer) override;
    bool STDMETHODCALLTYPE HasObservers() override { return !FObservers.empty(); }

    // Sends Update to every attached observer. An observer may detach itself
    // (or others) during Update without the next one being skipped. One that
    // fails does not keep the others from being told; the first failure is
    // raised after the last observer.
    void Notify();

protected:
    virtual void ObserverAttached() {}
    virtual void ObserverDetached() {}

private:
    std::vector<ComPtr<IObserver>> FObservers;
};
