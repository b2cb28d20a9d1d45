#pragma once
// The installer's command line: the switches an administrator or a remote-support tool passes
// for an unattended installation, and the exit codes such a run reports. Without arguments the
// program is the wizard. The usage text is made from the same table the parser reads.
#include <array>
#include <optional>
#include <string>
#include <vector>

enum class TSetupMode { smWizard, smSilent, smVerySilent };

// What the process returns.
enum TSetupExitCode : int {
    ecInstalled = 0,
    ecFailed = 1,
    ecCancelled = 2,
    ecBadCommandLine = 3,
    ecAlreadyRunning = 4,
};

enum class TSwitchId { Silent, VerySilent, Log, NoRun, Run, ProxyUser, ProxyPassword, Help };

struct TSwitchDesign {
    TSwitchId Id;
    std::array<const wchar_t*, 2> Names; // upper case, without "/"; the second may be nullptr
    const wchar_t* Value;                // the value's placeholder for "/NAME=value", nullptr for none
    const wchar_t* Text;                 // what the usage text says of it
};
extern const std::array<TSwitchDesign, 8> kSetupSwitches;

struct TExitCodeDesign {
    TSetupExitCode Code;
    const wchar_t* Text;
};
extern const std::array<TExitCodeDesign, 5> kSetupExitCodes;

struct TSetupCommandLine {
    TSetupMode Mode = TSetupMode::smWizard;
    bool Help = false;
    // /RUN or /NORUN, the last one given; unset: the mode's default.
    std::optional<bool> Run;
    // /LOG="path"; empty: the log goes to the temporary folder.
    std::wstring LogPath;
    // /PROXYUSER= and /PROXYPASSWORD=: offered to a proxy that asks for them (407).
    std::wstring ProxyUser;
    std::wstring ProxyPassword;
    // Why the command line is not valid; empty when it is.
    std::wstring Error;

    bool Valid() const { return Error.empty(); }
    bool Unattended() const { return Mode != TSetupMode::smWizard; }
    // The wizard starts the product when it is closed after a run; the silent modes only on /RUN.
    bool RunsProduct() const { return Run.value_or(!Unattended()); }
};

// The arguments after the program's name. Switches start with "/" or "-" and are matched without
// regard to case; /VERYSILENT wins over /SILENT in any order, the last of /RUN and /NORUN counts,
// and so does the last /LOG.
TSetupCommandLine ParseSetupArguments(const std::vector<std::wstring>& arguments);
// A whole command line as the system gives it (program name first), split by the Windows rules.
TSetupCommandLine ParseSetupCommandLine(const wchar_t* commandLine);

// A whole command line for the log: its arguments as CommandLineToArgvW splits them, the value
// of /PROXYPASSWORD= replaced by "***".
std::wstring CommandLineForLog(const wchar_t* commandLine);
// The log line that names how this program was started (never the proxy's password).
std::string CommandLineNote();

// The Korean usage text of the usage box, built from kSetupSwitches and kSetupExitCodes.
std::wstring SetupUsageText();
// The usage box's text for a command line: its error (if any), then the usage.
std::wstring SetupUsageBoxText(const TSetupCommandLine& commandLine);
