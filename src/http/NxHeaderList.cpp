#include "http/NxHeaderList.h"

#include "http/NxGlobal.h"

namespace {

// RFC 822 folding: a line that begins with linear white space continues the one above.
bool IsContinuation(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

bool IsFoldBreakChar(char ch) {
    return ch == '\t' || ch == ' ' || ch == ',';
}

const std::string FoldBreak = "\r\n ";

} // namespace

std::string TNxHeaderList::NameOfLine(int index) const {
    const std::string& line = Get(index);
    const size_t p = NxPos(TrimRight(FPairSeparator), line);
    if (p == std::string::npos) return {};
    std::string name = line.substr(0, p);
    return FNamesMatchCase ? name : UpperCase(name);
}

std::string TNxHeaderList::ValueOfLine(int index) const {
    if (index < 0 || index >= Count()) return {};
    const std::string& line = Get(index);
    const size_t start = NameOfLine(index).size() + 1;
    std::string value = Trim(start < line.size() ? line.substr(start) : std::string());
    if (FUnfoldOnGet) {
        // Appended in place: rebuilding the value for every continuation made a head of
        // many continuation lines quadratic. Blank continuations add nothing.
        for (int j = index + 1; j < Count() && IsContinuation(Get(j)); ++j) {
            const std::string piece = Trim(Get(j));
            if (piece.empty()) continue;
            if (!value.empty()) value += ' ';
            value += piece;
        }
    }
    return value;
}

int TNxHeaderList::IndexOfName(const std::string& name) const {
    const std::string separator = TrimRight(FPairSeparator);
    for (int i = 0; i < Count(); ++i) {
        // A line without a separator has no name at all, not an empty one.
        if (NxPos(separator, Get(i)) == std::string::npos) continue;
        if (NxSameText(NameOfLine(i), name)) return i;
    }
    return -1;
}

std::string TNxHeaderList::GetValue(const std::string& name) const {
    return ValueOfLine(IndexOfName(name));
}

void TNxHeaderList::SetValue(const std::string& name, const std::string& value) {
    int i = IndexOfName(name);
    if (!value.empty()) {
        if (i < 0) i = Add(std::string());
        const std::string line = name + FPairSeparator + value;
        if (!FFoldOnSet) {
            Put(i, line);
            return;
        }
        DeleteContinuations(i);
        const TStringList pieces = FoldLine(line);
        if (pieces.IsEmpty()) {
            Put(i, line);
            return;
        }
        Put(i, pieces[0]);
        for (int k = 1; k < pieces.Count(); ++k)
            Insert(i + k, pieces[k]);
    } else if (i >= 0) {
        if (FFoldOnSet) DeleteContinuations(i);
        Delete(i);
    }
}

void TNxHeaderList::Extract(const std::string& name, TStringList* destination) const {
    if (!destination) return;
    const std::string separator = TrimRight(FPairSeparator);
    for (int i = 0; i < Count(); ++i) {
        if (NxPos(separator, Get(i)) == std::string::npos) continue;
        if (NxSameText(NameOfLine(i), name)) destination->Add(ValueOfLine(i));
    }
}

void TNxHeaderList::DeleteContinuations(int index) {
    if (index < 0) return;
    while (index + 1 < Count() && IsContinuation(Get(index + 1)))
        Delete(index + 1);
}

TStringList TNxHeaderList::FoldLine(const std::string& line) const {
    // Positions are 1-based below: p is the scan position, s the start of the piece being
    // built, b the last break character seen (0: none), col the column of p.
    const auto at = [&line](size_t pos) { return line[pos - 1]; };
    const size_t n = line.size();
    const size_t width = FFoldWidth < 0 ? 0 : static_cast<size_t>(FFoldWidth);
    size_t p = 1, col = 1, s = 1, b = 0;
    bool quoted = false, foundBreak = false;
    std::string wrapped;
    while (p <= n) {
        const char ch = at(p);
        if (NxIsLeadByte(ch)) {
            // Never split a two-byte character.
            ++p;
            ++col;
        } else if (ch == '\r') {
            if (!quoted) {
                // An existing fold stays where it is.
                foundBreak = line.compare(p - 1, FoldBreak.size(), FoldBreak) == 0;
                if (foundBreak) {
                    p += FoldBreak.size() - 1;
                    b = p;
                }
            }
        } else if (IsFoldBreakChar(ch)) {
            if (!quoted) b = p;
        } else if (ch == '"') {
            // Quoted strings are never cut.
            quoted = !quoted;
        }
        ++p;
        ++col;
        if (!quoted && (foundBreak || (col > width && b > s))) {
            col = p - b;
            wrapped.append(line, s - 1, b - s + 1);
            if (ch != '"')
                while (p <= n && (IsFoldBreakChar(at(p)) || at(p) == '\r' || at(p) == '\n'))
                    ++p;
            if (!foundBreak && p < n) wrapped += FoldBreak;
            s = b + 1;
            foundBreak = false;
        }
    }
    if (s - 1 < n) wrapped.append(line, s - 1, std::string::npos);

    TStringList pieces;
    while (!wrapped.empty())
        pieces.Add(TrimRight(Fetch(wrapped, "\r\n")));
    return pieces;
}
