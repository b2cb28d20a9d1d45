#pragma once
// Shared text and date helpers of the HTTP client: the double-byte aware search, split
// at first, trims, the locale case-insensitive comparison, and the Internet date
// functions (RFC 822/1123, RFC 850 and asctime forms).
//
// Strings are 8-bit byte strings in the system's ANSI code page. Positions are 0-based
// and std::string::npos means "not found".
#include <cstdint>
#include <string>

#include "transport/NxException.h"

// ---------------------------------------------------------------------------------------
// Code page and double-byte aware search
// ---------------------------------------------------------------------------------------
// The code page is chosen once at program start:
//  - Windows: GetACP(), with the lead-byte ranges GetCPInfo reports for it.
//  - Native: the codeset of the process's locale as the environment names it (LC_ALL,
//    LC_CTYPE, LANG): CP949/UHC/EUC-KR -> 949 (lead bytes 0x81-0xFE), GBK/GB2312/GB18030 ->
//    936, BIG5 -> 950 (0x81-0xFE), Shift_JIS/CP932 -> 932 (0x81-0x9F, 0xE0-0xFC); UTF-8 ->
//    65001 and every single-byte codeset -> no lead bytes (1252, 28591..., 20127, or 0
//    for a single-byte codeset without a better number).

// The code page in force.
uint32_t NxCodePage();
// Test hook: choose the code page explicitly (949 gives lead bytes 0x81-0xFE, 1252 and
// 65001 none). Windows asks GetCPInfo for the ranges; natively the known double-byte code
// pages above have their ranges and every other number has none. Not thread-safe: call
// it while no other thread searches.
void NxSetCodePage(uint32_t codePage);
// Back to the code page chosen at program start.
void NxResetCodePage();
// True when the code page in force has lead bytes.
bool NxHasLeadBytes();
// True when ch is a lead byte of a two-byte character in the code page in force.
bool NxIsLeadByte(char ch);

// The double-byte aware search: position of the first occurrence of sub in text at or
// after from, or npos. Under a code page with lead bytes the text is walked character by
// character from its start (a lead byte always takes the byte after it along), so a
// match never begins on the second byte of a two-byte character; otherwise it is a plain
// byte search. An empty sub is found at from (when from <= text.size()).
size_t NxPos(const std::string& sub, const std::string& text, size_t from = 0);

// Split at first: returns the part of text before the first occurrence of delimiter
// (found with NxPos) and leaves what follows the delimiter in text. When the delimiter is
// absent the whole text is returned and text becomes empty.
std::string Fetch(std::string& text, const std::string& delimiter);
// The same without consuming: the part before the first delimiter (all of text if absent).
std::string FetchPeek(const std::string& text, const std::string& delimiter);

// ---------------------------------------------------------------------------------------
// Trims, case and numbers
// ---------------------------------------------------------------------------------------
// Trimming removes blanks and control characters: bytes 0x00-0x20 and 0x7F. Bytes of
// 0x80 and up are never trimmed.
bool NxIsTrimmable(char ch);
std::string Trim(const std::string& text);
std::string TrimLeft(const std::string& text);
std::string TrimRight(const std::string& text);

// ASCII letters only are upper-cased; the two bytes of a double-byte character (in the
// code page in force) are kept as they are, every other byte too.
std::string UpperCase(const std::string& text);
// The same, lower-cased.
std::string LowerCase(const std::string& text);

// Case-insensitive comparison under the user's locale: <0, 0 or >0.
//  - Windows: CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, ...).
//  - Native: an equivalent that folds ASCII letters only (a-z = A-Z) and compares every
//    other byte as it is, as an unsigned value; so non-ASCII text (Korean included)
//    matches only byte for byte.
// Header names, cookie domains, cookie names and paths are compared with it.
int NxCompareText(const std::string& a, const std::string& b);
inline bool NxSameText(const std::string& a, const std::string& b) {
    return NxCompareText(a, b) == 0;
}

