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
    // Handles what is pending (window messages); true when the user has asked to stop.
    virtual bool ProcessMessages() = 0;
    // The run failed with this text (in the ANSI code page); called once, after the run has
    // released what it held.
    virtual void ReportError(const std::string& message) = 0;
};
