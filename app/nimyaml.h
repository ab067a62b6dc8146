// The settings-reader interface through which the section readers and the
// extension modules walk setting.yaml, on top of the YAML cursor.
#pragma once

// Own
#include "app/YamlCursor.h"

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LExceptions.h"

// Platform
#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

// Standard library
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// ---------------------------------------------------------------------------
// The settings-reader interface
// ---------------------------------------------------------------------------

// How ReadArray resizes the caller's array: the reader only knows it as an
// opaque pointer.
struct TArrayType {
    void(STDMETHODCALLTYPE* SetLength)(void* array, int32_t length);
};

// Reads the current item of a sequence (index from 0) through the same reader.
typedef HRESULT(STDMETHODCALLTYPE* TReadArrayItem)(int32_t index, void* context);
// Reads the current entry of a mapping through the same reader.
typedef HRESULT(STDMETHODCALLTYPE* TReadMappingEntry)(void* context);

// Handed to the section readers and to the extension modules. Every Read...
// with a name takes effect only when the current key equals the name exactly;
// otherwise it does nothing and succeeds. No exception crosses a method: a
// failure comes back as an HRESULT with its message published by SetErrorInfo.
struct ISettingsReader : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ReadWideString(const char* name, BSTR* s) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadWideChar(const char* name, wchar_t* ch) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadInteger(const char* name, int32_t* i) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadCardinal(const char* name, uint32_t* u) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadBoolean(const char* name, bool* b) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadByte(const char* name, uint8_t* b) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadArray(const char* name, void* array, const TArrayType* elementType,
                                                TReadArrayItem callback, void* context) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadValue(BSTR* s) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadMapping(TReadMappingEntry callback, void* context) = 0;
};
__CRT_UUID_DECL(ISettingsReader, 0x7E5A26DA, 0xF2FF, 0x4DFB, 0xB5, 0x6E, 0x6D, 0x5C, 0x7C, 0x7C, 0x02, 0x00)

// ---------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------

// The cursor behind the settings-reader interface. See TYamlCursor for the
// errors the constructor raises.
class TYamlReader : public TInterfaced<TInterfacedObject, ISettingsReader>, public TYamlCursor {
public:
    TYamlReader(std::string_view expectedType, std::string text);

    // Value unquoted, unescaped and decoded from UTF-8.
    std::wstring GetValue() const;

    // ISettingsReader
    HRESULT STDMETHODCALLTYPE ReadWideString(const char* name, BSTR* s) override;
    HRESULT STDMETHODCALLTYPE ReadWideChar(const char* name, wchar_t* ch) override;
    HRESULT STDMETHODCALLTYPE ReadInteger(const char* name, int32_t* i) override;
    HRESULT STDMETHODCALLTYPE ReadCardinal(const char* name, uint32_t* u) override;
    HRESULT STDMETHODCALLTYPE ReadBoolean(const char* name, bool* b) override;
    HRESULT STDMETHODCALLTYPE ReadByte(const char* name, uint8_t* b) override;
    HRESULT STDMETHODCALLTYPE ReadArray(const char* name, void* array, const TArrayType* elementType,
                                        TReadArrayItem callback, void* context) override;
    HRESULT STDMETHODCALLTYPE ReadValue(BSTR* s) override;
    HRESULT STDMETHODCALLTYPE ReadMapping(TReadMappingEntry callback, void* context) override;

};

// Creates a reader over text; see the constructor for the errors it raises.
inline ComPtr<TYamlReader> NewYamlReader(std::string_view expectedType, std::string text)
{
    return ComPtr<TYamlReader>(new TYamlReader(expectedType, std::move(text)));
}

// ---------------------------------------------------------------------------
// Lambda helpers for C++ callers
// ---------------------------------------------------------------------------
// On i686 a lambda does not convert to a stdcall function pointer, so the
// interface's callbacks are named static functions that forward to it.

template <class T, class F>
struct TVectorArrayReader {
    std::vector<T>* Items;
    F* ReadItem;
    // SetLength has no way to report a failed growth; the item callback that
    // follows every growth reports it instead.
    std::exception_ptr GrowthError;

    static void STDMETHODCALLTYPE SetLength(void* array, int32_t length) noexcept
    {
        auto& self = *static_cast<TVectorArrayReader*>(array);
        try {
            self.Items->resize(length > 0 ? static_cast<size_t>(length) : 0);
        } catch (...) {
            self.GrowthError = std::current_exception();
        }
    }

    static HRESULT STDMETHODCALLTYPE ReadItemAt(int32_t index, void* context) noexcept
    {
        return GuardedCall([&] {
            auto& self = *static_cast<TVectorArrayReader*>(context);
            if (self.GrowthError)
                std::rethrow_exception(self.GrowthError);
            (*self.ReadItem)(index);
        });
    }
};

// When the current key is name and a sequence starts there, replaces items by
// one element per sequence item and calls readItem(index) on each item, with
// the reader standing on it. The sequence's BlockEnd is left current.
template <class T, class F>
void ReadArray(ISettingsReader* reader, const char* name, std::vector<T>& items, F&& readItem)
{
    using Reader = TVectorArrayReader<T, std::remove_reference_t<F>>;
    static const TArrayType elementType{&Reader::SetLength};
    Reader forwarder{&items, &readItem, nullptr};
    CheckHResult(reader->ReadArray(name, &forwarder, &elementType, &Reader::ReadItemAt, &forwarder));
}

template <class F>
struct TMappingEntryReader {
    static HRESULT STDMETHODCALLTYPE ReadEntry(void* context) noexcept
    {
        return GuardedCall([&] { (*static_cast<F*>(context))(); });
    }
};

// When a mapping starts at the current event, calls readEntry() on each of
// its entries with the key lower-cased. The mapping's BlockEnd is left current.
template <class F>
void ReadMapping(ISettingsReader* reader, F&& readEntry)
{
    using Reader = TMappingEntryReader<std::remove_reference_t<F>>;
    CheckHResult(reader->ReadMapping(&Reader::ReadEntry, const_cast<void*>(static_cast<const void*>(&readEntry))));
}
