// The whole response path: status line, head, interim heads, framing, ParseHeaderLines,
// cookies and the body in all three modes (counted, chunked with its trailer section, until
// the close), through the real HTTP client and TCP connection over an in-memory peer. Two
// requests run on one client, so the second meets whatever the first left on a kept
// connection.
// Input: flags byte (bits 0-2: bytes per receive, 0 = as many as asked; bits 3-5: receive
// buffer size class; bit 6: a body stream that already holds bytes), then the server's bytes.
#include <cstdint>
#include <string>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "http/NxHTTPBody.h"
#include "support/FuzzInput.h"
#include "support/NxMemoryIOHandler.h"

namespace {

constexpr int32_t RecvSizes[8] = {32768, 1, 2, 3, 7, 16, 64, 1024};
constexpr int32_t OldBytes = 10;

std::string Contents(TMemoryStream& stream) {
    return std::string(stream.Memory() ? stream.Memory() : "", static_cast<size_t>(stream.Size()));
}

// bodyBytes: the body bytes of the earlier requests on this client, raised by this one's.
void OneRequest(TNxHTTP& http, TNxMemoryIOHandler& peer, const std::string& url, bool prefilled,
                const std::string& sent, int64_t& bodyBytes) {
    TMemoryStream body;
    if (prefilled) {
        body.Write(std::string(OldBytes, 'o').data(), OldBytes);
    }
    const int64_t start = body.Position();
    bool accepted = false;
    try {
        http.GetInto(url, &body);
        accepted = true;
    } catch (const Exception&) {
        // Every failure the client may raise is one of ours; anything else escapes.
    }
    // The bytes before the start position are never touched.
    NX_FUZZ_CHECK(body.Size() >= (prefilled ? OldBytes : 0) || !accepted, "stream cut before its start");
    const std::string all = Contents(body);
    if (prefilled && body.Size() >= OldBytes)
        NX_FUZZ_CHECK(all.compare(0, OldBytes, std::string(OldBytes, 'o')) == 0, all);
    // The bodies never hold more than the server has sent. (Not per request: what an
    // earlier request received beyond its own response stays buffered for the next one,
    // as on a kept connection.)
    const int64_t written = body.Size() - start;
    bodyBytes += written;
    NX_FUZZ_CHECK(bodyBytes <= static_cast<int64_t>(peer.Delivered()), std::to_string(written));
    if (!accepted) return;
    TNxHTTPResponse& response = http.Response();
    const int32_t code = response.StatusCode();
    NX_FUZZ_CHECK(code >= 200 && code <= 299, response.StatusLine);
    // An accepted head carries no control byte but HTAB, and stays within the limits.
    NX_FUZZ_CHECK(!NxHasForbiddenFieldByte(response.StatusLine), response.StatusLine);
    for (const std::string& line : response.HeaderLines().Lines())
        NX_FUZZ_CHECK(!NxHasForbiddenFieldByte(line), line);
    NX_FUZZ_CHECK(response.HeaderLines().Count() <= http.HeadLimits.MaxLines, response.StatusLine);
    const std::string got = all.substr(static_cast<size_t>(start));
    if (response.Framing.Kind == bkNone) {
        // No Content, Not Modified: whatever length they name, no body is read.
        NX_FUZZ_CHECK(written == 0, std::to_string(written));
    } else if (response.Framing.Kind == bkCounted) {
        // A counted body is that many bytes of what was sent, in one piece; 0 reads nothing.
        NX_FUZZ_CHECK(written == response.Framing.Length, std::to_string(written));
        NX_FUZZ_CHECK(written == response.ContentLength(), std::to_string(response.ContentLength()));
        NX_FUZZ_CHECK(sent.find(got) != std::string::npos, got);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const uint32_t piece = flags & 7;
    const bool prefilled = (flags & 0x40) != 0;
    const std::string sent = in.Rest();

    TNxMemoryIOHandler peer(sent, {piece});
    {
        TNxHTTP http;
        http.RecvBufferSize = RecvSizes[(flags >> 3) & 7];
        http.MaxLineAction = maException;
        http.SetIOHandler(&peer);
        int64_t bodyBytes = 0;
        OneRequest(http, peer, "http://fuzz.test//dir/a.exe", prefilled, sent, bodyBytes);
        OneRequest(http, peer, "b.txt", prefilled, sent, bodyBytes);
        // Whatever the head looked like, the request went out as one head with the fixed
        // lines in order.
        NX_FUZZ_CHECK(peer.Sent().rfind("GET //dir/a.exe HTTP/1.1\r\n", 0) == 0, peer.Sent());
        http.SetIOHandler(nullptr);
    }
    return 0;
}
