#include "setup/CommandLine.h"

#include <windows.h>

#include <shellapi.h>

#include <memory>

#include "setup/CodePage.h"

// clang-format off
const std::array<TSwitchDesign, 8> kSetupSwitches = {{
    {TSwitchId::Silent, {L"SILENT", nullptr}, nullptr,
     L"설치 화면만 보이며 묻지 않고 바로 설치하고, 끝나면 저절로 닫힙니다."},
    {TSwitchId::VerySilent, {L"VERYSILENT", nullptr}, nullptr,
     L"창을 전혀 띄우지 않고 설치합니다. 오류는 설치 기록과 종료 코드로만 알립니다."},
    {TSwitchId::Log, {L"LOG", nullptr}, L"\"경로\"",
     L"설치 기록을 임시 폴더(%TEMP%) 대신 이 파일에 씁니다."},
    {TSwitchId::NoRun, {L"NORUN", nullptr}, nullptr,
     L"설치가 끝난 뒤 프로그램을 실행하지 않습니다. /SILENT와 /VERYSILENT의 기본값입니다."},
    {TSwitchId::Run, {L"RUN", nullptr}, nullptr,
     L"설치가 끝난 뒤 프로그램을 실행합니다."},
    {TSwitchId::ProxyUser, {L"PROXYUSER", nullptr}, L"\"이름\"",
     L"프록시 서버가 인증을 요구하면 이 사용자 이름으로 로그인합니다 (/SILENT, /VERYSILENT)."},
    {TSwitchId::ProxyPassword, {L"PROXYPASSWORD", nullptr}, L"\"암호\"",
     L"프록시 서버 인증에 쓰는 암호입니다. 설치 기록에는 남지 않습니다."},
    {TSwitchId::Help, {L"?", L"HELP"}, nullptr,
     L"이 도움말을 보여 줍니다."},
}};

const std::array<TExitCodeDesign, 5> kSetupExitCodes = {{
    {ecInstalled, L"설치되었습니다."},
    {ecFailed, L"설치하지 못했습니다 (프로그램을 내려받지 못했거나, 프록시 서버가 인증을 거절했거나, 파일을 바꾸지 못했거나, 등록하지 못했습니다)."},
    {ecCancelled, L"설치가 취소되었습니다."},
    {ecBadCommandLine, L"명령줄이 잘못되었습니다."},
    {ecAlreadyRunning, L"설치 프로그램이 이미 실행 중입니다."},
}};
// clang-format on

namespace {
constexpr const wchar_t* kUnknownSwitchText = L"알 수 없는 옵션입니다: ";
constexpr const wchar_t* kMissingValueText = L"옵션에 값이 없습니다: ";
constexpr const wchar_t* kUnexpectedValueText = L"이 옵션은 값을 받지 않습니다: ";
constexpr const wchar_t* kUsageHead = L"사용법: Setup.exe [옵션]";
constexpr const wchar_t* kAcceptanceText =
    L"/SILENT나 /VERYSILENT로 실행하면 사용권 계약에 동의한 것으로 봅니다.";
constexpr const wchar_t* kExitCodesHead = L"종료 코드:";

// Switch names are ASCII: only those letters fold.
bool SameName(const std::wstring& given, const wchar_t* name) {
    if (!name || given.size() != wcslen(name)) return false;
    for (size_t i = 0; i < given.size(); ++i) {
        wchar_t c = given[i];
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != name[i]) return false;
    }
    return true;
}

const TSwitchDesign* FindSwitch(const std::wstring& name) {
    for (const TSwitchDesign& row : kSetupSwitches)
        if (SameName(name, row.Names[0]) || SameName(name, row.Names[1])) return &row;
    return nullptr;
}

std::wstring SwitchLabel(const TSwitchDesign& row) {
    std::wstring label;
    for (const wchar_t* name : row.Names) {
        if (!name) continue;
        if (!label.empty()) label += L", ";
        label += L"/";
        label += name;
    }
    if (row.Value) label += std::wstring(L"=") + row.Value;
    return label;
}

struct TLocalFreeDeleter {
    void operator()(wchar_t** argv) const { LocalFree(argv); }
};
} // namespace

