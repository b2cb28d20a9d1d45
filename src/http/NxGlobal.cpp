#include "http/NxGlobal.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "base/Format.h"
#include "http/NxHTTPStrings.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <locale.h>
#endif

namespace {

// ---------------------------------------------------------------------------------------
// Code page state
// ---------------------------------------------------------------------------------------
struct TCodePageInfo {
    uint32_t CodePage = 0;
    bool Any = false;
    std::array<bool, 256> Lead{};
};

void SetRange(TCodePageInfo& info, unsigned first, unsigned last) {
    for (unsigned b = first; b <= last && b < 256; ++b)
        info.Lead[b] = true;
    if (first <= last) info.Any = true;
}

TCodePageInfo InfoForCodePage(uint32_t codePage) {
    TCodePageInfo info;
    info.CodePage = codePage;
#ifdef _WIN32
    CPINFO cp{};
    if (GetCPInfo(codePage, &cp)) {
        for (int i = 0; i + 1 < MAX_LEADBYTES && (cp.LeadByte[i] != 0 || cp.LeadByte[i + 1] != 0); i += 2)
            SetRange(info, cp.LeadByte[i], cp.LeadByte[i + 1]);
    }
#else
    switch (codePage) {
    case 936: // GBK
    case 949: // Unified Hangul Code
    case 950: // Big5
        SetRange(info, 0x81, 0xFE);
        break;
    case 932: // Shift_JIS
        SetRange(info, 0x81, 0x9F);
        SetRange(info, 0xE0, 0xFC);
        break;
    default:
        break;
    }
#endif
    return info;
}

#ifndef _WIN32
// "ko_KR.EUC-KR@euro" -> "EUCKR": upper case, without "-" and "_".
std::string NormaliseCodeset(const std::string& name) {
    std::string out;
    for (char ch : name) {
        if (ch == '-' || ch == '_') continue;
        out += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
    }
    return out;
}

uint32_t CodePageOfCodeset(const std::string& codeset) {
    const std::string c = NormaliseCodeset(codeset);
    if (c == "UTF8") return 65001;
    if (c == "CP949" || c == "UHC" || c == "EUCKR" || c == "KSC5601") return 949;
    if (c == "CP936" || c == "GBK" || c == "GB2312" || c == "EUCCN" || c == "GB18030") return 936;
    if (c == "CP950" || c == "BIG5" || c == "BIG5HKSCS") return 950;
    if (c == "CP932" || c == "SJIS" || c == "SHIFTJIS") return 932;
    if (c == "CP1252") return 1252;
    if (c == "ANSIX3.41968" || c == "ASCII" || c == "USASCII") return 20127;
    if (c.rfind("ISO8859", 0) == 0) {
        const int part = std::atoi(c.c_str() + 7);
        if (part > 0 && part < 17) return 28590 + static_cast<uint32_t>(part);
    }
    return 0;
}

// The codeset the environment's locale names, read without changing the process's
// locale; falls back to the name's own ".codeset" when the locale is not installed.
uint32_t CodePageOfEnvironment() {
    if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
        const char* codeset = nl_langinfo_l(CODESET, loc);
        const uint32_t cp = CodePageOfCodeset(codeset ? codeset : "");
        freelocale(loc);
        return cp;
    }
    const char* name = nullptr;
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            name = v;
            break;
        }
    }
    if (!name) return 20127;
    std::string s = name;
    const size_t dot = s.find('.');
    if (dot == std::string::npos) return 0;
    s = s.substr(dot + 1);
    const size_t at = s.find('@');
    if (at != std::string::npos) s.resize(at);
    return CodePageOfCodeset(s);
}
#endif

uint32_t SystemCodePage() {
#ifdef _WIN32
    return GetACP();
#else
    return CodePageOfEnvironment();
#endif
}

const TCodePageInfo& StartupCodePage() {
    static const TCodePageInfo info = InfoForCodePage(SystemCodePage());
    return info;
}

TCodePageInfo& CurrentCodePage() {
    static TCodePageInfo info = StartupCodePage();
    return info;
}

// Chosen once at program start, before main.
[[maybe_unused]] const bool CodePageChosen = (CurrentCodePage(), true);

TNxTimeZoneHook TimeZoneHook = nullptr;

inline char AsciiUpper(char ch) {
    return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
}

