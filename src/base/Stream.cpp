#include "base/Stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <share.h>
#endif

int64_t TStream::Size() {
    int64_t here = Seek(0, soCurrent);
    int64_t end = Seek(0, soEnd);
    Seek(here, soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count > 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count > 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr int64_t kChunk = 64 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    int64_t done = 0;
    while (done < count) {
        int64_t n = std::min(kChunk, count - done);
        source.ReadBuffer(buffer.get(), n);
        WriteBuffer(buffer.get(), n);
        done += n;
    }
    return done;
}

void TMemoryStream::FreeDeleter::operator()(char* p) const {
    std::free(p);
}

void TMemoryStream::Reserve(int64_t capacity) {
    if (capacity <= FCapacity) return;
    if (static_cast<uint64_t>(capacity) > SIZE_MAX)
        throw EStreamError("Out of memory while expanding memory stream");
    char* grown = static_cast<char*>(std::realloc(FData.get(), static_cast<size_t>(capacity)));
    if (!grown) throw EStreamError("Out of memory while expanding memory stream");
    (void)FData.release();
    FData.reset(grown);
    FCapacity = capacity;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0) size = 0;
    Reserve(size);
    FSize = size;
    if (FPosition > FSize) FPosition = FSize;
}

void TMemoryStream::ExpectGrowth(int64_t end) {
    if (FCapacity > 0 && end > FCapacity) Reserve(std::max(end, FCapacity + FCapacity / 2));
}

void TMemoryStream::Clear() {
    FData.reset();
    FSize = FCapacity = FPosition = 0;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || FPosition >= FSize) return 0;
    int64_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FData.get() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    // This stream's own room, whatever a derived stream offers others.
    int64_t room = count;
    std::memcpy(TMemoryStream::WriteSpace(room, count), buffer, static_cast<size_t>(count));
    TMemoryStream::CommitWrite(count);
    return count;
}

char* TMemoryStream::WriteSpace(int64_t& count, int64_t minimum) {
    if (minimum <= 0 || count < minimum) return nullptr;
    const int64_t end = FPosition + minimum;
    if (end > FCapacity) Reserve(std::max(end, FCapacity + FCapacity / 2 + 4096));
    // A gap after a seek past the end is zero bytes, never stale memory.
    if (FPosition > FSize) {
        std::memset(FData.get() + FSize, 0, static_cast<size_t>(FPosition - FSize));
        FSize = FPosition;
    }
    count = std::min(count, FCapacity - FPosition);
    return FData.get() + FPosition;
}

void TMemoryStream::CommitWrite(int64_t count) {
    if (count <= 0) return;
    FPosition = std::min(FPosition + count, FCapacity);
    if (FPosition > FSize) FSize = FPosition;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
    int64_t target = base + offset;
    // A position past the end is allowed (as with files); the next write fills the gap.
    FPosition = target < 0 ? 0 : target;
    return FPosition;
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    std::FILE* f = std::fopen(fileName.c_str(), "wb");
    if (!f) throw EStreamError("Cannot create file \"" + fileName + "\"");
    size_t n = FSize ? std::fwrite(FData.get(), 1, static_cast<size_t>(FSize), f) : 0;
    bool ok = n == static_cast<size_t>(FSize);
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) throw EStreamError("Stream write error");
}

void TLimitedStream::Check(int64_t end) {
    if (end <= FLimit) return;
    FExceeded = true;
    throw EStreamLimitExceeded("Stream limit of " + std::to_string(FLimit) + " bytes exceeded");
}

int64_t TLimitedStream::Write(const void* buffer, int64_t count) {
    if (count > 0) Check(FStream.Position() + count);
    return FStream.Write(buffer, count);
}

void TLimitedStream::SetSize(int64_t size) {
    Check(size);
    FStream.SetSize(size);
}

void TLimitedStream::ExpectGrowth(int64_t end) {
    Check(end);
    FStream.ExpectGrowth(end);
}

void TLimitedStream::AnnounceEnd(int64_t end) {
    Check(end);
    FStream.AnnounceEnd(end);
}

char* TLimitedStream::WriteSpace(int64_t& count, int64_t minimum) {
    const int64_t room = FLimit - FStream.Position();
    if (minimum > room) return nullptr;
    count = std::min(count, room);
    return FStream.WriteSpace(count, minimum);
}

TFileReadStream::TFileReadStream(const std::string& fileName) {
#ifdef _WIN32
    FFile = _fsopen(fileName.c_str(), "rb", _SH_DENYWR);
#else
    FFile = std::fopen(fileName.c_str(), "rb");
#endif
    if (!FFile) throw EStreamError("Cannot open file \"" + fileName + "\"");
}

TFileReadStream::~TFileReadStream() {
    std::fclose(FFile);
}

int64_t TFileReadStream::Read(void* buffer, int64_t count) {
    if (count <= 0) return 0;
    return static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), FFile));
}

int64_t TFileReadStream::Write(const void*, int64_t) {
    return 0;
}

int64_t TFileReadStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
#ifdef _WIN32
    if (_fseeki64(FFile, offset, whence) != 0) throw EStreamError("Stream seek error");
    return _ftelli64(FFile);
#else
    if (fseeko(FFile, static_cast<off_t>(offset), whence) != 0) throw EStreamError("Stream seek error");
    return static_cast<int64_t>(ftello(FFile));
#endif
}

void TFileReadStream::SetSize(int64_t) {
    throw EStreamError("Stream write error");
}
