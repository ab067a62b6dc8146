// The command line window: the command text a view suggests, how a run's
// result is told, and real runs on the window's own thread: captured output
// of both streams, a flood of errors, commands that are not found, and the
// hand-off to an editor whose file goes once the editor has ended.

// Own
#include "fileop/UActionCommandLine.h"
#include "fileop/UCommandRun.h"

// Application
#include "app/UMain.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>

// Standard library
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/PumpUntil.h"
#include "tests/folders/TempFolder.h"

namespace {

class TApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        FApplication = new TApplication;
        FApplication->CreateMainThread();
    }
    void TearDown() override
    {
        FApplication->WaitForThreads(10000);
        T0Object::Free(FApplication);
        TempFolder::RemoveLeftovers();
    }

private:
    TApplication* FApplication = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

// What would have been shown in message boxes, from any thread.
std::mutex g_shownLock;
std::vector<std::wstring> g_shown;

void RecordShown(const std::wstring& message, HWND)
{
    std::lock_guard<std::mutex> guard(g_shownLock);
    g_shown.push_back(message);
}

std::vector<std::wstring> Shown()
{
    std::lock_guard<std::mutex> guard(g_shownLock);
    return g_shown;
}

class TRecordShown {
public:
    TRecordShown() : FPrevious(SetExceptionDisplay(RecordShown))
    {
        std::lock_guard<std::mutex> guard(g_shownLock);
        g_shown.clear();
    }
    ~TRecordShown() { SetExceptionDisplay(FPrevious); }

private:
    TExceptionDisplay FPrevious;
};

