// Browsing with the real program and real key presses: nimbra.exe runs on a
// prepared folder tree, keys are typed through the X server with xdotool,
// and the result is read from outside through the program's DDE state items
// and its window captions. Each group leaves a screenshot under build/.

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LDDEMan.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

// Standard library
#include <atomic>
#include <functional>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/Sandbox.h"

namespace {

const std::string kSettings = R"(--- !Nimbra
key:
  Enter: Default
  Backspace: ToParent
  Insert: MarkToggle
  C-A: MarkAll
  C-S-A: MarkReverse
  F5: Refresh
  C-T: OpenView
  C-W: CloseView
  C-N: OpenWindow
  C-Q: CloseWindow
  S: Sort
  F: Filter
  C: Copy
  F2: Rename
  A: Attribute
  Delete: Delete
  X: CommandLine
  F7: OpenView
  F8: CloseView
  F9: MarkAll
  A-J: EnterFolder
  F10: ToParent
  NoSuchKey: Refresh
  F6: NoSuchAction
  S-Enter: DefaultShort
  O: OpenFile
  C-X: ClipboardCut
  C-V: ClipboardPaste
  K: MakeDirectory
  N: MakeNewFile
  F12: VersionInfo
  C-F: FindFile
  G: ToFound
  I: IncrementalSearch
  D: CompareView
menu:
  - F: "ファイル"
    *:
      - O: Default
      - X: NoSuchAction
  - W: WindowMenu
)";

// A Linux program run from the Windows side (Wine starts Unix executables)
// through the shell, waiting for its end: a Unix process's handle cannot be
// waited for, so the shell leaves a file behind when the program is done.
void RunUnix(const std::wstring& program, const std::wstring& arguments)
{
    static int counter = 0;
    std::wstring marker = L"/tmp/nimbra-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(++counter) + L".done";
    std::wstring markerPath = L"Z:" + marker;
    for (wchar_t& c : markerPath)
        if (c == L'/')
            c = L'\\';
    std::wstring command = L"/bin/sh -c \"" + program + L" " + arguments + L"; touch " + marker + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process))
        << UnicodeToUtf8(command);
    // For a Unix program Wine hands back no process or thread of its own:
    // what stands in the record is not this program's to close (the 32-bit
    // loader left values there that named other handles of this program,
    // its standard output among them). Nothing is closed.
    EXPECT_TRUE(WaitUntil([&] { return GetFileAttributesW(markerPath.c_str()) != INVALID_FILE_ATTRIBUTES; }, 30000))
        << UnicodeToUtf8(command);
    DeleteFileW(markerPath.c_str());
}

void Keys(const std::wstring& keys)
{
    RunUnix(L"/usr/bin/xdotool", L"key --delay 60 " + keys);
}

// The test program's build folder as a Unix path (Wine maps Z: to /).
std::wstring UnixBuildDirectory()
{
    std::wstring dir = TestDirectory() + L"..\\";
    wchar_t full[MAX_PATH];
    GetFullPathNameW(dir.c_str(), MAX_PATH, full, nullptr);
    std::wstring path(full);
    if (path.size() > 2 && path[1] == L':')
        path = path.substr(2);
    for (wchar_t& c : path)
        if (c == L'\\')
            c = L'/';
    return path;
}

void Screenshot(const std::wstring& name)
{
    RunUnix(L"/usr/bin/import", L"-window root " + UnixBuildDirectory() + L"e2e-" + name + L".png");
}

// What the running program says of its topmost window.
std::wstring State(const std::wstring& item)
{
    std::wstring answer;
    if (!DdeRequest(L"nimbra", L"SYSTEM", item, answer, 5000))
        return L"<no answer>";
    return answer;
}

bool StateIs(const std::wstring& item, const std::wstring& expected)
{
    return WaitUntil([&] { return State(item) == expected; }, 10000);
}

struct TFilerSearch {
    DWORD Process;
    std::vector<HWND> Found;
};

BOOL CALLBACK CollectFilerWindow(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TFilerSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[64];
    if (process == search->Process && GetClassNameW(window, name, 64) > 0 && std::wstring(name) == kWindowClass &&
        IsWindowVisible(window))
        search->Found.push_back(window);
    return TRUE;
}

std::vector<HWND> FilerWindows(DWORD processId)
{
    TFilerSearch search{processId, {}};
    EnumWindows(CollectFilerWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

struct TCommandSearch {
    DWORD Process;
    HWND Found;
};

BOOL CALLBACK FindCommandWindow(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TCommandSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[64];
    if (process == search->Process && GetClassNameW(window, name, 64) > 0 &&
        std::wstring(name) == L"NimbraCommandLine" && IsWindowVisible(window)) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

// The program's command line window, or null.
HWND CommandWindow(DWORD processId)
{
    TCommandSearch search{processId, nullptr};
    EnumWindows(FindCommandWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// The text of a control of another process: asked with WM_GETTEXT, since
// GetWindowTextW reads only the caption the system keeps.
std::wstring ControlText(HWND control)
{
    auto length = SendMessageW(control, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    auto copied =
        SendMessageW(control, WM_GETTEXT, static_cast<WPARAM>(length + 1), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(copied));
    return text;
}

void WriteFile(const std::wstring& path, size_t size)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::string data(size, 'x');
    DWORD written = 0;
    ::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
}

// Where the stand-in editor writes what it was given; its "go" file lies
// beside, so that it ends at once.
std::wstring EditorSeenFile()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"nimbra-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-seen.txt";
}

std::string ReadText(const std::wstring& path)
{
    std::string bytes;
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = dir + L"\\" + name;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    RemoveDirectoryW(dir.c_str());
}

// One program on a tree of three folders and three files:
//   alpha\inner.txt, beta\, 日本語フォルダ\, a.txt (300 bytes), b.log (100), c.txt (200)
class Browse : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        StartDde(false);
    }
    static void TearDownTestSuite()
    {
        StopDde(false);
    }

    // What the program of a test reads, and what else lies beside it.
    virtual std::string Settings() const { return kSettings; }
    virtual void PrepareSandbox() {}

    void SetUp() override
    {
        FSandbox = std::make_unique<TSandbox>(Settings());
        PrepareSandbox();
        FTree = FSandbox->Dir() + L"tree";
        CreateDirectoryW(FTree.c_str(), nullptr);
        CreateDirectoryW((FTree + L"\\alpha").c_str(), nullptr);
        CreateDirectoryW((FTree + L"\\beta").c_str(), nullptr);
        CreateDirectoryW((FTree + L"\\日本語フォルダ").c_str(), nullptr);
        WriteFile(FTree + L"\\alpha\\inner.txt", 10);
        WriteFile(FTree + L"\\a.txt", 300);
        WriteFile(FTree + L"\\b.log", 100);
        WriteFile(FTree + L"\\c.txt", 200);
        // A document opened with the test's stand-in editor: where it writes
        // what it was given, and its go-ahead to end at once.
        std::wstring seen = EditorSeenFile();
        std::wstring go = seen + L".go";
        WriteFile(go, 0);
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_SEEN", seen.c_str());
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_GO", go.c_str());

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        std::wstring command = L"\"" + FSandbox->Dir() + L"nimbra.exe\" \"" + FTree + L"\"";
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   FSandbox->Dir().c_str(), &startup, &process));
        FProcess.reset(process.hProcess);
        CloseHandle(process.hThread);
        FProcessId = process.dwProcessId;
        ASSERT_TRUE(WaitUntil([&] { return FilerWindows(FProcessId).size() == 1; }));
        HWND window = FilerWindows(FProcessId).front();
        SetForegroundWindow(window);
        ASSERT_TRUE(StateIs(L"Folder", FTree)) << UnicodeToUtf8(State(L"Folder"));
        // Give the X server the window's focus before the first key.
        FocusProgram();
    }

    // Gives the X server's keyboard focus to the program's window.
    void FocusProgram()
    {
        RunUnix(L"/usr/bin/xdotool", L"search --sync --name nimbra-e2e windowfocus --sync");
    }

    // Gives the X server's keyboard focus to one window of the program: a
    // window that has just opened may not have it yet, and the keys typed
    // meanwhile go nowhere. Wine keeps the X window of each top-level window
    // in a property of it.
    void FocusWindow(HWND window)
    {
        auto xid = reinterpret_cast<ULONG_PTR>(GetPropW(window, L"__wine_x11_whole_window"));
        if (xid == 0) {
            FocusProgram();
            return;
        }
        RunUnix(L"/usr/bin/xdotool", L"windowfocus --sync " + std::to_wstring(xid));
    }

    void TearDown() override
    {
        for (HWND window : FilerWindows(FProcessId))
            PostMessageW(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(FProcess.get(), 20000) != WAIT_OBJECT_0)
            TerminateProcess(FProcess.get(), 99);
        FProcess.reset();
        RemoveTree(FTree);
        FSandbox.reset();
    }

    std::unique_ptr<TSandbox> FSandbox;
    std::wstring FTree;
    UniqueHandle FProcess;
    DWORD FProcessId = 0;
};

