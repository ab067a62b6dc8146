// Own
#include "app/nimyaml.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Standard library
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

// Test framework
#include <gtest/gtest.h>

namespace {

using Events = std::vector<std::string>;

// One event as text: "{key" mapping start, "[key" sequence start, "}" block
// end, "key=value" scalar (raw value), "." document end.
std::string Describe(const TYamlReader& reader)
{
    switch (reader.EventKind()) {
    case TYamlEvent::MappingStart:
        return "{" + reader.Key();
    case TYamlEvent::SequenceStart:
        return "[" + reader.Key();
    case TYamlEvent::BlockEnd:
        return "}";
    case TYamlEvent::Scalar:
        return reader.Key() + "=" + reader.Value();
    case TYamlEvent::DocumentEnd:
        return ".";
    default:
        return "?";
    }
}

bool IsReaderError(const std::string& message)
{
    return message == "YAML Error" || message == "YAML Structure Error" || message == "YAML Type Error" ||
           message == "YAML Initialization Error";
}

// Walks the whole document with Next. Ends with "." or "!" and the error
// message; "!endless" when the reader does not come to an end within a
// bound that every document of this size keeps.
Events Trace(const std::string& text, std::string_view expectedType = {})
{
    Events events;
    const size_t limit = 4 * text.size() + 64;
    try {
        ComPtr<TYamlReader> reader = NewYamlReader(expectedType, text);
        for (;;) {
            events.push_back(Describe(*reader));
            if (reader->EventKind() == TYamlEvent::DocumentEnd)
                break;
            if (events.size() > limit) {
                events.push_back("!endless");
                break;
            }
            reader->Next();
        }
    } catch (const Exception& e) {
        events.push_back(std::string("!") + e.what());
    }
    return events;
}

// Creates a reader and moves it onto the first scalar.
ComPtr<TYamlReader> AtFirstScalar(const std::string& text)
{
    ComPtr<TYamlReader> reader = NewYamlReader("", text);
    while (reader->EventKind() != TYamlEvent::Scalar)
        reader->Next();
    return reader;
}

// ReadWideString through a slot that already holds current, as a "var"
// argument does: an unmatched name must leave it as it was.
std::wstring ReadString(ISettingsReader* reader, const char* name, const std::wstring& current)
{
    BSTR slot = SysAllocStringLen(current.data(), static_cast<UINT>(current.size()));
    HRESULT hr = reader->ReadWideString(name, &slot);
    WideString owner = WideString::Attach(slot);
    CheckHResult(hr);
    return owner.str();
}

struct TraceRow {
    const char* name;
    std::string text;
    Events expected;
};

void CheckTraces(const std::vector<TraceRow>& rows)
{
    for (const TraceRow& row : rows)
        EXPECT_EQ(Trace(row.text), row.expected) << row.name;
}

TEST(YamlReader, ReadsBlocksAndScalars)
{
    CheckTraces({
        {"empty text", "", {"=", "."}},
        {"only comments", "# one\n\n   # two\n\t\n", {"=", "."}},
        {"flat mapping", "a: 1\nb: two\n", {"{", "a=1", "b=two", "}", "."}},
        {"no blank after colon or dash", "a:1\nb:\n -x\n", {"{", "a=1", "[b", "=x", "}", "}", "."}},
        {"comments and blank lines between entries", "a: 1\n\n# c\n   # d\nb: 2",
         {"{", "a=1", "b=2", "}", "."}},
        {"nested mapping", "outer:\n  inner: v\nnext: n",
         {"{", "{outer", "inner=v", "}", "next=n", "}", "."}},
        {"nested sequence", "list:\n  - x\n  - y\n", {"{", "[list", "=x", "=y", "}", "}", "."}},
        {"empty value before same level", "a:\nb: c\n", {"{", "a=", "b=c", "}", "."}},
        {"empty value before lower level", "a:\n  b:\nc: d", {"{", "{a", "b=", "}", "c=d", "}", "."}},
        {"empty value at the end", "a:", {"{", "a=", "}", "."}},
        {"several blocks close at once", "a:\n  b:\n    c: 1\nd: 2",
         {"{", "{a", "{b", "c=1", "}", "}", "d=2", "}", "."}},
        {"value that looks like a key opens an inline mapping", "caption: abc: def\nnext: x",
         {"{", "{caption", "abc=def", "}", "next=x", "}", "."}},
        {"quoted such value stays a scalar", "caption: 'abc: def'", {"{", "caption='abc: def'", "}", "."}},
        {"dash blank dash", "- -\n", {"[", "=-", "}", "."}},
        {"plain value keeps trailing blanks and comment", "a: b  # c  \nd: e",
         {"{", "a=b  # c  ", "d=e", "}", "."}},
        {"comment right after the colon is the value", "a: # x", {"{", "a=# x", "}", "."}},
        {"sequence of inline mappings", "- key: A\n  action: Copy\n- key: B\n",
         {"[", "{", "key=A", "action=Copy", "}", "{", "key=B", "}", "}", "."}},
        {"sequence item holding a block", "-\n  a: 1\n- b", {"[", "{", "a=1", "}", "=b", "}", "."}},
        {"key characters", "a_b*c+d@e-f9: 1", {"{", "a_b*c+d@e-f9=1", "}", "."}},
        {"UTF-8 key and value", "名前: 値\n", {"{", "名前=値", "}", "."}},
        {"CRLF line ends", "a: 1\r\nb:\r\n  - x\r\n", {"{", "a=1", "[b", "=x", "}", "}", "."}},
        {"CR line ends", "a: 1\rb: 2\r", {"{", "a=1", "b=2", "}", "."}},
        {"byte-order mark", "\xEF\xBB\xBF" "a: 1", {"{", "a=1", "}", "."}},
        {"header with comment", "--- !Nimbra # settings\na: 1", {"{", "a=1", "}", "."}},
    });
}

TEST(YamlReader, TabsCountAs256Columns)
{
    CheckTraces({
        {"tab block", "a:\n\tb: 1\n\tc: 2\nd: 3", {"{", "{a", "b=1", "c=2", "}", "d=3", "}", "."}},
        {"spaces under a tab nest deeper", "a:\n\tb:\n\t  c: 1\n\td: 2",
         {"{", "{a", "{b", "c=1", "}", "d=2", "}", "}", "."}},
        {"a tab outranks spaces", "a:\n   b:\n\tc: 1\n", {"{", "{a", "{b", "c=1", "}", "}", "}", "."}},
        {"a tab rounds up, it does not add", "a:\n  \tb: 1\n\tc: 2\n", {"{", "{a", "b=1", "c=2", "}", "}", "."}},
        {"a width between two levels continues the outer block", "a:\n\t b: 1\n\tc: 2",
         {"{", "{a", "b=1", "}", "c=2", "}", "."}},
    });
}

TEST(YamlReader, LiteralBlocks)
{
    CheckTraces({
        {"indentation and line breaks kept", "menu: |\n  one\n    two\n  three\nnext: x",
         {"{", "menu=  one\n    two\n  three\n", "next=x", "}", "."}},
        {"ended by an empty line", "m: |\n  a\n\nn: c\n", {"{", "m=  a\n", "n=c", "}", "."}},
        {"ended by less indentation", "x:\n  m: |\n    a\n  n: c\n",
         {"{", "{x", "m=    a\n", "n=c", "}", "}", "."}},
        {"CRLF kept", "m: |\r\n  a\r\n  b\r\nn: c", {"{", "m=  a\r\n  b\r\n", "n=c", "}", "."}},
        {"runs to the end of the text", "m: |\n  a\n  b", {"{", "m=  a\n  b", "}", "."}},
        {"whole document", "|\nanything: goes\n  here", {"=anything: goes\n  here", "."}},
        {"not indented deeper", "m: |\nabc\n", {"{", "!YAML Error"}},
        {"empty first line", "m: |\n\n  abc\n", {"{", "!YAML Error"}},
        {"no line break after the bar", "m: | x\n", {"{", "!YAML Error"}},
        {"bar at the end of the text", "m: |", {"{", "!YAML Error"}},
    });
}

TEST(YamlReader, ScanningFailures)
{
    CheckTraces({
        {"deeper line without an opener", "a: 1\n  b: 2\n", {"{", "!YAML Error"}},
        {"deeper line after a literal block", "x:\n  m: |\n     a\n    b\n", {"{", "{x", "!YAML Error"}},
        {"missing colon", "abc def\n", {"{", "!YAML Error"}},
        {"key starts with a non-key byte", "%a: 1", {"{", "!YAML Error"}},
        {"indented first line", "  a: 1", {"{", "!YAML Error"}},
    });

    ComPtr<TYamlReader> reader = NewYamlReader("", "a: 1\nb c\n");
    reader->Next();
    EXPECT_THROW(reader->Next(), Exception);
    EXPECT_EQ(reader->EventKind(), TYamlEvent::None);
    // A failed reader stays failed.
    try {
        reader->Next();
        FAIL() << "Next after a failure succeeded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), L"YAML Error");
    }
}

TEST(YamlReader, HeaderAndTypeTag)
{
    struct Row {
        std::string text;
        const char* expectedType;
        const char* error;
    };
    const Row rows[] = {
        {"--- !Nimbra\na: 1", "Nimbra", ""},
        {"--- \t!  Nimbra  \r\n\r\na: 1", "Nimbra", ""},
        {"\xEF\xBB\xBF--- !Nimbra\na: 1", "Nimbra", ""},
        {"---\na: 1", "Nimbra", ""},
        {"a: 1", "Nimbra", ""},
        {"--- !Nim\na: 1", "Nimbra", ""},
        {"--- !Other\na: 1", "", ""},
        {"--- !Nimbra2\na: 1", "Nimbra", "YAML Type Error"},
        {"--- !Other\na: 1", "Nimbra", "YAML Type Error"},
        {"--- !nimbra\na: 1", "Nimbra", "YAML Type Error"},
        {"--- !\na: 1", "Nimbra", "YAML Initialization Error"},
        {"--- !-x\na: 1", "", "YAML Initialization Error"},
    };
    for (const Row& row : rows) {
        std::string last = Trace(row.text, row.expectedType).back();
        EXPECT_EQ(last[0] == '!' ? last.substr(1) : "", row.error) << row.text;
    }
}

TEST(YamlReader, DocumentEndRepeats)
{
    ComPtr<TYamlReader> reader = NewYamlReader("", "a: 1");
    for (int i = 0; i < 3; ++i)
        reader->Next();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(reader->EventKind(), TYamlEvent::DocumentEnd);
        EXPECT_EQ(reader->Key(), "");
        reader->Next();
    }
}

