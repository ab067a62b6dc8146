// 7-zip32.dll and its ZIP core: the broken and hostile archives a reader
// must survive, the writer's ZIP64 switch at its exact bounds, packing that
// fails half-way, and the listing records the file manager reads.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "archivers/common/ArcDll.h"
#include "archivers/zip/ZipCore.h"
#include "tests/archivers/AnswerBox.h"

namespace {

// The library through its exports, loaded the way the archive module does.
std::wstring LibraryPath()
{
    std::wstring path = L"Z:" + arcdll::AnsiToWide(ZIP_LIBRARY_PATH);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

struct TLibrary {
    HMODULE Module = LoadLibraryW(LibraryPath().c_str());
    int (WINAPI* Command)(HWND, LPCSTR, LPSTR, DWORD) = nullptr;
    HANDLE (WINAPI* Open)(HWND, LPCSTR, DWORD) = nullptr;
    int (WINAPI* Close)(HANDLE) = nullptr;
    int (WINAPI* First)(HANDLE, LPCSTR, arcdll::TIndividualInfo*) = nullptr;
    int (WINAPI* Next)(HANDLE, arcdll::TIndividualInfo*) = nullptr;
    int (WINAPI* Attribute)(HANDLE) = nullptr;
    DWORD (WINAPI* WriteTime)(HANDLE) = nullptr;
    BOOL (WINAPI* WriteTimeEx)(HANDLE, FILETIME*) = nullptr;
    int (WINAPI* Type)(LPCSTR) = nullptr;
    template <typename T>
    void Bind(T& f, const char* name) { f = reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(Module, name))); }
    TLibrary()
    {
        Bind(Command, "SevenZip");
        Bind(Open, "SevenZipOpenArchive");
        Bind(Close, "SevenZipCloseArchive");
        Bind(First, "SevenZipFindFirst");
        Bind(Next, "SevenZipFindNext");
        Bind(Attribute, "SevenZipGetAttribute");
        Bind(WriteTime, "SevenZipGetWriteTime");
        Bind(WriteTimeEx, "SevenZipGetWriteTimeEx");
        Bind(Type, "SevenZipGetArchiveType");
    }
    // Runs a command; the output text goes to message.
    int Run(const std::wstring& line, std::string* message = nullptr)
    {
        char output[4096] = "x";
        int result = Command(nullptr, arcdll::WideToAnsi(line).c_str(), output, 4095);
        if (message) *message = arcdll::WideToUtf8Text(arcdll::AnsiToWide(output));
        return result;
    }
};

TLibrary& Library()
{
    static TLibrary library;
    return library;
}

class TFolder {
public:
    explicit TFolder(const wchar_t* name)
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        FPath = std::wstring(base) + name + L"-" + std::to_wstring(GetCurrentProcessId());
        Remove(FPath);
        CreateDirectoryW(FPath.c_str(), nullptr);
    }
    ~TFolder() { Remove(FPath); }
    std::wstring operator/(const std::wstring& name) const { return FPath + L"\\" + name; }
    const std::wstring& Path() const { return FPath; }
    // Everything below, as "name" or "dir\name" lines, sorted.
    std::vector<std::wstring> Contents() const
    {
        std::vector<std::wstring> result;
        Walk(FPath, L"", result);
        std::sort(result.begin(), result.end());
        return result;
    }

private:
    static void Walk(const std::wstring& path, const std::wstring& prefix, std::vector<std::wstring>& out)
    {
        WIN32_FIND_DATAW d;
        HANDLE f = FindFirstFileW((path + L"\\*").c_str(), &d);
        if (f == INVALID_HANDLE_VALUE) return;
        do {
            std::wstring n = d.cFileName;
            if (n == L"." || n == L"..") continue;
            out.push_back(prefix + n);
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Walk(path + L"\\" + n, prefix + n + L"\\", out);
        } while (FindNextFileW(f, &d));
        FindClose(f);
    }
    static void Remove(const std::wstring& path)
    {
        WIN32_FIND_DATAW d;
        HANDLE f = FindFirstFileW((path + L"\\*").c_str(), &d);
        if (f != INVALID_HANDLE_VALUE) {
            do {
                std::wstring n = d.cFileName;
                if (n == L"." || n == L"..") continue;
                std::wstring child = path + L"\\" + n;
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(child);
                else
                    DeleteFileW(child.c_str());
            } while (FindNextFileW(f, &d));
            FindClose(f);
        }
        RemoveDirectoryW(path.c_str());
    }
    std::wstring FPath;
};

void WriteFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
}

std::string ReadFile(const std::wstring& path)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "(missing)";
    std::string result(GetFileSize(f, nullptr), '\0');
    DWORD read = 0;
    ::ReadFile(f, result.data(), static_cast<DWORD>(result.size()), &read, nullptr);
    CloseHandle(f);
    return result;
}

std::wstring Q(const std::wstring& s) { return L"\"" + s + L"\""; }

uint32_t Get32(const std::string& s, size_t at)
{
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}
void Set32(std::string& s, size_t at, uint32_t v) { std::memcpy(s.data() + at, &v, 4); }
void Set16(std::string& s, size_t at, uint16_t v) { std::memcpy(s.data() + at, &v, 2); }

// An archive made by our writer in memory, one entry per (name, bytes); a
// name ending in "/" is a folder.
std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries, zipcore::TWriterLimits limits = {})
{
    zipcore::TMemoryArchive out;
    zipcore::TWriter writer(out, limits);
    for (const auto& [name, bytes] : entries) {
        zipcore::TNewEntry e;
        e.Name = name;
        e.Directory = !name.empty() && name.back() == '/';
        e.DosDate = (41 << 9) | (3 << 5) | 4;  // 2021-03-04
        e.DosTime = (5 << 11) | (6 << 5) | 3;  // 05:06:06
        arcio::TMemoryInput input(bytes.data(), bytes.size());
        writer.Add(e, e.Directory ? nullptr : &input);
    }
    writer.Finish();
    return out.Data();
}

size_t EndRecord(const std::string& zip) { return zip.rfind(std::string("PK\5\6", 4)); }
size_t CentralStart(const std::string& zip) { return Get32(zip, EndRecord(zip) + 16); }

// A hand-made archive of stored entries whose central headers carry the
// given extra fields, host and attributes (what other tools write).
struct TRawEntry {
    std::string Name, Data, Extra;
    uint16_t MadeBy = 0, Flags = 0;
    uint32_t External = 0;
};
std::string RawZip(const std::vector<TRawEntry>& entries)
{
    std::string local, central;
    auto p16 = [](std::string& s, size_t value) {
        auto v = static_cast<uint16_t>(value);
        s.append(reinterpret_cast<const char*>(&v), 2);
    };
    auto p32 = [](std::string& s, size_t value) {
        auto v = static_cast<uint32_t>(value);
        s.append(reinterpret_cast<const char*>(&v), 4);
    };
    for (const TRawEntry& e : entries) {
        uint32_t crc = zipcore::Crc32(0, e.Data.data(), e.Data.size());
        uint32_t offset = static_cast<uint32_t>(local.size());
        p32(local, 0x04034b50); p16(local, 20); p16(local, e.Flags); p16(local, 0);
        p16(local, (5 << 11)); p16(local, (41 << 9) | (3 << 5) | 4);
        p32(local, crc); p32(local, e.Data.size()); p32(local, e.Data.size());
        p16(local, e.Name.size()); p16(local, 0);
        local += e.Name + e.Data;
        p32(central, 0x02014b50); p16(central, e.MadeBy); p16(central, 20); p16(central, e.Flags); p16(central, 0);
        p16(central, (5 << 11)); p16(central, (41 << 9) | (3 << 5) | 4);
        p32(central, crc); p32(central, e.Data.size()); p32(central, e.Data.size());
        p16(central, e.Name.size()); p16(central, e.Extra.size()); p16(central, 0); p16(central, 0); p16(central, 0);
        p32(central, e.External); p32(central, offset);
        central += e.Name + e.Extra;
    }
    std::string end;
    p32(end, 0x06054b50); p16(end, 0); p16(end, 0); p16(end, entries.size()); p16(end, entries.size());
    p32(end, central.size()); p32(end, local.size()); p16(end, 0);
    return local + central + end;
}

// Bytes deflate cannot shrink.
std::string Noise(size_t size)
{
    std::string result;
    uint32_t state = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        result.push_back(static_cast<char>(state >> 24));
    }
    return result;
}

