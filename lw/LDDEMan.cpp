#include "lw/LDDEMan.h"

// Shared interfaces
#include "ext/NimbraIntf.h"

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <ddeml.h>

// Standard library
#include <algorithm>
#include <atomic>
#include <cwchar>
#include <deque>
#include <mutex>
#include <vector>

namespace {

constexpr std::wstring_view kUnit = L"LDDEMan";
constexpr std::wstring_view kSystemTopic = L"SYSTEM";
// Starts an execute text that carries UTF-8 bytes; see EncodeDdeCommand.
constexpr wchar_t kUtf8Mark = L'\x0001';
constexpr const wchar_t* kCommandWindowClass = L"LDDEManCommands";
// Posted to the command window for each accepted command.
constexpr UINT kRunCommands = WM_APP + 1;

using TWindowHandle = UniqueResource<NullIsInvalid<HWND, ::DestroyWindow>>;

// Indexed by the error code minus DMLERR_FIRST.
constexpr std::wstring_view kDdeErrorTexts[] = {
    L"同期アドバイズトランザクション要求がタイムアウトになりました",
    L"トランザクションに対する応答としてBUSYが返されました",
    L"同期データトランザクション要求がタイムアウトになりました",
    L"DDEMLが初期化されていません",
    L"アプリケーションのモードが異なります",
    L"同期実行トランザクション要求がタイムアウトになりました",
    L"パラメータが無効です",
    L"サーバーが速く稼働しすぎて対称のメモリーを消費しました",
    L"メモリーが足りません",
    L"トランザクションの実行に失敗しました",
    L"対話を確立できませんでした",
    L"同期ポークトランザクションの要求がタイムアウトになりました",
    L"DDEML内部でPostMessageに失敗しました",
    L"すでに他のトランザクション中です",
    L"トランザクション完了前にサーバーが終了してしまいました",
    L"DDEML内部でエラーが発生しました",
    L"アドバイズトランザクションの終了要求がタイムアウトになりました",
    L"無効なトランザクション識別子です",
};
static_assert(std::size(kDdeErrorTexts) == DMLERR_LAST - DMLERR_FIRST + 1);

// Process-wide DDE state. The counts change under FLock; the callback reads
// the handles without it, as it runs inside DDEML calls that Start/Stop make
// while holding the lock.
struct TDdeState {
    std::recursive_mutex FLock;
    std::atomic<DWORD> FInstance{0};
    int FDdeUsers = 0;
    std::atomic<HSZ> FServiceHandle{nullptr};
    int FServerUsers = 0;

    std::mutex FConversationsLock;
    std::vector<TDdeConversation*> FConversations;

    std::atomic<IUnknown*> FApplication{nullptr};

