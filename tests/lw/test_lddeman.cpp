// DDE conversations against the real DDEML. The server side runs in the test
// process; the client side runs in a second process (this file built with
// LDDEMAN_CLIENT_HELPER), as in a real hand-off, because a DDEML instance
// belongs to one thread and a client waiting in the server's own thread
// would block the very message loop that has to serve it.

// Own
#include "lw/LDDEMan.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>
#include <ddeml.h>

// Standard library
#include <string>

#ifdef LDDEMAN_CLIENT_HELPER

namespace {

std::wstring Environment(const wchar_t* name)
{
    wchar_t buffer[4096];
    DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return length < 4096 ? std::wstring(buffer, length) : std::wstring();
}

} // namespace

// Exit code 1: executed, 0: not executed, 3: an exception.
int wmain()
{
    std::wstring timeout = Environment(L"LDDEMAN_TEST_TIMEOUT");
    try {
        StartDde(false);
        bool executed = DdeExecute(Environment(L"LDDEMAN_TEST_SERVICE"), Environment(L"LDDEMAN_TEST_TOPIC"),
                                   Environment(L"LDDEMAN_TEST_COMMAND"),
                                   timeout.empty() ? TIMEOUT_ASYNC : wcstoul(timeout.c_str(), nullptr, 10));
        StopDde(false);
        return executed ? 1 : 0;
    } catch (...) {
        return 3;
    }
}

#else

// Shared interfaces
#include "ext/NimbraIntf.h"

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LHandles.h"

// Standard library
#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/PumpUntil.h"

namespace {

constexpr DWORD kWaitForServer = 10000; // a synchronous client's timeout
constexpr int kClientFailed = -1;

std::wstring TestDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

// Runs DdeExecute in the helper process while this thread serves; the
// helper's exit code, or kClientFailed.
int RunClient(std::wstring_view service, std::wstring_view topic, std::wstring_view command,
              DWORD timeout = kWaitForServer)
{
    SetEnvironmentVariableW(L"LDDEMAN_TEST_SERVICE", std::wstring(service).c_str());
    SetEnvironmentVariableW(L"LDDEMAN_TEST_TOPIC", std::wstring(topic).c_str());
    SetEnvironmentVariableW(L"LDDEMAN_TEST_COMMAND", std::wstring(command).c_str());
    SetEnvironmentVariableW(L"LDDEMAN_TEST_TIMEOUT",
                            timeout == TIMEOUT_ASYNC ? nullptr : std::to_wstring(timeout).c_str());
    std::wstring commandLine = L"\"" + TestDirectory() + L"lddeman_client.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start the client: " << GetLastError();
        return kClientFailed;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    if (!PumpUntil([&] { return WaitForSingleObject(processHandle.get(), 0) == WAIT_OBJECT_0; }, 30000)) {
        TerminateProcess(processHandle.get(), 99);
        ADD_FAILURE() << "the client did not end";
        return kClientFailed;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(processHandle.get(), &exitCode);
    return static_cast<int>(exitCode);
}

// Watches for visible top-level windows of this process (message boxes),
// records their text and closes them, so that an unexpected box fails a test
// instead of hanging it.
class TWindowWatch {
public:
    TWindowWatch() : FThread([this] { Run(); }) {}
    ~TWindowWatch()
    {
        FStop = true;
        FThread.join();
    }
    std::vector<std::wstring> Texts()
    {
        std::lock_guard guard(FLock);
        return FTexts;
    }

private:
    static BOOL CALLBACK CollectText(HWND window, LPARAM text)
    {
        wchar_t buffer[512];
        int length = GetWindowTextW(window, buffer, 512);
        reinterpret_cast<std::wstring*>(text)->append(buffer, length).append(L"|");
        return TRUE;
    }
    static BOOL CALLBACK Inspect(HWND window, LPARAM self)
    {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId() && IsWindowVisible(window))
            reinterpret_cast<TWindowWatch*>(self)->Found(window);
        return TRUE;
    }
    void Found(HWND window)
    {
        if (!FSeen.insert(window).second)
            return;
        std::wstring text;
        CollectText(window, reinterpret_cast<LPARAM>(&text));
        EnumChildWindows(window, CollectText, reinterpret_cast<LPARAM>(&text));
        {
            std::lock_guard guard(FLock);
            FTexts.push_back(text);
        }
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    }
    void Run()
    {
        while (!FStop) {
            EnumWindows(Inspect, reinterpret_cast<LPARAM>(this));
            Sleep(20);
        }
    }

    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::vector<std::wstring> FTexts;
    std::set<HWND> FSeen;
    std::thread FThread;
};

// The application's command host as the callback sees it.
class TFakeCommandHost : public TInterfaced<TInterfacedObject, ICommandHost> {
public:
    HRESULT STDMETHODCALLTYPE ExecuteCommand(BSTR command, bool* served) override
    {
        return GuardedCall([&] {
            std::wstring text(command, SysStringLen(command));
            FCommands.push_back(text);
            ++FDepth;
            FDeepest = std::max(FDeepest, FDepth);
            if (FDuring)
                FDuring(text);
            --FDepth;
            if (!FFailure.empty())
                throw Exception(FFailure);
            *served = true;
        });
    }

