// Key tables and menus: what turns a key press or a menu click into an
// action, and the menu items that show an action's caption, state and keys.
//
// What a window with a key table and a menu bar calls (one call each):
//   creation        TMainMenu::AttachTo(window) once its items are added
//   Idle            menu->Update(), outside menu loops (it rebuilds the
//                   generated submenus, which must not change while shown)
//   WM_INITMENUPOPUP   MenuInitPopup(wParam, lParam)
//   WM_MENUSELECT      MenuSelectHint(wParam, lParam): the status text
//   WM_MENUCHAR        MenuChar(wParam, lParam), when it is not 0
//   WM_MEASUREITEM     MenuMeasureItem(lParam)  (LMenusXP)
//   WM_DRAWITEM        MenuDrawItem(lParam)     (LMenusXP)
//   WM_COMMAND         nothing: T0Window runs the item's command object
//   key-down / mouse   DispatchKey(table, ShiftState(), key); beep on Refused
// A window thread answers IKeyTable (through its GetInterface) with its
// window's table, so that items show the keys bound to their action.
#pragma once

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LInterfaces.h"
#include "lw/LObjects.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <array>
#include <unordered_map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Key tables

inline constexpr int kModifierSets = 8;
inline constexpr int kKeyCodes = 256;

// The bindings of one window: an action per modifier set (Alt 1, Control 2,
// Shift 4) and virtual-key code, with hooks asked first.
class TKeyAssignment : public TInterfaced<T0Object, IKeyAssignment, IKeyTable> {
public:
    // Stores action (null unbinds) in place of what was there. Modifiers
    // and key outside the table are an assertion of LMenus.
    void Assign(int modifiers, int key, IAction* action);
    // The table's own entry; null outside the table.
    ComPtr<IAction> Entry(int modifiers, int key) const;
    // The hooks in order, then the table; null when nothing is bound.
    ComPtr<IAction> Lookup(int modifiers, int key) const;

    // IKeyAssignment
    HRESULT STDMETHODCALLTYPE GetAction(int32_t modifiers, int32_t key, IAction** action) override;
    // IKeyTable
    HRESULT STDMETHODCALLTYPE AddHook(IKeyAssignment* hook) override;
    HRESULT STDMETHODCALLTYPE RemoveHook(IKeyAssignment* hook) override;
    HRESULT STDMETHODCALLTYPE Lookup(int32_t modifiers, int32_t key, IAction** action) override;

    // The shortcut text of action, from the index.
    std::wstring ShortcutTextOf(IAction* action);

protected:
    ~TKeyAssignment() override;

private:
    std::array<ComPtr<IAction>, kModifierSets * kKeyCodes> FTable;
    std::vector<ComPtr<IKeyAssignment>> FHooks;
    // Every bound action's shortcut text, made when first asked for after a
    // change.
    std::unique_ptr<std::unordered_map<IAction*, std::wstring>> FShortcuts;
};

struct TKeyCombination {
    int Modifiers = 0;
    int Key = 0;
    bool operator==(const TKeyCombination&) const = default;
};

// A key name of the settings file: the prefixes "A-", "C-", "S-" (case as
// written, at most once each and in this order), a leading "_" dropped
// from what is left when at least two characters are, then a special name
// or the system's name of a key, in any ASCII letter case. Key 0 when
// nothing matches (no key event carries it).
TKeyCombination ParseKeyName(std::wstring_view name);
// The key code of a name without prefixes; 0 when none has it.
int KeyCodeOfName(std::wstring_view name);
// The system's name of a key code (keyboard layout of the calling thread).
std::wstring SystemKeyName(int key);
// "Alt+Ctrl+Shift+X" in the system's names, for shortcut texts.
std::wstring ShortcutName(int modifiers, int key);

// Every combination bound to action in the table (hooks included), lowest
// modifier set and key first, separated by one space. A key assignment
// answers from an index it makes once per change (indexed); otherwise every
// combination is looked up.
std::wstring ShortcutText(IKeyTable* table, IAction* action, bool indexed = true);
// The key table the calling thread answers, or null.
ComPtr<IKeyTable> CurrentKeyTable();

// What a key event did.
enum class TKeyDispatch { NotBound, Performed, Refused };
// Looks (modifiers, key) up in table and performs the action bound there.
// Refused: the action was disabled (the caller beeps). NotBound: the event
// is the caller's own.
TKeyDispatch DispatchKey(IKeyTable* table, int modifiers, int key);

