#include "app/UStartup.h"

// Toolkit
#include "lw/LActions.h"
#include "lw/LExceptions.h"
#include "lw/LHandles.h"
#include "lw/LStrings.h"

// Standard library
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <variant>

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

namespace {

bool ContainsSwitch(std::wstring_view upperCaseLine, std::wstring_view name) noexcept
{
    return upperCaseLine.find(name) != std::wstring_view::npos;
}

} // namespace

TCommandLine ParseCommandLine(std::wstring_view commandLine)
{
    TCommandLine result;

    // The switches are found by a plain search in an upper-case copy, so a
    // folder path that contains "/root" also selects the desktop.
    std::wstring upper(commandLine);
    if (!upper.empty())
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    result.Root = ContainsSwitch(upper, L"/ROOT");
    result.DdeServer = ContainsSwitch(upper, L"/DDESERVER");

    result.FirstParameter = CommandLineParameter(commandLine, 1);
    if (result.FirstParameter.empty() || result.FirstParameter[0] == L'/')
        result.StartFolder = L".";
    else
        result.StartFolder = result.FirstParameter;
    return result;
}

// ---------------------------------------------------------------------------
// Hand-off between instances
// ---------------------------------------------------------------------------

bool IsHandOffNameLetter(wchar_t c) noexcept
{
    return IsCharAlphaW(c) != FALSE;
}

// ---------------------------------------------------------------------------
// Skin
// ---------------------------------------------------------------------------

namespace {

using TSkinField = std::variant<bool TSkin::*, std::wstring TSkin::*, COLORREF TSkin::*>;

struct TSkinKey {
    std::string_view Name;
    TSkinField Field;
};

// The keys of the "skin" section, in the order of the record.
const TSkinKey kSkinKeys[] = {
    {"owner-draw", &TSkin::OwnerDraw},
    {"flat-scroll-bar", &TSkin::FlatScrollBar},
    {"background", &TSkin::Background},
    {"info", &TSkin::Info},
    {"name-space", &TSkin::NameSpace},
    {"founds", &TSkin::Founds},
    {"archive", &TSkin::Archive},
    {"face-name", &TSkin::FaceName},
    {"background-color", &TSkin::BackgroundColor},
    {"file-name", &TSkin::FileName},
    {"system-file", &TSkin::SystemFile},
    {"hidden", &TSkin::Hidden},
    {"read-only", &TSkin::ReadOnly},
    {"directory", &TSkin::Directory},
    {"virtual", &TSkin::Virtual},
    {"selected", &TSkin::Selected},
    {"line", &TSkin::Line},
    {"info-text", &TSkin::InfoText},
    {"selected-info-text", &TSkin::SelectedInfoText},
};

// A colour is any integer that fits 32 bits, written signed or unsigned, so
// that 4278190080 and $FF000000 give the same value. A larger number is
// refused rather than cut down to its low bits.
bool ParseColour(std::string_view text, COLORREF& colour) noexcept
{
    int64_t value;
    if (!YamlParseInteger64(text, value))
        return false;
    if (value < std::numeric_limits<int32_t>::min() || value > static_cast<int64_t>(UINT32_MAX))
        return false;
    colour = static_cast<COLORREF>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    return true;
}

struct TSkinValueSetter {
    TSkin& Skin;
    std::string_view RawValue;

    bool operator()(bool TSkin::*field) const
    {
        return YamlParseBoolean(RawValue, Skin.*field);
    }
    bool operator()(std::wstring TSkin::*field) const
    {
        Skin.*field = Utf8ToUnicode(YamlUnescape(RawValue));
        return true;
    }
    bool operator()(COLORREF TSkin::*field) const
    {
        return ParseColour(RawValue, Skin.*field);
    }
};

} // namespace

void FillSkinDefaults(TSkin& skin)
{
    skin = TSkin{};
    skin.Line = GetSysColor(COLOR_ACTIVEBORDER);
    skin.InfoText = GetSysColor(COLOR_INFOTEXT);
    skin.SelectedInfoText = GetSysColor(COLOR_INFOBK);
}