TEST(YamlReader, GetValueUnquotesAndUnescapes)
{
    struct Row {
        std::string raw;
        std::wstring expected;
    };
    const Row rows[] = {
        {"plain", L"plain"},
        {"'it''s'", L"its"},
        {"it\\x27s", L"it's"},
        {"\"it\\x27s\"", L"it's"},
        {"'a\\nb'", L"a\\nb"},
        {"\"a\\nb\"", L"a\nb"},
        {"a\\Nb\\tc\\Rd\\Te", L"a\nb\tc\rd\te"},
        {"\"say 'hi'\"", L"say 'hi'"},
        {"'say \"hi\"'", L"say \"hi\""},
        {"\\#x \\\\ \\\" \\' \\q", L"#x \\ \" ' q"},
        {"abc\\", L"abc"},
        {"\\x41\\x6a\\X4A", L"AjJ"},
        {"\\x", L""},
        {"\\xg1", L"g1"},
        {"\\x4", L""},
        {"\\x4g", L"g"},
        {"\\x4\\n", L"\n"},
        {"\\x'q'", L"q"},
        {"'unterminated", L"unterminated"},
        {"日本語", L"日本語"},
        {"\\xE6\\x97\\xA5", L"日"},
    };
    for (const Row& row : rows) {
        ComPtr<TYamlReader> reader = AtFirstScalar("k: " + row.raw);
        EXPECT_EQ(reader->Value(), row.raw);
        EXPECT_EQ(reader->GetValue(), row.expected) << row.raw;
    }
}

