#include "transport/NxTCPConnection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <sys/stat.h>

#include "base/Format.h"
#include "transport/NxAntiFreezeBase.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"

namespace {

int32_t Clamp32(int64_t n) {
    return static_cast<int32_t>(
        std::clamp<int64_t>(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// Characters 0 to 32 off both ends.
std::string TrimControls(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

// stat() rather than std::filesystem: in the statically linked installer the filesystem
// library brings the whole iostream and locale machinery with it (about 900 KB).
bool IsRegularFile(const std::string& name) {
#ifdef _WIN32
    struct _stat64 info;
    return _stat64(name.c_str(), &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

int32_t IntOrZero(const std::string& text) {
    if (text.empty()) return 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return 0;
    return static_cast<int32_t>(v);
}

// The length of the longest proper prefix of term that the size bytes at data end with.
int64_t TerminatorPrefixAtEnd(const char* data, int64_t size, const std::string& term) {
    for (int64_t n = std::min<int64_t>(size, static_cast<int64_t>(term.size()) - 1); n > 0; --n)
        if (std::memcmp(data + size - n, term.data(), static_cast<size_t>(n)) == 0) return n;
    return 0;
}

bool SameTextN(const std::string& a, const std::string& b, size_t n) {
    if (a.size() < n || b.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

} // namespace

// --- TNxRFCReply ---------------------------------------------------------------------------

void TNxRFCReply::SetNumericCode(int32_t code) {
    FNumericCode = code;
    if (code > 0) FTextCode = std::to_string(code);
}

void TNxRFCReply::SetTextCode(const std::string& code) {
    FTextCode = code;
    if (!code.empty()) FNumericCode = IntOrZero(code);
}

void TNxRFCReply::Clear() {
    FNumericCode = 0;
    FTextCode.clear();
    Text.clear();
}

// --- TNxConnectionIntercept ----------------------------------------------------------------

TNxConnectionIntercept::~TNxConnectionIntercept() {
    for (TNxTCPConnection* c : FUsers)
        c->FIntercept = nullptr;
}

void TNxConnectionIntercept::Connect(TNxTCPConnection* connection) {
    FConnection = connection;
    if (OnConnect) OnConnect(connection);
    if (Intercept) Intercept->Connect(connection);
}

void TNxConnectionIntercept::Disconnect() {
    if (Intercept) Intercept->Disconnect();
    if (OnDisconnect) OnDisconnect(FConnection);
    FConnection = nullptr;
}

void TNxConnectionIntercept::Receive(TNxSimpleBuffer& buffer) {
    if (Intercept) Intercept->Receive(buffer);
    if (OnReceive) OnReceive(FConnection, buffer);
    buffer.SetPosition(0);
}

void TNxConnectionIntercept::Send(TNxSimpleBuffer& buffer) {
    if (OnSend) OnSend(FConnection, buffer);
    buffer.SetPosition(0);
    if (Intercept) Intercept->Send(buffer);
}

// --- TNxTCPConnection: life and state ------------------------------------------------------

TNxTCPConnection::TNxTCPConnection() {
    FInputBuffer.OnBytesRemoved = [this](TNxSimpleBuffer&, int64_t n) { AddWork(wmRead, Clamp32(n)); };
}

TNxTCPConnection::~TNxTCPConnection() {
    DropSocket();
    SetIntercept(nullptr);
    ReferToIOHandler(nullptr);
    FOwnedIOHandler.reset();
}

void TNxTCPConnection::ReferToIOHandler(TNxIOHandler* handler) {
    if (FIOHandler) FIOHandler->RemoveReference(&FIOHandler);
    FIOHandler = handler;
    if (FIOHandler) FIOHandler->AddReference(&FIOHandler);
}

void TNxTCPConnection::SetIOHandler(TNxIOHandler* handler) {
    if (FOwnedIOHandler && FOwnedIOHandler.get() == handler) return; // already ours
    ReferToIOHandler(nullptr);
    FOwnedIOHandler.reset();
    ReferToIOHandler(handler);
}

void TNxTCPConnection::AdoptIOHandler(std::unique_ptr<TNxIOHandler> handler) {
    SetIOHandler(handler.get());
    FOwnedIOHandler = std::move(handler);
}

void TNxTCPConnection::SetIntercept(TNxConnectionIntercept* intercept) {
    if (FIntercept == intercept) return;
    if (FIntercept) std::erase(FIntercept->FUsers, this);
    FIntercept = intercept;
    if (FIntercept) FIntercept->FUsers.push_back(this);
}

void TNxTCPConnection::DoOnDisconnected() {
    if (OnDisconnected) OnDisconnected(this);
}

void TNxTCPConnection::ResetInputState() {
    FInputBuffer.Clear();
    FPeerClosed = false;
}

void TNxTCPConnection::CheckClosed(bool raiseIfClosed, bool ignoreBuffer) {
    bool closed = false;
    if (FPeerClosed || !FIOHandler) {
        if (FIOHandler) {
            if (FIOHandler->HasSocket()) {
                DropSocket();
                ReportStatus(hsDisconnected);
                DoOnDisconnected();
            }
            closed = true;
        }
    } else {
        closed = !FIOHandler->HasSocket();
    }
    if (closed && raiseIfClosed && (FInputBuffer.Empty() || ignoreBuffer))
        throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
}

void TNxTCPConnection::ProbeClosed(bool raiseIfClosed) {
    // A look without waiting: a close the server made while the connection was idle has
    // long arrived, and a 1 ms wait would stall every kept-alive request by that much.
    FillInputBuffer(raiseIfClosed, ProbeWait, false);
}

bool TNxTCPConnection::IsConnected() {
    CheckClosed(false, false);
    return FIOHandler && FIOHandler->HasSocket();
}

void TNxTCPConnection::DropSocket() {
    if (!FIOHandler) return;
    FPeerClosed = true;
    if (FIntercept) FIntercept->Disconnect();
    FIOHandler->CloseHandler();
}

void TNxTCPConnection::CloseConnection() {
    ReportStatus(hsDisconnecting);
    DropSocket();
    if (FOwnedIOHandler) {
        ReferToIOHandler(nullptr);
        FOwnedIOHandler.reset();
    }
    DoOnDisconnected();
    ReportStatus(hsDisconnected);
}

// --- reading -------------------------------------------------------------------------------

int32_t TNxTCPConnection::ResolveTimeout(int32_t timeout) const {
    // -1 is ReadTimeout, whose 0 is no limit; -2 is no limit. Any other negative time goes
    // to the wait as it is, which finds nothing readable in it: a read time-out at once.
    if (timeout == NxTimeout::Default) return ReadTimeout == 0 ? NxTimeout::Infinite : ReadTimeout;
    return timeout;
}

int32_t TNxTCPConnection::FillInputBuffer(bool raiseIfClosed, int32_t timeout, bool raiseOnTimeout) {
    timeout = ResolveTimeout(timeout);
    int32_t result = 0;
    CheckClosed(raiseIfClosed, false);
    if (!IsConnected()) {
        if (raiseIfClosed) throw ENxNotConnected(NxStrings::NotConnected);
        return result;
    }
    // A non-positive size would ask for nothing and look like a peer close.
    const int32_t want = std::max<int32_t>(1, RecvBufferSize);
    // With 32 KiB receives this is the fixed 32 KiB threshold; with larger ones, compacting
    // after every 32 KiB consumed moved about 1.4 times a body of 1 KiB chunks (128 KiB receives).
    FInputBuffer.SetPackThreshold(std::max<int64_t>(TNxManagedBuffer::DefaultPackThreshold, want));
    int32_t n;
    do {
        n = 0;
        if (!FIOHandler->WaitReadable(timeout)) {
            if (raiseOnTimeout) throw ENxReadTimeout(NxStrings::ReadTimeout);
            return -1;
        }
        // Without an intercept the bytes go straight to the end of the input buffer;
        // an intercept needs them in a buffer of their own first.
        char* target;
        if (FIntercept) {
            FRecvBuffer.SetSize(want);
            target = FRecvBuffer.Memory();
        } else {
            target = FInputBuffer.AppendSpace(want);
        }
        n = ReceiveChecked(target, want);
        if (n > 0) {
            if (FIntercept) {
                FRecvBuffer.SetSize(n);
                FRecvBuffer.SetPosition(0);
                FIntercept->Receive(FRecvBuffer);
                n = Clamp32(FRecvBuffer.Size());
                target = FInputBuffer.AppendSpace(n);
                if (n > 0) std::memcpy(target, FRecvBuffer.Memory(), static_cast<size_t>(n));
            }
            if (ASCIIFilter)
                for (int32_t i = 0; i < n; ++i)
                    target[i] = static_cast<char>(target[i] & 0x7F);
            FInputBuffer.Commit(n);
        }
        CheckClosed(raiseIfClosed, false);
        result = n;
    } while (n == 0 && IsConnected());
    return result;
}

int32_t TNxTCPConnection::ReceiveChecked(char* target, int32_t want, bool holding) {
    int32_t n = FIOHandler->Receive(target, want);
    FPeerClosed = (n == 0);
    if (n != 0) {
        TNxStack& stack = NxStack();
        if (stack.CheckResult(n, {NxErr::ESHUTDOWN_, NxErr::ECONNABORTED_})) {
            n = 0;
            int32_t code = stack.LastErrorCode();
            DropSocket();
            if (FInputBuffer.Empty() && !holding) stack.RaiseError(code);
        }
    }
    return n;
}

bool TNxTCPConnection::ReceiveBlocksIntoStream(TStream& stream, int64_t& remaining, int64_t block) {
    if (!FInputBuffer.Empty() || FIntercept || ASCIIFilter || remaining <= 0 || block <= 0) return false;
    // Several blocks at once where the stream already has room for them (a destination
    // sized for its count, or grown ahead): such a receive costs no memory of its own, and
    // 32 KiB receives into fresh memory took about 1.3 times as long as 1 MiB ones on
    // loopback. Room is only made for one block, as a write of it would.
    const int64_t first = std::min(remaining, block);
    int64_t want = std::min(remaining, std::max(block, DirectReceiveLimit / block * block));
    char* space = stream.WriteSpace(want, first);
    if (!space) return false;
    if (want < remaining) want = std::max(first, want / block * block);
    const int32_t timeout = ResolveTimeout(NxTimeout::Default);
    int64_t filled = 0;    // received into space
    int64_t committed = 0; // of which whole blocks, handed to the stream
    // What arrived of an incomplete block goes to the input buffer, as if received there.
    const auto giveBack = [&] {
        const int64_t held = filled - committed;
        if (held <= 0) return;
        std::memcpy(FInputBuffer.AppendSpace(Clamp32(held)), space + committed, static_cast<size_t>(held));
        FInputBuffer.Commit(Clamp32(held));
        filled = committed;
    };
    try {
        while (committed < want) {
            if (!FIOHandler->WaitReadable(timeout)) throw ENxReadTimeout(NxStrings::ReadTimeout);
            const int32_t n = ReceiveChecked(space + filled, Clamp32(want - filled), filled > committed);
            if (n <= 0) {
                giveBack();
                // Reports the close and raises ENxConnClosedGracefully, as a fill would have.
                CheckClosed(true, true);
                throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
            }
            filled += n;
            // Each whole block counts as soon as it is complete, one work event each.
            for (int64_t k = std::min(block, want - committed); filled - committed >= k;
                 k = std::min(block, want - committed)) {
                stream.CommitWrite(k);
                AddWork(wmRead, Clamp32(k));
                committed += k;
                remaining -= k;
                if (committed == want) break;
            }
        }
    } catch (...) {
        // A reset or a time-out: what arrived of the block is kept, as in the input buffer.
        giveBack();
        throw;
    }
    return true;
}

std::string TNxTCPConnection::ReadLine(const std::string& terminator, int32_t timeout, int32_t maxLength) {
    static const std::string lineFeed("\n");
    const std::string& term = terminator.empty() ? lineFeed : terminator;
    const int64_t termLen = static_cast<int64_t>(term.size());
    if (maxLength == DefaultLineLength) maxLength = MaxLineLength;
    // Any other negative limit would make every line "too long" and, split, come back
    // empty forever: read it as no limit.
    if (maxLength < 0) maxLength = 0;
    FLineWasSplit = false;
    FLineTimedOut = false;
    int64_t found = 0;    // 1-based position of the terminator; 0 = none yet
    int64_t searched = 0; // buffered bytes already searched
    bool tooLong = false;
    for (;;) {
        const int64_t size = FInputBuffer.Length();
        if (size > searched) {
            // Only the new bytes are searched, plus the few before them where a
            // terminator that straddles two receives can begin.
            int64_t from = std::max<int64_t>(0, searched - (termLen - 1));
            const char* data = FInputBuffer.Memory();
            if (size - from >= termLen) {
                const char* hit =
                    termLen == 1 ? static_cast<const char*>(
                                       std::memchr(data + from, term[0], static_cast<size_t>(size - from)))
                                 : std::search(data + from, data + size, term.begin(), term.end());
                // The search stops at a hit: the bytes after it are not examined.
                if (hit && hit != data + size) {
                    found = (hit - data) + 1;
                    FLineScanCount += hit - (data + from) + 1;
                } else {
                    FLineScanCount += size - from - termLen + 1;
                }
            }
            searched = size;
        }
        if (found > 0 && maxLength != 0 && found - 1 > maxLength) {
            tooLong = true;
        } else if (found == 0) {
            // Without a terminator, a buffered tail that could still be the start of one does
            // not count toward the length: "abc" CR of a CR LF line of 3 is not too long yet,
            // "abcd" is.
            if (maxLength != 0 &&
                searched - TerminatorPrefixAtEnd(FInputBuffer.Memory(), searched, term) > maxLength) {
                tooLong = true;
            } else {
                CheckClosed(true, true);
                int32_t r = FillInputBuffer(true, timeout, timeout == NxTimeout::Default);
                // An explicit time-out that elapses ends the call like a close does: ""
                // with LineTimedOut set, the partial line kept. Waiting on would make the
                // caller's time-out meaningless.
                FLineTimedOut = (r == 0 || r == -1);
                if (FLineTimedOut) return {};
                continue;
            }
        }
        if (tooLong) {
            if (MaxLineAction == maException)
                throw ENxReadLnMaxLineLengthExceeded(NxStrings::MaxLineLengthExceeded);
            FLineWasSplit = true;
            return FInputBuffer.Extract(maxLength);
        }
        std::string line = FInputBuffer.Extract(found + termLen - 1);
        line.resize(line.size() - static_cast<size_t>(termLen));
        if (termLen == 1 && term[0] == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
}

std::string TNxTCPConnection::ReadNonEmptyLine(int32_t attempts) {
    for (int32_t i = 0; i < attempts; ++i) {
        std::string line =
            TrimControls(ReadLine("\n", NxTimeout::Default, TNxTCPConnection::DefaultLineLength));
        if (!line.empty()) return line;
    }
    return {};
}

void TNxTCPConnection::WaitForInput(int64_t count) {
    while (FInputBuffer.Length() < count) {
        FillInputBuffer(true, NxTimeout::Default, true);
        CheckClosed(true, true);
    }
}

void TNxTCPConnection::ReadExact(void* buffer, int32_t count) {
    if (count <= 0 || !buffer) return;
    WaitForInput(count);
    std::memcpy(buffer, FInputBuffer.Memory(), static_cast<size_t>(count));
    FInputBuffer.Remove(count);
}

int32_t TNxTCPConnection::ReadInt32(bool convert) {
    uint32_t v = 0;
    ReadExact(&v, 4);
    if (convert) v = NxStack().NToHl(v);
    return static_cast<int32_t>(v);
}

void TNxTCPConnection::ReadToStream(TStream& stream, int64_t count, bool untilClosed) {
    if (count == -1 && !untilClosed) count = ReadInt32(true);
    if (count >= 0) {
        const int64_t at = stream.Position();
        stream.AnnounceEnd(at + count);
        // A chunked body is a series of counted reads into one stream; growing a memory
        // stream by exactly one chunk each time would reallocate it for every chunk. A count
        // beyond the limit is only believed as far as its bytes come.
        if (count <= ReserveLimit) {
            stream.ExpectGrowth(at + count);
            stream.SetSize(at + count);
            stream.SetPosition(at);
        }
    }
    int64_t remaining = untilClosed ? ReadUntilCloseLimit : count;
    OpenWork(wmRead, untilClosed ? 0 : Clamp32(count));
    auto finish = [&] {
        CloseWork(wmRead);
        int64_t at = stream.Position();
        if (stream.Size() > at) stream.SetSize(at);
    };
    try {
        if (!FInputBuffer.Empty() && remaining > 0) {
            int64_t k = std::min(FInputBuffer.Length(), remaining);
            stream.WriteBuffer(FInputBuffer.Memory(), k);
            FInputBuffer.Remove(k);
            remaining -= k;
        }
        const int64_t chunk = std::min<int64_t>(remaining, std::max<int32_t>(1, RecvBufferSize));
        // Each block is written once it is complete; an incomplete block stays in the input
        // buffer when the peer closes.
        while (remaining > 0 && IsConnected()) {
            int64_t k = std::min(remaining, chunk);
            try {
                // With nothing buffered a block goes straight into a memory stream: each of
                // its bytes is copied once less (a download into memory, as the installer's).
                if (ReceiveBlocksIntoStream(stream, remaining, chunk)) continue;
                WaitForInput(k);
            } catch (const ENxConnClosedGracefully&) {
                if (!untilClosed) throw;
                k = std::min(FInputBuffer.Length(), remaining);
                stream.WriteBuffer(FInputBuffer.Memory(), k);
                // Bytes beyond the limit stay buffered.
                if (k == FInputBuffer.Length())
                    FInputBuffer.Clear();
                else
                    FInputBuffer.Remove(k);
                remaining -= k;
                break;
            }
            stream.WriteBuffer(FInputBuffer.Memory(), k);
            FInputBuffer.Remove(k);
            remaining -= k;
        }
        // A counted read that comes up short is a failure even when the close was seen
        // before this call; returning normally would pass a truncated block as whole.
        if (!untilClosed && remaining > 0)
            throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

std::string TNxTCPConnection::TakeAvailable() {
    if (IsConnected()) FillInputBuffer(false, NxTimeout::Default, true);
    return FInputBuffer.ExtractAll();
}

std::string TNxTCPConnection::ReadAll() {
    std::string all;
    OpenWork(wmRead, 0);
    try {
        // At least once, so that bytes buffered before a noticed close are returned too.
        do {
            all += TakeAvailable();
        } while (IsConnected());
    } catch (...) {
        CloseWork(wmRead);
        throw;
    }
    CloseWork(wmRead);
    return all;
}

// --- command replies -----------------------------------------------------------------------

std::string TNxTCPConnection::ReplyText() const {
    std::string text;
    for (size_t i = 0; i < FLastReply.Text.size(); ++i) {
        if (i) text += "\r\n";
        text += FLastReply.Text[i];
    }
    return text;
}

void TNxTCPConnection::RaiseReplyError() {
    throw ENxProtocolReplyError(FLastReply.NumericCode(), ReplyText());
}

void TNxTCPConnection::CheckReplyCode(int32_t code, const std::vector<int32_t>& allowed) {
    if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), code) == allowed.end())
        RaiseReplyError();
}

int32_t TNxTCPConnection::ReadReply(const std::vector<int32_t>& allowed) {
    std::vector<std::string> lines;
    lines.push_back(ReadNonEmptyLine(std::numeric_limits<int32_t>::max()));
    const std::string& first = lines.front();
    if (first.size() > 3 && first[3] == '-') {
        const std::string last = first.substr(0, 3) + " ";
        for (;;) {
            std::string line = ReadLine();
            lines.push_back(line);
            if (line.size() < 4 || SameTextN(line, last, 4)) break;
        }
    }
    FLastReply.Clear();
    std::string code = TrimControls(lines.front().substr(0, 4));
    if (!code.empty() && code.back() == '-') code.pop_back();
    FLastReply.SetTextCode(code);
    for (const std::string& line : lines)
        FLastReply.Text.push_back(line.size() > 4 ? line.substr(4) : std::string());
    CheckReplyCode(FLastReply.NumericCode(), allowed);
    return FLastReply.NumericCode();
}

int32_t TNxTCPConnection::SendCommand(const std::string& text, const std::vector<int32_t>& allowed) {
    WriteLine(text);
    return ReadReply(allowed);
}

// --- writing -------------------------------------------------------------------------------

void TNxTCPConnection::WriteBytes(const void* buffer, int32_t count, bool writeNow) {
    if (count <= 0 || !buffer) return;
    CheckClosed(true, true);
    if (!IsConnected()) throw ENxNotConnected(NxStrings::NotConnected);
    if (FWriteBuffer && !writeNow) {
        FWriteBuffer->Append(buffer, count);
        if (WriteBufferLimit > 0 && FWriteBuffer->Length() >= WriteBufferLimit)
            FlushWriteBuffering(WriteBufferLimit);
        return;
    }
    TNxSimpleBuffer out;
    out.Append(buffer, count);
    if (FIntercept) {
        out.SetPosition(0);
        FIntercept->Send(out);
        count = Clamp32(out.Length());
    }
    int32_t pos = 0;
    TNxStack& stack = NxStack();
    while (pos < count) {
        int32_t n = FIOHandler->Transmit(out.Memory() + pos, count - pos);
        // The send's error code is taken before the anti-freeze runs: pumping messages
        // calls into the system, which may clear the thread's last error (on Windows,
        // thread-local storage lookups do), and the failure would then carry code 0.
        const bool dropped =
            stack.CheckResult(n, {NxErr::ESHUTDOWN_, NxErr::ECONNABORTED_, NxErr::ECONNRESET_});
        const int32_t code = stack.LastErrorCode();
        TNxAntiFreezeBase::AntiFreezeTick(false, false);
        FPeerClosed = (n == 0);
        CheckClosed(true, false);
        if (dropped) {
            DropSocket();
            stack.RaiseError(code);
        }
        AddWork(wmWrite, n);
        pos += n;
    }
}

void TNxTCPConnection::WriteText(const std::string& text) {
    WriteBytes(text.data(), Clamp32(static_cast<int64_t>(text.size())), false);
}

void TNxTCPConnection::WriteLine(const std::string& text) {
    WriteText(text + "\r\n");
}

void TNxTCPConnection::WriteInt32(int32_t value, bool convert) {
    uint32_t v = static_cast<uint32_t>(value);
    if (convert) v = NxStack().HToNl(v);
    WriteBytes(&v, 4, false);
}

void TNxTCPConnection::BeginWriteBuffering(int32_t limit) {
    FWriteBuffer = std::make_unique<TNxSimpleBuffer>();
    WriteBufferLimit = limit;
}

void TNxTCPConnection::FlushWriteBuffering(int32_t count) {
    if (!FWriteBuffer || FWriteBuffer->Empty()) return;
    if (count != -1 && FWriteBuffer->Length() >= count) {
        WriteBytes(FWriteBuffer->Memory(), count, true);
        FWriteBuffer->Remove(count);
    } else {
        WriteBytes(FWriteBuffer->Memory(), Clamp32(FWriteBuffer->Length()), true);
        FWriteBuffer->Clear();
    }
}

void TNxTCPConnection::EndWriteBuffering() {
    try {
        FlushWriteBuffering(-1);
    } catch (...) {
        FWriteBuffer.reset();
        throw;
    }
    FWriteBuffer.reset();
}

void TNxTCPConnection::DiscardWriteBuffering() {
    if (FWriteBuffer) FWriteBuffer->Clear();
}

void TNxTCPConnection::WriteFromStream(TStream& stream, bool all, int64_t size, bool withLength) {
    if (all) stream.SetPosition(0);
    int64_t start = stream.Position();
    int64_t end = size != 0 ? start + size : stream.Size();
    int64_t count = end - start;
    if (withLength) WriteInt32(Clamp32(count), true);
    OpenWork(wmWrite, Clamp32(count));
    try {
        const int64_t chunk = std::max<int32_t>(1, SendBufferSize);
        std::unique_ptr<char[]> scratch(new char[static_cast<size_t>(chunk)]);
        for (;;) {
            int64_t k = std::min(end - stream.Position(), chunk);
            if (k == 0) break;
            // An end before the position (a negative size, a position past the stream's
            // end) has nothing to give either: that is no success.
            int64_t got = k > 0 ? stream.Read(scratch.get(), k) : 0;
            if (got <= 0) throw ENxNoDataToRead(NxStrings::NoDataToRead);
            WriteBytes(scratch.get(), Clamp32(got), false);
        }
    } catch (...) {
        CloseWork(wmWrite);
        throw;
    }
    CloseWork(wmWrite);
}

int64_t TNxTCPConnection::SendFile(const std::string& fileName, bool allowFast) {
    // No platform whole-file send is used: the stream path behaves the same everywhere.
    (void)allowFast;
    if (!IsRegularFile(fileName)) throw ENxFileNotFound(Format(NxStrings::FileNotFound, fileName.c_str()));
    TFileReadStream file(fileName);
    WriteFromStream(file, true, 0, false);
    return file.Size();
}
