#include "http/NxRetry.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <thread>
#include <typeinfo>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxResourceStrings.h"

namespace NxRetryStrings {
inline constexpr const char* ResumeMismatch = "Resume at %lld answered with %s";
inline constexpr const char* ResumeRange = " (Content-Range: %s)";
} // namespace NxRetryStrings

namespace {

constexpr int32_t StatusOK = 200;
constexpr int32_t StatusPartialContent = 206;

constexpr int32_t TransientSocketErrors[] = {
    NxErr::ECONNREFUSED_,   NxErr::ETIMEDOUT_, NxErr::ENETUNREACH_, NxErr::EHOSTUNREACH_,
    NxErr::HOST_NOT_FOUND_, NxErr::TRY_AGAIN_, NxErr::ECONNRESET_,  NxErr::ECONNABORTED_,
};

// Statuses of a server that is busy, overloaded or between deployments (RFC 7231 6.5.7,
// 6.6; RFC 6585 4).
constexpr int32_t TransientStatuses[] = {408, 429, 500, 502, 503, 504};
// The statuses whose Retry-After replaces the wait.
constexpr int32_t RetryAfterStatuses[] = {429, 503};
// Answers to a range request that only say the range cannot be served: the next attempt
// asks for the whole body instead.
constexpr int32_t RangeRefusedStatuses[] = {412, 416};

template <size_t N> bool Among(const int32_t (&table)[N], int32_t value) {
    return std::find(std::begin(table), std::end(table), value) != std::end(table);
}

// Whether a later attempt may well not meet the failure. The exact class counts, not its
// descendants.
bool IsTransient(const std::exception& failure, const TNxFailureInfo& info) {
    const std::type_info& kind = typeid(failure);
    // A connect or a transfer refused, reset or unreachable; on the connect thread too.
    if (kind == typeid(ENxSocketError) || kind == typeid(ENxConnectException))
        return Among(TransientSocketErrors, info.SocketErrorCode);
    // Nothing within the limit (a stalled server), or the peer closed before the answer was
    // complete: before its status line, in a counted body or in a chunked one.
    if (kind == typeid(ENxConnectTimeout) || kind == typeid(ENxReadTimeout) ||
        kind == typeid(ENxConnClosedGracefully))
        return true;
    if (kind == typeid(ENxHTTPProtocolException) && Among(TransientStatuses, info.StatusCode)) return true;
    // Whatever else the engine calls an answer cut short.
    return NxIsCutAnswer(failure);
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

// The stream back at the download's start, as if nothing had been written.
void CutBack(TStream& stream, int64_t start) {
    stream.SetSize(start);
    stream.SetPosition(start);
}

// Whether a 206's Content-Range continues the body at offset ("bytes offset-last/total").
bool RangeStartsAt(const TNxHTTPResponse& response, int64_t offset) {
    const std::string range = Trim(response.HeaderLines().GetValue("Content-Range"));
    if (range.empty() || !NxSameText(range.substr(0, 6), "bytes ")) return false;
    // ParseHeaderLines has read the positions (a header that was no number failed the
    // head before this point).
    return static_cast<int64_t>(response.ContentRangeStart()) == offset;
}

// The request fields of one resumed attempt, set for its duration and put back after, so
// that the next request's head is exactly what it would have been.
class TResumeFields {
public:
    TResumeFields(TNxHTTPRequest& request, int64_t offset, const std::string& validator)
        : FRequest(request), FRangeStart(request.ContentRangeStart()), FRangeEnd(request.ContentRangeEnd()) {
        FCustom.Assign(request.CustomHeaders());
        request.SetContentRangeStart(static_cast<uint32_t>(offset));
        request.SetContentRangeEnd(0);
        // Added as a line of its own: a long entity tag must not be folded.
        request.CustomHeaders().Add(std::string(IfRangeHeader) + ": " + validator);
    }
    ~TResumeFields() {
        FRequest.SetContentRangeStart(FRangeStart);
        FRequest.SetContentRangeEnd(FRangeEnd);
        FRequest.CustomHeaders().Assign(FCustom);
    }
    TResumeFields(const TResumeFields&) = delete;
    TResumeFields& operator=(const TResumeFields&) = delete;

    static constexpr const char* IfRangeHeader = "If-Range";

private:
    TNxHTTPRequest& FRequest;
    uint32_t FRangeStart;
    uint32_t FRangeEnd;
    TStringList FCustom;
};

// Our handler on the client for the duration of one attempt, chained before the caller's.
class TAcceptedHook {
public:
    TAcceptedHook(TNxCustomHTTP& http, std::function<void(TNxCustomHTTP*)> ours)
        : FHTTP(http), FSaved(http.OnResponseAccepted) {
        http.OnResponseAccepted = [ours = std::move(ours), theirs = FSaved](TNxCustomHTTP* sender) {
            ours(sender);
            if (theirs) theirs(sender);
        };
    }
    ~TAcceptedHook() { FHTTP.OnResponseAccepted = FSaved; }
    TAcceptedHook(const TAcceptedHook&) = delete;
    TAcceptedHook& operator=(const TAcceptedHook&) = delete;

private:
    TNxCustomHTTP& FHTTP;
    TNxHTTPResponseEvent FSaved;
};

} // namespace

int32_t TNxRetryPolicy::WaitBefore(int32_t next) const {
    int64_t wait = std::max(0, FirstWaitMs);
    for (int32_t n = 2; n < next && wait < std::numeric_limits<int32_t>::max(); ++n)
        wait *= WaitGrowthFactor;
    return static_cast<int32_t>(std::min<int64_t>(wait, std::numeric_limits<int32_t>::max()));
}

std::string NxTransientStatusText() {
    std::string text;
    for (int32_t status : TransientStatuses)
        text += (text.empty() ? "" : ", ") + std::to_string(status);
    return text;
}

TNxFailureInfo NxDescribeFailure(const std::exception& failure) {
    TNxFailureInfo info;
    if (const auto* own = dynamic_cast<const Exception*>(&failure)) {
        info.ExceptionClass = own->ClassName();
        info.Message = own->Message();
    } else {
        info.ExceptionClass = "std::exception";
        info.Message = failure.what();
    }
    if (const auto* socket = dynamic_cast<const ENxSocketError*>(&failure))
        info.SocketErrorCode = socket->ErrorCode();
    else if (const auto* connect = dynamic_cast<const ENxConnectException*>(&failure))
        info.SocketErrorCode = connect->ErrorCode();
    if (const auto* status = dynamic_cast<const ENxHTTPProtocolException*>(&failure))
        info.StatusCode = status->ReplyCode();
    info.Transient = IsTransient(failure, info);
    return info;
}

TNxFailureInfo NxDescribeFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return NxDescribeFailure(e);
    } catch (...) {
        TNxFailureInfo info;
        info.ExceptionClass = "unknown";
        return info;
    }
}

