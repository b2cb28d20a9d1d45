#pragma once
// The socket stack. TNxStack wraps every socket call the transport makes;
// one shared instance exists while any network component (TNxComponent) exists.
//
// Two implementations, chosen at build time by file name:
//   - TNxStackWindows (NxStackWindows.cpp): Winsock 2 loaded by name ("WS2_32.DLL").
//   - TNxStackPosix (NxStackPosix.cpp): BSD sockets, errors mapped onto the Winsock
//     numbers of NxErr (see the table in NxStackPosix.cpp and docs/transport.md).
//
// Conventions: descriptors are 32-bit values, -1 = none; ports are 16-bit values carried
// in 32-bit integers (host order unless a name says otherwise); addresses are
// dotted-quad IPv4 texts. Raw results follow the socket library: -1 means failure and
// the code is then fetched with LastError() (already a Winsock number on both stacks).
#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Exception.h"

using TNxSocketDescriptor = int32_t;

// Numeric values used by the transport. They are the same on Winsock and Linux for all
// entries except the SOL_SOCKET level and its options, which are given per platform.
// Time-outs are milliseconds, but for two values that are no time.
namespace NxTimeout {
// Wait as long as it takes.
inline constexpr int32_t Infinite = -2;
// The connection's own ReadTimeout, where a call may name one of its own instead.
inline constexpr int32_t Default = -1;
} // namespace NxTimeout

namespace NxSock {
inline constexpr TNxSocketDescriptor InvalidSocket = -1;
inline constexpr int32_t SocketError = -1; // the raw failure result
inline constexpr int32_t AfInet = 2;       // address family IPv4
inline constexpr int32_t SockStream = 1;   // stream socket
inline constexpr int32_t SockDgram = 2;    // datagram socket
inline constexpr int32_t IpProtoTcp = 6;   // option level TCP
inline constexpr int32_t TcpNoDelay = 1;   // TCP option: disable Nagle's algorithm
inline constexpr int32_t ShutReceive = 0;  // shutdown how
inline constexpr int32_t ShutSend = 1;
inline constexpr int32_t ShutBoth = 2;
#ifdef _WIN32
inline constexpr int32_t SolSocket = 0xFFFF;
inline constexpr int32_t SoReuseAddr = 0x0004;
inline constexpr int32_t SoKeepAlive = 0x0008;
inline constexpr int32_t SoSndBuf = 0x1001;
inline constexpr int32_t SoRcvBuf = 0x1002;
#else
inline constexpr int32_t SolSocket = 1;
inline constexpr int32_t SoReuseAddr = 2;
inline constexpr int32_t SoKeepAlive = 9;
inline constexpr int32_t SoSndBuf = 7;
inline constexpr int32_t SoRcvBuf = 8;
#endif
inline constexpr int32_t MaxSocketsInSet = 64; // the size of one descriptor set
} // namespace NxSock

using TNxIPv4Address = std::array<uint8_t, 4>;

// A fixed table of at most 64 descriptors with a count, the Winsock descriptor-set
// size; the same table serves both stacks so that the limits behave alike.
// Adding a 65th, or reading an index outside 0 .. Count()-1, raises
// ENxStackSetSizeExceeded "Set Size Exceeded.". Removing moves the last entry into
// the removed one's place.
class TNxSocketList {
public:
    TNxSocketList() = default;
    virtual ~TNxSocketList() = default;

    virtual void Add(TNxSocketDescriptor descriptor);
    virtual void Remove(TNxSocketDescriptor descriptor);
    virtual void Clear() { FCount = 0; }
    virtual int32_t Count() const { return FCount; }
    virtual bool Contains(TNxSocketDescriptor descriptor) const;
    virtual TNxSocketDescriptor Item(int32_t index) const;
    TNxSocketDescriptor operator[](int32_t index) const { return Item(index); }

private:
    std::array<TNxSocketDescriptor, NxSock::MaxSocketsInSet> FItems{};
    int32_t FCount = 0;
};

// The abstract stack.
class TNxStack {
public:
    TNxStack();
    TNxStack(const TNxStack&) = delete;
    TNxStack& operator=(const TNxStack&) = delete;
    virtual ~TNxStack();

