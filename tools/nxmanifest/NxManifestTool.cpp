// nxmanifest: makes the vendor's signing keys, signs the manifest of a release folder and
// checks one, as docs/INTEGRITY.md describes.
//   nxmanifest keygen PRIVATE.pem PUBLIC.pem
//   nxmanifest sign --key PRIVATE.pem --serial N (--expires DATE | --valid-days D) DIR
//   nxmanifest verify --key PUBLIC.pem DIR
// Exit status: 0 done (verify: the signature and every listed file match), 1 failed or
// differs, 2 bad usage.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "NxManifestKeys.h"
#include "http/NxManifest.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* Usage =
    "usage: nxmanifest keygen PRIVATE.pem PUBLIC.pem\n"
    "       nxmanifest sign --key PRIVATE.pem --serial N (--expires YYYY-MM-DD | --valid-days D) DIR\n"
    "       nxmanifest verify --key PUBLIC.pem DIR\n"
    "\n"
    "keygen  makes a P-256 key pair: the private key (keep it offline) and the public key\n"
    "        that the installer is built with (NX_MANIFEST_PUBLIC_KEY)\n"
    "sign    writes DIR/setup-manifest.txt listing every regular file below DIR (its path,\n"
    "        size and SHA-256) under the serial N (raise it with every release) and an\n"
    "        expiry: 00:00:00 UTC of DATE (or a full YYYY-MM-DDTHH:MM:SSZ), or D days from now\n"
    "verify  checks DIR/setup-manifest.txt against the public key(s) and every listed file\n"
    "        against DIR\n"
    "\n"
    "Exit status: 0 done (verify: the signature and every listed file match), 1 failed or\n"
    "differs, 2 bad usage.\n";

constexpr int ExitDone = 0, ExitFailed = 1, ExitUsage = 2;
constexpr int64_t SecondsPerDay = 86400;
constexpr size_t HashBlock = 1 << 20;

struct TUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The arguments of a command: its --name value pairs and the rest, in order.
struct TArguments {
    std::map<std::string, std::string> Options;
    std::vector<std::string> Positional;

    std::string Option(const std::string& name) const {
        const auto at = Options.find(name);
        return at == Options.end() ? std::string() : at->second;
    }
};

TArguments Split(const std::vector<std::string>& args, const std::vector<std::string>& known,
                 size_t positional) {
    TArguments out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            out.Positional.push_back(arg);
            continue;
        }
        if (std::find(known.begin(), known.end(), arg) == known.end())
            throw TUsageError("unknown option " + arg);
        if (i + 1 >= args.size()) throw TUsageError("option " + arg + " needs a value");
        if (!out.Options.emplace(arg, args[++i]).second) throw TUsageError("option " + arg + " given twice");
    }
    if (out.Positional.size() != positional)
        throw TUsageError("expected " + std::to_string(positional) + " arguments besides the options");
    return out;
}

std::string ReadText(const fs::path& path, int64_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path.string() + ": cannot be read");
    std::string text;
    char block[65536];
    while (in.read(block, sizeof(block)) || in.gcount() > 0) {
        text.append(block, static_cast<size_t>(in.gcount()));
        if (static_cast<int64_t>(text.size()) > limit)
            throw std::runtime_error(path.string() + ": larger than " + std::to_string(limit) + " bytes");
    }
    return text;
}

TNxManifestEntry Describe(const fs::path& file, const std::string& path) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error(file.string() + ": cannot be read");
    TNxManifestEntry entry;
    entry.Path = path;
    TNxSHA256 hash;
    std::vector<char> block(HashBlock);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        hash.Update(block.data(), static_cast<size_t>(in.gcount()));
        entry.Size += in.gcount();
    }
    entry.SHA256 = hash.Final();
    return entry;
}

