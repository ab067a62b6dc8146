#include "lw/LAddDlgs.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <algorithm>
#include <utility>

namespace {

constexpr const wchar_t* kUnit = L"LAddDlgs";

constexpr const wchar_t* kOkCaption = L"OK";
constexpr const wchar_t* kCancelCaption = L"Cancel";

constexpr UINT kFieldId = 100;
constexpr UINT kListId = 101;
constexpr UINT kCheckId = 102;
constexpr UINT kTreeId = 103;
// The radio buttons of a selection dialog: this one and those after it.
constexpr UINT kFirstRadioId = 110;

// Rows a list shows without scrolling, at least and at most.
constexpr int kMinListRows = 4;
constexpr int kMaxListRows = 12;
constexpr int kTreeRows = 16;
// Rows of a combo box's drop-down list.
constexpr int kDropDownRows = 8;
// The narrowest content and the widest share of the work area.
constexpr int kMinContentWidth = 240;
constexpr int kMaxWidthPercent = 75;
constexpr int kMinButtonWidth = 75;
// Room beside a text in a list (border, scroll bar) and a check box's box.
constexpr int kListExtra = 32;
constexpr int kCheckBoxExtra = 24;
constexpr int kTreeIndent = 20;

// A screen DC with the dialog font selected, for measuring.
class TMeasureDC {
public:
    TMeasureDC() : FDC(GetDC(nullptr)) { FOld = SelectObject(FDC, DialogFont()->Handle()); }
    ~TMeasureDC()
    {
        SelectObject(FDC, FOld);
        ReleaseDC(nullptr, FDC);
    }
    TMeasureDC(const TMeasureDC&) = delete;
    TMeasureDC& operator=(const TMeasureDC&) = delete;
    HDC Get() const { return FDC; }

private:
    HDC FDC;
    HGDIOBJ FOld;
};

// Keeps a window disabled while it lives, when it was enabled before, and
// lets it take input again on every way out.
class TDisabledOwner {
public:
    explicit TDisabledOwner(HWND owner) : FOwner(owner != nullptr && IsWindowEnabled(owner) ? owner : nullptr)
    {
        if (FOwner != nullptr)
            EnableWindow(FOwner, FALSE);
    }
    ~TDisabledOwner() { Restore(); }
    TDisabledOwner(const TDisabledOwner&) = delete;
    TDisabledOwner& operator=(const TDisabledOwner&) = delete;

    void Restore()
    {
        HWND owner = std::exchange(FOwner, nullptr);
        if (owner != nullptr && IsWindow(owner))
            EnableWindow(owner, TRUE);
    }

private:
    HWND FOwner;
};

} // namespace

// ---------------------------------------------------------------------------
// TModalDialog

TModalDialog::TModalDialog(HWND owner, std::wstring caption) : FCaption(std::move(caption))
{
    SetOwnerWindow(owner);
}

void TModalDialog::FillWindowClass(WNDCLASSEXW& windowClass)
{
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
}

int TModalDialog::TextWidth(std::wstring_view text) const
{
    TMeasureDC dc;
    SIZE size{};
    GetTextExtentPoint32W(dc.Get(), text.data(), static_cast<int>(text.size()), &size);
    return size.cx;
}

void TModalDialog::CreateDialogWindow()
{
    {
        TMeasureDC dc;
        TEXTMETRICW metrics{};
        if (GetTextMetricsW(dc.Get(), &metrics))
            FLineHeight = metrics.tmHeight;
    }
    TWindowStruct create;
    create.ExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    create.WindowName = FCaption;
    create.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    create.X = 0;
    create.Y = 0;
    create.Width = 0;
    create.Height = 0;
    create.Parent = OwnerWindow();
    CreateHandle(create);
    SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont()->Handle()), FALSE);
    FFirstFocus = CreateControls();
    FOk = new TButton(this, kOkCaption, kDialogOkId, true);
    FCancel = new TButton(this, kCancelCaption, kDialogCancelId);
    SizeToContent();
}

