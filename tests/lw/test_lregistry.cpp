// Registry access against keys made for the run under
// HKEY_CURRENT_USER\Software\NimbraTest-<pid>, removed again afterwards.
#include "lw/LRegistry.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LObjects.h"

// Platform
#include <windows.h>

// Standard library
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::wstring TestRootPath()
{
    return L"Software\\NimbraTest-" + std::to_wstring(GetCurrentProcessId());
}

// Message of the ERegistryError that f raises; fails the test when none.
template <class F>
std::wstring RegistryErrorOf(F&& f)
{
    try {
        f();
    } catch (const ERegistryError& e) {
        return e.Message();
    }
    ADD_FAILURE() << "no ERegistryError";
    return {};
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FPath = TestRootPath();
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, FPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, FRaw.put(), nullptr),
                  ERROR_SUCCESS);
        FHive.reset(new TRegistryHive(HKEY_CURRENT_USER));
        FKey.reset(new TRegistryKey(FHive.get(), false, KEY_ALL_ACCESS, FPath));
    }

    // Runs after a failed assertion as well, so no run leaves keys behind.
    void TearDown() override
    {
        FKey.reset();
        FHive.reset();
        FRaw.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, FPath.c_str());
    }

    void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(RegSetValueExW(FRaw.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetText(const wchar_t* name, DWORD type, const std::wstring& text)
    {
        SetValue(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void MakeSubKey(const std::wstring& name)
    {
        UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(FRaw.get(), name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                  nullptr),
                  ERROR_SUCCESS);
    }

    std::wstring FPath;
    UniqueRegKey FRaw;
    TOwned<TRegistryHive> FHive;
    TOwned<TRegistryKey> FKey;
};

TEST_F(RegistryTest, MissingOrMistypedValues)
{
    // A key without a default value reads it as empty; a named value must exist.
    EXPECT_FALSE(FKey->ValueExists(L""));
    EXPECT_EQ(FKey->ReadString(L""), L"");
    EXPECT_FALSE(FKey->ValueExists(L"Missing"));
    EXPECT_EQ(RegistryErrorOf([&] { FKey->ReadString(L"Missing"); }), L"\"Missing\"のデータ型が不正です");

    // A value of another type counts as missing, with the same rule.
    DWORD number = 7;
    SetValue(L"", REG_DWORD, &number, sizeof number);
    SetValue(L"数値", REG_DWORD, &number, sizeof number);
    EXPECT_TRUE(FKey->ValueExists(L""));
    EXPECT_TRUE(FKey->ValueExists(L"数値"));
    std::wstring value = L"stale";
    FKey->ReadString(L"", value);
    EXPECT_EQ(value, L"");
    EXPECT_EQ(RegistryErrorOf([&] { FKey->ReadString(L"数値"); }), L"\"数値\"のデータ型が不正です");

    SetText(L"", REG_SZ, L"既定の値");
    EXPECT_EQ(FKey->ReadString(L""), L"既定の値");
}

TEST_F(RegistryTest, ExpandableTextIsExpandedPlainTextIsNot)
{
    ASSERT_TRUE(SetEnvironmentVariableW(L"NIMBRA_REG_TEST", L"C:\\ニンブラ"));
    wchar_t systemRoot[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH), 0u);

    SetText(L"plain", REG_SZ, L"%NIMBRA_REG_TEST%\\bin");
    SetText(L"own", REG_EXPAND_SZ, L"%NIMBRA_REG_TEST%\\bin");
    SetText(L"system", REG_EXPAND_SZ, L"%SystemRoot%\\notepad.exe");
    SetText(L"unknown", REG_EXPAND_SZ, L"%NIMBRA_NO_SUCH_VARIABLE%");
    SetText(L"", REG_EXPAND_SZ, L"[%NIMBRA_REG_TEST%]");

    EXPECT_EQ(FKey->ReadString(L"plain"), L"%NIMBRA_REG_TEST%\\bin");
    EXPECT_EQ(FKey->ReadString(L"own"), L"C:\\ニンブラ\\bin");
    EXPECT_EQ(FKey->ReadString(L"system"), std::wstring(systemRoot) + L"\\notepad.exe");
    EXPECT_EQ(FKey->ReadString(L"unknown"), L"%NIMBRA_NO_SUCH_VARIABLE%");
    EXPECT_EQ(FKey->ReadString(L""), L"[C:\\ニンブラ]");

    // Expansions far longer than the stored text.
    const std::wstring longText(3000, L'x');
    ASSERT_TRUE(SetEnvironmentVariableW(L"NIMBRA_REG_TEST", longText.c_str()));
    EXPECT_EQ(FKey->ReadString(L"own"), longText + L"\\bin");
    SetEnvironmentVariableW(L"NIMBRA_REG_TEST", nullptr);
}

TEST_F(RegistryTest, TextDataOfAnyShapeIsReadSafely)
{
    // The source text always continues past the stored bytes with a
    // character that is not zero, so the system stores exactly `size`
    // bytes and adds no terminator of its own.
    struct Row {
        const wchar_t* source;
        DWORD size;
        const wchar_t* expected;
    };
    const Row rows[] = {
        {L"abc\0X", 8, L"abc"},      // terminated
        {L"abcX", 6, L"abc"},        // no terminator: the last character stays
        {L"abcX", 7, L"abc"},        // odd size: the half character is dropped
        {L"abc\0X", 9, L"abc"},      // terminated, then a stray byte
        {L"ab\0cd\0X", 12, L"ab"},   // the text ends at the first zero
        {L"aX", 2, L"a"},            // one character, no terminator
        {L"ZaX" + 1, 1, L""},       // below one character; the system looks one back
        {L"\0X", 2, L""},            // just the terminator
        {L"X", 0, L""},              // no data at all
    };
    for (const Row& row : rows) {
        for (DWORD type : {DWORD(REG_SZ), DWORD(REG_EXPAND_SZ)}) {
            SCOPED_TRACE(testing::Message() << "size " << row.size << " type " << type);
            SetValue(L"shape", type, row.source, row.size);
            ASSERT_EQ(FKey->ReadData(L"shape", nullptr, 0), row.size) << "stored differently than meant";
            EXPECT_EQ(FKey->ReadString(L"shape"), row.expected);
        }
    }
}

// Records the names it is given and answers true at `stopAt`.
struct TVisit {
    T0Registry* expectedSender;
    std::wstring stopAt;
    std::vector<std::wstring> names;
};

bool RecordSubKey(T0Registry* sender, const wchar_t* name, void* data)
{
    auto* visit = static_cast<TVisit*>(data);
    EXPECT_EQ(sender, visit->expectedSender);
    visit->names.push_back(name);
    return visit->stopAt == name;
}

TEST_F(RegistryTest, EnumerationFollowsIndexOrderAndStopsAtFirstTrue)
{
    const std::vector<std::wstring> made = {L"delta", L"alpha", L"長い名前のサブキー", L"charlie", L"bravo"};
    for (const auto& name : made)
        MakeSubKey(name);
    // The order the system gives by index, read directly.
    std::vector<std::wstring> byIndex;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(FRaw.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        byIndex.push_back(name);
    }
    ASSERT_EQ(byIndex.size(), made.size());

    TVisit all{FKey.get(), L"", {}};
    FKey->EnumSubKeys(RecordSubKey, &all);
    EXPECT_EQ(all.names, byIndex);

    TVisit some{FKey.get(), byIndex[2], {}};
    FKey->EnumSubKeys(RecordSubKey, &some);
    EXPECT_EQ(some.names, std::vector<std::wstring>(byIndex.begin(), byIndex.begin() + 3));

    // The lambda form, stopping at once.
    std::vector<std::wstring> seen;
    FKey->EnumSubKeys([&](std::wstring_view subKey) {
        seen.emplace_back(subKey);
        return true;
    });
    EXPECT_EQ(seen, std::vector<std::wstring>{byIndex[0]});

    // A key without subkeys calls nothing.
    TOwned<TRegistryKey> leaf(new TRegistryKey(FKey.get(), false, KEY_READ, L"alpha"));
    int calls = 0;
    leaf->EnumSubKeys([&](std::wstring_view) { return ++calls, false; });
    EXPECT_EQ(calls, 0);
}

TEST_F(RegistryTest, EnumeratingAKeyThatIsGoneIsRefused)
{
    MakeSubKey(L"doomed\\child");
    TOwned<TRegistryKey> doomed(new TRegistryKey(FKey.get(), false, KEY_READ, L"doomed"));
    ASSERT_EQ(RegDeleteTreeW(FRaw.get(), L"doomed"), ERROR_SUCCESS);

    TRegistryKeyInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_FALSE(doomed->GetInfo(info));
    EXPECT_EQ(info.NumSubKeys, 0u);
    EXPECT_EQ(info.LastWriteTime.dwHighDateTime, 0u);
    EXPECT_EQ(RegistryErrorOf([&] { doomed->EnumSubKeys([](std::wstring_view) { return false; }); }),
              L"許されない操作です");
}

TEST_F(RegistryTest, KeysExistOpenAndCreate)
{
    MakeSubKey(L"outer\\inner");
    EXPECT_TRUE(FKey->KeyExists(L"outer"));
    EXPECT_TRUE(FKey->KeyExists(L"outer\\inner"));
    EXPECT_FALSE(FKey->KeyExists(L"inner"));
    EXPECT_FALSE(FKey->KeyExists(L"outer\\missing"));
    EXPECT_TRUE(FHive->KeyExists(FPath + L"\\outer"));

    // Opening a missing key names it, whether the parent is an object or a handle.
    auto openError = [](auto parent, const wchar_t* name) {
        return RegistryErrorOf([&] { TOwned<TRegistryKey>(new TRegistryKey(parent, false, KEY_READ, name)); });
    };
    EXPECT_EQ(openError(FKey.get(), L"存在しない\\キー"), L"\"存在しない\\キー\"を開けませんでした");
    EXPECT_EQ(openError(FRaw.get(), L"nothing"), L"\"nothing\"を開けませんでした");

    // Create makes every missing level of the path.
    TOwned<TRegistryKey> made(new TRegistryKey(FHive.get(), true, KEY_READ | KEY_WRITE, FPath + L"\\new\\deeper"));
    EXPECT_EQ(made->Access(), static_cast<REGSAM>(KEY_READ | KEY_WRITE));
    EXPECT_NE(made->Key(), nullptr);
    EXPECT_TRUE(FKey->KeyExists(L"new\\deeper"));
    ASSERT_EQ(RegSetValueExW(made->Key(), L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"ok"), 6), ERROR_SUCCESS);
    // Creating an existing key opens it.
    TOwned<TRegistryKey> again(new TRegistryKey(FRaw.get(), true, KEY_READ, L"new\\deeper"));
    EXPECT_EQ(again->ReadString(L"v"), L"ok");

    // The key is closed with its object; the hive's root is not.
    HKEY handle = again->Key();
    again.reset();
    DWORD count = 0;
    EXPECT_NE(RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    TOwned<TRegistryHive>(new TRegistryHive(HKEY_CURRENT_USER)).reset();
    EXPECT_TRUE(FHive->KeyExists(FPath));
}

TEST_F(RegistryTest, InfoCountsSubKeysAndValues)
{
    MakeSubKey(L"short");
    MakeSubKey(L"a_longer_name");
    SetText(L"", REG_SZ, L"default");
    SetText(L"name_of_twelve", REG_SZ, L"x");
    BYTE blob[40] = {};
    SetValue(L"blob", REG_BINARY, blob, sizeof blob);

    TRegistryKeyInfo info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_TRUE(FKey->GetInfo(info));
    EXPECT_EQ(info.NumSubKeys, 2u);
    EXPECT_EQ(info.MaxSubKeyLen, 13u);
    EXPECT_EQ(info.NumValues, 3u);
    EXPECT_EQ(info.MaxValueNameLen, 14u);
    EXPECT_EQ(info.MaxValueLen, 40u);
    EXPECT_TRUE(info.LastWriteTime.dwLowDateTime != 0 || info.LastWriteTime.dwHighDateTime != 0);
}

TEST_F(RegistryTest, ReadDataCopiesTheBytes)
{
    const BYTE bytes[] = {1, 2, 3, 0, 255};
    SetValue(L"bin", REG_BINARY, bytes, sizeof bytes);

    BYTE buffer[16];
    std::memset(buffer, 0xCC, sizeof buffer);
    ASSERT_EQ(FKey->ReadData(L"bin", buffer, sizeof buffer), sizeof bytes);
    EXPECT_EQ(std::memcmp(buffer, bytes, sizeof bytes), 0);
    EXPECT_EQ(buffer[sizeof bytes], 0xCC);
    EXPECT_EQ(FKey->ReadData(L"bin", nullptr, 0), sizeof bytes);

    EXPECT_EQ(RegistryErrorOf([&] { FKey->ReadData(L"bin", buffer, 4); }), L"\"bin\"の取得に失敗しました");
    EXPECT_EQ(RegistryErrorOf([&] { FKey->ReadData(L"gone", buffer, sizeof buffer); }),
              L"\"gone\"の取得に失敗しました");
}

TEST(RegistryHive, OnlyPredefinedRoots)
{
    // The platform's own constants: sign-extended on 64-bit Windows.
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                          HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};
    for (HKEY root : roots) {
        TOwned<TRegistryHive> hive;
        EXPECT_NO_THROW(hive.reset(new TRegistryHive(root))) << root;
        if (hive) {
            EXPECT_EQ(hive->Key(), root);
        }
    }
    // A real read through a hive, which a refused root would never reach.
    TOwned<TRegistryHive> machine(new TRegistryHive(HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(machine->KeyExists(L"Software"));

    const auto next = reinterpret_cast<ULONG_PTR>(HKEY_DYN_DATA) + 1;
    for (ULONG_PTR root : {next, ULONG_PTR(0x7FFFFFFF), ULONG_PTR(0x1234), ULONG_PTR(0)}) {
        try {
            TOwned<TRegistryHive> hive(new TRegistryHive(reinterpret_cast<HKEY>(root)));
            ADD_FAILURE() << "accepted " << std::hex << root;
        } catch (const EAssertionFailed& e) {
            EXPECT_EQ(e.Unit(), L"LRegistry");
            // The whole handle is named, not its low half.
            wchar_t text[32];
            swprintf(text, 32, L"0x%08llX", static_cast<unsigned long long>(root));
            EXPECT_NE(e.Message().find(text), std::wstring::npos) << root;
        }
    }
}

} // namespace
