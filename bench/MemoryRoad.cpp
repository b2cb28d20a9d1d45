// The installer's road: one client set up as the installer's downloads a URL into a
// memory stream positioned at 0, as each product file is fetched before it is saved.
//   memory_road URL [OUT_FILE]
// Prints the bytes received; OUT_FILE (after the download, outside what is timed by the
// caller's checks) receives the body so that it can be compared.
#include <cstdio>
#include <exception>
#include <string>

#include "base/Stream.h"
#include "http/NxHTTP.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: memory_road URL [OUT_FILE]\n");
        return 2;
    }
    TNxHTTP http;
    // Without a limit, as the installer's client had it before its stall limit (a read limit
    // is also the connect's, which then runs on the connect thread; that cost a 125 ms slice
    // before the first byte until a slice ended with the connect).
    http.ReadTimeout = 0;
    http.AllowCookies = true;
    http.Request().SetContentType("text/html");
    http.Request().SetAccept("text/html, */*");
    http.Request().SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
    http.HTTPOptions = TNxHTTPOptions{hoForceEncodeParams};
    TMemoryStream body;
    try {
        body.SetPosition(0);
        http.GetInto(argv[1], &body);
        if (argc > 2) body.SaveToFile(argv[2]);
    } catch (const Exception& e) {
        std::fprintf(stderr, "memory_road: %s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "memory_road: %s\n", e.what());
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(body.Size()));
    return 0;
}
