// Counted interface references and the bases that implement IUnknown.
#pragma once

// Platform
#include <windows.h>
#include <unknwn.h>

// Standard library
#include <atomic>
#include <utility>

// Holds one counted reference to an interface.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Adds a reference to p.
    ComPtr(T* p) noexcept : FPtr(p)
    {
        if (FPtr)
            FPtr->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.FPtr) {}
    ComPtr(ComPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept
    {
        reset(other.FPtr);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other) {
            T* old = std::exchange(FPtr, std::exchange(other.FPtr, nullptr));
            if (old)
                old->Release();
        }
        return *this;
    }

    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* p) noexcept
    {
        ComPtr result;
        result.FPtr = p;
        return result;
    }
    T* detach() noexcept { return std::exchange(FPtr, nullptr); }

    // Adds a reference to p (may be null) and releases the old one.
    void reset(T* p = nullptr) noexcept
    {
        if (p)
            p->AddRef();
        T* old = std::exchange(FPtr, p);
        if (old)
            old->Release();
    }
    // Releases the current reference and returns the slot for an out argument.
    T** put() noexcept
    {
        reset();
        return &FPtr;
    }

    T* get() const noexcept { return FPtr; }
    T* operator->() const noexcept { return FPtr; }
    T& operator*() const noexcept { return *FPtr; }
    explicit operator bool() const noexcept { return FPtr != nullptr; }
    bool operator==(const ComPtr& other) const noexcept { return FPtr == other.FPtr; }

    // QueryInterface for another interface; empty when not supported.
    template <class U>
    ComPtr<U> as() const noexcept
    {
        ComPtr<U> result;
        if (FPtr)
            FPtr->QueryInterface(__uuidof(U), reinterpret_cast<void**>(result.put()));
        return result;
    }

private:
    T* FPtr = nullptr;
};

// The reference-counted object that is freed when its last reference goes.
class TInterfacedObject {
public:
    TInterfacedObject() = default;
    TInterfacedObject(const TInterfacedObject&) = delete;
    TInterfacedObject& operator=(const TInterfacedObject&) = delete;
    virtual ~TInterfacedObject() = default;

    virtual LONG _AddRef() noexcept { return ++FRefCount; }
    virtual LONG _Release() noexcept
    {
        LONG count = --FRefCount;
        if (count == 0)
            delete this;
        return count;
    }
    LONG RefCount() const noexcept { return FRefCount; }

protected:
    // Finds an interface of the object itself; see TInterfaced.
    virtual HRESULT GetInterface(REFIID, void** object) noexcept
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    virtual HRESULT _QueryInterface(REFIID iid, void** object) noexcept { return GetInterface(iid, object); }

private:
    std::atomic<LONG> FRefCount{0};
};

// Implements IUnknown for the interfaces Intf... on top of Base, which
// decides what counting means: TInterfacedObject frees at zero, T0Object only
// counts. Every Intf must carry a GUID (__CRT_UUID_DECL).
template <class Base, class... Intf>
class TInterfaced : public Base, public Intf... {
public:
    using Base::Base;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        return this->_QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(this->_AddRef()); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(this->_Release()); }

protected:
    HRESULT GetInterface(REFIID iid, void** object) noexcept override
    {
        if (iid == IID_IUnknown) {
            *object = static_cast<IUnknown*>(static_cast<First*>(this));
            this->_AddRef();
            return S_OK;
        }
        if ((Match<Intf>(iid, object) || ...)) {
            this->_AddRef();
            return S_OK;
        }
        return Base::GetInterface(iid, object);
    }

private:
    template <class I, class...>
    struct FirstOf {
        using type = I;
    };
    using First = typename FirstOf<Intf...>::type;

    template <class I>
    bool Match(REFIID iid, void** object) noexcept
    {
        if (iid != __uuidof(I))
            return false;
        *object = static_cast<I*>(this);
        return true;
    }
};