std::string Field(uint16_t tag, const std::string& body)
{
    std::string f(4, '\0');
    Set16(f, 0, tag);
    Set16(f, 2, static_cast<uint16_t>(body.size()));
    return f + body;
}

}  // namespace

TEST(ZipCore, RoundTripPicksDeflateOrStoredAndStopsAtTheDeclaredSize)
{
    std::string text(100000, 'a'), random;
    random = Noise(5000);
    std::string zip = MakeZip({{"d/", ""}, {"d/text", text}, {"d/random", random}, {"empty", ""}});
    arcio::TMemoryInput input(zip.data(), zip.size());
    zipcore::TReader reader(input);
    ASSERT_EQ(reader.Entries().size(), 4u);
    EXPECT_TRUE(reader.Entries()[0].Directory);
    EXPECT_EQ(reader.Entries()[1].Method, zipcore::MethodDeflate);
    EXPECT_EQ(reader.Entries()[2].Method, zipcore::MethodStored);
    EXPECT_EQ(reader.Entries()[2].PackedSize, random.size());
    const std::string expected[] = {"", text, random, ""};
    for (size_t i = 0; i < 4; ++i) {
        arcio::TMemoryOutput out;
        reader.Extract(reader.Entries()[i], out);
        EXPECT_EQ(out.Data(), expected[i]) << i;
    }

    // A zip bomb: the central and local headers declare 1,000 bytes of what
    // inflates to 100,000. Extraction stops there and writes no more.
    size_t cd = CentralStart(zip);
    const zipcore::TEntry& t = reader.Entries()[1];
    Set32(zip, static_cast<size_t>(t.LocalOffset) + 22, 1000);
    Set32(zip, cd + (reader.Entries()[0].Name.size() + 46) + 24, 1000);
    arcio::TMemoryInput bombInput(zip.data(), zip.size());
    zipcore::TReader bomb(bombInput);
    arcio::TMemoryOutput limited(1000);
    try {
        bomb.Extract(bomb.Entries()[1], limited);
        FAIL() << "the bomb was extracted";
    } catch (const arcio::EArchiveError& e) {
        EXPECT_EQ(e.Code(), arcerr::HeaderBroken);
        EXPECT_NE(std::string(e.what()).find("declared size"), std::string::npos) << e.what();
    }
    EXPECT_LE(limited.Data().size(), 1000u);
}

TEST(ZipCore, Zip64StartsExactlyAtTheFormatsBounds)
{
    auto hasTag = [](const std::string& zip, const char* bytes, size_t n) { return zip.find(std::string(bytes, n)) != std::string::npos; };
    // Sizes: a limit of 100 stands for 4 GiB; 99 bytes stay 32-bit, 100 need ZIP64.
    zipcore::TWriterLimits limits{100, 0xFFFF};
    std::string small = MakeZip({{"f", std::string(99, 'r')}}, limits);
    std::string big = MakeZip({{"f", std::string(100, 'r')}}, limits);
    EXPECT_EQ(small.find(std::string("\x01\x00\x10\x00", 4)), std::string::npos);
    EXPECT_EQ(Get32(small, 22), 99u);
    // The local header of the big one gives both sizes in its ZIP64 field.
    EXPECT_EQ(Get32(big, 18), 0xFFFFFFFFu);
    EXPECT_EQ(Get32(big, 22), 0xFFFFFFFFu);
    EXPECT_EQ(big.compare(30 + 1, 4, std::string("\x01\x00\x10\x00", 4)), 0);
    arcio::TMemoryInput bigInput(big.data(), big.size());
    zipcore::TReader bigReader(bigInput);
    arcio::TMemoryOutput bigOut;
    bigReader.Extract(bigReader.Entries()[0], bigOut);
    EXPECT_EQ(bigOut.Data(), std::string(100, 'r'));
    // Offsets: the second entry lies at 100 or beyond, the first at 0.
    std::string distant = MakeZip({{"a", Noise(120)}, {"b", "y"}}, limits);
    arcio::TMemoryInput distantInput(distant.data(), distant.size());
    zipcore::TReader distantReader(distantInput);
    EXPECT_EQ(distantReader.Entries()[1].Name, "b");
    EXPECT_GE(distantReader.Entries()[1].LocalOffset, 100u);
    EXPECT_TRUE(hasTag(distant, "PK\6\6", 4));  // the central directory starts past the bound too
    arcio::TMemoryOutput out;
    distantReader.Extract(distantReader.Entries()[1], out);
    EXPECT_EQ(out.Data(), "y");

    // Entry counts at the real bound: 65,534 fit the 16-bit field, 65,535 do not.
    for (size_t count : {size_t(65534), size_t(65535)}) {
        zipcore::TMemoryArchive archive;
        zipcore::TWriter writer(archive);
        zipcore::TNewEntry e;
        for (size_t i = 0; i < count; ++i) {
            e.Name = std::to_string(i);
            writer.Add(e, nullptr);
        }
        writer.Finish();
        EXPECT_EQ(hasTag(archive.Data(), "PK\6\6", 4), count == 65535) << count;
        arcio::TMemoryInput input(archive.Data().data(), archive.Data().size());
        EXPECT_EQ(zipcore::TReader(input).Entries().size(), count);
    }
}

