#include "http/NxHTTPBody.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPException.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxResourceStrings.h"

namespace {

// Hexadecimal digit values by byte, -1 for every other byte: one lookup per digit of the
// size line that every chunk carries.
constexpr auto HexDigits = [] {
    std::array<int8_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<int8_t>(i >= '0' && i <= '9'   ? i - '0'
                                       : i >= 'a' && i <= 'f' ? i - 'a' + 10
                                       : i >= 'A' && i <= 'F' ? i - 'A' + 10
                                                              : -1);
    return table;
}();

int HexDigit(char ch) {
    return HexDigits[static_cast<unsigned char>(ch)];
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

std::optional<int32_t> ParseChunkSize(std::string_view line) {
    // The size ends at a blank or at the extensions, whichever comes first.
    uint64_t value = 0;
    size_t digits = 0;
    for (; digits < line.size() && line[digits] != ' ' && line[digits] != ';'; ++digits) {
        const int digit = HexDigit(line[digits]);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<uint64_t>(digit);
        // Leading zeros cost nothing; a value beyond the range stops at once, long before
        // 64 bits could wrap.
        if (value > MaxChunkSize) return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
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
// The next chunk-size line when it is wholly buffered (after the line end of the chunk data
// before it, when afterData), taken in place: the same removals as two line reads, so the
// same work events, without searching, copying and trimming a string for each of the many
// small chunks of a body. Nothing is taken when a line is incomplete, longer than the
// connection allows, or no chunk size; the line reads then deal with it as before.
std::optional<int32_t> TakeBufferedChunkSize(TNxTCPConnection& connection, bool afterData) {
    TNxManagedBuffer& input = connection.InputBuffer();
    const char* data = input.Memory();
    const int64_t length = input.Length();
    int64_t dataEnd = 0;
    if (afterData) {
        if (length >= 1 && data[0] == '\n')
            dataEnd = 1;
        else if (length >= 2 && data[0] == '\r' && data[1] == '\n')
            dataEnd = 2;
        else
            return std::nullopt;
    }
    // A line read raises or splits once the bytes before the LF exceed the limit.
    const int64_t limit = connection.MaxLineLength > 0 ? connection.MaxLineLength : 0;
    const char* line = data + dataEnd;
    int64_t window = length - dataEnd;
    if (limit > 0) window = std::min(window, limit + 1);
    if (window <= 0) return std::nullopt;
    const char* lf = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(window)));
    if (lf == nullptr) return std::nullopt;
    std::string_view text(line, static_cast<size_t>(lf - line));
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    const std::optional<int32_t> size = ParseChunkSize(text);
    if (!size) return std::nullopt;
    const int64_t lineBytes = lf - line + 1;
    if (dataEnd > 0) input.Remove(dataEnd); // may move the buffer: counted beforehand
    input.Remove(lineBytes);
    return size;
}

int32_t NextChunkSize(TNxTCPConnection& connection, bool afterData) {
    if (const std::optional<int32_t> size = TakeBufferedChunkSize(connection, afterData)) return *size;
    if (afterData) connection.ReadLine("\n", -1, -1); // the CR LF after the chunk data
    return ReadChunkSize(connection);
}

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
        int32_t size = NextChunkSize(connection, false);
        while (size > 0) {
            ReadCounted(connection, *stream, size);
            size = NextChunkSize(connection, true);
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