    // --- the platform operations ------------------------------------------------------
    // Fill the local-address list (host name, then every address it resolves to);
    // a failed lookup raises through CheckResult(-1).
    virtual void FillLocalAddresses(std::vector<std::string>& list) = 0;
    // The first entry of LocalAddresses (empty when there is none).
    virtual std::string LocalAddress();
    // Created on first use, filled, returned.
    virtual const std::vector<std::string>& LocalAddresses();
    // accept: the new descriptor (or -1), the peer's address and host-order port.
    virtual TNxSocketDescriptor Accept(TNxSocketDescriptor descriptor, std::string& remoteIP,
                                       int32_t& remotePort) = 0;
    // bind to family, port (host order) and IP ("" = any address); raw result.
    virtual int32_t Bind(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                         const std::string& ip) = 0;
    virtual int32_t Close(TNxSocketDescriptor descriptor) = 0;
    // connect to family, port (host order), IP; raw result.
    virtual int32_t Connect(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                            const std::string& ip) = 0;
    // First IPv4 address of the name as dotted quad; a failed lookup raises
    // ENxSocketError through CheckResult(-1) (11001 for a name that does not exist).
    virtual std::string HostByName(const std::string& name) = 0;
    virtual std::string HostName() = 0;
    virtual std::string HostByAddress(const std::string& ip) = 0;
    // Service name or number to host-order port; neither raises ENxInvalidServiceName.
    virtual int32_t ServiceToPort(const std::string& service) = 0;
    // A service given as a number (what both stacks accept when the name service does
    // not know it); raises ENxInvalidServiceName for anything else.
    static int32_t NumericServicePort(const std::string& service);
    // The service name and its aliases for a port; empty when unknown.
    virtual std::vector<std::string> PortToServices(int32_t port) = 0;
    virtual uint16_t HToNs(uint16_t value) = 0;
    virtual int32_t Listen(TNxSocketDescriptor descriptor, int32_t backlog) = 0;
    virtual uint16_t NToHs(uint16_t value) = 0;
    virtual uint32_t HToNl(uint32_t value) = 0;
    virtual uint32_t NToHl(uint32_t value) = 0;
    virtual int32_t Receive(TNxSocketDescriptor descriptor, void* buffer, int32_t length, int32_t flags) = 0;
    virtual int32_t ReceiveFrom(TNxSocketDescriptor descriptor, void* buffer, int32_t length, int32_t flags,
                                std::string& senderIP, int32_t& senderPort) = 0;
    // Any list may be null. milliseconds -2 = no limit. On return each list holds the
    // descriptors its set still holds. Raw result. More than 64 descriptors in one
    // list raises ENxStackSetSizeExceeded.
    virtual int32_t Select(TNxSocketList* readList, TNxSocketList* writeList, int32_t milliseconds,
                           TNxSocketList* errorList) = 0;
    virtual int32_t Send(TNxSocketDescriptor descriptor, const void* buffer, int32_t length,
                         int32_t flags) = 0;
    virtual int32_t SendTo(TNxSocketDescriptor descriptor, const void* buffer, int32_t length, int32_t flags,
                           const std::string& ip, int32_t port) = 0;
    virtual int32_t SetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option,
                              const void* value, int32_t length) = 0;
    // socket(family, type, protocol); -1 on failure.
    virtual TNxSocketDescriptor CreateSocket(int32_t family, int32_t type, int32_t protocol) = 0;
    virtual int32_t Shutdown(TNxSocketDescriptor descriptor, int32_t how) = 0;
    // The socket error message: "Socket Error # %d\r\n%s".
    virtual std::string ErrorText(int32_t code);
    // The calling thread's last socket error, as a Winsock number.
    virtual int32_t LastError() = 0;
    // getpeername / getsockname; a failure raises through CheckResult.
    virtual void PeerName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port,
                          std::string& ip) = 0;
    virtual void LocalName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port,
                           std::string& ip) = 0;
    // getsockopt; length is in/out. Raw result.
    virtual int32_t GetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option, void* value,
                              int32_t& length) = 0;
    // The four bytes in order as decimal numbers joined by ".".
    virtual std::string AddressToText(const TNxIPv4Address& address);
    // The four parts of IsDottedQuad, each converted to an integer and stored as one
    // byte; a part that is not a number raises EConvertError.
    virtual TNxIPv4Address TextToAddress(const std::string& text);

    // --- non-virtual operations -------------------------------------------------------
    // false when result is not -1; else the code goes to LastErrorCode; true when it is
    // in ignore, otherwise ENxSocketError is raised for it.
    bool CheckResult(int32_t result, std::initializer_list<int32_t> ignore = {});
    // Raise ENxSocketError(code, ErrorText(code)).
    [[noreturn]] void RaiseError(int32_t code);
    // CreateSocket(2, type, protocol); -1 raises ENxInvalidSocket "Cannot allocate socket.".
    TNxSocketDescriptor NewSocket(int32_t type, int32_t protocol);
    // "LOCALHOST" (any case) -> "127.0.0.1"; a dotted quad unchanged; else HostByName.
    std::string ResolveName(const std::string& host);
    // Four parts cut at the first three "."; each an integer 0..255.
    static bool IsDottedQuad(const std::string& text);

    // Per stack, not per thread (the library's own last error is per thread).
    int32_t LastErrorCode() const { return FLastErrorCode.load(); }

