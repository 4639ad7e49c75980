#!/usr/bin/env bash
# The long forms of the stress tests: a million codes through one pty and
# through ten at once, a thousand InitDriver/DestroyDriver cycles with traffic
# flowing under ASan and TSan, the end-to-end tests under valgrind, and
# belvor-bridge with ten scanners of 100,000 codes each and twenty C++ clients.
# The test command runs the same tests with small sizes.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh || exit 1
status=0
for preset in native asan tsan; do
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 --target stress_test || exit 1
done
cmake --build --preset native -j2 --target belvor-bridge bridge_load_client || exit 1

echo "=== soak: 1,000,000 codes (native)"
BELVOR_SOAK_CODES=1000000 build/native/bin/stress_test --gtest_filter='*Soak*' || status=1
for preset in asan tsan; do
  echo "=== churn: 1000 cycles ($preset)"
  BELVOR_CHURN_CYCLES=1000 build/$preset/bin/stress_test --gtest_filter='*Churn*' || status=1
done
echo "=== belvor-bridge: 10 scanners x 100,000 codes, 20 clients (native)"
BELVOR_LOAD_CLIENT=$PWD/build/native/bin/bridge_load_client ctest --test-dir build/native -R '^bridge_load$' \
  --output-on-failure || status=1
echo "=== valgrind memcheck"
ctest --test-dir build/native -L valgrind --output-on-failure || status=1
exit $status