    std::vector<std::wstring> FCommands;
    std::wstring FFailure;
    std::function<void(const std::wstring&)> FDuring;
    int FDepth = 0;
    int FDeepest = 0;
};

// Takes the conversations on one topic (other than "SYSTEM" unless asked):
// accepts their connects, learns their handles from the confirmations and
// records the executes it answers.
class TTopicConversation : public TDdeConversation {
public:
    explicit TTopicConversation(std::wstring topic) : FTopic(std::move(topic)) { AddDdeConversation(this); }
    HCONV Conversation() const noexcept override { return FConversation; }
    HDDEDATA Dispatch(const TDdeTransaction& transaction) override
    {
        bool ours = ReadDdeString(transaction.String1) == FTopic;
        switch (transaction.Type) {
        case XTYP_CONNECT:
            return reinterpret_cast<HDDEDATA>(ours ? TRUE : FALSE);
        case XTYP_CONNECT_CONFIRM:
            if (ours)
                FConversation = transaction.Conversation;
            return nullptr;
        case XTYP_EXECUTE:
            FExecuted.push_back(ReadDdeCommand(transaction.Data));
            return reinterpret_cast<HDDEDATA>(DDE_FACK);
        case XTYP_DISCONNECT:
            // DDEML hands the same handle to a later conversation.
            FConversation = nullptr;
            return nullptr;
        default:
            return nullptr;
        }
    }

