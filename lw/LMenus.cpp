#include "lw/LMenus.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LExceptions.h"

// Standard library
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr const wchar_t* kUnit = L"LMenus";

// Modifier key codes whose names lead a shortcut name, in this order.
constexpr int kAltKey = VK_MENU;
constexpr int kControlKey = VK_CONTROL;
constexpr int kShiftKey = VK_SHIFT;

// System key names: these codes, the page, arrow, insert and delete keys
// and the letters and digits among them, are named as the extended keys so
// that the page key is not taken for its numeric-pad twin.
constexpr int kFirstNamedKey = 5;
constexpr int kLastNamedKey = 250;
constexpr int kFirstExtendedKey = 33;
constexpr int kLastExtendedKey = 95;
constexpr LONG kExtendedKeyBit = 1 << 24;
constexpr int kKeyNameLength = 128;

struct TSpecialKeyName {
    std::wstring_view Name;
    int Key;
};

// Keys of the Japanese keyboard whose system names differ from one layout
// to the next, and the mouse buttons.
constexpr TSpecialKeyName kSpecialKeyNames[] = {
    {L"Colon", VK_OEM_1},      {L"Minus", VK_OEM_MINUS},   {L"CommercialAt", VK_OEM_3},
    {L"YenSign", VK_OEM_5},    {L"LeftButton", VK_LBUTTON}, {L"MiddleButton", VK_MBUTTON},
    {L"RightButton", VK_RBUTTON},
};

// The names Windows gives the common keys, for names the system of the
// running desktop calls otherwise (an X server says "Return" and "Prior"):
// a settings file written with them works everywhere. Asked only when no
// system name matched.
constexpr TSpecialKeyName kPortableKeyNames[] = {
    {L"Backspace", VK_BACK}, {L"Tab", VK_TAB},         {L"Enter", VK_RETURN},      {L"Return", VK_RETURN},
    {L"Esc", VK_ESCAPE},     {L"Escape", VK_ESCAPE},   {L"Space", VK_SPACE},       {L"PageUp", VK_PRIOR},
    {L"PageDown", VK_NEXT},  {L"End", VK_END},         {L"Home", VK_HOME},         {L"Left", VK_LEFT},
    {L"Up", VK_UP},          {L"Right", VK_RIGHT},     {L"Down", VK_DOWN},         {L"Insert", VK_INSERT},
    {L"Delete", VK_DELETE},
};

// Menus and items of the calling thread, so that a handle or an item data
// value is only followed when it is one of ours. Made with the thread's
// first one and gone with its last: a thread-local object with a
// destructor would run it at a point of thread exit that threads started
// by CreateThread do not promise.
thread_local std::vector<TAnyMenu*>* t_menus = nullptr;
thread_local std::unordered_set<const TAnyMenuItem*>* t_items = nullptr;

template <class T>
T& ThreadList(T*& list)
{
    if (list == nullptr)
        list = new T;
    return *list;
}

template <class T>
void DropThreadListIfEmpty(T*& list) noexcept
{
    if (list != nullptr && list->empty()) {
        delete list;
        list = nullptr;
    }
}

wchar_t AsciiLower(wchar_t c) noexcept
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameAsciiText(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.substr(0, prefix.size()) == prefix;
}

// CharUpperW and CharLowerW take one character in the low word of the
// pointer argument.
wchar_t ConvertCharacter(LPWSTR(WINAPI* convert)(LPWSTR), wchar_t c) noexcept
{
    LPWSTR converted = convert(reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(c)));
    return static_cast<wchar_t>(reinterpret_cast<UINT_PTR>(converted));
}

wchar_t OtherCase(wchar_t c) noexcept
{
    wchar_t upper = ConvertCharacter(CharUpperW, c);
    return upper != c ? upper : ConvertCharacter(CharLowerW, c);
}

// Whether the caption takes as many bytes in the system code page as it has
// characters.
bool SingleByteOnly(std::wstring_view caption)
{
    if (caption.empty())
        return true;
    int bytes = WideCharToMultiByte(CP_ACP, 0, caption.data(), static_cast<int>(caption.size()), nullptr, 0, nullptr,
                                    nullptr);
    return bytes == static_cast<int>(caption.size());
}

