#include "http/NxCookie.h"

#include <algorithm>
#include <cmath>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxStack.h"

namespace {

void AddPart(std::string& text, const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += "; ";
    text += part;
}

void AddPart(std::string& text, const char* name, const std::string& value) {
    if (!value.empty()) AddPart(text, std::string(name) + "=" + value);
}

// Dotted IPv4: the first four dot-separated parts are numbers 0..255; what follows a
// fourth dot is not looked at.
bool IsIPv4Address(const std::string& host) {
    std::string rest = Trim(host);
    for (int i = 0; i < 4; ++i) {
        if (i < 3 && NxPos(".", rest) == std::string::npos) return false;
        const int32_t part = StrToIntDef(Fetch(rest, "."), -1);
        if (part < 0 || part > 255) return false;
    }
    return true;
}

// The host's domain part: from its first "." to the end, the whole host without one.
std::string DomainPart(const std::string& host) {
    const size_t dot = NxPos(".", host);
    return dot == std::string::npos ? host : host.substr(dot);
}

bool SameAsciiText(const std::string& a, const std::string& b) {
    return UpperCase(a) == UpperCase(b);
}

// Splits a quoted PORT list ("80, 8080" or "80 8080"; items may be double-quoted).
std::vector<std::string> SplitPortItems(const std::string& text) {
    std::vector<std::string> items;
    size_t i = 0;
    const auto isSeparator = [](char ch) { return ch == ',' || ch == ' ' || ch == '\t'; };
    while (i < text.size()) {
        while (i < text.size() && isSeparator(text[i]))
            ++i;
        if (i >= text.size()) break;
        std::string item;
        if (text[i] == '"') {
            ++i;
            while (i < text.size() && text[i] != '"')
                item += text[i++];
            if (i < text.size()) ++i;
        } else {
            while (i < text.size() && !isSeparator(text[i]))
                item += text[i++];
        }
        items.push_back(item);
    }
    return items;
}

} // namespace

// --- TNxNetscapeCookie -------------------------------------------------------------------

std::string TNxNetscapeCookie::ServerCookieText() const {
    std::string text;
    if (!FValue.empty()) AddPart(text, FCookieName + "=" + FValue);
    AddPart(text, "path", FPath);
    if (FKind == ckNetscape) AddPart(text, "expires", FExpires);
    AddPart(text, "domain", FDomain);
    if (FSecure) AddPart(text, "secure");
    return text;
}

void TNxNetscapeCookie::Assign(const TNxNetscapeCookie& source) {
    FCookieText = source.FCookieText;
    FDomain = source.FDomain;
    FExpires = source.FExpires;
    FCookieName = source.FCookieName;
    FPath = source.FPath;
    FSecure = source.FSecure;
    FValue = source.FValue;
    FKind = source.FKind;
}

bool TNxNetscapeCookie::DomainValid(const std::string& host) const {
    if (IsIPv4Address(host)) return FDomain == host;
    if (host.empty() || host[0] != '.') {
        const bool domainIsHostName = (FDomain.empty() || FDomain[0] != '.') && !IsIPv4Address(FDomain);
        return domainIsHostName ? FDomain == host : FDomain == DomainPart(host);
    }
    return SameAsciiText(FDomain, DomainPart(host));
}

std::string TNxNetscapeCookie::Attribute(const TStringList& attributes, const std::string& name) {
    const std::string prefix = name + "=";
    for (const std::string& entry : attributes.Lines())
        if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
    return {};
}

bool TNxNetscapeCookie::HasFlag(const TStringList& attributes, const std::string& name) {
    return attributes.IndexOf(name) >= 0;
}