    std::wstring FTopic;
    HCONV FConversation = nullptr;
    std::vector<std::wstring> FExecuted;
};

TEST(DdeErrors, TextsFollowTheErrorCodes)
{
    const struct {
        UINT Code;
        std::wstring_view Text;
    } rows[] = {
        {DMLERR_ADVACKTIMEOUT, L"同期アドバイズトランザクション要求がタイムアウトになりました"},
        {DMLERR_BUSY, L"トランザクションに対する応答としてBUSYが返されました"},
        {DMLERR_DATAACKTIMEOUT, L"同期データトランザクション要求がタイムアウトになりました"},
        {DMLERR_DLL_NOT_INITIALIZED, L"DDEMLが初期化されていません"},
        {DMLERR_DLL_USAGE, L"アプリケーションのモードが異なります"},
        {DMLERR_EXECACKTIMEOUT, L"同期実行トランザクション要求がタイムアウトになりました"},
        {DMLERR_INVALIDPARAMETER, L"パラメータが無効です"},
        {DMLERR_LOW_MEMORY, L"サーバーが速く稼働しすぎて対称のメモリーを消費しました"},
        {DMLERR_MEMORY_ERROR, L"メモリーが足りません"},
        {DMLERR_NOTPROCESSED, L"トランザクションの実行に失敗しました"},
        {DMLERR_NO_CONV_ESTABLISHED, L"対話を確立できませんでした"},
        {DMLERR_POKEACKTIMEOUT, L"同期ポークトランザクションの要求がタイムアウトになりました"},
        {DMLERR_POSTMSG_FAILED, L"DDEML内部でPostMessageに失敗しました"},
        {DMLERR_REENTRANCY, L"すでに他のトランザクション中です"},
        {DMLERR_SERVER_DIED, L"トランザクション完了前にサーバーが終了してしまいました"},
        {DMLERR_SYS_ERROR, L"DDEML内部でエラーが発生しました"},
        {DMLERR_UNADVACKTIMEOUT, L"アドバイズトランザクションの終了要求がタイムアウトになりました"},
        {DMLERR_UNFOUND_QUEUE_ID, L"無効なトランザクション識別子です"},
        // Outside the table: no text at all.
        {DMLERR_NO_ERROR, L""},
        {DMLERR_FIRST - 1, L""},
        {DMLERR_LAST + 1, L""},
        {0xFFFF, L""},
    };
    for (const auto& row : rows) {
        EDDEError error(row.Code);
        EXPECT_EQ(error.Message(), row.Text) << std::hex << row.Code;
        EXPECT_EQ(error.ErrorCode(), row.Code);
        EXPECT_EQ(DdeErrorText(row.Code), row.Text) << std::hex << row.Code;
    }
}

TEST(DdeService, NamedAfterTheProgramFile)
{
    const struct {
        std::wstring_view Path;
        std::wstring_view Name;
    } rows[] = {
        {L"C:\\Program Files\\Nimbra\\nimbra.exe", L"nimbra"},
        {L"C:\\Nimbra 2.48\\NIMBRA", L"NIMBRA"}, // a dot in the folder is no extension
        {L"D:\\tools\\nimbra.old.exe", L"nimbra.old"},
        {L"\\\\server\\共有\\ファイラ.exe", L"ファイラ"},
        {L"nimbra.exe", L"nimbra"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ServiceNameFromPath(row.Path), row.Name);
    EXPECT_EQ(DdeServiceName(), L"test_lddeman");
}

TEST(DdeStrings, UseBeforeStartIsAnAssertion)
{
    ASSERT_EQ(DdeInstance(), 0u);
    const std::function<void()> uses[] = {
        [] { CreateDdeString(L"SYSTEM"); },
        [] { ReadDdeString(nullptr); },
        [] { FreeDdeString(nullptr); },
        [] { ReadDdeData(nullptr); },
        [] { DdeExecute(L"nimbra", L"SYSTEM", L"[open(\"C:\\\")]"); },
        [] { StopDde(false); },
        [] { StopDde(true); },
    };
    for (size_t i = 0; i < std::size(uses); ++i) {
        try {
            uses[i]();
            ADD_FAILURE() << "use " << i << " did not assert";
        } catch (const EAssertionFailed& e) {
            EXPECT_EQ(e.Unit(), L"LDDEMan") << i;
        }
    }
}

TEST(DdeStrings, HandlesAndDataWithinAnInstance)
{
    StartDde(false);
    EXPECT_NE(DdeInstance(), 0u);
    EXPECT_FALSE(DdeServiceRegistered());

    HSZ handle = CreateDdeString(L"C:\\日本語\\フォルダ");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(ReadDdeString(handle), L"C:\\日本語\\フォルダ");
    EXPECT_EQ(CreateDdeString(L""), nullptr);
    EXPECT_EQ(ReadDdeString(nullptr), L"");
    EXPECT_NO_THROW(FreeDdeString(nullptr));
    EXPECT_NO_THROW(FreeDdeString(handle));
    // DDEML refuses to free a handle twice; that surfaces as EDDEError.
    EXPECT_THROW(FreeDdeString(handle), EDDEError);

    const struct {
        std::wstring_view Units; // the data, possibly with a zero inside
        DWORD Bytes;
        std::wstring_view Text;
    } rows[] = {
        {std::wstring_view(L"abc\0def", 7), 14, L"abc"},
        {L"ab", 4, L"ab"},                      // no terminating zero at all
        {L"abcd", 7, L"abc"},                   // an odd byte count loses the half character
        {std::wstring_view(L"日本語\0", 4), 8, L"日本語"},
        {L"", 0, L""},
    };
    for (const auto& row : rows) {
        HDDEDATA data = DdeCreateDataHandle(DdeInstance(), reinterpret_cast<BYTE*>(const_cast<wchar_t*>(row.Units.data())),
                                            row.Bytes, 0, nullptr, 0, 0);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(ReadDdeData(data), row.Text) << row.Bytes;
        DdeFreeDataHandle(data);
    }
    EXPECT_EQ(ReadDdeData(nullptr), L"");

    StopDde(false);
    EXPECT_EQ(DdeInstance(), 0u);
}

TEST(DdeCommandText, SurvivesTheTripAsExecuteData)
{
    const std::wstring_view plain[] = {
        L"[open(\"C:\\temp\")]",
        L"[open(\"C:\\café\\ü\")]", // Latin-1 stays as it is
        L"",
    };
    for (std::wstring_view command : plain) {
        EXPECT_EQ(EncodeDdeCommand(command), command);
        EXPECT_EQ(DecodeDdeCommand(command), command);
    }

    const std::wstring_view wide[] = {
        L"[open(\"C:\\日本語\\フォルダ\")]",
        L"[open(\"D:\\\xD83D\xDCC1 ü\")]", // a surrogate pair and Latin-1 together
        L"\x0001[open(x)]",                // our own mark must not be taken as an encoding
    };
    for (std::wstring_view command : wide) {
        std::wstring data = EncodeDdeCommand(command);
        EXPECT_EQ(data.front(), L'\x0001');
        for (wchar_t unit : data)
            EXPECT_LE(unit, 0xFF) << "would be read as ANSI";
        EXPECT_EQ(DecodeDdeCommand(data), command);
    }

    // Marked texts that are not ours stay untouched or decode safely.
    EXPECT_EQ(DecodeDdeCommand(L"\x0001日本"), L"\x0001日本");
    EXPECT_EQ(DecodeDdeCommand(L"\x0001\x00FF"), L"\xFFFD");
    EXPECT_EQ(DecodeDdeCommand(L"\x0001"), L"");
}

// The test process serves under its own name, "test_lddeman".
class DdeServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        FHost = ComPtr<TFakeCommandHost>(new TFakeCommandHost);
        SetDdeApplication(FHost.get());
        StartDde(true);
    }
    void TearDown() override
    {
        StopDde(true);
        SetDdeApplication(nullptr);
        EXPECT_EQ(DdeInstance(), 0u);
    }
    // Accepted commands run from this thread's message loop, after the
    // transaction: let it run until the host has seen count of them.
    bool HostReceives(size_t count, DWORD milliseconds = 5000)
    {
        return PumpUntil([&] { return FHost->FCommands.size() >= count; }, milliseconds);
    }