TEST_F(Browse, EnterAFolderAndGoBackWithTheCaretOnIt)
{
    // Directories first, then files, each by name.
    EXPECT_EQ(State(L"Names"), L"alpha\r\nbeta\r\n日本語フォルダ\r\na.txt\r\nb.log\r\nc.txt\r\n");
    EXPECT_EQ(State(L"Caret"), L"alpha");
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\alpha")) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_EQ(State(L"Names"), L"inner.txt\r\n");
    Screenshot(L"enter");
    Keys(L"BackSpace");
    ASSERT_TRUE(StateIs(L"Folder", FTree));
    EXPECT_EQ(State(L"Caret"), L"alpha");
    // Into the Japanese-named folder and back.
    Keys(L"Down Down Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\日本語フォルダ")) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_TRUE(WaitUntil([&] {
        wchar_t caption[512] = {};
        GetWindowTextW(FilerWindows(FProcessId).front(), caption, 512);
        return std::wstring(caption) == FTree + L"\\日本語フォルダ";
    })) << "the caption follows the folder";
    Keys(L"BackSpace");
    ASSERT_TRUE(StateIs(L"Caret", L"日本語フォルダ"));
}

TEST_F(Browse, MarksFollowKeysAndSurviveARefresh)
{
    Keys(L"Down Insert Down Down space");
    ASSERT_TRUE(StateIs(L"Marked", L"beta\r\na.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    EXPECT_EQ(State(L"Counts"), L"2/6/6");
    // A new file makes the folder refresh; the marks and the caret stay.
    WriteFile(FTree + L"\\0new.txt", 1);
    ASSERT_TRUE(StateIs(L"Counts", L"2/7/7"));
    EXPECT_EQ(State(L"Marked"), L"beta\r\na.txt\r\n");
    Keys(L"ctrl+a");
    ASSERT_TRUE(StateIs(L"Counts", L"7/7/7"));
    Keys(L"shift+ctrl+a");
    ASSERT_TRUE(StateIs(L"Counts", L"0/7/7"));
    // Shift ranges: from the caret down three rows.
    Keys(L"ctrl+Home shift+Down shift+Down");
    ASSERT_TRUE(StateIs(L"Marked", L"alpha\r\nbeta\r\n日本語フォルダ\r\n")) << UnicodeToUtf8(State(L"Marked"));
    Screenshot(L"marks");
}

TEST_F(Browse, SortAndFilterThroughTheirDialogs)
{
    // The sort dialog opens on "名前順"; two rows down is "サイズ".
    Keys(L"s");
    Sleep(500);
    Screenshot(L"sort-dialog");
    Keys(L"Down Down Return");
    ASSERT_TRUE(StateIs(L"Sort", L"7"));
    EXPECT_EQ(State(L"Names"), L"alpha\r\nbeta\r\n日本語フォルダ\r\nb.log\r\nc.txt\r\na.txt\r\n");
    // Reversed: the files by falling size, then the directories.
    Keys(L"s");
    Sleep(500);
    Keys(L"Tab space Return");
    ASSERT_TRUE(StateIs(L"Sort", L"8")) << UnicodeToUtf8(State(L"Sort"));
    EXPECT_EQ(State(L"Names"), L"a.txt\r\nc.txt\r\nb.log\r\n日本語フォルダ\r\nbeta\r\nalpha\r\n");

    // The filter never hides directories.
    Keys(L"f");
    Sleep(500);
    Screenshot(L"filter-dialog");
    // The dialog opens with "*.*" selected inside the quotes.
    Keys(L"asterisk period t x t");
    Screenshot(L"filter-typed");
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Filter", L"\"*.txt\"")) << UnicodeToUtf8(State(L"Filter"));
    EXPECT_EQ(State(L"Counts"), L"0/5/6");
    Screenshot(L"filtered");
}

TEST_F(Browse, ViewsAndWindowsOpenAndClose)
{
    Keys(L"ctrl+t");
    ASSERT_TRUE(StateIs(L"Views", L"2 1"));
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\alpha"));
    Screenshot(L"two-views");
    // Tab goes back to the first view, which still shows the tree.
    Keys(L"Tab");
    ASSERT_TRUE(StateIs(L"Views", L"2 0"));
    EXPECT_EQ(State(L"Folder"), FTree);
    Keys(L"ctrl+w");
    ASSERT_TRUE(StateIs(L"Views", L"1 0"));
    // The last view stays: closing it does nothing.
    Keys(L"ctrl+w");
    Sleep(300);
    EXPECT_EQ(State(L"Views"), L"1 0");

    Keys(L"ctrl+n");
    ASSERT_TRUE(WaitUntil([&] { return FilerWindows(FProcessId).size() == 2; }));
    Screenshot(L"two-windows");
    FocusWindow(FilerWindows(FProcessId).front());
    Keys(L"ctrl+q");
    ASSERT_TRUE(WaitUntil([&] { return FilerWindows(FProcessId).size() == 1; }));
}