void TModalDialog::SizeToContent()
{
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int margin = Margin();
    int buttonWidth = std::max({kMinButtonWidth, TextWidth(kOkCaption) + 16, TextWidth(kCancelCaption) + 16});
    int widest = (work.right - work.left) * kMaxWidthPercent / 100 - 2 * margin;
    int width = std::max({ContentWidth(), kMinContentWidth, TextWidth(FCaption) + 48, 2 * buttonWidth + margin});
    width = std::min(width, widest);

    int y = LayoutControls(margin, margin, width) + margin;
    FCancel->SetBounds(margin + width - buttonWidth, y, buttonWidth, ButtonHeight());
    FOk->SetBounds(margin + width - 2 * buttonWidth - margin, y, buttonWidth, ButtonHeight());
    y += ButtonHeight() + margin;

    RECT frame{0, 0, width + 2 * margin, y};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(Handle(), GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(Handle(), GWL_EXSTYLE)));
    SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Centre();
}

bool TModalDialog::Execute()
{
    CurrentGUIThread();
    Assert(Application() != nullptr, kUnit, L"no application");
    Assert(!FRunning, kUnit, L"the dialog runs already");
    // Made on the first run, and again when something destroyed the window.
    if (Handle() == nullptr)
        CreateDialogWindow();
    FConfirmed = false;
    FQuit = false;
    Load();
    FLastFocus = FFirstFocus != nullptr ? FFirstFocus->Handle() : nullptr;

    // The owner takes input again on every way out, before this window
    // hides, so that it becomes the active window again.
    TDisabledOwner disabled(OwnerWindow());
    // Disabling a lead window disables the windows it owns: this one too.
    EnableWindow(Handle(), TRUE);
    Centre();
    ShowWindow(Handle(), SW_SHOW);
    if (FFirstFocus != nullptr)
        FFirstFocus->Focus();
    Shown();

    FRunning = true;
    {
        // Whatever the caller holds of the application lock is given up; the
        // loop holds it shared while it handles a message, as every GUI
        // thread's loop does, and lets go while it waits.
        TSuspendShared suspended;
        int32_t previous = Application()->BeginShared();
        try {
            MessageLoop();
        } catch (...) {
            FRunning = false;
            Application()->EndShared(previous);
            throw;
        }
        Application()->EndShared(previous);
    }
    if (FConfirmed && Handle() != nullptr)
        Collect();
    FRunning = false;
    disabled.Restore();
    if (Handle() != nullptr)
        ShowWindow(Handle(), SW_HIDE);
    // A quit message ended this loop: the loop outside must see it as well.
    if (FQuit)
        PostQuitMessage(static_cast<int>(FQuitCode));
    return FConfirmed;
}

void TModalDialog::Confirm()
{
    if (!Validate())
        return;
    FConfirmed = true;
    SetTerminated(true);
}

void TModalDialog::Cancel()
{
    FConfirmed = false;
    SetTerminated(true);
}

HWND TModalDialog::ControlOf(HWND window) const
{
    // The direct child of the dialog that holds window (a combo box for its
    // edit field).
    while (window != nullptr && GetParent(window) != Handle())
        window = GetParent(window);
    return window;
}

bool TModalDialog::NavigateKey(UINT key, int shift)
{
    switch (key) {
    case VK_RETURN:
    case VK_EXECUTE: {
        HWND focused = ControlOf(GetFocus());
        auto code = focused != nullptr ? SendMessageW(focused, WM_GETDLGCODE, 0, 0) : 0;
        // A focused push button other than OK does what it says.
        if ((code & DLGC_UNDEFPUSHBUTTON) != 0)
            SendMessageW(focused, BM_CLICK, 0, 0);
        else
            Confirm();
        return true;
    }
    case VK_ESCAPE:
    case VK_CANCEL:
        Cancel();
        return true;
    case VK_TAB: {
        HWND next = GetNextDlgTabItem(Handle(), ControlOf(GetFocus()), (shift & kShiftShift) != 0);
        if (next == nullptr)
            return false;
        SetFocus(next);
        if ((SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) != 0)
            SendMessageW(next, EM_SETSEL, 0, -1);
        return true;
    }
    default:
        return false;
    }
}

void TModalDialog::HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result)
{
    if (header.code != kCommandNotifyBase + BN_CLICKED)
        return;
    if (header.idFrom == kDialogOkId)
        Confirm();
    else if (header.idFrom == kDialogCancelId)
        Cancel();
}

