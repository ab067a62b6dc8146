// tar32.dll where a script sees too little: broken and hostile archives
// (made here), the exact bounds of the header reader, the time and
// attribute records, and packs that fail half-way.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "archivers/common/ArcDll.h"
#include "archivers/tar/GzipStream.h"
#include "archivers/tar/LzwStream.h"
#include "archivers/tar/TarFormat.h"

using namespace tarfmt;
namespace fs = std::filesystem;

namespace {

// ---- archives made in memory ---------------------------------------------

struct TMadeEntry {
    TMadeEntry(std::string name, std::string data, char type = '0', std::string link = {}, uint32_t mode = 0644,
               int64_t seconds = 1600000000)
        : Name(std::move(name)), Data(std::move(data)), Type(type), Link(std::move(link)), Mode(mode), Seconds(seconds) {}
    std::string Name;
    std::string Data;
    char Type;
    std::string Link;
    uint32_t Mode;
    int64_t Seconds;
};

std::string MakeTar(const std::vector<TMadeEntry>& made, bool finish = true)
{
    arcio::TMemoryOutput out;
    TTarWriter tar(out);
    for (const TMadeEntry& entry : made) {
        TTarEntry e;
        e.Name = entry.Name;
        e.Type = entry.Type;
        e.LinkName = entry.Link;
        e.Mode = entry.Mode;
        e.Size = entry.Data.size();
        e.WriteTime = entry.Seconds * TicksPerSecond;
        tar.Begin(e);
        tar.WriteData(entry.Data.data(), entry.Data.size());
        tar.End();
    }
    if (finish) tar.Finish();
    return out.Data();
}

// A header block with its checksum made right after fields were changed.
void Reseal(std::string& archive, size_t headerAt)
{
    std::memset(&archive[headerAt + 148], ' ', 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(archive[headerAt + i]);
    std::snprintf(&archive[headerAt + 148], 8, "%06o", sum);
}

std::string PaxRecord(const std::string& key, const std::string& value)
{
    std::string body = " " + key + "=" + value + "\n";
    size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length) ++length;
    return std::to_string(length) + body;
}

std::string Gzip(const std::string& data)
{
    arcio::TMemoryOutput out;
    TGzipOutput gzip(out, "", 0);
    gzip.Write(data.data(), data.size());
    gzip.Finish();
    return out.Data();
}

std::string Lzw(const std::string& data)
{
    arcio::TMemoryOutput out;
    TLzwOutput lzw(out);
    lzw.Write(data.data(), data.size());
    lzw.Finish();
    return out.Data();
}

std::string ReadAllFrom(ISource& source)
{
    std::string all;
    char buffer[4096];
    size_t n;
    while ((n = source.Read(buffer, sizeof buffer)) > 0) all.append(buffer, n);
    return all;
}

std::vector<TTarEntry> ReadTar(const std::string& archive)
{
    arcio::TMemoryInput input(archive.data(), archive.size());
    TInputSource source(input);
    TTarReader reader(source);
    std::vector<TTarEntry> entries;
    TTarEntry e;
    while (reader.Next(e)) entries.push_back(e);
    return entries;
}

// ---- the library through its exports --------------------------------------

struct TLibrary {
    HMODULE Module = nullptr;
    int(WINAPI* Tar)(HWND, LPCSTR, LPSTR, DWORD) = nullptr;
    HANDLE(WINAPI* Open)(HWND, LPCSTR, DWORD) = nullptr;
    int(WINAPI* Close)(HANDLE) = nullptr;
    int(WINAPI* FindFirst)(HANDLE, LPCSTR, arcdll::TIndividualInfo*) = nullptr;
    int(WINAPI* FindNext)(HANDLE, arcdll::TIndividualInfo*) = nullptr;
    int(WINAPI* Attribute)(HANDLE) = nullptr;
    DWORD(WINAPI* WriteTime)(HANDLE) = nullptr;
    DWORD(WINAPI* CreateTime)(HANDLE) = nullptr;
    DWORD(WINAPI* AccessTime)(HANDLE) = nullptr;
    int(WINAPI* Type)(LPCSTR) = nullptr;

