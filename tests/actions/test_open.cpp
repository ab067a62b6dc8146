// Opening files: Enter and its variants on real window threads, a file type
// registered for the test whose programs are the stand-in editor, shortcuts
// made by the test, and the messages shown when something cannot be opened.

// Own
#include "actions/UActionsInternal.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

// Standard library
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/LockFaults.h"
#include "tests/PumpUntil.h"
#include "tests/view/WindowThread.h"

using namespace actionsinternal;

namespace {

constexpr const wchar_t* kExtension = L".nimopentest";
constexpr const wchar_t* kProgId = L"Nimbra.OpenTest";
constexpr const wchar_t* kOpenAs = L"Unknown\\Shell\\OpenAs\\Command";
constexpr const wchar_t* kLinkFailurePrefix = L"ショートカットの解決に失敗しました.\r\n(報告時はこれも併記してね→ ";

std::wstring TestDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L'\\') + 1);
}

std::wstring EditorCommand()
{
    return L"\"" + TestDirectory() + L"fake_editor.exe\" \"%1\"";
}

bool SetDefaultValue(HKEY root, const std::wstring& subKey, const std::wstring& value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// The default value as the classes root shows it; none when missing.
std::optional<std::wstring> ClassesValue(const std::wstring& subKey)
{
    wchar_t value[1024] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(value);
}

// A file type whose "open" and "nimcheck" verbs and the open-with command
// all start the stand-in editor; written where the classes root sees it
// (the user's classes, or the machine's where those are not merged in) and
// taken out again, the open-with command put back as it was.
class TRegisteredType {
public:
    TRegisteredType()
    {
        FRoot = HKEY_CURRENT_USER;
        Write();
        if (ClassesValue(kExtension) != std::wstring(kProgId)) {
            Remove();
            FRoot = HKEY_LOCAL_MACHINE;
            FPreviousOpenAs = ClassesValue(kOpenAs);
            Write();
        }
        EXPECT_EQ(ClassesValue(kExtension), std::wstring(kProgId));
        EXPECT_EQ(ClassesValue(kOpenAs), EditorCommand());
    }
    ~TRegisteredType()
    {
        Remove();
        if (FRoot != HKEY_LOCAL_MACHINE)
            return;
        if (FPreviousOpenAs) {
            SetDefaultValue(FRoot, Classes(kOpenAs), *FPreviousOpenAs);
            return;
        }
        // The keys made for the command go again, each only when nothing
        // else is left in it.
        for (const wchar_t* key : {kOpenAs, L"Unknown\\Shell\\OpenAs", L"Unknown\\Shell", L"Unknown"})
            RegDeleteKeyW(FRoot, Classes(key).c_str());
    }

private:
    static std::wstring Classes(const std::wstring& subKey) { return L"Software\\Classes\\" + subKey; }
    void Write()
    {
        const std::wstring type = kProgId;
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(kExtension), type));
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(type), L"Nimbra test document"));
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(type + L"\\shell"), L"open"));
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(type + L"\\shell\\open\\command"), EditorCommand()));
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(type + L"\\shell\\nimcheck"), L"ニム確認(&K)"));
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(type + L"\\shell\\nimcheck\\command"), EditorCommand()));
        EXPECT_TRUE(SetDefaultValue(FRoot, Classes(kOpenAs), EditorCommand()));
    }
    void Remove()
    {
        RegDeleteTreeW(FRoot, Classes(kExtension).c_str());
        RegDeleteTreeW(FRoot, Classes(kProgId).c_str());
        if (FRoot == HKEY_CURRENT_USER)
            RegDeleteTreeW(FRoot, Classes(L"Unknown").c_str());
        else
            RegDeleteKeyValueW(FRoot, Classes(kOpenAs).c_str(), nullptr);
    }

    HKEY FRoot;
    std::optional<std::wstring> FPreviousOpenAs;
};

