#pragma once
// Cookies as servers set them with "Set-cookie" (Netscape form, RFC 2109) and
// "Set-cookie2" (RFC 2965), the keyed lists of the by-domain index, and the collection
// that owns every cookie and guards the index with a multi-reader/single-writer lock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/StringList.h"
#include "transport/NxException.h"

// Raised by TNxCookieRFC2965::SetPort for a position past the end of the list:
// "Index out of range.".
NX_DECLARE_EXCEPTION(ENxIndexOutOfRange, ENxException)

enum TNxCookieKind { ckNetscape, ckRFC2109, ckRFC2965 };

class TNxCookies;

// The Netscape form: name, value, path, domain, expires, secure.
class TNxNetscapeCookie {
public:
    TNxNetscapeCookie() = default;
    TNxNetscapeCookie(const TNxNetscapeCookie&) = delete;
    TNxNetscapeCookie& operator=(const TNxNetscapeCookie&) = delete;
    virtual ~TNxNetscapeCookie() = default;

    // The server form: name=value; path=...; expires=... (Netscape kind only);
    // domain=...; secure; each part only when it has a value.
    virtual std::string ServerCookieText() const;
    // Stores the EXPIRES text (empty: no expiry).
    virtual void SetExpires(const std::string& value) { FExpires = value; }
    // The client form sent in "Cookie": name=value.
    virtual std::string ClientCookieText() const { return FCookieName + "=" + FValue; }
    // Takes the fields of source (any cookie class; fields the source lacks stay).
    virtual void Assign(const TNxNetscapeCookie& source);
    // Whether a server at host may set this cookie (Domain already filled in).
    virtual bool DomainValid(const std::string& host) const;

    // Parses a Set-Cookie value; does nothing when text equals CookieText.
    void ParseCookieText(const std::string& text);

    const std::string& CookieText() const noexcept { return FCookieText; }
    const std::string& Domain() const noexcept { return FDomain; }
    void SetDomain(const std::string& value) { FDomain = value; }
    const std::string& Expires() const noexcept { return FExpires; }
    const std::string& CookieName() const noexcept { return FCookieName; }
    void SetCookieName(const std::string& value) { FCookieName = value; }
    const std::string& Path() const noexcept { return FPath; }
    void SetPath(const std::string& value) { FPath = value; }
    bool Secure() const noexcept { return FSecure; }
    void SetSecure(bool value) noexcept { FSecure = value; }
    const std::string& Value() const noexcept { return FValue; }
    void SetValue(const std::string& value) { FValue = value; }
    TNxCookieKind Kind() const noexcept { return FKind; }
    void SetKind(TNxCookieKind value) noexcept { FKind = value; }

    // The collection that owns the cookie (nullptr for a free-standing one).
    TNxCookies* Collection() const noexcept { return FCollection; }

protected:
    // Loads the attributes from entries whose names are upper case (NAME=value, or a
    // bare NAME).
    virtual void LoadProperties(const TStringList& attributes);
    // The value of attribute name (upper case) in attributes; empty when absent.
    static std::string Attribute(const TStringList& attributes, const std::string& name);
    static bool HasFlag(const TStringList& attributes, const std::string& name);

    TNxCookieKind FKind = ckNetscape;

private:
    friend class TNxCookies;

    std::string FCookieText;
    std::string FDomain;
    std::string FExpires;
    std::string FCookieName;
    std::string FPath;
    bool FSecure = false;
    std::string FValue;
    TNxCookies* FCollection = nullptr;
};

// RFC 2109 adds MAX-AGE, VERSION and COMMENT.
class TNxCookieRFC2109 : public TNxNetscapeCookie {
public:
    TNxCookieRFC2109() { FKind = ckRFC2109; }

    // The Netscape parts, then max-age (when >= 0 and no Expires), comment, version.
    std::string ServerCookieText() const override;
    // A non-empty text also sets MaxAge to the seconds from now until that time.
    void SetExpires(const std::string& value) override;
    void Assign(const TNxNetscapeCookie& source) override;

    int64_t MaxAge() const noexcept { return FMaxAge; }
    void SetMaxAge(int64_t value) noexcept { FMaxAge = value; }
    const std::string& Version() const noexcept { return FVersion; }
    void SetVersion(const std::string& value) { FVersion = value; }
    const std::string& Comment() const noexcept { return FComment; }
    void SetComment(const std::string& value) { FComment = value; }

protected:
    void LoadProperties(const TStringList& attributes) override;

private:
    int64_t FMaxAge = -1;
    std::string FVersion;
    std::string FComment;
};

// RFC 2965 adds CommentURL, DISCARD and the PORT list. Its server form is the RFC 2109
// one: CommentURL, Discard and the ports are not part of it.
class TNxCookieRFC2965 : public TNxCookieRFC2109 {
public:
    TNxCookieRFC2965() { FKind = ckRFC2965; }

    std::string ServerCookieText() const override { return TNxCookieRFC2109::ServerCookieText(); }
    void Assign(const TNxNetscapeCookie& source) override;

    const std::string& CommentURL() const noexcept { return FCommentURL; }
    void SetCommentURL(const std::string& value) { FCommentURL = value; }
    bool Discard() const noexcept { return FDiscard; }
    void SetDiscard(bool value) noexcept { FDiscard = value; }

