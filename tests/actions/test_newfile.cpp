// New directories and files on a real window thread: the list of types
// read from the prefix's registry, the name dialog, what lands on disk and
// where the caret goes, and the names and templates that are refused.

// Own
#include "actions/UActionsInternal.h"

// Folders
#include "folders/ShlUtils.h"

// Toolkit
#include "lw/LHandles.h"
#include "lw/LRegistry.h"

// Platform
#include <windows.h>
#include <shlobj.h>

// Standard library
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/LockFaults.h"
#include "tests/PumpUntil.h"
#include "tests/folders/TempFolder.h"
#include "tests/view/WindowThread.h"

using namespace actionsinternal;

namespace {

// Where the test's classes are written: the user's classes when they show
// through HKEY_CLASSES_ROOT (as on Windows), else the classes root itself
// (Wine's root does not merge the user's classes in).
struct TClassesRoot {
    HKEY Key;
    std::wstring Prefix;
};

TClassesRoot ClassesRoot()
{
    static const TClassesRoot root = [] {
        const std::wstring probe = L".nimbraprobe";
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (L"Software\\Classes\\" + probe).c_str(), 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr) == ERROR_SUCCESS)
            RegCloseKey(key);
        bool merged = RegOpenKeyExW(HKEY_CLASSES_ROOT, probe.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (merged)
            RegCloseKey(key);
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Classes\\" + probe).c_str());
        return merged ? TClassesRoot{HKEY_CURRENT_USER, L"Software\\Classes\\"} : TClassesRoot{HKEY_CLASSES_ROOT, L""};
    }();
    return root;
}

const wchar_t* const kTestKeys[] = {L".nimbratest",   L"NimbraTest.File",    L".nimbratpl",
                                    L"NimbraTpl.File", L".nimbranotype",     L".nimbraempty",
                                    L"NimbraEmpty.File", L".nimbramissing",  L"NimbraMissing.File"};

const std::wstring kEmptyCaption = L"Nimbra テスト(.nimbratest)";
const std::wstring kTemplateCaption = L"Nimbra 雛形(.nimbratpl)";
const std::wstring kMissingCaption = L"Nimbra 欠落(.nimbramissing)";

std::wstring TemplateName()
{
    return L"nimbratest-" + std::to_wstring(GetCurrentProcessId()) + L".nimbratpl";
}

std::wstring MissingTemplateName()
{
    return L"nimbra-no-such-template-" + std::to_wstring(GetCurrentProcessId()) + L".tpl";
}

void SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    std::wstring path = ClassesRoot().Prefix + key;
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(ClassesRoot().Key, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    UniqueRegKey owned(handle);
    RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The types the tests make: one empty, one from a template (the type's own
// ShellNew key wins over the extension's), one whose template is nowhere,
// and two broken ones that must stay out of the list.
class TRegistryEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        TearDown();
        SetValue(L".nimbratest", nullptr, L"NimbraTest.File");
        SetValue(L"NimbraTest.File", nullptr, L"Nimbra テスト");
        SetValue(L".nimbratest\\ShellNew", L"NullFile", L"");

        SetValue(L".nimbratpl", nullptr, L"NimbraTpl.File");
        SetValue(L"NimbraTpl.File", nullptr, L"Nimbra 雛形");
        SetValue(L".nimbratpl\\NimbraTpl.File\\ShellNew", L"FileName", TemplateName());
        SetValue(L".nimbratpl\\ShellNew", L"NullFile", L"");

        // The type has no key of its own.
        SetValue(L".nimbranotype", nullptr, L"NimbraNoSuch.Type");
        SetValue(L".nimbranotype\\ShellNew", L"NullFile", L"");
        // ShellNew without either value.
        SetValue(L".nimbraempty", nullptr, L"NimbraEmpty.File");
        SetValue(L"NimbraEmpty.File", nullptr, L"Nimbra 空値");
        SetValue(L".nimbraempty\\ShellNew", L"Command", L"x");

        SetValue(L".nimbramissing", nullptr, L"NimbraMissing.File");
        SetValue(L"NimbraMissing.File", nullptr, L"Nimbra 欠落");
        SetValue(L".nimbramissing\\ShellNew", L"FileName", MissingTemplateName());
    }
    void TearDown() override
    {
        for (const wchar_t* key : kTestKeys)
            RegDeleteTreeW(ClassesRoot().Key, (ClassesRoot().Prefix + key).c_str());
    }
};

const auto* const g_registryEnvironment = ::testing::AddGlobalTestEnvironment(new TRegistryEnvironment);

