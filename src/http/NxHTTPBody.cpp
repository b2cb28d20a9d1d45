#include "http/NxHTTPBody.h"

#include <algorithm>

#include "http/NxGlobal.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxResourceStrings.h"

namespace {

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Eight hex digits fill 32 bits; a longer number does not fit and counts as no number.
constexpr int MaxChunkSizeDigits = 8;

// A counted read of count bytes into stream. When the connection fails under it (a close,
// a reset, a time-out), the bytes of this read that were already received but held back
// as an incomplete block go into the stream too, so that a download resumed later asks
// only for what never arrived instead of up to a whole receive buffer again.
void ReadCounted(TNxTCPConnection& connection, TStream& stream, int64_t count) {
    const int64_t start = stream.Position();
    try {
        connection.ReadToStream(stream, count, false);
    } catch (const ENxException&) {
        TNxManagedBuffer& input = connection.InputBuffer();
        const int64_t kept = std::min(input.Length(), start + count - stream.Position());
        if (kept > 0) {
            stream.WriteBuffer(input.Memory(), kept);
            input.Remove(kept);
        }
        throw;
    }
}

} // namespace

int32_t ParseChunkSize(const std::string& line) {
    std::string text = line;
    size_t blank = NxPos(" ", text);
    if (blank != std::string::npos) text.resize(blank);
    uint32_t value = 0;
    int significant = 0;
    for (char ch : text) {
        int digit = HexDigit(ch);
        if (digit < 0) return 0;
        // Leading zeros do not count towards the width.
        if (significant > 0 || digit != 0) ++significant;
        if (significant > MaxChunkSizeDigits) return 0;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    // A 32-bit hexadecimal value wraps into the signed range (FFFFFFFF is -1).
    return static_cast<int32_t>(value);
}

int32_t ReadChunkSize(TNxTCPConnection& connection) {
    return ParseChunkSize(connection.ReadLine("\n", -1, -1));
}

namespace {
bool IsChunked(const TNxBodyFraming& framing) {
    if (framing.HeaderLines == nullptr) return false;
    return NxPos(NxHTTPBody::ChunkedCoding,
                 framing.HeaderLines->GetValue(NxHTTPBody::TransferEncodingHeader)) != std::string::npos;
}
} // namespace

bool ReadsUntilClose(const TNxBodyFraming& framing) {
    return framing.ContentLength <= 0 && !framing.ContentLengthGiven && !IsChunked(framing);
}

void ReadBody(TNxTCPConnection& connection, TStream* stream, const TNxBodyFraming& framing,
              bool requireWholeCount) {
    if (stream == nullptr) return;
    if (framing.ContentLength > 0) {
        const int64_t start = stream->Position();
        try {
            if (requireWholeCount)
                ReadCounted(connection, *stream, framing.ContentLength);
            else
                connection.ReadToStream(*stream, framing.ContentLength, false);
        } catch (const ENxConnClosedGracefully&) {
            if (requireWholeCount) throw;
            return;
        }
        if (requireWholeCount && stream->Position() - start < framing.ContentLength)
            throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
        return;
    }
    if (IsChunked(framing)) {
        connection.ReportStatus(hsStatusText, NxHTTPStrings::ChunkStarted);
        int32_t size = ReadChunkSize(connection);
        while (size > 0) {
            ReadCounted(connection, *stream, size);
            connection.ReadLine("\n", -1, -1); // the CR LF after the chunk data
            size = ReadChunkSize(connection);
        }
        // The line after the last chunk: the empty line, or the first trailer field.
        connection.ReadLine("\n", -1, -1);
        return;
    }
    if (!framing.ContentLengthGiven) {
        connection.ReadToStream(*stream, -1, true);
        return;
    }
    // Content-Length 0: there is no body to read.
}
