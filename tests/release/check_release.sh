#!/usr/bin/env bash
# Checks what tools/release.sh wrote:
#   check_release.sh DIST VERSION SYSTEM_DIR --wine32 PREFIX --wine64 PREFIX [--run-codes]
# - each zip holds exactly the files a Windows shop gets; its DLL is PE32 i386
#   or PE32+ x86-64 with the exports, ordinals and imports of tests/check_library.sh;
# - Belvor.lib links a host with LLVM's MSVC-compatible tools (clang-cl, lld-link,
#   no C runtime) and libbelvor.dll.a one with mingw-w64; both receive a code
#   under Wine through the null-modem pair COM7 <-> COM8;
# - the host kit, from the unpacked files alone: the C example built with the
#   zip's header runs with the zip's DLL under Wine, the C# example built by mcs
#   with the zip's Belvor.cs, the Pascal one by fpc with its Belvor.pas, and the
#   .deb's Python example with the package's binding (the .deb unpacked into a
#   temporary root, as no test may install into the system);
# - the licence: the zips' LICENSE.txt, the DLLs' LegalCopyright, the .deb's
#   machine-readable copyright, the CMake and pkg-config files, the tar.gz;
# - the .deb: its files and control data, lintian without errors, dpkg install
#   and purge in a scratch root; unpacked into a temporary root (a relocated
#   /usr), a consumer built with find_package(Belvor) and one built with
#   pkg-config. Each must load the library and be refused a port that is not
#   there (the bridge keeps trying it and says why); with --run-codes (a package
#   whose system directory a test may write) each also runs on a pty linked as a
#   COM port and must receive a code;
# - the tar.gz holds the same installed tree; SHA256SUMS matches.
# Prints one line per check and "N passed, N failed". Every program it runs or
# waits for is given a time limit, past which its check fails.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=$(realpath "$1") version=$2 system_dir=$3
shift 3
wine32= wine64= run_codes=false
while (($#)); do
  case "$1" in
  --wine32) wine32=$2 && shift ;;
  --wine64) wine64=$2 && shift ;;
  --run-codes) run_codes=true ;;
  esac
  shift
done

passed=0 failed=0
bounded=(timeout --kill-after=5 120)
# start_sim PORT ARGS...: a simulated scanner on COM<PORT> ($sim), once it has linked the port.
# A link an earlier test left is removed first: it could name another pty.
start_sim() {
  local port=$1 i
  shift
  rm -f "$system_dir/com$port"
  "${bounded[@]}" python3 "$root/tools/scanner-sim.py" --dir "$system_dir" --port "$port" "$@" >/dev/null &
  sim=$!
  for i in $(seq 600); do [[ -e "$system_dir/com$port" ]] && return; sleep 0.05; done
  echo "release check: the simulated scanner never linked COM$port" >&2
}
check() { # check WHAT COMMAND...: passes when the command succeeds; shows its output when it fails
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    echo "$out" | sed 's/^/    /' | tail -n 30
    failed=$((failed + 1))
  fi
}
same() { # same EXPECTED ACTUAL: shows both when they differ
  [[ "$1" == "$2" ]] || { diff <(echo "$1") <(echo "$2"); return 1; }
}

