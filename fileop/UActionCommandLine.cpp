#include "fileop/UActionCommandLine.h"

// Application
#include "app/UMain.h"

// File operations
#include "fileop/UCommandRun.h"

// View
#include "view/UView.h"

// Folders
#include "folders/UFolders.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <algorithm>
#include <optional>
#include <vector>

namespace {

constexpr const wchar_t* kCaptureCaption = L"出力を奪う(&S)";
constexpr const wchar_t* kEditorCaption = L"外部エディタ(&O)";

// The layout: the command field across the top, the check boxes and the
// buttons in a row below it, the output filling the rest.
constexpr int kClientWidth = 480;
constexpr int kMargin = 4;
constexpr int kFieldHeight = 22;
constexpr int kRowTop = 30;
constexpr int kRowHeight = 23;
constexpr int kCaptureLeft = 8;
constexpr int kEditorLeft = 128;
constexpr int kCheckWidth = 116;
constexpr int kButtonWidth = 75;
constexpr int kRunFromRight = 158;
constexpr int kCloseFromRight = 79;
constexpr int kOutputTop = kRowTop + kRowHeight + kMargin;
// The window opens with no room for the output; shown output makes a
// window lower than kLowWindow grow by kOutputGrowth.
constexpr int kCompactClientHeight = kOutputTop;
constexpr int kLowWindow = 100;
constexpr int kOutputGrowth = 254;

// The process's current directory goes back to the temporary folder, so
// that no browsed directory stays in use.
void LeaveDirectory()
{
    std::wstring temporary = TemporaryDirectory();
    if (!temporary.empty())
        SetCurrentDirectoryW(temporary.c_str());
}

// The hourglass while a command runs.
class TWaitCursor {
public:
    TWaitCursor() : FPrevious(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~TWaitCursor() { SetCursor(FPrevious); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;

private:
    HCURSOR FPrevious;
};

void WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    if (!file)
        RaiseLastOSError(path);
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        RaiseLastOSError(path);
}

std::wstring ConfiguredEditor()
{
    TApplication* app = App();
    return EditorOrDefault(app != nullptr ? std::wstring_view(app->Editor()) : std::wstring_view());
}

} // namespace

// ---------------------------------------------------------------------------
// TCommandLineWindow

TCommandLineWindow::TCommandLineWindow(std::wstring editor) : FEditor(std::move(editor)) {}

void TCommandLineWindow::FillWindowClass(WNDCLASSEXW& windowClass)
{
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
}

void TCommandLineWindow::CreateCommandWindow(const std::wstring& caption, HWND owner)
{
    TWindowStruct create;
    create.ExStyle = WS_EX_CONTROLPARENT;
    create.Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    create.WindowName = caption;
    create.X = 0;
    create.Y = 0;
    create.Width = 0;
    create.Height = 0;
    create.Parent = owner;
    SetOwnerWindow(owner);
    CreateHandle(create);
    SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont()->Handle()), FALSE);

    FCommandField = new TLineField(this, L"", kCommandFieldId);
    FCaptureBox = new TCheckBox(this, kCaptureCaption, kCaptureBoxId);
    FEditorBox = new TCheckBox(this, kEditorCaption, kEditorBoxId);
    FOutputField = new TTextField(this, kOutputFieldId, true);
    FOutputField->SetFont(CurrentGUIThread()->SystemFixedFont());
    FRunButton = new TButton(this, L"Run", kRunButtonId, true);
    FCloseButton = new TButton(this, L"Close", kCloseButtonId);
    // The editor only takes captured output.
    EnableWindow(FEditorBox->Handle(), FALSE);
    SetClientSize(Handle(), kClientWidth, kCompactClientHeight);
    Realign();
    Centre();
}

void TCommandLineWindow::SetCommand(const std::wstring& text, int32_t caret, int32_t selectionLength)
{
    FCommandField->SetText(text);
    FCommandField->SetSelection(caret, caret + selectionLength);
}

