// The shell namespace as Wine really has it: the desktop, My Computer with
// its drive roots, and the way their items open.

// Own
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"
#include "folders/UFolders.h"

// Toolkit
#include "lw/LStrings.h"

// Platform
#include <windows.h>

// Standard library
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

class TNameSpaceEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        OleInitialize(nullptr);
        FApplication = new T0Application;
        FApplication->CreateMainThread();
        FManager = new TFolderManager(nullptr);
    }
    void TearDown() override
    {
        T0Object::Free(FManager);
        for (int i = 0; i < 100 && FApplication->HasThreads(); ++i) {
            Sleep(20);
            FApplication->FreeFinishedThreads();
        }
        T0Object::Free(FApplication);
        OleUninitialize();
    }

private:
    T0Application* FApplication = nullptr;
    TFolderManager* FManager = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TNameSpaceEnvironment);

const wchar_t* const kMyComputer = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";

// Callers hold the application lock while they use the record.
const TFileItem* ItemNamed(IFolder* folder, std::wstring_view name)
{
    TSharedLock hold;
    for (int32_t i = 0; i < folder->GetCount(); ++i) {
        const TFileItem* item = folder->GetItem(i);
        if (std::wstring_view(item->Name, static_cast<size_t>(item->NameLen)) == name)
            return item;
    }
    return nullptr;
}

class TUpdateCounter : public TInterfaced<TInterfacedObject, IObserver> {
public:
    void STDMETHODCALLTYPE Update() override { ++Count; }
    std::atomic<int> Count{0};
};

} // namespace

TEST(NameSpace, MyComputerListsTheDriveRoots)
{
    ComPtr<IFolder> computer = FolderManager()->Folder(ParsePath(kMyComputer));
    ASSERT_TRUE(computer->IsReady());
    ComPtr<INameSpace> ns = computer.as<INameSpace>();
    ASSERT_TRUE(ns) << "a namespace folder";
    EXPECT_TRUE(ns->IsMyComputer());
    EXPECT_FALSE(ns->IsDesktop());
    EXPECT_EQ(computer->GetCapabilities(), kHasParent);
    EXPECT_TRUE(computer.as<IShellFolder>()) << "the shell folder is handed out";

    const TFileItem* c = ItemNamed(computer.get(), L"C:\\");
    const TFileItem* z = ItemNamed(computer.get(), L"Z:\\");
    ASSERT_NE(c, nullptr);
    ASSERT_NE(z, nullptr);
    for (const TFileItem* drive : {c, z}) {
        EXPECT_EQ(drive->Kind, kKindDriveRoot);
        EXPECT_NE(drive->ChildIDList, nullptr);
        EXPECT_GT(drive->DisplayNameLen, 0);
        EXPECT_NE(drive->Caps & kCanEnter, 0);
        EXPECT_EQ(drive->AuxNumber, kNoAuxNumber);
    }
    EXPECT_EQ(c->Drive.DriveType, DRIVE_FIXED);
    EXPECT_GT(c->Size, 0) << "a fixed drive shows its total size";
    EXPECT_GT(c->Drive.FileSystemNameLen, 0);
    EXPECT_EQ(c->Drive.FileSystemName[c->Drive.FileSystemNameLen], L'\0');

    // A drive root opens as a directory: its path carries no ID list.
    TPath drivePath;
    computer->GetItemPath(c, &drivePath);
    EXPECT_EQ(drivePath.IDList, nullptr);
    EXPECT_EQ(drivePath.PathView(), L"C:\\");
    ComPtr<IFolder> drive = FolderManager()->Folder(drivePath);
    EXPECT_TRUE(drive.as<IDirectory>());
    EXPECT_TRUE(drive.as<IDirectory>()->IsRoot());

    // Up from My Computer is the desktop, which contains it.
    TPath parent;
    computer->GetParentPath(&parent);
    ASSERT_NE(parent.IDList, nullptr);
    EXPECT_TRUE(IsEmptyIDList(parent.IDList));
    EXPECT_TRUE(computer->IsWithin(&parent));
    TPath self;
    computer->GetPath(&self);
    EXPECT_TRUE(computer->IsWithin(&self));
    TPath directory = TPath::FromPath(L"C:\\");
    EXPECT_FALSE(computer->IsWithin(&directory));
    WideString text;
    EXPECT_TRUE(FAILED(computer->SetPath(text.get()))) << "a namespace folder cannot be relocated";
}