work=$(mktemp -d "${TMPDIR:-/tmp}/belvor-check.XXXXXX")
sim=
cleanup() {
  [[ -n "$sim" ]] && kill "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The code scanner-sim.py sends first.
first_code=4006381333931
copyright='Copyright (c) 2026 The Belvor developers'

# --- the Windows archives -----------------------------------------------------
# What a host program's developer gets beside the library, in every archive.
kit_files='bindings/csharp/Belvor.cs bindings/pascal/Belvor.pas bindings/python/README.md
  bindings/python/pyproject.toml bindings/python/belvor/__init__.py bindings/python/belvor/_status.py
  bindings/python/belvor/_scan.py
  examples/c/scan.c examples/csharp/Scan.cs examples/pascal/scan.pas examples/python/scan.py
  examples/web/index.html examples/monitoring/README.md examples/monitoring/belvor-alerts.yml
  examples/monitoring/belvor-dashboard.json'
zip_files() {
  { printf '%s\n' Belvor.dll monitor.exe belvor-bridge.exe include/belvor.h lib/Belvor.def lib/Belvor.lib \
      lib/libbelvor.dll.a Belvor.ini README.txt LICENSE.txt docs/hosts.md $kit_files; } | sed "s|^|$1/|" | LC_ALL=C sort
}

# The C example, built from the zip alone, run under Wine on COM7 with the
# simulated scanner typing into COM8 all along (however late Wine opens the
# port): it must print the first code whole among those it receives.
wine_example() { # tag
  local tag=$1 dir=$work/$1 prefix=$wine32 target=i686
  [[ $tag == win64 ]] && prefix=$wine64 target=x86_64
  $target-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -static -I"$dir/include" -o "$dir/scan.exe" \
    "$dir/examples/c/scan.c" || return 1
  # As in linked_host, a program that printed nothing did not start under Wine
  # and gets one more try, with a scanner of its own.
  local out rc
  for try in 1 2; do
    "${bounded[@]}" python3 "$root/tools/scanner-sim.py" --line "$prefix/dosdevices/com8" --count 0 --interval 0.2 \
      --delay 0 >/dev/null &
    sim=$!
    out=$(cd "$dir" && timeout 120 bash "$root/tools/wine-run.sh" "$prefix" "$dir/scan.exe" 7 --seconds 3 2>&1)
    rc=$?
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    sim=
    echo "$out"
    [[ -n "$out" ]] && break
    echo "(try $try: no output, exit code $rc)"
  done
  [[ $rc == 0 ]] && echo "$out" | tr -d '\r' | grep -qx "$first_code"
}

# The LICENSE's copyright line, as UTF-16 in the DLL's version resource.
legal_copyright() { # dll license
  grep -qx "$copyright" <(tr -d '\r' <"$2") && grep -q '^MIT License' <(tr -d '\r' <"$2") || return 1
  python3 -c 'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
    "$1" "$copyright"
}

# A Windows host linked against an import library, run with the DLL beside it.
linked_host() { # tag toolchain-kind
  local tag=$1 kind=$2 dir=$work/$1 prefix=$wine32 target=i686 libdir=/usr/i686-w64-mingw32
  [[ $tag == win64 ]] && prefix=$wine64 target=x86_64 libdir=/usr/x86_64-w64-mingw32
  local exe=$dir/host-$kind.exe
  if [[ $kind == msvc ]]; then
    # The mingw headers stand in for the Windows SDK's; no C runtime at all.
    local defines=(/clang:-fgnuc-version=4.2.1)
    local link=()
    [[ $tag == win32 ]] && defines+=(-D_X86_) && link+=(/SAFESEH:NO)
    clang-cl-14 --target=$target-pc-windows-msvc /nologo /c /Od /GS- /W4 /WX -imsvc $libdir/include \
      "${defines[@]}" -I"$dir/include" /Fo"$dir/host-msvc.obj" -- "$here/linked_host.c" || return 1
    lld-link-14 /nologo /NODEFAULTLIB /ENTRY:start /SUBSYSTEM:CONSOLE "${link[@]}" /OUT:"$exe" \
      "$dir/host-msvc.obj" "$dir/lib/Belvor.lib" $libdir/lib/libkernel32.a || return 1
  else
    $target-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -static -I"$dir/include" \
      -o "$exe" "$here/linked_host.c" "$dir/lib/libbelvor.dll.a" || return 1
  fi
  # It imports the driver by the names Belvor.dll exports.
  # (grep reads all of it: with pipefail, grep -q quitting early would let
  # objdump die of SIGPIPE and fail the check at random.)
  x86_64-w64-mingw32-objdump -p "$exe" | grep 'DLL Name: Belvor.dll' >/dev/null || return 1
  # A program that ran says ok or FAILED; one that printed nothing did not
  # start under Wine (seen once in many runs), and gets one more try.
  local out rc
  for try in 1 2; do
    out=$(cd "$dir" && timeout 120 bash "$root/tools/wine-run.sh" "$prefix" "$exe" 2>&1)
    rc=$?
    echo "$out"
    [[ -n "$out" ]] && break
    echo "(try $try: no output, exit code $rc)"
  done
  ((rc == 0))
}

for tag in win32 win64; do
  zip=$dist/belvor-$version-$tag.zip
  top=belvor-$version-$tag
  check "$tag: the zip holds exactly the release files" \
    same "$(zip_files "$top")" "$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)"
  unzip -q "$zip" -d "$work/unzipped" && mv "$work/unzipped/$top" "$work/$tag"
  format=pei-i386
  [[ $tag == win64 ]] && format=pei-x86-64
  check "$tag: Belvor.dll is $format with the exports, ordinals and imports" \
    bash "$root/tests/check_library.sh" "$work/$tag/Belvor.dll" $format
  for program in monitor.exe belvor-bridge.exe; do
    check "$tag: $program is $format" \
      bash -c "x86_64-w64-mingw32-objdump -f '$work/$tag/$program' | grep -q 'file format $format'"
  done
  check "$tag: Belvor.lib is an import library of Belvor.dll for $format" \
    bash -c "llvm-nm-14 '$work/$tag/lib/Belvor.lib' | grep -q '__imp_.*InitDriver'"
  check "$tag: a host built with clang-cl and lld-link on Belvor.lib, without C runtime, receives a code" \
    linked_host $tag msvc
  check "$tag: a host built with mingw-w64 on libbelvor.dll.a receives a code" linked_host $tag mingw
  check "$tag: LICENSE.txt is the MIT licence; Belvor.dll's LegalCopyright names its holders" \
    legal_copyright "$work/$tag/Belvor.dll" "$work/$tag/LICENSE.txt"
  check "$tag: the C example, built from the zip, receives a code under Wine" wine_example $tag
done

# --- the Debian package -------------------------------------------------------
deb=$dist/belvor_${version}_amd64.deb
expected_usr=$(printf '%s\n' ./usr/bin/belvor-monitor ./usr/bin/belvor-bridge ./usr/include/belvor.h \
  ./usr/lib/libbelvor.so ./usr/lib/libbelvor.so.1 ./usr/lib/libbelvor.so.$version ./usr/lib/pkgconfig/belvor.pc \
  ./usr/lib/cmake/Belvor/BelvorConfig.cmake ./usr/lib/cmake/Belvor/BelvorConfigVersion.cmake \
  ./usr/lib/cmake/Belvor/BelvorTargets.cmake ./usr/lib/cmake/Belvor/BelvorTargets-release.cmake \
  ./usr/share/doc/belvor/Belvor.ini ./usr/share/doc/belvor/README ./usr/share/doc/belvor/changelog.Debian.gz \
  ./usr/share/doc/belvor/changelog.gz ./usr/share/doc/belvor/copyright ./usr/share/doc/belvor/hosts.md \
  ./usr/share/man/man1/belvor-monitor.1.gz ./usr/share/man/man1/belvor-bridge.1.gz \
  ./usr/lib/python3/dist-packages/belvor/__init__.py ./lib/systemd/system/belvor-bridge.service \
  ./usr/lib/python3/dist-packages/belvor/_status.py ./usr/lib/python3/dist-packages/belvor/_scan.py \
  $(printf './usr/share/belvor/%s\n' $kit_files | grep -v bindings/python) | LC_ALL=C sort)
deb_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort)
# The build type names one of the CMake files: compare the rest.
check "deb: it holds exactly the library, header, package files, the two programs, the unit, documents and host kit" \
  same "$(echo "$expected_usr" | grep -v 'BelvorTargets-')" "$(echo "$deb_files" | grep -v 'BelvorTargets-')"