    // Commands accepted by the callback and not yet run (see AcceptCommand),
    // and the window of the DDE thread that runs them.
    std::mutex FCommandsLock;
    std::deque<std::wstring> FCommands;
    TWindowHandle FCommandWindow;
    bool FRunningCommands = false;
};

TDdeState& State()
{
    static TDdeState state;
    return state;
}

void RequireInstance()
{
    Assert(State().FInstance != 0, kUnit, L"DDE is not started");
}


bool SameTextIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool IsOwnService(HSZ service)
{
    HSZ own = State().FServiceHandle;
    return own != nullptr && service != nullptr && DdeCmpStringHandles(service, own) == 0;
}

bool IsSystemTopic(HSZ topic)
{
    return topic != nullptr && SameTextIgnoringCase(ReadDdeString(topic), kSystemTopic);
}

std::vector<TDdeConversation*> ConversationsSnapshot()
{
    TDdeState& state = State();
    std::lock_guard guard(state.FConversationsLock);
    return state.FConversations;
}

bool StillRegistered(TDdeConversation* conversation)
{
    TDdeState& state = State();
    std::lock_guard guard(state.FConversationsLock);
    return std::find(state.FConversations.begin(), state.FConversations.end(), conversation) !=
           state.FConversations.end();
}

// Walks a copy of the list: a conversation may be added or removed by the one
// it dispatches to, or by a transaction that arrives while it is busy.
// Stops at the first answer unless everyone is to be told.
enum class TAsk { All, UntilAnswered, ThisConversation };

HDDEDATA AskConversations(const TDdeTransaction& transaction, TAsk ask)
{
    for (TDdeConversation* conversation : ConversationsSnapshot()) {
        if (!StillRegistered(conversation))
            continue;
        if (ask == TAsk::ThisConversation && conversation->Conversation() != transaction.Conversation)
            continue;
        HDDEDATA answer = conversation->Dispatch(transaction);
        if (answer != nullptr && ask != TAsk::All)
            return answer;
    }
    return nullptr;
}

void ShowDdeError(UINT errorCode)
{
    std::wstring text(DdeErrorText(errorCode));
    std::wstring title = ProgramFileName();
    MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

std::atomic<TDdeCommandFilter> g_commandFilter{nullptr};

// A counted reference for the length of a call: a command may run a message
// loop in which the application goes away.
ComPtr<ICommandHost> CommandHost()
{
    ComPtr<IUnknown> application(State().FApplication.load());
    return application.as<ICommandHost>();
}

// Commands do not run inside the callback. A command may run a message loop
// (a message box, a wait for a window), and DDEML then lets the client's
// disconnect in while the transaction is still open; returning into DDEML
// after that writes through the freed transaction (measured under Wine: a
// hand-off client disconnects at once, so any slow command would do it). The
// callback therefore only accepts the command and returns; the command window
// runs it as soon as the thread's message loop gets to it. The acknowledgement
// says "accepted", not "served".
HDDEDATA AcceptCommand(const TDdeTransaction& transaction)
{
    TDdeState& state = State();
    HWND window = state.FCommandWindow.get();
    if (window == nullptr || !CommandHost())
        return nullptr;
    std::wstring command = ReadDdeCommand(transaction.Data);
    // Posted before the filter takes the command: a command taken is one
    // that will run (a stray message finds nothing to run).
    if (!PostMessageW(window, kRunCommands, 0, 0))
        return nullptr;
    if (TDdeCommandFilter filter = g_commandFilter.load(); filter != nullptr && !filter(command))
        return nullptr;
    std::lock_guard guard(state.FCommandsLock);
    state.FCommands.push_back(std::move(command));
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

void RunCommand(const std::wstring& command)
{
    ComPtr<ICommandHost> host = CommandHost();
    if (!host)
        return;
    WideString text(command);
    bool served = false;
    CheckHResult(host->ExecuteCommand(text.get(), &served));
}

// Runs the accepted commands in their order. Commands that arrive while one
// runs (it may show a message box) wait for it: the outermost call picks them
// up, so commands never nest.
void RunAcceptedCommands() noexcept
{
    TDdeState& state = State();
    if (state.FRunningCommands)
        return;
    state.FRunningCommands = true;
    for (;;) {
        std::wstring command;
        {
            std::lock_guard guard(state.FCommandsLock);
            if (state.FCommands.empty())
                break;
            command = std::move(state.FCommands.front());
            state.FCommands.pop_front();
        }
        try {
            RunCommand(command);
        } catch (...) {
            ShowException(std::current_exception());
        }
    }
    state.FRunningCommands = false;
}

LRESULT CALLBACK CommandWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kRunCommands) {
        RunAcceptedCommands();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateCommandWindow()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    if (!GetClassInfoExW(instance, kCommandWindowClass, &windowClass)) {
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = CommandWindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kCommandWindowClass;
        if (RegisterClassExW(&windowClass) == 0)
            RaiseLastOSError();
    }
    HWND window = CreateWindowExW(0, kCommandWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (window == nullptr)
        RaiseLastOSError();
    return window;
}

void StopRunningCommands(TDdeState& state)
{
    state.FCommandWindow.reset();
    std::lock_guard guard(state.FCommandsLock);
    state.FCommands.clear();
}

std::atomic<TDdeRequestHandler> g_requestHandler{nullptr};

HDDEDATA AnswerRequest(const TDdeTransaction& transaction)
{
    TDdeRequestHandler handler = g_requestHandler.load();
    if (handler == nullptr || transaction.Format != CF_UNICODETEXT)
        return nullptr;
    std::wstring answer;
    if (!handler(ReadDdeString(transaction.String2), answer))
        return nullptr;
    return DdeCreateDataHandle(State().FInstance, reinterpret_cast<BYTE*>(answer.data()),
                               static_cast<DWORD>((answer.size() + 1) * sizeof(wchar_t)), 0, transaction.String2,
                               CF_UNICODETEXT, 0);
}

HDDEDATA HandleTransaction(const TDdeTransaction& transaction)
{
    HDDEDATA result = nullptr;
    switch (transaction.Type) {
    case XTYP_CONNECT:
        if (!IsOwnService(transaction.String2))
            return nullptr;
        if (IsSystemTopic(transaction.String1))
            return reinterpret_cast<HDDEDATA>(TRUE);
        return AskConversations(transaction, TAsk::UntilAnswered);
    case XTYP_ERROR:
        ShowDdeError(LOWORD(transaction.Data1));
        return nullptr;
    case XTYP_CONNECT_CONFIRM:
        if (IsOwnService(transaction.String2))
            AskConversations(transaction, TAsk::All);
        return nullptr;
    default:
        result = AskConversations(transaction, TAsk::ThisConversation);
        break;
    }
    if (transaction.Type == XTYP_EXECUTE && result == nullptr && IsSystemTopic(transaction.String1))
        result = AcceptCommand(transaction);
    if (transaction.Type == XTYP_REQUEST && result == nullptr && IsSystemTopic(transaction.String1))
        result = AnswerRequest(transaction);
    return result;
}

// Runs on the thread that initialised DDEML, also from inside the message
// loops of running commands. Nothing may unwind into DDEML, so whatever goes
// wrong is shown here and the transaction is not processed.
HDDEDATA CALLBACK DdeCallback(UINT type, UINT format, HCONV conversation, HSZ string1, HSZ string2, HDDEDATA data,
                              ULONG_PTR data1, ULONG_PTR data2)
{
    try {
        return HandleTransaction({type, format, conversation, string1, string2, data, data1, data2});
    } catch (...) {
        ShowException(std::current_exception());
        return nullptr;
    }
}

using TDdeConnection = UniqueResource<NullIsInvalid<HCONV, ::DdeDisconnect>>;

void UninitializeIfUnused(TDdeState& state)
{
    if (state.FDdeUsers == 0 && state.FInstance != 0) {
        DdeUninitialize(state.FInstance);
        state.FInstance = 0;
    }
}

} // namespace

EDDEError::EDDEError() : EDDEError(DdeGetLastError(State().FInstance)) {}

EDDEError::EDDEError(UINT errorCode) : Exception(std::wstring(DdeErrorText(errorCode))), FErrorCode(errorCode) {}

std::wstring_view DdeErrorText(UINT errorCode)
{
    if (errorCode < DMLERR_FIRST || errorCode > DMLERR_LAST)
        return {};
    return kDdeErrorTexts[errorCode - DMLERR_FIRST];
}

void StartDde(bool asServer)
{
    TDdeState& state = State();
    std::lock_guard guard(state.FLock);
    if (state.FInstance == 0) {
        DWORD instance = 0;
        UINT error = DdeInitializeW(&instance, DdeCallback, 0, 0);
        if (error != DMLERR_NO_ERROR) {
            // DdeGetLastError needs an instance; the code came back directly.
            state.FInstance = 0;
            throw EDDEError(error);
        }
        state.FInstance = instance;
    }
    ++state.FDdeUsers;
    if (!asServer)
        return;
    if (state.FServerUsers == 0) {
        try {
            state.FCommandWindow.reset(CreateCommandWindow());
            TDdeString service(CreateDdeString(DdeServiceName()));
            // Published before registering: the registration already reaches
            // the callback.
            state.FServiceHandle = service.get();
            if (DdeNameService(state.FInstance, service.get(), nullptr, DNS_REGISTER) == nullptr) {
                EDDEError error;
                state.FServiceHandle = nullptr;
                throw error;
            }
            service.release();
        } catch (...) {
            StopRunningCommands(state);
            --state.FDdeUsers;
            UninitializeIfUnused(state);
            throw;
        }
    }
    ++state.FServerUsers;
}

void StopDde(bool asServer)
{
    TDdeState& state = State();
    std::lock_guard guard(state.FLock);
    if (asServer) {
        Assert(state.FServerUsers > 0, kUnit, L"DDE server stopped more often than started");
        if (--state.FServerUsers == 0) {
            HSZ service = state.FServiceHandle.exchange(nullptr);
            // Shut-down goes on whatever DDEML says; the instance goes soon.
            DdeNameService(state.FInstance, service, nullptr, DNS_UNREGISTER);
            DdeFreeStringHandle(state.FInstance, service);
            StopRunningCommands(state);
        }
    }
    Assert(state.FDdeUsers > 0, kUnit, L"DDE stopped more often than started");
    --state.FDdeUsers;
    UninitializeIfUnused(state);
}

DWORD DdeInstance() noexcept
{
    return State().FInstance;
}

bool DdeServiceRegistered() noexcept
{
    return State().FServiceHandle != nullptr;
}

std::wstring ServiceNameFromPath(std::wstring_view programPath)
{
    size_t slash = programPath.find_last_of(L"\\/:");
    std::wstring_view name = slash == std::wstring_view::npos ? programPath : programPath.substr(slash + 1);
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring_view::npos)
        name = name.substr(0, dot);
    return std::wstring(name);
}

std::wstring DdeServiceName()
{
    return ServiceNameFromPath(ProgramFileName());
}

bool DdeExecute(std::wstring_view service, std::wstring_view topic, std::wstring_view command, DWORD timeout)
{
    RequireInstance();
    // A null service or topic handle would connect to any server at all.
    if (service.empty() || topic.empty())
        return false;
    TDdeString serviceHandle(CreateDdeString(service));
    TDdeString topicHandle(CreateDdeString(topic));
    TDdeConnection connection(DdeConnect(State().FInstance, serviceHandle.get(), topicHandle.get(), nullptr));
    if (!connection)
        return false;
    std::wstring data = EncodeDdeCommand(command);
    DWORD transactionResult = 0;
    HDDEDATA accepted = DdeClientTransaction(reinterpret_cast<BYTE*>(data.data()),
                                             static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)),
                                             connection.get(), nullptr, 0, XTYP_EXECUTE, timeout, &transactionResult);
    return accepted != nullptr;
}

