// The entry data: stored (-lh0-), and the static-Huffman LZ77 methods
// (-lh4- to -lh7-, dictionaries of 4 to 64 KiB) both ways for -lh5-.
//
// A stream is a sequence of blocks. Each block starts with its number of
// symbols (16 bits), the code lengths of the length-code table, the code
// lengths of the 510 literal/length symbols (coded with that table), and
// the code lengths of the distance classes. A symbol below 256 is a byte;
// a symbol c above is a match of c - 253 bytes whose distance minus one is
// given by its class p (0 or 1, else 2^(p-1) plus p-1 more bits).
#include "archivers/lzh/LzhFormat.h"

// Standard library
#include <array>
#include <memory>
#include <queue>

namespace lzh {

namespace {

using arcio::EArchiveError;

constexpr int LiteralSymbols = 510;  // 256 bytes and match lengths 3..256
constexpr int LiteralBits = 9;
constexpr int LengthSymbols = 19;    // code lengths 0..16 and the three zero runs
constexpr int LengthBits = 5;
constexpr int MinMatch = 3;
constexpr int MaxMatch = 256;
constexpr int MaxCodeLength = 16;

[[noreturn]] void BrokenStream(const char* what)
{
    throw EArchiveError(arcerr::HuffmanCode, std::string("The entry's compressed data is broken: ") + what + ".");
}

// Bits of the packed data, first bit highest. Reading stops at the packed
// size: past it only zero bits come, and using one of them is an error.
class TBitReader {
public:
    TBitReader(arcio::IInput& input, uint64_t offset, uint64_t size) : FInput(input), FPosition(offset), FEnd(offset + size) {}

    uint16_t Peek()
    {
        while (FCount <= 24) {
            FBits |= static_cast<uint32_t>(NextByte()) << (24 - FCount);
            FCount += 8;
        }
        return static_cast<uint16_t>(FBits >> 16);
    }

    void Skip(int n)
    {
        Peek();
        FBits <<= n;
        FCount -= n;
        if (FPadding * 8 > static_cast<uint64_t>(FCount)) BrokenStream("it ends too early");
    }

    unsigned Get(int n)
    {
        if (n == 0) return 0;
        unsigned v = Peek() >> (16 - n);
        Skip(n);
        return v;
    }

private:
    uint8_t NextByte()
    {
        if (FNext == FLength) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof FBuffer, FEnd - FPosition));
            FLength = want == 0 ? 0 : FInput.ReadAt(FPosition, FBuffer, want);
            FPosition += FLength;
            FNext = 0;
            if (FLength == 0) {
                ++FPadding;
                return 0;
            }
        }
        return FBuffer[FNext++];
    }

    arcio::IInput& FInput;
    uint64_t FPosition, FEnd;
    uint8_t FBuffer[8192];
    size_t FNext = 0, FLength = 0;
    uint32_t FBits = 0;
    int FCount = 0;
    uint64_t FPadding = 0;
};

// A decoding table: codes of up to 12 bits are looked up directly in a
// 4096-entry table; the few longer ones are found by their canonical order.
// Every block builds three tables, so building stays small: a stream of
// tiny blocks cannot make the decoder slow.
class THuffmanTable {
public:
    void SetConstant(unsigned symbol)
    {
        FConstant = true;
        FSymbol = static_cast<uint16_t>(symbol);
    }

