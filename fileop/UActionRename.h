// Renaming the current view's files: one name through a text input, several
// names through the parts they share, a drive through its volume label.
#pragma once

// File operations
#include "fileop/URename.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LAddDlgs.h"

// Platform
#include <windows.h>

// Standard library
#include <string>

// Two fields, base and extension, for the parts several names share; a
// field showing "*" is read-only: the names differ there.
class TRenameDialog : public TModalDialog {
public:
    TRenameDialog(HWND owner, TNameParts common);

    // The texts of the two fields after a confirmed run.
    const TNameParts& Typed() const { return FTyped; }

protected:
    T0Control* CreateControls() override;
    int LayoutControls(int left, int top, int width) override;
    int ContentWidth() const override;
    void Load() override;
    void Shown() override;
    void Collect() override;

private:
    TNameParts FCommon;
    TNameParts FTyped;
    TLineField* FBase = nullptr;
    TLineField* FExtension = nullptr;
};

// "Rename": enabled when the current view has entries to rename or its
// caret is on a drive.
class TRenameAction : public T0Action {
public:
    TRenameAction();
    void Idle() override;
    void Execute() override;
};
