#include "http/NxHTTPBody.h"

#include <algorithm>
#include <string_view>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPException.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxResourceStrings.h"

namespace {

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// The largest chunk a read can take: its count is a 32-bit signed number.
constexpr uint32_t MaxChunkSize = 0x7FFFFFFF;

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

std::optional<int32_t> ParseChunkSize(const std::string& line) {
    // The size ends at a blank or at the extensions, whichever comes first.
    std::string_view text = line;
    text = text.substr(0, text.find_first_of(" ;"));
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    for (char ch : text) {
        const int digit = HexDigit(ch);
        if (digit < 0) return std::nullopt;
        // Leading zeros cost nothing; a value beyond the range stops before it can wrap.
        if (value > (MaxChunkSize - static_cast<uint32_t>(digit)) / 16) return std::nullopt;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return static_cast<int32_t>(value);
}

int32_t ReadChunkSize(TNxTCPConnection& connection) {
    const std::string line = connection.ReadLine("\n", -1, -1);
    // No line: the peer closed before it ended, which fails a chunked body like any close.
    if (connection.LineTimedOut()) throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
    if (const std::optional<int32_t> size = ParseChunkSize(line)) return *size;
    // Nothing after an unreadable size can be framed: what was read so far must not pass
    // for the whole body, and the connection is of no further use.
    connection.CloseConnection();
    throw ENxHTTPProtocolException(-1, Format(NxHTTPStrings::InvalidChunkSize, line.c_str()), "");
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