void Report(const wchar_t* what) noexcept
{
    try {
        ShowException(std::current_exception());
    } catch (...) {
        OutputDebugStringW(what);
    }
}

T0GUIThread* MenuThread()
{
    return CurrentGUIThread();
}

// A native item without an object of ours (one the shell put there).
class TForeignMenuItem : public TAnyMenuItem {
public:
    TForeignMenuItem(HMENU menu, UINT id) : TAnyMenuItem(menu, id) {}
};

bool IsForeignFor(T0Object* child, void* arg)
{
    auto* wrapper = dynamic_cast<TForeignMenuItem*>(child);
    auto* key = static_cast<std::pair<HMENU, UINT>*>(arg);
    return wrapper != nullptr && wrapper->MenuHandle() == key->first && wrapper->Id() == key->second;
}

} // namespace

// ---------------------------------------------------------------------------
// Key tables

namespace {

size_t TableIndex(int modifiers, int key) noexcept
{
    return static_cast<size_t>(modifiers) * kKeyCodes + static_cast<size_t>(key);
}

bool InTable(int modifiers, int key) noexcept
{
    return modifiers >= 0 && modifiers < kModifierSets && key >= 0 && key < kKeyCodes;
}

} // namespace

TKeyAssignment::~TKeyAssignment() = default;

void TKeyAssignment::Assign(int modifiers, int key, IAction* action)
{
    Assert(InTable(modifiers, key), kUnit, L"key outside the key table");
    FTable[TableIndex(modifiers, key)].reset(action);
    FShortcuts.reset();
}

std::wstring TKeyAssignment::ShortcutTextOf(IAction* action)
{
    // Hooks answer as they like: without them the table alone decides, and
    // one pass over it serves every menu item until the table changes.
    if (!FHooks.empty())
        return ShortcutText(static_cast<IKeyTable*>(this), action, false);
    if (!FShortcuts) {
        FShortcuts = std::make_unique<std::unordered_map<IAction*, std::wstring>>();
        for (int modifiers = 0; modifiers < kModifierSets; ++modifiers)
            for (int key = 0; key < kKeyCodes; ++key)
                if (IAction* bound = FTable[TableIndex(modifiers, key)].get()) {
                    std::wstring& text = (*FShortcuts)[bound];
                    if (!text.empty())
                        text += L' ';
                    text += ShortcutName(modifiers, key);
                }
    }
    auto found = FShortcuts->find(action);
    return found != FShortcuts->end() ? found->second : std::wstring();
}

ComPtr<IAction> TKeyAssignment::Entry(int modifiers, int key) const
{
    return InTable(modifiers, key) ? FTable[TableIndex(modifiers, key)] : nullptr;
}

ComPtr<IAction> TKeyAssignment::Lookup(int modifiers, int key) const
{
    // A hook may remove itself while asked: ask a copy of the list.
    std::vector<ComPtr<IKeyAssignment>> hooks = FHooks;
    for (const ComPtr<IKeyAssignment>& hook : hooks) {
        ComPtr<IAction> action;
        CheckHResult(hook->GetAction(modifiers, key, action.put()));
        if (action)
            return action;
    }
    return Entry(modifiers, key);
}

