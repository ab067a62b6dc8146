// The ZIP, tar and LZH modules through our own libraries, on archives the
// standard tools made (make-real-archives.sh): an archive browsed as
// folders, one item extracted or read, the whole archive extracted, packs
// of one name and of several, and failures that keep everything as it was.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ext/arc/ArchiversShared.h"
#include "lw/LExceptions.h"
#include "tests/archivers/AnswerBox.h"
#include "tests/ext/arc/ModuleHost.h"

namespace {

// The fixtures' folder, as Wine names the Unix path it was given.
std::wstring Fixtures()
{
    wchar_t unix[MAX_PATH] = {};
    GetEnvironmentVariableW(L"NIMBRA_ARC_FIXTURES", unix, MAX_PATH);
    std::wstring path = std::wstring(L"Z:") + unix;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path + L"\\";
}

std::string ReadWhole(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder below the temporary folder, removed with what it holds.
using TFolder = TScratchFolder;

std::vector<std::wstring> SortedNames(IFolder* folder)
{
    std::vector<std::wstring> names;
    for (int32_t i = 0; i < folder->GetCount(); ++i)
        names.emplace_back(folder->GetItem(i)->Name);
    std::sort(names.begin(), names.end());
    return names;
}

TFileItem* ItemNamed(IFolder* folder, const std::wstring& name)
{
    for (int32_t i = 0; i < folder->GetCount(); ++i)
        if (name == folder->GetItem(i)->Name)
            return folder->GetItem(i);
    return nullptr;
}

std::wstring FailureOf(HRESULT hr)
{
    try {
        CheckHResult(hr);
    } catch (const Exception& e) {
        return e.Message();
    }
    return L"";
}

// Seconds between two FILETIMEs.
long long SecondsApart(FILETIME a, FILETIME b)
{
    auto ticks = [](FILETIME t) { return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return std::llabs(ticks(a) - ticks(b)) / 10000000LL;
}

struct TFormat {
    const wchar_t* Module;
    const wchar_t* Archive;    // made by the standard tool
    const wchar_t* Extension;  // of the archives the tests pack
    const wchar_t* Status;
    const wchar_t* Library;  // the caption of its questions
};

void PrintTo(const TFormat& format, std::ostream* out)
{
    *out << ToAnsi(format.Module);
}

class RealArchives : public testing::TestWithParam<TFormat> {
protected:
    static void SetUpTestSuite()
    {
        NimbraSetMain(&TheModuleHost());
        // The libraries are found beside the modules.
        SetDllDirectoryW(NIMBRA_MODULE_DIR);
    }
    void SetUp() override
    {
        FArchiver = LoadArchiverModule(std::wstring(NIMBRA_MODULE_DIR) + GetParam().Module, FModule);
        ASSERT_TRUE(FArchiver) << "the module does not load";
    }
    void TearDown() override
    {
        FArchiver.reset();
        TheModuleHost().Extensions.clear();
        if (FModule != nullptr)
            FreeLibrary(FModule);
    }
    ComPtr<IFolder> Open(const std::wstring& archive, const std::wstring& subPath = {})
    {
        TPath location = TPath::FromPath(archive, subPath);
        ComPtr<IFolder> folder;
        EXPECT_EQ(FArchiver->OpenArchive(&location, folder.put()), S_OK);
        return folder;
    }
    HRESULT Pack(const std::wstring& archive, const std::wstring& base, const std::vector<std::wstring>& names)
    {
        std::vector<WideString> owned(names.begin(), names.end());
        std::vector<BSTR> list;
        for (WideString& name : owned)
            list.push_back(name.get());
        return FArchiver->Pack(WideString(archive).get(), WideString(base).get(),
                               static_cast<int32_t>(list.size()) - 1, list.data());
    }

    HMODULE FModule = nullptr;
    ComPtr<IArchiver> FArchiver;
};

// Browsed as folders, with sizes and times of the entries; one item
// extracted without its folders, read into memory, and the whole archive
// extracted with them.
TEST_P(RealArchives, BrowseExtractAndRead)
{
    const std::wstring archive = Fixtures() + GetParam().Archive;
    const std::wstring source = Fixtures() + L"src\\tree\\";
    ComPtr<IFolder> root = Open(archive);
    ASSERT_TRUE(root && root->IsReady());
    EXPECT_EQ(SortedNames(root.get()), std::vector<std::wstring>{L"tree"});
    WideString status;
    root->GetStatusText(root->GetItem(0), status.put());
    EXPECT_EQ(std::wstring(status.view()), GetParam().Status);

    ComPtr<IFolder> tree = Open(archive, L"tree");
    EXPECT_EQ(SortedNames(tree.get()), (std::vector<std::wstring>{L"sub", L"日本語.txt"}));
    ComPtr<IFolder> sub = Open(archive, L"tree/sub");
    EXPECT_EQ(SortedNames(sub.get()), (std::vector<std::wstring>{L"numbers.txt", L"深い"}));
    TFileItem* numbers = ItemNamed(sub.get(), L"numbers.txt");
    ASSERT_NE(numbers, nullptr);
    WIN32_FILE_ATTRIBUTE_DATA original{};
    ASSERT_TRUE(GetFileAttributesExW((source + L"sub\\numbers.txt").c_str(), GetFileExInfoStandard, &original));
    EXPECT_EQ(numbers->Size, static_cast<int64_t>(original.nFileSizeLow));
    EXPECT_LE(SecondsApart(numbers->File.LastWriteTime, original.ftLastWriteTime), 1) << "the entry's own time";
    TFileItem* deep = ItemNamed(sub.get(), L"深い");
    ASSERT_NE(deep, nullptr);
    EXPECT_NE(deep->Attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(deep->Caps & kCanEnter, kCanEnter);
    TPath parent;
    sub->GetParentPath(&parent);
    EXPECT_EQ(parent.SubPathView(), L"tree");

    ComPtr<IArchiveFolder> items = tree.as<IArchiveFolder>();
    TFolder one;
    ASSERT_EQ(items->ExtractItem(ItemNamed(tree.get(), L"日本語.txt"), WideString(one.Path()).get()), S_OK);
    EXPECT_EQ(ReadWhole(one.Path() + L"日本語.txt"), "hello\n") << "without its folder";
    EXPECT_FALSE(Exists(one.Path() + L"tree"));

    WideString data;
    ASSERT_EQ(sub.as<IArchiveFolder>()->ReadItem(numbers, data.put()), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), SysStringByteLen(data.get())),
              ReadWhole(source + L"sub\\numbers.txt"));

    TFolder whole;
    ASSERT_EQ(FArchiver->Extract(WideString(archive).get(), WideString(whole.Path()).get()), S_OK);
    EXPECT_EQ(ReadWhole(whole.Path() + L"tree\\sub\\深い\\d.txt"), "deep\n");
    EXPECT_EQ(ReadWhole(whole.Path() + L"tree\\sub\\numbers.txt"), ReadWhole(source + L"sub\\numbers.txt"));

    // Unpacked again over a file the user changed: asked once, the
    // answer "no" keeps it, and the files that were missing come back.
    const std::wstring changed = whole.Path() + L"tree\\日本語.txt";
    HANDLE file = CreateFileW(changed.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, "mine", 4, &written, nullptr);
    CloseHandle(file);
    DeleteFileW((whole.Path() + L"tree\\sub\\深い\\d.txt").c_str());
    TAnswerer answerer(GetParam().Library, IDNO);
    ASSERT_EQ(FArchiver->Extract(WideString(archive).get(), WideString(whole.Path()).get()), S_OK);
    EXPECT_EQ(ReadWhole(changed), "mine");
    EXPECT_EQ(ReadWhole(whole.Path() + L"tree\\sub\\深い\\d.txt"), "deep\n");
    EXPECT_EQ(answerer.Asked, 1);
}

// A pack of one folder takes all below it; several names go through a
// response file. What was packed is browsed back through the module.
TEST_P(RealArchives, PackOneNameAndSeveral)
{
    const std::wstring source = Fixtures() + L"src\\";
    TFolder out;
    const std::wstring single = out.Path() + L"single" + GetParam().Extension;
    HRESULT packed = Pack(single, source, {L"tree"});
    ASSERT_EQ(packed, S_OK) << FailureOf(packed);
    EXPECT_EQ(SortedNames(Open(single, L"tree/sub/深い").get()), std::vector<std::wstring>{L"d.txt"});

    const std::wstring several = out.Path() + L"several" + GetParam().Extension;
    packed = Pack(several, source + L"tree", {L"日本語.txt", L"sub"});
    ASSERT_EQ(packed, S_OK) << FailureOf(packed);
    ComPtr<IFolder> root = Open(several);
    EXPECT_EQ(SortedNames(root.get()), (std::vector<std::wstring>{L"sub", L"日本語.txt"}));
    EXPECT_EQ(SortedNames(Open(several, L"sub").get()), (std::vector<std::wstring>{L"numbers.txt", L"深い"}));
    WideString data;
    ASSERT_EQ(root.as<IArchiveFolder>()->ReadItem(ItemNamed(root.get(), L"日本語.txt"), data.put()), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), SysStringByteLen(data.get())), "hello\n");
}

