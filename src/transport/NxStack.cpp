#include "transport/NxStack.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"

namespace {
constexpr const char* kNoStack = "Socket stack not created.";
constexpr const char* kNotAnInteger = "'%s' is not a valid integer value";

// The four parts of a dotted quad: cut at the first three "."; a missing "." leaves
// the rest in the part where it was expected and the later parts empty.
std::array<std::string, 4> SplitQuad(const std::string& text) {
    std::array<std::string, 4> parts;
    std::string rest = text;
    for (int i = 0; i < 3; ++i) {
        const auto dot = rest.find('.');
        if (dot == std::string::npos) {
            parts[i] = rest;
            rest.clear();
        } else {
            parts[i] = rest.substr(0, dot);
            rest.erase(0, dot + 1);
        }
    }
    parts[3] = rest;
    return parts;
}

// A decimal integer, optionally signed. Overlong texts are not numbers for our
// purposes (no address part needs more than a few digits).
bool ParseInt(const std::string& text, int64_t& value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || text.size() - i > 18) return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

std::mutex gStackLock;
int32_t gStackUsers = 0;
std::unique_ptr<TNxStack> gStackOwner;
std::atomic<TNxStack*> gStack{nullptr};
} // namespace

// --- TNxSocketList ---------------------------------------------------------------------

void TNxSocketList::Add(TNxSocketDescriptor descriptor) {
    if (FCount >= NxSock::MaxSocketsInSet) throw ENxStackSetSizeExceeded(NxStrings::SetSizeExceeded);
    FItems[static_cast<size_t>(FCount++)] = descriptor;
}

void TNxSocketList::Remove(TNxSocketDescriptor descriptor) {
    for (int32_t i = 0; i < FCount; ++i) {
        if (FItems[static_cast<size_t>(i)] == descriptor) {
            FItems[static_cast<size_t>(i)] = FItems[static_cast<size_t>(FCount - 1)];
            --FCount;
            return;
        }
    }
}

bool TNxSocketList::Contains(TNxSocketDescriptor descriptor) const {
    return std::find(FItems.begin(), FItems.begin() + FCount, descriptor) != FItems.begin() + FCount;
}

TNxSocketDescriptor TNxSocketList::Item(int32_t index) const {
    if (index < 0 || index >= FCount) throw ENxStackSetSizeExceeded(NxStrings::SetSizeExceeded);
    return FItems[static_cast<size_t>(index)];
}

// --- TNxStack --------------------------------------------------------------------------

TNxStack::TNxStack() = default;
TNxStack::~TNxStack() = default;

std::string TNxStack::LocalAddress() {
    const auto& list = LocalAddresses();
    return list.empty() ? std::string() : list.front();
}

const std::vector<std::string>& TNxStack::LocalAddresses() {
    if (!FLocalAddresses) FLocalAddresses = std::make_unique<std::vector<std::string>>();
    FLocalAddresses->clear();
    FillLocalAddresses(*FLocalAddresses);
    return *FLocalAddresses;
}

std::string TNxStack::ErrorText(int32_t code) {
    // The host-lookup code is not in the common table; it is looked up first.
    const char* text = code == NxErr::HOST_NOT_FOUND_ ? HostNotFoundText : CommonSocketErrorText(code);
    return SocketErrorMessage(code, text);
}

std::string TNxStack::AddressToText(const TNxIPv4Address& address) {
    return Format("%u.%u.%u.%u", unsigned(address[0]), unsigned(address[1]), unsigned(address[2]),
                  unsigned(address[3]));
}

TNxIPv4Address TNxStack::TextToAddress(const std::string& text) {
    TNxIPv4Address result{};
    const auto parts = SplitQuad(text);
    for (size_t i = 0; i < 4; ++i) {
        int64_t value = 0;
        if (!ParseInt(parts[i], value)) throw EConvertError(Format(kNotAnInteger, parts[i].c_str()));
        result[i] = static_cast<uint8_t>(value & 0xFF);
    }
    return result;
}

bool TNxStack::CheckResult(int32_t result, std::initializer_list<int32_t> ignore) {
    if (result != NxSock::SocketError) return false;
    const int32_t code = LastError();
    FLastErrorCode = code;
    if (std::find(ignore.begin(), ignore.end(), code) != ignore.end()) return true;
    RaiseError(code);
}

void TNxStack::RaiseError(int32_t code) {
    throw ENxSocketError(code, ErrorText(code));
}

TNxSocketDescriptor TNxStack::NewSocket(int32_t type, int32_t protocol) {
    const TNxSocketDescriptor d = CreateSocket(NxSock::AfInet, type, protocol);
    if (d == NxSock::InvalidSocket) throw ENxInvalidSocket(NxStrings::CannotAllocateSocket);
    return d;
}

std::string TNxStack::ResolveName(const std::string& host) {
    std::string upper = host;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper == "LOCALHOST") return "127.0.0.1";
    if (IsDottedQuad(host)) return host;
    return HostByName(host);
}

bool TNxStack::IsDottedQuad(const std::string& text) {
    for (const auto& part : SplitQuad(text)) {
        int64_t value = 0;
        if (!ParseInt(part, value) || value < 0 || value > 255) return false;
    }
    return true;
}

// --- the shared stack ----------------------------------------------------------------

std::mutex& NxStackLock() {
    return gStackLock;
}

void NxStackAddUser() {
    std::lock_guard<std::mutex> lock(gStackLock);
    if (gStackUsers == 0) {
        // Created before the count moves, so a stack that cannot start leaves no user behind.
        gStackOwner = CreatePlatformStack();
        gStack.store(gStackOwner.get());
    }
    ++gStackUsers;
}

void NxStackRemoveUser() {
    std::lock_guard<std::mutex> lock(gStackLock);
    if (gStackUsers <= 0) return;
    if (--gStackUsers == 0) {
        gStack.store(nullptr);
        gStackOwner.reset();
    }
}

int32_t NxStackUserCount() {
    std::lock_guard<std::mutex> lock(gStackLock);
    return gStackUsers;
}

TNxStack& NxStack() {
    TNxStack* stack = gStack.load();
    if (!stack) throw ENxStackError(kNoStack);
    return *stack;
}

TNxStack* NxStackInstance() {
    return gStack.load();
}

int32_t TNxStack::NumericServicePort(const std::string& service) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(service.c_str(), &end, 10);
    if (service.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        throw ENxInvalidServiceName(Format(NxStrings::InvalidServiceName, service.c_str()));
    return static_cast<int32_t>(value);
}
