// nxget: fetches URLs in order with one client set up as the installer's, so that
// connections, cookies and credentials carry over from one URL to the next.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "NxGetOptions.h"
#include "NxGetProxy.h"
#include "NxGetSink.h"
#include "http/NxHTTP.h"
#include "http/NxInstallerSettings.h"
#include "http/NxRetry.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

#if defined(__GLIBC__)
// glibc gives every block of 128 KiB or more a mapping of its own, which the input buffer
// of 128 KiB receives always is. Measured on the benchmark machines, the kernel's copy of a
// receive into such a mapping cost about four times that into heap memory whenever the
// program then read the bytes (a chunked body: 64 MiB in 1 KiB chunks into /dev/null took
// 71 ms, 50 ms on the heap). The buffers nxget keeps are a few hundred KiB.
constexpr int HeapBlockLimit = 8 * 1024 * 1024;
#endif

// The client with a connect time-out of its own (the installer's client connects with its
// read time-out, on the connect thread that its anti-freeze calls for), and the proxy of each
// URL.
class TNxGetHTTP : public TNxProxiedHTTP {
public:
    int32_t ConnectTimeout = TNxGetOptions::DefaultConnectTimeout;
    void OpenConnection(int32_t) override { TNxProxiedHTTP::OpenConnection(ConnectTimeout); }
};

std::optional<std::string> Environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

// The URL's proxy on the client; false (the outcome line written) when it cannot be used.
bool UseProxy(TNxGetHTTP& http, const TNxGetJob& job, const TNxGetOptions& options) {
    const TNxGetProxyChoice choice = ChooseProxy(options.Proxy, job.URL, Environment);
    if (!choice.Error.empty()) {
        std::cerr << job.URL << ": unusable proxy: " << choice.Error << std::endl;
        return false;
    }
    http.SetRoutes({choice.Route});
    if (options.Verbose && !choice.Source.empty()) {
        if (choice.Route.Type == ptDirect)
            std::cerr << "* No proxy for " << TNxURI(job.URL).Host() << " (" << choice.Source << ")\n";
        else
            std::cerr << "* Proxy " << choice.Route.Text() << " (" << choice.Source << ")\n";
    }
    return true;
}

// CR and LF inside a message would break the one-line outcome, and a message may carry
// what a server sent: no control byte reaches the terminal or a log as it is.
std::string OneLine(const std::string& text) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// Each line of a head, prefixed (the final empty line included).
void PrintHead(const std::string& prefix, const std::string& head) {
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        std::cerr << prefix << head.substr(start, end - start) << "\n";
        start = end + 2;
    }
}

std::string ResponseHead(TNxHTTP& http) {
    std::string head = http.Response().StatusLine + "\r\n";
    for (const auto& line : http.Response().HeaderLines().Lines())
        head += line + "\r\n";
    return head + "\r\n";
}

// The failure as the outcome line names it.
std::string FailureText(const std::string& className, const std::string& message, int32_t statusCode) {
    std::string text = className + ": " + OneLine(message);
    if (className == "ENxHTTPProtocolException") text += " [ReplyCode " + std::to_string(statusCode) + "]";
    return text;
}

// The session of each new handshake, once.
void PrintSession(const TNxIOHandlerTLS& tls, int64_t& shown) {
    if (tls.Handshakes() == shown) return;
    shown = tls.Handshakes();
    const TNxTLSSessionInfo& info = tls.SessionInfo();
    std::cerr << "* TLS " << info.Protocol << ", cipher " << info.Cipher << ", certificate subject "
              << info.CertificateSubject << "\n";
}

bool Fetch(TNxGetHTTP& http, const TNxGetJob& job, const TNxGetOptions& options, int64_t& sessionsShown) {
    http.Response().StatusLine.clear();
    if (!UseProxy(http, job, options)) return false;
    std::string failure;
    int64_t bytes = 0;
    try {
        std::unique_ptr<TNxGetOutput> output =
            job.OutputFile.empty() ? TNxGetOutput::ToStandardOutput() : TNxGetOutput::ToFile(job.OutputFile);
        TNxRetryPolicy policy;
        policy.MaxAttempts =
            options.Retries < std::numeric_limits<int32_t>::max() ? options.Retries + 1 : options.Retries;
        policy.MaxWaitMs = options.RetryMaxWait;
        // What went to standard output cannot be taken back: there a cut download is only
        // resumed, never started over.
        policy.StreamCanRestart = output->CanRestart();
        TNxRetryHooks hooks;
        hooks.AfterAttempt = [&](const TNxAttemptReport& report) {
            if (options.Verbose && http.TLSLayer() != nullptr) PrintSession(*http.TLSLayer(), sessionsShown);
            if (options.Verbose && !report.StatusLine.empty()) PrintHead("< ", ResponseHead(http));
            if (!report.WillRetry) return;
            std::cerr << job.URL << ": attempt " << report.Attempt << " of " << report.Attempts << " failed ("
                      << FailureText(report.ExceptionClass, report.Message, report.StatusCode)
                      << "), retrying in " << report.WaitMs << " ms";
            if (report.NextResumeOffset > 0) std::cerr << " from byte " << report.NextResumeOffset;
            std::cerr << std::endl;
        };
        NxGetWithRetry(http, job.URL, output->Stream(), policy, hooks);
        bytes = output->Written();
        output->Commit();
    } catch (const ENxHTTPProtocolException& e) {
        failure = FailureText(e.ClassName(), e.Message(), e.ReplyCode());
    } catch (const Exception& e) {
        failure = FailureText(e.ClassName(), e.Message(), 0);
    } catch (const std::exception& e) {
        failure = FailureText("std::exception", e.what(), 0);
    }
    std::cout.flush();
    if (!failure.empty()) {
        std::cerr << job.URL << ": " << failure << std::endl;
        return false;
    }
    std::cerr << job.URL << ": " << http.StatusLine() << " (" << bytes << " bytes)" << std::endl;
    return true;
}

} // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error, not death
#endif
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, HeapBlockLimit);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto options = ParseNxGetArguments(args, error);
    if (!options) {
        std::cerr << "nxget: " << error << "\n" << NxGetUsage();
        return 2;
    }
    if (options->Help) {
        std::cout << NxGetUsage();
        return 0;
    }
    TNxConnectionIntercept tap; // outlives the client that refers to it
    TNxIOHandlerTLS tls;        // the TLS layer, borrowed by the client: declared before it
    tls.ExtraRootFile = options->CACertFile;
    TNxGetHTTP http;
    http.SetIOHandler(&tls);
    NxApplyInstallerSettings(http); // then nxget sets its own receive size
    http.ReadTimeout = options->ReadTimeout;
    http.ConnectTimeout = options->ConnectTimeout;
    http.MaxLineLength = options->MaxLineLength;
    http.RecvBufferSize = options->RecvBufferSize;
    if (options->Verbose) {
        // Every send of nxget is a request head, written in one piece.
        tap.OnSend = [](TNxTCPConnection*, TNxSimpleBuffer& buffer) {
            PrintHead("> ", std::string(buffer.Memory(), static_cast<size_t>(buffer.Length())));
        };
        http.SetIntercept(&tap);
    }
    bool allGood = true;
    int64_t sessionsShown = 0;
    for (const auto& job : options->Jobs)
        allGood = Fetch(http, job, *options, sessionsShown) && allGood;
    http.SetIntercept(nullptr);
    return allGood ? 0 : 1;
}
