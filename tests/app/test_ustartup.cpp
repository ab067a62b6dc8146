// Own
#include "app/UStartup.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <optional>
#include <string>
#include <vector>

// Test framework
#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

struct TCommandLineRow {
    const wchar_t* Line;
    bool Root;
    bool DdeServer;
    const wchar_t* FirstParameter;
    const wchar_t* StartFolder;
};

TEST(CommandLine, SwitchesFirstParameterAndStartFolder)
{
    const TCommandLineRow rows[] = {
        {L"nimbra.exe", false, false, L"", L"."},
        {L"", false, false, L"", L"."},
        {L"nimbra.exe C:\\Work", false, false, L"C:\\Work", L"C:\\Work"},
        {L"   nimbra.exe    C:\\Work   D:\\Other ", false, false, L"C:\\Work", L"C:\\Work"},
        {L"nimbra.exe\tC:\\Work\tD:\\Other", false, false, L"C:\\Work", L"C:\\Work"},
        // The quoted program path keeps its blanks inside the first token.
        {L"\"C:\\Program Files\\Nimbra\\nimbra.exe\" D:\\Data", false, false, L"D:\\Data", L"D:\\Data"},
        {L"\"C:\\Program Files\\Nimbra\\nimbra.exe\"", false, false, L"", L"."},
        {L"\"C:\\Program Files\\Nimbra\\nimbra.exe\"D:\\Data", false, false, L"", L"."},
        {L"nimbra.exe \"C:\\My Documents\\x\" y", false, false, L"C:\\My Documents\\x", L"C:\\My Documents\\x"},
        {L"nimbra.exe C:\\\"My Documents\"\\x", false, false, L"C:\\My Documents\\x", L"C:\\My Documents\\x"},
        {L"nimbra.exe \"C:\\unterminated path", false, false, L"C:\\unterminated path", L"C:\\unterminated path"},
        {L"nimbra.exe \"\" C:\\Work", false, false, L"", L"."},
        {L"nimbra.exe D:\\書類\\メモ", false, false, L"D:\\書類\\メモ", L"D:\\書類\\メモ"},
        // Switches stand anywhere and in any case; one in first place is no folder.
        {L"nimbra.exe /root", true, false, L"/root", L"."},
        {L"nimbra.exe /Root C:\\Work", true, false, L"/Root", L"."},
        {L"nimbra.exe /DdeServer C:\\Work", false, true, L"/DdeServer", L"."},
        {L"nimbra.exe C:\\Work /ddeserver", false, true, L"C:\\Work", L"C:\\Work"},
        {L"nimbra.exe /ROOT/DDESERVER", true, true, L"/ROOT/DDESERVER", L"."},
        {L"nimbra.exe /other", false, false, L"/other", L"."},
        // A path that happens to contain the switch text selects the desktop too.
        {L"nimbra.exe C:\\x/Rooted", true, false, L"C:\\x/Rooted", L"C:\\x/Rooted"},
        {L"\"C:\\tools/root\\nimbra.exe\"", true, false, L"", L"."},
        // A backslash is no switch.
        {L"nimbra.exe \\ROOT", false, false, L"\\ROOT", L"\\ROOT"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "line #" << (&row - rows));
        TCommandLine parsed = ParseCommandLine(row.Line);
        EXPECT_EQ(parsed.Root, row.Root);
        EXPECT_EQ(parsed.DdeServer, row.DdeServer);
        EXPECT_EQ(parsed.FirstParameter, row.FirstParameter);
        EXPECT_EQ(parsed.StartFolder, row.StartFolder);
    }
}

// ---------------------------------------------------------------------------
// Hand-off command
// ---------------------------------------------------------------------------

struct THandOffRow {
    std::wstring Text;
    const wchar_t* Name;
    const wchar_t* Argument;
    bool Open;
};