TEST(ZipLibrary, BrokenArchivesGiveErrorsAndLeaveNoFiles)
{
    TFolder folder(L"zip-broken");
    std::string good = MakeZip({{"one.txt", std::string(3000, 'o')}, {"two.txt", "second"}});
    size_t cd = CentralStart(good);
    struct TCase {
        const char* What;
        std::string Bytes;
        int Code;
    };
    std::vector<TCase> cases;
    cases.push_back({"truncated", good.substr(0, good.size() / 2), arcerr::NotArcFile});
    std::string outside = good;
    Set32(outside, EndRecord(outside) + 16, static_cast<uint32_t>(outside.size()));
    cases.push_back({"central directory outside", outside, arcerr::HeaderBroken});
    // The central directory starting at the end record: the headers it would
    // read are the end record itself, then nothing.
    std::string looping = good;
    Set32(looping, EndRecord(looping) + 16, static_cast<uint32_t>(EndRecord(looping)));
    Set32(looping, EndRecord(looping) + 12, 0);
    cases.push_back({"central directory looping onto the end record", looping, arcerr::HeaderBroken});
    std::string otherName = good;
    otherName[30] = 'X';  // the first local header's name
    cases.push_back({"local name differs", otherName, arcerr::HeaderBroken});
    std::string otherSize = good;
    Set32(otherSize, 18, Get32(otherSize, 18) + 1);  // the first local header's packed size
    cases.push_back({"local size differs", otherSize, arcerr::HeaderBroken});
    std::string badCrc = good;
    Set32(badCrc, 14, Get32(badCrc, 14) ^ 1);
    Set32(badCrc, cd + 16, Get32(badCrc, cd + 16) ^ 1);
    cases.push_back({"CRC mismatch", badCrc, arcerr::FileCrc});
    std::string encrypted = RawZip({{"secret.txt", "xxxxxxxxxxxxxxxx", "", 0, 1, 0}});
    cases.push_back({"encrypted", encrypted, arcerr::NotSupport});

    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::wstring zip = folder / L"broken.zip", out = folder / L"out";
        WriteFile(zip, c.Bytes);
        CreateDirectoryW(out.c_str(), nullptr);
        std::string message;
        EXPECT_EQ(Library().Run(L"x -hide " + Q(zip) + L" " + Q(out + L"\\"), &message), c.Code) << message;
        EXPECT_FALSE(message.empty());
        // Only what was whole: the good second entry where the damage is in
        // the first, never a partial or temporary file.
        std::vector<std::wstring> left;
        WIN32_FIND_DATAW d;
        HANDLE f = FindFirstFileW((out + L"\\*").c_str(), &d);
        while (f != INVALID_HANDLE_VALUE) {
            if (d.cFileName[0] != L'.') left.push_back(d.cFileName);
            if (!FindNextFileW(f, &d)) break;
        }
        if (f != INVALID_HANDLE_VALUE) FindClose(f);
        for (const std::wstring& name : left) EXPECT_TRUE(name == L"two.txt") << arcdll::WideToUtf8Text(name);
        if (c.Code == arcerr::FileCrc) {
            EXPECT_NE(message.find("one.txt"), std::string::npos) << message;
        }
        if (c.Code == arcerr::NotArcFile || c.What == std::string("central directory outside")) {
            EXPECT_EQ(Library().Open(nullptr, arcdll::WideToAnsi(zip).c_str(), 0), nullptr);
        }
        DeleteFileW((out + L"\\two.txt").c_str());
    }
}

