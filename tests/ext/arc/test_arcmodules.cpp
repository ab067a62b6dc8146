// The four archive modules over recording stand-ins of their libraries:
// what they register, the exact command lines they send, how they list an
// archive as folders, where they take the application lock, and how they
// fail.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <map>
#include <thread>

#include "ext/core/nimbracore.h"
#include "folders/UFolders.h"
#include "lw/LExceptions.h"
#include "lw/LStrings.h"
#include "ext/arc/ArchiversShared.h"
#include "tests/ext/arc/ModuleHost.h"

namespace {

TModuleHost& Host = TheModuleHost();

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// One module loaded from the program's folder with its recording library.
struct TModule {
    HMODULE Module = nullptr;
    HMODULE Library = nullptr;
    ComPtr<IArchiver> Archiver;
    std::string LibraryName;

    TModule(const wchar_t* module, const char* library) : LibraryName(library)
    {
        size_t before = Host.Extensions.size();
        Module = LoadLibraryW((std::wstring(NIMBRA_MODULE_DIR) + module).c_str());
        EXPECT_NE(Module, nullptr) << "the module does not load: " << GetLastError();
        if (Host.Extensions.size() == before + 1)
            Archiver = Host.Extensions.back().as<IArchiver>();
        Library = LoadLibraryA(library);
        Control<void (*)()>("RecordingReset")();
    }
    ~TModule()
    {
        Archiver.reset();
        Host.Extensions.clear();
        if (Library)
            FreeLibrary(Library);
        if (Module)
            FreeLibrary(Module);
    }
    template <class F>
    F Control(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(Library, name)));
    }
    std::string Take()
    {
        std::vector<char> buffer(1 << 16);
        Control<int (*)(char*, int)>("RecordingTake")(buffer.data(), static_cast<int>(buffer.size()));
        return buffer.data();
    }
    void Entries(const std::string& lines) { Control<void (*)(const char*)>("RecordingSetEntries")(lines.c_str()); }
    void Fail(int code, const char* message) { Control<void (*)(int, const char*)>("RecordingSetResult")(code, message); }
    void Data(const std::string& bytes)
    {
        Control<void (*)(const char*, int)>("RecordingSetData")(bytes.data(), static_cast<int>(bytes.size()));
    }
};

// The message a failed call published.
std::wstring FailureOf(HRESULT hr)
{
    try {
        CheckHResult(hr);
    } catch (const Exception& e) {
        return e.Message();
    }
    return L"<no failure>";
}

// Unix seconds of a FILETIME; 0 for none.
long long UnixOf(FILETIME time)
{
    long long ticks = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return ticks == 0 ? 0 : ticks / 10000000LL - 11644473600LL;
}

std::vector<std::wstring> Names(IFolder* folder)
{
    std::vector<std::wstring> names;
    for (int32_t i = 0; i < folder->GetCount(); ++i)
        names.emplace_back(folder->GetItem(i)->Name);
    return names;
}

ComPtr<IFolder> Open(TModule& module, const std::wstring& archive, const std::wstring& subPath = {})
{
    TPath location = TPath::FromPath(archive, subPath);
    ComPtr<IFolder> folder;
    EXPECT_EQ(module.Archiver->OpenArchive(&location, folder.put()), S_OK);
    return folder;
}

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    return path;
}

class ArchiveModules : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        NimbraSetMain(&Host);
        // The libraries are looked for in the current folder too: it is this
        // program's, so that a library moved away is not found elsewhere.
        SetCurrentDirectoryW(ProgramFolder().c_str());
    }
};

} // namespace