LRESULT TModalDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ACTIVATE:
        // The focus comes back to the control that had it.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focused = GetFocus();
            if (focused != nullptr && IsChild(Handle(), focused))
                FLastFocus = focused;
        }
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    case WM_SETFOCUS:
        if (FLastFocus != nullptr && IsWindow(FLastFocus))
            SetFocus(FLastFocus);
        return 0;
    case WM_SYSCOMMAND:
        // Alt with a control's mnemonic letter.
        if ((wParam & 0xFFF0) == SC_KEYMENU && lParam != 0 && PressMnemonic(this, static_cast<wchar_t>(lParam)))
            return 0;
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    case WM_QUIT:
        FQuit = true;
        FQuitCode = wParam;
        FConfirmed = false;
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    case WM_DESTROY:
        // Destroyed from outside while it runs: that ends the run unconfirmed.
        FConfirmed = false;
        SetTerminated(true);
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    default:
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------
// TInputDialog

TInputDialog::TInputDialog(HWND owner, std::wstring caption, std::wstring prompt)
    : TModalDialog(owner, std::move(caption)), FPrompt(std::move(prompt))
{
}

void TInputDialog::SetSelection(int start, int end)
{
    FSelStart = start;
    FSelEnd = end;
}

T0Control* TInputDialog::CreateControls()
{
    if (!FPrompt.empty())
        FPromptLabel = new TLabel(this, FPrompt);
    if (FHistory.empty()) {
        FField = new TLineField(this, FText, kFieldId);
        return FField;
    }
    FCombo = new TComboBox(this, kFieldId);
    for (const std::wstring& entry : FHistory)
        FCombo->Add(entry);
    return FCombo;
}

void TInputDialog::Load()
{
    if (FField != nullptr)
        FField->SetText(FText);
    else
        FCombo->SetText(FText);
}

int TInputDialog::ContentWidth() const
{
    int widest = std::max(TextWidth(FPrompt), TextWidth(FText) + kListExtra);
    for (const std::wstring& entry : FHistory)
        widest = std::max(widest, TextWidth(entry) + kListExtra);
    return widest;
}

int TInputDialog::LayoutControls(int left, int top, int width)
{
    int y = top;
    if (FPromptLabel != nullptr) {
        FPromptLabel->SetBounds(left, y, width, LineHeight());
        y += LineHeight() + Margin() / 2;
    }
    if (FField != nullptr) {
        FField->SetBounds(left, y, width, FieldHeight());
        return y + FieldHeight();
    }
    // A combo box's height includes its drop-down list.
    FCombo->SetBounds(left, y, width, FieldHeight() + kDropDownRows * LineHeight());
    RECT shown{};
    GetWindowRect(FCombo->Handle(), &shown);
    return y + static_cast<int>(shown.bottom - shown.top);
}

void TInputDialog::Shown()
{
    // After the focus: a combo box selects all of its text when it gets it.
    if (FField != nullptr)
        FField->SetSelection(FSelStart, FSelEnd);
    else
        FCombo->SetEditSelection(FSelStart, FSelEnd);
}

void TInputDialog::Collect()
{
    FText = FField != nullptr ? FField->Text() : FCombo->Text();
}

// ---------------------------------------------------------------------------
// TSelectDialog

TSelectDialog::TSelectDialog(HWND owner, std::wstring caption) : TModalDialog(owner, std::move(caption)) {}

int TSelectDialog::AddEntry(std::wstring text, TEntryData data)
{
    return InsertEntry(Count(), std::move(text), data);
}

int TSelectDialog::InsertEntry(int index, std::wstring text, TEntryData data)
{
    index = std::clamp(index, 0, Count());
    if (FList != nullptr && FList->Handle() != nullptr) {
        int selected = FList->ItemIndex();
        FList->Insert(index, text);
        // The list keeps its selection on the same entry.
        if (selected >= index)
            FList->SetItemIndex(selected + 1);
    }
    if (FItemIndex >= index)
        ++FItemIndex;
    FEntries.insert(FEntries.begin() + index, TSelectEntry{std::move(text), data});
    return index;
}

int TSelectDialog::ItemIndex() const
{
    if (Running() && FList->Handle() != nullptr)
        return FList->ItemIndex();
    return FItemIndex;
}

void TSelectDialog::SetItemIndex(int index)
{
    if (index < -1 || index >= Count())
        index = -1;
    if (Running() && FList->Handle() != nullptr) {
        FList->SetItemIndex(index);
        FList->Focus();
    } else {
        FItemIndex = index;
    }
}