TEST(ZipLibrary, UnsafeNamesAreRefusedWhileTheRestIsExtracted)
{
    TFolder folder(L"zip-unsafe");
    std::wstring zip = folder / L"evil.zip";
    WriteFile(zip, MakeZip({{"../x", "up"}, {"C:\\x", "drive"}, {"a:b", "stream"}, {"ok/fine.txt", "fine"}}));
    std::wstring out = folder / L"deep\\out";
    CreateDirectoryW((folder / L"deep").c_str(), nullptr);
    std::string message;
    EXPECT_EQ(Library().Run(L"x " + Q(zip) + L" " + Q(out + L"\\"), &message), arcerr::NotFilename);
    EXPECT_NE(message.find("..\\x"), std::string::npos) << message;
    EXPECT_NE(message.find("a:b"), std::string::npos) << message;
    EXPECT_EQ(ReadFile(out + L"\\ok\\fine.txt"), "fine");
    EXPECT_EQ(folder.Contents(), (std::vector<std::wstring>{L"deep", L"deep\\out", L"deep\\out\\ok", L"deep\\out\\ok\\fine.txt", L"evil.zip"}));
}

// An archive made elsewhere may hold two names that differ only in letter
// case. Whichever comes first, the name asked for as written is the one
// extracted, even with the overwrite switch; a name that matches neither as
// written gets the later of the two, as a whole extraction does.
TEST(ZipLibrary, TheNameAskedForWinsOverOneDifferingOnlyInCase)
{
    TFolder folder(L"zip-case");
    std::wstring zip = folder / L"case.zip";
    for (bool lowerFirst : {true, false}) {
        std::vector<std::pair<std::string, std::string>> entries = {{"dup.txt", "lower"}, {"DUP.TXT", "UPPER"}};
        if (!lowerFirst) std::swap(entries[0], entries[1]);
        WriteFile(zip, MakeZip(entries));
        const std::string later = entries[1].second;
        for (auto [name, expected] : {std::pair<std::wstring, std::string>{L"dup.txt", "lower"}, {L"DUP.TXT", "UPPER"},
                                      {L"Dup.txt", later}, {L"*", later}}) {
            std::wstring out = folder / L"out";
            DeleteFileW((out + L"\\dup.txt").c_str());
            EXPECT_EQ(Library().Run(L"e -aoa -hide " + Q(zip) + L" " + Q(out + L"\\") + L" " + Q(name)), 0);
            EXPECT_EQ(ReadFile(out + L"\\dup.txt"), expected) << "asked for " << arcdll::WideToUtf8Text(name) << (lowerFirst ? ", lower first" : ", upper first");
        }
    }
}

