// "IncrementalSearch": a line over the caret that moves the caret as the
// user types a name, and doubles as a quick path navigator.

// Own
#include "actions/UActionsInternal.h"

// Application
#include "app/UMain.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>
#include <shlobj.h>

// Standard library
#include <algorithm>
#include <optional>

using namespace actionsinternal;

namespace {

// The longest text Up, Down and Insert take from a name.
constexpr size_t kMaxNameText = 260;

constexpr wchar_t kCtrlV = 22;
constexpr wchar_t kBackspace = 8;
constexpr wchar_t kTab = 9;
constexpr wchar_t kEnter = 13;
constexpr wchar_t kEscape = 27;
constexpr wchar_t kBackslash = L'\\';

// The network neighbourhood's special folder.
constexpr int kNetworkFolder = 18;

std::wstring DisplayNameOf(const TFileItem& item)
{
    int length = std::clamp<int32_t>(item.DisplayNameLen, 0, static_cast<int32_t>(std::size(item.DisplayName)));
    return std::wstring(item.DisplayName, std::min(static_cast<size_t>(length), kMaxNameText));
}

// The clipboard's text, or none when it holds none or cannot be opened.
std::optional<std::wstring> ClipboardText(HWND owner)
{
    if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(owner))
        return std::nullopt;
    std::optional<std::wstring> text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            // Up to the terminator, never past the block.
            size_t limit = GlobalSize(data) / sizeof(wchar_t);
            text = std::wstring(chars, std::find(chars, chars + limit, L'\0'));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

// A pasted path without the blanks, line ends and quotes around it.
std::wstring TrimPath(std::wstring_view text)
{
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos)
        return {};
    text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"')
        text = text.substr(1, text.size() - 2);
    return std::wstring(text);
}

bool IsDriveAbsolute(std::wstring_view text)
{
    return text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
}

bool IsUncPath(std::wstring_view text)
{
    return text.size() >= 2 && text[0] == L'\\' && text[1] == L'\\';
}

} // namespace

bool actionsinternal::LocationOfText(std::wstring_view text, TPath& location)
{
    // A device is never probed, and a name with a null character is no path.
    if (text.empty() || text.find(L'\0') != std::wstring_view::npos || IsDevicePath(text))
        return false;
    if (IsDriveAbsolute(text) || IsUncPath(text)) {
        CriticalErrorsOff quiet;
        DWORD attributes = GetFileAttributesW(std::wstring(text).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                return false;
            location = ParsePath(text);
            return location.IDList != nullptr || !location.PathView().empty();
        }
        // A missing path on a drive names nothing; the shell may still know
        // a server ("\\server") that has no attributes of its own.
        if (!IsUncPath(text))
            return false;
    }
    // Only what the shell recognises counts: the parser's fallback for
    // anything else is the current directory, which is not what was asked.
    TPath parsed = ParsePath(text);
    if (parsed.IDList == nullptr)
        return false;
    location = std::move(parsed);
    return true;
}

// ---------------------------------------------------------------------------
// TIncrementalSearchDialog

TIncrementalSearchDialog::TIncrementalSearchDialog(TFilerView* view, std::wstring caption)
    : FWindow(view->Window()), FView(view), FCaption(std::move(caption))
{
    SetOwnerWindow(FWindow->Handle());
    FStartLocation = LocationOf(view->Folder());
}

void TIncrementalSearchDialog::FillWindowClass(WNDCLASSEXW& windowClass)
{
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_INFOBK + 1);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
}

TFilerView* TIncrementalSearchDialog::View() const
{
    for (TFilerView* each = FWindow->FirstView(); each != nullptr; each = each->NextView())
        if (each == FView)
            return FView;
    return nullptr;
}

