// The file list view and the filer window on real window threads and real
// directories: what a view holds after refreshes, deletions, keys and view
// changes. The test thread reads a view under the exclusive application lock,
// when the view's own thread cannot be in the middle of a message.

// Own
#include "view/UView.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// File operations
#include "fileop/UActionDelete.h"
#include "fileop/UFileOp.h"

// Folders
#include "folders/ShlUtils.h"

// Toolkit
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <commctrl.h>

// Standard library
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/LockFaults.h"
#include "tests/PumpUntil.h"
#include "tests/folders/TempFolder.h"
#include "tests/view/WindowThread.h"

namespace {

int IndexOf(TFilerView* view, const std::wstring& name)
{
    for (size_t i = 0; i < view->Items().size(); ++i)
        if (std::wstring(view->Items()[i]->Name) == name)
            return static_cast<int>(i);
    return -1;
}

void Refresh(const std::wstring& path)
{
    TExclusiveLock lock;
    FolderManager()->Refresh(TPath::FromPath(path), false);
}

} // namespace

TEST(FilerView, MarksAndTheCaretSurviveARefreshByExactName)
{
    TempFolder dir;
    dir.MakeDir(L"sub");
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"d.txt", L"e.txt"})
        dir.MakeFile(name);
    TWindowThread window(dir.Path());
    window.Locked([](TFilerView* view) {
        ASSERT_EQ(view->Count(), 6);
        view->SetMark(IndexOf(view, L"b.txt"), true);
        view->SetMark(IndexOf(view, L"d.txt"), true);
        view->SetCaret(5);
    });
    // a.txt goes, B.TXT is no longer b.txt, and a new file comes.
    DeleteFileW((dir / L"a.txt").c_str());
    DeleteFileW((dir / L"b.txt").c_str());
    dir.MakeFile(L"B.TXT");
    dir.MakeFile(L"f.txt");
    Refresh(dir.Path());
    EXPECT_EQ(window.Marked(), std::vector<std::wstring>{L"d.txt"}) << "exact, case-sensitive names";
    window.Locked([](TFilerView* view) {
        EXPECT_EQ(view->Count(), 6);
        EXPECT_EQ(view->CaretIndex(), 5);
        EXPECT_EQ(view->MarkedCount(), 1);
    });
    // Fewer entries than the caret's row: the caret goes to the last one.
    for (const wchar_t* name : {L"B.TXT", L"c.txt", L"d.txt"})
        DeleteFileW((dir / name).c_str());
    Refresh(dir.Path());
    window.Locked([](TFilerView* view) {
        EXPECT_EQ(view->Count(), 3);
        EXPECT_EQ(view->CaretIndex(), 2);
        EXPECT_EQ(view->MarkedCount(), 0);
    });
}

UINT WINAPI AlwaysRemovable(LPCWSTR)
{
    return DRIVE_REMOVABLE;
}

TEST(FilerView, AViewWhoseFolderIsDeletedClimbsToTheNearestExistingAncestor)
{
    // Wine keeps a watched directory from being removed: these folders are
    // on a "removable" drive, which is never watched.
    TDriveTypeProbe previous = SetDriveTypeProbe(AlwaysRemovable);
    TempFolder dir;
    dir.MakeDir(L"x");
    dir.MakeDir(L"x\\y");
    TWindowThread window(dir / L"x\\y");
    ASSERT_EQ(window.FolderPath(), dir / L"x\\y");
    TempFolder::Remove(dir / L"x");
    Refresh(dir / L"x\\y");
    EXPECT_TRUE(PumpUntil([&] { return window.FolderPath() == dir.Path(); })) << UnicodeToUtf8(window.FolderPath());
    SetDriveTypeProbe(previous);
}

TEST(FilerView, TheFilterKeepsDirectoriesAndABadFilterKeepsTheOldOne)
{
    TempFolder dir;
    dir.MakeDir(L"keep.log.d");
    dir.MakeFile(L"a.txt");
    dir.MakeFile(L"b.log");
    TWindowThread window(dir.Path());
    window.Locked([](TFilerView* view) {
        view->SetFilter(L"\"*.txt\"");
        EXPECT_EQ(view->Count(), 2);
        EXPECT_NE(IndexOf(view, L"keep.log.d"), -1);
        EXPECT_THROW(view->SetFilter(L"(\"*.log\""), EWildCardError);
        EXPECT_EQ(view->GetFilterText(), L"\"*.txt\"");
        view->SetFilter(L"\"*.*\"");
        EXPECT_FALSE(view->HasFilter());
        EXPECT_EQ(view->Count(), 3);
    });
}

