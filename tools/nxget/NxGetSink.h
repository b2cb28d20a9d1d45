#pragma once
// Where nxget puts a body. Bodies stream straight into their destination; a regular file
// is written under a temporary name beside it and renamed into place only when the
// download succeeded, so a failed download never leaves a half file behind.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/Stream.h"

// Writes in order to a C file. The size the client announces before a counted read is
// only noted (nothing is preallocated). Bytes once written can be taken back only from a
// file that can be truncated (a regular file of our own), never from a pipe or a device.
// Writes smaller than GatherSize (the pieces of a chunked body) are gathered and leave
// in one call; larger ones go to the file straight from the caller's memory. The file
// should be unbuffered: stdio's own buffer would copy the tail of every block again.
class TNxSequentialFileStream : public TStream {
public:
    static constexpr int64_t GatherSize = 65536;
    TNxSequentialFileStream(std::FILE* file, std::string name, bool canTruncate = false)
        : FFile(file), FName(std::move(name)), FCanTruncate(canTruncate) {}
    // Hands on what is gathered; a failure there shows at Flush, not here.
    ~TNxSequentialFileStream() override;
    TNxSequentialFileStream(const TNxSequentialFileStream&) = delete;
    TNxSequentialFileStream& operator=(const TNxSequentialFileStream&) = delete;

    int64_t Read(void*, int64_t) override { return 0; }
    // Raises EStreamError when the position is not at the end of what was written, or
    // when the file refuses the bytes.
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }
    // A size below what was written truncates the file there when it can be truncated,
    // and raises EStreamError otherwise.
    void SetSize(int64_t size) override;
    bool CanTruncate() const noexcept { return FCanTruncate; }

    int64_t Written() const noexcept { return FWritten; }
    // Flushes; raises EStreamError when the file reports a write error.
    void Flush();

private:
    // Writes the gathered bytes to the file; raises EStreamError when it refuses them.
    void Drain();
    void WriteThrough(const void* buffer, int64_t count);

    std::FILE* FFile;
    std::string FName;
    std::unique_ptr<char[]> FGather;
    int64_t FGathered = 0;
    bool FCanTruncate;
    int64_t FPosition = 0;
    int64_t FSize = 0;
    int64_t FWritten = 0;
};

class TNxGetOutput {
public:
    // Standard output, switched to binary mode.
    static std::unique_ptr<TNxGetOutput> ToStandardOutput();
    // A regular file (or one that does not exist yet) gets a temporary file beside it; any
    // other existing target (a device such as /dev/null) is written directly. Raises
    // EStreamError "Cannot create file "<name>"" when the file cannot be opened.
    static std::unique_ptr<TNxGetOutput> ToFile(const std::string& path);
    // Not committed: a temporary file is removed.
    ~TNxGetOutput();
    TNxGetOutput(const TNxGetOutput&) = delete;
    TNxGetOutput& operator=(const TNxGetOutput&) = delete;

    TStream& Stream() noexcept { return *FStream; }
    int64_t Written() const noexcept { return FStream->Written(); }
    // Whether what was written can be taken back (a download may then start over): only
    // for the temporary file of a regular target.
    bool CanRestart() const noexcept { return FStream->CanTruncate(); }
    // Finishes the file; a temporary file replaces the target. Raises EStreamError.
    void Commit();

private:
    TNxGetOutput() = default;
    void CloseFile();

    std::FILE* FFile = nullptr;
    bool FOwnsFile = false;
    std::string FTarget;
    std::string FTemporary; // empty when the target is written directly
    std::unique_ptr<TNxSequentialFileStream> FStream;
};
