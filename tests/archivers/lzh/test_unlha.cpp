// LZH archives: the codec at its bounds, a corpus of broken and hostile
// archives made here, and the library's calls where a script sees too
// little (names kept inside the destination, failures half-way, the
// caller's buffer, updates that fail).
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <random>

#include "archivers/common/ArcDll.h"
#include "archivers/lzh/LzhFormat.h"

using arcio::EArchiveError;

namespace {

std::string Put16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)}; }
std::string Put32(uint32_t v) { return Put16(v & 0xFFFF) + Put16(v >> 16); }

uint16_t Crc(const std::string& s) { return lzh::Crc16(0, s.data(), s.size()); }

std::string Lh5(const std::string& data)
{
    arcio::TMemoryInput in(data.data(), data.size());
    arcio::TMemoryOutput out;
    uint64_t packed = 0;
    uint16_t crc = 0;
    EXPECT_TRUE(lzh::EncodeLh5(in, data.size(), out, UINT64_MAX, packed, crc));
    EXPECT_EQ(packed, out.Data().size());
    EXPECT_EQ(crc, Crc(data));
    return out.Data();
}

std::string Decoded(const std::string& packed, size_t size, int dictionaryBits = 13)
{
    arcio::TMemoryInput in(packed.data(), packed.size());
    arcio::TMemoryOutput out(size);
    lzh::DecodeStatic(in, 0, packed.size(), size, dictionaryBits, out);
    return out.Data();
}

// A level-2 entry as we write them; adjust may change the header fields.
std::string Entry(const std::string& name, const std::string& data, bool compress = true,
                  const std::function<void(lzh::THeaderInfo&)>& adjust = nullptr)
{
    lzh::THeaderInfo info;
    std::string packed = compress ? Lh5(data) : data;
    info.Method = compress ? "-lh5-" : "-lh0-";
    info.PackedSize = static_cast<uint32_t>(packed.size());
    info.OriginalSize = static_cast<uint32_t>(data.size());
    info.Crc = Crc(data);
    info.UnixTime = 1600000000;
    size_t slash = name.find_last_of('\xFF');
    info.FileName = slash == std::string::npos ? name : name.substr(slash + 1);
    info.Directory = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    if (adjust) adjust(info);
    return lzh::MakeLevel2Header(info) + packed;
}

// A stored level-0 entry (a name of the system code page, "\" inside).
std::string Level0(const std::string& name, const std::string& data)
{
    std::string h = std::string(2, '\0') + "-lh0-" + Put32(static_cast<uint32_t>(data.size())) +
                    Put32(static_cast<uint32_t>(data.size())) + Put32(0x52A36000) + '\x20' + '\0' +
                    static_cast<char>(name.size()) + name + Put16(Crc(data));
    h[0] = static_cast<char>(h.size() - 2);
    uint8_t sum = 0;
    for (size_t i = 2; i < h.size(); ++i)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(h[i]));
    h[1] = static_cast<char>(sum);
    return h + data;
}

// A stored level-1 entry whose extended headers are given raw (each with
// its own "next size" at the end); skip counts them as the writer claims.
std::string Level1(const std::string& name, const std::string& data, uint16_t firstNext, const std::string& extensions,
                   uint32_t skip)
{
    std::string h = std::string(2, '\0') + "-lh0-" + Put32(skip) + Put32(static_cast<uint32_t>(data.size())) +
                    Put32(0x52A36000) + '\x20' + '\x01' + static_cast<char>(name.size()) + name + Put16(Crc(data)) + 'M' +
                    Put16(firstNext);
    h[0] = static_cast<char>(h.size() - 2);
    uint8_t sum = 0;
    for (size_t i = 2; i < h.size(); ++i)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(h[i]));
    h[1] = static_cast<char>(sum);
    return h + extensions + data;
}

std::vector<lzh::TEntry> Read(const std::string& archive)
{
    arcio::TMemoryInput in(archive.data(), archive.size());
    return lzh::ReadEntries(in);
}

int ErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EArchiveError& e) {
        return e.Code();
    }
    return 0;
}

std::string Text(size_t size)
{
    static const char* words[] = {"archive", "folder", "the ", "view ", "\r\n", "marks", "一覧", "reload", "12345", "of "};
    std::mt19937 random(7);
    std::string text;
    while (text.size() < size)
        text += words[random() % 10];
    text.resize(size);
    return text;
}

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

}  // namespace

