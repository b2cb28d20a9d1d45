#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStackWindows.h"
#include "transport/NxSystemLibrary.h"

// The library is never linked: it is loaded from the system folder, and each function is looked up by its
// exported name on its first call. The declarations of <winsock2.h> serve only for the
// function types (decltype does not reference the symbols).
namespace {
constexpr uint32_t kNotInitialised = 10093; // WSANOTINITIALISED

enum Ws2Function {
    fWSAStartup,
    fWSACleanup,
    fWSAGetLastError,
    fsocket,
    fbind,
    fconnect,
    flisten,
    faccept,
    fclosesocket,
    fshutdown,
    frecv,
    fsend,
    frecvfrom,
    fsendto,
    fselect,
    fsetsockopt,
    fgetsockopt,
    fgetsockname,
    fgetpeername,
    fgethostbyname,
    fgethostbyaddr,
    fgethostname,
    fgetservbyname,
    fgetservbyport,
    fhtons,
    fntohs,
    fhtonl,
    fntohl,
    finet_addr,
    fCount
};

constexpr const char* kFunctionNames[fCount] = {
    "WSAStartup",  "WSACleanup",    "WSAGetLastError", "socket",      "bind",          "connect",
    "listen",      "accept",        "closesocket",     "shutdown",    "recv",          "send",
    "recvfrom",    "sendto",        "select",          "setsockopt",  "getsockopt",    "getsockname",
    "getpeername", "gethostbyname", "gethostbyaddr",   "gethostname", "getservbyname", "getservbyport",
    "htons",       "ntohs",         "htonl",           "ntohl",       "inet_addr"};

// The loaded library, its started flag and the remembered addresses. Released at
// program end: the library's cleanup call when it was started, then the library itself.
struct Ws2Library {
    std::mutex lock;
    std::atomic<HMODULE> module{nullptr};
    bool started = false;
    std::atomic<void*> slots[fCount] = {};

    ~Ws2Library();
};

Ws2Library& Library() {
    static Ws2Library library;
    return library;
}

void* Lookup(Ws2Function fn) {
    Ws2Library& lib = Library();
    const HMODULE module = lib.module.load();
    if (!module) throw ENxWS2StubError(Format(NxStrings::WS2CallError, kFunctionNames[fn]), kNotInitialised);
    void* address = lib.slots[fn].load();
    if (!address) {
        address = reinterpret_cast<void*>(GetProcAddress(module, kFunctionNames[fn]));
        if (!address)
            throw ENxWS2StubError(Format(NxStrings::WS2CallError, kFunctionNames[fn]),
                                  static_cast<uint32_t>(GetLastError()));
        lib.slots[fn].store(address);
    }
    return address;
}

template <typename F> F Fn(Ws2Function fn) {
    return reinterpret_cast<F>(Lookup(fn));
}

#define WS2(name) Fn<decltype(&::name)>(f##name)

Ws2Library::~Ws2Library() {
    const HMODULE m = module.load();
    if (!m) return;
    if (started) {
        try {
            WS2(WSACleanup)();
        } catch (...) {
        }
        started = false;
    }
    module.store(nullptr);
    for (auto& slot : slots)
        slot.store(nullptr);
    FreeLibrary(m);
}

sockaddr_in MakeAddress(int32_t family, int32_t port, const std::string& ip) {
    sockaddr_in a{};
    a.sin_family = static_cast<short>(family);
    a.sin_port = WS2(htons)(static_cast<u_short>(port));
    a.sin_addr.s_addr = ip.empty() ? 0 : WS2(inet_addr)(ip.c_str());
    return a;
}

std::string AddressText(const in_addr& addr) {
    const auto* b = reinterpret_cast<const uint8_t*>(&addr.s_addr);
    return Format("%u.%u.%u.%u", unsigned(b[0]), unsigned(b[1]), unsigned(b[2]), unsigned(b[3]));
}

int32_t ToDescriptor(SOCKET s) {
    return s == INVALID_SOCKET ? NxSock::InvalidSocket : static_cast<int32_t>(s);
}

SOCKET ToSocket(TNxSocketDescriptor d) {
    return static_cast<SOCKET>(static_cast<uint32_t>(d));
}

void FillSet(fd_set& set, const TNxSocketList* list) {
    set.fd_count = 0;
    if (!list) return;
    if (list->Count() > FD_SETSIZE) throw ENxStackSetSizeExceeded(NxStrings::SetSizeExceeded);
    for (int32_t i = 0; i < list->Count(); ++i)
        set.fd_array[set.fd_count++] = ToSocket(list->Item(i));
}

void ReadSet(const fd_set& set, TNxSocketList* list) {
    if (!list) return;
    list->Clear();
    for (u_int i = 0; i < set.fd_count; ++i)
        list->Add(ToDescriptor(set.fd_array[i]));
}
} // namespace

