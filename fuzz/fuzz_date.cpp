// Internet dates: ParseInternetDate, ZoneOffsetToTime, InternetDateToLocal, and the
// formatted text read back.
// Input: flags byte, eight bytes of a moment to format, then the date text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/NxGlobal.h"
#include "support/FuzzInput.h"

namespace {

// Day counts of 1 January 1 and 31 December 9999.
constexpr double FirstDay = -693593.0;
constexpr double LastDay = 2958466.0;
// Formatted moments are read back from 1 January 1901: a year that reads as 1900 sends
// the parser to its asctime fallback, which takes the time and zone for the year.
constexpr int64_t RoundTripFirstDay = 367;
constexpr int64_t RoundTripFirstSecond = RoundTripFirstDay * 86400;
constexpr int64_t RoundTripSeconds = (2958465LL - RoundTripFirstDay) * 86400;
// The largest zone the two-digit fields can spell: +99 hours 99 minutes (the minutes
// are not limited to 59).
constexpr double LargestZone = (99.0 + 99.0 / 60.0) / 24.0;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A fixed zone 9 hours ahead of UTC, as on the installer's systems.
    setenv("TZ", "KST-9", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nxfuzz::TFuzzInput in(data, size);
    (void)in.Byte();
    uint64_t raw = 0;
    for (int i = 0; i < 8; ++i)
        raw = (raw << 8) | in.Byte();
    const std::string text = in.Rest();

    std::string rest = text;
    TDateTime parsed = ParseInternetDate(rest);
    NX_FUZZ_CHECK(std::isfinite(parsed), text);
    NX_FUZZ_CHECK(parsed == 0 || (parsed >= FirstDay && parsed < LastDay + 1), text);
    NX_FUZZ_CHECK(rest.size() <= text.size(), rest);

    TDateTime zone = ZoneOffsetToTime(text);
    NX_FUZZ_CHECK(std::fabs(zone) <= LargestZone + NxOneSecond, text);
    TDateTime local = InternetDateToLocal(text);
    NX_FUZZ_CHECK(std::isfinite(local), text);

    // Format, then read back: the same second.
    int64_t second = RoundTripFirstSecond + static_cast<int64_t>(raw % RoundTripSeconds);
    TDateTime moment = static_cast<double>(second) / 86400.0;
    std::string formatted = FormatInternetDate(moment);
    TDateTime back = InternetDateToLocal(formatted);
    NX_FUZZ_CHECK(std::fabs(back - moment) < NxOneSecond / 2, formatted);
    return 0;
}