check "deb: one BelvorTargets-<build type>.cmake" \
  bash -c "[[ \$(echo '$deb_files' | grep -c 'BelvorTargets-') == 1 ]]"
check "deb: the soname links" bash -c "dpkg-deb -c '$deb' | grep -q 'libbelvor.so.1 -> libbelvor.so.$version' &&
  dpkg-deb -c '$deb' | grep -q 'libbelvor.so -> libbelvor.so.1'"
check "deb: control names the package, version, architecture and its libraries" \
  bash -c "dpkg-deb -f '$deb' Package Version Architecture Depends | tr '\n' ' ' |
    grep -qE '^Package: belvor Version: $version Architecture: amd64 Depends: .*libc6.*libstdc'"
check "deb: shlibs and the ldconfig trigger" \
  bash -c "dpkg-deb -I '$deb' shlibs | grep -qx 'libbelvor 1 belvor (>= $version)' &&
    dpkg-deb -I '$deb' triggers | grep -qx 'activate-noawait ldconfig'"
lintian_out=$work/lintian.txt
lintian --tag-display-limit 0 "$deb" >"$lintian_out" 2>&1
check "deb: lintian finds no error" bash -c "! grep -E '^E:' '$lintian_out'"
sed 's/^/    lintian: /' "$lintian_out"

