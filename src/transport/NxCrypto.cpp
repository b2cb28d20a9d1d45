#include "transport/NxCrypto.h"

TNxSHA256Digest NxSHA256(const void* data, size_t size) {
    TNxSHA256 hash;
    hash.Update(data, size);
    return hash.Final();
}