TEST(YamlReader, LowerCaseKeyTouchesAsciiLettersOnly)
{
    ComPtr<TYamlReader> reader = AtFirstScalar("Flat-Scroll-BAR_Ä9: 1");
    reader->LowerCaseKey();
    EXPECT_EQ(reader->Key(), "flat-scroll-bar_Ä9");
}

TEST(YamlParse, Integers)
{
    struct Row {
        const char* text;
        std::optional<int32_t> expected;
    };
    // The prefixes and the typed reads themselves are covered through the
    // interface below; these rows are about the edges of the syntax.
    const Row rows[] = {
        {"+7", 7}, {"-$10", -16}, {"$ff", 255}, {"0X1F", 31}, {"007", 7},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"$80000005", INT32_MIN + 5},
        {"2147483648", {}}, {"-2147483649", {}}, {"$100000000", {}}, {"99999999999999999999999", {}},
        {"", {}}, {"-", {}}, {"$", {}}, {"0x", {}}, {" 1", {}}, {"1 ", {}}, {"1a", {}},
        {"$G", {}}, {"--1", {}}, {"+-1", {}}, {"0b1", {}}, {"$-1", {}},
    };
    for (const Row& row : rows) {
        int32_t value = 12345;
        EXPECT_EQ(YamlParseInteger32(row.text, value), row.expected.has_value()) << row.text;
        EXPECT_EQ(value, row.expected.value_or(12345)) << row.text;
    }

    int64_t wide = 0;
    EXPECT_TRUE(YamlParseInteger64("-9223372036854775808", wide));
    EXPECT_EQ(wide, INT64_MIN);
    EXPECT_TRUE(YamlParseInteger64("$FFFFFFFFFFFFFFFF", wide));
    EXPECT_EQ(wide, -1);
    EXPECT_FALSE(YamlParseInteger64("9223372036854775808", wide));
    EXPECT_FALSE(YamlParseInteger64("$10000000000000000", wide));
}