TEST_F(Browse, CopyToTheOtherViewAndAnswerTheCollisionPrompt)
{
    // A second view on alpha; back in the first one, a.txt is marked.
    Keys(L"ctrl+t");
    ASSERT_TRUE(StateIs(L"Views", L"2 1"));
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\alpha"));
    Keys(L"Tab");
    ASSERT_TRUE(StateIs(L"Views", L"2 0"));
    Keys(L"Down Down Down Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"a.txt\r\n"));
    // The destination dialog offers the other view's folder first.
    Keys(L"c");
    Sleep(800);
    Screenshot(L"copy-destination");
    Keys(L"Return");
    ASSERT_TRUE(WaitUntil([&] { return GetFileAttributesW((FTree + L"\\alpha\\a.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }));

    // The job's window says "Completed" for a second, then goes.
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(L"NimbraFileOperation", nullptr) == nullptr; }));
    FocusProgram();

    // Again: the prompt opens on "バックアップ", and OK keeps the old copy.
    WriteFile(FTree + L"\\alpha\\a.txt", 7);
    Keys(L"c");
    Sleep(800);
    Keys(L"Return");
    Sleep(1000);
    Screenshot(L"collision-prompt");
    Keys(L"Return");
    ASSERT_TRUE(WaitUntil([&] {
        return GetFileAttributesW((FTree + L"\\alpha\\a.000.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
    }));
    WIN32_FILE_ATTRIBUTE_DATA copied{}, backup{};
    ASSERT_TRUE(WaitUntil([&] {
        return GetFileAttributesExW((FTree + L"\\alpha\\a.txt").c_str(), GetFileExInfoStandard, &copied) &&
               copied.nFileSizeLow == 300;
    }));
    ASSERT_TRUE(GetFileAttributesExW((FTree + L"\\alpha\\a.000.txt").c_str(), GetFileExInfoStandard, &backup));
    EXPECT_EQ(backup.nFileSizeLow, 7u) << "the replaced file is kept as the backup";
}

namespace {

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct TDialogSearch {
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindProcessDialog(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TDialogSearch*>(param);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (processId != search->ProcessId || !IsWindowVisible(window) || std::wstring(className) != L"#32770")
        return TRUE;
    search->Found = window;
    return FALSE;
}

} // namespace

TEST_F(Browse, RenameOneFileThenTwoByTheirCommonPartThenDeleteOne)
{
    // The caret on a.txt: the dialog selects "a", which typing replaces.
    Keys(L"Down Down Down");
    ASSERT_TRUE(StateIs(L"Caret", L"a.txt"));
    Keys(L"F2");
    Sleep(800);
    Screenshot(L"rename-one");
    Keys(L"z Return");
    ASSERT_TRUE(WaitUntil([&] { return Exists(FTree + L"\\z.txt"); }));
    EXPECT_FALSE(Exists(FTree + L"\\a.txt"));
    ASSERT_TRUE(StateIs(L"Caret", L"z.txt")) << "the caret follows the new name";

    // c.txt and z.txt share only "txt": the base field shows "*" and cannot
    // be typed into; the extension field has the focus.
    Keys(L"Insert Up Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"c.txt\r\nz.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    Keys(L"F2");
    Sleep(800);
    Screenshot(L"rename-several");
    Keys(L"l o g Return");
    ASSERT_TRUE(WaitUntil([&] { return Exists(FTree + L"\\c.log") && Exists(FTree + L"\\z.log"); }));
    EXPECT_FALSE(Exists(FTree + L"\\c.txt"));
    EXPECT_FALSE(Exists(FTree + L"\\z.txt"));
    ASSERT_TRUE(StateIs(L"Names", L"alpha\r\nbeta\r\n日本語フォルダ\r\nb.log\r\nc.log\r\nz.log\r\n"))
        << UnicodeToUtf8(State(L"Names"));

    // Delete b.log for good: "抹消" is the second choice, and the program asks first.
    Keys(L"ctrl+Home Down Down Down");
    ASSERT_TRUE(StateIs(L"Caret", L"b.log"));
    Keys(L"Delete");
    Sleep(800);
    Screenshot(L"delete-dialog");
    Keys(L"Down Return");
    TDialogSearch confirm{FProcessId, nullptr};
    ASSERT_TRUE(WaitUntil([&] {
        EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&confirm));
        return confirm.Found != nullptr;
    }));
    PostMessageW(confirm.Found, WM_COMMAND, IDYES, 0);
    ASSERT_TRUE(WaitUntil([&] { return !Exists(FTree + L"\\b.log"); }));
    EXPECT_TRUE(StateIs(L"Names", L"alpha\r\nbeta\r\n日本語フォルダ\r\nc.log\r\nz.log\r\n"))
        << UnicodeToUtf8(State(L"Names"));
}

TEST_F(Browse, MakeAFileReadOnlyThroughTheAttributeDialog)
{
    Keys(L"ctrl+End");
    ASSERT_TRUE(StateIs(L"Caret", L"c.txt"));
    // The dialog opens on the first switch, "Read-Only", at "OFF"; Left
    // steps to "ON".
    Keys(L"a");
    Sleep(800);
    Keys(L"Left");
    Sleep(300);
    Screenshot(L"attribute-dialog");
    Keys(L"Return");
    ASSERT_TRUE(WaitUntil([&] {
        DWORD attributes = GetFileAttributesW((FTree + L"\\c.txt").c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    }));

    // Two marked files: every switch starts at "-" (left alone); Right steps
    // Read-Only to "OFF" for both, and the hidden b.log stays hidden.
    ASSERT_TRUE(SetFileAttributesW((FTree + L"\\b.log").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    Keys(L"Insert Up Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"b.log\r\nc.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    Keys(L"a");
    Sleep(800);
    Keys(L"Right");
    Sleep(300);
    Screenshot(L"attribute-several");
    Keys(L"Return");
    ASSERT_TRUE(WaitUntil([&] { return GetFileAttributesW((FTree + L"\\c.txt").c_str()) == FILE_ATTRIBUTE_ARCHIVE; }));
    // (Wine reports every plain file with the archive bit.)
    EXPECT_EQ(GetFileAttributesW((FTree + L"\\b.log").c_str()) & ~FILE_ATTRIBUTE_ARCHIVE,
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    SetFileAttributesW((FTree + L"\\b.log").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Browse, ACommandLineRunsInTheViewsFolderAndShowsWhatItPrinted)
{
    // The caret is on a folder: its name follows the command to be typed.
    Keys(L"x");
    HWND window = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (window = CommandWindow(FProcessId)) != nullptr; }));
    HWND field = GetDlgItem(window, 100);
    HWND output = GetDlgItem(window, 103);
    EXPECT_EQ(ControlText(window), L"コマンドライン実行");
    EXPECT_EQ(ControlText(field), L" alpha");
    // The keys go where the X server's focus is: wait until the new window
    // has it, or they land in the filer window.
    RunUnix(L"/usr/bin/xdotool", L"search --sync --name コマンドライン実行 windowfocus --sync");
    Keys(L"e c h o space h e l l o");
    ASSERT_TRUE(WaitUntil([&] { return ControlText(field) == L"echo hello alpha"; }))
        << UnicodeToUtf8(ControlText(field));
    // Alt+S captures the output; Return runs.
    Keys(L"alt+s Return");
    const std::wstring expected = FTree + L"> echo hello alpha\r\nhello alpha\r\n";
    ASSERT_TRUE(WaitUntil([&] { return ControlText(output) == expected; })) << UnicodeToUtf8(ControlText(output));
    Screenshot(L"command-line");
    Keys(L"Escape");
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(window); }));

    // Marked names come in view order, the caret in front of them.
    FocusProgram();
    Keys(L"Down Down Insert ctrl+End Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"日本語フォルダ\r\nc.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    Keys(L"x");
    ASSERT_TRUE(WaitUntil([&] { return (window = CommandWindow(FProcessId)) != nullptr; }));
    EXPECT_EQ(ControlText(GetDlgItem(window, 100)), L" 日本語フォルダ c.txt");
    // Both ends of the selection in the answer: no pointers cross processes.
    EXPECT_EQ(SendMessageW(GetDlgItem(window, 100), EM_GETSEL, 0, 0), 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(window); }));
}

// The file lists of a filer window, found by their class.
BOOL CALLBACK CollectViewWindow(HWND window, LPARAM param)
{
    wchar_t name[64];
    if (GetClassNameW(window, name, 64) > 0 && std::wstring(name).find(L"FilerView") != std::wstring::npos)
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> ViewWindows(HWND filer)
{
    std::vector<HWND> views;
    EnumChildWindows(filer, CollectViewWindow, reinterpret_cast<LPARAM>(&views));
    return views;
}

// A key press posted to a window of the program (no modifiers held).
void PostKey(HWND window, UINT key)
{
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

std::wstring Caption(HWND window)
{
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    return caption;
}

// Whether the thread of a window is inside a menu loop.
bool InMenuLoop(HWND window)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && (info.flags & GUI_INMENUMODE) != 0;
}

TEST_F(Browse, UnderLoadEveryRequestIsAnsweredAndAWindowNavigatesWhileAnotherHoldsItsMenuOpen)
{
    // A second window on another folder, by a second start.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION second{};
    std::wstring command = L"\"" + FSandbox->Dir() + L"nimbra.exe\" \"" + FTree + L"\\beta\"";
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, FSandbox->Dir().c_str(),
                               &startup, &second));
    CloseHandle(second.hThread);
    UniqueHandle secondProcess(second.hProcess);
    // The test's own DDE windows answer the second start's search for the
    // running instance: wait serving them.
    ASSERT_TRUE(WaitUntil([&] {
        std::wstring ignored;
        DdeRequest(L"nimbra", L"SYSTEM", L"Views", ignored, 1000);
        return FilerWindows(FProcessId).size() == 2;
    }));
    HWND first = nullptr, other = nullptr;
    for (HWND window : FilerWindows(FProcessId))
        (Caption(window) == FTree ? first : other) = window;
    ASSERT_TRUE(first != nullptr && other != nullptr);

    std::atomic<bool> stop{false};
    // Files come and go by the hundred in the folder the first window shows.
    std::thread churn([&] {
        for (int round = 0; !stop; ++round) {
            for (int i = 0; i < 200 && !stop; ++i)
                WriteFile(FTree + L"\\churn" + std::to_wstring(i) + L".txt", 1);
            for (int i = 0; i < 200; ++i)
                DeleteFileW((FTree + L"\\churn" + std::to_wstring(i) + L".txt").c_str());
        }
    });
    // A script asks for the state all the while (this thread's DDE client,
    // between and during every wait); every request is answered.
    int asked = 0, unanswered = 0;
    auto ask = [&] {
        static const wchar_t* const items[] = {L"Names", L"Marked", L"Counts", L"Views"};
        std::wstring answer;
        if (!DdeRequest(L"nimbra", L"SYSTEM", items[asked++ % 4], answer, 5000))
            ++unanswered;
    };
    auto waitAsking = [&](const std::function<bool()>& done, DWORD timeout) {
        return WaitUntil([&] {
            ask();
            return done();
        }, timeout);
    };

    const DWORD start = GetTickCount();
    int navigations = 0, heldMenus = 0;
    std::wstring failure;
    while (GetTickCount() - start < 30000 && failure.empty()) {
        // The other window opens its menu bar and keeps it open.
        PostMessageW(other, WM_SYSCOMMAND, SC_KEYMENU, L'f');
        bool menu = waitAsking([&] { return InMenuLoop(other); }, 3000);
        heldMenus += menu ? 1 : 0;
        // Meanwhile the first window enters "alpha" and comes back.
        std::vector<HWND> views = ViewWindows(first);
        if (views.empty()) {
            failure = L"the first window has no view";
            break;
        }
        PostKey(views.front(), VK_HOME);
        PostKey(views.front(), VK_RETURN);
        if (!waitAsking([&] { return Caption(first) == FTree + L"\\alpha"; }, 5000))
            failure = L"entering alpha did not complete: " + Caption(first);
        else if (menu && !InMenuLoop(other))
            failure = L"the menu closed before the navigation completed";
        PostKey(ViewWindows(first).front(), VK_BACK);
        if (failure.empty() && !waitAsking([&] { return Caption(first) == FTree; }, 5000))
            failure = L"going back did not complete: " + Caption(first);
        ++navigations;
        PostMessageW(other, WM_CANCELMODE, 0, 0);
        waitAsking([&] { return !InMenuLoop(other); }, 3000);
        // Views open and close, and everything is marked.
        PostKey(ViewWindows(first).front(), VK_F7);
        waitAsking([&] { return ViewWindows(first).size() == 2; }, 3000);
        for (HWND view : ViewWindows(first))
            PostKey(view, VK_F9);
        for (HWND view : ViewWindows(first))
            PostKey(view, VK_F8);
        waitAsking([&] { return ViewWindows(first).size() == 1; }, 3000);
    }
    stop = true;
    churn.join();

    EXPECT_TRUE(failure.empty()) << UnicodeToUtf8(failure);
    EXPECT_GT(navigations, 3);
    EXPECT_GT(heldMenus, 0) << "the menu never opened: the test proved nothing";
    EXPECT_GT(asked, 20);
    EXPECT_EQ(unanswered, 0) << "of " << asked << " requests";
    EXPECT_EQ(WaitForSingleObject(FProcess.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the program ended";
    EXPECT_EQ(State(L"LockFaults"), L"0");
}

TEST_F(Browse, AltBindingsAndF10RunWhileAltWithAnAccessKeyStillOpensTheMenu)
{
    Keys(L"alt+j");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\alpha")) << UnicodeToUtf8(State(L"Folder"));
    Keys(L"F10");
    ASSERT_TRUE(StateIs(L"Folder", FTree)) << UnicodeToUtf8(State(L"Folder"));
    // No binding takes Alt+F: the menu bar opens its "ファイル" menu.
    HWND window = FilerWindows(FProcessId).front();
    Keys(L"alt+f");
    EXPECT_TRUE(WaitUntil([&] { return InMenuLoop(window); }, 5000)) << "the menu did not open";
    Keys(L"Escape Escape");
    EXPECT_TRUE(WaitUntil([&] { return !InMenuLoop(window); }, 5000));
    EXPECT_EQ(State(L"Folder"), FTree);
}

// Types text into the focused window.
void Type(const std::wstring& text)
{
    RunUnix(L"/usr/bin/xdotool", L"type --delay 80 '" + text + L"'");
}

void SetRegistryText(const std::wstring& key, const std::wstring& name, const std::wstring& value)
{
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(handle, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(handle);
}

// A visible window of the process with that caption.
struct TCaptionSearch {
    DWORD ProcessId;
    std::wstring Caption;
    HWND Found;
};

BOOL CALLBACK FindCaptionedWindow(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TCaptionSearch*>(param);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->ProcessId || !IsWindowVisible(window) || Caption(window) != search->Caption)
        return TRUE;
    search->Found = window;
    return FALSE;
}

HWND WindowCaptioned(DWORD processId, const std::wstring& caption)
{
    TCaptionSearch search{processId, caption, nullptr};
    EnumWindows(FindCaptionedWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// The text on the clipboard, as its bytes.
std::string ClipboardText()
{
    std::string text;
    if (!OpenClipboard(nullptr))
        return text;
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const char* bytes = static_cast<const char*>(GlobalLock(data))) {
            text.assign(bytes, strnlen(bytes, GlobalSize(data)));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

// The files on the clipboard, one per line.
std::wstring ClipboardFiles()
{
    std::wstring files;
    if (!OpenClipboard(nullptr))
        return files;
    if (auto drop = static_cast<HDROP>(GetClipboardData(CF_HDROP))) {
        UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < count; ++i) {
            wchar_t path[MAX_PATH * 2] = {};
            DragQueryFileW(drop, i, path, MAX_PATH * 2);
            files += path;
            files += L"\n";
        }
    }
    CloseClipboard();
    return files;
}

uint64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return ~0ull;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

TEST_F(Browse, EnterOnADocumentOffersItsVerbsAndShiftEnterOpensItWithItsProgram)
{
    // Documents of a type of the test open with the stand-in editor, which
    // writes down what it was given (the fixture tells it where).
    const std::wstring seen = EditorSeenFile();
    SetRegistryText(L".nimbradoc", L"", L"NimbraTestDocument");
    SetRegistryText(L"NimbraTestDocument", L"", L"Nimbra test document");
    SetRegistryText(L"NimbraTestDocument\\shell\\open\\command", L"",
                    L"\"" + TestDirectory() + L"fake_editor.exe\" \"%1\"");
    FSandbox->Write(L"tree\\report.nimbradoc", "contents");
    Keys(L"F5");
    Keys(L"ctrl+End");
    ASSERT_TRUE(StateIs(L"Caret", L"report.nimbradoc"));
    // Enter offers the shell's verbs for it; the chosen one is performed:
    // "コピー" (fourth under Wine) puts the file on the clipboard.
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
    Keys(L"Return");
    HWND list = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (list = WindowCaptioned(FProcessId, L"report.nimbradocを開く")) != nullptr; }));
    Sleep(500);
    Screenshot(L"verb-list");
    Keys(L"Down Down Down");
    Sleep(300);
    Screenshot(L"verb-chosen");
    Keys(L"Return");
    EXPECT_TRUE(WaitUntil([&] { return ClipboardFiles().find(L"report.nimbradoc") != std::wstring::npos; }))
        << "the chosen verb was not performed: " << UnicodeToUtf8(ClipboardFiles());

    // Shift+Enter opens it with its program without asking.
    FocusWindow(FilerWindows(FProcessId).front());
    Keys(L"shift+Return");
    ASSERT_TRUE(WaitUntil([&] { return Exists(seen); })) << "Shift+Enter did not open the document";
    std::string written = ReadText(seen);
    EXPECT_NE(written.find("report.nimbradoc"), std::string::npos) << written;
    EXPECT_NE(written.find("contents"), std::string::npos) << written;
    DeleteFileW(seen.c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L".nimbradoc");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"NimbraTestDocument");
}

TEST_F(Browse, EnterOnAShortcutLandsOnItsTarget)
{
    OleInitialize(nullptr);
    {
        ComPtr<IShellLinkW> link;
        ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(link.put())),
                  S_OK);
        link->SetPath((FTree + L"\\alpha\\inner.txt").c_str());
        ComPtr<IPersistFile> file = link.as<IPersistFile>();
        ASSERT_EQ(file->Save((FTree + L"\\shortcut.lnk").c_str(), TRUE), S_OK);
    }
    OleUninitialize();
    Keys(L"F5 ctrl+End");
    ASSERT_TRUE(StateIs(L"Caret", L"shortcut.lnk")) << UnicodeToUtf8(State(L"Caret"));
    Keys(L"Return");
    EXPECT_TRUE(StateIs(L"Folder", FTree + L"\\alpha")) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_TRUE(StateIs(L"Caret", L"inner.txt")) << UnicodeToUtf8(State(L"Caret"));
}

TEST_F(Browse, CutInOneWindowAndPasteInAnotherMovesTheFile)
{
    HWND first = FilerWindows(FProcessId).front();
    Keys(L"Down Down Down");
    ASSERT_TRUE(StateIs(L"Caret", L"a.txt"));
    Keys(L"ctrl+x");
    Sleep(500);
    Keys(L"ctrl+n");
    ASSERT_TRUE(WaitUntil([&] { return FilerWindows(FProcessId).size() == 2; }));
    HWND second = nullptr;
    for (HWND window : FilerWindows(FProcessId))
        if (window != first)
            second = window;
    ASSERT_NE(second, nullptr);
    Sleep(500);
    FocusWindow(second);
    // Into beta, then paste: the list offers the move first.
    Keys(L"Down Return");
    ASSERT_TRUE(WaitUntil([&] { return Caption(second) == FTree + L"\\beta"; })) << UnicodeToUtf8(Caption(second));
    Keys(L"ctrl+v");
    Sleep(1000);
    Screenshot(L"paste-list");
    Keys(L"Return");
    EXPECT_TRUE(WaitUntil([&] { return Exists(FTree + L"\\beta\\a.txt") && !Exists(FTree + L"\\a.txt"); }))
        << "the cut file was not moved";
    EXPECT_EQ(FileSize(FTree + L"\\beta\\a.txt"), 300u);
}

TEST_F(Browse, MakeADirectoryAndNewFilesEmptyAndFromATemplate)
{
    Keys(L"k");
    Sleep(800);
    Type(L"made");
    Keys(L"Return");
    EXPECT_TRUE(WaitUntil([&] { return Exists(FTree + L"\\made"); }));
    EXPECT_TRUE(StateIs(L"Caret", L"made")) << UnicodeToUtf8(State(L"Caret"));

    // The list begins with the empty file.
    Keys(L"n");
    Sleep(1500);
    Keys(L"Home Return");
    Sleep(800);
    Type(L"fresh.txt");
    Keys(L"Return");
    EXPECT_TRUE(WaitUntil([&] { return Exists(FTree + L"\\fresh.txt"); }));
    EXPECT_EQ(FileSize(FTree + L"\\fresh.txt"), 0u);
    EXPECT_TRUE(StateIs(L"Caret", L"fresh.txt")) << UnicodeToUtf8(State(L"Caret"));
}

TEST_F(Browse, ANewFileFromATemplateOfTheRegistry)
{
    // A type whose new files are copies of a template in the Windows
    // directory's ShellNew folder; the list is read at its first use.
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring shellNew = std::wstring(windows) + L"\\ShellNew";
    CreateDirectoryW(shellNew.c_str(), nullptr);
    const std::wstring templatePath = shellNew + L"\\nimbra-e2e.zznimbra";
    {
        UniqueFileHandle file(CreateFileW(templatePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ::WriteFile(file.get(), "template body", 13, &written, nullptr);
    }
    SetRegistryText(L".zznimbra", L"", L"NimbraE2ETemplate");
    SetRegistryText(L".zznimbra\\ShellNew", L"FileName", L"nimbra-e2e.zznimbra");
    SetRegistryText(L"NimbraE2ETemplate", L"", L"E2E テンプレート");
    Keys(L"n");
    HWND list = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (list = WindowCaptioned(FProcessId, L"新規作成")) != nullptr; }));
    Sleep(500);
    Screenshot(L"new-file-list");
    // "空" first, then the types the registry offers, this one among them
    // (a fresh prefix has no other).
    Keys(L"End Return");
    Sleep(800);
    Screenshot(L"new-file-name");
    Type(L"fromtpl");
    Keys(L"Return");
    EXPECT_TRUE(WaitUntil([&] { return Exists(FTree + L"\\fromtpl.zznimbra"); }));
    EXPECT_EQ(ReadText(FTree + L"\\fromtpl.zznimbra"), "template body");
    EXPECT_TRUE(StateIs(L"Caret", L"fromtpl.zznimbra")) << UnicodeToUtf8(State(L"Caret"));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L".zznimbra");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"NimbraE2ETemplate");
    DeleteFileW(templatePath.c_str());
}

