#include "update/korvane_update_installer.h"

#include "base/child_process.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/json.h"
#include "base/unique_fd.h"
#include "base/uuid.h"
#include "platform/system_paths.h"
#include "update/package_listing.h"
#include "update/update_manifest.h"

#include <korvane_deployment.h>
#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace korvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kNotInstalled = "请先使用安装器将 Korvane 安装到应用程序目录";
constexpr const char* kInstallationRights =
    "当前客户端安装权限需要修复，请使用新版 PKG 安装器覆盖一次；本次连接保持不变";
constexpr const char* kPatchMismatch = "补丁与当前版本或芯片不匹配";
constexpr const char* kInvalidInfo = "更新包版本信息无效";
constexpr const char* kWrongIdentity = "新版客户端身份或版本不正确";
constexpr const char* kWrongArchitecture = "新版芯片架构不匹配";
constexpr const char* kNoInstallScript = "当前安装缺少更新助手，请使用安装器修复一次";
constexpr const char* kToolFailed = "更新准备未通过校验，旧版本和连接保持不变";

constexpr const char* kZipinfo = "/usr/bin/zipinfo";
constexpr const char* kDitto = "/usr/bin/ditto";
constexpr const char* kLipo = "/usr/bin/lipo";
constexpr const char* kCodesign = "/usr/bin/codesign";
constexpr const char* kZsh = "/bin/zsh";

constexpr std::size_t kMaximumToolOutput = std::size_t{16} << 20;
constexpr std::size_t kMaximumSmallFile = std::size_t{1} << 20;
constexpr auto kToolPoll = 50ms;

// The signing identity an update must carry: the client's identifier, signed by its team.
std::string designatedRequirement() {
    return std::string("identifier \"") + KorvaneUpdateInstaller::kBundleIdentifier +
           "\" and anchor apple generic and certificate leaf[subject.OU] = \"" + deployment::kSigningTeam +
           "\"";
}

void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested()) throw Cancelled();
}

// Kills the tool and everything it started, and reaps it.
void killTool(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// A small file of the package or the bundle, never through a link and never blocking.
std::string readSmallFile(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) throw FileError(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw FileError(errno);
    if (!S_ISREG(info.st_mode)) throw FileError(EINVAL);
    std::string bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(errno);
        if (n == 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaximumSmallFile) throw FileError(EFBIG);
    }
}

// Writes a new file (never replacing one, never through a link) with exactly `mode`.
void createFile(const fs::path& path, std::string_view bytes, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd) throw FileError(errno);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw FileError(n < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fchmod(fd.get(), mode) != 0) throw FileError(errno);
}

void makeDirectory(const fs::path& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0) throw FileError(errno);
}

bool isDigits(std::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Anything below the unpacked package that is not a plain file or directory (a link above
// all) could make a later copy write outside the staging directory.
void refuseLinks(const fs::path& extracted) {
    std::error_code error;
    fs::recursive_directory_iterator it(extracted, fs::directory_options::none, error);
    if (error) throw FileError(error.value());
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) throw FileError(error.value());
        const auto status = it->symlink_status(error);
        if (error) throw FileError(error.value());
        if (fs::is_symlink(status) || (!fs::is_directory(status) && !fs::is_regular_file(status)))
            throw KorvaneError(kUnexpectedLinkText);
    }
    if (error) throw FileError(error.value());
}

} // namespace

void KorvaneUpdateInstaller::checkPatchManifest(std::string_view document, std::int64_t currentBuild,
                                                std::int64_t targetBuild, const std::string& arch) {
    const Json patch = Json::parse(document);
    auto member = [&](const char* name) -> const Json* {
        auto it = patch.find(name);
        return it == patch.end() ? nullptr : &*it;
    };
    auto text = [&](const char* name) -> std::optional<std::string> {
        const Json* value = member(name);
        if (!value || !value->is_string()) return std::nullopt;
        return value->get<std::string>();
    };
    if (!patch.is_object() || manifestBuild(member("from_build")) != currentBuild ||
        manifestBuild(member("to_build")) != targetBuild || text("arch") != arch ||
        text("format") != kPatchFormat)
        throw KorvaneError(kPatchMismatch);
}

