// The clipboard actions on real window threads and the prefix's clipboard:
// what copy and cut put there, the order of the paste list, a cut pasted in
// another window, and file contents put on the clipboard as text.

// Own
#include "actions/UActions.h"
#include "actions/UActionsInternal.h"

// View
#include "view/UView.h"

// Folders
#include "folders/ShlUtils.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>

// Standard library
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/LockFaults.h"
#include "tests/PumpUntil.h"
#include "tests/folders/TempFolder.h"
#include "tests/view/WindowThread.h"

using namespace actionsinternal;

namespace {

const std::wstring kForced = L"効果が記録されてないが意地と度胸で強制的に";

BOOL CALLBACK FindDialogOfThread(HWND window, LPARAM param)
{
    wchar_t name[64];
    if (IsWindowVisible(window) && GetClassNameW(window, name, 64) > 0 && std::wstring(name) != kFilerWindowClass) {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// The visible window (dialog, message box) a window thread opened.
HWND WaitForDialog(DWORD thread)
{
    HWND dialog = nullptr;
    PumpUntil([&] {
        EnumThreadWindows(thread, FindDialogOfThread, reinterpret_cast<LPARAM>(&dialog));
        return dialog != nullptr;
    }, 10000);
    return dialog;
}

struct TFoundBox {
    DWORD Process;
    HWND Found;
};

BOOL CALLBACK FindMessageBox(HWND window, LPARAM param)
{
    auto* find = reinterpret_cast<TFoundBox*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[32];
    if (process == find->Process && IsWindowVisible(window) && GetClassNameW(window, name, 32) > 0 &&
        std::wstring(name) == L"#32770") {
        find->Found = window;
        return FALSE;
    }
    return TRUE;
}

// A message box of this process on any thread.
HWND WaitForMessageBox(DWORD milliseconds = 10000)
{
    TFoundBox find{GetCurrentProcessId(), nullptr};
    PumpUntil([&] {
        EnumWindows(FindMessageBox, reinterpret_cast<LPARAM>(&find));
        return find.Found != nullptr;
    }, milliseconds);
    return find.Found;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

// The text of a message box (its static control).
std::wstring MessageBoxText(HWND box)
{
    std::wstring all;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32];
        if (GetClassNameW(child, name, 32) > 0 && std::wstring(name) == L"Static")
            all += WindowText(child);
    }
    return all;
}

HWND TreeOf(HWND dialog)
{
    return FindWindowExW(dialog, nullptr, WC_TREEVIEWW, nullptr);
}

std::vector<std::wstring> TreeTexts(HWND tree)
{
    std::vector<std::wstring> texts;
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    while (item != nullptr) {
        wchar_t text[256] = {};
        TVITEMW data{};
        data.mask = TVIF_TEXT;
        data.hItem = item;
        data.pszText = text;
        data.cchTextMax = 256;
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
        texts.emplace_back(text);
        item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)));
    }
    return texts;
}

// Performs "ClipboardPaste" in the window and returns the captions its
// choice dialog offers; chooses the entry at index, or cancels with -1.
std::vector<std::wstring> PasteThrough(TWindowThread& window, int index, std::wstring* title = nullptr)
{
    window.PostAction("ClipboardPaste");
    HWND dialog = WaitForDialog(window.Thread()->ThreadId());
    if (dialog == nullptr) {
        ADD_FAILURE() << "no choice dialog";
        return {};
    }
    if (title != nullptr)
        *title = WindowText(dialog);
    HWND tree = TreeOf(dialog);
    std::vector<std::wstring> texts = TreeTexts(tree);
    if (index >= 0) {
        auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        for (int i = 0; i < index && item != nullptr; ++i)
            item = reinterpret_cast<HTREEITEM>(
                SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)));
        SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    }
    // The button's click, as the dialog hears it.
    int button = index >= 0 ? IDOK : IDCANCEL;
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(dialog); }));
    return texts;
}

