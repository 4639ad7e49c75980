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
  # The language bindings' tests: Python's pip install offline, C# with Mono, Free Pascal.
  packages+=(python3-pip python3-setuptools python3-wheel mono-mcs mono-runtime fp-compiler fp-units-rtl)
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
# BiDi: it downloads no browser), with the machine's Node.js, where it looks.
puppeteer=/usr/local/lib/belvor-node
need_puppeteer=false
[[ $group == all && ! -f $puppeteer/node_modules/puppeteer-core/package.json ]] && need_puppeteer=true
install_puppeteer() {
  $need_puppeteer || return 0
  echo "install-deps: installing puppeteer-core into $puppeteer"
  # 23.x: the last that runs on Debian's Node.js 18 as well as on 20 and later.
  # With the system's certificate authorities, as apt and git use, not only Node.js's own.
  local cafile=()
  [[ -s /etc/ssl/certs/ca-certificates.crt ]] && cafile=(--cafile /etc/ssl/certs/ca-certificates.crt)
  "${as_root[@]}" npm install --prefix "$puppeteer" --no-audit --no-fund --loglevel=error "${cafile[@]}" \
    puppeteer-core@23.11.1 >/dev/null
}

if ((${#need[@]} == 0)) && ! $add_i386; then
  as_root=()
  ((EUID == 0)) || as_root=(sudo)
  install_puppeteer
  exit
fi

# Root runs the commands itself; anyone else through sudo, when sudo can run
# them without a password or can ask for one here.
as_root=()
if ((EUID != 0)); then
  if command -v sudo >/dev/null 2>&1 && { sudo -n true 2>/dev/null || [[ -t 0 ]]; }; then
    as_root=(sudo)
  else
    {
      echo "install-deps: missing: ${need[*]:-(no package)}"
      $add_i386 && echo "install-deps: and the i386 architecture, which wine32:i386 needs"
      echo "install-deps: neither root nor a usable sudo; as root, run:"
      $add_i386 && echo "  dpkg --add-architecture i386"
      echo "  apt-get update && apt-get install --no-install-recommends ${need[*]}"
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
install_puppeteer
