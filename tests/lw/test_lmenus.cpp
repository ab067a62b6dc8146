// Key tables, key names, captions and menus.

// Toolkit
#include "lw/LActions.h"
#include "lw/LExceptions.h"
#include "lw/LMenus.h"
#include "lw/LMenusXP.h"
#include "lw/LWindows.h"

// Standard library
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/lw/ToolkitTest.h"

namespace {

class TTestAction : public T0Action {
public:
    TTestAction(std::string name, std::wstring caption, std::wstring hint) : T0Action(false)
    {
        Describe(std::move(name), std::move(caption), std::move(hint));
    }
    bool EnableOnIdle = true;
    bool CheckOnIdle = false;
    int Runs = 0;
    IActionItems* List = nullptr;

    void Idle() override
    {
        SetEnabled(EnableOnIdle);
        SetChecked(CheckOnIdle);
    }
    void Execute() override { ++Runs; }
    IActionItems* ActionItems() override { return List; }
};

// Actions owned by a manager that goes at the end of the scope.
class TActions {
public:
    TActions() : FManager(new T0ActionManager(false)) {}
    ~TActions() { T0Object::Free(FManager); }
    TTestAction* Add(std::string name, std::wstring caption = L"", std::wstring hint = L"")
    {
        auto* action = new TTestAction(std::move(name), std::move(caption), std::move(hint));
        action->SetOwner(FManager);
        action->Idle();
        return action;
    }

private:
    T0ActionManager* FManager;
};

class TTableHook : public TInterfaced<TInterfacedObject, IKeyAssignment> {
public:
    int Modifiers = 0, Key = 0;
    ComPtr<IAction> Action;
    HRESULT STDMETHODCALLTYPE GetAction(int32_t modifiers, int32_t key, IAction** action) override
    {
        *action = modifiers == Modifiers && key == Key ? ComPtr<IAction>(Action).detach() : nullptr;
        return S_OK;
    }
};

} // namespace

TEST(KeyTable, LookupHooksShortcutTextAndDispatch)
{
    TActions actions;
    TTestAction* copy = actions.Add("Copy");
    TTestAction* paste = actions.Add("Paste");
    TOwned<TKeyAssignment> keys(new TKeyAssignment);
    keys->Assign(kShiftCtrl, 'C', copy);
    keys->Assign(0, VK_F1, copy);
    keys->Assign(kShiftShift, 'C', paste);
    keys->Assign(kShiftAlt | kShiftCtrl | kShiftShift, VK_F2, paste);

    // Lower modifier sets first, one space between.
    EXPECT_EQ(ShortcutText(keys.get(), copy), L"F1 Control+C");
    EXPECT_EQ(ShortcutText(keys.get(), paste), L"Shift+C Alt+Control+Shift+F2");

    // A hook answers before the table and shows in the shortcut texts.
    ComPtr<TTableHook> hook(new TTableHook);
    hook->Key = VK_F1;
    hook->Action = paste;
    ComPtr<TTableHook> stranger(new TTableHook);
    ASSERT_HRESULT_SUCCEEDED(keys->AddHook(hook.get()));
    ASSERT_HRESULT_SUCCEEDED(keys->RemoveHook(stranger.get()));
    EXPECT_EQ(keys->Lookup(0, VK_F1).get(), static_cast<IAction*>(paste));
    EXPECT_EQ(keys->Entry(0, VK_F1).get(), static_cast<IAction*>(copy)) << "the table's own entry";
    EXPECT_EQ(ShortcutText(keys.get(), copy), L"Control+C");
    EXPECT_EQ(ShortcutText(keys.get(), paste), L"F1 Shift+C Alt+Control+Shift+F2");
    ASSERT_HRESULT_SUCCEEDED(keys->RemoveHook(hook.get()));
    EXPECT_EQ(keys->Lookup(0, VK_F1).get(), static_cast<IAction*>(copy));
    EXPECT_EQ(hook->RefCount(), 1) << "the table let go of the hook";
    // The texts come from an index made once: a new binding shows at once.
    EXPECT_EQ(ShortcutText(keys.get(), copy), L"F1 Control+C");
    keys->Assign(0, VK_F3, copy);
    EXPECT_EQ(ShortcutText(keys.get(), copy), L"F1 F3 Control+C");
    keys->Assign(0, VK_F3, nullptr);
    EXPECT_EQ(ShortcutText(keys.get(), copy), L"F1 Control+C");

    // Outside the table: nothing bound, nothing stored.
    EXPECT_THROW(keys->Assign(kModifierSets, 0, copy), EAssertionFailed);
    EXPECT_THROW(keys->Assign(0, kKeyCodes, copy), EAssertionFailed);
    ComPtr<IAction> none;
    ASSERT_HRESULT_SUCCEEDED(static_cast<IKeyTable*>(keys.get())->Lookup(-1, 0, none.put()));
    EXPECT_FALSE(none);
    ASSERT_HRESULT_SUCCEEDED(static_cast<IKeyTable*>(keys.get())->Lookup(0, 300, none.put()));
    EXPECT_FALSE(none);

    // Dispatch: unbound, performed, refused when the refresh disables it.
    EXPECT_EQ(DispatchKey(keys.get(), 0, 'Z'), TKeyDispatch::NotBound);
    EXPECT_EQ(DispatchKey(keys.get(), kShiftCtrl, 'C'), TKeyDispatch::Performed);
    EXPECT_EQ(copy->Runs, 1);
    paste->EnableOnIdle = false;
    EXPECT_EQ(DispatchKey(keys.get(), kShiftShift, 'C'), TKeyDispatch::Refused);
    EXPECT_EQ(paste->Runs, 0);
    EXPECT_EQ(DispatchKey(nullptr, 0, 'C'), TKeyDispatch::NotBound);

    // The table holds its actions until it goes.
    hook->Action.reset();
    keys.reset();
    EXPECT_EQ(copy->RefCount(), 0);
    EXPECT_EQ(paste->RefCount(), 0);
}

