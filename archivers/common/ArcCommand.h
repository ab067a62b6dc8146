// The command lines our archiver libraries accept, and the rules that keep an
// entry name inside the folder it is extracted to. Plain text in, plain values
// out: no platform headers, so the parsing is tested and fuzzed natively.
#pragma once

// Standard library
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace arccmd {

// A command line that cannot be understood; the message is shown as it is.
class ECommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the response file at a path; nullopt when it cannot be read.
using TResponseReader = std::function<std::optional<std::wstring>(const std::wstring& path)>;

// A command line taken apart. The libraries' callers send
//   [command] [switches] "archive" ["folder\"] [names...] [@response]
// where switches start with "-", the folder (destination or base) is the
// first argument after the archive that ends in "\" or "/", and every other
// argument is a name. Switches may also come after the archive.
struct TCommand {
    std::wstring Command;                // "a", "x", "e", "u", ... (empty for libraries without one)
    std::vector<std::wstring> Switches;  // as written, "-" included
    std::wstring Archive;
    std::wstring Folder;                 // ends in "\" or "/" when given; empty when not
    std::vector<std::wstring> Names;     // from the line and the response files, in order

    bool HasSwitch(std::wstring_view name) const;
    // The value of "--name=value" or of "-name=value"; nullopt when absent.
    std::optional<std::wstring> SwitchValue(std::wstring_view name) const;
};

// Splits at blanks; double quotes group and are removed ("a""b" is a"b is
// not special: quotes only toggle). Fails on an unclosed quote.
std::vector<std::wstring> SplitArguments(std::wstring_view line);

// Parses a command line. With hasCommandWord the first argument is the
// command. "@path" (quoted or not, "@" outside or inside the quotes) names a
// response file: its lines (or blank-separated words; quotes group) are
// names. Response files do not nest.
TCommand ParseCommand(std::wstring_view line, bool hasCommandWord, const TResponseReader& readResponse);

// The path an entry name may be extracted to, relative to the destination
// and with "\" separators, or nullopt when the name must be refused:
//   - ".." components, absolute paths, drive letters, UNC and device paths
//     ("\\?\", "\\.\"), and names with ":" (alternate data streams) are
//     refused;
//   - "." and empty components are dropped; trailing dots and blanks of
//     every component are dropped (Windows would drop them on its own and
//     two names would become one), a component left empty is refused;
//   - control characters and < > " | ? * are refused;
//   - a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or
//     without an extension) gets "_" in front;
//   - a component longer than 255 characters is refused.
// A name that is nothing but separators and dots gives nullopt too.
std::optional<std::wstring> SafeRelativePath(std::wstring_view entryName);

// Whether a name matches a pattern with "*" and "?" (case-insensitive in
// ASCII unless ignoreCase is false; "\" and "/" are the same). Used for the
// names given to extract.
bool MatchesPattern(std::wstring_view pattern, std::wstring_view name, bool ignoreCase = true);

// Whether an entry is selected by the names of a command: no names selects
// everything; a name selects the entry of that path, everything below it
// when it is a folder, and what its wildcards match; "dir\*" selects
// everything below dir.
bool IsSelected(const std::vector<std::wstring>& names, std::wstring_view entryPath);

// How the names select an entry: not at all, only once letter case is
// ignored, or as written (no names, "*", or a name that matches in exactly
// its letter case). An archive made elsewhere may hold "a.txt" and "A.TXT"
// both; the name asked for in its own case then wins the file they share.
enum class TSelected { No, IgnoringCase, Exactly };
TSelected SelectionOf(const std::vector<std::wstring>& names, std::wstring_view entryPath);

// Seconds since 1970 and FILETIME ticks (100 ns since 1601), both UTC.
constexpr long long UnixEpochInFileTimeSeconds = 11644473600LL;
inline long long UnixToFileTime(long long seconds) { return (seconds + UnixEpochInFileTimeSeconds) * 10000000LL; }
inline long long FileTimeToUnix(long long ticks) { return ticks / 10000000LL - UnixEpochInFileTimeSeconds; }

}  // namespace arccmd
