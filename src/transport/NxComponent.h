#pragma once
// The base class of every network component: per-direction work progress
// with three events, a status event with formatted texts, and the count of stack users
// that keeps the shared socket stack alive.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum TWorkMode { wmRead = 0, wmWrite = 1 };

enum TNxStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted
};

class TNxComponent;

using TWorkBeginEvent = std::function<void(TNxComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TNxComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TNxComponent* Sender, TWorkMode AWorkMode)>;
using TNxStatusEvent =
    std::function<void(TNxComponent* ASender, TNxStatus AStatus, const std::string& AStatusText)>;

// One work record per mode: running count of the phase, expected total, nesting level.
struct TNxWorkInfo {
    int32_t Current = 0;
    int32_t Max = 0;
    int32_t Level = 0;
};

class TNxComponent {
public:
    // Under the stack lock: count one more stack user, creating the shared stack when
    // this is the first.
    TNxComponent();
    TNxComponent(const TNxComponent&) = delete;
    TNxComponent& operator=(const TNxComponent&) = delete;
    // Under the stack lock: one user fewer, freeing the shared stack with the last.
    virtual ~TNxComponent();

    // --- virtual operations, in slot order ------------------------------------------
    // Raise the mode's level; at the outermost phase set Max := total, Current := 0 and
    // fire OnWorkBegin(self, mode, total).
    virtual void OpenWork(TWorkMode mode, int32_t total = 0);
    // Inside a phase: Current += count and fire OnWork(self, mode, Current); else ignored.
    virtual void AddWork(TWorkMode mode, int32_t count);
    // At level 1 fire OnWorkEnd(self, mode); then lower the level in every case.
    virtual void CloseWork(TWorkMode mode);

    // The status's template with one empty string (each "%s" becomes empty); nothing is
    // formatted when OnStatus is not set.
    void ReportStatus(TNxStatus status);
    // The template filled with the arguments in order ("%s" only); an empty list is the
    // same as the first form.
    void ReportStatus(TNxStatus status, const std::vector<std::string>& args);
    void ReportStatus(TNxStatus status, const std::string& arg) {
        ReportStatus(status, std::vector<std::string>{arg});
    }

    const TNxWorkInfo& WorkInfo(TWorkMode mode) const { return FWorkInfos[mode]; }
    // The template of a status ("Resolving hostname %s.", ...).
    static const char* StatusTemplate(TNxStatus status);

    // Events, each optional, fired on the thread that does the work.
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    TNxStatusEvent OnStatus;

private:
    TNxWorkInfo FWorkInfos[2];
};
