#include "transport/NxSocks.h"

#include <chrono>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxIOHandlerSocket.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxSocketHandle.h"
#include "transport/NxStack.h"

namespace {
using Clock = std::chrono::steady_clock;

// RFC 1928 3, 4 and 6; RFC 1929 2; the SOCKS 4 protocol's request and reply codes.
constexpr uint8_t Socks4Version = 4;
constexpr uint8_t Socks5Version = 5;
constexpr uint8_t CommandConnect = 1;
constexpr uint8_t MethodNone = 0x00;
constexpr uint8_t MethodUserPassword = 0x02;
constexpr uint8_t UserPasswordVersion = 1;
constexpr uint8_t AddressIPv4 = 1;
constexpr uint8_t AddressDomain = 3;
constexpr uint8_t AddressIPv6 = 4;
constexpr size_t IPv4Size = 4;
constexpr size_t IPv6Size = 16;
constexpr size_t PortSize = 2;
constexpr size_t Socks4ReplySize = 8;
constexpr size_t Socks5ReplyHeadSize = 4;
constexpr uint8_t Socks4Granted = 90;
constexpr uint8_t Socks4Rejected = 91;
constexpr uint8_t Socks4NoIdentd = 92;
constexpr uint8_t Socks4IdentMismatch = 93;
// 4A: an address 0.0.0.x with x not 0 says that the host name follows the user id.
constexpr TNxIPv4Address Socks4AMarker = {0, 0, 0, 1};

[[noreturn]] void NoValidReply() {
    throw ENxSocksServerRespondError(NxStrings::SocksServerRespondError);
}

// The proxy's bytes, exactly as many as asked for, within the negotiation's time.
class TExchange {
public:
    TExchange(TNxSocketHandle& handle, int32_t timeout)
        : FHandle(handle),
          FDeadline(Clock::now() +
                    std::chrono::milliseconds(timeout > 0 ? timeout : NxSocks::DefaultTimeout)) {}

    void Send(const std::string& bytes) {
        for (size_t at = 0; at < bytes.size();) {
            const int32_t n = FHandle.Transmit(bytes.data() + at, static_cast<int32_t>(bytes.size() - at));
            if (n <= 0) NxStack().RaiseError(n == 0 ? NxErr::ESHUTDOWN_ : NxStack().LastError());
            at += static_cast<size_t>(n);
        }
    }

    // Never more than count: what follows the reply belongs to the target.
    std::string Receive(size_t count) {
        std::string bytes(count, '\0');
        for (size_t at = 0; at < count;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - Clock::now());
            if (left.count() <= 0 || !FHandle.WaitReadable(static_cast<int32_t>(left.count())))
                NoValidReply();
            const int32_t n = FHandle.Receive(bytes.data() + at, static_cast<int32_t>(count - at));
            if (n == 0) NoValidReply(); // the proxy closed in the middle of its answer
            if (n < 0) NxStack().RaiseError(NxStack().LastError());
            at += static_cast<size_t>(n);
        }
        return bytes;
    }

private:
    TNxSocketHandle& FHandle;
    Clock::time_point FDeadline;
};

std::string PortBytes(int32_t port) {
    return {static_cast<char>((port >> 8) & 0xFF), static_cast<char>(port & 0xFF)};
}

std::string AddressBytes(const TNxIPv4Address& address) {
    return std::string(reinterpret_cast<const char*>(address.data()), address.size());
}

// The target's IPv4 address as resolved here.
TNxIPv4Address ResolveHere(const std::string& host) {
    TNxStack& stack = NxStack();
    return stack.TextToAddress(stack.ResolveName(host));
}

void CheckFieldLength(const std::string& field) {
    if (field.size() > NxSocks::MaxFieldLength)
        throw ENxSocksError(Format(NxStrings::SocksFieldTooLong, static_cast<int>(NxSocks::MaxFieldLength)));
}

void Negotiate4(TExchange& exchange, const TNxSocksInfo& info, const std::string& host, int32_t port) {
    const bool nameAtProxy = info.Version == svSocks4A && !TNxStack::IsDottedQuad(host);
    std::string request{static_cast<char>(Socks4Version), static_cast<char>(CommandConnect)};
    request += PortBytes(port);
    request += AddressBytes(nameAtProxy ? Socks4AMarker : ResolveHere(host));
    request += info.Username + '\0';
    if (nameAtProxy) request += host + '\0';
    exchange.Send(request);
    const std::string reply = exchange.Receive(Socks4ReplySize);
    // The reply's version is 0; some servers repeat the request's 4.
    if (reply[0] != 0 && reply[0] != static_cast<char>(Socks4Version)) NoValidReply();
    switch (static_cast<uint8_t>(reply[1])) {
    case Socks4Granted:
        return;
    case Socks4Rejected:
        throw ENxSocksRequestFailed(NxStrings::SocksRequestFailed);
    case Socks4NoIdentd:
        throw ENxSocksRequestServerFailed(NxStrings::SocksRequestServerFailed);
    case Socks4IdentMismatch:
        throw ENxSocksRequestIdentFailed(NxStrings::SocksRequestIdentFailed);
    default:
        throw ENxSocksUnknownError(Format(NxStrings::SocksUnknownError, static_cast<uint8_t>(reply[1])));
    }
}