inline char AsciiLower(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

constexpr const char* DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* DayNamesUpper[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
constexpr const char* MonthNamesUpper[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                             "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

constexpr int64_t MSecsPerDay = 86400000;
// Days from 0001-01-01 to 1899-12-30.
constexpr int64_t DateDelta = 693594;

bool IsLeapYear(int year) {
    return (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (month == 2 && IsLeapYear(year)) ? 29 : days[month - 1];
}

// Whole milliseconds of a date-time, rounded, as the OLE convention reads it: the day
// part counts towards zero and the time of day is the absolute fraction.
void SplitDateTime(TDateTime dt, int64_t& days, int64_t& msOfDay) {
    // Outside years 1..9999 (or not a number) there is no calendar date: read it as 0.
    if (!(dt >= -693594.0 && dt < 2958466.0)) dt = 0;
    const int64_t total = std::llround(dt * static_cast<double>(MSecsPerDay));
    days = total / MSecsPerDay;
    msOfDay = (total < 0 ? -total : total) % MSecsPerDay;
}

bool IsTwoDigits(const std::string& s) {
    return s.size() == 2 && s[0] >= '0' && s[0] <= '9' && s[1] >= '0' && s[1] <= '9';
}

template <typename T> T ParseDecimal(const std::string& text, T defaultValue) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == n) return defaultValue;
    // Accumulate negatively so that the type's minimum is reachable.
    T value = 0;
    const T lowest = std::numeric_limits<T>::min();
    for (; i < n; ++i) {
        const char ch = text[i];
        if (ch < '0' || ch > '9') return defaultValue;
        const T digit = static_cast<T>(ch - '0');
        if (value < (lowest + digit) / 10) return defaultValue;
        value = static_cast<T>(value * 10 - digit);
    }
    if (!negative) {
        if (value == lowest) return defaultValue;
        value = static_cast<T>(-value);
    }
    return value;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Code page and search
// ---------------------------------------------------------------------------------------
uint32_t NxCodePage() {
    return CurrentCodePage().CodePage;
}

void NxSetCodePage(uint32_t codePage) {
    CurrentCodePage() = InfoForCodePage(codePage);
}

void NxResetCodePage() {
    CurrentCodePage() = StartupCodePage();
}

bool NxHasLeadBytes() {
    return CurrentCodePage().Any;
}

bool NxIsLeadByte(char ch) {
    return CurrentCodePage().Lead[static_cast<unsigned char>(ch)];
}

size_t NxPos(const std::string& sub, const std::string& text, size_t from) {
    const size_t n = text.size();
    if (from > n) return std::string::npos;
    if (sub.empty()) return from;
    const TCodePageInfo& cp = CurrentCodePage();
    if (!cp.Any) return text.find(sub, from);
    const size_t m = sub.size();
    size_t i = 0;
    while (i + m <= n) {
        if (i >= from && text.compare(i, m, sub) == 0) return i;
        i += cp.Lead[static_cast<unsigned char>(text[i])] ? 2 : 1;
    }
    return std::string::npos;
}

std::string Fetch(std::string& text, const std::string& delimiter) {
    const size_t p = NxPos(delimiter, text);
    std::string part;
    if (p == std::string::npos) {
        part.swap(text);
        text.clear();
    } else {
        part = text.substr(0, p);
        text.erase(0, p + delimiter.size());
    }
    return part;
}

std::string FetchPeek(const std::string& text, const std::string& delimiter) {
    const size_t p = NxPos(delimiter, text);
    return p == std::string::npos ? text : text.substr(0, p);
}

// ---------------------------------------------------------------------------------------
// Trims, case and numbers
// ---------------------------------------------------------------------------------------
bool NxIsTrimmable(char ch) {
    const unsigned char b = static_cast<unsigned char>(ch);
    return b <= 0x20 || b == 0x7F;
}

std::string Trim(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && NxIsTrimmable(text[first]))
        ++first;
    while (last > first && NxIsTrimmable(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::string TrimLeft(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && NxIsTrimmable(text[first]))
        ++first;
    return text.substr(first);
}

std::string TrimRight(const std::string& text) {
    size_t last = text.size();
    while (last > 0 && NxIsTrimmable(text[last - 1]))
        --last;
    return text.substr(0, last);
}

namespace {
// Every single-byte character through map; the two bytes of a double-byte character are kept,
// since a trail byte may look like an ASCII letter.
std::string MapSingleBytes(const std::string& text, char (*map)(char)) {
    std::string out = text;
    const TCodePageInfo& cp = CurrentCodePage();
    for (size_t i = 0; i < out.size(); ++i) {
        if (cp.Lead[static_cast<unsigned char>(out[i])]) {
            ++i;
            continue;
        }
        out[i] = map(out[i]);
    }
    return out;
}
} // namespace

std::string UpperCase(const std::string& text) {
    return MapSingleBytes(text, AsciiUpper);
}

std::string LowerCase(const std::string& text) {
    return MapSingleBytes(text, AsciiLower);
}

int NxCompareText(const std::string& a, const std::string& b) {
#ifdef _WIN32
    const int r = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                                 b.data(), static_cast<int>(b.size()));
    if (r != 0) return r - CSTR_EQUAL;
        // The call failed (it should not): fall back to the ASCII folding below.
#endif
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(AsciiUpper(a[i]));
        const unsigned char y = static_cast<unsigned char>(AsciiUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int32_t StrToIntDef(const std::string& text, int32_t defaultValue) {
    return ParseDecimal(text, defaultValue);
}

int64_t StrToInt64Def(const std::string& text, int64_t defaultValue) {
    return ParseDecimal(text, defaultValue);
}

// ---------------------------------------------------------------------------------------
// Calendar
// ---------------------------------------------------------------------------------------
bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    int64_t days = day;
    for (int m = 1; m < month; ++m)
        days += DaysInMonth(year, m);
    const int64_t y = year - 1;
    days += y * 365 + y / 4 - y / 100 + y / 400;
    result = static_cast<TDateTime>(days - DateDelta);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
    if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 ||
        millisecond < 0 || millisecond >= 1000)
        return false;
    const int64_t ms = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    result = static_cast<TDateTime>(ms) / static_cast<TDateTime>(MSecsPerDay);
    return true;
}

void DecodeDate(TDateTime dateTime, int& year, int& month, int& day) {
    int64_t days, ms;
    SplitDateTime(dateTime, days, ms);
    // Civil date from a day count (days since 1970-01-01), proleptic Gregorian.
    int64_t z = days - 25569 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

void DecodeTime(TDateTime dateTime, int& hour, int& minute, int& second, int& millisecond) {
    int64_t days, ms;
    SplitDateTime(dateTime, days, ms);
    millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    second = static_cast<int>(ms % 60);
    ms /= 60;
    minute = static_cast<int>(ms % 60);
    hour = static_cast<int>(ms / 60);
}

int DayOfWeek(TDateTime dateTime) {
    int64_t days, ms;
    SplitDateTime(dateTime, days, ms);
    // Day 0 (30 December 1899) was a Saturday.
    return static_cast<int>(((days + 6) % 7 + 7) % 7) + 1;
}

TDateTime NxNow() {
#ifdef _WIN32
    SYSTEMTIME st;
    GetLocalTime(&st);
    TDateTime date = 0, time = 0;
    TryEncodeDate(st.wYear, st.wMonth, st.wDay, date);
    TryEncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, time);
    return date + time;
#else
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tzset();
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    TDateTime date = 0, time = 0;
    TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date);
    // A leap second reads as the last second of the minute.
    TryEncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                  static_cast<int>(ts.tv_nsec / 1000000), time);
    return date + time;
#endif
}

// ---------------------------------------------------------------------------------------
// Internet dates
// ---------------------------------------------------------------------------------------
int DayNameIndex(const std::string& token) {
    const std::string u = UpperCase(token);
    for (int i = 0; i < 7; ++i)
        if (u == DayNamesUpper[i]) return i + 1;
    return 0;
}

int MonthIndex(const std::string& token) {
    const std::string u = UpperCase(token);
    for (int i = 0; i < 12; ++i)
        if (u == MonthNamesUpper[i]) return i + 1;
    return 0;
}

TDateTime ParseInternetDate(std::string& text) {
    text = Trim(text);
    if (text.empty()) return 0;

    // "Sun, " / "Sunday, ": the comma goes with the day name.
    if (DayNameIndex(text.substr(0, 3)) > 0) {
        Fetch(text, " ");
        text = TrimLeft(text);
    }
    // RFC 850 dates ("06-Nov-94") separate the date parts with "-".
    const size_t dash = NxPos("-", text);
    const size_t blank = NxPos(" ", text);
    const std::string sep =
        (dash != std::string::npos && dash >= 1 && blank != std::string::npos && dash < blank)
            ? std::string("-")
            : std::string(" ");
    int day, month;
    if (MonthIndex(FetchPeek(text, sep)) > 0) {
        // asctime ("Nov  6 08:49:37 1994") and other month-first forms
        month = MonthIndex(Fetch(text, sep));
        text = TrimLeft(text);
        day = StrToIntDef(Fetch(text, sep), 1);
        text = TrimLeft(text);
    } else {
        day = StrToIntDef(Fetch(text, sep), 1);
        text = TrimLeft(text);
        month = MonthIndex(Fetch(text, sep));
        text = TrimLeft(text);
    }
    // The year follows the date (RFC 822/850) or the time (asctime).
    std::string part = Fetch(text, " ");
    int year = StrToIntDef(part, 1900);
    if (year == 1900) {
        year = StrToIntDef(text, 1900);
        text = part;
    }
    // Two-digit years: 00..79 are 2000..2079, 80..99 are 1980..1999.
    if (year < 80)
        year += 2000;
    else if (year < 100)
        year += 1900;

    TDateTime result = 0;
    if (!TryEncodeDate(year, month, day, result)) {
        text.clear();
        return 0;
    }
    if (NxPos(":", text) != std::string::npos) {
        std::string clock = Fetch(text, " ");
        const int hour = StrToIntDef(Fetch(clock, ":"), 0);
        const int minute = StrToIntDef(Fetch(clock, ":"), 0);
        const int second = StrToIntDef(Fetch(clock, ":"), 0);
        TDateTime time = 0;
        if (!TryEncodeTime(hour, minute, second, 0, time)) {
            text.clear();
            return 0;
        }
        result += time;
    }
    text = TrimLeft(text);
    return result;
}

TDateTime ZoneOffsetToTime(const std::string& zone) {
    const std::string z = Trim(zone).substr(0, 5);
    if (z.empty() || (z[0] != '+' && z[0] != '-')) return 0;
    const std::string hh = z.substr(1, 2);
    const std::string mm = z.size() > 3 ? z.substr(3, 2) : std::string();
    if (!IsTwoDigits(hh) || !IsTwoDigits(mm)) return 0;
    const int minutes = std::atoi(hh.c_str()) * 60 + std::atoi(mm.c_str());
    const TDateTime span = minutes * NxOneMinute;
    return z[0] == '-' ? -span : span;
}

TDateTime NxOffsetFromTimeZoneAnswer(const TNxTimeZoneAnswer& answer) {
    int32_t bias;
    switch (answer.Result) {
    case 0: // TIME_ZONE_ID_UNKNOWN: no daylight saving time in this zone
        bias = answer.Bias;
        break;
    case 1: // TIME_ZONE_ID_STANDARD
        bias = answer.Bias + answer.StandardBias;
        break;
    case 2: // TIME_ZONE_ID_DAYLIGHT
        bias = answer.Bias + answer.DaylightBias;
        break;
    default:
        throw ENxFailedToRetreiveTimeZoneInfo(NxHTTPStrings::FailedTimeZoneInfo);
    }
    // The bias is UTC minus local time, in minutes.
    const TDateTime span = std::abs(bias) * NxOneMinute;
    return bias > 0 ? -span : span;
}

void NxSetTimeZoneHook(TNxTimeZoneHook hook) {
    TimeZoneHook = hook;
}

TDateTime LocalOffsetFromUTC() {
    if (TimeZoneHook) return NxOffsetFromTimeZoneAnswer(TimeZoneHook());
#ifdef _WIN32
    TIME_ZONE_INFORMATION tzi{};
    TNxTimeZoneAnswer answer;
    answer.Result = GetTimeZoneInformation(&tzi);
    answer.Bias = tzi.Bias;
    answer.StandardBias = tzi.StandardBias;
    answer.DaylightBias = tzi.DaylightBias;
    return NxOffsetFromTimeZoneAnswer(answer);
#else
    // localtime_r need not look at TZ again; tzset makes a changed TZ count.
    tzset();
    const time_t now = std::time(nullptr);
    tm local{};
    if (now == static_cast<time_t>(-1) || !localtime_r(&now, &local))
        throw ENxFailedToRetreiveTimeZoneInfo(NxHTTPStrings::FailedTimeZoneInfo);
    return static_cast<TDateTime>(local.tm_gmtoff) * NxOneSecond;
#endif
}

TDateTime InternetDateToLocal(const std::string& text) {
    std::string zone = text;
    const TDateTime t = ParseInternetDate(zone);
    // "GMT", "UTC", "Z" and an absent zone count as UTC.
    const TDateTime offset = zone.size() > 4 ? ZoneOffsetToTime(zone) : 0;
    return t - offset + LocalOffsetFromUTC();
}

std::string FormatInternetDate(TDateTime localDateTime) {
    int year, month, day, hour, minute, second, ms;
    DecodeDate(localDateTime, year, month, day);
    DecodeTime(localDateTime, hour, minute, second, ms);
    const TDateTime offset = LocalOffsetFromUTC();
    const long long zoneMinutes = std::llround(std::fabs(offset) * 1440.0);
    const std::string clock = Format("%.2d:%.2d:%.2d", hour, minute, second);
    const std::string zone =
        Format("%s%.2lld%.2lld", offset >= 0 ? "+" : "-", zoneMinutes / 60, zoneMinutes % 60);
    return Format("%s, %d %s %d %s %s", DayNames[DayOfWeek(localDateTime) - 1], day, MonthNames[month - 1],
                  year, clock.c_str(), zone.c_str());
}
