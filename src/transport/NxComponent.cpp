#include "transport/NxComponent.h"

#include "transport/NxStack.h"

TNxComponent::TNxComponent() {
    NxStackAddUser();
}

TNxComponent::~TNxComponent() {
    NxStackRemoveUser();
}

void TNxComponent::OpenWork(TWorkMode mode, int32_t total) {
    TNxWorkInfo& info = FWorkInfos[mode];
    if (++info.Level == 1) {
        info.Max = total;
        info.Current = 0;
        if (OnWorkBegin) OnWorkBegin(this, mode, total);
    }
}

void TNxComponent::AddWork(TWorkMode mode, int32_t count) {
    TNxWorkInfo& info = FWorkInfos[mode];
    if (info.Level < 1) return;
    info.Current += count;
    if (OnWork) OnWork(this, mode, info.Current);
}

void TNxComponent::CloseWork(TWorkMode mode) {
    TNxWorkInfo& info = FWorkInfos[mode];
    // Lowered even when the handler raises, so an error cannot leave the phase open; never
    // below 0, so that one unpaired close cannot silence every later phase of the mode.
    struct Lower {
        TNxWorkInfo& info;
        ~Lower() {
            if (info.Level > 0) --info.Level;
        }
    } lower{info};
    if (info.Level == 1 && OnWorkEnd) OnWorkEnd(this, mode);
}

void TNxComponent::ReportStatus(TNxStatus status) {
    ReportStatus(status, std::vector<std::string>{});
}

void TNxComponent::ReportStatus(TNxStatus status, const std::vector<std::string>& args) {
    if (!OnStatus) return;
    // The templates hold only "%s": each takes the next argument; missing ones are empty.
    const std::string format = StatusTemplate(status);
    std::string text;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == 's') {
                if (next < args.size()) text += args[next];
                ++next;
                ++i;
                continue;
            }
            if (format[i + 1] == '%') {
                text += '%';
                ++i;
                continue;
            }
        }
        text += format[i];
    }
    OnStatus(this, status, text);
}

const char* TNxComponent::StatusTemplate(TNxStatus status) {
    switch (status) {
    case hsResolving:
        return "Resolving hostname %s.";
    case hsConnecting:
        return "Connecting to %s.";
    case hsConnected:
        return "Connected.";
    case hsDisconnecting:
        return "Disconnecting.";
    case hsDisconnected:
        return "Disconnected.";
    case hsStatusText:
    case ftpTransfer:
    case ftpReady:
    case ftpAborted:
        return "%s";
    }
    return "%s";
}