int64_t NxRetryAfterMs(const std::string& value) {
    const std::string text = Trim(value);
    if (text.empty()) return -1;
    if (std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
        // Delta seconds (RFC 7231 7.1.3); a number too long to matter is just very long.
        constexpr size_t MaxDigits = 12;
        if (text.size() > MaxDigits) return std::numeric_limits<int64_t>::max();
        return StrToInt64Def(text, 0) * 1000;
    }
    std::string probe = text;
    if (ParseInternetDate(probe) == 0) return -1; // no date at all
    const double ms = (InternetDateToLocal(text) - NxNow()) / NxOneSecond * 1000.0;
    return ms <= 0 ? 0 : static_cast<int64_t>(std::llround(ms));
}

std::string NxRangeValidator(const TNxHeaderList& responseHeaders) {
    const std::string etag = Trim(responseHeaders.GetValue("ETag"));
    // "W/" marks a weak tag (RFC 7232 2.3), case-sensitively.
    if (!etag.empty() && etag.compare(0, 2, "W/") != 0) return etag;
    return Trim(responseHeaders.GetValue("Last-Modified"));
}

TNxRetryDecision NxDecideRetry(const TNxRetryPolicy& policy, const TNxRetryInput& in) {
    TNxRetryDecision decision;
    // A range request the server would not serve is followed by a request for the whole
    // body; anything else decides by its kind.
    const bool rangeRefused =
        in.ResumeOffset > 0 && (in.ResumeMismatch || Among(RangeRefusedStatuses, in.Failure.StatusCode));
    decision.Retry = in.Attempt < in.Attempts && (in.Failure.Transient || rangeRefused);
    decision.Resume = decision.Retry && !rangeRefused && in.MayResume && in.Held > 0 && in.HasValidator &&
                      in.Held <= static_cast<int64_t>(std::numeric_limits<uint32_t>::max());
    // A stream that cannot take back its bytes is only ever resumed.
    if (decision.Retry && !decision.Resume && in.Held > 0 && !policy.StreamCanRestart) decision.Retry = false;
    int64_t wait = policy.WaitBefore(in.Attempt + 1);
    if (Among(RetryAfterStatuses, in.Failure.StatusCode)) {
        const int64_t asked = NxRetryAfterMs(in.RetryAfter);
        if (asked >= 0 && asked <= policy.RetryAfterLimitMs) wait = asked;
    }
    decision.WaitMs = decision.Retry
                          ? static_cast<int32_t>(std::clamp<int64_t>(wait, 0, std::max(0, policy.MaxWaitMs)))
                          : 0;
    return decision;
}

