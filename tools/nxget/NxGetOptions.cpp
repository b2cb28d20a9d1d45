#include "NxGetOptions.h"

#include <charconv>

const char* const NxGetUsage =
    "usage: nxget [options] URL [URL ...]\n"
    "Fetches the URLs in order over one client, as the installer does: connections,\n"
    "cookies and credentials carry over from one URL to the next.\n"
    "\n"
    "  -o FILE               the output file of the next URL without one (the i-th -o\n"
    "                        goes with the i-th URL); other bodies go to standard output\n"
    "  -v                    the request and response heads on standard error, and for\n"
    "                        https the protocol, cipher and certificate subject\n"
    "  --read-timeout MS     read time-out in milliseconds (default 30000, as the\n"
    "                        installer; 0: none)\n"
    "  --connect-timeout MS  connect time-out in milliseconds (0: none, the default)\n"
    "  --max-line N          longest status or header line accepted (default 16384)\n"
    "  --retry N             up to N more attempts after a failure that may pass (a refused\n"
    "                        or cut connection, a time-out, 408, 429, 500, 502, 503, 504);\n"
    "                        a cut body is resumed when the server named a validator\n"
    "  --retry-max-wait MS   longest wait between attempts (default 30000)\n"
    "  --cacert FILE         trust the root certificate(s) of this PEM file as well as\n"
    "                        the system's, for this run\n"
    "  --recv-buffer BYTES   bytes asked for in one receive (default 131072; the\n"
    "                        installer's client asks for 32768)\n"
    "  -x, --proxy [SCHEME://][USER:PASSWORD@]HOST[:PORT]\n"
    "                        the proxy of every URL: http (the default; https goes through\n"
    "                        a CONNECT tunnel), socks4, socks4a, socks5 or socks5h (the\n"
    "                        proxy resolves the name); port 1080 when none is given; \"\"\n"
    "                        for none, whatever the variables say\n"
    "  --proxy-user USER:PASSWORD\n"
    "                        the proxy's credentials (instead of those in the proxy URL)\n"
    "  --noproxy LIST        hosts reached without the proxy, comma-separated (a name\n"
    "                        covers the names under it; * covers all)\n"
    "  -h, --help            this text\n"
    "\n"
    "Without -x, http URLs take http_proxy, https URLs https_proxy or HTTPS_PROXY, either\n"
    "(when that is unset) all_proxy or ALL_PROXY; no_proxy or NO_PROXY exempts hosts.\n"
    "\n"
    "Exit status: 0 when every URL succeeded, 1 when any failed, 2 for bad usage.\n";

namespace {

bool ParseNonNegative(const std::string& text, int32_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= 0;
}

} // namespace

std::optional<TNxGetOptions> ParseNxGetArguments(const std::vector<std::string>& args, std::string& error) {
    TNxGetOptions options;
    std::vector<std::string> urls;
    std::vector<std::string> outputs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](int32_t& out) {
            std::string text;
            if (!value(text)) return false;
            if (!ParseNonNegative(text, out)) {
                error = "option " + arg + " needs a number of 0 or more, not \"" + text + "\"";
                return false;
            }
            return true;
        };
        if (arg == "-o") {
            std::string file;
            if (!value(file)) return std::nullopt;
            if (file.empty()) {
                error = "option -o needs a file name";
                return std::nullopt;
            }
            outputs.push_back(file);
        } else if (arg == "-v") {
            options.Verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            options.Help = true;
        } else if (arg == "--read-timeout") {
            if (!number(options.ReadTimeout)) return std::nullopt;
        } else if (arg == "--connect-timeout") {
            if (!number(options.ConnectTimeout)) return std::nullopt;
        } else if (arg == "--max-line") {
            if (!number(options.MaxLineLength)) return std::nullopt;
        } else if (arg == "--retry") {
            if (!number(options.Retries)) return std::nullopt;
        } else if (arg == "--retry-max-wait") {
            if (!number(options.RetryMaxWait)) return std::nullopt;
        } else if (arg == "--cacert") {
            if (!value(options.CACertFile)) return std::nullopt;
            if (options.CACertFile.empty()) {
                error = "option --cacert needs a file name";
                return std::nullopt;
            }
        } else if (arg == "--recv-buffer") {
            if (!number(options.RecvBufferSize)) return std::nullopt;
            if (options.RecvBufferSize == 0) {
                error = "option --recv-buffer needs a number of 1 or more";
                return std::nullopt;
            }
        } else if (arg == "-x" || arg == "--proxy") {
            std::string proxy;
            if (!value(proxy)) return std::nullopt;
            std::string why;
            if (!proxy.empty() && !ParseProxyURL(proxy, why)) {
                error = "option " + arg + ": " + why;
                return std::nullopt;
            }
            options.Proxy.Proxy = proxy;
        } else if (arg == "--proxy-user") {
            std::string user;
            if (!value(user)) return std::nullopt;
            options.Proxy.ProxyUser = user;
        } else if (arg == "--noproxy") {
            std::string list;
            if (!value(list)) return std::nullopt;
            options.Proxy.NoProxy = list;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return std::nullopt;
        } else {
            urls.push_back(arg);
        }
    }
    if (options.Help) return options;
    if (urls.empty()) {
        error = "no URL given";
        return std::nullopt;
    }
    if (outputs.size() > urls.size()) {
        error = "more -o options than URLs";
        return std::nullopt;
    }
    for (size_t i = 0; i < urls.size(); ++i)
        options.Jobs.push_back({urls[i], i < outputs.size() ? outputs[i] : std::string()});
    return options;
}