    template <typename T>
    void Bind(T& f, const char* name)
    {
        f = reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(Module, name)));
        ASSERT_NE(f, nullptr) << name;
    }
    TLibrary()
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        fs::path dll = fs::path(self).parent_path().parent_path() / L"bin" / L"tar32.dll";
        Module = LoadLibraryW(dll.c_str());
        EXPECT_NE(Module, nullptr) << dll.string();
        if (!Module) return;
        Bind(Tar, "Tar");
        Bind(Open, "TarOpenArchive");
        Bind(Close, "TarCloseArchive");
        Bind(FindFirst, "TarFindFirst");
        Bind(FindNext, "TarFindNext");
        Bind(Attribute, "TarGetAttribute");
        Bind(WriteTime, "TarGetWriteTime");
        Bind(CreateTime, "TarGetCreateTime");
        Bind(AccessTime, "TarGetAccessTime");
        Bind(Type, "TarGetArchiveType");
    }
    // Runs a command; the result and the output text.
    std::pair<int, std::string> Run(const std::wstring& line)
    {
        char output[4096] = {};
        int result = Tar(nullptr, arcdll::WideToAnsi(line).c_str(), output, 4095);
        return {result, output};
    }
};

TLibrary& Library()
{
    static TLibrary library;
    return library;
}

fs::path Fresh(const wchar_t* name)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    fs::path folder = fs::path(base) / L"nimbra-tar32" / name;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
    return folder;
}

void Put(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Get(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::wstring Quoted(const fs::path& path) { return L"\"" + path.wstring() + L"\""; }
std::wstring QuotedFolder(const fs::path& path) { return L"\"" + path.wstring() + L"\\\""; }

// Every file below a folder, relative, "/" separators.
std::vector<std::string> FilesBelow(const fs::path& folder)
{
    std::vector<std::string> files;
    for (auto& item : fs::recursive_directory_iterator(folder))
        if (item.is_regular_file()) files.push_back(fs::relative(item.path(), folder).generic_string());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

// ---- the header reader's bounds -----------------------------------------------

TEST(TarFormat, NamesAtTheLimitsOfTheHeaderFieldsSurviveTheRoundTrip)
{
    std::string at100(100, 'n'), at101(101, 'n');
    std::string deep = std::string(60, 'd') + "/" + std::string(60, 'e') + "/日本語.txt";
    std::string archive = MakeTar({{at100, "x"}, {at101, "yy"}, {deep, ""}, {"folder/", "", '5'}});
    std::vector<TTarEntry> entries = ReadTar(archive);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].Name, at100);
    EXPECT_EQ(entries[1].Name, at101);
    EXPECT_EQ(entries[1].Size, 2u);
    EXPECT_EQ(entries[2].Name, deep);
    EXPECT_TRUE(entries[3].IsFolder());
    // Blocks: 100 bytes fit the header (header, data); 101 and the deep name
    // get a long-name header and its data first; the folder; the end.
    EXPECT_EQ(archive.size(), 512u * (2 + (2 + 2) + (2 + 1) + 1 + 2));
}

TEST(TarFormat, ChecksumsSizesAndExtendedHeadersAreReadAsWritersWriteThem)
{
    // A signed checksum (bytes over 0x7F summed as negative) is accepted; one
    // off by one is not.
    std::string archive = MakeTar({{"\xC3\xA9t\xC3\xA9.txt", "abc"}});
    unsigned sum = 0;
    int signedSum = 0;
    for (size_t i = 0; i < 512; ++i) {
        unsigned char c = i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(archive[i]);
        sum += c;
        signedSum += static_cast<signed char>(c);
    }
    ASSERT_NE(sum, static_cast<unsigned>(signedSum));
    std::snprintf(&archive[148], 8, "%06o", signedSum);
    EXPECT_EQ(ReadTar(archive).size(), 1u);
    std::snprintf(&archive[148], 8, "%06o", signedSum + 1);
    try {
        ReadTar(archive);
        ADD_FAILURE() << "a bad checksum was accepted";
    } catch (const arcio::EArchiveError& e) {
        EXPECT_EQ(e.Code(), arcerr::HeaderCrc);
    }

    // Base-256 size: 3 bytes of data announced in binary.
    archive = MakeTar({{"b256", "xyz"}});
    std::memset(&archive[124], 0, 12);
    archive[124] = static_cast<char>(0x80);
    archive[135] = 3;
    Reseal(archive, 0);
    std::vector<TTarEntry> entries = ReadTar(archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Size, 3u);

    // pax: path, size and times with fractions override the header; a global
    // header applies to every later entry until a local one overrides it.
    std::string local = PaxRecord("path", "pax/長い名前.txt") + PaxRecord("mtime", "1500000000.25") +
                        PaxRecord("atime", "1500000100") + PaxRecord("size", "4");
    std::string global = PaxRecord("ctime", "1400000000.5");
    archive = MakeTar({{"g", global, 'g'}, {"x", local, 'x'}, {"short", "data"}, {"second", "22"}});
    entries = ReadTar(archive);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "pax/長い名前.txt");
    EXPECT_EQ(entries[0].Size, 4u);
    EXPECT_EQ(entries[0].WriteTime, 15000000002500000LL);
    EXPECT_EQ(entries[0].AccessTime, 15000001000000000LL);
    EXPECT_EQ(entries[0].ChangeTime, 14000000005000000LL);
    EXPECT_EQ(entries[1].Name, "second");
    EXPECT_EQ(entries[1].ChangeTime, 14000000005000000LL);
    EXPECT_FALSE(entries[1].AccessTime.has_value());

    // A record whose length runs past its header is refused.
    std::string bad = "99 path=x\n";
    EXPECT_THROW(ReadTar(MakeTar({{"x", bad, 'x'}, {"f", "1"}})), arcio::EArchiveError);
}

