// Thin wrappers of the system's standard controls: button, check box,
// label, single-line field, list box and combo box. Each is a toolkit
// window attached to the system control, so its keys reach the dialog
// navigation of the window it lives in.
#pragma once

// Toolkit
#include "lw/LGraphics.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <string>
#include <string_view>

// Pointer-sized user data of list entries (a pointer or a plain number).
using TEntryData = INT_PTR;

// A system control as a child of a toolkit window, which owns the object.
class T0Control : public T0Window {
public:
    UINT Id() const { return static_cast<UINT>(GetDlgCtrlID(Handle())); }
    std::wstring Text() const;
    void SetText(std::wstring_view text);
    void SetFont(const TFont* font);
    void SetBounds(int x, int y, int width, int height);
    void Focus() { ::SetFocus(Handle()); }

    // A control's notifications are the business of the window it lives in.
    void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    // Creates the control of the system class as a child of parent, with
    // WS_CHILD | WS_VISIBLE added to style and the parent's font.
    T0Control(T0Window* parent, const wchar_t* className, DWORD style, std::wstring_view text, UINT id,
              DWORD exStyle = 0);
};

// A push button; its clicks reach the parent's HandleNotify.
class TButton : public T0Control {
public:
    TButton(T0Window* parent, std::wstring_view caption, UINT id, bool isDefault = false);
};

class TCheckBox : public T0Control {
public:
    TCheckBox(T0Window* parent, std::wstring_view caption, UINT id);
    bool Checked() const;
    void SetChecked(bool checked);

protected:
    TCheckBox(T0Window* parent, std::wstring_view caption, UINT id, DWORD style);
};

// One choice of a group of radio buttons; the first of a group starts it.
class TRadioButton : public TCheckBox {
public:
    TRadioButton(T0Window* parent, std::wstring_view caption, UINT id, bool firstOfGroup);
};

// A frame with a caption around other controls.
class TGroupBox : public T0Control {
public:
    TGroupBox(T0Window* parent, std::wstring_view caption);
};

// Static text; an "&" marks the mnemonic of the control after it.
class TLabel : public T0Control {
public:
    TLabel(T0Window* parent, std::wstring_view text);
};

// A single-line edit field.
class TLineField : public T0Control {
public:
    TLineField(T0Window* parent, std::wstring_view text, UINT id);
    // Selects the characters [start, end); clamped by the control.
    void SetSelection(int start, int end);
    void Selection(int& start, int& end) const;
};

// A multi-line edit field with scroll bars. Tab and
// Escape, and Return in a read-only one, go to the dialog it lives in.
class TTextField : public T0Control {
public:
    TTextField(T0Window* parent, UINT id, bool readOnly);
    bool KeyDown(int shift, UINT key) override;

private:
    bool FReadOnly;
};

// A single-selection list box of texts.
class TListBox : public T0Control {
public:
    TListBox(T0Window* parent, UINT id);
    int Count() const;
    // Inserts text at index (at the end for -1); returns where it went.
    int Insert(int index, std::wstring_view text);
    int Add(std::wstring_view text) { return Insert(-1, text); }
    std::wstring ItemText(int index) const;
    // The selected index, -1 when none.
    int ItemIndex() const;
    void SetItemIndex(int index);
    int ItemHeight() const;
};

// A combo box with an edit field and a drop-down list of texts (a
// history). Return, Escape and Tab typed in its edit field go to the
// dialog's navigation; while the list is dropped down they close it.
class TComboBox : public T0Control {
public:
    TComboBox(T0Window* parent, UINT id);
    ~TComboBox() override;
    int Count() const;
    int Add(std::wstring_view text);
    std::wstring ItemText(int index) const;
    bool DroppedDown() const;
    // The edit field inside the combo box.
    HWND Edit() const { return FEdit; }
    void SetEditSelection(int start, int end);
    void EditSelection(int& start, int& end) const;

private:
    static LRESULT CALLBACK EditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR data);
    HWND FEdit = nullptr;
};

// The calling thread's dialog font: the GUI font of the toolkit thread.
TFont* DialogFont();

// Alt with a letter in a dialog: the enabled control whose caption has that
// mnemonic is focused and pressed (a label's focuses the control after it).
// False when no control has it.
bool PressMnemonic(T0Window* dialog, wchar_t key);
