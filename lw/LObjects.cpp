#include "lw/LObjects.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LStrings.h"

// Standard library
#include <cstdlib>
#include <cwchar>
#include <cxxabi.h>
#include <exception>
#include <typeinfo>

namespace {

constexpr const wchar_t* kUnit = L"LObjects";
constexpr const wchar_t* kStillReferenced = L"%lsはまだ%d箇所で参照されています";
constexpr const wchar_t* kAlreadyOwned = L"%lsには既に所有者があります";

std::wstring FormatObjectMessage(const wchar_t* format, const std::wstring& className, LONG count = 0)
{
    wchar_t text[512];
    swprintf(text, 512, format, className.c_str(), static_cast<int>(count));
    return text;
}

} // namespace

void T0Object::Free(T0Object* obj)
{
    if (obj == nullptr)
        return;
    LONG count = obj->FRefCount;
    Assert(count == 0, kUnit, FormatObjectMessage(kStillReferenced, obj->ClassName(), count));
    delete obj;
}

T0Object::~T0Object()
{
    // Derived parts are gone by now; what is left is unlinking and the
    // children, which destroy themselves the last first. Nothing may be
    // thrown from here.
    Unlink();
    DestroyChildrenReporting();
}

std::wstring T0Object::ClassName() const
{
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::wstring name = AnsiToUnicode(status == 0 && demangled != nullptr ? demangled : mangled);
    std::free(demangled);
    return name;
}

void T0Object::SetOwner(T0Object* owner)
{
    Assert(FOwner == nullptr, kUnit, FormatObjectMessage(kAlreadyOwned, ClassName()));
    LinkInto(owner, nullptr);
}

void T0Object::LinkInto(T0Object* owner, T0Object* before)
{
    FOwner = owner;
    if (owner == nullptr)
        return;
    if (before == nullptr) {
        FPrev = owner->FLastChild;
        FNext = nullptr;
        if (FPrev != nullptr)
            FPrev->FNext = this;
        else
            owner->FFirstChild = this;
        owner->FLastChild = this;
    } else {
        FPrev = before->FPrev;
        FNext = before;
        before->FPrev = this;
        if (FPrev != nullptr)
            FPrev->FNext = this;
        else
            owner->FFirstChild = this;
    }
}

void T0Object::Unlink() noexcept
{
    if (FPrev != nullptr)
        FPrev->FNext = FNext;
    if (FNext != nullptr)
        FNext->FPrev = FPrev;
    if (FOwner != nullptr) {
        if (FOwner->FFirstChild == this)
            FOwner->FFirstChild = FNext;
        if (FOwner->FLastChild == this)
            FOwner->FLastChild = FPrev;
    }
    FOwner = FPrev = FNext = nullptr;
}

T0Object* T0Object::FirstThat(TTest test, void* arg) const
{
    for (T0Object* child = FFirstChild; child != nullptr;) {
        T0Object* next = child->FNext;
        if (test(child, arg))
            return child;
        child = next;
    }
    return nullptr;
}

void T0Object::DestroyChildren()
{
    while (FLastChild != nullptr)
        Free(FLastChild);
}

void T0Object::DestroyChildrenReporting() noexcept
{
    while (T0Object* child = FLastChild) {
        LONG count = child->FRefCount;
        if (count == 0) {
            delete child;
            continue;
        }
        // Freeing it would leave its holders with a dangling pointer; an
        // orphan that lives on is the smaller harm.
        try {
            ReportAssertion(kUnit, FormatObjectMessage(kStillReferenced, child->ClassName(), count));
        } catch (...) {
        }
        child->Unlink();
    }
}

T0CollectionItem::T0CollectionItem(T0Collection* collection, T0CollectionItem* before)
{
    LinkInto(collection, before);
    if (collection != nullptr)
        ++collection->FCount;
}

T0CollectionItem::~T0CollectionItem()
{
    if (auto* collection = static_cast<T0Collection*>(Owner()))
        --collection->FCount;
}

void T0Collection::Clear()
{
    for (T0Object* child = FirstChild(); child != nullptr;) {
        T0Object* next = child->Next();
        if (dynamic_cast<T0CollectionItem*>(child) != nullptr)
            Free(child);
        child = next;
    }
}

LONG T0AggregatedObject::_AddRef() noexcept
{
    return FController != nullptr ? static_cast<LONG>(FController->AddRef()) : T0Object::_AddRef();
}

LONG T0AggregatedObject::_Release() noexcept
{
    return FController != nullptr ? static_cast<LONG>(FController->Release()) : T0Object::_Release();
}

HRESULT T0AggregatedObject::_QueryInterface(REFIID iid, void** object) noexcept
{
    return FController != nullptr ? FController->QueryInterface(iid, object) : T0Object::_QueryInterface(iid, object);
}

void STDMETHODCALLTYPE TObservable::Attach(IObserver* observer)
{
    FObservers.emplace_back(observer);
    ObserverAttached();
}

void STDMETHODCALLTYPE TObservable::Detach(IObserver* observer)
{
    for (size_t i = FObservers.size(); i-- > 0;) {
        if (FObservers[i].get() == observer) {
            // Keep the reference until the entry is out of the list, so that a
            // release that re-enters sees a consistent list.
            ComPtr<IObserver> removed = std::move(FObservers[i]);
            FObservers.erase(FObservers.begin() + static_cast<ptrdiff_t>(i));
            removed.reset();
            ObserverDetached();
            return;
        }
    }
}

void TObservable::Notify()
{
    // Every observer is told even when one fails: an observer left untold
    // would go on using what the change replaced (a folder's freed records).
    // The first failure is raised once all were told.
    std::exception_ptr failure;
    size_t index = 0;
    while (index < FObservers.size()) {
        // Hold a reference across Update: the observer may detach itself.
        ComPtr<IObserver> current = FObservers[index];
        try {
            current->Update();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
        if (index < FObservers.size() && FObservers[index].get() == current.get())
            ++index;
    }
    if (failure)
        std::rethrow_exception(failure);
}