// The typed reads of the interface all parse the raw value.
TEST(SettingsReader, TypedReadsParseTheRawValue)
{
    struct Row {
        const char* value;
        std::optional<int32_t> integer;
        std::optional<uint32_t> cardinal;
        std::optional<uint8_t> byte;
        std::optional<bool> boolean;
    };
    const Row rows[] = {
        {"-5", -5, 0xFFFFFFFBu, 0xFB, true},
        {"$FF", 255, 255, 255, true},
        {"0x1f", 31, 31, 31, true},
        {"X10", 16, 16, 16, true},
        {"0", 0, 0, 0, false},
        {"$1FF", 0x1FF, 0x1FF, 0xFF, true},
        {"4294967297", {}, 1, {}, true},
        {"$123456789", {}, 0x23456789u, {}, true},
        {"\"5\"", {}, {}, {}, {}},
        {"true", {}, {}, {}, true},
        {"FALSE", {}, {}, {}, false},
        {"tRuE", {}, {}, {}, true},
        {"yes", {}, {}, {}, {}},
        {"'true'", {}, {}, {}, {}},
    };
    for (const Row& row : rows) {
        ComPtr<TYamlReader> reader = AtFirstScalar(std::string("n: ") + row.value);
        int32_t integer = 12345;
        uint32_t cardinal = 777;
        uint8_t byte = 7;
        ASSERT_EQ(reader->ReadInteger("n", &integer), S_OK);
        ASSERT_EQ(reader->ReadCardinal("n", &cardinal), S_OK);
        ASSERT_EQ(reader->ReadByte("n", &byte), S_OK);
        EXPECT_EQ(integer, row.integer.value_or(12345)) << row.value;
        EXPECT_EQ(cardinal, row.cardinal.value_or(777)) << row.value;
        EXPECT_EQ(byte, row.byte.value_or(7)) << row.value;
        for (bool preset : {false, true}) {
            bool boolean = preset;
            ASSERT_EQ(reader->ReadBoolean("n", &boolean), S_OK);
            EXPECT_EQ(boolean, row.boolean.value_or(preset)) << row.value;
        }
    }
}