HRESULT STDMETHODCALLTYPE TKeyAssignment::GetAction(int32_t modifiers, int32_t key, IAction** action)
{
    if (action == nullptr)
        return E_POINTER;
    *action = Entry(modifiers, key).detach();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TKeyAssignment::AddHook(IKeyAssignment* hook)
{
    if (hook == nullptr)
        return E_POINTER;
    return GuardedCall([&] {
        FHooks.emplace_back(hook);
        FShortcuts.reset();
    });
}

HRESULT STDMETHODCALLTYPE TKeyAssignment::RemoveHook(IKeyAssignment* hook)
{
    auto found = std::find_if(FHooks.begin(), FHooks.end(),
                              [&](const ComPtr<IKeyAssignment>& each) { return each.get() == hook; });
    if (found != FHooks.end()) {
        ComPtr<IKeyAssignment> removed = std::move(*found);
        FHooks.erase(found);
        FShortcuts.reset();
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TKeyAssignment::Lookup(int32_t modifiers, int32_t key, IAction** action)
{
    if (action == nullptr)
        return E_POINTER;
    *action = nullptr;
    return GuardedCall([&] { *action = Lookup(static_cast<int>(modifiers), static_cast<int>(key)).detach(); });
}

std::wstring SystemKeyName(int key)
{
    if (key < 0 || key >= kKeyCodes)
        return {};
    LONG code = static_cast<LONG>(MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC)) << 16;
    if (key >= kFirstExtendedKey && key <= kLastExtendedKey)
        code |= kExtendedKeyBit;
    wchar_t name[kKeyNameLength] = {};
    int length = GetKeyNameTextW(code, name, kKeyNameLength);
    return std::wstring(name, static_cast<size_t>(std::clamp(length, 0, kKeyNameLength - 1)));
}

int KeyCodeOfName(std::wstring_view name)
{
    if (name.empty())
        return 0;
    for (const TSpecialKeyName& special : kSpecialKeyNames)
        if (SameAsciiText(name, special.Name))
            return special.Key;
    for (int key = kFirstNamedKey; key <= kLastNamedKey; ++key)
        if (SameAsciiText(name, SystemKeyName(key)))
            return key;
    for (const TSpecialKeyName& portable : kPortableKeyNames)
        if (SameAsciiText(name, portable.Name))
            return portable.Key;
    return 0;
}

TKeyCombination ParseKeyName(std::wstring_view name)
{
    TKeyCombination combination;
    const std::pair<std::wstring_view, int> prefixes[] = {
        {L"A-", kShiftAlt}, {L"C-", kShiftCtrl}, {L"S-", kShiftShift}};
    for (const auto& [prefix, bit] : prefixes)
        if (StartsWith(name, prefix)) {
            name.remove_prefix(prefix.size());
            combination.Modifiers |= bit;
        }
    // A name that cannot start a YAML key is written after a "_".
    if (name.size() >= 2 && name[0] == L'_')
        name.remove_prefix(1);
    combination.Key = KeyCodeOfName(name);
    return combination;
}

std::wstring ShortcutName(int modifiers, int key)
{
    std::wstring name;
    const std::pair<int, int> modifierKeys[] = {
        {kShiftAlt, kAltKey}, {kShiftCtrl, kControlKey}, {kShiftShift, kShiftKey}};
    for (const auto& [bit, modifierKey] : modifierKeys)
        if ((modifiers & bit) != 0)
            name += SystemKeyName(modifierKey) + L"+";
    return name + SystemKeyName(key);
}

std::wstring ShortcutText(IKeyTable* table, IAction* action, bool indexed)
{
    std::wstring text;
    if (table == nullptr || action == nullptr)
        return text;
    if (indexed)
        if (auto* assignment = dynamic_cast<TKeyAssignment*>(table))
            return assignment->ShortcutTextOf(action);
    for (int modifiers = 0; modifiers < kModifierSets; ++modifiers)
        for (int key = 0; key < kKeyCodes; ++key) {
            ComPtr<IAction> bound;
            if (FAILED(table->Lookup(modifiers, key, bound.put())) || bound.get() != action)
                continue;
            if (!text.empty())
                text += L' ';
            text += ShortcutName(modifiers, key);
        }
    return text;
}

ComPtr<IKeyTable> CurrentKeyTable()
{
    ComPtr<IKeyTable> table;
    if (T0Thread* thread = CurrentThread())
        thread->QueryInterface(__uuidof(IKeyTable), reinterpret_cast<void**>(table.put()));
    return table;
}

TKeyDispatch DispatchKey(IKeyTable* table, int modifiers, int key)
{
    if (table == nullptr)
        return TKeyDispatch::NotBound;
    ComPtr<IAction> action;
    CheckHResult(table->Lookup(modifiers, key, action.put()));
    if (!action)
        return TKeyDispatch::NotBound;
    return PerformItem(action.get()) ? TKeyDispatch::Performed : TKeyDispatch::Refused;
}

// ---------------------------------------------------------------------------
// Captions

std::wstring ComposeCaption(std::wstring_view caption, wchar_t accessKey, std::wstring_view shortcut)
{
    std::wstring text(caption);
    if (accessKey != 0) {
        size_t at = std::wstring::npos;
        if (SingleByteOnly(caption)) {
            at = text.find(accessKey);
            if (at == std::wstring::npos)
                at = text.find(OtherCase(accessKey));
        }
        if (at != std::wstring::npos) {
            text.insert(at, 1, L'&');
        } else {
            size_t end = text.size();
            if (text.size() >= 2)
                while (end > 0 && text[end - 1] == L'.')
                    --end;
            text.insert(end, std::wstring(L"(&") + accessKey + L')');
        }
    }
    if (!shortcut.empty()) {
        text += L'\t';
        text += shortcut;
    }
    return text;
}

TCaptionParts DecomposeCaption(std::wstring_view text)
{
    TCaptionParts parts;
    size_t tab = text.find(L'\t');
    if (tab != std::wstring_view::npos) {
        parts.Shortcut.assign(text.substr(tab + 1));
        text = text.substr(0, tab);
    }
    parts.Caption.assign(text);
    size_t amp = parts.Caption.find(L'&');
    if (amp == std::wstring::npos)
        return parts;
    if (amp + 1 < parts.Caption.size())
        parts.AccessKey = parts.Caption[amp + 1];
    // The "(&K)" form goes as a whole; a "(" that does not open one stays.
    bool bracketed = amp > 0 && parts.Caption[amp - 1] == L'(' && amp + 2 < parts.Caption.size() &&
                     parts.Caption[amp + 2] == L')';
    if (bracketed)
        parts.Caption.erase(amp - 1, 4);
    else
        parts.Caption.erase(amp, 1);
    return parts;
}

// ---------------------------------------------------------------------------
// Menus

TAnyMenu::TAnyMenu(HMENU handle) : FHandle(handle)
{
    if (FHandle == nullptr)
        RaiseLastOSError();
    ThreadList(t_menus).push_back(this);
}

TAnyMenu::~TAnyMenu()
{
    if (t_menus != nullptr) {
        t_menus->erase(std::remove(t_menus->begin(), t_menus->end(), this), t_menus->end());
        DropThreadListIfEmpty(t_menus);
    }
    // The items take their native items with them while the menu is there.
    DestroyChildrenReporting();
    if (IsMenu(FHandle))
        DestroyMenu(FHandle);
}

TAnyMenu* TAnyMenu::FromHandle(HMENU menu)
{
    if (menu == nullptr || t_menus == nullptr || !IsMenu(menu))
        return nullptr;
    for (TAnyMenu* each : *t_menus)
        if (each->FHandle == menu)
            return each;
    return nullptr;
}

int TAnyMenu::Count() const
{
    if (!IsMenu(FHandle))
        return 0;
    return std::max(0, GetMenuItemCount(FHandle));
}

TAnyMenuItem* TAnyMenu::ItemAt(int position)
{
    if (position < 0 || position >= Count())
        return nullptr;
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_DATA;
    if (!GetMenuItemInfoW(FHandle, static_cast<UINT>(position), TRUE, &info))
        return nullptr;
    if (TAnyMenuItem* item = TAnyMenuItem::FromData(info.dwItemData); item != nullptr && item->MenuHandle() == FHandle)
        return item;
    TGarbage* garbage = MenuThread()->Garbage();
    std::pair<HMENU, UINT> key{FHandle, info.wID};
    if (T0Object* found = garbage->FirstThat(IsForeignFor, &key))
        return static_cast<TAnyMenuItem*>(found);
    auto* wrapper = new TForeignMenuItem(FHandle, info.wID);
    wrapper->SetOwner(garbage);
    return wrapper;
}

void TAnyMenu::Update()
{
    for (T0Object* child = LastChild(); child != nullptr;) {
        T0Object* previous = child->Prev();
        if (auto* item = dynamic_cast<TAnyMenuItem*>(child)) {
            item->Update();
            if (TPopupMenu* submenu = item->Submenu())
                submenu->Update();
        }
        child = previous;
    }
}

TMainMenu::TMainMenu() : TAnyMenu(CreateMenu()) {}

TMainMenu::~TMainMenu()
{
    if (FWindow != nullptr && IsWindow(FWindow) && GetMenu(FWindow) == Handle())
        SetMenu(FWindow, nullptr);
}

void TMainMenu::AttachTo(HWND window)
{
    Update();
    if (!SetMenu(window, Handle()))
        RaiseLastOSError();
    FWindow = window;
    DrawMenuBar(window);
}

void TMainMenu::Update()
{
    FChanged = false;
    TAnyMenu::Update();
    if (FChanged && FWindow != nullptr && IsWindow(FWindow))
        DrawMenuBar(FWindow);
}

TPopupMenu::TPopupMenu() : TAnyMenu(CreatePopupMenu()) {}

// ---------------------------------------------------------------------------
// Items

TAnyMenuItem::TAnyMenuItem(HMENU menu, UINT id) : FMenu(menu), FId(id)
{
    ThreadList(t_items).insert(this);
}

TAnyMenuItem::~TAnyMenuItem()
{
    if (t_items != nullptr) {
        t_items->erase(this);
        DropThreadListIfEmpty(t_items);
    }
}

TAnyMenuItem* TAnyMenuItem::FromData(ULONG_PTR data)
{
    auto* item = reinterpret_cast<const TAnyMenuItem*>(data);
    return t_items != nullptr && t_items->count(item) != 0 ? const_cast<TAnyMenuItem*>(item) : nullptr;
}

bool TAnyMenuItem::ReadInfo(MENUITEMINFOW& info)
{
    info.cbSize = sizeof info;
    return IsMenu(FMenu) && GetMenuItemInfoW(FMenu, FId, FALSE, &info);
}

bool TAnyMenuItem::WriteInfo(MENUITEMINFOW& info)
{
    info.cbSize = sizeof info;
    if (!IsMenu(FMenu) || !SetMenuItemInfoW(FMenu, FId, FALSE, &info))
        return false;
    if (TAnyMenu* menu = Menu())
        menu->FChanged = true;
    return true;
}

std::wstring TAnyMenuItem::GetText()
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_STRING;
    if (!ReadInfo(info) || info.cch == 0)
        return {};
    std::wstring text(info.cch + 1, L'\0');
    info.dwTypeData = text.data();
    info.cch += 1;
    if (!ReadInfo(info))
        return {};
    text.resize(std::min<size_t>(info.cch, text.size() - 1));
    return text;
}

void TAnyMenuItem::SetText(const std::wstring& text)
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_STRING;
    info.dwTypeData = const_cast<wchar_t*>(text.c_str());
    WriteInfo(info);
}

