// Folders on real temporary directories: listing, change watching,
// suspension, relocation, sharing and purging, and the archive hook.

// Own
#include "folders/SysUtilsW.h"
#include "folders/UFolders.h"

// Test support
#include "TempFolder.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>
#include <tlhelp32.h>

// Standard library
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/LockFaults.h"

namespace {

class TFolderEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        OleInitialize(nullptr);
        FApplication = new T0Application;
        FApplication->CreateMainThread();
    }
    void TearDown() override
    {
        T0Object::Free(FApplication);
        OleUninitialize();
    }

private:
    T0Application* FApplication = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TFolderEnvironment);

// Counts the Update calls a folder sends.
class TUpdateCounter : public TInterfaced<TInterfacedObject, IObserver> {
public:
    void STDMETHODCALLTYPE Update() override { ++Count; }
    std::atomic<int> Count{0};
};

// The folder manager for one test, with the folders it made.
class Folders : public ::testing::Test {
protected:
    void SetUp() override { FManager.reset(new TFolderManager(nullptr)); }
    void TearDown() override
    {
        FManager.reset();
        // Stopped watchers end by themselves; reap them.
        for (int i = 0; i < 100 && Application()->HasThreads(); ++i) {
            Sleep(20);
            Application()->FreeFinishedThreads();
        }
        TempFolder::RemoveLeftovers();
    }

    ComPtr<IFolder> Open(const std::wstring& path) { return FManager->Folder(TPath::FromPath(path)); }

    // Runs the idle steps a GUI program would, while waiting.
    static void Pump(DWORD milliseconds)
    {
        for (DWORD waited = 0; waited < milliseconds; waited += 10) {
            Sleep(10);
            Application()->IdleStep();
        }
    }

    TOwned<TFolderManager> FManager;
};

// The records are read under a hold of the application lock, as a view
// reads them while it handles a message.
int32_t Count(IFolder* folder)
{
    TSharedLock hold;
    return folder->GetCount();
}