    // Lengths must form a complete prefix code (as every encoder makes them).
    void Build(const uint8_t* lengths, int count)
    {
        FConstant = false;
        FLengths.assign(lengths, lengths + count);
        unsigned perLength[MaxCodeLength + 1] = {};
        for (int i = 0; i < count; ++i)
            ++perLength[lengths[i]];
        uint32_t start[MaxCodeLength + 2];
        start[1] = 0;
        for (int l = 1; l <= MaxCodeLength; ++l)
            start[l + 1] = start[l] + (perLength[l] << (16 - l));
        if (start[MaxCodeLength + 1] != (1u << 16)) BrokenStream("a code table is invalid");
        unsigned offset = 0;
        for (int l = DirectBits + 1; l <= MaxCodeLength; ++l) {
            FFirstCode[l] = start[l] >> (16 - l);
            FCount[l] = perLength[l];
            FOffset[l] = offset;
            offset += perLength[l];
        }
        FLong.assign(offset, 0);
        std::fill(std::begin(FTable), std::end(FTable), TDirect{0, 0});
        for (int i = 0; i < count; ++i) {
            int l = lengths[i];
            if (l == 0) continue;
            uint32_t width = 1u << (16 - l);
            if (l <= DirectBits) {
                std::fill(FTable + (start[l] >> (16 - DirectBits)), FTable + ((start[l] + width) >> (16 - DirectBits)),
                          TDirect{static_cast<uint16_t>(i), static_cast<uint8_t>(l)});
            } else {
                FLong[FOffset[l] + ((start[l] >> (16 - l)) - FFirstCode[l])] = static_cast<uint16_t>(i);
            }
            start[l] += width;
        }
    }

    unsigned Decode(TBitReader& bits)
    {
        if (FConstant) return FSymbol;
        uint16_t ahead = bits.Peek();
        const TDirect& direct = FTable[ahead >> (16 - DirectBits)];
        if (direct.Length != 0) {
            bits.Skip(direct.Length);
            return direct.Symbol;
        }
        for (int l = DirectBits + 1; l <= MaxCodeLength; ++l) {
            uint32_t code = ahead >> (16 - l);
            if (code - FFirstCode[l] < FCount[l]) {
                bits.Skip(l);
                return FLong[FOffset[l] + code - FFirstCode[l]];
            }
        }
        BrokenStream("a code is not in its table");
    }

private:
    static constexpr int DirectBits = 12;
    struct TDirect {
        uint16_t Symbol;
        uint8_t Length;  // 0: a longer code starts here
    };
    bool FConstant = true;
    uint16_t FSymbol = 0;
    TDirect FTable[1u << DirectBits];
    uint32_t FFirstCode[MaxCodeLength + 1] = {};
    uint32_t FCount[MaxCodeLength + 1] = {};
    uint32_t FOffset[MaxCodeLength + 1] = {};
    std::vector<uint16_t> FLong;
    std::vector<uint8_t> FLengths;
};

// Lengths of the length-code table and of the distance table: 3 bits, 7
// and more in unary; after the index special, two bits of zeros.
void ReadLengthLengths(TBitReader& bits, THuffmanTable& table, int symbols, int countBits, int special)
{
    unsigned n = bits.Get(countBits);
    if (n == 0) {
        unsigned c = bits.Get(countBits);
        if (c >= static_cast<unsigned>(symbols)) BrokenStream("a code table is invalid");
        table.SetConstant(c);
        return;
    }
    if (n > static_cast<unsigned>(symbols)) BrokenStream("a code table is too long");
    uint8_t lengths[32] = {};
    unsigned i = 0;
    while (i < n) {
        unsigned c = bits.Peek() >> 13;
        if (c == 7) {
            unsigned mask = 1u << 12;
            while (bits.Peek() & mask) {
                mask >>= 1;
                ++c;
                if (c > MaxCodeLength) BrokenStream("a code is too long");
            }
        }
        bits.Skip(c < 7 ? 3 : static_cast<int>(c) - 3);
        lengths[i++] = static_cast<uint8_t>(c);
        if (static_cast<int>(i) == special) {
            unsigned zeros = bits.Get(2);
            while (zeros-- > 0 && i < n)
                lengths[i++] = 0;
        }
    }
    table.Build(lengths, symbols);
}

void ReadLiteralLengths(TBitReader& bits, THuffmanTable& lengthTable, THuffmanTable& table)
{
    unsigned n = bits.Get(LiteralBits);
    if (n == 0) {
        unsigned c = bits.Get(LiteralBits);
        if (c >= LiteralSymbols) BrokenStream("a code table is invalid");
        table.SetConstant(c);
        return;
    }
    if (n > LiteralSymbols) BrokenStream("a code table is too long");
    uint8_t lengths[LiteralSymbols] = {};
    unsigned i = 0;
    while (i < n) {
        unsigned c = lengthTable.Decode(bits);
        if (c <= 2) {
            unsigned zeros = c == 0 ? 1 : c == 1 ? bits.Get(4) + 3 : bits.Get(LiteralBits) + 20;
            if (zeros > n - i) BrokenStream("a code table is too long");
            i += zeros;
        } else {
            lengths[i++] = static_cast<uint8_t>(c - 2);
        }
    }
    table.Build(lengths, LiteralSymbols);
}

