#pragma once
// The transport's exception tree. Only the classes with fields add anything beyond
// the message text; the rest exist so that callers can catch by kind.
#include <cstdint>
#include <string>

#include "base/Exception.h"

NX_DECLARE_EXCEPTION(ENxException, Exception)

NX_DECLARE_EXCEPTION(ENxSilentException, ENxException)
NX_DECLARE_EXCEPTION(ENxConnClosedGracefully, ENxSilentException)
NX_DECLARE_EXCEPTION(ENxAlreadyConnected, ENxException)
NX_DECLARE_EXCEPTION(ENxClosedSocket, ENxException)
NX_DECLARE_EXCEPTION(ENxReadTimeout, ENxException)
NX_DECLARE_EXCEPTION(ENxReadLnMaxLineLengthExceeded, ENxException)
NX_DECLARE_EXCEPTION(ENxInvalidServiceName, ENxException)

class ENxProtocolReplyError : public ENxException {
public:
    ENxProtocolReplyError(int32_t replyCode, std::string message)
        : ENxException(std::move(message)), FReplyCode(replyCode) {}
    int32_t ReplyCode() const noexcept { return FReplyCode; }
    NX_EXCEPTION_NAME(ENxProtocolReplyError)

private:
    int32_t FReplyCode;
};
NX_DECLARE_EXCEPTION(ENxSSLProtocolReplyError, ENxProtocolReplyError)

NX_DECLARE_EXCEPTION(ENxConnectTimeout, ENxException)
// A connect that failed on the connect thread: the thread's message, and the socket error
// code behind it (0 when the failure was no socket error).
class ENxConnectException : public ENxException {
public:
    ENxConnectException(int32_t errorCode, std::string message)
        : ENxException(std::move(message)), FErrorCode(errorCode) {}
    int32_t ErrorCode() const noexcept { return FErrorCode; }
    NX_EXCEPTION_NAME(ENxConnectException)

private:
    int32_t FErrorCode;
};

// SOCKS kinds: the negotiation's failures (NxSocks.h), each with its text in NxResourceStrings.h.
NX_DECLARE_EXCEPTION(ENxSocksError, ENxException)
NX_DECLARE_EXCEPTION(ENxSocksRequestFailed, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksRequestServerFailed, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksRequestIdentFailed, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksUnknownError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerRespondError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksAuthMethodError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksAuthError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerGeneralError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerPermissionError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerNetUnreachableError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerHostUnreachableError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerConnectionRefusedError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerTTLExpiredError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerCommandError, ENxSocksError)
NX_DECLARE_EXCEPTION(ENxSocksServerAddressError, ENxSocksError)

NX_DECLARE_EXCEPTION(ENxInvalidSocket, ENxException)

class ENxSocketError : public ENxException {
public:
    ENxSocketError(int32_t errorCode, std::string message)
        : ENxException(std::move(message)), FErrorCode(errorCode) {}
    int32_t ErrorCode() const noexcept { return FErrorCode; }
    NX_EXCEPTION_NAME(ENxSocketError)

private:
    int32_t FErrorCode;
};

class ENxWS2StubError : public ENxException {
public:
    // Code 0: the message is the title alone; otherwise title + ": " + the system's text.
    ENxWS2StubError(std::string title, uint32_t systemErrorCode);
    uint32_t SystemErrorCode() const noexcept { return FSystemErrorCode; }
    const std::string& SystemErrorText() const noexcept { return FSystemErrorText; }
    const std::string& Title() const noexcept { return FTitle; }
    NX_EXCEPTION_NAME(ENxWS2StubError)

private:
    uint32_t FSystemErrorCode;
    std::string FSystemErrorText;
    std::string FTitle;
};

NX_DECLARE_EXCEPTION(ENxStackError, ENxException)
NX_DECLARE_EXCEPTION(ENxStackInitializationFailed, ENxStackError)
NX_DECLARE_EXCEPTION(ENxStackSetSizeExceeded, ENxStackError)

NX_DECLARE_EXCEPTION(ENxSocketHandleError, ENxException)
NX_DECLARE_EXCEPTION(ENxCouldNotBindSocket, ENxSocketHandleError)
NX_DECLARE_EXCEPTION(ENxCanNotBindPortInRange, ENxSocketHandleError)
NX_DECLARE_EXCEPTION(ENxInvalidPortRange, ENxSocketHandleError)

// A TLS failure: which check failed, and the socket error code behind it (0 when the
// failure did not come from a socket call).
enum TNxTLSCheck {
    tcUntrustedIssuer,
    tcNameMismatch,
    tcValidity,
    tcHandshake,
    tcProtocolVersion,
    tcTruncated,
    tcRecord,
    tcTrustFile,
    tcLibrary
};
class ENxTLSError : public ENxException {
public:
    ENxTLSError(TNxTLSCheck check, int32_t errorCode, std::string message)
        : ENxException(std::move(message)), FCheck(check), FErrorCode(errorCode) {}
    TNxTLSCheck Check() const noexcept { return FCheck; }
    int32_t ErrorCode() const noexcept { return FErrorCode; }
    NX_EXCEPTION_NAME(ENxTLSError)

private:
    TNxTLSCheck FCheck;
    int32_t FErrorCode;
};

NX_DECLARE_EXCEPTION(ENxTCPConnectionError, ENxException)
NX_DECLARE_EXCEPTION(ENxNotEnoughDataInBuffer, ENxTCPConnectionError)
NX_DECLARE_EXCEPTION(ENxIOHandlerPropInvalid, ENxTCPConnectionError)
NX_DECLARE_EXCEPTION(ENxNoDataToRead, ENxTCPConnectionError)
NX_DECLARE_EXCEPTION(ENxNotConnected, ENxTCPConnectionError)
NX_DECLARE_EXCEPTION(ENxFileNotFound, ENxTCPConnectionError)
