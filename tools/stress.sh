#!/usr/bin/env bash
# The long forms of the stress tests: a million codes through one pty and
# through ten at once, a thousand InitDriver/DestroyDriver cycles with traffic
# flowing under ASan and TSan, and the end-to-end tests under valgrind.
# The test command runs the same tests with small sizes.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh || exit 1
status=0
for preset in native asan tsan; do
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 --target stress_test || exit 1
done

echo "=== soak: 1,000,000 codes (native)"
BELVOR_SOAK_CODES=1000000 build/native/bin/stress_test --gtest_filter='*Soak*' || status=1
for preset in asan tsan; do
  echo "=== churn: 1000 cycles ($preset)"
  BELVOR_CHURN_CYCLES=1000 build/$preset/bin/stress_test --gtest_filter='*Churn*' || status=1
done
echo "=== valgrind memcheck"
ctest --test-dir build/native -L valgrind --output-on-failure || status=1
exit $status