void TNxNetscapeCookie::ParseCookieText(const std::string& text) {
    if (text == FCookieText) return;
    FCookieText = text;

    TStringList entries;
    if (NxPos(";", text) == std::string::npos) {
        entries.SetText(text);
        if (entries.IsEmpty()) entries.Add(text);
    } else {
        std::string rest = text;
        while (NxPos(";", rest) != std::string::npos)
            entries.Add(Trim(Fetch(rest, ";")));
        if (!rest.empty()) entries.Add(Trim(rest));
    }

    // name=value: the value keeps any further "=" (SID=a=b is SID with a=b).
    const std::string first = entries.IsEmpty() ? std::string() : entries.Get(0);
    if (NxPos("=", first) == std::string::npos) {
        FCookieName.clear();
        FValue.clear();
    } else {
        std::string value = first;
        FCookieName = Fetch(value, "=");
        FValue = value;
    }
    if (!entries.IsEmpty()) entries.Delete(0);

    // Attribute names in upper case, each carrying the value of its first occurrence.
    TStringList attributes;
    std::vector<std::string> names;
    std::vector<std::string> values;
    for (const std::string& entry : entries.Lines()) {
        if (NxPos("=", entry) == std::string::npos) {
            attributes.Add(UpperCase(entry));
            continue;
        }
        std::string value = entry;
        const std::string name = UpperCase(Fetch(value, "="));
        const auto known = std::find(names.begin(), names.end(), name);
        if (known == names.end()) {
            names.push_back(name);
            values.push_back(value);
            attributes.Add(name + "=" + value);
        } else {
            attributes.Add(name + "=" + values[known - names.begin()]);
        }
    }
    LoadProperties(attributes);
}

void TNxNetscapeCookie::LoadProperties(const TStringList& attributes) {
    std::string path = Attribute(attributes, "PATH");
    if (!path.empty() && path.front() == '"') path.erase(0, 1);
    if (!path.empty() && path.back() == '"') path.pop_back();
    FPath = path;
    SetExpires(Attribute(attributes, "EXPIRES"));
    FDomain = Attribute(attributes, "DOMAIN");
    FSecure = HasFlag(attributes, "SECURE");
}

// --- TNxCookieRFC2109 --------------------------------------------------------------------

std::string TNxCookieRFC2109::ServerCookieText() const {
    std::string text = TNxNetscapeCookie::ServerCookieText();
    if (FMaxAge >= 0 && Expires().empty()) AddPart(text, "max-age", std::to_string(FMaxAge));
    AddPart(text, "comment", FComment);
    AddPart(text, "version", FVersion);
    return text;
}

void TNxCookieRFC2109::SetExpires(const std::string& value) {
    if (!value.empty()) {
        try {
            const double seconds = (InternetDateToLocal(value) - NxNow()) * 86400.0;
            if (std::isfinite(seconds)) FMaxAge = static_cast<int64_t>(std::trunc(seconds));
        } catch (const Exception&) {
            // An expiry that cannot be placed in time leaves MaxAge alone.
        }
    }
    TNxNetscapeCookie::SetExpires(value);
}

void TNxCookieRFC2109::Assign(const TNxNetscapeCookie& source) {
    TNxNetscapeCookie::Assign(source);
    if (const auto* other = dynamic_cast<const TNxCookieRFC2109*>(&source)) {
        FMaxAge = other->FMaxAge;
        FVersion = other->FVersion;
        FComment = other->FComment;
    }
}

void TNxCookieRFC2109::LoadProperties(const TStringList& attributes) {
    TNxNetscapeCookie::LoadProperties(attributes);
    FMaxAge = StrToIntDef(Attribute(attributes, "MAX-AGE"), -1);
    FVersion = Attribute(attributes, "VERSION");
    FComment = Attribute(attributes, "COMMENT");
    if (Expires().empty()) {
        FKind = ckNetscape;
        if (FMaxAge >= 0)
            SetExpires(FormatInternetDate(NxNow() + static_cast<double>(FMaxAge) * NxOneSecond));
    }
}

// --- TNxCookieRFC2965 --------------------------------------------------------------------

void TNxCookieRFC2965::Assign(const TNxNetscapeCookie& source) {
    TNxCookieRFC2109::Assign(source);
    if (const auto* other = dynamic_cast<const TNxCookieRFC2965*>(&source)) {
        FCommentURL = other->FCommentURL;
        FDiscard = other->FDiscard;
        FPortList = other->FPortList;
    }
}

int32_t TNxCookieRFC2965::Port(int index) const {
    if (index < 0 || index >= PortCount()) throw ENxIndexOutOfRange(NxHTTPStrings::IndexOutOfRange);
    return FPortList[static_cast<size_t>(index)];
}

