#include "transport/NxIOHandlerTLS.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"

namespace {
using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, at least 0; -2 (no limit) stays.
int32_t Left(int32_t limit, Clock::time_point start) {
    if (limit == NxTimeout::Infinite) return NxTimeout::Infinite;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return static_cast<int32_t>(std::max<int64_t>(0, limit - spent));
}

[[noreturn]] void RaiseHandshakeSocketError(int32_t code) {
    throw ENxTLSError(tcHandshake, code,
                      Format(NxStrings::TLSHandshakeFailure, NxStack().ErrorText(code).c_str()));
}
} // namespace

void TNxTLSRecordBoundary::Take(const char* data, size_t size) {
    while (size > 0) {
        if (FHeaderHave < HeaderSize) {
            FHeader[FHeaderHave++] = static_cast<unsigned char>(*data++);
            --size;
            if (FHeaderHave == HeaderSize) {
                FBodyLeft = (FHeader[3] << 8) | FHeader[4];
                if (FBodyLeft == 0) FHeaderHave = 0, ++FRecords;
            }
            continue;
        }
        const size_t take = std::min<size_t>(size, static_cast<size_t>(FBodyLeft));
        FBodyLeft -= static_cast<int32_t>(take);
        data += take;
        size -= take;
        if (FBodyLeft == 0) FHeaderHave = 0, ++FRecords;
    }
}

TNxIOHandlerTLS::TNxIOHandlerTLS() : FRaw(RawReceiveSize) {}

TNxIOHandlerTLS::~TNxIOHandlerTLS() {
    CloseHandler();
}

void TNxIOHandlerTLS::ResetSession() {
    FEngine.reset();
    FEstablished = false;
    FRawClosed = false;
    FCloseNotify = false;
    FServerName.clear();
    FInfo = {};
    FBoundary.Reset();
}

void TNxIOHandlerTLS::CloseHandler() {
    // The engine stays until the next open: a window handler may drop the socket while a
    // read of this handler is still on the stack above it.
    FEstablished = false;
    TNxIOHandlerSocket::CloseHandler();
}

void TNxIOHandlerTLS::OpenHandler() {
    ResetSession();
    TNxIOHandlerSocket::OpenHandler();
}

void TNxIOHandlerTLS::ConnectPeer(const std::string& host, int32_t port, const std::string& boundIP,
                                  int32_t boundPort, int32_t boundPortMin, int32_t boundPortMax,
                                  int32_t timeout) {
    ResetSession();
    TNxIOHandlerSocket::ConnectPeer(host, port, boundIP, boundPort, boundPortMin, boundPortMax, timeout);
    if (!FPassThrough) StartTLS(host, timeout);
}

void TNxIOHandlerTLS::CheckStillOpen() const {
    if (!HasSocket()) throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
}

bool TNxIOHandlerTLS::SendRaw(const std::string& bytes, bool inHandshake) {
    size_t at = 0;
    while (at < bytes.size()) {
        CheckStillOpen();
        const int32_t n =
            TNxIOHandlerSocket::Transmit(bytes.data() + at, static_cast<int32_t>(bytes.size() - at));
        if (n <= 0) {
            if (!inHandshake) return false;
            const int32_t code = n == 0 ? NxErr::ESHUTDOWN_ : NxStack().LastError();
            RaiseHandshakeSocketError(code);
        }
        at += static_cast<size_t>(n);
    }
    return true;
}

void TNxIOHandlerTLS::ReceiveRaw(bool inHandshake) {
    CheckStillOpen();
    const int32_t n = TNxIOHandlerSocket::Receive(FRaw.data(), static_cast<int32_t>(FRaw.size()));
    if (n > 0) {
        FBoundary.Take(FRaw.data(), static_cast<size_t>(n));
        FEngine->Feed(FRaw.data(), static_cast<size_t>(n));
        return;
    }
    if (n < 0) {
        const int32_t code = NxStack().LastError();
        if (inHandshake) RaiseHandshakeSocketError(code);
        // The codes the connection treats as the peer's close are a close here too;
        // every other failure is the socket error it would raise.
        if (code != NxErr::ESHUTDOWN_ && code != NxErr::ECONNABORTED_) NxStack().RaiseError(code);
    }
    FRawClosed = true;
}

