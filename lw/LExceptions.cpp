#include "lw/LExceptions.h"

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <oleauto.h>

// Standard library
#include <atomic>
#include <new>

namespace {

// Marks the exceptions that came back from another module as an HRESULT with
// an error description; E_ABORT stands for the silent abort.
constexpr HRESULT kExceptionResult = E_FAIL;

std::wstring& TitleStorage()
{
    static std::wstring title = L"Nimbra";
    return title;
}

std::atomic<TExceptionDisplay> g_exceptionDisplay{nullptr};
thread_local TDeferReports* t_deferReports = nullptr;

void Display(const std::wstring& message, HWND owner) noexcept
{
    if (TExceptionDisplay display = g_exceptionDisplay.load()) {
        try {
            display(message, owner);
        } catch (...) {
        }
        return;
    }
    MessageBoxW(owner, message.c_str(), TitleStorage().c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

} // namespace

EOSError::EOSError(DWORD errorCode) : Exception(SysErrorMessage(errorCode)), FErrorCode(errorCode) {}

EOSError::EOSError(DWORD errorCode, std::wstring_view context)
    : Exception(std::wstring(context) + L": " + SysErrorMessage(errorCode)), FErrorCode(errorCode)
{
}

EAssertionFailed::EAssertionFailed(std::wstring_view unit, std::wstring_view message)
    : Exception(std::wstring(message) + L" (" + std::wstring(unit) + L")"), FUnit(unit)
{
}

std::wstring SysErrorMessage(DWORD errorCode)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, errorCode, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) {
        text.assign(buffer, length);
        LocalFree(buffer);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
            text.pop_back();
    }
    if (text.empty()) {
        wchar_t fallback[64];
        swprintf(fallback, 64, L"System error %lu", static_cast<unsigned long>(errorCode));
        text = fallback;
    }
    return text;
}

void RaiseLastOSError()
{
    throw EOSError(GetLastError());
}

void RaiseLastOSError(std::wstring_view context)
{
    throw EOSError(GetLastError(), context);
}

HRESULT HResultFromException(std::exception_ptr e) noexcept
{
    std::wstring message;
    HRESULT result = kExceptionResult;
    try {
        std::rethrow_exception(e);
    } catch (const EAbort&) {
        return E_ABORT;
    } catch (const Exception& error) {
        message = error.Message();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception& error) {
        message = Utf8ToUnicode(error.what());
    } catch (...) {
        message = L"Unknown exception";
    }
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        WideString description(message);
        create->SetDescription(description.get());
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put()))))
            SetErrorInfo(0, info.get());
    }
    return result;
}

void CheckHResult(HRESULT hr)
{
    if (SUCCEEDED(hr))
        return;
    if (hr == E_ABORT)
        throw EAbort();
    if (hr == E_OUTOFMEMORY)
        throw std::bad_alloc();
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        WideString description;
        if (SUCCEEDED(info->GetDescription(description.put())) && description.length() != 0)
            throw Exception(std::wstring(description.view()));
    }
    throw EOSError(static_cast<DWORD>(hr));
}

void SetApplicationTitle(std::wstring_view title)
{
    TitleStorage() = title;
}

const std::wstring& ApplicationTitle()
{
    return TitleStorage();
}

void ShowException(std::exception_ptr e, HWND owner) noexcept
{
    std::wstring message;
    try {
        std::rethrow_exception(e);
    } catch (const EAbort&) {
        return;
    } catch (const Exception& error) {
        message = error.Message();
    } catch (const std::exception& error) {
        message = Utf8ToUnicode(error.what());
    } catch (...) {
        message = L"Unknown exception";
    }
    if (TDeferReports* deferred = t_deferReports) {
        try {
            deferred->FMessages.push_back(std::move(message));
            return;
        } catch (...) {
        }
    }
    Display(message, owner);
}

TDeferReports::TDeferReports() noexcept : FOuter(t_deferReports)
{
    t_deferReports = this;
}

TDeferReports::~TDeferReports()
{
    t_deferReports = FOuter;
    for (std::wstring& message : FMessages)
        ShowException(std::make_exception_ptr(Exception(std::move(message))));
}

void ReportAssertion(std::wstring_view unit, std::wstring_view message) noexcept
{
    try {
        ShowException(std::make_exception_ptr(EAssertionFailed(unit, message)));
    } catch (...) {
        // Not even the text could be made: say it the shortest way.
        OutputDebugStringW(L"Assertion failed");
    }
}

TExceptionDisplay SetExceptionDisplay(TExceptionDisplay display) noexcept
{
    return g_exceptionDisplay.exchange(display);
}
