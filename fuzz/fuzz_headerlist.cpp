// Header-list unfolding and folding: a received block read back by name, FoldLine and
// SetValue with fuzzed texts and widths.
// Input: flags byte (bit 0: double-byte code page), fold width byte, name, value, then
// the header block (lines split at LF, one CR before it removed, as ReadLine gives them).
#include <cstdint>
#include <string>

#include "http/NxGlobal.h"
#include "http/NxHeaderList.h"
#include "support/FuzzInput.h"

namespace {

constexpr uint32_t KoreanCodePage = 949;
constexpr uint32_t WesternCodePage = 1252;
constexpr size_t MaxLines = 512;

std::string Visible(const std::string& text) {
    std::string out;
    for (char ch : text)
        if (!NxIsTrimmable(ch)) out += ch;
    return out;
}

bool PlainName(const std::string& name) {
    if (name.empty()) return false;
    for (char ch : name)
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-'))
            return false;
    return true;
}

// Folding moves text between lines but never drops or invents a visible byte; no piece
// holds a line end, and every continuation begins with a blank.
void CheckFold(const TNxHeaderList& list, const std::string& text) {
    TStringList pieces = list.FoldLine(text);
    std::string joined;
    for (int i = 0; i < pieces.Count(); ++i) {
        const std::string& piece = pieces.Get(i);
        NX_FUZZ_CHECK(NxPos("\r\n", piece) == std::string::npos, piece);
        if (i > 0 && !piece.empty() && text.find('\r') == std::string::npos)
            NX_FUZZ_CHECK(piece[0] == ' ', piece);
        joined += piece;
    }
    NX_FUZZ_CHECK(Visible(joined) == Visible(text), text + " -> " + joined);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    NxSetCodePage((flags & 1) ? KoreanCodePage : WesternCodePage);
    const int width = in.Byte();
    const std::string name = in.Text();
    const std::string value = in.Text();
    const std::string block = in.Rest();

    TNxHeaderList list;
    list.SetFoldWidth(width);
    size_t start = 0;
    while (start <= block.size() && static_cast<size_t>(list.Count()) < MaxLines) {
        size_t lf = block.find('\n', start);
        std::string line = block.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        list.Add(line);
        if (lf == std::string::npos) break;
        start = lf + 1;
    }

    const int count = list.Count();
    for (int i = -1; i <= count; ++i) {
        std::string v = list.ValueOfLine(i);
        if (i < 0 || i >= count) NX_FUZZ_CHECK(v.empty(), v);
        if (!v.empty()) NX_FUZZ_CHECK(!NxIsTrimmable(v.front()) && !NxIsTrimmable(v.back()), v);
        if (i >= 0 && i < count) {
            std::string n = list.NameOfLine(i);
            // (Under a double-byte code page a ":" may be the second byte of a character.)
            if (!(flags & 1)) NX_FUZZ_CHECK(n.find(':') == std::string::npos, n);
            if (!n.empty()) NX_FUZZ_CHECK(list.IndexOfName(n) <= i, n);
        }
    }
    TStringList extracted;
    list.Extract(name, &extracted);
    NX_FUZZ_CHECK((list.IndexOfName(name) >= 0) == (extracted.Count() > 0) ||
                      name.find(':') != std::string::npos,
                  name);
    if (extracted.Count() > 0) NX_FUZZ_CHECK(extracted.Get(0) == list.GetValue(name), name);

    CheckFold(list, value);
    CheckFold(list, name + ": " + value);

    // Writing a value and reading it back: the same visible bytes, unless folding left an
    // empty piece (which ends the unfolding) or put the name itself across lines.
    const int before = list.Count();
    list.SetValue(name, value);
    bool readable = PlainName(name) && value.find_first_of("\r\n") == std::string::npos && !value.empty();
    if (readable) {
        TStringList pieces = list.FoldLine(name + ": " + value);
        for (int i = 1; i < pieces.Count(); ++i)
            readable = readable && !pieces.Get(i).empty();
    }
    if (readable) NX_FUZZ_CHECK(Visible(list.GetValue(name)) == Visible(value), list.GetValue(name));
    list.SetValue(name, "");
    // Deleting takes the written line and its continuations away again.
    if (readable) NX_FUZZ_CHECK(list.Count() <= before, name);
    list.DeleteContinuations(0);
    list.DeleteContinuations(list.Count());
    NxResetCodePage();
    return 0;
}
