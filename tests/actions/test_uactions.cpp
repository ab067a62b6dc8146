// The two action managers: which actions they make, in which order, with
// which captions and hints.

// Own
#include "actions/UActions.h"

// Toolkit
#include "lw/LActions.h"

// Standard library
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/PumpUntil.h"
#include "tests/view/WindowThread.h"

namespace {

struct TLooks {
    std::string Name;
    std::wstring Caption;
    std::wstring Hint;
};

std::vector<TLooks> LooksOf(T0ActionManager& manager)
{
    std::vector<TLooks> looks;
    for (T0Object* child = manager.FirstChild(); child != nullptr; child = child->Next())
        if (auto* action = dynamic_cast<T0Action*>(child))
            looks.push_back({action->Name(), action->Caption(), action->Hint()});
    return looks;
}

} // namespace

TEST(ActionManagers, MakeTheirActionsInTheirOrderWithTheirCaptionsAndHints)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    // Names in creation order; a caption or hint of "*" is not fixed here
    // (it follows a delegate or belongs to another unit's tests).
    const std::vector<TLooks> threadExpected = {
        {"ClipboardCopy", L"クリップボードへコピー", L"選択ファイルをクリップボードへコピーします"},
        {"ClipboardCut", L"クリップボードへ切り取り", L"選択ファイルをクリップボードへ切り取ります"},
        {"ClipFileData", L"ファイルデータをコピー", L"ファイルの中身をクリップボードへコピーします"},
        {"CloseView", L"ビューを閉じる", L"現在のビューを閉じます"},
        {"Console", L"コンソール", L"コンソールを起動します"},
        {"Copy", L"コピー...", L"ファイルをコピーします"},
        {"EnterFolder", L"フォルダに入る", L"キャレットが示すフォルダに入ります"},
        {"Explorer", L"エクスプローラ", L"エクスプローラを起動します"},
        {"ExplorerFind", L"ファイルやフォルダを検索", L"エクスプローラを使ってファイルやフォルダを検索します"},
        {"MakeDirectory", L"ディレクトリ作成...", L"ディレクトリを新規に作成します"},
        {"MakeShellLink", L"ショートカット作成...", L"ショートカットを作成します"},
        {"MarkAll", L"すべて選択", L"全ての項目を選択します"},
        {"MarkReverse", L"選択反転", L"項目の選択を反転します"},
        {"MarkToggle", L"選択/選択解除", L"項目を選択/選択解除します"},
        {"Move", L"移動...", L"ファイルを移動します"},
        {"OpenFileAs", L"アプリケーションから開く...", L"アプリケーションを選んでファイルを開きます"},
        {"OpenFileShort", L"問い合わせずに開く", L"ファイルをデフォルト動作で開きます"},
        {"OpenView", L"別のビューを開く", L"ビューをもうひとつ開きます"},
        {"Property", L"プロパティ", L"プロパティシートを表示"},
        {"Sort", L"並びかえ...", L"表示順を並びかえます"},
        {"ToChosen", L"選んで移動", L"フォルダをブラウズして移動"},
        {"ToDesktop", L"デスクトップに移動", L"デスクトップに移動します"},
        {"ToFound", L"存在位置へ移動", L"検索結果のファイルの存在位置に移動します"},
        {"ToMyComputer", L"マイコンピュータに移動", L"マイコンピュータに移動します"},
        {"ToParent", L"上へ", L"ひとつ上のフォルダに移動します"},
        {"ToRoot", L"ルートディレクトリに移動", L"ルートディレクトリに移動します"},
        {"ToShellLink", L"リンク先へ移動", L"ショートカットが示す先へ移動します"},
        {"ToTemporary", L"テンポラリに移動", L"テンポラリディレクトリに移動します"},
        {"CommandLine", L"*", L"*"},
        {"OpenFile", L"開く", L"ファイルを開きます"},
        {"Attribute", L"*", L"*"},
        {"IncrementalSearch", L"インクリメンタルサーチ", L"現在のビューから名前でファイルを探します"},
        {"ClipboardPaste", L"クリップボードから貼り付け", L"クリップボードに記録されたファイルを貼り付けます"},
        {"FindFile", L"ファイル検索...", L"ファイルを検索します"},
        {"Rename", L"*", L"*"},
        {"Unpack", L"展開...", L"書庫を展開します"},
        {"Pack", L"圧縮...", L"書庫を作成します"},
        {"Delete", L"*", L"*"},
        {"CompareView", L"フォルダを比較...", L"ふたつのビューを比較し結果のファイルを選択します"},
        {"Default", L"*", L"*"},
        {"DefaultShort", L"*", L"*"},
    };
    const std::vector<TLooks> globalExpected = {
        {"BrowsePage", L"Nimbraのページ表示", L"Nimbraのページをブラウザで開きます"},
        {"CloseWindow", L"閉じる", L"この窓を閉じます"},
        {"Dummy", L"Dummy", L"何もしません"},
        {"HelpContents", L"ヘルプ", L"ヘルプの目次を表示します"},
        {"HelpOnHelp", L"ヘルプの使い方", L"Windows のヘルプの使い方を表示します"},
        {"HelpTopicSearch", L"トピックの検索", L"ヘルプのトピックを検索します"},
        {"OpenWindow", L"別の窓を開く", L"別の窓を開きます"},
        {"Refresh", L"更新", L"最新の情報に更新します"},
        {"Filter", L"フィルタ...", L"ワイルドカードでフィルタをかけます"},
        {"MakeNewFile", L"ファイル新規作成", L"新しいファイルを作成します"},
        {"WindowMenu", L"Window", L""},
        {"VersionInfo", L"バージョン情報...", L"バージョン情報を表示します"},
        {"HelpMenu", L"Help", L""},
    };
    auto compare = [](const std::vector<TLooks>& actual, const std::vector<TLooks>& expected) {
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(actual[i].Name, expected[i].Name) << "at " << i;
            if (expected[i].Caption != L"*") {
                EXPECT_EQ(actual[i].Caption, expected[i].Caption) << expected[i].Name;
            }
            if (expected[i].Hint != L"*") {
                EXPECT_EQ(actual[i].Hint, expected[i].Hint) << expected[i].Name;
            }
        }
    };
    window.Locked([&](TFilerView*) {
        compare(LooksOf(*window.Thread()->ActionManager()), threadExpected);
        compare(LooksOf(*dynamic_cast<T0ActionManager*>(GlobalActionManager())), globalExpected);
    });
}