TEST(KeyNames, SettingsNamesParse)
{
    struct Row {
        const wchar_t* Name;
        TKeyCombination Expected;
    };
    const Row rows[] = {
        {L"A-C-x", {kShiftAlt | kShiftCtrl, 'X'}},
        {L"C-A-x", {kShiftCtrl, 0}}, // prefixes only in the order A, C, S
        {L"S-C-x", {kShiftShift, 0}},
        {L"a-x", {0, 0}}, // prefixes are case-sensitive
        {L"A-", {kShiftAlt, 0}}, // nothing left names no key, not a nameless one
        {L"C-S-f12", {kShiftCtrl | kShiftShift, VK_F12}},
        {L"f1", {0, VK_F1}},
        {L"F1", {0, VK_F1}},
        {L"_5", {0, '5'}},
        {L"_Delete", {0, VK_DELETE}},
        {L"Prior", {0, VK_PRIOR}}, // the page key, not the numeric pad's
        {L"SPACE", {0, VK_SPACE}},
        // The Windows names of the common keys, whatever this desktop calls them.
        {L"Enter", {0, VK_RETURN}},
        {L"esc", {0, VK_ESCAPE}},
        {L"C-PageDown", {kShiftCtrl, VK_NEXT}},
        {L"Colon", {0, VK_OEM_1}},
        {L"cOLON", {0, VK_OEM_1}},
        {L"Minus", {0, VK_OEM_MINUS}},
        {L"C-CommercialAt", {kShiftCtrl, VK_OEM_3}},
        {L"S-YenSign", {kShiftShift, VK_OEM_5}},
        {L"LeftButton", {0, VK_LBUTTON}},
        {L"MiddleButton", {0, VK_MBUTTON}},
        {L"A-RightButton", {kShiftAlt, VK_RBUTTON}},
        {L"Nonsense", {0, 0}},
        {L"", {0, 0}},
    };
    for (const Row& row : rows) {
        TKeyCombination parsed = ParseKeyName(row.Name);
        EXPECT_EQ(parsed.Modifiers, row.Expected.Modifiers) << testing::PrintToString(std::wstring(row.Name));
        EXPECT_EQ(parsed.Key, row.Expected.Key) << testing::PrintToString(std::wstring(row.Name));
    }
}

