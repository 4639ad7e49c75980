#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
#   install-deps.sh [all]   everything: every preset, the tests, the release
#   install-deps.sh demo    only what tools/demo.sh needs: a compiler, CMake and Python
# Safe to run again, and as any user: it only looks while everything is
# there, and asks for root (itself, or sudo) only to install what is missing.
# Without either it names what is missing and fails.
set -euo pipefail

group=${1:-all}
# The demo preset's build (the library and the monitor) and the simulated scanner.
packages=(cmake ninja-build g++ python3)
case "$group" in
demo) ;;
all)
  # The tests' GoogleTest, looked for when the native preset is configured.
  packages+=(libgtest-dev googletest libbenchmark-dev
             g++-mingw-w64-i686-posix util-linux procps socat clang-format valgrind
             clang-14 clang-tools-14 libclang-rt-14-dev llvm-14 wine wine32:i386
             g++-mingw-w64-x86-64-posix wine64
             lld-14 dpkg-dev lintian zip unzip pkg-config)
  # The release's Windows installers (tools/release.sh), and NuGet, which takes the release's
  # package from a folder feed as a C# developer's project would.
  packages+=(wixl nuget)
  # The language bindings' tests: Python's pip install offline (and into a fresh virtual
  # environment, the release's wheel), C# with Mono, Free Pascal (with its
  # FCL: the Pascal test starts the simulated scanner as a child process).
  packages+=(python3-pip python3-setuptools python3-wheel python3-venv mono-mcs mono-runtime fp-compiler fp-units-rtl
             fp-units-fcl)
  # belvor-bridge (Beast, Asio and JSON, header-only) and its tests: the protocol suite
  # in Python, the live page in a headless browser (openssl: its https till's certificate),
  # and its alert rules with Prometheus itself.
  packages+=(libboost-dev nlohmann-json3-dev python3-websockets python3-prometheus-client
             chromium chromium-driver python3-selenium openssl prometheus firefox-esr)
  # The GS1 readers' oracles: zint draws and validates GS1 symbols, zxing-cpp decodes
  # them with their symbology identifiers, as a scanner sends them.
  packages+=(zint libzint-dev python3-zxing-cpp python3-numpy)
  # Node.js and npm for the Firefox test's driver: Debian's, where the machine has none of its own.
  command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
  # The test command's check of the demo on a fresh Debian root (tools/fresh-root.sh).
  packages+=(mmdebstrap git ca-certificates)
  ;;
*)
  echo "usage: install-deps.sh [all|demo]" >&2
  exit 2
  ;;
esac

pkg_missing() { ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need=()
for p in "${packages[@]}"; do
  pkg_missing "$p" && need+=("$p")
done
# wine32 is a 32-bit package: dpkg has to know that architecture first.
add_i386=false
[[ " ${packages[*]} " == *:i386\ * ]] && ! dpkg --print-foreign-architectures | grep -qx i386 && add_i386=true

# The browser test's driver for Firefox (npm's puppeteer-core, over WebDriver
# BiDi: it downloads no browser), exactly as tests/browser/package-lock.json
# pins it. (BELVOR_NODE_DIR puts it elsewhere, for this script's own test.)
puppeteer=${BELVOR_NODE_DIR:-/usr/local/lib/belvor-node}
lock=$(dirname "$0")/../tests/browser/package-lock.json
need_puppeteer=false
[[ $group == all ]] && ! { [[ -f $puppeteer/node_modules/puppeteer-core/package.json ]] &&
  cmp -s "$lock" "$puppeteer/package-lock.json"; } && need_puppeteer=true

if ((${#need[@]} == 0)) && ! $add_i386 && ! $need_puppeteer; then
  exit 0
fi

# Root runs the commands itself; anyone else through sudo, when sudo can run
# them without a password or can ask for one here.
as_root=()
if (($(id -u) != 0)); then
  if command -v sudo >/dev/null 2>&1 && { sudo -n true 2>/dev/null || [[ -t 0 ]]; }; then
    as_root=(sudo)
  else
    {
      ((${#need[@]})) && echo "install-deps: missing: ${need[*]}"
      $add_i386 && echo "install-deps: and the i386 architecture, which wine32:i386 needs"
      $need_puppeteer && echo "install-deps: and npm's puppeteer-core in $puppeteer, which the browser test needs"
      echo "install-deps: neither root nor a usable sudo; as root, run:"
      $add_i386 && echo "  dpkg --add-architecture i386"
      ((${#need[@]})) && echo "  apt-get update && apt-get install --no-install-recommends ${need[*]}"
      $need_puppeteer && echo "  bash $0 $group"
    } >&2
    exit 1
  fi
fi

if $add_i386; then
  echo "install-deps: adding the i386 architecture"
  "${as_root[@]}" dpkg --add-architecture i386
fi
if ((${#need[@]})); then
  echo "install-deps: installing ${need[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" \
    >/dev/null
fi
# Debian's prometheus package starts its server at once, on :9090 of every
# interface, and at every boot; the tests start a Prometheus of their own. One
# installed before this script ran is left as it was.
if [[ " ${need[*]} " == *" prometheus "* ]]; then
  echo "install-deps: stopping and disabling Debian's prometheus service (the tests run their own)"
  "${as_root[@]}" update-rc.d prometheus disable >/dev/null 2>&1 ||
    echo "install-deps: note: update-rc.d could not disable prometheus; it may start at boot" >&2
  "${as_root[@]}" invoke-rc.d prometheus stop >/dev/null 2>&1 || true
fi

# npm runs as the one who called this script (with that one's PATH: a Node.js
# of their own, under nvm, is not on root's), from the lockfile and without any
# package's install scripts; root only copies the result into place.
if $need_puppeteer; then
  echo "install-deps: installing puppeteer-core into $puppeteer"
  stage=$(mktemp -d "${TMPDIR:-/tmp}/belvor-node.XXXXXX")
  trap 'rm -rf "$stage"' EXIT
  cp "$lock" "$(dirname "$lock")/package.json" "$stage/"
  # With the system's certificate authorities, as apt and git use, not only Node.js's own.
  cafile=()
  [[ -s /etc/ssl/certs/ca-certificates.crt ]] && cafile=(--cafile /etc/ssl/certs/ca-certificates.crt)
  (cd "$stage" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error "${cafile[@]}" >/dev/null)
  # Beside the old one first, so that a test running meanwhile sees one whole.
  "${as_root[@]}" rm -rf "$puppeteer.new"
  "${as_root[@]}" mkdir -p "$puppeteer.new"
  "${as_root[@]}" cp -R "$stage/." "$puppeteer.new/"
  "${as_root[@]}" rm -rf "$puppeteer"
  "${as_root[@]}" mv "$puppeteer.new" "$puppeteer"
fi