protected:
    // Atomic: the connect thread judges its result while the calling thread may be
    // running window handlers that make socket calls of their own.
    std::atomic<int32_t> FLastErrorCode{0};

private:
    std::unique_ptr<std::vector<std::string>> FLocalAddresses;
};

// The platform operations, declared once for both stacks. Each build compiles exactly one
// platform file, which implements them: NxStackWindows.cpp (Winsock 2, whose stack class is
// TNxStackWindows) or NxStackPosix.cpp (BSD sockets, TNxStackPosix).
class TNxPlatformStack : public TNxStack {
public:
    void FillLocalAddresses(std::vector<std::string>& list) override;
    TNxSocketDescriptor Accept(TNxSocketDescriptor descriptor, std::string& remoteIP,
                               int32_t& remotePort) override;
    int32_t Bind(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                 const std::string& ip) override;
    int32_t Close(TNxSocketDescriptor descriptor) override;
    int32_t Connect(TNxSocketDescriptor descriptor, int32_t family, int32_t port,
                    const std::string& ip) override;
    std::string HostByName(const std::string& name) override;
    std::string HostName() override;
    std::string HostByAddress(const std::string& ip) override;
    int32_t ServiceToPort(const std::string& service) override;
    std::vector<std::string> PortToServices(int32_t port) override;
    uint16_t HToNs(uint16_t value) override;
    int32_t Listen(TNxSocketDescriptor descriptor, int32_t backlog) override;
    uint16_t NToHs(uint16_t value) override;
    uint32_t HToNl(uint32_t value) override;
    uint32_t NToHl(uint32_t value) override;
    int32_t Receive(TNxSocketDescriptor descriptor, void* buffer, int32_t length, int32_t flags) override;
    int32_t ReceiveFrom(TNxSocketDescriptor descriptor, void* buffer, int32_t length, int32_t flags,
                        std::string& senderIP, int32_t& senderPort) override;
    int32_t Select(TNxSocketList* readList, TNxSocketList* writeList, int32_t milliseconds,
                   TNxSocketList* errorList) override;
    int32_t Send(TNxSocketDescriptor descriptor, const void* buffer, int32_t length, int32_t flags) override;
    int32_t SendTo(TNxSocketDescriptor descriptor, const void* buffer, int32_t length, int32_t flags,
                   const std::string& ip, int32_t port) override;
    int32_t SetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option, const void* value,
                      int32_t length) override;
    TNxSocketDescriptor CreateSocket(int32_t family, int32_t type, int32_t protocol) override;
    int32_t Shutdown(TNxSocketDescriptor descriptor, int32_t how) override;
    int32_t LastError() override;
    void PeerName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port, std::string& ip) override;
    void LocalName(TNxSocketDescriptor descriptor, int32_t& family, int32_t& port, std::string& ip) override;
    int32_t GetOption(TNxSocketDescriptor descriptor, int32_t level, int32_t option, void* value,
                      int32_t& length) override;

protected:
    TNxPlatformStack() = default;
};

// Raised by TextToAddress for a part that is not a number (the platform's conversion
// error).
NX_DECLARE_EXCEPTION(EConvertError, Exception)

// --- the shared stack -----------------------------------------------------------------
// The stack lock guards the count of stack users and the shared instance.
std::mutex& NxStackLock();
// Called by every TNxComponent constructor / destructor: under the stack lock, the first
// user creates the shared stack (CreatePlatformStack) and the last one frees it.
void NxStackAddUser();
void NxStackRemoveUser();
int32_t NxStackUserCount();
// The shared stack; raises ENxStackError when no network component exists.
TNxStack& NxStack();
// The shared stack or null.
TNxStack* NxStackInstance();
// Creates the stack class of the build (TNxStackWindows or TNxStackPosix). Defined in
// the platform file.
std::unique_ptr<TNxStack> CreatePlatformStack();
