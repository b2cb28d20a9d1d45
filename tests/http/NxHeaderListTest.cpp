#include <gtest/gtest.h>

#include "http/NxGlobal.h"
#include "http/NxHeaderList.h"

namespace {

TNxHeaderList Lines(std::initializer_list<std::string> lines) {
    TNxHeaderList list;
    for (const std::string& line : lines)
        list.Add(line);
    return list;
}

std::string Words(int first, int last) {
    std::string s;
    for (int i = first; i <= last; ++i) {
        if (!s.empty()) s += ' ';
        s += i < 10 ? "word0" : "word";
        s += std::to_string(i);
    }
    return s;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

TEST(NxHeaderList, DefaultsAndSettings) {
    TNxHeaderList list;
    EXPECT_EQ(list.PairSeparator(), ": ");
    EXPECT_FALSE(list.NamesMatchCase());
    EXPECT_TRUE(list.UnfoldOnGet());
    EXPECT_TRUE(list.FoldOnSet());
    EXPECT_EQ(list.FoldWidth(), 78);
    EXPECT_EQ(TNxHeaderList(1024).FoldWidth(), 1024);
}

TEST(NxHeaderList, LookupByNameIgnoresCase) {
    TNxHeaderList list = Lines({"Content-Type: text/html", "no separator here", "Set-cookie: a=1",
                                "SET-COOKIE: b=2", "Set-cookie2: c=3", "X-Empty:"});
    EXPECT_EQ(list.GetValue("content-type"), "text/html");
    EXPECT_EQ(list.NameOfLine(0), "CONTENT-TYPE");
    list.SetNamesMatchCase(true);
    EXPECT_EQ(list.NameOfLine(0), "Content-Type");
    EXPECT_EQ(list.IndexOfName("CONTENT-TYPE"), 0) << "lookup ignores case either way";
    list.SetNamesMatchCase(false);

    EXPECT_EQ(list.NameOfLine(1), "");
    EXPECT_EQ(list.IndexOfName(""), -1) << "a line without ':' has no name to find";
    EXPECT_EQ(list.IndexOfName("X-Empty"), 5);
    EXPECT_EQ(list.GetValue("X-Empty"), "");
    EXPECT_EQ(list.GetValue("Absent"), "");
    EXPECT_EQ(list.ValueOfLine(6), "");
    EXPECT_EQ(list.ValueOfLine(-1), "");
    EXPECT_THROW(list.NameOfLine(6), EStringListError);

    EXPECT_EQ(list.GetValue("set-cookie"), "a=1") << "the first line of a name only";
    TStringList cookies{"kept"};
    list.Extract("Set-Cookie", &cookies);
    EXPECT_EQ(cookies, (TStringList{"kept", "a=1", "b=2"}));
    list.Extract("Set-Cookie", nullptr); // nothing to fill: nothing happens
}

TEST(NxHeaderList, UnfoldsContinuationLines) {
    TNxHeaderList list = Lines({"X-A:   a", "  b", "\tc", "X-B: z", " y", "", " after-empty"});
    EXPECT_EQ(list.GetValue("X-A"), "a b c");
    EXPECT_EQ(list.GetValue("X-B"), "z y") << "unfolding stops at an empty line";
    TStringList values;
    list.Extract("x-a", &values);
    EXPECT_EQ(values, (TStringList{"a b c"}));
    list.SetUnfoldOnGet(false);
    EXPECT_EQ(list.GetValue("X-A"), "a");
}

TEST(NxHeaderList, UnfoldingJoinsWithOneBlankAndSkipsBlankPieces) {
    struct Case {
        TStringList lines;
        std::string value;
    } cases[] = {
        {{"X: ", "  b", " c"}, "b c"},         // an empty first line: no leading blank
        {{"X: a", " \t ", " c"}, "a c"},       // a blank continuation adds nothing
        {{"X: a  ", "\tb\t", " "}, "a b"},     // nor a trailing one
        {{"X:", " ", "\t"}, ""},
    };
    for (const Case& c : cases) {
        TNxHeaderList list;
        for (int i = 0; i < c.lines.Count(); ++i)
            list.Add(c.lines.Get(i));
        EXPECT_EQ(list.GetValue("X"), c.value) << c.lines.Get(0);
    }
}

TEST(NxHeaderList, ManyContinuationLinesUnfoldInOnePass) {
    // Found by fuzzing: every continuation used to copy the whole value so far.
    constexpr int Pieces = 50000;
    TNxHeaderList list;
    list.Add("X: v");
    for (int i = 0; i < Pieces; ++i)
        list.Add(" piece");
    const std::string value = list.GetValue("X");
    EXPECT_EQ(value.size(), 1 + Pieces * std::string(" piece").size());
    EXPECT_EQ(value.substr(0, 13), "v piece piece");
}

TEST(NxHeaderList, SetValueReplacesAppendsAndDeletes) {
    TNxHeaderList list = Lines({"Host: old", "Accept: */*", " more", "\tmore", "Accept: second", "Last: x"});
    list.SetValue("ACCEPT", "text/html");
    EXPECT_EQ(list, Lines({"Host: old", "ACCEPT: text/html", "Accept: second", "Last: x"}))
        << "replaced in place, its continuations gone, written as the caller spells it";
    list.SetValue("User-Agent", "Nx");
    EXPECT_EQ(list.Get(list.Count() - 1), "User-Agent: Nx");

    TNxHeaderList two = Lines({"A: 1", " 1b", "B: x", "A: 2"});
    two.SetValue("a", "");
    EXPECT_EQ(two, Lines({"B: x", "A: 2"})) << "only the first line of the name goes";
    two.SetValue("Absent", "");
    EXPECT_EQ(two, Lines({"B: x", "A: 2"}));

    TNxHeaderList plain = Lines({"A: 1", " 1b"});
    plain.SetFoldOnSet(false);
    plain.SetValue("A", "2 " + Repeat("x", 100));
    EXPECT_EQ(plain, Lines({"A: 2 " + Repeat("x", 100), " 1b"})) << "no folding, continuations stay";
}

TEST(NxHeaderList, FoldLine) {
    struct Row {
        int width;
        std::string line;
        TStringList pieces;
    };
    const std::string block = " abcdefghi";
    const Row rows[] = {
        // Cut after the last blank seen once the column passes the width.
        {78, "Name: " + Words(1, 20), {"Name: " + Words(1, 10), " " + Words(11, 20)}},
        {78, "Name: " + Words(1, 10), {"Name: " + Words(1, 10)}},
        {1024, "Name: " + Words(1, 20), {"Name: " + Words(1, 20)}},
        {1024, "Name:" + Repeat(block, 120), {"Name:" + Repeat(block, 101), block + Repeat(block, 18)}},
        // Nothing to break at: one piece, however long.
        {78, "X-Token:" + Repeat("x", 200), {"X-Token:" + Repeat("x", 200)}},
        // Commas are break points too.
        {10, "a,b,c,d,e,f,g,h", {"a,b,c,d,e,", " f,g,h"}},
        // Nothing inside double quotes is cut.
        {20, "A: \"aa bb cc dd ee ff gg\" hh ii jj kk", {"A:", " \"aa bb cc dd ee ff gg\"", " hh ii jj kk"}},
        // An existing fold stays where it is.
        {78, "A: one\r\n two three", {"A: one", " two three"}},
    };
    for (const Row& row : rows) {
        TNxHeaderList list(row.width);
        EXPECT_EQ(list.FoldLine(row.line), row.pieces) << row.width << ": " << row.line;
    }
}

TEST(NxHeaderList, FoldLineNeverSplitsADoubleByteCharacter) {
    TNxHeaderList list(10);
    const std::string line = "aaaa\x81 bbbbbbbbb ccc";
    NxSetCodePage(949); // the blank is the second byte of a two-byte character
    EXPECT_EQ(list.FoldLine(line), (TStringList{"aaaa\x81 bbbbbbbbb", " ccc"}));
    NxSetCodePage(1252);
    EXPECT_EQ(list.FoldLine(line), (TStringList{"aaaa\x81", " bbbbbbbbb", " ccc"}));
    NxResetCodePage();
}

TEST(NxHeaderList, SetValueFoldsAndGetValueReadsItBack) {
    TNxHeaderList list = Lines({"First: 1", "Name: old", " old continuation", "Last: 2"});
    list.SetValue("Name", Words(1, 20));
    EXPECT_EQ(list, Lines({"First: 1", "Name: " + Words(1, 10), " " + Words(11, 20), "Last: 2"}));
    EXPECT_EQ(list.GetValue("name"), Words(1, 20));

    // The blank after the colon is a break point: a long value without blanks moves
    // whole onto a continuation line.
    TNxHeaderList token;
    token.SetValue("X-Token", Repeat("x", 100));
    EXPECT_EQ(token, Lines({"X-Token:", " " + Repeat("x", 100)}));
    EXPECT_EQ(token.GetValue("X-Token"), Repeat("x", 100));

    // The raw lists of the header records fold at 1024 only.
    TNxHeaderList raw(1024);
    raw.SetValue("Name", Words(1, 20));
    EXPECT_EQ(raw, Lines({"Name: " + Words(1, 20)}));
}