    ComPtr<TFakeCommandHost> FHost;
    TWindowWatch FWatch;
};

TEST_F(DdeServer, ExecuteOnSystemReachesTheCommandHost)
{
    const struct {
        std::wstring_view Service;
        std::wstring_view Topic;
        std::wstring_view Command;
        bool Reached;
    } rows[] = {
        {L"test_lddeman", L"SYSTEM", L"[open(\"C:\\日本語\\フォルダ\")]", true},
        {L"test_lddeman", L"system", L"[open(C:\\temp)]", true}, // topics compare without case
        {L"TEST_LDDEMAN", L"SYSTEM", L"[open(\"C:\\\")]", true}, // and so do services
        {L"test_lddeman", L"OTHER", L"[open(\"C:\\temp\")]", false}, // nobody takes this topic
    };
    for (const auto& row : rows) {
        FHost->FCommands.clear();
        EXPECT_EQ(RunClient(row.Service, row.Topic, row.Command), row.Reached ? 1 : 0) << std::wstring(row.Command);
        EXPECT_EQ(HostReceives(1, row.Reached ? 5000 : 200), row.Reached);
        if (row.Reached) {
            EXPECT_EQ(FHost->FCommands, std::vector<std::wstring>{std::wstring(row.Command)});
        }
    }
    EXPECT_TRUE(FWatch.Texts().empty());
}

TEST_F(DdeServer, AsynchronousHandOffArrives)
{
    // The hand-off does not wait for the answer: the client may be gone
    // before the server reads the command.
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(\"D:\\データ\\写真\")]", TIMEOUT_ASYNC), 1);
    EXPECT_TRUE(HostReceives(1));
    EXPECT_EQ(FHost->FCommands, std::vector<std::wstring>{L"[open(\"D:\\データ\\写真\")]"});
}

TEST_F(DdeServer, WithoutApplicationNothingIsExecuted)
{
    SetDdeApplication(nullptr);
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(x)]"), 0);
    SetDdeApplication(FHost.get());
    EXPECT_FALSE(HostReceives(1, 200));
    EXPECT_TRUE(FWatch.Texts().empty());
}

TEST_F(DdeServer, OnlyCommandsTheFilterTakesAreAcknowledgedAndRun)
{
    // The filter sees the command as its sender wrote it, wide characters
    // included.
    static std::vector<std::wstring> seen;
    seen.clear();
    SetDdeCommandFilter([](std::wstring_view command) {
        seen.emplace_back(command);
        return command.find(L"take") != std::wstring_view::npos;
    });
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(\"D:\\写真\",\"refuse\")]"), 0);
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(\"D:\\写真\",\"take\")]"), 1);
    SetDdeCommandFilter(nullptr);
    EXPECT_TRUE(HostReceives(1));
    EXPECT_FALSE(HostReceives(2, 300)) << "a refused command ran";
    EXPECT_EQ(FHost->FCommands, std::vector<std::wstring>{L"[open(\"D:\\写真\",\"take\")]"});
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"[open(\"D:\\写真\",\"refuse\")]", L"[open(\"D:\\写真\",\"take\")]"}));
    EXPECT_TRUE(FWatch.Texts().empty());
}

