#pragma once
// The command line of nxget: options and the URLs in order, each with its output file.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "NxGetProxy.h"
#include "http/NxInstallerSettings.h"
#include "http/NxRetry.h"

struct TNxGetJob {
    std::string URL;
    // Empty: the body goes to standard output.
    std::string OutputFile;
};

struct TNxGetOptions {
    // The installer's stall limit: a read that gets nothing for 30 s fails.
    static constexpr int32_t DefaultReadTimeout = NxStallLimitMs;
    // No limit of its own: a plain connect, which the system bounds.
    static constexpr int32_t DefaultConnectTimeout = 0;
    static constexpr int32_t DefaultMaxLineLength = TNxTCPConnection::DefaultMaxLineLength;
    // No retries: one attempt per URL, as before.
    static constexpr int32_t DefaultRetries = 0;
    // The one setting in which nxget differs from the installer's client (32768): larger
    // receives take a quarter of the system calls for a large body on a fast link.
    static constexpr int32_t DefaultRecvBufferSize = 131072;

    std::vector<TNxGetJob> Jobs;
    bool Verbose = false;
    bool Help = false;
    int32_t ReadTimeout = DefaultReadTimeout;
    int32_t ConnectTimeout = DefaultConnectTimeout;
    int32_t MaxLineLength = DefaultMaxLineLength;
    // Further attempts after a transient failure (curl's --retry: N + 1 attempts at most).
    int32_t Retries = DefaultRetries;
    // The longest single wait between attempts.
    int32_t RetryMaxWait = TNxRetryPolicy::DefaultMaxWaitMs;
    // A PEM file of one more trusted root for https; empty for the system's roots alone.
    std::string CACertFile;
    int32_t RecvBufferSize = DefaultRecvBufferSize;
    // -x/--proxy, --proxy-user and --noproxy (the variables are read per URL).
    TNxGetProxySettings Proxy;
};

// Parses argv[1..]. On bad usage returns nothing and sets error to the reason.
std::optional<TNxGetOptions> ParseNxGetArguments(const std::vector<std::string>& args, std::string& error);

// The usage text, made from the table of options with their defaults.
std::string NxGetUsage();