ComPtr<IActionItems> NewFileList()
{
    return ItemsOf(FindAction(GlobalActionManager(), "MakeNewFile").get());
}

// The list's items; filled on this thread as a menu would fill it.
std::vector<ComPtr<IActionItem>> NewFileItems()
{
    std::vector<ComPtr<IActionItem>> items;
    TSharedLock lock;
    ForEachItem(NewFileList().get(), [&](IActionItem* item) { items.emplace_back(item); });
    return items;
}

const TMakeNewFileActionItem* AsType(const ComPtr<IActionItem>& item)
{
    return dynamic_cast<const TMakeNewFileActionItem*>(item.get());
}

// Performs the item of that caption on the window's thread, as a menu
// entry of its would.
const std::wstring* g_chosenCaption = nullptr;
void PerformChosenItem(void*, TTransferAction* action, TTransferMode mode)
{
    if (mode == TTransferMode::Describe)
        action->Describe("TestMakeNewFileItem", L"", L"");
    if (mode != TTransferMode::Execute)
        return;
    for (const ComPtr<IActionItem>& item : NewFileItems())
        if (ItemCaption(item.get()) == *g_chosenCaption)
            PerformItem(item.get());
}

void PostNewFile(TWindowThread& window, const std::wstring& caption)
{
    static std::wstring chosen;
    chosen = caption;
    g_chosenCaption = &chosen;
    HWND view = window.Locked([&](TFilerView* v) {
        auto* action = new TTransferAction(false, PerformChosenItem, nullptr);
        action->SetOwner(window.Thread()->ActionManager());
        window.Window()->KeyAssignment()->Assign(0, VK_F23, action);
        return v->Handle();
    });
    PostMessageW(view, WM_KEYDOWN, VK_F23, 0);
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

struct TFound {
    bool MessageBox;
    HWND Window;
};

BOOL CALLBACK FindWindowOfThread(HWND window, LPARAM param)
{
    auto* found = reinterpret_cast<TFound*>(param);
    std::wstring name = ClassOf(window);
    if (IsWindowVisible(window) && name != kFilerWindowClass && (name == L"#32770") == found->MessageBox) {
        found->Window = window;
        return FALSE;
    }
    return TRUE;
}

// The visible dialog (or message box) the window's thread shows.
HWND WaitForWindow(TWindowThread& window, bool messageBox)
{
    TFound found{messageBox, nullptr};
    PumpUntil([&] {
        EnumThreadWindows(window.Thread()->ThreadId(), FindWindowOfThread, reinterpret_cast<LPARAM>(&found));
        return found.Window != nullptr;
    }, 10000);
    return found.Window;
}

BOOL CALLBACK CollectChildText(HWND child, LPARAM param)
{
    auto* texts = reinterpret_cast<std::wstring*>(param);
    *texts += TextOf(child) + L"\n";
    return TRUE;
}

BOOL CALLBACK FindEdit(HWND child, LPARAM param)
{
    if (_wcsicmp(ClassOf(child).c_str(), L"Edit") == 0) {
        *reinterpret_cast<HWND*>(param) = child;
        return FALSE;
    }
    return TRUE;
}

struct TNameDialog {
    std::wstring Title;
    std::wstring Text;
    DWORD SelStart = 0;
    DWORD SelEnd = 0;
};

// Waits for the name dialog, notes what it shows, types name and presses OK.
TNameDialog AnswerNameDialog(TWindowThread& window, const std::wstring& name)
{
    TNameDialog seen;
    HWND dialog = WaitForWindow(window, false);
    EXPECT_NE(dialog, nullptr) << "no name dialog";
    if (dialog == nullptr)
        return seen;
    HWND edit = nullptr;
    EnumChildWindows(dialog, FindEdit, reinterpret_cast<LPARAM>(&edit));
    EXPECT_NE(edit, nullptr);
    if (edit == nullptr)
        return seen;
    seen.Title = TextOf(dialog);
    seen.Text = TextOf(edit);
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&seen.SelStart), reinterpret_cast<LPARAM>(&seen.SelEnd));
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
    // The dialog takes a click of its OK button, told by the button itself.
    HWND ok = GetDlgItem(dialog, IDOK);
    EXPECT_NE(ok, nullptr);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    // Gone before anything else shows.
    EXPECT_TRUE(PumpUntil([&] { return !IsWindowVisible(dialog); }, 10000));
    return seen;
}

struct TMessage {
    std::wstring Title;
    std::wstring Texts;
};

