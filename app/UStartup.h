// The self-contained rules of start-up: the command line, the hand-off
// command between two instances, the skin record and the application
// settings of setting.yaml. The application object (UMain) calls these;
// none of them needs a window.
#pragma once

// Own
#include "app/HandOff.h"
#include "app/nimyaml.h"

// Toolkit
#include "lw/LInterfaces.h"
#include "lw/LMenus.h"

// Platform
#include <windows.h>

// Standard library
#include <functional>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

struct TCommandLine {
    // "/ROOT" stands anywhere in the command line, in any letter case.
    bool Root = false;
    // "/DDESERVER" stands anywhere in the command line, in any letter case.
    bool DdeServer = false;
    // The first parameter after the program name, quotes removed.
    std::wstring FirstParameter;
    // The folder to open when Root is not set: FirstParameter, or "." when
    // that is empty or a switch.
    std::wstring StartFolder;
};

// Reads a whole command line as GetCommandLineW returns it.
TCommandLine ParseCommandLine(std::wstring_view commandLine);

// ---------------------------------------------------------------------------
// Skin
// ---------------------------------------------------------------------------

// Colours, pictures, font and switches of the file lists, from the "skin"
// section of setting.yaml. Colours are COLORREF values (0x00BBGGRR). A
// default-constructed record holds the fixed defaults; the three colours
// taken from the system are only set by FillSkinDefaults.
struct TSkin {
    bool OwnerDraw = false;
    bool FlatScrollBar = false;
    std::wstring Background;
    std::wstring Info;
    std::wstring NameSpace;
    std::wstring Founds;
    std::wstring Archive;
    std::wstring FaceName = L"ＭＳ ゴシック";
    COLORREF BackgroundColor = 0xFFFFFF;
    COLORREF FileName = 0x000000;
    COLORREF SystemFile = 0x770077;
    COLORREF Hidden = 0x007700;
    COLORREF ReadOnly = 0x770000;
    COLORREF Directory = 0x777700;
    COLORREF Virtual = 0x000077;
    COLORREF Selected = 0xFFFFFF;
    COLORREF Line = 0;
    COLORREF InfoText = 0;
    COLORREF SelectedInfoText = 0;

    bool operator==(const TSkin&) const = default;
};

// Resets every field to its default, fetching the system colours now.
void FillSkinDefaults(TSkin& skin);

// Where a skin picture named in the settings is: a relative name lies in
// the program's folder (which ends in a backslash); a name with a drive, a
// UNC name or one from the root stays as it is.
std::wstring SkinPicturePath(const std::wstring& name, const std::wstring& programDirectory);

// Offers one entry of the "skin" section to every field. key is the entry's
// key in lower case, rawValue its value as the reader holds it (quotes and
// escapes still in it). A key that names no field, or a number or Boolean
// that does not parse, leaves the record as it is. True when a field took
// the value.
bool ApplySkinEntry(TSkin& skin, std::string_view key, std::string_view rawValue);

// Reads a "skin" mapping. The reader stands on its MappingStart and is left
// behind the mapping's BlockEnd; on any other event nothing is read.
void ReadSkin(TYamlReader& reader, TSkin& skin);

// ---------------------------------------------------------------------------
// The application settings of setting.yaml
// ---------------------------------------------------------------------------

struct TApplicationSettings {
    TSkin Skin;
    std::wstring InitialFilter;
    std::wstring Editor;
};

// Receives the text of one "modules" entry, in order of the file.
using TModuleLoader = std::function<void(const std::wstring& moduleEntry)>;

// Reads "modules", "skin", "initial-filter" and "editor" from the settings
// text into out, handing every module entry to loadModule; every other key is
// skipped. What the text does not set stays as it was in out, so the caller
// fills the skin defaults first. An empty text sets nothing. A reader error
// (Exception with one of the "YAML ..." messages) propagates; what was read
// before it stays in out.
void ReadApplicationSettings(std::string_view settingsText, TApplicationSettings& out,
                             const TModuleLoader& loadModule);

// ---------------------------------------------------------------------------
// The window settings of setting.yaml
// ---------------------------------------------------------------------------

// What a menu item falls back to when its action is unknown.
inline constexpr const char* kDummyActionName = "Dummy";

// Reads "key" into keys and "menu" into menu, on the window thread that
// owns them (the menu items take command identifiers of the calling
// thread). Both sections may come more than once; later bindings replace
// earlier ones and later menu items follow earlier ones.
//
// Key bindings: a key name (ParseKeyName) and an action name found through
// actions; a binding whose action no manager knows is dropped. Menu items:
// a scalar is a separator; a mapping's first entry gives the access
// character (first character of its key, "+" for none) and either a
// double-quoted submenu caption or an action name (unknown ones take the
// action "Dummy"); a following "*" sequence holds the item's submenu.
// Every item gets ownerDraw. Other entries are skipped.
//
// A reader error propagates; what was read before it stays.
void ReadWindowSettings(std::string_view settingsText, IActionManager* actions, TKeyAssignment& keys,
                        TMainMenu& menu, bool ownerDraw);

// The whole content of the file, or an empty text when it is missing or
// cannot be read.
std::string ReadSettingsFile(const std::wstring& path);

// The path of a module entry: the program directory (with its trailing
// separator) followed directly by the entry's text.
std::wstring ModulePath(const std::wstring& programDirectory, const std::wstring& entry);
// The same path in the system code page, for LoadLibraryA. Characters the
// code page lacks are lost; LoadLibraryW with ModulePath keeps them.
std::string ModuleFileName(const std::wstring& programDirectory, const std::wstring& entry);