TEST(SettingsReader, NamedReadsMatchTheKeyExactly)
{
    ComPtr<TYamlReader> reader = AtFirstScalar("Name: \"a\\tb\"");
    int32_t i = 1;
    wchar_t ch = L'x';
    EXPECT_EQ(ReadString(reader.get(), "name", L"old"), L"old");
    EXPECT_EQ(ReadString(reader.get(), "Nam", L"old"), L"old");
    EXPECT_EQ(ReadString(reader.get(), nullptr, L"old"), L"old");
    ASSERT_EQ(reader->ReadInteger("Name", &i), S_OK);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(ReadString(reader.get(), "Name", L"old"), L"a\tb");
    ASSERT_EQ(reader->ReadWideChar("Name", &ch), S_OK);
    EXPECT_EQ(ch, L'a');
    EXPECT_EQ(reader->ReadInteger("Name", nullptr), E_POINTER);

    reader = AtFirstScalar("- 名前\n");
    WideString value;
    ASSERT_EQ(reader->ReadValue(value.put()), S_OK);
    EXPECT_EQ(value.str(), L"名前");
    ASSERT_EQ(reader->ReadWideChar("", &ch), S_OK);
    EXPECT_EQ(ch, L'名');

    reader = AtFirstScalar("empty:\nnext: 1");
    ASSERT_EQ(reader->ReadWideChar("empty", &ch), S_OK);
    EXPECT_EQ(ch, L'\0');
}

TEST(YamlReader, SkipConsumesTheWholeNode)
{
    const std::string text = "a:\n  b:\n    c: 1\n  d: 2\ne: 3\n";
    ComPtr<TYamlReader> reader = NewYamlReader("", text);
    reader->Next(); // {a
    reader->Skip();
    EXPECT_EQ(Describe(*reader), "e=3");
    reader->Skip();
    EXPECT_EQ(Describe(*reader), "}");
    reader->Skip();
    EXPECT_EQ(Describe(*reader), ".");

    reader = NewYamlReader("", text);
    reader->Next();
    reader->Next(); // {b
    reader->Skip();
    EXPECT_EQ(Describe(*reader), "d=2");

    reader = NewYamlReader("", text);
    reader->Skip(); // the whole document
    EXPECT_EQ(Describe(*reader), ".");
}

TEST(YamlReader, SkipFailureIsAStructureError)
{
    ComPtr<TYamlReader> reader = NewYamlReader("", "a:\n  b: 1\n    c: 2\nd: 3");
    reader->Next(); // {a
    try {
        reader->Skip();
        FAIL() << "Skip over a broken block succeeded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), L"YAML Structure Error");
    }
    EXPECT_EQ(reader->EventKind(), TYamlEvent::None);
}

// ---------------------------------------------------------------------------
// Reading a settings document the way the section readers do
// ---------------------------------------------------------------------------

const char* const kSample = R"(--- !Nimbra
# Nimbra settings
modules:
  - ArcZip.dll
  - ArcTar.dll
skin:
  font: "ＭＳ ゴシック"
  font-size: 9
  color:
    back: $FFFFFF
    text: $000000
    mark: $FF0000
  Flat-Scroll-Bar: TRUE
initial-filter: "*"
editor: "C:\\Program Files\\editor.exe"
key:
  - key: Ctrl+C
    action: Copy
  - key: F5
    Action: Refresh
    param:
      - 1
      - 2
menu:
  - caption: ファイル(&F)
    items: |
      Copy
        Move
      Delete

  - caption: 'Tools: extras'
    items: |
      Grep
)";

