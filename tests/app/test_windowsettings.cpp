// The window settings step: key bindings and the menu bar of setting.yaml.

// Own
#include "app/UStartup.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LExceptions.h"
#include "lw/LMenus.h"
#include "lw/LWindows.h"

// Standard library
#include <string>
#include <vector>

// Test framework
#include <gtest/gtest.h>

#include "tests/lw/ToolkitTest.h"

namespace {

class TNamedAction : public T0Action {
public:
    TNamedAction(bool global, std::string name) : T0Action(global) { Describe(name, Utf8ToWide(name), L""); }

private:
    static std::wstring Utf8ToWide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
};

// A window thread's manager with "Copy" and "Paste", over a global one with
// "Dummy" and "Refresh". The key table and the menu bar go before the
// actions they hold.
class WindowSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        FGlobal = new T0ActionManager(true);
        FThread = new T0ActionManager(false);
        SetGlobalActionManager(FGlobal);
        Copy = Add(FThread, "Copy");
        Paste = Add(FThread, "Paste");
        Dummy = Add(FGlobal, "Dummy");
        Refresh = Add(FGlobal, "Refresh");
        Keys = new TKeyAssignment;
        Menu = new TMainMenu;
    }
    void TearDown() override
    {
        T0Object::Free(Menu);
        T0Object::Free(Keys);
        SetGlobalActionManager(nullptr);
        T0Object::Free(FThread);
        T0Object::Free(FGlobal);
    }

    static IAction* Add(T0ActionManager* manager, const char* name)
    {
        auto* action = new TNamedAction(manager->Global(), name);
        action->SetOwner(manager);
        return action;
    }

    void Read(const std::string& text, bool ownerDraw = false)
    {
        ReadWindowSettings(text, FThread, *Keys, *Menu, ownerDraw);
    }

    IAction* Bound(int modifiers, int key) const { return Keys->Entry(modifiers, key).get(); }

    static IAction* ActionOf(TAnyMenuItem* item)
    {
        auto* actionItem = dynamic_cast<TActionMenuItem*>(item);
        return actionItem != nullptr ? actionItem->Action() : nullptr;
    }

    IAction* Copy = nullptr;
    IAction* Paste = nullptr;
    IAction* Dummy = nullptr;
    IAction* Refresh = nullptr;
    TKeyAssignment* Keys = nullptr;
    TMainMenu* Menu = nullptr;

private:
    T0ActionManager* FGlobal = nullptr;
    T0ActionManager* FThread = nullptr;
};

} // namespace

TEST_F(WindowSettings, KeyBindings)
{
    Read("--- !Nimbra\n"
         "editor: vi\n"
         "key:\n"
         "  C-c: Copy\n"
         "  F1: copy\n"            // action names in any case
         "  S-x: NoSuchAction\n"   // dropped
         "  C-A-x: Paste\n"        // stored under a key no event carries
         "  A-C-x: Paste\n"
         "  _5: Refresh\n"         // a global action
         "  nested:\n"
         "    F2: Copy\n"          // not a scalar entry: skipped whole
         "  F3: 'Paste'\n"
         "skin:\n"
         "  owner-draw: true\n"
         "KEY:\n"
         "  F1: Paste\n"           // a later section overwrites
         "  F4: Copy\n");
    EXPECT_EQ(Bound(kShiftCtrl, 'C'), Copy);
    EXPECT_EQ(Bound(0, VK_F1), Paste);
    EXPECT_EQ(Bound(kShiftShift, 'X'), nullptr);
    EXPECT_EQ(Bound(kShiftCtrl, 0), Paste);
    EXPECT_EQ(Bound(kShiftCtrl, 'X'), nullptr);
    EXPECT_EQ(Bound(kShiftAlt | kShiftCtrl, 'X'), Paste);
    EXPECT_EQ(Bound(0, '5'), Refresh);
    EXPECT_EQ(Bound(0, VK_F2), nullptr);
    EXPECT_EQ(Bound(0, VK_F3), Paste);
    EXPECT_EQ(Bound(0, VK_F4), Copy);
    EXPECT_EQ(Menu->Count(), 0);
}