BOOL CALLBACK FindCommandWindow(HWND window, LPARAM param)
{
    wchar_t name[64];
    if (GetClassNameW(window, name, 64) > 0 && std::wstring(name) == kCommandLineWindowClass) {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// One command line window on its own thread, driven through its controls.
class TCommandWindow {
public:
    TCommandWindow(const std::wstring& directory, const std::wstring& command,
                   const std::wstring& editor = L"notepad.exe")
    {
        FThread = T0Thread::StartThread<TCommandLineThread>(std::wstring(kCommandLineCaption), directory, command, 0, 0,
                                                            editor);
        EXPECT_TRUE(PumpUntil([&] {
            EnumThreadWindows(FThread->ThreadId(), FindCommandWindow, reinterpret_cast<LPARAM>(&FWindow));
            return FWindow != nullptr && IsWindowVisible(FWindow);
        }));
    }
    ~TCommandWindow()
    {
        if (!Ended())
            PostMessageW(FWindow, WM_CLOSE, 0, 0);
        EXPECT_EQ(WaitForSingleObject(FThread->ThreadHandle(), 20000), WAIT_OBJECT_0);
        Application()->FreeFinishedThreads();
    }
    HWND Child(UINT id) const { return GetDlgItem(FWindow, static_cast<int>(id)); }
    bool Ended() const { return WaitForSingleObject(FThread->ThreadHandle(), 0) == WAIT_OBJECT_0; }
    bool WaitForEnd() const
    {
        return PumpUntil([&] { return Ended(); });
    }
    void SetCommand(const std::wstring& text)
    {
        SendMessageW(Child(kCommandFieldId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    void Click(UINT id) { SendMessageW(Child(id), BM_CLICK, 0, 0); }
    // Run is posted: the window is busy until the command ends.
    void Run() { PostMessageW(Child(kRunButtonId), BM_CLICK, 0, 0); }
    std::wstring Output() const
    {
        HWND field = Child(kOutputFieldId);
        std::wstring text(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
        text.resize(static_cast<size_t>(GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
        return text;
    }
    int Height() const
    {
        RECT rect{};
        GetWindowRect(FWindow, &rect);
        return rect.bottom - rect.top;
    }

private:
    TCommandLineThread* FThread = nullptr;
    HWND FWindow = nullptr;
};

std::wstring CurrentDirectory()
{
    wchar_t path[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, path);
    return IncludeTrailingBackslash(path);
}

std::wstring TestDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L'\\') + 1);
}

int TemporaryFileCount()
{
    int count = 0;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((TemporaryDirectory() + L"nim*.tmp").c_str(), &data));
    if (find) {
        do
            ++count;
        while (FindNextFileW(find.get(), &data));
    }
    return count;
}

const std::wstring kSeparator = L"\r\n<<<<<<<< ERROR OUTPUT >>>>>>>>\r\n";

} // namespace

TEST(CommandLinePrefill, MarkedNamesInViewOrderElseTheCaretNameByItsKind)
{
    struct TCase {
        std::vector<std::wstring> Marked;
        std::optional<std::wstring_view> Caret;
        std::wstring Text;
        int32_t Caret_;
    };
    const TCase cases[] = {
        // Marks win over the caret entry; the command goes in front.
        {{L"b.txt", L"my file.txt", L"a"}, L"run.exe", L" b.txt \"my file.txt\" a", 0},
        // A program under the caret: its name, then the arguments.
        {{}, L"my tool.exe", L"\"my tool.exe\" ", 14},
        {{}, L"BUILD.Cmd", L"BUILD.Cmd ", 10},
        {{}, L"x.com", L"x.com ", 6},
        // Anything else follows the command that is still to be typed.
        {{}, L"readme.txt", L" readme.txt", 0},
        {{}, L"setup.exe.txt", L" setup.exe.txt", 0},
        {{}, L"exe", L" exe", 0},
        {{}, L"a b", L" \"a b\"", 0},
        // An empty view.
        {{}, std::nullopt, L"", 0},
    };
    for (const TCase& c : cases) {
        TCommandPrefill prefill = InitialCommandLine(c.Marked, c.Caret);
        EXPECT_EQ(prefill.Text, c.Text);
        EXPECT_EQ(prefill.Caret, c.Caret_) << UnicodeToUtf8(c.Text);
    }
}

TEST(CommandLinePrefill, NamesTheInterpreterWouldReadAsCommandsReachTheProgramAsTheyStand)
{
    TempFolder dir;
    const std::vector<std::wstring> names{L"a&b.txt",   L"c^d",        L"100%.txt",     L"wow!.txt", L"p(1).txt",
                                          L"(open",     L"semi;colon", L"com,ma",       L"eq=ual",   L"two  spaces",
                                          L"x|y<z>w",   L"plain.txt",  L"日本語 名.txt", L"a+b'c`~{}[]"};
    for (const std::wstring& name : names)
        EXPECT_EQ(QuotedName(name) == name, name == L"plain.txt") << UnicodeToUtf8(name);
    TCommandPrefill prefill = InitialCommandLine(names, std::nullopt);
    std::string expected;
    for (const std::wstring& name : names)
        expected += UnicodeToUtf8(name) + "\n";
    // The program's path is quoted as a user would write it: the
    // interpreter must keep that pair of quotes too.
    std::wstring command = L"\"" + TestDirectory() + L"fake_editor.exe\" --args" + prefill.Text;

    TCapturedRun interpreted = RunCaptured(InterpreterCommandLine(command), dir.Path());
    ASSERT_TRUE(interpreted.Started);
    EXPECT_EQ(interpreted.Output, expected) << "error stream: " << interpreted.Error;
    EXPECT_EQ(interpreted.ExitCode, 0u);

    TCapturedRun direct = RunCaptured(command, dir.Path());
    ASSERT_TRUE(direct.Started);
    EXPECT_EQ(direct.Output, expected);

    // A caret name that is a program keeps its quotes in front.
    EXPECT_EQ(InitialCommandLine({}, L"run&go.bat").Text, L"\"run&go.bat\" ");
}

TEST(CommandLineResult, TheUnknownCommandAnswerIsKnownByExitCodeAndTheInterpretersOwnEnding)
{
    auto bytes932 = [](std::wstring_view text) {
        int length =
            WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        std::string out(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
        return out;
    };
    const std::string windows = bytes932(
        L"'foo' は、内部コマンドまたは外部コマンド、\r\n操作可能なプログラムまたはバッチ ファイルとして認識されていません。\r\n");
    const std::string wine = bytes932(L"foo を内部または外部コマンド、バッチ スクリプトとして認識できません。\r\n");
    EXPECT_TRUE(IsUnknownCommandError(1, windows));
    EXPECT_TRUE(IsUnknownCommandError(1, "earlier errors\r\n" + windows)) << "the message ends the error text";
    EXPECT_FALSE(IsUnknownCommandError(0, windows)) << "a command that succeeded";
    EXPECT_FALSE(IsUnknownCommandError(1, windows + "more\r\n")) << "the message is not the last word";
    EXPECT_FALSE(IsUnknownCommandError(1, windows.substr(10))) << "too short to be the message";
    EXPECT_TRUE(IsUnknownCommandError(9009, wine));
    EXPECT_FALSE(IsUnknownCommandError(1, wine)) << "Wine's words come with its own exit code";
    EXPECT_FALSE(IsUnknownCommandError(9009, wine.substr(3))) << "no command named";
    EXPECT_FALSE(IsUnknownCommandError(9009, "some other failure\r\n"));
    EXPECT_FALSE(IsUnknownCommandError(1, ""));

    EXPECT_EQ(CommandResultText(L"C:\\w", L"dir /b", L"a\r\nb\r\n", L""), L"C:\\w> dir /b\r\na\r\nb\r\n");
    EXPECT_EQ(CommandResultText(L"C:\\w", L"x", L"", L"bad\r\n"), L"C:\\w> x\r\n" + kSeparator + L"bad\r\n");
    EXPECT_EQ(AnsiToWide(bytes932(L"日本語 ok")), L"日本語 ok") << "the tests run in code page 932";
    EXPECT_EQ(EditorOrDefault(L""), L"notepad.exe");
    EXPECT_EQ(EditorCommandLine(L"C:\\e d\\ed.exe", L"C:\\t\\nim1.tmp"), L"\"C:\\e d\\ed.exe\" \"C:\\t\\nim1.tmp\"");
}

TEST(CommandLineWindow, CapturedOutputShowsBothStreamsAndTheWindowGrowsToShowIt)
{
    TempFolder dir;
    const std::wstring command = L"echo out-line&echo 日本語>&2";
    TCommandWindow window(dir.Path(), command);
    EXPECT_FALSE(IsWindowEnabled(window.Child(kEditorBoxId))) << "the editor takes captured output only";
    window.Click(kCaptureBoxId);
    EXPECT_TRUE(IsWindowEnabled(window.Child(kEditorBoxId)));
    int compact = window.Height();
    ASSERT_LT(compact, 100);
    // The run leaves the process in the temporary folder, wherever it was.
    SetCurrentDirectoryW(dir.Path().c_str());
    window.Run();
    ASSERT_TRUE(PumpUntil([&] { return !window.Output().empty(); }));
    EXPECT_EQ(window.Output(), dir.Path() + L"> " + command + L"\r\nout-line\r\n" + kSeparator + L"日本語\r\n");
    EXPECT_EQ(window.Height(), compact + 254);
    EXPECT_EQ(CurrentDirectory(), TemporaryDirectory());
    EXPECT_FALSE(window.Ended()) << "the window stays to show the output";
}

TEST(CommandLineWindow, AFloodOnTheErrorStreamNeitherBlocksTheCommandNorIsCutShort)
{
    TempFolder dir;
    // Several times what a pipe holds: a reader that waits for the end of
    // the output before it reads the errors would wait forever.
    std::string flood;
    for (int line = 0; line < 6000; ++line) {
        char text[64];
        snprintf(text, sizeof text, "error line %05d ..............................\r\n", line);
        flood += text;
    }
    ASSERT_GT(flood.size(), 4u * 65536u);
    dir.MakeFile(L"flood.txt", flood);
    const std::wstring command = L"type flood.txt>&2&echo done";
    TCommandWindow window(dir.Path(), command);
    window.Click(kCaptureBoxId);
    window.Run();
    ASSERT_TRUE(PumpUntil([&] { return !window.Output().empty(); }, 60000)) << "the command never ended";
    std::wstring expected = dir.Path() + L"> " + command + L"\r\ndone\r\n" + kSeparator + AnsiToWide(flood);
    std::wstring shown = window.Output();
    EXPECT_TRUE(shown == expected) << "shown " << shown.size() << " characters of " << expected.size();
}

TEST(CommandLineWindow, AnUnknownCommandOrAMissingProgramIsReportedAndTheWindowStaysUntilAProgramStarts)
{
    TRecordShown shown;
    TempFolder dir;
    TCommandWindow window(dir.Path(), L"no_such_program_1234 x");
    window.Click(kCaptureBoxId);
    window.Run();
    ASSERT_TRUE(PumpUntil([&] { return Shown().size() == 1; }));
    EXPECT_EQ(Shown()[0], kProgramNotFound) << "instead of the interpreter's own message";
    EXPECT_EQ(window.Output(), L"");
    EXPECT_FALSE(window.Ended());

    // Directly: the system finds no such program either.
    window.Click(kCaptureBoxId);
    window.Run();
    ASSERT_TRUE(PumpUntil([&] { return Shown().size() == 2; }));
    EXPECT_EQ(Shown()[1], kProgramNotFound);
    EXPECT_FALSE(window.Ended());
    EXPECT_EQ(CurrentDirectory(), TemporaryDirectory()) << "also after a failed run";

    // A program that starts takes the window with it.
    window.SetCommand(L"cmd /c exit");
    window.Run();
    EXPECT_TRUE(window.WaitForEnd());
    EXPECT_EQ(Shown().size(), 2u);
}

TEST(CommandLineWindow, TheEditorGetsTheResultAndItsFileGoesOnceTheEditorHasEnded)
{
    TRecordShown shown;
    TempFolder dir;
    const std::wstring seen = dir / L"seen.txt";
    const std::wstring go = dir / L"go";
    SetEnvironmentVariableW(L"NIMBRA_EDITOR_SEEN", seen.c_str());
    SetEnvironmentVariableW(L"NIMBRA_EDITOR_GO", go.c_str());
    const std::wstring command = L"echo 日本語 to the editor";
    {
        TCommandWindow window(dir.Path(), command, TestDirectory() + L"fake_editor.exe");
        window.Click(kCaptureBoxId);
        window.Click(kEditorBoxId);
        window.Run();
        EXPECT_TRUE(window.WaitForEnd()) << "the window closes once the editor has the output";
    }
    ASSERT_TRUE(PumpUntil([&] { return FileExists(seen); }));
    std::string report = ReadFileBytes(seen).value_or("");
    size_t newline = report.find('\n');
    ASSERT_NE(newline, std::string::npos);
    std::wstring file = Utf8ToUnicode(report.substr(0, newline));
    EXPECT_EQ(ExtractFileDir(file) + L"\\", TemporaryDirectory());
    EXPECT_EQ(report.substr(newline + 1),
              WideToAnsi(dir.Path() + L"> " + command + L"\r\n日本語 to the editor\r\n"));
    // The editor still has it open.
    Sleep(300);
    EXPECT_TRUE(FileExists(file));
    dir.MakeFile(L"go");
    EXPECT_TRUE(PumpUntil([&] { return !FileExists(file); })) << "the file outlived its editor";
    EXPECT_TRUE(Application()->WaitForThreads(10000));
    EXPECT_TRUE(Shown().empty());
}

TEST(CommandLineWindow, AnEditorThatCannotStartIsReportedAndLeavesNoFileBehind)
{
    TRecordShown shown;
    TempFolder dir;
    int before = TemporaryFileCount();
    const std::wstring editor = dir / L"no such editor.exe";
    {
        TCommandWindow window(dir.Path(), L"echo lost", editor);
        window.Click(kCaptureBoxId);
        window.Click(kEditorBoxId);
        window.Run();
        EXPECT_TRUE(window.WaitForEnd());
    }
    EXPECT_TRUE(Application()->WaitForThreads(10000));
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_NE(Shown()[0].find(editor), std::wstring::npos) << UnicodeToUtf8(Shown()[0]);
    EXPECT_EQ(TemporaryFileCount(), before);
}