TEST(Captions, ComposeAndDecompose)
{
    struct Row {
        const wchar_t* Caption;
        wchar_t Key;
        const wchar_t* Shortcut;
        const wchar_t* Text;
    };
    const Row rows[] = {
        {L"Open", L'o', L"", L"&Open"}, // the other letter case
        {L"Open", L'O', L"Control+O", L"&Open\tControl+O"},
        {L"Copy to", L'T', L"", L"Copy &to"},
        {L"開く...", L'O', L"", L"開く(&O)..."}, // before the dots
        {L"開くO", L'O', L"", L"開くO(&O)"},     // double-byte text: never in place
        {L"Close", L'x', L"F4", L"Close(&x)\tF4"},
        {L"Save...", L'v', L"", L"Sa&ve..."},
        {L"...", L'x', L"", L"(&x)..."},
        {L".", L'x', L"", L".(&x)"}, // fewer than two characters: at the end
        {L"", L'x', L"", L"(&x)"},
        {L"Plain", 0, L"F5", L"Plain\tF5"},
    };
    for (const Row& row : rows) {
        std::wstring text = ComposeCaption(row.Caption, row.Key, row.Shortcut);
        EXPECT_EQ(text, row.Text);
        TCaptionParts parts = DecomposeCaption(text);
        EXPECT_EQ(parts.Caption, row.Caption) << testing::PrintToString(text);
        // The key as the caption has it.
        EXPECT_EQ(towupper(parts.AccessKey), towupper(row.Key)) << testing::PrintToString(text);
        EXPECT_EQ(parts.Shortcut, row.Shortcut) << testing::PrintToString(text);
    }

    // Native texts that this program did not compose.
    struct Native {
        const wchar_t* Text;
        const wchar_t* Caption;
        wchar_t Key;
        const wchar_t* Shortcut;
    };
    const Native natives[] = {
        {L"Tail&", L"Tail", 0, L""},
        {L"(&", L"(", 0, L""},
        {L"(&x", L"(x", L'x', L""},
        {L"a\tb\tc", L"a", 0, L"b\tc"},
        {L"&A&B", L"A&B", L'A', L""},
    };
    for (const Native& native : natives) {
        TCaptionParts parts = DecomposeCaption(native.Text);
        EXPECT_EQ(parts.Caption, native.Caption);
        EXPECT_EQ(parts.AccessKey, native.Key);
        EXPECT_EQ(parts.Shortcut, native.Shortcut);
    }
}


// ---------------------------------------------------------------------------
// Menus

namespace {

// A window thread: answers IKeyTable with its table, as a filer window's
// thread does, and runs one test body.
class TKeyThread : public T0GUIThread {
public:
    explicit TKeyThread(std::function<void(TKeyThread*)> body) : FBody(std::move(body)) {}
    TKeyAssignment* Keys = nullptr;
    std::exception_ptr Error;

protected:
    HRESULT GetInterface(REFIID iid, void** object) noexcept override
    {
        if (iid == __uuidof(IKeyTable) && Keys != nullptr)
            return Keys->QueryInterface(iid, object);
        return T0GUIThread::GetInterface(iid, object);
    }
    void Execute() override
    {
        try {
            Keys = new TKeyAssignment;
            Keys->SetOwner(this);
            FBody(this);
        } catch (...) {
            Error = std::current_exception();
        }
    }

private:
    std::function<void(TKeyThread*)> FBody;
};

void RunOnKeyThread(std::function<void(TKeyThread*)> body)
{
    TKeyThread* thread = T0Thread::StartThread<TKeyThread>(std::move(body));
    ASSERT_EQ(WaitForSingleObject(thread->ThreadHandle(), 30000), WAIT_OBJECT_0);
    std::exception_ptr error = thread->Error;
    Application()->FreeFinishedThreads();
    if (error)
        std::rethrow_exception(error);
}

class TListProvider : public TActionItemsProvider {
public:
    std::vector<std::wstring> Captions;
    std::vector<intptr_t> Performed;
    void Fill(TActionItems& list) override
    {
        list.Clear();
        for (size_t i = 0; i < Captions.size(); ++i)
            list.Add(Captions[i], static_cast<intptr_t>(i), i == 0);
    }
    void PerformItem(TActionItem& item) override { Performed.push_back(item.Data()); }
};

std::vector<std::wstring> Texts(TAnyMenu* menu)
{
    std::vector<std::wstring> texts;
    for (int i = 0; i < menu->Count(); ++i) {
        TAnyMenuItem* item = menu->ItemAt(i);
        texts.push_back((item->Type() & MFT_SEPARATOR) != 0 ? L"-" : item->GetText());
    }
    return texts;
}

using Strings = std::vector<std::wstring>;

void OpenPopup(TAnyMenu* popup)
{
    MenuInitPopup(reinterpret_cast<WPARAM>(popup->Handle()), 0);
}

void Click(TAnyMenuItem* item)
{
    auto* command = dynamic_cast<TCommandObject*>(CurrentGUIThread()->CommandObject(item->Id()));
    ASSERT_NE(command, nullptr);
    command->ExecuteCommand();
}

} // namespace

