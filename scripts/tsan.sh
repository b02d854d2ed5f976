#!/bin/bash
# The runtime, HTTP, system proxy and connection tests under ThreadSanitizer: builds the tsan
# preset (a full second build, at low priority) and runs each suite's executable; any race
# report fails the run, from the tests or from any process they start. Tests that bind the
# local deployment's fixed ports wait for the machine-wide port lock.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-2}"
cmake --preset tsan >/dev/null
nice cmake --build --preset tsan -j"$jobs" --target base_tests panel_tests sysproxy_tests core_tests e2e_tests

# Every process writes its reports to a file of its own, so that a race in the headless client
# or the stand-in core counts too, also where a test kills it.
reports=build/tsan/reports
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="second_deadlock_stack=1 history_size=4 log_path=$PWD/$reports/report ${TSAN_OPTIONS:-}"
tests=build/tsan/tests
failed=()
run() {
    echo "== $*"
    "$@" || failed+=("$*")
}
run "$tests/base_tests"
run "$tests/panel_tests" --gtest_filter='HttpTest.*:HttpResponseTest.*'
run "$tests/sysproxy_tests"
run flock /tmp/korvane-ports.lock "$tests/core_tests"
run flock /tmp/korvane-ports.lock "$tests/e2e_tests" --gtest_filter='ConnectionTest.*'

if compgen -G "$reports/report.*" >/dev/null; then
    cat "$reports"/report.*
    failed+=("race reports in $reports")
fi
if ((${#failed[@]})); then
    printf 'failed under ThreadSanitizer: %s\n' "${failed[@]}"
    exit 1
fi
echo "ThreadSanitizer: every suite passed without a report"
