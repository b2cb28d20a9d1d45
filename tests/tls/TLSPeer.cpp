// The TLS servers of the Windows tests, run natively beside Wine (a Windows test cannot
// host OpenSSL): one listener on 127.0.0.1 per row of the certificate matrix, each
// answering any request with "pong" (or, for the plain-HTTP row, with a plain 400).
//   tls_peer STATE_DIR LIFETIME_SECONDS
//   tls_peer --certs DIR     (only make the certificates, for the end-to-end runs)
// Makes the test certificates in STATE_DIR/certs and writes STATE_DIR/ports.txt
// ("root <file>" then "<row> <port>" per row) once every listener is up. Ends on its own
// after LIFETIME_SECONDS, so that a test run that never stops it cannot leave it behind.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ServerTLS.h"
#include "support/TLSMatrix.h"
#include "support/TestCertificates.h"

namespace {

// How long one connection may take before it is dropped.
constexpr int ConnectionLimitMs = 10000;

bool WaitReadable(int fd, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(fd + 1, &set, nullptr, nullptr, &tv) > 0;
}

bool SendAll(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

void Serve(int fd, const nxtest::TLSMatrixRow& row, const nxtest::TestCertificates& certs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ConnectionLimitMs);
    auto left = [&] {
        return static_cast<int>(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      deadline - std::chrono::steady_clock::now())
                                                      .count()));
    };
    char buf[16384];
    if (row.PlainHTTP) {
        if (WaitReadable(fd, left()) && recv(fd, buf, sizeof buf, 0) > 0)
            SendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    nxtest::ServerTLSSettings s{certs.Cert(row.Leaf), certs.Key(row.Leaf)};
    if (row.ServerMaxVersion != 0) {
        s.MinVersion = nxtest::TLS1_0;
        s.MaxVersion = row.ServerMaxVersion;
        s.SecurityLevel = 0;
    }
    std::unique_ptr<nxtest::ServerTLS> tls = nxtest::CreateServerTLS(s);
    std::string out, plain;
    int state = 0;
    while ((state = tls->Handshake(out)) == 0) {
        if (!SendAll(fd, out)) return;
        out.clear();
        if (!WaitReadable(fd, left())) return;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        tls->Feed(buf, static_cast<size_t>(n));
    }
    SendAll(fd, out);
    out.clear();
    if (state < 0) return;
    while (plain.find("\r\n\r\n") == std::string::npos) {
        if (!tls->Read(plain, out)) return;
        SendAll(fd, out);
        out.clear();
        if (plain.find("\r\n\r\n") != std::string::npos) break;
        if (!WaitReadable(fd, left())) return;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        tls->Feed(buf, static_cast<size_t>(n));
    }
    tls->Write("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\npong", out);
    tls->Shutdown(out);
    SendAll(fd, out);
}

int Listen(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--certs") {
        nxtest::MakeTestCertificates(argv[2]);
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: tls_peer STATE_DIR LIFETIME_SECONDS\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string dir = argv[1];
    const int lifetime = std::atoi(argv[2]);
    // Static: the detached server threads use it until the process ends.
    static const nxtest::TestCertificates certs = nxtest::MakeTestCertificates(dir + "/certs");
    std::string listing = "root " + certs.RootCert + "\n";
    for (const nxtest::TLSMatrixRow& row : nxtest::TLSMatrix) {
        uint16_t port = 0;
        const int fd = Listen(port);
        if (fd < 0) {
            std::perror("tls_peer: listen");
            return 1;
        }
        listing += std::string(row.Name) + " " + std::to_string(port) + "\n";
        std::thread([fd, &row] {
            for (;;) {
                const int client = accept(fd, nullptr, nullptr);
                if (client < 0) continue;
                int one = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::thread([client, &row] {
                    Serve(client, row, certs);
                    shutdown(client, SHUT_WR);
                    close(client);
                }).detach();
            }
        }).detach();
    }
    // Written whole under a temporary name, so a reader never sees half of it.
    { std::ofstream(dir + "/ports.tmp") << listing; }
    std::rename((dir + "/ports.tmp").c_str(), (dir + "/ports.txt").c_str());
    std::this_thread::sleep_for(std::chrono::seconds(lifetime));
    return 0;
}
