// The window menu across window threads, the extensions' menu, the help
// page's address and the version box.

// Own
#include "actions/UActionsInternal.h"

// Application
#include "app/OSUtils.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LExceptions.h"

// Standard library
#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/LockFaults.h"
#include "tests/PumpUntil.h"
#include "tests/view/WindowThread.h"

using namespace actionsinternal;

namespace {

struct TBox {
    HWND Handle;
    std::wstring Title;
    std::wstring Text;
};

struct TBoxSearch {
    std::wstring Title;
    std::vector<TBox> Found;
};

BOOL CALLBACK NoteBox(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<TBoxSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[32];
    if (process != GetCurrentProcessId() || GetClassNameW(window, name, 32) == 0 || std::wstring(name) != L"#32770" ||
        !IsWindowVisible(window))
        return TRUE;
    wchar_t title[256] = {};
    wchar_t text[2048] = {};
    GetWindowTextW(window, title, 256);
    GetDlgItemTextW(window, 0xFFFF, text, 2048);
    if (search->Title == title)
        search->Found.push_back({window, title, text});
    return TRUE;
}

// The message boxes of this process with that title; the caller holds no
// part of the application lock (reading their texts sends to their threads).
std::vector<TBox> Boxes(const std::wstring& title)
{
    TBoxSearch search{title, {}};
    EnumWindows(NoteBox, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::vector<TBox> WaitForBoxes(const std::wstring& title, size_t count)
{
    std::vector<TBox> boxes;
    PumpUntil([&] { return (boxes = Boxes(title)).size() >= count; }, 10000);
    return boxes;
}

void CloseBoxes(const std::vector<TBox>& boxes)
{
    for (const TBox& box : boxes)
        PostMessageW(box.Handle, WM_COMMAND, IDOK, 0);
}

struct TListed {
    std::wstring Caption;
    bool Checked;
    HWND View;
    ComPtr<IActionItem> Item;
};

std::vector<TListed> ListOf(const char* actionName)
{
    ComPtr<IAction> action = FindAction(GlobalActionManager(), actionName);
    ComPtr<IActionItems> items = ItemsOf(action.get());
    std::vector<TListed> listed;
    if (!items)
        return listed;
    ForEachItem(items.get(), [&](IActionItem* item) {
        ComPtr<IActionItemData> data = ComPtr<IActionItem>(item).as<IActionItemData>();
        listed.push_back({ItemCaption(item), item->GetChecked(),
                          reinterpret_cast<HWND>(data ? data->GetData() : 0), ComPtr<IActionItem>(item)});
    });
    return listed;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::wstring LeafOf(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

} // namespace

TEST(VersionBox, TextCarriesVersionMemoryAndModulesWithGroupedKilobytes)
{
    // The bounds of the units and of the groups.
    EXPECT_EQ(FormatKilobytes(1023), L"0 KB");
    EXPECT_EQ(FormatKilobytes(1024), L"1 KB");
    EXPECT_EQ(FormatKilobytes(999 * 1024 + 1023), L"999 KB");
    EXPECT_EQ(FormatKilobytes(1000 * 1024), L"1,000 KB");
    EXPECT_EQ(FormatKilobytes(uint64_t(1) << 40), L"1,073,741,824 KB");

    TVersionFacts facts;
    facts.MajorVersion = 6;
    facts.MinorVersion = 1;
    facts.BuildNumber = 7601;
    facts.ServicePack = L"Service Pack 1";
    facts.MemoryLoad = 37;
    facts.TotalPhysical = uint64_t(4096) * 1024 * 1024;
    facts.AvailablePhysical = 1536 * 1024;
    facts.TotalVirtual = uint64_t(2) << 30;
    facts.AvailableVirtual = 1024;
    facts.Modules = {{L"ArcZip.dll", L"2.48.0.1"}, {L"ArcTar.dll", L""}};
    std::wstring text = VersionInfoText(facts);
    EXPECT_NE(text.find(L"Nimbra バージョン 2.48"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Windows 6.1 (ビルド 7601) Service Pack 1"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"メモリ使用率: 37%"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"物理メモリ: 合計 4,194,304 KB / 空き 1,536 KB"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"仮想メモリ: 合計 2,097,152 KB / 空き 1 KB"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"ArcZip.dll  2.48.0.1"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"ArcTar.dll  -"), std::wstring::npos) << "a module without a version shows -";

    // The real system: some memory, and kernel32's version resource read.
    TVersionFacts real = GatherVersionFacts({GetModuleHandleW(L"kernel32.dll")});
    EXPECT_GT(real.MajorVersion, 0u);
    EXPECT_GT(real.TotalPhysical, 0u);
    EXPECT_LE(real.AvailablePhysical, real.TotalPhysical);
    ASSERT_EQ(real.Modules.size(), 1u);
    EXPECT_EQ(real.Modules[0].Name.size(), 12u) << "kernel32.dll";
    EXPECT_FALSE(real.Modules[0].Version.empty());
}

// Two presses give two boxes, each on a thread of its own with a hidden
// owner of its own, while the window goes on.
TEST(VersionBox, TwoPressesGiveTwoBoxesOnThreadsOfTheirOwn)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    window.PostAction("VersionInfo");
    window.PostAction("VersionInfo");
    std::vector<TBox> boxes = WaitForBoxes(kVersionBoxTitle, 2);
    ASSERT_EQ(boxes.size(), 2u);
    for (const TBox& box : boxes) {
        EXPECT_NE(box.Text.find(L"2.48"), std::wstring::npos);
        EXPECT_NE(box.Text.find(L"物理メモリ"), std::wstring::npos);
        HWND owner = GetWindow(box.Handle, GW_OWNER);
        ASSERT_NE(owner, nullptr);
        wchar_t name[32] = {};
        GetClassNameW(owner, name, 32);
        EXPECT_STRCASEEQ(std::string(name, name + wcslen(name)).c_str(), "static");
        EXPECT_FALSE(IsWindowVisible(owner));
        EXPECT_NE(GetWindowThreadProcessId(box.Handle, nullptr), window.Thread()->ThreadId());
    }
    EXPECT_NE(GetWindowThreadProcessId(boxes[0].Handle, nullptr), GetWindowThreadProcessId(boxes[1].Handle, nullptr));
    CloseBoxes(boxes);
}

TEST(HelpPage, AddressEscapesTheUnsafeAndKeepsTheAnchor)
{
    struct TRow {
        const wchar_t* Path;
        const wchar_t* Anchor;
        const wchar_t* Url;
    };
    const TRow rows[] = {
        {L"C:\\Program Files\\Nimbra\\Nimbra.html", L"contents", L"file:///C:/Program%20Files/Nimbra/Nimbra.html#contents"},
        {L"\\\\server\\share\\Nimbra.html", L"topics", L"file://server/share/Nimbra.html#topics"},
        {L"C:\\ツール\\Nimbra.html", L"", L"file:///C:/%E3%83%84%E3%83%BC%E3%83%AB/Nimbra.html"},
        // A "#" or "%" of the folder is part of the name, not an anchor.
        {L"D:\\a#b\\100%\\Nimbra.html", L"helponhelp", L"file:///D:/a%23b/100%25/Nimbra.html#helponhelp"},
    };
    for (const TRow& row : rows)
        EXPECT_EQ(HelpPageUrl(row.Path, row.Anchor), row.Url) << std::wstring(row.Path).size();
}

// Without the page beside the program the user is told where it should be,
// in a box owned by the window that asked.
TEST(HelpPage, AMissingPageIsReported)
{
    ASSERT_EQ(GetFileAttributesW(HelpPagePath().c_str()), INVALID_FILE_ATTRIBUTES)
        << "the test needs a program directory without the page";
    TempFolder dir;
    TWindowThread window(dir.Path());
    window.PostAction("HelpContents");
    std::vector<TBox> boxes = WaitForBoxes(ApplicationTitle(), 1);
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes[0].Text.find(kHelpPageName), std::wstring::npos) << boxes[0].Text;
    EXPECT_EQ(GetWindowThreadProcessId(boxes[0].Handle, nullptr), window.Thread()->ThreadId());
    EXPECT_EQ(GetWindow(boxes[0].Handle, GW_OWNER), window.Window()->Handle());
    CloseBoxes(boxes);
}

// Both menus warn when a key performs them.
TEST(MenuActions, FromAKeyTheyOnlyWarn)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    for (const char* name : {"WindowMenu", "HelpMenu"}) {
        std::wstring title = name[0] == 'W' ? L"Window" : L"Help";
        window.PostAction(name);
        std::vector<TBox> boxes = WaitForBoxes(title, 1);
        ASSERT_EQ(boxes.size(), 1u) << name;
        EXPECT_EQ(boxes[0].Text, L"このアクションはメニュー専用です");
        EXPECT_EQ(GetWindow(boxes[0].Handle, GW_OWNER), window.Window()->Handle());
        CloseBoxes(boxes);
        PumpUntil([&] { return Boxes(title).empty(); }, 10000);
    }
}

// Two windows with two and one views: every view is listed in window
// order, only the foreground window's current view is checked, and
// choosing an item makes that view current in its window; an item whose
// view has closed does nothing.
TEST(WindowMenu, ListsEveryViewChecksTheActiveOneAndActivatesTheChosen)
{
    TempFolder dirA, dirB, dirC;
    TWindowThread first(dirA.Path());
    first.PostAction("OpenView");
    ASSERT_TRUE(PumpUntil([&] { return first.Locked([&](TFilerView*) { return first.Window()->ViewCount() == 2; }); }));
    first.Locked([&](TFilerView*) { first.Window()->QueueNavigation(TPath::FromPath(dirC.Path())); });
    ASSERT_TRUE(PumpUntil([&] { return first.FolderPath() == dirC.Path(); }));
    TWindowThread second(dirB.Path());
    HWND secondWindow = second.Window()->Handle();
    SetForegroundWindow(secondWindow);
    ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == secondWindow; }, 10000));

