#pragma once
// Downloads that survive a flaky network: a GET is tried again after a failure that a
// later attempt may not meet (a refused or cut connection, a stall, a busy server), with
// growing waits, and a body cut in the middle is resumed with a range request when the
// server gave a validator for it. Every other failure is final at once.
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "transport/NxException.h"

// A resumed request answered with something that cannot continue the body: a 206 for
// another range, another 2xx, or a 200 when the stream cannot start over.
NX_DECLARE_EXCEPTION(ENxResumeMismatch, ENxException)

struct TNxRetryPolicy {
    static constexpr int32_t DefaultMaxAttempts = 4;
    // Waits before the 2nd, 3rd, 4th ... attempt: 1 s, then doubled each time.
    static constexpr int32_t DefaultFirstWaitMs = 1000;
    static constexpr int32_t WaitGrowthFactor = 2;
    // A Retry-After (429, 503) of up to this replaces the wait; a longer one is ignored.
    static constexpr int32_t DefaultRetryAfterLimitMs = 30000;
    // No single wait is longer than this.
    static constexpr int32_t DefaultMaxWaitMs = 30000;

    // Attempts in all, the first included; below 1 counts as 1.
    int32_t MaxAttempts = DefaultMaxAttempts;
    int32_t FirstWaitMs = DefaultFirstWaitMs;
    int32_t RetryAfterLimitMs = DefaultRetryAfterLimitMs;
    int32_t MaxWaitMs = DefaultMaxWaitMs;
    // Whether the stream can be cut back to where the download began (false for a sink
    // that cannot take back what it has written, such as standard output). Without it a
    // download that has written body bytes is only ever resumed, never started over.
    bool StreamCanRestart = true;

    // The wait before attempt next (2 or more), before any Retry-After and the cap.
    int32_t WaitBefore(int32_t next) const;
};

// What is known when an attempt starts.
struct TNxAttemptStart {
    int32_t Attempt = 0;  // 1-based
    int32_t Attempts = 0; // at most, this one included
    std::string URL;
    // Body bytes already in the stream from earlier attempts, which this attempt asks the
    // server to continue after; 0 when it starts from the beginning.
    int64_t ResumeOffset = 0;
};

// How an attempt ended.
struct TNxAttemptReport {
    int32_t Attempt = 0;
    int32_t Attempts = 0;
    std::string URL;
    int64_t ResumeOffset = 0;
    // The last response's status line; empty when no response head arrived.
    std::string StatusLine;
    // Body bytes this attempt put into the stream.
    int64_t BodyBytes = 0;
    int64_t DurationMs = 0;
    bool Failed = false;
    // On failure: the exception's class name and message, the socket error code where the
    // failure has one (0 otherwise), and whether it is worth another attempt at all.
    std::string ExceptionClass;
    std::string Message;
    int32_t SocketErrorCode = 0;
    int32_t StatusCode = 0; // the rejected status; 0 when the failure is no status
    bool Transient = false;
    // Whether another attempt follows (unless the Wait hook gives up), after WaitMs, and
    // where it continues (0: from the beginning).
    bool WillRetry = false;
    int32_t WaitMs = 0;
    int64_t NextResumeOffset = 0;
};

// The caller's hooks; every one is optional.
struct TNxRetryHooks {
    std::function<void(const TNxAttemptStart&)> BeforeAttempt;
    std::function<void(const TNxAttemptReport&)> AfterAttempt;
    // Waits ms before attempt next of attempts. Returns false to give up at once: no further
    // attempt is made and the last failure is raised. Without it the call sleeps.
    std::function<bool(int32_t ms, int32_t next, int32_t attempts)> Wait;
};

// A failure as the policy sees it.
struct TNxFailureInfo {
    std::string ExceptionClass;
    std::string Message;
    int32_t SocketErrorCode = 0; // 0 when the failure has none
    int32_t StatusCode = 0;      // the rejected status; 0 when the failure is no status
    bool Transient = false;
};
TNxFailureInfo NxDescribeFailure(const std::exception& failure);
TNxFailureInfo NxDescribeFailure(const std::exception_ptr& failure);

// What is known when an attempt has failed, for the decision on the next.
struct TNxRetryInput {
    int32_t Attempt = 0;  // the failed one, 1-based
    int32_t Attempts = 0; // at most
    TNxFailureInfo Failure;
    int64_t ResumeOffset = 0;    // where the failed attempt resumed; 0 when it started over
    bool ResumeMismatch = false; // its answer to the range request could not continue the body
    int64_t Held = 0;            // body bytes in the stream now
    bool HasValidator = false;   // the answer they came from named a validator
    bool MayResume = false;      // the caller's request leaves ranges to the policy
    std::string RetryAfter;      // the failed answer's Retry-After value, as received
};

// The next step after a failed attempt.
struct TNxRetryDecision {
    bool Retry = false;  // another attempt follows
    bool Resume = false; // and asks for the rest after the held bytes
    int32_t WaitMs = 0;  // after this wait
};

// Decides the next step from what is known, without touching a connection or a stream:
// transient failures and refused ranges are tried again while attempts are left, resumed
// when the held bytes have a validator and the caller allows it, never started over on a
// stream that cannot restart; the wait grows per attempt, or is a 429 or 503's Retry-After
// within the limit, and never exceeds MaxWaitMs.
TNxRetryDecision NxDecideRetry(const TNxRetryPolicy& policy, const TNxRetryInput& input);

// The statuses worth another attempt, as a list for people: "408, 429, ...".
std::string NxTransientStatusText();

// The wait a response asks for with its Retry-After value (delta seconds or an HTTP date),
// in milliseconds; -1 when the value is empty or neither form.
int64_t NxRetryAfterMs(const std::string& value);

// The validator a range request may name in If-Range: a strong ETag, else the
// Last-Modified text as received; empty when the response gave neither (a weak ETag
// cannot guard a range).
std::string NxRangeValidator(const TNxHeaderList& responseHeaders);

// GETs url into stream (written from its position on, like GetInto) under the policy.
// Returns when an attempt succeeded; raises the last attempt's exception when none did,
// or at once for a failure that is not transient. A resumed attempt sets the request's
// ContentRangeStart and an If-Range custom line for its duration only.
void NxGetWithRetry(TNxCustomHTTP& http, const std::string& url, TStream& stream,
                    const TNxRetryPolicy& policy, const TNxRetryHooks& hooks = {});
