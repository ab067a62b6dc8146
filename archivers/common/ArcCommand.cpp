// Command lines and safe entry names of our archiver libraries.
#include "archivers/common/ArcCommand.h"

// Standard library
#include <algorithm>
#include <array>

namespace arccmd {

namespace {

// One argument with what its first character was when it stood outside
// quotes: "-" makes a switch and "@" a response file; quoted, both are
// plain names.
struct TArgument {
    std::wstring Text;
    bool Switch = false;
    bool Response = false;
};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

wchar_t FoldAscii(wchar_t c)
{
    if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c - L'A' + L'a');
    if (c == L'/') return L'\\';
    return c;
}

std::vector<TArgument> Split(std::wstring_view line)
{
    std::vector<TArgument> result;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size()) break;
        TArgument argument;
        argument.Switch = line[i] == L'-';
        argument.Response = line[i] == L'@';
        if (argument.Response) ++i;
        bool quoted = false;
        for (; i < line.size() && (quoted || !IsBlank(line[i])); ++i) {
            if (line[i] == L'"')
                quoted = !quoted;
            else
                argument.Text += line[i];
        }
        if (quoted) throw ECommandError("The command line has an unclosed quote.");
        result.push_back(std::move(argument));
    }
    return result;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool IsReservedDeviceName(std::wstring_view component)
{
    std::wstring_view base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    for (std::wstring_view device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"})
        if (EqualsIgnoringCase(base, device)) return true;
    if (base.size() == 4 && (StartsWithIgnoringCase(base, L"com") || StartsWithIgnoringCase(base, L"lpt")) &&
        base[3] >= L'1' && base[3] <= L'9')
        return true;
    return false;
}

// The name with "/" made "\" and no separator at either end.
std::wstring Normalized(std::wstring_view name)
{
    std::wstring result(name);
    std::replace(result.begin(), result.end(), L'/', L'\\');
    while (!result.empty() && result.back() == L'\\') result.pop_back();
    size_t start = 0;
    while (start < result.size() && result[start] == L'\\') ++start;
    return result.substr(start);
}

}  // namespace

bool TCommand::HasSwitch(std::wstring_view name) const
{
    return std::any_of(Switches.begin(), Switches.end(), [&](const std::wstring& s) { return s == name; });
}

std::optional<std::wstring> TCommand::SwitchValue(std::wstring_view name) const
{
    for (const std::wstring& s : Switches) {
        size_t dashes = s.find_first_not_of(L'-');
        if (dashes == std::wstring::npos) continue;
        std::wstring_view body = std::wstring_view(s).substr(dashes);
        if (body.size() > name.size() && body.substr(0, name.size()) == name && body[name.size()] == L'=')
            return std::wstring(body.substr(name.size() + 1));
    }
    return std::nullopt;
}

std::vector<std::wstring> SplitArguments(std::wstring_view line)
{
    std::vector<std::wstring> result;
    for (TArgument& argument : Split(line))
        result.push_back((argument.Response ? L"@" : L"") + std::move(argument.Text));
    return result;
}

TCommand ParseCommand(std::wstring_view line, bool hasCommandWord, const TResponseReader& readResponse)
{
    std::vector<TArgument> arguments = Split(line);
    TCommand command;
    size_t i = 0;
    if (hasCommandWord) {
        if (arguments.empty() || arguments[0].Switch || arguments[0].Response)
            throw ECommandError("The command line names no command.");
        command.Command = arguments[0].Text;
        i = 1;
    }
    for (; i < arguments.size(); ++i) {
        TArgument& argument = arguments[i];
        if (argument.Switch) {
            command.Switches.push_back(std::move(argument.Text));
        } else if (argument.Response) {
            std::optional<std::wstring> contents = readResponse ? readResponse(argument.Text) : std::nullopt;
            if (!contents) throw ECommandError("The response file cannot be read.");
            for (TArgument& name : Split(*contents))
                if (!name.Text.empty()) command.Names.push_back((name.Response ? L"@" : L"") + std::move(name.Text));
        } else if (command.Archive.empty()) {
            command.Archive = std::move(argument.Text);
        } else if (command.Folder.empty() && command.Names.empty() && !argument.Text.empty() &&
                   IsSeparator(argument.Text.back())) {
            command.Folder = std::move(argument.Text);
        } else if (!argument.Text.empty()) {
            command.Names.push_back(std::move(argument.Text));
        }
    }
    if (command.Archive.empty()) throw ECommandError("The command line names no archive.");
    return command;
}

std::optional<std::wstring> SafeRelativePath(std::wstring_view entryName)
{
    if (entryName.empty() || IsSeparator(entryName[0])) return std::nullopt;
    std::wstring result;
    size_t start = 0;
    while (start <= entryName.size()) {
        size_t end = start;
        while (end < entryName.size() && !IsSeparator(entryName[end])) ++end;
        std::wstring component(entryName.substr(start, end - start));
        start = end + 1;
        if (component.empty() || component == L".") continue;
        if (component == L"..") return std::nullopt;
        for (wchar_t c : component)
            if (c < 0x20 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) return std::nullopt;
        while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) component.pop_back();
        if (component.empty() || component.size() > 255) return std::nullopt;
        if (IsReservedDeviceName(component)) component.insert(0, L"_");
        if (!result.empty()) result += L'\\';
        result += component;
    }
    if (result.empty()) return std::nullopt;
    return result;
}

namespace {

bool Matches(std::wstring_view pattern, std::wstring_view name, bool ignoreCase)
{
    auto same = [ignoreCase](wchar_t a, wchar_t b) { return ignoreCase ? FoldAscii(a) == FoldAscii(b) : a == b; };
    size_t p = 0, n = 0, starP = std::wstring_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || same(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::wstring_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

}  // namespace

bool MatchesPattern(std::wstring_view pattern, std::wstring_view name, bool ignoreCase)
{
    return Matches(pattern, name, ignoreCase);
}

TSelected SelectionOf(const std::vector<std::wstring>& names, std::wstring_view entryPath)
{
    if (names.empty()) return TSelected::Exactly;
    std::wstring entry = Normalized(entryPath);
    TSelected best = TSelected::No;
    for (const std::wstring& raw : names) {
        std::wstring name = Normalized(raw);
        if (name.empty() || name == L"*") return TSelected::Exactly;
        std::wstring folder = name + L'\\';
        if (Matches(name, entry, false) || entry.compare(0, folder.size(), folder) == 0) return TSelected::Exactly;
        if (Matches(name, entry, true) || StartsWithIgnoringCase(entry, folder)) best = TSelected::IgnoringCase;
    }
    return best;
}

bool IsSelected(const std::vector<std::wstring>& names, std::wstring_view entryPath)
{
    return SelectionOf(names, entryPath) != TSelected::No;
}

}  // namespace arccmd