// The OLE clipboard window belongs to this thread, as it belongs to the
// program's main thread (it must outlive the window threads): the clipboard
// calls of the window threads send to it, so this thread keeps serving it
// until they are through.
class TClipboardEnvironment : public ::testing::Environment {
public:
    void SetUp() override { OleFlushClipboard(); }
};
const auto* const g_clipboardEnvironment = ::testing::AddGlobalTestEnvironment(new TClipboardEnvironment);

void Settle()
{
    PumpUntil([] { return GetOpenClipboardWindow() == nullptr; }, 5000);
    PumpUntil([] { return false; }, 300);
}

// Performs an action on the window and waits until the clipboard changed.
bool ClipboardChangedBy(TWindowThread& window, const char* action)
{
    DWORD before = GetClipboardSequenceNumber();
    window.PostAction(action);
    bool changed = PumpUntil([&] { return GetClipboardSequenceNumber() != before; }, 10000);
    Settle();
    return changed;
}

// Opens the clipboard from the test thread (the window thread may have it
// open for a moment).
bool OpenClipboardSoon()
{
    return PumpUntil([] { return OpenClipboard(nullptr) != FALSE; }, 5000);
}

// The bytes of a clipboard format (the whole block); none when absent.
std::optional<std::string> ClipboardBytes(UINT format)
{
    if (!OpenClipboardSoon())
        return std::nullopt;
    std::optional<std::string> bytes;
    if (HANDLE data = GetClipboardData(format)) {
        if (const char* p = static_cast<const char*>(GlobalLock(data))) {
            bytes.emplace(p, GlobalSize(data));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return bytes;
}

void PutTextOnClipboard(const char* text)
{
    ASSERT_TRUE(OpenClipboardSoon());
    EmptyClipboard();
    size_t size = strlen(text) + 1;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
    std::memcpy(GlobalLock(memory), text, size);
    GlobalUnlock(memory);
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();
}

std::optional<DWORD> ClipboardEffect(const wchar_t* format)
{
    ComPtr<IDataObject> data;
    if (FAILED(OleGetClipboard(data.put())))
        return std::nullopt;
    return DropEffectFormat(data.get(), format);
}

bool JobWindowsGone()
{
    return PumpUntil([] { return FindWindowW(L"NimbraFileOperation", nullptr) == nullptr; });
}

BOOL CALLBACK FindCollisionGroup(HWND window, LPARAM param)
{
    std::wstring text = WindowText(window);
    const std::wstring tail = L"は既に存在しています";
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
        *reinterpret_cast<bool*>(param) = true;
        return FALSE;
    }
    return TRUE;
}

// Waits for a job's collision prompt and cancels it.
bool CancelCollisionPrompt()
{
    HWND job = nullptr;
    bool prompting = PumpUntil([&] {
        job = FindWindowW(L"NimbraFileOperation", nullptr);
        bool found = false;
        if (job != nullptr)
            EnumChildWindows(job, FindCollisionGroup, reinterpret_cast<LPARAM>(&found));
        return found;
    });
    if (!prompting)
        return false;
    PostMessageW(job, WM_KEYDOWN, VK_ESCAPE, 0);
    return true;
}

void SetCaret(TWindowThread& window, const wchar_t* name)
{
    window.Locked([&](TFilerView* view) { view->SetCaretByNameText(name); });
}

bool PasteEnabled(TWindowThread& window, bool expected)
{
    ComPtr<IAction> paste = window.Locked([&](TFilerView*) { return window.Thread()->ActionManager()->Find("ClipboardPaste"); });
    // The window's idle step (which the application's step starts) brings
    // the action up to date.
    return PumpUntil([&] {
        Application()->IdleStep();
        return window.Locked([&](TFilerView*) { return paste->GetEnabled(); }) == expected;
    }, 5000);
}

} // namespace