// Where the stand-in editor reports: what it was given (SEEN, the last
// start) and one line per start (LOG). It ends at once (GO exists).
class TEditorReport {
public:
    explicit TEditorReport(const TempFolder& dir)
        : FSeen(dir / L"seen.out"), FLog(dir / L"log.out"), FGo(dir / L"go.out")
    {
        dir.MakeFile(L"go.out");
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_SEEN", FSeen.c_str());
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_LOG", FLog.c_str());
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_GO", FGo.c_str());
    }
    ~TEditorReport()
    {
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_SEEN", nullptr);
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_LOG", nullptr);
        SetEnvironmentVariableW(L"NIMBRA_EDITOR_GO", nullptr);
    }
    // What the editor was given and read, once it has been started.
    std::optional<std::string> WaitSeen()
    {
        if (!PumpUntil([&] { return FileExists(FSeen); }, 15000))
            return std::nullopt;
        return ReadFileBytes(FSeen);
    }
    // The starts so far, after a moment for a second one to show up.
    int Starts()
    {
        PumpUntil([] { return false; }, 1500);
        std::string log = ReadFileBytes(FLog).value_or("");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }

private:
    std::wstring FSeen, FLog, FGo;
};

std::string Utf8(const std::wstring& text)
{
    return UnicodeToUtf8(text);
}

struct TWindowSearch {
    const wchar_t* ChildClass;
    HWND Found;
};

// A visible dialog of the thread: a message box (null child class), or a
// window with a child of that class.
BOOL CALLBACK FindDialog(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<TWindowSearch*>(data);
    if (!IsWindowVisible(window))
        return TRUE;
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    bool match = search->ChildClass == nullptr
                     ? std::wstring(name) == L"#32770" && GetDlgItem(window, 0xFFFF) != nullptr
                     : FindWindowExW(window, nullptr, search->ChildClass, nullptr) != nullptr;
    if (match) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(TWindowThread& window, const wchar_t* childClass, DWORD timeout = 10000)
{
    TWindowSearch search{childClass, nullptr};
    PumpUntil(
        [&] {
            EnumThreadWindows(window.Thread()->ThreadId(), FindDialog, reinterpret_cast<LPARAM>(&search));
            return search.Found != nullptr;
        },
        timeout);
    return search.Found;
}

// The text of a message box, which is then closed.
std::wstring TakeMessageBox(TWindowThread& window)
{
    HWND box = WaitForDialog(window, nullptr);
    if (box == nullptr)
        return {};
    wchar_t text[2048] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    PumpUntil([&] { return !IsWindow(box); }, 5000);
    return text;
}

std::wstring CaretName(TWindowThread& window)
{
    return window.Locked([](TFilerView* view) {
        TFileItem* caret = view->CaretItem();
        return caret != nullptr ? std::wstring(caret->Name, static_cast<size_t>(caret->NameLen)) : std::wstring();
    });
}

void PutCaret(TWindowThread& window, const wchar_t* name)
{
    window.Locked([&](TFilerView* view) { view->SetCaretByNameText(name); });
    ASSERT_EQ(CaretName(window), name);
}

bool MakeShellLink(const std::wstring& link, const std::wstring& target)
{
    ComPtr<IShellLinkW> shellLink;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(shellLink.put()))))
        return false;
    ComPtr<IPersistFile> file;
    return SUCCEEDED(shellLink->SetPath(target.c_str())) &&
           SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) &&
           SUCCEEDED(file->Save(link.c_str(), TRUE));
}

// Has the application run an idle step, which wakes every window thread
// for its own: the actions there bring their state up to date, as they do
// in the running program between two keys.
void IdleStep()
{
    for (int tries = 0; tries < 1000 && !Application()->IdleStep(); ++tries)
        Sleep(1);
}

// Performs an action as its key would, once the window's idle steps have
// made it enabled (and, for the actions that delegate, taken the caption of
// the expected delegate).
void Press(TWindowThread& window, const char* name, const wchar_t* caption = nullptr)
{
    EXPECT_TRUE(PumpUntil([&] {
        IdleStep();
        return window.Locked([&](TFilerView*) {
            ComPtr<IAction> action = window.Thread()->ActionManager()->Find(name);
            return action->GetEnabled() && (caption == nullptr || ItemCaption(action.get()) == caption);
        });
    }, 5000)) << name << " never became ready";
    window.PostAction(name);
}

// Cancels a dialog a failed check left open (Escape on its control), so
// the window can close.
struct TDialogCloser {
    HWND Control;
    ~TDialogCloser()
    {
        if (Control != nullptr && IsWindowVisible(Control))
            PostMessageW(Control, WM_KEYDOWN, VK_ESCAPE, 0);
    }
};