void TIncrementalSearchDialog::Execute()
{
    CurrentGUIThread();
    TFilerView* view = View();
    if (view == nullptr)
        return;
    FFont = FWindow->Font();
    {
        HDC dc = GetDC(view->Handle());
        HGDIOBJ old = SelectObject(dc, FFont != nullptr ? static_cast<HGDIOBJ>(FFont) : GetStockObject(DEFAULT_GUI_FONT));
        TEXTMETRICW metrics{};
        FFontHeight = GetTextMetricsW(dc, &metrics) ? metrics.tmHeight : view->CharHeight();
        SelectObject(dc, old);
        ReleaseDC(view->Handle(), dc);
    }

    TWindowStruct create;
    create.ExStyle = WS_EX_TOOLWINDOW;
    create.WindowName = FCaption;
    create.Style = WS_POPUP;
    create.X = 0;
    create.Y = 0;
    create.Width = 0;
    create.Height = 0;
    create.Parent = FWindow->Handle();
    CreateHandle(create);
    PlaceOverCaret();

    // The filer window takes no input while the search runs; it takes it
    // again on every way out, before this window goes, so that it becomes
    // the active window again.
    HWND owner = FWindow->Handle();
    bool disabled = IsWindowEnabled(owner) != FALSE;
    if (disabled)
        EnableWindow(owner, FALSE);
    // Disabling a lead window disables the windows it owns: this one too.
    EnableWindow(Handle(), TRUE);
    auto restore = [&] {
        if (disabled && IsWindow(owner))
            EnableWindow(owner, TRUE);
        disabled = false;
    };
    ShowWindow(Handle(), SW_SHOW);
    SetFocus(Handle());
    try {
        // The loop holds nothing while it waits; each message takes its
        // hold in the window procedure.
        MessageLoop();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    ShowWindow(Handle(), SW_HIDE);
    if (TFilerView* shown = View())
        shown->FocusView();
    // A quit message ended this loop: the loop outside must see it as well.
    if (FQuit)
        PostQuitMessage(static_cast<int>(FQuitCode));
}

void TIncrementalSearchDialog::PlaceOverCaret()
{
    TFilerView* view = View();
    if (view == nullptr || Handle() == nullptr)
        return;
    RECT client{};
    GetClientRect(view->Handle(), &client);
    RECT frame{};
    GetWindowRect(view->Handle(), &frame);
    int height = FFontHeight + 8;
    int caret = view->CaretIndex();
    int top = caret >= 0 ? view->RowRect(caret).top : client.top;
    // A caret scrolled out of sight puts the window at the edge of the list
    // it lies beyond, so the window never leaves the view; an empty list has
    // it at the top.
    top = std::clamp<int>(top, client.top, std::max<int>(client.top, client.bottom - height));
    POINT origin{client.left, top};
    ClientToScreen(view->Handle(), &origin);
    SetWindowPos(Handle(), HWND_TOP, frame.left, origin.y, frame.right - frame.left, height, SWP_NOACTIVATE);
}

void TIncrementalSearchDialog::Paint(HDC dc)
{
    if (FFont != nullptr)
        SelectObject(dc, FFont);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
    TextOutW(dc, 4 - GetSystemMetrics(SM_CXBORDER), 4, FSearchText.c_str(), static_cast<int>(FSearchText.size()));
}

void TIncrementalSearchDialog::Idle()
{
    // A window asked to close takes its search with it.
    if (FWindow->Terminated() || View() == nullptr)
        Close();
    T0DialogWindow::Idle();
}

LRESULT TIncrementalSearchDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        // Placed over the caret, not centred as other dialogs are.
        return DefaultHandler(message, wParam, lParam);
    case WM_GETDLGCODE:
        return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS;
    case WM_CHAR:
        CharTyped(static_cast<wchar_t>(wParam));
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    case WM_QUIT:
        FQuit = true;
        FQuitCode = wParam;
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    default:
        return T0DialogWindow::Dispatch(message, wParam, lParam);
    }
}

bool TIncrementalSearchDialog::KeyDown(int shift, UINT key)
{
    TFilerView* view = View();
    if (view == nullptr) {
        Close();
        return true;
    }
    int caret = view->CaretIndex();
    switch (key) {
    case VK_UP:
        if (caret > 0) {
            view->SetCaret(caret - 1);
            SetTextFromCaret();
        }
        break;
    case VK_DOWN:
        if (caret >= 0 && caret < view->Count() - 1) {
            view->SetCaret(caret + 1);
            SetTextFromCaret();
        }
        break;
    case VK_INSERT:
        if (view->Count() > 0)
            SetTextFromCaret();
        break;
    default:
        return false;
    }
    FReturned = false;
    // These keys chose the entry themselves: no search after them.
    Changed(false);
    return true;
}

void TIncrementalSearchDialog::SetTextFromCaret()
{
    if (TFilerView* view = View())
        if (TFileItem* item = view->CaretItem())
            FSearchText = DisplayNameOf(*item);
}

void TIncrementalSearchDialog::CharTyped(wchar_t character)
{
    if (View() == nullptr) {
        Close();
        return;
    }
    bool returned = false;
    switch (character) {
    case kTab:
    case kEnter:
        Close();
        return;
    case kEscape: {
        TFilerView* view = View();
        bool atStart = SamePath(LocationOf(view->Folder()), FStartLocation);
        if (FSearchText.empty() && (atStart || FReturned)) {
            Close();
            return;
        }
        // Where the view still shows the start folder it is not shown
        // afresh, which would drop the marks and the caret.
        if (!atStart)
            NavigateTo(view, FStartLocation);
        FSearchText.clear();
        returned = true;
        break;
    }
    case kCtrlV:
        Paste();
        break;
    case kBackspace:
        Backspace();
        break;
    case kBackslash:
        Backslash();
        break;
    default:
        if (FSearchText == L"\\")
            FSearchText.clear();
        FSearchText += character;
        break;
    }
    FReturned = returned;
    Changed(true);
}