std::vector<std::wstring> Names(IFolder* folder)
{
    TSharedLock hold;
    std::vector<std::wstring> names;
    for (int32_t i = 0; i < folder->GetCount(); ++i)
        names.emplace_back(folder->GetItem(i)->Name, folder->GetItem(i)->NameLen);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(FileItem, LongNamesAreCutInsideTheirBuffers)
{
    TFileItem item{};
    std::wstring longName(400, L'あ');
    item.Attributes = 0x12345678;
    SetItemText(item.Name, item.NameLen, longName);
    EXPECT_EQ(item.NameLen, 259);
    EXPECT_EQ(item.Name[259], L'\0');
    SetItemText(item.File.ShortName, item.File.ShortNameLen, L"ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(item.File.ShortNameLen, 13);
    EXPECT_EQ(std::wstring(item.File.ShortName), L"ABCDEFGHIJKLM");
    EXPECT_EQ(item.Attributes, 0x12345678u) << "nothing written past the short name";

    WIN32_FIND_DATAW data{};
    wcscpy(data.cFileName, L"readme.txt");
    data.nFileSizeHigh = 1;
    data.nFileSizeLow = 2;
    data.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    FillFileItem(item, data);
    EXPECT_EQ(item.Size, 0x100000002LL);
    EXPECT_EQ(std::wstring(item.DisplayName, item.DisplayNameLen), L"readme.txt");
    EXPECT_EQ(item.Kind, kKindFile);
    EXPECT_EQ(item.AuxNumber, kNoAuxNumber);
    EXPECT_EQ(item.Caps, kAllItemCaps);
}

TEST_F(Folders, ListsEveryEntryButDotAndDotDot)
{
    TempFolder dir;
    for (int count : {1024, 1025}) {
        TempFolder many;
        for (int i = 0; i < count; ++i)
            many.MakeFile(L"f" + std::to_wstring(i));
        CreateDirectoryW((many / L".hidden").c_str(), nullptr);
        ComPtr<IFolder> folder = Open(many.Path());
        ASSERT_TRUE(folder->IsReady());
        TSharedLock hold;
        EXPECT_EQ(Count(folder.get()), count + 1);
        bool dotHidden = false;
        for (int32_t i = 0; i < folder->GetCount(); ++i) {
            std::wstring name(folder->GetItem(i)->Name);
            EXPECT_NE(name, L".");
            EXPECT_NE(name, L"..");
            dotHidden |= name == L".hidden";
        }
        EXPECT_TRUE(dotHidden);
        EXPECT_EQ(folder->GetItem(count + 1), nullptr);
        EXPECT_EQ(folder->GetItem(-1), nullptr);
    }
    ComPtr<IFolder> empty = Open(dir.Path());
    EXPECT_TRUE(empty->IsReady());
    EXPECT_EQ(Count(empty.get()), 0);
    EXPECT_EQ(empty->GetCapabilities(), 7);
}

TEST_F(Folders, SharedPerLocationAndPurgedOnlyAtHousekeeping)
{
    TempFolder dir;
    ComPtr<IFolder> first = Open(dir.Path());
    std::wstring upper = dir.Path();
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    EXPECT_EQ(Open(upper).get(), first.get()) << "locations compare without case";

    ComPtr<TUpdateCounter> view(new TUpdateCounter);
    ComPtr<IFolder> observed = Open(dir / L"..");
    TempFolder other;
    ComPtr<IFolder> watched = Open(other.Path());
    watched->Attach(view.get());
    first.reset();
    observed.reset();
    watched.reset();
    EXPECT_TRUE(FManager->Find(TPath::FromPath(dir.Path()))) << "kept until housekeeping";
    Application()->IdleStep();
    EXPECT_TRUE(FManager->Find(TPath::FromPath(dir.Path()))) << "an idle step is not housekeeping";

    Application()->RequestHousekeeping();
    Application()->IdleStep();
    EXPECT_FALSE(FManager->Find(TPath::FromPath(dir.Path())));
    ComPtr<IFolder> still = FManager->Find(TPath::FromPath(other.Path()));
    ASSERT_TRUE(still) << "an observed folder stays";
    still->Detach(view.get());
}

TEST_F(Folders, ABurstOfChangesGivesOneRefresh)
{
    TempFolder dir;
    ComPtr<IFolder> folder = Open(dir.Path());
    ComPtr<TUpdateCounter> view(new TUpdateCounter);
    folder->Attach(view.get());
    for (int i = 0; i < 100; ++i)
        dir.MakeFile(L"burst" + std::to_wstring(i));
    Pump(1500);
    EXPECT_GE(view->Count, 1);
    EXPECT_LE(view->Count, 2);
    EXPECT_EQ(Count(folder.get()), 100);
    folder->Detach(view.get());
}

TEST_F(Folders, SuspendedWatchingHoldsRefreshesBack)
{
    TempFolder dir;
    ComPtr<IFolder> folder = Open(dir.Path());
    ComPtr<TUpdateCounter> view(new TUpdateCounter);
    folder->Attach(view.get());

    folder->SuspendWatching();
    dir.MakeFile(L"held");
    Pump(700);
    EXPECT_EQ(view->Count, 0) << "no refresh while suspended";
    EXPECT_EQ(Count(folder.get()), 0);

    DWORD start = GetTickCount();
    folder->ResumeWatching(true);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(view->Count, 1) << "the held change refreshes on resume";
    EXPECT_EQ(Count(folder.get()), 1);
    EXPECT_LT(took, 900u) << "returns when the refresh is done";

    start = GetTickCount();
    folder->ResumeWatching(true);
    took = GetTickCount() - start;
    EXPECT_GE(took, 900u) << "with nothing to refresh, waits its full second";
    EXPECT_LT(took, 3000u);

    // A caller holding the lock exclusively gives it up while it waits: the
    // refresh it waits for needs the lock.
    folder->SuspendWatching();
    dir.MakeFile(L"held again");
    Pump(700);
    {
        TExclusiveLock lock;
        start = GetTickCount();
        folder->ResumeWatching(true);
        took = GetTickCount() - start;
    }
    EXPECT_EQ(view->Count, 2);
    EXPECT_EQ(Count(folder.get()), 2);
    EXPECT_LT(took, 900u);
    folder->Detach(view.get());
}

TEST_F(Folders, AFolderThatCannotBeListedBecomesNotReadyAndKeepsItsItems)
{
    TempFolder parent;
    std::wstring path = parent / L"doomed";
    CreateDirectoryW(path.c_str(), nullptr);
    UniqueFileHandle(CreateFileW((path + L"\\a").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ComPtr<IFolder> folder = Open(path);
    ASSERT_TRUE(folder->IsReady());
    ASSERT_EQ(Count(folder.get()), 1);
    // Wine refuses to remove a directory while it is watched, so the folder
    // is pointed at a place that is gone, as a removal would leave it.
    WideString gone(parent / L"gone");
    CheckHResult(folder->SetPath(gone.get()));
    CheckHResult(folder->Refresh());
    EXPECT_FALSE(folder->IsReady());
    EXPECT_EQ(Names(folder.get()), std::vector<std::wstring>{L"a"});
    // Once not ready, a refresh does nothing, even when the place exists.
    CreateDirectoryW((parent / L"gone").c_str(), nullptr);
    CheckHResult(folder->Refresh());
    EXPECT_FALSE(folder->IsReady());
    EXPECT_EQ(Count(folder.get()), 1);
}

TEST_F(Folders, RenameRelocatesAFolderAndItsSubfolders)
{
    TempFolder dir;
    std::wstring a = dir / L"a", b = dir / L"b";
    CreateDirectoryW(a.c_str(), nullptr);
    CreateDirectoryW((a + L"\\x").c_str(), nullptr);
    UniqueFileHandle(CreateFileW((a + L"\\x\\inner").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ComPtr<IFolder> top = Open(a), sub = Open(a + L"\\x"), unrelated = Open(dir.Path());
    ASSERT_TRUE(MoveFileW(a.c_str(), b.c_str()));
    FManager->Rename(TPath::FromPath(a), b);
    TPath path;
    top->GetPath(&path);
    EXPECT_EQ(path.PathView(), b);
    sub->GetPath(&path);
    EXPECT_EQ(path.PathView(), b + L"\\x");
    EXPECT_TRUE(sub->IsReady());
    EXPECT_EQ(Names(sub.get()), std::vector<std::wstring>{L"inner"});
    unrelated->GetPath(&path);
    EXPECT_EQ(path.PathView(), dir.Path());
}

TEST(FolderPaths, ParentsAndContainment)
{
    EXPECT_EQ(DirectoryParentPath(L"C:\\x").PathView(), L"C:\\");
    EXPECT_EQ(DirectoryParentPath(L"C:\\x\\y").PathView(), L"C:\\x");
    TPath drives = DirectoryParentPath(L"C:\\");
    ASSERT_NE(drives.IDList, nullptr) << "the parent of a drive root is My Computer";
    EXPECT_NE(drives.IDList->mkid.cb, 0);
    TPath network = DirectoryParentPath(L"\\\\srv\\share");
    ASSERT_NE(network.IDList, nullptr) << "the parent of a share root is the network";
    EXPECT_FALSE(SamePath(network, drives));

    EXPECT_FALSE(DirectoryIsWithin(L"C:\\ab", TPath::FromPath(L"C:\\a")));
    EXPECT_TRUE(DirectoryIsWithin(L"C:\\a\\b", TPath::FromPath(L"C:\\a")));
    EXPECT_TRUE(DirectoryIsWithin(L"C:\\a", TPath::FromPath(L"c:\\A")));
    EXPECT_TRUE(DirectoryIsWithin(L"C:\\a", TPath::FromPath(L"C:\\")));
    EXPECT_FALSE(DirectoryIsWithin(L"C:\\", TPath::FromPath(L"C:\\a")));
    TPath desktop = ParsePath(L"");
    EXPECT_TRUE(DirectoryIsWithin(L"C:\\anything", desktop));

    // One spelling per place; a wrong one made "C:\foo\" its own parent.
    struct {
        const wchar_t* path;
        const wchar_t* normal;
    } const spellings[] = {
        {L"C:/foo/bar", L"C:\\foo\\bar"},
        {L"C:\\foo\\", L"C:\\foo"},
        {L"C:\\", L"C:\\"},
        {L"C:", L"C:\\"},
        {L"c:\\\\", L"c:\\"},
        {L"C:\\a\\\\b\\.\\c\\..\\", L"C:\\a\\b"},
        {L"C:\\..\\..", L"C:\\"},
        {L"\\\\srv\\share\\", L"\\\\srv\\share"},
        {L"//srv/share/dir/", L"\\\\srv\\share\\dir"},
        {L"\\\\srv\\share\\..\\..", L"\\\\srv\\share"},
        {L"\\\\?\\C:\\foo\\", L"\\\\?\\C:\\foo\\"},
        {L"\\a\\", L"\\a"},
        {L"a\\..\\..\\b", L"..\\b"},
    };
    for (const auto& c : spellings)
        EXPECT_EQ(NormalizeDirectoryPath(c.path), c.normal) << UnicodeToUtf8(c.path);
}

namespace {

// An archiver for ".zip" that opens every archive as a fixed directory.
class TFakeArchiver : public TInterfaced<TInterfacedObject, IExtension, IArchiver> {
public:
    explicit TFakeArchiver(std::wstring inside) : FInside(std::move(inside)) {}
    HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Finalize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FindExtension(TArchiverExtensionTest test, void* data, BSTR* extension) override
    {
        for (const wchar_t* offered : {L".lzh", L".zip"}) {
            WideString text(offered);
            if (test(text.get(), data)) {
                *extension = text.release();
                return S_OK;
            }
        }
        *extension = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenArchive(const TPath* location, IFolder** folder) override
    {
        ++Opened;
        *folder = ComPtr<IFolder>(new TDirectory(FInside)).detach();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pack(BSTR, BSTR, int32_t, const BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Extract(BSTR, BSTR) override { return E_NOTIMPL; }
    int Opened = 0;

private:
    std::wstring FInside;
};

class TFakeHost : public TInterfaced<TInterfacedObject, IExtensionHost> {
public:
    std::vector<ComPtr<IExtension>> Extensions;
    int Visits = 0;
    HRESULT STDMETHODCALLTYPE RegisterExtension(IExtension* extension) override
    {
        Extensions.emplace_back(extension);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FirstExtensionThat(TExtensionTest test, void* data, IExtension** result) override
    {
        *result = nullptr;
        for (auto& e : Extensions) {
            ++Visits;
            if (test(e.get(), data)) {
                *result = e.get();
                e->AddRef();
                break;
            }
        }
        return S_OK;
    }
};

} // namespace

TEST(FolderManager, ArchivesAreEnteredThroughTheirArchiver)
{
    TempFolder dir;
    dir.MakeFile(L"pack.ZIP");
    dir.MakeFile(L"notes.txt");
    CreateDirectoryW((dir / L"inside").c_str(), nullptr);
    ComPtr<TFakeHost> host(new TFakeHost);
    ComPtr<TFakeArchiver> archiver(new TFakeArchiver(dir / L"inside"));
    host->RegisterExtension(archiver.get());
    TOwned<TFolderManager> manager(new TFolderManager(host.get()));

    ComPtr<IFolder> folder = manager->Folder(TPath::FromPath(dir.Path()));
    {
        TSharedLock hold;
        for (int32_t i = 0; i < folder->GetCount(); ++i) {
            const TFileItem* item = folder->GetItem(i);
            std::wstring name(item->Name);
            bool enterable = (item->Caps & kCanEnter) != 0;
            EXPECT_EQ(enterable, name != L"notes.txt") << UnicodeToUtf8(name);
        }
    }
    EXPECT_FALSE(manager->Archiver(L"noextension"));
    host->Visits = 0;
    EXPECT_FALSE(manager->Archiver(L"x.rar"));
    EXPECT_EQ(host->Visits, 1) << "every extension is asked once";

    ComPtr<IFolder> archive = manager->Folder(TPath::FromPath(dir / L"pack.ZIP"));
    EXPECT_EQ(archiver->Opened, 1);
    EXPECT_TRUE(archive->IsReady());
    folder.reset();
    archive.reset();
    manager.reset();
    for (int i = 0; i < 100 && Application()->HasThreads(); ++i) {
        Sleep(20);
        Application()->FreeFinishedThreads();
    }
}

TEST_F(Folders, RecursiveRefreshReachesTheFoldersBelow)
{
    TempFolder dir;
    CreateDirectoryW((dir / L"x").c_str(), nullptr);
    ComPtr<IFolder> top = Open(dir.Path()), below = Open(dir / L"x");
    TempFolder elsewhere;
    ComPtr<IFolder> other = Open(elsewhere.Path());
    ComPtr<TUpdateCounter> topView(new TUpdateCounter), belowView(new TUpdateCounter), otherView(new TUpdateCounter);
    top->Attach(topView.get());
    below->Attach(belowView.get());
    other->Attach(otherView.get());

    FManager->Refresh(TPath::FromPath(dir.Path()), false);
    EXPECT_EQ(topView->Count, 1);
    EXPECT_EQ(belowView->Count, 0);
    FManager->Refresh(TPath::FromPath(dir.Path()), true);
    EXPECT_EQ(topView->Count, 2);
    EXPECT_EQ(belowView->Count, 1);
    EXPECT_EQ(otherView->Count, 0);

    top->Detach(topView.get());
    below->Detach(belowView.get());
    other->Detach(otherView.get());
}

namespace {

// Serves locations tagged 7 with a fixed directory.
class TFakeProvider : public TInterfaced<TInterfacedObject, IExtension, IFolderProvider> {
public:
    explicit TFakeProvider(std::wstring directory) : FDirectory(std::move(directory)) {}
    HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Finalize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE CreateFolder(const TPath* location, IFolder** folder) override
    {
        *folder = location->ProviderTag == 7 ? ComPtr<IFolder>(new TDirectory(FDirectory)).detach() : nullptr;
        return S_OK;
    }

private:
    std::wstring FDirectory;
};

} // namespace

TEST(FolderManager, TaggedLocationsComeFromTheirProvider)
{
    TempFolder dir;
    ComPtr<TFakeHost> host(new TFakeHost);
    host->RegisterExtension(ComPtr<IExtension>(new TFakeArchiver(dir.Path())).get());
    host->RegisterExtension(ComPtr<IExtension>(new TFakeProvider(dir.Path())).get());
    TOwned<TFolderManager> manager(new TFolderManager(host.get()));

    TPath served = TPath::FromPath(L"anything");
    served.ProviderTag = 7;
    ComPtr<IFolder> folder = manager->Folder(served);
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->IsReady());

    TPath unserved = TPath::FromPath(L"anything");
    unserved.ProviderTag = 8;
    try {
        manager->Folder(unserved);
        ADD_FAILURE() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), L"UFolders");
    }
    EXPECT_EQ(Application()->AppLock().Readers(), 0);
    EXPECT_TRUE(Application()->AppLock().TryExclusive()) << "the lock is free again";
    Application()->AppLock().ReleaseExclusive();

    folder.reset();
    manager.reset();
    for (int i = 0; i < 100 && Application()->HasThreads(); ++i) {
        Sleep(20);
        Application()->FreeFinishedThreads();
    }
}

namespace {

// Reads, during Update, a record it took from the folder before the refresh.
class TStaleReader : public TInterfaced<TInterfacedObject, IObserver> {
public:
    const TFileItem* Kept = nullptr;
    std::wstring Seen;
    void STDMETHODCALLTYPE Update() override
    {
        if (Kept != nullptr)
            Seen.assign(Kept->Name, static_cast<size_t>(Kept->NameLen));
    }
};

} // namespace

TEST_F(Folders, ObserversMayReadTheOldItemsWhileTheyUpdate)
{
    // Large enough for the item array to be a block of its own, which goes
    // back to the system (and faults when read) once it is freed.
    TempFolder dir;
    for (int i = 0; i < 1500; ++i)
        dir.MakeFile(L"old" + std::to_wstring(i));
    ComPtr<IFolder> folder = Open(dir.Path());
    folder->SuspendWatching();
    ComPtr<TStaleReader> view(new TStaleReader);
    std::wstring expected;
    {
        TSharedLock hold;
        view->Kept = folder->GetItem(0);
        expected.assign(view->Kept->Name, static_cast<size_t>(view->Kept->NameLen));
    }
    folder->Attach(view.get());
    for (int i = 0; i < 1500; ++i)
        DeleteFileW((dir / (L"old" + std::to_wstring(i))).c_str());
    CheckHResult(folder->Refresh());
    EXPECT_EQ(Count(folder.get()), 0);
    EXPECT_EQ(view->Seen, expected);
    folder->Detach(view.get());
}

TEST_F(Folders, WritesWaitUntilNoOtherThreadReads)
{
    // Readers hold the lock shared (a GUI thread handling a message) and may
    // read the path and the items at any moment: a refresh or a relocation
    // replaces both, so it must wait until no other thread reads.
    TempFolder dir;
    std::wstring a = dir.MakeDir(L"a"), b = dir / L"b";
    ComPtr<IFolder> folder = Open(a);
    WideString moved(b);
    const std::function<void()> writes[] = {
        [&] { CheckHResult(folder->Refresh()); },
        [&] { CheckHResult(folder->SetPath(moved.get())); },
        [&] { FManager->Refresh(TPath::FromPath(b), false); },
        [&] { FManager->Rename(TPath::FromPath(b), a); },
    };
    for (const std::function<void()>& write : writes) {
        int32_t reading = Application()->BeginShared();
        UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::exception_ptr error;
        std::thread writer([&] {
            // The writer itself handles a message, holding the lock shared.
            int32_t held = Application()->BeginShared();
            try {
                write();
            } catch (...) {
                error = std::current_exception();
            }
            Application()->EndShared(held);
            SetEvent(done.get());
        });
        EXPECT_EQ(WaitForSingleObject(done.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT))
            << "write " << &write - writes << " did not wait for the reader";
        Application()->EndShared(reading);
        EXPECT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0);
        writer.join();
        if (error)
            std::rethrow_exception(error);
    }
    TPath path;
    folder->GetPath(&path);
    EXPECT_EQ(path.PathView(), a);
}

namespace {

// A view that fails to update itself.
class TFailingView : public TInterfaced<TInterfacedObject, IObserver> {
public:
    void STDMETHODCALLTYPE Update() override { throw Exception(L"表示を更新できません"); }
};

} // namespace

TEST_F(Folders, OneFailingFolderDoesNotStopTheOthers)
{
    TempFolder dir;
    std::wstring a = dir.MakeDir(L"a"), b = dir / L"b";
    dir.MakeDir(L"a\\x");
    ComPtr<IFolder> top = Open(a), below = Open(a + L"\\x");
    top->SuspendWatching();
    below->SuspendWatching();
    ComPtr<TFailingView> failing(new TFailingView);
    ComPtr<TUpdateCounter> counting(new TUpdateCounter);
    top->Attach(failing.get());
    below->Attach(counting.get());

    auto failure = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const Exception& e) {
            return e.Message();
        }
        return std::wstring(L"no failure");
    };
    EXPECT_EQ(failure([&] { FManager->Refresh(TPath::FromPath(a), true); }), L"表示を更新できません");
    EXPECT_EQ(counting->Count, 1) << "the folder after the failing one is refreshed";

    ASSERT_TRUE(MoveFileW(a.c_str(), b.c_str()));
    EXPECT_EQ(failure([&] { FManager->Rename(TPath::FromPath(a), b); }), L"表示を更新できません");
    TPath path;
    below->GetPath(&path);
    EXPECT_EQ(path.PathView(), b + L"\\x") << "the folder after the failing one is relocated";
    EXPECT_EQ(counting->Count, 2);
    EXPECT_TRUE(below->IsReady());

    top->Detach(failing.get());
    below->Detach(counting.get());
}

TEST_F(Folders, EverySpellingOfAPlaceFindsItsOneFolder)
{
    TempFolder dir;
    std::wstring sub = dir.MakeDir(L"sub");
    dir.MakeDir(L"sub\\x");
    std::wstring slashed = sub;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    ComPtr<IFolder> folder = Open(sub);
    const TPath spellings[] = {
        TPath::FromPath(sub + L"\\"),
        TPath::FromPath(sub + L"\\.\\x\\..\\"),
        TPath::FromPath(slashed),
        TPath::FromPath(dir.Path(), L"sub"),
        ParsePath(dir.Path() + L"/sub/"),
        ParsePath(slashed),
    };
    for (const TPath& spelling : spellings)
        EXPECT_EQ(FManager->Folder(spelling).get(), folder.get()) << UnicodeToUtf8(PathToString(spelling));
    TPath path;
    folder->GetPath(&path);
    EXPECT_EQ(path.PathView(), sub);
    folder->GetParentPath(&path);
    EXPECT_EQ(path.PathView(), dir.Path());

    EXPECT_EQ(FManager->Folder(ParsePath(L"C:/Windows")).get(), FManager->Folder(ParsePath(L"C:/Windows")).get());
    ComPtr<IFolder> root = Open(L"C:/");
    EXPECT_EQ(Open(L"C:\\").get(), root.get());
    root->GetPath(&path);
    EXPECT_EQ(path.PathView(), L"C:\\");

    // A place renamed, spelt with trailing backslashes.
    ComPtr<IFolder> below = Open(sub + L"\\x");
    std::wstring moved = dir / L"moved";
    ASSERT_TRUE(MoveFileW(sub.c_str(), moved.c_str()));
    FManager->Rename(TPath::FromPath(sub + L"\\"), moved + L"\\");
    folder->GetPath(&path);
    EXPECT_EQ(path.PathView(), moved);
    below->GetPath(&path);
    EXPECT_EQ(path.PathView(), moved + L"\\x");
    EXPECT_TRUE(below->IsReady());
}

namespace {

UINT WINAPI EveryDriveIsACD(LPCWSTR) { return DRIVE_CDROM; }

// Makes every drive look like a CD-ROM drive while it lives.
class TCDDrives {
public:
    TCDDrives() : FPrevious(SetDriveTypeProbe(EveryDriveIsACD)) {}
    ~TCDDrives() { SetDriveTypeProbe(FPrevious); }
    TCDDrives(const TCDDrives&) = delete;
    TCDDrives& operator=(const TCDDrives&) = delete;

private:
    TDriveTypeProbe FPrevious;
};

} // namespace

TEST_F(Folders, RemovableAndCDDrivesAreNeverWatched)
{
    TempFolder dir, other;
    ComPtr<TUpdateCounter> view(new TUpdateCounter);
    ComPtr<IFolder> folder;
    {
        TCDDrives cd;
        // A watcher would hold a change notification on the medium.
        folder = Open(dir.Path());
        folder->Attach(view.get());
        dir.MakeFile(L"new on the CD");
        Pump(700);
        EXPECT_EQ(view->Count, 0) << "a new folder on a CD is not watched";
        CheckHResult(folder->Refresh());
        EXPECT_EQ(Count(folder.get()), 1) << "an explicit refresh shows the change";

        WideString elsewhere(other.Path());
        CheckHResult(folder->SetPath(elsewhere.get()));
        other.MakeFile(L"new there");
        Pump(700);
        EXPECT_EQ(view->Count, 1) << "nor is a folder moved onto one";
    }
    WideString back(dir.Path());
    CheckHResult(folder->SetPath(back.get()));
    dir.MakeFile(L"new on a fixed disk");
    Pump(1000);
    EXPECT_GE(view->Count, 2) << "a fixed drive is watched";
    folder->Detach(view.get());
}

namespace {

int ProcessThreadCount()
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    return count;
}

DWORD ProcessHandleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

} // namespace

TEST_F(Folders, BrowsedFoldersGoWithTheirWatchersAtTheNextIdleStep)
{
    TempFolder dir;
    constexpr int kFolders = 200;
    for (int i = 0; i < kFolders; ++i)
        CreateDirectoryW((dir / (L"d" + std::to_wstring(i))).c_str(), nullptr);
    // A first visit settles what the process makes once (the shell, the
    // console of the test, the folder of temporary directories).
    ComPtr<TUpdateCounter> view(new TUpdateCounter);
    {
        ComPtr<IFolder> warm = Open(dir.Path());
        warm->Attach(view.get());
        warm->Detach(view.get());
    }
    Application()->RequestHousekeeping();
    Application()->IdleStep();
    for (int i = 0; i < 100 && Application()->HasThreads(); ++i) {
        Sleep(20);
        Application()->FreeFinishedThreads();
    }
    const int threadsBefore = ProcessThreadCount();
    const DWORD handlesBefore = ProcessHandleCount();

    // As a view browses: take the folder, show it, leave it for the next.
    for (int i = 0; i < kFolders; ++i) {
        ComPtr<IFolder> folder = Open(dir / (L"d" + std::to_wstring(i)));
        TSharedLock hold;
        folder->Attach(view.get());
        folder->Detach(view.get());
    }
    EXPECT_GE(ProcessThreadCount(), threadsBefore + kFolders / 2) << "each visited folder is watched";

    // The next idle step drops them all; their watchers end by themselves
    // and are reaped by later steps.
    ASSERT_TRUE(Application()->IdleStep());
    EXPECT_EQ(FManager->FolderCount(), 0u) << "purged at the first idle step after the last view left";
    for (int i = 0; i < 200 && Application()->HasThreads(); ++i) {
        Sleep(20);
        Application()->IdleStep();
    }
    EXPECT_FALSE(Application()->HasThreads());
    EXPECT_LE(ProcessThreadCount(), threadsBefore + 2);
    EXPECT_LE(ProcessHandleCount(), handlesBefore + 10);

    // A folder still shown stays, with its watcher.
    ComPtr<IFolder> shown = Open(dir / L"d0");
    shown->Attach(view.get());
    ComPtr<IFolder> left = Open(dir / L"d1");
    left->Attach(view.get());
    left->Detach(view.get());
    shown.reset();
    left.reset();
    ASSERT_TRUE(Application()->IdleStep());
    EXPECT_TRUE(FManager->Find(TPath::FromPath(dir / L"d0")));
    EXPECT_FALSE(FManager->Find(TPath::FromPath(dir / L"d1")));
    FManager->Find(TPath::FromPath(dir / L"d0"))->Detach(view.get());
}

namespace {

// Fails its update, as a view that runs out of memory re-reading a folder.
class TThrowingView : public TInterfaced<TInterfacedObject, IObserver> {
public:
    void STDMETHODCALLTYPE Update() override
    {
        ++Count;
        throw Exception(L"the view failed");
    }
    int Count = 0;
};

} // namespace

TEST_F(Folders, AFailingObserverDoesNotKeepTheOthersUntold)
{
    TempFolder dir;
    dir.MakeFile(L"before");
    ComPtr<IFolder> folder = Open(dir.Path());
    folder->SuspendWatching();
    ComPtr<TThrowingView> failing(new TThrowingView);
    ComPtr<TUpdateCounter> first(new TUpdateCounter), last(new TUpdateCounter);
    folder->Attach(first.get());
    folder->Attach(failing.get());
    folder->Attach(last.get());
    dir.MakeFile(L"after");

    EXPECT_FALSE(SUCCEEDED(folder->Refresh())) << "the failure is not swallowed";
    EXPECT_EQ(first->Count, 1);
    EXPECT_EQ(failing->Count, 1);
    EXPECT_EQ(last->Count, 1) << "the observer after the failing one still learns of the new records";
    EXPECT_EQ(Count(folder.get()), 2);

    // Two failing observers: both are told, everyone else too.
    ComPtr<TThrowingView> second(new TThrowingView);
    folder->Attach(second.get());
    EXPECT_FALSE(SUCCEEDED(folder->Refresh()));
    EXPECT_EQ(failing->Count, 2);
    EXPECT_EQ(second->Count, 1);
    EXPECT_EQ(last->Count, 2);
    for (IObserver* observer : {static_cast<IObserver*>(first.get()), static_cast<IObserver*>(failing.get()),
                                static_cast<IObserver*>(last.get()), static_cast<IObserver*>(second.get())})
        folder->Detach(observer);
}

TEST_F(Folders, RecordsAreCheckedForTheLock)
{
    TempFolder dir;
    dir.MakeFile(L"one");
    ComPtr<IFolder> folder = Open(dir.Path());
    LONG before = LockFaultCount();
    {
        TSharedLock hold;
        EXPECT_EQ(folder->GetCount(), 1);
        EXPECT_NE(folder->GetItem(0), nullptr);
    }
    EXPECT_EQ(LockFaultCount(), before) << "a shared hold is enough to read";
    // Without any hold each access is a breach.
    folder->GetCount();
    EXPECT_EQ(LockFaultCount(), before + 1);
    folder->GetItem(0);
    EXPECT_EQ(LockFaultCount(), before + 2);
    TPath path;
    {
        TSharedLock hold;
        const TFileItem* item = folder->GetItem(0);
        folder->GetItemPath(item, &path);
    }
    EXPECT_EQ(LockFaultCount(), before + 2);
    ExpectLockFaults(2);
}

TEST_F(Folders, DevicesAreNeverOpenedAsFolders)
{
    // A pipe with room for one client: a probe that opened it would take
    // the only instance.
    std::wstring pipeName = L"\\\\.\\pipe\\nimbra-folders-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle server(CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                         4096, 0, nullptr));
    ASSERT_TRUE(server && server.get() != INVALID_HANDLE_VALUE);

    std::wstring spellings[] = {pipeName, pipeName + L"/sub", L"\\\\?\\pipe" + pipeName.substr(8)};
    for (const std::wstring& text : spellings) {
        EXPECT_FALSE(PathIsAccessible(text)) << UnicodeToUtf8(text);
        EXPECT_EQ(GetLongPathName(text), text);
        TPath parsed = ParsePath(text);
        EXPECT_TRUE(parsed.IDList == nullptr) << "not handed to the shell";
        try {
            FManager->Folder(parsed);
            ADD_FAILURE() << "a device became a folder: " << UnicodeToUtf8(text);
        } catch (const Exception& e) {
            EXPECT_NE(e.Message().find(L"デバイス"), std::wstring::npos) << UnicodeToUtf8(e.Message());
        }
        EXPECT_FALSE(FManager->Find(parsed));
    }
    // The one instance is still free for a real client.
    UniqueHandle client(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(client && client.get() != INVALID_HANDLE_VALUE) << "error " << GetLastError();

    // Bare device names, with or without an extension, and a sub-path that
    // ends in one.
    TempFolder dir;
    for (const std::wstring& text : {std::wstring(L"NUL"), std::wstring(L"com1.txt"), dir / L"CON",
                                     dir.Path() + L"/LPT1", std::wstring(L"\\\\.\\COM1")}) {
        TPath parsed = ParsePath(text);
        EXPECT_THROW(FManager->Folder(parsed), Exception) << UnicodeToUtf8(text);
    }
    EXPECT_EQ(FManager->FolderCount(), 0u);
}

TEST(FolderPaths, DeviceNames)
{
    struct {
        const wchar_t* path;
        bool device;
    } const cases[] = {
        {L"CON", true},
        {L"con", true},
        {L"NUL.txt", true},
        {L"nul .tar.gz", true},
        {L"aux:", true},
        {L"C:\\dir\\PRN", true},
        {L"C:\\dir/COM9.log", true},
        {L"LPT1", true},
        {L"CONIN$", true},
        {L"\\\\.\\COM1", true},
        {L"\\\\.\\C:\\dir", true},
        {L"//./pipe/x", true},
        {L"\\\\?\\GLOBALROOT\\Device\\Null", true},
        {L"\\\\?\\pipe\\x", true},
        {L"\\??\\C:\\dir", true},
        // The names next to the reserved ones are ordinary.
        {L"COM0", false},
        {L"COM10", false},
        {L"LPT", false},
        {L"CONSOLE", false},
        {L"CONFIG.SYS", false},
        {L"C:\\CON\\inside", false},
        {L"C:\\dir\\x.CON", false},
        {L"C:", false},
        {L"C:\\", false},
        {L"", false},
        {L"\\\\server\\share", false},
        {L"\\\\?\\C:\\dir\\CON", false},
        {L"\\\\?\\UNC\\server\\share", false},
        {L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDevicePath(c.path), c.device) << UnicodeToUtf8(c.path);
}

TEST_F(Folders, AnItemArraySomebodyHoldsIsNeverFilledAgain)
{
    TempFolder dir;
    dir.MakeFile(L"first");
    ComPtr<IFolder> folder = Open(dir.Path());
    folder->SuspendWatching();
    auto* directory = dynamic_cast<T0Folder*>(static_cast<IDirectory*>(folder.as<IDirectory>().get()));
    ASSERT_NE(directory, nullptr);
    std::shared_ptr<const T0Folder::TItems> kept;
    {
        TSharedLock hold;
        kept = directory->Items();
    }
    // Two refreshes: the first replaces the held array, the second loads
    // into whatever array the first one left for reuse.
    dir.MakeFile(L"second");
    CheckHResult(folder->Refresh());
    dir.MakeFile(L"third");
    CheckHResult(folder->Refresh());
    ASSERT_EQ(kept->size(), 1u);
    EXPECT_EQ(std::wstring((*kept)[0].Name), L"first");
    EXPECT_EQ(Names(folder.get()), (std::vector<std::wstring>{L"first", L"second", L"third"}));

    // Unheld arrays are reused: a third refresh still lists everything.
    kept.reset();
    dir.MakeFile(L"fourth");
    CheckHResult(folder->Refresh());
    CheckHResult(folder->Refresh());
    EXPECT_EQ(Names(folder.get()), (std::vector<std::wstring>{L"first", L"fourth", L"second", L"third"}));
}
