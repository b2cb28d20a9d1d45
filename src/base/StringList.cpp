#include "base/StringList.h"

#include "base/Format.h"

void TStringList::IndexError(int index) {
    throw EStringListError(Format(NxBaseStrings::ListIndexError, index));
}

const std::string& TStringList::Get(int index) const {
    if (index < 0 || index >= Count()) IndexError(index);
    return FLines[static_cast<size_t>(index)];
}

void TStringList::Put(int index, const std::string& line) {
    if (index < 0 || index >= Count()) IndexError(index);
    FLines[static_cast<size_t>(index)] = line;
}

void TStringList::Delete(int index) {
    if (index < 0 || index >= Count()) IndexError(index);
    FLines.erase(FLines.begin() + index);
}

void TStringList::Insert(int index, const std::string& line) {
    if (index < 0 || index > Count()) IndexError(index);
    FLines.insert(FLines.begin() + index, line);
}

int TStringList::Add(const std::string& line) {
    FLines.push_back(line);
    return Count() - 1;
}

void TStringList::AddStrings(const TStringList& other) {
    if (&other == this) {
        std::vector<std::string> copy = other.FLines;
        FLines.insert(FLines.end(), copy.begin(), copy.end());
        return;
    }
    FLines.insert(FLines.end(), other.FLines.begin(), other.FLines.end());
}

void TStringList::Assign(const TStringList& other) {
    if (&other != this) FLines = other.FLines;
}

int TStringList::IndexOf(const std::string& line) const {
    for (size_t i = 0; i < FLines.size(); ++i)
        if (FLines[i] == line) return static_cast<int>(i);
    return -1;
}

std::string TStringList::Text() const {
    size_t total = 0;
    for (const std::string& line : FLines)
        total += line.size() + 2;
    std::string result;
    result.reserve(total);
    for (const std::string& line : FLines) {
        result += line;
        result += "\r\n";
    }
    return result;
}

void TStringList::SetText(const std::string& text) {
    std::vector<std::string> lines;
    const size_t n = text.size();
    size_t start = 0;
    while (start < n) {
        size_t end = start;
        while (end < n && text[end] != '\r' && text[end] != '\n')
            ++end;
        lines.emplace_back(text, start, end - start);
        // CR LF, a lone CR and a lone LF each end one line.
        if (end < n && text[end] == '\r') ++end;
        if (end < n && text[end] == '\n') ++end;
        start = end;
    }
    FLines = std::move(lines);
}
