// Sends one stored response (head and body, as a file) to every request, with sendfile,
// so that the server is never what a benchmark measures. Keeps the connection alive
// unless told to close after each response (bodies delimited by the close).
//   raw_server PORT RESPONSE_FILE [close]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {
// Reads one request head; wantsClose tells whether it asked for "Connection: close".
bool ReadRequest(int fd, std::string& pending, bool& wantsClose) {
    char buf[4096];
    for (;;) {
        size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            wantsClose = pending.substr(0, end).find("Connection: close") != std::string::npos;
            pending.erase(0, end + 4);
            return true;
        }
        ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k <= 0) return false;
        pending.append(buf, static_cast<size_t>(k));
    }
}

void Serve(int fd, const char* file, bool closeAfter) {
    std::string pending;
    bool wantsClose = false;
    while (ReadRequest(fd, pending, wantsClose)) {
        int in = open(file, O_RDONLY);
        if (in < 0) return;
        struct stat st;
        fstat(in, &st);
        off_t off = 0;
        while (off < st.st_size)
            if (sendfile(fd, in, &off, static_cast<size_t>(st.st_size - off)) <= 0) break;
        close(in);
        if (closeAfter || wantsClose || off < st.st_size) return;
    }
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: raw_server PORT RESPONSE_FILE [close]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    bool closeAfter = argc > 3 && std::strcmp(argv[3], "close") == 0;
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 64) != 0) {
        std::perror("raw_server");
        return 1;
    }
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread([fd, file = argv[2], closeAfter] {
            Serve(fd, file, closeAfter);
            shutdown(fd, SHUT_WR);
            close(fd);
        }).detach();
    }
}
