#pragma once
// In-memory byte buffers of the connection: the scratch buffer of one receive or
// send, the write buffer, and the input buffer that serves reads.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Stream.h"

class TNxSimpleBuffer;
using TNxBytesRemovedEvent = std::function<void(TNxSimpleBuffer& sender, int64_t count)>;

// A growable, contiguous byte stream. Removing bytes from its front moves the rest
// down and then fires OnBytesRemoved.
class TNxSimpleBuffer : public TStream {
public:
    TNxSimpleBuffer() = default;
    TNxSimpleBuffer(const TNxSimpleBuffer&) = delete;
    TNxSimpleBuffer& operator=(const TNxSimpleBuffer&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FStored - FOffset; }
    void SetSize(int64_t size) override;

    // The first byte of the contents.
    char* Memory() { return FData.get() + FOffset; }
    const char* Memory() const { return FData.get() + FOffset; }
    int64_t Length() const { return FStored - FOffset; }
    bool Empty() const { return FStored == FOffset; }

    // Adds bytes after the stored ones, whatever the position.
    void Append(const void* buffer, int64_t count);
    void Append(const std::string& bytes) { Append(bytes.data(), static_cast<int64_t>(bytes.size())); }
    // Room for count more bytes after the stored ones, for a receive straight into the
    // buffer; Commit then adds the bytes actually written there.
    char* AppendSpace(int64_t count);
    void Commit(int64_t count) { FStored += count; }
    // Drops the first count bytes (ENxNotEnoughDataInBuffer when fewer are held).
    virtual void Remove(int64_t count);
    // The first count bytes as a byte string, removed from the buffer.
    std::string Extract(int64_t count);
    std::string ExtractAll() { return Extract(Length()); }
    // Empties the buffer without a removal notification.
    void Clear();

    TNxBytesRemovedEvent OnBytesRemoved;

protected:
    void Reserve(int64_t capacity);
    void BytesRemoved(int64_t count);
    // Moves the contents to the front of the memory.
    void Pack();

    struct FreeDeleter {
        void operator()(char* p) const;
    };
    std::unique_ptr<char, FreeDeleter> FData;
    int64_t FCapacity = 0;
    int64_t FStored = 0;   // bytes in memory, including those before FOffset
    int64_t FOffset = 0;   // start of the contents (always 0 in the simple buffer)
    int64_t FPosition = 0; // relative to the start of the contents
};

// The input buffer: consuming from the front only advances a read offset, so a long
// run of small reads costs no copying; the contents are moved down once the consumed
// part reaches the pack threshold.
class TNxManagedBuffer : public TNxSimpleBuffer {
public:
    static constexpr int64_t DefaultPackThreshold = 32768;
    explicit TNxManagedBuffer(int64_t packThreshold = DefaultPackThreshold) : FPackThreshold(packThreshold) {}

    void Remove(int64_t count) override;
    int64_t PackThreshold() const { return FPackThreshold; }
    // Receives larger than the threshold would leave most of a block to be moved at every
    // compaction; the connection therefore raises it to its receive size.
    void SetPackThreshold(int64_t threshold) { FPackThreshold = threshold; }
    // Bytes consumed but not yet reclaimed (for tests of the compaction rule).
    int64_t ReadOffset() const { return FOffset; }
    // Compactions so far and the bytes they moved: the work the threshold bounds.
    int64_t PackCount() const { return FPackCount; }
    int64_t PackedBytes() const { return FPackedBytes; }

private:
    int64_t FPackThreshold;
    int64_t FPackCount = 0;
    int64_t FPackedBytes = 0;
};
