#include "transport/NxStackPosix.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"

// errno -> Winsock number. The transport judges failures by Winsock numbers (which codes a
// call site tolerates, which text a message carries), so every native failure is
// reported with the number Winsock gives for the same condition.
//
//   EINTR           10004      EADDRINUSE      10048
//   EBADF           10009      EADDRNOTAVAIL   10049
//   EACCES, EPERM   10013      ENETDOWN        10050
//   EFAULT          10014      ENETUNREACH     10051
//   EINVAL          10022      ENETRESET       10052
//   EMFILE, ENFILE  10024      ECONNABORTED    10053
//   EAGAIN          10035      ECONNRESET      10054
//   EINPROGRESS     10036      EPIPE           10054 (see below)
//   EALREADY        10037      ENOBUFS, ENOMEM 10055
//   ENOTSOCK        10038      EISCONN         10056
//   EDESTADDRREQ    10039      ENOTCONN        10057
//   EMSGSIZE        10040      ESHUTDOWN       10058
//   EPROTOTYPE      10041      ETOOMANYREFS    10059
//   ENOPROTOOPT     10042      ETIMEDOUT       10060
//   EPROTONOSUPPORT 10043      ECONNREFUSED    10061
//   ESOCKTNOSUPPORT 10044      ELOOP           10062
//   EOPNOTSUPP      10045      ENAMETOOLONG    10063
//   EPFNOSUPPORT    10046      EHOSTDOWN       10064
//   EAFNOSUPPORT    10047      EHOSTUNREACH    10065
//                              ENOTEMPTY       10066
//   anything else: the errno value itself (a message with no text).
//
// EPIPE: Linux reports a send on a connection the peer has reset or closed as EPIPE,
// where Winsock reports 10054. (Winsock's 10058 is for a send after our own shutdown,
// which the transport never does: it shuts down sending only right before closing.)
// Either number is tolerated by the send path, which closes the socket and raises.
//
// Name service (getaddrinfo / getnameinfo) -> Winsock:
//   EAI_NONAME 11001 (host not found)   EAI_AGAIN 11002 (try again)
//   EAI_FAIL   11003 (no recovery)      EAI_NODATA, EAI_ADDRFAMILY 11004 (no data)
//   EAI_MEMORY 10055   EAI_SYSTEM: errno as above   others 11003
namespace {
constexpr int32_t kNoRecovery = 11003;
constexpr int32_t kNoData = 11004;

// The calling thread's last failure, as a Winsock number (the library's last-error code is
// per thread on Winsock too, so the connect thread reads its own).
thread_local int32_t tLastError = 0;

int32_t Fail(int error) {
    tLastError = TNxStackPosix::MapErrno(error);
    return NxSock::SocketError;
}

int32_t Judge(int result) {
    return result == -1 ? Fail(errno) : result;
}

sockaddr_in MakeAddress(int32_t family, int32_t port, const std::string& ip) {
    sockaddr_in a{};
    a.sin_family = static_cast<sa_family_t>(family);
    a.sin_port = htons(static_cast<uint16_t>(port));
    // inet_addr, as the Windows stack does: an empty text is any address, an unreadable
    // one the broadcast address, which the call then refuses.
    a.sin_addr.s_addr = ip.empty() ? htonl(INADDR_ANY) : inet_addr(ip.c_str());
    return a;
}

std::string AddressText(const in_addr& addr) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

void ReadAddress(const sockaddr_in& a, int32_t& family, int32_t& port, std::string& ip) {
    family = a.sin_family;
    port = ntohs(a.sin_port);
    ip = AddressText(a.sin_addr);
}

int PollTimeout(int32_t milliseconds) {
    if (milliseconds == -2) return -1;
    return milliseconds < 0 ? 0 : milliseconds;
}
} // namespace

int32_t TNxStackPosix::MapErrno(int error) {
    switch (error) {
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    default:
        return error;
    }
}

int32_t TNxStackPosix::MapResolverError(int error) {
    switch (error) {
    case EAI_NONAME:
        return NxErr::HOST_NOT_FOUND_;
    case EAI_AGAIN:
        return NxErr::TRY_AGAIN_;
    case EAI_FAIL:
        return kNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return kNoData;
#endif
    case EAI_MEMORY:
        return 10055;
    case EAI_SYSTEM:
        return TNxStackPosix::MapErrno(errno);
    default:
        return kNoRecovery;
    }
}