namespace {

BOOL CALLBACK CloseOtherWindow(HWND window, LPARAM filer)
{
    if (window != reinterpret_cast<HWND>(filer) && IsWindowVisible(window))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

} // namespace

TEST(DefaultAction, AKeyTypedAheadOfTheIdleStepFollowsTheCaretItLandsOn)
{
    TempFolder dir;
    dir.MakeDir(L"inner");
    dir.MakeFile(L"b.txt");
    TWindowThread window(dir.Path());
    HWND view = window.Locked([&](TFilerView* v) {
        v->SetCaretByNameText(L"b.txt");
        ComPtr<IAction> action = window.Thread()->ActionManager()->Find("Default");
        window.Window()->KeyAssignment()->Assign(0, VK_F24, action.get());
        return v->Handle();
    });
    // Let the window settle on the file: "Default" then means opening it.
    ASSERT_TRUE(PumpUntil([&] {
        // The application's idle step wakes the window's own.
        Application()->IdleStep();
        return window.Locked([&](TFilerView*) {
            ComPtr<IAction> action = window.Thread()->ActionManager()->Find("Default");
            return ItemCaption(action.get()) == L"開く";
        });
    }));
    {
        // Up and Enter arrive together: no idle step runs between them.
        TExclusiveLock lock;
        PostMessageW(view, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(view, WM_KEYDOWN, VK_F24, 0);
    }
    bool entered = PumpUntil([&] { return window.FolderPath() == dir / L"inner"; }, 5000);
    EnumThreadWindows(GetWindowThreadProcessId(window.Window()->Handle(), nullptr), CloseOtherWindow,
                      reinterpret_cast<LPARAM>(window.Window()->Handle()));
    EXPECT_TRUE(entered) << "Enter acted on the entry the caret had left";
}
