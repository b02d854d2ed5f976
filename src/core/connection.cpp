// The connection: connect (or switch nodes while connected), disconnect, and the node
// availability tests that share the core with it.

#include "core/mihomo_core.h"

#include "base/errors.h"
#include "base/sleep.h"
#include "base/task_scope.h"
#include "core/runtime_configuration.h"
#include "platform/local_proxy.h"

#include <korvane_deployment.h>

#include <algorithm>
#include <chrono>

namespace korvane {

using namespace std::chrono_literals;

namespace {

constexpr int kFirstProbeLimitMs = 7000;
constexpr int kSecondProbeLimitMs = 2500;
constexpr int kTestFirstProbeLimitMs = 3500;
constexpr int kTestSecondProbeLimitMs = 2500;
constexpr std::size_t kTestSlice = 8;
// The controller may answer shortly before the mixed port accepts connections.
constexpr Duration kLocalPortWait = 2s;
constexpr Duration kLocalPortPoll = 50ms;

constexpr const char* kProbeFailed = "节点代理联网检测失败，请重试或选择其他节点";

bool listed(const std::vector<Node>& nodes, const std::string& name) {
    return std::any_of(nodes.begin(), nodes.end(), [&](const Node& node) { return node.name == name; });
}

} // namespace

Task<void> MihomoCore::selectAndVerify(const std::string& node, const char* notInEffect) {
    const std::string group(kProxyGroupName);
    co_await select(http_, group, node);
    const Json answer = co_await MihomoCore::group(http_, group);
    if (!answer.is_object()) throw KorvaneError(kMalformedAnswerText);
    auto now = answer.find("now");
    if (now == answer.end() || !now->is_string() || now->get<std::string>() != node)
        throw KorvaneError(notInEffect);
}

// Each answer lands in a variable before it is tested: GCC 12 destroys the string temporaries
// of a co_await inside an if condition twice.
Task<void> MihomoCore::probeThrough(const std::string& node) {
    const bool first = co_await measureDelay(http_, node, deployment::kProbeA, kFirstProbeLimitMs);
    if (first) co_return;
    // A measurement that ended because the task was cancelled says nothing about the node.
    co_await checkCancelled();
    const bool second = co_await measureDelay(http_, node, deployment::kProbeB, kSecondProbeLimitMs);
    if (second) co_return;
    throw KorvaneError(kProbeFailed);
}

Task<void> MihomoCore::waitForLocalPort() {
    for (auto waited = Duration::zero(); !localPortAccepts(kLocalProxyPort); waited += kLocalPortPoll) {
        // Switching the computer to a port nobody listens on would cut it off.
        if (waited >= kLocalPortWait) throw KorvaneError(kProbeFailed);
        co_await sleep(kLocalPortPoll);
    }
}

Task<void> MihomoCore::connect(std::string subscription, std::vector<Node> nodes, std::string selected,
                               std::string mode) {
    if (connected_) {
        if (selected == connectedNode_) co_return;
        if (!listed(nodes, selected)) throw KorvaneError("请先手动选择一个节点");
        co_await switchTo(selected);
        co_return;
    }
    if (!listed(nodes, selected)) throw KorvaneError("请先手动选择一个节点");
    // Without a way to switch the system proxy the connection could never be used.
    proxy_.checkAvailable();
    if (requiresRecovery()) throw KorvaneError("检测到旧代理设置尚未恢复，请先允许恢复后再连接");

    const ConnectionIntent intent = intendToConnect();
    bool proven = false;
    std::exception_ptr failure;
    try {
        co_await startCore(subscription, nodes, mode);
        co_await selectAndVerify(selected, "手动节点选择没有生效");
        co_await probeThrough(selected);
        co_await waitForLocalPort();
        proven = true;
        co_await proxy_.enable();
        connected_ = true;
        connectedNode_ = selected;
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }

    // Whatever ended the sequence, what was switched is put back and the core stopped; that
    // work finishes even when the connect itself was cancelled.
    std::exception_ptr restoreFailure;
    if (requiresRecovery()) {
        try {
            co_await uncancellable(proxy_.restore());
        } catch (...) {
            restoreFailure = std::current_exception();
        }
    }
    if (restoreFailure && proven && processRunning()) {
        // The services may point at the local port: the proven core stays, and the connection
        // with it, so that a disconnect or a quit can still restore them.
        connected_ = true;
        connectedNode_ = selected;
        std::rethrow_exception(restoreFailure);
    }
    co_await uncancellable(stopCore());
    std::rethrow_exception(failure);
}

Task<void> MihomoCore::switchTo(const std::string& node) {
    const std::string previous = connectedNode_;
    const ConnectionIntent intent = intendToConnect();
    std::exception_ptr failure;
    try {
        co_await selectAndVerify(node, "手动节点选择没有生效");
        co_await probeThrough(node);
        connectedNode_ = node;
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    // The connection goes on through the node it had; best effort, the switch failed anyway.
    auto back = [](MihomoCore* self, std::string name) -> Task<void> {
        try {
            co_await select(self->http_, std::string(kProxyGroupName), std::move(name));
        } catch (const std::exception&) {
        }
    };
    co_await uncancellable(back(this, previous));
    std::rethrow_exception(failure);
}

Task<void> MihomoCore::disconnect() {
    std::exception_ptr recordKept;
    if (requiresRecovery()) {
        try {
            co_await proxy_.restore();
        } catch (const ProxyRecordKept&) {
            // The settings are back: the connection ends all the same, and the caller hears
            // that the file stayed.
            recordKept = std::current_exception();
        }
    }
    connected_ = false;
    connectedNode_.clear();
    co_await stopCore();
    if (recordKept) std::rethrow_exception(recordKept);
}

// ---- Node tests ---------------------------------------------------------------------------

Task<void> MihomoCore::testOne(std::string node, std::function<void(const std::string&, bool)> onResult) {
    const std::stop_token token = co_await currentStopToken();
    bool available = false;
    if (!token.stop_requested()) {
        available = co_await measureDelay(http_, node, deployment::kProbeA, kTestFirstProbeLimitMs);
        if (!available && !token.stop_requested())
            available = co_await measureDelay(http_, node, deployment::kProbeB, kTestSecondProbeLimitMs);
    }
    // A result that arrives after the run was cancelled is not reported.
    if (!token.stop_requested()) onResult(node, available);
}

Task<void> MihomoCore::stopUnlessConnecting() {
    if (!connected_ && connecting_ == 0) co_await stopCore();
}

Task<void> MihomoCore::testNodes(std::string subscription, std::vector<Node> nodes, std::string mode,
                                 std::function<void(const std::string&, bool)> onResult) {
    if (nodes.empty()) co_return;
    // Asked in turn with the stops: a core still being stopped is no core to test through.
    const bool startedHere = co_await startCore(subscription, nodes, mode);
    std::exception_ptr failure;
    try {
        for (std::size_t first = 0; first < nodes.size(); first += kTestSlice) {
            co_await checkCancelled();
            const std::size_t end = std::min(nodes.size(), first + kTestSlice);
            std::vector<Task<void>> slice;
            for (std::size_t i = first; i < end; ++i)
                slice.push_back(testOne(nodes[i].name, onResult));
            // The next slice only after every test of this one has answered.
            co_await whenAll(std::move(slice));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // A core a connection uses, or is about to, stays.
    if (startedHere) co_await uncancellable(stopUnlessConnecting());
    if (failure) std::rethrow_exception(failure);
}

} // namespace korvane
