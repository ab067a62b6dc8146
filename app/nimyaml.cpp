#include "app/nimyaml.h"

// Toolkit
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// ---------------------------------------------------------------------------
// TYamlReader
// ---------------------------------------------------------------------------

TYamlReader::TYamlReader(std::string_view expectedType, std::string text)
    : TYamlCursor(expectedType, std::move(text))
{
}

std::wstring TYamlReader::GetValue() const
{
    return Utf8ToUnicode(YamlUnescape(Value()));
}

// ---------------------------------------------------------------------------
// ISettingsReader
// ---------------------------------------------------------------------------

namespace {

// A missing out argument: no message to publish, and none left over from an
// earlier failure for the caller's CheckHResult to pick up.
HRESULT PointerError() noexcept
{
    SetErrorInfo(0, nullptr);
    return E_POINTER;
}

} // namespace

HRESULT STDMETHODCALLTYPE TYamlReader::ReadWideString(const char* name, BSTR* s)
{
    if (s == nullptr)
        return PointerError();
    return GuardedCall([&] {
        if (IsKey(name))
            AssignBStr(s, GetValue());
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadWideChar(const char* name, wchar_t* ch)
{
    if (ch == nullptr)
        return PointerError();
    return GuardedCall([&] {
        if (!IsKey(name))
            return;
        std::wstring value = GetValue();
        *ch = value.empty() ? L'\0' : value[0];
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadInteger(const char* name, int32_t* i)
{
    if (i == nullptr)
        return PointerError();
    return GuardedCall([&] {
        int32_t value;
        if (IsKey(name) && YamlParseInteger32(Value(), value))
            *i = value;
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadCardinal(const char* name, uint32_t* u)
{
    if (u == nullptr)
        return PointerError();
    return GuardedCall([&] {
        int64_t value;
        if (IsKey(name) && YamlParseInteger64(Value(), value))
            *u = static_cast<uint32_t>(static_cast<uint64_t>(value));
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadBoolean(const char* name, bool* b)
{
    if (b == nullptr)
        return PointerError();
    return GuardedCall([&] {
        bool value;
        if (IsKey(name) && YamlParseBoolean(Value(), value))
            *b = value;
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadByte(const char* name, uint8_t* b)
{
    if (b == nullptr)
        return PointerError();
    return GuardedCall([&] {
        int32_t value;
        if (IsKey(name) && YamlParseInteger32(Value(), value))
            *b = static_cast<uint8_t>(static_cast<uint32_t>(value));
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadArray(const char* name, void* array, const TArrayType* elementType,
                                                 TReadArrayItem callback, void* context)
{
    if (elementType == nullptr || elementType->SetLength == nullptr || callback == nullptr)
        return PointerError();
    return GuardedCall([&] {
        if (!IsKey(name) || EventKind() != TYamlEvent::SequenceStart)
            return;
        Next();
        elementType->SetLength(array, 0);
        // A callback that wanders past the BlockEnd must not leave this loop
        // running on DocumentEnd for ever.
        for (int32_t index = 0; EventKind() != TYamlEvent::BlockEnd && EventKind() != TYamlEvent::DocumentEnd; ++index) {
            elementType->SetLength(array, index + 1);
            CheckHResult(callback(index, context));
            Skip();
        }
    });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadValue(BSTR* s)
{
    if (s == nullptr)
        return PointerError();
    return GuardedCall([&] { AssignBStr(s, GetValue()); });
}

HRESULT STDMETHODCALLTYPE TYamlReader::ReadMapping(TReadMappingEntry callback, void* context)
{
    if (callback == nullptr)
        return PointerError();
    return GuardedCall([&] {
        if (EventKind() != TYamlEvent::MappingStart)
            return;
        Next();
        while (EventKind() != TYamlEvent::BlockEnd && EventKind() != TYamlEvent::DocumentEnd) {
            LowerCaseKey();
            CheckHResult(callback(context));
            Skip();
        }
    });
}
