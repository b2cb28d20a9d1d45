#pragma once
// What the program answers instead of installing: its usage, and that another copy is running.
// A /VERYSILENT command line gets the answer in its log, any other a box (or the other copy's
// window brought forward).
#include "setup/CommandLine.h"

// /? and a bad command line: the usage box, or with /VERYSILENT the usage in the log. Returns
// the exit code (ecInstalled for help, ecBadCommandLine otherwise).
int ShowUsage(const TSetupCommandLine& commandLine);

// Another copy of Setup holds the machine: the wizard brings that copy's window to the front
// (or, when it has none, says so in a box); an unattended run only writes it in its log.
// Returns ecAlreadyRunning.
int ReportAlreadyRunning(const TSetupCommandLine& commandLine);
