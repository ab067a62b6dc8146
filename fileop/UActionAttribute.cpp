#include "fileop/UActionAttribute.h"

// View
#include "view/UView.h"

// Folders
#include "folders/SysUtilsW.h"
#include "folders/UFolders.h"

// Toolkit
#include "lw/LCmmDlgs.h"
#include "lw/LExceptions.h"
#include "lw/LStdCtls.h"

// Standard library
#include <algorithm>
#include <vector>

namespace {

constexpr std::array<const wchar_t*, 4> kSwitchLabels{L"Read-Only", L"Hidden", L"System", L"Archive"};
constexpr std::array<const wchar_t*, 3> kTimeLabels{L"Creation", L"Write", L"Access"};
constexpr const wchar_t* kTimeFormat = L"yyyy-MM-dd HH:mm:ss";
constexpr UINT kSwitchId = 201;
constexpr UINT kPickerId = 211;

} // namespace

// ---------------------------------------------------------------------------
// TAttributeSwitch

void TAttributeSwitch::SetWidths(int labelWidth, int stateWidth)
{
    FLabelWidth = labelWidth;
    FStateWidth = stateWidth;
    if (Handle() != nullptr)
        InvalidateRect(Handle(), nullptr, FALSE);
}

bool TAttributeSwitch::KeyDown(int shift, UINT key)
{
    if (key == VK_SPACE && (shift & kShiftAlt) == 0 && ItemCount() > 0) {
        SetCurrent((Current() + 1) % ItemCount());
        return true;
    }
    return TLightSwitch::KeyDown(shift, key);
}

