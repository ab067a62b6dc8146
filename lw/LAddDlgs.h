// The toolkit's own modal dialogs: text input, selection from a list and
// selection from a tree.
//
// A dialog runs modally on the calling GUI thread through the lead
// window's message loop: its owner is disabled meanwhile, Return confirms,
// Escape cancels and Tab moves between the controls. Confirming asks
// Validate (the dialog's validation callback), which may keep the dialog
// open and change it.
#pragma once

// Toolkit
#include "lw/LCmmCtls.h"
#include "lw/LStdCtls.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <optional>
#include <string>
#include <vector>

// Control identifiers of the dialogs.
inline constexpr UINT kDialogOkId = IDOK;
inline constexpr UINT kDialogCancelId = IDCANCEL;

// Base of the modal dialogs: the frame, OK and Cancel, the keys and the
// modal run.
class TModalDialog : public T0DialogWindow {
public:
    // Runs the dialog on the calling GUI thread until it is confirmed or
    // cancelled; true when confirmed. The window is made on the first run.
    bool Execute();
    bool Confirmed() const { return FConfirmed; }
    // Whether Execute is under way: the controls hold the current values.
    bool Running() const { return FRunning; }
    // The result of a run that is under way: confirms (when Validate
    // agrees) or cancels.
    void Confirm();
    void Cancel();

    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;
    void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) override;

protected:
    TModalDialog(HWND owner, std::wstring caption);

    // Makes the controls between the frame and the button row; returns the
    // control that gets the focus first.
    virtual T0Control* CreateControls() = 0;
    // Places the controls in the given client width from top down; returns
    // the y below the last one.
    virtual int LayoutControls(int left, int top, int width) = 0;
    // The client width the content asks for (texts, entries).
    virtual int ContentWidth() const = 0;
    // At the start of every run: the controls take the dialog's values.
    virtual void Load() {}
    // After the dialog is shown and its first control has the focus.
    virtual void Shown() {}
    // When the run is confirmed: the dialog takes its values from the
    // controls. A cancelled run leaves the values as they were.
    virtual void Collect() {}

    bool NavigateKey(UINT key, int shift) override;
    void FillWindowClass(WNDCLASSEXW& windowClass) override;

    // Text metrics of the dialog font.
    int TextWidth(std::wstring_view text) const;
    int LineHeight() const { return FLineHeight; }
    int Margin() const { return FLineHeight / 2 + 2; }
    int ButtonHeight() const { return FLineHeight + 10; }
    int FieldHeight() const { return FLineHeight + 8; }

private:
    void CreateDialogWindow();
    void SizeToContent();
    HWND ControlOf(HWND window) const;

    std::wstring FCaption;
    TButton* FOk = nullptr;
    TButton* FCancel = nullptr;
    T0Control* FFirstFocus = nullptr;
    HWND FLastFocus = nullptr;
    int FLineHeight = 13;
    bool FConfirmed = false;
    bool FRunning = false;
    bool FQuit = false;
    WPARAM FQuitCode = 0;
};

// Asks for one line of text, optionally from a history list.
class TInputDialog : public TModalDialog {
public:
    TInputDialog(HWND owner, std::wstring caption, std::wstring prompt = {});

    const std::wstring& Text() const { return FText; }
    void SetText(std::wstring text) { FText = std::move(text); }
    // The characters [start, end) of the text are selected when the dialog
    // opens (all of it unless set).
    void SetSelection(int start, int end);
    // With a history the field is a combo box whose list holds it.
    void SetHistory(std::vector<std::wstring> history) { FHistory = std::move(history); }

protected:
    T0Control* CreateControls() override;
    int LayoutControls(int left, int top, int width) override;
    int ContentWidth() const override;
    void Load() override;
    void Shown() override;
    void Collect() override;

private:
    std::wstring FPrompt;
    std::wstring FText;
    std::vector<std::wstring> FHistory;
    int FSelStart = 0;
    int FSelEnd = -1;
    TLabel* FPromptLabel = nullptr;
    TLineField* FField = nullptr;
    TComboBox* FCombo = nullptr;
};

// One entry of a selection dialog.
struct TSelectEntry {
    std::wstring Text;
    TEntryData Data = 0;
};

// Chooses one entry of a list, with an optional check box below it.
class TSelectDialog : public TModalDialog {
public:
    TSelectDialog(HWND owner, std::wstring caption);

    // Entries: may be changed while the dialog runs (from Validate).
    int Count() const { return static_cast<int>(FEntries.size()); }
    const TSelectEntry& Entry(int index) const { return FEntries.at(static_cast<size_t>(index)); }
    int AddEntry(std::wstring text, TEntryData data = 0);
    // Inserts before index (clamped to the end); returns the index.
    int InsertEntry(int index, std::wstring text, TEntryData data = 0);

    // The selected entry: -1 for none (the first entry is preselected when
    // none is set). Set while the dialog runs it selects and focuses the
    // list.
    int ItemIndex() const;
    void SetItemIndex(int index);
    // The selected entry's data; 0 when none is selected.
    TEntryData ItemData() const;

    // A check box below the list; Checked is its state (also after the run).
    void SetCheckBox(std::wstring caption, bool checked = false);
    bool Checked() const;
    void SetChecked(bool checked);

    // One group of radio buttons below the list and the check box, stacked
    // one under another; RadioIndex is the checked one (also after the run;
    // -1 without buttons). The arrow keys move the choice among them.
    void SetRadioButtons(std::vector<std::wstring> captions, int checked = 0);
    int RadioIndex() const;
    void SetRadioIndex(int index);

protected:
    T0Control* CreateControls() override;
    int LayoutControls(int left, int top, int width) override;
    int ContentWidth() const override;
    void Load() override;
    void Collect() override;
    void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) override;
    bool NavigateKey(UINT key, int shift) override;

private:
    // The radio button that has the focus, or -1.
    int FocusedRadio() const;

    std::vector<TSelectEntry> FEntries;
    int FItemIndex = -1;
    std::wstring FCheckCaption;
    bool FChecked = false;
    std::vector<std::wstring> FRadioCaptions;
    int FRadioIndex = -1;
    TListBox* FList = nullptr;
    TCheckBox* FCheck = nullptr;
    std::vector<TRadioButton*> FRadios;
};

// Chooses one entry of a tree.
class TTreeDialog : public TModalDialog {
public:
    TTreeDialog(HWND owner, std::wstring caption);

    // Adds an entry under parent (-1 for the top level); returns its index,
    // the parent of later entries below it.
    int AddEntry(int parent, std::wstring text, TEntryData data = 0);
    int Count() const { return static_cast<int>(FNodes.size()); }
    // The confirmed entry's data; none when cancelled.
    std::optional<TEntryData> ChosenData() const;
    // The confirmed entry's index, -1 when cancelled.
    int ChosenIndex() const { return Confirmed() ? FChosen : -1; }

    bool Validate() override;

protected:
    T0Control* CreateControls() override;
    int LayoutControls(int left, int top, int width) override;
    int ContentWidth() const override;
    void Load() override;
    void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) override;

private:
    struct TNode {
        int Parent;
        std::wstring Text;
        TEntryData Data;
        int Depth;
    };
    std::vector<TNode> FNodes;
    std::vector<HTREEITEM> FItems;
    int FChosen = -1;
    TTreeView* FTree = nullptr;
};