    HWND viewA = nullptr, viewC = nullptr, viewB = nullptr;
    first.Locked([&](TFilerView*) {
        viewA = first.Window()->FirstView()->Handle();
        viewC = first.Window()->LastView()->Handle();
        EXPECT_EQ(first.Window()->CurrentView()->Handle(), viewC);
    });
    viewB = second.Locked([](TFilerView* view) { return view->Handle(); });

    std::vector<TListed> listed = ListOf("WindowMenu");
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_TRUE(EndsWith(listed[0].Caption, LeafOf(dirA.Path()))) << listed[0].Caption;
    EXPECT_TRUE(EndsWith(listed[1].Caption, LeafOf(dirC.Path()))) << listed[1].Caption;
    EXPECT_TRUE(EndsWith(listed[2].Caption, LeafOf(dirB.Path()))) << listed[2].Caption;
    EXPECT_EQ(listed[0].View, viewA);
    EXPECT_EQ(listed[1].View, viewC);
    EXPECT_EQ(listed[2].View, viewB);
    // The first window's current view is not checked: its window is not
    // the foreground one.
    EXPECT_FALSE(listed[0].Checked);
    EXPECT_FALSE(listed[1].Checked);
    EXPECT_TRUE(listed[2].Checked);

    // Choosing the first window's other view makes it current there.
    EXPECT_TRUE(PerformItem(listed[0].Item.get()));
    EXPECT_TRUE(PumpUntil([&] {
        return first.Locked([&](TFilerView* current) { return current->Handle() == viewA; });
    }, 10000)) << "the chosen view did not become current";
    // The window asks for the front itself; without a window manager the
    // X server's focus may take it back, so the test hands it over too.
    SetForegroundWindow(first.Window()->Handle());
    ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == first.Window()->Handle(); }, 10000));

    // The list made now checks the view just chosen.
    std::vector<TListed> again = ListOf("WindowMenu");
    ASSERT_EQ(again.size(), 3u);
    EXPECT_TRUE(again[0].Checked);
    EXPECT_FALSE(again[2].Checked);

    // An item held from before, for a view that has closed since, does
    // nothing: the other windows keep their current views.
    ComPtr<IActionItem> stale = again[1].Item;
    PostMessageW(viewC, WM_CLOSE_VIEW, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return first.Locked([&](TFilerView*) { return first.Window()->ViewCount() == 1; }); }));
    ListOf("WindowMenu");
    PerformItem(stale.get());
    // Another view the second window may get: the stale request must not
    // land there either.
    PostMessageW(first.Window()->Handle(), WM_FOCUS_VIEW, reinterpret_cast<WPARAM>(viewB), 0);
    PumpUntil([] { return false; }, 300);
    first.Locked([&](TFilerView* current) { EXPECT_EQ(current->Handle(), viewA); });
    second.Locked([&](TFilerView* current) { EXPECT_EQ(current->Handle(), viewB); });
}

