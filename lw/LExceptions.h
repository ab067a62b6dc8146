// Exceptions of the program and the unit-naming assertion.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <exception>
#include <string>
#include <string_view>

// Base of every exception the program raises: carries the wide message text
// that is shown to the user.
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

// The silent abort: ends long-running work without any message.
class EAbort : public Exception {
public:
    EAbort() : Exception(L"Operation aborted") {}
};

// A failed system call: the error code with the system's own message text.
class EOSError : public Exception {
public:
    explicit EOSError(DWORD errorCode);
    EOSError(DWORD errorCode, std::wstring_view context);
    DWORD ErrorCode() const noexcept { return FErrorCode; }

private:
    DWORD FErrorCode;
};

// A programming error found by an assertion; the message names the unit.
class EAssertionFailed : public Exception {
public:
    EAssertionFailed(std::wstring_view unit, std::wstring_view message);
    const std::wstring& Unit() const noexcept { return FUnit; }

private:
    std::wstring FUnit;
};

// The system's message text for an error code, without the trailing line break.
std::wstring SysErrorMessage(DWORD errorCode);

// Raises EOSError for GetLastError().
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(std::wstring_view context);

// Fails loudly in every build: raises EAssertionFailed naming the unit.
inline void Assert(bool condition, std::wstring_view unit, std::wstring_view message)
{
    if (!condition)
        throw EAssertionFailed(unit, message);
}

// COM boundary helpers: no C++ exception crosses a module boundary. The
// callee turns the exception into an HRESULT and publishes its message with
// SetErrorInfo; the caller turns it back into an exception.
HRESULT HResultFromException(std::exception_ptr e) noexcept;
inline HRESULT HResultFromCurrentException() noexcept
{
    return HResultFromException(std::current_exception());
}
void CheckHResult(HRESULT hr);

// Runs f and converts any exception into an HRESULT; for interface methods.
template <class F>
HRESULT GuardedCall(F&& f) noexcept
{
    try {
        f();
        return S_OK;
    } catch (...) {
        return HResultFromCurrentException();
    }
}

// The program's standard exception display: a message box with the message
// and the application title. EAbort shows nothing.
void ShowException(std::exception_ptr e, HWND owner = nullptr) noexcept;
void SetApplicationTitle(std::wstring_view title);
const std::wstring& ApplicationTitle();