// Copy and cut record their effects; the paste list offers the recorded
// ones first and the others forced, "移動" first when nothing is recorded.
TEST(ClipboardPaste, ListsTheEffectsTheClipboardPrefersFirst)
{
    TempFolder dir;
    dir.MakeFile(L"a.txt", "A");
    TWindowThread window(dir.Path());
    const std::wstring copy = L"コピー", move = L"移動", link = L"リンク";

    ASSERT_TRUE(ClipboardChangedBy(window, "ClipboardCopy"));
    EXPECT_EQ(ClipboardEffect(CFSTR_PREFERREDDROPEFFECT), std::optional<DWORD>(DROPEFFECT_COPY | DROPEFFECT_LINK));
    std::wstring title;
    EXPECT_EQ(PasteThrough(window, -1, &title), (std::vector<std::wstring>{copy, link, kForced + move}));
    EXPECT_EQ(title, L"貼り付け");

    ASSERT_TRUE(ClipboardChangedBy(window, "ClipboardCut"));
    EXPECT_EQ(ClipboardEffect(CFSTR_PREFERREDDROPEFFECT), std::optional<DWORD>(DROPEFFECT_MOVE));
    EXPECT_EQ(PasteThrough(window, -1), (std::vector<std::wstring>{move, kForced + copy, kForced + link}));

    // A file list without a recorded effect (as other programs give).
    {
        ComPtr<IDataObject> data = FileDataObject(nullptr, dir.Path(), {L"a.txt"}, 0);
        ASSERT_TRUE(data);
        ASSERT_HRESULT_SUCCEEDED(OleSetClipboard(data.get()));
        ASSERT_HRESULT_SUCCEEDED(OleFlushClipboard());
    }
    EXPECT_EQ(ClipboardEffect(CFSTR_PREFERREDDROPEFFECT), std::nullopt);
    EXPECT_EQ(PasteThrough(window, -1), (std::vector<std::wstring>{move, kForced + copy, kForced + link}));
    // Cancelled: nothing was started, nothing moved.
    EXPECT_TRUE(JobWindowsGone());
    EXPECT_EQ(ReadFileBytes(dir / L"a.txt").value_or("(gone)"), "A");

    // Text alone is no file list: nothing to paste.
    PutTextOnClipboard("not files");
    EXPECT_TRUE(PasteEnabled(window, false));
    ASSERT_TRUE(ClipboardChangedBy(window, "ClipboardCopy"));
    EXPECT_TRUE(PasteEnabled(window, true));
}

// Cut in one window and pasted in another moves what can be moved. A file
// whose move was cancelled at its collision stays at the source, and a second
// paste of the same cut, whose files are gone from the source, fails with the
// job's message and takes nothing from where the first paste put them.
TEST(ClipboardPaste, ACutPastedElsewhereMovesAndLosesNothingThatWasNotMoved)
{
    TempFolder source;
    TempFolder target;
    source.MakeFile(L"a.txt", "A");
    source.MakeFile(L"b.txt", "B");
    target.MakeFile(L"b.txt", "old");
    TWindowThread from(source.Path());
    TWindowThread to(target.Path());
    from.Locked([](TFilerView* view) { view->MarkAll(true); });
    ASSERT_TRUE(ClipboardChangedBy(from, "ClipboardCut"));

    std::vector<std::wstring> offered = PasteThrough(to, 0);
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered[0], L"移動");
    ASSERT_TRUE(CancelCollisionPrompt()) << "b.txt is in the way";
    EXPECT_TRUE(JobWindowsGone());
    EXPECT_EQ(ReadFileBytes(target / L"a.txt").value_or("(missing)"), "A");
    EXPECT_FALSE(FileExists(source / L"a.txt"));
    EXPECT_EQ(ReadFileBytes(source / L"b.txt").value_or("(lost)"), "B") << "a move cancelled keeps its source";
    EXPECT_EQ(ReadFileBytes(target / L"b.txt").value_or("(lost)"), "old");

    // Again: a.txt is no longer where the cut found it.
    PasteThrough(to, 0);
    HWND box = WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "the missing source is reported";
    EXPECT_NE(MessageBoxText(box).find(source / L"a.txt"), std::wstring::npos) << UnicodeToUtf8(MessageBoxText(box));
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(JobWindowsGone());
    EXPECT_EQ(ReadFileBytes(target / L"a.txt").value_or("(lost)"), "A");
    EXPECT_EQ(ReadFileBytes(source / L"b.txt").value_or("(lost)"), "B");
    EXPECT_EQ(ReadFileBytes(target / L"b.txt").value_or("(lost)"), "old");
    Application()->FreeFinishedThreads();
}