void TAnyMenuItem::SetAccessKey(wchar_t key)
{
    TCaptionParts parts = DecomposeCaption(GetText());
    SetText(ComposeCaption(parts.Caption, key, parts.Shortcut));
}

wchar_t TAnyMenuItem::GetAccessKey()
{
    return DecomposeCaption(GetText()).AccessKey;
}

UINT TAnyMenuItem::Type()
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_FTYPE;
    return ReadInfo(info) ? info.fType : 0;
}

UINT TAnyMenuItem::State()
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_STATE;
    return ReadInfo(info) ? info.fState : 0;
}

void TAnyMenuItem::SetType(UINT flag, bool on)
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_FTYPE;
    if (!ReadInfo(info))
        return;
    UINT type = on ? info.fType | flag : info.fType & ~flag;
    if (type == info.fType)
        return;
    info.fType = type;
    WriteInfo(info);
}

void TAnyMenuItem::SetState(UINT flag, bool on)
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_STATE;
    if (!ReadInfo(info))
        return;
    UINT state = on ? info.fState | flag : info.fState & ~flag;
    if (state == info.fState)
        return;
    info.fState = state;
    WriteInfo(info);
}

TPopupMenu* TAnyMenuItem::Submenu()
{
    MENUITEMINFOW info{};
    info.fMask = MIIM_SUBMENU;
    if (!ReadInfo(info))
        return nullptr;
    return dynamic_cast<TPopupMenu*>(TAnyMenu::FromHandle(info.hSubMenu));
}

