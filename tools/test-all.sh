#!/usr/bin/env bash
# Installs whatever is missing, checks the sources' formatting and the demo on
# a fresh Debian root (tools/fresh-root.sh; BELVOR_FRESH_ROOT=0 leaves it out),
# then builds every preset and runs every test: natively, under AddressSanitizer +
# UndefinedBehaviorSanitizer, under ThreadSanitizer, the 32-bit Windows build
# under Wine, the 64-bit one under 64-bit Wine, and the fuzz targets for a
# short while each. And the release files, made from those builds and checked
# (tools/release.sh --reuse) once the native and Windows tests are done.
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh || exit 1

# The Windows builds early, so that their tests (the longest) and the release
# check run beside the later builds; the fuzz targets last: their tests take a
# fixed time whatever else runs, where the sanitizers' tests, most of which
# take one Belvor.ini in turn, would end the run waiting on one another.
presets=(${BELVOR_PRESETS:-native windows windows64 tsan asan fuzz})
total_passed=0
total_failed=0
broken=()
skipped=()

# First, and cheap: a misformatted source fails the run, but the tests still
# run so that one look shows everything.
phase() { echo "=== $* (at ${SECONDS} s)"; }
phase format
bash tools/check-format.sh || broken+=("format")

mkdir -p build
# The README's first command on a fresh Debian root, from the start: it mostly
# waits on Debian's archive while the builds run.
fresh_root=false
if [[ ${BELVOR_FRESH_ROOT:-1} == 1 ]] && ((EUID != 0)); then
  phase "fresh root: skipped, it needs root (chroot and mounts)"
  skipped+=("fresh root (not root)")
elif [[ ${BELVOR_FRESH_ROOT:-1} == 1 ]]; then
  fresh_root=true
  phase fresh root "(beside the rest; build/fresh-root.log)"
  bash tools/fresh-root.sh >build/fresh-root.log 2>&1 &
  fresh_root_job=$!
fi

# The Wine prefixes are made while the Linux presets build (making one takes
# half a minute of mostly waiting); tools/wine-run.sh makes each once, under a lock.
declare -A prefix_job
for preset in "${presets[@]}"; do
  case $preset in
  windows) arch=win32 ;;
  windows64) arch=win64 ;;
  *) continue ;;
  esac
  bash tools/wine-run.sh "build/$preset/wine" --arch $arch wineboot >/dev/null 2>&1 &
  prefix_job[$preset]=$!
done

# Each preset's tests start as soon as it is built (a Windows one's once its
# Wine prefix is made), while the next preset builds. The builds run at a
# lower priority: the tests, which mostly wait on lines and timers, get the
# processor whenever they need it, and the builds take the rest. Each preset
# has its own build directory, test files, Belvor.ini and Wine prefix.
# The fuzz targets, which would take a core each for their fixed time, run at
# the lowest priority, all at once (their time is fixed, so sharing the cores
# costs them runs, not the test command time).
# The bridge's load tests take both cores for half a minute or more: each runs
# once its preset's other tests are done (it needs that preset's Belvor.ini to
# itself), and one preset at a time (build/load-test.lock), so that none
# starves another past its limits; and once the next preset is built, so that
# it runs beside tests, which mostly wait, rather than slow a build down.
heavy='^bridge_load$'
run_tests() { # preset other|heavy
  local nice=0 select=(-E "$heavy")
  [[ $1 == fuzz ]] && nice=19 select+=(-j8)
  if [[ $2 == heavy ]]; then
    ctest --preset "$1" -N -R "$heavy" | grep -q 'Total Tests: [1-9]' || return 0
    select=(-R "$heavy")
  fi
  nice -n $nice ctest --preset "$1" "${select[@]}" >>"build/ctest-$1.log" 2>&1 || echo 1 >"build/ctest-$1.rc"
}
test_preset() { # preset [the preset built after it]
  run_tests "$1" other
  if [[ -n ${2:-} ]]; then
    while [[ ! -f build/built.$2 ]]; do sleep 1; done
  fi
  { flock 9 && run_tests "$1" heavy; } 9>build/load-test.lock
  : >"build/ctest-$1.done"
}
start_tests() { # preset [next preset]
  rm -f "build/ctest-$1.done"
  : >"build/ctest-$1.log"
  echo 0 >"build/ctest-$1.rc"
  phase tests of "$1"
  test_preset "$1" "${2:-}" &
  test_job[$1]=$!
}
# The release files, from the native and Windows builds (when all three are
# made), once those presets' tests have finished with their Wine prefixes and
# system directory, beside whatever still builds.
release_needs=(native windows windows64)
release=false
for preset in "${release_needs[@]}"; do
  [[ " ${presets[*]} " == *" $preset "* ]] || release_needs=()
