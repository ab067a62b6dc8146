// The incremental search window, driven by the characters and keys posted
// to it on the window's thread, and the folder comparison.

// Own
#include "actions/UActionsInternal.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LActions.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/PumpUntil.h"
#include "tests/view/WindowThread.h"

using namespace actionsinternal;

namespace {

struct TThreadWindowSearch {
    const wchar_t* ClassName;
    const wchar_t* Title;
    HWND Found;
};

BOOL CALLBACK FindThreadWindow(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<TThreadWindowSearch*>(data);
    wchar_t text[128] = {};
    if (!IsWindowVisible(window))
        return TRUE;
    if (search->ClassName != nullptr && (GetClassNameW(window, text, 128) == 0 || lstrcmpW(text, search->ClassName) != 0))
        return TRUE;
    if (search->Title != nullptr && (GetWindowTextW(window, text, 128) < 0 || lstrcmpW(text, search->Title) != 0))
        return TRUE;
    search->Found = window;
    return FALSE;
}

HWND VisibleThreadWindow(TWindowThread& window, const wchar_t* className, const wchar_t* title)
{
    TThreadWindowSearch search{className, title, nullptr};
    EnumThreadWindows(window.Thread()->ThreadId(), FindThreadWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// The search window, opened through its action.
class TSearchWindow {
public:
    explicit TSearchWindow(TWindowThread& window) : FWindow(window)
    {
        window.PostAction("IncrementalSearch");
        EXPECT_TRUE(PumpUntil([&] { return (FHandle = VisibleThreadWindow(window, kIncrementalSearchClass, nullptr)); }));
    }
    ~TSearchWindow()
    {
        if (Open())
            PostMessageW(FHandle, WM_CHAR, L'\r', 0);
        EXPECT_TRUE(PumpUntil([&] { return !Open(); }));
    }

    HWND Handle() const { return FHandle; }
    bool Open() const { return FHandle != nullptr && IsWindow(FHandle) && IsWindowVisible(FHandle); }

    void Type(std::wstring_view characters)
    {
        for (wchar_t c : characters)
            PostMessageW(FHandle, WM_CHAR, c, 0);
    }
    void Press(UINT key) { PostMessageW(FHandle, WM_KEYDOWN, key, 0); }

    // The text once the window has handled everything up to it.
    bool WaitForText(const std::wstring& expected)
    {
        return PumpUntil([&] { return Text() == expected; }, 10000);
    }
    std::wstring Text()
    {
        return FWindow.Locked([&](TFilerView*) {
            auto* dialog = dynamic_cast<TIncrementalSearchDialog*>(ProcessWindowOf(FHandle));
            return dialog != nullptr ? dialog->SearchText() : std::wstring(L"<gone>");
        });
    }

private:
    TWindowThread& FWindow;
    HWND FHandle = nullptr;
};

std::wstring CaretName(TWindowThread& window)
{
    return window.Locked([](TFilerView* view) {
        TFileItem* item = view->CaretItem();
        return item != nullptr ? std::wstring(item->Name, static_cast<size_t>(item->NameLen)) : std::wstring();
    });
}

void SetCaret(TWindowThread& window, const wchar_t* name)
{
    window.Locked([&](TFilerView* view) { view->SetCaretByNameText(name); });
}

void SetClipboardText(const std::wstring& text)
{
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    auto* chars = static_cast<wchar_t*>(GlobalLock(memory));
    std::copy(text.c_str(), text.c_str() + text.size() + 1, chars);
    GlobalUnlock(memory);
    SetClipboardData(CF_UNICODETEXT, memory);
    CloseClipboard();
}

} // namespace

// The longest matching prefix wins, the earlier entry on a tie, letter case
// aside; a last character that matches nothing keeps the longest match.
TEST(IncrementalSearch, MovesTheCaretToTheLongestPrefixEarlierOnTies)
{
    TempFolder dir;
    dir.MakeFile(L"Abc.txt");
    dir.MakeFile(L"abd.txt");
    dir.MakeFile(L"xyz.txt");
    TWindowThread window(dir.Path());
    SetCaret(window, L"xyz.txt");
    TSearchWindow search(window);

    search.Type(L"AB");
    ASSERT_TRUE(search.WaitForText(L"AB"));
    EXPECT_EQ(CaretName(window), L"Abc.txt");
    search.Type(L"d");
    ASSERT_TRUE(search.WaitForText(L"ABd"));
    EXPECT_EQ(CaretName(window), L"abd.txt");
    search.Type(L"q");
    ASSERT_TRUE(search.WaitForText(L"ABdq"));
    EXPECT_EQ(CaretName(window), L"abd.txt");
    search.Type(L"\b\b");
    ASSERT_TRUE(search.WaitForText(L"AB"));
    EXPECT_EQ(CaretName(window), L"Abc.txt");
    // Up and Down take the name they land on and do not search.
    search.Press(VK_DOWN);
    ASSERT_TRUE(search.WaitForText(L"abd.txt"));
    EXPECT_EQ(CaretName(window), L"abd.txt");
    // Escape in the start folder only clears the text; a text that no
    // name starts with leaves the caret alone.
    search.Type(L"\x1b" L"z");
    ASSERT_TRUE(search.WaitForText(L"z"));
    EXPECT_EQ(CaretName(window), L"abd.txt");
}

// Backspace on an empty text goes up and shows the folder left; the first
// Escape goes back to where the search began and stays open, the second
// closes.
TEST(IncrementalSearch, BackspaceGoesUpAndEscapeReturnsThenCloses)
{
    TempFolder dir;
    dir.MakeDir(L"a_first");
    std::wstring sub = dir.MakeDir(L"sub");
    TWindowThread window(sub);
    TSearchWindow search(window);

    search.Type(L"\b");
    ASSERT_TRUE(search.WaitForText(L"sub"));
    EXPECT_EQ(window.FolderPath(), dir.Path());
    EXPECT_EQ(CaretName(window), L"sub");

    search.Type(L"\x1b");
    ASSERT_TRUE(search.WaitForText(L""));
    EXPECT_EQ(window.FolderPath(), sub);
    EXPECT_TRUE(search.Open());

    search.Type(L"\x1b");
    EXPECT_TRUE(PumpUntil([&] { return !search.Open(); }, 10000));
    EXPECT_EQ(window.FolderPath(), sub);
}

// A backslash on an empty text goes to the drive root; the next character
// replaces the lone backslash.
TEST(IncrementalSearch, BackslashGoesToTheRoot)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    TSearchWindow search(window);
    search.Type(L"\\");
    ASSERT_TRUE(search.WaitForText(L"\\"));
    EXPECT_EQ(window.FolderPath(), dir.Path().substr(0, 3));
    search.Type(L"x");
    EXPECT_TRUE(search.WaitForText(L"x"));
}

// A pasted folder is shown; a pasted file shows its folder with the caret
// on it; text that names nothing beeps and leaves the view where it is.
TEST(IncrementalSearch, PasteGoesToAFolderOrToAFilesFolder)
{
    TempFolder dir;
    std::wstring sub = dir.MakeDir(L"sub");
    dir.MakeFile(L"sub\\a.txt");
    dir.MakeFile(L"sub\\target.txt");
    TWindowThread window(dir.Path());
    TSearchWindow search(window);

    SetClipboardText(sub);
    search.Type(L"q\x16");
    // The text is cleared once the view has its new folder, which the view
    // shows before the paste is over.
    ASSERT_TRUE(PumpUntil([&] { return window.FolderPath() == sub; }, 10000));
    EXPECT_TRUE(search.WaitForText(L""));

    SetClipboardText(L"\"" + dir.Path() + L"\\sub\\target.txt\"\r\n");
    search.Type(L"\x16");
    ASSERT_TRUE(search.WaitForText(L"target.txt"));
    EXPECT_EQ(window.FolderPath(), sub);
    EXPECT_EQ(CaretName(window), L"target.txt");

    // Neither a missing path nor plain words lead anywhere (the path parser
    // would make the current directory of them).
    for (std::wstring text : {dir.Path() + L"\\missing\\deeper\\x.txt", std::wstring(L"no such place")}) {
        SetClipboardText(text);
        search.Type(L"k\x16" L"m");
        ASSERT_TRUE(search.WaitForText(L"target.txtkm"));
        EXPECT_EQ(window.FolderPath(), sub);
        search.Type(L"\b\b");
        ASSERT_TRUE(search.WaitForText(L"target.txt"));
    }
}

// The four conditions, with the time tie on the side the captions say, and
// names that differ only in case.
TEST(CompareView, ConditionsAndTheirTies)
{
    const FILETIME early{1000, 1}, late{2000, 1};
    std::vector<TCompareEntry> here = {
        {L"same.txt", early}, {L"NEWER.txt", late}, {L"older.txt", early}, {L"only.txt", early}, {L"sub", early}};
    std::vector<TCompareEntry> there = {
        {L"sub", late}, {L"older.txt", late}, {L"newer.TXT", early}, {L"same.txt", early}, {L"elsewhere", late}};
    EXPECT_EQ(CompareEntries(here, there, TCompareMode::Missing), (std::vector<bool>{0, 0, 0, 1, 0}));
    EXPECT_EQ(CompareEntries(here, there, TCompareMode::Newer), (std::vector<bool>{0, 1, 0, 1, 0}));
    EXPECT_EQ(CompareEntries(here, there, TCompareMode::Present), (std::vector<bool>{1, 1, 1, 0, 1}));
    EXPECT_EQ(CompareEntries(here, there, TCompareMode::Older), (std::vector<bool>{0, 0, 1, 0, 1}));
    // A name there twice: one counterpart of the same time is enough to
    // make the item not newer.
    std::vector<TCompareEntry> twice = {{L"A", early}, {L"a", late}};
    EXPECT_EQ(CompareEntries({{L"a", late}}, twice, TCompareMode::Newer), std::vector<bool>{false});
    EXPECT_EQ(CompareEntries({{L"a", early}}, twice, TCompareMode::Older), std::vector<bool>{true});
}

namespace {

void SetWriteTime(const std::wstring& path, const FILETIME& time)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &time));
}

