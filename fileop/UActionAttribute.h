// The attributes and times of the current view's files: a dialog of four
// switches and three date-time fields, applied file by file.
#pragma once

// File operations
#include "fileop/UAttributes.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LAddCtls.h"
#include "lw/LAddDlgs.h"
#include "lw/LCmmCtls.h"

// Platform
#include <windows.h>

// Standard library
#include <array>
#include <string>

// A labelled switch that shows all its states side by side, the current
// one highlighted: Left and Right step, Space and a click on a state choose.
class TAttributeSwitch : public TLightSwitch {
public:
    explicit TAttributeSwitch(std::wstring label) : FLabel(std::move(label)) {}
    // The width of the label part; each state takes StateWidth.
    void SetWidths(int labelWidth, int stateWidth);

    bool KeyDown(int shift, UINT key) override;
    void Paint(HDC dc) override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    std::wstring FLabel;
    int FLabelWidth = 0;
    int FStateWidth = 0;
};

// "属性": the four attribute switches and the creation, write and access
// times. For several files each switch may also leave its attribute alone
// ("-", where they start) and each time field starts unticked (leave it).
class TAttributeDialog : public TModalDialog {
public:
    TAttributeDialog(HWND owner, bool multiple);

    bool Multiple() const { return FMultiple; }
    // The choice the controls start from, and after a confirmed run the
    // one made.
    const TAttributeChoice& Choice() const { return FChoice; }
    void SetSwitch(size_t index, TSwitchState state) { FChoice.Switches.at(index) = state; }
    void SetTime(size_t index, const SYSTEMTIME& local) { FChoice.Times.at(index) = local; }

protected:
    T0Control* CreateControls() override;
    int LayoutControls(int left, int top, int width) override;
    int ContentWidth() const override;
    void Load() override;
    void Shown() override;
    void Collect() override;

private:
    int StateIndex(TSwitchState state) const;

    bool FMultiple;
    TAttributeChoice FChoice;
    std::array<TAttributeSwitch*, 4> FSwitches{};
    std::array<TLabel*, 3> FTimeLabels{};
    std::array<TDateTimePicker*, 3> FPickers{};
};

// "Attribute": enabled when the current view has files; shows the dialog
// and applies the choice to the marked files (or the caret's file).
class TAttributeAction : public T0Action {
public:
    TAttributeAction();
    void Idle() override;
    void Execute() override;
};
