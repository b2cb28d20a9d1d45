// URI parsing, composing and MergePath.
// Input: flags byte (bit 0: Korean double-byte code page), URL text, base path, new path.
#include <cctype>
#include <cstdint>
#include <string>

#include "http/NxGlobal.h"
#include "http/NxURI.h"
#include "support/FuzzInput.h"

namespace {

constexpr uint32_t KoreanCodePage = 949;
constexpr uint32_t WesternCodePage = 1252;
constexpr const char* SchemeBytes = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

// Compose must raise exactly the two texts it documents, and only when a field is empty.
void CheckCompose(const TNxURI& uri, bool userInfo, bool fragment) {
    std::string composed;
    try {
        composed = uri.Compose(userInfo, fragment);
    } catch (const ENxURIException& e) {
        if (uri.Protocol().empty()) {
            NX_FUZZ_CHECK(e.Message() == "Protocol field is empty", e.Message());
        } else {
            NX_FUZZ_CHECK(uri.Host().empty(), "raised with protocol and host set: " + e.Message());
            NX_FUZZ_CHECK(e.Message() == "Host field is empty", e.Message());
        }
        return;
    }
    NX_FUZZ_CHECK(!uri.Protocol().empty() && !uri.Host().empty(), composed);
    NX_FUZZ_CHECK(composed.compare(0, uri.Protocol().size() + 3, uri.Protocol() + "://") == 0, composed);
    // The same parser finds the same protocol in what it composed.
    TNxURI again(composed);
    NX_FUZZ_CHECK(again.Protocol() == uri.Protocol(), composed + " -> " + again.Protocol());
}

void CheckMergePath(const std::string& base, const std::string& added) {
    std::string merged = MergePath(base, added, '/');
    if (!added.empty() && added[0] == '/') {
        NX_FUZZ_CHECK(merged == added, merged);
        return;
    }
    NX_FUZZ_CHECK(merged.size() <= base.size() + 1 + added.size(), merged);
    // Runs of "/" collapse whenever the new path is joined.
    NX_FUZZ_CHECK(merged.find("//") == std::string::npos, base + " + " + added + " -> " + merged);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const bool korean = (flags & 1) != 0;
    NxSetCodePage(korean ? KoreanCodePage : WesternCodePage);
    const std::string text = in.Text();
    const std::string base = in.Text();
    const std::string added = in.Rest();

    TNxURI uri(text);
    if (!korean) {
        std::string converted = text;
        for (char& ch : converted)
            if (ch == '\\') ch = '/';
        NX_FUZZ_CHECK(uri.Text() == converted, uri.Text());
    }
    NX_FUZZ_CHECK(uri.Text().size() == text.size(), uri.Text());
    if (uri.User().empty()) NX_FUZZ_CHECK(uri.Password().empty(), uri.Password());
    // Absolute when what comes before the first "://" is a scheme (RFC 3986 3.1).
    const size_t scheme = NxPos("://", uri.Text());
    const std::string before = uri.Text().substr(0, scheme == std::string::npos ? 0 : scheme);
    const bool absolute = !before.empty() && std::isalpha(static_cast<unsigned char>(before[0])) &&
                          before.find_first_not_of(SchemeBytes) == std::string::npos;
    if (absolute) {
        NX_FUZZ_CHECK(uri.Protocol() == before, uri.Protocol());
        NX_FUZZ_CHECK(!uri.Path().empty() && uri.Path()[0] == '/', uri.Path());
        // The authority ends at the first "/", "?" or "#".
        for (const std::string* field : {&uri.User(), &uri.Password(), &uri.Host(), &uri.Port()})
            NX_FUZZ_CHECK(field->find_first_of("/?#") == std::string::npos || korean, *field);
    } else {
        NX_FUZZ_CHECK(uri.Protocol().empty() && uri.Host().empty(), uri.Protocol());
    }
    // The fragment is never part of what a request sends.
    const std::string target = uri.Path() + uri.Document() + uri.Query();
    NX_FUZZ_CHECK(target.find('#') == std::string::npos || korean, target);
    // Every field is a piece of the text (nothing is invented), the fixed "/" of an
    // absolute Path aside.
    for (const std::string* field : {&uri.Protocol(), &uri.User(), &uri.Password(), &uri.Host(), &uri.Port(),
                                     &uri.Document(), &uri.Query(), &uri.Fragment()})
        NX_FUZZ_CHECK(uri.Text().find(*field) != std::string::npos, *field);

    for (int mode = 0; mode < 4; ++mode)
        CheckCompose(uri, (mode & 1) != 0, (mode & 2) != 0);
    TNxURI rebuilt(text);
    if (!rebuilt.Protocol().empty() && !rebuilt.Host().empty()) {
        std::string plain = rebuilt.Rebuild();
        NX_FUZZ_CHECK(plain == uri.Compose(false, false), plain);
        NX_FUZZ_CHECK(rebuilt.Text() == uri.Compose(true, true), rebuilt.Text());
    }

    CheckMergePath(base, added);
    CheckMergePath(uri.Path(), added);
    // What the request engine does with each new URL.
    TNxURI current(base);
    current.SetPath(MergePath(current.Path(), uri.Path(), '/'));
    current.SetDocument(uri.Document());
    current.SetQuery(uri.Query());
    (void)(current.Path() + current.Document() + current.Query());
    NxResetCodePage();
    return 0;
}