namespace {

// An extension with a dialog: records the thread it is shown on and waits
// until the test lets it go.
class TFakeConfigurable : public IExtension, public IConfigurable {
public:
    std::atomic<DWORD> ShownOn{0};
    UniqueHandle Entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle LetGo{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IExtension))
            *object = static_cast<IExtension*>(this);
        else if (iid == __uuidof(IConfigurable))
            *object = static_cast<IConfigurable*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // Lives as long as the test program: the application keeps its
    // reference to the end.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Finalize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetCaption(BSTR* caption) override
    {
        *caption = SysAllocString(L"拡張の設定");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Configure() override
    {
        ShownOn = GetCurrentThreadId();
        SetEvent(Entered.get());
        WaitForSingleObject(LetGo.get(), 10000);
        return S_OK;
    }
};

TFakeConfigurable g_configurable;

// Performs the help menu's first item on the thread of the window whose
// key runs it, as a click in its menu would.
class TChooseFirstHelpItem : public T0Action {
public:
    TChooseFirstHelpItem() : T0Action(true) { Describe("ChooseFirstHelpItem", L"", L""); }
    void Execute() override
    {
        std::vector<TListed> listed = ListOf("HelpMenu");
        if (!listed.empty())
            PerformItem(listed[0].Item.get());
    }
};

} // namespace

