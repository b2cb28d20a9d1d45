#pragma once
// The settings of the installer's HTTP client: its request head, its limits and its options.
// The installer applies them to its client, and nxget to its own, so that both ask a server
// the same way.
#include <cstdint>

#include "http/NxHTTP.h"

// A download's stall limit: a read (and a connect) that gets nothing for this long fails, a
// failure worth another attempt, so that a server that stops sending without closing cannot
// hold the download forever.
inline constexpr int32_t NxStallLimitMs = 30000;

// The most a download sizes its buffer for before the bytes come: the product's files are a
// few megabytes, and a Content-Length is only the server's word.
inline constexpr int64_t NxInstallerReserveLimit = 8 * 1024 * 1024;

// The request head's fields (content type, accept, user agent, no credentials, no ranges),
// ReadTimeout = NxStallLimitMs, an over-long reply line as an error, cookies allowed, no proxy,
// hoForceEncodeParams alone, ReserveLimit = NxInstallerReserveLimit. Work events and
// everything else stay as they are.
void NxApplyInstallerSettings(TNxCustomHTTP& http);