// Output with the CRC, in chunks.
class TChecked {
public:
    explicit TChecked(arcio::IOutput& output) : FOutput(output) {}
    void Write(const uint8_t* data, size_t count)
    {
        FCrc = Crc16(FCrc, data, count);
        FOutput.Write(data, count);
    }
    uint16_t Crc() const { return FCrc; }

private:
    arcio::IOutput& FOutput;
    uint16_t FCrc = 0;
};

}  // namespace

uint16_t DecodeStatic(arcio::IInput& input, uint64_t offset, uint64_t packedSize, uint64_t originalSize, int dictionaryBits,
                      arcio::IOutput& output)
{
    const int distanceSymbols = dictionaryBits + 1;
    const int distanceBits = dictionaryBits <= 13 ? 4 : 5;
    const size_t windowSize = size_t{1} << dictionaryBits;
    const size_t mask = windowSize - 1;
    TBitReader bits(input, offset, packedSize);
    TChecked out(output);
    // Some old encoders counted on a dictionary of blanks at the start.
    std::vector<uint8_t> window(windowSize, ' ');
    size_t at = 0, flushed = 0;
    auto flush = [&] {
        out.Write(window.data() + flushed, at - flushed);
        flushed = at == windowSize ? 0 : at;
        if (at == windowSize) at = 0;
    };
    auto lengthTable = std::make_unique<THuffmanTable>();
    auto literalTable = std::make_unique<THuffmanTable>();
    auto distanceTable = std::make_unique<THuffmanTable>();
    uint64_t remaining = originalSize;
    unsigned blockLeft = 0;
    while (remaining > 0) {
        if (blockLeft == 0) {
            blockLeft = bits.Get(16);
            if (blockLeft == 0) BrokenStream("a block is empty");
            ReadLengthLengths(bits, *lengthTable, LengthSymbols, LengthBits, 3);
            ReadLiteralLengths(bits, *lengthTable, *literalTable);
            ReadLengthLengths(bits, *distanceTable, distanceSymbols, distanceBits, -1);
        }
        --blockLeft;
        unsigned c = literalTable->Decode(bits);
        if (c < 256) {
            window[at++] = static_cast<uint8_t>(c);
            --remaining;
            if (at == windowSize) flush();
            continue;
        }
        uint64_t length = std::min<uint64_t>(c - 253, remaining);
        unsigned p = distanceTable->Decode(bits);
        size_t distance = p > 1 ? (size_t{1} << (p - 1)) + bits.Get(static_cast<int>(p) - 1) : p;
        size_t from = (at - distance - 1) & mask;
        remaining -= length;
        while (length-- > 0) {
            window[at++] = window[from];
            from = (from + 1) & mask;
            if (at == windowSize) flush();
        }
    }
    flush();
    return out.Crc();
}

void DecodeEntry(arcio::IInput& input, const TEntry& entry, arcio::IOutput& output)
{
    const std::string& m = entry.Method;
    uint16_t crc = 0;
    if (m == "-lhd-") return;
    if (m == "-lh0-" || m == "-lz4-") {
        if (entry.PackedSize != entry.OriginalSize)
            throw EArchiveError(arcerr::HeaderBroken, "The archive is broken: a stored entry's sizes disagree.");
        TChecked out(output);
        std::vector<uint8_t> buffer(65536);
        for (uint64_t done = 0; done < entry.OriginalSize;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), entry.OriginalSize - done));
            if (input.ReadAt(entry.DataOffset + done, buffer.data(), want) != want)
                throw EArchiveError(arcerr::CannotRead, "The archive is cut off.");
            out.Write(buffer.data(), want);
            done += want;
        }
        crc = out.Crc();
    } else if (m == "-lh4-" || m == "-lh5-" || m == "-lh6-" || m == "-lh7-") {
        static const int bits[] = {12, 13, 15, 16};
        crc = DecodeStatic(input, entry.DataOffset, entry.PackedSize, entry.OriginalSize, bits[m[3] - '4'], output);
    } else {
        throw EArchiveError(arcerr::NotSupport, "The method " + m + " is not supported.");
    }
    if (crc != entry.Crc) throw EArchiveError(arcerr::FileCrc, "The entry's data does not match its CRC.");
}

