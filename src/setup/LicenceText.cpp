#include "setup/LicenceText.h"

std::wstring LicenceText() {
    std::wstring text;
    for (size_t i = 0; i < kLicenceLines.size(); ++i) {
        if (i > 0) text += L"\r\n";
        text += kLicenceLines[i];
    }
    return text;
}
