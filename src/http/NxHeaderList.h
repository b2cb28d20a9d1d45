#pragma once
// TNxHeaderList, an ordered list of header lines (name ":" blank value) with
// lookup by name without regard to case, unfolding on read and folding on write.
// The list operations (Count, Get, Put, Add, Insert, Delete, Clear, Text, SetText, ...)
// are those of TStringList; Get, Put, Insert and Delete raise EStringListError
// "List index out of bounds (%d)" for an index outside the list.
#include <string>

#include "base/StringList.h"

class TNxHeaderList : public TStringList {
public:
    TNxHeaderList() = default;
    // A list with another FoldWidth (the header records use 1024 for their raw lines).
    explicit TNxHeaderList(int foldWidth) : FFoldWidth(foldWidth) {}

    // The line (upper-cased unless NamesMatchCase) up to, not including, its first
    // TrimRight(PairSeparator) (":"); empty when the line has none. Raises for an index
    // outside the list.
    std::string NameOfLine(int index) const;
    // The value of line index: the text after the name and its ":", joined with the
    // continuation lines that follow when UnfoldOnGet (trimmed pieces, one space between),
    // trimmed at both ends. Empty for an index outside the list.
    std::string ValueOfLine(int index) const;
    // First line whose name equals name under NxCompareText (locale, ignoring case); -1.
    int IndexOfName(const std::string& name) const;
    // ValueOfLine(IndexOfName(name)); empty when the name is absent.
    std::string GetValue(const std::string& name) const;
    // Replaces the first line of that name in place (FoldOnSet: folded, its old
    // continuation lines removed), appends it when absent; an empty value deletes the
    // first line of that name (and, with FoldOnSet, its continuation lines).
    void SetValue(const std::string& name, const std::string& value);
    // Appends to destination, in line order, ValueOfLine of every line whose name equals
    // name (ignoring case). A null destination does nothing.
    void Extract(const std::string& name, TStringList* destination) const;
    // Wraps line at FoldWidth (breaks after TAB, blank or ","; never inside double
    // quotes, never inside a double-byte character), cuts it at CR LF and trims each
    // piece at its right end. Continuation pieces begin with a blank.
    TStringList FoldLine(const std::string& line) const;
    // Deletes the continuation lines (not empty, beginning with a blank or TAB) that
    // follow line index.
    void DeleteContinuations(int index);

    // Settings (defaults: ": ", false, true, true, 78).
    const std::string& PairSeparator() const noexcept { return FPairSeparator; }
    void SetPairSeparator(const std::string& value) { FPairSeparator = value; }
    bool NamesMatchCase() const noexcept { return FNamesMatchCase; }
    void SetNamesMatchCase(bool value) noexcept { FNamesMatchCase = value; }
    bool UnfoldOnGet() const noexcept { return FUnfoldOnGet; }
    void SetUnfoldOnGet(bool value) noexcept { FUnfoldOnGet = value; }
    bool FoldOnSet() const noexcept { return FFoldOnSet; }
    void SetFoldOnSet(bool value) noexcept { FFoldOnSet = value; }
    int FoldWidth() const noexcept { return FFoldWidth; }
    void SetFoldWidth(int value) noexcept { FFoldWidth = value; }

private:
    std::string FPairSeparator = ": ";
    bool FNamesMatchCase = false;
    bool FUnfoldOnGet = true;
    bool FFoldOnSet = true;
    int FFoldWidth = 78;
};