# Installed and purged with dpkg in a scratch root: every file comes and goes.
scratch=$work/dpkg-root
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates"
touch "$scratch/var/lib/dpkg/status" "$scratch/var/lib/dpkg/available"
dpkg_root() { dpkg --root="$scratch" --force-not-root --force-depends --force-script-chrootless "$@"; }
check "deb: dpkg installs it" bash -c "$(declare -f dpkg_root); scratch='$scratch'
  dpkg_root -i '$deb' >/dev/null && [[ -L '$scratch/usr/lib/libbelvor.so.1' && -x '$scratch/usr/bin/belvor-monitor' ]] &&
  dpkg_root -s belvor | grep -q 'Status: install ok installed'"
check "deb: dpkg purges it, leaving no file" bash -c "$(declare -f dpkg_root); scratch='$scratch'
  dpkg_root -P belvor >/dev/null && [[ -z \$(find '$scratch/usr' -type f -o -type l 2>/dev/null) ]]"

# Unpacked into a temporary root: everything is found relative to where it lies.
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
usr=$tree/usr
check "deb: belvor-monitor prints the version" same "monitor (Belvor) $version" "$("$usr/bin/belvor-monitor" --version)"
# The bridge's unit: installed, never enabled by the package (no maintainer
# script, no link), and as systemd reads it (the ExecStart of the unpacked tree).
bridge_unit() {
  local unit=$tree/lib/systemd/system/belvor-bridge.service
  grep -qx 'ExecStart=/usr/bin/belvor-bridge' "$unit" && grep -qx 'DynamicUser=yes' "$unit" &&
    grep -qx 'SupplementaryGroups=dialout' "$unit" && grep -qx 'WantedBy=multi-user.target' "$unit" || return 1
  [[ -z $(find "$tree" -path '*/etc/*') ]] && ! dpkg-deb -I "$deb" postinst >/dev/null 2>&1 || return 1
  sed "s|^ExecStart=/usr/bin/|ExecStart=$usr/bin/|" "$unit" >"$work/belvor-bridge.service"
  # (An unknown key is only a warning: any word from it fails.)
  local said
  said=$(systemd-analyze verify --man=no "$work/belvor-bridge.service" 2>&1) && [[ -z $said ]] || { echo "$said"; return 1; }
}
check "deb: belvor-bridge.service runs belvor-bridge as a dynamic user in dialout; not enabled" bridge_unit
check "deb: belvor-bridge prints the version" same "belvor-bridge (Belvor) $version" "$("$usr/bin/belvor-bridge" --version)"
check "deb: copyright in Debian's machine-readable format: Expat (MIT), The Belvor developers" \
  bash -c "head -n 1 '$usr/share/doc/belvor/copyright' | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
    grep -qx 'Copyright: 2026 The Belvor developers' '$usr/share/doc/belvor/copyright' &&
    [[ \$(grep -cx 'License: Expat' '$usr/share/doc/belvor/copyright') == 2 ]]"
check "deb: the CMake package and belvor.pc name the licence" \
  bash -c "grep -q 'set(Belvor_LICENSE \"MIT\")' '$usr/lib/cmake/Belvor/BelvorConfig.cmake' &&
    grep -qx 'License: MIT' '$usr/lib/pkgconfig/belvor.pc'"
check "deb: the Python binding lies where Debian's python3 looks" \
  /usr/bin/python3 -I -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)'