void TCommandLineWindow::Realign()
{
    if (Handle() == nullptr || FCloseButton == nullptr)
        return;
    RECT client{};
    GetClientRect(Handle(), &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    FCommandField->SetBounds(kMargin, kMargin, std::max(0, width - 2 * kMargin), kFieldHeight);
    FCaptureBox->SetBounds(kCaptureLeft, kRowTop, kCheckWidth, kRowHeight);
    FEditorBox->SetBounds(kEditorLeft, kRowTop, kCheckWidth, kRowHeight);
    FRunButton->SetBounds(width - kRunFromRight, kRowTop, kButtonWidth, kRowHeight);
    FCloseButton->SetBounds(width - kCloseFromRight, kRowTop, kButtonWidth, kRowHeight);
    FOutputField->SetBounds(0, kOutputTop, width, std::max(0, height - kOutputTop));
}

void TCommandLineWindow::Run()
{
    std::wstring command = FCommandField->Text();
    try {
        if (!SetCurrentDirectoryW(FDirectory.c_str()))
            RaiseLastOSError(FDirectory);
        if (FCaptureBox->Checked())
            RunWithCapture(command);
        else
            RunDirectly(command);
    } catch (...) {
        LeaveDirectory();
        TSuspendShared unlocked;
        ShowException(std::current_exception(), Handle());
        return;
    }
    LeaveDirectory();
}

void TCommandLineWindow::RunDirectly(const std::wstring& command)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION info{};
    std::wstring line = command;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, FDirectory.c_str(), &startup,
                        &info))
        throw Exception(kProgramNotFound);
    // Started and left to itself.
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    SetTerminated(true);
}

void TCommandLineWindow::RunWithCapture(const std::wstring& command)
{
    TCapturedRun run;
    {
        // The window waits for the command; the other windows do not.
        TSuspendShared unlocked;
        TWaitCursor hourglass;
        run = RunCaptured(InterpreterCommandLine(command), FDirectory);
    }
    if (!run.Started || IsUnknownCommandError(run.ExitCode, run.Error))
        throw Exception(kProgramNotFound);
    std::wstring text = CommandResultText(FDirectory, command, AnsiToWide(run.Output), AnsiToWide(run.Error));
    if (FEditorBox->Checked())
        HandToEditor(text);
    else
        ShowOutput(text);
}

void TCommandLineWindow::HandToEditor(const std::wstring& text)
{
    std::wstring temporary = TemporaryDirectory();
    wchar_t name[MAX_PATH + 1] = {};
    if (GetTempFileNameW(temporary.c_str(), L"nim", 0, name) == 0)
        RaiseLastOSError(temporary);
    std::wstring file(name);
    try {
        // In the code page the output came in, which is what an editor of
        // this system reads by default.
        WriteWholeFile(file, WideToAnsi(text));
        // From here on the thread deletes the file.
        T0Thread::StartThread<TOuterThread>(file, FEditor);
    } catch (...) {
        DeleteFileW(file.c_str());
        throw;
    }
    SetTerminated(true);
}

void TCommandLineWindow::ShowOutput(const std::wstring& text)
{
    FOutputField->SetText(text);
    RECT window{};
    GetWindowRect(Handle(), &window);
    if (window.bottom - window.top < kLowWindow)
        SetWindowPos(Handle(), nullptr, 0, 0, window.right - window.left, window.bottom - window.top + kOutputGrowth,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TCommandLineWindow::HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result)
{
    if (header.code == kCommandNotifyBase + BN_CLICKED) {
        switch (header.idFrom) {
        case kRunButtonId:
            Run();
            return;
        case kCloseButtonId:
            SetTerminated(true);
            return;
        case kCaptureBoxId:
            EnableWindow(FEditorBox->Handle(), FCaptureBox->Checked() ? TRUE : FALSE);
            return;
        default:
            break;
        }
    }
    T0DialogWindow::HandleNotify(sender, header, result);
}

bool TCommandLineWindow::NavigateKey(UINT key, int shift)
{
    switch (key) {
    case VK_RETURN:
        // Return on Close closes; anywhere else it runs.
        if (GetFocus() == FCloseButton->Handle())
            SetTerminated(true);
        else
            Run();
        return true;
    case VK_ESCAPE:
        SetTerminated(true);
        return true;
    default:
        return T0DialogWindow::NavigateKey(key, shift);
    }
}

LRESULT TCommandLineWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SYSCOMMAND:
        // Alt with a control's mnemonic letter.
        if ((wParam & 0xFFF0) == SC_KEYMENU && lParam != 0 && PressMnemonic(this, static_cast<wchar_t>(lParam)))
            return 0;
        return T0DialogWindow::Dispatch(message, wParam, lParam);
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
        else if (FCommandField != nullptr)
            FCommandField->Focus();
        return 0;
    default:
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    }
}

