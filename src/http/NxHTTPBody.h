#pragma once
// Moving a response body from the connection into a stream: by a counted length, by
// chunked transfer coding (RFC 2616 3.6.1), or until the peer closes. Every read of the
// body opens one read work phase, which is what drives a progress bar.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Stream.h"
#include "http/NxHeaderList.h"
#include "transport/NxTCPConnection.h"

namespace NxHTTPBody {
inline constexpr const char* TransferEncodingHeader = "Transfer-Encoding";
// Matched exactly, anywhere in the value (a capitalised "Chunked" is not recognised).
inline constexpr const char* ChunkedCoding = "chunked";
} // namespace NxHTTPBody

// How the body of one response is delimited, as its head gave it.
struct TNxBodyFraming {
    // -1 when the response had no usable Content-Length.
    int32_t ContentLength = -1;
    // A Content-Length of 0 or more was received.
    bool ContentLengthGiven = false;
    // The received header lines; "Transfer-Encoding" is looked up there.
    const TNxHeaderList* HeaderLines = nullptr;
};

// Reads one chunk-size line. A line that is no chunk size (see ParseChunkSize) cannot be
// framed past: the connection is closed and ENxHTTPProtocolException (reply code -1) raised.
// A line cut off by the peer's close raises ENxConnClosedGracefully.
int32_t ReadChunkSize(TNxTCPConnection& connection);

// Reads the body whose head has just been read into stream (nothing without a stream).
// A positive Content-Length wins over chunked coding. A counted body that ends early
// raises ENxConnClosedGracefully when requireWholeCount is set (a short download must not
// pass for the whole file); without it the early close is swallowed and the bytes written
// so far stay, which is what error and skipped bodies use. Chunked bodies fail on any
// close and on a chunk-size line that is no size; a body delimited by the close ends
// normally there. When a counted body read with requireWholeCount, or a chunk, fails in the
// middle (close, reset, time-out), every byte of it that was received is in the stream, so a
// resumed download can continue right after it.
void ReadBody(TNxTCPConnection& connection, TStream* stream, const TNxBodyFraming& framing,
              bool requireWholeCount = true);

// The body is delimited by the peer's close: no positive Content-Length, no chunked
// coding, and no Content-Length of 0 either.
bool ReadsUntilClose(const TNxBodyFraming& framing);

// The size a chunk-size line gives (exposed for the table tests): the part before the first
// blank, hexadecimal digits optionally followed by ";" and extensions (RFC 7230 4.1).
// Nothing when it is no such number or the size does not fit the signed 32-bit range.
std::optional<int32_t> ParseChunkSize(std::string_view line);