TEST_F(Browse, TheWindowMenuSwitchesViewsAndTheVersionBoxShows)
{
    Keys(L"ctrl+t");
    ASSERT_TRUE(StateIs(L"Views", L"2 1"));
    Keys(L"alt+w");
    Sleep(800);
    Screenshot(L"window-menu");
    Keys(L"Return");
    EXPECT_TRUE(StateIs(L"Views", L"2 0")) << UnicodeToUtf8(State(L"Views"));

    Keys(L"F12");
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = WindowCaptioned(FProcessId, L"バージョン情報")) != nullptr; }));
    Sleep(500);
    Screenshot(L"version-box");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
}

TEST_F(Browse, FindFilesByContentAndJumpToAResult)
{
    FSandbox->Write(L"tree\\alpha\\needle.txt", "hay hay NeEdLe hay");
    FSandbox->Write(L"tree\\beta\\other.txt", "hay only");
    Keys(L"ctrl+f");
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (dialog = WindowCaptioned(FProcessId, L"ファイル検索")) != nullptr; }));
    FocusWindow(dialog);
    // The name field keeps "*.*"; the content is a pattern, letters of
    // either case.
    Keys(L"Tab");
    Type(L"needle");
    Sleep(300);
    Screenshot(L"find-dialog");
    Keys(L"Return");
    const std::wstring found = FTree + L"\\alpha\\needle.txt";
    EXPECT_TRUE(StateIs(L"Names", found + L"\r\n")) << UnicodeToUtf8(State(L"Names"));
    Sleep(300);
    Screenshot(L"find-results");
    Keys(L"g");
    EXPECT_TRUE(StateIs(L"Folder", FTree + L"\\alpha")) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_TRUE(StateIs(L"Caret", L"needle.txt")) << UnicodeToUtf8(State(L"Caret"));
}

