#include "http/NxURI.h"

#include <algorithm>
#include <cstring>

#include "http/NxGlobal.h"
#include "http/NxHTTPStrings.h"

namespace {

// Backslashes become slashes, except a "\" that is the trail byte of a two-byte character.
std::string SlashesForBackslashes(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        if (NxIsLeadByte(out[i])) {
            ++i;
            continue;
        }
        if (out[i] == '\\') out[i] = '/';
    }
    return out;
}

// Position of the last "/" in text[0, end), byte by byte; npos when none.
size_t LastSlashBefore(const std::string& text, size_t end) {
    if (end > text.size()) end = text.size();
    while (end > 0) {
        --end;
        if (text[end] == '/') return end;
    }
    return std::string::npos;
}

// RFC 3986 3.1: a letter, then letters, digits, "+", "-" and ".". Text before a "://" that
// is no scheme ("/go?to=http://x/y") makes a relative reference.
bool IsScheme(const std::string& text) {
    const auto letter = [](char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); };
    if (text.empty() || !letter(text[0])) return false;
    return std::all_of(text.begin(), text.end(), [&](char ch) {
        return letter(ch) || (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.';
    });
}

// Position of the first byte of text that is one of set, a lead byte taking the byte after
// it along (as NxPos does); npos when none.
size_t FirstOf(const std::string& text, const char* set) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (NxIsLeadByte(text[i])) {
            ++i;
            continue;
        }
        if (text[i] != '\0' && std::strchr(set, text[i]) != nullptr) return i;
    }
    return std::string::npos;
}

} // namespace

TNxURI::TNxURI(const std::string& text) {
    if (!text.empty()) SetText(text);
}

void TNxURI::SetText(const std::string& text) {
    FProtocol.clear();
    FUser.clear();
    FPassword.clear();
    FHost.clear();
    FPort.clear();
    FPath.clear();
    FDocument.clear();
    FQuery.clear();
    FFragment.clear();

    FText = SlashesForBackslashes(text);
    std::string w = FText;
    const size_t scheme = NxPos("://", w);
    const bool absolute = scheme != std::string::npos && IsScheme(w.substr(0, scheme));
    if (absolute) {
        FProtocol = w.substr(0, scheme);
        w.erase(0, scheme + 3);
        // The authority ends at the first "/", "?" or "#" (RFC 3986 3.2): a query straight
        // after the port, or an "@" in it, is not the authority's.
        const size_t end = FirstOf(w, "/?#");
        std::string authority = w.substr(0, end);
        w.erase(0, end == std::string::npos ? w.size() : end);
        if (!w.empty() && w[0] == '/') w.erase(0, 1);
        std::string userInfo;
        if (NxPos("@", authority) != std::string::npos) userInfo = Fetch(authority, "@");
        FUser = Fetch(userInfo, ":");
        FPassword = userInfo;
        if (FUser.empty()) FPassword.clear();
        FHost = Fetch(authority, ":");
        FPort = authority;
    }

    // Everything after the first "#" is the fragment, which stays with the client (RFC 3986
    // 3.5): it is never part of a request.
    const size_t hash = NxPos("#", w);
    if (hash != std::string::npos) {
        FFragment = w.substr(hash + 1);
        w.erase(hash);
    }

    // The query starts at the first "?", or without one at the first "=" (servers that
    // take "page=value" style URLs).
    size_t q = NxPos("?", w);
    if (q == std::string::npos) q = NxPos("=", w);
    // The document starts after the last "/" before the query.
    const size_t slash = LastSlashBefore(w, q == std::string::npos ? w.size() : q);
    const size_t d = slash == std::string::npos ? 0 : slash + 1;

    FPath = absolute ? std::string("/") : std::string();
    FPath.append(w, 0, d);
    if (q != std::string::npos) {
        FDocument = w.substr(0, q);
        FQuery = w.substr(q);
    } else {
        FDocument = w;
    }
    FDocument.erase(0, d);
}

std::string TNxURI::Compose(bool includeUserInfo, bool includeFragment) const {
    if (FProtocol.empty()) throw ENxURIException(NxHTTPStrings::URIProtocolEmpty);
    std::string result = FProtocol + "://";
    if (includeUserInfo && !FUser.empty()) {
        result += FUser;
        if (!FPassword.empty()) result += ":" + FPassword;
        result += "@";
    }
    if (FHost.empty()) throw ENxURIException(NxHTTPStrings::URIHostEmpty);
    result += FHost;
    if (!FPort.empty()) result += ":" + FPort;
    result += FPath + FDocument + FQuery;
    if (includeFragment && !FFragment.empty()) result += "#" + FFragment;
    return result;
}

std::string TNxURI::Rebuild() {
    const std::string full = Compose(true, true);
    const std::string bare = Compose(false, false);
    FText = full;
    return bare;
}

std::string MergePath(const std::string& basePath, const std::string& newPath, char delimiter) {
    // An absolute new path replaces the base as it stands.
    if (!newPath.empty() && newPath[0] == delimiter) return newPath;
    const bool keepTrailing = newPath.empty() || newPath.back() == delimiter;

    std::string w = basePath;
    if (!w.empty() && w.back() != delimiter) w += delimiter;
    w += newPath;

    std::string r;
    for (size_t i = 0; i < w.size(); ++i) {
        const char ch = w[i];
        if (ch == delimiter) {
            if (i == 0)
                r.assign(1, delimiter);
            else if (r.empty() || r.back() != delimiter)
                r += ch;
        } else if (ch == '.' && !r.empty() && r.back() == delimiter && i + 1 < w.size() && w[i + 1] == '.') {
            // ".." drops the segment before it.
            r.pop_back();
            while (!r.empty() && r.back() != delimiter)
                r.pop_back();
            ++i;
        } else {
            r += ch;
        }
    }
    if (r.size() > 1 && r.back() == delimiter && !keepTrailing) r.pop_back();
    return r;
}