bool ApplySkinEntry(TSkin& skin, std::string_view key, std::string_view rawValue)
{
    for (const TSkinKey& skinKey : kSkinKeys)
        if (skinKey.Name == key)
            return std::visit(TSkinValueSetter{skin, rawValue}, skinKey.Field);
    return false;
}

void ReadSkin(TYamlReader& reader, TSkin& skin)
{
    if (reader.EventKind() != TYamlEvent::MappingStart)
        return;
    reader.Next();
    while (reader.EventKind() != TYamlEvent::BlockEnd && reader.EventKind() != TYamlEvent::DocumentEnd) {
        reader.LowerCaseKey();
        ApplySkinEntry(skin, reader.Key(), reader.Value());
        reader.Skip();
    }
    reader.Next();
}

// ---------------------------------------------------------------------------
// The application settings of setting.yaml
// ---------------------------------------------------------------------------

namespace {

bool AtBlockEnd(const TYamlReader& reader) noexcept
{
    return reader.EventKind() == TYamlEvent::BlockEnd || reader.EventKind() == TYamlEvent::DocumentEnd;
}

// The reader stands on the SequenceStart of "modules" and is left behind
// its BlockEnd.
void ReadModules(TYamlReader& reader, const TModuleLoader& loadModule)
{
    reader.Next();
    while (!AtBlockEnd(reader)) {
        if (reader.EventKind() == TYamlEvent::Scalar && loadModule)
            loadModule(reader.GetValue());
        reader.Skip();
    }
    reader.Next();
}

} // namespace

void ReadApplicationSettings(std::string_view settingsText, TApplicationSettings& out,
                             const TModuleLoader& loadModule)
{
    ComPtr<TYamlReader> reader = NewYamlReader("Nimbra", std::string(settingsText));
    if (reader->EventKind() != TYamlEvent::MappingStart)
        return;
    reader->Next();
    while (!AtBlockEnd(*reader)) {
        reader->LowerCaseKey();
        const TYamlEvent event = reader->EventKind();
        const std::string& key = reader->Key();
        if (event == TYamlEvent::SequenceStart && key == "modules") {
            ReadModules(*reader, loadModule);
        } else if (event == TYamlEvent::MappingStart && key == "skin") {
            ReadSkin(*reader, out.Skin);
        } else {
            // Taken whatever their form: an entry that opens a block has an
            // empty value.
            if (key == "initial-filter")
                out.InitialFilter = reader->GetValue();
            else if (key == "editor")
                out.Editor = reader->GetValue();
            reader->Skip();
        }
    }
}

// ---------------------------------------------------------------------------
// The window settings of setting.yaml
// ---------------------------------------------------------------------------