TEST_F(Browse, IncrementalSearchFindsByPrefixAndEscapeReturnsThenCloses)
{
    Keys(L"i");
    Sleep(500);
    Type(L"b.");
    EXPECT_TRUE(StateIs(L"Caret", L"b.log")) << UnicodeToUtf8(State(L"Caret"));
    Screenshot(L"incremental-search");
    // A backslash on an empty text goes to the root; Escape comes back,
    // a second Escape closes.
    Keys(L"BackSpace BackSpace backslash");
    EXPECT_TRUE(StateIs(L"Folder", FTree.substr(0, 3))) << UnicodeToUtf8(State(L"Folder"));
    Keys(L"Escape");
    EXPECT_TRUE(StateIs(L"Folder", FTree)) << UnicodeToUtf8(State(L"Folder"));
    Keys(L"Escape");
    Sleep(500);
    Keys(L"Down");
    EXPECT_TRUE(StateIs(L"Caret", L"beta")) << "the search window did not close: " << UnicodeToUtf8(State(L"Caret"));
}

TEST_F(Browse, CompareTwoViewsMarksWhatTheOtherLacks)
{
    FSandbox->Write(L"tree\\alpha\\c.txt", "same name");
    Keys(L"ctrl+t");
    ASSERT_TRUE(StateIs(L"Views", L"2 1"));
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\alpha"));
    Keys(L"Tab");
    ASSERT_TRUE(StateIs(L"Views", L"2 0"));
    Keys(L"d");
    Sleep(800);
    Screenshot(L"compare-dialog");
    // The other view is the one choice; "無い" is preset.
    Keys(L"Return");
    EXPECT_TRUE(StateIs(L"Marked", L"alpha\r\nbeta\r\n日本語フォルダ\r\na.txt\r\nb.log\r\n"))
        << UnicodeToUtf8(State(L"Marked"));
}