// Failures: a file that only has an archive's name opens as an empty folder
// that is not ready; a pack that fails leaves no archive under a new name
// and an existing one as it was, with the library's message.
TEST_P(RealArchives, FailuresKeepEverything)
{
    ComPtr<IFolder> plain = Open(Fixtures() + L"plain" + GetParam().Extension);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->IsReady());
    EXPECT_EQ(plain->GetCount(), 0);

    const std::wstring source = Fixtures() + L"src\\tree\\";
    TFolder out;
    const std::wstring fresh = out.Path() + L"fresh" + GetParam().Extension;
    HRESULT packed = Pack(fresh, source, {L"日本語.txt", L"no such file"});
    EXPECT_TRUE(FAILED(packed)) << "a name that is not there fails the pack";
    EXPECT_NE(FailureOf(packed), L"");
    EXPECT_FALSE(Exists(fresh)) << "no partial archive under the name";

    const std::wstring existing = out.Path() + L"existing" + GetParam().Extension;
    ASSERT_EQ(Pack(existing, source, {L"日本語.txt"}), S_OK);
    std::string before = ReadWhole(existing);
    EXPECT_TRUE(FAILED(Pack(existing, source, {L"no such file"})));
    EXPECT_EQ(ReadWhole(existing), before) << "the archive is untouched";
    EXPECT_EQ(ReadWhole(source + L"日本語.txt"), "hello\n") << "and so is the source";
}