TEST(TarFormat, NamesAndExtendedHeadersAtTheirLimitsAreReadAndOneByteMoreIsRefused)
{
    std::string name(MaxNameSize, 'a');
    std::vector<TTarEntry> entries = ReadTar(MakeTar({{"././@LongLink", name, 'L'}, {"short", "z"}}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Name.size(), MaxNameSize);
    EXPECT_THROW(ReadTar(MakeTar({{"././@LongLink", name + "a", 'L'}, {"short", "z"}})), arcio::EArchiveError);

    // An extended header of exactly the limit (7 digits of length, the
    // key, the value, the newline) is read; one byte more is not.
    std::string comment = PaxRecord("comment", std::string(MaxMetaSize - 17, 'c'));
    ASSERT_EQ(comment.size(), MaxMetaSize);
    EXPECT_EQ(ReadTar(MakeTar({{"x", comment, 'x'}, {"f", "1"}})).size(), 1u);
    comment = PaxRecord("comment", std::string(MaxMetaSize - 16, 'c'));
    EXPECT_THROW(ReadTar(MakeTar({{"x", comment, 'x'}, {"f", "1"}})), arcio::EArchiveError);

    // An absurd announced size is refused before anything is allocated.
    std::string archive = MakeTar({{"././@LongLink", "", 'L'}, {"short", "z"}});
    std::snprintf(&archive[124], 12, "%011llo", 077777777777ULL);
    Reseal(archive, 0);
    EXPECT_THROW(ReadTar(archive), arcio::EArchiveError);
}

TEST(TarFormat, LzwRoundTripsThroughEveryCodeWidthAndAFullTable)
{
    // Random bytes fill the 16-bit table quickly; a long text widens slowly.
    std::mt19937 random(7);
    std::string data;
    for (int i = 0; i < 400000; ++i) data.push_back(static_cast<char>(random() % 7 == 0 ? random() : 'a' + random() % 3));
    for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{511}, size_t{4096}, data.size()}) {
        std::string part = data.substr(0, n);
        std::string packed = Lzw(part);
        arcio::TMemoryInput input(packed.data(), packed.size());
        TInputSource source(input);
        TLzwSource lzw(source);
        EXPECT_EQ(ReadAllFrom(lzw), part) << n;
    }
}

