// The command line window: one command line, prefilled from the current
// view's names, run in the view's folder directly or through the command
// interpreter with its output shown or handed to an editor. Each window
// runs on a thread of its own.
#pragma once

// Toolkit
#include "lw/LActions.h"
#include "lw/LHandles.h"
#include "lw/LStdCtls.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <string>

// The caption of a window the action opens.
inline constexpr const wchar_t* kCommandLineCaption = L"コマンドライン実行";
// What a run reports when the program could not be started or the
// interpreter does not know the command.
inline constexpr const wchar_t* kProgramNotFound = L"実行ファイルが見つかりませんでした";

// Control identifiers of the window.
inline constexpr UINT kCommandFieldId = 100;
inline constexpr UINT kCaptureBoxId = 101;
inline constexpr UINT kEditorBoxId = 102;
inline constexpr UINT kOutputFieldId = 103;
inline constexpr UINT kRunButtonId = IDOK;
inline constexpr UINT kCloseButtonId = IDCANCEL;

// The window class of command line windows.
inline constexpr const wchar_t* kCommandLineWindowClass = L"NimbraCommandLine";

class TCommandLineWindow : public T0DialogWindow {
public:
    // editor: the program captured output is handed to.
    explicit TCommandLineWindow(std::wstring editor);
    std::wstring WindowClassName() const override { return kCommandLineWindowClass; }

    void CreateCommandWindow(const std::wstring& caption, HWND owner);
    void SetDirectory(std::wstring directory) { FDirectory = std::move(directory); }
    // The command text with the characters [caret, caret + selectionLength)
    // selected.
    void SetCommand(const std::wstring& text, int32_t caret, int32_t selectionLength);

    // Runs the command line as the check boxes say: what Run does. Errors
    // are shown and the window stays for the command to be corrected.
    void Run();

    void Realign() override;
    void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    bool NavigateKey(UINT key, int shift) override;
    void FillWindowClass(WNDCLASSEXW& windowClass) override;

private:
    void RunDirectly(const std::wstring& command);
    void RunWithCapture(const std::wstring& command);
    void HandToEditor(const std::wstring& text);
    void ShowOutput(const std::wstring& text);

    TLineField* FCommandField = nullptr;
    TCheckBox* FCaptureBox = nullptr;
    TCheckBox* FEditorBox = nullptr;
    TTextField* FOutputField = nullptr;
    TButton* FRunButton = nullptr;
    TButton* FCloseButton = nullptr;
    std::wstring FDirectory;
    std::wstring FEditor;
    HWND FLastFocus = nullptr;
};

// The thread of one command line window: a hidden window owns the command
// window, which runs until it is closed.
class TCommandLineThread : public T0GUIThread {
public:
    // The editor is the settings' one.
    TCommandLineThread(std::wstring caption, std::wstring directory, std::wstring command, int32_t caret,
                       int32_t selectionLength);
    TCommandLineThread(std::wstring caption, std::wstring directory, std::wstring command, int32_t caret,
                       int32_t selectionLength, std::wstring editor);

protected:
    void Execute() override;

private:
    std::wstring FCaption;
    std::wstring FDirectory;
    std::wstring FCommand;
    int32_t FCaret;
    int32_t FSelectionLength;
    std::wstring FEditor;
};

// Opens a file in the editor, waits for the editor to end and then deletes
// the file, also when the editor could not be started.
class TOuterThread : public T0Thread {
public:
    TOuterThread(std::wstring fileName, std::wstring editor);

protected:
    void Execute() override;

private:
    std::wstring FFileName;
    std::wstring FEditor;
};

// "CommandLine": enabled when the current view shows a directory; opens a
// command line window on it.
class TCommandLineAction : public T0Action {
public:
    TCommandLineAction();
    void Idle() override;
    void Execute() override;
};
