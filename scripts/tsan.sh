#!/bin/bash
# The runtime, HTTP, system proxy and connection tests under ThreadSanitizer: builds the tsan
# preset (a full second build, at low priority) and runs each suite's executable; any race
# report fails the run (ThreadSanitizer exits with 66). Tests that bind the local deployment's
# fixed ports wait for the machine-wide port lock.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${JOBS:-2}"
cmake --preset tsan >/dev/null
nice cmake --build --preset tsan -j"$jobs" --target base_tests panel_tests sysproxy_tests core_tests e2e_tests

export TSAN_OPTIONS="second_deadlock_stack=1 history_size=4 ${TSAN_OPTIONS:-}"
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

if ((${#failed[@]})); then
    printf 'failed under ThreadSanitizer: %s\n' "${failed[@]}"
    exit 1
fi
echo "ThreadSanitizer: every suite passed without a report"
