#include "http/NxManifest.h"

#include <algorithm>
#include <limits>
#include <set>

#include "base/Format.h"
#include "http/NxAuthentication.h"

namespace NxManifestStrings {
inline constexpr const char* Line = "Manifest line %d: %s";
inline constexpr const char* TooLarge = "Manifest larger than %lld bytes";
inline constexpr const char* BadByte = "Manifest byte %lld is 0x%02X: only printable ASCII and LF may appear";
inline constexpr const char* NoFinalLF = "Manifest does not end with a line feed";
inline constexpr const char* Missing = "Manifest ends before its %s line";
inline constexpr const char* Unsigned = "Manifest signature does not verify under any of the %d keys";
inline constexpr const char* Expired = "Manifest expired at %s (now %s)";
inline constexpr const char* OldSerial = "Manifest serial %llu is below %llu";
inline constexpr const char* NoKeys = "No public key in the key text";
inline constexpr const char* TooManyKeys = "%d public keys in the key text: at most %d";
inline constexpr const char* PrivateKey = "The key text holds a private key: give the public key only";
inline constexpr const char* BadKey = "Public key %d is no P-256 public key";
inline constexpr const char* OpenBlock = "Public key %d has no END line";
} // namespace NxManifestStrings

namespace {
using namespace NxManifestStrings;

constexpr const char* SerialWord = "serial ";
constexpr const char* ExpiresWord = "expires ";
constexpr const char* FileWord = "file ";
constexpr const char* SignatureWord = "signature ";
constexpr const char* BeginPublicKey = "-----BEGIN PUBLIC KEY-----";
constexpr const char* EndPublicKey = "-----END PUBLIC KEY-----";
constexpr int64_t SecondsPerDay = 86400;

// The DER of a P-256 key's SubjectPublicKeyInfo up to its point (RFC 5480).
constexpr unsigned char P256KeyInfoPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                               0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                               0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

[[noreturn]] void Refuse(TNxManifestFault fault, const std::string& message) {
    throw ENxManifestError(fault, message);
}

[[noreturn]] void RefuseLine(int line, const std::string& why) {
    Refuse(mfFormat, Format(Line, line, why.c_str()));
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A decimal number without sign, blank or leading zero, up to max.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(ch - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool ParseHex(const std::string& text, TNxSHA256Digest& digest) {
    if (text.size() != digest.size() * 2) return false;
    auto nibble = [](char ch) {
        return ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
    };
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// Standard base64 with padding, in its one canonical spelling (no line breaks, unused bits
// zero): anything that does not encode back to itself is refused.
bool DecodeBase64(const std::string& text, std::string& out) {
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return false;
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (char ch : text) {
        if (ch == '=') {
            ++padding;
            continue;
        }
        const char* at = std::char_traits<char>::find(Alphabet, 64, ch);
        if (at == nullptr || padding > 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(at - Alphabet);
        if (++count == 4) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (padding > 2) return false;
    if (count == 2) out += static_cast<char>(bits >> 4);
    if (count == 3) {
        out += static_cast<char>(bits >> 10);
        out += static_cast<char>(bits >> 2);
    }
    return EncodeBase64(out) == text;
}

// A path as the manifest may name it.
bool ValidPath(const std::string& path) {
    if (path.empty() || path.size() > NxManifestMaxPathLength) return false;
    if (path.find('\\') != std::string::npos || path.find(' ') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string part =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (the usual era
// arithmetic: years of 400 and days of 146097).
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = year / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
    days += 719468;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yearOfEra + era * 400 + (month <= 2);
}

int DaysInMonth(int64_t year, int month) {
    static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : Days[month - 1];
}

// The lines of text; it ends with LF, so the last piece after it is empty and dropped.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

} // namespace

const TNxManifestEntry* TNxManifest::Find(const std::string& path) const {
    for (const TNxManifestEntry& entry : Files)
        if (entry.Path == path) return &entry;
    return nullptr;
}

std::string TNxManifest::Body() const {
    std::string text = std::string(NxManifestFormatLine) + "\n";
    text += SerialWord + std::to_string(Serial) + "\n";
    text += ExpiresWord + NxFormatManifestTime(Expires) + "\n";
    for (const TNxManifestEntry& entry : Files)
        text +=
            FileWord + entry.Path + " " + std::to_string(entry.Size) + " " + NxHexDigest(entry.SHA256) + "\n";
    return text;
}

TNxSignedManifest NxParseManifest(const std::string& text) {
    if (static_cast<int64_t>(text.size()) > NxManifestMaxBytes)
        Refuse(mfFormat, Format(TooLarge, static_cast<long long>(NxManifestMaxBytes)));
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte != '\n' && (byte < 0x20 || byte > 0x7E))
            Refuse(mfFormat, Format(BadByte, static_cast<long long>(i), static_cast<unsigned>(byte)));
    }
    if (!text.empty() && text.back() != '\n') Refuse(mfFormat, NoFinalLF);
    const std::vector<std::string> lines = Lines(text);
    const char* const headings[] = {"format", "serial", "expires", "signature"};
    if (lines.size() < 4) Refuse(mfFormat, Format(Missing, headings[lines.size()]));

    TNxSignedManifest result;
    TNxManifest& manifest = result.Manifest;
    if (lines[0] != NxManifestFormatLine) RefuseLine(1, Format("expected \"%s\"", NxManifestFormatLine));
    if (!StartsWith(lines[1], SerialWord) ||
        !ParseNumber(lines[1].substr(7), std::numeric_limits<uint64_t>::max(), manifest.Serial))
        RefuseLine(2, "expected \"serial\" and a decimal number");
    if (!StartsWith(lines[2], ExpiresWord) || !NxParseManifestTime(lines[2].substr(8), manifest.Expires))
        RefuseLine(3, "expected \"expires\" and a time YYYY-MM-DDTHH:MM:SSZ");

    std::set<std::string> seen;
    const size_t last = lines.size() - 1;
    for (size_t i = 3; i < last; ++i) {
        const int number = static_cast<int>(i + 1);
        const std::string& line = lines[i];
        if (!StartsWith(line, FileWord)) RefuseLine(number, "expected a file line or the signature line");
        const std::string fields = line.substr(5);
        const size_t first = fields.find(' '), second = fields.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos ||
            fields.find(' ', second + 1) != std::string::npos)
            RefuseLine(number, "expected \"file\", a path, a size and a SHA-256");
        TNxManifestEntry entry;
        entry.Path = fields.substr(0, first);
        uint64_t size = 0;
        if (!ValidPath(entry.Path)) RefuseLine(number, "\"" + entry.Path + "\" is not a valid path");
        if (!ParseNumber(fields.substr(first + 1, second - first - 1),
                         static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), size))
            RefuseLine(number, "the size is no decimal number");
        if (!ParseHex(fields.substr(second + 1), entry.SHA256))
            RefuseLine(number, "the SHA-256 is not 64 lower-case hex digits");
        if (!seen.insert(entry.Path).second) RefuseLine(number, "\"" + entry.Path + "\" is listed twice");
        entry.Size = static_cast<int64_t>(size);
        manifest.Files.push_back(std::move(entry));
    }

    const std::string& signature = lines[last];
    std::string bytes;
    if (!StartsWith(signature, SignatureWord) || !DecodeBase64(signature.substr(10), bytes) ||
        bytes.size() != result.Signature.size())
        RefuseLine(static_cast<int>(last + 1), "expected \"signature\" and the base64 of 64 bytes");
    std::copy(bytes.begin(), bytes.end(), result.Signature.begin());
    result.SignedText = text.substr(0, text.size() - signature.size() - 1);
    return result;
}

TNxManifest NxVerifyManifest(const std::string& text, const std::vector<TNxP256PublicKey>& keys, int64_t now,
                             uint64_t minSerial) {
    TNxSignedManifest parsed = NxParseManifest(text);
    const TNxSHA256Digest digest = NxSHA256(parsed.SignedText.data(), parsed.SignedText.size());
    const bool good = std::any_of(keys.begin(), keys.end(), [&](const TNxP256PublicKey& key) {
        return NxVerifyP256(key, digest, parsed.Signature);
    });
    if (!good) Refuse(mfSignature, Format(Unsigned, static_cast<int>(keys.size())));
    const TNxManifest& manifest = parsed.Manifest;
    if (now >= manifest.Expires)
        Refuse(mfExpired, Format(Expired, NxFormatManifestTime(manifest.Expires).c_str(),
                                 NxFormatManifestTime(now).c_str()));
    if (manifest.Serial < minSerial)
        Refuse(mfSerial, Format(OldSerial, static_cast<unsigned long long>(manifest.Serial),
                                static_cast<unsigned long long>(minSerial)));
    return std::move(parsed.Manifest);
}

std::string NxManifestSignatureLine(const TNxP256Signature& signature) {
    return SignatureWord + EncodeBase64(std::string(signature.begin(), signature.end())) + "\n";
}

std::vector<TNxP256PublicKey> NxParsePublicKeys(const std::string& pem) {
    if (pem.find("PRIVATE KEY") != std::string::npos) Refuse(mfKeys, PrivateKey);
    std::vector<TNxP256PublicKey> keys;
    size_t at = 0;
    for (size_t begin; (begin = pem.find(BeginPublicKey, at)) != std::string::npos;) {
        const int number = static_cast<int>(keys.size() + 1);
        const size_t start = begin + std::char_traits<char>::length(BeginPublicKey);
        const size_t end = pem.find(EndPublicKey, start);
        if (end == std::string::npos) Refuse(mfKeys, Format(OpenBlock, number));
        std::string base64;
        for (char ch : pem.substr(start, end - start))
            if (ch != '\n' && ch != '\r') base64 += ch;
        std::string der;
        if (!DecodeBase64(base64, der) || der.size() != sizeof(P256KeyInfoPrefix) + NxP256KeySize ||
            !std::equal(std::begin(P256KeyInfoPrefix), std::end(P256KeyInfoPrefix), der.begin(),
                        [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); }))
            Refuse(mfKeys, Format(BadKey, number));
        TNxP256PublicKey key{};
        std::copy(der.end() - NxP256KeySize, der.end(), key.begin());
        keys.push_back(key);
        at = end + std::char_traits<char>::length(EndPublicKey);
    }
    if (keys.empty()) Refuse(mfKeys, NoKeys);
    if (keys.size() > NxManifestMaxKeys)
        Refuse(mfKeys,
               Format(TooManyKeys, static_cast<int>(keys.size()), static_cast<int>(NxManifestMaxKeys)));
    return keys;
}

std::string NxFormatManifestTime(int64_t seconds) {
    int64_t days = seconds / SecondsPerDay, rest = seconds % SecondsPerDay;
    if (rest < 0) {
        rest += SecondsPerDay;
        --days;
    }
    int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    return Format("%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(year), month, day,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
}

bool NxParseManifestTime(const std::string& text, int64_t& seconds) {
    // YYYY-MM-DDTHH:MM:SSZ, every digit where the pattern has one.
    static constexpr char Pattern[] = "0000-00-00T00:00:00Z";
    if (text.size() != sizeof(Pattern) - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (Pattern[i] == '0' ? !digit : text[i] != Pattern[i]) return false;
    }
    auto field = [&](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
    const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
    const int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;
    seconds = DaysFromCivil(year, month, day) * SecondsPerDay + hour * 3600 + minute * 60 + second;
    return true;
}

std::string NxHexDigest(const TNxSHA256Digest& digest) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : digest) {
        hex += Digits[byte >> 4];
        hex += Digits[byte & 15];
    }
    return hex;
}