TEST(LzhCodec, Lh5RoundTripsAtItsBounds)
{
    std::string repeatAtLimit = RandomBytes(8192, 1);
    repeatAtLimit += repeatAtLimit;  // matches exactly as far back as the dictionary reaches
    std::string repeatBeyond = RandomBytes(8193, 2);
    repeatBeyond += repeatBeyond;  // one byte too far: must not be matched
    const std::vector<std::string> inputs = {
        "a",
        std::string(1000, 'x'),           // one literal, then matches only: constant tables
        std::string(256 + 1, 'y') + "z",  // the longest match, then one byte more
        Text(200000),                     // many blocks
        repeatAtLimit,
        repeatBeyond,
        RandomBytes(3000, 3) + Text(40000),
    };
    for (const std::string& data : inputs) {
        std::string packed = Lh5(data);
        EXPECT_EQ(Decoded(packed, data.size()), data) << data.size();
    }
    EXPECT_LT(Lh5(repeatAtLimit).size(), 8192u + 200);
    EXPECT_LT(Lh5(Text(200000)).size(), 200000u / 3);

    // Incompressible data gives up as soon as it passes the limit.
    std::string noise = RandomBytes(5000, 4);
    arcio::TMemoryInput in(noise.data(), noise.size());
    arcio::TMemoryOutput out;
    uint64_t packed = 0;
    uint16_t crc = 0;
    EXPECT_FALSE(lzh::EncodeLh5(in, noise.size(), out, noise.size() - 1, packed, crc));
    EXPECT_LE(out.Data().size(), noise.size() + 65536);
}

TEST(LzhHeaders, BrokenHeadersAreRefused)
{
    std::string good = Entry("one.txt", Text(3000)) + Entry("dir\xFFtwo.txt", "two") + '\0';
    auto entries = Read(good);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].Directory, "dir\xFF");
    EXPECT_EQ(entries[1].FileName, "two.txt");
    EXPECT_EQ(entries[1].OriginalSize, 3u);

    // Cut anywhere inside the second header: an error, never a short list.
    size_t second = static_cast<size_t>(entries[1].HeaderOffset);
    size_t secondData = static_cast<size_t>(entries[1].DataOffset);
    for (size_t cut = second + 1; cut < secondData; ++cut)
        EXPECT_EQ(ErrorOf([&] { Read(good.substr(0, cut)); }), arcerr::HeaderBroken) << cut;
    // Cut inside the data: the packed size runs past the end.
    EXPECT_EQ(ErrorOf([&] { Read(good.substr(0, good.size() - 2)); }), arcerr::HeaderBroken);
    // Cut right after the last entry (no end mark): accepted, as some tools write.
    EXPECT_EQ(Read(good.substr(0, good.size() - 1)).size(), 2u);
    EXPECT_EQ(ErrorOf([&] { Read(good.substr(0, 10)); }), arcerr::NotArcFile);

    // A changed name under a level-2 header CRC; a level-0 checksum.
    std::string bent = good;
    bent[bent.find("one.txt")] = 'O';
    EXPECT_EQ(ErrorOf([&] { Read(bent); }), arcerr::HeaderCrc);
    std::string old = Level0("a.txt", "abc") + '\0';
    EXPECT_EQ(Read(old).size(), 1u);
    old[22] = 'b';
    EXPECT_EQ(ErrorOf([&] { Read(old); }), arcerr::HeaderCrc);

    // The packed size: exactly to the file's end is fine, one byte more is not.
    std::string data = "0123456789";
    EXPECT_EQ(Read(Entry("x", data, false)).size(), 1u);
    std::string beyond = Entry("x", data, false, [](lzh::THeaderInfo& h) { h.PackedSize += 1; });
    EXPECT_EQ(ErrorOf([&] { Read(beyond); }), arcerr::HeaderBroken);

    // A level-2 header whose size has a low byte of 0 would read as the
    // archive's end: it is written one byte longer.
    for (size_t length = 200; length < 240; ++length) {
        std::string name(length, 'n');
        auto padded = Read(Entry(name, "x", false) + Entry("after", "y", false) + '\0');
        ASSERT_EQ(padded.size(), 2u) << length;
        EXPECT_EQ(padded[0].FileName, name);
    }

    // Level 3 is refused by name.
    std::string level3 = good;
    level3[20] = 3;
    EXPECT_EQ(ErrorOf([&] { Read(level3); }), arcerr::NotSupport);
}

