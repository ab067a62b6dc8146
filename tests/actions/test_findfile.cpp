// The file search: the walk and its filters, the results folder and its
// publishing rule, the content windows of large files, the dialog, leaving
// the results and "ToFound".

// Search
#include "search/RegExp.h"
#include "search/UFounds.h"
#include "search/WildCard.h"

// Toolkit
#include "lw/LStrings.h"

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>

#include "tests/PumpUntil.h"
#include "tests/view/WindowThread.h"

// ---------------------------------------------------------------------------
// Test double of the regular expression engine (the engine itself is linked
// in once it is part of the program). A pattern is a byte string found
// anywhere in the text, ASCII letters of either case under the I flag; a
// pattern with "(" and no ")" does not compile. The double notes every call
// made while the caller held the application lock, and can hold a search up.

namespace {

std::atomic<int> g_searchesUnderLock{0};
std::atomic<int> g_searches{0};
// While set, the first search of a text holding "block" waits for the
// release event (and signals g_blocked).
HANDLE g_blocked = nullptr;
HANDLE g_release = nullptr;
std::atomic<bool> g_blockOnce{false};

class TSubstringRegExp final : public IRegExp {
public:
    TSubstringRegExp(std::string pattern, uint8_t flags, TRegExpMode mode)
        : FPattern(std::move(pattern)), FFlags(flags), FMode(mode)
    {
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == __uuidof(IRegExp)) {
            *object = static_cast<IRegExp*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++FCount); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG count = --FCount;
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }
    const void* STDMETHODCALLTYPE GetProgram() override { return FPattern.c_str(); }
    bool STDMETHODCALLTYPE MatchAt(const TRegExpContext* context, const char** position) override
    {
        size_t rest = static_cast<size_t>(context->TextEnd - *position);
        if (rest < FPattern.size())
            return false;
        for (size_t i = 0; i < FPattern.size(); ++i)
            if (Fold((*position)[i]) != Fold(FPattern[i]))
                return false;
        *position += FPattern.size();
        return true;
    }
    TRegExpMode STDMETHODCALLTYPE GetMode() override { return FMode; }
    uint8_t STDMETHODCALLTYPE GetFlags() override { return FFlags; }

private:
    char Fold(char c) const
    {
        return (FFlags & kRegExpIgnoreCase) != 0 && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    std::string FPattern;
    uint8_t FFlags;
    TRegExpMode FMode;
    std::atomic<LONG> FCount{0};
};

} // namespace

ComPtr<IRegExp> CreateRegExp(std::string_view pattern, uint8_t flags, TRegExpMode mode)
{
    if (pattern.find('(') != std::string_view::npos && pattern.find(')') == std::string_view::npos)
        throw ERegExpError(L"Failed to Compile Regular Expression.");
    return ComPtr<IRegExp>(new TSubstringRegExp(std::string(pattern), flags, mode));
}