bool CompareEnabled(TWindowThread& window, bool expected)
{
    ComPtr<IAction> action =
        window.Locked([&](TFilerView*) { return window.Thread()->ActionManager()->Find("CompareView"); });
    return PumpUntil(
        [&] {
            Application()->IdleStep();
            return window.Locked([&](TFilerView*) { return action->GetEnabled(); }) == expected;
        },
        5000);
}

struct TRadioSearch {
    int Wanted;
    std::vector<HWND> Radios;
};

BOOL CALLBACK CollectRadios(HWND child, LPARAM data)
{
    auto* search = reinterpret_cast<TRadioSearch*>(data);
    if ((GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON)
        search->Radios.push_back(child);
    return TRUE;
}

} // namespace

// Through the dialog on a window of two views: each mode replaces the
// selection of the current view; subfolders take part by name and time.
TEST(CompareView, SelectsInTheCurrentViewAgainstTheChosenOne)
{
    TempFolder dir;
    std::wstring there = dir.MakeDir(L"there"), here = dir.MakeDir(L"here");
    FILETIME early{0x12345678, 0x01D00000}, late{0x12345678, 0x01D10000};
    const std::vector<std::tuple<const wchar_t*, FILETIME, FILETIME>> files = {
        {L"same.txt", early, early}, {L"NEWER.txt", late, early}, {L"older.txt", early, late}};
    for (auto [name, hereTime, thereTime] : files) {
        std::wstring lower = name;
        CharLowerW(lower.data());
        SetWriteTime(dir.MakeFile(L"here\\" + std::wstring(name)), hereTime);
        SetWriteTime(dir.MakeFile(L"there\\" + lower), thereTime);
    }
    dir.MakeFile(L"here\\only.txt");
    dir.MakeDir(L"here\\sub");
    dir.MakeDir(L"there\\sub");
    SetWriteTime(dir / L"here\\sub", early);
    SetWriteTime(dir / L"there\\sub", late);

    TWindowThread window(there);
    EXPECT_TRUE(CompareEnabled(window, false));
    window.PostAction("OpenView");
    ASSERT_TRUE(PumpUntil([&] { return window.Locked([&](TFilerView*) { return window.Window()->ViewCount(); }) == 2; }));
    window.Window()->QueueNavigation(TPath::FromPath(here));
    ASSERT_TRUE(PumpUntil([&] { return window.FolderPath() == here && window.Locked([](TFilerView* v) { return v->Count(); }) == 5; }));
    EXPECT_TRUE(CompareEnabled(window, true));

    const std::vector<std::vector<std::wstring>> expected = {
        {L"only.txt"},
        {L"NEWER.txt", L"only.txt"},
        {L"sub", L"NEWER.txt", L"older.txt", L"same.txt"},
        {L"sub", L"older.txt"},
    };
    for (int mode = 0; mode < 4; ++mode) {
        // An earlier selection is replaced, not added to.
        window.Locked([](TFilerView* view) { view->MarkAll(true); });
        window.PostAction("CompareView");
        HWND dialog = nullptr;
        ASSERT_TRUE(PumpUntil([&] { return (dialog = VisibleThreadWindow(window, nullptr, L"フォルダを比較")); }));
        TRadioSearch radios{mode, {}};
        EnumChildWindows(dialog, CollectRadios, reinterpret_cast<LPARAM>(&radios));
        ASSERT_EQ(radios.Radios.size(), 4u);
        wchar_t caption[16] = {};
        GetWindowTextW(radios.Radios[0], caption, 16);
        EXPECT_STREQ(caption, L"無い");
        EXPECT_EQ(SendMessageW(radios.Radios[0], BM_GETCHECK, 0, 0), BST_CHECKED);
        for (int i = 0; i < 4; ++i)
            SendMessageW(radios.Radios[static_cast<size_t>(i)], BM_SETCHECK, i == mode ? BST_CHECKED : BST_UNCHECKED, 0);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
        // The window applies the choice once it has its hold back, which
        // may come after the dialog is gone.
        EXPECT_TRUE(PumpUntil([&] { return window.Marked() == expected[static_cast<size_t>(mode)]; }, 5000))
            << "mode " << mode << ": " << testing::PrintToString(window.Marked());
    }
}

