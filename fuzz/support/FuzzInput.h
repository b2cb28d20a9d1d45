#pragma once
// Splits one fuzz input into the arguments of a target: a leading byte of flags, then
// texts separated by NUL bytes (so the seed files stay readable and a text can hold
// any other byte, line ends included).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nxfuzz {

class TFuzzInput {
public:
    TFuzzInput(const uint8_t* data, size_t size) : FData(reinterpret_cast<const char*>(data)), FSize(size) {}

    // The next byte (0 once the input is used up).
    uint8_t Byte() { return FPos < FSize ? static_cast<uint8_t>(FData[FPos++]) : 0; }
    // The text up to the next NUL (which is consumed), or the rest.
    std::string Text() {
        size_t start = FPos;
        while (FPos < FSize && FData[FPos] != '\0')
            ++FPos;
        std::string text(FData + start, FPos - start);
        if (FPos < FSize) ++FPos;
        return text;
    }
    std::string Rest() {
        std::string text(FData + FPos, FSize - FPos);
        FPos = FSize;
        return text;
    }
    bool AtEnd() const { return FPos >= FSize; }

private:
    const char* FData;
    size_t FSize;
    size_t FPos = 0;
};

// An invariant the code under test broke: report it and abort, which libFuzzer records
// as a crash with the input that caused it.
[[noreturn]] inline void Broken(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

#define NX_FUZZ_CHECK(cond, detail)                                                                          \
    do {                                                                                                     \
        if (!(cond)) ::nxfuzz::Broken(#cond, detail);                                                        \
    } while (0)

} // namespace nxfuzz