// The captions and hints of "Default", as its last idle step left them.
std::wstring DefaultCaption(TWindowThread& window, bool* enabled)
{
    return window.Locked([&](TFilerView*) {
        ComPtr<IAction> action = window.Thread()->ActionManager()->Find("Default");
        *enabled = action->GetEnabled();
        return ItemCaption(action.get());
    });
}

} // namespace

// The open-with command line: the name goes in for every "%1" as it is,
// with no quotes of its own and without being searched again.
TEST(OpenWithCommand, PutsTheNameInForEveryPercentOne)
{
    struct TRow {
        const wchar_t* Command;
        const wchar_t* Name;
        const wchar_t* Expected;
    };
    const TRow rows[] = {
        {L"\"C:\\x.exe\" \"%1\"", L"a b.txt", L"\"C:\\x.exe\" \"a b.txt\""},
        {L"run %1 %1", L"n.txt", L"run n.txt n.txt"},
        {L"run %10", L"n", L"run n0"},
        {L"run %1", L"50%1%2.txt", L"run 50%1%2.txt"},
        {L"run %2 %% %", L"n", L"run %2 %% %"},
        {L"%1", L"%TEMP%", L"%TEMP%"},
        {L"run", L"n", L"run"},
    };
    for (const TRow& row : rows) {
        std::wstring line;
        EXPECT_TRUE(OpenWithCommandLine(row.Command, row.Name, line)) << Utf8(row.Command);
        EXPECT_EQ(line, row.Expected) << Utf8(row.Command);
    }
    std::wstring line = L"left over";
    EXPECT_FALSE(OpenWithCommandLine(L"x \"%1\"", L"a\" & evil \"", line));
    EXPECT_TRUE(line.empty());

    EXPECT_TRUE(IsShellLinkName(L"a.lnk"));
    EXPECT_TRUE(IsShellLinkName(L"A.LNK"));
    EXPECT_TRUE(IsShellLinkName(L".Lnk"));
    EXPECT_FALSE(IsShellLinkName(L"a.lnk.txt"));
    EXPECT_FALSE(IsShellLinkName(L"alnk"));
    EXPECT_FALSE(IsShellLinkName(L"a.lnkx"));
    EXPECT_FALSE(IsShellLinkName(L"a.ln"));
}