TEST(HandOff, ParseCommand)
{
    const THandOffRow rows[] = {
        {L"[open(\"C:\\Work\")]", L"open", L"C:\\Work", true},
        {L"[OPEN(\"C:\\My Documents\")]", L"OPEN", L"C:\\My Documents", true},
        {L"[  Open  (  \"C:\\x\" ) ]", L"Open", L"C:\\x", true},
        // Bare arguments end at a blank, a comma, a parenthesis or the end.
        {L"[open(C:\\Work)]", L"open", L"C:\\Work", true},
        {L"[open(C:\\My Documents)]", L"open", L"C:\\My", true},
        {L"[open(C:\\a,b)]", L"open", L"C:\\a", true},
        {L"[open(C:\\Work", L"open", L"C:\\Work", true},
        {L"[open()]", L"open", L"", true},
        {L"[open]", L"open", L"", true},
        // Doubled quotes stand for one; an unclosed quote takes the rest.
        {L"[open(\"a\"\"b\")]", L"open", L"a\"b", true},
        {L"[open(\"\"\"\")]", L"open", L"\"", true},
        {L"[open(\"\")]", L"open", L"", true},
        {L"[open(\"C:\\a b, c)]", L"open", L"C:\\a b, c)]", true},
        {L"[open(\"C:\\x\"\"", L"open", L"C:\\x\"", true},
        // The text ends at a zero, as a DDE buffer brings one along.
        {L"[open(C:\\x\0junk)]"s, L"open", L"C:\\x", true},
        {L"[open(\"C:\\x\0junk\")]"s, L"open", L"C:\\x", true},
        // Other names are parsed but not served.
        {L"[close(\"C:\\x\")]", L"close", L"C:\\x", false},
        {L"[opens(\"C:\\x\")]", L"opens", L"C:\\x", false},
        {L"[ope(\"C:\\x\")]", L"ope", L"C:\\x", false},
        {L"[Ｏｐｅｎ(\"C:\\x\")]", L"Ｏｐｅｎ", L"C:\\x", false},
        {L"[開く(\"C:\\x\")]", L"開く", L"C:\\x", false},
        // The name is a run of letters: a digit ends it, and without "(" there
        // is no argument.
        {L"[open1(\"C:\\x\")]", L"open", L"", true},
        {L"[(\"C:\\x\")]", L"", L"C:\\x", false},
        // Without the opening bracket nothing is read.
        {L"open(\"C:\\x\")", L"", L"", false},
        {L" [open(\"C:\\x\")]", L"", L"", false},
        {L"", L"", L"", false},
        {L"[", L"", L"", false},
        {L"\0[open(x)]"s, L"", L"", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "row #" << (&row - rows));
        THandOffCommand command = ParseHandOffCommand(row.Text);
        EXPECT_EQ(command.Name, row.Name);
        EXPECT_EQ(command.Argument, row.Argument);
        EXPECT_EQ(IsOpenCommand(command), row.Open);
    }
}