namespace {

void checkIdentity(const fs::path& infoFile, std::int64_t targetBuild) {
    const std::string data = readSmallFile(infoFile);
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    if (!root) throw KorvaneError(kInvalidInfo);
    std::unique_ptr<void, decltype(&plist_free)> owner(root, plist_free);
    if (plist_get_node_type(root) != PLIST_DICT) throw KorvaneError(kInvalidInfo);
    auto string = [&](const char* key) -> std::optional<std::string> {
        plist_t node = plist_dict_get_item(root, key);
        if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!text) return std::nullopt;
        return std::string(text, length);
    };
    const auto identifier = string("CFBundleIdentifier");
    const auto build = string("CFBundleVersion");
    if (identifier != KorvaneUpdateInstaller::kBundleIdentifier || !build || !isDigits(*build) ||
        std::stoll(*build) != targetBuild)
        throw KorvaneError(kWrongIdentity);
}

void checkArchitecture(const std::string& lipoOutput, const std::string& arch) {
    const std::string wanted = arch == "arm64" ? "arm64" : "x86_64";
    std::istringstream words(lipoOutput);
    for (std::string word; words >> word;) {
        if (word == wanted) return;
    }
    throw KorvaneError(kWrongArchitecture);
}

std::string tool(const char* absolutePath) { return systemPath(absolutePath).string(); }

} // namespace

std::string KorvaneUpdateInstaller::run(const std::string& executable,
                                        const std::vector<std::string>& arguments,
                                        std::chrono::milliseconds timeLimit, std::stop_token stop) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw FileError(errno);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    // A group of its own, so that a tool that hangs goes together with whatever it started.
    ChildExtras extras;
    extras.ownProcessGroup = true;
    const pid_t pid = startProcess(executable, arguments, writeEnd.get(), false, extras);
    writeEnd.reset();

    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    // Ends the run early: the tool goes, then the reason is thrown.
    auto giveUp = [&](bool stopped) {
        killTool(pid);
        if (stopped) throw Cancelled();
        throw KorvaneError(kToolFailed);
    };
    auto checkLimits = [&] {
        if (stop.stop_requested()) giveUp(true);
        if (std::chrono::steady_clock::now() >= deadline) giveUp(false);
    };

    std::string output;
    char buffer[65536];
    for (bool open = true; open;) {
        checkLimits();
        pollfd wait{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(kToolPoll.count()));
        if (ready <= 0) continue;
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            open = false;
            continue;
        }
        output.append(buffer, static_cast<std::size_t>(n));
        if (output.size() > kMaximumToolOutput) giveUp(false);
    }

    int status = 0;
    for (;;) {
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid) break;
        if (reaped < 0 && errno != EINTR) throw FileError(errno);
        checkLimits();
        ::poll(nullptr, 0, static_cast<int>(kToolPoll.count()));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw KorvaneError(kToolFailed);
    if (!isValidUtf8(output)) output.clear();
    return output;
}