// ---------------------------------------------------------------------------
// The -lh5- encoder.

namespace {

constexpr int DictionaryBits = 13;
constexpr size_t Dictionary = size_t{1} << DictionaryBits;
constexpr int DistanceSymbols = DictionaryBits + 1;
constexpr int DistanceBits = 4;
constexpr size_t BlockSymbols = 16384;
constexpr int ChainDepth = 512;
constexpr int HashBits = 15;

struct TTooLarge {};

class TBitWriter {
public:
    TBitWriter(arcio::IOutput& output, uint64_t limit) : FOutput(output), FLimit(limit) {}

    void Put(int n, unsigned value)
    {
        for (int i = n - 1; i >= 0; --i) {
            FByte = static_cast<uint8_t>((FByte << 1) | ((value >> i) & 1));
            if (++FCount == 8) Emit();
        }
    }

    void Finish()
    {
        if (FCount > 0) {
            FByte = static_cast<uint8_t>(FByte << (8 - FCount));
            Emit();
        }
        Drain();
    }

    uint64_t Written() const { return FWritten; }

private:
    void Emit()
    {
        FPending.push_back(static_cast<char>(FByte));
        FByte = 0;
        FCount = 0;
        if (++FWritten > FLimit) throw TTooLarge{};
        if (FPending.size() >= 65536) Drain();
    }
    void Drain()
    {
        FOutput.Write(FPending.data(), FPending.size());
        FPending.clear();
    }

    arcio::IOutput& FOutput;
    uint64_t FLimit;
    std::string FPending;
    uint8_t FByte = 0;
    int FCount = 0;
    uint64_t FWritten = 0;
};

// Code lengths of at most maxLength bits for the frequencies (0: unused).
// Frequencies are halved until the code fits.
std::vector<uint8_t> CodeLengths(std::vector<uint32_t> freq, int maxLength)
{
    const size_t n = freq.size();
    std::vector<uint8_t> lengths(n, 0);
    for (;;) {
        struct TNode {
            uint64_t Weight;
            int Index;
        };
        auto heavier = [](const TNode& a, const TNode& b) { return a.Weight > b.Weight || (a.Weight == b.Weight && a.Index > b.Index); };
        std::priority_queue<TNode, std::vector<TNode>, decltype(heavier)> heap(heavier);
        std::vector<int> parent(2 * n, -1);
        int next = static_cast<int>(n);
        for (size_t i = 0; i < n; ++i)
            if (freq[i]) heap.push({freq[i], static_cast<int>(i)});
        if (heap.size() < 2) return lengths;  // the caller writes a constant table
        while (heap.size() > 1) {
            TNode a = heap.top();
            heap.pop();
            TNode b = heap.top();
            heap.pop();
            parent[a.Index] = parent[b.Index] = next;
            heap.push({a.Weight + b.Weight, next++});
        }
        int longest = 0;
        for (size_t i = 0; i < n; ++i) {
            int depth = 0;
            if (freq[i])
                for (int k = static_cast<int>(i); parent[k] >= 0; k = parent[k])
                    ++depth;
            lengths[i] = static_cast<uint8_t>(std::min(depth, 255));
            longest = std::max(longest, depth);
        }
        if (longest <= maxLength) return lengths;
        for (auto& f : freq)
            if (f) f = (f >> 1) | 1;
    }
}

// Canonical codes of the lengths, as the decoder's table assigns them.
std::vector<uint16_t> CodesOf(const std::vector<uint8_t>& lengths)
{
    unsigned perLength[MaxCodeLength + 1] = {};
    for (uint8_t l : lengths)
        ++perLength[l];
    perLength[0] = 0;
    unsigned next[MaxCodeLength + 2] = {};
    for (int l = 1; l <= MaxCodeLength; ++l)
        next[l + 1] = (next[l] + perLength[l]) << 1;
    std::vector<uint16_t> codes(lengths.size(), 0);
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i]) codes[i] = static_cast<uint16_t>(next[lengths[i]]++);
    return codes;
}

