// The base of every exception the program raises. It uses nothing but the
// standard library, so units that only parse text (settings, filters,
// hand-off commands) can raise it without the platform headers.
#pragma once

// Standard library
#include <exception>
#include <string>
#include <string_view>

// Carries the wide message text that is shown to the user.
class Exception : public std::exception {
public:
    explicit Exception(std::wstring message);
    const std::wstring& Message() const noexcept { return FMessage; }
    // Narrow (UTF-8) form of the message, for diagnostics only.
    const char* what() const noexcept override { return FNarrow.c_str(); }

private:
    std::wstring FMessage;
    std::string FNarrow;
};

// UTF-8 of a wide text (UTF-16 where wchar_t has 16 bits, UTF-32 where it
// has 32). What is no character (a lone surrogate, a value above U+10FFFF)
// becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);