TEST(HandOff, VeryLongCommands)
{
    const std::wstring path(1'000'000, L'x');
    THandOffCommand quoted = ParseHandOffCommand(L"[open(\"" + path + L"\")]");
    EXPECT_EQ(quoted.Argument.size(), path.size());
    THandOffCommand bare = ParseHandOffCommand(L"[open(" + path);
    EXPECT_EQ(bare.Argument.size(), path.size());
    // Pairs of quotes with no closing one: each pair is one quote.
    THandOffCommand unclosed = ParseHandOffCommand(L"[open(\"" + std::wstring(500'000, L'"'));
    EXPECT_EQ(unclosed.Argument.size(), 250'000u);
    EXPECT_EQ(unclosed.Argument.find_first_not_of(L'"'), std::wstring::npos);
    THandOffCommand longName = ParseHandOffCommand(L"[" + path + L"(a)]");
    EXPECT_EQ(longName.Name.size(), path.size());
    EXPECT_FALSE(IsOpenCommand(longName));
}

TEST(HandOff, BuiltCommandRoundTrips)
{
    EXPECT_EQ(BuildOpenCommand(L"C:\\Work"), L"[open(\"C:\\Work\")]");
    EXPECT_EQ(BuildOpenCommand(L"a\"b"), L"[open(\"a\"\"b\")]");

    const wchar_t* paths[] = {L"C:\\Work", L"C:\\My Documents\\x", L"", L"a\"b", L"\"", L"\"\"", L"x\")]",
                              L"D:\\書類\\メモ", L"C:\\a,b) c", L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"};
    for (const wchar_t* path : paths) {
        SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(path)));
        THandOffCommand command = ParseHandOffCommand(BuildOpenCommand(path));
        EXPECT_TRUE(IsOpenCommand(command));
        EXPECT_EQ(command.Argument, path);
    }
}

TEST(HandOff, TheTicketTravelsAsASecondArgumentAndPlainCommandsHaveNone)
{
    THandOffCommand both = ParseHandOffCommand(BuildOpenCommand(L"C:\\a,\"b\")", L"NimbraHandOff.1.\"2\""));
    EXPECT_EQ(both.Argument, L"C:\\a,\"b\")");
    EXPECT_EQ(both.Ticket, L"NimbraHandOff.1.\"2\"");
    EXPECT_EQ(BuildOpenCommand(L"C:\\", L""), BuildOpenCommand(L"C:\\"));
    EXPECT_EQ(ParseHandOffCommand(L"[open(\"C:\\x\")]").Ticket, L"");
    // Written by hand: bare arguments and blanks around the comma.
    THandOffCommand bare = ParseHandOffCommand(L"[open( C:\\x , t1 )]");
    EXPECT_EQ(bare.Argument, L"C:\\x");
    EXPECT_EQ(bare.Ticket, L"t1");
}

// ---------------------------------------------------------------------------
// Skin
// ---------------------------------------------------------------------------

TSkin DefaultSkin()
{
    TSkin skin;
    FillSkinDefaults(skin);
    return skin;
}

TEST(Skin, DefaultsAndReset)
{
    TSkin skin;
    skin.OwnerDraw = true;
    skin.Background = L"old.bmp";
    skin.FaceName = L"Arial";
    skin.Hidden = 1;
    FillSkinDefaults(skin);
    // The defaults written out, field by field in the record's order.
    const TSkin expected{false, false, L"", L"", L"", L"", L"", L"ＭＳ ゴシック",
                         0xFFFFFF, 0x000000, 0x770077, 0x007700, 0x770000, 0x777700, 0x000077, 0xFFFFFF,
                         GetSysColor(COLOR_ACTIVEBORDER), GetSysColor(COLOR_INFOTEXT), GetSysColor(COLOR_INFOBK)};
    EXPECT_EQ(skin, expected);
}

// Every key reaches its own field and no other.
TEST(Skin, EachKeySetsItsField)
{
    struct TRow {
        const char* Key;
        const char* Raw;
        void (*Expect)(TSkin&);
    };
    const TRow rows[] = {
        {"owner-draw", "1", [](TSkin& s) { s.OwnerDraw = true; }},
        {"flat-scroll-bar", "1", [](TSkin& s) { s.FlatScrollBar = true; }},
        {"background", "a.bmp", [](TSkin& s) { s.Background = L"a.bmp"; }},
        {"info", "a.bmp", [](TSkin& s) { s.Info = L"a.bmp"; }},
        {"name-space", "a.bmp", [](TSkin& s) { s.NameSpace = L"a.bmp"; }},
        {"founds", "a.bmp", [](TSkin& s) { s.Founds = L"a.bmp"; }},
        {"archive", "壁紙.bmp", [](TSkin& s) { s.Archive = L"壁紙.bmp"; }},
        {"face-name", "'Meiryo UI'", [](TSkin& s) { s.FaceName = L"Meiryo UI"; }},
        {"background-color", "1", [](TSkin& s) { s.BackgroundColor = 1; }},
        {"file-name", "1", [](TSkin& s) { s.FileName = 1; }},
        {"system-file", "1", [](TSkin& s) { s.SystemFile = 1; }},
        {"hidden", "1", [](TSkin& s) { s.Hidden = 1; }},
        {"read-only", "1", [](TSkin& s) { s.ReadOnly = 1; }},
        {"directory", "1", [](TSkin& s) { s.Directory = 1; }},
        {"virtual", "1", [](TSkin& s) { s.Virtual = 1; }},
        {"selected", "1", [](TSkin& s) { s.Selected = 1; }},
        {"line", "1", [](TSkin& s) { s.Line = 1; }},
        {"info-text", "1", [](TSkin& s) { s.InfoText = 1; }},
        {"selected-info-text", "1", [](TSkin& s) { s.SelectedInfoText = 1; }},
        // Keys are compared as given: the caller lower-cases them.
        {"Owner-Draw", "1", nullptr},
        {"colour", "1", nullptr},
        {"", "1", nullptr},
        {"face_name", "1", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Key);
        TSkin skin = DefaultSkin();
        TSkin expected = skin;
        if (row.Expect)
            row.Expect(expected);
        EXPECT_EQ(ApplySkinEntry(skin, row.Key, row.Raw), row.Expect != nullptr);
        EXPECT_EQ(skin, expected);
    }
}

TEST(Skin, ColourValues)
{
    struct TRow {
        const char* Raw;
        std::optional<COLORREF> Colour; // none: the default stays
    };
    const TRow rows[] = {
        {"$FF0000", 0x00FF0000},
        {"16711680", 0x00FF0000},
        {"0x00FF00", 0x0000FF00},
        {"x0000ff", 0x000000FF},
        {"$abcdef", 0x00ABCDEF},
        {"0", 0},
        {"4278190080", 0xFF000000},
        {"$FFFFFFFF", 0xFFFFFFFF},
        {"-1", 0xFFFFFFFF},
        {"$12G", std::nullopt},
        {"", std::nullopt},
        {"red", std::nullopt},
        {"0x", std::nullopt},
        {"\"$FF\"", std::nullopt},
        {"12 ", std::nullopt},
        {"12 # comment", std::nullopt},
        {"$1FFFFFFFF", std::nullopt},
        {"4294967296", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Raw);
        TSkin skin = DefaultSkin();
        const COLORREF before = skin.Hidden;
        EXPECT_EQ(ApplySkinEntry(skin, "hidden", row.Raw), row.Colour.has_value());
        EXPECT_EQ(skin.Hidden, row.Colour.value_or(before));
    }

    // "$FF0000" is blue in the 0x00BBGGRR layout.
    TSkin skin = DefaultSkin();
    ApplySkinEntry(skin, "background-color", "$FF0000");
    EXPECT_EQ(GetBValue(skin.BackgroundColor), 0xFF);
    EXPECT_EQ(GetRValue(skin.BackgroundColor), 0x00);
}

TEST(Skin, BooleanValues)
{
    struct TRow {
        const char* Raw;
        std::optional<bool> Value; // none: left as it was
    };
    const TRow rows[] = {
        {"TRUE", true}, {"true", true},        {"True", true},         {"false", false}, {"FALSE", false},
        {"0", false},   {"2", true},           {"-1", true},           {"$0", false},    {"x10", true},
        {"yes", {}},    {"no", {}},            {"", {}},               {"on", {}},       {"\"true\"", {}},
        {"true ", {}},  {"truex", {}},
    };
    for (const auto& row : rows) {
        // Starting from both values shows whether the entry set anything.
        for (bool start : {false, true}) {
            SCOPED_TRACE(testing::Message() << row.Raw << " from " << start);
            TSkin skin = DefaultSkin();
            skin.FlatScrollBar = start;
            EXPECT_EQ(ApplySkinEntry(skin, "flat-scroll-bar", row.Raw), row.Value.has_value());
            EXPECT_EQ(skin.FlatScrollBar, row.Value.value_or(start));
        }
    }
}

TEST(Skin, ReadSkinFromReader)
{
    ComPtr<TYamlReader> reader = NewYamlReader("", "skin:\n"
                                                   "  Owner-Draw: 1\n"
                                                   "  HIDDEN: $00FF00\n"
                                                   "  pictures:\n"
                                                   "    background: nested.bmp\n"
                                                   "  background: top.bmp\n"
                                                   "  line: nonsense\n"
                                                   "after: x\n");
    reader->Next(); // onto the MappingStart of "skin"
    ASSERT_EQ(reader->EventKind(), TYamlEvent::MappingStart);
    TSkin skin = DefaultSkin();
    ReadSkin(*reader, skin);
    EXPECT_TRUE(skin.OwnerDraw);
    EXPECT_EQ(skin.Hidden, 0x00FF00u);
    EXPECT_EQ(skin.Background, L"top.bmp");
    EXPECT_EQ(skin.Line, DefaultSkin().Line);
    // Left behind the mapping, on the next entry.
    EXPECT_EQ(reader->EventKind(), TYamlEvent::Scalar);
    EXPECT_EQ(reader->Key(), "after");

    // Anywhere but on a mapping nothing is read and the reader stays.
    ReadSkin(*reader, skin);
    EXPECT_EQ(reader->Key(), "after");
}

// ---------------------------------------------------------------------------
// Application settings
// ---------------------------------------------------------------------------

struct TReadResult {
    TApplicationSettings Settings;
    std::vector<std::wstring> Modules;
};

TReadResult ReadSettings(const std::string& text)
{
    TReadResult result;
    FillSkinDefaults(result.Settings.Skin);
    result.Settings.InitialFilter = L"(unset)";
    result.Settings.Editor = L"(unset)";
    ReadApplicationSettings(text, result.Settings,
                            [&](const std::wstring& entry) { result.Modules.push_back(entry); });
    return result;
}

std::wstring ReaderErrorOf(const std::string& text)
{
    try {
        ReadSettings(text);
    } catch (const Exception& e) {
        return e.Message();
    }
    return L"";
}

TEST(ApplicationSettings, TopLevelKeys)
{
    struct TRow {
        const char* Title;
        std::string Text;
        std::vector<std::wstring> Modules;
        const wchar_t* InitialFilter;
        const wchar_t* Editor;
    };
    const TRow rows[] = {
        {"empty text", "", {}, L"(unset)", L"(unset)"},
        {"header only", "--- !Nimbra\n", {}, L"(unset)", L"(unset)"},
        {"a sequence document", "- modules\n- editor\n", {}, L"(unset)", L"(unset)"},
        {"a literal document", "|\n  editor: x\n", {}, L"(unset)", L"(unset)"},
        {"all modules in order, missing ones too",
         "modules:\n  - ArcZip.dll\n  - missing.dll\n  - 'sub\\ArcTar.dll'\n  - \"quoted name.dll\"\n  - 書庫.dll\n",
         {L"ArcZip.dll", L"missing.dll", L"sub\\ArcTar.dll", L"quoted name.dll", L"書庫.dll"},
         L"(unset)",
         L"(unset)"},
        {"module items that are blocks are skipped",
         "modules:\n  - a.dll\n  - name: b.dll\n    more: c.dll\n  -\n    - d.dll\n  - e.dll\neditor: vi\n",
         {L"a.dll", L"e.dll"},
         L"(unset)",
         L"vi"},
        {"modules given twice", "modules:\n  - a.dll\neditor: vi\nmodules:\n  - b.dll\n", {L"a.dll", L"b.dll"},
         L"(unset)", L"vi"},
        {"modules as a mapping is not recognised", "modules:\n  zip: ArcZip.dll\neditor: vi\n", {}, L"(unset)",
         L"vi"},
        {"modules as a scalar is not recognised", "modules: ArcZip.dll\n", {}, L"(unset)", L"(unset)"},
        {"filter and editor", "initial-filter: \"*.txt\"\neditor: 'C:\\Tools\\エディタ.exe'\n", {}, L"*.txt",
         L"C:\\Tools\\エディタ.exe"},
        {"the later value wins", "editor: vi\neditor: emacs\n", {}, L"(unset)", L"emacs"},
        {"a block gives an empty value",
         "initial-filter:\n  - \"*.txt\"\neditor:\n  path: vi\nmodules:\n  - a.dll\n",
         {L"a.dll"},
         L"",
         L""},
        {"an empty value", "initial-filter:\neditor: vi\n", {}, L"", L"vi"},
        {"keys in capitals", "MODULES:\n  - a.dll\nInitial-Filter: *.c\nEDITOR: vi\n", {L"a.dll"}, L"*.c", L"vi"},
        {"other keys and their blocks are skipped",
         "key:\n  C-A: SelectAll\n  editor: no\nmenu:\n  - F: \"ファイル\"\n  - *:\n    - editor: no\n"
         "modulesx:\n  - no.dll\neditor: yes\n",
         {},
         L"(unset)",
         L"yes"},
        {"header and byte-order mark", "\xEF\xBB\xBF--- !Nimbra\r\nmodules:\r\n  - a.dll\r\neditor: vi\r\n",
         {L"a.dll"}, L"(unset)", L"vi"},
        {"byte-order mark without header", "\xEF\xBB\xBF" "editor: vi\n", {}, L"(unset)", L"vi"},
        {"a leading part of the type", "--- !Nim\neditor: vi\n", {}, L"(unset)", L"vi"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Title);
        TReadResult result;
        try {
            result = ReadSettings(row.Text);
        } catch (const Exception& e) {
            ADD_FAILURE() << "raised " << e.what();
            continue;
        }
        EXPECT_EQ(result.Modules, row.Modules);
        EXPECT_EQ(result.Settings.InitialFilter, row.InitialFilter);
        EXPECT_EQ(result.Settings.Editor, row.Editor);
        EXPECT_EQ(result.Settings.Skin, DefaultSkin());
    }
}

TEST(ApplicationSettings, Skin)
{
    TReadResult result = ReadSettings("--- !Nimbra\n"
                                      "Skin:\n"
                                      "  owner-draw: TRUE\n"
                                      "  flat-scroll-bar: yes\n"
                                      "  background-color: $FF0000\n"
                                      "  hidden: 0x001100\n"
                                      "  face-name: メイリオ\n"
                                      "  founds: 検索.bmp\n"
                                      "  line: bad\n"
                                      "editor: vi\n"
                                      "skin:\n"
                                      "  BACKGROUND-COLOR: 255\n"
                                      "  read-only: x22\n"
                                      "skin: red\n");
    TSkin expected = DefaultSkin();
    expected.OwnerDraw = true;
    expected.BackgroundColor = 0x0000FF; // the second "skin" overwrites the first
    expected.Hidden = 0x001100;          // set by the first only
    expected.ReadOnly = 0x22;
    expected.FaceName = L"メイリオ";
    expected.Founds = L"検索.bmp";
    EXPECT_EQ(result.Settings.Skin, expected);
    EXPECT_EQ(result.Settings.Editor, L"vi");
}

TEST(ApplicationSettings, ReaderErrorsPropagate)
{
    EXPECT_EQ(ReaderErrorOf("--- !Other\nskin:\n  hidden: 1\n"), L"YAML Type Error");
    EXPECT_EQ(ReaderErrorOf("--- !Nimbra2\neditor: vi\n"), L"YAML Type Error");
    EXPECT_EQ(ReaderErrorOf("--- !\neditor: vi\n"), L"YAML Initialization Error");
    EXPECT_NE(ReaderErrorOf("editor: vi\n:broken\n"), L"");
    EXPECT_NE(ReaderErrorOf("skin:\n  hidden: 1\n  :broken\n"), L"");

    // What was read before the error stays.
    TApplicationSettings settings;
    std::vector<std::wstring> modules;
    EXPECT_THROW(ReadApplicationSettings("editor: vi\nmodules:\n  - a.dll\n  - b.dll\n  ?broken\n", settings,
                                         [&](const std::wstring& entry) { modules.push_back(entry); }),
                 Exception);
    EXPECT_EQ(settings.Editor, L"vi");
    EXPECT_EQ(modules, (std::vector<std::wstring>{L"a.dll", L"b.dll"}));
}

TEST(ApplicationSettings, WithoutLoader)
{
    TApplicationSettings settings;
    EXPECT_NO_THROW(ReadApplicationSettings("modules:\n  - a.dll\neditor: vi\n", settings, nullptr));
    EXPECT_EQ(settings.Editor, L"vi");
}

// ---------------------------------------------------------------------------
// Settings file and module paths
// ---------------------------------------------------------------------------

class SettingsFile : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t directory[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, directory), 0u);
        wchar_t name[MAX_PATH];
        ASSERT_NE(GetTempFileNameW(directory, L"nim", 0, name), 0u);
        FPath = name;
        FDirectory = directory;
    }
    void TearDown() override
    {
        if (!FPath.empty())
            DeleteFileW(FPath.c_str());
    }

    void Write(const std::string& bytes)
    {
        UniqueFileHandle file(
            CreateFileW(FPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    std::wstring FPath;
    std::wstring FDirectory;
};

TEST_F(SettingsFile, ReadsTheWholeFile)
{
    const std::string text = "\xEF\xBB\xBF--- !Nimbra\r\nskin:\r\n  hidden: $FF0000\r\neditor: \xE3\x83\xA1\r\n";
    Write(text);
    EXPECT_EQ(ReadSettingsFile(FPath), text);

    TApplicationSettings settings;
    FillSkinDefaults(settings.Skin);
    ReadApplicationSettings(ReadSettingsFile(FPath), settings, nullptr);
    EXPECT_EQ(GetBValue(settings.Skin.Hidden), 0xFF);
    EXPECT_EQ(settings.Editor, L"メ");

    // Bytes of every value, zero included, and a size past any one buffer.
    std::string large;
    for (size_t i = 0; i < 3'000'000; ++i)
        large += static_cast<char>(i * 7 % 256);
    Write(large);
    EXPECT_EQ(ReadSettingsFile(FPath), large);

    Write("");
    EXPECT_EQ(ReadSettingsFile(FPath), "");
}

TEST_F(SettingsFile, UnreadableGivesEmptyText)
{
    Write("editor: vi\n");
    EXPECT_EQ(ReadSettingsFile(FPath + L".missing"), "");
    EXPECT_EQ(ReadSettingsFile(FDirectory + L"no such directory\\setting.yaml"), "");
    EXPECT_EQ(ReadSettingsFile(FDirectory), "");
    EXPECT_EQ(ReadSettingsFile(L""), "");
    {
        // Held by a writer that shares nothing.
        UniqueFileHandle locked(
            CreateFileW(FPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked);
        EXPECT_EQ(ReadSettingsFile(FPath), "");
    }
    // Other readers do not stand in the way.
    UniqueFileHandle reader(
        CreateFileW(FPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(ReadSettingsFile(FPath), "editor: vi\n");
}

TEST(ModulePath, ProgramDirectoryFollowedByEntry)
{
    EXPECT_EQ(ModulePath(L"C:\\Nimbra\\", L"ArcZip.dll"), L"C:\\Nimbra\\ArcZip.dll");
    EXPECT_EQ(ModulePath(L"C:\\Nimbra\\", L"modules\\ArcTar.dll"), L"C:\\Nimbra\\modules\\ArcTar.dll");
    EXPECT_EQ(ModuleFileName(L"C:\\Nimbra\\", L"ArcZip.dll"), "C:\\Nimbra\\ArcZip.dll");
    if (GetACP() != 932)
        GTEST_SKIP() << "the code-page row needs code page 932";
    EXPECT_EQ(ModuleFileName(L"D:\\書類\\", L"書庫.dll"), "D:\\\x8F\x91\x97\xDE\\\x8F\x91\x8C\xC9.dll");
}

} // namespace