int DistanceClass(unsigned value)
{
    int p = 0;
    while (value) {
        ++p;
        value >>= 1;
    }
    return p;
}

class TBlockWriter {
public:
    explicit TBlockWriter(TBitWriter& bits) : FBits(bits) {}

    void Literal(uint8_t byte) { Add(byte, 0); }
    void Match(unsigned length, unsigned distance) { Add(static_cast<uint16_t>(length + 253), static_cast<uint16_t>(distance - 1)); }

    void Flush()
    {
        if (FSymbols.empty()) return;
        std::vector<uint32_t> literalFreq(LiteralSymbols, 0), distanceFreq(DistanceSymbols, 0);
        for (size_t i = 0; i < FSymbols.size(); ++i) {
            ++literalFreq[FSymbols[i]];
            if (FSymbols[i] >= 256) ++distanceFreq[DistanceClass(FValues[i])];
        }
        std::vector<uint8_t> literalLengths = CodeLengths(literalFreq, MaxCodeLength);
        std::vector<uint8_t> distanceLengths = CodeLengths(distanceFreq, MaxCodeLength);
        FBits.Put(16, static_cast<unsigned>(FSymbols.size()));
        int constantLiteral = Constant(literalFreq, literalLengths);
        if (constantLiteral >= 0) {
            FBits.Put(LengthBits, 0);
            FBits.Put(LengthBits, 0);
            FBits.Put(LiteralBits, 0);
            FBits.Put(LiteralBits, static_cast<unsigned>(constantLiteral));
        } else {
            WriteLiteralLengths(literalLengths);
        }
        int constantDistance = Constant(distanceFreq, distanceLengths);
        if (constantDistance >= 0) {
            FBits.Put(DistanceBits, 0);
            FBits.Put(DistanceBits, static_cast<unsigned>(constantDistance));
        } else {
            WriteSmallLengths(distanceLengths, DistanceBits, -1);
        }
        std::vector<uint16_t> literalCodes = CodesOf(literalLengths), distanceCodes = CodesOf(distanceLengths);
        for (size_t i = 0; i < FSymbols.size(); ++i) {
            uint16_t c = FSymbols[i];
            FBits.Put(literalLengths[c], literalCodes[c]);
            if (c < 256) continue;
            unsigned value = FValues[i];
            int p = DistanceClass(value);
            FBits.Put(distanceLengths[p], distanceCodes[p]);
            if (p > 1) FBits.Put(p - 1, value - (1u << (p - 1)));
        }
        FSymbols.clear();
        FValues.clear();
    }

private:
    void Add(uint16_t symbol, uint16_t value)
    {
        FSymbols.push_back(symbol);
        FValues.push_back(value);
        if (FSymbols.size() == BlockSymbols) Flush();
    }

    // The only symbol used, or -1 when there are several (lengths then set).
    static int Constant(const std::vector<uint32_t>& freq, const std::vector<uint8_t>& lengths)
    {
        int used = -1, count = 0;
        for (size_t i = 0; i < freq.size(); ++i)
            if (freq[i]) {
                used = static_cast<int>(i);
                ++count;
            }
        (void)lengths;
        return count <= 1 ? std::max(used, 0) : -1;
    }

