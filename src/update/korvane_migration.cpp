#include "update/korvane_migration.h"

#include "base/child_process.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "base/uuid.h"
#include "platform/posix_platform.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "update/korvane_update_installer.h"

#include <plist/plist.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kIdentifier = "art.korvane.mac.native";
constexpr const char* kApplications = "/Applications";
constexpr const char* kTarget = "/Applications/Korvane.app";
constexpr const char* kShell = "/bin/zsh";
constexpr const char* kLogName = "installer.log";
// Far beyond any bundle's information file; a larger one is not a bundle's.
constexpr off_t kMaximumInfoSize = 1 << 20;

constexpr const char* kInstallTitle = "安装并更新 Korvane";
constexpr const char* kInstallButton = "安装并打开";
constexpr const char* kNotNowButton = "暂不安装";
constexpr const char* kFailedTitle = "自动安装未能启动";
constexpr const char* kManualHint =
    "\n旧客户端没有被替换。你也可以退出 Korvane 后，将新版拖到「应用程序」并选择替换。";
constexpr const char* kInstalledTitle = "Korvane 已安装相同或更新版本";
constexpr const char* kInstalledText =
    "在「应用程序」中已有 Korvane，建议使用原来的程序，避免产生重复客户端。";
constexpr const char* kOpenInstalledButton = "打开已安装版本";
constexpr const char* kCancelButton = "取消";
constexpr const char* kNoPermissionText =
    "当前账号没有「应用程序」目录的安装权限，需要由 Mac 管理员完成第一次安装。";
constexpr const char* kNoValidBuildText = "安装包没有有效版本号";
constexpr const char* kUnreadableInfoText = "Info.plist 无法解析";

// An absolute path with "." and ".." resolved and no separator at the end; links are left as
// they are, as the platform standardises a file URL.
fs::path standardized(const fs::path& path) {
    fs::path normal = fs::absolute(path).lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
}

std::int64_t buildNumber(const std::optional<std::string>& text) {
    if (!text) return 0;
    return parseDecimalInteger(*text).value_or(0);
}

// The installed build; nothing installed, or nothing readable, counts as 0.
std::int64_t installedBuild() {
    try {
        return buildNumber(KorvaneMigration::loadPlistVersion(KorvaneMigration::target()));
    } catch (const std::exception&) {
        return 0;
    }
}

std::string readInfoFile(const fs::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throw FileError(errno);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) throw FileError(errno);
    if (!S_ISREG(status.st_mode) || status.st_size > kMaximumInfoSize)
        throw KorvaneError(kUnreadableInfoText);
    std::string data(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t got = ::read(fd.get(), data.data() + done, data.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw FileError(errno);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    data.resize(done);
    return data;
}

// Other running copies of the installation: the programs started from its Contents/MacOS (the
// core and other helpers elsewhere in the bundle are the copies' own business), when what is
// installed there is the client.
std::vector<pid_t> otherCopies(pid_t self) {
    std::vector<pid_t> others;
    const fs::path app = KorvaneMigration::target();
    if (PlistBundle(app).infoString("CFBundleIdentifier") != kIdentifier) return others;
    for (pid_t pid : processesBelow(app / "Contents" / "MacOS")) {
        if (pid != self) others.push_back(pid);
    }
    return others;
}

// Starts the script in a session of its own, not waited for: it outlives this process, and a
// hang-up or interrupt meant for the application's terminal must not stop it half way through
// swapping the bundles. Its input is the null device; what it writes before it turns to its log
// goes to this process's standard error.
void startDetached(const fs::path& program, const std::vector<std::string>& arguments) {
    ChildExtras extras;
    extras.ownSession = true;
    startProcess(program.string(), arguments, STDERR_FILENO, false, extras);
}

} // namespace

fs::path KorvaneMigration::target() { return systemPath(kTarget); }

bool KorvaneMigration::isCanonical(const Bundle& bundle) {
    return standardized(bundle.location()) == standardized(target());
}

void KorvaneMigration::offer(Platform& platform) {
    const fs::path source = standardized(platform.bundle.location());
    if (source == standardized(target())) return;
    platform.application.activate();

    const std::int64_t running = buildNumber(platform.bundle.infoString("CFBundleVersion"));
    const std::int64_t installed = installedBuild();
    const std::string version = platform.bundle.infoString("CFBundleShortVersionString").value_or("");
    if (installed < running || installed < 1) {
        const std::string text =
            installed < 1 ? "将 Korvane v" + version +
                                " 安装到「应用程序」，以后直接在客户端内升级，不需要重复下载安装。"
                          : "检测到「应用程序」内还有旧版本。将覆盖旧版，保留账号和节点资料，安装 v" +
                                version + " 后自动重新打开。";
        if (platform.windows.runModalAlert(kInstallTitle, text, {kInstallButton, kNotNowButton}) == 0) {
            try {
                begin(platform, source, running);
            } catch (const std::exception& error) {
                platform.windows.runModalAlert(kFailedTitle, error.what() + std::string(kManualHint),
                                               {"确定"});
            }
        }
    } else if (platform.windows.runModalAlert(kInstalledTitle, kInstalledText,
                                              {kOpenInstalledButton, kCancelButton}) == 0) {
        platform.workspace.openApplication(target().string());
    }
    platform.application.requestTermination();
}

void KorvaneMigration::begin(Platform& platform, const fs::path& source, std::int64_t versionBuild) {
    if (::access(systemPath(kApplications).c_str(), W_OK) != 0) throw KorvaneError(kNoPermissionText);
    if (versionBuild < 1) throw KorvaneError(kNoValidBuildText);

    const auto support = platform.directories.applicationSupport();
    if (!support) throw FileError(ENOENT);
    const fs::path updates = prepareUpdatesDirectory(*support / "Korvane");
    const fs::path script = updates / ("install-" + makeUuid() + ".zsh");
    writeFileAtomically(script, kFirstInstallScript, 0700);

    const pid_t self = static_cast<pid_t>(platform.application.processId());
    const std::vector<pid_t> others = otherCopies(self);
    std::string joined;
    for (pid_t pid : others) {
        if (!joined.empty()) joined += ',';
        joined += std::to_string(pid);
    }
    const auto downloads = platform.directories.downloads();
    const bool knownDownload = downloads && standardized(*downloads / "Korvane.app") == source;

    startDetached(systemPath(kShell), {script.string(), source.string(), target().string(),
                                       std::to_string(self), joined, std::to_string(versionBuild),
                                       (updates / kLogName).string(), knownDownload ? "yes" : "no"});
    // An ordinary quit: each copy puts the system proxy back through its own shutdown first,
    // and the script waits for it.
    for (pid_t pid : others)
        ::kill(pid, SIGTERM);
}

std::string KorvaneMigration::loadPlistVersion(const fs::path& bundle) {
    const std::string data = readInfoFile(bundle / "Contents" / "Info.plist");
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    if (!root) throw KorvaneError(kUnreadableInfoText);
    std::unique_ptr<void, decltype(&plist_free)> owner(root, plist_free);
    if (plist_get_node_type(root) != PLIST_DICT) return "";
    plist_t node = plist_dict_get_item(root, "CFBundleVersion");
    if (!node || plist_get_node_type(node) != PLIST_STRING) return "";
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text ? std::string(text, length) : std::string();
}

} // namespace korvane