namespace {

// The reader stands on the MappingStart of "key" and is left behind its
// BlockEnd.
void ReadKeyBindings(TYamlReader& reader, IActionManager* actions, TKeyAssignment& keys)
{
    reader.Next();
    while (!AtBlockEnd(reader)) {
        if (reader.EventKind() == TYamlEvent::Scalar) {
            TKeyCombination combination = ParseKeyName(Utf8ToUnicode(reader.Key()));
            try {
                ComPtr<IAction> action = FindAction(actions, YamlUnescape(reader.Value()));
                keys.Assign(combination.Modifiers, combination.Key, action.get());
            } catch (const EInvalidContainer&) {
                // An unknown action leaves the key as it was.
            }
        }
        reader.Skip();
    }
    reader.Next();
}

// The access character of a menu entry's key: its first character, none
// for "+" or an empty key.
wchar_t AccessCharacter(const std::string& key)
{
    if (key.empty() || key[0] == '+')
        return 0;
    if (static_cast<unsigned char>(key[0]) < 0x80)
        return static_cast<wchar_t>(key[0]);
    // A key that starts with a non-ASCII letter: that letter, not a byte of it.
    std::wstring decoded = Utf8ToUnicode(key);
    return decoded.empty() ? 0 : decoded[0];
}

// The named action, else "Dummy"; null when not even that exists.
ComPtr<IAction> MenuAction(IActionManager* actions, const std::string& name)
{
    for (const std::string& candidate : {name, std::string(kDummyActionName)}) {
        try {
            return FindAction(actions, candidate);
        } catch (const EAbort&) {
            throw;
        } catch (...) {
        }
    }
    return nullptr;
}

void ReadMenuItems(TYamlReader& reader, IActionManager* actions, TAnyMenu& menu, bool ownerDraw);

// The reader stands on the item's MappingStart and is left behind its
// BlockEnd.
void ReadMenuItem(TYamlReader& reader, IActionManager* actions, TAnyMenu& menu, bool ownerDraw)
{
    reader.Next();
    TMenuItem* item = nullptr;
    if (reader.EventKind() == TYamlEvent::Scalar) {
        wchar_t access = AccessCharacter(reader.Key());
        if (!reader.Value().empty() && reader.Value()[0] == '"') {
            item = AddSubmenuHeader(&menu, reader.GetValue());
            if (access != 0)
                item->SetAccessKey(access);
            AddSubmenu(item);
        } else if (ComPtr<IAction> action = MenuAction(actions, YamlUnescape(reader.Value()))) {
            item = AddActionItem(&menu, action.get(), access);
        }
        if (item != nullptr)
            item->SetOwnerDraw(ownerDraw);
    }
    if (!AtBlockEnd(reader))
        reader.Skip();
    if (item != nullptr && reader.EventKind() == TYamlEvent::SequenceStart && reader.Key() == "*")
        ReadMenuItems(reader, actions, *AddSubmenu(item), ownerDraw);
    while (!AtBlockEnd(reader))
        reader.Skip();
    reader.Next();
}

// The reader stands on a SequenceStart of menu items and is left behind
// its BlockEnd.
void ReadMenuItems(TYamlReader& reader, IActionManager* actions, TAnyMenu& menu, bool ownerDraw)
{
    reader.Next();
    while (!AtBlockEnd(reader)) {
        if (reader.EventKind() == TYamlEvent::MappingStart) {
            ReadMenuItem(reader, actions, menu, ownerDraw);
            continue;
        }
        if (reader.EventKind() == TYamlEvent::Scalar)
            AddSeparator(&menu)->SetOwnerDraw(ownerDraw);
        reader.Skip();
    }
    reader.Next();
}

} // namespace

void ReadWindowSettings(std::string_view settingsText, IActionManager* actions, TKeyAssignment& keys,
                        TMainMenu& menu, bool ownerDraw)
{
    ComPtr<TYamlReader> reader = NewYamlReader("Nimbra", std::string(settingsText));
    if (reader->EventKind() != TYamlEvent::MappingStart)
        return;
    reader->Next();
    while (!AtBlockEnd(*reader)) {
        reader->LowerCaseKey();
        const TYamlEvent event = reader->EventKind();
        const std::string& key = reader->Key();
        if (event == TYamlEvent::MappingStart && key == "key")
            ReadKeyBindings(*reader, actions, keys);
        else if (event == TYamlEvent::SequenceStart && key == "menu")
            ReadMenuItems(*reader, actions, menu, ownerDraw);
        else
            reader->Skip();
    }
}

std::string ReadSettingsFile(const std::wstring& path)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return {};
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        return {};

    // A file too large to hold counts as unreadable, like one that cannot be
    // opened: start-up goes on with the defaults.
    std::string text;
    try {
        text.resize(static_cast<size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        return {};
    } catch (const std::length_error&) {
        return {};
    }
    size_t total = 0;
    while (total < text.size()) {
        DWORD read = 0;
        if (!ReadFile(file.get(), text.data() + total, static_cast<DWORD>(text.size() - total), &read, nullptr))
            return {};
        if (read == 0)
            break; // the file was shortened while we read it
        total += read;
    }
    text.resize(total);
    return text;
}

std::wstring ModulePath(const std::wstring& programDirectory, const std::wstring& entry)
{
    return programDirectory + entry;
}

std::string ModuleFileName(const std::wstring& programDirectory, const std::wstring& entry)
{
    return UnicodeToAnsi(ModulePath(programDirectory, entry));
}

std::wstring SkinPicturePath(const std::wstring& name, const std::wstring& programDirectory)
{
    const bool fromDrive = name.size() >= 2 && name[1] == L':';
    const bool fromRoot = !name.empty() && (name[0] == L'\\' || name[0] == L'/');
    if (name.empty() || fromDrive || fromRoot)
        return name;
    return programDirectory + name;
}
