#include "lw/LHandles.h"

// Standard library
#include <new>

namespace {

BSTR AllocBStr(std::wstring_view text)
{
    if (text.empty())
        return nullptr;
    BSTR value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (value == nullptr)
        throw std::bad_alloc();
    return value;
}

} // namespace

WideString::WideString(std::wstring_view text) : FValue(AllocBStr(text)) {}

WideString::WideString(const WideString& other) : FValue(AllocBStr(other.view())) {}

WideString& WideString::operator=(const WideString& other)
{
    if (this != &other)
        reset(AllocBStr(other.view()));
    return *this;
}

void AssignBStr(BSTR* slot, std::wstring_view text)
{
    BSTR value = AllocBStr(text);
    if (*slot != nullptr)
        ::SysFreeString(*slot);
    *slot = value;
}