TEST_F(ArchiveModules, RegisterOnlyWithTheirInterfaceVersion)
{
    Host.Version = 247;
    {
        TModule zip(L"ArcZip.dll", "7-zip32.dll");
        EXPECT_FALSE(zip.Archiver) << "a host of another version gets nothing";
        EXPECT_EQ(zip.Take(), "") << "and the library is never called";
    }
    Host.Version = kInterfaceVersion;
    const struct {
        const wchar_t* Module;
        const char* Library;
        const wchar_t* Caption;
        std::vector<std::wstring> Extensions;
    } modules[] = {
        {L"ArcZip.dll", "7-zip32.dll", L"7-zip32.dll", {L".zip", L".7z"}},
        {L"ArcTar.dll", "tar32.dll", L"tar32.dll", {L".tar", L".tgz", L".gz", L".z", L".bz2"}},
        {L"ArcLzh.dll", "Unlha32.dll", L"Unlha32.dll", {L".lzh"}},
        {L"ArcGca.dll", "ungca32.dll", L"Ungca32.dll", {L".gca"}},
    };
    for (const auto& m : modules) {
        TModule module(m.Module, m.Library);
        ASSERT_TRUE(module.Archiver) << m.Library;
        WideString caption;
        module.Archiver.as<IConfigurable>()->GetCaption(caption.put());
        EXPECT_EQ(std::wstring(caption.view()), m.Caption);
        // Every offered extension, in order, and the first accepted one wins.
        struct TOffers {
            std::vector<std::wstring> Seen;
            std::wstring Accept;
        } offers{{}, m.Extensions.back()};
        WideString found;
        auto test = [](BSTR extension, void* data) STDMETHODCALLTYPE -> bool {
            auto* o = static_cast<TOffers*>(data);
            o->Seen.emplace_back(extension, SysStringLen(extension));
            return o->Seen.back() == o->Accept;
        };
        ASSERT_EQ(module.Archiver->FindExtension(test, &offers, found.put()), S_OK);
        EXPECT_EQ(offers.Seen, m.Extensions);
        EXPECT_EQ(std::wstring(found.view()), m.Extensions.back());
    }
}