TEST(FilerView, BoundKeysRunTheirActionAndUnboundKeysMoveTheCaret)
{
    TempFolder dir;
    for (const wchar_t* name : {L"a", L"b", L"c"})
        dir.MakeFile(name);
    TWindowThread window(dir.Path());
    HWND view = window.Locked([&](TFilerView* v) {
        ComPtr<IAction> markAll = window.Thread()->ActionManager()->Find("markall");
        window.Window()->KeyAssignment()->Assign(0, VK_F9, markAll.get());
        return v->Handle();
    });
    PostMessageW(view, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_TRUE(PumpUntil([&] { return window.Locked([](TFilerView* v) { return v->CaretIndex() == 1; }); }));
    PostMessageW(view, WM_KEYDOWN, VK_F9, 0);
    EXPECT_TRUE(PumpUntil([&] { return window.Locked([](TFilerView* v) { return v->MarkedCount() == 3; }); }));
}

TEST(FilerWindow, ViewsOpenAfterTheCurrentOneAndTheLastViewCannotBeClosed)
{
    TempFolder dir;
    dir.MakeDir(L"other");
    TWindowThread window(dir.Path());
    HWND handle = window.Window()->Handle();
    // Opening and closing run on the window's thread, as an action would.
    auto* path = new TPath(TPath::FromPath(dir / L"other"));
    PostMessageW(window.Locked([](TFilerView* v) { return v->Handle(); }), WM_OPEN_ANOTHER_VIEW, 0,
                 reinterpret_cast<LPARAM>(path));
    ASSERT_TRUE(PumpUntil([&] { return window.Locked([&](TFilerView*) { return window.Window()->ViewCount() == 2; }); }));
    // The new view becomes current when it takes the focus, which may come
    // a moment after it is counted.
    EXPECT_TRUE(PumpUntil([&] { return window.FolderPath() == dir / L"other"; })) << "the new view is current";
    window.Locked([&](TFilerView* v) {
        EXPECT_EQ(window.Window()->FirstView()->NextView(), v);
        EXPECT_EQ(window.Window()->ViewPaneText(), L"□■");
        v->CloseView();
    });
    ASSERT_TRUE(PumpUntil([&] { return window.Locked([&](TFilerView*) { return window.Window()->ViewCount() == 1; }); }));
    window.Locked([](TFilerView* v) { v->CloseView(); });
    Sleep(200);
    EXPECT_EQ(window.Locked([&](TFilerView*) { return window.Window()->ViewCount(); }), 1);
    EXPECT_TRUE(IsWindow(handle));
}

TEST(FilerWindow, ClosingAWindowLeavesNoObserverOnItsFolders)
{
    TempFolder dir;
    ComPtr<IFolder> folder;
    {
        TWindowThread window(dir.Path());
        window.Locked([&](TFilerView* v) { folder = FolderManager()->Find(TPath::FromPath(dir.Path())); });
        ASSERT_TRUE(folder);
        EXPECT_TRUE(folder->HasObservers());
    }
    EXPECT_FALSE(folder->HasObservers()) << "a closed view still observes its folder";
}

namespace {

// What the destination dialog gave the action that asked for it.
struct TChooseResult {
    bool Asked = false;
    bool Confirmed = false;
    std::wstring Path;
};
TChooseResult g_choose;

void ChooseAction(void*, TTransferAction* action, TTransferMode mode)
{
    if (mode == TTransferMode::Describe) {
        action->Describe("TestChoose", L"choose", L"");
    } else if (mode == TTransferMode::Execute) {
        TPath chosen;
        g_choose.Confirmed = ChooseFolder(L"コピー先", chosen);
        g_choose.Path = std::wstring(chosen.PathView());
        g_choose.Asked = true;
    }
}

struct TFoundChild {
    const wchar_t* ClassName;
    HWND Found;
};

BOOL CALLBACK FindChildOfClass(HWND window, LPARAM param)
{
    auto* find = reinterpret_cast<TFoundChild*>(param);
    wchar_t name[64];
    if (GetClassNameW(window, name, 64) > 0 && _wcsicmp(name, find->ClassName) == 0 && find->Found == nullptr)
        find->Found = window;
    return TRUE;
}

BOOL CALLBACK FindDialogOfThread(HWND window, LPARAM param)
{
    auto* found = reinterpret_cast<HWND*>(param);
    wchar_t name[64];
    if (IsWindowVisible(window) && GetClassNameW(window, name, 64) > 0 && std::wstring(name) != kFilerWindowClass) {
        *found = window;
        return FALSE;
    }
    return TRUE;
}

HWND ChildOfClass(HWND parent, const wchar_t* className)
{
    TFoundChild find{className, nullptr};
    EnumChildWindows(parent, FindChildOfClass, reinterpret_cast<LPARAM>(&find));
    return find.Found;
}

} // namespace

TEST(DestinationDialog, OffersEachModifiableFolderOnceAndCanOpenTheChoiceInAnotherView)
{
    TempFolder dir;
    dir.MakeDir(L"a");
    dir.MakeDir(L"b");
    dir.MakeDir(L"c");
    // This window: views on b, b and a (current); another window on c.
    TWindowThread window(dir / L"b");
    TWindowThread other(dir / L"c");
    for (const wchar_t* name : {L"b", L"a"}) {
        HWND view = window.Locked([](TFilerView* v) { return v->Handle(); });
        PostMessageW(view, WM_OPEN_ANOTHER_VIEW, 0, reinterpret_cast<LPARAM>(new TPath(TPath::FromPath(dir / name))));
        ASSERT_TRUE(PumpUntil([&] { return window.FolderPath() == dir / name; }));
    }
    // My Computer cannot take files: never offered.
    HWND otherView = other.Locked([](TFilerView* v) { return v->Handle(); });
    PostMessageW(otherView, WM_OPEN_ANOTHER_VIEW, 0, reinterpret_cast<LPARAM>(new TPath(ParsePath(MyComputerPath()))));
    ASSERT_TRUE(PumpUntil([&] { return other.Locked([&](TFilerView*) { return other.Window()->ViewCount() == 2; }); }));

    HWND view = window.Locked([&](TFilerView* v) {
        auto* action = new TTransferAction(false, ChooseAction, nullptr);
        action->SetOwner(window.Thread()->ActionManager());
        window.Window()->KeyAssignment()->Assign(0, VK_F8, action);
        return v->Handle();
    });
    g_choose = {};
    PostMessageW(view, WM_KEYDOWN, VK_F8, 0);
    HWND dialog = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        EnumThreadWindows(window.Thread()->ThreadId(), FindDialogOfThread, reinterpret_cast<LPARAM>(&dialog));
        return dialog != nullptr;
    }));
    HWND list = ChildOfClass(dialog, L"ListBox");
    HWND check = nullptr;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t text[64] = {};
        GetWindowTextW(child, text, 64);
        if (std::wstring(text) == L"選択フォルダを開く(&S)")
            check = child;
    }
    ASSERT_NE(list, nullptr);
    ASSERT_NE(check, nullptr);
    std::vector<std::wstring> entries;
    int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[MAX_PATH * 2] = {};
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        entries.emplace_back(text);
    }
    const std::vector<std::wstring> expected{dir / L"b", dir / L"c", L". (" + (dir / L"a") + L")", L"..."};
    EXPECT_EQ(entries, expected);

    // Choose c and have it opened here as well.
    SendMessageW(list, LB_SETCURSEL, 1, 0);
    SendMessageW(check, BM_SETCHECK, BST_CHECKED, 0);
    PostMessageW(list, WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(PumpUntil([&] { return g_choose.Asked; }));
    EXPECT_TRUE(g_choose.Confirmed);
    EXPECT_EQ(g_choose.Path, dir / L"c");
    EXPECT_TRUE(PumpUntil([&] { return window.FolderPath() == dir / L"c"; })) << "the choice opens in another view";
    EXPECT_EQ(window.Locked([&](TFilerView*) { return window.Window()->ViewCount(); }), 4);
}