bool SearchRegExp(IRegExp* regExp, const char* text, size_t length)
{
    ++g_searches;
    if (CallerLockStateValue() != 0)
        ++g_searchesUnderLock;
    std::string_view view(text, length);
    if (view.find("block") != std::string_view::npos && g_blockOnce.exchange(false)) {
        SetEvent(g_blocked);
        WaitForSingleObject(g_release, 20000);
    }
    TRegExpContext context{text, text + length, nullptr, nullptr};
    for (size_t i = 0; i <= length; ++i) {
        const char* position = text + i;
        if (regExp->MatchAt(&context, &position))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------

namespace {

// The records of a results folder, by full path.
std::map<std::wstring, TFileItem> Records(IFolder* folder)
{
    TExclusiveLock lock;
    std::map<std::wstring, TFileItem> records;
    for (int32_t i = 0; i < folder->GetCount(); ++i) {
        const TFileItem* item = folder->GetItem(i);
        records.emplace(std::wstring(item->Name, static_cast<size_t>(item->NameLen)), *item);
    }
    return records;
}

std::set<std::wstring> Names(IFolder* folder)
{
    std::set<std::wstring> names;
    for (const auto& [name, item] : Records(folder))
        names.insert(name);
    return names;
}

TFounds* FoundsOf(IFolder* folder)
{
    return dynamic_cast<TFounds*>(static_cast<IFounds*>(ComPtr<IFolder>(folder).as<IFounds>().get()));
}

bool IsFinished(IFolder* folder)
{
    TExclusiveLock lock;
    return FoundsOf(folder)->Finished();
}

// Searches below root and waits for the end of the walk.
// The content pattern is given in bytes; none when empty.
ComPtr<IFounds> Search(const std::wstring& root, const wchar_t* filter, const std::string& content = {})
{
    ComPtr<IRegExp> pattern;
    if (!content.empty())
        pattern = CreateRegExp(content, kRegExpIgnoreCase, TRegExpMode::DoubleByte);
    ComPtr<IFounds> founds =
        StartSearch(TPath::FromPath(root), pattern, std::make_unique<TWildCardExpression>(filter));
    EXPECT_TRUE(PumpUntil([&] { return IsFinished(founds.get()); }, 10000));
    return founds;
}

std::string Utf16Bytes(std::wstring_view text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

} // namespace

// Names, contents in three encodings, directories, a locked file and an
// empty one, in one generated tree.
TEST(Grep, SelectsByNameAndContentBelowEveryDirectory)
{
    TempFolder dir;
    dir.MakeFile(L"a.txt", "plain text");
    dir.MakeFile(L"b.log", "needle");
    dir.MakeDir(L"sub.txt");
    dir.MakeDir(L"other");
    dir.MakeFile(L"other\\deep.txt", UnicodeToCodePage(L"日本語 needle", CP_UTF8));
    dir.MakeFile(L"other\\sjis.txt", UnicodeToCodePage(L"日本語 NEEDLE", 932));
    dir.MakeFile(L"other\\wide.txt", Utf16Bytes(L"日本語 needle"));
    dir.MakeFile(L"sub.txt\\empty.txt", "");
    std::wstring locked = dir.MakeFile(L"locked.txt", "needle");
    // Somebody writes the locked file: it cannot be read.
    UniqueFileHandle writer(CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    g_searchesUnderLock = 0;

    // Names only: directories that pass are results too, and the files
    // below a directory whose name fails are found.
    ComPtr<IFounds> names = Search(dir.Path(), L"\"*.txt\"");
    ASSERT_EQ(Names(names.get()), (std::set<std::wstring>{dir / L"a.txt", dir / L"sub.txt", dir / L"other\\deep.txt",
                                                          dir / L"other\\sjis.txt", dir / L"other\\wide.txt",
                                                          dir / L"sub.txt\\empty.txt", locked}));
    auto records = Records(names.get());
    const TFileItem& deep = records[dir / L"other\\deep.txt"];
    EXPECT_EQ(std::wstring(deep.DisplayName, static_cast<size_t>(deep.DisplayNameLen)), L"deep.txt");
    EXPECT_GT(deep.File.ShortNameLen, 0);
    EXPECT_EQ(deep.File.ShortName[deep.File.ShortNameLen], L'\0');
    EXPECT_EQ(deep.Caps & kCanEnter, 0);
    EXPECT_NE(records[dir / L"sub.txt"].Caps & kCanEnter, 0);
    {
        TExclusiveLock lock;
        BSTR status = nullptr;
        names->GetStatusText(nullptr, &status);
        EXPECT_STREQ(status, L"検索");
        SysFreeString(status);
        names->GetStatusText(&deep, &status);
        EXPECT_EQ(std::wstring(status), dir / L"other\\deep.txt");
        SysFreeString(status);
        BSTR filter = nullptr;
        names->GetFilterText(&filter);
        EXPECT_STREQ(filter, L"\"*.txt\"");
        SysFreeString(filter);
        EXPECT_EQ(names->GetCapabilities(), 5);
    }

    // By content, letters of either case: never a directory, never the
    // locked file, not the UTF-16 text for a pattern of the code page.
    ComPtr<IFounds> needles = Search(dir.Path(), L"\"*.txt\"", "needle");
    EXPECT_EQ(Names(needles.get()), (std::set<std::wstring>{dir / L"other\\deep.txt", dir / L"other\\sjis.txt"}));
    // Japanese text in the code page finds the Shift-JIS file only.
    ComPtr<IFounds> japanese = Search(dir.Path(), L"\"*.*\"", UnicodeToAnsi(L"日本語"));
    EXPECT_EQ(Names(japanese.get()), (std::set<std::wstring>{dir / L"other\\sjis.txt"}));
    // The UTF-16 file, found by its own bytes.
    ComPtr<IFounds> wide = Search(dir.Path(), L"\"*.txt\"", Utf16Bytes(L"needle"));
    EXPECT_EQ(Names(wide.get()), (std::set<std::wstring>{dir / L"other\\wide.txt"}));

    // Files are read and searched without any hold on the lock.
    EXPECT_GT(g_searches.load(), 0);
    EXPECT_EQ(g_searchesUnderLock.load(), 0);
}

namespace {

DWORD g_now = 0;
DWORD WINAPI FakeTicks()
{
    return g_now;
}

class TCountingObserver : public IObserver {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == __uuidof(IObserver)) {
            *object = static_cast<IObserver*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    void STDMETHODCALLTYPE Update() override { ++Updates; }
    int Updates = 0;
};

TFileItem ItemNamed(const std::wstring& name)
{
    TFileItem item{};
    SetItemText(item.Name, item.NameLen, name);
    SetItemText(item.DisplayName, item.DisplayNameLen, name);
    item.Kind = kKindFile;
    return item;
}

} // namespace

// The views are told at most once a second, exactly a second after the last
// time being too early, and of everything at the end; the array they were
// shown stays as it is while results pile up.
TEST(Grep, PublishesStrictlyAfterEachSecondAndAllAtTheEnd)
{
    EXPECT_FALSE(PublishDue(1000, 0));
    EXPECT_TRUE(PublishDue(1001, 0));
    EXPECT_FALSE(PublishDue(4, 0xFFFFFFFFu - 995));  // 1000 ms across the wrap
    EXPECT_TRUE(PublishDue(5, 0xFFFFFFFFu - 995));

    g_now = 50000;
    ComPtr<TFounds> founds(new TFounds(TPath::FromPath(L"C:\\root"), L"\"*.*\""));
    founds->SetTickSource(FakeTicks);
    TCountingObserver observer;
    founds->Attach(&observer);
    auto count = [&] {
        TExclusiveLock lock;
        return founds->GetCount();
    };

    g_now += 500;
    founds->Add(ItemNamed(L"C:\\root\\1"));
    g_now += 500; // exactly a second
    founds->Add(ItemNamed(L"C:\\root\\2"));
    EXPECT_EQ(observer.Updates, 0);
    EXPECT_EQ(count(), 0);
    g_now += 1;
    founds->Add(ItemNamed(L"C:\\root\\3"));
    EXPECT_EQ(observer.Updates, 1);
    EXPECT_EQ(count(), 3);
    const TFileItem* shown;
    {
        TExclusiveLock lock;
        shown = founds->GetItem(0);
    }
    // Two thousand more within the second: the working array grows (and
    // moves) twice, the shown one does not change.
    for (int i = 0; i < 2000; ++i) {
        g_now = 51001 + static_cast<DWORD>(i) / 2;
        founds->Add(ItemNamed(L"C:\\root\\more" + std::to_wstring(i)));
    }
    EXPECT_EQ(observer.Updates, 1);
    EXPECT_EQ(count(), 3);
    {
        TExclusiveLock lock;
        EXPECT_EQ(founds->GetItem(0), shown);
        EXPECT_EQ(std::wstring(shown->Name), L"C:\\root\\1");
        EXPECT_EQ(founds->FoundCount(), 2003);
    }
    g_now = 52002;
    founds->Add(ItemNamed(L"C:\\root\\last"));
    EXPECT_EQ(observer.Updates, 2);
    EXPECT_EQ(count(), 2004);
    founds->Finish();
    EXPECT_EQ(observer.Updates, 3);
    EXPECT_EQ(count(), 2004);
    founds->Detach(&observer);
    EXPECT_TRUE(founds->Stopped());
}

// Large files are read in windows that overlap: a match across any window
// boundary is found, and windows start at line or character starts.
TEST(Grep, WindowsOfALargeFileMissNoMatchAcrossTheirBoundaries)
{
    // Shift-JIS "あ" is 82 A0: a cut at an odd offset falls inside one.
    std::string pairs;
    for (int i = 0; i < 10; ++i)
        pairs += "\x82\xA0";
    EXPECT_EQ(NextWindowStart(pairs.data(), pairs.size(), 5, true), 14u);
    EXPECT_EQ(NextWindowStart(pairs.data(), pairs.size(), 5, false), 15u);
    EXPECT_EQ(NextWindowStart(pairs.data(), pairs.size(), 6, true), 14u);
    std::string lines = pairs;
    lines[16] = '\n';
    EXPECT_EQ(NextWindowStart(lines.data(), lines.size(), 5, true), 17u);
    // A line break past the first half of the repeated part is passed over.
    lines[16] = 'x';
    lines[18] = '\n';
    EXPECT_EQ(NextWindowStart(lines.data(), lines.size(), 5, false), 15u);

    TempFolder dir;
    ComPtr<IRegExp> pattern = CreateRegExp("needle", kRegExpIgnoreCase, TRegExpMode::DoubleByte);
    const TContentWindows windows{0, 64, 16};
    auto found = [&](const std::string& contents) {
        std::wstring path = dir.MakeFile(L"big.txt", contents);
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
        return SearchFileContents(file.get(), pattern.get(), windows, nullptr);
    };
    int missed = 0;
    for (size_t at = 0; at + 6 <= 300; ++at) {
        std::string contents(300, 'x');
        for (size_t line = 37; line < 300; line += 41)
            contents[line] = '\n';
        contents.replace(at, 6, "needle");
        if (!found(contents))
            ++missed;
    }
    EXPECT_EQ(missed, 0);
    EXPECT_FALSE(found(std::string(300, 'x')));
    EXPECT_FALSE(found(""));
    EXPECT_TRUE(found(std::string(250, 'x') + "NEEDLE"));
}

namespace {

struct TFoundWindow {
    const wchar_t* Caption;
    HWND Window;
};

BOOL CALLBACK FindCaptionedWindow(HWND window, LPARAM param)
{
    auto* find = reinterpret_cast<TFoundWindow*>(param);
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    if (IsWindowVisible(window) && std::wstring(text) == find->Caption) {
        find->Window = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForWindow(DWORD thread, const wchar_t* caption)
{
    TFoundWindow find{caption, nullptr};
    PumpUntil([&] {
        EnumThreadWindows(thread, FindCaptionedWindow, reinterpret_cast<LPARAM>(&find));
        return find.Window != nullptr;
    }, 10000);
    return find.Window;
}

BOOL CALLBACK CollectText(HWND window, LPARAM param)
{
    wchar_t text[128] = {};
    GetWindowTextW(window, text, 128);
    *reinterpret_cast<std::wstring*>(param) += std::wstring(text) + L"|";
    return TRUE;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[128] = {};
    GetWindowTextW(window, text, 128);
    return text;
}

HWND FocusOf(DWORD thread)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(thread, &info);
    return info.hwndFocus;
}

// Clicks a button of a toolkit dialog.
void Press(HWND dialog, int button)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

// Presses Start with the texts given, and expects the message box with the
// message and caption; closes it.
void ExpectRefused(HWND dialog, DWORD thread, const wchar_t* name, const wchar_t* content, const wchar_t* message,
                   const wchar_t* caption)
{
    SendMessageW(GetDlgItem(dialog, 100), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name));
    SendMessageW(GetDlgItem(dialog, 101), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(content));
    Press(dialog, IDOK);
    HWND box = WaitForWindow(thread, caption);
    ASSERT_NE(box, nullptr) << "no message box " << UnicodeToUtf8(caption);
    std::wstring texts;
    EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&texts));
    EXPECT_NE(texts.find(message), std::wstring::npos) << UnicodeToUtf8(texts);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10000));
    EXPECT_TRUE(IsWindowVisible(dialog));
}

} // namespace

