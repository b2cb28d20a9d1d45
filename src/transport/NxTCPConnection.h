#pragma once
// The blocking, buffered byte connection: received bytes collect in an input buffer
// that serves lines, counted blocks and streams; writes go out at once or through an
// optional write buffer; a peer close is noticed and turned into the closed state.
// Every transport action goes through the I/O handler.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "transport/NxBuffer.h"
#include "transport/NxComponent.h"
#include "transport/NxException.h"
#include "transport/NxIOHandler.h"
#include "transport/NxStack.h"

enum TNxMaxLineAction { maException = 0, maSplit = 1 };

using TNxNotifyEvent = std::function<void(TNxComponent* Sender)>;

// A numbered reply of a line-oriented protocol ("250 OK", "220-first" ... "220 last").
class TNxRFCReply {
public:
    int32_t NumericCode() const { return FNumericCode; }
    // A code above 0 also sets TextCode to its decimal text.
    void SetNumericCode(int32_t code);
    const std::string& TextCode() const { return FTextCode; }
    // A non-empty text also sets NumericCode to its integer value (0 when not a number).
    void SetTextCode(const std::string& code);
    void Clear();

    std::vector<std::string> Text;

private:
    int32_t FNumericCode = 0;
    std::string FTextCode;
};

class TNxTCPConnection;

// Optional hooks on a connection's traffic. A hook may change the bytes in the buffer
// and their count. Intercepts chain through Intercept (borrowed, never freed here).
class TNxConnectionIntercept : public TNxComponent {
public:
    using TNxInterceptEvent = std::function<void(TNxTCPConnection* connection)>;
    using TNxInterceptBufferEvent =
        std::function<void(TNxTCPConnection* connection, TNxSimpleBuffer& buffer)>;

    TNxConnectionIntercept() = default;
    // Connections that still refer to this intercept forget it.
    ~TNxConnectionIntercept() override;

    // Records the connection, fires OnConnect, then lets the nested intercept know.
    virtual void Connect(TNxTCPConnection* connection);
    // The nested intercept first, then OnDisconnect; then the connection is forgotten.
    virtual void Disconnect();
    // The nested intercept sees received bytes first; then OnReceive; then the buffer is rewound.
    virtual void Receive(TNxSimpleBuffer& buffer);
    // OnSend first, the buffer rewound, then the nested intercept.
    virtual void Send(TNxSimpleBuffer& buffer);

    TNxTCPConnection* Connection() const { return FConnection; }
    TNxConnectionIntercept* Intercept = nullptr;

    TNxInterceptEvent OnConnect;
    TNxInterceptEvent OnDisconnect;
    TNxInterceptBufferEvent OnReceive;
    TNxInterceptBufferEvent OnSend;

private:
    friend class TNxTCPConnection;
    TNxTCPConnection* FConnection = nullptr;
    std::vector<TNxTCPConnection*> FUsers;
};

class TNxTCPConnection : public TNxComponent {
public:
    TNxTCPConnection();
    // DropSocket, then an owned I/O handler is freed.
    ~TNxTCPConnection() override;

    // --- connection state ---------------------------------------------------------------
    virtual void DoOnDisconnected();
    // Empties the input buffer and clears PeerClosed.
    virtual void ResetInputState();
    // Everything until the peer closes, inside a read work phase.
    virtual std::string ReadAll();
    // Notices a peer close (closing the socket, hsDisconnected, OnDisconnected) and, when
    // asked, raises ENxConnClosedGracefully if nothing is buffered (or ignoreBuffer).
    virtual void CheckClosed(bool raiseIfClosed = true, bool ignoreBuffer = true);
    // A look, without waiting, for pending bytes or a peer close; no exception for a time-out,
    // and pending bytes stay buffered.
    virtual void ProbeClosed(bool raiseIfClosed = true);
    // How long ProbeClosed waits, in milliseconds.
    static constexpr int32_t ProbeWait = 0;
    // Raises for the last reply when its code is not among allowed (an empty list allows all).
    virtual void CheckReplyCode(int32_t code, const std::vector<int32_t>& allowed);
    virtual bool IsConnected();
    // Orderly close: status reports, OnDisconnected, an owned I/O handler freed.
    virtual void CloseConnection();
    // Closes the transport without status reports.
    virtual void DropSocket();
    // Reads a (possibly multi-line) reply into LastReply; returns its code.
    virtual int32_t ReadReply(const std::vector<int32_t>& allowed = {});
    // ENxProtocolReplyError with LastReply's code and its lines joined by CR LF.
    [[noreturn]] virtual void RaiseReplyError();
    template <class E> [[noreturn]] void RaiseReplyErrorAs() {
        throw E(LastReply().NumericCode(), ReplyText());
    }

    // --- reading ------------------------------------------------------------------------
    // One wait and one receive into the input buffer. Returns the bytes appended, 0 when
    // the peer closed or nothing could be read, -1 when the wait timed out without
    // raiseOnTimeout. timeout NxTimeout::Default = ReadTimeout (0 there = no limit),
    // NxTimeout::Infinite = no limit; any other negative time times out at once.
    virtual int32_t FillInputBuffer(bool raiseIfClosed = true, int32_t timeout = NxTimeout::Default,
                                    bool raiseOnTimeout = true);
    // The next line without its terminator (empty = LF; for LF a CR before it goes too).
    // maxLength DefaultLineLength = MaxLineLength, 0 = no limit.
    virtual std::string ReadLine(const std::string& terminator = "\n", int32_t timeout = NxTimeout::Default,
                                 int32_t maxLength = DefaultLineLength);
    std::string ReadNonEmptyLine(int32_t attempts);
    void ReadExact(void* buffer, int32_t count);
    int32_t ReadInt32(bool convert = true);
    // count bytes (-1 without untilClosed: a 4-byte length prefix), or everything until the
    // peer closes, at most ReadUntilCloseLimit bytes (the connection stays open there). A
    // counted destination is sized once, up front, when the count is within ReserveLimit;
    // a larger count grows it as the bytes arrive.
    void ReadToStream(TStream& stream, int64_t count = -1, bool untilClosed = false);
    // The 32-bit count of a read phase: a read until close ends there.
    static constexpr int64_t ReadUntilCloseLimit = 2147483647;
    std::string TakeAvailable();

