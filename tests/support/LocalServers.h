#pragma once
// Real servers from Debian's packages, started by a test on loopback ports with throw-away
// configurations in a folder of the test's, and stopped by it: nginx, squid (an HTTP proxy,
// one port open and one asking for Basic credentials) and microsocks (a SOCKS 5 proxy, with or
// without a user name and password). Native target only.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace nxtest {

// One program in the foreground, its output in a file, stopped with SIGTERM (SIGKILL after a
// few seconds) when the object goes.
class LocalDaemon {
public:
    LocalDaemon() = default;
    ~LocalDaemon() { Stop(); }
    LocalDaemon(const LocalDaemon&) = delete;
    LocalDaemon& operator=(const LocalDaemon&) = delete;

    // Starts argv (argv[0] the program's path) with its output in outputFile and waits until
    // every port accepts connections; false when it did not come up within a few seconds.
    // stopSignal ends it.
    bool Start(const std::vector<std::string>& argv, const std::filesystem::path& outputFile,
               const std::vector<uint16_t>& ports, int stopSignal = 15);
    void Stop();

private:
    pid_t FPid = -1;
    int FStopSignal = 15;
};

// True when a connection to 127.0.0.1:port is accepted.
bool AcceptsConnections(uint16_t port);

// nginx serving root on 127.0.0.1, over TLS as well on a second port when given a certificate.
class NginxServer {
public:
    explicit NginxServer(const std::filesystem::path& dir) : FDir(dir) {}

    static constexpr const char* Program = "/usr/sbin/nginx";
    // False when nginx did not come up. The ports are free when chosen but a parallel test may
    // take one before nginx binds it, so a failed start tries others.
    bool Start(const std::filesystem::path& root, const std::string& tlsCert = {},
               const std::string& tlsKey = {});
    void Stop() { FDaemon.Stop(); }
    uint16_t Port() const { return FPort; }
    uint16_t TLSPort() const { return FTLSPort; }
    std::string ErrorLog() const;
    // The connection numbers of the logged requests, in order. nginx logs a request just
    // after its response has gone out, so the last line may lag a little behind.
    std::vector<std::string> LoggedConnections(size_t expected) const;

private:
    std::filesystem::path FDir;
    LocalDaemon FDaemon;
    uint16_t FPort = 0;
    uint16_t FTLSPort = 0;
};

// squid with two ports on 127.0.0.1: OpenPort lets every request through, AuthPort only those
// with the Basic credentials given to Start. Nothing is cached.
class SquidProxy {
public:
    explicit SquidProxy(const std::filesystem::path& dir) : FDir(dir) {}
    static constexpr const char* Program = "/usr/sbin/squid";
    bool Start(const std::string& user, const std::string& password);
    uint16_t OpenPort() const { return FOpenPort; }
    uint16_t AuthPort() const { return FAuthPort; }
    // One line per request: the status and the request line as squid saw them.
    std::string AccessLog() const;

private:
    std::filesystem::path FDir;
    LocalDaemon FDaemon;
    uint16_t FOpenPort = 0;
    uint16_t FAuthPort = 0;
};

// microsocks on 127.0.0.1, asking for the user name and password when they are not empty.
class MicrosocksProxy {
public:
    explicit MicrosocksProxy(const std::filesystem::path& dir) : FDir(dir) {}
    static constexpr const char* Program = "/usr/bin/microsocks";
    bool Start(const std::string& user = {}, const std::string& password = {});
    uint16_t Port() const { return FPort; }
    // One line per connection it made for a client ("client[N] ...: connected to HOST:PORT").
    std::string Log() const;

private:
    std::filesystem::path FDir;
    LocalDaemon FDaemon;
    uint16_t FPort = 0;
};

} // namespace nxtest
