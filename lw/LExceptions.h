// Exceptions of the program and the unit-naming assertion.
#pragma once

// Toolkit
#include "lw/LExceptionBase.h"

// Platform
#include <windows.h>

// Standard library
#include <exception>
#include <string>
#include <string_view>
#include <vector>

// The silent abort: ends long-running work without any message.
class EAbort : public Exception {
public:
    EAbort() : Exception(L"Operation aborted") {}
};

// A container asked for an element it does not hold (an action by a name no
// manager knows, say).
class EInvalidContainer : public Exception {
public:
    using Exception::Exception;
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

// Reports a failed assertion where nothing may be thrown (destructors,
// clean-up paths): shown like any exception, and the caller carries on.
void ReportAssertion(std::wstring_view unit, std::wstring_view message) noexcept;

// Where the exception display goes: the message box by default. Tests
// install their own to read what would have been shown. Returns the
// previous display; null restores the message box.
using TExceptionDisplay = void (*)(const std::wstring& message, HWND owner);
TExceptionDisplay SetExceptionDisplay(TExceptionDisplay display) noexcept;

// Holds back what the calling thread would show while it lives, and shows it
// at its end: for code that must not open a message box while it holds a
// lock other threads wait for.
class TDeferReports {
public:
    TDeferReports() noexcept;
    ~TDeferReports();
    TDeferReports(const TDeferReports&) = delete;
    TDeferReports& operator=(const TDeferReports&) = delete;

private:
    TDeferReports* FOuter;
    std::vector<std::wstring> FMessages;
    friend void ShowException(std::exception_ptr e, HWND owner) noexcept;
};
void SetApplicationTitle(std::wstring_view title);
const std::wstring& ApplicationTitle();