TEST(Menus, ActionItemsFollowTheirActionsAndListsOnDemand)
{
    RunOnKeyThread([](TKeyThread* thread) {
        TActions actions;
        TTestAction* open = actions.Add("Open", L"開く...", L"ファイルを開きます");
        TTestAction* locked = actions.Add("Locked", L"Locked");
        TTestAction* windows = actions.Add("Windows", L"Windows");
        TTestAction* history = actions.Add("History", L"History");
        thread->Keys->Assign(kShiftCtrl, 'O', open);
        thread->Keys->Assign(0, VK_F3, open);
        TListProvider provider;
        TOwned<TActionItems> list(new TActionItems(&provider, L"窓"));
        windows->List = list.get();
        history->List = list.get();

        auto* bar = new TMainMenu;
        TMenuItem* file = AddSubmenuHeader(bar, L"ファイル");
        file->SetAccessKey(L'F');
        TPopupMenu* sub = AddSubmenu(file);
        TActionMenuItem* openItem = AddActionItem(sub, open, L'O');
        AddSeparator(sub);
        TActionMenuItem* lockedItem = AddActionItem(sub, locked, 0);
        TActionMenuItem* windowsItem = AddActionItem(sub, windows, L'W');
        TActionMenuItem* historyItem = AddActionItem(sub, history, L'H');
        TPopupMenu* historySub = AddSubmenu(historyItem);
        AddActionItem(historySub, locked, 0);

        locked->EnableOnIdle = false;
        locked->CheckOnIdle = true;
        locked->Idle();
        bar->Update();
        EXPECT_EQ(file->GetText(), L"ファイル(&F)");
        EXPECT_EQ(openItem->GetText(), L"開く(&O)...\tF3 Control+O");
        EXPECT_TRUE(lockedItem->Grayed());
        EXPECT_TRUE(lockedItem->Checked());
        EXPECT_FALSE(openItem->Grayed());
        ASSERT_NE(windowsItem->Submenu(), nullptr) << "made for the action's list";
        EXPECT_TRUE(windowsItem->SubmenuDirty());
        EXPECT_EQ(Texts(sub), (Strings{L"開く(&O)...\tF3 Control+O", L"-", L"Locked", L"&Windows", L"&History"}));

        // An empty list shows one grayed entry; the settings' items stay
        // ahead of the generated ones.
        TPopupMenu* windowsSub = windowsItem->Submenu();
        OpenPopup(windowsSub);
        EXPECT_EQ(Texts(windowsSub), (Strings{L"(なし)"}));
        EXPECT_TRUE(windowsSub->ItemAt(0)->Grayed());
        OpenPopup(historySub);
        EXPECT_EQ(Texts(historySub), (Strings{L"Locked", L"-", L"(なし)"}));

        // The next update takes the generated entries away; the list is
        // asked again when the submenu next opens.
        provider.Captions = {L"一", L"二"};
        list->Invalidate();
        bar->Update();
        EXPECT_EQ(Texts(windowsSub), Strings{});
        EXPECT_EQ(Texts(historySub), (Strings{L"Locked"}));
        OpenPopup(windowsSub);
        OpenPopup(windowsSub);
        EXPECT_EQ(Texts(windowsSub), (Strings{L"一", L"二"})) << "filled once per update";
        EXPECT_TRUE(windowsSub->ItemAt(0)->Checked());
        Click(windowsSub->ItemAt(1));
        EXPECT_EQ(provider.Performed, (std::vector<intptr_t>{1}));
        Click(openItem);
        EXPECT_EQ(open->Runs, 1);

        // Hints for the status bar, and none for headers or foreign items.
        EXPECT_EQ(MenuSelectHint(MAKEWPARAM(openItem->Id(), MF_HILITE), reinterpret_cast<LPARAM>(sub->Handle())),
                  L"ファイルを開きます");
        EXPECT_EQ(MenuSelectHint(MAKEWPARAM(0, MF_POPUP | MF_HILITE), reinterpret_cast<LPARAM>(bar->Handle())), L"");
        AppendMenuW(sub->Handle(), MF_STRING, 7, L"Shell");
        TAnyMenuItem* foreign = sub->ItemAt(sub->Count() - 1);
        ASSERT_NE(foreign, nullptr);
        EXPECT_EQ(sub->ItemAt(sub->Count() - 1), foreign) << "one wrapper per native item";
        EXPECT_EQ(foreign->Owner(), thread->Garbage());
        EXPECT_EQ(foreign->GetText(), L"Shell");
        EXPECT_EQ(MenuSelectHint(MAKEWPARAM(7, MF_HILITE), reinterpret_cast<LPARAM>(sub->Handle())), L"");

        // A list that goes away takes the submenu made for it, but not the
        // one the settings gave.
        windows->List = nullptr;
        history->List = nullptr;
        bar->Update();
        EXPECT_EQ(windowsItem->Submenu(), nullptr);
        EXPECT_EQ(historyItem->Submenu(), historySub);
        EXPECT_EQ(Texts(historySub), (Strings{L"Locked"}));

        // Owner-drawn items keep their access keys through WM_MENUCHAR.
        openItem->SetOwnerDraw(true);
        EXPECT_EQ(MenuChar(MAKEWPARAM(L'o', MF_POPUP), reinterpret_cast<LPARAM>(sub->Handle())),
                  MAKELRESULT(0, MNC_EXECUTE));
        EXPECT_EQ(MenuChar(MAKEWPARAM(L'q', MF_POPUP), reinterpret_cast<LPARAM>(sub->Handle())), 0);

        // Going with the bar: the native menus, the command identifiers and
        // the references to the actions.
        thread->Keys->Assign(kShiftCtrl, 'O', nullptr);
        thread->Keys->Assign(0, VK_F3, nullptr);
        UINT openId = openItem->Id();
        HMENU subHandle = sub->Handle();
        T0Object::Free(bar);
        EXPECT_FALSE(IsMenu(subHandle));
        EXPECT_EQ(thread->CommandObject(openId), nullptr);
        EXPECT_EQ(open->RefCount(), 0);
        EXPECT_EQ(history->RefCount(), 0);
        EXPECT_EQ(TAnyMenu::FromHandle(subHandle), nullptr);
    });
}

