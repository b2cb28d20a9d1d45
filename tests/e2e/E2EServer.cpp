// A small distribution server for the installer's end-to-end runs, for the faults a real
// web server will not play. Serves files below a folder and keeps connections alive.
//   e2e_server PORT ROOT LOG [options]
//   --cut URLPATH=BYTES     every answer for that path closes after BYTES of its body
//   --cut-first             the first answer for each path closes in the middle of its body
//   --cut-random N:SEED     one answer in N closes at a random point of its body
//   --stall URLPATH=BYTES   the first answer for that path stops sending after BYTES of its
//                           body and keeps the connection open (for 120 s)
//   --trickle BYTES:MS      every body goes out in slices of BYTES, MS apart
//   --refuse-first MS       connections are refused for the first MS after the start
//   --corrupt-first URLPATH the first answer for that path has one byte of its body changed
//   --endless URLPATH       every answer for that path has no length and no end: the file's
//                           bytes are sent over and over until the client closes
//   --ranges                "Range: bytes=N-" gets 206 with Content-Range; every answer
//                           carries an ETag and a Last-Modified, and an If-Range that
//                           matches neither gets the whole file (200)
// The log has one line per request, as nginx's of scripts/netns-serve.sh with more fields:
//   <connection> "<request line>" <status> <body bytes sent> range=<Range> if-range=<If-Range>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {
constexpr int kStallSeconds = 120;

std::string gRoot;
std::FILE* gLog = nullptr;
std::map<std::string, size_t> gCuts;
std::map<std::string, size_t> gStalls;
std::set<std::string> gCorruptFirst;
std::set<std::string> gEndless;
bool gCutFirst = false;
unsigned gCutOneIn = 0;
std::mt19937 gRandom;
size_t gTrickleBytes = 0;
int gTrickleMs = 0;
bool gRanges = false;
int gRefuseMs = 0;

std::mutex gLock; // the log, the random numbers and the paths seen
std::set<std::string> gSeen;
std::atomic<unsigned> gConnections{0};

bool SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// The value of a header line of the request head, or "".
std::string HeaderValue(const std::string& head, const std::string& name) {
    std::istringstream lines(head);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) continue;
        if (strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
        size_t start = colon + 1;
        while (start < line.size() && line[start] == ' ')
            ++start;
        return line.substr(start);
    }
    return {};
}