TMenuItem::TMenuItem(TAnyMenu* menu, UINT type, std::wstring text)
    : TAnyMenuItem(menu->Handle(), 0), FText(std::move(text))
{
    SetId(MenuThread()->AllocCommandId(this));
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_DATA;
    info.fType = type;
    info.wID = Id();
    info.dwItemData = reinterpret_cast<ULONG_PTR>(static_cast<TAnyMenuItem*>(this));
    if ((type & MFT_SEPARATOR) == 0) {
        info.fMask |= MIIM_STRING;
        info.dwTypeData = FText.data();
    }
    if (!InsertMenuItemW(menu->Handle(), static_cast<UINT>(menu->Count()), TRUE, &info)) {
        DWORD error = GetLastError();
        MenuThread()->FreeCommandId(Id());
        throw EOSError(error);
    }
    SetOwner(menu);
}

TMenuItem::~TMenuItem()
{
    try {
        DestroySubmenu();
        if (IsMenu(MenuHandle()))
            RemoveMenu(MenuHandle(), Id(), MF_BYCOMMAND);
        if (auto* thread = dynamic_cast<T0GUIThread*>(CurrentThread()))
            thread->FreeCommandId(Id());
    } catch (...) {
        Report(L"menu item clean-up failed");
    }
}

void TMenuItem::SetText(const std::wstring& text)
{
    FText = text;
    TAnyMenuItem::SetText(text);
}