// The dialog as the user meets it: the texts it starts with, a bad filter
// and a bad pattern refused with the dialog left open and the faulty field
// focused; then a search whose results replace the view's folder, and
// "ToFound" from a result to the file in its directory.
TEST(FindFileDialog, RefusesBadTextsThenSearchesAndToFoundLandsOnTheFile)
{
    TempFolder dir;
    dir.MakeDir(L"inner");
    std::wstring target = dir.MakeFile(L"inner\\target.txt", "a needle here");
    dir.MakeFile(L"inner\\other.txt", "nothing");
    TWindowThread window(dir.Path());
    const DWORD thread = window.Thread()->ThreadId();

    window.PostAction("FindFile");
    HWND dialog = WaitForWindow(thread, L"ファイル検索");
    ASSERT_NE(dialog, nullptr);
    HWND nameField = GetDlgItem(dialog, 100);
    HWND contentField = GetDlgItem(dialog, 101);
    EXPECT_EQ(TextOf(nameField), L"\"*.*\"");
    // The focus and the selection come just after the dialog shows.
    EXPECT_TRUE(PumpUntil([&] { return FocusOf(thread) == nameField; }, 5000));
    DWORD start = 0, end = 0;
    EXPECT_TRUE(PumpUntil([&] {
        SendMessageW(nameField, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        return start == 1 && end == 4;
    }, 5000)) << start << " " << end;
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDOK)), L"Start");
    EXPECT_EQ(TextOf(GetDlgItem(dialog, IDCANCEL)), L"Cancel");
    RECT client{};
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, 320);
    EXPECT_EQ(client.bottom, 80);

    ExpectRefused(dialog, thread, L"\"*.txt", L"", L"ワイルドカードが間違い", L"検索");
    EXPECT_TRUE(PumpUntil([&] { return FocusOf(thread) == nameField; }, 5000));
    ExpectRefused(dialog, thread, L"\"*.txt\"", L"(needle", L"正規表現が間違い", L"NimRegExp");
    EXPECT_TRUE(PumpUntil([&] { return FocusOf(thread) == contentField; }, 5000));

    SendMessageW(contentField, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"NEEDLE"));
    Press(dialog, IDOK);
    ComPtr<IFolder> results;
    ASSERT_TRUE(PumpUntil([&] {
        results = window.Locked([](TFilerView* view) { return ComPtr<IFolder>(view->Folder()); });
        return IsFoundsFolder(results.get()) && IsFinished(results.get());
    }));
    EXPECT_EQ(Names(results.get()), std::set<std::wstring>{target});
    ASSERT_TRUE(PumpUntil([&] { return window.Locked([](TFilerView* view) { return view->Count() == 1; }); }));
    results.reset();

    window.Locked([&](TFilerView* view) { view->SetCaretByNameText(target); });
    window.PostAction("ToFound");
    ASSERT_TRUE(PumpUntil([&] { return window.FolderPath() == dir / L"inner"; }));
    ASSERT_TRUE(PumpUntil([&] {
        return window.Locked([](TFilerView* view) {
            TFileItem* caret = view->CaretItem();
            return caret != nullptr && std::wstring(caret->Name) == L"target.txt";
        });
    }));
}

