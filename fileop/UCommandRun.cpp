#include "fileop/UCommandRun.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Standard library
#include <algorithm>
#include <mutex>

namespace {

// What the interpreter reads as its own or as the end of an argument; a
// name holding any of them is quoted.
constexpr std::wstring_view kNeedQuotes = L" \t&|^%!<>()[]{};,=+'`~";

constexpr const wchar_t* kExecutableExtensions[] = {L".exe", L".com", L".bat", L".cmd"};

// The interpreter's own words for a command it does not know, in the
// Japanese code page: Windows's (the whole tail of the message after the
// quoted name) and Wine's (after the bare name).
constexpr const wchar_t* kWindowsUnknownCommand =
    L"' は、内部コマンドまたは外部コマンド、\r\n操作可能なプログラムまたはバッチ ファイルとして認識されていません。\r\n";
constexpr const wchar_t* kWineUnknownCommand = L" を内部または外部コマンド、バッチ スクリプトとして認識できません。\r\n";
constexpr DWORD kWindowsUnknownCommandExit = 1;
constexpr DWORD kWineUnknownCommandExit = 9009;
constexpr UINT kJapaneseCodePage = 932;

constexpr const wchar_t* kErrorSeparator = L"\r\n<<<<<<<< ERROR OUTPUT >>>>>>>>\r\n";
constexpr const wchar_t* kDefaultEditor = L"notepad.exe";

// The pipes hold this much before a writer waits; reads take pieces of up
// to kReadPiece bytes.
constexpr DWORD kPipeBuffer = 65536;
constexpr DWORD kReadPiece = 2050;
// While both pipes stay empty the wait for the program grows to this many
// milliseconds; after data it starts again at one.
constexpr DWORD kLongestWait = 100;
constexpr DWORD kInputIdleWait = 1000;

std::string Encode(UINT codePage, std::wstring_view text)
{
    if (text.empty())
        return {};
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string bytes(static_cast<size_t>(std::max(length, 0)), '\0');
    if (length > 0)
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                            nullptr);
    return bytes;
}

bool EndsWith(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// One pipe with the child's end inheritable and ours not.
struct TPipe {
    UniqueHandle Read;
    UniqueHandle Write;
};

TPipe MakePipe(bool childReads)
{
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &security, kPipeBuffer))
        RaiseLastOSError(L"CreatePipe");
    TPipe pipe{UniqueHandle(read), UniqueHandle(write)};
    HANDLE ours = childReads ? write : read;
    if (!SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0))
        RaiseLastOSError(L"SetHandleInformation");
    return pipe;
}

// Reads what the pipe holds now without waiting; true when it got anything.
bool Drain(HANDLE pipe, std::string& into)
{
    bool got = false;
    for (;;) {
        DWORD available = 0;
        // Fails once every writer has gone and nothing is left.
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            return got;
        char piece[kReadPiece];
        DWORD read = 0;
        if (!ReadFile(pipe, piece, std::min<DWORD>(available, kReadPiece), &read, nullptr) || read == 0)
            return got;
        into.append(piece, read);
        got = true;
    }
}

// Inheritable handles are made and handed to a child under this lock: a
// child started meanwhile by another thread would otherwise inherit the
// other run's pipe ends.
std::mutex g_inheritLock;

} // namespace

std::wstring QuotedName(std::wstring_view name)
{
    if (name.find_first_of(kNeedQuotes) == std::wstring_view::npos)
        return std::wstring(name);
    return L"\"" + std::wstring(name) + L"\"";
}

std::wstring InterpreterCommandLine(std::wstring_view command)
{
    return L"cmd /s /c \"" + std::wstring(command) + L"\"";
}

bool HasExecutableExtension(std::wstring_view name)
{
    std::wstring extension = ExtractFileExt(name);
    return std::any_of(std::begin(kExecutableExtensions), std::end(kExecutableExtensions),
                       [&](const wchar_t* candidate) { return SameText(extension, candidate) == 0; });
}

