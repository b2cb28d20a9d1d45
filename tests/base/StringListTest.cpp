#include <gtest/gtest.h>

#include <functional>

#include "base/StringList.h"

TEST(StringList, IndexErrorsNameTheIndex) {
    struct Row {
        const char* what;
        std::function<void(TStringList&)> call;
        const char* message;
    };
    const Row rows[] = {
        {"Get past the end", [](TStringList& l) { l.Get(2); }, "List index out of bounds (2)"},
        {"Get -1", [](TStringList& l) { l.Get(-1); }, "List index out of bounds (-1)"},
        {"Put past the end", [](TStringList& l) { l.Put(2, "x"); }, "List index out of bounds (2)"},
        {"Delete past the end", [](TStringList& l) { l.Delete(5); }, "List index out of bounds (5)"},
        {"Insert after Count", [](TStringList& l) { l.Insert(3, "x"); }, "List index out of bounds (3)"},
        {"Insert -1", [](TStringList& l) { l.Insert(-1, "x"); }, "List index out of bounds (-1)"},
    };
    for (const Row& row : rows) {
        TStringList list{"a", "b"};
        try {
            row.call(list);
            ADD_FAILURE() << row.what << ": no exception";
        } catch (const EStringListError& e) {
            EXPECT_EQ(e.Message(), row.message) << row.what;
        }
        EXPECT_EQ(list, (TStringList{"a", "b"})) << row.what << " must leave the list alone";
    }
}

TEST(StringList, EditsKeepOrder) {
    TStringList list;
    EXPECT_EQ(list.Add("b"), 0);
    list.Insert(0, "a");
    list.Insert(2, "d"); // Insert at Count appends
    list.Insert(2, "c");
    list.Put(3, "D");
    EXPECT_EQ(list, (TStringList{"a", "b", "c", "D"}));
    list.Delete(1);
    EXPECT_EQ(list.IndexOf("c"), 1);
    EXPECT_EQ(list.IndexOf("C"), -1);
    list.AddStrings(list);
    EXPECT_EQ(list, (TStringList{"a", "c", "D", "a", "c", "D"}));
}

TEST(StringList, TextFormEndsEveryLineWithCrLf) {
    EXPECT_EQ(TStringList().Text(), "");
    EXPECT_EQ((TStringList{"a", "", "b"}).Text(), "a\r\n\r\nb\r\n");

    struct Row {
        const char* text;
        TStringList lines;
    };
    const Row rows[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\nb\rc", {"a", "b", "c"}},
        {"\r\n", {""}},
    };
    for (const Row& row : rows) {
        TStringList list{"old"};
        list.SetText(row.text);
        EXPECT_EQ(list, row.lines) << row.text;
    }
    // Texts of two lists concatenate into the text of both.
    TStringList both;
    both.SetText(TStringList{"x: 1"}.Text() + TStringList{"y: 2", "z: 3"}.Text());
    EXPECT_EQ(both, (TStringList{"x: 1", "y: 2", "z: 3"}));
}