// Which action Enter means, at the edges of each rule: a folder, a
// shortcut in capitals, a file, the same file marked, a name that only
// contains ".lnk".
TEST(OpenActions, EnterPicksTheActionTheCaretItemCallsFor)
{
    TempFolder dir;
    dir.MakeDir(L"sub");
    dir.MakeFile(L"a.txt");
    dir.MakeFile(L"b.LNK");
    dir.MakeFile(L"c.lnk.txt");
    TWindowThread window(dir.Path());

    struct TRow {
        const wchar_t* Caret;
        bool Mark;
        bool OpenDirectly;
        bool ShellLink;
        bool Property;
        const wchar_t* DefaultCaption; // null: "Default" is disabled
    };
    const TRow rows[] = {
        {L"sub", false, false, false, true, L"フォルダに入る"},
        {L"b.LNK", false, true, true, true, L"リンク先へ移動"},
        {L"a.txt", false, true, false, true, L"開く"},
        {L"c.lnk.txt", false, true, false, true, L"開く"},
        {L"a.txt", true, false, false, false, nullptr},
        {L"b.LNK", true, false, true, false, L"リンク先へ移動"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(Utf8(row.Caret) + (row.Mark ? " marked" : ""));
        PutCaret(window, row.Caret);
        window.Locked([&](TFilerView* v) {
            v->MarkAll(false);
            if (row.Mark)
                v->SetMark(v->CaretIndex(), true);
            EXPECT_EQ(CanOpenFileDirectly(v), row.OpenDirectly);
            EXPECT_EQ(CanToShellLink(v), row.ShellLink);
            EXPECT_EQ(CanShowProperty(v), row.Property);
        });
        // The window's next idle step settles "Default".
        // With nothing to delegate to it is disabled and keeps its looks.
        bool enabled = false;
        EXPECT_TRUE(PumpUntil([&] {
            IdleStep();
            std::wstring caption = DefaultCaption(window, &enabled);
            return row.DefaultCaption != nullptr ? enabled && caption == row.DefaultCaption : !enabled;
        }, 5000)) << Utf8(DefaultCaption(window, &enabled));
    }
    window.Locked([](TFilerView* v) { v->MarkAll(false); });
}

// "DefaultShort" on a document starts its program once, with the document,
// and does not go on to the open-with dialog as well.
TEST(OpenActions, DefaultShortStartsTheAssociatedProgramOnce)
{
    TempFolder dir;
    TRegisteredType type;
    TEditorReport report(dir);
    std::wstring document = dir.MakeFile(std::wstring(L"文書 1") + kExtension, "contents");
    TWindowThread window(dir.Path());
    PutCaret(window, (std::wstring(L"文書 1") + kExtension).c_str());
    Press(window, "DefaultShort", L"問い合わせずに開く");
    std::optional<std::string> seen = report.WaitSeen();
    ASSERT_TRUE(seen) << "the program was not started";
    EXPECT_EQ(*seen, Utf8(document) + "\ncontents");
    EXPECT_EQ(report.Starts(), 1);
}

// The open-with command gets the bare name, run in the file's folder: a
// name with spaces and with text that looks like an environment reference
// reaches it as it is.
TEST(OpenActions, OpenWithGetsTheNameAsItIsInTheFilesFolder)
{
    TempFolder dir;
    TRegisteredType type;
    TEditorReport report(dir);
    const std::wstring name = L"100%TEMP% a.txt";
    dir.MakeFile(name, "percent");
    TWindowThread window(dir.Path());
    PutCaret(window, name.c_str());
    Press(window, "OpenFileAs");
    std::optional<std::string> seen = report.WaitSeen();
    ASSERT_TRUE(seen) << "the open-with command was not started";
    // The editor read the file by its bare name: it ran in the file's folder.
    EXPECT_EQ(*seen, Utf8(name) + "\npercent");
    EXPECT_EQ(report.Starts(), 1);
}

// Without a registered open-with command (this system has none of its
// own) the user is told so.
TEST(OpenActions, OpenWithWithoutARegisteredCommandSaysSo)
{
    std::optional<std::wstring> registered = ClassesValue(kOpenAs);
    if (registered && !registered->empty())
        GTEST_SKIP() << "this system has an open-with command of its own";
    TempFolder dir;
    dir.MakeFile(L"a.txt");
    TWindowThread window(dir.Path());
    Press(window, "OpenFileAs");
    std::wstring text = TakeMessageBox(window);
    EXPECT_NE(text.find(L"Unknown\\Shell\\OpenAs\\Command"), std::wstring::npos) << Utf8(text);
}

// "OpenFile" lists the shell's verbs by their captions without the access
// key ("開く(&O)" is "開く"), titled with the file's name; choosing one
// runs that verb on the file (here "コピー", which puts the file on the
// clipboard: the shell's "open" of this system starts a folder window).
TEST(OpenActions, OpenFileListsTheShellsVerbsAndPerformsTheChosenOne)
{
    TempFolder dir;
    const std::wstring name = L"doc.txt";
    std::wstring document = dir.MakeFile(name, "verb");
    dir.MakeFile(L"other.txt");
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
    TWindowThread window(dir.Path());
    PutCaret(window, name.c_str());
    Press(window, "OpenFile");
    HWND dialog = WaitForDialog(window, WC_TREEVIEWW);
    ASSERT_NE(dialog, nullptr) << "no choice was shown";
    HWND tree = FindWindowExW(dialog, nullptr, WC_TREEVIEWW, nullptr);
    TDialogCloser closer{tree};
    wchar_t title[256] = {};
    GetWindowTextW(dialog, title, 256);
    EXPECT_EQ(std::wstring(title), name + L"を開く");
    std::vector<std::wstring> captions;
    HTREEITEM chosen = nullptr;
    for (auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0)); item != nullptr;
         item = reinterpret_cast<HTREEITEM>(
             SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
        wchar_t text[256] = {};
        TVITEMW info{};
        info.mask = TVIF_TEXT;
        info.hItem = item;
        info.pszText = text;
        info.cchTextMax = 256;
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&info));
        captions.emplace_back(text);
        if (captions.back() == L"コピー")
            chosen = item;
    }
    std::string all;
    for (const std::wstring& caption : captions)
        all += Utf8(caption) + "|";
    EXPECT_NE(std::find(captions.begin(), captions.end(), L"開く"), captions.end()) << all;
    for (const std::wstring& caption : captions)
        EXPECT_EQ(caption.find(L'&'), std::wstring::npos) << all;
    ASSERT_NE(chosen, nullptr) << all;
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(chosen));
    PostMessageW(tree, WM_KEYDOWN, VK_RETURN, 0);
    std::wstring copied;
    EXPECT_TRUE(PumpUntil([&] {
        if (!IsClipboardFormatAvailable(CF_HDROP) || !OpenClipboard(nullptr))
            return false;
        if (auto drop = static_cast<HDROP>(GetClipboardData(CF_HDROP))) {
            wchar_t file[MAX_PATH] = {};
            if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1 && DragQueryFileW(drop, 0, file, MAX_PATH) > 0)
                copied = file;
        }
        CloseClipboard();
        return !copied.empty();
    }, 10000)) << "the verb did not run";
    EXPECT_EQ(copied, document);
}