TSetupCommandLine ParseSetupArguments(const std::vector<std::wstring>& arguments) {
    TSetupCommandLine result;
    bool silent = false, verySilent = false;
    for (const std::wstring& argument : arguments) {
        auto fail = [&](const wchar_t* why) {
            if (result.Error.empty()) result.Error = why + argument;
        };
        if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) {
            fail(kUnknownSwitchText);
            continue;
        }
        const size_t equals = argument.find(L'=');
        const std::wstring name =
            argument.substr(1, equals == std::wstring::npos ? std::wstring::npos : equals - 1);
        const TSwitchDesign* row = FindSwitch(name);
        if (!row) {
            fail(kUnknownSwitchText);
            continue;
        }
        const bool hasValue = equals != std::wstring::npos;
        const std::wstring value = hasValue ? argument.substr(equals + 1) : std::wstring();
        if (row->Value && value.empty()) {
            fail(kMissingValueText);
            continue;
        }
        if (!row->Value && hasValue) {
            fail(kUnexpectedValueText);
            continue;
        }
        switch (row->Id) {
        case TSwitchId::Silent:
            silent = true;
            break;
        case TSwitchId::VerySilent:
            verySilent = true;
            break;
        case TSwitchId::Log:
            result.LogPath = value;
            break;
        case TSwitchId::NoRun:
            result.Run = false;
            break;
        case TSwitchId::Run:
            result.Run = true;
            break;
        case TSwitchId::ProxyUser:
            result.ProxyUser = value;
            break;
        case TSwitchId::ProxyPassword:
            result.ProxyPassword = value;
            break;
        case TSwitchId::Help:
            result.Help = true;
            break;
        }
    }
    // An administrator who asks for no window at all must never get one.
    result.Mode = verySilent ? TSetupMode::smVerySilent
                  : silent   ? TSetupMode::smSilent
                             : TSetupMode::smWizard;
    return result;
}

TSetupCommandLine ParseSetupCommandLine(const wchar_t* commandLine) {
    int count = 0;
    std::unique_ptr<wchar_t*, TLocalFreeDeleter> argv(CommandLineToArgvW(commandLine, &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i)
        arguments.emplace_back(argv.get()[i]);
    return ParseSetupArguments(arguments);
}

std::wstring CommandLineForLog(const wchar_t* commandLine) {
    int count = 0;
    std::unique_ptr<wchar_t*, TLocalFreeDeleter> argv(CommandLineToArgvW(commandLine, &count));
    std::wstring text;
    for (int i = 0; argv && i < count; ++i) {
        std::wstring argument = argv.get()[i];
        const size_t equals = argument.find(L'=');
        if (i > 0 && argument.size() > 1 && (argument[0] == L'/' || argument[0] == L'-') &&
            equals != std::wstring::npos) {
            const TSwitchDesign* row = FindSwitch(argument.substr(1, equals - 1));
            if (row && row->Id == TSwitchId::ProxyPassword)
                argument = argument.substr(0, equals + 1) + L"***";
        }
        if (argument.find_first_of(L" \t") != std::wstring::npos) argument = L"\"" + argument + L"\"";
        text += (text.empty() ? L"" : L" ") + argument;
    }
    return text;
}

std::wstring SetupUsageText() {
    std::wstring text = std::wstring(kUsageHead) + L"\r\n\r\n";
    for (const TSwitchDesign& row : kSetupSwitches)
        text += SwitchLabel(row) + L"\r\n    " + row.Text + L"\r\n";
    text += std::wstring(L"\r\n") + kAcceptanceText + L"\r\n\r\n" + kExitCodesHead + L"\r\n";
    for (const TExitCodeDesign& row : kSetupExitCodes)
        text += L"    " + std::to_wstring(row.Code) + L"  " + row.Text + L"\r\n";
    return text;
}

std::wstring SetupUsageBoxText(const TSetupCommandLine& commandLine) {
    if (commandLine.Valid()) return SetupUsageText();
    return commandLine.Error + L"\r\n\r\n" + SetupUsageText();
}

std::string CommandLineNote() {
    return "Command line: " + WideToAnsi(CommandLineForLog(GetCommandLineW()));
}