void TNxCookieRFC2965::SetPort(int index, int32_t port) {
    if (index < 0 || index > PortCount()) throw ENxIndexOutOfRange(NxHTTPStrings::IndexOutOfRange);
    if (index == PortCount())
        FPortList.push_back(port);
    else
        FPortList[static_cast<size_t>(index)] = port;
}

void TNxCookieRFC2965::LoadProperties(const TStringList& attributes) {
    TNxCookieRFC2109::LoadProperties(attributes);
    FCommentURL = Attribute(attributes, "COMMENTURL");
    FDiscard = HasFlag(attributes, "DISCARD");
    const std::string port = Attribute(attributes, "PORT");
    if (port.empty()) {
        SetPort(0, 80);
    } else if (port.size() >= 2 && port.front() == '"' && port.back() == '"') {
        const std::vector<std::string> items = SplitPortItems(port.substr(1, port.size() - 2));
        if (items.empty()) SetPort(0, 80);
        for (size_t i = 0; i < items.size(); ++i) {
            const int32_t value = StrToIntDef(items[i], -1);
            if (value == -1 && StrToIntDef(items[i], 0) != -1)
                throw EConvertError(Format(NxHTTPStrings::NotAValidInteger, items[i].c_str()));
            SetPort(static_cast<int>(i), value);
        }
    }
}

// --- TNxCookieList -----------------------------------------------------------------------

const TNxCookieList::TEntry& TNxCookieList::Entry(int index) const {
    if (index < 0 || index >= Count()) throw ENxIndexOutOfRange(NxHTTPStrings::IndexOutOfRange);
    return FEntries[static_cast<size_t>(index)];
}

int TNxCookieList::IndexOf(const std::string& key) const {
    for (size_t i = 0; i < FEntries.size(); ++i)
        if (NxSameText(FEntries[i].Key, key)) return static_cast<int>(i);
    return -1;
}

int TNxCookieList::AddCookie(const std::string& key, TNxNetscapeCookie* cookie) {
    FEntries.push_back(TEntry{key, cookie, nullptr});
    return Count() - 1;
}

int TNxCookieList::AddList(const std::string& key, std::unique_ptr<TNxCookieList> list) {
    FEntries.push_back(TEntry{key, nullptr, std::move(list)});
    return Count() - 1;
}

int TNxCookieList::IndexOfCookie(const TNxNetscapeCookie* cookie) const {
    for (size_t i = 0; i < FEntries.size(); ++i)
        if (FEntries[i].Cookie == cookie) return static_cast<int>(i);
    return -1;
}

void TNxCookieList::Delete(int index) {
    Entry(index);
    FEntries.erase(FEntries.begin() + index);
}

// --- TNxReadWriteLock --------------------------------------------------------------------

void TNxReadWriteLock::BeginRead() {
    if (IsWriter()) {
        ++FWriteDepth; // the writer reads under its own exclusive hold
        return;
    }
    std::unique_lock<std::mutex> hold(FMutex);
    FChanged.wait(hold, [this] { return FWriter.load() == std::thread::id(); });
    ++FReaders;
}

void TNxReadWriteLock::EndRead() {
    if (IsWriter()) {
        --FWriteDepth;
        return;
    }
    bool last;
    {
        std::lock_guard<std::mutex> hold(FMutex);
        last = --FReaders == 0;
    }
    if (last) FChanged.notify_all();
}

void TNxReadWriteLock::BeginWrite() {
    if (IsWriter()) {
        ++FWriteDepth;
        return;
    }
    std::unique_lock<std::mutex> hold(FMutex);
    ++FWaitingWriters;
    FChanged.wait(hold, [this] { return FReaders == 0 && FWriter.load() == std::thread::id(); });
    --FWaitingWriters;
    FWriter.store(std::this_thread::get_id());
    FWriteDepth = 1;
}

int TNxReadWriteLock::WaitingWriters() {
    std::lock_guard<std::mutex> hold(FMutex);
    return FWaitingWriters;
}

