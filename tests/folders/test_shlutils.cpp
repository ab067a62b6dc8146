// The shell helpers: ID list arithmetic on hand-built lists, display names in
// every STRRET form, data objects, name lists and shell file operations.

// Own
#include "folders/ShlUtils.h"
#include "IDListBuilder.h"
#include "folders/SysUtilsW.h"
#include "TempFolder.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

// Standard library
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class ShlUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};

// The payloads of a list, read back by walking it.
std::vector<std::string> Payloads(LPCITEMIDLIST list)
{
    std::vector<std::string> result;
    for (LPCITEMIDLIST id = list; id != nullptr && id->mkid.cb != 0; id = NextID(id))
        result.emplace_back(reinterpret_cast<const char*>(id->mkid.abID), id->mkid.cb - 2);
    return result;
}

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }

} // namespace

TEST(IDLists, WalkSizeAndLastID)
{
    struct {
        std::vector<std::string> payloads;
        UINT size;
        std::string last; // payload of the last ID; empty for the empty list
    } const cases[] = {
        {{}, 2, ""},
        {{"one"}, 7, "one"},
        {{"a", "bc", "def"}, 14, "def"},
        {{std::string(300, 'x'), "y"}, 307, "y"},
    };
    for (const auto& c : cases) {
        UniqueIDList list = MakeIDList(c.payloads);
        EXPECT_EQ(IDListSize(list.get()), c.size);
        EXPECT_EQ(Payloads(list.get()), c.payloads);
        EXPECT_EQ(IsEmptyIDList(list.get()), c.payloads.empty());
        LPITEMIDLIST last = LastID(list.get());
        ASSERT_NE(last, nullptr);
        if (c.payloads.empty()) {
            EXPECT_EQ(last, list.get());
            EXPECT_EQ(NextID(last), nullptr);
        } else {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(last->mkid.abID), last->mkid.cb - 2), c.last);
            EXPECT_EQ(NextID(last)->mkid.cb, 0); // the terminator follows the last ID
        }
        if (c.payloads.size() == 1) {
            EXPECT_EQ(last, list.get());
        }
    }
    EXPECT_EQ(IDListSize(nullptr), 0u);
    EXPECT_EQ(LastID(nullptr), nullptr);
    EXPECT_EQ(NextID(nullptr), nullptr);
    EXPECT_FALSE(IsEmptyIDList(nullptr));
}