TNxStackWindows::TNxStackWindows() {
    Ws2Library& lib = Library();
    std::lock_guard<std::mutex> guard(lib.lock);
    if (!lib.module.load()) {
        std::string why;
        const auto module = static_cast<HMODULE>(NxLoadSystemLibrary(LibraryName, why));
        if (!module)
            throw ENxWS2StubError(Format(NxStrings::WS2LoadError, LibraryName),
                                  static_cast<uint32_t>(GetLastError()));
        lib.module.store(module);
    }
    if (!lib.started) {
        WSADATA data;
        if (WS2(WSAStartup)(MAKEWORD(2, 2), &data) != 0)
            throw ENxStackInitializationFailed(NxStrings::WinsockInitializationError);
        lib.started = true;
    }
}

void TNxPlatformStack::FillLocalAddresses(std::vector<std::string>& list) {
    const std::string name = HostName();
    const hostent* host = WS2(gethostbyname)(name.c_str());
    if (!host) CheckResult(NxSock::SocketError);
    for (char** p = host->h_addr_list; p && *p; ++p)
        list.push_back(AddressText(*reinterpret_cast<in_addr*>(*p)));
}

TNxSocketDescriptor TNxPlatformStack::Accept(TNxSocketDescriptor descriptor, std::string& remoteIP,
                                             int32_t& remotePort) {
    sockaddr_in a{};
    int len = sizeof a;
    const SOCKET s = WS2(accept)(ToSocket(descriptor), reinterpret_cast<sockaddr*>(&a), &len);
    if (s == INVALID_SOCKET) return NxSock::InvalidSocket;
    remoteIP = AddressText(a.sin_addr);
    remotePort = WS2(ntohs)(a.sin_port);
    return ToDescriptor(s);
}

