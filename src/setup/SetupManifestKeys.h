#pragma once
// The vendor's manifest keys of this build (the NX_MANIFEST_PUBLIC_KEY setting): the PEM text
// of one or two public keys, or empty for a build without them, which fetches no manifest and
// installs as it always did. And the lowest manifest serial it accepts (NX_MANIFEST_MIN_SERIAL).
#include <cstdint>

extern const char* const kSetupManifestKeys;
extern const uint64_t kSetupManifestMinSerial;