struct KeyBinding {
    std::wstring key, action;
};

struct MenuItem {
    std::wstring caption, items;
};

struct SampleSettings {
    std::vector<std::wstring> modules;
    std::wstring font, filter, editor;
    int32_t fontSize = 0, back = -1, text = -1, mark = -1;
    bool flatScrollBar = false;
    std::vector<KeyBinding> keys;
    std::vector<MenuItem> menu;
};

SampleSettings ReadSample(TYamlReader* reader)
{
    SampleSettings s;
    ReadMapping(reader, [&] {
        ReadArray(reader, "modules", s.modules, [&](int index) { s.modules[index] = ReadString(reader, "", L""); });
        s.filter = ReadString(reader, "initial-filter", s.filter);
        s.editor = ReadString(reader, "editor", s.editor);
        if (reader->Key() == "skin")
            ReadMapping(reader, [&] {
                s.font = ReadString(reader, "font", s.font);
                CheckHResult(reader->ReadInteger("font-size", &s.fontSize));
                CheckHResult(reader->ReadBoolean("flat-scroll-bar", &s.flatScrollBar));
                if (reader->Key() == "color")
                    ReadMapping(reader, [&] {
                        CheckHResult(reader->ReadInteger("back", &s.back));
                        CheckHResult(reader->ReadInteger("text", &s.text));
                        CheckHResult(reader->ReadInteger("mark", &s.mark));
                    });
            });
        ReadArray(reader, "key", s.keys, [&](int index) {
            ReadMapping(reader, [&] {
                s.keys[index].key = ReadString(reader, "key", s.keys[index].key);
                s.keys[index].action = ReadString(reader, "action", s.keys[index].action);
            });
        });
        ReadArray(reader, "menu", s.menu, [&](int index) {
            ReadMapping(reader, [&] {
                s.menu[index].caption = ReadString(reader, "caption", s.menu[index].caption);
                s.menu[index].items = ReadString(reader, "items", s.menu[index].items);
            });
        });
    });
    return s;
}

TEST(SettingsReader, ReadsARealisticDocument)
{
    ComPtr<TYamlReader> reader = NewYamlReader("Nimbra", kSample);
    SampleSettings s = ReadSample(reader.get());
    EXPECT_EQ(reader->EventKind(), TYamlEvent::BlockEnd);
    reader->Next();
    EXPECT_EQ(reader->EventKind(), TYamlEvent::DocumentEnd);

    EXPECT_EQ(s.modules, (std::vector<std::wstring>{L"ArcZip.dll", L"ArcTar.dll"}));
    EXPECT_EQ(s.font, L"ＭＳ ゴシック");
    EXPECT_EQ(s.fontSize, 9);
    EXPECT_EQ(s.back, 0xFFFFFF);
    EXPECT_EQ(s.text, 0);
    EXPECT_EQ(s.mark, 0xFF0000);
    EXPECT_TRUE(s.flatScrollBar);
    EXPECT_EQ(s.filter, L"*");
    EXPECT_EQ(s.editor, L"C:\\Program Files\\editor.exe");
    ASSERT_EQ(s.keys.size(), 2u);
    EXPECT_EQ(s.keys[0].key, L"Ctrl+C");
    EXPECT_EQ(s.keys[0].action, L"Copy");
    EXPECT_EQ(s.keys[1].key, L"F5");
    EXPECT_EQ(s.keys[1].action, L"Refresh");
    ASSERT_EQ(s.menu.size(), 2u);
    EXPECT_EQ(s.menu[0].caption, L"ファイル(&F)");
    EXPECT_EQ(s.menu[0].items, L"      Copy\n        Move\n      Delete\n");
    EXPECT_EQ(s.menu[1].caption, L"Tools: extras");
    EXPECT_EQ(s.menu[1].items, L"      Grep\n");
}