std::string HttpDate(time_t t) {
    char text[64];
    std::tm parts;
    gmtime_r(&t, &parts);
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

// A strong validator from the file's size and contents.
std::string ETagOf(const std::string& body) {
    unsigned long long hash = 1469598103934665603ull;
    for (unsigned char c : body)
        hash = (hash ^ c) * 1099511628211ull;
    char text[64];
    std::snprintf(text, sizeof text, "\"%zx-%llx\"", body.size(), hash);
    return text;
}

void Log(unsigned connection, const std::string& line, int status, size_t bodyBytes, const std::string& range,
         const std::string& ifRange) {
    std::lock_guard<std::mutex> hold(gLock);
    std::fprintf(gLog, "%u \"%s\" %d %zu range=%s if-range=%s\n", connection, line.c_str(), status, bodyBytes,
                 range.c_str(), ifRange.c_str());
    std::fflush(gLog);
}

// Where the body of this answer stops early, and whether the connection then stays open.
struct TFault {
    size_t Limit;
    bool Stall = false;
    bool Corrupt = false;
};

TFault FaultFor(const std::string& path, size_t bodySize) {
    std::lock_guard<std::mutex> hold(gLock);
    const bool first = gSeen.insert(path).second;
    TFault fault{bodySize};
    auto cut = gCuts.find(path);
    if (cut != gCuts.end()) fault.Limit = std::min(cut->second, bodySize);
    if (gCutFirst && first && bodySize > 1) fault.Limit = bodySize / 2;
    auto stall = gStalls.find(path);
    if (stall != gStalls.end() && first) fault = {std::min(stall->second, bodySize), true};
    fault.Corrupt = first && bodySize > 0 && gCorruptFirst.count(path) > 0;
    if (gCutOneIn && bodySize > 1 && gRandom() % gCutOneIn == 0)
        fault.Limit = std::min(fault.Limit, 1 + static_cast<size_t>(gRandom() % (bodySize - 1)));
    return fault;
}

void Serve(int fd, unsigned connection) {
    std::string in;
    char buf[4096];
    for (;;) {
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            ssize_t k = recv(fd, buf, sizeof buf, 0);
            if (k <= 0) return;
            in.append(buf, static_cast<size_t>(k));
        }
        const std::string head = in.substr(0, end + 2);
        in.erase(0, end + 4);
        const std::string line = head.substr(0, head.find("\r\n"));
        const std::string range = HeaderValue(head, "Range");
        const std::string ifRange = HeaderValue(head, "If-Range");
        std::istringstream words(line);
        std::string method, target;
        words >> method >> target;
        std::string path = target;
        while (path.size() > 1 && path[0] == '/' && path[1] == '/')
            path.erase(0, 1);
        std::ifstream file(gRoot + path, std::ios::binary);
        if (path.find("..") != std::string::npos || !file) {
            const char* notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
            Log(connection, line, 404, 9, range, ifRange);
            if (!SendAll(fd, notFound, std::strlen(notFound))) return;
            continue;
        }
        std::ostringstream all;
        all << file.rdbuf();
        const std::string whole = all.str();
        if (gEndless.count(path) > 0) {
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                     "Connection: close\r\n\r\n";
            size_t sent = 0;
            bool ok = SendAll(fd, head.data(), head.size());
            while (ok && !whole.empty() && (ok = SendAll(fd, whole.data(), whole.size())))
                sent += whole.size();
            Log(connection, line, 200, sent, range, ifRange);
            return;
        }
        std::string validators;
        size_t from = 0;
        int status = 200;
        if (gRanges) {
            struct stat info {};
            stat((gRoot + path).c_str(), &info);
            const std::string etag = ETagOf(whole), modified = HttpDate(info.st_mtime);
            validators = "ETag: " + etag + "\r\nLast-Modified: " + modified + "\r\nAccept-Ranges: bytes\r\n";
            const bool current = ifRange.empty() || ifRange == etag || ifRange == modified;
            if (current && range.rfind("bytes=", 0) == 0 && range.back() == '-') {
                from = std::strtoull(range.c_str() + 6, nullptr, 10);
                if (from < whole.size())
                    status = 206;
                else
                    from = 0;
            }
        }
        std::string body = whole.substr(from);
        std::string reply = status == 206 ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        reply += "Content-Type: application/octet-stream\r\n" + validators;
        if (status == 206)
            reply += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(whole.size() - 1) +
                     "/" + std::to_string(whole.size()) + "\r\n";
        reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        TFault fault = FaultFor(path, body.size());
        if (method == "HEAD") fault = {0};
        if (fault.Corrupt) body[body.size() / 2] ^= 0x01;
        size_t sent = 0;
        bool ok = SendAll(fd, reply.data(), reply.size());
        const size_t slice = gTrickleBytes ? gTrickleBytes : fault.Limit;
        for (size_t at = 0; ok && at < fault.Limit; at += slice) {
            const size_t n = std::min(slice, fault.Limit - at);
            ok = SendAll(fd, body.data() + at, n);
            if (ok) sent += n;
            if (ok && gTrickleMs) std::this_thread::sleep_for(std::chrono::milliseconds(gTrickleMs));
        }
        Log(connection, line, status, sent, range, ifRange);
        if (!ok) return;
        if (fault.Stall) {
            // Silent but open: only the client's own time limit ends this.
            for (int i = 0; i < kStallSeconds * 10 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) != 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return;
        }
        if (fault.Limit < body.size() && method != "HEAD") return; // the cut: close in the middle of the body
    }
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(
            stderr,
            "usage: e2e_server PORT ROOT LOG [--cut PATH=BYTES]... [--cut-first] [--cut-random N:SEED]"
            " [--stall PATH=BYTES] [--trickle BYTES:MS] [--refuse-first MS] [--ranges]"
            " [--corrupt-first PATH]... [--endless PATH]...\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = std::atoi(argv[1]);
    gRoot = argv[2];
    gLog = std::fopen(argv[3], "a");
    if (!gLog) return 1;
    for (int i = 4; i < argc; ++i) {
        const std::string opt = argv[i];
        const std::string val = i + 1 < argc ? argv[i + 1] : "";
        if (opt == "--cut-first") {
            gCutFirst = true;
        } else if (opt == "--ranges") {
            gRanges = true;
        } else if (opt == "--cut" || opt == "--stall") {
            auto eq = val.find('=');
            (opt == "--cut" ? gCuts : gStalls)[val.substr(0, eq)] =
                std::strtoul(val.c_str() + eq + 1, nullptr, 10);
            ++i;
        } else if (opt == "--corrupt-first" || opt == "--endless") {
            (opt == "--endless" ? gEndless : gCorruptFirst).insert(val);
            ++i;
        } else if (opt == "--trickle") {
            gTrickleBytes = std::strtoul(val.c_str(), nullptr, 10);
            gTrickleMs = std::atoi(val.c_str() + val.find(':') + 1);
            ++i;
        } else if (opt == "--cut-random") {
            gCutOneIn = static_cast<unsigned>(std::strtoul(val.c_str(), nullptr, 10));
            gRandom.seed(static_cast<unsigned>(std::strtoul(val.c_str() + val.find(':') + 1, nullptr, 10)));
            ++i;
        } else if (opt == "--refuse-first") {
            gRefuseMs = std::atoi(val.c_str());
            ++i;
        } else {
            std::fprintf(stderr, "e2e_server: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Bound but not listening: the system refuses every connection meanwhile.
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("e2e_server");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(gRefuseMs));
    if (listen(ls, 16) != 0) {
        std::perror("e2e_server");
        return 1;
    }
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) continue;
        const unsigned connection = ++gConnections;
        std::thread([fd, connection] {
            Serve(fd, connection);
            close(fd);
        }).detach();
    }
}