check "consumer: configured and built with find_package(Belvor)" \
  bash -c "cmake -S '$here/consumer' -B '$work/consumer-cmake' -G Ninja -DCMAKE_PREFIX_PATH='$usr' >/dev/null &&
    cmake --build '$work/consumer-cmake' >/dev/null"
check "consumer: built with pkg-config" bash -c "PKG_CONFIG_PATH='$usr/lib/pkgconfig' && export PKG_CONFIG_PATH &&
  [[ \$(pkg-config --modversion belvor) == $version ]] &&
  cc -std=c11 -Wall -Werror -o '$work/consumer-pc' '$here/consumer/consumer.c' \$(pkg-config --cflags --libs belvor)"
check "consumer: the pkg-config flags point into the unpacked tree" \
  bash -c "PKG_CONFIG_PATH='$usr/lib/pkgconfig' pkg-config --cflags --libs belvor | grep -q -- '-I$usr/lib/pkgconfig/../../include'"

# COM200 is never linked in $system_dir (the release's /etc/belvor is not
# written; the test command's own system directory is cleared of it): the
# library loads and refuses it. With --run-codes, a simulated scanner on a pty
# linked as COM<port> in the system directory as well.
$run_codes && rm -f "$system_dir/com200"
port=41
for consumer in "$work/consumer-cmake/consumer" "$work/consumer-pc"; do
  kind=find_package
  [[ $consumer == */consumer-pc ]] && kind=pkg-config
  check "consumer ($kind): loads libbelvor.so.1 from the package; COM200 is refused" \
    "${bounded[@]}" env LD_LIBRARY_PATH="$usr/lib" "$consumer" 200 -
  if $run_codes; then
    start_sim $port --count 1 --interval 0.05 --delay 1
    check "consumer ($kind): receives a code on a pty as COM$port" \
      "${bounded[@]}" env LD_LIBRARY_PATH="$usr/lib" "$consumer" $port 4006381333931
    wait "$sim" 2>/dev/null
    sim=
  fi
  check "consumer ($kind): needs libbelvor.so.1" \
    bash -c "objdump -p '$consumer' | grep -qE 'NEEDED +libbelvor.so.1$'"
done