namespace {

// How one attempt ended.
struct TAttemptOutcome {
    bool Accepted = false;  // a 2xx head arrived and its body went (or goes) into the stream
    bool Restarted = false; // a 200 answered the range request: the body starts over
    bool Mismatch = false;  // the answer to the range request cannot continue the body
    std::exception_ptr Failure;
};

// One GET of url into stream: from its start, or after the offset bytes held from earlier
// attempts when offset > 0 (a range request under validator). validator becomes that of an
// accepted answer.
TAttemptOutcome Attempt(TNxCustomHTTP& http, const std::string& url, TStream& stream, int64_t start,
                        int64_t offset, std::string& validator, const TNxRetryPolicy& policy) {
    TAttemptOutcome outcome;
    stream.SetPosition(start + offset);
    http.Response().StatusLine.clear(); // a head that arrives in this attempt is told by it
    TAcceptedHook hook(http, [&](TNxCustomHTTP* sender) {
        TNxHTTPResponse& response = sender->Response();
        const int32_t code = response.StatusCode();
        if (offset > 0) {
            if (code == StatusPartialContent && RangeStartsAt(response, offset)) {
                outcome.Accepted = true;
                return; // appended after what the stream holds
            }
            if (code != StatusOK || !policy.StreamCanRestart) {
                outcome.Mismatch = true;
                const std::string range = response.HeaderLines().GetValue("Content-Range");
                throw ENxResumeMismatch(
                    Format(NxRetryStrings::ResumeMismatch, static_cast<long long>(offset),
                           response.StatusLine.c_str()) +
                    (range.empty() ? std::string() : Format(NxRetryStrings::ResumeRange, range.c_str())));
            }
            // The server ignored the range or the file changed: the body starts over.
            CutBack(stream, start);
            outcome.Restarted = true;
        }
        outcome.Accepted = true;
        validator = NxRangeValidator(response.HeaderLines());
    });
    std::optional<TResumeFields> fields;
    if (offset > 0) fields.emplace(http.Request(), offset, validator);
    try {
        http.GetInto(url, &stream);
    } catch (...) {
        outcome.Failure = std::current_exception();
    }
    return outcome;
}

} // namespace

void NxGetWithRetry(TNxCustomHTTP& http, const std::string& url, TStream& stream,
                    const TNxRetryPolicy& policy, const TNxRetryHooks& hooks) {
    const int32_t attempts = std::max(1, policy.MaxAttempts);
    const int64_t start = stream.Position();
    TNxHTTPRequest& request = http.Request();
    // A caller asking for a range (or naming its own If-Range) keeps its request as it is.
    const bool mayResume = request.ContentRangeStart() == 0 && request.ContentRangeEnd() == 0 &&
                           request.CustomHeaders().IndexOfName(TResumeFields::IfRangeHeader) < 0;
    // The body in the stream so far, and the validator of the response it came from.
    int64_t held = 0;
    std::string validator;

    for (int32_t attempt = 1;; ++attempt) {
        const int64_t offset = held; // > 0 only when this attempt resumes
        if (hooks.BeforeAttempt) hooks.BeforeAttempt(TNxAttemptStart{attempt, attempts, url, offset});
        const auto began = std::chrono::steady_clock::now();
        const TAttemptOutcome outcome = Attempt(http, url, stream, start, offset, validator, policy);

        TNxAttemptReport report;
        report.Attempt = attempt;
        report.Attempts = attempts;
        report.URL = url;
        report.ResumeOffset = offset;
        report.StatusLine = http.Response().StatusLine;
        report.DurationMs = ElapsedMs(began);
        if (outcome.Accepted) {
            held = stream.Position() - start;
            report.BodyBytes = held - (outcome.Restarted ? 0 : offset);
        }
        if (!outcome.Failure) {
            if (hooks.AfterAttempt) hooks.AfterAttempt(report);
            return;
        }

        const TNxFailureInfo info = NxDescribeFailure(outcome.Failure);
        report.Failed = true;
        report.ExceptionClass = info.ExceptionClass;
        report.Message = info.Message;
        report.SocketErrorCode = info.SocketErrorCode;
        report.StatusCode = info.StatusCode;
        report.Transient = info.Transient;

        TNxRetryInput input;
        input.Attempt = attempt;
        input.Attempts = attempts;
        input.Failure = info;
        input.ResumeOffset = offset;
        input.ResumeMismatch = outcome.Mismatch;
        input.Held = held;
        input.HasValidator = !validator.empty();
        input.MayResume = mayResume;
        input.RetryAfter = http.Response().HeaderLines().GetValue("Retry-After");
        const TNxRetryDecision next = NxDecideRetry(policy, input);
        // The client already dropped a connection that a failure left mid-answer; an attempt
        // that follows starts on a fresh one in any case: a busy server may well drop the kept
        // one during the wait.
        if (next.Retry && http.IsConnected()) http.CloseConnection();
        report.WillRetry = next.Retry;
        report.WaitMs = next.WaitMs;
        report.NextResumeOffset = next.Resume ? held : 0;
        if (hooks.AfterAttempt) hooks.AfterAttempt(report);
        if (!next.Retry) std::rethrow_exception(outcome.Failure);

        if (hooks.Wait) {
            if (!hooks.Wait(next.WaitMs, attempt + 1, attempts)) std::rethrow_exception(outcome.Failure);
        } else if (next.WaitMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(next.WaitMs));
        }
        if (!next.Resume) {
            if (held > 0) CutBack(stream, start);
            held = 0;
            validator.clear();
        }
    }
}
