// The signed manifest and the manifest keys: whatever a server or a key file holds is either
// refused with ENxManifestError or read exactly, so that the manifest written back from what was
// read is the text itself, byte for byte, and the signature check runs only over what parsed.
// Input: flags byte (bit 0: read it as key text instead), then the text.
#include <cstdint>
#include <string>

#include "http/NxManifest.h"
#include "support/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    const bool keys = (in.Byte() & 1) != 0;
    const std::string text = in.Rest();
    if (keys) {
        try {
            const auto parsed = NxParsePublicKeys(text);
            NX_FUZZ_CHECK(!parsed.empty() && parsed.size() <= NxManifestMaxKeys, text);
        } catch (const ENxManifestError& error) {
            NX_FUZZ_CHECK(error.Fault() == mfKeys, error.Message());
        }
        return 0;
    }
    TNxSignedManifest parsed;
    try {
        parsed = NxParseManifest(text);
    } catch (const ENxManifestError& error) {
        NX_FUZZ_CHECK(error.Fault() == mfFormat, error.Message());
        return 0;
    }
    const std::string written = parsed.Manifest.Body() + NxManifestSignatureLine(parsed.Signature);
    NX_FUZZ_CHECK(written == text, written);
    NX_FUZZ_CHECK(parsed.SignedText == parsed.Manifest.Body(), parsed.SignedText);
    for (const TNxManifestEntry& entry : parsed.Manifest.Files)
        NX_FUZZ_CHECK(parsed.Manifest.Find(entry.Path) == &entry, entry.Path);
    return 0;
}