void TIncrementalSearchDialog::Changed(bool search)
{
    InvalidateRect(Handle(), nullptr, TRUE);
    TFilerView* view = View();
    if (view == nullptr)
        return;
    if (search)
        view->SearchByName(FSearchText);
    PlaceOverCaret();
}

bool TIncrementalSearchDialog::PerformThreadAction(const char* name)
{
    auto* thread = dynamic_cast<TViewThread*>(CurrentThread());
    if (thread == nullptr || thread->ActionManager() == nullptr)
        return false;
    ComPtr<IAction> action = thread->ActionManager()->Find(name);
    auto* own = dynamic_cast<T0Action*>(action.get());
    return own != nullptr ? own->Perform() : PerformItem(action.get());
}

bool TIncrementalSearchDialog::NavigateIfFolder(const TPath& location)
{
    TFilerView* view = View();
    if (view == nullptr)
        return false;
    ComPtr<IFolder> folder;
    try {
        folder = FolderAt(location);
    } catch (const Exception&) {
        // A location the folder manager refuses (a device) is no folder.
        return false;
    }
    if (!folder || !folder->IsReady())
        return false;
    view->ChangeFolder(folder.get());
    return true;
}

void TIncrementalSearchDialog::Paste()
{
    std::optional<std::wstring> pasted = ClipboardText(Handle());
    std::wstring text = pasted ? TrimPath(*pasted) : std::wstring();
    TPath location;
    if (!text.empty() && LocationOfText(text, location) && NavigateIfFolder(location)) {
        FSearchText.clear();
        return;
    }
    // Not a folder: the folder holding it, with the caret on its name.
    std::wstring path = text;
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    std::wstring parent = ExtractFileDir(path);
    std::wstring name = ExtractFileName(path);
    if (!name.empty() && !parent.empty() && parent != path && LocationOfText(parent, location) &&
        NavigateIfFolder(location)) {
        FSearchText = name;
        return;
    }
    MessageBeep(0);
}

void TIncrementalSearchDialog::Backspace()
{
    if (FSearchText == L"\\") {
        FSearchText.clear();
    } else if (!FSearchText.empty()) {
        FSearchText.pop_back();
    } else if (PerformThreadAction("ToParent")) {
        // The caret is on the folder just left.
        SetTextFromCaret();
    }
}

void TIncrementalSearchDialog::Backslash()
{
    if (FSearchText.empty()) {
        PerformThreadAction("ToRoot");
        FSearchText = L"\\";
        return;
    }
    if (FSearchText == L"\\") {
        LPITEMIDLIST network = nullptr;
        if (FAILED(SHGetSpecialFolderLocation(nullptr, kNetworkFolder, &network)) || network == nullptr) {
            MessageBeep(0);
            return;
        }
        if (TFilerView* view = View())
            NavigateTo(view, TPath::FromIDList(network));
        else
            CoTaskMemFree(network);
        FSearchText = L"\\\\";
        return;
    }
    if (FSearchText.front() != L'\\') {
        if (FSearchText == L"..")
            PerformThreadAction("ToParent");
        else if (FSearchText != L".")
            // The folder the text matched has the caret.
            PerformThreadAction("EnterFolder");
        FSearchText.clear();
        return;
    }
    // A network path being typed.
    auto separators = std::count(FSearchText.begin(), FSearchText.end(), L'\\');
    std::wstring target;
    if (separators == 2 && FSearchText.size() > 2) {
        target = FSearchText; // a server
    } else if (separators == 3) {
        // Server and share: the share under the caret, by its full name.
        TFilerView* view = View();
        TFileItem* item = view != nullptr ? view->CaretItem() : nullptr;
        if (item != nullptr)
            target.assign(item->Name,
                          static_cast<size_t>(std::clamp<int32_t>(item->NameLen, 0, static_cast<int32_t>(std::size(item->Name)))));
    } else {
        return;
    }
    TPath location;
    if (!target.empty() && LocationOfText(target, location) && NavigateIfFolder(location))
        FSearchText.clear();
    else
        MessageBeep(0);
}

// ---------------------------------------------------------------------------
// The action

namespace {

class TIncrementalSearchAction : public T0Action {
public:
    TIncrementalSearchAction() : T0Action(false)
    {
        Describe("IncrementalSearch", L"インクリメンタルサーチ", L"現在のビューから名前でファイルを探します");
    }

    // Always enabled.
    void Idle() override {}

    void Execute() override
    {
        TFilerView* view = CurrentView();
        if (view == nullptr)
            return;
        TOwned<TIncrementalSearchDialog> dialog(new TIncrementalSearchDialog(view, Caption()));
        dialog->Execute();
    }
};

} // namespace

T0Action* actionsinternal::NewIncrementalSearchAction()
{
    return new TIncrementalSearchAction;
}