int32_t TNxPlatformStack::Bind(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                               const std::string& ip) {
    const sockaddr_in a = MakeAddress(family, port, ip);
    return WS2(bind)(ToSocket(descriptor), reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

int32_t TNxPlatformStack::Close(TNxSocketDescriptor descriptor) {
    return WS2(closesocket)(ToSocket(descriptor));
}

int32_t TNxPlatformStack::Connect(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                                  const std::string& ip) {
    const sockaddr_in a = MakeAddress(family, port, ip);
    return WS2(connect)(ToSocket(descriptor), reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

std::string TNxPlatformStack::HostByName(const std::string& name) {
    const hostent* host = WS2(gethostbyname)(name.c_str());
    if (!host || !host->h_addr_list || !host->h_addr_list[0]) CheckResult(NxSock::SocketError);
    return AddressText(*reinterpret_cast<in_addr*>(host->h_addr_list[0]));
}

std::string TNxPlatformStack::HostName() {
    char buf[250] = {};
    if (WS2(gethostname)(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::string TNxPlatformStack::HostByAddress(const std::string& ip) {
    const unsigned long addr = WS2(inet_addr)(ip.c_str());
    const hostent* host = WS2(gethostbyaddr)(reinterpret_cast<const char*>(&addr), 4, AF_INET);
    if (!host) CheckResult(NxSock::SocketError);
    return host->h_name ? host->h_name : "";
}

int32_t TNxPlatformStack::ServiceToPort(const std::string& service) {
    if (const servent* s = WS2(getservbyname)(service.c_str(), nullptr))
        return WS2(ntohs)(static_cast<u_short>(s->s_port));
    return NumericServicePort(service);
}

std::vector<std::string> TNxPlatformStack::PortToServices(int32_t port) {
    std::vector<std::string> result;
    if (const servent* s = WS2(getservbyport)(WS2(htons)(static_cast<u_short>(port)), nullptr)) {
        result.emplace_back(s->s_name);
        for (char** alias = s->s_aliases; alias && *alias; ++alias)
            result.emplace_back(*alias);
    }
    return result;
}

uint16_t TNxPlatformStack::HToNs(uint16_t value) {
    return WS2(htons)(value);
}
uint16_t TNxPlatformStack::NToHs(uint16_t value) {
    return WS2(ntohs)(value);
}
uint32_t TNxPlatformStack::HToNl(uint32_t value) {
    return WS2(htonl)(value);
}
uint32_t TNxPlatformStack::NToHl(uint32_t value) {
    return WS2(ntohl)(value);
}

int32_t TNxPlatformStack::Listen(TNxSocketDescriptor descriptor, int32_t backlog) {
    return WS2(listen)(ToSocket(descriptor), backlog);
}

int32_t TNxPlatformStack::Receive(TNxSocketDescriptor descriptor, void* buffer, int32_t length,
                                  int32_t flags) {
    return WS2(recv)(ToSocket(descriptor), static_cast<char*>(buffer), length, flags);
}

int32_t TNxPlatformStack::ReceiveFrom(TNxSocketDescriptor descriptor, void* buffer, int32_t length,
                                      int32_t flags, std::string& senderIP, int32_t& senderPort) {
    sockaddr_in a{};
    int len = sizeof a;
    const int r = WS2(recvfrom)(ToSocket(descriptor), static_cast<char*>(buffer), length, flags,
                                reinterpret_cast<sockaddr*>(&a), &len);
    if (r != SOCKET_ERROR) {
        senderIP = AddressText(a.sin_addr);
        senderPort = WS2(ntohs)(a.sin_port);
    }
    return r;
}

int32_t TNxPlatformStack::Select(TNxSocketList* readList, TNxSocketList* writeList, int32_t milliseconds,
                                 TNxSocketList* errorList) {
    fd_set readSet, writeSet, errorSet;
    FillSet(readSet, readList);
    FillSet(writeSet, writeList);
    FillSet(errorSet, errorList);
    timeval tv{};
    timeval* limit = nullptr;
    if (milliseconds != NxTimeout::Infinite) {
        const int32_t ms = milliseconds < 0 ? 0 : milliseconds;
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
        limit = &tv;
    }
    const int r = WS2(select)(0, readList ? &readSet : nullptr, writeList ? &writeSet : nullptr,
                              errorList ? &errorSet : nullptr, limit);
    ReadSet(readSet, readList);
    ReadSet(writeSet, writeList);
    ReadSet(errorSet, errorList);
    return r;
}

int32_t TNxPlatformStack::Send(TNxSocketDescriptor descriptor, const void* buffer, int32_t length,
                               int32_t flags) {
    return WS2(send)(ToSocket(descriptor), static_cast<const char*>(buffer), length, flags);
}

int32_t TNxPlatformStack::SendTo(TNxSocketDescriptor descriptor, const void* buffer, int32_t length,
                                 int32_t flags, const std::string& ip, int32_t port) {
    const sockaddr_in a = MakeAddress(AF_INET, port, ip);
    return WS2(sendto)(ToSocket(descriptor), static_cast<const char*>(buffer), length, flags,
                       reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

int32_t TNxPlatformStack::SetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option,
                                    const void* value, int32_t length) {
    return WS2(setsockopt)(ToSocket(descriptor), level, option, static_cast<const char*>(value), length);
}

TNxSocketDescriptor TNxPlatformStack::CreateSocket(int32_t family, int32_t type, int32_t protocol) {
    return ToDescriptor(WS2(socket)(family, type, protocol));
}

int32_t TNxPlatformStack::Shutdown(TNxSocketDescriptor descriptor, int32_t how) {
    return WS2(shutdown)(ToSocket(descriptor), how);
}

int32_t TNxPlatformStack::LastError() {
    return WS2(WSAGetLastError)();
}

void TNxPlatformStack::PeerName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port,
                                std::string& ip) {
    sockaddr_in a{};
    int len = sizeof a;
    CheckResult(WS2(getpeername)(ToSocket(descriptor), reinterpret_cast<sockaddr*>(&a), &len));
    family = a.sin_family;
    port = WS2(ntohs)(a.sin_port);
    ip = AddressText(a.sin_addr);
}

void TNxPlatformStack::LocalName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port,
                                 std::string& ip) {
    sockaddr_in a{};
    int len = sizeof a;
    CheckResult(WS2(getsockname)(ToSocket(descriptor), reinterpret_cast<sockaddr*>(&a), &len));
    family = a.sin_family;
    port = WS2(ntohs)(a.sin_port);
    ip = AddressText(a.sin_addr);
}

int32_t TNxPlatformStack::GetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option,
                                    void* value, int32_t& length) {
    int len = length;
    const int r = WS2(getsockopt)(ToSocket(descriptor), level, option, static_cast<char*>(value), &len);
    length = len;
    return r;
}

std::unique_ptr<TNxStack> CreatePlatformStack() {
    return std::make_unique<TNxStackWindows>();
}