PreparedKorvaneUpdate KorvaneUpdateInstaller::prepare(const fs::path& package, bool isPatch,
                                                      std::int64_t targetBuild, std::int64_t currentBuild,
                                                      const std::string& arch, const fs::path& supportDir,
                                                      const fs::path& runningBundle, const Options& options) {
    const fs::path applications = systemPath("/Applications");
    const fs::path app = systemPath("/Applications/Korvane.app");
    const auto limit = options.toolTimeLimit;
    const auto& stop = options.stop;

    // 1. The installation in the Applications folder, a newer build within range, a known
    // architecture, and a folder the new bundle can be placed in.
    fs::path running = runningBundle.lexically_normal();
    if (!running.has_filename()) running = running.parent_path();
    if (running != app.lexically_normal() || targetBuild > kHighestBuild || currentBuild >= targetBuild ||
        (arch != "arm64" && arch != "x64") || ::access(applications.c_str(), W_OK) != 0)
        throw KorvaneError(kNotInstalled);

    // 2. A bundle of the user's own that the user may replace.
    struct stat info {};
    if (::lstat(app.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        ::access(app.c_str(), W_OK) != 0)
        throw KorvaneError(kInstallationRights);

    // 3. Every entry's path and type, before anything is unpacked.
    throwIfStopped(stop);
    const auto entries = parseZipListing(run(tool(kZipinfo), {"-s", package.string()}, limit, stop));
    // A listing that cannot be read counts as one without entries.
    screenPackageEntries(entries.value_or(std::vector<PackageEntry>{}));

    // 4. The staging directory, private to the user; removed again on every failure below.
    const fs::path transaction = applications / (".korvane-update-" + makeUuid());
    makeDirectory(transaction, 0700);
    try {
        if (::chmod(transaction.c_str(), 0700) != 0) throw FileError(errno);

        // 5, 6. Unpacked, then walked: nothing but files and directories.
        const fs::path extracted = transaction / "extracted";
        makeDirectory(extracted, 0777);
        run(tool(kDitto), {"-x", "-k", package.string(), extracted.string()}, limit, stop);
        throwIfStopped(stop);
        refuseLinks(extracted);

        // 7. The new bundle.
        const fs::path ready = transaction / "ready.app";
        if (isPatch) {
            checkPatchManifest(readSmallFile(extracted / "patch.json"), currentBuild, targetBuild, arch);
            run(tool(kDitto), {app.string(), ready.string()}, limit, stop);
            run(tool(kDitto), {(extracted / "payload").string(), ready.string()}, limit, stop);
        } else {
            run(tool(kDitto), {(extracted / "Korvane.app").string(), ready.string()}, limit, stop);
        }

        // 8 to 10. Identity and build, architecture, signature of the client's own identity.
        checkIdentity(ready / "Contents" / "Info.plist", targetBuild);
        checkArchitecture(
            run(tool(kLipo), {"-archs", (ready / "Contents" / "MacOS" / "Korvane").string()}, limit, stop),
            arch);
        run(tool(kCodesign),
            {"--verify", "--deep", "--strict", "-R=" + designatedRequirement(), ready.string()}, limit, stop);

        // 11. The install script of the running bundle, private and syntax-checked.
        const fs::path script = runningBundle / "Contents" / "Resources" / "update-install.zsh";
        struct stat scriptInfo {};
        if (::lstat(script.c_str(), &scriptInfo) != 0 || !S_ISREG(scriptInfo.st_mode))
            throw KorvaneError(kNoInstallScript);
        const fs::path helper = transaction / "install.zsh";
        createFile(helper, readSmallFile(script), 0700);
        run(tool(kZsh), {"-n", helper.string()}, limit, stop);

        // 12, 13.
        const fs::path updates = prepareUpdatesDirectory(supportDir);
        throwIfStopped(stop);
        return PreparedKorvaneUpdate{app, transaction, helper, updates, currentBuild, targetBuild};
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(transaction, ignored);
        throw;
    }
}

void PreparedKorvaneUpdate::launch() const {
    startDetachedProcess(tool("/usr/bin/nohup"),
                         {tool("/bin/zsh"), helper.string(), app.string(), transaction.string(),
                          std::to_string(::getpid()), std::to_string(fromBuild), std::to_string(toBuild),
                          updates.string()});
}

fs::path prepareUpdatesDirectory(const fs::path& supportDir) {
    const fs::path updates = supportDir / "updates";
    errno = 0;
    if (!createPrivateDirectories(updates)) throw FileError(errno != 0 ? errno : EACCES);
    struct stat info {};
    if (::lstat(updates.c_str(), &info) != 0) throw FileError(errno);
    if (S_ISLNK(info.st_mode)) throw FileError(ELOOP);
    if (!S_ISDIR(info.st_mode)) throw FileError(ENOTDIR);
    if (info.st_uid != ::geteuid()) throw FileError(EPERM);
    if ((info.st_mode & 077) != 0 && ::chmod(updates.c_str(), 0700) != 0) throw FileError(errno);
    return updates;
}

} // namespace korvane
