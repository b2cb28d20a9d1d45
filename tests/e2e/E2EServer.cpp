// A small distribution server for the installer's end-to-end runs, for the cases a
// real web server will not play: a body cut off by the server in the middle, and a
// server that trickles bytes. Serves files below a folder, keeps connections alive,
// logs every request line.
//   e2e_server PORT ROOT LOG [--cut URLPATH=BYTES]... [--trickle BYTES_PER_SLICE:MS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {
std::string gRoot;
std::FILE* gLog = nullptr;
std::map<std::string, size_t> gCuts;
size_t gTrickleBytes = 0;
int gTrickleMs = 0;

bool SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

void Serve(int fd) {
    std::string in;
    char buf[4096];
    for (;;) {
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            ssize_t k = recv(fd, buf, sizeof buf, 0);
            if (k <= 0) return;
            in.append(buf, static_cast<size_t>(k));
        }
        std::string head = in.substr(0, end);
        in.erase(0, end + 4);
        std::string line = head.substr(0, head.find("\r\n"));
        std::fprintf(gLog, "%s\n", line.c_str());
        std::fflush(gLog);
        std::istringstream words(line);
        std::string method, target;
        words >> method >> target;
        std::string path = target;
        while (path.size() > 1 && path[0] == '/' && path[1] == '/')
            path.erase(0, 1);
        std::ifstream file(gRoot + path, std::ios::binary);
        std::string body;
        if (path.find("..") == std::string::npos && file) {
            std::ostringstream all;
            all << file.rdbuf();
            body = all.str();
        } else {
            const char* notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
            if (!SendAll(fd, notFound, std::strlen(notFound))) return;
            continue;
        }
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n";
        if (!SendAll(fd, reply.data(), reply.size())) return;
        auto cut = gCuts.find(path);
        size_t limit = cut == gCuts.end() ? body.size() : std::min(cut->second, body.size());
        size_t slice = gTrickleBytes ? gTrickleBytes : limit;
        for (size_t at = 0; at < limit; at += slice) {
            if (!SendAll(fd, body.data() + at, std::min(slice, limit - at))) return;
            if (gTrickleMs) std::this_thread::sleep_for(std::chrono::milliseconds(gTrickleMs));
        }
        if (limit < body.size()) return; // the cut: close in the middle of the body
    }
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: e2e_server PORT ROOT LOG [--cut PATH=BYTES]... [--trickle BYTES:MS]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = std::atoi(argv[1]);
    gRoot = argv[2];
    gLog = std::fopen(argv[3], "a");
    if (!gLog) return 1;
    for (int i = 4; i + 1 < argc; i += 2) {
        std::string opt = argv[i], val = argv[i + 1];
        if (opt == "--cut") {
            auto eq = val.find('=');
            gCuts[val.substr(0, eq)] = std::strtoul(val.c_str() + eq + 1, nullptr, 10);
        } else if (opt == "--trickle") {
            gTrickleBytes = std::strtoul(val.c_str(), nullptr, 10);
            gTrickleMs = std::atoi(val.c_str() + val.find(':') + 1);
        }
    }
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 16) != 0) {
        std::perror("e2e_server");
        return 1;
    }
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread([fd] {
            Serve(fd);
            close(fd);
        }).detach();
    }
}