TEST(LzhHeaders, ExtendedHeaderChainsCannotLoopOrOverrun)
{
    // A fine level-1 entry: one extension (Unix time), counted in skip.
    std::string unixTime = std::string("\x54") + Put32(1600000000) + Put16(0);
    auto fine = Read(Level1("a.txt", "abc", 7, unixTime, 3 + 7) + '\0');
    ASSERT_EQ(fine.size(), 1u);
    EXPECT_EQ(fine[0].PackedSize, 3u);
    EXPECT_TRUE(fine[0].HasUnixTime);
    EXPECT_EQ(fine[0].UnixTime, 1600000000);

    // Sizes 1 and 2 would not move forward; a chain larger than skip
    // would make the packed size negative.
    for (int size : {1, 2})
        EXPECT_EQ(ErrorOf([&] { Read(Level1("a.txt", "abc", static_cast<uint16_t>(size), unixTime, 3 + 7) + '\0'); }), arcerr::HeaderBroken) << size;
    EXPECT_EQ(ErrorOf([&] { Read(Level1("a.txt", "abc", 7, unixTime, 6) + '\0'); }), arcerr::HeaderBroken);
    // An extension that points to itself again and again: bounded by skip.
    std::string loop;
    for (int i = 0; i < 1000; ++i)
        loop += std::string("\x3F") + "xx" + Put16(6);
    EXPECT_EQ(ErrorOf([&] { Read(Level1("a.txt", "abc", 6, loop, 3 + 60) + '\0'); }), arcerr::HeaderBroken);

    // Level 2: an extension whose size runs past the header.
    std::string two = Entry("abc", "abc", false);
    std::string past = two;
    past[24] = '\x7F';
    EXPECT_EQ(ErrorOf([&] { Read(past); }), arcerr::HeaderBroken);
}

TEST(LzhCodec, BrokenStreamsStopWithAnError)
{
    const std::string data = Text(1000);
    // A stream that decodes past the declared size is cut at that size
    // (the output's limit is never reached) and fails its CRC.
    std::string shorter = Entry("t", data, true, [](lzh::THeaderInfo& h) { h.OriginalSize = 500; }) + '\0';
    auto entries = Read(shorter);
    arcio::TMemoryInput in(shorter.data(), shorter.size());
    arcio::TMemoryOutput out(500);
    EXPECT_EQ(ErrorOf([&] { lzh::DecodeEntry(in, entries[0], out); }), arcerr::FileCrc);
    EXPECT_EQ(out.Data(), data.substr(0, 500));

    // Packed data cut short: an error, not zeros made up.
    std::string packed = Lh5(data);
    EXPECT_EQ(ErrorOf([&] { Decoded(packed.substr(0, packed.size() / 2), data.size()); }), arcerr::HuffmanCode);
    // Exactly the packed size is enough; one byte less is not, even when
    // only the last symbols are missing.
    EXPECT_EQ(Decoded(packed, data.size()), data);
    EXPECT_EQ(ErrorOf([&] { Decoded(packed.substr(0, packed.size() - 1), data.size()); }), arcerr::HuffmanCode);

    // Code-length tables that are not prefix codes: three codes of one bit,
    // and a single code of one bit (blocks of ten symbols, enough for all).
    // 16 bits: ten symbols; 5 bits: 3 lengths; 1, 1, 1; 2 bits: no zeros.
    std::string oversubscribed = {'\x00', '\x0A', '\x19', '\x24', '\x00', '\x00', '\x00', '\x00'};
    EXPECT_EQ(ErrorOf([&] { Decoded(oversubscribed, 10); }), arcerr::HuffmanCode);
    // 5 bits: 1 length; 1.
    std::string incomplete = {'\x00', '\x0A', '\x09', '\x00', '\x00', '\x00', '\x00'};
    EXPECT_EQ(ErrorOf([&] { Decoded(incomplete, 10); }), arcerr::HuffmanCode);
    // A constant literal table whose symbol lies outside the alphabet (511).
    std::string outside = {'\x00', '\x0A', '\x00', '\x00', '\x1F', '\xF0', '\x00', '\x00', '\x00', '\x00'};
    EXPECT_EQ(ErrorOf([&] { Decoded(outside, 10); }), arcerr::HuffmanCode);

    lzh::TEntry old;
    old.Method = "-lh1-";
    old.OriginalSize = 1;
    EXPECT_EQ(ErrorOf([&] { lzh::DecodeEntry(in, old, out); }), arcerr::NotSupport);
}

// ---------------------------------------------------------------------------
// The library itself.