// The regular files below dir by their paths relative to it, "/" between folders, sorted; the
// manifest itself is left out.
std::vector<std::pair<std::string, fs::path>> ReleaseFiles(const fs::path& dir) {
    std::vector<std::pair<std::string, fs::path>> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string path = fs::relative(entry.path(), dir).generic_string();
        if (path == NxManifestFileName) continue;
        files.emplace_back(path, entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t ParseExpiry(const TArguments& args) {
    const std::string date = args.Option("--expires"), days = args.Option("--valid-days");
    if (date.empty() == days.empty()) throw TUsageError("give either --expires or --valid-days");
    int64_t seconds = 0;
    if (!date.empty()) {
        if (!NxParseManifestTime(date.size() == 10 ? date + "T00:00:00Z" : date, seconds))
            throw TUsageError("--expires needs YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, not \"" + date + "\"");
        return seconds;
    }
    size_t used = 0;
    long long count = -1;
    try {
        count = std::stoll(days, &used);
    } catch (const std::exception&) {
    }
    if (used != days.size() || count < 0 || count > 100000)
        throw TUsageError("--valid-days needs a number of days, not \"" + days + "\"");
    return Now() + count * SecondsPerDay;
}

int Keygen(const std::vector<std::string>& rest) {
    const TArguments args = Split(rest, {}, 2);
    TManifestSigningKey::Generate(args.Positional[0], args.Positional[1]);
    std::printf("wrote %s (the private key: keep it offline) and %s (the public key)\n",
                args.Positional[0].c_str(), args.Positional[1].c_str());
    return ExitDone;
}

int Sign(const std::vector<std::string>& rest) {
    const TArguments args = Split(rest, {"--key", "--serial", "--expires", "--valid-days"}, 1);
    if (args.Option("--key").empty()) throw TUsageError("sign needs --key");
    uint64_t serial = 0;
    const std::string serialText = args.Option("--serial");
    if (serialText.empty() || serialText.find_first_not_of("0123456789") != std::string::npos ||
        serialText.size() > 19 || (serialText.size() > 1 && serialText[0] == '0'))
        throw TUsageError("--serial needs an unsigned number, not \"" + serialText + "\"");
    serial = std::stoull(serialText);
    const int64_t expires = ParseExpiry(args);
    const TManifestSigningKey key = TManifestSigningKey::Load(args.Option("--key"));
    const fs::path dir = args.Positional[0];
    if (!fs::is_directory(dir)) throw std::runtime_error(dir.string() + ": no such folder");

    TNxManifest manifest;
    manifest.Serial = serial;
    manifest.Expires = expires;
    for (const auto& [path, file] : ReleaseFiles(dir))
        manifest.Files.push_back(Describe(file, path));
    const std::string body = manifest.Body();
    const std::string text = body + NxManifestSignatureLine(key.Sign(NxSHA256(body.data(), body.size())));
    // What the installer will do with it: read it back and check it with the public half.
    try {
        NxVerifyManifest(text, {key.PublicKey()}, std::numeric_limits<int64_t>::min(), 0);
    } catch (const ENxManifestError& error) {
        throw std::runtime_error("the manifest does not read back: " + error.Message());
    }
    const fs::path target = dir / NxManifestFileName,
                   temporary = dir / (std::string(NxManifestFileName) + ".new");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out.flush()) throw std::runtime_error(temporary.string() + ": cannot be written");
    }
    fs::rename(temporary, target);
    if (expires <= Now())
        std::fprintf(stderr,
                     "nxmanifest: warning: the manifest expired at %s: every installer will refuse it\n",
                     NxFormatManifestTime(expires).c_str());
    std::printf("wrote %s: serial %llu, expires %s, %zu files\n", target.string().c_str(),
                static_cast<unsigned long long>(serial), NxFormatManifestTime(expires).c_str(),
                manifest.Files.size());
    return ExitDone;
}

int Verify(const std::vector<std::string>& rest) {
    const TArguments args = Split(rest, {"--key"}, 1);
    if (args.Option("--key").empty()) throw TUsageError("verify needs --key");
    const auto keys = NxParsePublicKeys(ReadText(args.Option("--key"), NxManifestMaxBytes));
    const fs::path dir = args.Positional[0];
    const fs::path file = dir / NxManifestFileName;
    TNxManifest manifest;
    try {
        manifest = NxVerifyManifest(ReadText(file, NxManifestMaxBytes), keys,
                                    std::numeric_limits<int64_t>::min(), 0);
    } catch (const ENxManifestError& error) {
        std::printf("%s: %s\n", file.string().c_str(), error.Message().c_str());
        return ExitFailed;
    }
    std::printf("%s: signature good, serial %llu, expires %s%s\n", file.string().c_str(),
                static_cast<unsigned long long>(manifest.Serial),
                NxFormatManifestTime(manifest.Expires).c_str(),
                manifest.Expires <= Now() ? " (expired: installers refuse it)" : "");
    int differences = 0;
    for (const TNxManifestEntry& listed : manifest.Files) {
        const fs::path path = dir / listed.Path;
        if (!fs::is_regular_file(path)) {
            std::printf("MISSING  %s\n", listed.Path.c_str());
            ++differences;
            continue;
        }
        const TNxManifestEntry found = Describe(path, listed.Path);
        if (found.Size == listed.Size && found.SHA256 == listed.SHA256) {
            std::printf("ok       %s\n", listed.Path.c_str());
            continue;
        }
        std::printf("DIFFERS  %s: %lld bytes, SHA-256 %s; listed %lld bytes, SHA-256 %s\n",
                    listed.Path.c_str(), static_cast<long long>(found.Size),
                    NxHexDigest(found.SHA256).c_str(), static_cast<long long>(listed.Size),
                    NxHexDigest(listed.SHA256).c_str());
        ++differences;
    }
    for (const auto& [path, unused] : ReleaseFiles(dir))
        if (!manifest.Find(path)) std::printf("unlisted %s (installers never fetch it)\n", path.c_str());
    return differences == 0 ? ExitDone : ExitFailed;
}

struct TCommand {
    const char* Name;
    int (*Run)(const std::vector<std::string>&);
};
constexpr TCommand Commands[] = {{"keygen", Keygen}, {"sign", Sign}, {"verify", Verify}};

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        std::fputs(Usage, args.empty() ? stderr : stdout);
        return args.empty() ? ExitUsage : ExitDone;
    }
    for (const TCommand& command : Commands) {
        if (args[0] != command.Name) continue;
        try {
            return command.Run(std::vector<std::string>(args.begin() + 1, args.end()));
        } catch (const TUsageError& error) {
            std::fprintf(stderr, "nxmanifest %s: %s\n%s", command.Name, error.what(), Usage);
            return ExitUsage;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "nxmanifest %s: %s\n", command.Name, error.what());
            return ExitFailed;
        }
    }
    std::fprintf(stderr, "nxmanifest: unknown command \"%s\"\n%s", args[0].c_str(), Usage);
    return ExitUsage;
}