// A file list from two directories is refused as a drop of it is.
TEST(ClipboardPaste, AListFromSeveralDirectoriesIsRefusedWithAMessage)
{
    TempFolder one;
    TempFolder two;
    TempFolder target;
    one.MakeFile(L"x.txt", "X");
    two.MakeFile(L"y.txt", "Y");
    TWindowThread window(target.Path());
    {
        std::wstring paths = (one / L"x.txt") + L'\0' + (two / L"y.txt") + L'\0' + L'\0';
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + paths.size() * sizeof(wchar_t));
        auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        std::memcpy(drop + 1, paths.data(), paths.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        ASSERT_TRUE(OpenClipboardSoon());
        EmptyClipboard();
        SetClipboardData(CF_HDROP, memory);
        CloseClipboard();
    }
    std::vector<std::wstring> offered = PasteThrough(window, 0);
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered[0], L"移動");
    HWND box = WaitForMessageBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), L"記録されているファイルの存在位置がばらばらです");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(box); }));
    EXPECT_EQ(FindWindowW(L"NimbraFileOperation", nullptr), nullptr);
    EXPECT_EQ(ReadFileBytes(one / L"x.txt").value_or("(lost)"), "X");
    EXPECT_EQ(ReadFileBytes(two / L"y.txt").value_or("(lost)"), "Y");
}

TEST(ClipboardPaste, ChoicesForEveryRecordedEffect)
{
    auto captions = [](DWORD preferred) {
        std::vector<std::wstring> texts;
        for (const TPasteChoice& choice : PasteChoices(preferred))
            texts.push_back(std::to_wstring(choice.Effect) + L":" + choice.Caption);
        return texts;
    };
    EXPECT_EQ(captions(0), (std::vector<std::wstring>{L"1:" + kForced + L"コピー", L"2:" + kForced + L"移動",
                                                      L"4:" + kForced + L"リンク"}));
    EXPECT_EQ(captions(7), (std::vector<std::wstring>{L"1:コピー", L"2:移動", L"4:リンク"}));
    EXPECT_EQ(captions(DROPEFFECT_LINK | 0x80000000u),
              (std::vector<std::wstring>{L"4:リンク", L"1:" + kForced + L"コピー", L"2:" + kForced + L"移動"}));
}

// The enabling rules at their edges: a marked entry or a directory at the
// caret turns "ClipFileData" off; copy and cut need a directory with entries.
TEST(ClipFileData, IsEnabledForOneUnmarkedFileAtTheCaret)
{
    TempFolder dir;
    dir.MakeFile(L"f.txt", "f");
    dir.MakeFile(L"g.txt", "g");
    dir.MakeDir(L"sub");
    TempFolder empty;
    TWindowThread window(dir.Path());
    TWindowThread nothing(empty.Path());
    window.Locked([](TFilerView* view) {
        view->SetCaretByNameText(L"f.txt");
        EXPECT_TRUE(CanClipFileData(view));
        EXPECT_TRUE(CanClipboardCopy(view));
        // Another entry marked, the caret still on the file.
        for (int i = 0; i < view->Count(); ++i)
            if (std::wstring(view->Items()[i]->Name) == L"g.txt")
                view->SetMark(i, true);
        EXPECT_FALSE(CanClipFileData(view)) << "a marked entry";
        // The caret's own mark counts as well.
        view->MarkAll(false);
        view->SetMark(view->CaretIndex(), true);
        EXPECT_FALSE(CanClipFileData(view)) << "the caret entry marked";
        view->MarkAll(false);
        EXPECT_TRUE(CanClipFileData(view));
        view->SetCaretByNameText(L"sub");
        EXPECT_FALSE(CanClipFileData(view)) << "a directory at the caret";
    });
    nothing.Locked([](TFilerView* view) {
        EXPECT_FALSE(CanClipFileData(view));
        EXPECT_FALSE(CanClipboardCopy(view)) << "an empty list";
    });
    EXPECT_TRUE(FileDataFits(kMaxFileDataBytes));
    EXPECT_FALSE(FileDataFits(kMaxFileDataBytes + 1));
}

