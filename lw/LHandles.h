// Move-only owners of system resources and of system-allocated wide strings.
#pragma once

// Platform
#include <windows.h>
#include <oleauto.h>

// Standard library
#include <string>
#include <string_view>
#include <utility>

// Owns one resource, released by Traits::Close unless it equals
// Traits::Invalid(). Move-only: a copy would release the resource twice.
template <class Traits>
class UniqueResource {
public:
    using T = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : FValue(value) {}
    UniqueResource(UniqueResource&& other) noexcept : FValue(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    T get() const noexcept { return FValue; }
    explicit operator bool() const noexcept { return FValue != Traits::Invalid(); }
    T release() noexcept { return std::exchange(FValue, Traits::Invalid()); }
    void reset(T value = Traits::Invalid()) noexcept
    {
        T old = std::exchange(FValue, value);
        if (old != Traits::Invalid())
            Traits::Close(old);
    }
    // Releases the current resource and returns the slot for an API to fill.
    T* put() noexcept
    {
        reset();
        return &FValue;
    }

private:
    T FValue = Traits::Invalid();
};

// Traits for resources whose empty value is null.
template <class T, auto CloseFunction>
struct NullIsInvalid {
    using Type = T;
    static constexpr T Invalid() noexcept { return nullptr; }
    static void Close(T value) noexcept { CloseFunction(value); }
};

// Traits for handles whose empty value is INVALID_HANDLE_VALUE.
template <auto CloseFunction>
struct MinusOneIsInvalid {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE value) noexcept { CloseFunction(value); }
};

// Events, threads, processes, mutexes: null when empty.
using UniqueHandle = UniqueResource<NullIsInvalid<HANDLE, ::CloseHandle>>;
// Files and pipes from CreateFile: INVALID_HANDLE_VALUE when empty.
using UniqueFileHandle = UniqueResource<MinusOneIsInvalid<::CloseHandle>>;
using UniqueFindHandle = UniqueResource<MinusOneIsInvalid<::FindClose>>;
using UniqueModule = UniqueResource<NullIsInvalid<HMODULE, ::FreeLibrary>>;
// A window the calling thread made and destroys (not a toolkit window).
using UniqueWindow = UniqueResource<NullIsInvalid<HWND, ::DestroyWindow>>;

// Owns a BSTR: the wide string type that crosses module boundaries.
class WideString {
public:
    WideString() noexcept = default;
    explicit WideString(std::wstring_view text);
    // Takes ownership of a BSTR handed out by an API.
    static WideString Attach(BSTR value) noexcept
    {
        WideString s;
        s.FValue = value;
        return s;
    }
    WideString(WideString&& other) noexcept : FValue(std::exchange(other.FValue, nullptr)) {}
    WideString& operator=(WideString&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.FValue, nullptr));
        return *this;
    }
    WideString(const WideString& other);
    WideString& operator=(const WideString& other);
    ~WideString() { reset(); }

    BSTR get() const noexcept { return FValue; }
    BSTR release() noexcept { return std::exchange(FValue, nullptr); }
    void reset(BSTR value = nullptr) noexcept
    {
        BSTR old = std::exchange(FValue, value);
        if (old != nullptr)
            ::SysFreeString(old);
    }
    BSTR* put() noexcept
    {
        reset();
        return &FValue;
    }
    // A null BSTR is the empty string.
    UINT length() const noexcept { return ::SysStringLen(FValue); }
    std::wstring_view view() const noexcept { return {FValue ? FValue : L"", length()}; }
    std::wstring str() const { return std::wstring(view()); }

private:
    BSTR FValue = nullptr;
};

// Replaces the BSTR in *slot by a copy of text (a "var WideString" argument).
void AssignBStr(BSTR* slot, std::wstring_view text);
