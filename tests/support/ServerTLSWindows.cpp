#include <stdexcept>

#include "support/ServerTLS.h"

namespace nxtest {

// The Windows tests reach a TLS server run natively beside Wine instead.
std::unique_ptr<ServerTLS> CreateServerTLS(const ServerTLSSettings&) {
    throw std::runtime_error("no server-side TLS on this target");
}

} // namespace nxtest