void TNxIOHandlerTLS::StartTLS(const std::string& serverName, int32_t timeout) {
    CheckStillOpen();
    ResetSession();
    FServerName = serverName;
    FEngine = CreateTLSEngine(TNxTLSSettings{serverName, ExtraRootFile});
    const int32_t limit = timeout > 0 ? timeout : HandshakeTimeout;
    const Clock::time_point start = Clock::now();
    for (;;) {
        FOut.clear();
        bool done = false;
        try {
            done = FEngine->Handshake(FOut);
        } catch (const ENxTLSError&) {
            // The alert that tells the server why goes out first, if it can.
            if (!FOut.empty() && HasSocket()) {
                try {
                    SendRaw(FOut, true);
                } catch (const Exception&) {
                    // the failure of the handshake is the one to report
                }
            }
            throw;
        }
        SendRaw(FOut, true);
        if (done) break;
        if (FRawClosed)
            throw ENxTLSError(tcHandshake, 0,
                              Format(NxStrings::TLSHandshakeFailure, NxStrings::TLSClosedInHandshake));
        const int32_t left = Left(limit, start);
        if (left == 0 || !TNxIOHandlerSocket::WaitReadable(left))
            throw ENxTLSError(tcHandshake, NxErr::ETIMEDOUT_,
                              Format(NxStrings::TLSHandshakeFailure, NxStrings::TLSHandshakeTimedOut));
        ReceiveRaw(true);
    }
    FEstablished = true;
    FInfo = FEngine->SessionInfo();
    ++FHandshakes;
}

bool TNxIOHandlerTLS::WaitReadable(int32_t milliseconds) {
    if (FPassThrough || !FEngine) return TNxIOHandlerSocket::WaitReadable(milliseconds);
    CheckStillOpen();
    const Clock::time_point start = Clock::now();
    for (;;) {
        FOut.clear();
        const int32_t ready = FEngine->Pending(FOut);
        if (!FOut.empty()) SendRaw(FOut, false);
        if (ready != 0 || FRawClosed) return true;
        // Not readable yet: the wait is for the rest of a record or the next one, within
        // the time asked for (a wait of 0 polls, and goes on only while bytes keep coming).
        if (!TNxIOHandlerSocket::WaitReadable(milliseconds < 0 ? -2 : Left(milliseconds, start)))
            return false;
        ReceiveRaw(false);
    }
}

int32_t TNxIOHandlerTLS::Receive(void* buffer, int32_t length) {
    if (FPassThrough || !FEngine) return TNxIOHandlerSocket::Receive(buffer, length);
    if (!HasSocket()) throw ENxClosedSocket(NxStrings::Disconnected);
    char* out = static_cast<char*>(buffer);
    int32_t got = 0;
    while (got < length) {
        FOut.clear();
        const int32_t n = FEngine->Read(out + got, length - got, FOut);
        if (!FOut.empty() && !SendRaw(FOut, false)) return -1;
        if (n > 0) {
            got += n;
            continue;
        }
        if (got > 0) break;
        if (n < 0) {
            FCloseNotify = true;
            return 0;
        }
        if (FRawClosed) {
            if (FBoundary.InsideRecord())
                throw ENxTLSError(tcTruncated, 0,
                                  Format(NxStrings::TLSTruncated, NxStrings::TLSClosedInRecord));
            return 0;
        }
        // Called without a wait before it: wait for the rest of the record.
        WaitReadable(NxTimeout::Infinite);
        CheckStillOpen();
    }
    return got;
}

int32_t TNxIOHandlerTLS::Transmit(const void* buffer, int32_t length) {
    if (FPassThrough || !FEngine) return TNxIOHandlerSocket::Transmit(buffer, length);
    if (!HasSocket()) throw ENxClosedSocket(NxStrings::Disconnected);
    if (length <= 0) return 0;
    FOut.clear();
    FEngine->Write(static_cast<const char*>(buffer), static_cast<size_t>(length), FOut);
    // A raw failure returns at once, so the caller still finds its code in the stack.
    if (!SendRaw(FOut, false)) return -1;
    return length;
}
