#include "lw/LStdCtls.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <commctrl.h>

// Standard library
#include <vector>

namespace {

constexpr const wchar_t* kUnit = L"LStdCtls";

// The identifier of the subclass procedure on a combo box's edit field.
constexpr UINT_PTR kComboEditSubclass = 1;

// Characters that only navigate: a single-line field does not take them.
bool IsNavigationChar(WPARAM ch)
{
    return ch == L'\r' || ch == L'\x1b' || ch == L'\t';
}

} // namespace

TFont* DialogFont()
{
    return CurrentGUIThread()->DefaultGUIFont();
}

bool PressMnemonic(T0Window* dialog, wchar_t key)
{
    wchar_t wanted = static_cast<wchar_t>(
        reinterpret_cast<UINT_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(key)))));
    for (HWND child = GetWindow(dialog->Handle(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        auto* control = dynamic_cast<T0Control*>(WindowOf(child));
        if (control == nullptr || !IsWindowEnabled(child) || AccelChar(control->Text()) != wanted)
            continue;
        if (dynamic_cast<TLabel*>(control) != nullptr) {
            // A label's letter focuses the control after it.
            if (HWND next = GetWindow(child, GW_HWNDNEXT))
                SetFocus(next);
        } else {
            SetFocus(child);
            SendMessageW(child, BM_CLICK, 0, 0);
        }
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// T0Control

T0Control::T0Control(T0Window* parent, const wchar_t* className, DWORD style, std::wstring_view text, UINT id,
                     DWORD exStyle)
{
    Assert(parent != nullptr && parent->Handle() != nullptr, kUnit, L"a control needs a parent window");
    std::wstring caption(text);
    HWND handle = CreateWindowExW(exStyle, className, caption.c_str(), style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                  parent->Handle(), reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                                  GetModuleHandleW(nullptr), nullptr);
    if (handle == nullptr)
        RaiseLastOSError(className);
    AttachHandle(handle);
    SetOwner(parent);
    auto font = reinterpret_cast<HFONT>(SendMessageW(parent->Handle(), WM_GETFONT, 0, 0));
    SendMessageW(handle, WM_SETFONT, reinterpret_cast<WPARAM>(font != nullptr ? font : DialogFont()->Handle()),
                 FALSE);
}

std::wstring T0Control::Text() const
{
    int length = GetWindowTextLengthW(Handle());
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(Handle(), text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    return text;
}

void T0Control::SetText(std::wstring_view text)
{
    std::wstring copy(text);
    SetWindowTextW(Handle(), copy.c_str());
}

void T0Control::HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result)
{
    if (T0Window* parent = WindowOf(GetParent(Handle())))
        parent->HandleNotify(sender, header, result);
}

LRESULT T0Control::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    // Alt with a letter goes to the top-level window as it would from the
    // window itself: a dialog presses the control with that mnemonic, a
    // main window opens its menu.
    if (message == WM_SYSCHAR && (HIWORD(lParam) & KF_ALTDOWN) != 0 && !IsNavigationChar(wParam) && wParam != L' ')
        return SendMessageW(GetAncestor(Handle(), GA_ROOT), WM_SYSCOMMAND, SC_KEYMENU, static_cast<LPARAM>(wParam));
    return T0Window::Dispatch(message, wParam, lParam);
}

void T0Control::SetFont(const TFont* font)
{
    SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font->Handle()), TRUE);
}

