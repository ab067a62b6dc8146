// gzip through zlib.
#include "archivers/tar/GzipStream.h"

// Compression library
#include <zlib.h>

namespace tarfmt {

namespace {

constexpr size_t BufferSize = 65536;
constexpr size_t MaxStoredName = 1024;

[[noreturn]] void Broken(const char* message) { throw arcio::EArchiveError(arcerr::HeaderBroken, message); }

}  // namespace

bool LooksLikeGzip(const unsigned char* bytes, size_t size)
{
    return size >= 3 && bytes[0] == 0x1F && bytes[1] == 0x8B && bytes[2] == 8;
}

struct TGzipSource::TState {
    z_stream Stream{};
    gz_header Header{};
    unsigned char NameBuffer[MaxStoredName + 1]{};
    unsigned char In[BufferSize];
    bool Initialized = false;
    bool InputEnded = false;   // the compressed source has nothing more
    bool Finished = false;     // the last member ended
    bool FirstMember = true;
    bool HeaderTaken = false;
};

TGzipSource::TGzipSource(ISource& compressed) : FCompressed(compressed), FState(std::make_unique<TState>())
{
    // 16 + 15: a gzip wrapper and the full window.
    if (inflateInit2(&FState->Stream, 16 + 15) != Z_OK) throw arcio::EArchiveError(arcerr::MoreHeapMemory, "zlib cannot start.");
    FState->Initialized = true;
    FState->Header.name = FState->NameBuffer;
    FState->Header.name_max = MaxStoredName;
    inflateGetHeader(&FState->Stream, &FState->Header);
}

TGzipSource::~TGzipSource()
{
    if (FState->Initialized) inflateEnd(&FState->Stream);
}

bool TGzipSource::Refill()
{
    TState& s = *FState;
    if (s.InputEnded) return false;
    if (s.Stream.avail_in > 0 && s.Stream.next_in != s.In) std::memmove(s.In, s.Stream.next_in, s.Stream.avail_in);
    size_t n = FCompressed.Read(s.In + s.Stream.avail_in, BufferSize - s.Stream.avail_in);
    if (n == 0) s.InputEnded = true;
    s.Stream.next_in = s.In;
    s.Stream.avail_in += static_cast<uInt>(n);
    return n > 0;
}

size_t TGzipSource::Read(void* buffer, size_t count)
{
    TState& s = *FState;
    size_t total = 0;
    while (total < count && !s.Finished) {
        if (s.Stream.avail_in == 0) Refill();
        s.Stream.next_out = static_cast<Bytef*>(buffer) + total;
        s.Stream.avail_out = static_cast<uInt>(std::min<size_t>(count - total, 1u << 30));
        uInt before = s.Stream.avail_out;
        int result = inflate(&s.Stream, Z_NO_FLUSH);
        total += before - s.Stream.avail_out;
        if (s.FirstMember && !s.HeaderTaken && s.Header.done == 1) {
            s.HeaderTaken = true;
            if (s.Header.name) FName.assign(reinterpret_cast<const char*>(s.NameBuffer), strnlen(reinterpret_cast<const char*>(s.NameBuffer), MaxStoredName));
            FTime = static_cast<uint32_t>(s.Header.time);
        }
        if (result == Z_STREAM_END) {
            s.FirstMember = false;
            // Another member may follow; anything else ends the file.
            if (s.Stream.avail_in < 3) Refill();
            if (!LooksLikeGzip(s.Stream.next_in, s.Stream.avail_in)) {
                s.Finished = true;
                break;
            }
            inflateReset(&s.Stream);
            continue;
        }
        // No progress: more input is wanted. When there is none, the input
        // ended inside a member (its header, its data or its trailer).
        if (result == Z_BUF_ERROR) {
            if (s.InputEnded && s.Stream.avail_in == 0) Broken("The gzip data ends early.");
            if (s.Stream.avail_in == BufferSize) Broken("The gzip data is damaged.");
            Refill();
            continue;
        }
        if (result == Z_MEM_ERROR) throw arcio::EArchiveError(arcerr::MoreHeapMemory, "Not enough memory for gzip.");
        if (result != Z_OK) Broken(result == Z_DATA_ERROR && s.Stream.msg && std::strstr(s.Stream.msg, "check")
                                       ? "The gzip data is damaged (its check value does not match)."
                                       : "The gzip data is damaged.");
    }
    return total;
}

struct TGzipOutput::TState {
    z_stream Stream{};
    gz_header Header{};
    std::string Name;
    unsigned char Out[BufferSize];
    bool Initialized = false;
};

TGzipOutput::TGzipOutput(arcio::IOutput& target, const std::string& name, uint32_t time)
    : FTarget(target), FState(std::make_unique<TState>())
{
    if (deflateInit2(&FState->Stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw arcio::EArchiveError(arcerr::MoreHeapMemory, "zlib cannot start.");
    FState->Initialized = true;
    FState->Name = name;
    FState->Header.name = name.empty() ? Z_NULL : reinterpret_cast<Bytef*>(FState->Name.data());
    FState->Header.time = time;
    FState->Header.os = 3;  // the value Unix writers use; readers take names as bytes
    deflateSetHeader(&FState->Stream, &FState->Header);
}

TGzipOutput::~TGzipOutput()
{
    if (FState->Initialized) deflateEnd(&FState->Stream);
}

void TGzipOutput::Pump(int flush)
{
    TState& s = *FState;
    for (;;) {
        s.Stream.next_out = s.Out;
        s.Stream.avail_out = BufferSize;
        int result = deflate(&s.Stream, flush);
        if (result == Z_STREAM_ERROR) throw arcio::EArchiveError(arcerr::CannotWrite, "zlib failed.");
        size_t produced = BufferSize - s.Stream.avail_out;
        if (produced > 0) FTarget.Write(s.Out, produced);
        if (flush == Z_FINISH ? result == Z_STREAM_END : s.Stream.avail_in == 0 && s.Stream.avail_out != 0) break;
    }
}

void TGzipOutput::Write(const void* data, size_t count)
{
    const Bytef* bytes = static_cast<const Bytef*>(data);
    while (count > 0) {
        uInt chunk = static_cast<uInt>(std::min<size_t>(count, 1u << 30));
        FState->Stream.next_in = const_cast<Bytef*>(bytes);
        FState->Stream.avail_in = chunk;
        Pump(Z_NO_FLUSH);
        bytes += chunk;
        count -= chunk;
    }
}

void TGzipOutput::Finish()
{
    FState->Stream.next_in = nullptr;
    FState->Stream.avail_in = 0;
    Pump(Z_FINISH);
}

}  // namespace tarfmt