// The bytes go on the clipboard whole, zeros inside included, as text with
// a terminating zero and as a record of their length and themselves.
TEST(ClipFileData, PutsTheBytesAsTextAndAsALengthRecord)
{
    TempFolder dir;
    const std::string bytes("ab\0c\xff", 5);
    dir.MakeFile(L"z.bin", bytes);
    dir.MakeFile(L"empty.txt", "");
    TWindowThread window(dir.Path());
    const UINT record = RegisterClipboardFormatW(L"REvU Clipboard Format");

    struct TCase {
        const wchar_t* Name;
        std::string Bytes;
    };
    for (const TCase& each : {TCase{L"z.bin", bytes}, TCase{L"empty.txt", std::string()}}) {
        SCOPED_TRACE(UnicodeToUtf8(each.Name));
        ASSERT_TRUE(ClipboardChangedBy(window, "ClipboardCopy"));
        SetCaret(window, each.Name);
        ASSERT_TRUE(ClipboardChangedBy(window, "ClipFileData"));
        std::optional<std::string> text = ClipboardBytes(CF_TEXT);
        ASSERT_TRUE(text);
        ASSERT_GE(text->size(), each.Bytes.size() + 1);
        EXPECT_EQ(text->substr(0, each.Bytes.size() + 1), each.Bytes + std::string(1, '\0'));
        std::optional<std::string> data = ClipboardBytes(record);
        ASSERT_TRUE(data);
        ASSERT_GE(data->size(), each.Bytes.size() + 4);
        uint32_t length = 0;
        std::memcpy(&length, data->data(), 4);
        EXPECT_EQ(length, each.Bytes.size());
        EXPECT_EQ(data->substr(4, each.Bytes.size()), each.Bytes);
        EXPECT_FALSE(IsClipboardFormatAvailable(CF_HDROP)) << "what the clipboard held before is gone";
    }
}

// A file too large, and a file another program holds locked, are reported
// by name and leave the clipboard as it was.
TEST(ClipFileData, RefusesATooLargeOrLockedFileAndLeavesTheClipboard)
{
    TempFolder dir;
    {
        // One byte over the bound, of zeros the file system need not store.
        UniqueFileHandle file(
            CreateFileW((dir / L"big.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER size;
        size.QuadPart = static_cast<LONGLONG>(kMaxFileDataBytes) + 1;
        ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    dir.MakeFile(L"held.txt", "secret");
    TWindowThread window(dir.Path());
    PutTextOnClipboard("before");

    UniqueFileHandle held(
        CreateFileW((dir / L"held.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    for (const wchar_t* name : {L"big.bin", L"held.txt"}) {
        SCOPED_TRACE(UnicodeToUtf8(name));
        DWORD sequence = GetClipboardSequenceNumber();
        SetCaret(window, name);
        window.PostAction("ClipFileData");
        HWND box = WaitForMessageBox();
        ASSERT_NE(box, nullptr);
        EXPECT_NE(MessageBoxText(box).find(dir / name), std::wstring::npos) << UnicodeToUtf8(MessageBoxText(box));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(box); }));
        EXPECT_EQ(GetClipboardSequenceNumber(), sequence);
        std::optional<std::string> text = ClipboardBytes(CF_TEXT);
        ASSERT_TRUE(text);
        EXPECT_STREQ(text->c_str(), "before");
    }
}