// Leaving the results ends the walk at its next entry: held up in a file,
// the search sees the view go and never finishes.
TEST(Grep, LeavingTheResultsStopsTheWalk)
{
    TempFolder dir;
    for (int i = 0; i < 40; ++i)
        dir.MakeFile(L"f" + std::to_wstring(i) + L".txt", "block");
    TWindowThread window(dir.Path());
    UniqueHandle blocked(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_blocked = blocked.get();
    g_release = release.get();
    g_blockOnce = true;

    ComPtr<IFounds> founds = StartSearch(TPath::FromPath(dir.Path()),
                                         CreateRegExp("block", kRegExpIgnoreCase, TRegExpMode::DoubleByte),
                                         std::make_unique<TWildCardExpression>(L"\"*.txt\""));
    // The view takes the results on its own thread, as after the dialog.
    window.Locked([&](TFilerView* v) { v->ChangeFolder(founds.get()); });
    ASSERT_EQ(WaitForSingleObject(blocked.get(), 10000), WAIT_OBJECT_0);
    window.PostAction("ToParent");
    ASSERT_TRUE(PumpUntil([&] {
        return window.Locked([](TFilerView* v) { return v->Folder() != nullptr && !IsFoundsFolder(v->Folder()); });
    }));
    EXPECT_EQ(window.FolderPath(), dir.Path());
    EXPECT_TRUE(FoundsOf(founds.get())->Stopped());
    SetEvent(release.get());
    // The thread lets go of the folder when it ends.
    TFounds* object = FoundsOf(founds.get());
    EXPECT_TRUE(PumpUntil([&] { return object->RefCount() == 1; }, 10000));
    EXPECT_FALSE(IsFinished(founds.get()));
    {
        TExclusiveLock lock;
        EXPECT_LE(object->FoundCount(), 1);
    }
    g_blocked = g_release = nullptr;
}

// Results follow their files: a file deleted leaves the list, one that
// changed shows its new size, and one renamed through the list stays in it
// under its new name with the caret on it.
TEST(Grep, ResultsFollowTheirFilesThroughDeleteAndRename)
{
    TempFolder dir;
    std::wstring gone = dir.MakeFile(L"a.txt", "a");
    dir.MakeDir(L"sub");
    std::wstring renamed = dir.MakeFile(L"sub\\b.txt", "bb");
    std::wstring grown = dir.MakeFile(L"sub\\c.txt", "ccc");
    ComPtr<IFounds> founds = Search(dir.Path(), L"\"*.txt\"");
    ASSERT_EQ(Names(founds.get()), (std::set<std::wstring>{gone, renamed, grown}));
    TWindowThread window(dir.Path());
    window.Locked([&](TFilerView* v) { v->ChangeFolder(founds.get()); });

    // Deleted for good through the action, while another file grows.
    dir.MakeFile(L"sub\\c.txt", "cccccc");
    window.Locked([&](TFilerView* view) { view->SetCaretByNameText(gone); });
    window.PostAction("Delete");
    HWND choice = WaitForWindow(window.Thread()->ThreadId(), L"削除");
    ASSERT_NE(choice, nullptr);
    HWND list = FindWindowExW(choice, nullptr, L"ListBox", nullptr);
    ASSERT_NE(list, nullptr);
    SendMessageW(list, LB_SETCURSEL, 1, 0);  // the second entry, for good
    Press(choice, IDOK);
    HWND confirm = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        confirm = FindWindowW(L"#32770", L"削除");
        return confirm != nullptr && confirm != choice;
    }));
    PostMessageW(confirm, WM_COMMAND, IDYES, 0);
    ASSERT_TRUE(PumpUntil([&] { return GetFileAttributesW(gone.c_str()) == INVALID_FILE_ATTRIBUTES; }));
    ASSERT_TRUE(PumpUntil([&] { return Records(founds.get()).size() == 2; }));
    std::map<std::wstring, TFileItem> records = Records(founds.get());
    EXPECT_EQ(records.size(), 2u);
    EXPECT_EQ(records.count(gone), 0u);
    ASSERT_EQ(records.count(grown), 1u);
    EXPECT_EQ(records[grown].Size, 6);
    {
        TExclusiveLock lock;
        EXPECT_EQ(FoundsOf(founds.get())->FoundCount(), 2);
    }

    window.Locked([&](TFilerView* view) { view->SetCaretByNameText(renamed); });
    window.PostAction("Rename");
    HWND dialog = WaitForWindow(window.Thread()->ThreadId(), L"名前の変更");
    ASSERT_NE(dialog, nullptr);
    HWND field = FindWindowExW(dialog, nullptr, L"Edit", nullptr);
    ASSERT_NE(field, nullptr);
    SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"d.txt"));
    Press(dialog, IDOK);
    std::wstring now = dir / L"sub\\d.txt";
    ASSERT_TRUE(PumpUntil([&] { return Names(founds.get()) == std::set<std::wstring>{grown, now}; }));
    EXPECT_NE(GetFileAttributesW(now.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(std::wstring(Records(founds.get())[now].DisplayName), L"d.txt");
    EXPECT_TRUE(PumpUntil([&] {
        return window.Locked([&](TFilerView* view) {
            TFileItem* caret = view->CaretItem();
            return caret != nullptr && std::wstring(caret->Name) == now;
        });
    }));
}