void TAttributeSwitch::Paint(HDC dc)
{
    RECT client;
    GetClientRect(Handle(), &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    HGDIOBJ oldFont = SelectObject(dc, DialogFont()->Handle());
    SetBkMode(dc, TRANSPARENT);
    bool enabled = IsWindowEnabled(Handle()) != FALSE;
    SetTextColor(dc, GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    RECT label{client.left + 4, client.top, client.left + FLabelWidth, client.bottom};
    DrawTextW(dc, FLabel.c_str(), static_cast<int>(FLabel.size()), &label, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    for (int32_t i = 0; i < ItemCount(); ++i) {
        RECT state{client.left + FLabelWidth + i * FStateWidth, client.top + 2,
                   client.left + FLabelWidth + (i + 1) * FStateWidth, client.bottom - 2};
        bool current = i == Current();
        if (current)
            FillRect(dc, &state, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(dc, GetSysColor(current ? COLOR_HIGHLIGHTTEXT : enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
        const std::wstring& text = Item(i)->Text();
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &state, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    if (GetFocus() == Handle()) {
        RECT focus = client;
        InflateRect(&focus, -1, -1);
        DrawFocusRect(dc, &focus);
    }
    SelectObject(dc, oldFont);
}

LRESULT TAttributeSwitch::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_LBUTTONDOWN && FStateWidth > 0) {
        int x = static_cast<short>(LOWORD(lParam)) - FLabelWidth;
        if (x >= 0 && x / FStateWidth < ItemCount())
            SetCurrent(x / FStateWidth);
    }
    return TLightSwitch::Dispatch(message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// TAttributeDialog

TAttributeDialog::TAttributeDialog(HWND owner, bool multiple) : TModalDialog(owner, L"属性"), FMultiple(multiple)
{
    // Several files start with everything left alone; one file is filled
    // in by the caller.
    FChoice.Switches.fill(multiple ? TSwitchState::Unchanged : TSwitchState::Off);
}

int TAttributeDialog::StateIndex(TSwitchState state) const
{
    // The states in their order: ON, "-" (several files only), OFF.
    switch (state) {
    case TSwitchState::On:
        return 0;
    case TSwitchState::Unchanged:
        return FMultiple ? 1 : 0;
    default:
        return FMultiple ? 2 : 1;
    }
}

T0Control* TAttributeDialog::CreateControls()
{
    for (size_t i = 0; i < FSwitches.size(); ++i) {
        auto* light = new TAttributeSwitch(kSwitchLabels[i]);
        light->SetOwner(this);
        light->Create(Handle(), RECT{0, 0, 0, 0}, kSwitchId + static_cast<UINT>(i));
        light->Add(new TSimpleControlItem(L"ON", static_cast<int32_t>(TSwitchState::On)));
        if (FMultiple)
            light->Add(new TSimpleControlItem(L"-", static_cast<int32_t>(TSwitchState::Unchanged)));
        light->Add(new TSimpleControlItem(L"OFF", static_cast<int32_t>(TSwitchState::Off)));
        FSwitches[i] = light;
    }
    for (size_t i = 0; i < FPickers.size(); ++i) {
        FTimeLabels[i] = new TLabel(this, kTimeLabels[i]);
        FPickers[i] = new TDateTimePicker(this, kPickerId + static_cast<UINT>(i), FMultiple);
        FPickers[i]->SetFormat(kTimeFormat);
    }
    // The first switch takes the focus once the dialog shows.
    return nullptr;
}

int TAttributeDialog::ContentWidth() const
{
    int labels = 0;
    for (const wchar_t* label : kSwitchLabels)
        labels = std::max(labels, TextWidth(label));
    int x = TextWidth(L"x");
    int switches = labels + 16 + 3 * std::max(5 * x, TextWidth(L"OFF") + 8);
    int timeLabels = 0;
    for (const wchar_t* label : kTimeLabels)
        timeLabels = std::max(timeLabels, TextWidth(label));
    // The picker: its text, the check box and the drop-down button.
    int times = timeLabels + Margin() + TextWidth(L"0000-00-00 00:00:00") + 3 * LineHeight() + 8;
    return std::max(switches, times);
}

int TAttributeDialog::LayoutControls(int left, int top, int width)
{
    int labels = 0;
    for (const wchar_t* label : kSwitchLabels)
        labels = std::max(labels, TextWidth(label));
    int stateWidth = std::max(5 * TextWidth(L"x"), TextWidth(L"OFF") + 8);
    int y = top;
    int rowHeight = LineHeight() + 8;
    for (TAttributeSwitch* light : FSwitches) {
        light->SetWidths(labels + 16, stateWidth);
        SetWindowPos(light->Handle(), nullptr, left, y, labels + 16 + stateWidth * light->ItemCount(), rowHeight,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        y += rowHeight;
    }
    y += Margin();
    int timeLabels = 0;
    for (const wchar_t* label : kTimeLabels)
        timeLabels = std::max(timeLabels, TextWidth(label));
    for (size_t i = 0; i < FPickers.size(); ++i) {
        FTimeLabels[i]->SetBounds(left + 4, y + (FieldHeight() - LineHeight()) / 2, timeLabels, LineHeight());
        int pickerLeft = left + 4 + timeLabels + Margin();
        FPickers[i]->SetBounds(pickerLeft, y, std::max(left + width - pickerLeft, 1), FieldHeight());
        y += FieldHeight() + 2;
    }
    return y;
}

void TAttributeDialog::Load()
{
    for (size_t i = 0; i < FSwitches.size(); ++i)
        FSwitches[i]->SetCurrent(StateIndex(FChoice.Switches[i]));
    for (size_t i = 0; i < FPickers.size(); ++i) {
        if (FChoice.Times[i])
            FPickers[i]->SetTime(*FChoice.Times[i]);
        if (FMultiple)
            FPickers[i]->SetNone();
    }
}

void TAttributeDialog::Shown()
{
    SetFocus(FSwitches.front()->Handle());
}

void TAttributeDialog::Collect()
{
    for (size_t i = 0; i < FSwitches.size(); ++i)
        FChoice.Switches[i] = static_cast<TSwitchState>(FSwitches[i]->CurrentItem()->Value());
    for (size_t i = 0; i < FPickers.size(); ++i) {
        SYSTEMTIME time{};
        if (FPickers[i]->Time(time))
            FChoice.Times[i] = time;
        else
            FChoice.Times[i].reset();
    }
}

// ---------------------------------------------------------------------------
// TAttributeAction

namespace {

// What the action needs of an entry, taken before the dialog: the entries
// go with the next reload, which may come while the dialog is up.
struct TAttributeTarget {
    std::wstring Name;
    TFileTimes Recorded;
    DWORD Attributes;
};

TAttributeTarget TargetOf(const TFileItem& item)
{
    TAttributeTarget target;
    target.Name.assign(item.Name, static_cast<size_t>(std::clamp(item.NameLen, 0, 259)));
    target.Recorded.Times = {item.File.CreationTime, item.File.LastWriteTime, item.File.LastAccessTime};
    target.Attributes = item.Attributes;
    return target;
}

} // namespace

TAttributeAction::TAttributeAction() : T0Action(false)
{
    Describe("Attribute", L"属性...", L"選択ファイルの属性を変更します");
}

void TAttributeAction::Idle()
{
    TFilerView* view = CurrentView();
    SetEnabled(view != nullptr && view->IsFileSystemSelection());
}

void TAttributeAction::Execute()
{
    TFilerView* view = CurrentView();
    if (view == nullptr || view->Folder() == nullptr || !view->IsFileSystemSelection())
        return;
    HWND owner = view->Window()->Handle();
    bool multiple = view->MarkedCount() > 0;
    std::vector<TAttributeTarget> targets;
    for (const TFileItem* item : view->GetSelection())
        targets.push_back(TargetOf(*item));
    TPath location;
    view->Folder()->GetPath(&location);
    std::wstring folder = IncludeTrailingBackslash(location.PathView());

    TOwned<TAttributeDialog> dialog(new TAttributeDialog(owner, multiple));
    if (!multiple) {
        const TAttributeTarget& only = targets.front();
        for (size_t i = 0; i < kSwitchAttributes.size(); ++i)
            dialog->SetSwitch(i, (only.Attributes & kSwitchAttributes[i]) != 0 ? TSwitchState::On : TSwitchState::Off);
        for (size_t i = 0; i < only.Recorded.Times.size(); ++i)
            dialog->SetTime(i, LocalSecondOf(only.Recorded.Times[i]));
    }
    if (!dialog->Execute())
        return;
    TAttributeChoice choice = dialog->Choice();
    // One file's switches showed its attributes as listed; what the user
    // left alone is not written back, since the file may have changed since.
    if (!multiple)
        choice.Switches = ChangedSwitches(targets.front().Attributes, choice.Switches);
    for (size_t i = targets.size(); i-- > 0;) {
        const TAttributeTarget& target = targets[i];
        // A search result's name is its full path.
        std::wstring path = target.Name.find(L'\\') != std::wstring::npos ? target.Name : folder + target.Name;
        if (DWORD error = ApplyAttributeChoice(path, target.Recorded, choice); error != 0) {
            TMessageBox::Show(owner, SysErrorMessage(error), L"属性...", MB_OK | MB_ICONHAND);
            break;
        }
    }
    TExclusiveLock lock;
    if (view->Folder() != nullptr)
        view->Folder()->Refresh();
}