namespace {

using TCommand = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);
using TOpen = HANDLE(WINAPI*)(HWND, LPCSTR, DWORD);
using TClose = int(WINAPI*)(HANDLE);
using TFindFirst = int(WINAPI*)(HANDLE, LPCSTR, arcdll::TIndividualInfo*);
using TExtractMem = int(WINAPI*)(HWND, LPCSTR, LPBYTE, DWORD, void*, LPWORD, LPDWORD);

class Unlha : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Library = LoadLibraryW(arcdll::AnsiToWide(UNLHA_DLL).c_str());
        ASSERT_NE(Library, nullptr);
    }

    void SetUp() override
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        Folder = std::wstring(base) + L"unlha-test";
        Clear(Folder);
        CreateDirectoryW(Folder.c_str(), nullptr);
        Folder += L"\\";
    }
    void TearDown() override { Clear(Folder); }

    static void Clear(std::wstring path)
    {
        while (!path.empty() && path.back() == L'\\')
            path.pop_back();
        std::wstring list = path + L'\0';
        SHFILEOPSTRUCTW op{};
        op.wFunc = FO_DELETE;
        op.pFrom = list.c_str();
        op.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) SHFileOperationW(&op);
    }

    template <typename T>
    static T Proc(const char* name)
    {
        return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(Library, name)));
    }

    void Write(const std::wstring& name, const std::string& bytes)
    {
        HANDLE f = CreateFileW((Folder + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(f);
    }

    std::string ReadFile(const std::wstring& path)
    {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return "<missing>";
        std::string bytes(1 << 20, '\0');
        DWORD read = 0;
        ::ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
        CloseHandle(f);
        bytes.resize(read);
        return bytes;
    }

    // Names in a folder, "*" and nothing else.
    std::vector<std::wstring> Names(const std::wstring& folder)
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) names.push_back(found.cFileName);
        } while (FindNextFileW(find, &found));
        FindClose(find);
        std::sort(names.begin(), names.end());
        return names;
    }

    int Run(const std::wstring& line, std::string* message = nullptr)
    {
        char output[4096] = {};
        int result = Proc<TCommand>("Unlha")(nullptr, arcdll::WideToAnsi(line).c_str(), output, sizeof output - 1);
        if (message) *message = output;
        return result;
    }

    std::wstring Quoted(const std::wstring& name) { return L"\"" + Folder + name + L"\""; }

    static HMODULE Library;
    std::wstring Folder;
};

HMODULE Unlha::Library = nullptr;

}  // namespace

TEST_F(Unlha, HostileNamesRefuseTheWholeExtraction)
{
    std::vector<std::string> archives = {Level0("..\\x", "evil"), Level0("C:\\x", "evil"), Entry("..\xFFx", "evil"),
                                         Level0("sub\\..\\..\\x", "evil"), Entry("\xFF..\xFFx", "evil")};
    for (size_t i = 0; i < archives.size(); ++i) {
        Write(L"h.lzh", Level0("good.txt", "fine") + archives[i] + '\0');
        std::string message;
        EXPECT_EQ(Run(L"x -a1 -x1 -jsp3 " + Quoted(L"h.lzh") + L" " + Quoted(L"out\\"), &message), arcerr::NotFilename) << i;
        EXPECT_NE(message.find("refused"), std::string::npos) << message;
        EXPECT_TRUE(Names(Folder + L"out\\").empty()) << i;
        EXPECT_EQ(ReadFile(Folder.substr(0, Folder.size() - 1) + L"\\..\\x"), "<missing>");
    }
}

TEST_F(Unlha, AFailureHalfWayLeavesNoFileUnderItsName)
{
    std::string broken = Entry("two.txt", Text(5000), true, [](lzh::THeaderInfo& h) { h.Crc ^= 1; });
    Write(L"f.lzh", Entry("one.txt", "first") + broken + Entry("three.txt", "third") + '\0');
    EXPECT_EQ(Run(L"x -a1 -x1 " + Quoted(L"f.lzh") + L" " + Quoted(L"out\\")), arcerr::FileCrc);
    EXPECT_EQ(Names(Folder + L"out\\"), std::vector<std::wstring>{L"one.txt"});
    EXPECT_EQ(ReadFile(Folder + L"out\\one.txt"), "first");

    // An update that fails (a name that is not there) leaves the archive
    // as it was and no temporary file beside it.
    Write(L"keep.txt", "keep");
    ASSERT_EQ(Run(L"u -d1 " + Quoted(L"u.lzh") + L" \"" + Folder + L"\" \"keep.txt\""), 0);
    std::string before = ReadFile(Folder + L"u.lzh");
    EXPECT_EQ(Run(L"u -d1 " + Quoted(L"u.lzh") + L" \"" + Folder + L"\" \"keep.txt\" \"missing.txt\""), arcerr::NotExist);
    EXPECT_EQ(ReadFile(Folder + L"u.lzh"), before);
    EXPECT_EQ(Names(Folder), (std::vector<std::wstring>{L"f.lzh", L"keep.txt", L"out", L"u.lzh"}));
}