// ---------------------------------------------------------------------------
// Captions

// A caption with its access key marked and the shortcut text after a tab.
// The key is marked in place where the caption has it (as given, else in
// the other letter case) and is free of double-byte characters; otherwise
// "(&K)" goes at the end, before a trailing run of dots.
std::wstring ComposeCaption(std::wstring_view caption, wchar_t accessKey, std::wstring_view shortcut);

struct TCaptionParts {
    std::wstring Caption;
    wchar_t AccessKey = 0;
    std::wstring Shortcut;
};
// The reverse of ComposeCaption for a native item's text.
TCaptionParts DecomposeCaption(std::wstring_view text);

// The generated entry of an empty list.
inline constexpr const wchar_t* kEmptyListCaption = L"(なし)";

// ---------------------------------------------------------------------------
// Menus

class TAnyMenuItem;
class TMenuItem;
class TPopupMenu;

// One native menu and the item objects made for it (its children). Known
// to its thread by its handle while it lives.
class TAnyMenu : public T0Object {
public:
    HMENU Handle() const noexcept { return FHandle; }
    // The calling thread's object of a native menu; null when the handle is
    // not a menu or no object was made for it.
    static TAnyMenu* FromHandle(HMENU menu);

    // The number of native items (0 once the native menu is gone).
    int Count() const;
    // The item object at a position: its own one, or for a native item
    // without one a wrapper owned by the thread's garbage owner (the same
    // one for the same identifier). Null outside the menu.
    TAnyMenuItem* ItemAt(int position);

    // Updates the items from the last to the first, and under each the
    // items of its submenu.
    virtual void Update();

protected:
    explicit TAnyMenu(HMENU handle);
    // Destroys the item objects (the last first), then the native menu.
    ~TAnyMenu() override;

    bool FChanged = false;

private:
    friend class TAnyMenuItem;
    HMENU FHandle;
};

// The menu bar of a window.
class TMainMenu : public TAnyMenu {
public:
    TMainMenu();

    HWND Window() const noexcept { return FWindow; }
    // Updates the items and makes this the window's menu bar.
    void AttachTo(HWND window);
    // As TAnyMenu; redraws the bar when one of its items changed.
    void Update() override;

protected:
    // Takes the bar off its window first, so the window keeps no handle of
    // a destroyed menu.
    ~TMainMenu() override;

private:
    HWND FWindow = nullptr;
};

// A pop-up menu: a submenu of an item, or a menu of its own.
class TPopupMenu : public TAnyMenu {
public:
    TPopupMenu();
    // The item whose submenu this is, or null.
    TMenuItem* ParentItem() const noexcept { return FParentItem; }

private:
    friend class TMenuItem;
    TMenuItem* FParentItem = nullptr;
};

// One native item. Caption and flags live in the native item and are read
// and written there. Found through its command identifier (a command
// object of the thread) and through the item data of the native item.
class TAnyMenuItem : public T0Object, public TCommandObject {
public:
    HMENU MenuHandle() const noexcept { return FMenu; }
    UINT Id() const noexcept { return FId; }
    TAnyMenu* Menu() const { return TAnyMenu::FromHandle(FMenu); }

    virtual std::wstring GetText();
    virtual void SetText(const std::wstring& text);
    virtual void Update() {}
    // Recomposes the text with the new key, keeping caption and shortcut.
    virtual void SetAccessKey(wchar_t key);
    virtual wchar_t GetAccessKey();
    virtual void Click() {}
    virtual void BeforePopup() {}
    // The status text while the item is highlighted.
    virtual std::wstring Hint() { return {}; }

    UINT Type();
    UINT State();
    void SetType(UINT flag, bool on);
    void SetState(UINT flag, bool on);
    bool OwnerDraw() { return (Type() & MFT_OWNERDRAW) != 0; }
    void SetOwnerDraw(bool on) { SetType(MFT_OWNERDRAW, on); }
    bool Grayed() { return (State() & MFS_GRAYED) == MFS_GRAYED; }
    void SetGrayed(bool on) { SetState(MFS_GRAYED, on); }
    bool Checked() { return (State() & MFS_CHECKED) != 0; }
    void SetChecked(bool on) { SetState(MFS_CHECKED, on); }
    // The object of the native submenu, or null.
    TPopupMenu* Submenu();