    int PortCount() const noexcept { return static_cast<int>(FPortList.size()); }
    // Raises ENxIndexOutOfRange outside 0..PortCount()-1.
    int32_t Port(int index) const;
    // 0 <= index <= PortCount() (PortCount() appends); else ENxIndexOutOfRange.
    void SetPort(int index, int32_t port);
    const std::vector<int32_t>& PortList() const noexcept { return FPortList; }

protected:
    // A PORT item that is not a number raises EConvertError.
    void LoadProperties(const TStringList& attributes) override;

private:
    std::string FCommentURL;
    bool FDiscard = false;
    std::vector<int32_t> FPortList;
};

// Text keys with one object each, unsorted, keys compared without regard to case
// under the user's locale. Used both as the by-domain index (key = domain, object = the
// domain's cookie list, owned) and as a domain's cookie list (key = cookie name, object
// = the cookie, owned by the collection).
class TNxCookieList {
public:
    TNxCookieList() = default;
    TNxCookieList(const TNxCookieList&) = delete;
    TNxCookieList& operator=(const TNxCookieList&) = delete;

    int Count() const noexcept { return static_cast<int>(FEntries.size()); }
    bool IsEmpty() const noexcept { return FEntries.empty(); }
    // -1 when absent.
    int IndexOf(const std::string& key) const;
    const std::string& Key(int index) const { return Entry(index).Key; }
    TNxNetscapeCookie* Cookie(int index) const { return Entry(index).Cookie; }
    TNxCookieList* List(int index) const { return Entry(index).List.get(); }

    int AddCookie(const std::string& key, TNxNetscapeCookie* cookie);
    int AddList(const std::string& key, std::unique_ptr<TNxCookieList> list);
    // Index of the entry that holds cookie, -1 when none.
    int IndexOfCookie(const TNxNetscapeCookie* cookie) const;
    void Delete(int index);
    void Clear() noexcept { FEntries.clear(); }

private:
    struct TEntry {
        std::string Key;
        TNxNetscapeCookie* Cookie = nullptr;
        std::unique_ptr<TNxCookieList> List;
    };
    const TEntry& Entry(int index) const;

    std::vector<TEntry> FEntries;
};

// Many readers or one writer; the thread that writes may take the lock again, for
// reading or writing. A reader must not ask for write access (that would wait for
// itself). A waiting writer does not hold new readers back, so a reader may read again.
// Built on a mutex and a condition: std::shared_mutex on mingw's winpthreads let a
// writer in beside another one under load, which freed cookies still in use.
class TNxReadWriteLock {
public:
    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();
    // Writers waiting for the lock now (what a test waits for before it judges them).
    int WaitingWriters();

private:
    bool IsWriter() const noexcept { return FWriter.load() == std::this_thread::get_id(); }

    std::mutex FMutex;
    std::condition_variable FChanged;
    int FReaders = 0;        // guarded by FMutex
    int FWaitingWriters = 0; // guarded by FMutex
    std::atomic<std::thread::id> FWriter{};
    int FWriteDepth = 0; // touched only by the writer
};

class TNxReadGuard {
public:
    explicit TNxReadGuard(TNxReadWriteLock& lock) : FLock(lock) { FLock.BeginRead(); }
    ~TNxReadGuard() { FLock.EndRead(); }
    TNxReadGuard(const TNxReadGuard&) = delete;
    TNxReadGuard& operator=(const TNxReadGuard&) = delete;

private:
    TNxReadWriteLock& FLock;
};

class TNxWriteGuard {
public:
    explicit TNxWriteGuard(TNxReadWriteLock& lock) : FLock(lock) { FLock.BeginWrite(); }
    ~TNxWriteGuard() { FLock.EndWrite(); }
    TNxWriteGuard(const TNxWriteGuard&) = delete;
    TNxWriteGuard& operator=(const TNxWriteGuard&) = delete;

private:
    TNxReadWriteLock& FLock;
};

// Owns every cookie and the by-domain index.
class TNxCookies {
public:
    TNxCookies() = default;
    TNxCookies(const TNxCookies&) = delete;
    TNxCookies& operator=(const TNxCookies&) = delete;
    // Frees every cookie (each leaving the index), then the domain lists.
    ~TNxCookies();

    // New cookies, owned by the collection, not yet in the index.
    TNxCookieRFC2109* Add();
    TNxCookieRFC2965* Add2();

    // Puts cookie into the index under its Domain and CookieName. When the domain
    // already holds a cookie of that name (any letter case), the stored one takes the
    // new one's server form, expiry and kind, keeps its place, and the new cookie is
    // freed. Returns the cookie that is in the index afterwards.
    TNxNetscapeCookie* AddCookie(TNxNetscapeCookie* cookie);
    // Frees cookie: its index entry (if it has one) goes, then the object.
    void Delete(TNxNetscapeCookie* cookie);
    // Frees every cookie whose Expires lies before the current local time.
    void PurgeExpired();
    // Frees every cookie; the domain lists stay.
    void Clear();

    int Count() const;
    TNxNetscapeCookie* Item(int index) const;

    // The index; hold Lock() (read or write) while looking at it.
    const TNxCookieList& DomainIndex() const noexcept { return FIndex; }
    TNxReadWriteLock& Lock() noexcept { return FLock; }

private:
    template <class T> T* AddItem();
    void Unindex(TNxNetscapeCookie* cookie);

    mutable TNxReadWriteLock FLock;
    std::vector<std::unique_ptr<TNxNetscapeCookie>> FItems;
    TNxCookieList FIndex;
};