TCommandPrefill InitialCommandLine(const std::vector<std::wstring>& markedNames,
                                   std::optional<std::wstring_view> caretName)
{
    TCommandPrefill prefill;
    if (!markedNames.empty()) {
        for (const std::wstring& name : markedNames)
            prefill.Text += L" " + QuotedName(name);
        return prefill;
    }
    if (!caretName)
        return prefill;
    std::wstring name = QuotedName(*caretName);
    if (HasExecutableExtension(*caretName)) {
        prefill.Text = name + L" ";
        prefill.Caret = static_cast<int32_t>(prefill.Text.size());
    } else {
        prefill.Text = L" " + name;
    }
    return prefill;
}

bool IsUnknownCommandError(DWORD exitCode, std::string_view errorBytes)
{
    static const std::string windowsText = Encode(kJapaneseCodePage, kWindowsUnknownCommand);
    static const std::string wineText = Encode(kJapaneseCodePage, kWineUnknownCommand);
    if (exitCode == kWindowsUnknownCommandExit)
        return EndsWith(errorBytes, windowsText);
    // Wine's message names the command without quotes: something must come
    // before the words.
    if (exitCode == kWineUnknownCommandExit)
        return errorBytes.size() > wineText.size() && EndsWith(errorBytes, wineText);
    return false;
}

std::wstring CommandResultText(std::wstring_view directory, std::wstring_view command, std::wstring_view output,
                               std::wstring_view error)
{
    std::wstring text;
    text.reserve(directory.size() + command.size() + output.size() + error.size() + 48);
    text.append(directory).append(L"> ").append(command).append(L"\r\n").append(output);
    if (!error.empty())
        text.append(kErrorSeparator).append(error);
    return text;
}

std::wstring AnsiToWide(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(std::max(length, 0)), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    return text;
}

std::string WideToAnsi(std::wstring_view text)
{
    return Encode(CP_ACP, text);
}

std::wstring EditorOrDefault(std::wstring_view configured)
{
    return configured.empty() ? std::wstring(kDefaultEditor) : std::wstring(configured);
}

std::wstring EditorCommandLine(std::wstring_view editor, std::wstring_view file)
{
    return L"\"" + std::wstring(editor) + L"\" \"" + std::wstring(file) + L"\"";
}

std::wstring TemporaryDirectory()
{
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, path);
    if (length == 0 || length > MAX_PATH)
        return {};
    return IncludeTrailingBackslash(std::wstring_view(path, length));
}

TCapturedRun RunCaptured(const std::wstring& commandLine, const std::wstring& directory)
{
    TCapturedRun run;
    UniqueHandle process;
    TPipe output, error;
    {
        std::lock_guard<std::mutex> inheriting(g_inheritLock);
        TPipe input = MakePipe(true);
        output = MakePipe(false);
        error = MakePipe(false);

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES | STARTF_FORCEOFFFEEDBACK;
        startup.wShowWindow = SW_MINIMIZE;
        startup.hStdInput = input.Read.get();
        startup.hStdOutput = output.Write.get();
        startup.hStdError = error.Write.get();
        PROCESS_INFORMATION info{};
        std::wstring command = commandLine;
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
            run.StartError = GetLastError();
            return run;
        }
        run.Started = true;
        process.reset(info.hProcess);
        CloseHandle(info.hThread);
        // The child has its ends now; with ours closed the pipes break when
        // it ends, and its input is empty: a program that reads it sees the
        // end at once instead of waiting for a typist that is not there.
        output.Write.reset();
        error.Write.reset();
    }
    WaitForInputIdle(process.get(), kInputIdleWait);

    DWORD wait = 1;
    for (;;) {
        bool ended = WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
        // Both streams every time: a program blocked on a full error pipe
        // never ends while only its output is read.
        bool got = Drain(output.Read.get(), run.Output);
        got = Drain(error.Read.get(), run.Error) || got;
        if (ended)
            break;
        if (got) {
            wait = 1;
            continue;
        }
        WaitForSingleObject(process.get(), wait);
        wait = std::min(wait * 2, kLongestWait);
    }
    GetExitCodeProcess(process.get(), &run.ExitCode);
    return run;
}