void T0Control::SetBounds(int x, int y, int width, int height)
{
    SetWindowPos(Handle(), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// ---------------------------------------------------------------------------
// Buttons and labels

TButton::TButton(T0Window* parent, std::wstring_view caption, UINT id, bool isDefault)
    : T0Control(parent, L"BUTTON", WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), caption, id)
{
}

TCheckBox::TCheckBox(T0Window* parent, std::wstring_view caption, UINT id)
    : T0Control(parent, L"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX, caption, id)
{
}

TCheckBox::TCheckBox(T0Window* parent, std::wstring_view caption, UINT id, DWORD style)
    : T0Control(parent, L"BUTTON", style, caption, id)
{
}

TRadioButton::TRadioButton(T0Window* parent, std::wstring_view caption, UINT id, bool firstOfGroup)
    : TCheckBox(parent, caption, id, BS_AUTORADIOBUTTON | (firstOfGroup ? WS_GROUP | WS_TABSTOP : 0))
{
}

TGroupBox::TGroupBox(T0Window* parent, std::wstring_view caption)
    : T0Control(parent, L"BUTTON", BS_GROUPBOX, caption, 0)
{
}

bool TCheckBox::Checked() const
{
    return SendMessageW(Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TCheckBox::SetChecked(bool checked)
{
    SendMessageW(Handle(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

TLabel::TLabel(T0Window* parent, std::wstring_view text) : T0Control(parent, L"STATIC", SS_LEFT, text, 0xFFFF)
{
}

// ---------------------------------------------------------------------------
// TLineField

TLineField::TLineField(T0Window* parent, std::wstring_view text, UINT id)
    : T0Control(parent, L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, text, id, WS_EX_CLIENTEDGE)
{
}

void TLineField::SetSelection(int start, int end)
{
    SendMessageW(Handle(), EM_SETSEL, static_cast<WPARAM>(start), end);
}

void TLineField::Selection(int& start, int& end) const
{
    DWORD first = 0, last = 0;
    SendMessageW(Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&first), reinterpret_cast<LPARAM>(&last));
    start = static_cast<int>(first);
    end = static_cast<int>(last);
}

// ---------------------------------------------------------------------------
// TTextField

TTextField::TTextField(T0Window* parent, UINT id, bool readOnly)
    : T0Control(parent, L"EDIT",
                WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL |
                    (readOnly ? ES_READONLY : 0),
                L"", id, WS_EX_CLIENTEDGE),
      FReadOnly(readOnly)
{
}

bool TTextField::KeyDown(int shift, UINT key)
{
    // A multi-line field wants every key; these belong to the dialog.
    if (key == VK_TAB || key == VK_ESCAPE || (FReadOnly && key == VK_RETURN))
        return NavigateKey(key, shift);
    return false;
}

// ---------------------------------------------------------------------------
// TListBox

TListBox::TListBox(T0Window* parent, UINT id)
    : T0Control(parent, L"LISTBOX", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, L"", id,
                WS_EX_CLIENTEDGE)
{
}

int TListBox::Count() const
{
    return static_cast<int>(SendMessageW(Handle(), LB_GETCOUNT, 0, 0));
}

int TListBox::Insert(int index, std::wstring_view text)
{
    std::wstring copy(text);
    auto result = SendMessageW(Handle(), LB_INSERTSTRING, static_cast<WPARAM>(index),
                               reinterpret_cast<LPARAM>(copy.c_str()));
    if (result < 0)
        RaiseLastOSError(L"LB_INSERTSTRING");
    return static_cast<int>(result);
}

std::wstring TListBox::ItemText(int index) const
{
    auto length = SendMessageW(Handle(), LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    auto copied = SendMessageW(Handle(), LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::max<LRESULT>(copied, 0)));
    return text;
}

int TListBox::ItemIndex() const
{
    auto index = SendMessageW(Handle(), LB_GETCURSEL, 0, 0);
    return index == LB_ERR ? -1 : static_cast<int>(index);
}

void TListBox::SetItemIndex(int index)
{
    SendMessageW(Handle(), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int TListBox::ItemHeight() const
{
    return static_cast<int>(SendMessageW(Handle(), LB_GETITEMHEIGHT, 0, 0));
}

// ---------------------------------------------------------------------------
// TComboBox

TComboBox::TComboBox(T0Window* parent, UINT id)
    : T0Control(parent, L"COMBOBOX", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, L"", id)
{
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    if (GetComboBoxInfo(Handle(), &info))
        FEdit = info.hwndItem;
    Assert(FEdit != nullptr, kUnit, L"the combo box has no edit field");
    SetWindowSubclass(FEdit, EditProc, kComboEditSubclass, reinterpret_cast<DWORD_PTR>(Handle()));
}

TComboBox::~TComboBox()
{
    if (FEdit != nullptr && IsWindow(FEdit))
        RemoveWindowSubclass(FEdit, EditProc, kComboEditSubclass);
}

LRESULT CALLBACK TComboBox::EditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
{
    auto combo = reinterpret_cast<HWND>(data);
    switch (message) {
    case WM_KEYDOWN:
        if (wParam != VK_RETURN && wParam != VK_ESCAPE && wParam != VK_TAB)
            break;
        if (SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0) != FALSE) {
            if (wParam == VK_TAB)
                break;
            // Return keeps the entry picked in the list, Escape too: the
            // text is only taken when the dialog is confirmed.
            SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
            return 0;
        }
        // The combo box's toolkit object passes what it does not want on
        // to the dialog.
        return SendMessageW(combo, WM_KEYDOWN, wParam, lParam);
    case WM_CHAR:
        if (IsNavigationChar(wParam))
            return 0;
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(edit, EditProc, kComboEditSubclass);
        break;
    default:
        break;
    }
    return DefSubclassProc(edit, message, wParam, lParam);
}

int TComboBox::Count() const
{
    return static_cast<int>(SendMessageW(Handle(), CB_GETCOUNT, 0, 0));
}

int TComboBox::Add(std::wstring_view text)
{
    std::wstring copy(text);
    auto result = SendMessageW(Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(copy.c_str()));
    if (result < 0)
        RaiseLastOSError(L"CB_ADDSTRING");
    return static_cast<int>(result);
}

std::wstring TComboBox::ItemText(int index) const
{
    auto length = SendMessageW(Handle(), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    auto copied =
        SendMessageW(Handle(), CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::max<LRESULT>(copied, 0)));
    return text;
}

bool TComboBox::DroppedDown() const
{
    return SendMessageW(Handle(), CB_GETDROPPEDSTATE, 0, 0) != FALSE;
}

void TComboBox::SetEditSelection(int start, int end)
{
    // Straight to the edit field: CB_SETEDITSEL packs the positions into
    // 16 bits each.
    SendMessageW(FEdit, EM_SETSEL, static_cast<WPARAM>(start), end);
}

void TComboBox::EditSelection(int& start, int& end) const
{
    DWORD first = 0, last = 0;
    SendMessageW(FEdit, EM_GETSEL, reinterpret_cast<WPARAM>(&first), reinterpret_cast<LPARAM>(&last));
    start = static_cast<int>(first);
    end = static_cast<int>(last);
}
