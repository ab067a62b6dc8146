// The YAML reader: a pull parser over the block-indented subset of YAML that
// setting.yaml is written in, and the settings-reader interface through which
// the section readers and the extension modules walk it.
#pragma once

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
// Value parsing shared by the reader's typed reads
// ---------------------------------------------------------------------------

// Integer syntax of the settings file: an optional sign, then decimal digits,
// or hexadecimal digits after "$", "x" or "0x" (either letter case). No blanks
// and nothing trailing. A decimal number must lie in the range of the target
// type; a hexadecimal one may use all its bits (so "$FFFFFFFF" is -1 as a
// 32-bit integer, as a colour value written in hex expects).
bool YamlParseInteger32(std::string_view text, int32_t& value) noexcept;
bool YamlParseInteger64(std::string_view text, int64_t& value) noexcept;
// "true"/"false" in any letter case, or an integer (0 is false, any other true).
bool YamlParseBoolean(std::string_view text, bool& value) noexcept;
// Applies the quoting and escapes of a raw value and returns its bytes (UTF-8).
std::string YamlUnescape(std::string_view raw);

// ---------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------

enum class TYamlEvent : uint8_t {
    None = 0,          // the cursor has failed or was never started
    DocumentEnd = 1,   // all blocks are closed; repeated for every further Next
    MappingStart = 2,  // a block of "key: value" entries begins; Key is its owner's key
    SequenceStart = 3, // a block of "- item" entries begins; Key is its owner's key
    BlockEnd = 4,      // the innermost open block ends
    Scalar = 5,        // one entry with a text value; Key empty for a sequence item
};

// A forward-only cursor over the events of one document. It holds the text
// for its whole life and never rewinds; create a fresh reader to read again.
class TYamlReader : public TInterfaced<TInterfacedObject, ISettingsReader> {
public:
    // Starts the scanner and produces the first event. Raises
    // "YAML Initialization Error" when the scanner cannot start and
    // "YAML Type Error" when the header's type tag does not fit expectedType
    // (an empty expectedType skips the test).
    TYamlReader(std::string_view expectedType, std::string text);

    TYamlEvent EventKind() const noexcept { return FEvent; }
    const std::string& Key() const noexcept { return FKey; }
    // The raw value: quotes and escapes still in it.
    const std::string& Value() const noexcept { return FValue; }

    // Advances by one event. Raises "YAML Error" when the text cannot be scanned.
    void Next();
    // Consumes the current node with everything nested in it: a block start
    // up to and including its BlockEnd, any other event by itself. Raises
    // "YAML Structure Error" when scanning fails on the way.
    void Skip();
    // Lower-cases the ASCII letters of Key.
    void LowerCaseKey() noexcept;
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

private:
    // Scanner state numbers; InBlock + N means N BlockEnd events are pending.
    static constexpr uint32_t StateFailed = 0;
    static constexpr uint32_t StateEnd = 1;
    static constexpr uint32_t StateDocumentStart = 2;
    static constexpr uint32_t StateInBlock = 3;

    bool Start();
    bool TypeFits(std::string_view expectedType) const noexcept;
    // One step of the cursor; false (and the failed state) when scanning fails.
    bool Step() noexcept;
    bool Scan();
    bool ScanDocumentStart();
    bool ScanEntry();
    bool ScanLiteralBlock(size_t keyStart, size_t keyLength);
    bool CloseBlocks(int32_t width);
    bool PushIndentation(int32_t width);
    int32_t TopIndentation() const noexcept { return FIndents.empty() ? -1 : FIndents.back(); }

    bool AtEnd() const noexcept { return FPos >= FText.size(); }
    char Peek() const noexcept { return FText[FPos]; }
    void SkipBlanks() noexcept;
    bool SkipLineBreak() noexcept;
    void SkipBlankLines() noexcept;
    int32_t ConsumeIndentation() noexcept;
    size_t KeyLengthAt(size_t pos) const noexcept;
    void SetEvent(TYamlEvent event, size_t keyStart, size_t keyLength, size_t valueStart, size_t valueLength);
    bool IsKey(const char* name) const noexcept;

    std::string FText;
    size_t FPos = 0;
    uint32_t FState = StateFailed;
    TYamlEvent FEvent = TYamlEvent::None;
    std::string FTypeTag;
    std::vector<int32_t> FIndents;
    std::string FKey;
    std::string FValue;
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
