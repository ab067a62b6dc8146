// The small shared helpers: exceptions and their trip across COM calls,
// resource owners, counted references and text conversions.

// Toolkit
#include "lw/LComPtr.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Platform
#include <windows.h>

#include <gtest/gtest.h>

TEST(Exceptions, OSErrorCarriesCodeAndSystemText)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    try {
        RaiseLastOSError(L"C:\\missing");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(e.Message().rfind(L"C:\\missing: ", 0), 0u) << e.what();
        EXPECT_EQ(e.Message().substr(12), SysErrorMessage(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(SysErrorMessage(ERROR_FILE_NOT_FOUND).empty());
        EXPECT_NE(e.Message().back(), L'\n');
    }
    // A code the system has no text for still gets a message.
    EXPECT_NE(SysErrorMessage(0x2FFFFFFF).find(L"805306367"), std::wstring::npos);
}

TEST(Exceptions, AssertNamesTheUnit)
{
    EXPECT_NO_THROW(Assert(true, L"LTest", L"never"));
    try {
        Assert(false, L"LTest", L"壊れた");
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), L"LTest");
        EXPECT_EQ(e.Message(), L"壊れた (LTest)");
        EXPECT_STREQ(e.what(), "壊れた (LTest)");
    }
}

TEST(Exceptions, NarrowMessageIsUtf8OfWholeCharacters)
{
    // A character outside the basic plane comes out as one character, as the
    // system's own conversion gives it.
    std::wstring text = L"𠮷野家: ファイル\x00E9";
    EXPECT_EQ(std::string(Exception(text).what()), UnicodeToUtf8(text));
    EXPECT_STREQ(Exception(text).what(), "\xF0\xA0\xAE\xB7\xE9\x87\x8E\xE5\xAE\xB6: \xE3\x83\x95\xE3\x82\xA1"
                                         "\xE3\x82\xA4\xE3\x83\xAB\xC3\xA9");
    // Half a pair is no character: the replacement character stands for it,
    // at the end of the text as well as before another character.
    std::wstring halves{L'a', wchar_t(0xD842), L'b', wchar_t(0xDFB7), wchar_t(0xD842)};
    EXPECT_STREQ(Exception(halves).what(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Exceptions, MessageSurvivesTheTripThroughAnHResult)
{
    HRESULT hr = GuardedCall([] { throw Exception(L"ファイルがありません"); });
    EXPECT_TRUE(FAILED(hr));
    try {
        CheckHResult(hr);
        FAIL();
    } catch (const EAbort&) {
        FAIL() << "not an abort";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), L"ファイルがありません");
    }

    hr = GuardedCall([] { throw EAbort(); });
    EXPECT_EQ(hr, E_ABORT);
    EXPECT_THROW(CheckHResult(hr), EAbort);

    EXPECT_EQ(GuardedCall([] {}), S_OK);
    EXPECT_NO_THROW(CheckHResult(S_OK));
    EXPECT_NO_THROW(CheckHResult(S_FALSE));

    // A failure without published text still raises, with the code's text.
    SetErrorInfo(0, nullptr);
    EXPECT_THROW(CheckHResult(E_ACCESSDENIED), EOSError);
}

TEST(Handles, OwnerClosesOnceAndMoves)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    DWORD flags = 0;
    {
        UniqueHandle event(raw);
        UniqueHandle moved(std::move(event));
        EXPECT_FALSE(event);
        EXPECT_EQ(moved.get(), raw);
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
    }
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "the handle must be closed";

    HANDLE kept = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        UniqueHandle owner(kept);
        EXPECT_EQ(owner.release(), kept);
    }
    EXPECT_TRUE(GetHandleInformation(kept, &flags)) << "a released handle stays open";
    CloseHandle(kept);

    // INVALID_HANDLE_VALUE is the empty state of file handles, not a handle.
    UniqueFileHandle file(CreateFileW(L"Z:\\no\\such\\dir\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file);
}

TEST(Handles, WideStringOwnsItsBStr)
{
    WideString empty;
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_EQ(empty.length(), 0u);
    EXPECT_EQ(empty.view(), L"");

    WideString text(L"日本語");
    EXPECT_EQ(text.view(), L"日本語");
    WideString embedded(std::wstring_view(L"a\0b", 3));
    EXPECT_EQ(embedded.length(), 3u);
    WideString copy = embedded;
    EXPECT_NE(copy.get(), embedded.get());
    EXPECT_EQ(copy.view(), embedded.view());

    BSTR slot = SysAllocString(L"old");
    AssignBStr(&slot, L"new");
    EXPECT_STREQ(slot, L"new");
    AssignBStr(&slot, L"");
    EXPECT_EQ(slot, nullptr);
}

// Interfaces with GUIDs must be declared at global scope.
struct ITestA : IUnknown {
    virtual int STDMETHODCALLTYPE A() = 0;
};
__CRT_UUID_DECL(ITestA, 0x0F1D2C3B, 0x4A59, 0x4687, 0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71)
struct ITestB : IUnknown {
    virtual int STDMETHODCALLTYPE B() = 0;
};
__CRT_UUID_DECL(ITestB, 0x0F1D2C3B, 0x4A59, 0x4687, 0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x72)
struct ITestC : IUnknown {};
__CRT_UUID_DECL(ITestC, 0x0F1D2C3B, 0x4A59, 0x4687, 0x9A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x73)

namespace {

class TBoth : public TInterfaced<TInterfacedObject, ITestA, ITestB> {
public:
    explicit TBoth(bool* freed) : FFreed(freed) {}
    ~TBoth() override { *FFreed = true; }
    int STDMETHODCALLTYPE A() override { return 1; }
    int STDMETHODCALLTYPE B() override { return 2; }

private:
    bool* FFreed;
};

} // namespace

TEST(ComPtr, InterfacedObjectIsFreedByItsLastReference)
{
    bool freed = false;
    {
        ComPtr<ITestA> a(new TBoth(&freed));
        ComPtr<ITestB> b = a.as<ITestB>();
        ASSERT_TRUE(b);
        EXPECT_EQ(b->B(), 2);
        EXPECT_FALSE(a.as<ITestC>());
        ComPtr<IUnknown> u1 = a.as<IUnknown>(), u2 = b.as<IUnknown>();
        EXPECT_EQ(u1.get(), u2.get()) << "IUnknown identity";
        ComPtr<ITestA> moved = std::move(a);
        EXPECT_FALSE(a);
        a = moved;
        a = a; // self-assignment keeps the reference
        EXPECT_EQ(a->A(), 1);
        EXPECT_FALSE(freed);
    }
    EXPECT_TRUE(freed);
}

TEST(Strings, Utf8AndCodePageConversions)
{
    const std::string utf8 = "日本語 ABC \xF0\x9F\x98\x80";
    std::wstring wide = Utf8ToUnicode(utf8);
    EXPECT_EQ(wide, L"日本語 ABC \U0001F600");
    EXPECT_EQ(UnicodeToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToUnicode(""), L"");
    // An invalid byte does not make the whole text vanish.
    EXPECT_EQ(Utf8ToUnicode("a\xFF" "b").front(), L'a');

    // Shift-JIS is the system code page of the Japanese systems the program targets.
    const std::string sjis = "\x93\xFA\x96\x7B";
    EXPECT_EQ(CodePageToUnicode(sjis, 932), L"日本");
    EXPECT_EQ(UnicodeToCodePage(L"日本", 932), sjis);
    EXPECT_EQ(GetACP(), 932u) << "tests run under the Japanese locale";
    EXPECT_EQ(UnicodeToAnsi(L"日本"), sjis);
}
