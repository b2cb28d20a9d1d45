#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "transport/NxComponent.h"

namespace {
// Records every work event as one line of text.
struct WorkLog {
    std::vector<std::string> lines;
    void Attach(TNxComponent& c) {
        c.OnWorkBegin = [this](TNxComponent*, TWorkMode m, int32_t max) {
            lines.push_back("begin " + std::to_string(m) + " " + std::to_string(max));
        };
        c.OnWork = [this](TNxComponent*, TWorkMode m, int32_t n) {
            lines.push_back("work " + std::to_string(m) + " " + std::to_string(n));
        };
        c.OnWorkEnd = [this](TNxComponent*, TWorkMode m) { lines.push_back("end " + std::to_string(m)); };
    }
};
using Lines = std::vector<std::string>;
} // namespace

TEST(NxComponentWork, NestedPhasesFireOneBeginAndOneEnd) {
    TNxComponent c;
    WorkLog log;
    log.Attach(c);
    c.OpenWork(wmRead, 100);
    c.AddWork(wmRead, 10);
    c.OpenWork(wmRead, 999); // nested: no begin, the total stays
    c.AddWork(wmRead, 5);
    EXPECT_EQ(c.WorkInfo(wmRead).Level, 2);
    EXPECT_EQ(c.WorkInfo(wmRead).Max, 100);
    c.CloseWork(wmRead); // inner: no end
    c.AddWork(wmRead, 1);
    c.CloseWork(wmRead);
    EXPECT_EQ(log.lines, (Lines{"begin 0 100", "work 0 10", "work 0 15", "work 0 16", "end 0"}));
    EXPECT_EQ(c.WorkInfo(wmRead).Level, 0);

    // A new outermost phase starts counting from 0 again.
    log.lines.clear();
    c.OpenWork(wmRead);
    c.AddWork(wmRead, 3);
    c.CloseWork(wmRead);
    EXPECT_EQ(log.lines, (Lines{"begin 0 0", "work 0 3", "end 0"}));
}

TEST(NxComponentWork, AddWorkOutsideAPhaseIsIgnored) {
    TNxComponent c;
    WorkLog log;
    log.Attach(c);
    c.AddWork(wmWrite, 50);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(c.WorkInfo(wmWrite).Current, 0);
}

TEST(NxComponentWork, ReadAndWritePhasesAreIndependent) {
    TNxComponent c;
    WorkLog log;
    log.Attach(c);
    c.OpenWork(wmWrite, 10);
    c.OpenWork(wmRead, 20);
    c.AddWork(wmWrite, 4);
    c.AddWork(wmRead, 7);
    c.CloseWork(wmWrite);
    c.AddWork(wmRead, 1);
    c.AddWork(wmWrite, 1); // the write phase is over
    c.CloseWork(wmRead);
    EXPECT_EQ(log.lines,
              (Lines{"begin 1 10", "begin 0 20", "work 1 4", "work 0 7", "end 1", "work 0 8", "end 0"}));
}

TEST(NxComponentWork, PhaseClosesWhenTheEndHandlerRaisesAndAnExtraCloseIsHarmless) {
    TNxComponent c;
    WorkLog log;
    log.Attach(c);
    c.OnWorkEnd = [](TNxComponent*, TWorkMode) { throw std::runtime_error("handler"); };
    c.OpenWork(wmRead, 1);
    EXPECT_THROW(c.CloseWork(wmRead), std::runtime_error);
    EXPECT_EQ(c.WorkInfo(wmRead).Level, 0);

    // One close too many must not keep the next phase from being announced.
    c.OnWorkEnd = nullptr;
    c.CloseWork(wmRead);
    log.lines.clear();
    c.OpenWork(wmRead, 5);
    EXPECT_EQ(log.lines, (Lines{"begin 0 5"}));
}

TEST(NxComponentWork, EventsWithoutHandlersStillCount) {
    TNxComponent c;
    c.OpenWork(wmRead, 9);
    c.AddWork(wmRead, 4);
    EXPECT_EQ(c.WorkInfo(wmRead).Current, 4);
    EXPECT_EQ(c.WorkInfo(wmRead).Max, 9);
    c.CloseWork(wmRead);
}

TEST(NxComponentStatus, TemplatesAreFilled) {
    TNxComponent c;
    std::vector<std::pair<TNxStatus, std::string>> seen;
    TNxComponent* sender = nullptr;
    c.OnStatus = [&](TNxComponent* s, TNxStatus st, const std::string& text) {
        sender = s;
        seen.emplace_back(st, text);
    };
    c.ReportStatus(hsResolving, "dist.example");
    c.ReportStatus(hsConnecting, std::vector<std::string>{"10.0.0.1"});
    c.ReportStatus(hsConnected);
    c.ReportStatus(hsResolving); // no argument: the "%s" is empty
    c.ReportStatus(hsStatusText, std::vector<std::string>{});
    c.ReportStatus(ftpReady, "100% done");
    c.ReportStatus(hsDisconnected, "ignored");
    const std::vector<std::pair<TNxStatus, std::string>> want = {
        {hsResolving, "Resolving hostname dist.example."},
        {hsConnecting, "Connecting to 10.0.0.1."},
        {hsConnected, "Connected."},
        {hsResolving, "Resolving hostname ."},
        {hsStatusText, ""},
        {ftpReady, "100% done"},
        {hsDisconnected, "Disconnected."},
    };
    EXPECT_EQ(seen, want);
    EXPECT_EQ(sender, &c);
    EXPECT_STREQ(TNxComponent::StatusTemplate(hsDisconnecting), "Disconnecting.");
}
