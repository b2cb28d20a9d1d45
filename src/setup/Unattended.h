#pragma once
// Installing without questions, for administrators and remote-support tools: /SILENT shows the
// installation page alone and closes by itself, /VERYSILENT shows no window at all. Running
// either accepts the licence. No message box ever appears: what the wizard would show goes to
// the installation log, and the exit code tells the outcome.
#include <string>

#include "setup/CommandLine.h"

// Runs the installation as an unattended command line asks; returns the exit code.
int RunUnattended(const TSetupCommandLine& commandLine);