// An archive and a destination whose names the system code page cannot
// carry reach the library by their short forms.
TEST_P(RealArchives, NamesOutsideTheCodePage)
{
    TFolder out;
    const std::wstring folder = out.Path() + L"Zürich ✓\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring archive = folder + L"résumé ✓" + GetParam().Extension;
    ASSERT_TRUE(CopyFileW((Fixtures() + GetParam().Archive).c_str(), archive.c_str(), FALSE));
    ComPtr<IFolder> tree = Open(archive, L"tree");
    ASSERT_TRUE(tree && tree->IsReady());
    EXPECT_EQ(SortedNames(tree.get()), (std::vector<std::wstring>{L"sub", L"日本語.txt"}));
    WideString data;
    ASSERT_EQ(tree.as<IArchiveFolder>()->ReadItem(ItemNamed(tree.get(), L"日本語.txt"), data.put()), S_OK);
    EXPECT_EQ(SysStringByteLen(data.get()), 6u);
    const std::wstring destination = folder + L"展開 ✓\\";
    ASSERT_TRUE(CreateDirectoryW(destination.c_str(), nullptr));
    ASSERT_EQ(FArchiver->Extract(WideString(archive).get(), WideString(destination).get()), S_OK);
    EXPECT_EQ(ReadWhole(destination + L"tree\\sub\\深い\\d.txt"), "deep\n");
    // A new archive in that folder; one whose own name the code page cannot
    // carry fails with a message and makes nothing.
    const std::wstring packed = folder + L"packed" + GetParam().Extension;
    HRESULT hr = Pack(packed, destination, {L"tree"});
    EXPECT_EQ(hr, S_OK) << FailureOf(hr);
    EXPECT_EQ(SortedNames(Open(packed, L"tree/sub/深い").get()), std::vector<std::wstring>{L"d.txt"});
    hr = Pack(folder + L"✓" + GetParam().Extension, destination, {L"tree"});
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(FailureOf(hr), L"");
    int entries = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            entries += found.cFileName[0] != L'.' ? 1 : 0;
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(entries, 3) << "the archive, the unpacked folder and the new archive only";

    // A name to pack that the code page cannot carry would reach the library
    // as "??.txt" and pack ab.txt too: the pack is refused and makes nothing.
    const std::wstring names = out.Path() + L"names\\";
    ASSERT_TRUE(CreateDirectoryW(names.c_str(), nullptr));
    for (const wchar_t* name : {L"한글.txt", L"ab.txt"}) {
        HANDLE file = CreateFileW((names + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    const std::wstring refused = out.Path() + L"refused" + GetParam().Extension;
    for (std::vector<std::wstring> list : {std::vector<std::wstring>{L"한글.txt"}, {L"ab.txt", L"한글.txt"}}) {
        hr = Pack(refused, names, list);
        EXPECT_TRUE(FAILED(hr)) << list.size() << " name(s)";
        EXPECT_NE(FailureOf(hr).find(L"한글.txt"), std::wstring::npos) << ToAnsi(FailureOf(hr));
        EXPECT_FALSE(Exists(refused));
    }
}

INSTANTIATE_TEST_SUITE_P(Modules, RealArchives,
                         testing::Values(TFormat{L"ArcZip.dll", L"real.zip", L".zip", L"in ZIP", L"7-zip32.dll"},
                                         TFormat{L"ArcTar.dll", L"real.tgz", L".tgz", L"in Tar.GZ", L"tar32.dll"},
                                         TFormat{L"ArcLzh.dll", L"real.lzh", L".lzh", L"in LZH", L"Unlha32.dll"}),
                         [](const testing::TestParamInfo<TFormat>& info) {
                             return std::string(ToAnsi(info.param.Extension).substr(1));
                         });

// An extraction that fails part-way (a damaged entry) reports the library's
// message and leaves the damaged file under no final name; the archive's
// other files come out whole.
TEST(RealZipArchive, DamagedEntryLeavesNoFile)
{
    NimbraSetMain(&TheModuleHost());
    SetDllDirectoryW(NIMBRA_MODULE_DIR);
    HMODULE module = nullptr;
    ComPtr<IArchiver> archiver = LoadArchiverModule(std::wstring(NIMBRA_MODULE_DIR) + L"ArcZip.dll", module);
    ASSERT_TRUE(archiver);
    {
        TFolder out;
        HRESULT extracted = archiver->Extract(WideString(Fixtures() + L"bad.zip").get(), WideString(out.Path()).get());
        EXPECT_TRUE(FAILED(extracted));
        EXPECT_NE(FailureOf(extracted), L"") << "the library's message";
        EXPECT_FALSE(Exists(out.Path() + L"tree\\sub\\numbers.txt")) << "no half-written file";
        EXPECT_EQ(ReadWhole(out.Path() + L"tree\\sub\\深い\\d.txt"), "deep\n");
    }
    archiver.reset();
    TheModuleHost().Extensions.clear();
    FreeLibrary(module);
}

} // namespace