TEST_F(WindowSettings, MenuBar)
{
    Read("menu:\n"
         "  - f: \"ファイル\"\n"
         "    *:\n"
         "      - o: Copy\n"
         "      - -\n"
         "      - n: NoSuchAction\n"        // shown, runs Dummy
         "      - e: \"Extra\"\n"           // a header without items
         "      - plain text\n"
         "  - +: Paste\n"                    // no access key
         "  - r: Refresh\n"
         "    other: skipped\n"
         "    *:\n"                          // only right after the first entry
         "      - c: Copy\n"
         "  - 42\n"
         "  - h: \"Help\"\n"
         "    *:\n"
         "      - x: Copy\n"
         "        *:\n"                      // an action item's own submenu
         "          - y: Paste\n",
         true);
    ASSERT_EQ(Menu->Count(), 5);
    TAnyMenuItem* file = Menu->ItemAt(0);
    EXPECT_EQ(file->GetText(), L"ファイル(&f)");
    TPopupMenu* fileMenu = file->Submenu();
    ASSERT_NE(fileMenu, nullptr);
    ASSERT_EQ(fileMenu->Count(), 5);
    EXPECT_EQ(ActionOf(fileMenu->ItemAt(0)), Copy);
    EXPECT_EQ(fileMenu->ItemAt(0)->GetAccessKey(), L'o');
    EXPECT_NE(fileMenu->ItemAt(1)->Type() & MFT_SEPARATOR, 0u);
    EXPECT_EQ(ActionOf(fileMenu->ItemAt(2)), Dummy);
    EXPECT_EQ(fileMenu->ItemAt(3)->GetText(), L"&Extra");
    ASSERT_NE(fileMenu->ItemAt(3)->Submenu(), nullptr) << "a header always has a submenu";
    EXPECT_EQ(fileMenu->ItemAt(3)->Submenu()->Count(), 0);
    EXPECT_NE(fileMenu->ItemAt(4)->Type() & MFT_SEPARATOR, 0u) << "any scalar item";

    EXPECT_EQ(ActionOf(Menu->ItemAt(1)), Paste);
    EXPECT_EQ(Menu->ItemAt(1)->GetAccessKey(), 0);
    EXPECT_EQ(ActionOf(Menu->ItemAt(2)), Refresh);
    EXPECT_EQ(Menu->ItemAt(2)->Submenu(), nullptr);
    EXPECT_NE(Menu->ItemAt(3)->Type() & MFT_SEPARATOR, 0u);
    TPopupMenu* help = Menu->ItemAt(4)->Submenu();
    ASSERT_NE(help, nullptr);
    ASSERT_EQ(help->Count(), 1);
    ASSERT_NE(help->ItemAt(0)->Submenu(), nullptr);
    EXPECT_EQ(ActionOf(help->ItemAt(0)->Submenu()->ItemAt(0)), Paste);

    // Every item carries the skin's owner-draw flag.
    for (TAnyMenu* menu : {static_cast<TAnyMenu*>(Menu), static_cast<TAnyMenu*>(fileMenu)})
        for (int i = 0; i < menu->Count(); ++i)
            EXPECT_NE(menu->ItemAt(i)->Type() & MFT_OWNERDRAW, 0u);

    // Captions come from the actions once the bar is updated.
    Menu->Update();
    EXPECT_EQ(fileMenu->ItemAt(0)->GetText(), L"C&opy");
    EXPECT_EQ(fileMenu->ItemAt(2)->GetText(), L"Dummy(&n)");
}

TEST_F(WindowSettings, ErrorsEndTheStepKeepingWhatWasRead)
{
    EXPECT_THROW(Read("key:\n  F2: Copy\n  :broken\nmenu:\n  - -\n"), Exception);
    EXPECT_EQ(Bound(0, VK_F2), Copy);
    EXPECT_EQ(Menu->Count(), 0);

    EXPECT_THROW(Read("menu:\n  - c: Copy\n  - p: Paste\n  ?broken\nkey:\n  F5: Paste\n"), Exception);
    EXPECT_EQ(Menu->Count(), 2);
    EXPECT_EQ(Bound(0, VK_F5), nullptr);

    try {
        Read("--- !Other\nkey:\n  F6: Copy\n");
        ADD_FAILURE() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), L"YAML Type Error");
    }
    EXPECT_EQ(Bound(0, VK_F6), nullptr);

    // Nothing to read is no error.
    Read("");
    Read("- just a list\n");
    EXPECT_EQ(Menu->Count(), 2);
}

TEST(SkinPicture, RelativeNamesLieBesideTheProgramAndOthersStay)
{
    const std::wstring program = L"C:\\Tools\\nimbra\\";
    EXPECT_EQ(SkinPicturePath(L"back.bmp", program), L"C:\\Tools\\nimbra\\back.bmp");
    EXPECT_EQ(SkinPicturePath(L"skin\\back.bmp", program), L"C:\\Tools\\nimbra\\skin\\back.bmp");
    EXPECT_EQ(SkinPicturePath(L"D:\\pics\\back.bmp", program), L"D:\\pics\\back.bmp");
    EXPECT_EQ(SkinPicturePath(L"\\\\server\\share\\back.bmp", program), L"\\\\server\\share\\back.bmp");
    EXPECT_EQ(SkinPicturePath(L"\\pics\\back.bmp", program), L"\\pics\\back.bmp");
    EXPECT_EQ(SkinPicturePath(L"", program), L"");
}
