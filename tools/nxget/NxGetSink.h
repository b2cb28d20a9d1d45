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
// only noted (nothing is preallocated); bytes once written cannot be taken back.
class TNxSequentialFileStream : public TStream {
public:
    TNxSequentialFileStream(std::FILE* file, std::string name) : FFile(file), FName(std::move(name)) {}
    TNxSequentialFileStream(const TNxSequentialFileStream&) = delete;
    TNxSequentialFileStream& operator=(const TNxSequentialFileStream&) = delete;

    int64_t Read(void*, int64_t) override { return 0; }
    // Raises EStreamError when the position is not at the end of what was written, or
    // when the file refuses the bytes.
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return FSize; }
    // Raises EStreamError for a size below what was written.
    void SetSize(int64_t size) override;

    int64_t Written() const noexcept { return FWritten; }
    // Flushes; raises EStreamError when the file reports a write error.
    void Flush();

private:
    std::FILE* FFile;
    std::string FName;
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
