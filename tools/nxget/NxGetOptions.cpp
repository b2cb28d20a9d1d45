#include "NxGetOptions.h"

#include <charconv>

#include "http/NxRetry.h"
#include "transport/NxTCPConnection.h"

namespace {

// One option: its names, the name of its value (none for a flag), where it goes, and its
// help, in which {default} stands for the field's default, {statuses} for the retried
// statuses and {installer} for the installer's receive size. Parsing and the usage text both
// come from this table.
struct TOptionDesign {
    const char* Names;              // "-x, --proxy"
    const char* Value;              // nullptr: a flag
    int32_t TNxGetOptions::*Number; // a number of at least Minimum into this field
    int32_t Minimum;
    // Everything else: sets the option from its value; false with error set when it cannot.
    bool (*Apply)(TNxGetOptions& options, const std::string& value, std::string& error);
    const char* Help;
};

bool NeedsText(const std::string& value, const char* what, std::string& error) {
    if (!value.empty()) return true;
    error = what;
    return false;
}

// clang-format off
const TOptionDesign Options[] = {
    {"-o", "FILE", nullptr, 0,
     [](TNxGetOptions&, const std::string& v, std::string& e) { return NeedsText(v, "option -o needs a file name", e); },
     "the output file of the next URL without one (the i-th -o\ngoes with the i-th URL); other bodies go to standard output"},
    {"-v", nullptr, nullptr, 0, [](TNxGetOptions& o, const std::string&, std::string&) { return o.Verbose = true; },
     "the request and response heads on standard error, and for\nhttps the protocol, cipher and certificate subject"},
    {"--read-timeout", "MS", &TNxGetOptions::ReadTimeout, 0, nullptr,
     "read time-out in milliseconds (default {default}, as the\ninstaller; 0: none)"},
    {"--connect-timeout", "MS", &TNxGetOptions::ConnectTimeout, 0, nullptr,
     "connect time-out in milliseconds (0: none, the default)"},
    {"--max-line", "N", &TNxGetOptions::MaxLineLength, 0, nullptr,
     "longest status or header line accepted (default {default})"},
    {"--retry", "N", &TNxGetOptions::Retries, 0, nullptr,
     "up to N more attempts after a failure that may pass (a refused\nor cut connection, a time-out, {statuses});\na cut body is resumed when the server named a validator"},
    {"--retry-max-wait", "MS", &TNxGetOptions::RetryMaxWait, 0, nullptr,
     "longest wait between attempts (default {default})"},
    {"--cacert", "FILE", nullptr, 0,
     [](TNxGetOptions& o, const std::string& v, std::string& e) {
         o.CACertFile = v;
         return NeedsText(v, "option --cacert needs a file name", e);
     },
     "trust the root certificate(s) of this PEM file as well as\nthe system's, for this run"},
    {"--recv-buffer", "BYTES", &TNxGetOptions::RecvBufferSize, 1, nullptr,
     "bytes asked for in one receive (default {default}; the\ninstaller's client asks for {installer})"},
    {"-x, --proxy", "[SCHEME://][USER:PASSWORD@]HOST[:PORT]", nullptr, 0,
     [](TNxGetOptions& o, const std::string& v, std::string& e) {
         std::string why;
         if (!v.empty() && !ParseProxyURL(v, why)) {
             e = "option -x/--proxy: " + why;
             return false;
         }
         o.Proxy.Proxy = v;
         return true;
     },
     "the proxy of every URL: http (the default; https goes through\na CONNECT tunnel), socks4, socks4a, socks5 or socks5h (the\nproxy resolves the name); port 1080 when none is given; \"\"\nfor none, whatever the variables say"},
    {"--proxy-user", "USER:PASSWORD", nullptr, 0,
     [](TNxGetOptions& o, const std::string& v, std::string&) { return (o.Proxy.ProxyUser = v), true; },
     "the proxy's credentials (instead of those in the proxy URL)"},
    {"--noproxy", "LIST", nullptr, 0,
     [](TNxGetOptions& o, const std::string& v, std::string&) { return (o.Proxy.NoProxy = v), true; },
     "hosts reached without the proxy, comma-separated (a name\ncovers the names under it; * covers all)"},
    {"-h, --help", nullptr, nullptr, 0, [](TNxGetOptions& o, const std::string&, std::string&) { return o.Help = true; },
     "this text"},
};
// clang-format on

constexpr size_t HelpColumn = 24;

bool Named(const TOptionDesign& option, const std::string& arg) {
    const std::string names = option.Names;
    for (size_t start = 0; start < names.size();) {
        size_t end = names.find(", ", start);
        if (end == std::string::npos) end = names.size();
        if (names.compare(start, end - start, arg) == 0) return true;
        start = end + 2;
    }
    return false;
}

bool ParseNumber(const std::string& text, int32_t minimum, int32_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= minimum;
}

void Replace(std::string& text, const std::string& what, const std::string& with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
}

} // namespace

std::string NxGetUsage() {
    const TNxGetOptions defaults;
    std::string usage = "usage: nxget [options] URL [URL ...]\n"
                        "Fetches the URLs in order over one client, as the installer does: connections,\n"
                        "cookies and credentials carry over from one URL to the next.\n\n";
    for (const TOptionDesign& option : Options) {
        std::string left =
            std::string("  ") + option.Names + (option.Value ? std::string(" ") + option.Value : "");
        left += left.size() < HelpColumn ? std::string(HelpColumn - left.size(), ' ')
                                         : "\n" + std::string(HelpColumn, ' ');
        std::string help = option.Help;
        if (option.Number) Replace(help, "{default}", std::to_string(defaults.*option.Number));
        Replace(help, "{statuses}", NxTransientStatusText());
        Replace(help, "{installer}", std::to_string(TNxTCPConnection::DefaultRecvBufferSize));
        Replace(help, "\n", "\n" + std::string(HelpColumn, ' '));
        usage += left + help + "\n";
    }
    return usage + "\n"
                   "Without -x, http URLs take http_proxy, https URLs https_proxy or HTTPS_PROXY, either\n"
                   "(when that is unset) all_proxy or ALL_PROXY; no_proxy or NO_PROXY exempts hosts.\n"
                   "\n"
                   "Exit status: 0 when every URL succeeded, 1 when any failed, 2 for bad usage.\n";
}

std::optional<TNxGetOptions> ParseNxGetArguments(const std::vector<std::string>& args, std::string& error) {
    TNxGetOptions options;
    std::vector<std::string> urls;
    std::vector<std::string> outputs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            urls.push_back(arg);
            continue;
        }
        const TOptionDesign* option = nullptr;
        for (const TOptionDesign& candidate : Options)
            if (Named(candidate, arg)) option = &candidate;
        if (!option) {
            error = "unknown option " + arg;
            return std::nullopt;
        }
        std::string value;
        if (option->Value) {
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (option->Number) {
            if (!ParseNumber(value, option->Minimum, options.*option->Number)) {
                error = "option " + arg + " needs a number of " + std::to_string(option->Minimum) +
                        " or more, not \"" + value + "\"";
                return std::nullopt;
            }
        } else if (!option->Apply(options, value, error)) {
            return std::nullopt;
        }
        if (arg == "-o") outputs.push_back(value);
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
