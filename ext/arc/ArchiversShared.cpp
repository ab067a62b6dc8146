// What the archiver modules share besides the folder bridge.
#include "ext/arc/ArchiversShared.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

// Standard library
#include <atomic>
#include <cfloat>

TArchiverLibrary::TArchiverLibrary(std::wstring fileName, TRaiseArchiverError raise)
    : FFileName(std::move(fileName)), FRaise(raise)
{
}

TArchiverLibrary::~TArchiverLibrary()
{
    if (FModule != nullptr)
        FreeLibrary(FModule);
}

void TArchiverLibrary::Raise(const std::wstring& message) const
{
    FRaise(message);
    throw EArchiverError(message);
}

void TArchiverLibrary::Load()
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FModule != nullptr)
        return;
    UINT previous = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    FModule = LoadLibraryA(ToAnsi(FFileName).c_str());
    SetErrorMode(previous);
    // A library may leave floating-point exceptions pending.
    _clearfp();
    if (FModule == nullptr) {
        wchar_t message[512];
        swprintf(message, 512, L"%lsの読み込みに失敗しました.", FFileName.c_str());
        Raise(message);
    }
}

FARPROC TArchiverLibrary::Function(const char* name)
{
    Load();
    std::lock_guard<std::mutex> guard(FLock);
    for (const auto& [bound, address] : FBound)
        if (bound == name)
            return address;
    FARPROC address = GetProcAddress(FModule, name);
    if (address == nullptr) {
        wchar_t message[512];
        swprintf(message, 512, L"%lsには%ls APIは存在しません.", FFileName.c_str(), FromAnsi(name).c_str());
        Raise(message);
    }
    FBound.emplace_back(name, address);
    return address;
}

std::string ToAnsi(std::wstring_view text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), n, nullptr, nullptr);
    return result;
}

std::wstring FromAnsi(std::string_view text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), n);
    return result;
}

namespace {

bool ConvertsToAnsi(std::wstring_view text)
{
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0,
                        nullptr, &lossy);
    return !lossy;
}

// The short form of an existing path, or empty.
std::wstring ShortPath(const std::wstring& path)
{
    DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring result(size, L'\0');
    DWORD length = GetShortPathNameW(path.c_str(), result.data(), size);
    if (length == 0 || length >= size)
        return {};
    result.resize(length);
    return result;
}

} // namespace

std::wstring AnsiSafePath(std::wstring_view path)
{
    std::wstring full(path);
    if (full.empty() || ConvertsToAnsi(full))
        return full;
    std::wstring shortened = ShortPath(full);
    if (!shortened.empty() && ConvertsToAnsi(shortened))
        return shortened;
    size_t slash = full.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 0) {
        std::wstring folder = ShortPath(full.substr(0, slash));
        std::wstring joined = folder + full.substr(slash);
        if (!folder.empty() && ConvertsToAnsi(joined))
            return joined;
    }
    return full;
}

std::wstring Quoted(std::wstring_view text)
{
    return L"\"" + std::wstring(text) + L"\"";
}

std::wstring QuotedPath(std::wstring_view path)
{
    return Quoted(AnsiSafePath(path));
}

std::wstring QuotedFolder(std::wstring_view folder)
{
    std::wstring path(folder);
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    path = AnsiSafePath(path);
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    return Quoted(path);
}

std::wstring ItemPathInArchive(std::wstring_view subPath, std::wstring_view name)
{
    if (subPath.empty())
        return std::wstring(name);
    return std::wstring(subPath) + L"/" + std::wstring(name);
}

FILETIME UnixTimeToFileTime(DWORD seconds)
{
    uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

namespace {

std::wstring TemporaryFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring folder(buffer, length > MAX_PATH ? 0 : length);
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

std::atomic<unsigned> NameCounter{0};

// A name no other call of this process uses at the same moment.
std::wstring FreshName(const wchar_t* stem)
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%lx-%x", stem, static_cast<unsigned long>(GetCurrentProcessId()), NameCounter.fetch_add(1));
    return name;
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(path + L"\\");
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

TResponseFile::TResponseFile(const std::vector<std::wstring>& lines)
{
    std::wstring folder = TemporaryFolder();
    HANDLE file = INVALID_HANDLE_VALUE;
    // A fresh name, made anew: a file of that name left by someone else is
    // never written into.
    for (int tries = 0; tries < 100 && file == INVALID_HANDLE_VALUE; ++tries) {
        FPath = folder + FreshName(L"nimarc") + L".lst";
        file = CreateFileW(FPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    auto fail = [&] {
        wchar_t message[600];
        swprintf(message, 600, L"レスポンスファイル%lsを作成できませんでした.", FPath.c_str());
        throw EInOutError(message);
    };
    if (file == INVALID_HANDLE_VALUE)
        fail();
    std::string text;
    for (const std::wstring& line : lines)
        text += ToAnsi(line) + "\r\n";
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(FPath.c_str());
        fail();
    }
}

TResponseFile::~TResponseFile()
{
    DeleteFileW(FPath.c_str());
}

std::wstring TResponseFile::ShortPath() const
{
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = GetShortPathNameW(FPath.c_str(), buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return FPath;
    return std::wstring(buffer, length);
}

TScratchFolder::TScratchFolder()
{
    std::wstring folder = TemporaryFolder();
    for (int tries = 0; tries < 100; ++tries) {
        std::wstring path = folder + FreshName(L"nimarc");
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            FPath = path + L"\\";
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw EInOutError(L"作業フォルダを作成できませんでした: " + folder);
}

TScratchFolder::~TScratchFolder()
{
    RemoveTree(FPath);
}

IApplication* HostApplication()
{
    IApplication* application = nullptr;
    NimbraGetApplication(&application);
    return application;
}

bool EndsWithIgnoringCase(std::wstring_view text, std::wstring_view suffix)
{
    return text.size() >= suffix.size() &&
           CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, text.data() + text.size() - suffix.size(),
                          static_cast<int>(suffix.size()), suffix.data(), static_cast<int>(suffix.size())) == CSTR_EQUAL;
}

bool AnsiStartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    if (prefix.empty() || text.compare(0, prefix.size(), prefix) == 0)
        return true;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, text.data(), static_cast<int>(prefix.size()),
                          prefix.data(), static_cast<int>(prefix.size())) == CSTR_EQUAL;
}

std::wstring PackNames(const std::wstring& baseFolder, const std::vector<std::wstring>& names, bool folderStars,
                       TResponsePath responsePath, std::unique_ptr<TResponseFile>& response)
{
    std::wstring base = baseFolder;
    if (!base.empty() && base.back() != L'\\')
        base += L'\\';
    auto entry = [&](const std::wstring& name) {
        // A name the code page cannot carry would reach the library as "?"
        // wildcards or a look-alike letter, and other files would be packed
        // in its place: such a pack is refused.
        if (!ConvertsToAnsi(name))
            throw EArchiverError(name + L"はシステムの文字コードで表せない名前なので圧縮できません.");
        DWORD attributes = folderStars ? GetFileAttributesW((base + name).c_str()) : INVALID_FILE_ATTRIBUTES;
        bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        return Quoted(folder ? name + L"\\*" : name);
    };
    if (names.size() == 1)
        return L" " + entry(names[0]);
    std::vector<std::wstring> lines;
    lines.reserve(names.size());
    for (const std::wstring& name : names)
        lines.push_back(entry(name));
    response = std::make_unique<TResponseFile>(lines);
    return L" @" + (responsePath == TResponsePath::Short ? response->ShortPath() : Quoted(response->Path()));
}
