// ungca32.dll, a test double of the GCA archiver library: it lists and
// extracts what a test describes and records what it was asked, so the GCA
// module's tests can check the calls it makes. It is never shipped.
//
// Beside the archive path (the archive itself need not exist):
//   "<archive>.listing"  written by the test, UTF-8, one entry a line:
//                        name TAB size TAB attributes TAB unix-time TAB contents
//                        (attributes decimal or 0x-hex; contents as text with
//                        \n, \t and \\ escapes; a folder's name ends in "\")
//   "<archive>.calls"    appended by the double: one line per call of the
//                        command entry points and the settings dialog,
//                        function name TAB the line as received (system
//                        code page bytes), CR LF.
// Commands: "ex ARC DEST\ ITEM..." writes each item's contents to DEST under
// its file name; "e ARC DEST\" writes every entry with its folders.
// UnGCAExtractMem with "ex ARC .\ ITEM" copies the contents (up to the
// buffer's size) into the buffer.

// Platform
#include <windows.h>

// Standard library
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Project
#include "archivers/common/ArcDll.h"

namespace {

struct TItem {
    arcdll::TListedEntry Entry;
    std::string Contents;
};

std::string Unescaped(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            result += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            result += text[i];
        }
    }
    return result;
}

std::optional<std::vector<TItem>> ReadListing(const std::wstring& archive)
{
    HANDLE file = CreateFileW((archive + L".listing").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    CloseHandle(file);
    std::vector<TItem> items;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> fields;
        size_t at = 0;
        for (int i = 0; i < 4; ++i) {
            size_t tab = line.find('\t', at);
            if (tab == std::string::npos) break;
            fields.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        fields.push_back(line.substr(at));
        if (fields.size() < 4) continue;
        TItem item;
        item.Entry.Name = arcdll::Utf8ToWide(fields[0]);
        std::replace(item.Entry.Name.begin(), item.Entry.Name.end(), L'/', L'\\');
        item.Entry.Size = std::strtoull(fields[1].c_str(), nullptr, 10);
        item.Entry.PackedSize = item.Entry.Size;
        item.Entry.Attributes = static_cast<uint32_t>(std::strtoul(fields[2].c_str(), nullptr, 0));
        item.Entry.WriteTime = arccmd::UnixToFileTime(std::strtoll(fields[3].c_str(), nullptr, 10));
        item.Entry.Method = "GCA";
        if (fields.size() > 4) item.Contents = Unescaped(fields[4]);
        items.push_back(std::move(item));
    }
    return items;
}

void RecordCall(const std::wstring& archive, const char* function, const char* line)
{
    HANDLE file = CreateFileW((archive + L".calls").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string record = std::string(function) + "\t" + (line ? line : "") + "\r\n";
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

const TItem& FindItem(const std::vector<TItem>& items, std::wstring name)
{
    std::replace(name.begin(), name.end(), L'/', L'\\');
    for (const TItem& item : items)
        if (Lower(item.Entry.Name) == Lower(name)) return item;
    arcdll::Fail(arcerr::NotExist, L"The archive holds no " + name + L".");
}

std::vector<TItem> Listing(const std::wstring& archive)
{
    std::optional<std::vector<TItem>> items = ReadListing(archive);
    if (!items) arcdll::Fail(arcerr::ArcFileOpen, L"No listing for " + archive + L".");
    return *items;
}

void WriteItem(const TItem& item, const std::wstring& path)
{
    arcdll::TOutputFile output(path);
    output.Write(item.Contents.data(), item.Contents.size());
    output.Commit(item.Entry.WriteTime);
}

void RunGcaCommand(const arccmd::TCommand& command, std::wstring& report)
{
    std::vector<TItem> items = Listing(command.Archive);
    if (command.Command == L"ex") {
        for (const std::wstring& name : command.Names)
            WriteItem(FindItem(items, name), arcdll::ExtractionPath(command.Folder, FindItem(items, name).Entry.Name, false));
    } else if (command.Command == L"e") {
        for (const TItem& item : items) {
            std::wstring path = arcdll::ExtractionPath(command.Folder, item.Entry.Name, true);
            if (!item.Entry.Name.empty() && item.Entry.Name.back() == L'\\') arcdll::CreateFolders(path);
            else WriteItem(item, path);
        }
    } else {
        arcdll::Fail(arcerr::CommandName, L"Unknown command " + command.Command + L".");
    }
    report = L"done";
}

// The archive a command line names (for the call record), or empty.
std::wstring ArchiveOf(const char* line)
{
    try {
        return arccmd::ParseCommand(arcdll::AnsiToWide(line ? line : ""), true, nullptr).Archive;
    } catch (...) {
        return {};
    }
}

}  // namespace

extern "C" {

int WINAPI UnGCA(HWND, LPCSTR commandLine, LPSTR output, DWORD outputSize)
{
    try {
        std::wstring archive = ArchiveOf(commandLine);
        if (!archive.empty()) RecordCall(archive, "UnGCA", commandLine);
        return arcdll::RunCommand(commandLine, output, outputSize, true, RunGcaCommand);
    } catch (...) {
        return arcerr::CannotRead;
    }
}

BOOL WINAPI UnGCAConfigDialog(HWND, LPSTR, int)
{
    // A test never wants a modal window: the double shows nothing.
    return TRUE;
}

HANDLE WINAPI UnGCAOpenArchive(HWND, LPCSTR archivePath, DWORD)
{
    return arcdll::OpenListing(archivePath, [](const std::wstring& path) {
        std::optional<std::vector<TItem>> items = ReadListing(path);
        if (!items) throw std::runtime_error("not a listing");
        std::vector<arcdll::TListedEntry> entries;
        for (TItem& item : *items) entries.push_back(std::move(item.Entry));
        return entries;
    });
}

int WINAPI UnGCACloseArchive(HANDLE archive) { return arcdll::CloseListing(archive); }

int WINAPI UnGCAFindFirst(HANDLE archive, LPCSTR pattern, arcdll::TIndividualInfo* info)
{
    return arcdll::FindFirstEntry(archive, pattern, info);
}

int WINAPI UnGCAFindNext(HANDLE archive, arcdll::TIndividualInfo* info) { return arcdll::FindNextEntry(archive, info); }

int WINAPI UnGCAGetAttribute(HANDLE archive) { return arcdll::CurrentAttributes(archive); }

BOOL WINAPI UnGCAGetWriteTimeEx(HANDLE archive, FILETIME* time)
{
    return arcdll::CurrentFileTime(archive, time, &arcdll::TListedEntry::WriteTime);
}

int WINAPI UnGCAExtractMem(HWND, LPCSTR commandLine, LPBYTE buffer, DWORD size, void*, LPWORD, LPDWORD written)
{
    try {
        std::wstring archive = ArchiveOf(commandLine);
        if (!archive.empty()) RecordCall(archive, "UnGCAExtractMem", commandLine);
        arccmd::TCommand command = arccmd::ParseCommand(arcdll::AnsiToWide(commandLine ? commandLine : ""), true, nullptr);
        if (command.Command != L"ex" || command.Names.size() != 1) return arcerr::CommandName;
        std::optional<std::vector<TItem>> items = ReadListing(command.Archive);
        if (!items) return arcerr::ArcFileOpen;
        const TItem& item = FindItem(*items, command.Names[0]);
        DWORD n = static_cast<DWORD>(std::min<size_t>(size, item.Contents.size()));
        if (n > 0 && !buffer) return arcerr::CannotWrite;
        std::copy_n(item.Contents.data(), n, buffer);
        if (written) *written = n;
        return 0;
    } catch (const arcio::EArchiveError& e) {
        return e.Code();
    } catch (...) {
        return arcerr::CannotRead;
    }
}

}  // extern "C"