bool DdeRequest(std::wstring_view service, std::wstring_view topic, std::wstring_view item, std::wstring& answer,
                DWORD timeout)
{
    RequireInstance();
    if (service.empty() || topic.empty() || item.empty())
        return false;
    TDdeString serviceHandle(CreateDdeString(service));
    TDdeString topicHandle(CreateDdeString(topic));
    TDdeString itemHandle(CreateDdeString(item));
    TDdeConnection connection(DdeConnect(State().FInstance, serviceHandle.get(), topicHandle.get(), nullptr));
    if (!connection)
        return false;
    HDDEDATA data = DdeClientTransaction(nullptr, 0, connection.get(), itemHandle.get(), CF_UNICODETEXT, XTYP_REQUEST,
                                         timeout, nullptr);
    if (data == nullptr)
        return false;
    answer = ReadDdeData(data);
    DdeFreeDataHandle(data);
    return true;
}

void SetDdeRequestHandler(TDdeRequestHandler handler) noexcept
{
    g_requestHandler.store(handler);
}

HSZ CreateDdeString(std::wstring_view text)
{
    RequireInstance();
    if (text.empty())
        return nullptr;
    std::wstring zeroEnded(text);
    HSZ handle = DdeCreateStringHandleW(State().FInstance, zeroEnded.c_str(), CP_WINUNICODE);
    if (handle == nullptr)
        throw EDDEError();
    return handle;
}