TEST(SettingsReader, ArrayAndMappingOnlyTakeTheirOwnEvents)
{
    ComPtr<TYamlReader> reader = NewYamlReader("", "list:\n  - a\n  - b\nafter: 1\n");
    reader->Next(); // [list
    std::vector<int> untouched{7};
    auto noItem = [&](int) { ADD_FAILURE() << "item callback on a foreign node"; };
    ReadArray(reader.get(), "other", untouched, noItem);
    ReadMapping(reader.get(), [&] { ADD_FAILURE() << "entry callback on a sequence"; });
    EXPECT_EQ(untouched, std::vector<int>{7});
    EXPECT_EQ(Describe(*reader), "[list");

    // The array starts empty: an item the callback leaves alone is a fresh
    // element, not what the array held before.
    std::vector<std::wstring> items{L"stale", L"stale", L"stale"};
    ReadArray(reader.get(), "list", items, [&](int index) {
        if (index == 1)
            items[index] = ReadString(reader.get(), "", L"");
    });
    EXPECT_EQ(items, (std::vector<std::wstring>{L"", L"b"}));
    EXPECT_EQ(reader->EventKind(), TYamlEvent::BlockEnd);
    reader->Next();
    ReadArray(reader.get(), "after", untouched, noItem); // a scalar, not a sequence
    EXPECT_EQ(Describe(*reader), "after=1");
}

TEST(SettingsReader, FailuresInsideCallbacksComeBackWithTheirMessage)
{
    auto messageOf = [](auto&& read) -> std::wstring {
        try {
            read();
        } catch (const Exception& e) {
            return e.Message();
        }
        return L"(no error)";
    };

    ComPtr<TYamlReader> reader = NewYamlReader("", kSample);
    reader->Next(); // [modules
    std::vector<int> modules;
    EXPECT_EQ(messageOf([&] {
                  ReadArray(reader.get(), "modules", modules, [&](int index) {
                      if (index == 1)
                          throw Exception(L"壊れた項目");
                  });
              }),
              L"壊れた項目");

    reader = NewYamlReader("", kSample);
    EXPECT_EQ(messageOf([&] { ReadMapping(reader.get(), [&] { throw Exception(L"mapping failed"); }); }),
              L"mapping failed");

    // The reader's own failure on the way through a sequence.
    reader = NewYamlReader("", "list:\n  - a\n  - b\n    c\n");
    reader->Next();
    std::vector<int> list;
    EXPECT_EQ(messageOf([&] { ReadArray(reader.get(), "list", list, [](int) {}); }), L"YAML Structure Error");
}

// ---------------------------------------------------------------------------
// Robustness: no input crashes, hangs or recurses without bound
// ---------------------------------------------------------------------------

// A finished walk ends in DocumentEnd with every block closed, or in one of
// the reader's errors.
void CheckWellFormed(const Events& events, const std::string& text)
{
    ASSERT_FALSE(events.empty());
    const std::string& last = events.back();
    if (last[0] == '!') {
        EXPECT_TRUE(IsReaderError(last.substr(1))) << last << " for " << testing::PrintToString(text);
        return;
    }
    long depth = 0;
    for (const std::string& e : events) {
        if (e[0] == '{' || e[0] == '[')
            ++depth;
        else if (e == "}")
            --depth;
        ASSERT_GE(depth, 0) << testing::PrintToString(text);
    }
    EXPECT_EQ(last, ".") << testing::PrintToString(text);
    EXPECT_EQ(depth, 0) << testing::PrintToString(text);
}

TEST(YamlRobustness, EveryPrefixOfASettingsDocument)
{
    const std::string sample = kSample;
    for (size_t length = 0; length <= sample.size(); ++length) {
        std::string prefix = sample.substr(0, length);
        CheckWellFormed(Trace(prefix, "Nimbra"), prefix);
    }
}

