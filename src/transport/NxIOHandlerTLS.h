#pragma once
// The TLS layer: an I/O handler that runs TLS over the socket handler's connection.
// Installed on a TCP client (SetIOHandler), it connects through the socket handler's
// timed connect and then, unless PassThrough is set, runs the handshake for the host it
// connected to. The connection above sees plaintext only, so its work events count
// plaintext bytes. Every wait of the handshake and of reads goes through the socket
// handler's WaitReadable, cut into anti-freeze slices; a socket dropped from a window
// handler ends the handshake or the read at the next slice.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/NxIOHandlerSocket.h"
#include "transport/NxTLSEngine.h"

// Follows the record framing of a TLS byte stream (RFC 8446 5.1: a 5-byte header whose
// last two bytes give the length of the body that follows), so that a close can be
// judged by where it falls: between records, or inside one (a cut stream).
class TNxTLSRecordBoundary {
public:
    static constexpr int32_t HeaderSize = 5;
    void Reset() { FHeaderHave = 0, FBodyLeft = 0; }
    void Take(const char* data, size_t size);
    // The bytes taken so far end inside a record.
    bool InsideRecord() const { return FHeaderHave > 0; }
    int64_t Records() const { return FRecords; }

private:
    unsigned char FHeader[HeaderSize] = {};
    int32_t FHeaderHave = 0;
    int32_t FBodyLeft = 0;
    int64_t FRecords = 0;
};

class TNxIOHandlerTLS : public TNxIOHandlerSocket {
public:
    // The limit of a handshake when the connect set none: a server that accepts and never
    // answers must not hold the caller forever.
    static constexpr int32_t DefaultHandshakeTimeout = 60000;
    // Ciphertext asked for in one receive: eight full records, so that a fast stream
    // costs few waits and receives.
    static constexpr int32_t RawReceiveSize = 131072;

    TNxIOHandlerTLS();
    ~TNxIOHandlerTLS() override;

    // Releases the socket; the session ends with it (no close_notify is sent: a blocked
    // send must not hold a cancel).
    void CloseHandler() override;
    // The socket handler's connect, then the handshake for host unless PassThrough.
    // A positive timeout limits the handshake as well; otherwise HandshakeTimeout does.
    void ConnectPeer(const std::string& host, int32_t port, const std::string& boundIP, int32_t boundPort,
                     int32_t boundPortMin, int32_t boundPortMax, int32_t timeout) override;
    void OpenHandler() override;
    // Readable means that plaintext (or the end of the stream) is ready: ciphertext that
    // does not complete a record is taken in and the wait goes on for the rest.
    bool WaitReadable(int32_t milliseconds) override;
    int32_t Receive(void* buffer, int32_t length) override;
    int32_t Transmit(const void* buffer, int32_t length) override;

    // The handshake over the open socket, for serverName (SNI and the name check); what a
    // tunnel through a proxy runs once the proxy has opened it. timeout as ConnectPeer's.
    // Failures raise ENxTLSError naming the check that failed.
    void StartTLS(const std::string& serverName, int32_t timeout = 0);

    // Plain TCP: the handler then behaves exactly as the socket handler.
    bool PassThrough() const { return FPassThrough; }
    void SetPassThrough(bool value) { FPassThrough = value; }
    // A handshake has completed on the current socket.
    bool TLSActive() const { return FEngine != nullptr && FEstablished; }
    // The peer ended the stream with a close_notify (not only a TCP close).
    bool CloseNotifyReceived() const { return FCloseNotify; }
    // The server name of the current session.
    const std::string& ServerName() const { return FServerName; }
    const TNxTLSSessionInfo& SessionInfo() const { return FInfo; }
    // Handshakes completed over the handler's life.
    int64_t Handshakes() const { return FHandshakes; }

    // A PEM file of one more trusted root; empty for the system's roots alone.
    std::string ExtraRootFile;
    int32_t HandshakeTimeout = DefaultHandshakeTimeout;

private:
    void ResetSession();
    // Sends all of bytes over the socket; a failure raises (as a handshake failure while
    // the handshake runs). Returns false only for a raw failure outside the handshake,
    // whose code the caller then fetches from the stack.
    bool SendRaw(const std::string& bytes, bool inHandshake);
    // One receive of ciphertext into the engine; a peer close marks FRawClosed.
    void ReceiveRaw(bool inHandshake);
    // Throws when the socket went away under a wait (a window handler dropped it).
    void CheckStillOpen() const;

    bool FPassThrough = false;
    bool FEstablished = false;
    bool FRawClosed = false;
    bool FCloseNotify = false;
    int64_t FHandshakes = 0;
    std::string FServerName;
    std::unique_ptr<TNxTLSEngine> FEngine;
    TNxTLSSessionInfo FInfo;
    std::vector<char> FRaw;
    TNxTLSRecordBoundary FBoundary;
    std::string FOut;
};