TEST(ZipLibrary, AFailedPackLeavesTheOldArchiveAndAnUpdateReplacesByName)
{
    TFolder folder(L"zip-pack");
    CreateDirectoryW((folder / L"src").c_str(), nullptr);
    WriteFile(folder / L"src\\a.txt", "first a");
    WriteFile(folder / L"src\\b.txt", "b");
    std::wstring zip = folder / L"x.zip", base = folder / L"src\\";
    ASSERT_EQ(Library().Run(L"a -r0 -tzip " + Q(zip) + L" " + Q(base) + L" a.txt b.txt"), 0);
    const std::string before = ReadFile(zip);

    // A missing name half-way through the list: nothing changes.
    std::string message;
    EXPECT_EQ(Library().Run(L"a -r0 -tzip " + Q(zip) + L" " + Q(base) + L" a.txt missing.txt", &message), arcerr::NotExist);
    EXPECT_NE(message.find("missing.txt"), std::string::npos) << message;
    EXPECT_EQ(ReadFile(zip), before);
    // A source that cannot be read once packing has begun (locked): the same.
    HANDLE lock = CreateFileW((folder / L"src\\b.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(Library().Run(L"a -r0 -tzip " + Q(zip) + L" " + Q(base) + L" a.txt b.txt", &message), 0);
    CloseHandle(lock);
    EXPECT_EQ(ReadFile(zip), before);
    EXPECT_EQ(folder.Contents(), (std::vector<std::wstring>{L"src", L"src\\a.txt", L"src\\b.txt", L"x.zip"}));
    // A file of that name that is no archive is not replaced.
    WriteFile(folder / L"not.zip", "plain text");
    EXPECT_EQ(Library().Run(L"a -r0 -tzip " + Q(folder / L"not.zip") + L" " + Q(base) + L" a.txt"), arcerr::NotArcFile);
    EXPECT_EQ(ReadFile(folder / L"not.zip"), "plain text");

    // Update: a.txt replaced (names compare without case), b.txt kept.
    WriteFile(folder / L"src\\A.TXT", "second a");
    ASSERT_EQ(Library().Run(L"a -r0 -tzip " + Q(zip) + L" " + Q(base) + L" A.TXT"), 0);
    TFolder out(L"zip-pack-out");
    ASSERT_EQ(Library().Run(L"x " + Q(zip) + L" " + Q(out.Path() + L"\\")), 0);
    EXPECT_EQ(ReadFile(out / L"a.txt"), "second a");
    EXPECT_EQ(ReadFile(out / L"b.txt"), "b");
    EXPECT_EQ(out.Contents().size(), 2u);
}

// Files already under the entries' names are replaced only with the
// overwrite switch or the user's yes; the user is asked once per command.
TEST(ZipLibrary, ExistingFilesAreReplacedOnlyWhenTheUserSays)
{
    TFolder folder(L"zip-existing");
    CreateDirectoryW((folder / L"src").c_str(), nullptr);
    WriteFile(folder / L"src\\a.txt", "new a");
    WriteFile(folder / L"src\\b.txt", "new b");
    WriteFile(folder / L"src\\c.txt", "new c");
    std::wstring zip = folder / L"x.zip";
    ASSERT_EQ(Library().Run(L"a -r0 -tzip " + Q(zip) + L" " + Q(folder / L"src\\") + L" a.txt b.txt c.txt"), 0);
    const struct {
        int Button;
        int Code;
        const char* A;
        const char* B;
        const char* C;  // absent before: written unless the user stopped
    } cases[] = {
        {IDNO, 0, "old a", "old b", "new c"},
        {IDYES, 0, "new a", "new b", "new c"},
        {IDCANCEL, arcerr::UserCancel, "old a", "old b", "(missing)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Button);
        TFolder out(L"zip-existing-out");
        WriteFile(out / L"a.txt", "old a");
        WriteFile(out / L"b.txt", "old b");
        TAnswerer answerer(L"7-zip32.dll", c.Button);
        std::string message;
        EXPECT_EQ(Library().Run(L"x " + Q(zip) + L" " + Q(out.Path() + L"\\"), &message), c.Code) << message;
        EXPECT_EQ(answerer.Asked, 1) << "asked once for the whole command";
        EXPECT_EQ(ReadFile(out / L"a.txt"), c.A);
        EXPECT_EQ(ReadFile(out / L"b.txt"), c.B);
        EXPECT_EQ(ReadFile(out / L"c.txt"), c.C);
    }
    // The overwrite switch asks nothing.
    TFolder out(L"zip-existing-aoa");
    WriteFile(out / L"a.txt", "old a");
    TAnswerer answerer(L"7-zip32.dll", IDNO);
    EXPECT_EQ(Library().Run(L"e -aoa " + Q(zip) + L" " + Q(out.Path() + L"\\") + L" a.txt"), 0);
    EXPECT_EQ(ReadFile(out / L"a.txt"), "new a");
    EXPECT_EQ(answerer.Asked, 0);
}

TEST(ZipLibrary, ListingRecordsTimesNamesAndHandles)
{
    TFolder folder(L"zip-list");
    auto le64 = [](uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); };
    auto le32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const uint64_t ntfs = 132000000000000000ull;  // 2019-04-14 some time
    std::string ntfsField = Field(0x000A, le32(0) + std::string("\x01\x00\x18\x00", 4) + le64(ntfs) + le64(ntfs) + le64(ntfs));
    std::string unixField = Field(0x5455, std::string("\x01", 1) + le32(1600000000));
    std::string name = "\x95\x5c.txt";  // "表.txt" in CP932: its trail byte is "\"
    std::string utf8 = "表.txt";
    uint32_t crc = zipcore::Crc32(0, "stale", 5);
    std::string unicode = Field(0x7075, std::string("\x01", 1) + le32(zipcore::Crc32(0, name.data(), name.size())) + "新.txt");
    std::string staleUnicode = Field(0x7075, std::string("\x01", 1) + le32(crc) + "古.txt");
    WriteFile(folder / L"l.zip", RawZip({
        {"both", "1", unixField + ntfsField, 0, 0, 0x20},             // NTFS wins over Unix
        {"unix", "22", unixField, 3 << 8, 0, 0100444u << 16},         // Unix mode: read-only
        {"dos", "333", "", 0, 0, 0x21},
        {name, "4", unicode},                                         // the Unicode path matches
        {name + "x", "5", staleUnicode},                              // made for another name: ignored
        {"dir/", "", "", 3 << 8, 0, 040755u << 16},
        {utf8, "6", "", 0, 0x800, 0},
        {utf8, "7", "", 3 << 8, 0, 0100644u << 16},                   // from Unix, no flag: UTF-8
        {utf8, "8", "", 0, 0, 0},                                     // from Windows: the code page
    }));
    TLibrary& lib = Library();
    HANDLE h = lib.Open(nullptr, arcdll::WideToAnsi(folder / L"l.zip").c_str(), 0x402206);
    ASSERT_NE(h, nullptr);
    struct TSeen {
        std::string Name;
        DWORD Size;
        int Attributes;
        int64_t Time;
    };
    std::vector<TSeen> seen;
    arcdll::TIndividualInfo info;
    for (int r = lib.First(h, "*", &info); r == 0; r = lib.Next(h, &info)) {
        FILETIME t{};
        int64_t ticks = lib.WriteTimeEx(h, &t) ? static_cast<int64_t>((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) : -1;
        seen.push_back({arcdll::WideToUtf8Text(arcdll::AnsiToWide(info.szFileName)), info.dwOriginalSize, lib.Attribute(h), ticks});
    }
    ASSERT_EQ(seen.size(), 9u);
    EXPECT_EQ(seen[0].Time, static_cast<int64_t>(ntfs));
    EXPECT_EQ(seen[1].Time, arccmd::UnixToFileTime(1600000000));
    EXPECT_EQ(seen[1].Attributes, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(seen[2].Attributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(seen[2].Time, arcdll::DosTimeToFileTime((41 << 9) | (3 << 5) | 4, 5 << 11));
    EXPECT_EQ(seen[3].Name, "新.txt");
    EXPECT_EQ(seen[4].Name, "表.txtx");
    EXPECT_EQ(seen[5].Name, "dir\\");
    EXPECT_EQ(seen[5].Attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(seen[6].Name, "表.txt");
    EXPECT_EQ(seen[6].Size, 1u);
    EXPECT_EQ(seen[7].Name, "表.txt");
    EXPECT_EQ(seen[8].Name, arcdll::WideToUtf8Text(arcdll::AnsiToWide(utf8)));
    EXPECT_NE(seen[8].Name, "表.txt");
    EXPECT_EQ(lib.Next(h, &info), -1);
    EXPECT_EQ(lib.Close(h), 0);
    // A closed handle is refused, never followed.
    EXPECT_NE(lib.First(h, "*", &info), 0);
    EXPECT_EQ(lib.Attribute(h), -1);
    EXPECT_EQ(lib.Close(h), arcerr::HarcIsNotOpened);

    EXPECT_EQ(lib.Type(arcdll::WideToAnsi(folder / L"l.zip").c_str()), 1);
    EXPECT_EQ(lib.Type(arcdll::WideToAnsi(folder / L"none.zip").c_str()), -1);
    WriteFile(folder / L"s.7z", std::string("7z\xBC\xAF\x27\x1C\0\4", 8));
    EXPECT_EQ(lib.Type(arcdll::WideToAnsi(folder / L"s.7z").c_str()), 2);
    EXPECT_EQ(lib.Open(nullptr, arcdll::WideToAnsi(folder / L"s.7z").c_str(), 0), nullptr);
}