// Walks with a mix of Next, Skip and GetValue, as a careless caller would.
void Walk(const std::string& text, std::mt19937& random)
{
    try {
        ComPtr<TYamlReader> reader = NewYamlReader("Nimbra", text);
        const size_t limit = 4 * text.size() + 64;
        size_t steps = 0;
        while (reader->EventKind() != TYamlEvent::DocumentEnd) {
            ASSERT_LT(++steps, limit) << testing::PrintToString(text);
            reader->GetValue();
            reader->LowerCaseKey();
            if (random() % 4 == 0)
                reader->Skip();
            else
                reader->Next();
        }
    } catch (const Exception& e) {
        EXPECT_TRUE(IsReaderError(e.what())) << e.what();
    }
}

TEST(YamlRobustness, RandomBytes)
{
    std::mt19937 random(20240611);
    const std::string yamlish = "  \t\t\n\n\r-:|#'\"\\!abcXx0F$_*+@\xEF\xBB\xBF\xE3\x81\x82";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        if (round % 3 == 0)
            text = "--- !Nimbra\n";
        size_t length = random() % 200;
        for (size_t i = 0; i < length; ++i)
            text += round % 2 ? static_cast<char>(random() & 0xFF) : yamlish[random() % yamlish.size()];
        CheckWellFormed(Trace(text, "Nimbra"), text);
        Walk(text, random);
    }
}

TEST(YamlRobustness, MutatedSettingsDocuments)
{
    std::mt19937 random(7);
    const std::string sample = kSample;
    const std::string bytes = " \t\n-:|#'\"\\x";
    for (int round = 0; round < 1500; ++round) {
        std::string text = sample;
        for (int edits = 1 + random() % 4; edits > 0; --edits) {
            size_t at = random() % (text.size() + 1);
            char c = bytes[random() % bytes.size()];
            switch (random() % 3) {
            case 0:
                text.insert(at, 1, c);
                break;
            case 1:
                if (at < text.size())
                    text.erase(at, 1 + random() % 8);
                break;
            default:
                if (at < text.size())
                    text[at] = c;
                break;
            }
        }
        CheckWellFormed(Trace(text, "Nimbra"), text);
        Walk(text, random);
    }
}

TEST(YamlRobustness, DeeplyNestedInlineMappings)
{
    const int levels = 5000;
    std::string text;
    for (int i = 0; i < levels; ++i)
        text += "k: ";
    text += "v\nnext: 1\n";

    Events events = Trace(text);
    // "{" + (levels - 1) "{k" + "k=v" + (levels - 1) "}" + "next=1" "}" "."
    ASSERT_EQ(events.size(), 2u * levels + 3);
    EXPECT_EQ(events[levels - 1], "{k");
    EXPECT_EQ(events[levels], "k=v");
    EXPECT_EQ(events[2 * levels - 1], "}");
    EXPECT_EQ(events[2 * levels], "next=1");

    ComPtr<TYamlReader> reader = NewYamlReader("", text);
    reader->Next(); // the outermost "{k"
    reader->Skip();
    EXPECT_EQ(Describe(*reader), "next=1");
}

TEST(YamlRobustness, DeeplyIndentedBlocks)
{
    const int levels = 3000;
    std::string text;
    for (int i = 0; i < levels; ++i)
        text += std::string(i, ' ') + (i % 2 ? "-\n" : "k:\n");
    text += std::string(levels, ' ') + "k: v\nnext: 1";

    Events events = Trace(text);
    CheckWellFormed(events, "deeply indented blocks");
    EXPECT_EQ(events.size(), 1u + levels + 1 + levels + 1 + 1 + 1);

    ComPtr<TYamlReader> reader = NewYamlReader("", text);
    reader->Skip();
    EXPECT_EQ(reader->EventKind(), TYamlEvent::DocumentEnd);
}

TEST(YamlRobustness, ManyTabsSaturateInsteadOfWrapping)
{
    // 2^23 + 2 tabs would be 2^31 + 512 columns: past the 32-bit range.
    std::string text = "a:\n" + std::string((1u << 23) + 2, '\t') + "b: 1\nc: 2\n";
    EXPECT_EQ(Trace(text), (Events{"{", "{a", "b=1", "}", "c=2", "}", "."}));
}

} // namespace
