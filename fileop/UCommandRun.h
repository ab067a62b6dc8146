// Running one command line without a window: the command text a view's
// names suggest, the console program's output captured through pipes, the
// interpreter's answer for a command it does not know, and the text a run
// leaves for the user.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text the command field opens with, and where its caret stands.
struct TCommandPrefill {
    std::wstring Text;
    int32_t Caret = 0;
};

// The name as one argument of a command line, in double quotes when it holds
// a space or a character the command interpreter reads as its own ("&",
// "|", "^", "%", "!", "<", ">", parentheses and the like) or that splits
// its arguments (",", ";", "="). Inside the quotes the interpreter takes
// them as they stand, and a program started directly gets the bare name.
// The one exception: the interpreter still puts a variable's value in place
// of "%name%" when a variable of that name exists.
std::wstring QuotedName(std::wstring_view name);

// The command line that runs the command text through the interpreter: the
// text inside one pair of quotes after "/s /c", which the interpreter strips
// and nothing else, so that quotes within the text keep their meaning.
std::wstring InterpreterCommandLine(std::wstring_view command);

// Whether the name ends in one of the extensions the system runs directly
// (".exe", ".com", ".bat", ".cmd"), ignoring case.
bool HasExecutableExtension(std::wstring_view name);

// The command text for a view: the marked names (in view order) each after
// a space, the caret at the start, so that the command is typed in front of
// them; else the caret entry's name, a program followed by a space with the
// caret at the end, anything else after a space with the caret at the start;
// empty for an empty view (no caret entry).
TCommandPrefill InitialCommandLine(const std::vector<std::wstring>& markedNames,
                                   std::optional<std::wstring_view> caretName);

// What the interpreter writes to its error stream for a command it does
// not know, on Japanese Windows (exit code 1) and under Wine (exit code
// 9009); either means the program was not found.
bool IsUnknownCommandError(DWORD exitCode, std::string_view errorBytes);

// The text of a run: where and what, the output, then the errors under a
// separator line when there are any.
std::wstring CommandResultText(std::wstring_view directory, std::wstring_view command, std::wstring_view output,
                               std::wstring_view error);

// Bytes of a console program (in the system's ANSI code page) as text.
std::wstring AnsiToWide(std::string_view bytes);
// Text in the system's ANSI code page, for a file an editor opens.
std::string WideToAnsi(std::wstring_view text);

// The editor the settings name; the system's own when they name none.
std::wstring EditorOrDefault(std::wstring_view configured);
// The command line that opens file in editor.
std::wstring EditorCommandLine(std::wstring_view editor, std::wstring_view file);

// The system's temporary folder, with its trailing backslash.
std::wstring TemporaryDirectory();

// What a captured run gave: whether the program started (the system's
// error code when not), its exit code and the bytes of both its streams.
struct TCapturedRun {
    bool Started = false;
    DWORD StartError = 0;
    DWORD ExitCode = 0;
    std::string Output;
    std::string Error;
};

// Runs commandLine in directory with its standard streams on pipes: an
// empty input, and both outputs read while it runs, so that a program that
// fills one stream never waits for the other to be read. Returns when the
// program has ended. Pipes that cannot be made raise EOSError.
TCapturedRun RunCaptured(const std::wstring& commandLine, const std::wstring& directory);
