// The program's regular expressions as the rest of the program sees them: a
// compiled pattern behind the counted interface IRegExp, matched against
// byte strings in one of seven character encodings.
//
// The engine itself (search/NimRegExp.*) is portable C++ without the
// platform; this interface and the comparisons that need the system's
// locale live beside it.
#pragma once

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LExceptions.h"

// Platform
#include <windows.h>
#include <unknwn.h>

// Standard library
#include <cstdint>
#include <string_view>

// The encodings a pattern and its texts are in.
enum class TRegExpMode : uint8_t {
    Bytes = 0,     // N: single bytes, never folded
    Ansi = 1,      // A: single bytes
    DoubleByte = 2, // L: the ANSI double-byte code page
    Utf8 = 3,      // U
    Utf16LE = 4,   // W
    Utf16BE = 5,   // S
    EucJp = 6,     // E
};

// Option flags.
enum : uint8_t {
    kRegExpX = 0x01,
    kRegExpIgnoreCase = 0x02,  // I
    kRegExpIgnoreKana = 0x04,  // K
    kRegExpIgnoreWidth = 0x08, // B
    kRegExpMultiLine = 0x10,   // M
};

// Called when capture group number matched [start, end) and the whole rest
// of the pattern matched after it.
typedef void(STDMETHODCALLTYPE* TRegExpCapture)(int32_t number, const char* start, const char* end, void* data);

// What one match works on: the whole text (positions are pointers into it)
// and the capture callback (may be null).
struct TRegExpContext {
    const char* TextStart;
    const char* TextEnd; // one past the last byte
    TRegExpCapture Capture;
    void* CaptureData;
};

// A compiled pattern. One thread at a time may match with it.
struct IRegExp : IUnknown {
    // The engine's compiled program (opaque to callers).
    virtual const void* STDMETHODCALLTYPE GetProgram() = 0;
    // Whether the pattern matches starting exactly at *position; on success
    // *position is moved to the end of the match.
    virtual bool STDMETHODCALLTYPE MatchAt(const TRegExpContext* context, const char** position) = 0;
    virtual TRegExpMode STDMETHODCALLTYPE GetMode() = 0;
    virtual uint8_t STDMETHODCALLTYPE GetFlags() = 0;
};
__CRT_UUID_DECL(IRegExp, 0x5B0C1E0A, 0x7F3D, 0x4E61, 0x9A, 0x4B, 0x2C, 0x8E, 0x51, 0x70, 0xD3, 0x9F)

// A pattern that does not compile; the message is always
// "Failed to Compile Regular Expression.".
class ERegExpError : public Exception {
public:
    using Exception::Exception;
};

// Compiles a pattern (in the ANSI code page). Raises ERegExpError.
ComPtr<IRegExp> CreateRegExp(std::string_view pattern, uint8_t flags, TRegExpMode mode);

// Whether the pattern matches anywhere in the text: tried at every character
// start (by the pattern's mode) from the first byte on; an empty text is
// tried once.
bool SearchRegExp(IRegExp* regExp, const char* text, size_t length);