TEST(Menus, TheBarLeavesItsWindowAndSurvivesIt)
{
    RunOnKeyThread([](TKeyThread*) {
        auto window = [] {
            return CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200, nullptr, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
        };
        HWND first = window();
        auto* bar = new TMainMenu;
        TPopupMenu* sub = AddSubmenu(AddSubmenuHeader(bar, L"File"));
        AddSeparator(sub);
        bar->AttachTo(first);
        EXPECT_EQ(GetMenu(first), bar->Handle());
        T0Object::Free(bar);
        EXPECT_EQ(GetMenu(first), nullptr) << "no handle of a destroyed menu is left with the window";
        DestroyWindow(first);

        // The window goes first and takes the native menus with it.
        HWND second = window();
        bar = new TMainMenu;
        sub = AddSubmenu(AddSubmenuHeader(bar, L"File"));
        AddSeparator(sub);
        bar->AttachTo(second);
        DestroyWindow(second);
        EXPECT_FALSE(IsMenu(bar->Handle()));
        EXPECT_EQ(bar->Count(), 0);
        bar->Update();
        T0Object::Free(bar);
    });
}

// ---------------------------------------------------------------------------
// Owner-drawn menus

TEST(OwnerDraw, ColoursAndSizes)
{
    EXPECT_EQ(MenuSelectionColor(0x6A240A), 0xD9C8C1u);
    EXPECT_EQ(MenuLightColor(0xD9C8C1), 0xABA39Fu);
    EXPECT_EQ(MenuSelectionColor(0xFFFFFF), 0xFEFEFEu) << "no carry into the next channel";

    auto same = [](SIZE a, SIZE b) { return a.cx == b.cx && a.cy == b.cy; };
    EXPECT_TRUE(same(MenuItemSize({80, 13}, true, true), {1, 5}));
    EXPECT_TRUE(same(MenuItemSize({80, 10}, false, true), {120, 20})) << "at least 20 high";
    EXPECT_TRUE(same(MenuItemSize({80, 16}, false, true), {120, 24}));
    EXPECT_TRUE(same(MenuItemSize({80, 16}, false, false), {80, 16})) << "bar items keep the text size";
}

