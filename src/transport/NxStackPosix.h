#pragma once
// The socket stack over BSD sockets (the native build). Every failure is reported with
// the Winsock number of the same condition, so messages keep their numbers on both
// targets; the table is in NxStackPosix.cpp.
#include "transport/NxStack.h"

class TNxStackPosix : public TNxStack {
public:
    TNxStackPosix();

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

    // The Winsock number for an errno value; a value with no counterpart is returned
    // unchanged (its message then has no text).
    static int32_t MapErrno(int error);
    // The Winsock number for a getaddrinfo/getnameinfo result (EAI_*).
    static int32_t MapResolverError(int error);
};