void TNxReadWriteLock::EndWrite() {
    if (--FWriteDepth > 0) return;
    {
        std::lock_guard<std::mutex> hold(FMutex);
        FWriter.store(std::thread::id());
    }
    FChanged.notify_all();
}

// --- TNxCookies --------------------------------------------------------------------------

TNxCookies::~TNxCookies() {
    Clear();
    FIndex.Clear();
}

template <class T> T* TNxCookies::AddItem() {
    auto cookie = std::make_unique<T>();
    T* result = cookie.get();
    result->FCollection = this;
    TNxWriteGuard guard(FLock);
    FItems.push_back(std::move(cookie));
    return result;
}

TNxCookieRFC2109* TNxCookies::Add() {
    return AddItem<TNxCookieRFC2109>();
}
TNxCookieRFC2965* TNxCookies::Add2() {
    return AddItem<TNxCookieRFC2965>();
}

int TNxCookies::Count() const {
    TNxReadGuard guard(FLock);
    return static_cast<int>(FItems.size());
}

TNxNetscapeCookie* TNxCookies::Item(int index) const {
    TNxReadGuard guard(FLock);
    if (index < 0 || index >= static_cast<int>(FItems.size()))
        throw ENxIndexOutOfRange(NxHTTPStrings::IndexOutOfRange);
    return FItems[static_cast<size_t>(index)].get();
}

TNxNetscapeCookie* TNxCookies::AddCookie(TNxNetscapeCookie* cookie) {
    TNxWriteGuard guard(FLock);
    int d = FIndex.IndexOf(cookie->Domain());
    if (d < 0) d = FIndex.AddList(cookie->Domain(), std::make_unique<TNxCookieList>());
    TNxCookieList& domain = *FIndex.List(d);
    const int c = domain.IndexOf(cookie->CookieName());
    if (c < 0) {
        domain.AddCookie(cookie->CookieName(), cookie);
        return cookie;
    }
    TNxNetscapeCookie* stored = domain.Cookie(c);
    if (stored == cookie) return cookie;
    stored->ParseCookieText(cookie->ServerCookieText());
    // The server form of an RFC 2109 cookie leaves out a date given as EXPIRES; carry it
    // over, or a server could never end a cookie by sending it again with a past date.
    if (!cookie->Expires().empty()) stored->SetExpires(cookie->Expires());
    stored->SetKind(cookie->Kind());
    Delete(cookie);
    return stored;
}

void TNxCookies::Unindex(TNxNetscapeCookie* cookie) {
    // Only the entry that holds this very object goes: a discarded newcomer shares
    // domain and name with the cookie it would have replaced.
    const int d = FIndex.IndexOf(cookie->Domain());
    if (d >= 0) {
        TNxCookieList& domain = *FIndex.List(d);
        const int c = domain.IndexOfCookie(cookie);
        if (c >= 0) {
            domain.Delete(c);
            return;
        }
    }
    for (int i = 0; i < FIndex.Count(); ++i) {
        TNxCookieList& domain = *FIndex.List(i);
        const int c = domain.IndexOfCookie(cookie);
        if (c >= 0) {
            domain.Delete(c);
            return;
        }
    }
}

void TNxCookies::Delete(TNxNetscapeCookie* cookie) {
    TNxWriteGuard guard(FLock);
    Unindex(cookie);
    const auto it =
        std::find_if(FItems.begin(), FItems.end(), [cookie](const auto& p) { return p.get() == cookie; });
    if (it != FItems.end()) FItems.erase(it);
}

void TNxCookies::PurgeExpired() {
    TNxWriteGuard guard(FLock);
    const TDateTime now = NxNow();
    for (int d = 0; d < FIndex.Count(); ++d) {
        TNxCookieList& domain = *FIndex.List(d);
        for (int c = domain.Count() - 1; c >= 0; --c) {
            TNxNetscapeCookie* cookie = domain.Cookie(c);
            if (!cookie->Expires().empty() && now > InternetDateToLocal(cookie->Expires())) Delete(cookie);
        }
    }
}

void TNxCookies::Clear() {
    TNxWriteGuard guard(FLock);
    while (!FItems.empty())
        Delete(FItems.back().get());
}