TEntryData TSelectDialog::ItemData() const
{
    int index = ItemIndex();
    return index >= 0 && index < Count() ? FEntries[static_cast<size_t>(index)].Data : 0;
}

void TSelectDialog::SetCheckBox(std::wstring caption, bool checked)
{
    Assert(FCheck == nullptr, kUnit, L"the check box is made with the dialog");
    FCheckCaption = std::move(caption);
    FChecked = checked;
}

bool TSelectDialog::Checked() const
{
    if (Running() && FCheck != nullptr && FCheck->Handle() != nullptr)
        return FCheck->Checked();
    return FChecked;
}

void TSelectDialog::SetChecked(bool checked)
{
    if (Running() && FCheck != nullptr && FCheck->Handle() != nullptr)
        FCheck->SetChecked(checked);
    else
        FChecked = checked;
}

void TSelectDialog::SetRadioButtons(std::vector<std::wstring> captions, int checked)
{
    Assert(FRadios.empty(), kUnit, L"the radio buttons are made with the dialog");
    FRadioCaptions = std::move(captions);
    FRadioIndex = FRadioCaptions.empty() ? -1 : std::clamp(checked, 0, static_cast<int>(FRadioCaptions.size()) - 1);
}

int TSelectDialog::RadioIndex() const
{
    if (Running() && !FRadios.empty()) {
        for (size_t i = 0; i < FRadios.size(); ++i)
            if (FRadios[i]->Handle() != nullptr && FRadios[i]->Checked())
                return static_cast<int>(i);
        return -1;
    }
    return FRadioIndex;
}

void TSelectDialog::SetRadioIndex(int index)
{
    if (index < 0 || index >= static_cast<int>(FRadioCaptions.size()))
        return;
    if (Running() && !FRadios.empty()) {
        for (size_t i = 0; i < FRadios.size(); ++i)
            FRadios[i]->SetChecked(static_cast<int>(i) == index);
    } else {
        FRadioIndex = index;
    }
}

int TSelectDialog::FocusedRadio() const
{
    HWND focused = GetFocus();
    for (size_t i = 0; i < FRadios.size(); ++i)
        if (FRadios[i]->Handle() == focused)
            return static_cast<int>(i);
    return -1;
}

bool TSelectDialog::NavigateKey(UINT key, int shift)
{
    // The arrows move the choice within the group, as in the system's
    // dialogs; the list and the check box keep theirs.
    int focused = FocusedRadio();
    if (focused >= 0 && (key == VK_UP || key == VK_LEFT || key == VK_DOWN || key == VK_RIGHT)) {
        int count = static_cast<int>(FRadios.size());
        int next = (focused + (key == VK_UP || key == VK_LEFT ? count - 1 : 1)) % count;
        SetRadioIndex(next);
        FRadios[static_cast<size_t>(next)]->Focus();
        return true;
    }
    return TModalDialog::NavigateKey(key, shift);
}

T0Control* TSelectDialog::CreateControls()
{
    FList = new TListBox(this, kListId);
    for (const TSelectEntry& entry : FEntries)
        FList->Add(entry.Text);
    if (!FCheckCaption.empty())
        FCheck = new TCheckBox(this, FCheckCaption, kCheckId);
    for (size_t i = 0; i < FRadioCaptions.size(); ++i)
        FRadios.push_back(new TRadioButton(this, FRadioCaptions[i], kFirstRadioId + static_cast<UINT>(i), i == 0));
    return FList;
}

void TSelectDialog::Load()
{
    FList->SetItemIndex(FItemIndex < 0 && Count() > 0 ? 0 : FItemIndex);
    if (FCheck != nullptr)
        FCheck->SetChecked(FChecked);
    for (size_t i = 0; i < FRadios.size(); ++i)
        FRadios[i]->SetChecked(static_cast<int>(i) == FRadioIndex);
}

int TSelectDialog::ContentWidth() const
{
    int widest = FCheckCaption.empty() ? 0 : TextWidth(FCheckCaption) + kCheckBoxExtra;
    for (const std::wstring& caption : FRadioCaptions)
        widest = std::max(widest, TextWidth(caption) + kCheckBoxExtra);
    for (const TSelectEntry& entry : FEntries)
        widest = std::max(widest, TextWidth(entry.Text) + kListExtra);
    return widest;
}