TEST(TarFormat, BrokenCompressedStreamsAreErrorsNotShortData)
{
    std::string tar = MakeTar({{"f", std::string(100000, 'q')}});
    // gzip cut before its end, and gzip with a damaged check value.
    std::string gz = Gzip(tar);
    for (std::string broken : {gz.substr(0, gz.size() - 4), gz.substr(0, gz.size() / 2)}) {
        arcio::TMemoryInput input(broken.data(), broken.size());
        TInputSource source(input);
        TGzipSource gzip(source);
        EXPECT_THROW(ReadAllFrom(gzip), arcio::EArchiveError);
    }
    gz[gz.size() - 6] ^= 1;
    {
        arcio::TMemoryInput input(gz.data(), gz.size());
        TInputSource source(input);
        TGzipSource gzip(source);
        EXPECT_THROW(ReadAllFrom(gzip), arcio::EArchiveError);
    }
    // LZW: a code one beyond the next free entry. The first code is "a"
    // (97), the second would be 258 where only 257 may come.
    std::string lzw = {'\x1f', '\x9d', '\x90'};
    uint32_t bits = 97 | (258u << 9);
    for (int i = 0; i < 3; ++i) lzw.push_back(static_cast<char>(bits >> (8 * i)));
    arcio::TMemoryInput input(lzw.data(), lzw.size());
    TInputSource source(input);
    TLzwSource decoder(source);
    EXPECT_THROW(ReadAllFrom(decoder), arcio::EArchiveError);
    // 257 there is the one code the table allows beyond itself.
    bits = 97 | (257u << 9);
    lzw.resize(3);
    for (int i = 0; i < 3; ++i) lzw.push_back(static_cast<char>(bits >> (8 * i)));
    arcio::TMemoryInput input2(lzw.data(), lzw.size());
    TInputSource source2(input2);
    TLzwSource decoder2(source2);
    EXPECT_EQ(ReadAllFrom(decoder2), "aaa");
}

// ---- the library ----------------------------------------------------------------

TEST(Tar32, BrokenArchivesGiveErrorsAndLeaveNoFiles)
{
    TLibrary& tar = Library();
    ASSERT_NE(tar.Module, nullptr);
    fs::path folder = Fresh(L"broken");
    std::string good = MakeTar({{"first.txt", "one"}, {"second.txt", std::string(5000, 's')}});
    std::string badChecksum = good;
    badChecksum[1024 + 2] ^= 1;  // the second header's name (after the first's header and data)
    std::string tooLarge = good.substr(0, 512 * 4);  // the second entry's data cut
    std::string lzwBeyond = {'\x1f', '\x9d', '\x90', 'a', '\x04', '\x02'};
    struct TCase {
        const wchar_t* Name;
        std::string Bytes;
        int Error;
    } cases[] = {
        {L"truncated-header.tar", good.substr(0, 1024 + 300), arcerr::HeaderBroken},
        {L"bad-checksum.tar", badChecksum, arcerr::HeaderCrc},
        {L"size-beyond-file.tar", tooLarge, arcerr::HeaderBroken},
        {L"cut-inside.tgz", Gzip(good).substr(0, Gzip(good).size() / 2), arcerr::HeaderBroken},
        {L"never-ends.tgz", Gzip(good).substr(0, Gzip(good).size() - 3), arcerr::HeaderBroken},
        {L"code-beyond-table.tar.Z", Lzw(good).substr(0, 3) + std::string("\xFF\xFF\xFF\xFF", 4), arcerr::HeaderBroken},
        {L"code-beyond-table.Z", lzwBeyond, arcerr::HeaderBroken},
    };
    for (const TCase& c : cases) {
        fs::path archive = folder / c.Name;
        Put(archive, c.Bytes);
        fs::path out = folder / (std::wstring(c.Name) + L".out");
        fs::create_directories(out);
        auto [result, message] = tar.Run(L"-x " + Quoted(archive) + L" " + QuotedFolder(out));
        EXPECT_EQ(result, c.Error) << fs::path(c.Name).string() << ": " << message;
        EXPECT_FALSE(message.empty());
        // Only complete entries appear; the broken one leaves nothing, not
        // even its temporary file. (A gzip cut in its trailer breaks after
        // all entries were whole; its error comes all the same.)
        for (const std::string& file : FilesBelow(out))
            EXPECT_TRUE(file == "first.txt" || (file == "second.txt" && std::wstring(c.Name) == L"never-ends.tgz"))
                << fs::path(c.Name).string() << ": " << file;
        if (fs::exists(out / "first.txt")) {
            EXPECT_EQ(Get(out / "first.txt"), "one");
        }
        HANDLE handle = tar.Open(nullptr, arcdll::WideToAnsi(archive.wstring()).c_str(), 0);
        EXPECT_EQ(handle, nullptr) << fs::path(c.Name).string();
        if (handle) tar.Close(handle);
    }
    // Neither a tar nor compressed, and bzip2: refused with a message.
    Put(folder / L"plain.txt", std::string(2000, 'p'));
    Put(folder / L"x.tar.bz2", "BZh91AY&SY" + std::string(600, '\0'));
    EXPECT_EQ(tar.Type(arcdll::WideToAnsi((folder / L"plain.txt").wstring()).c_str()), 0);
    EXPECT_EQ(tar.Type(arcdll::WideToAnsi((folder / L"x.tar.bz2").wstring()).c_str()), 6);
    EXPECT_EQ(tar.Run(L"-x " + Quoted(folder / L"plain.txt") + L" " + QuotedFolder(folder / L"o")).first, arcerr::NotArcFile);
    auto [result, message] = tar.Run(L"-x " + Quoted(folder / L"x.tar.bz2") + L" " + QuotedFolder(folder / L"o"));
    EXPECT_EQ(result, arcerr::NotSupport);
    EXPECT_NE(message.find("bzip2"), std::string::npos) << message;
}

