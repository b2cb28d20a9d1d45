#pragma once
// Byte streams: the caller-owned destinations and sources of the network library.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Exception.h"

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

NX_DECLARE_EXCEPTION(EStreamError, Exception)

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes count bytes; returns how many were written.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size();
    virtual void SetSize(int64_t size) = 0;
    // Told before the stream is sized to end, one piece of many: a stream that keeps its
    // bytes in memory makes room for more than that piece. Nothing by default.
    virtual void ExpectGrowth(int64_t) {}
    // Told the end a source has announced (a Content-Length) before its bytes arrive; no room
    // is made for it, since the announcement may be a lie. Nothing by default.
    virtual void AnnounceEnd(int64_t) {}
    // Memory at the position for a source that can fill memory itself (a receive), saving
    // it a copy: at least minimum bytes, grown for as a write of that many would grow the
    // stream, and up to count where the stream already has the room; count comes back as
    // what is offered. The bytes that were filled count once CommitWrite is told how many.
    // Null where the stream keeps no memory of its own: the source then writes.
    virtual char* WriteSpace(int64_t& /*count*/, int64_t /*minimum*/) { return nullptr; }
    virtual void CommitWrite(int64_t /*count*/) {}

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    // Raise EStreamError when fewer bytes than asked can be moved.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    void WriteString(const std::string& text) { WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }
    // Copies count bytes from source's position (count 0: the whole source from its start).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A growable block of memory. Growth is geometric; SetSize sizes it exactly once
// for callers that know the final length.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }
    void SetSize(int64_t size) override;
    // Grows the room geometrically; an empty stream still gets exactly end bytes.
    void ExpectGrowth(int64_t end) override;
    char* WriteSpace(int64_t& count, int64_t minimum) override;
    void CommitWrite(int64_t count) override;

    char* Memory() { return FData.get(); }
    const char* Memory() const { return FData.get(); }
    int64_t Capacity() const { return FCapacity; }
    // Makes room for at least capacity bytes without changing the size.
    void Reserve(int64_t capacity);
    void Clear();
    std::string ToString() const {
        return std::string(FData.get() ? FData.get() : "", static_cast<size_t>(FSize));
    }
    void SaveToFile(const std::string& fileName) const;

private:
    struct FreeDeleter {
        void operator()(char* p) const;
    };
    std::unique_ptr<char, FreeDeleter> FData;
    int64_t FSize = 0;
    int64_t FCapacity = 0;
    int64_t FPosition = 0;
};

// Another stream's bytes up to a limit: a write, a size or a growth hint that would take it
// past the limit raises EStreamLimitExceeded and changes nothing, so a reader of untrusted
// data stops at the first byte too many. The stream is borrowed.
NX_DECLARE_EXCEPTION(EStreamLimitExceeded, EStreamError)
class TLimitedStream : public TStream {
public:
    TLimitedStream(TStream& stream, int64_t limit) : FStream(stream), FLimit(limit) {}

    int64_t Read(void* buffer, int64_t count) override { return FStream.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FStream.Seek(offset, origin); }
    int64_t Size() override { return FStream.Size(); }
    void SetSize(int64_t size) override;
    void ExpectGrowth(int64_t end) override;
    // An announced end past the limit is refused at once, before any of its bytes.
    void AnnounceEnd(int64_t end) override;
    // Never past the limit: none when minimum would go past it (a write is then refused
    // as above).
    char* WriteSpace(int64_t& count, int64_t minimum) override;
    void CommitWrite(int64_t count) override { FStream.CommitWrite(count); }

    // Whether anything was refused for going past the limit.
    bool Exceeded() const { return FExceeded; }

private:
    void Check(int64_t end);

    TStream& FStream;
    int64_t FLimit;
    bool FExceeded = false;
};

// A file opened for reading; others may read it meanwhile but not write to it.
class TFileReadStream : public TStream {
public:
    // Raises EStreamError "Cannot open file "<name>"" when the file cannot be opened.
    explicit TFileReadStream(const std::string& fileName);
    ~TFileReadStream() override;
    TFileReadStream(const TFileReadStream&) = delete;
    TFileReadStream& operator=(const TFileReadStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    // Always 0: the stream is read-only.
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    // Raises EStreamError: the stream is read-only.
    void SetSize(int64_t size) override;

private:
    std::FILE* FFile = nullptr;
};
