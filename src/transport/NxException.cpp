#include "transport/NxException.h"

#include "base/SystemError.h"

ENxWS2StubError::ENxWS2StubError(std::string title, uint32_t systemErrorCode)
    : ENxException(title), FSystemErrorCode(systemErrorCode), FTitle(std::move(title)) {
    if (systemErrorCode != 0) {
        FSystemErrorText = SysErrorMessage(systemErrorCode);
        SetMessage(FTitle + ": " + FSystemErrorText);
    }
}