TEST_F(DdeServer, ConversationsTakeWhatTheCallbackLeaves)
{
    {
        TTopicConversation other(L"OTHER");
        EXPECT_EQ(RunClient(L"test_lddeman", L"OTHER", L"[print(\"ファイル\")]"), 1);
        EXPECT_EQ(other.FExecuted, std::vector<std::wstring>{L"[print(\"ファイル\")]"});

        // Executes on "SYSTEM" reach the command host only when no
        // conversation has answered them.
        TTopicConversation system(L"SYSTEM");
        EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(a)]"), 1);
        EXPECT_EQ(system.FExecuted, std::vector<std::wstring>{L"[open(a)]"});
        EXPECT_EQ(other.FExecuted.size(), 1u);
        EXPECT_FALSE(HostReceives(1, 200));
    }
    // Destroyed conversations have left the list.
    EXPECT_EQ(RunClient(L"test_lddeman", L"OTHER", L"[print(x)]"), 0);
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(b)]"), 1);
    EXPECT_TRUE(HostReceives(1));
    EXPECT_EQ(FHost->FCommands, std::vector<std::wstring>{L"[open(b)]"});
}

TEST_F(DdeServer, FailingCommandIsShownNotThrown)
{
    FHost->FFailure = L"フォルダが見つかりません";
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(\"Z:\\無い\")]"), 1);
    EXPECT_TRUE(PumpUntil([&] { return !FWatch.Texts().empty(); }, 5000));
    std::vector<std::wstring> texts = FWatch.Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find(L"フォルダが見つかりません"), std::wstring::npos);

    // The server goes on serving afterwards.
    FHost->FFailure.clear();
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(x)]"), 1);
    EXPECT_TRUE(HostReceives(2));
}

TEST_F(DdeServer, CommandsArrivingWhileOneRunsWaitForIt)
{
    // The first command runs a message loop, as a message box would, while
    // its client has long gone and a second instance hands over a command.
    // Under Wine this crashed the server while commands ran inside the DDEML
    // callback.
    int second = kClientFailed;
    FHost->FDuring = [&](const std::wstring& command) {
        if (command == L"[open(first)]") {
            second = RunClient(L"test_lddeman", L"SYSTEM", L"[open(second)]", TIMEOUT_ASYNC);
            PumpUntil([] { return false; }, 300);
        }
    };
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(first)]", TIMEOUT_ASYNC), 1);
    EXPECT_TRUE(HostReceives(2, 20000));
    EXPECT_EQ(second, 1);
    EXPECT_EQ(FHost->FCommands, (std::vector<std::wstring>{L"[open(first)]", L"[open(second)]"}));
    EXPECT_EQ(FHost->FDeepest, 1);

    FHost->FDuring = nullptr;
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(third)]"), 1);
    EXPECT_TRUE(HostReceives(3));
}

TEST(DdeLifetime, ServiceLastsUntilTheLastServerStops)
{
    ComPtr<TFakeCommandHost> host(new TFakeCommandHost);
    SetDdeApplication(host.get());
    StartDde(true);
    StartDde(true);
    StopDde(true);
    EXPECT_TRUE(DdeServiceRegistered());
    EXPECT_NE(DdeInstance(), 0u);
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(x)]"), 1);
    EXPECT_TRUE(PumpUntil([&] { return !host->FCommands.empty(); }, 5000));

    StopDde(true);
    EXPECT_FALSE(DdeServiceRegistered());
    EXPECT_EQ(DdeInstance(), 0u);
    EXPECT_EQ(RunClient(L"test_lddeman", L"SYSTEM", L"[open(y)]"), 0);
    EXPECT_EQ(host->FCommands, std::vector<std::wstring>{L"[open(x)]"});

    // A client user keeps the instance but not the service.
    StartDde(true);
    StartDde(false);
    StopDde(true);
    EXPECT_FALSE(DdeServiceRegistered());
    EXPECT_NE(DdeInstance(), 0u);
    StopDde(false);
    EXPECT_EQ(DdeInstance(), 0u);
    SetDdeApplication(nullptr);
}

TEST(DdeClient, AbsentServiceFailsWithoutAMessage)
{
    TWindowWatch watch;
    StartDde(false);
    EXPECT_FALSE(DdeExecute(L"NimbraNobodyServes", L"SYSTEM", L"[open(\"C:\\\")]"));
    EXPECT_FALSE(DdeExecute(L"NimbraNobodyServes", L"SYSTEM", L"[open(\"C:\\\")]", kWaitForServer));
    // An empty name would reach any server that offers the topic.
    EXPECT_FALSE(DdeExecute(L"", L"SYSTEM", L"[open(\"C:\\\")]"));
    EXPECT_FALSE(DdeExecute(L"NimbraNobodyServes", L"", L"[open(\"C:\\\")]"));
    StopDde(false);
    Sleep(200); // let the watch look once more
    EXPECT_TRUE(watch.Texts().empty());
}

} // namespace

#endif
