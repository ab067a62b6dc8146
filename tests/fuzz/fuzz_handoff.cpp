// The hand-off between two instances: any text as the execute command the
// serving instance receives and as a command line, and the command a second
// instance builds from a path and a ticket (fields separated by a zero
// byte), which must come back unchanged.
#include "app/HandOff.h"
#include "tests/fuzz/FuzzInput.h"

// Standard library
#include <cwctype>

// The platform's letter test, natively: the C library's.
bool IsHandOffNameLetter(wchar_t c) noexcept
{
    return std::iswalpha(static_cast<wint_t>(c)) != 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::wstring text = fuzz::WideFromBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    THandOffCommand received = ParseHandOffCommand(text);
    fuzz::Check(received.Name.size() <= text.size() && received.Argument.size() <= text.size() &&
                    received.Ticket.size() <= text.size(),
                "a part of the command is longer than the command");
    (void)IsOpenCommand(received);
    for (size_t index = 0; index < 4; ++index)
        fuzz::Check(CommandLineParameter(text, index).size() <= text.size(), "a parameter longer than the line");

    auto fields = fuzz::SplitFields(data, size, 2);
    std::wstring path = fuzz::WideFromBytes(fields[0]);
    std::wstring ticket = fuzz::WideFromBytes(fields[1]);
    // A zero character ends a DDE command, so neither part may hold one.
    if (path.find(L'\0') != std::wstring::npos || ticket.find(L'\0') != std::wstring::npos)
        return 0;
    std::wstring sent = BuildOpenCommand(path, ticket);
    THandOffCommand back = ParseHandOffCommand(sent);
    fuzz::Check(IsOpenCommand(back), "a built command is not an open command");
    fuzz::Check(back.Argument == path, "the path does not come back");
    fuzz::Check(back.Ticket == ticket, "the ticket does not come back");
    // The serving instance may get the buffer with its terminator.
    sent.push_back(L'\0');
    sent += L"garbage";
    fuzz::Check(ParseHandOffCommand(sent).Argument == path, "the terminator does not end the command");
    return 0;
}