    void WriteSmallLengths(const std::vector<uint8_t>& lengths, int countBits, int special)
    {
        int n = static_cast<int>(lengths.size());
        while (n > 0 && lengths[n - 1] == 0)
            --n;
        FBits.Put(countBits, static_cast<unsigned>(n));
        int i = 0;
        while (i < n) {
            int k = lengths[i++];
            if (k <= 6)
                FBits.Put(3, static_cast<unsigned>(k));
            else
                FBits.Put(k - 3, (1u << (k - 3)) - 2);
            if (i == special) {
                int zeros = 0;
                while (i + zeros < n && zeros < 3 && lengths[i + zeros] == 0)
                    ++zeros;
                FBits.Put(2, static_cast<unsigned>(zeros));
                i += zeros;
            }
        }
    }

    // Walks the literal lengths as the length-code symbols that carry them.
    template <typename F>
    static void LengthSymbolsOf(const std::vector<uint8_t>& lengths, int n, F&& f)
    {
        int i = 0;
        while (i < n) {
            int k = lengths[i++];
            if (k != 0) {
                f(k + 2, -1, 0);
                continue;
            }
            int zeros = 1;
            while (i < n && lengths[i] == 0) {
                ++i;
                ++zeros;
            }
            if (zeros <= 2) {
                for (int z = 0; z < zeros; ++z)
                    f(0, -1, 0);
            } else if (zeros <= 18) {
                f(1, 4, zeros - 3);
            } else if (zeros == 19) {
                f(0, -1, 0);
                f(1, 4, 15);
            } else {
                f(2, LiteralBits, zeros - 20);
            }
        }
    }

    void WriteLiteralLengths(const std::vector<uint8_t>& lengths)
    {
        int n = LiteralSymbols;
        while (n > 0 && lengths[n - 1] == 0)
            --n;
        std::vector<uint32_t> freq(LengthSymbols, 0);
        LengthSymbolsOf(lengths, n, [&](int symbol, int, int) { ++freq[symbol]; });
        std::vector<uint8_t> lengthLengths = CodeLengths(freq, MaxCodeLength);
        int constant = Constant(freq, lengthLengths);
        if (constant >= 0) {
            FBits.Put(LengthBits, 0);
            FBits.Put(LengthBits, static_cast<unsigned>(constant));
            lengthLengths.assign(LengthSymbols, 0);
        } else {
            WriteSmallLengths(lengthLengths, LengthBits, 3);
        }
        std::vector<uint16_t> codes = CodesOf(lengthLengths);
        FBits.Put(LiteralBits, static_cast<unsigned>(n));
        LengthSymbolsOf(lengths, n, [&](int symbol, int extraBits, int extra) {
            FBits.Put(lengthLengths[symbol], codes[symbol]);
            if (extraBits > 0) FBits.Put(extraBits, static_cast<unsigned>(extra));
        });
    }

    TBitWriter& FBits;
    std::vector<uint16_t> FSymbols;
    std::vector<uint16_t> FValues;
};

// The input with the dictionary behind the current position and the
// longest match ahead of it; hash chains of three-byte prefixes.
class TMatchFinder {
public:
    TMatchFinder(arcio::IInput& input, uint64_t size) : FInput(input), FSize(size), FHead(size_t{1} << HashBits, -1), FPrevious(Dictionary, -1) {}

    uint16_t& Crc() { return FCrc; }
    uint64_t Size() const { return FSize; }

