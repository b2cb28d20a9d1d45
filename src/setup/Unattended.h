#pragma once
// Installing without questions, for administrators and remote-support tools: /SILENT shows the
// installation page alone and closes by itself, /VERYSILENT shows no window at all. Running
// either accepts the licence. No message box ever appears: what the wizard would show goes to
// the installation log, and the exit code tells the outcome.
#include <string>

#include "setup/CommandLine.h"

// Runs the installation as an unattended command line asks; returns the exit code.
int RunUnattended(const TSetupCommandLine& commandLine);

// /? and a bad command line: the usage box, or with /VERYSILENT the usage in the log. Returns
// the exit code (ecInstalled for help, ecBadCommandLine otherwise).
int ShowUsage(const TSetupCommandLine& commandLine);

// Another copy of Setup holds the machine: the wizard brings that copy's window to the front
// (or, when it has none, says so in a box); an unattended run only writes it in its log.
// Returns ecAlreadyRunning.
int ReportAlreadyRunning(const TSetupCommandLine& commandLine);

// The log line that names how the program was started.
std::string CommandLineNote();