// Waits for a message box, notes its texts and closes it.
TMessage AnswerMessageBox(TWindowThread& window)
{
    TMessage message;
    HWND box = WaitForWindow(window, true);
    EXPECT_NE(box, nullptr) << "no message box";
    if (box == nullptr)
        return message;
    message.Title = TextOf(box);
    EnumChildWindows(box, CollectChildText, reinterpret_cast<LPARAM>(&message.Texts));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10000));
    return message;
}

std::wstring CaretName(TWindowThread& window)
{
    return window.Locked([](TFilerView* view) {
        TFileItem* caret = view->CaretItem();
        return caret != nullptr ? std::wstring(caret->Name, static_cast<size_t>(caret->NameLen)) : std::wstring();
    });
}

// The window's thread is back in its loop with nothing modal left.
void WaitUntilIdle(TWindowThread& window)
{
    TFound found{false, nullptr};
    EXPECT_TRUE(PumpUntil([&] {
        found.Window = nullptr;
        EnumThreadWindows(window.Thread()->ThreadId(), FindWindowOfThread, reinterpret_cast<LPARAM>(&found));
        return found.Window == nullptr;
    }, 10000));
}

} // namespace

// The list begins with the empty file and holds every usable registry
// type with its caption, kind and template; broken entries stay out.
TEST(MakeNewFile, ListsTheEmptyFileFirstThenTheUsableRegistryTypes)
{
    TempFolder dir;
    TWindowThread window(dir.Path());
    std::vector<ComPtr<IActionItem>> items = NewFileItems();
    ASSERT_FALSE(items.empty());
    ASSERT_NE(AsType(items.front()), nullptr);
    EXPECT_EQ(ItemCaption(items.front().get()), L"空");
    EXPECT_EQ(AsType(items.front())->Kind(), kNewFileEmpty);
    EXPECT_EQ(AsType(items.front())->Extension(), L"");
    EXPECT_EQ(ItemsTitle(NewFileList().get()), L"新規作成");

    int empty = 0, fromTemplate = 0, missing = 0;
    for (const ComPtr<IActionItem>& item : items) {
        std::wstring caption = ItemCaption(item.get());
        const TMakeNewFileActionItem* type = AsType(item);
        ASSERT_NE(type, nullptr) << caption;
        EXPECT_EQ(caption.find(L".nimbranotype"), std::wstring::npos);
        EXPECT_EQ(caption.find(L".nimbraempty"), std::wstring::npos);
        if (caption == kEmptyCaption) {
            ++empty;
            EXPECT_EQ(type->Kind(), kNewFileEmpty);
            EXPECT_EQ(type->Extension(), L".nimbratest");
        } else if (caption == kTemplateCaption) {
            ++fromTemplate;
            EXPECT_EQ(type->Kind(), kNewFileFromTemplate);
            EXPECT_EQ(type->Extension(), L".nimbratpl");
            EXPECT_EQ(type->Template(), TemplateName());
        } else if (caption == kMissingCaption) {
            ++missing;
        }
    }
    EXPECT_EQ(empty, 1);
    EXPECT_EQ(fromTemplate, 1);
    EXPECT_EQ(missing, 1);
    // Made once: asking again gives the same items.
    EXPECT_EQ(NewFileItems().size(), items.size());
}

// An empty type makes a zero-length file, and the caret lands on it.
TEST(MakeNewFile, AnEmptyTypeMakesAZeroLengthFileWithTheCaretOnIt)
{
    TempFolder dir;
    // The caret starts on a.txt, before the new name.
    dir.MakeFile(L"a.txt");
    TWindowThread window(dir.Path());
    PostNewFile(window, kEmptyCaption);
    TNameDialog seen = AnswerNameDialog(window, L"made.nimbratest");
    EXPECT_EQ(seen.Title, L"ファイル新規作成 " + kEmptyCaption);
    EXPECT_EQ(seen.Text, L"Untitled.nimbratest");
    EXPECT_EQ(seen.SelStart, 0u);
    EXPECT_EQ(seen.SelEnd, 8u);
    EXPECT_TRUE(PumpUntil([&] { return CaretName(window) == L"made.nimbratest"; }, 10000)) << CaretName(window);
    EXPECT_EQ(ReadFileBytes(dir / L"made.nimbratest"), std::string());
    WaitUntilIdle(window);
}

