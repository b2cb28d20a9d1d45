#pragma once
// Message framing of a response (RFC 9112): its field sections (the head and a chunked
// body's trailer section) read within limits, how its head delimits its body, and moving
// the body from the connection into a stream: by a counted length, by chunked transfer
// coding, or until the peer closes. Every read of the body opens one read work phase,
// which is what drives a progress bar.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Stream.h"
#include "http/NxHeaderList.h"
#include "transport/NxTCPConnection.h"

namespace NxHTTPBody {
inline constexpr const char* TransferEncodingHeader = "Transfer-Encoding";
inline constexpr const char* ContentLengthHeader = "Content-Length";
// The one transfer coding that is decoded; coding names compare without regard to case.
inline constexpr const char* ChunkedCoding = "chunked";
} // namespace NxHTTPBody

// The most one field section may hold: a response's head (its interim heads and status
// lines included) or a trailer section. Lines count with their CR LF.
struct TNxFieldLimits {
    static constexpr int32_t DefaultMaxLines = 1000;
    static constexpr int32_t DefaultMaxBytes = 262144;
    // Header (or trailer) lines, continuation lines included; status lines do not count.
    int32_t MaxLines = DefaultMaxLines;
    int32_t MaxBytes = DefaultMaxBytes;
};

// What one section has taken of its limits so far.
struct TNxFieldBudget {
    explicit TNxFieldBudget(const TNxFieldLimits& limits) : Limits(limits) {}
    // Counts line (a header line, or a status line, which costs bytes only); false when that
    // goes over a limit.
    bool Charge(std::string_view line, bool headerLine);
    // The message that names the limit Charge went over.
    std::string Overrun() const;

    TNxFieldLimits Limits;
    int32_t Lines = 0;
    int64_t Bytes = 0;
};

// Whether text holds a byte that no status line, header line or trailer line may carry: a
// control but HTAB, DEL among them (RFC 9110 5.5: NUL, a bare CR and the like).
bool NxHasForbiddenFieldByte(std::string_view text);

// Reads header lines up to the empty line that ends the section into lines (nullptr: they
// are dropped), charging each to budget. A line with a forbidden byte, or one over the
// budget, cannot be framed past: the connection is closed and ENxHTTPProtocolException
// (reply code -1) raised. A close before the empty line raises ENxConnClosedGracefully, the
// lines before it kept; a line cut off by the close ends the section.
void ReadFieldSection(TNxTCPConnection& connection, TNxFieldBudget& budget, TStringList* lines);

enum TNxBodyKind { bkNone, bkCounted, bkChunked, bkUntilClose };

// How the body of one response is delimited.
struct TNxBodyFraming {
    TNxBodyKind Kind = bkUntilClose;
    // The byte count of a counted body.
    int32_t Length = 0;
    // The connection may carry no response after this one: its framing was doubtful.
    bool CloseAfter = false;
    // The limits of a chunked body's trailer section.
    TNxFieldLimits TrailerLimits;
};

// The framing a response head gives a body that may follow it (RFC 9112 6.3). Transfer-
// Encoding wins over Content-Length; its codings must be chunked alone (empty list elements
// aside), or the response raises ENxHTTPProtocolException (reply code -1) "Unsupported
// Transfer-Encoding". With both headers, or with Transfer-Encoding in an HTTP/1.0 response
// (RFC 9112 6.1), the connection is closed after the response. Without Transfer-Encoding,
// every Content-Length value (lines and comma-separated elements) must be the same decimal
// number within the signed 32-bit range (RFC 9110 8.6), else "Invalid Content-Length";
// without either header the body runs until the close.
TNxBodyFraming NxBodyFramingOf(const TNxHeaderList& lines, bool http10);

// Reads one chunk-size line. A line that is no chunk size (see ParseChunkSize) cannot be
// framed past: the connection is closed and ENxHTTPProtocolException (reply code -1) raised.
// A line cut off by the peer's close raises ENxConnClosedGracefully.
int32_t ReadChunkSize(TNxTCPConnection& connection);

// Reads the body whose head has just been read into stream (nothing without a stream). A
// chunked body's trailer section is read and dropped. A counted body that ends early
// raises ENxConnClosedGracefully when requireWholeCount is set (a short download must not
// pass for the whole file); without it the early close is swallowed and the bytes written
// so far stay, which is what error and skipped bodies use. Chunked bodies fail on any
// close, on a chunk-size line that is no size and on a trailer section ReadFieldSection
// refuses; a body delimited by the close ends normally there. When a counted body read with
// requireWholeCount, or a chunk, fails in the middle (close, reset, time-out), every byte of
// it that was received is in the stream, so a resumed download can continue right after it.
void ReadBody(TNxTCPConnection& connection, TStream* stream, const TNxBodyFraming& framing,
              bool requireWholeCount = true);

// The size a chunk-size line gives (exposed for the table tests): the part before the first
// blank, hexadecimal digits optionally followed by ";" and extensions (RFC 9112 7.1).
// Nothing when it is no such number or the size does not fit the signed 32-bit range.
std::optional<int32_t> ParseChunkSize(std::string_view line);
