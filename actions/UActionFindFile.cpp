// Finding files: the search dialog, "FindFile" and "ToFound".

// Own
#include "actions/UActionsInternal.h"

// Search
#include "search/RegExp.h"
#include "search/UFounds.h"
#include "search/WildCard.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LAddDlgs.h"
#include "lw/LCmmDlgs.h"
#include "lw/LStdCtls.h"
#include "lw/LStrings.h"

// Standard library
#include <algorithm>
#include <memory>
#include <string>

using namespace actionsinternal;

namespace {

constexpr UINT kNameFieldId = 100;
constexpr UINT kContentFieldId = 101;

// The dialog's fixed layout, in client pixels.
constexpr int kClientWidth = 320;
constexpr int kClientHeight = 80;
constexpr int kFieldLeft = 100;
constexpr int kButtonWidth = 75;

// Asks for the file-name filter and the content pattern, and compiles both
// before it closes: a text that does not compile keeps it open.
class TGrepWindow : public TModalDialog {
public:
    explicit TGrepWindow(HWND owner) : TModalDialog(owner, L"ファイル検索") {}

    // After a confirmed run: the compiled filter and pattern (the pattern is
    // empty when the content field was).
    bool Result() const { return FResult; }
    std::unique_ptr<TWildCardExpression> TakeFilter() { return std::move(FFilter); }
    ComPtr<IRegExp> TakePattern() { return std::move(FPattern); }

    bool Validate() override
    {
        std::wstring nameText = FNameField->Text();
        std::wstring contentText = FContentField->Text();
        std::unique_ptr<TWildCardExpression> filter;
        ComPtr<IRegExp> pattern;
        try {
            filter = std::make_unique<TWildCardExpression>(nameText);
            // The text as the user's code page spells it, letters of either
            // case: the files searched are mostly in that code page.
            if (!contentText.empty())
                pattern = CreateRegExp(UnicodeToAnsi(contentText), kRegExpIgnoreCase, TRegExpMode::DoubleByte);
        } catch (const Exception&) {
            if (!filter) {
                TMessageBox::Show(Handle(), L"ワイルドカードが間違い", L"検索", MB_ICONSTOP);
                FNameField->Focus();
            } else {
                TMessageBox::Show(Handle(), L"正規表現が間違い", L"NimRegExp", MB_ICONSTOP);
                FContentField->Focus();
            }
            return false;
        }
        FFilter = std::move(filter);
        FPattern = std::move(pattern);
        FResult = true;
        return true;
    }

protected:
    T0Control* CreateControls() override
    {
        FNameLabel = new TLabel(this, L"ファイル名");
        FContentLabel = new TLabel(this, L"中身(正規表現)");
        FNameField = new TLineField(this, L"", kNameFieldId);
        FContentField = new TLineField(this, L"", kContentFieldId);
        return FNameField;
    }

    // The base places its controls from top down; the fixed layout is put
    // in place when the dialog is loaded (Load).
    int LayoutControls(int left, int top, int width) override
    {
        FNameField->SetBounds(left, top, width, FieldHeight());
        FContentField->SetBounds(left, top + FieldHeight(), width, FieldHeight());
        return top + 2 * FieldHeight();
    }

    int ContentWidth() const override { return kClientWidth; }

    void Load() override
    {
        FResult = false;
        FNameField->SetText(L"\"*.*\"");
        FContentField->SetText(L"");
        PlaceControls();
    }

    void Shown() override
    {
        // The pattern between the quotes, ready to be typed over.
        FNameField->SetSelection(1, 4);
    }

private:
    void PlaceControls()
    {
        SetClientSize(Handle(), kClientWidth, kClientHeight);
        int fieldWidth = kClientWidth - 4 - kFieldLeft;
        int fieldHeight = FieldHeight();
        FNameLabel->SetBounds(4, 8, kFieldLeft - 8, LineHeight());
        FContentLabel->SetBounds(4, 32, kFieldLeft - 8, LineHeight());
        FNameField->SetBounds(kFieldLeft, 4, fieldWidth, fieldHeight);
        FContentField->SetBounds(kFieldLeft, 28, fieldWidth, fieldHeight);
        int buttonTop = 28 + fieldHeight + 5;
        int buttonHeight = std::min(ButtonHeight(), std::max(kClientHeight - buttonTop - 2, 16));
        HWND start = GetDlgItem(Handle(), kDialogOkId);
        HWND cancel = GetDlgItem(Handle(), kDialogCancelId);
        SetWindowTextW(start, L"Start");
        SetWindowTextW(cancel, L"Cancel");
        MoveWindow(start, kClientWidth - 162, buttonTop, kButtonWidth, buttonHeight, TRUE);
        MoveWindow(cancel, kClientWidth - 83, buttonTop, kButtonWidth, buttonHeight, TRUE);
    }

    TLabel* FNameLabel = nullptr;
    TLabel* FContentLabel = nullptr;
    TLineField* FNameField = nullptr;
    TLineField* FContentField = nullptr;
    bool FResult = false;
    std::unique_ptr<TWildCardExpression> FFilter;
    ComPtr<IRegExp> FPattern;
};

bool IsFoundsView(TFilerView* view)
{
    return view != nullptr && IsFoundsFolder(view->Folder());
}

// "FindFile": searches the tree of the current directory (or again the tree
// of the current results) and shows the results in the view.
class TFindFileAction : public T0Action {
public:
    TFindFileAction() : T0Action(false) { Describe("FindFile", L"ファイル検索...", L"ファイルを検索します"); }

    void Idle() override
    {
        TFilerView* view = ActionView();
        SetEnabled(view != nullptr && (IsDirectoryView(view) || IsFoundsView(view)));
    }

    void Execute() override
    {
        TFilerView* view = ActionView();
        if (view == nullptr)
            return;
        TOwned<TGrepWindow> dialog(new TGrepWindow(OwnerWindow(view)));
        if (!dialog->Execute() || !dialog->Result())
            return;
        // The view may have gone while the dialog was up.
        view = ActionView();
        if (view == nullptr || view->Folder() == nullptr)
            return;
        // The results' own location is the root they were searched below.
        TPath root = LocationOf(view->Folder());
        ComPtr<IFounds> founds = StartSearch(root, dialog->TakePattern(), dialog->TakeFilter());
        view->ChangeFolder(founds.get());
    }
};

} // namespace

bool actionsinternal::CanGoToFound(TFilerView* view)
{
    return IsFoundsView(view) && view->CaretItem() != nullptr;
}

void actionsinternal::ToFound(TFilerView* view)
{
    TFileItem* caret = view->CaretItem();
    if (caret == nullptr)
        return;
    // Copied first: leaving the results may free their records.
    TPath location;
    view->Folder()->GetItemPath(caret, &location);
    std::wstring file(location.PathView());
    NavigateToFile(view, file);
}

T0Action* actionsinternal::NewFindFileAction()
{
    return new TFindFileAction;
}