    void ExecuteCommand() override { Click(); }

    // The thread's item object whose address is data (the item data of a
    // native item, or of an owner-drawn one), or null for any other value.
    static TAnyMenuItem* FromData(ULONG_PTR data);

protected:
    TAnyMenuItem(HMENU menu, UINT id);
    ~TAnyMenuItem() override;

    // Items that make their native item set its identifier here, once.
    void SetId(UINT id) noexcept { FId = id; }
    bool ReadInfo(MENUITEMINFOW& info);
    bool WriteInfo(MENUITEMINFOW& info);

private:
    HMENU FMenu;
    UINT FId;
};

// An item this program put into a menu: removed from it with the object.
class TMenuItem : public TAnyMenuItem {
public:
    // Appends a native item of that type (MFT_SEPARATOR, or 0 for a text)
    // to the menu; owned by the menu's object.
    TMenuItem(TAnyMenu* menu, UINT type, std::wstring text);

    const std::wstring& Text() const noexcept { return FText; }
    void SetText(const std::wstring& text) override;

    // Made by an update from an action's list rather than by the settings.
    bool Generated() const noexcept { return FGenerated; }
    void SetGenerated(bool generated) noexcept { FGenerated = generated; }

    // Makes the item's submenu (owned by the item, attached natively).
    TPopupMenu* CreateSubmenu();
    TPopupMenu* OwnSubmenu() const noexcept { return FSubmenu; }
    // Detaches and destroys the submenu made by CreateSubmenu.
    void DestroySubmenu();

protected:
    ~TMenuItem() override;

    // Removes the generated items of the own submenu, the last first.
    void RemoveGeneratedItems();
    // Fills the own submenu from list: a separator after what is there,
    // then one item per list item, or one grayed "(なし)".
    void FillSubmenu(IActionItems* list);

private:
    std::wstring FText;
    TPopupMenu* FSubmenu = nullptr;
    bool FGenerated = false;
};

// An item that shows an action: its caption with the access key and every
// key bound to it, its enabled and checked state, and its list of choices
// as a submenu made on demand.
class TActionMenuItem : public TMenuItem {
public:
    TActionMenuItem(TAnyMenu* menu, IAction* action, wchar_t accessKey);

    IAction* Action() const noexcept { return FAction.get(); }
    bool SubmenuDirty() const noexcept { return FSubmenuDirty; }

    void Update() override;
    void SetAccessKey(wchar_t key) override;
    wchar_t GetAccessKey() override { return FAccessKey; }
    void Click() override;
    void BeforePopup() override;
    std::wstring Hint() override;

private:
    ComPtr<IAction> FAction;
    wchar_t FAccessKey;
    bool FSubmenuDirty = false;
    // The submenu was made by an update, not by the settings.
    bool FMadeSubmenu = false;
};

// A generated item for one item of an action's list.
class TActionSubMenuItem : public TMenuItem {
public:
    TActionSubMenuItem(TAnyMenu* menu, IActionItem* item);

    IActionItem* Item() const noexcept { return FItem.get(); }

    void Update() override;
    void Click() override;
    void BeforePopup() override;

private:
    ComPtr<IActionItem> FItem;
    bool FSubmenuDirty = false;
};

// The item-creation steps of the settings reader.
TMenuItem* AddSeparator(TAnyMenu* menu);
TMenuItem* AddSubmenuHeader(TAnyMenu* menu, std::wstring caption);
TActionMenuItem* AddActionItem(TAnyMenu* menu, IAction* action, wchar_t accessKey);
TPopupMenu* AddSubmenu(TMenuItem* item);

// ---------------------------------------------------------------------------
// Window procedure calls

// WM_INITMENUPOPUP: fills the generated submenu about to open and updates
// its items.
void MenuInitPopup(WPARAM wParam, LPARAM lParam);
// WM_MENUSELECT: the hint of the highlighted item (empty for none).
std::wstring MenuSelectHint(WPARAM wParam, LPARAM lParam);
// The hint of the item with a command identifier (empty for none).
std::wstring MenuCommandHint(UINT id);
// WM_MENUCHAR: executes the item whose access key was typed (owner-drawn
// items have no text the system could search). 0 when none has it.
LRESULT MenuChar(WPARAM wParam, LPARAM lParam);
