// DDE conversations: the one DDEML instance of the process, the service this
// program offers under its own name, and the execute transaction that hands a
// command to a running instance.
//
// DDEML binds an instance to the thread that initialised it: every function
// here that talks to DDEML must run on the thread that called StartDde first,
// and the callback (and with it the command host) runs on that thread too.
#pragma once

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LHandles.h"

// Platform
#include <windows.h>
#include <ddeml.h>
#include <unknwn.h>

// Standard library
#include <string>
#include <string_view>

// A DDEML failure. The message is the Japanese text of the DDEML error code,
// empty for codes outside DMLERR_FIRST..DMLERR_LAST.
class EDDEError : public Exception {
public:
    // Takes the code from DdeGetLastError of the current instance.
    EDDEError();
    explicit EDDEError(UINT errorCode);
    UINT ErrorCode() const noexcept { return FErrorCode; }

private:
    UINT FErrorCode;
};

// The text for a DDEML error code (0x4000-0x4011); empty for any other code.
std::wstring_view DdeErrorText(UINT errorCode);

// Starts DDE for one user: the first user initialises DDEML, the first server
// user registers the service (DdeServiceName). Raises EDDEError on failure,
// leaving the counts as they were.
void StartDde(bool asServer);
// Ends one user's DDE: the last server user unregisters the service, the last
// user uninitialises DDEML. A stop without a start is an assertion (LDDEMan).
void StopDde(bool asServer);

// The DDEML instance identifier; 0 while DDE is not started.
DWORD DdeInstance() noexcept;
// Whether the service is currently registered.
bool DdeServiceRegistered() noexcept;

// The service name this program offers: its file name without folder and
// extension (so "nimbra.exe" serves "nimbra").
std::wstring DdeServiceName();
std::wstring ServiceNameFromPath(std::wstring_view programPath);

// Sends command as one execute transaction to service/topic. With the default
// TIMEOUT_ASYNC the result only says that the connection was made and the
// transaction was accepted for delivery; with a timeout in milliseconds it
// says whether the server acknowledged the command (this program's server
// acknowledges a command on "SYSTEM" when it has a command host to run it).
// Fails quietly (false) when nobody offers the service; an empty service or
// topic is refused rather than sent to whichever server happens to answer.
bool DdeExecute(std::wstring_view service, std::wstring_view topic, std::wstring_view command,
                DWORD timeout = TIMEOUT_ASYNC);

// Asks service/topic for one item as text (CF_UNICODETEXT) with a request
// transaction and waits at most timeout milliseconds. False when nobody
// offers the service or the server has no answer for the item.
bool DdeRequest(std::wstring_view service, std::wstring_view topic, std::wstring_view item, std::wstring& answer,
                DWORD timeout = 5000);

// Answers request transactions on "SYSTEM": called on the DDE thread with
// the item's name; true with the answer, false when the item is unknown.
// Null (the default) answers none.
using TDdeRequestHandler = bool (*)(std::wstring_view item, std::wstring& answer);
void SetDdeRequestHandler(TDdeRequestHandler handler) noexcept;

// String handles of the current instance. All of them assert (LDDEMan) when
// DDE is not started.
// The empty string gives the null handle; failure raises EDDEError.
HSZ CreateDdeString(std::wstring_view text);
std::wstring ReadDdeString(HSZ handle);
// Null is allowed; failure raises EDDEError.
void FreeDdeString(HSZ handle);
// Transaction data as text: the data read as UTF-16 up to its first zero.
std::wstring ReadDdeData(HDDEDATA data);

// Owner of a string handle of the current instance.
struct DdeStringTraits {
    using Type = HSZ;
    static constexpr HSZ Invalid() noexcept { return nullptr; }
    static void Close(HSZ handle) noexcept;
};
using TDdeString = UniqueResource<DdeStringTraits>;

// Execute data on the wire. Some DDEML implementations (Wine's among them)
// guess the character set of execute data and read UTF-16 text with any
// character above U+00FF as ANSI, which destroys Japanese paths. Such a
// command therefore travels as a U+0001 mark followed by its UTF-8 bytes, one
// byte per UTF-16 unit; anything else travels unchanged, so plain commands
// of other clients still arrive as sent.
std::wstring EncodeDdeCommand(std::wstring_view command);
std::wstring DecodeDdeCommand(std::wstring_view data);
// The command of an execute transaction as its sender wrote it.
std::wstring ReadDdeCommand(HDDEDATA data);

// The arguments of one DDEML callback, as handed to conversation objects.
struct TDdeTransaction {
    UINT Type;
    UINT Format;
    HCONV Conversation;
    HSZ String1; // the topic for most transactions
    HSZ String2; // the service for connects, the item for data transactions
    HDDEDATA Data;
    ULONG_PTR Data1;
    ULONG_PTR Data2;
};

// A conversation the callback passes transactions to that it does not handle
// itself: connects on topics other than "SYSTEM", the connect confirmation,
// and every transaction of the conversation the object names. An object is
// registered with AddDdeConversation and leaves the list when destroyed.
class TDdeConversation {
public:
    TDdeConversation() = default;
    TDdeConversation(const TDdeConversation&) = delete;
    TDdeConversation& operator=(const TDdeConversation&) = delete;
    virtual ~TDdeConversation();

    // The conversation this object serves; null before it is connected.
    virtual HCONV Conversation() const noexcept = 0;
    // Non-null answers the transaction; null leaves it to the next object
    // (and, for an execute on "SYSTEM", to the command host).
    virtual HDDEDATA Dispatch(const TDdeTransaction& transaction) = 0;
};

void AddDdeConversation(TDdeConversation* conversation);
// Unknown or null objects are ignored.
void RemoveDdeConversation(TDdeConversation* conversation) noexcept;

// The application object asked for ICommandHost. Not counted: the serving
// start-up sets it before StartDde(true) and clears it (null) after StopDde.
// Without one, executes on "SYSTEM" are not processed. An execute on "SYSTEM"
// that no conversation answers is acknowledged in the callback and run right
// after it, from a message the DDE thread's message loop dispatches; commands
// run one after the other, never nested in one another.
void SetDdeApplication(IUnknown* application) noexcept;

// Decides in the callback whether an execute on "SYSTEM" is taken: only a
// command that is taken is acknowledged, and a taken command is run. Called
// on the DDE thread with the command as its sender wrote it. Null (the
// default) takes every command.
using TDdeCommandFilter = bool (*)(std::wstring_view command);
void SetDdeCommandFilter(TDdeCommandFilter filter) noexcept;
