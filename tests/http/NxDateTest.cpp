#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPStrings.h"

// From NxGlobalTest.cpp: run body in a child process started with that environment.
void RunInChild(const std::vector<std::pair<std::string, std::string>>& environment,
                const std::function<void()>& body);

namespace {

std::string Stamp(TDateTime dt) {
    int y, m, d, h, n, s, ms;
    DecodeDate(dt, y, m, d);
    DecodeTime(dt, h, n, s, ms);
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", y, m, d, h, n, s);
}

long long Minutes(TDateTime span) {
    return std::llround(span * 1440.0);
}

TNxTimeZoneAnswer HookAnswer;
TNxTimeZoneAnswer AnswerHook() {
    return HookAnswer;
}

// The system's time zone replaced by a fixed GetTimeZoneInformation answer.
class FixedZone : public ::testing::Test {
protected:
    void Use(uint32_t result, int32_t bias, int32_t standardBias = 0, int32_t daylightBias = -60) {
        HookAnswer = {result, bias, standardBias, daylightBias};
        NxSetTimeZoneHook(&AnswerHook);
    }
    void TearDown() override { NxSetTimeZoneHook(nullptr); }
};

} // namespace

TEST(NxDate, CalendarMatchesOleDayCounts) {
    struct Row {
        int y, m, d;
        double oa;
    };
    const Row rows[] = {{1899, 12, 30, 0},   {1900, 1, 1, 2},      {1994, 11, 6, 34644}, {2000, 1, 1, 36526},
                        {2024, 3, 5, 45356}, {2024, 2, 29, 45351}, {1800, 1, 1, -36522}};
    for (const Row& r : rows) {
        TDateTime dt = -1;
        ASSERT_TRUE(TryEncodeDate(r.y, r.m, r.d, dt)) << r.y << "-" << r.m << "-" << r.d;
        EXPECT_EQ(dt, r.oa) << r.y << "-" << r.m << "-" << r.d;
        EXPECT_EQ(Stamp(dt), Format("%.4d-%.2d-%.2d 00:00:00", r.y, r.m, r.d));
    }
    TDateTime dt;
    EXPECT_FALSE(TryEncodeDate(1994, 4, 31, dt));
    EXPECT_FALSE(TryEncodeDate(2023, 2, 29, dt));
    EXPECT_FALSE(TryEncodeDate(1994, 0, 1, dt));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, dt));
    EXPECT_EQ(Stamp(1e300), "1899-12-30 00:00:00") << "no calendar date: read as 0, not overflowed";
    EXPECT_EQ(Stamp(std::nan("")), "1899-12-30 00:00:00");
    EXPECT_EQ(DayOfWeek(34644), 1) << "6 November 1994 was a Sunday";
    EXPECT_EQ(DayOfWeek(45356), 3) << "5 March 2024 was a Tuesday";
}

TEST(NxDate, NameIndexes) {
    EXPECT_EQ(DayNameIndex("Sun"), 1);
    EXPECT_EQ(DayNameIndex("sat"), 7);
    EXPECT_EQ(DayNameIndex("Sunday"), 0);
    EXPECT_EQ(MonthIndex("JAN"), 1);
    EXPECT_EQ(MonthIndex("dec"), 12);
    EXPECT_EQ(MonthIndex("Nov,"), 0);
    EXPECT_EQ(MonthIndex(""), 0);
}