// ---------------------------------------------------------------------------
// Archives as folders, with the archive modules and our libraries beside the
// program.

namespace {

// The Windows form of a Unix path.
std::wstring FromUnix(const std::wstring& path)
{
    std::wstring windows = L"Z:" + path;
    for (wchar_t& c : windows)
        if (c == L'/')
            c = L'\\';
    return windows;
}

// Runs a Unix command line in /bin/sh and gives what it printed.
std::string UnixOutput(const std::wstring& command)
{
    std::wstring out = L"/tmp/nimbra-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-out.txt";
    RunUnix(L"", L"{ " + command + L"; } </dev/null >" + out + L" 2>&1");
    std::string text = ReadText(FromUnix(out));
    DeleteFileW(FromUnix(out).c_str());
    return text;
}

} // namespace

class Archives : public Browse {
protected:
    std::string Settings() const override
    {
        std::string settings = kSettings;
        settings.replace(settings.find("key:\n"), 5, "key:\n  P: Pack\n  U: Unpack\n  Y: ClipFileData\n");
        return settings + "modules:\n  - ArcZip.dll\n  - ArcTar.dll\n  - ArcLzh.dll\nskin:\n  archive: archive.bmp\n";
    }
    void PrepareSandbox() override
    {
        // The archive emblem: red inside a white frame, white being the
        // picture's transparent colour (its first pixel).
        const int side = 80;
        const int row = side * 3;
        std::string bmp(54 + row * side, '\0');
        auto put32 = [&](size_t at, uint32_t value) { std::memcpy(&bmp[at], &value, 4); };
        bmp[0] = 'B';
        bmp[1] = 'M';
        put32(2, static_cast<uint32_t>(bmp.size()));
        put32(10, 54);
        put32(14, 40);
        put32(18, side);
        put32(22, side);
        bmp[26] = 1;
        bmp[28] = 24;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                bool frame = x < 4 || y < 4 || x >= side - 4 || y >= side - 4;
                char* pixel = &bmp[54 + y * row + x * 3];
                pixel[0] = frame ? '\xFF' : 0;  // blue, green, red
                pixel[1] = frame ? '\xFF' : 0;
                pixel[2] = '\xFF';
            }
        HANDLE file = CreateFileW((FSandbox->Dir() + L"archive.bmp").c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(file, bmp.data(), static_cast<DWORD>(bmp.size()), &written, nullptr);
        CloseHandle(file);
        std::wstring bin = TestDirectory() + L"..\\bin\\";
        for (const wchar_t* file : {L"ArcZip.dll", L"ArcTar.dll", L"ArcLzh.dll", L"7-zip32.dll", L"Unlha32.dll"})
            FSandbox->Copy(bin + file, file);
        if (GetFileAttributesW((bin + L"tar32.dll").c_str()) != INVALID_FILE_ATTRIBUTES)
            FSandbox->Copy(bin + L"tar32.dll", L"tar32.dll");
    }
    // A second view on the tree, the first one made current again; false when
    // the views did not come as asked.
    bool SecondViewOnTheTree()
    {
        Keys(L"ctrl+t");
        if (!StateIs(L"Views", L"2 1"))
            return false;
        Keys(L"Tab F5");
        return StateIs(L"Views", L"2 0");
    }
    // Moves the caret down until it is on the name; false when it does not
    // get there.
    bool CaretDownTo(const std::wstring& name)
    {
        for (int moves = 0; moves < 10 && State(L"Caret") != name; ++moves)
            Keys(L"Down");
        return StateIs(L"Caret", name);
    }
    // Packs the marked files with P into the current view's folder (the
    // destination dialog's first choice), under a name typed over the
    // proposal; false when the name prompt never came.
    bool PackMarkedAs(const std::wstring& archive)
    {
        Keys(L"p");
        Sleep(800);
        Keys(L"Return");
        HWND prompt = nullptr;
        if (!WaitUntil([&] { return (prompt = WindowCaptioned(FProcessId, L"圧縮")) != nullptr; }))
            return false;
        FocusWindow(prompt);
        Keys(L"ctrl+a");
        Type(archive);
        Keys(L"Return");
        return true;
    }
    // How many views show the emblem's red where it is drawn, at the
    // bottom right.
    int EmblemViews() const
    {
        int shown = 0;
        for (HWND view : ViewWindows(FilerWindows(FProcessId).front())) {
            RECT client{};
            GetClientRect(view, &client);
            // Read from the screen: another process's window cannot be read.
            POINT at{client.right - 60, client.bottom - 60};
            ClientToScreen(view, &at);
            HDC dc = GetDC(nullptr);
            COLORREF colour = GetPixel(dc, at.x, at.y);
            ReleaseDC(nullptr, dc);
            shown += colour == RGB(255, 0, 0) ? 1 : 0;
        }
        return shown;
    }
    // A scratch folder on the Unix side for the standard tools' archives.
    std::wstring UnixScratch() const
    {
        return L"/tmp/nimbra-e2e-archives-" + std::to_wstring(GetCurrentProcessId());
    }
};

