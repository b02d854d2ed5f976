// The core's process: start with its files and readiness, stop with a bounded wait, the
// orphan a killed client left behind, and the local port checks.

#include "core/mihomo_core.h"

#include "base/clock.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/sleep.h"
#include "core/core_files.h"
#include "core/runtime_configuration.h"
#include "platform/local_proxy.h"
#include "platform/processes.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kReadinessRounds = 42;
constexpr Duration kReadinessPause = 250ms;
// A core asked to stop gets this long before it is killed, and the kill as long again.
constexpr Duration kStopGrace = 3s;
constexpr Duration kKillGrace = 1s;
constexpr Duration kExitPoll = 50ms;

constexpr const char* kStartTimeout = "Mihomo 启动超时，请查看连接日志";

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error);
}

} // namespace

MihomoCore::MihomoCore(fs::path supportDir, const fs::path& resourcesDir, HttpClient& http,
                       std::shared_ptr<const ProxySettingsBackend> proxySettings)
    : supportDir_(std::move(supportDir)), runtimeDir_(supportDir_ / "runtime"), binDir_(resourcesDir / "bin"),
      http_(http), proxy_(supportDir_ / "proxy-backup.json", supportDir_, std::move(proxySettings)) {}

MihomoCore::~MihomoCore() {
    if (process_.running()) process_.signal(SIGTERM);
}

bool MihomoCore::processRunning() const { return process_.running(); }

bool MihomoCore::requiresRecovery() const { return proxy_.mayNeedRestore(); }

bool MihomoCore::socksReady() const {
    if (!connected_ || !processRunning()) return false;
    return localPortAccepts(kLocalProxyPort);
}

void MihomoCore::capLog() {
    if (log_) CoreFiles::capLog(log_.get());
}

// ---- Start --------------------------------------------------------------------------------

Task<bool> MihomoCore::startCore(std::string subscription, std::vector<Node> nodes, std::string mode) {
    SerialQueue::Turn turn = co_await lifecycle_.next();
    if (processRunning()) co_return false;
    std::exception_ptr failure;
    try {
        co_await startCoreInTurn(subscription, nodes, mode);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) co_return true;
    // Whoever starts a core stops it on every way out, a cancelled start included.
    if (process_.started()) co_await uncancellable(stopCoreInTurn());
    std::rethrow_exception(failure);
}

Task<void> MihomoCore::startCoreInTurn(const std::string& subscription, const std::vector<Node>& nodes,
                                       const std::string& mode) {
    const fs::path program = executable();
    if (!isExecutableFile(program)) throw KorvaneError("Mihomo 核心文件缺失或没有执行权限");
    co_await stopOrphanCore();
    // Whatever answers there now is not our core: its answers would be trusted for ours.
    if (localPortAccepts(kControllerPort) || localPortAccepts(kLocalProxyPort)) {
        throw KorvaneError("本机端口 7897 或 9097 已被其他程序占用，请关闭占用的程序后再连接");
    }
    CoreFiles::prepareGeo(binDir_, runtimeDir_);
    std::vector<std::string> names;
    names.reserve(nodes.size());
    for (const auto& node : nodes)
        names.push_back(node.name);
    const std::string configuration = runtimeConfiguration(subscription, names, mode);
    writeFileAtomically(configurationFile(), configuration, 0600);
    UniqueFd log = CoreFiles::openLog(logsDir(), wallClock().now());

    process_ = ChildProcess(startProcess(program.string(), arguments(), log.get()));
    log_ = std::move(log);
    // For the next launch, should this client be killed while the core runs.
    try {
        CoreFiles::writePid(runtimeDir_, process_.pid());
    } catch (const std::exception&) {
    }
    co_await awaitReadiness();
}

Task<void> MihomoCore::awaitReadiness() {
    for (int round = 0; round < kReadinessRounds; ++round) {
        co_await checkCancelled();
        if (!process_.running()) throw KorvaneError(kStartTimeout);
        try {
            co_await version(http_);
            if (process_.running()) co_return;
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception&) {
        }
        co_await sleep(kReadinessPause);
    }
    throw KorvaneError(kStartTimeout);
}

// ---- Stop ---------------------------------------------------------------------------------

Task<void> MihomoCore::stopCore() {
    SerialQueue::Turn turn = co_await lifecycle_.next();
    co_await stopCoreInTurn();
}

Task<void> MihomoCore::stopCoreInTurn() {
    if (process_.running()) {
        process_.signal(SIGTERM);
        for (auto waited = Duration::zero(); waited < kStopGrace && process_.running(); waited += kExitPoll)
            co_await sleep(kExitPoll);
        if (process_.running()) {
            process_.signal(SIGKILL);
            for (auto waited = Duration::zero(); waited < kKillGrace && process_.running();
                 waited += kExitPoll)
                co_await sleep(kExitPoll);
        }
    }
    if (process_.started()) CoreFiles::removePid(runtimeDir_);
    process_ = ChildProcess();
    log_.reset();
}

Task<void> MihomoCore::stopOrphanCore() {
    const auto pid = CoreFiles::readPid(runtimeDir_);
    if (!pid || *pid == process_.pid()) co_return;
    const auto running = processExecutable(*pid);
    // Only a process started from our own core executable: an id reused by anything else is
    // left alone.
    if (running && sameFile(*running, executable())) {
        ::kill(*pid, SIGTERM);
        for (auto waited = Duration::zero(); waited < kStopGrace && !processEnded(*pid); waited += kExitPoll)
            co_await sleep(kExitPoll);
        if (!processEnded(*pid)) {
            ::kill(*pid, SIGKILL);
            for (auto waited = Duration::zero(); waited < kKillGrace && !processEnded(*pid);
                 waited += kExitPoll)
                co_await sleep(kExitPoll);
        }
    }
    CoreFiles::removePid(runtimeDir_);
}

bool localPortAccepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace korvane