// Two backslashes go to the network neighbourhood; a server name typed
// there that nobody answers beeps and keeps the text and the folder, and
// Backspace takes the name back character by character.
TEST(IncrementalSearch, TwoBackslashesGoToTheNetworkAndAServerThatIsNotThereKeepsTheText)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    TSearchWindow search(window);
    search.Type(L"\\\\");
    ASSERT_TRUE(search.WaitForText(L"\\\\"));
    bool network = window.Locked([](TFilerView* view) {
        TPath location;
        view->Folder()->GetPath(&location);
        return location.IDList != nullptr;
    });
    EXPECT_TRUE(network) << "the view shows " << testing::PrintToString(window.FolderPath());
    std::wstring shown = window.FolderPath();
    search.Type(L"nimbra-no-such-server\\");
    ASSERT_TRUE(search.WaitForText(L"\\\\nimbra-no-such-server"));
    // The window has handled the backslash when it handles what follows.
    search.Type(L"\b");
    ASSERT_TRUE(search.WaitForText(L"\\\\nimbra-no-such-serve"));
    EXPECT_EQ(window.FolderPath(), shown);
}

// The search window sits over the caret's row; a caret scrolled out of
// sight puts it at the edge of the list it lies beyond, never outside the
// view.
TEST(IncrementalSearch, TheWindowStaysInsideTheViewWhenTheCaretIsScrolledAway)
{
    TempFolder dir;
    for (int i = 0; i < 300; ++i)
        dir.MakeFile(L"f" + std::to_wstring(1000 + i) + L".txt");
    TWindowThread window(dir.Path());
    SetCaret(window, L"f1299.txt");
    HWND list = window.Locked([](TFilerView* view) { return view->Handle(); });
    SendMessageW(list, WM_VSCROLL, SB_TOP, 0);
    RECT view{};
    GetWindowRect(list, &view);
    TSearchWindow search(window);
    RECT placed{};
    GetWindowRect(search.Handle(), &placed);
    EXPECT_GE(placed.top, view.top);
    EXPECT_LE(placed.bottom, view.bottom);
    EXPECT_GT(placed.top, (view.top + view.bottom) / 2) << "the caret lies below: the window is at the bottom";
    search.Type(L"\x1b\x1b");
}