done
start_release() {
  release=true
  phase release "(beside the rest once its presets' tests are done; build/release-check.log)"
  (
    for preset in "${release_needs[@]}"; do
      while [[ ! -f build/ctest-$preset.done ]]; do sleep 1; done
    done
    bash tools/release.sh --reuse >build/release-check.log 2>&1
    echo $? >build/release-check.rc
  ) &
  release_job=$!
}
built=()
declare -A test_job
rm -f build/built.*
for i in "${!presets[@]}"; do
  preset=${presets[i]}
  phase build "$preset"
  if nice -n 10 cmake --preset "$preset" >/dev/null && nice -n 10 cmake --build --preset "$preset" -j2; then
    : >"build/built.$preset"
    built+=("$preset")
    [[ -n ${prefix_job[$preset]:-} ]] && wait "${prefix_job[$preset]}"
    start_tests "$preset" "${presets[i + 1]:-}"
    if ((${#release_needs[@]})) && ! $release; then
      ready=true
      for needed in "${release_needs[@]}"; do
        [[ " ${built[*]} " == *" $needed "* ]] || ready=false
      done
      $ready && start_release
    fi
  else
    : >"build/built.$preset"
    broken+=("$preset (build)")
  fi
done
phase every preset built

for preset in "${built[@]}"; do
  wait "${test_job[$preset]}"
  echo "=== test $preset (done at ${SECONDS} s)"
  log=build/ctest-$preset.log
  cat "$log"
  while read -r line; do
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
      total_failed=$((total_failed + BASH_REMATCH[1]))
      total_passed=$((total_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
  done < <(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log")
  [[ $(cat "build/ctest-$preset.rc" 2>/dev/null) == 0 ]] || broken+=("$preset")
done

if $release; then
  wait "$release_job"
  log=build/release-check.log
  echo "=== release (done at ${SECONDS} s)"
  cat "$log"
  if [[ $(tail -n 3 "$log") =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
    total_passed=$((total_passed + BASH_REMATCH[1]))
    total_failed=$((total_failed + BASH_REMATCH[2]))
  fi
  [[ $(cat build/release-check.rc 2>/dev/null) == 0 ]] || broken+=("release")
elif ((${#release_needs[@]})); then
  broken+=("release (not made: a build failed)")
fi

if $fresh_root; then
  echo "=== fresh root (tools/fresh-root.sh)"
  wait "$fresh_root_job"
  rc=$?
  if ((rc == 0)); then
    total_passed=$((total_passed + 1))
  elif ((rc == 77)); then
    # No mount namespace here (a chroot, an unprivileged container): it said why.
    skipped+=("fresh root (no mount namespace)")
  else
    total_failed=$((total_failed + 1))
    broken+=("fresh root")
  fi
  tail -n 25 build/fresh-root.log
fi

for prefix in build/windows/wine build/windows64/wine; do
  if [[ -d $prefix ]]; then
    WINEPREFIX=$PWD/$prefix wineserver -k 2>/dev/null || true
  fi
done

echo
echo "done in ${SECONDS} s"
((${#broken[@]})) && echo "failing: ${broken[*]}"
((${#skipped[@]})) && echo "skipped: ${skipped[*]}"
echo "${total_passed} passed, ${total_failed} failed"
((${#broken[@]} == 0))
