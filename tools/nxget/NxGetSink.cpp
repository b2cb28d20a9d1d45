#include "NxGetSink.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/Format.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

int ProcessId() {
#if defined(_WIN32)
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// Replaces an existing target in one step.
bool RenameOver(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Cuts an open file at size and puts the write position there.
bool Truncate(std::FILE* file, int64_t size) {
    if (std::fflush(file) != 0) return false;
#if defined(_WIN32)
    return _chsize_s(_fileno(file), size) == 0 && _fseeki64(file, size, SEEK_SET) == 0;
#else
    return ftruncate(fileno(file), static_cast<off_t>(size)) == 0 &&
           fseeko(file, static_cast<off_t>(size), SEEK_SET) == 0;
#endif
}

} // namespace

TNxSequentialFileStream::~TNxSequentialFileStream() {
    try {
        Drain();
    } catch (const EStreamError&) {
        // Only an unfinished download ends here; its failure is already being reported.
    }
}

void TNxSequentialFileStream::WriteThrough(const void* buffer, int64_t count) {
    if (std::fwrite(buffer, 1, static_cast<size_t>(count), FFile) != static_cast<size_t>(count))
        throw EStreamError(Format("Cannot write to \"%s\"", FName.c_str()));
}

void TNxSequentialFileStream::Drain() {
    if (FGathered == 0) return;
    const int64_t n = FGathered;
    FGathered = 0; // a refused piece is not offered twice
    WriteThrough(FGather.get(), n);
}

int64_t TNxSequentialFileStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    if (FPosition != FWritten)
        throw EStreamError(Format("Cannot write to \"%s\" out of order", FName.c_str()));
    if (count >= GatherSize) {
        Drain();
        WriteThrough(buffer, count);
    } else {
        if (FGathered + count > GatherSize) Drain();
        if (!FGather) FGather = std::make_unique<char[]>(static_cast<size_t>(GatherSize));
        std::memcpy(FGather.get() + FGathered, buffer, static_cast<size_t>(count));
        FGathered += count;
    }
    FWritten += count;
    FPosition = FWritten;
    if (FSize < FPosition) FSize = FPosition;
    return count;
}

int64_t TNxSequentialFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
    int64_t target = base + offset;
    if (target < 0) target = 0;
    FPosition = target;
    return FPosition;
}

void TNxSequentialFileStream::SetSize(int64_t size) {
    if (size < FWritten) {
        if (FCanTruncate) Drain();
        if (!FCanTruncate || size < 0 || !Truncate(FFile, size))
            throw EStreamError(Format("Cannot take back bytes written to \"%s\"", FName.c_str()));
        FWritten = size;
    }
    FSize = size;
    if (FPosition > FSize) FPosition = FSize;
}

void TNxSequentialFileStream::Flush() {
    Drain();
    if (std::fflush(FFile) != 0 || std::ferror(FFile))
        throw EStreamError(Format("Cannot write to \"%s\"", FName.c_str()));
}

std::unique_ptr<TNxGetOutput> TNxGetOutput::ToStandardOutput() {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::unique_ptr<TNxGetOutput> output(new TNxGetOutput());
    // Once, before anything is written there: later bodies go to the same stdout.
    static const bool unbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
    (void)unbuffered;
    output->FFile = stdout;
    output->FStream = std::make_unique<TNxSequentialFileStream>(stdout, "standard output");
    return output;
}

std::unique_ptr<TNxGetOutput> TNxGetOutput::ToFile(const std::string& path) {
    std::unique_ptr<TNxGetOutput> output(new TNxGetOutput());
    output->FTarget = path;
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    const bool direct = !ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
                        !std::filesystem::is_directory(status);
    if (!direct) output->FTemporary = path + ".nxget-" + std::to_string(ProcessId()) + ".tmp";
    const std::string& opened = direct ? path : output->FTemporary;
    output->FFile = std::fopen(opened.c_str(), "wb");
    if (output->FFile == nullptr) {
        output->FTemporary.clear(); // nothing was created
        throw EStreamError(Format("Cannot create file \"%s\"", path.c_str()));
    }
    output->FOwnsFile = true;
    std::setvbuf(output->FFile, nullptr, _IONBF, 0);
    output->FStream = std::make_unique<TNxSequentialFileStream>(output->FFile, path, !direct);
    return output;
}

void TNxGetOutput::CloseFile() {
    if (FOwnsFile && FFile != nullptr) std::fclose(FFile);
    FFile = nullptr;
    FOwnsFile = false;
}

void TNxGetOutput::Commit() {
    FStream->Flush();
    if (FOwnsFile) {
        int closed = std::fclose(FFile);
        FFile = nullptr;
        FOwnsFile = false;
        if (closed != 0) throw EStreamError(Format("Cannot write to \"%s\"", FTarget.c_str()));
    }
    if (!FTemporary.empty()) {
        if (!RenameOver(FTemporary, FTarget))
            throw EStreamError(Format("Cannot rename \"%s\" to \"%s\"", FTemporary.c_str(), FTarget.c_str()));
        FTemporary.clear();
    }
}

TNxGetOutput::~TNxGetOutput() {
    FStream.reset(); // hands on what it gathered while the file is still open
    CloseFile();
    if (!FTemporary.empty()) std::remove(FTemporary.c_str());
}