    // --- writing ------------------------------------------------------------------------
    virtual int32_t SendCommand(const std::string& text, const std::vector<int32_t>& allowed = {});
    virtual void WriteText(const std::string& text);
    virtual void WriteLine(const std::string& text = "");
    // A range of the stream: from 0 with all, else from its position; size 0 = to its end.
    virtual void WriteFromStream(TStream& stream, bool all = true, int64_t size = 0, bool withLength = false);
    // Returns the file's size.
    virtual int64_t SendFile(const std::string& fileName, bool allowFast = false);
    void WriteBytes(const void* buffer, int32_t count, bool writeNow = false);
    void WriteInt32(int32_t value, bool convert = true);

    // limit > 0: send limit bytes whenever that many are buffered; otherwise all at the end.
    void BeginWriteBuffering(int32_t limit = -1);
    void FlushWriteBuffering(int32_t count = -1);
    void EndWriteBuffering();
    void DiscardWriteBuffering();
    bool WriteBuffering() const { return FWriteBuffer != nullptr; }

    // --- fields -------------------------------------------------------------------------
    bool ASCIIFilter = false;
    TNxMaxLineAction MaxLineAction = maException;
    // ReadLine's maxLength that stands for MaxLineLength.
    static constexpr int32_t DefaultLineLength = -1;
    static constexpr int32_t DefaultMaxLineLength = 16384;
    int32_t MaxLineLength = DefaultMaxLineLength;
    int32_t ReadTimeout = 0;
    static constexpr int32_t DefaultRecvBufferSize = 32768;
    int32_t RecvBufferSize = DefaultRecvBufferSize;
    // The most one receive asks for when it goes straight into a stream's memory (whole
    // blocks of RecvBufferSize): such a receive needs no buffer of the connection's.
    static constexpr int64_t DirectReceiveLimit = 1024 * 1024;
    // The most a counted read sizes its destination for before the bytes are there: a peer
    // may announce far more than it sends (a Content-Length of 2 GiB in a 32-bit process).
    int64_t ReserveLimit = 64 * 1024 * 1024;
    int32_t SendBufferSize = 32768;
    int32_t WriteBufferLimit = 0;
    TNxNotifyEvent OnDisconnected;

    bool PeerClosed() const { return FPeerClosed; }
    bool LineWasSplit() const { return FLineWasSplit; }
    bool LineTimedOut() const { return FLineTimedOut; }
    bool OwnsIOHandler() const { return FOwnedIOHandler != nullptr; }
    TNxRFCReply& Greeting() { return FGreeting; }
    TNxRFCReply& LastReply() { return FLastReply; }
    TNxManagedBuffer& InputBuffer() { return FInputBuffer; }

    TNxIOHandler* IOHandler() const { return FIOHandler; }
    // Frees a previously owned handler first; the new one is borrowed. A borrowed handler
    // destroyed elsewhere is forgotten (IOHandler() becomes null).
    void SetIOHandler(TNxIOHandler* handler);
    TNxConnectionIntercept* Intercept() const { return FIntercept; }
    void SetIntercept(TNxConnectionIntercept* intercept);

    // Terminator search positions examined by ReadLine over the connection's life; a line
    // that arrives in many pieces must cost about its length, not length x pieces.
    int64_t LineScanCount() const { return FLineScanCount; }

protected:
    // Takes ownership of a handler created by the connection itself.
    void AdoptIOHandler(std::unique_ptr<TNxIOHandler> handler);

private:
    friend class TNxConnectionIntercept;
    std::string ReplyText() const;
    // Waits until the input buffer holds count bytes (the filling part of ReadExact).
    void WaitForInput(int64_t count);
    // One receive into target: 0 when the peer closed. A shutdown or abort drops the socket,
    // and is raised when nothing received is held (buffered, or in holding) to read first.
    int32_t ReceiveChecked(char* target, int32_t want, bool holding = false);
    // Whole blocks of remaining (block bytes each, the last one shorter), up to
    // DirectReceiveLimit, received straight into the stream's own memory, remaining lowered
    // as each completes; false (nothing done) when the stream has no memory to offer or
    // something is buffered. A block the peer or the clock cuts short goes back to the
    // input buffer, as if received there.
    bool ReceiveBlocksIntoStream(TStream& stream, int64_t& remaining, int64_t block);
    int32_t ResolveTimeout(int32_t timeout) const;
    // Points FIOHandler at handler, registered with it so that its destruction clears it.
    void ReferToIOHandler(TNxIOHandler* handler);

    bool FPeerClosed = false;
    TNxRFCReply FGreeting;
    TNxManagedBuffer FInputBuffer;
    TNxConnectionIntercept* FIntercept = nullptr;
    TNxIOHandler* FIOHandler = nullptr;
    std::unique_ptr<TNxIOHandler> FOwnedIOHandler;
    TNxRFCReply FLastReply;
    bool FLineWasSplit = false;
    bool FLineTimedOut = false;
    TNxSimpleBuffer FRecvBuffer;
    std::unique_ptr<TNxSimpleBuffer> FWriteBuffer;
    int64_t FLineScanCount = 0;
};
