#pragma once
// What SChannel's checks of a server certificate come to, apart from the calls that make
// them: the engine gathers the facts (the SSL policy's verdict, the chain's trust bits, the
// extra roots, the addresses), this judges them, and a table can test the rules without a
// handshake.
#include <cstdint>

#include "transport/NxException.h"

struct TNxChainFacts {
    long PolicyError = 0;         // the SSL policy's dwError (0: passed)
    uint32_t ChainTrust = 0;      // the chain's CERT_TRUST_* error bits
    bool EndsInExtraRoot = false; // the chain ends in a root the caller trusts for this connection
    bool ServerIsAddress = false;
    bool CertificateHasAddress = false; // among its IP entries (read only for an address)
};

struct TNxChainVerdict {
    bool Trusted = false;
    TNxTLSCheck Check = tcHandshake; // the failed check when not trusted
    long Status = 0;                 // the status that names the reason (0: none)
};

TNxChainVerdict NxJudgeChain(const TNxChainFacts& facts);