// Each module's command lines, exactly; the long calls (pack and extract)
// give up the caller's hold of the lock, the item calls keep it.
TEST_F(ArchiveModules, SendTheirCommandLines)
{
    std::wstring temp = TempFolder();
    std::wstring base = temp + L"arcmodules-base";
    CreateDirectoryW(base.c_str(), nullptr);
    CreateDirectoryW((base + L"\\docs").c_str(), nullptr);
    const std::string a = "C:\\w\\a.";

    {
        TModule zip(L"ArcZip.dll", "7-zip32.dll");
        zip.Entries("f.txt\t5\t20\t100\n");
        ComPtr<IFolder> folder = Open(zip, L"C:\\w\\a.zip", L"sub");
        ComPtr<IArchiveFolder> archive = folder.as<IArchiveFolder>();
        zip.Take();
        TFileItem item{};
        lstrcpyW(item.Name, L"f.txt");
        item.NameLen = 5;
        item.Size = 5;
        Host.State() = 1;
        int suspends = Host.Suspends;
        EXPECT_EQ(archive->ExtractItem(&item, WideString(L"D:\\out").get()), S_OK);
        EXPECT_EQ(zip.Take(), "command e -hide -aoa \"C:\\w\\a.zip\" \"D:\\out\\\" \"sub/f.txt\"\n");
        WideString data;
        EXPECT_EQ(archive->ReadItem(&item, data.put()), S_OK);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), SysStringByteLen(data.get())), "recorded data");
        std::string read = zip.Take();
        // Into a folder of its own in the temporary folder, removed after.
        std::string prefix = "command e -aoa \"C:\\w\\a.zip\" \"" + ToAnsi(temp);
        EXPECT_EQ(read.substr(0, prefix.size()), prefix) << read;
        std::string scratch = read.substr(read.find('"', prefix.size() - 1) + 1);
        scratch = scratch.substr(0, scratch.find('"'));
        EXPECT_NE(scratch, ToAnsi(temp)) << "never the temporary folder itself";
        EXPECT_EQ(GetFileAttributesA(scratch.c_str()), INVALID_FILE_ATTRIBUTES) << "the scratch folder is gone";
        EXPECT_EQ(Host.Suspends, suspends) << "the item calls keep the caller's hold";

        EXPECT_EQ(zip.Archiver->Extract(WideString(L"C:\\w\\a.zip").get(), WideString(L"D:\\out\\").get()), S_OK);
        EXPECT_EQ(zip.Take(), "command x \"C:\\w\\a.zip\" \"D:\\out\\\"\n");
        EXPECT_EQ(Host.Suspends, suspends + 1);
        EXPECT_EQ(Host.State(), 1) << "the hold comes back";

        WideString one[] = {WideString(L"docs")};
        BSTR oneNames[] = {one[0].get()};
        EXPECT_EQ(zip.Archiver->Pack(WideString(L"C:\\w\\n.ZIP").get(), WideString(base).get(), 0, oneNames), S_OK);
        EXPECT_EQ(zip.Take(), "command a -r0 -tzip \"C:\\w\\n.ZIP\" \"" + ToAnsi(base) + "\\\" \"docs\\*\"\n");
        EXPECT_EQ(zip.Archiver->Pack(WideString(L"C:\\w\\n.7Z").get(), WideString(base).get(), 0, oneNames), S_OK);
        EXPECT_EQ(zip.Take().substr(0, 22), "command a -r0 -t7z \"C:");

        WideString two[] = {WideString(L"docs"), WideString(L"x y.txt")};
        BSTR twoNames[] = {two[0].get(), two[1].get()};
        EXPECT_EQ(zip.Archiver->Pack(WideString(L"C:\\w\\n.zip").get(), WideString(base + L"\\").get(), 1, twoNames), S_OK);
        std::string pack = zip.Take();
        std::string start = "command a -r0 -tzip \"C:\\w\\n.zip\" \"" + ToAnsi(base) + "\\\" @";
        ASSERT_EQ(pack.substr(0, start.size()), start) << pack;
        std::string response = pack.substr(start.size(), pack.find('\n') - start.size());
        EXPECT_EQ(response.find('"'), std::string::npos) << "a short path, unquoted: " << response;
        EXPECT_NE(pack.find("\"docs\\*\"\r\n\"x y.txt\"\r\n"), std::string::npos) << pack;
        EXPECT_EQ(GetFileAttributesA(response.c_str()), INVALID_FILE_ATTRIBUTES) << "the response file is deleted";
        Host.State() = 0;
    }
    {
        TModule tar(L"ArcTar.dll", "tar32.dll");
        tar.Entries("f.txt\t5\t20\t100\n");
        ComPtr<IArchiveFolder> archive = Open(tar, L"C:\\w\\a.TGZ").as<IArchiveFolder>();
        tar.Take();
        TFileItem item{};
        lstrcpyW(item.Name, L"f.txt");
        item.NameLen = 5;
        EXPECT_EQ(archive->ExtractItem(&item, WideString(L"D:\\out\\").get()), S_OK);
        EXPECT_EQ(tar.Take(), "command -x --use-directory=0 --display-dialog=0 \"C:\\w\\a.TGZ\" \"D:\\out\\\" \"f.txt\"\n");
        EXPECT_EQ(tar.Archiver->Extract(WideString(L"C:\\w\\a.TGZ").get(), WideString(L"D:\\out").get()), S_OK);
        EXPECT_EQ(tar.Take(), "command -x \"C:\\w\\a.TGZ\" \"D:\\out\\\"\n");
        WideString one[] = {WideString(L"f.txt")};
        BSTR names[] = {one[0].get()};
        const std::pair<const wchar_t*, const char*> packs[] = {
            {L"C:\\w\\n.TGZ", "-c -z "}, {L"C:\\w\\n.tar.bz2", "-c -B "}, {L"C:\\w\\n.tar", "-c "}, {L"C:\\w\\n.Z", "-c -z "}};
        for (const auto& [name, switches] : packs) {
            EXPECT_EQ(tar.Archiver->Pack(WideString(name).get(), WideString(base).get(), 0, names), S_OK);
            EXPECT_EQ(tar.Take(), std::string("command ") + switches + "\"" + ToAnsi(name) + "\" \"" + ToAnsi(base) +
                                      "\\\" \"f.txt\"\n");
        }
    }
    {
        TModule lzh(L"ArcLzh.dll", "Unlha32.dll");
        lzh.Entries("d\\f.txt\t13\t20\t100\n");
        ComPtr<IArchiveFolder> archive = Open(lzh, L"C:\\w\\a.lzh", L"d").as<IArchiveFolder>();
        lzh.Take();
        TFileItem item{};
        lstrcpyW(item.Name, L"f.txt");
        item.NameLen = 5;
        item.Size = 13;
        EXPECT_EQ(archive->ExtractItem(&item, WideString(L"D:\\out").get()), S_OK);
        EXPECT_EQ(lzh.Take(), "command e -y \"C:\\w\\a.lzh\" \"D:\\out\\\" \"d/f.txt\"\n");
        WideString data;
        EXPECT_EQ(archive->ReadItem(&item, data.put()), S_OK);
        EXPECT_EQ(lzh.Take(), "ExtractMem \"C:\\w\\a.lzh\" \"d/f.txt\" 13 with size\n");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), SysStringByteLen(data.get())), "recorded data");
        // An entry that shrank since the listing gives what it holds now,
        // not the listed size padded with zeros.
        lzh.Data("short");
        EXPECT_EQ(archive->ReadItem(&item, data.put()), S_OK);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), SysStringByteLen(data.get())), "short");
        lzh.Take();
        EXPECT_EQ(lzh.Archiver->Extract(WideString(L"C:\\w\\a.lzh").get(), WideString(L"D:\\out").get()), S_OK);
        EXPECT_EQ(lzh.Take(), "command x -a1 -x1 -jsp3 \"C:\\w\\a.lzh\" \"D:\\out\\\"\n");
        WideString one[] = {WideString(L"docs")};
        BSTR oneNames[] = {one[0].get()};
        EXPECT_EQ(lzh.Archiver->Pack(WideString(L"C:\\w\\n.lzh").get(), WideString(base).get(), 0, oneNames), S_OK);
        EXPECT_EQ(lzh.Take(), "command u -d1 \"C:\\w\\n.lzh\" \"" + ToAnsi(base) + "\\\" \"docs\"\n")
            << "no \\* for a folder";
        WideString two[] = {WideString(L"docs"), WideString(L"b")};
        BSTR twoNames[] = {two[0].get(), two[1].get()};
        EXPECT_EQ(lzh.Archiver->Pack(WideString(L"C:\\w\\n.lzh").get(), WideString(base).get(), 1, twoNames), S_OK);
        std::string pack = lzh.Take();
        std::string start = "command u -d1 \"C:\\w\\n.lzh\" \"" + ToAnsi(base) + "\\\" @\"" + ToAnsi(temp);
        EXPECT_EQ(pack.substr(0, start.size()), start) << "the full path in quotes: " << pack;
        EXPECT_NE(pack.find("\"docs\"\r\n\"b\"\r\n"), std::string::npos) << pack;
    }
    {
        TModule gca(L"ArcGca.dll", "ungca32.dll");
        gca.Entries("d\\f.txt\t13\t20\t100\n");
        ComPtr<IArchiveFolder> archive = Open(gca, L"C:\\w\\a.gca", L"d").as<IArchiveFolder>();
        gca.Take();
        TFileItem item{};
        lstrcpyW(item.Name, L"f.txt");
        item.NameLen = 5;
        item.Size = 13;
        EXPECT_EQ(archive->ExtractItem(&item, WideString(L"D:\\out").get()), S_OK);
        EXPECT_EQ(gca.Take(), "command ex \"C:\\w\\a.gca\" \"D:\\out\\\" \"d\\f.txt\"\n");
        WideString data;
        EXPECT_EQ(archive->ReadItem(&item, data.put()), S_OK);
        EXPECT_EQ(gca.Take(), "ExtractMem ex \"C:\\w\\a.gca\" .\\ \"d\\f.txt\" 13 with size\n");
        gca.Data("short");
        EXPECT_EQ(archive->ReadItem(&item, data.put()), S_OK);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), SysStringByteLen(data.get())), "short");
        gca.Take();
        EXPECT_EQ(gca.Archiver->Extract(WideString(L"C:\\w\\a.gca").get(), WideString(L"D:\\out").get()), S_OK);
        EXPECT_EQ(gca.Take(), "command e \"C:\\w\\a.gca\" \"D:\\out\\\"\n");
        WideString one[] = {WideString(L"docs")};
        BSTR oneNames[] = {one[0].get()};
        EXPECT_EQ(FailureOf(gca.Archiver->Pack(WideString(L"C:\\w\\n.gca").get(), WideString(base).get(), 0, oneNames)),
                  L"GCA圧縮には対応していません.");
        EXPECT_EQ(gca.Take(), "") << "the library is not called";
    }
    RemoveDirectoryW((base + L"\\docs").c_str());
    RemoveDirectoryW(base.c_str());
}