// A template found in the user's templates is copied, content and all.
TEST(MakeNewFile, ATemplateFromTheUsersTemplatesIsCopied)
{
    std::wstring templates = SpecialFolderPath(CSIDL_TEMPLATES);
    ASSERT_FALSE(templates.empty());
    SHCreateDirectoryExW(nullptr, templates.c_str(), nullptr);
    std::wstring templatePath = templates + TemplateName();
    const std::string content = "テンプレートの中身\r\n";
    {
        UniqueFileHandle file(CreateFileW(templatePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    }
    TempFolder dir;
    dir.MakeFile(L"a.txt");
    TWindowThread window(dir.Path());
    PostNewFile(window, kTemplateCaption);
    TNameDialog seen = AnswerNameDialog(window, L"copy.nimbratpl");
    EXPECT_EQ(seen.Text, L"Untitled.nimbratpl");
    EXPECT_TRUE(PumpUntil([&] { return CaretName(window) == L"copy.nimbratpl"; }, 10000)) << CaretName(window);
    EXPECT_EQ(ReadFileBytes(dir / L"copy.nimbratpl"), content);
    WaitUntilIdle(window);
    DeleteFileW(templatePath.c_str());
}

// A name that is taken leaves the file as it was; a name that leads out of
// the folder or names a device makes nothing anywhere; a template that is
// nowhere makes nothing either. Each is told.
TEST(MakeNewFile, RefusesTakenNamesBadNamesAndMissingTemplates)
{
    TempFolder dir;
    dir.MakeDir(L"sub");
    dir.MakeFile(L"keep.nimbratest", "precious");
    TWindowThread window(dir / L"sub");
    dir.MakeFile(L"sub\\keep.nimbratest", "precious");

    PostNewFile(window, kEmptyCaption);
    AnswerNameDialog(window, L"keep.nimbratest");
    TMessage taken = AnswerMessageBox(window);
    EXPECT_EQ(taken.Title, L"ファイル新規作成");
    EXPECT_NE(taken.Texts.find(L"keep.nimbratestは既にあります"), std::wstring::npos) << taken.Texts;
    EXPECT_EQ(ReadFileBytes(dir / L"sub\\keep.nimbratest"), std::string("precious"));
    WaitUntilIdle(window);

    for (const wchar_t* bad : {L"..\\escaped.nimbratest", L"nul.txt", L"trailing.", L"a/b"}) {
        PostNewFile(window, kEmptyCaption);
        AnswerNameDialog(window, bad);
        TMessage refused = AnswerMessageBox(window);
        EXPECT_NE(refused.Texts.find(std::wstring(bad) + L"は無効な名前です"), std::wstring::npos) << refused.Texts;
        WaitUntilIdle(window);
    }
    EXPECT_FALSE(FileExists(dir / L"escaped.nimbratest"));
    EXPECT_FALSE(FileExists(dir / L"sub\\trailing"));

    PostNewFile(window, kMissingCaption);
    AnswerNameDialog(window, L"nothing.nimbramissing");
    TMessage missing = AnswerMessageBox(window);
    EXPECT_NE(missing.Texts.find(MissingTemplateName() + L"を複製できません"), std::wstring::npos) << missing.Texts;
    EXPECT_FALSE(FileExists(dir / L"sub\\nothing.nimbramissing"));
    WaitUntilIdle(window);
}

// "Untitled" is made with the caret on it; the same name again, and a name
// with a separator, are told as invalid and make nothing.
TEST(MakeDirectory, MakesTheDirectoryAndRefusesTakenAndPathNames)
{
    TempFolder dir;
    dir.MakeDir(L"a");
    TWindowThread window(dir.Path());
    window.PostAction("MakeDirectory");
    TNameDialog seen = AnswerNameDialog(window, L"Untitled");
    EXPECT_EQ(seen.Title, L"ディレクトリ作成");
    EXPECT_EQ(seen.Text, L"Untitled");
    EXPECT_TRUE(PumpUntil([&] { return CaretName(window) == L"Untitled"; }, 10000)) << CaretName(window);
    DWORD attributes = GetFileAttributesW((dir / L"Untitled").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    WaitUntilIdle(window);

    for (const wchar_t* refused : {L"Untitled", L"a\\b", L"..", L"CON"}) {
        window.PostAction("MakeDirectory");
        AnswerNameDialog(window, refused);
        TMessage message = AnswerMessageBox(window);
        EXPECT_EQ(message.Title, L"ディレクトリ作成");
        EXPECT_NE(message.Texts.find(std::wstring(refused) + L"は無効な名前です"), std::wstring::npos)
            << message.Texts;
        WaitUntilIdle(window);
    }
    EXPECT_FALSE(FileExists(dir / L"a\\b"));
}
