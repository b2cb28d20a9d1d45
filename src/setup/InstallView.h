#pragma once
// What an installation run needs of whoever shows it: the wizard's installation page, or
// nothing at all for a run without a window. All calls come on the run's own thread.
#include <cstdint>
#include <string>

class TInstallView {
public:
    virtual ~TInstallView() = default;

    // The status line under the progress bar (lblMsg in the wizard).
    virtual void ShowStatus(const std::wstring& text) = 0;
    // A transfer of maximum bytes starts at 0; it has reached position; it is complete.
    virtual void ProgressBegin(int32_t maximum) = 0;
    virtual void ProgressAdvance(int32_t position) = 0;
    virtual void ProgressEnd() = 0;
    // A transfer of maximum bytes in all goes on from position (a resumed download).
    virtual void ProgressResume(int32_t maximum, int32_t position) {
        ProgressBegin(maximum);
        ProgressAdvance(position);
    }
    // Handles what is pending (window messages); true when the user has asked to stop.
    virtual bool ProcessMessages() = 0;
    // A proxy asks for a user name and password (407 with Basic): true, with both filled in
    // (ANSI code page), when the user gave them. The run asks at most once; a view that cannot
    // ask (a run without questions) says false.
    virtual bool AskProxyCredentials(const std::string& proxy, std::string& user, std::string& password) {
        (void)proxy, (void)user, (void)password;
        return false;
    }
    // The run failed with this text (in the ANSI code page); called once, after the run has
    // released what it held.
    virtual void ReportError(const std::string& message) = 0;
};
