#include "app/HandOff.h"

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

namespace {

// Every character up to and including the space separates parameters: tabs
// and line breaks as well as blanks.
bool IsParameterSeparator(wchar_t c) noexcept
{
    return c <= L' ';
}

// Reads the parameter that starts at pos (on a non-separator) and moves pos
// behind it. A double quote opens or closes a quoted stretch anywhere in the
// parameter, so "C:\Program Files"\x and C:\"Program Files"\x both give
// C:\Program Files\x; an unclosed quote runs to the end of the line.
std::wstring ReadParameter(std::wstring_view line, size_t& pos)
{
    std::wstring parameter;
    bool quoted = false;
    for (; pos < line.size() && (quoted || !IsParameterSeparator(line[pos])); ++pos) {
        if (line[pos] == L'"')
            quoted = !quoted;
        else
            parameter += line[pos];
    }
    return parameter;
}

} // namespace

std::wstring CommandLineParameter(std::wstring_view commandLine, size_t index)
{
    size_t pos = 0;
    for (size_t current = 0;; ++current) {
        while (pos < commandLine.size() && IsParameterSeparator(commandLine[pos]))
            ++pos;
        if (pos >= commandLine.size())
            return {};
        std::wstring parameter = ReadParameter(commandLine, pos);
        if (current == index)
            return parameter;
    }
}

// ---------------------------------------------------------------------------
// Hand-off between instances
// ---------------------------------------------------------------------------

THandOffCommand ParseHandOffCommand(std::wstring_view text)
{
    THandOffCommand command;
    text = text.substr(0, text.find(L'\0'));
    if (text.empty() || text[0] != L'[')
        return command;

    size_t pos = 1;
    auto skipSpaces = [&] {
        while (pos < text.size() && text[pos] == L' ')
            ++pos;
    };

    skipSpaces();
    const size_t nameStart = pos;
    while (pos < text.size() && IsHandOffNameLetter(text[pos]))
        ++pos;
    command.Name.assign(text.substr(nameStart, pos - nameStart));
    skipSpaces();

    if (pos >= text.size() || text[pos] != L'(')
        return command;
    ++pos;
    skipSpaces();

    // A quoted argument, in which a doubled quote stands for one and a
    // missing closing quote takes the rest of the text, or a bare one up to
    // a space, a comma or a closing parenthesis.
    auto readArgument = [&] {
        std::wstring argument;
        if (pos < text.size() && text[pos] == L'"') {
            for (++pos; pos < text.size(); ++pos) {
                if (text[pos] == L'"') {
                    if (pos + 1 >= text.size() || text[pos + 1] != L'"') {
                        ++pos;
                        break;
                    }
                    ++pos;
                }
                argument += text[pos];
            }
        } else {
            const size_t argumentStart = pos;
            while (pos < text.size() && text[pos] != L' ' && text[pos] != L',' && text[pos] != L')')
                ++pos;
            argument.assign(text.substr(argumentStart, pos - argumentStart));
        }
        return argument;
    };
    command.Argument = readArgument();
    skipSpaces();
    if (pos < text.size() && text[pos] == L',') {
        ++pos;
        skipSpaces();
        command.Ticket = readArgument();
    }
    return command;
}

bool IsOpenCommand(std::wstring_view name)
{
    static constexpr std::wstring_view open = L"open";
    if (name.size() != open.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        wchar_t c = name[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != open[i])
            return false;
    }
    return true;
}

std::wstring BuildOpenCommand(std::wstring_view path, std::wstring_view ticket)
{
    auto quoted = [](std::wstring& out, std::wstring_view text) {
        out += L'"';
        for (wchar_t c : text) {
            out += c;
            if (c == L'"')
                out += L'"';
        }
        out += L'"';
    };
    std::wstring command = L"[open(";
    command.reserve(path.size() + ticket.size() + 12);
    quoted(command, path);
    if (!ticket.empty()) {
        command += L',';
        quoted(command, ticket);
    }
    command += L")]";
    return command;
}

