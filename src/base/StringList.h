#pragma once
// TStringList: a small ordered list of byte strings with index-checked access and a
// text form (each line followed by CR LF). The HTTP header list builds on it.
#include <initializer_list>
#include <string>
#include <vector>

#include "base/Exception.h"

// Raised by Get, Put, Insert and Delete for an index outside the list, with the message
// "List index out of bounds (%d)" (the offending index).
NX_DECLARE_EXCEPTION(EStringListError, Exception)

namespace NxBaseStrings {
inline constexpr const char* ListIndexError = "List index out of bounds (%d)";
} // namespace NxBaseStrings

class TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> lines) : FLines(lines) {}
    TStringList(const TStringList&) = default;
    TStringList(TStringList&&) noexcept = default;
    TStringList& operator=(const TStringList&) = default;
    TStringList& operator=(TStringList&&) noexcept = default;
    virtual ~TStringList() = default;

    int Count() const noexcept { return static_cast<int>(FLines.size()); }
    bool IsEmpty() const noexcept { return FLines.empty(); }

    // 0 <= index < Count, otherwise EStringListError.
    const std::string& Get(int index) const;
    const std::string& operator[](int index) const { return Get(index); }
    void Put(int index, const std::string& line);
    void Delete(int index);
    // 0 <= index <= Count (Count appends), otherwise EStringListError.
    void Insert(int index, const std::string& line);
    // Appends; returns the new line's index.
    int Add(const std::string& line);
    void Clear() noexcept { FLines.clear(); }

    // Appends every line of other, in order.
    void AddStrings(const TStringList& other);
    // Replaces the lines with a copy of other's lines (only the lines: a derived class
    // keeps its own settings).
    void Assign(const TStringList& other);
    // Index of the first line equal to line (byte for byte), -1 when none.
    int IndexOf(const std::string& line) const;

    // The text form: every line followed by CR LF ("" for an empty list), so the texts
    // of two lists concatenate into the text of both.
    std::string Text() const;
    // Replaces the lines by the lines of text, cut at CR LF, a lone CR or a lone LF; a
    // final line break does not start another line ("a\r\nb\r\n" gives two lines).
    void SetText(const std::string& text);

    const std::vector<std::string>& Lines() const noexcept { return FLines; }

    bool operator==(const TStringList& other) const { return FLines == other.FLines; }

private:
    [[noreturn]] static void IndexError(int index);

    std::vector<std::string> FLines;
};
