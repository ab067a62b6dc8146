// The regular expressions the program uses: the portable engine with the
// system's locale comparisons, behind the counted interface IRegExp.

// Own
#include "search/RegExp.h"

// Search
#include "search/NimRegExp.h"

// Standard library
#include <memory>

namespace {

const wchar_t kCompileFailed[] = L"Failed to Compile Regular Expression.";

DWORD NormFlags(uint8_t ignoreFlags)
{
    DWORD flags = 0;
    if (ignoreFlags & kRegExpIgnoreCase)
        flags |= NORM_IGNORECASE;
    if (ignoreFlags & kRegExpIgnoreKana)
        flags |= NORM_IGNOREKANATYPE;
    if (ignoreFlags & kRegExpIgnoreWidth)
        flags |= NORM_IGNOREWIDTH;
    return flags;
}

// The ANSI code page and the locales of the system. CompareString answers 1,
// 2 or 3 for less, equal and greater (0 only on bad arguments, taken as less).
class TSystemLocale : public nimregexp::TLocale {
public:
    int CompareAnsi(bool userDefault, std::string_view a, std::string_view b, uint8_t ignoreFlags) const override
    {
        LCID locale = userDefault ? LOCALE_USER_DEFAULT : 1033;
        return CompareStringA(locale, NormFlags(ignoreFlags), a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size())) - CSTR_EQUAL;
    }
    int CompareWide(char16_t a, char16_t b, uint8_t ignoreFlags) const override
    {
        wchar_t x = static_cast<wchar_t>(a), y = static_cast<wchar_t>(b);
        return CompareStringW(LOCALE_USER_DEFAULT, NormFlags(ignoreFlags), &x, 1, &y, 1) - CSTR_EQUAL;
    }
    bool IsLeadByte(uint8_t byte) const override { return IsDBCSLeadByte(byte) != FALSE; }
    bool AnsiToUtf16(std::string_view character, char16_t& unit) const override
    {
        wchar_t units[4];
        int count = MultiByteToWideChar(CP_ACP, 0, character.data(), static_cast<int>(character.size()), units, 4);
        if (count != 1)
            return false;
        unit = static_cast<char16_t>(units[0]);
        return true;
    }
};

const TSystemLocale& SystemLocale()
{
    static const TSystemLocale locale;
    return locale;
}

struct TCaptureForward {
    TRegExpCapture Capture;
    void* Data;
};

void ForwardCapture(int32_t number, const char* start, const char* end, void* data)
{
    auto* forward = static_cast<TCaptureForward*>(data);
    forward->Capture(number, start, end, forward->Data);
}

// One compiled program. Matching uses the program's own working stacks, so
// one thread at a time may match with an object; the count itself is atomic.
class TRegExp : public TInterfaced<TInterfacedObject, IRegExp> {
public:
    TRegExp(std::unique_ptr<nimregexp::TProgram> program, TRegExpMode mode, uint8_t flags)
        : FProgram(std::move(program)), FMode(mode), FFlags(flags)
    {
    }

    const void* STDMETHODCALLTYPE GetProgram() override { return FProgram.get(); }
    bool STDMETHODCALLTYPE MatchAt(const TRegExpContext* context, const char** position) override
    {
        if (!context->Capture)
            return FProgram->MatchAt(context->TextStart, context->TextEnd, *position);
        TCaptureForward forward{context->Capture, context->CaptureData};
        return FProgram->MatchAt(context->TextStart, context->TextEnd, *position, ForwardCapture, &forward);
    }
    TRegExpMode STDMETHODCALLTYPE GetMode() override { return FMode; }
    uint8_t STDMETHODCALLTYPE GetFlags() override { return FFlags; }

private:
    std::unique_ptr<nimregexp::TProgram> FProgram;
    TRegExpMode FMode;
    uint8_t FFlags;
};

}  // namespace

ComPtr<IRegExp> CreateRegExp(std::string_view pattern, uint8_t flags, TRegExpMode mode)
{
    std::unique_ptr<nimregexp::TProgram> program;
    try {
        program = nimregexp::TProgram::Compile(pattern, flags, static_cast<uint8_t>(mode), &SystemLocale());
    } catch (const nimregexp::ECompileError&) {
        throw ERegExpError(kCompileFailed);
    }
    return ComPtr<IRegExp>(new TRegExp(std::move(program), mode, flags));
}

bool SearchRegExp(IRegExp* regExp, const char* text, size_t length)
{
    return static_cast<const nimregexp::TProgram*>(regExp->GetProgram())->Search(text, length);
}