TNxStackPosix::TNxStackPosix() = default;

void TNxPlatformStack::FillLocalAddresses(std::vector<std::string>& list) {
    const std::string name = HostName();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        tLastError = TNxStackPosix::MapResolverError(rc);
        CheckResult(NxSock::SocketError);
    }
    for (addrinfo* p = found; p; p = p->ai_next)
        list.push_back(AddressText(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr));
    freeaddrinfo(found);
}

TNxSocketDescriptor TNxPlatformStack::Accept(TNxSocketDescriptor descriptor, std::string& remoteIP,
                                             int32_t& remotePort) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int d = accept4(descriptor, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (d == -1) return Fail(errno);
    remoteIP = AddressText(a.sin_addr);
    remotePort = ntohs(a.sin_port);
    return d;
}

int32_t TNxPlatformStack::Bind(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                               const std::string& ip) {
    const sockaddr_in a = MakeAddress(family, port, ip);
    return Judge(bind(descriptor, reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

int32_t TNxPlatformStack::Close(TNxSocketDescriptor descriptor) {
    return Judge(close(descriptor));
}

int32_t TNxPlatformStack::Connect(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                                  const std::string& ip) {
    const sockaddr_in a = MakeAddress(family, port, ip);
    return Judge(connect(descriptor, reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

std::string TNxPlatformStack::HostByName(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        tLastError = rc != 0 ? TNxStackPosix::MapResolverError(rc) : NxErr::HOST_NOT_FOUND_;
        CheckResult(NxSock::SocketError);
    }
    std::string result = AddressText(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    freeaddrinfo(found);
    return result;
}

std::string TNxPlatformStack::HostName() {
    char buf[250] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string TNxPlatformStack::HostByAddress(const std::string& ip) {
    const sockaddr_in a = MakeAddress(AF_INET, 0, ip);
    char host[NI_MAXHOST] = {};
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                               NI_NAMEREQD);
    if (rc != 0) {
        tLastError = TNxStackPosix::MapResolverError(rc);
        CheckResult(NxSock::SocketError);
    }
    return host;
}

int32_t TNxPlatformStack::ServiceToPort(const std::string& service) {
    if (const servent* s = getservbyname(service.c_str(), nullptr))
        return ntohs(static_cast<uint16_t>(s->s_port));
    return NumericServicePort(service);
}

std::vector<std::string> TNxPlatformStack::PortToServices(int32_t port) {
    std::vector<std::string> result;
    if (const servent* s = getservbyport(htons(static_cast<uint16_t>(port)), nullptr)) {
        result.emplace_back(s->s_name);
        for (char** alias = s->s_aliases; alias && *alias; ++alias)
            result.emplace_back(*alias);
    }
    return result;
}

uint16_t TNxPlatformStack::HToNs(uint16_t value) {
    return htons(value);
}
uint16_t TNxPlatformStack::NToHs(uint16_t value) {
    return ntohs(value);
}
uint32_t TNxPlatformStack::HToNl(uint32_t value) {
    return htonl(value);
}
uint32_t TNxPlatformStack::NToHl(uint32_t value) {
    return ntohl(value);
}

int32_t TNxPlatformStack::Listen(TNxSocketDescriptor descriptor, int32_t backlog) {
    return Judge(listen(descriptor, backlog));
}

int32_t TNxPlatformStack::Receive(TNxSocketDescriptor descriptor, void* buffer, int32_t length,
                                  int32_t flags) {
    return static_cast<int32_t>(
        Judge(static_cast<int>(recv(descriptor, buffer, static_cast<size_t>(length), flags))));
}

int32_t TNxPlatformStack::ReceiveFrom(TNxSocketDescriptor descriptor, void* buffer, int32_t length,
                                      int32_t flags, std::string& senderIP, int32_t& senderPort) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const ssize_t r = recvfrom(descriptor, buffer, static_cast<size_t>(length), flags,
                               reinterpret_cast<sockaddr*>(&a), &len);
    if (r == -1) return Fail(errno);
    senderIP = AddressText(a.sin_addr);
    senderPort = ntohs(a.sin_port);
    return static_cast<int32_t>(r);
}

// select over poll(): no limit on descriptor numbers, the same readiness rules (a
// peer close or a pending error counts as readable and writable; the error list stands
// for out-of-band data, as in a select exception set).
int32_t TNxPlatformStack::Select(TNxSocketList* readList, TNxSocketList* writeList, int32_t milliseconds,
                                 TNxSocketList* errorList) {
    TNxSocketList* lists[3] = {readList, writeList, errorList};
    const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
    const short seen[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLHUP | POLLERR, POLLPRI};
    struct Entry {
        int list;
        TNxSocketDescriptor d;
    };
    std::vector<pollfd> fds;
    std::vector<Entry> entries;
    for (int l = 0; l < 3; ++l) {
        if (!lists[l]) continue;
        for (int32_t i = 0; i < lists[l]->Count(); ++i) {
            fds.push_back(pollfd{lists[l]->Item(i), wanted[l], 0});
            entries.push_back(Entry{l, lists[l]->Item(i)});
        }
    }
    // A signal breaks off poll (EINTR) whatever its handler's flags; that is no time-out,
    // so the wait goes on with the time that is left.
    int timeout = PollTimeout(milliseconds);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    int rc;
    while ((rc = poll(fds.data(), fds.size(), timeout)) == -1 && errno == EINTR) {
        if (timeout > 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
    }
    if (rc == -1) return Fail(errno);
    for (auto* list : lists)
        if (list) list->Clear();
    int32_t count = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        const short revents = fds[i].revents;
        const int l = entries[i].list;
        // A descriptor that is not open fails the whole call, as Winsock's select does
        // (10038, not a socket).
        if (revents & POLLNVAL) return Fail(ENOTSOCK);
        if (revents & seen[l]) {
            lists[l]->Add(entries[i].d);
            ++count;
        }
    }
    return count;
}

int32_t TNxPlatformStack::Send(TNxSocketDescriptor descriptor, const void* buffer, int32_t length,
                               int32_t flags) {
    // MSG_NOSIGNAL: a send on a connection the peer has closed must fail with an error
    // code, not end the process with SIGPIPE.
    return static_cast<int32_t>(
        Judge(static_cast<int>(send(descriptor, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL))));
}

int32_t TNxPlatformStack::SendTo(TNxSocketDescriptor descriptor, const void* buffer, int32_t length,
                                 int32_t flags, const std::string& ip, int32_t port) {
    const sockaddr_in a = MakeAddress(AF_INET, port, ip);
    return static_cast<int32_t>(
        Judge(static_cast<int>(sendto(descriptor, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&a), sizeof a))));
}

int32_t TNxPlatformStack::SetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option,
                                    const void* value, int32_t length) {
    return Judge(setsockopt(descriptor, level, option, value, static_cast<socklen_t>(length)));
}

TNxSocketDescriptor TNxPlatformStack::CreateSocket(int32_t family, int32_t type, int32_t protocol) {
    return Judge(socket(family, type | SOCK_CLOEXEC, protocol));
}

int32_t TNxPlatformStack::Shutdown(TNxSocketDescriptor descriptor, int32_t how) {
    return Judge(shutdown(descriptor, how));
}

int32_t TNxPlatformStack::LastError() {
    return tLastError;
}

void TNxPlatformStack::PeerName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port,
                                std::string& ip) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    CheckResult(Judge(getpeername(descriptor, reinterpret_cast<sockaddr*>(&a), &len)));
    ReadAddress(a, family, port, ip);
}

void TNxPlatformStack::LocalName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port,
                                 std::string& ip) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    CheckResult(Judge(getsockname(descriptor, reinterpret_cast<sockaddr*>(&a), &len)));
    ReadAddress(a, family, port, ip);
}

int32_t TNxPlatformStack::GetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option,
                                    void* value, int32_t& length) {
    socklen_t len = static_cast<socklen_t>(length);
    const int r = Judge(getsockopt(descriptor, level, option, value, &len));
    length = static_cast<int32_t>(len);
    return r;
}

std::unique_ptr<TNxStack> CreatePlatformStack() {
    return std::make_unique<TNxStackPosix>();
}