TEST_F(Unlha, ExtractMemFillsTheBufferAndNeverMore)
{
    const std::string data = Text(4000);
    Write(L"m.lzh", Entry("dir\xFFitem.txt", data) + '\0');
    auto extract = Proc<TExtractMem>("UnlhaExtractMem");
    std::string line = arcdll::WideToAnsi(Quoted(L"m.lzh")) + " \"dir/item.txt\"";
    std::string buffer(data.size() + 1, '#');
    DWORD written = 0;
    WORD attributes = 0;
    ASSERT_EQ(extract(nullptr, line.c_str(), reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(data.size()), nullptr,
                      &attributes, &written),
              0);
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(buffer, data + "#");
    // One byte short: an error, and the byte past the given size untouched.
    buffer.assign(data.size(), '#');
    EXPECT_NE(extract(nullptr, line.c_str(), reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(data.size() - 1),
                      nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(buffer.back(), '#');
    // A folder's name is not an item.
    EXPECT_EQ(extract(nullptr, (arcdll::WideToAnsi(Quoted(L"m.lzh")) + " \"dir\"").c_str(), reinterpret_cast<BYTE*>(buffer.data()),
                      static_cast<DWORD>(buffer.size()), nullptr, nullptr, nullptr),
              arcerr::NotExist);
    // Of two names that differ only in letter case, the one asked for as
    // written, wherever it lies; else the first.
    Write(L"c.lzh", Entry("A.TXT", "upper") + Entry("a.txt", "lower") + '\0');
    for (auto [name, expected] : {std::pair<const char*, std::string>{"a.txt", "lower"}, {"A.TXT", "upper"}, {"A.txt", "upper"}}) {
        buffer.assign(16, '#');
        written = 0;
        ASSERT_EQ(extract(nullptr, (arcdll::WideToAnsi(Quoted(L"c.lzh")) + " \"" + name + "\"").c_str(),
                          reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(buffer.size()), nullptr, nullptr, &written),
                  0);
        EXPECT_EQ(buffer.substr(0, written), expected) << name;
    }
}

TEST_F(Unlha, DoubleByteNamesKeepTheirTrailBytes)
{
    // "ソ" is 0x83 0x5C in the system code page: its second byte is "\".
    const std::wstring folder = L"\u30BD\u30D5\u30C8";
    std::string ansi = arcdll::WideToAnsi(folder);
    ASSERT_EQ(ansi.substr(0, 2), "\x83\x5C");
    Write(L"j.lzh", Level0(ansi + "\\a.txt", "abc") + Entry(ansi + "\xFF" + "b.txt", "de") + '\0');

    auto open = Proc<TOpen>("UnlhaOpenArchive");
    auto first = Proc<TFindFirst>("UnlhaFindFirst");
    HANDLE handle = open(nullptr, arcdll::WideToAnsi(Folder + L"j.lzh").c_str(), 0);
    ASSERT_NE(handle, nullptr);
    arcdll::TIndividualInfo info;
    ASSERT_EQ(first(handle, "*", &info), 0);
    EXPECT_EQ(arcdll::AnsiToWide(info.szFileName), folder + L"\\a.txt");
    EXPECT_EQ(info.dwOriginalSize, 3u);
    EXPECT_EQ(Proc<TClose>("UnlhaCloseArchive")(handle), 0);
    EXPECT_EQ(Proc<TClose>("UnlhaCloseArchive")(handle), arcerr::HarcIsNotOpened);
    EXPECT_EQ(open(nullptr, arcdll::WideToAnsi(Folder + L"missing.lzh").c_str(), 0), nullptr);

    ASSERT_EQ(Run(L"x -a1 -x1 " + Quoted(L"j.lzh") + L" " + Quoted(L"out\\")), 0);
    EXPECT_EQ(ReadFile(Folder + L"out\\" + folder + L"\\a.txt"), "abc");
    EXPECT_EQ(ReadFile(Folder + L"out\\" + folder + L"\\b.txt"), "de");
}