TEST(NxDate, ParseInternetDate) {
    struct Row {
        const char* text;
        const char* stamp; // nullptr: the result is 0
        const char* zone;
    };
    const Row rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", "1994-11-06 08:49:37", "GMT"},
        {"Sunday, 06-Nov-94 08:49:37 GMT", "1994-11-06 08:49:37", "GMT"},
        {"Sun Nov  6 08:49:37 1994", "1994-11-06 08:49:37", ""},
        {"Thu, 01 Jan 79 00:00:01 GMT", "2079-01-01 00:00:01", "GMT"},
        {"01 Jan 80 12:00:00 GMT", "1980-01-01 12:00:00", "GMT"},
        {"Mon, 01-Jan-00 00:00:00 GMT", "2000-01-01 00:00:00", "GMT"},
        {"Tue, 5 Mar 2024", "2024-03-05 00:00:00", ""},
        {"Nov 6 1994", "1994-11-06 00:00:00", ""},
        {"  sun, 06 nov 1994 08:49 -0130  ", "1994-11-06 08:49:00", "-0130"},
        {"Sun, 06 Nov 1994 08:49:37 +0900", "1994-11-06 08:49:37", "+0900"},
        {"", nullptr, ""},
        {"Sun, 31 Apr 1994 08:49:37 GMT", nullptr, ""},
        {"Sun, 06 Foo 1994 08:49:37 GMT", nullptr, ""},
        {"Sun, 06 Nov 1994 25:00:00 GMT", nullptr, ""},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        const TDateTime dt = ParseInternetDate(text);
        if (row.stamp)
            EXPECT_EQ(Stamp(dt), row.stamp) << row.text;
        else
            EXPECT_EQ(dt, 0.0) << row.text;
        EXPECT_EQ(text, row.zone) << row.text;
    }
}

TEST(NxDate, ZoneOffsetToTime) {
    struct Row {
        const char* zone;
        long long minutes;
    };
    const Row rows[] = {{"+0900", 540}, {"-0130", -90}, {" +0530xyz", 330}, {"+0000", 0}, {"GMT", 0},
                        {"0900", 0},    {"+09a0", 0},   {"+09", 0},         {"", 0}};
    for (const Row& row : rows)
        EXPECT_EQ(Minutes(ZoneOffsetToTime(row.zone)), row.minutes) << row.zone;
}

