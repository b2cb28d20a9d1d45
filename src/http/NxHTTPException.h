#pragma once
// The HTTP client's protocol failure, apart from the client so that the body reader can
// raise it too.
#include <cstdint>
#include <string>

#include "transport/NxException.h"

// A response that was not accepted: the message is its status line as received (reply
// code -1 when there was no usable status), or what made its body unreadable.
class ENxHTTPProtocolException : public ENxProtocolReplyError {
public:
    ENxHTTPProtocolException(int32_t replyCode, std::string message, std::string errorBody)
        : ENxProtocolReplyError(replyCode, std::move(message)), FErrorBody(std::move(errorBody)) {}
    const std::string& ErrorBody() const noexcept { return FErrorBody; }
    NX_EXCEPTION_NAME(ENxHTTPProtocolException)

private:
    std::string FErrorBody;
};