// "Default" on a shortcut lands in its target's folder with the caret on
// the target; a shortcut whose target is gone says so.
TEST(OpenActions, DefaultFollowsAShortcutOrSaysWhyItCannot)
{
    TempFolder dir;
    std::wstring targetDir = dir.MakeDir(L"target");
    std::wstring target = dir.MakeFile(L"target\\zz.txt");
    dir.MakeFile(L"target\\aa.txt");
    ASSERT_TRUE(MakeShellLink(dir / L"go.lnk", target));
    std::wstring lost = dir.MakeFile(L"lost.txt");
    ASSERT_TRUE(MakeShellLink(dir / L"lost.lnk", lost));
    ASSERT_TRUE(DeleteFileW(lost.c_str()));

    TWindowThread window(dir.Path());
    PutCaret(window, L"go.lnk");
    Press(window, "Default", L"リンク先へ移動");
    EXPECT_TRUE(PumpUntil([&] { return window.FolderPath() == targetDir && CaretName(window) == L"zz.txt"; }, 10000))
        << Utf8(window.FolderPath()) << " " << Utf8(CaretName(window));

    TWindowThread other(dir.Path());
    PutCaret(other, L"lost.lnk");
    Press(other, "Default", L"リンク先へ移動");
    std::wstring text = TakeMessageBox(other);
    EXPECT_EQ(text.substr(0, std::wstring(kLinkFailurePrefix).size()), kLinkFailurePrefix) << Utf8(text);
    EXPECT_NE(text.find(dir / L"lost.lnk"), std::wstring::npos) << Utf8(text);
    EXPECT_EQ(text.back(), L')');
    EXPECT_EQ(other.FolderPath(), dir.Path());
}

// A console that cannot be started is reported, not passed over; COMSPEC
// is taken up to 1024 characters and not cut down to another program.
TEST(OpenActions, AConsoleThatCannotStartIsReported)
{
    TempFolder dir;
    wchar_t saved[1100] = {};
    DWORD length = GetEnvironmentVariableW(L"COMSPEC", saved, 1100);
    const std::wstring longest = L"C:\\" + std::wstring(1021, L'c');
    SetEnvironmentVariableW(L"COMSPEC", longest.c_str());
    EXPECT_EQ(ConsoleProgram(), longest);
    SetEnvironmentVariableW(L"COMSPEC", (longest + L"c").c_str());
    EXPECT_EQ(ConsoleProgram(), L"");

    TWindowThread window(dir.Path());
    Press(window, "Console");
    std::wstring tooLong = TakeMessageBox(window);
    SetEnvironmentVariableW(L"COMSPEC", (dir / L"no-such-shell.exe").c_str());
    Press(window, "Console");
    std::wstring missing = TakeMessageBox(window);
    SetEnvironmentVariableW(L"COMSPEC", length > 0 ? saved : nullptr);
    EXPECT_NE(tooLong.find(L"COMSPEC"), std::wstring::npos) << Utf8(tooLong);
    EXPECT_NE(missing.find(L"no-such-shell.exeを起動できません"), std::wstring::npos) << Utf8(missing);
}