TEST_F(FixedZone, BiasRules) {
    struct Row {
        uint32_t result;
        int32_t bias, standardBias, daylightBias;
        long long minutes;
    };
    const Row rows[] = {
        {0, -540, 0, -60, 540}, // no daylight saving time (Seoul)
        {1, 210, 0, -60, -210}, // standard time (St. John's in winter)
        {2, 210, 0, -60, -150}, // daylight time
        {1, 0, 0, -60, 0},      // UTC
        {1, -60, -30, -60, 90}, // a standard bias is added
    };
    for (const Row& row : rows) {
        Use(row.result, row.bias, row.standardBias, row.daylightBias);
        EXPECT_EQ(Minutes(LocalOffsetFromUTC()), row.minutes) << row.result << " " << row.bias;
    }
    for (uint32_t failure : {3u, 0xFFFFFFFFu}) {
        Use(failure, 0);
        try {
            LocalOffsetFromUTC();
            ADD_FAILURE() << "no exception for " << failure;
        } catch (const ENxFailedToRetreiveTimeZoneInfo& e) {
            EXPECT_EQ(e.Message(), "Failed attempting to retrieve time zone information.");
        }
        EXPECT_THROW(FormatInternetDate(45356), ENxFailedToRetreiveTimeZoneInfo);
        EXPECT_THROW(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT"), ENxFailedToRetreiveTimeZoneInfo);
    }
}

TEST_F(FixedZone, InternetDateToLocal) {
    Use(0, -540); // nine hours ahead of UTC
    struct Row {
        const char *text, *local;
    };
    const Row rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", "1994-11-06 17:49:37"},
        {"Sunday, 06-Nov-94 08:49:37 GMT", "1994-11-06 17:49:37"},
        {"Sun Nov  6 08:49:37 1994", "1994-11-06 17:49:37"},
        {"Sun, 06 Nov 1994 08:49:37 UTC", "1994-11-06 17:49:37"},
        {"Sun, 06 Nov 1994 08:49:37 +0900", "1994-11-06 08:49:37"},
        {"Sun, 06 Nov 1994 08:49:37 -0130", "1994-11-06 19:19:37"},
        {"Sun, 06 Nov 1994", "1994-11-06 09:00:00"},
        {"", "1899-12-30 09:00:00"},
        {"Sun, 31 Apr 1994 08:49:37 +0130", "1899-12-30 09:00:00"},
        {"Sun, 06 Foo 1994 +0130", "1899-12-30 09:00:00"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Stamp(InternetDateToLocal(row.text)), row.local) << row.text;
}

TEST_F(FixedZone, FormatInternetDate) {
    TDateTime date, time;
    ASSERT_TRUE(TryEncodeDate(2024, 3, 5, date));
    ASSERT_TRUE(TryEncodeTime(9, 7, 3, 0, time));
    struct Row {
        uint32_t result;
        int32_t bias;
        const char* text;
    };
    const Row rows[] = {{0, -540, "Tue, 5 Mar 2024 09:07:03 +0900"},
                        {1, 210, "Tue, 5 Mar 2024 09:07:03 -0330"},
                        {2, 210, "Tue, 5 Mar 2024 09:07:03 -0230"},
                        {0, 0, "Tue, 5 Mar 2024 09:07:03 +0000"}};
    for (const Row& row : rows) {
        Use(row.result, row.bias);
        const std::string text = FormatInternetDate(date + time);
        EXPECT_EQ(text, row.text);
        // What is written reads back as the same local time.
        EXPECT_EQ(Stamp(InternetDateToLocal(text)), "2024-03-05 09:07:03") << text;
    }
    Use(0, -540);
    ASSERT_TRUE(TryEncodeDate(1994, 11, 16, date));
    EXPECT_EQ(FormatInternetDate(date + 23.5 / 24), "Wed, 16 Nov 1994 23:30:00 +0900");
}

namespace {

// Runs body with the process's time zone set to tz: natively by TZ and tzset; under
// Windows the zone is the process's own from its start, so the test reruns in a child.
void InZone(const char* tz, const std::function<void()>& body) {
#ifdef _WIN32
    RunInChild({{"TZ", tz}}, body);
#else
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    body();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
#endif
}

} // namespace

TEST(NxDateZone, AsiaSeoul) {
    InZone("Asia/Seoul", [] {
        EXPECT_EQ(Minutes(LocalOffsetFromUTC()), 540);
        EXPECT_EQ(Stamp(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT")), "1994-11-06 17:49:37");
        EXPECT_EQ(Stamp(InternetDateToLocal("")), "1899-12-30 09:00:00");
        EXPECT_EQ(FormatInternetDate(45356 + 9.0 / 24), "Tue, 5 Mar 2024 09:00:00 +0900");
    });
}

TEST(NxDateZone, AmericaStJohns) {
    InZone("America/St_Johns", [] {
        // Newfoundland is 3:30 behind UTC, 2:30 in summer; the offset in force now counts.
        const long long minutes = Minutes(LocalOffsetFromUTC());
        EXPECT_TRUE(minutes == -210 || minutes == -150) << minutes;
        const std::string zone = minutes == -210 ? "-0330" : "-0230";
        EXPECT_EQ(FormatInternetDate(45356), "Tue, 5 Mar 2024 00:00:00 " + zone);
        const TDateTime local = InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT");
        EXPECT_EQ(Stamp(local), Stamp(34644 + (8 * 3600 + 49 * 60 + 37) / 86400.0 + minutes / 1440.0));
    });
}

TEST(NxDateZone, Utc) {
    InZone("UTC", [] {
        EXPECT_EQ(Minutes(LocalOffsetFromUTC()), 0);
        EXPECT_EQ(FormatInternetDate(34644), "Sun, 6 Nov 1994 00:00:00 +0000");
    });
}

TEST(NxDate, NowIsLocalTime) {
    const TDateTime now = NxNow();
    int y, m, d;
    DecodeDate(now, y, m, d);
    EXPECT_GE(y, 2024);
    // Two readings a moment apart differ by well under a second.
    EXPECT_LT(std::fabs(NxNow() - now), 1.0 / 86400);
}
