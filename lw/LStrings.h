// Conversions between UTF-8, UTF-16 and the system code pages.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <string_view>

// Bytes in the given code page to UTF-16; invalid sequences become U+FFFD.
std::wstring CodePageToUnicode(std::string_view text, UINT codePage);
// UTF-16 to bytes in the given code page; unmappable characters become the
// code page's default character.
std::string UnicodeToCodePage(std::wstring_view text, UINT codePage);

inline std::wstring Utf8ToUnicode(std::string_view text) { return CodePageToUnicode(text, CP_UTF8); }
inline std::string UnicodeToUtf8(std::wstring_view text) { return UnicodeToCodePage(text, CP_UTF8); }
// The system (ANSI) code page: 932 on Japanese Windows.
inline std::wstring AnsiToUnicode(std::string_view text) { return CodePageToUnicode(text, CP_ACP); }
inline std::string UnicodeToAnsi(std::wstring_view text) { return UnicodeToCodePage(text, CP_ACP); }

// The full path of the program file (GetModuleFileNameW, without a length
// limit); raises EOSError when the system refuses it.
std::wstring ProgramFileName();