int TSelectDialog::LayoutControls(int left, int top, int width)
{
    int rows = std::clamp(Count(), kMinListRows, kMaxListRows);
    int listHeight = rows * std::max(FList->ItemHeight(), 1) + 4;
    FList->SetBounds(left, top, width, listHeight);
    int y = top + listHeight;
    if (FCheck != nullptr) {
        y += Margin() / 2;
        FCheck->SetBounds(left, y, width, LineHeight() + 6);
        y += LineHeight() + 6;
    }
    if (!FRadios.empty()) {
        // Each button takes the height of the first.
        int height = LineHeight() + 6;
        y += Margin() / 2;
        for (TRadioButton* radio : FRadios) {
            radio->SetBounds(left, y, width, height);
            y += height;
        }
    }
    return y;
}

void TSelectDialog::Collect()
{
    FItemIndex = FList->ItemIndex();
    if (FCheck != nullptr)
        FChecked = FCheck->Checked();
    if (!FRadios.empty())
        FRadioIndex = RadioIndex();
}

void TSelectDialog::HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result)
{
    if (header.idFrom == kListId && header.code == kCommandNotifyBase + LBN_DBLCLK)
        Confirm();
    else
        TModalDialog::HandleNotify(sender, header, result);
}

// ---------------------------------------------------------------------------
// TTreeDialog

TTreeDialog::TTreeDialog(HWND owner, std::wstring caption) : TModalDialog(owner, std::move(caption)) {}

int TTreeDialog::AddEntry(int parent, std::wstring text, TEntryData data)
{
    Assert(parent >= -1 && parent < Count(), kUnit, L"no such parent entry");
    Assert(FTree == nullptr, kUnit, L"the tree is made with the dialog");
    int depth = parent < 0 ? 0 : FNodes[static_cast<size_t>(parent)].Depth + 1;
    FNodes.push_back(TNode{parent, std::move(text), data, depth});
    return Count() - 1;
}

std::optional<TEntryData> TTreeDialog::ChosenData() const
{
    if (!Confirmed() || FChosen < 0)
        return std::nullopt;
    return FNodes[static_cast<size_t>(FChosen)].Data;
}

bool TTreeDialog::Validate()
{
    HTREEITEM selected = FTree != nullptr ? FTree->Selected() : nullptr;
    if (selected == nullptr) {
        MessageBeep(MB_OK);
        return false;
    }
    FChosen = static_cast<int>(FTree->Data(selected));
    return TModalDialog::Validate();
}

T0Control* TTreeDialog::CreateControls()
{
    FTree = new TTreeView(this, kTreeId);
    FItems.clear();
    FItems.reserve(FNodes.size());
    // Parents come before their children: each parent's item exists.
    for (size_t i = 0; i < FNodes.size(); ++i) {
        HTREEITEM parent = FNodes[i].Parent < 0 ? TVI_ROOT : FItems[static_cast<size_t>(FNodes[i].Parent)];
        FItems.push_back(FTree->Add(parent, FNodes[i].Text, static_cast<TEntryData>(i)));
    }
    for (size_t i = 0; i < FNodes.size(); ++i)
        if (FNodes[i].Parent >= 0)
            FTree->Expand(FItems[static_cast<size_t>(FNodes[i].Parent)]);
    return FTree;
}

void TTreeDialog::Load()
{
    FChosen = -1;
    if (!FItems.empty())
        FTree->Select(FItems.front());
}

int TTreeDialog::ContentWidth() const
{
    int widest = 0;
    for (const TNode& node : FNodes)
        widest = std::max(widest, TextWidth(node.Text) + (node.Depth + 1) * kTreeIndent + kListExtra);
    return widest;
}

int TTreeDialog::LayoutControls(int left, int top, int width)
{
    int height = kTreeRows * (LineHeight() + 3);
    FTree->SetBounds(left, top, width, height);
    return top + height;
}

void TTreeDialog::HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result)
{
    if (header.idFrom == kTreeId && header.code == static_cast<UINT>(NM_DBLCLK)) {
        // Only a double click on an item confirms; one on empty space or on
        // an item's button does not.
        TVHITTESTINFO hit{};
        DWORD position = GetMessagePos();
        hit.pt = POINT{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
        ScreenToClient(FTree->Handle(), &hit.pt);
        SendMessageW(FTree->Handle(), TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
        if ((hit.flags & TVHT_ONITEM) != 0)
            Confirm();
        return;
    }
    TModalDialog::HandleNotify(sender, header, result);
}
