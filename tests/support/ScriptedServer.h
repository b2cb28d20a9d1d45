#pragma once
// A one-thread TCP server on 127.0.0.1 that plays a fixed script against the code
// under test: it accepts, sends chosen bytes in chosen pieces with pauses between
// them, records everything it receives, and closes or resets the connection on cue.
//
//   nxtest::ScriptedServer server;
//   server.Send("HTTP/1.1 200 OK\r\n").Pause(50).SendPieces("abc\r\n", {2, 1, 2}).Close();
//   server.Start();
//   ... connect to 127.0.0.1:server.Port() ...
//   EXPECT_TRUE(server.WaitFinished(2000));
//   EXPECT_EQ(server.Received(), "GET / HTTP/1.1\r\n...");
//
// Every wait is bounded. Between steps and during pauses the server keeps reading,
// so what the client sends is recorded even while the script is idle. After the last
// step the connection stays open (still recording) until the client closes it or the
// server is destroyed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nxtest {

class ServerTLS;
struct ServerTLSSettings;

class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Script steps, run in order once Start has been called.
    ScriptedServer& Send(std::string bytes);
    // The bytes in pieces of the given sizes (the last size repeats; 0 sizes are skipped),
    // with pauseMs between pieces so that each arrives in its own receive.
    ScriptedServer& SendPieces(std::string bytes, std::vector<size_t> sizes, int pauseMs = 20);
    // The bytes times times over, for bodies too large to hold in memory.
    ScriptedServer& SendRepeated(std::string bytes, int64_t times);
    ScriptedServer& Pause(int ms);
    // Waits until the bytes received on this connection contain marker (or timeoutMs passes;
    // the script then fails).
    ScriptedServer& ExpectReceived(std::string marker, int timeoutMs = 5000);
    // Waits until the client has closed its side (receive of 0 bytes or an error).
    ScriptedServer& ExpectClientClose(int timeoutMs = 5000);
    // Orderly close: shut down sending, then close.
    ScriptedServer& Close();
    // Abortive close: the client sees a reset.
    ScriptedServer& Reset();
    // Ends the current connection (closing it when still open) and accepts the next one.
    ScriptedServer& Accept(int timeoutMs = 5000);
    // Runs fn on the server thread (for steps the fixed ones do not cover).
    ScriptedServer& Call(std::function<void()> fn);
    // Sends what make returns for the bytes received on this connection so far (an answer
    // that depends on the request, such as the part of a file that a range asks for).
    ScriptedServer& SendFor(std::function<std::string(const std::string& received)> make);

    // TLS (native target only): the server side of a handshake over the current
    // connection; from then on Send encrypts, what is received is recorded decrypted, and
    // Close sends a close_notify first. A failed handshake closes the connection (its
    // reason in TLSFailure); the steps after it meet a closed connection, unless an Accept
    // starts the next one (in plain TCP). The session ends with the connection.
    ScriptedServer& StartTLS(const ServerTLSSettings& settings);
    // Close without the close_notify: a TCP close in the middle of the TLS stream.
    ScriptedServer& CloseWithoutNotify();
    // From here on at most bytes more go out on this connection, handshake records
    // included; the one that reaches the limit is cut there and the connection closed
    // (reset when asked). Later sends are dropped without failing the script.
    ScriptedServer& CutAfter(size_t bytes, bool reset = false);

    // Listens on 127.0.0.1, on port or (0) on one chosen by the system, and starts the
    // script thread. After Reserve, port is ignored and the reserved one is listened on.
    void Start(uint16_t port = 0);
    // Binds 127.0.0.1 without listening: connects are refused until Start, and no other
    // socket (a parallel test's client, say) can take the port in the meantime, as it
    // could between UnusedLocalPort and a later Start. Returns the port.
    uint16_t Reserve(uint16_t port = 0);
    uint16_t Port() const { return FPort; }

    // True when the script has run all its steps within timeoutMs.
    bool WaitFinished(int timeoutMs = 5000);
    // Waits until at least count bytes were received in total (all connections); true on success.
    bool WaitReceived(size_t count, int timeoutMs = 5000);
    // Everything received so far, all connections joined.
    std::string Received() const;
    // Bytes received per accepted connection, in order of acceptance.
    std::vector<std::string> ReceivedPerConnection() const;
    // Empty while the script went as planned; otherwise what went wrong.
    std::string Failure() const;
    // Why the last TLS handshake failed; empty when none did.
    std::string TLSFailure() const;
    int Connections() const;
    // Bytes sent to clients so far, TLS records included (all connections).
    size_t RawBytesSent() const { return FRawSent.load(); }

private:
    struct Step {
        enum Kind {
            kSend,
            kPause,
            kExpect,
            kExpectClose,
            kClose,
            kReset,
            kAccept,
            kCall,
            kSendFor,
            kSendRepeated
        } kind;
        std::string bytes;
        int ms = 0;
        std::function<void()> fn;
        std::function<std::string(const std::string&)> make;
        int64_t times = 1;
    };

    void Run();
    bool AcceptOne(int timeoutMs);
    // Reads what is pending for up to ms milliseconds; false once the client has closed.
    bool Pump(int ms);
    bool SendAll(const std::string& bytes);
    // Every byte to the client goes through here (the cut is applied here).
    bool SendRaw(const std::string& bytes);
    void CloseClient(bool reset, bool closeNotify = true);
    void RunStartTLS(const ServerTLSSettings& settings);
    void Fail(const std::string& why);

    std::vector<Step> FSteps;
    intptr_t FListener = -1;
    intptr_t FClient = -1;
    bool FClientClosed = false;
    std::unique_ptr<ServerTLS> FTls;
    size_t FCutLeft = SIZE_MAX;
    bool FCutReset = false;
    bool FCut = false;
    std::atomic<size_t> FRawSent{0};
    uint16_t FPort = 0;
    std::thread FThread;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FReceived;
    size_t FTotal = 0;
    bool FFinished = false;
    bool FStop = false;
    std::string FFailure;
    std::string FTLSFailure;
};

// A port on 127.0.0.1 that was free a moment ago (for a server of another program to bind).
uint16_t UnusedLocalPort();

// A port on 127.0.0.1 that refuses every connection for as long as this lives: bound, never
// listening, so that no other socket (a parallel test's client) can take it, as it could a
// port that was only found free.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    uint16_t Port() const { return FPort; }

private:
    // Before the socket: the socket's initialiser (BindAnyPort) sets it, and a member declared
    // after would be reset to its own initialiser.
    uint16_t FPort = 0;
    intptr_t FSocket;
};

} // namespace nxtest
