// Pausing the connection for an update and resuming it afterwards: the core stops and starts
// again while the system proxy stays on the local port, so that no administrator prompt is
// needed on either side.

#include "core/mihomo_core.h"

#include "base/blocking.h"
#include "base/errors.h"
#include "base/sleep.h"
#include "core/core_files.h"
#include "sysproxy/proxy_helper_client.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <system_error>

namespace korvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kPauseChecks = 60;
constexpr Duration kPausePoll = 100ms;

} // namespace

Task<void> MihomoCore::pauseForUpgrade() {
    SerialQueue::Turn turn = co_await lifecycle_.next();
    if (process_.running()) {
        process_.signal(SIGTERM);
        for (int check = 0; check < kPauseChecks && process_.running(); ++check)
            co_await sleep(kPausePoll);
        // The new copy must not find our core on its ports: the update does not go ahead.
        if (process_.running()) throw KorvaneError("Mihomo 尚未安全退出，更新已暂停");
    }
    connected_ = false;
    connectedNode_.clear();
    if (process_.started()) CoreFiles::removePid(runtimeDir_);
    process_ = ChildProcess();
    log_.reset();
}

Task<void> MihomoCore::resumeAfterUpgrade(std::string subscription, std::vector<Node> nodes,
                                          std::string selected, std::string mode) {
    // Asking the helper and the settings tool blocks; it runs off the main thread.
    auto stillSwitched = [backup = proxy_.backup(), tempDir = proxy_.tempDir()] {
        std::error_code error;
        const bool recorded = fs::exists(backup, error) || KorvaneProxyHelperClient::enabled();
        return recorded && SystemProxy(backup, tempDir).stillRoutingThroughKorvane();
    };
    if (!co_await blocking(std::move(stillSwitched)))
        throw KorvaneError("无法确认上次的系统代理状态，不能直接恢复连接");
    const bool listed =
        std::any_of(nodes.begin(), nodes.end(), [&](const Node& node) { return node.name == selected; });
    if (selected.empty() || !listed) throw KorvaneError("缺少上次使用的节点或配置");

    const ConnectionIntent intent = intendToConnect();
    std::exception_ptr failure;
    try {
        co_await startCore(subscription, nodes, mode);
        co_await selectAndVerify(selected, "升级后节点恢复失败");
        connected_ = true;
        connectedNode_ = selected;
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    co_await uncancellable(stopCore());
    std::rethrow_exception(failure);
}

} // namespace korvane