TPopupMenu* TMenuItem::CreateSubmenu()
{
    if (FSubmenu != nullptr)
        return FSubmenu;
    auto* popup = new TPopupMenu;
    popup->SetOwner(this);
    popup->FParentItem = this;
    MENUITEMINFOW info{};
    info.fMask = MIIM_SUBMENU;
    info.hSubMenu = popup->Handle();
    if (!WriteInfo(info)) {
        Free(popup);
        RaiseLastOSError();
    }
    FSubmenu = popup;
    return popup;
}

void TMenuItem::DestroySubmenu()
{
    TPopupMenu* popup = std::exchange(FSubmenu, nullptr);
    if (popup == nullptr)
        return;
    // Off the item first: the native parent would destroy it a second time.
    MENUITEMINFOW info{};
    info.fMask = MIIM_SUBMENU;
    info.hSubMenu = nullptr;
    WriteInfo(info);
    Free(popup);
}

void TMenuItem::RemoveGeneratedItems()
{
    TPopupMenu* submenu = Submenu();
    if (submenu == nullptr)
        return;
    for (T0Object* child = submenu->LastChild(); child != nullptr;) {
        T0Object* previous = child->Prev();
        if (auto* item = dynamic_cast<TMenuItem*>(child); item != nullptr && item->Generated())
            Free(item);
        child = previous;
    }
}

void TMenuItem::FillSubmenu(IActionItems* list)
{
    TPopupMenu* submenu = Submenu();
    if (submenu == nullptr || list == nullptr)
        return;
    bool ownerDraw = OwnerDraw();
    auto generated = [&](TMenuItem* item) {
        item->SetGenerated(true);
        item->SetOwnerDraw(ownerDraw);
        return item;
    };
    if (submenu->Count() > 0)
        generated(new TMenuItem(submenu, MFT_SEPARATOR, {}));
    bool any = false;
    ForEachItem(list, [&](IActionItem* each) {
        generated(new TActionSubMenuItem(submenu, each));
        any = true;
    });
    if (!any)
        generated(new TMenuItem(submenu, 0, kEmptyListCaption))->SetGrayed(true);
}

TActionMenuItem::TActionMenuItem(TAnyMenu* menu, IAction* action, wchar_t accessKey)
    : TMenuItem(menu, 0, {}), FAction(action), FAccessKey(accessKey)
{
}

void TActionMenuItem::Update()
{
    if (!FAction)
        return;
    ComPtr<IKeyTable> table = CurrentKeyTable();
    std::wstring shortcut = ShortcutText(table.get(), FAction.get());
    std::wstring text = ComposeCaption(ItemCaption(FAction.get()), FAccessKey, shortcut);
    if (text != GetText())
        SetText(text);
    SetGrayed(!FAction->GetEnabled());
    SetChecked(FAction->GetChecked());

    RemoveGeneratedItems();
    ComPtr<IActionItems> list = ItemsOf(FAction.get());
    if (!list) {
        if (FMadeSubmenu && OwnSubmenu() != nullptr && OwnSubmenu()->Count() == 0) {
            DestroySubmenu();
            FMadeSubmenu = false;
        }
        FSubmenuDirty = false;
        return;
    }
    FSubmenuDirty = true;
    if (Submenu() == nullptr) {
        CreateSubmenu();
        FMadeSubmenu = true;
    }
}

void TActionMenuItem::SetAccessKey(wchar_t key)
{
    FAccessKey = key;
    TMenuItem::SetAccessKey(key);
}

