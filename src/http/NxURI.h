#pragma once
// TNxURI splits a URL (or a relative reference) into text fields and composes
// URL text back from them. No percent-encoding or decoding happens anywhere.
#include <string>

#include "transport/NxException.h"

// Raised by Compose (and Rebuild) with "Protocol field is empty" or "Host field is empty".
NX_DECLARE_EXCEPTION(ENxURIException, ENxException)

class TNxURI {
public:
    // An empty text leaves every field empty; any other text is parsed as by SetText.
    explicit TNxURI(const std::string& text = {});

    // The whole URI as last assigned, backslashes turned into slashes; Rebuild
    // overwrites it.
    const std::string& Text() const noexcept { return FText; }
    // Clears the nine other fields, then parses text into them. Never fails.
    void SetText(const std::string& text);

    const std::string& Protocol() const noexcept { return FProtocol; }
    const std::string& User() const noexcept { return FUser; }
    const std::string& Password() const noexcept { return FPassword; }
    const std::string& Host() const noexcept { return FHost; }
    const std::string& Port() const noexcept { return FPort; }
    const std::string& Path() const noexcept { return FPath; }
    const std::string& Document() const noexcept { return FDocument; }
    const std::string& Query() const noexcept { return FQuery; }
    const std::string& Fragment() const noexcept { return FFragment; }

    // Plain assignments: no re-parse, no check, Text is left as it is.
    void SetProtocol(const std::string& value) { FProtocol = value; }
    void SetUser(const std::string& value) { FUser = value; }
    void SetPassword(const std::string& value) { FPassword = value; }
    void SetHost(const std::string& value) { FHost = value; }
    void SetPort(const std::string& value) { FPort = value; }
    void SetPath(const std::string& value) { FPath = value; }
    void SetDocument(const std::string& value) { FDocument = value; }
    void SetQuery(const std::string& value) { FQuery = value; }
    void SetFragment(const std::string& value) { FFragment = value; }

    // Protocol "://" [User [":" Password] "@"] Host [":" Port] Path Document Query
    // ["#" Fragment]. Raises ENxURIException when Protocol (tested first) or Host is
    // empty; the fields are never changed.
    std::string Compose(bool includeUserInfo, bool includeFragment) const;
    // Text := Compose(true, true); returns Compose(false, false).
    std::string Rebuild();

private:
    std::string FText;
    std::string FProtocol;
    std::string FUser;
    std::string FPassword;
    std::string FHost;
    std::string FPort;
    std::string FPath;
    std::string FDocument;
    std::string FQuery;
    std::string FFragment;
};

// Joins a base path and a new path: a new path whose first character is the
// delimiter is returned unchanged; otherwise base + delimiter + new with runs of the
// delimiter collapsed and ".." removing the segment before it ("." segments stay), and a
// trailing delimiter kept only when new is empty or ends with it. The request engine
// calls it with '/'.
std::string MergePath(const std::string& basePath, const std::string& newPath, char delimiter = '/');