TEST(Tar32, NoEntryNameWritesOutsideTheDestination)
{
    TLibrary& tar = Library();
    ASSERT_NE(tar.Module, nullptr);
    fs::path folder = Fresh(L"hostile");
    fs::path out = folder / L"dest";
    fs::create_directories(out);
    // A symbolic link to an absolute folder, then a file "through" it.
    Put(folder / L"link.tar", MakeTar({{"a", "", '2', "/etc"}, {"a/passwd", "root::0:0"}, {"h", "", '1', "a/passwd"}}));
    auto [result, message] = tar.Run(L"-x " + Quoted(folder / L"link.tar") + L" " + QuotedFolder(out));
    EXPECT_EQ(result, 0) << message;
    EXPECT_EQ(FilesBelow(out), (std::vector<std::string>{"a/passwd", "h"}));
    EXPECT_EQ(Get(out / "h"), "root::0:0");  // the hard link is a copy of the earlier entry
    EXPECT_NE(message.find("symbolic link"), std::string::npos) << message;

    // "../x" and "/etc/x" are refused; nothing appears beside the destination.
    for (const char* name : {"../x", "/etc/x", "sub/../../x"}) {
        Put(folder / L"evil.tar", MakeTar({{name, "evil"}}));
        auto [evil, text] = tar.Run(L"-x " + Quoted(folder / L"evil.tar") + L" " + QuotedFolder(out));
        EXPECT_EQ(evil, arcerr::NotFilename) << name << ": " << text;
        EXPECT_FALSE(fs::exists(folder / L"x")) << name;
    }
    // A hard link to a target outside the archive is not made.
    Put(folder / L"hard.tar", MakeTar({{"h2", "", '1', "/etc/passwd"}}));
    auto [hard, hardText] = tar.Run(L"-x " + Quoted(folder / L"hard.tar") + L" " + QuotedFolder(out));
    EXPECT_EQ(hard, 0);
    EXPECT_FALSE(fs::exists(out / L"h2"));
    EXPECT_NE(hardText.find("hard link"), std::string::npos) << hardText;
}

