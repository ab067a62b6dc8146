// The text formats two instances of the program exchange: the parameters of
// a command line and the execute command a second instance hands to the
// first ([open("path")]). Both come from outside the process, so they are
// read by these standard-library-only functions.
#pragma once

// Standard library
#include <cstddef>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

// The parameter at index (0 is the program name) of a command line, split by
// the rule of this program: characters up to and including the space
// separate parameters, and a double-quoted stretch may hold them and loses
// its quotes. Empty when there are fewer parameters.
std::wstring CommandLineParameter(std::wstring_view commandLine, size_t index);

// ---------------------------------------------------------------------------
// Hand-off between instances
// ---------------------------------------------------------------------------

struct THandOffCommand {
    std::wstring Name;
    std::wstring Argument;
    // A second argument: the name of the hand-off ticket a second start of
    // this program sends along (see BuildOpenCommand); empty without one.
    std::wstring Ticket;
};

// Parses an execute command such as [open("C:\Work")]. A text that does not
// begin with "[" gives an empty name. The text ends at its first zero
// character, so a DDE buffer may be passed with its terminator.
THandOffCommand ParseHandOffCommand(std::wstring_view text);

// The only command the serving instance carries out: "open" in any ASCII
// letter case.
bool IsOpenCommand(std::wstring_view name);
inline bool IsOpenCommand(const THandOffCommand& command)
{
    return IsOpenCommand(command.Name);
}

// The command a second instance sends: [open("path")], with every double
// quote of the path doubled so that ParseHandOffCommand gives the path back.
// With a ticket: [open("path","ticket")]. The ticket names an object the
// sender holds, which the serving instance claims before it acknowledges
// the command; a sender that gives up claims it back, so exactly one side
// wins and a late command is not opened behind the sender's back.
std::wstring BuildOpenCommand(std::wstring_view path, std::wstring_view ticket = {});

// Whether c may stand in a command name: the system's letter test. The
// platform side of the program supplies it.
bool IsHandOffNameLetter(wchar_t c) noexcept;