TEST(IDLists, RemoveLastIDCombineAndClone)
{
    struct {
        std::vector<std::string> first, second;
    } const cases[] = {
        {{"a", "bc"}, {"def"}},
        {{}, {"x", "y"}},
        {{"x", "y"}, {}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        UniqueIDList first = MakeIDList(c.first);
        UniqueIDList second = MakeIDList(c.second);
        UniqueIDList combined = CombineIDLists(first.get(), second.get());
        std::vector<std::string> expected = c.first;
        expected.insert(expected.end(), c.second.begin(), c.second.end());
        EXPECT_EQ(Payloads(combined.get()), expected);
        EXPECT_EQ(IDListSize(combined.get()), IDListSize(first.get()) + IDListSize(second.get()) - 2);
        EXPECT_TRUE(IDListBeginsWith(combined.get(), first.get()));

        // Cutting the IDs of the second list off again gives the first.
        for (size_t n = 0; n < c.second.size(); ++n)
            EXPECT_TRUE(RemoveLastID(combined.get()));
        EXPECT_TRUE(SameIDList(combined.get(), first.get()));
    }

    UniqueIDList empty = MakeIDList({});
    EXPECT_FALSE(RemoveLastID(empty.get()));
    EXPECT_FALSE(RemoveLastID(nullptr));
    UniqueIDList one = MakeIDList({"only"});
    EXPECT_TRUE(RemoveLastID(one.get()));
    EXPECT_TRUE(IsEmptyIDList(one.get()));

    // A null side counts as empty; a copy is a block of its own.
    UniqueIDList list = MakeIDList({"p", "q"});
    UniqueIDList clone = CloneIDList(list.get());
    EXPECT_NE(clone.get(), list.get());
    EXPECT_TRUE(SameIDList(clone.get(), list.get()));
    EXPECT_TRUE(SameIDList(CombineIDLists(nullptr, list.get()).get(), list.get()));
    EXPECT_TRUE(SameIDList(CombineIDLists(list.get(), nullptr).get(), list.get()));
    EXPECT_FALSE(CombineIDLists(nullptr, nullptr));
    EXPECT_FALSE(CloneIDList(nullptr));

    UniqueIDList zeroed = AllocIDList(64);
    EXPECT_TRUE(std::all_of(reinterpret_cast<BYTE*>(zeroed.get()), reinterpret_cast<BYTE*>(zeroed.get()) + 64,
                            [](BYTE b) { return b == 0; }));
}

TEST(IDLists, SameAndBeginsWith)
{
    UniqueIDList abc = MakeIDList({"a", "b", "c"});
    struct {
        std::vector<std::string> other;
        bool same, beginsWith; // abc == other; abc begins with other
    } const cases[] = {
        {{"a", "b", "c"}, true, true},
        {{"a", "b"}, false, true},
        {{}, false, true}, // the desktop contains everything
        {{"a", "x"}, false, false},
        {{"ab"}, false, false}, // same bytes "a" then "b" but other ID boundaries
        {{"a", "b", "c", "d"}, false, false},
    };
    for (const auto& c : cases) {
        UniqueIDList other = MakeIDList(c.other);
        EXPECT_EQ(SameIDList(abc.get(), other.get()), c.same) << c.other.size();
        EXPECT_EQ(IDListBeginsWith(abc.get(), other.get()), c.beginsWith) << c.other.size();
    }
    EXPECT_TRUE(SameIDList(nullptr, nullptr));
    EXPECT_FALSE(SameIDList(abc.get(), nullptr));
    EXPECT_FALSE(IDListBeginsWith(abc.get(), nullptr));
}

namespace {

// A shell folder that only answers GetDisplayNameOf, with a prepared STRRET.
class FakeFolder : public IShellFolder {
public:
    HRESULT Result = S_OK;
    STRRET Answer{};
    std::wstring WideAnswer; // copied to task memory for STRRET_WSTR
    DWORD SeenFlags = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IShellFolder) {
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(HWND, LPBC, LPOLESTR, ULONG*, LPITEMIDLIST*, ULONG*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumObjects(HWND, SHCONTF, IEnumIDList**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BindToObject(LPCITEMIDLIST, LPBC, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BindToStorage(LPCITEMIDLIST, LPBC, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CompareIDs(LPARAM, LPCITEMIDLIST, LPCITEMIDLIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateViewObject(HWND, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAttributesOf(UINT, LPCITEMIDLIST*, SFGAOF*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetUIObjectOf(HWND, UINT, LPCITEMIDLIST*, REFIID, UINT*, void**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDisplayNameOf(LPCITEMIDLIST, SHGDNF flags, STRRET* name) override
    {
        SeenFlags = flags;
        *name = Answer;
        if (Answer.uType == STRRET_WSTR) {
            size_t bytes = (WideAnswer.size() + 1) * sizeof(wchar_t);
            name->pOleStr = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
            std::memcpy(name->pOleStr, WideAnswer.c_str(), bytes);
        }
        return Result;
    }
    HRESULT STDMETHODCALLTYPE SetNameOf(HWND, LPCITEMIDLIST, LPCOLESTR, SHGDNF, LPITEMIDLIST*) override
    {
        return E_NOTIMPL;
    }
};

} // namespace

TEST(DisplayNameOf, ReadsEveryStrRetForm)
{
    // "日本" in code page 932, the system code page of the Japanese target.
    const std::string japanese = "\x93\xfa\x96\x7b";
    if (GetACP() != 932)
        GTEST_SKIP() << "needs the Japanese code page (LC_ALL=ja_JP.UTF-8)";

    // The item carries its own narrow name for STRRET_OFFSET: "ab" + "日本" + zero.
    UniqueIDList item = MakeIDList({std::string("ab") + japanese + std::string(1, '\0'), "next"});
    const UINT itemSize = IDListSize(item.get()); // 2+7 + 2+4 + 2 = 17
    ASSERT_EQ(itemSize, 17u);

    auto strret = [](UINT type) {
        STRRET s{};
        s.uType = type;
        return s;
    };
    auto offset = [&](UINT at) {
        STRRET s = strret(STRRET_OFFSET);
        s.uOffset = at;
        return s;
    };
    auto cstr = [&](const std::string& text) {
        STRRET s = strret(STRRET_CSTR);
        std::memcpy(s.cStr, text.data(), std::min(text.size(), sizeof(s.cStr)));
        return s;
    };

    struct {
        const char* what;
        HRESULT result;
        STRRET answer;
        std::wstring wide;
        std::wstring expected;
    } const cases[] = {
        {"wide", S_OK, strret(STRRET_WSTR), L"ファイル.txt", L"ファイル.txt"},
        {"wide, empty", S_OK, strret(STRRET_WSTR), L"", L""},
        {"offset", S_OK, offset(4), L"", L"日本"},
        {"offset from the item start", S_OK, offset(2), L"", L"ab日本"},
        // Text that would run on past the list's end is cut at the end.
        {"offset into the last ID", S_OK, offset(11), L"", L"next"},
        {"offset past the list", S_OK, offset(17), L"", L""},
        {"offset far off", S_OK, offset(0x7FFFFFF0), L"", L""},
        {"narrow buffer", S_OK, cstr("abc" + japanese), L"", L"abc日本"},
        // A buffer filled to the brim has no terminator: all 260 count.
        {"narrow buffer, full", S_OK, cstr(std::string(260, 'z')), L"", std::wstring(260, L'z')},
        {"unknown form", S_OK, strret(0x55), L"", L""},
        {"call fails", E_FAIL, cstr("ignored"), L"", L""},
    };
    for (const auto& c : cases) {
        FakeFolder folder;
        folder.Result = c.result;
        folder.Answer = c.answer;
        folder.WideAnswer = c.wide;
        EXPECT_EQ(DisplayNameOf(&folder, item.get(), SHGDN_INFOLDER), c.expected) << c.what;
        EXPECT_EQ(folder.SeenFlags, static_cast<DWORD>(SHGDN_INFOLDER)) << c.what;
    }
    EXPECT_EQ(DisplayNameOf(nullptr, item.get(), SHGDN_NORMAL), L"");
}

TEST_F(ShlUtilsTest, MyComputerListsTheDrivesByParsingName)
{
    ComPtr<IShellFolder> desktop = DesktopFolder();
    UniqueIDList drives;
    ASSERT_TRUE(SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, drives.put())));
    ComPtr<IShellFolder> myComputer;
    ASSERT_TRUE(SUCCEEDED(desktop->BindToObject(drives.get(), nullptr, IID_IShellFolder,
                                                reinterpret_cast<void**>(myComputer.put()))));
    ComPtr<IEnumIDList> children;
    ASSERT_EQ(myComputer->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, children.put()), S_OK);

    std::vector<std::wstring> names;
    for (;;) {
        UniqueIDList child;
        if (children->Next(1, child.put(), nullptr) != S_OK)
            break;
        names.push_back(DisplayNameOf(myComputer.get(), child.get(), SHGDN_FORPARSING));
    }
    auto has = [&](std::wstring_view name) {
        return std::any_of(names.begin(), names.end(), [&](const auto& n) { return SameText(n, name) == 0; });
    };
    EXPECT_TRUE(has(L"C:\\"));
    EXPECT_TRUE(has(L"Z:\\"));

    // The absolute list through the desktop gives My Computer's own name.
    EXPECT_EQ(SameText(DisplayNameOf(desktop.get(), drives.get(), SHGDN_FORPARSING),
                       L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"),
              0);
}

TEST(ShellHelpers, SpecialFolderPathAndDropEffect)
{
    std::wstring windows = SpecialFolderPath(CSIDL_WINDOWS);
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(windows.back(), L'\\');
    EXPECT_TRUE(PathIsAccessible(windows));
    // My Computer has no file-system path: no text, not a lone backslash.
    EXPECT_EQ(SpecialFolderPath(CSIDL_DRIVES), L"");

    struct {
        DWORD keys, effect;
    } const cases[] = {
        {0, DROPEFFECT_MOVE},
        {MK_LBUTTON, DROPEFFECT_MOVE},
        {MK_SHIFT, DROPEFFECT_MOVE},
        {MK_CONTROL, DROPEFFECT_COPY},
        {MK_CONTROL | MK_RBUTTON, DROPEFFECT_COPY},
        {MK_CONTROL | MK_SHIFT, DROPEFFECT_LINK},
        {MK_CONTROL | MK_SHIFT | MK_LBUTTON, DROPEFFECT_LINK},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DropEffectFromKeys(c.keys), c.effect) << c.keys;
}

TEST(ShellHelpers, DoubleZeroList)
{
    using namespace std::string_literals;
    struct {
        std::wstring directory;
        std::vector<std::wstring> names;
        std::wstring expected;
    } const cases[] = {
        {L"C:\\d", {L"a", L"b c"}, L"C:\\d\\a\0C:\\d\\b c\0\0"s},
        {L"C:\\", {L"a"}, L"C:\\a\0\0"s}, // a root keeps its one backslash
        {L"C:\\d\\", {L"a"}, L"C:\\d\\a\0\0"s},
        {L"C:\\d", {L"E:\\x\\y", L"z"}, L"E:\\x\\y\0C:\\d\\z\0\0"s},
        {L"C:\\d", {}, L"\0"s},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DoubleZeroList(c.directory, c.names), c.expected) << Narrow(c.expected);

    // An empty name would name the directory itself; a zero inside a name
    // would add another entry to the list.
    EXPECT_THROW(DoubleZeroList(L"C:\\d", {L"a", L""}), EOSError);
    EXPECT_THROW(DoubleZeroList(L"C:\\d", {L"a\0C:\\Windows"s}), EOSError);
    // Without a directory every name would become "\name", a file at the root
    // of the current drive; a zero in the directory would cut it short.
    for (const std::wstring& directory : {L""s, L"C:\\d\0C:\\Windows"s}) {
        try {
            DoubleZeroList(directory, {L"a"});
            ADD_FAILURE() << "accepted " << Narrow(directory);
        } catch (const Exception& e) {
            EXPECT_FALSE(e.Message().empty());
        }
    }
}

TEST_F(ShlUtilsTest, DataObjectCarriesPathsTextAndDropEffect)
{
    TempFolder temp;
    temp.MakeFile(L"一番目.txt");
    temp.MakeFile(L"second file.dat");
    std::wstring dir = GetLongPathName(temp.Path());
    const std::vector<std::wstring> names = {L"一番目.txt", L"second file.dat"};
    const CLIPFORMAT dropEffectFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(CFSTR_PREFERREDDROPEFFECT));

    auto readGlobal = [](IDataObject* data, CLIPFORMAT format, std::string& bytes) {
        FORMATETC formatEtc{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium{};
        if (FAILED(data->GetData(&formatEtc, &medium)))
            return false;
        const char* p = static_cast<const char*>(GlobalLock(medium.hGlobal));
        bytes.assign(p, GlobalSize(medium.hGlobal));
        GlobalUnlock(medium.hGlobal);
        ReleaseStgMedium(&medium);
        return true;
    };

    for (DWORD effect : {DWORD(DROPEFFECT_COPY | DROPEFFECT_LINK), DWORD(DROPEFFECT_MOVE), DWORD(0)}) {
        ComPtr<IDataObject> data = FileDataObject(nullptr, dir, names, effect);
        ASSERT_TRUE(data);

        std::string bytes;
        ASSERT_TRUE(readGlobal(data.get(), CF_UNICODETEXT, bytes));
        std::wstring expected = dir + L"\\一番目.txt\t" + dir + L"\\second file.dat";
        ASSERT_GE(bytes.size(), (expected.size() + 1) * sizeof(wchar_t));
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), expected.size() + 1);
        EXPECT_EQ(text, expected + L'\0');

        if (effect != 0) {
            ASSERT_TRUE(readGlobal(data.get(), dropEffectFormat, bytes));
            ASSERT_GE(bytes.size(), sizeof(DWORD));
            DWORD stored = 0;
            std::memcpy(&stored, bytes.data(), sizeof(stored));
            EXPECT_EQ(stored, effect);
        } else {
            EXPECT_FALSE(readGlobal(data.get(), dropEffectFormat, bytes));
        }

        // The shell's own file list names the same two files.
        FORMATETC hdrop{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium{};
        ASSERT_TRUE(SUCCEEDED(data->GetData(&hdrop, &medium)));
        HDROP drop = static_cast<HDROP>(medium.hGlobal);
        ASSERT_EQ(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0), 2u);
        wchar_t first[MAX_PATH];
        DragQueryFileW(drop, 0, first, MAX_PATH);
        EXPECT_EQ(SameText(GetLongPathName(first), dir + L"\\一番目.txt"), 0) << Narrow(first);
        ReleaseStgMedium(&medium);
    }

    // On the clipboard, as "ClipboardCopy" puts it there, every format is
    // offered and survives the flush.
    ComPtr<IDataObject> data = FileDataObject(nullptr, dir, names, DROPEFFECT_COPY | DROPEFFECT_LINK);
    ComPtr<IEnumFORMATETC> formats;
    ASSERT_TRUE(SUCCEEDED(data->EnumFormatEtc(DATADIR_GET, formats.put())));
    std::vector<CLIPFORMAT> offered;
    FORMATETC format;
    while (formats->Next(1, &format, nullptr) == S_OK)
        offered.push_back(format.cfFormat);
    for (CLIPFORMAT wanted : {CLIPFORMAT(CF_UNICODETEXT), CLIPFORMAT(CF_HDROP), dropEffectFormat})
        EXPECT_EQ(std::count(offered.begin(), offered.end(), wanted), 1) << wanted;

    ASSERT_EQ(OleSetClipboard(data.get()), S_OK);
    ASSERT_EQ(OleFlushClipboard(), S_OK);
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE text = GetClipboardData(CF_UNICODETEXT);
    HANDLE effect = GetClipboardData(dropEffectFormat);
    EXPECT_TRUE(text && std::wstring(static_cast<const wchar_t*>(GlobalLock(text))) ==
                            dir + L"\\一番目.txt\t" + dir + L"\\second file.dat");
    EXPECT_TRUE(effect && *static_cast<const DWORD*>(GlobalLock(effect)) == 5);
    if (text)
        GlobalUnlock(text);
    if (effect)
        GlobalUnlock(effect);
    EmptyClipboard();
    CloseClipboard();

    EXPECT_FALSE(FileDataObject(nullptr, dir, {}, DROPEFFECT_COPY));
    EXPECT_THROW(FileDataObject(nullptr, temp / L"missing dir", names, 0), Exception);
    EXPECT_THROW(FileDataObject(nullptr, dir, {L"missing.txt"}, 0), Exception);
}

TEST_F(ShlUtilsTest, ContextMenuForFiles)
{
    TempFolder temp;
    std::wstring file = temp.MakeFile(L"menu target.txt");
    temp.MakeFile(L"other.txt");

    for (ComPtr<IContextMenu> menu : {FileContextMenu(nullptr, temp.Path(), {L"menu target.txt", L"other.txt"}),
                                      FileContextMenu(nullptr, file)}) {
        ASSERT_TRUE(menu);
        HMENU popup = CreatePopupMenu();
        HRESULT hr = menu->QueryContextMenu(popup, 0, 0x1000, 0x7FFF, CMF_EXPLORE);
        EXPECT_TRUE(SUCCEEDED(hr));
        EXPECT_GT(GetMenuItemCount(popup), 0);
        DestroyMenu(popup);
    }
    EXPECT_FALSE(FileContextMenu(nullptr, temp.Path(), {}));
    EXPECT_THROW(FileContextMenu(nullptr, temp / L"no such file.txt"), Exception);
}

TEST_F(ShlUtilsTest, ShellDeleteAndFileOperation)
{
    TempFolder temp;
    std::wstring doomed = temp.MakeFile(L"消すファイル.txt");
    std::wstring kept = temp.MakeFile(L"keep.txt");
    const FILEOP_FLAGS quiet = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;

    EXPECT_TRUE(ShellDelete(nullptr, temp.Path(), {L"消すファイル.txt"}, quiet));
    EXPECT_FALSE(FileExists(doomed));
    EXPECT_TRUE(FileExists(kept));

    // Nothing named must never mean the directory itself.
    EXPECT_THROW(ShellDelete(nullptr, temp.Path(), {L""}, quiet), EOSError);
    EXPECT_TRUE(FileExists(temp.Path()));
    EXPECT_TRUE(ShellDelete(nullptr, temp.Path(), {}, quiet));
    EXPECT_TRUE(FileExists(kept));

    std::wstring renamed = temp / L"改名後.txt";
    EXPECT_TRUE(ShellFileOperation(nullptr, FO_RENAME, kept, renamed));
    EXPECT_FALSE(FileExists(kept));
    EXPECT_TRUE(FileExists(renamed));
    std::wstring copied = temp / L"copy.txt";
    EXPECT_TRUE(ShellFileOperation(nullptr, FO_COPY, renamed, copied));
    EXPECT_TRUE(FileExists(renamed));
    EXPECT_TRUE(FileExists(copied));
    EXPECT_FALSE(ShellFileOperation(nullptr, FO_COPY, temp / L"absent.txt", temp / L"x.txt"));
    EXPECT_FALSE(FileExists(temp / L"x.txt"));
    using namespace std::string_literals;
    EXPECT_FALSE(ShellFileOperation(nullptr, FO_DELETE, copied + L"\0"s + renamed, L""));
    EXPECT_TRUE(FileExists(renamed));
}
