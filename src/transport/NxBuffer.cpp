#include "transport/NxBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"

void TNxSimpleBuffer::FreeDeleter::operator()(char* p) const {
    std::free(p);
}

void TNxSimpleBuffer::Reserve(int64_t capacity) {
    if (capacity <= FCapacity) return;
    if (static_cast<uint64_t>(capacity) > SIZE_MAX) throw std::bad_alloc();
    char* grown = static_cast<char*>(std::realloc(FData.get(), static_cast<size_t>(capacity)));
    if (!grown) throw std::bad_alloc();
    (void)FData.release();
    FData.reset(grown);
    FCapacity = capacity;
}

void TNxSimpleBuffer::SetSize(int64_t size) {
    if (size < 0) size = 0;
    Reserve(FOffset + size);
    FStored = FOffset + size;
    FPosition = std::min(FPosition, size);
}

int64_t TNxSimpleBuffer::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : Length();
    // Unlike a file, a buffer has no gap to fill: positions stay within the contents.
    FPosition = std::clamp<int64_t>(base + offset, 0, Length());
    return FPosition;
}

int64_t TNxSimpleBuffer::Read(void* buffer, int64_t count) {
    int64_t n = std::min(count, Length() - FPosition);
    if (n <= 0) return 0;
    std::memcpy(buffer, Memory() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TNxSimpleBuffer::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    int64_t end = FPosition + count;
    if (end > Length()) {
        // Geometric growth keeps a long series of small writes linear.
        int64_t need = FOffset + end;
        if (need > FCapacity) Reserve(std::max(need, FCapacity + FCapacity / 2));
        FStored = need;
    }
    std::memcpy(Memory() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

void TNxSimpleBuffer::Append(const void* buffer, int64_t count) {
    if (count <= 0) return;
    std::memcpy(AppendSpace(count), buffer, static_cast<size_t>(count));
    FStored += count;
}

char* TNxSimpleBuffer::AppendSpace(int64_t count) {
    int64_t need = FStored + count;
    if (need > FCapacity) Reserve(std::max(need, FCapacity + FCapacity / 2));
    return FData.get() + FStored;
}

void TNxSimpleBuffer::BytesRemoved(int64_t count) {
    if (OnBytesRemoved) OnBytesRemoved(*this, count);
}

void TNxSimpleBuffer::Pack() {
    if (FOffset == 0) return;
    int64_t n = Length();
    if (n > 0) std::memmove(FData.get(), FData.get() + FOffset, static_cast<size_t>(n));
    FStored = n;
    FOffset = 0;
}

void TNxSimpleBuffer::Remove(int64_t count) {
    if (count > Length()) throw ENxNotEnoughDataInBuffer(NxStrings::NotEnoughDataInBuffer);
    if (count <= 0) return;
    if (count == Length()) {
        FStored = FOffset = 0;
    } else {
        std::memmove(Memory(), Memory() + count, static_cast<size_t>(Length() - count));
        FStored -= count;
    }
    FPosition = std::max<int64_t>(0, FPosition - count);
    BytesRemoved(count);
}

std::string TNxSimpleBuffer::Extract(int64_t count) {
    if (count > Length()) throw ENxNotEnoughDataInBuffer(NxStrings::NotEnoughDataInBuffer);
    if (count <= 0) return {};
    std::string bytes(Memory(), static_cast<size_t>(count));
    Remove(count);
    return bytes;
}

void TNxSimpleBuffer::Clear() {
    FStored = FOffset = FPosition = 0;
}

void TNxManagedBuffer::Remove(int64_t count) {
    if (count > Length()) throw ENxNotEnoughDataInBuffer(NxStrings::NotEnoughDataInBuffer);
    if (count <= 0) return;
    if (count == Length()) {
        FStored = FOffset = 0;
    } else {
        FOffset += count;
        if (FOffset >= FPackThreshold) {
            ++FPackCount;
            FPackedBytes += Length();
            Pack();
        }
    }
    FPosition = std::max<int64_t>(0, FPosition - count);
    BytesRemoved(count);
}
