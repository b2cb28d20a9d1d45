// The TLS client's record handling over an in-memory peer: a real OpenSSL server
// (memory BIOs) sends a body in records of input-chosen sizes, the ciphertext reaches
// the client engine and the record-boundary tracker of the TLS handler in input-chosen
// pieces, possibly with one byte changed or cut short. Invariants: the plaintext the
// client hands out is always a prefix of the body (a changed byte is a record error,
// never other data); a whole stream gives the whole body and then the close_notify; the
// tracker says "inside a record" exactly when the stream stops inside one.
// Input: flags (bit 0: change a byte, bit 1: cut the stream, bit 2: close_notify), the
// position of the change or cut (2 bytes), then pairs (record size class, piece size).
#include <cstdint>
#include <string>
#include <vector>

#include "support/FuzzInput.h"
#include "support/ServerTLS.h"
#include "support/TestCertificates.h"
#include "transport/NxException.h"
#include "transport/NxIOHandlerTLS.h"
#include "transport/NxTLSEngine.h"

namespace {

// Where the records of a stream end (headers walked independently of the tracker).
std::vector<size_t> RecordEnds(const std::string& stream) {
    std::vector<size_t> ends;
    size_t at = 0;
    while (at + 5 <= stream.size()) {
        at += 5 + ((static_cast<unsigned char>(stream[at + 3]) << 8) |
                   static_cast<unsigned char>(stream[at + 4]));
        if (at <= stream.size()) ends.push_back(at);
    }
    return ends;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const size_t where = static_cast<size_t>(in.Byte()) << 8 | in.Byte();

    const nxtest::TestCertificates& certs = nxtest::SharedTestCertificates();
    auto server = nxtest::CreateServerTLS(
        {certs.Cert(nxtest::TestCertificates::kGood), certs.Key(nxtest::TestCertificates::kGood)});
    auto client = CreateTLSEngine(TNxTLSSettings{"127.0.0.1", certs.RootCert});
    // The handshake in memory, whole.
    std::string toServer, toClient;
    bool done = false;
    for (int round = 0; round < 10 && !done; ++round) {
        done = client->Handshake(toServer);
        server->Feed(toServer.data(), toServer.size());
        toServer.clear();
        if (server->Handshake(toClient) < 0) nxfuzz::Broken("server handshake", server->Error());
        client->Feed(toClient.data(), toClient.size());
        toClient.clear();
    }
    NX_FUZZ_CHECK(done, "the in-memory handshake did not finish");

    // The body in records of the sizes the input gives; then maybe the close_notify.
    std::string body, stream;
    std::vector<size_t> pieces;
    while (!in.AtEnd() && body.size() < 200000) {
        const size_t record = 1 + in.Byte() * 97u;
        const std::string part(record, static_cast<char>('a' + body.size() % 26));
        body += part;
        server->Write(part, stream);
        pieces.push_back(1 + in.Byte() * 37u);
    }
    if (pieces.empty()) pieces.push_back(1);
    if (flags & 4) server->Shutdown(stream);
    std::string delivered = stream;
    const bool changed = (flags & 1) && !delivered.empty();
    if (changed) delivered[where % delivered.size()] ^= 0x20;
    const bool cut = (flags & 2) && !delivered.empty();
    if (cut) delivered.resize(where % delivered.size());

    TNxTLSRecordBoundary boundary;
    std::string plain, out;
    bool failed = false, closed = false;
    size_t at = 0;
    try {
        for (size_t i = 0; at < delivered.size(); ++i) {
            const size_t piece = pieces[i % pieces.size()];
            const size_t n = std::min(piece, delivered.size() - at);
            boundary.Take(delivered.data() + at, n);
            client->Feed(delivered.data() + at, n);
            at += n;
            for (;;) {
                char buf[5000];
                const int32_t got = client->Read(buf, static_cast<int32_t>(1 + piece % sizeof buf), out);
                if (got == -1) closed = true;
                if (got <= 0) break;
                plain.append(buf, static_cast<size_t>(got));
            }
        }
    } catch (const ENxTLSError& e) {
        failed = true;
        NX_FUZZ_CHECK(e.Check() == tcRecord, e.Message());
    }
    NX_FUZZ_CHECK(body.compare(0, plain.size(), plain) == 0, "plaintext that the server never sent");
    if (!changed && !cut) {
        NX_FUZZ_CHECK(!failed && plain == body, "a whole stream lost data");
        NX_FUZZ_CHECK(closed == ((flags & 4) != 0), "close_notify seen wrongly");
    }
    if (!failed) {
        const std::vector<size_t> ends = RecordEnds(delivered);
        const bool atEnd = delivered.empty() || (!ends.empty() && ends.back() == delivered.size());
        NX_FUZZ_CHECK(boundary.InsideRecord() == !atEnd, "the tracker misplaced a record boundary");
    }
    return 0;
}