// Into a ZIP that zip made, a Japanese name inside; an entry copied out to the
// other view; marked files packed into a new ZIP that unzip accepts.
TEST_F(Archives, EnterAZipCopyAnEntryOutAndPackMarkedFiles)
{
    const std::wstring scratch = UnixScratch();
    UnixOutput(L"rm -rf " + scratch + L" && mkdir -p " + scratch + L"/z/深い && printf 'hello from the archive' >" +
               scratch + L"/z/深い/日本語.txt && printf top >" + scratch + L"/z/top.txt && cd " + scratch +
               L"/z && zip -qr ../arc.zip .");
    ASSERT_TRUE(CopyFileW(FromUnix(scratch + L"/arc.zip").c_str(), (FTree + L"\\arc.zip").c_str(), FALSE));
    // A second view on the tree; the first one goes into the archive.
    ASSERT_TRUE(SecondViewOnTheTree());
    ASSERT_TRUE(StateIs(L"Names", L"alpha\r\nbeta\r\n日本語フォルダ\r\na.txt\r\narc.zip\r\nb.log\r\nc.txt\r\n"))
        << UnicodeToUtf8(State(L"Names"));
    Keys(L"Down Down Down Down");
    ASSERT_TRUE(StateIs(L"Caret", L"arc.zip"));
    EXPECT_EQ(EmblemViews(), 0) << "no emblem on a directory";
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\arc.zip")) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_TRUE(StateIs(L"Names", L"深い\r\ntop.txt\r\n")) << UnicodeToUtf8(State(L"Names"));
    EXPECT_TRUE(WaitUntil([&] { return EmblemViews() == 1; })) << "the archive view shows the skin's emblem";
    EXPECT_TRUE(WaitUntil([&] { return State(L"Status").rfind(L"in ZIP\t", 0) == 0; }))
        << "the info pane names the archive's kind: " << UnicodeToUtf8(State(L"Status"));
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\arc.zip/深い")) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_TRUE(StateIs(L"Names", L"日本語.txt\r\n"));
    Sleep(300);
    Screenshot(L"archive-folder");
    // The entry's contents onto the clipboard, read by the module.
    Keys(L"y");
    EXPECT_TRUE(WaitUntil([] { return ClipboardText() == "hello from the archive"; })) << ClipboardText();

    // Copied out: the destination dialog offers the other view's folder.
    Keys(L"c");
    Sleep(800);
    Keys(L"Return");
    const std::wstring copied = FTree + L"\\日本語.txt";
    ASSERT_TRUE(WaitUntil([&] { return ReadText(copied) == "hello from the archive"; })) << ReadText(copied);
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(L"NimbraFileOperation", nullptr) == nullptr; }));
    FocusProgram();

    // Out of the archive with the caret on it.
    Keys(L"BackSpace");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\arc.zip"));
    EXPECT_TRUE(StateIs(L"Caret", L"深い"));
    Keys(L"BackSpace");
    ASSERT_TRUE(StateIs(L"Folder", FTree));
    EXPECT_TRUE(StateIs(L"Caret", L"arc.zip"));

    // a.txt and c.txt marked, packed under a name typed over the proposal.
    Keys(L"ctrl+Home Down Down Down");
    ASSERT_TRUE(StateIs(L"Caret", L"a.txt")) << UnicodeToUtf8(State(L"Caret"));
    Keys(L"Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"a.txt\r\n"));
    ASSERT_TRUE(CaretDownTo(L"c.txt"));
    Keys(L"Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"a.txt\r\nc.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    ASSERT_TRUE(PackMarkedAs(L"packed.zip"));
    const std::wstring packed = FTree + L"\\packed.zip";
    ASSERT_TRUE(WaitUntil([&] { return GetFileAttributesW(packed.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    ASSERT_TRUE(WaitUntil([&] {
        return CopyFileW(packed.c_str(), FromUnix(scratch + L"/packed.zip").c_str(), FALSE) &&
               UnixOutput(L"unzip -t " + scratch + L"/packed.zip").find("No errors detected") != std::string::npos;
    }));
    std::string listing = UnixOutput(L"unzip -l " + scratch + L"/packed.zip");
    EXPECT_NE(listing.find("a.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("c.txt"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("b.log"), std::string::npos) << listing;
    // The view shows the new archive once it is written.
    EXPECT_TRUE(WaitUntil([&] { return State(L"Names").find(L"packed.zip") != std::wstring::npos; }));

    // The same marked files into a .tgz that tar accepts.
    ASSERT_TRUE(StateIs(L"Marked", L"a.txt\r\nc.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    ASSERT_TRUE(PackMarkedAs(L"packed.tgz"));
    const std::wstring tgz = FTree + L"\\packed.tgz";
    std::string names;
    EXPECT_TRUE(WaitUntil([&] {
        names = CopyFileW(tgz.c_str(), FromUnix(scratch + L"/packed.tgz").c_str(), FALSE)
                    ? UnixOutput(L"tar -tzf " + scratch + L"/packed.tgz && echo tar-ok")
                    : std::string();
        return names.find("tar-ok") != std::string::npos;
    })) << names;
    EXPECT_EQ(names, "a.txt\nc.txt\ntar-ok\n");

    // Into the same name again, with one file marked: asked first, since a
    // tar archive is written anew. "No" leaves it as it was; "yes" writes it.
    ASSERT_TRUE(WaitUntil([&] { return ReadText(tgz).size() > 0; }));
    const std::string before = ReadText(tgz);
    Keys(L"Insert");
    ASSERT_TRUE(StateIs(L"Marked", L"a.txt\r\n")) << UnicodeToUtf8(State(L"Marked"));
    for (int answer : {IDNO, IDYES}) {
        ASSERT_TRUE(PackMarkedAs(L"packed.tgz"));
        HWND question = nullptr;
        ASSERT_TRUE(WaitUntil([&] {
            question = WindowCaptioned(FProcessId, L"圧縮");
            return question != nullptr && GetDlgItem(question, IDNO) != nullptr;
        }));
        PostMessageW(question, WM_COMMAND, answer, 0);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(question); }));
        FocusProgram();
        if (answer == IDNO) {
            Sleep(1000);
            EXPECT_EQ(ReadText(tgz), before) << "\"no\" packs nothing";
        }
    }
    EXPECT_TRUE(WaitUntil([&] {
        names = CopyFileW(tgz.c_str(), FromUnix(scratch + L"/packed.tgz").c_str(), FALSE)
                    ? UnixOutput(L"tar -tzf " + scratch + L"/packed.tgz && echo tar-ok")
                    : std::string();
        return names == "a.txt\ntar-ok\n";
    })) << names;
    RemoveTree(FromUnix(scratch));
}

// An archive made elsewhere holds dup.txt and DUP.TXT: copying dup.txt out
// copies that entry, not the other one that differs only in letter case.
TEST_F(Archives, CopyingOutTakesTheEntryOfExactlyThatName)
{
    const std::wstring scratch = UnixScratch();
    UnixOutput(L"rm -rf " + scratch + L" && mkdir -p " + scratch + L" && cd " + scratch +
               L" && printf lower >dup.txt && printf UPPER >DUP.TXT && zip -q case.zip dup.txt DUP.TXT");
    ASSERT_TRUE(CopyFileW(FromUnix(scratch + L"/case.zip").c_str(), (FTree + L"\\case.zip").c_str(), FALSE));
    ASSERT_TRUE(SecondViewOnTheTree());
    ASSERT_TRUE(WaitUntil([&] { return State(L"Names").find(L"case.zip") != std::wstring::npos; }));
    ASSERT_TRUE(CaretDownTo(L"case.zip"));
    Keys(L"Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\case.zip")) << UnicodeToUtf8(State(L"Folder"));
    ASSERT_TRUE(CaretDownTo(L"dup.txt")) << UnicodeToUtf8(State(L"Names"));
    Keys(L"c");
    Sleep(800);
    Keys(L"Return");
    const std::wstring copied = FTree + L"\\dup.txt";
    EXPECT_TRUE(WaitUntil([&] { return ReadText(copied) == "lower"; })) << ReadText(copied);
    RemoveTree(FromUnix(scratch));
}

// A file that only has an archive's name: Enter says it cannot go in and
// leaves the view where it was, with the caret on it.
TEST_F(Archives, ABrokenArchiveLeavesTheViewWhereItWas)
{
    WriteFile(FTree + L"\\broken.zip", 50);
    Keys(L"F5");
    ASSERT_TRUE(WaitUntil([&] { return State(L"Names").find(L"broken.zip") != std::wstring::npos; }));
    ASSERT_TRUE(CaretDownTo(L"broken.zip"));
    Keys(L"Return");
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = WindowCaptioned(FProcessId, L"Nimbra")) != nullptr; }));
    EXPECT_TRUE(StateIs(L"Folder", FTree)) << UnicodeToUtf8(State(L"Folder"));
    EXPECT_TRUE(StateIs(L"Caret", L"broken.zip")) << UnicodeToUtf8(State(L"Caret"));
    FocusWindow(box);
    Keys(L"Return");
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
    // The view still answers.
    FocusProgram();
    Keys(L"ctrl+Home");
    EXPECT_TRUE(StateIs(L"Caret", L"alpha"));
}

// An LZH that jlha made, unpacked into the other view's folder.
TEST_F(Archives, UnpackAnLzhMadeByJlha)
{
    const std::wstring scratch = UnixScratch();
    UnixOutput(L"rm -rf " + scratch + L" && mkdir -p " + scratch + L"/l/sub && printf 'lzh text' >" + scratch +
               L"/l/sub/in.txt && cd " + scratch + L"/l && jlha a ../arc.lzh sub >/dev/null");
    ASSERT_TRUE(CopyFileW(FromUnix(scratch + L"/arc.lzh").c_str(), (FTree + L"\\arc.lzh").c_str(), FALSE));
    Keys(L"ctrl+t");
    ASSERT_TRUE(StateIs(L"Views", L"2 1"));
    Keys(L"Down Return");
    ASSERT_TRUE(StateIs(L"Folder", FTree + L"\\beta"));
    Keys(L"Tab F5");
    ASSERT_TRUE(StateIs(L"Views", L"2 0"));
    ASSERT_TRUE(WaitUntil([&] { return State(L"Names").find(L"arc.lzh") != std::wstring::npos; }));
    Keys(L"Down Down Down Down");
    ASSERT_TRUE(StateIs(L"Caret", L"arc.lzh")) << UnicodeToUtf8(State(L"Caret"));
    Keys(L"u");
    Sleep(800);
    Keys(L"Return");
    const std::wstring unpacked = FTree + L"\\beta\\sub\\in.txt";
    EXPECT_TRUE(WaitUntil([&] { return ReadText(unpacked) == "lzh text"; })) << ReadText(unpacked);

    // Unpacked again over a file changed meanwhile: the library asks first,
    // and "no" keeps the file.
    HANDLE file = CreateFileW(unpacked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, "mine", 4, &written, nullptr);
    CloseHandle(file);
    Keys(L"u");
    Sleep(800);
    Keys(L"Return");
    HWND question = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (question = WindowCaptioned(FProcessId, L"Unlha32.dll")) != nullptr; }));
    Screenshot(L"unpack-question");
    PostMessageW(question, WM_COMMAND, IDNO, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(question); }));
    Sleep(500);
    EXPECT_EQ(ReadText(unpacked), "mine");
    EXPECT_EQ(WindowCaptioned(FProcessId, L"展開"), nullptr) << "keeping the files is no failure";
    RemoveTree(FromUnix(scratch));
}
