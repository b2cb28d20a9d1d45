#include "http/NxHTTPBody.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
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

bool NxHasForbiddenFieldByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const auto byte = static_cast<unsigned char>(ch);
        return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
}

bool TNxFieldBudget::Charge(std::string_view line, bool headerLine) {
    // The CR LF that ReadLine took off counts too.
    Bytes += static_cast<int64_t>(line.size()) + 2;
    if (headerLine) ++Lines;
    return Lines <= Limits.MaxLines && Bytes <= Limits.MaxBytes;
}

std::string TNxFieldBudget::Overrun() const {
    return Lines > Limits.MaxLines ? Format(NxHTTPStrings::TooManyHeaderLines, Limits.MaxLines)
                                   : Format(NxHTTPStrings::HeaderSectionTooLarge, Limits.MaxBytes);
}

void ReadFieldSection(TNxTCPConnection& connection, TNxFieldBudget& budget, TStringList* lines) {
    for (;;) {
        const std::string line =
            connection.ReadLine("\n", NxTimeout::Default, TNxTCPConnection::DefaultLineLength);
        if (line.empty()) return; // the empty line, or a line cut off by the close
        std::string failure;
        if (NxHasForbiddenFieldByte(line))
            failure = Format(NxHTTPStrings::InvalidHeaderLine, line.c_str());
        else if (!budget.Charge(line, true))
            failure = budget.Overrun();
        if (!failure.empty()) {
            // Nothing after such a line can be trusted to frame the rest of the response.
            connection.CloseConnection();
            throw ENxHTTPProtocolException(-1, failure, "");
        }
        if (lines != nullptr) lines->Add(line);
    }
}

namespace {

// OWS (RFC 9110 5.6.3) off both ends of a list element.
std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The values of every line of that name, as one comma-separated list (RFC 9110 5.3).
std::string JoinedValues(const TNxHeaderList& lines, const char* name) {
    TStringList values;
    lines.Extract(name, &values);
    std::string joined;
    for (const std::string& value : values.Lines())
        joined += (joined.empty() ? "" : ", ") + value;
    return joined;
}

// Each element of a comma-separated list, trimmed; false as soon as visit refuses one.
template <class F> bool EveryElement(std::string_view list, F visit) {
    for (;;) {
        const size_t comma = list.find(',');
        if (!visit(TrimBlanks(list.substr(0, comma)))) return false;
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

// The codings of a Transfer-Encoding value are chunked alone: the only coding we decode,
// and the one that must come last (RFC 9112 6.3) and only once (7).
bool ChunkedAlone(std::string_view codings) {
    int chunked = 0;
    const bool known = EveryElement(codings, [&](std::string_view coding) {
        if (coding.empty()) return true; // an empty list element counts for nothing (RFC 9110 5.6.1)
        ++chunked;
        return NxSameText(std::string(coding), NxHTTPBody::ChunkedCoding);
    });
    return known && chunked == 1;
}

// A Content-Length list of one decimal number, repeated or not; nothing for any other.
std::optional<int32_t> ContentLengthOf(std::string_view values) {
    std::optional<int32_t> length;
    const bool same = EveryElement(values, [&](std::string_view digits) {
        if (digits.empty()) return false;
        int64_t value = 0;
        for (char ch : digits) {
            if (ch < '0' || ch > '9') return false;
            value = value * 10 + (ch - '0');
            if (value > std::numeric_limits<int32_t>::max()) return false; // beyond what a read counts
        }
        if (length && *length != value) return false;
        length = static_cast<int32_t>(value);
        return true;
    });
    return same ? length : std::nullopt;
}

} // namespace

TNxBodyFraming NxBodyFramingOf(const TNxHeaderList& lines, bool http10) {
    TNxBodyFraming framing;
    if (lines.IndexOfName(NxHTTPBody::TransferEncodingHeader) >= 0) {
        const std::string codings = JoinedValues(lines, NxHTTPBody::TransferEncodingHeader);
        if (!ChunkedAlone(codings))
            throw ENxHTTPProtocolException(
                -1, Format(NxHTTPStrings::UnsupportedTransferEncoding, codings.c_str()), "");
        framing.Kind = bkChunked;
        // A length beside the coding, or a coding an HTTP/1.0 server cannot have meant, is
        // what a smuggled second response looks like (RFC 9112 6.1, 6.3).
        framing.CloseAfter = http10 || lines.IndexOfName(NxHTTPBody::ContentLengthHeader) >= 0;
        return framing;
    }
    if (lines.IndexOfName(NxHTTPBody::ContentLengthHeader) < 0) return framing;
    const std::string lengths = JoinedValues(lines, NxHTTPBody::ContentLengthHeader);
    const std::optional<int32_t> length = ContentLengthOf(lengths);
    if (!length)
        throw ENxHTTPProtocolException(-1, Format(NxHTTPStrings::InvalidContentLength, lengths.c_str()), "");
    framing.Kind = bkCounted;
    framing.Length = *length;
    return framing;
}

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
    const std::string line =
        connection.ReadLine("\n", NxTimeout::Default, TNxTCPConnection::DefaultLineLength);
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
    if (afterData)
        connection.ReadLine("\n", NxTimeout::Default,
                            TNxTCPConnection::DefaultLineLength); // the CR LF after the chunk data
    return ReadChunkSize(connection);
}

} // namespace

void ReadBody(TNxTCPConnection& connection, TStream* stream, const TNxBodyFraming& framing,
              bool requireWholeCount) {
    if (stream == nullptr) return;
    switch (framing.Kind) {
    case bkNone:
        return;
    case bkCounted: {
        // Content-Length 0: there is no body to read.
        if (framing.Length == 0) return;
        const int64_t start = stream->Position();
        try {
            if (requireWholeCount)
                ReadCounted(connection, *stream, framing.Length);
            else
                connection.ReadToStream(*stream, framing.Length, false);
        } catch (const ENxConnClosedGracefully&) {
            if (requireWholeCount) throw;
            return;
        }
        if (requireWholeCount && stream->Position() - start < framing.Length)
            throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
        return;
    }
    case bkChunked: {
        connection.ReportStatus(hsStatusText, NxHTTPStrings::ChunkStarted);
        int32_t size = NextChunkSize(connection, false);
        while (size > 0) {
            ReadCounted(connection, *stream, size);
            size = NextChunkSize(connection, true);
        }
        // Trailer fields up to the empty line (RFC 9112 7.1.2): left unread, they would be
        // taken for the next response's status line on a kept connection.
        TNxFieldBudget trailer(framing.TrailerLimits);
        ReadFieldSection(connection, trailer, nullptr);
        return;
    }
    case bkUntilClose:
        connection.ReadToStream(*stream, -1, true);
        return;
    }
}
