#include "http/NxAuthentication.h"

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPStrings.h"

std::string TNxAuthentication::Param(const std::string& name) const {
    const int i = FParams.IndexOfName(name);
    if (i < 0) return {};
    // Read the raw line: the header list's value reader trims, which would change
    // passwords with leading or trailing blanks.
    const std::string& line = FParams.Get(i);
    const size_t start = FParams.NameOfLine(i).size() + FParams.PairSeparator().size();
    return start < line.size() ? line.substr(start) : std::string();
}

void TNxAuthentication::SetParam(const std::string& name, const std::string& value) {
    const int i = FParams.IndexOfName(name);
    if (value.empty()) {
        if (i >= 0) FParams.Delete(i);
        return;
    }
    const std::string line = name + FParams.PairSeparator() + value;
    if (i >= 0)
        FParams.Put(i, line);
    else
        FParams.Add(line);
}

std::string TNxBasicAuthentication::Authentication() {
    return "Basic " + EncodeBase64(Username() + ":" + Password());
}

std::string EncodeBase64(const std::string& data) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t n = (static_cast<uint8_t>(data[i]) << 16) | (static_cast<uint8_t>(data[i + 1]) << 8) |
                           static_cast<uint8_t>(data[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t n = static_cast<uint8_t>(data[i]) << 16;
        if (rest == 2) n |= static_cast<uint8_t>(data[i + 1]) << 8;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

TNxAuthenticationClass NxBasicAuthenticationClass() {
    static const TNxAuthenticationClassInfo info{"TNxBasicAuthentication",
                                                 [] { return std::make_unique<TNxBasicAuthentication>(); }};
    return &info;
}

namespace {

struct TRegistry {
    std::mutex Lock;
    std::vector<std::pair<std::string, TNxAuthenticationClass>> Entries;
};

// Built on first use, so registration from other translation units' static
// initialisers sees the "Basic" entry.
TRegistry& Registry() {
    static TRegistry registry{{}, {{"Basic", NxBasicAuthenticationClass()}}};
    return registry;
}

int FindIndex(const TRegistry& registry, const std::string& methodName) {
    for (size_t i = 0; i < registry.Entries.size(); ++i)
        if (NxSameText(registry.Entries[i].first, methodName)) return static_cast<int>(i);
    return -1;
}

} // namespace

void RegisterAuthenticationMethod(const std::string& methodName, TNxAuthenticationClass authClass) {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    const int i = FindIndex(registry, methodName);
    if (i >= 0)
        throw ENxAlreadyRegisteredAuthenticationMethod(
            Format(NxHTTPStrings::AlreadyRegisteredAuthenticationMethod,
                   registry.Entries[i].second->ClassName.c_str()));
    registry.Entries.emplace_back(methodName, authClass);
}

void UnregisterAuthenticationMethod(const std::string& methodName) {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    const int i = FindIndex(registry, methodName);
    if (i >= 0) registry.Entries.erase(registry.Entries.begin() + i);
}

TNxAuthenticationClass FindAuthMethod(const std::string& methodName) {
    TRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    const int i = FindIndex(registry, methodName);
    return i >= 0 ? registry.Entries[i].second : nullptr;
}
