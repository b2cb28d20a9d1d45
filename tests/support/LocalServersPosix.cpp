#include "support/LocalServers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/NxgetRun.h"
#include "support/ScriptedServer.h"
#include "transport/NxException.h"
#include "transport/NxTCPClient.h"

extern char** environ;

namespace fs = std::filesystem;

namespace nxtest {

namespace {
// A server that is given a port somebody else took in the meantime fails to start: another is
// tried, at most this often.
constexpr int kStartAttempts = 3;
constexpr int kStartWaitMs = 5000;
constexpr int kStopWaitMs = 5000;
constexpr int kPollMs = 20;

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Runs start with fresh ports until it succeeds.
template <class F> bool WithFreshPorts(F start) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt)
        if (start()) return true;
    return false;
}
} // namespace

bool AcceptsConnections(uint16_t port) {
    TNxTCPClient probe;
    probe.SetHost("127.0.0.1");
    probe.SetPort(port);
    try {
        probe.OpenConnection(); // a plain connect: on loopback it is answered at once
        probe.CloseConnection();
        return true;
    } catch (const Exception&) {
        return false;
    }
}

bool LocalDaemon::Start(const std::vector<std::string>& argv, const fs::path& outputFile,
                        const std::vector<uint16_t>& ports, int stopSignal) {
    Stop();
    FStopSignal = stopSignal;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&FPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        FPid = -1;
        return false;
    }
    for (int waited = 0; waited < kStartWaitMs; waited += kPollMs) {
        bool all = true;
        for (uint16_t port : ports)
            all = all && AcceptsConnections(port);
        if (all) return true;
        if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
            FPid = -1;
            return false;
        }
        Sleep(kPollMs);
    }
    Stop();
    return false;
}

void LocalDaemon::Stop() {
    if (FPid <= 0) return;
    kill(FPid, FStopSignal);
    for (int waited = 0; waited < kStopWaitMs; waited += kPollMs) {
        if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
            FPid = -1;
            return;
        }
        Sleep(kPollMs);
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
}

bool NginxServer::Start(const fs::path& root, const std::string& tlsCert, const std::string& tlsKey) {
    const std::string d = FDir.string();
    fs::create_directories(FDir / "tmp");
    return WithFreshPorts([&] {
        FPort = UnusedLocalPort();
        FTLSPort = tlsCert.empty() ? 0 : UnusedLocalPort();
        std::string listen =
            "  server { listen 127.0.0.1:" + std::to_string(FPort) + "; root " + root.string() + "; }\n";
        if (FTLSPort != 0)
            listen += "  server { listen 127.0.0.1:" + std::to_string(FTLSPort) + " ssl; ssl_certificate " +
                      tlsCert + "; ssl_certificate_key " + tlsKey + "; root " + root.string() + "; }\n";
        WriteFile(FDir / "nginx.conf",
                  "daemon off;\nmaster_process off;\npid " + d + "/nginx.pid;\nerror_log " + d +
                      "/error.log;\n" + "events { worker_connections 64; }\nhttp {\n" +
                      "  log_format conn '$connection $status $request';\n  access_log " + d +
                      "/access.log conn;\n" + "  client_body_temp_path " + d + "/tmp;\n  proxy_temp_path " +
                      d + "/tmp;\n" + "  fastcgi_temp_path " + d + "/tmp;\n  uwsgi_temp_path " + d +
                      "/tmp;\n" + "  scgi_temp_path " + d + "/tmp;\n" +
                      "  types { application/octet-stream bin exe dll; text/plain txt; }\n" + listen + "}\n");
        std::vector<uint16_t> ports{FPort};
        if (FTLSPort != 0) ports.push_back(FTLSPort);
        return FDaemon.Start({Program, "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"},
                             FDir / "nginx.out", ports);
    });
}

std::string NginxServer::ErrorLog() const {
    return ReadFile(FDir / "error.log");
}

std::vector<std::string> NginxServer::LoggedConnections(size_t expected) const {
    std::vector<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        ids.clear();
        std::istringstream log(ReadFile(FDir / "access.log"));
        for (std::string line; std::getline(log, line);)
            ids.push_back(line.substr(0, line.find(' ')));
        if (ids.size() >= expected) break;
        Sleep(kPollMs);
    }
    return ids;
}

bool SquidProxy::Start(const std::string& user, const std::string& password) {
    // squid started by root works as the user "proxy": its folder must be open to it.
    fs::create_directories(FDir);
    fs::permissions(FDir, fs::perms::all);
    const std::string d = FDir.string();
    // The password file of the Basic helper: the user name and an MD5 crypt of the password.
    const std::string hashCommand = "openssl passwd -apr1 '" + password + "' > " + d + "/hash";
    if (std::system(hashCommand.c_str()) != 0) return false;
    std::string hash = ReadFile(FDir / "hash");
    if (!hash.empty() && hash.back() == '\n') hash.pop_back();
    WriteFile(FDir / "passwd", user + ":" + hash + "\n");
    fs::permissions(FDir / "passwd", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    return WithFreshPorts([&] {
        FOpenPort = UnusedLocalPort();
        FAuthPort = UnusedLocalPort();
        WriteFile(FDir / "squid.conf",
                  "http_port 127.0.0.1:" + std::to_string(FOpenPort) +
                      "\nhttp_port 127.0.0.1:" + std::to_string(FAuthPort) + " name=auth\npid_filename " + d +
                      "/squid.pid\ncache deny all\ncache_mem 8 MB\naccess_log stdio:" + d +
                      "/access.log squid\ncache_log " + d +
                      "/cache.log\ncache_store_log none\ncoredump_dir " + d +
                      "\npinger_enable off\nshutdown_lifetime 0 seconds\nstrip_query_terms off\n"
                      "auth_param basic program /usr/lib/squid/basic_ncsa_auth " +
                      d +
                      "/passwd\nauth_param basic children 1 startup=1 idle=1\nauth_param basic realm nxtest\n"
                      "acl authport myportname auth\nacl users proxy_auth REQUIRED\n"
                      "http_access allow authport users\nhttp_access deny authport\n"
                      "http_access allow localhost\nhttp_access deny all\n");
        // squid takes 2.5 s to stop on SIGTERM even with shutdown_lifetime 0; nothing it holds
        // is worth the wait (its helper ends when its pipe from squid closes).
        return FDaemon.Start({Program, "-N", "-f", d + "/squid.conf"}, FDir / "squid.out",
                             {FOpenPort, FAuthPort}, SIGKILL);
    });
}

std::string SquidProxy::AccessLog() const {
    return ReadFile(FDir / "access.log");
}

bool MicrosocksProxy::Start(const std::string& user, const std::string& password) {
    fs::create_directories(FDir);
    return WithFreshPorts([&] {
        FPort = UnusedLocalPort();
        std::vector<std::string> argv{Program, "-i", "127.0.0.1", "-p", std::to_string(FPort)};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
        return FDaemon.Start(argv, FDir / "microsocks.log", {FPort});
    });
}

std::string MicrosocksProxy::Log() const {
    return ReadFile(FDir / "microsocks.log");
}

} // namespace nxtest