std::wstring ReadDdeString(HSZ handle)
{
    RequireInstance();
    if (handle == nullptr)
        return {};
    DWORD length = DdeQueryStringW(State().FInstance, handle, nullptr, 0, CP_WINUNICODE);
    if (length == 0)
        return {};
    std::wstring text(length + 1, L'\0');
    length = DdeQueryStringW(State().FInstance, handle, text.data(), length + 1, CP_WINUNICODE);
    text.resize(std::min<size_t>(length, text.size()));
    return text;
}

void FreeDdeString(HSZ handle)
{
    RequireInstance();
    if (handle == nullptr)
        return;
    if (!DdeFreeStringHandle(State().FInstance, handle))
        throw EDDEError();
}

std::wstring ReadDdeData(HDDEDATA data)
{
    RequireInstance();
    if (data == nullptr)
        return {};
    DWORD size = DdeGetData(data, nullptr, 0, 0);
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        DWORD read = DdeGetData(data, reinterpret_cast<BYTE*>(text.data()),
                                static_cast<DWORD>(text.size() * sizeof(wchar_t)), 0);
        text.resize(read / sizeof(wchar_t));
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

void DdeStringTraits::Close(HSZ handle) noexcept
{
    DWORD instance = State().FInstance;
    if (instance != 0)
        DdeFreeStringHandle(instance, handle);
}

std::wstring EncodeDdeCommand(std::wstring_view command)
{
    bool beyondLatin1 = std::any_of(command.begin(), command.end(), [](wchar_t c) { return c > 0xFF; });
    // A leading mark of our own must not be read back as an encoding either.
    if (!beyondLatin1 && (command.empty() || command.front() != kUtf8Mark))
        return std::wstring(command);
    std::string bytes = UnicodeToUtf8(command);
    std::wstring data;
    data.reserve(bytes.size() + 1);
    data.push_back(kUtf8Mark);
    for (char byte : bytes)
        data.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
    return data;
}

std::wstring DecodeDdeCommand(std::wstring_view data)
{
    if (data.empty() || data.front() != kUtf8Mark)
        return std::wstring(data);
    std::string bytes;
    bytes.reserve(data.size() - 1);
    for (wchar_t unit : data.substr(1)) {
        // Not one of ours: a byte stream has no units above 0xFF.
        if (unit > 0xFF)
            return std::wstring(data);
        bytes.push_back(static_cast<char>(unit));
    }
    return Utf8ToUnicode(bytes);
}

std::wstring ReadDdeCommand(HDDEDATA data)
{
    return DecodeDdeCommand(ReadDdeData(data));
}

TDdeConversation::~TDdeConversation()
{
    RemoveDdeConversation(this);
}

void AddDdeConversation(TDdeConversation* conversation)
{
    Assert(conversation != nullptr, kUnit, L"no conversation object");
    TDdeState& state = State();
    std::lock_guard guard(state.FConversationsLock);
    if (std::find(state.FConversations.begin(), state.FConversations.end(), conversation) ==
        state.FConversations.end())
        state.FConversations.push_back(conversation);
}

void RemoveDdeConversation(TDdeConversation* conversation) noexcept
{
    TDdeState& state = State();
    std::lock_guard guard(state.FConversationsLock);
    std::erase(state.FConversations, conversation);
}

void SetDdeCommandFilter(TDdeCommandFilter filter) noexcept
{
    g_commandFilter.store(filter);
}

void SetDdeApplication(IUnknown* application) noexcept
{
    State().FApplication = application;
}