// ---------------------------------------------------------------------------
// TCommandLineThread

TCommandLineThread::TCommandLineThread(std::wstring caption, std::wstring directory, std::wstring command,
                                       int32_t caret, int32_t selectionLength)
    : TCommandLineThread(std::move(caption), std::move(directory), std::move(command), caret, selectionLength,
                         ConfiguredEditor())
{
}

TCommandLineThread::TCommandLineThread(std::wstring caption, std::wstring directory, std::wstring command,
                                       int32_t caret, int32_t selectionLength, std::wstring editor)
    : FCaption(std::move(caption)),
      FDirectory(std::move(directory)),
      FCommand(std::move(command)),
      FCaret(caret),
      FSelectionLength(selectionLength),
      FEditor(std::move(editor))
{
}

void TCommandLineThread::Execute()
{
    // A hidden window of the thread's own owns the command window: it
    // stands by itself, not above the filer window it came from.
    UniqueWindow owner(
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr));
    if (!owner)
        RaiseLastOSError(L"STATIC");
    // Goes before its owner does.
    TOwned<TCommandLineWindow> window(new TCommandLineWindow(FEditor));
    window->CreateCommandWindow(FCaption, owner.get());
    window->SetDirectory(FDirectory);
    window->SetCommand(FCommand, FCaret, FSelectionLength);
    SetMainWindow(window.get());
    ShowWindow(window->Handle(), SW_SHOW);
    SetForegroundWindow(window->Handle());
    // Shared only while a message is handled, as every window thread; the
    // loop lets go while it waits.
    int32_t previous = Application()->BeginShared();
    try {
        window->MessageLoop();
    } catch (...) {
        Application()->EndShared(previous);
        SetMainWindow(nullptr);
        throw;
    }
    Application()->EndShared(previous);
    SetMainWindow(nullptr);
}

// ---------------------------------------------------------------------------
// TOuterThread

TOuterThread::TOuterThread(std::wstring fileName, std::wstring editor)
    : FFileName(std::move(fileName)), FEditor(std::move(editor))
{
}

void TOuterThread::Execute()
{
    std::wstring directory = TemporaryDirectory();
    if (directory.size() > 3 && directory.back() == L'\\')
        directory.pop_back();
    std::wstring line = EditorCommandLine(FEditor, FFileName);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  directory.empty() ? nullptr : directory.c_str(), &startup, &info) != FALSE;
    DWORD error = GetLastError();
    if (started) {
        UniqueHandle process(info.hProcess);
        UniqueHandle thread(info.hThread);
        WaitForSingleObject(process.get(), INFINITE);
    }
    DeleteFileW(FFileName.c_str());
    if (!started)
        throw EOSError(error, FEditor);
}

// ---------------------------------------------------------------------------
// TCommandLineAction

TCommandLineAction::TCommandLineAction() : T0Action(false)
{
    Describe("CommandLine", L"コマンドライン...", L"コマンドラインを一行実行します");
}

void TCommandLineAction::Idle()
{
    TFilerView* view = CurrentView();
    SetEnabled(view != nullptr && view->Folder() != nullptr &&
               ComPtr<IFolder>(view->Folder()).as<IDirectory>() != nullptr);
}

void TCommandLineAction::Execute()
{
    TFilerView* view = CurrentView();
    if (view == nullptr || view->Folder() == nullptr)
        return;
    std::vector<std::wstring> marked;
    const std::vector<TFileItem*>& items = view->Items();
    for (size_t i = 0; i < items.size(); ++i)
        if (view->IsMarked(static_cast<int32_t>(i)))
            marked.emplace_back(items[i]->Name, static_cast<size_t>(items[i]->NameLen));
    std::optional<std::wstring_view> caret;
    if (const TFileItem* item = view->CaretItem())
        caret = std::wstring_view(item->Name, static_cast<size_t>(item->NameLen));
    TCommandPrefill prefill = InitialCommandLine(marked, caret);
    TPath location;
    view->Folder()->GetPath(&location);
    T0Thread::StartThread<TCommandLineThread>(std::wstring(kCommandLineCaption), std::wstring(location.PathView()),
                                              std::move(prefill.Text), prefill.Caret, 0);
}
