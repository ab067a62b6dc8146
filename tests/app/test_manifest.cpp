// The program's manifest: it is there, says the program takes long paths,
// and is the only one.

// Platform
#include <windows.h>

// Standard library
#include <string>

#include <gtest/gtest.h>

namespace {

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file(path, length);
    // The tests run from tests\, the program lives in bin\ beside it.
    std::wstring tests = file.substr(0, file.find_last_of(L'\\'));
    return tests.substr(0, tests.find_last_of(L'\\')) + L"\\bin\\nimbra.exe";
}

BOOL CALLBACK CountManifest(HMODULE, LPCWSTR, LPWSTR, LONG_PTR param)
{
    ++*reinterpret_cast<int*>(param);
    return TRUE;
}

} // namespace

TEST(Manifest, TheProgramDeclaresItselfLongPathAware)
{
    HMODULE program = LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr) << "cannot load the program's resources";
    int manifests = 0;
    EnumResourceNamesW(program, RT_MANIFEST, CountManifest, reinterpret_cast<LONG_PTR>(&manifests));
    EXPECT_EQ(manifests, 1);
    HRSRC resource = FindResourceW(program, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(program, resource)));
    std::string text(bytes, SizeofResource(program, resource));
    EXPECT_NE(text.find("<ws2:longPathAware>true</ws2:longPathAware>"), std::string::npos) << text;
    EXPECT_NE(text.find("http://schemas.microsoft.com/SMI/2016/WindowsSettings"), std::string::npos);
    FreeLibrary(program);
}