// RFC 1928 6: the reply codes after 0 (succeeded).
[[noreturn]] void RaiseReply5(uint8_t code) {
    switch (code) {
    case 1:
        throw ENxSocksServerGeneralError(NxStrings::SocksServerGeneralError);
    case 2:
        throw ENxSocksServerPermissionError(NxStrings::SocksServerPermissionError);
    case 3:
        throw ENxSocksServerNetUnreachableError(NxStrings::SocksServerNetUnreachableError);
    case 4:
        throw ENxSocksServerHostUnreachableError(NxStrings::SocksServerHostUnreachableError);
    case 5:
        throw ENxSocksServerConnectionRefusedError(NxStrings::SocksServerConnectionRefusedError);
    case 6:
        throw ENxSocksServerTTLExpiredError(NxStrings::SocksServerTTLExpiredError);
    case 7:
        throw ENxSocksServerCommandError(NxStrings::SocksServerCommandError);
    case 8:
        throw ENxSocksServerAddressError(NxStrings::SocksServerAddressError);
    default:
        throw ENxSocksUnknownError(Format(NxStrings::SocksUnknownError, code));
    }
}

void Authenticate5(TExchange& exchange, const TNxSocksInfo& info) {
    const bool withPassword = info.Authentication == saUsernamePassword;
    if (withPassword) {
        CheckFieldLength(info.Username);
        CheckFieldLength(info.Password);
    }
    std::string greeting{static_cast<char>(Socks5Version)};
    if (withPassword)
        greeting += {2, static_cast<char>(MethodNone), static_cast<char>(MethodUserPassword)};
    else
        greeting += {1, static_cast<char>(MethodNone)};
    exchange.Send(greeting);
    const std::string choice = exchange.Receive(2);
    if (choice[0] != static_cast<char>(Socks5Version)) NoValidReply();
    const auto method = static_cast<uint8_t>(choice[1]);
    if (method == MethodNone) return;
    // 0xFF (no acceptable method), or one that was not offered.
    if (method != MethodUserPassword || !withPassword)
        throw ENxSocksAuthMethodError(NxStrings::SocksAuthMethodError);
    std::string login{static_cast<char>(UserPasswordVersion), static_cast<char>(info.Username.size())};
    login += info.Username;
    login += static_cast<char>(info.Password.size());
    login += info.Password;
    exchange.Send(login);
    // The status's version is 1; some servers answer with the protocol's 5.
    const std::string status = exchange.Receive(2);
    if (status[0] != static_cast<char>(UserPasswordVersion) && status[0] != static_cast<char>(Socks5Version))
        NoValidReply();
    if (status[1] != 0) throw ENxSocksAuthError(NxStrings::SocksAuthError);
}

void Negotiate5(TExchange& exchange, const TNxSocksInfo& info, const std::string& host, int32_t port) {
    const bool nameAtProxy = info.ResolveAtProxy && !TNxStack::IsDottedQuad(host);
    if (nameAtProxy) CheckFieldLength(host);
    Authenticate5(exchange, info);
    std::string request{static_cast<char>(Socks5Version), static_cast<char>(CommandConnect), 0};
    if (nameAtProxy) {
        request += {static_cast<char>(AddressDomain), static_cast<char>(host.size())};
        request += host;
    } else {
        request += static_cast<char>(AddressIPv4);
        request += AddressBytes(ResolveHere(host));
    }
    request += PortBytes(port);
    exchange.Send(request);
    const std::string head = exchange.Receive(Socks5ReplyHeadSize);
    if (head[0] != static_cast<char>(Socks5Version)) NoValidReply();
    if (head[1] != 0) RaiseReply5(static_cast<uint8_t>(head[1]));
    // The address the proxy bound follows; it is read only to leave the stream at the
    // target's first byte.
    switch (static_cast<uint8_t>(head[3])) {
    case AddressIPv4:
        exchange.Receive(IPv4Size + PortSize);
        break;
    case AddressIPv6:
        exchange.Receive(IPv6Size + PortSize);
        break;
    case AddressDomain:
        exchange.Receive(static_cast<uint8_t>(exchange.Receive(1)[0]) + PortSize);
        break;
    default:
        NoValidReply();
    }
}
} // namespace

void NxSocksNegotiate(TNxSocketHandle& handle, const TNxSocksInfo& info, const std::string& host,
                      int32_t port, int32_t timeout) {
    TExchange exchange(handle, timeout);
    if (info.Version == svSocks5)
        Negotiate5(exchange, info, host, port);
    else
        Negotiate4(exchange, info, host, port);
}