TEST(HelpMenu, ListsConfigurableExtensionsAndShowsTheirDialogOnAThreadOfItsOwn)
{
    // Before any module registered: a clean empty list.
    EXPECT_TRUE(ListOf("HelpMenu").empty());

    TempFolder dir;
    TWindowThread window(dir.Path());
    ASSERT_HRESULT_SUCCEEDED(App()->RegisterExtension(&g_configurable));
    // The empty list fills itself at the next idle step.
    ComPtr<IAction> help = FindAction(GlobalActionManager(), "HelpMenu");
    {
        TExclusiveLock lock;
        static_cast<T0Action*>(help.get())->Idle();
    }
    std::vector<TListed> listed = ListOf("HelpMenu");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Caption, L"拡張の設定");

    auto* chooser = new TChooseFirstHelpItem;
    HWND view = window.Locked([&](TFilerView* v) {
        window.Window()->KeyAssignment()->Assign(0, VK_F24, chooser);
        return v->Handle();
    });
    PostMessageW(view, WM_KEYDOWN, VK_F24, 0);
    ASSERT_EQ(WaitForSingleObject(g_configurable.Entered.get(), 10000), WAIT_OBJECT_0);
    EXPECT_NE(g_configurable.ShownOn.load(), window.Thread()->ThreadId());
    EXPECT_NE(g_configurable.ShownOn.load(), GetCurrentThreadId());
    // The window answers while the dialog is up.
    std::wstring answer;
    EXPECT_TRUE(AskWindowState(window.Window()->Handle(), L"Folder", answer, 5000));
    SetEvent(g_configurable.LetGo.get());
    window.Locked([&](TFilerView*) { window.Window()->KeyAssignment()->Assign(0, VK_F24, nullptr); });
    T0Object::Free(chooser);
}