// Decimal integers: optional leading blanks, an optional "+" or "-", then only digits up
// to the end, within the type's range; anything else gives the default.
int32_t StrToIntDef(const std::string& text, int32_t defaultValue);
int64_t StrToInt64Def(const std::string& text, int64_t defaultValue);

// ---------------------------------------------------------------------------------------
// Date-times
// ---------------------------------------------------------------------------------------
// OLE automation day counts: whole days since 30 December 1899, the fraction being the
// time of day; local time unless said otherwise. Time spans use the same unit (1 = one
// day, 1/24 = one hour).
using TDateTime = double;

inline constexpr TDateTime NxOneHour = 1.0 / 24.0;
inline constexpr TDateTime NxOneMinute = 1.0 / 1440.0;
inline constexpr TDateTime NxOneSecond = 1.0 / 86400.0;

// Raised by LocalOffsetFromUTC with "Failed attempting to retrieve time zone information.".
NX_DECLARE_EXCEPTION(ENxFailedToRetreiveTimeZoneInfo, ENxException)

// Calendar helpers (proleptic Gregorian, years 1..9999). TryEncodeDate/TryEncodeTime
// return false for an impossible date (day 31 in April, month 0) or time (hour >= 24,
// minute or second >= 60, millisecond >= 1000).
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);
void DecodeDate(TDateTime dateTime, int& year, int& month, int& day);
// Rounded to the nearest millisecond.
void DecodeTime(TDateTime dateTime, int& hour, int& minute, int& second, int& millisecond);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime dateTime);
// The current local date and time (Windows: GetLocalTime; native: the C library's local
// time).
TDateTime NxNow();

// Token -> 1..7 ("Sun".."Sat") or 1..12 ("Jan".."Dec"), 0 when not a name. The token is
// upper-cased and compared with "SUN".."SAT" / "JAN".."DEC" as a whole.
int DayNameIndex(const std::string& token);
int MonthIndex(const std::string& token);

// Reads an RFC 822/1123, RFC 850 or asctime date text into a date-time (the zone is not
// applied). On return text holds what follows the time (the zone text). An empty text or
// an impossible date or time gives 0; after an impossible one text is empty. Never raises.
TDateTime ParseInternetDate(std::string& text);
// "+hhmm" / "-hhmm" (first five characters after trimming) -> signed span; 0 for any
// other text.
TDateTime ZoneOffsetToTime(const std::string& zone);
// Local time minus UTC, the offset in force now. Windows: GetTimeZoneInformation with the
// bias rules; native: the C library's local time zone (TZ is re-read on every call).
// Raises ENxFailedToRetreiveTimeZoneInfo when the system cannot tell its zone.
TDateTime LocalOffsetFromUTC();
// ParseInternetDate, minus the zone offset (zone texts of 4 characters or fewer count as
// UTC), plus LocalOffsetFromUTC.
TDateTime InternetDateToLocal(const std::string& text);
// "Tue, 5 Mar 2024 09:07:03 +0900": day name, day without a leading zero, month name,
// year, hh:nn:ss and the current local offset as a numeric zone.
std::string FormatInternetDate(TDateTime localDateTime);

// Test hook for the Windows bias rules: when set, LocalOffsetFromUTC takes the answer of
// the hook instead of asking the system: result is the GetTimeZoneInformation return
// value (0 unknown, 1 standard, 2 daylight, anything else a failure), the biases are in
// minutes. Pass nullptr to ask the system again. Used natively too (the same rules then
// apply), so the rules can be tested on both targets.
struct TNxTimeZoneAnswer {
    uint32_t Result = 0;
    int32_t Bias = 0;
    int32_t StandardBias = 0;
    int32_t DaylightBias = 0;
};
using TNxTimeZoneHook = TNxTimeZoneAnswer (*)();
void NxSetTimeZoneHook(TNxTimeZoneHook hook);
// The span LocalOffsetFromUTC gives for an answer (raises as it does).
TDateTime NxOffsetFromTimeZoneAnswer(const TNxTimeZoneAnswer& answer);