# The examples on Linux, each built only from what the zip or the package holds
# and run with the package's library and Python binding. Each must load the
# library and be refused COM200, which is not there (status 1, the reason on
# stderr, nothing on stdout); or, receiving, print the first code of a
# simulated scanner on a pty linked as COM<port>.
linux_example() { # refused|receives port command...
  local mode=$1 port=$2 out rc
  shift 2
  if [[ $mode == refused ]]; then
    out=$("${bounded[@]}" "$@" 200 --seconds 1 2>"$work/stderr")
    rc=$?
    echo "$out" && cat "$work/stderr"
    [[ $rc == 1 && -z "$out" ]] && grep -qE 'COM200.*No such file or directory|No such file or directory.*COM200' "$work/stderr"
    return
  fi
  start_sim "$port" --count 1 --interval 0.05 --delay 0.5 --wait-open
  out=$("${bounded[@]}" "$@" "$port" --seconds 3)
  rc=$?
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  sim=
  echo "$out"
  [[ $rc == 0 && "$(echo "$out" | head -n 1)" == "$first_code" ]]
}
kit=$work/win32 # the zip's host kit (the same in both)
run_kit=(env -u BELVOR_LIBRARY LD_LIBRARY_PATH="$usr/lib")
csharp_example() { # refused|receives
  [[ -f $work/scan-cs.exe ]] || mcs -nologo -warnaserror -r:System.dll -out:"$work/scan-cs.exe" \
    "$kit/examples/csharp/Scan.cs" "$kit/bindings/csharp/Belvor.cs" || return 1
  linux_example "$1" 43 "${run_kit[@]}" mono "$work/scan-cs.exe"
}
pascal_example() { # refused|receives
  [[ -f $work/pascal/scan ]] || { mkdir -p "$work/pascal" && fpc -l- -v0 -vew -Sew -FU"$work/pascal" \
    -Fu"$kit/bindings/pascal" -o"$work/pascal/scan" "$kit/examples/pascal/scan.pas"; } || return 1
  linux_example "$1" 44 "${run_kit[@]}" "$work/pascal/scan"
}
# Debian's own python3, which the package's binding is for.
python_example() { # refused|receives; from elsewhere than the sources, so that only the package's binding can be found
  cd "$work" && linux_example "$1" 45 "${run_kit[@]}" PYTHONPATH="$usr/lib/python3/dist-packages" \
    /usr/bin/python3 "$usr/share/belvor/examples/python/scan.py"
}
# The package's bridge finds the package's library (../lib beside it) and
# serves its ports on /scanners. A port missing at start is tried again every
# second, the others served meanwhile: on COM200, which is not there, it keeps
# running, says why, and lists the port as not open with the system's error
# (ENOENT); receiving, it delivers a simulated scanner's codes.
scanners() { # LISTEN: /scanners' body
  /usr/bin/python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' \
    "http://$1/scanners" 2>/dev/null
}
packaged_bridge() { # refused|receives
  local body rc listen port=200 ready='"port":200,' running=false
  listen=127.0.0.1:$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  if [[ $1 == receives ]]; then
    port=46 ready='"codes_delivered":[1-9]'
    start_sim $port --count 0 --interval 0.1 --delay 0 --wait-open
  fi
  "${bounded[@]}" env -u BELVOR_LIBRARY "$usr/bin/belvor-bridge" --port $port --listen "$listen" 2>"$work/bridge.err" &
  local bridge=$!
  for _ in $(seq 200); do
    body=$(scanners "$listen") && [[ $body =~ $ready ]] && break
    sleep 0.05
  done
  kill -0 "$bridge" 2>/dev/null && running=true
  kill "$bridge" && wait "$bridge"
  rc=$?
  [[ -n $sim ]] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  sim=
  echo "$body" && cat "$work/bridge.err"
  $running && [[ $rc == 0 ]] || return 1
  if [[ $1 == refused ]]; then
    [[ $body =~ \{\"port\":200,\"state\":\"(lost|gone)\",\"last_error\":2, ]] &&
      grep -q 'COM200.*No such file or directory' "$work/bridge.err"
  else
    [[ $body == *'{"port":46,"state":"open"'* && $body =~ \"codes_delivered\":[1-9] ]]
  fi
}
modes=(refused)
$run_codes && modes+=(receives)
for mode in "${modes[@]}"; do
  what="receives a code"
  if [[ $mode == refused ]]; then
    what="loads the library; COM200 is refused"
    check "deb: belvor-bridge, with the package's library, keeps trying COM200, which is not there, and says why" \
      packaged_bridge $mode
  else
    check "deb: belvor-bridge, with the package's library, $what" packaged_bridge $mode
  fi
  check "C#: the example, built by mcs with the zip's Belvor.cs, $what" csharp_example $mode
  check "Pascal: the example, built by fpc with the zip's Belvor.pas, $what" pascal_example $mode
  check "Python: the package's example, with the package's binding, $what" python_example $mode
done

# --- the Windows installers ---------------------------------------------------
# Under Wine in the test prefixes (their Belvor.ini kept aside meanwhile), as a fleet tool runs
# them: installed silently with the bridge's settings over a service installed by hand from the
# zip, which it takes over, the service serving a pty as COM45;
# upgraded from an older MSI of the same files with no settings given, keeping them, the service
# running and a changed Belvor.ini; removed, leaving Belvor.ini and nothing of its own. Then
# installed with START_SERVICE=0: registered to start by hand, not running; removed.
msi_round_trip() { # tag
  local tag=$1 prefix=$wine32 arch=win32 wixl_arch=x86 name=belvor-$version-$1 files
  [[ $tag == win64 ]] && prefix=$wine64 arch=win64 wixl_arch=x64
  local dexe=$prefix/drive_c/DEXE program=$prefix/drive_c/Program\ Files/Belvor listen port=45 i
  listen=127.0.0.1:$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  wine_do() { timeout 120 bash "$root/tools/wine-run.sh" "$prefix" --arch $arch "$@" 2>&1 | tr -d '\r'; }
  service() { wine_do sc query BelvorBridge | sed -n 's/.*STATE *: [0-9]* *//p'; }
  image() { wine_do reg query 'HKLM\System\CurrentControlSet\Services\BelvorBridge' /v "$1" | sed -n "s/^ *$1 *REG_[A-Z]* *//p"; }
  running() { for i in $(seq 50); do [[ $(service) == RUNNING ]] && return; sleep 0.1; done; service; return 1; }
  serving() { for i in $(seq 100); do [[ $(scanners $listen) == *'{"port":45,"state":"open"'*'"codes_delivered":'[1-9]* ]] && return; sleep 0.1; done; scanners $listen; return 1; }
  # The older MSI, from the zip's files (the same as the release's but for the version).
  local files=$work/msi-$tag/$name
  unzip -q "$dist/$name.zip" -d "$work/msi-$tag" && python3 "$root/packaging/msi/wxs.py" "$files" 0.0.1 $tag >"$work/old-$tag.wxs" &&
    (cd "$files" && wixl -a $wixl_arch -o "$work/old-$tag.msi" "$work/old-$tag.wxs") || return 1
  cp "$dist/$name.msi" "$work/new-$tag.msi"
  mkdir -p "$dexe" && { [[ ! -f $dexe/Belvor.ini ]] || mv "$dexe/Belvor.ini" "$work/kept-$tag.ini"; }
  printf '[Log]\r\nDir=C:\\DEXE\\Log\r\n; the shop'"'"'s own\r\n' >"$dexe/Belvor.ini" && cp "$dexe/Belvor.ini" "$work/shop.ini"
  "${bounded[@]}" python3 "$root/tools/scanner-sim.py" --dir "$prefix/dosdevices" --port $port --count 0 --interval 0.2 \
    --delay 0 >/dev/null &
  sim=$!
  local ok=true msi=${work//\//\\}
  step() { echo "$1"; shift; "$@" || { echo "  failed: $*"; ok=false; }; }
  step "a service installed by hand from the zip" wine_do "$files/belvor-bridge.exe" --install-service --port=$port
  step "running" running
  step "install 0.0.1" wine_do msiexec /i "Z:$msi\\old-$tag.msi" /qn PORTS=$port LISTEN=$listen \
    ALLOW_ORIGIN=https://till.example,https://b.example
  step "running" running
  step "serving on the MSI's LISTEN (the taken-over service's was another)" serving
  step "upgrade" wine_do msiexec /i "Z:$msi\\new-$tag.msi" /qn
  step "running, with the settings" same "\"C:\\Program Files\\Belvor\\belvor-bridge.exe\" --service --port=$port --allow-origin=https://till.example,https://b.example --listen=$listen RUNNING" "$(image ImagePath) $(service)"
  step "serving" serving
  step "the installed files are the zip's" diff -r "$files" "$program"
  step "remove" wine_do msiexec /x "Z:$msi\\new-$tag.msi" /qn
  step "the service is gone" same "" "$(image ImagePath)"
  step "Belvor.ini is the shop's" cmp "$work/shop.ini" "$dexe/Belvor.ini"
  step "nothing is left in Program Files" bash -c "[[ ! -e '$program' ]]"
  step "install START_SERVICE=0" wine_do msiexec /i "Z:$msi\\new-$tag.msi" /qn PORTS=$port START_SERVICE=0
  step "registered to start by hand (3), stopped" same "0x3 STOPPED" "$(image Start) $(service)"
  step "remove" wine_do msiexec /x "Z:$msi\\new-$tag.msi" /qn
  kill $sim 2>/dev/null && wait $sim 2>/dev/null
  sim=
  rm -f "$dexe/Belvor.ini" && { [[ ! -f $work/kept-$tag.ini ]] || mv "$work/kept-$tag.ini" "$dexe/Belvor.ini"; }
  $ok
}
for tag in win32 win64; do
  check "$tag: the MSI installs under Wine with the bridge's settings, serves, upgrades keeping them and Belvor.ini, removes" \
    msi_round_trip $tag
done

# --- the NuGet package and the wheels ------------------------------------------
# Each as its format has it; then used as a developer would, with no library on any path but
# the package's: the C# example built against the NuGet package taken from a local folder feed
# (nuget install, offline), its files laid out as a .NET build lays out a package's
# (Belvor.Net.dll beside the program, runtimes/ kept), and the Python example from a wheel
# installed offline into a fresh virtual environment.
nupkg=$dist/Belvor.$version.nupkg
check "nupkg: parts, content types, relationships, nuspec, the native libraries' machines" \
  python3 "$here/check_packages.py" nupkg "$nupkg" "$version"
for wheel in "$dist"/belvor-$version-py3-none-{linux_x86_64,win32,win_amd64}.whl; do
  check "$(basename "$wheel"): tag, WHEEL, METADATA, RECORD's hashes, its library's machine" \
    python3 "$here/check_packages.py" wheel "$wheel"
done
app=$work/nuget-app feed=$work/nuget-feed
nuget_install() {
  mkdir -p "$feed" "$app" && cp "$nupkg" "$feed/" &&
    HOME=$work/nuget-home nuget install Belvor -Version "$version" -Source "$feed" -OutputDirectory "$work/nuget" \
      -NonInteractive >/dev/null &&
    cp "$work/nuget/Belvor.$version/lib/netstandard2.0/Belvor.Net.dll" "$app/" &&
    cp -r "$work/nuget/Belvor.$version/runtimes" "$app/"
}
check "NuGet: the package installed from a local folder feed" nuget_install
nuget_example() { # refused|receives
  [[ -f $app/scan.exe ]] || mcs -nologo -warnaserror -r:"$app/Belvor.Net.dll" -out:"$app/scan.exe" \
    "$kit/examples/csharp/Scan.cs" || return 1
  linux_example "$1" 47 env -u BELVOR_LIBRARY -u LD_LIBRARY_PATH mono "$app/scan.exe"
}
venv=$work/venv
check "wheel: installed offline into a fresh virtual environment" \
  bash -c "/usr/bin/python3 -m venv '$venv' && '$venv/bin/pip' install -q --no-index '$dist/belvor-$version-py3-none-linux_x86_64.whl'"
wheel_example() { # refused|receives; from elsewhere than the sources
  cd "$work" && linux_example "$1" 48 env -u BELVOR_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH "$venv/bin/python" \
    "$kit/examples/python/scan.py"
}
for mode in "${modes[@]}"; do
  what="receives a code"
  [[ $mode == refused ]] && what="loads the package's library; COM200 is refused"
  check "NuGet: the C# example, built against the package, $what" nuget_example $mode
  check "wheel: the Python example, in the virtual environment, $what" wheel_example $mode
done

# --- the relocatable archive --------------------------------------------------
tgz=$dist/belvor-$version-linux-x86_64.tar.gz
top=belvor-$version-linux-x86_64
# The package's tree less Debian's own documents, plus the changelog as it is.
expected_tar=$(echo "$expected_usr" | grep -vE 'changelog.Debian.gz|copyright|changelog.gz' |
  sed "s|^./usr/|$top/|; s|^./lib/|$top/lib/|; s|\(belvor-[a-z]*\.1\)\.gz$|\1|"
  echo "$top/share/doc/belvor/CHANGELOG.md" && echo "$top/share/doc/belvor/LICENSE")
check "tar.gz: the installed tree" same "$(echo "$expected_tar" | grep -v BelvorTargets- | LC_ALL=C sort)" \
  "$(tar -tzf "$tgz" | grep -v '/$' | grep -v BelvorTargets- | LC_ALL=C sort)"
tar -C "$work" -xzf "$tgz"
check "tar.gz: LICENSE is the MIT licence of The Belvor developers" \
  bash -c "grep -qx '$copyright' '$work/$top/share/doc/belvor/LICENSE' && grep -q '^MIT License' '$work/$top/share/doc/belvor/LICENSE'"
check "tar.gz: its pkg-config file finds its own tree" \
  bash -c "[[ \$(PKG_CONFIG_PATH='$work/$top/lib/pkgconfig' pkg-config --variable=prefix belvor) -ef '$work/$top' ]]"

check "SHA256SUMS: all ten files, all matching" \
  bash -c "cd '$dist' && [[ \$(wc -l <SHA256SUMS) == 10 ]] && sha256sum --quiet -c SHA256SUMS"

echo "$passed passed, $failed failed"
((failed == 0))
