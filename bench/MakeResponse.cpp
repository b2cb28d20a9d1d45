// Writes a stored HTTP response for the raw server: head plus the body of a file,
// framed by Content-Length, by chunks of a fixed size, or by the close.
//   make_response BODY_FILE OUT_FILE length|close|chunked:SIZE
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_response BODY OUT length|close|chunked:SIZE\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!in || !out) return 1;
    std::fseek(in, 0, SEEK_END);
    long size = std::ftell(in);
    std::fseek(in, 0, SEEK_SET);
    std::string mode = argv[3];
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
    size_t chunk = 0;
    if (mode == "length")
        head += "Content-Length: " + std::to_string(size) + "\r\n";
    else if (mode == "close")
        head += "Connection: close\r\n";
    else if (mode.rfind("chunked:", 0) == 0) {
        chunk = std::strtoul(mode.c_str() + 8, nullptr, 10);
        head += "Transfer-Encoding: chunked\r\n";
    } else
        return 2;
    head += "\r\n";
    std::fwrite(head.data(), 1, head.size(), out);
    std::vector<char> buf(chunk ? chunk : 1 << 20);
    for (;;) {
        size_t n = std::fread(buf.data(), 1, buf.size(), in);
        if (n == 0) break;
        if (chunk) std::fprintf(out, "%zx\r\n", n);
        std::fwrite(buf.data(), 1, n, out);
        if (chunk) std::fputs("\r\n", out);
    }
    if (chunk) std::fputs("0\r\n\r\n", out);
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