TEST(FilerView, FilesDroppedWithCtrlAreCopiedIntoTheViewsFolder)
{
    TempFolder source;
    TempFolder target;
    source.MakeFile(L"one.txt", "1");
    source.MakeFile(L"二.txt", "2");
    TWindowThread window(target.Path());
    ComPtr<IDataObject> data = FileDataObject(nullptr, source.Path(), {L"one.txt", L"二.txt"}, DROPEFFECT_COPY);
    ASSERT_TRUE(data);
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
    window.Locked([&](TFilerView* view) {
        POINTL point{0, 0};
        DWORD allowed = effect;
        view->DragEnter(data.get(), MK_CONTROL | MK_LBUTTON, point, &allowed);
        EXPECT_EQ(allowed, static_cast<DWORD>(DROPEFFECT_COPY));
        view->Drop(data.get(), MK_CONTROL, point, &effect);
    });
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
    EXPECT_TRUE(PumpUntil([&] {
        return GetFileAttributesW((target / L"one.txt").c_str()) != INVALID_FILE_ATTRIBUTES &&
               GetFileAttributesW((target / L"二.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
    }));
    EXPECT_NE(GetFileAttributesW((source / L"one.txt").c_str()), INVALID_FILE_ATTRIBUTES) << "a copy keeps the source";
    // The job's window goes once it is done.
    EXPECT_TRUE(PumpUntil([] { return FindWindowW(L"NimbraFileOperation", nullptr) == nullptr; }));
    Application()->FreeFinishedThreads();
}

TEST(FilerView, AMoveDroppedHereIsDoneHereAndTheSourceIsToldToDeleteNothing)
{
    TempFolder source;
    TempFolder target;
    source.MakeFile(L"m.txt", "moved");
    TWindowThread window(target.Path());
    ComPtr<IDataObject> data = FileDataObject(nullptr, source.Path(), {L"m.txt"}, DROPEFFECT_MOVE);
    ASSERT_TRUE(data);
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    window.Locked([&](TFilerView* view) {
        POINTL point{0, 0};
        DWORD allowed = effect;
        view->DragEnter(data.get(), MK_SHIFT | MK_LBUTTON, point, &allowed);
        EXPECT_EQ(allowed, static_cast<DWORD>(DROPEFFECT_MOVE));
        view->Drop(data.get(), MK_SHIFT, point, &effect);
    });
    // A source that sees MOVE deletes its originals itself, whatever the
    // job did with them: the job may yet skip or fail.
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    auto readEffect = [&](const wchar_t* name) -> DWORD {
        FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name)), nullptr, DVASPECT_CONTENT, -1,
                         TYMED_HGLOBAL};
        STGMEDIUM medium{};
        if (data->GetData(&format, &medium) != S_OK)
            return 0xFFFFFFFF;
        DWORD value = *static_cast<DWORD*>(GlobalLock(medium.hGlobal));
        GlobalUnlock(medium.hGlobal);
        ReleaseStgMedium(&medium);
        return value;
    };
    EXPECT_EQ(readEffect(CFSTR_PERFORMEDDROPEFFECT), static_cast<DWORD>(DROPEFFECT_NONE));
    EXPECT_EQ(readEffect(CFSTR_LOGICALPERFORMEDDROPEFFECT), static_cast<DWORD>(DROPEFFECT_MOVE));
    EXPECT_TRUE(PumpUntil([&] { return GetFileAttributesW((target / L"m.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }));
    EXPECT_TRUE(PumpUntil([] { return FindWindowW(L"NimbraFileOperation", nullptr) == nullptr; }));
    EXPECT_EQ(GetFileAttributesW((source / L"m.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    Application()->FreeFinishedThreads();
}

namespace {

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM param)
{
    if (!IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
}

} // namespace

TEST(Delete, ErasingAShownFolderAsksTheShellAndTheViewClimbsOut)
{
    // Wine keeps a watched directory from being removed: these folders are
    // on a "removable" drive, which is never watched.
    TDriveTypeProbe previous = SetDriveTypeProbe(AlwaysRemovable);
    TempFolder dir;
    dir.MakeDir(L"x");
    dir.MakeDir(L"x\\y");
    dir.MakeFile(L"x\\y\\f.txt");
    TWindowThread window(dir / L"x\\y");
    auto* thread = T0Thread::StartThread<TDeleteThread>(dir.Path() + L"\\", kDeleteForGood, std::vector<std::wstring>{L"x"});
    // The shell asks first; yes.
    HWND confirm = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        EnumThreadWindows(thread->ThreadId(), FindVisibleWindow, reinterpret_cast<LPARAM>(&confirm));
        return confirm != nullptr;
    }));
    PostMessageW(confirm, WM_COMMAND, IDYES, 0);
    EXPECT_TRUE(PumpUntil([&] { return GetFileAttributesW((dir / L"x").c_str()) == INVALID_FILE_ATTRIBUTES; }));
    EXPECT_TRUE(PumpUntil([&] { return window.FolderPath() == dir.Path(); })) << UnicodeToUtf8(window.FolderPath());
    SetDriveTypeProbe(previous);
}

TEST(FileOperation, AJobWaitingAtItsPromptHoldsUpNeitherAnotherJobNorTheWindows)
{
    TempFolder source;
    TempFolder first;
    TempFolder second;
    source.MakeFile(L"a.txt", "new");
    source.MakeFile(L"b.txt", "bee");
    first.MakeFile(L"a.txt", "old");
    TWindowThread window(source.Path());
    TPath from = TPath::FromPath(source.Path());

    // The first job stops at its collision prompt and waits for an answer.
    TFileOperationThread* waiting =
        StartFileOperation(TFileOperationKind::Copy, {L"a.txt"}, TPath::FromPath(first.Path()), from);
    ASSERT_TRUE(PumpUntil([&] {
        TExclusiveLock lock;
        return waiting->Window() != nullptr && waiting->Window()->Prompting();
    }));
    // Meanwhile a second job runs to its end, and the filer window answers.
    StartFileOperation(TFileOperationKind::Copy, {L"b.txt"}, TPath::FromPath(second.Path()), from);
    EXPECT_TRUE(PumpUntil([&] { return GetFileAttributesW((second / L"b.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }));
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(window.Window()->Handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer), 0);

    // Escape at the prompt ends the first job with the old file untouched.
    HWND prompt = waiting->Window()->Handle();
    PostMessageW(prompt, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(prompt); }));
    EXPECT_EQ(ReadFileBytes(first / L"a.txt").value_or("(unreadable)"), "old");
    Application()->FreeFinishedThreads();
}

TEST(FileOperation, TheJobWindowAnswersWhileALargeFileIsCopied)
{
    TempFolder source;
    TempFolder target;
    constexpr LONGLONG kSize = 512LL << 20;
    {
        // A file of zeros; the file system need not store them.
        UniqueFileHandle file(CreateFileW((source / L"big.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER size;
        size.QuadPart = kSize;
        ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    TFileOperationThread* job = StartFileOperation(TFileOperationKind::Copy, {L"big.bin"},
                                                   TPath::FromPath(target.Path()), TPath::FromPath(source.Path()));
    HWND window = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        TExclusiveLock lock;
        if (job->Window() != nullptr)
            window = job->Window()->Handle();
        return window != nullptr;
    }));
    // Until the copy has its full size, the window answers every call.
    int answered = 0;
    WIN32_FILE_ATTRIBUTE_DATA copied{};
    auto copying = [&] {
        if (!IsWindow(window))
            return false;
        if (!GetFileAttributesExW((target / L"big.bin").c_str(), GetFileExInfoStandard, &copied))
            return true;
        return (static_cast<LONGLONG>(copied.nFileSizeHigh) << 32 | copied.nFileSizeLow) < kSize;
    };
    while (copying()) {
        DWORD_PTR answer = 0;
        ASSERT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 500, &answer), 0)
            << "the window did not answer within half a second";
        ++answered;
        Sleep(20);
    }
    EXPECT_GT(answered, 0);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(window); }));
    Application()->FreeFinishedThreads();
}

namespace {

// Refuses the creation of file list windows on the thread it is set on.
HHOOK g_refusingHook = nullptr;

LRESULT CALLBACK RefuseViewWindows(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        auto* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
        wchar_t name[64] = {};
        if (!IS_INTRESOURCE(create->lpcs->lpszClass))
            wcsncpy(name, create->lpcs->lpszClass, 63);
        if (std::wstring(name).find(L"FilerView") != std::wstring::npos)
            return 1;
    }
    return CallNextHookEx(g_refusingHook, code, wParam, lParam);
}

BOOL CALLBACK NoteMessageBox(HWND window, LPARAM found)
{
    wchar_t name[32];
    if (GetClassNameW(window, name, 32) > 0 && std::wstring(name) == L"#32770" && IsWindowVisible(window))
        *reinterpret_cast<bool*>(found) = true;
    return TRUE;
}

BOOL CALLBACK CloseMessageBoxes(HWND window, LPARAM)
{
    wchar_t name[32];
    if (GetClassNameW(window, name, 32) > 0 && std::wstring(name) == L"#32770")
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

} // namespace

// A view whose window cannot be made is reported and leaves no trace: the
// window's list of views stays whole and closing the window later is safe.
TEST(FilerWindow, AViewThatFailsToComeUpLeavesNoTrace)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    const DWORD thread = window.Thread()->ThreadId();
    g_refusingHook = SetWindowsHookExW(WH_CBT, RefuseViewWindows, nullptr, thread);
    ASSERT_NE(g_refusingHook, nullptr);
    auto* path = new TPath(TPath::FromPath(dir.Path()));
    PostMessageW(window.Locked([](TFilerView* v) { return v->Handle(); }), WM_OPEN_ANOTHER_VIEW, 0,
                 reinterpret_cast<LPARAM>(path));
    // The failure is shown in a message box on the window's thread.
    bool reported = PumpUntil([&] {
        bool found = false;
        EnumThreadWindows(thread, NoteMessageBox, reinterpret_cast<LPARAM>(&found));
        return found;
    }, 10000);
    UnhookWindowsHookEx(g_refusingHook);
    EXPECT_TRUE(reported) << "the failure was not shown";
    EnumThreadWindows(thread, CloseMessageBoxes, 0);
    window.Locked([&](TFilerView* v) {
        TFilerWindow* filer = window.Window();
        EXPECT_EQ(filer->ViewCount(), 1);
        EXPECT_EQ(filer->FirstView(), v);
        EXPECT_EQ(filer->LastView(), v);
        EXPECT_EQ(v->NextView(), nullptr);
        EXPECT_EQ(filer->CurrentView(), v);
    });
}

// The status bar's "Selected:" size follows the marked files themselves:
// one marked file traded for another of another size shows the new size,
// though the count of marks stayed the same.
TEST(FilerWindow, TheSelectedSizeFollowsTheMarkedSetAtTheSameCount)
{
    TempFolder dir;
    dir.MakeFile(L"big.bin", std::string(3 << 20, 'b'));
    dir.MakeFile(L"small.bin", std::string(1 << 20, 's'));
    TWindowThread window(dir.Path());
    // Read from the status bar itself, holding nothing: the window's thread
    // answers the message under its own hold.
    HWND bar = FindWindowExW(window.Window()->Handle(), nullptr, STATUSCLASSNAMEW, nullptr);
    ASSERT_NE(bar, nullptr);
    auto status = [&] {
        wchar_t text[256] = {};
        SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
        return std::wstring(text);
    };
    auto mark = [&](const wchar_t* marked, const wchar_t* unmarked) {
        window.Locked([&](TFilerView* v) {
            if (unmarked != nullptr)
                v->SetMark(IndexOf(v, unmarked), false);
            v->SetMark(IndexOf(v, marked), true);
            return 0;
        });
    };
    ASSERT_TRUE(PumpUntil([&] { return window.Locked([](TFilerView* v) { return v->Count() == 2; }); }));
    // The refresh that the files' creation may still bring comes first.
    PumpUntil([] { return false; }, 600);
    mark(L"big.bin", nullptr);
    EXPECT_TRUE(PumpUntil([&] {
        Application()->IdleStep();
        return status() == SelectedSizeText(3 << 20);
    }, 5000)) << UnicodeToUtf8(status());
    mark(L"small.bin", L"big.bin");
    EXPECT_TRUE(PumpUntil([&] {
        Application()->IdleStep();
        return status() == SelectedSizeText(1 << 20);
    }, 5000)) << UnicodeToUtf8(status());
}
