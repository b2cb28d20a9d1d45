// Cookie parsing and the Cookie header: Set-Cookie / Set-Cookie2 values stored for a
// host, then the header composed for a URL.
// Input: flags byte (bit 0: double-byte code page, bit 1: secure connection), host,
// request URL, then Set-Cookie values separated by NUL (a value starting with "2:" is
// handed to AddCookie2).
#include <cstdint>
#include <set>
#include <string>

#include "http/NxCookie.h"
#include "http/NxCookieManager.h"
#include "http/NxGlobal.h"
#include "http/NxURI.h"
#include "support/FuzzInput.h"
#include "transport/NxStack.h"

namespace {

constexpr uint32_t KoreanCodePage = 949;
constexpr uint32_t WesternCodePage = 1252;
constexpr int MaxCookies = 64;

// The server form read back keeps name and value (when the value came from a trimmed
// entry, holds no line break, and single-byte search cannot glue a separator to a lead
// byte).
void CheckServerForm(const std::string& text, bool korean) {
    TNxCookieRFC2109 cookie;
    cookie.ParseCookieText(text);
    std::string server = cookie.ServerCookieText();
    if (korean || text.find(';') == std::string::npos || cookie.Value().empty()) return;
    // A server form without ";" is split into lines instead.
    if ((cookie.CookieName() + cookie.Value()).find_first_of("\r\n") != std::string::npos) return;
    TNxCookieRFC2109 again;
    again.ParseCookieText(server);
    NX_FUZZ_CHECK(again.CookieName() == cookie.CookieName(), server);
    NX_FUZZ_CHECK(again.Value() == cookie.Value(), server);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const bool korean = (flags & 1) != 0;
    const bool secure = (flags & 2) != 0;
    NxSetCodePage(korean ? KoreanCodePage : WesternCodePage);
    const std::string host = in.Text();
    const TNxURI uri(in.Text());

    {
        TNxCookieManager manager;
        for (int n = 0; n < MaxCookies && !in.AtEnd(); ++n) {
            std::string text = in.Text();
            const bool second = text.rfind("2:", 0) == 0;
            if (second) text.erase(0, 2);
            CheckServerForm(text, korean);
            try {
                if (second)
                    manager.AddCookie2(text, host);
                else
                    manager.AddCookie(text, host);
            } catch (const EConvertError&) {
                // A PORT item that is no number: the one failure storing may raise. A plain
                // cookie raises it only when it replaces a stored RFC 2965 one, which re-reads
                // the newcomer's server form: a host holding ";" then reaches that form as
                // the default Domain, and its text as attributes.
                NX_FUZZ_CHECK(second || host.find(';') != std::string::npos, text);
            }
        }

        // The index holds only live cookies of the collection, each once. (A stored cookie
        // that takes over a newcomer re-reads its server form, so its Domain and name may
        // drift from the keys it is filed under.)
        TNxCookies& cookies = manager.CookieCollection();
        {
            TNxReadGuard guard(cookies.Lock());
            std::set<const TNxNetscapeCookie*> live, seen;
            for (int i = 0; i < cookies.Count(); ++i)
                live.insert(cookies.Item(i));
            const TNxCookieList& index = cookies.DomainIndex();
            for (int d = 0; d < index.Count(); ++d) {
                const TNxCookieList* list = index.List(d);
                for (int c = 0; c < list->Count(); ++c) {
                    NX_FUZZ_CHECK(live.count(list->Cookie(c)) == 1, list->Key(c));
                    NX_FUZZ_CHECK(seen.insert(list->Cookie(c)).second, list->Key(c));
                }
            }
        }

        std::string header = manager.CookieHeaderFor(uri, secure);
        std::string again = manager.CookieHeaderFor(uri, secure);
        // Nothing expires between two calls that the first did not already purge, unless
        // an expiry falls on this very second.
        NX_FUZZ_CHECK(again.size() <= header.size(), header + " / " + again);
        manager.PurgeExpired();
    }
    NxResetCodePage();
    return 0;
}