// Two packs of several names at the same moment each have a response file
// of their own.
TEST_F(ArchiveModules, PacksAtTheSameMomentDoNotShareAResponseFile)
{
    TModule zip(L"ArcZip.dll", "7-zip32.dll");
    auto pack = [&](const wchar_t* first) {
        WideString names[] = {WideString(first), WideString(L"common")};
        BSTR list[] = {names[0].get(), names[1].get()};
        EXPECT_EQ(zip.Archiver->Pack(WideString(L"C:\\w\\n.zip").get(), WideString(L"C:\\w").get(), 1, list), S_OK);
    };
    std::thread one(pack, L"first"), two(pack, L"second");
    one.join();
    two.join();
    std::string calls = zip.Take();
    EXPECT_NE(calls.find("\"first\"\r\n\"common\"\r\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("\"second\"\r\n\"common\"\r\n"), std::string::npos) << calls;
}

// Folders inside an archive: synthesized once, entered, left with their
// parent, the explicit entry of a folder taking its synthesized place.
TEST_F(ArchiveModules, ListArchivesAsFolders)
{
    TModule zip(L"ArcZip.dll", "7-zip32.dll");
    zip.Entries("a\\b\\c.txt\t3\t20\t100\n"
                "a\\d.txt\t4\t20\t101\n"
                "e\\x.txt\t1\t20\t100\n"
                "e\\\t0\t10\t200\n"
                "top.txt\t9\t21\t300\n");
    ComPtr<IFolder> root = Open(zip, L"C:\\work\\x.zip");
    EXPECT_TRUE(root->IsReady());
    EXPECT_EQ(Names(root.get()), (std::vector<std::wstring>{L"a", L"e", L"top.txt"}));
    TFileItem* a = root->GetItem(0);
    EXPECT_EQ(a->Attributes, static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(a->Size, 0);
    EXPECT_EQ(a->Caps, kCanEnter);
    TFileItem* e = root->GetItem(1);
    EXPECT_EQ(e->Attributes, 0x10u) << "the explicit entry's attributes";
    EXPECT_EQ(UnixOf(e->File.LastWriteTime), 210) << "the explicit entry's time (as FILETIME)";
    TFileItem* top = root->GetItem(2);
    EXPECT_EQ(top->Size, 9);
    EXPECT_EQ(top->Caps, 0);
    EXPECT_EQ(UnixOf(top->File.LastWriteTime), 310);
    WideString status;
    root->GetStatusText(top, status.put());
    EXPECT_EQ(std::wstring(status.view()), L"in ZIP");

    ComPtr<IFolder> inside = Open(zip, L"C:\\work\\x.zip", L"a");
    EXPECT_EQ(Names(inside.get()), (std::vector<std::wstring>{L"b", L"d.txt"}));
    EXPECT_EQ(UnixOf(inside->GetItem(1)->File.LastWriteTime), 101) << "an odd time: Unix seconds";
    WideString display;
    inside->GetDisplayPath(display.put());
    EXPECT_EQ(std::wstring(display.view()), L"C:\\work\\x.zip/a");
    TPath parent;
    inside->GetParentPath(&parent);
    EXPECT_EQ(parent.PathView(), L"C:\\work\\x.zip");
    EXPECT_EQ(parent.SubPathView(), L"");
    root->GetParentPath(&parent);
    EXPECT_EQ(parent.PathView(), L"C:\\work");
    ComPtr<IFolder> driveRoot = Open(zip, L"C:\\x.zip");
    driveRoot->GetParentPath(&parent);
    EXPECT_EQ(parent.PathView(), L"C:\\");
    TPath item;
    inside->GetItemPath(inside->GetItem(1), &item);
    EXPECT_EQ(item.SubPathView(), L"a/d.txt");

    TPath holder = TPath::FromPath(L"c:\\WORK");
    EXPECT_TRUE(inside->IsWithin(&holder));
    TPath same = TPath::FromPath(L"C:\\work\\x.zip", L"A");
    EXPECT_TRUE(inside->IsWithin(&same));
    TPath archive = TPath::FromPath(L"C:\\work\\X.zip");
    EXPECT_TRUE(inside->IsWithin(&archive)) << "a folder inside lies within the archive";
    EXPECT_TRUE(root->IsWithin(&archive));
    TPath sibling = TPath::FromPath(L"C:\\work\\x.zip", L"ab");
    EXPECT_FALSE(inside->IsWithin(&sibling));
    TPath other = TPath::FromPath(L"C:\\wor");
    EXPECT_FALSE(root->IsWithin(&other));

    // Entries of one folder apart from each other, and a double-byte name
    // whose second byte is "\\" (CP932 in the tests): each folder is shown
    // once, and what only starts like a folder's entries is shown too.
    const std::string so = "\x83\x5C";  // "ソ"
    zip.Entries(so + "\\x.txt\t1\t20\t100\n" + so + ".txt\t2\t20\t100\nb\\y\t1\t20\t100\n" + so +
                "\\z\t1\t20\t100\n" + so + "\\d\\1\t1\t20\t100\n" + so + "\\d.txt\t1\t20\t100\n");
    EXPECT_EQ(Names(Open(zip, L"C:\\work\\y.zip").get()), (std::vector<std::wstring>{L"ソ", L"ソ.txt", L"b"}));
    EXPECT_EQ(Names(Open(zip, L"C:\\work\\y.zip", L"ソ").get()),
              (std::vector<std::wstring>{L"x.txt", L"z", L"d", L"d.txt"}));

    // Not an archive: an empty folder, not ready, that a refresh leaves alone.
    zip.Control<void (*)()>("RecordingReset")();
    ComPtr<IFolder> broken = Open(zip, L"C:\\work\\broken.zip");
    EXPECT_FALSE(broken->IsReady());
    EXPECT_EQ(broken->GetCount(), 0);
    zip.Take();
    EXPECT_EQ(broken->Refresh(), S_OK);
    EXPECT_EQ(zip.Take(), "");

    // A folder's explicit entry that comes after other folders' entries
    // still takes its synthesized place: no folder is shown twice.
    zip.Entries("a\\x\t1\t20\t100\nb\\y\t1\t20\t100\na\\\t0\t10\t400\n");
    ComPtr<IFolder> late = Open(zip, L"C:\\work\\late.zip");
    EXPECT_EQ(Names(late.get()), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(UnixOf(late->GetItem(0)->File.LastWriteTime), 410);

    // Tar compares names in their letter case; a folder's explicit entry
    // takes its synthesized place there too.
    TModule tar(L"ArcTar.dll", "tar32.dll");
    tar.Entries("e/x.txt\t1\t20\t100\n"
                "e/\t0\t10\t200\n"
                "Tar/\t0\t10\t200\n"
                "tar/y\t0\t20\t200\n");
    ComPtr<IFolder> tarRoot = Open(tar, L"C:\\work\\x.tar");
    EXPECT_EQ(Names(tarRoot.get()), (std::vector<std::wstring>{L"e", L"Tar", L"tar"}));
    EXPECT_EQ(UnixOf(tarRoot->GetItem(2)->File.CreationTime), 0) << "a synthesized folder has no times";
    EXPECT_EQ(UnixOf(tarRoot->GetItem(0)->File.CreationTime), 201);
    EXPECT_EQ(UnixOf(tarRoot->GetItem(0)->File.LastAccessTime), 202);
}

// An archive is listed aside: the opening thread gives up its hold of the
// lock, answers what other threads send its windows and paints them until
// the listing is done; input waits. A refresh does the same.
TEST_F(ArchiveModules, ListingLeavesTheWindowAnswering)
{
    TModule zip(L"ArcZip.dll", "7-zip32.dll");
    zip.Entries("a.txt\t1\t20\t100\n");
    HANDLE reached = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    static std::atomic<int> paints{0};
    WNDCLASSW windowClass{};
    windowClass.lpszClassName = L"ArcModulesAnswering";
    windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM w, LPARAM l) CALLBACK -> LRESULT {
        if (message == WM_PAINT) {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            ++paints;
            return 0;
        }
        if (message == WM_APP)
            return 42;
        return DefWindowProcW(window, message, w, l);
    };
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 120, 80, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    MSG pending;
    while (PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&pending);

    // Another thread, once the library is inside the listing.
    struct TSeen {
        bool Answered = false, Painted = false, Typed = false;
        int Suspended = 0;
    };
    auto watch = [&](int suspendsBefore, TSeen& seen) {
        return std::thread([&, suspendsBefore] {
            if (WaitForSingleObject(reached, 10000) != WAIT_OBJECT_0)
                return;
            DWORD_PTR answer = 0;
            seen.Answered = SendMessageTimeoutW(window, WM_APP, 0, 0, SMTO_BLOCK, 3000, &answer) && answer == 42;
            seen.Suspended = Host.Suspends - suspendsBefore;
            int before = paints;
            InvalidateRect(window, nullptr, FALSE);
            for (int i = 0; i < 300 && paints == before; ++i)
                Sleep(10);
            seen.Painted = paints > before;
            PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
            Sleep(50);
            SetEvent(release);
        });
    };

    Host.State() = 1;
    zip.Control<void (*)(HANDLE, HANDLE)>("RecordingSetGate")(reached, release);
    for (const char* step : {"opening", "refreshing"}) {
        SCOPED_TRACE(step);
        TSeen seen;
        std::thread other = watch(Host.Suspends, seen);
        ComPtr<IFolder> folder;
        if (std::string(step) == "opening") {
            folder = Open(zip, L"C:\\w\\a.zip");
        } else {
            folder = Open(zip, L"C:\\w\\b.zip");  // gated too: let it go at once
            other.join();
            other = watch(Host.Suspends, seen = TSeen());
            zip.Entries("a.txt\t1\t20\t100\nb.txt\t2\t20\t100\n");
            EXPECT_EQ(folder->Refresh(), S_OK);
        }
        other.join();
        EXPECT_TRUE(seen.Answered) << "a message sent from another thread is answered";
        EXPECT_TRUE(seen.Painted) << "the window paints";
        EXPECT_EQ(seen.Suspended, 1) << "the hold is given up while the library lists";
        EXPECT_EQ(Host.State(), 1) << "and taken back";
        EXPECT_TRUE(PeekMessageW(&pending, window, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE))
            << "input is left for after the call";
        EXPECT_TRUE(folder->IsReady());
        EXPECT_EQ(folder->GetCount(), step == std::string("opening") ? 1 : 2);
    }
    Host.State() = 0;
    DestroyWindow(window);
    UnregisterClassW(windowClass.lpszClassName, nullptr);
    CloseHandle(reached);
    CloseHandle(release);
}

// Two refreshes of one archive at once: the one that listed the archive
// later is the one shown, whichever ends last.
TEST_F(ArchiveModules, OfTwoRefreshesAtOnceTheLaterListingStays)
{
    TModule zip(L"ArcZip.dll", "7-zip32.dll");
    zip.Entries("a.txt\t1\t20\t100\n");
    ComPtr<IFolder> folder = Open(zip, L"C:\\w\\a.zip");
    ASSERT_EQ(folder->GetCount(), 1);
    HANDLE reached = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    zip.Control<void (*)(HANDLE, HANDLE)>("RecordingSetGateOnce")(reached, release);
    // The first refresh lists the archive as it is now and is held there.
    std::thread first([&] { folder->Refresh(); });
    ASSERT_EQ(WaitForSingleObject(reached, 10000), WAIT_OBJECT_0);
    // The archive changes; a second refresh lists it and is done first.
    zip.Entries("a.txt\t1\t20\t100\nb.txt\t2\t20\t100\n");
    EXPECT_EQ(folder->Refresh(), S_OK);
    EXPECT_EQ(folder->GetCount(), 2);
    SetEvent(release);
    first.join();
    EXPECT_EQ(folder->GetCount(), 2) << "the older listing, done last, is not shown";
    CloseHandle(reached);
    CloseHandle(release);
}

// A library that is not there, a function it lacks, and a command that fails
// each give their message, with the library's own text for the last.
TEST_F(ArchiveModules, FailuresCarryTheirMessages)
{
    std::wstring library = ProgramFolder() + L"ungca32.dll";
    std::wstring away = library + L".away";
    ASSERT_TRUE(MoveFileExW(library.c_str(), away.c_str(), MOVEFILE_REPLACE_EXISTING));
    {
        size_t before = Host.Extensions.size();
        HMODULE module = LoadLibraryW((std::wstring(NIMBRA_MODULE_DIR) + L"ArcGca.dll").c_str());
        ASSERT_NE(module, nullptr);
        ASSERT_EQ(Host.Extensions.size(), before + 1);
        ComPtr<IArchiver> archiver = Host.Extensions.back().as<IArchiver>();
        TPath location = TPath::FromPath(L"C:\\w\\a.gca");
        ComPtr<IFolder> folder;
        EXPECT_EQ(FailureOf(archiver->OpenArchive(&location, folder.put())), L"ungca32.dllの読み込みに失敗しました.");
        // Nothing of the module may outlive it.
        folder.reset();
        archiver.reset();
        Host.Extensions.clear();
        FreeLibrary(module);
    }
    ASSERT_TRUE(MoveFileExW(away.c_str(), library.c_str(), MOVEFILE_REPLACE_EXISTING));
    {
        TModule gca(L"ArcGca.dll", "ungca32.dll");
        EXPECT_EQ(FailureOf(gca.Archiver.as<IConfigurable>()->Configure()),
                  L"ungca32.dllにはUnGCAConfigDialog APIは存在しません.");
    }
    TModule zip(L"ArcZip.dll", "7-zip32.dll");
    zip.Fail(0x8019, "not an archive: C:\\w\\a.zip");
    EXPECT_EQ(FailureOf(zip.Archiver->Extract(WideString(L"C:\\w\\a.zip").get(), WideString(L"D:\\").get())),
              L"not an archive: C:\\w\\a.zip");
    EXPECT_EQ(Host.State(), 0) << "the hold is given back when the call fails too";
}