    // Makes sure the bytes up to position + MaxMatch are loaded.
    void Fill(int64_t position)
    {
        uint64_t want = std::min<uint64_t>(FSize, static_cast<uint64_t>(position) + MaxMatch + 1);
        if (FBase + FData.size() >= want) return;
        // Drop what lies beyond the dictionary behind the position.
        uint64_t keepFrom = static_cast<uint64_t>(position) > Dictionary ? static_cast<uint64_t>(position) - Dictionary : 0;
        if (keepFrom > FBase + (1u << 18)) {
            FData.erase(FData.begin(), FData.begin() + static_cast<ptrdiff_t>(keepFrom - FBase));
            FBase = keepFrom;
        }
        uint64_t loaded = FBase + FData.size();
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(1u << 16, FSize - loaded));
        size_t old = FData.size();
        FData.resize(old + chunk);
        if (FInput.ReadAt(loaded, FData.data() + old, chunk) != chunk)
            throw EArchiveError(arcerr::CannotRead, "A file changed while it was being packed.");
        FCrc = Crc16(FCrc, FData.data() + old, chunk);
    }

    uint8_t At(int64_t position) const { return FData[static_cast<size_t>(static_cast<uint64_t>(position) - FBase)]; }

    void Insert(int64_t position)
    {
        if (static_cast<uint64_t>(position) + MinMatch > FSize) return;
        size_t h = Hash(position);
        FPrevious[static_cast<size_t>(position) & (Dictionary - 1)] = FHead[h];
        FHead[h] = position;
    }

    // The longest match at position (0 when none of at least MinMatch).
    unsigned Longest(int64_t position, unsigned& distance)
    {
        uint64_t left = FSize - static_cast<uint64_t>(position);
        unsigned limit = static_cast<unsigned>(std::min<uint64_t>(MaxMatch, left));
        if (limit < MinMatch) return 0;
        unsigned best = MinMatch - 1;
        const uint8_t* here = &FData[static_cast<size_t>(static_cast<uint64_t>(position) - FBase)];
        int64_t candidate = FHead[Hash(position)];
        for (int chain = ChainDepth; chain > 0 && candidate >= 0 && position - candidate <= static_cast<int64_t>(Dictionary); --chain) {
            const uint8_t* there = &FData[static_cast<size_t>(static_cast<uint64_t>(candidate) - FBase)];
            if (there[best] == here[best]) {
                unsigned n = 0;
                while (n < limit && there[n] == here[n])
                    ++n;
                if (n > best) {
                    best = n;
                    distance = static_cast<unsigned>(position - candidate);
                    if (n == limit) break;
                }
            }
            int64_t next = FPrevious[static_cast<size_t>(candidate) & (Dictionary - 1)];
            if (next >= candidate) break;
            candidate = next;
        }
        if (best == MinMatch && distance > 4096) return 0;  // a far short match costs more than its bytes
        return best >= MinMatch ? best : 0;
    }

private:
    size_t Hash(int64_t position) const
    {
        const uint8_t* p = &FData[static_cast<size_t>(static_cast<uint64_t>(position) - FBase)];
        return ((p[0] << 10) ^ (p[1] << 5) ^ p[2]) & ((1u << HashBits) - 1);
    }

    arcio::IInput& FInput;
    uint64_t FSize;
    std::vector<uint8_t> FData;
    uint64_t FBase = 0;
    std::vector<int64_t> FHead;
    std::vector<int64_t> FPrevious;
    uint16_t FCrc = 0;
};

}  // namespace

bool EncodeLh5(arcio::IInput& input, uint64_t size, arcio::IOutput& output, uint64_t limit, uint64_t& packedSize,
               uint16_t& crc)
{
    TBitWriter bits(output, limit);
    TBlockWriter block(bits);
    TMatchFinder finder(input, size);
    try {
        const int64_t end = static_cast<int64_t>(size);
        int64_t position = 0;
        // Lazy matching: a match is taken only when the next position has
        // no longer one; else a byte goes out and the next match is kept.
        bool pending = false;
        unsigned pendingLength = 0, pendingDistance = 0;
        while (position < end) {
            finder.Fill(position);
            unsigned distance = 0;
            unsigned length = finder.Longest(position, distance);
            finder.Insert(position);
            if (pending && pendingLength >= MinMatch && pendingLength >= length) {
                block.Match(pendingLength, pendingDistance);
                int64_t stop = position - 1 + pendingLength;
                for (++position; position < stop; ++position) {
                    finder.Fill(position);
                    finder.Insert(position);
                }
                pending = false;
                continue;
            }
            if (pending) block.Literal(finder.At(position - 1));
            pending = true;
            pendingLength = length;
            pendingDistance = distance;
            ++position;
        }
        if (pending) {
            if (pendingLength >= MinMatch)
                block.Match(pendingLength, pendingDistance);
            else
                block.Literal(finder.At(end - 1));
        }
        block.Flush();
        bits.Finish();
    } catch (const TTooLarge&) {
        return false;
    }
    packedSize = bits.Written();
    crc = finder.Crc();
    return true;
}

}  // namespace lzh