TEST(NameSpace, TheDesktopIsWatchedThroughItsDirectory)
{
    ComPtr<IFolder> desktop = FolderManager()->Folder(ParsePath(L""));
    ASSERT_TRUE(desktop->IsReady());
    ComPtr<INameSpace> ns = desktop.as<INameSpace>();
    ASSERT_TRUE(ns);
    EXPECT_TRUE(ns->IsDesktop());
    EXPECT_EQ(desktop->GetCapabilities(), kCanModify);
    WideString display;
    desktop->GetDisplayPath(display.put());
    EXPECT_GT(display.length(), 0u);

    std::wstring directory = SpecialFolderPath(CSIDL_DESKTOPDIRECTORY);
    ASSERT_FALSE(directory.empty());
    CreateDirectoryW(directory.c_str(), nullptr);
    ComPtr<TUpdateCounter> view(new TUpdateCounter);
    desktop->Attach(view.get());
    std::wstring file = directory + L"nimbra-desktop-test-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    {
        UniqueFileHandle created(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(created);
    }
    for (int i = 0; i < 150 && view->Count == 0; ++i) {
        Sleep(20);
        Application()->IdleStep();
    }
    EXPECT_GE(view->Count, 1) << "a file made on the desktop refreshes the desktop folder";
    std::wstring name = ExtractFileName(file);
    bool listed = false;
    TSharedLock hold;
    for (int32_t i = 0; i < desktop->GetCount(); ++i) {
        const TFileItem* item = desktop->GetItem(i);
        listed |= std::wstring_view(item->DisplayName, static_cast<size_t>(item->DisplayNameLen)) == name;
    }
    EXPECT_TRUE(listed) << UnicodeToUtf8(name);
    desktop->Detach(view.get());
    DeleteFileW(file.c_str());
}

TEST(NameSpace, ItemsKeepTheShellsOrder)
{
    ComPtr<IFolder> computer = FolderManager()->Folder(ParsePath(kMyComputer));
    ComPtr<IShellFolder> shell = computer.as<IShellFolder>();
    ASSERT_TRUE(shell);
    TSharedLock hold;
    for (int32_t i = 1; i < computer->GetCount(); ++i) {
        HRESULT hr = shell->CompareIDs(0, computer->GetItem(i - 1)->ChildIDList, computer->GetItem(i)->ChildIDList);
        EXPECT_LE(static_cast<short>(HRESULT_CODE(hr)), 0) << "item " << i;
    }
    EXPECT_EQ(computer->GetCapabilities() & kCanSort, 0) << "the view keeps this order";
}

TEST(NameSpace, ShellObjectsStayOnTheThreadThatMadeThem)
{
    // The folder is made and loaded on another thread, as the desktop is
    // reloaded by its watcher thread; that thread keeps the shell folder it
    // was handed until this one has its own.
    ComPtr<IFolder> computer;
    IShellFolder* boundThere = nullptr;
    UniqueHandle bound(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle compared(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread maker([&] {
        HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            computer = NewNameSpace(ParsePath(kMyComputer));
            ComPtr<IShellFolder> shell = computer.as<IShellFolder>();
            boundThere = shell.get();
            SetEvent(bound.get());
            WaitForSingleObject(compared.get(), 10000);
        }
        if (SUCCEEDED(com))
            CoUninitialize();
    });
    WaitForSingleObject(bound.get(), 10000);
    ComPtr<IShellFolder> here = computer.as<IShellFolder>();
    SetEvent(compared.get());
    maker.join();

    ASSERT_NE(boundThere, nullptr);
    ASSERT_TRUE(here);
    EXPECT_NE(here.get(), boundThere) << "a shell folder made on another thread was handed to this one";
    TSharedLock hold;
    ASSERT_GE(computer->GetCount(), 2);
    HRESULT hr = here->CompareIDs(0, computer->GetItem(0)->ChildIDList, computer->GetItem(1)->ChildIDList);
    EXPECT_TRUE(SUCCEEDED(hr)) << "the items' ID lists are good for this thread's shell folder";
}