void TActionMenuItem::Click()
{
    if (FAction)
        PerformItem(FAction.get());
}

void TActionMenuItem::BeforePopup()
{
    if (!FAction || Grayed() || !FSubmenuDirty)
        return;
    FSubmenuDirty = false;
    ComPtr<IActionItems> list = ItemsOf(FAction.get());
    FillSubmenu(list.get());
}

std::wstring TActionMenuItem::Hint()
{
    return FAction ? ActionHint(FAction.get()) : std::wstring();
}

TActionSubMenuItem::TActionSubMenuItem(TAnyMenu* menu, IActionItem* item)
    : TMenuItem(menu, 0, ItemCaption(item)), FItem(item)
{
    SetChecked(item->GetChecked());
    if (ItemsOf(item)) {
        CreateSubmenu();
        FSubmenuDirty = true;
    }
}

void TActionSubMenuItem::Update()
{
    if (OwnSubmenu() == nullptr)
        return;
    RemoveGeneratedItems();
    FSubmenuDirty = true;
}

void TActionSubMenuItem::Click()
{
    PerformItem(FItem.get());
}

void TActionSubMenuItem::BeforePopup()
{
    if (Grayed() || !FSubmenuDirty)
        return;
    FSubmenuDirty = false;
    ComPtr<IActionItems> list = ItemsOf(FItem.get());
    FillSubmenu(list.get());
}

TMenuItem* AddSeparator(TAnyMenu* menu)
{
    return new TMenuItem(menu, MFT_SEPARATOR, {});
}

TMenuItem* AddSubmenuHeader(TAnyMenu* menu, std::wstring caption)
{
    return new TMenuItem(menu, 0, std::move(caption));
}

TActionMenuItem* AddActionItem(TAnyMenu* menu, IAction* action, wchar_t accessKey)
{
    return new TActionMenuItem(menu, action, accessKey);
}

TPopupMenu* AddSubmenu(TMenuItem* item)
{
    return item->CreateSubmenu();
}

// ---------------------------------------------------------------------------
// Window procedure calls

void MenuInitPopup(WPARAM wParam, LPARAM lParam)
{
    if (HIWORD(lParam) != 0)
        return; // the window menu
    auto* popup = dynamic_cast<TPopupMenu*>(TAnyMenu::FromHandle(reinterpret_cast<HMENU>(wParam)));
    if (popup == nullptr)
        return;
    if (TMenuItem* parent = popup->ParentItem())
        parent->BeforePopup();
    popup->Update();
}

std::wstring MenuCommandHint(UINT id)
{
    auto* thread = dynamic_cast<T0GUIThread*>(CurrentThread());
    if (thread == nullptr)
        return {};
    auto* item = dynamic_cast<TAnyMenuItem*>(thread->CommandObject(id));
    return item != nullptr ? item->Hint() : std::wstring();
}

std::wstring MenuSelectHint(WPARAM wParam, LPARAM lParam)
{
    UINT flags = HIWORD(wParam);
    auto menu = reinterpret_cast<HMENU>(lParam);
    if ((flags == 0xFFFF && menu == nullptr) || (flags & MF_SYSMENU) != 0)
        return {};
    if ((flags & MF_POPUP) != 0) {
        TAnyMenu* owner = TAnyMenu::FromHandle(menu);
        TAnyMenuItem* item = owner != nullptr ? owner->ItemAt(LOWORD(wParam)) : nullptr;
        return item != nullptr ? item->Hint() : std::wstring();
    }
    return MenuCommandHint(LOWORD(wParam));
}

LRESULT MenuChar(WPARAM wParam, LPARAM lParam)
{
    auto menu = reinterpret_cast<HMENU>(lParam);
    TAnyMenu* owner = TAnyMenu::FromHandle(menu);
    if (owner == nullptr)
        return 0;
    wchar_t typed = AccelChar(std::wstring{L'&', static_cast<wchar_t>(LOWORD(wParam))});
    if (typed == 0)
        return 0;
    int count = owner->Count();
    for (int position = 0; position < count; ++position) {
        TAnyMenuItem* item = owner->ItemAt(position);
        if (item == nullptr || !item->OwnerDraw())
            continue;
        if (AccelChar(item->GetText()) == typed)
            return MAKELRESULT(position, MNC_EXECUTE);
    }
    return 0;
}
