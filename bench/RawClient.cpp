// The ceiling a client can reach on this machine: sends one GET and receives until the
// server closes, with no parsing at all.
//   raw_client ceiling PORT BYTES   receive into one preallocated buffer of BYTES (+ head)
//   raw_client sink PORT            receive into one reused 32 KiB buffer
// Prints the bytes received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: raw_client ceiling|sink PORT [BYTES]\n");
        return 2;
    }
    bool ceiling = std::strcmp(argv[1], "ceiling") == 0;
    size_t capacity = ceiling && argc > 3 ? std::strtoull(argv[3], nullptr, 10) + 65536 : 32768;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("raw_client");
        return 1;
    }
    const char* request = "GET /body HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request, std::strlen(request), 0) < 0) return 1;
    size_t total = 0;
    for (;;) {
        char* at = ceiling ? buffer.get() + total : buffer.get();
        size_t room = ceiling ? capacity - total : capacity;
        if (room == 0) break;
        ssize_t k = recv(fd, at, room, 0);
        if (k <= 0) break;
        total += static_cast<size_t>(k);
    }
    close(fd);
    std::printf("%zu\n", total);
    return 0;
}