TEST(Tar32, ListingRecordsCarryTimesAttributesAndSizes)
{
    TLibrary& tar = Library();
    ASSERT_NE(tar.Module, nullptr);
    fs::path folder = Fresh(L"listing");
    std::string pax = PaxRecord("atime", "1500000100.9") + PaxRecord("ctime", "1500000200");
    Put(folder / L"t.tar", MakeTar({{"x", pax, 'x'},
                                    {"timed.txt", "12345", '0', "", 0644, 1500000000},
                                    {"ro.txt", "r", '0', "", 0444, 1600000000},
                                    {"dir/", "", '5', "", 0755, 1600000001}}));
    HANDLE handle = tar.Open(nullptr, arcdll::WideToAnsi((folder / L"t.tar").wstring()).c_str(), 0x402206);
    ASSERT_NE(handle, nullptr);
    arcdll::TIndividualInfo info;
    ASSERT_EQ(tar.FindFirst(handle, "*", &info), 0);
    EXPECT_STREQ(info.szFileName, "timed.txt");
    EXPECT_EQ(info.dwOriginalSize, 5u);
    EXPECT_EQ(tar.WriteTime(handle), 1500000000u);
    EXPECT_EQ(tar.AccessTime(handle), 1500000100u);
    EXPECT_EQ(tar.CreateTime(handle), 1500000200u);
    EXPECT_EQ(tar.Attribute(handle), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_EQ(tar.FindNext(handle, &info), 0);
    // No atime or ctime: both are the write time.
    EXPECT_EQ(tar.AccessTime(handle), 1600000000u);
    EXPECT_EQ(tar.CreateTime(handle), 1600000000u);
    EXPECT_EQ(tar.Attribute(handle), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(tar.FindNext(handle, &info), 0);
    EXPECT_STREQ(info.szFileName, "dir\\");
    EXPECT_EQ(tar.Attribute(handle), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(tar.FindNext(handle, &info), -1);
    EXPECT_EQ(tar.Close(handle), 0);
    EXPECT_NE(tar.Close(handle), 0);  // a stale handle is refused
    EXPECT_EQ(tar.Attribute(handle), -1);

    // A name that is not UTF-8 is taken in the system code page (932 in the tests).
    Put(folder / L"sjis.tar", MakeTar({{"\x93\xfa\x96\x7b.txt", "j"}}));
    handle = tar.Open(nullptr, arcdll::WideToAnsi((folder / L"sjis.tar").wstring()).c_str(), 0);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(tar.FindFirst(handle, "*", &info), 0);
    EXPECT_EQ(arcdll::AnsiToWide(info.szFileName), L"日本.txt");
    tar.Close(handle);
}

TEST(Tar32, APackThatFailsHalfWayLeavesTheOldArchiveAndTheSources)
{
    TLibrary& tar = Library();
    ASSERT_NE(tar.Module, nullptr);
    fs::path folder = Fresh(L"pack");
    fs::path base = folder / L"base";
    Put(base / L"d/one.txt", "one");
    Put(base / L"d/two.txt", "two");
    Put(folder / L"old.tgz", "the old archive");
    // two.txt cannot be read while another handle holds it without sharing.
    HANDLE locked = CreateFileW((base / L"d/two.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    auto [result, message] = tar.Run(L"-c -z " + Quoted(folder / L"old.tgz") + L" " + QuotedFolder(base) + L" \"d\\*\"");
    CloseHandle(locked);
    EXPECT_NE(result, 0);
    EXPECT_EQ(Get(folder / L"old.tgz"), "the old archive");
    EXPECT_EQ(FilesBelow(folder), (std::vector<std::string>{"base/d/one.txt", "base/d/two.txt", "old.tgz"})) << message;

    // A single-file .gz refuses several files, bzip2 is refused, and a name
    // leading out of the base folder is refused: nothing is created.
    EXPECT_NE(tar.Run(L"-c -z " + Quoted(folder / L"one.gz") + L" " + QuotedFolder(base) + L" \"d\\*\"").first, 0);
    EXPECT_EQ(tar.Run(L"-c -B " + Quoted(folder / L"b.tar.bz2") + L" " + QuotedFolder(base) + L" \"d\\*\"").first, arcerr::NotSupport);
    EXPECT_EQ(tar.Run(L"-c " + Quoted(folder / L"up.tar") + L" " + QuotedFolder(base) + L" \"..\\pack\\old.tgz\"").first, arcerr::NotFilename);
    EXPECT_EQ(FilesBelow(folder), (std::vector<std::string>{"base/d/one.txt", "base/d/two.txt", "old.tgz"}));

    // Packed into the base folder itself, twice: the archive of the first
    // time does not go into the second.
    for (int time = 0; time < 2; ++time) {
        auto [ok, text] = tar.Run(L"-c " + Quoted(base / L"d/self.tar") + L" " + QuotedFolder(base) + L" \"d\\*\"");
        ASSERT_EQ(ok, 0) << text;
    }
    std::vector<TTarEntry> entries = ReadTar(Get(base / L"d/self.tar"));
    ASSERT_EQ(entries.size(), 3u);
    for (const TTarEntry& e : entries) EXPECT_NE(e.Name, "d/self.tar");
}