TEST(OwnerDraw, MeasuresAndDrawsOnlyItsOwnItems)
{
    auto* popup = new TPopupMenu;
    TOwned<TPopupMenu> freePopup(popup);
    TMenuItem* item = AddSubmenuHeader(popup, L"&Open\tControl+O");
    item->SetOwnerDraw(true);
    TMenuItem* separator = AddSeparator(popup);
    separator->SetOwnerDraw(true);

    MEASUREITEMSTRUCT measure{ODT_MENU, 0, item->Id(), 0, 0, reinterpret_cast<ULONG_PTR>(item)};
    ASSERT_TRUE(MenuMeasureItem(reinterpret_cast<LPARAM>(&measure)));
    EXPECT_GE(measure.itemHeight, 20u);
    EXPECT_GT(measure.itemWidth, 60u);
    MEASUREITEMSTRUCT line{ODT_MENU, 0, separator->Id(), 0, 0, reinterpret_cast<ULONG_PTR>(separator)};
    ASSERT_TRUE(MenuMeasureItem(reinterpret_cast<LPARAM>(&line)));
    EXPECT_EQ(line.itemWidth, 1u);
    EXPECT_EQ(line.itemHeight, 5u);
    // Item data of someone else's owner-drawn item is never followed.
    MEASUREITEMSTRUCT foreign{ODT_MENU, 0, 7, 0, 0, 0x12345678};
    EXPECT_FALSE(MenuMeasureItem(reinterpret_cast<LPARAM>(&foreign)));
    EXPECT_EQ(foreign.itemWidth, 0u);

    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 200, -24, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    SetTextColor(dc, 0x123456);
    HGDIOBJ fontBefore = GetCurrentObject(dc, OBJ_FONT);

    DRAWITEMSTRUCT draw{ODT_MENU, 0, item->Id(), ODA_DRAWENTIRE, 0, reinterpret_cast<HWND>(popup->Handle()),
                        dc, {0, 0, 200, 24}, reinterpret_cast<ULONG_PTR>(item)};
    ASSERT_TRUE(MenuDrawItem(reinterpret_cast<LPARAM>(&draw)));
    EXPECT_EQ(GetPixel(dc, 5, 2), GetSysColor(COLOR_BTNFACE)) << "the check column";
    EXPECT_EQ(GetPixel(dc, 195, 2), GetSysColor(COLOR_WINDOW));
    draw.itemState = ODS_SELECTED;
    ASSERT_TRUE(MenuDrawItem(reinterpret_cast<LPARAM>(&draw)));
    EXPECT_EQ(GetPixel(dc, 195, 2), MenuSelectionColor(GetSysColor(COLOR_HIGHLIGHT)));
    EXPECT_EQ(GetPixel(dc, 0, 0), GetSysColor(COLOR_HIGHLIGHT)) << "outlined";
    EXPECT_EQ(GetTextColor(dc), 0x123456u) << "the device context is put back";
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), fontBefore);

    draw.itemData = 0x12345678;
    EXPECT_FALSE(MenuDrawItem(reinterpret_cast<LPARAM>(&draw)));

    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
}
