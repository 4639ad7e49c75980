#!/usr/bin/env bash
# Makes a release: builds the 32-bit and 64-bit Windows DLLs and the Linux
# library from scratch and writes into dist/
#   belvor-<version>-win32.zip, belvor-<version>-win64.zip
#   belvor-<version>-win32.msi, belvor-<version>-win64.msi (the same files, installed)
#   belvor_<version>_amd64.deb, belvor-<version>-linux-x86_64.tar.gz
#   Belvor.<version>.nupkg (C#), belvor-<version>-py3-none-<platform>.whl (Python:
#   linux_x86_64, win32, win_amd64)
#   SHA256SUMS
# then checks every file (tests/release/check_release.sh).
#
#   bash tools/release.sh            the release, from fresh build directories
#                                    (build/dist/<preset>) into dist/
#   bash tools/release.sh --reuse    what the test command runs: the same files
#                                    from the builds it has already made
#                                    (build/windows, build/windows64, build/native)
#                                    into build/release-test/dist; the Linux
#                                    package then has the native preset's test
#                                    system directory instead of /etc/belvor, so
#                                    that its programs can be run on a pty; they
#                                    are also checked as the release checks them
#                                    (refused a port that is not there).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

reuse=false
[[ "${1:-}" == --reuse ]] && reuse=true

bash tools/install-deps.sh

if $reuse; then
  win32_build=build/windows win64_build=build/windows64 linux_build=build/native
  dist=build/release-test/dist
  for b in $win32_build $win64_build $linux_build; do
    [[ -f $b/CMakeCache.txt ]] || { echo "release: $b is not built (run the test command first)" >&2; exit 1; }
  done
else
  # (Only a checkout can tell; an unpacked source archive is taken as it is.)
  if [[ "$(git rev-parse --show-toplevel 2>/dev/null)" -ef . ]] &&
    [[ -n "$(git status --porcelain --untracked-files=no)" ]]; then
    echo "release: note: the work tree has uncommitted changes; they are in the build" >&2
  fi
  win32_build=build/dist/windows win64_build=build/dist/windows64 linux_build=build/dist/release
  dist=dist
  rm -rf build/dist
  for preset in windows windows64 release; do
    echo "=== build $preset"
    cmake --preset $preset -B build/dist/$preset -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/dist/$preset -j2 --target belvor monitor belvor-bridge
  done
fi
# Only the library and the programs are needed from each build.
for b in $win32_build $win64_build $linux_build; do
  cmake --build $b -j2 --target belvor monitor belvor-bridge >/dev/null
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' $linux_build/CMakeCache.txt)
system_dir=$(sed -n 's/^BELVOR_SYSTEM_DIR:[A-Z]*=//p' $linux_build/CMakeCache.txt)
[[ -n "$version" ]] || { echo "release: no version in $linux_build" >&2; exit 1; }
# Every file dated alike (SOURCE_DATE_EPOCH, the last commit or the newest
# source file), so that the same sources make the same archives.
epoch=$(bash tools/source-date.sh "$root")
export SOURCE_DATE_EPOCH=$epoch

work=$(mktemp -d "${TMPDIR:-/tmp}/belvor-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$dist"
mkdir -p "$dist"
dist=$(realpath "$dist")

crlf() { sed 's/\r*$/\r/' "$1"; }

# What a host program's developer needs beside the library, laid out as in the
# sources: the bindings (less their tests), the guide, and the examples (less
# what only works in the source tree: their CMakeLists.txt and test runner).
host_kit() { # host_kit DEST
  local file
  while IFS= read -r file; do
    mkdir -p "$1/$(dirname "$file")" && cp "$file" "$1/$file"
  done < <(
    ls bindings/csharp/*.cs bindings/pascal/*.pas bindings/python/pyproject.toml bindings/python/README.md \
      bindings/python/belvor/*.py docs/hosts.md
    find examples -type f ! -name CMakeLists.txt ! -name run_example.sh ! -path '*/__pycache__/*'
  )
}

# One Windows archive: tag (win32, win64), build directory, dlltool machine, bits.
windows_zip() {
  local tag=$1 build=$2 machine=$3 bits=$4
  local name=belvor-$version-$tag
  local stage=$work/$name
  local triple=x86_64-w64-mingw32
  [[ $tag == win32 ]] && triple=i686-w64-mingw32
  mkdir -p "$stage/include" "$stage/lib"
  # Debug information stays in the build; names, ordinals and resources are kept.
  $triple-strip --strip-debug -o "$stage/Belvor.dll" "$build/bin/Belvor.dll"
  $triple-strip --strip-debug -o "$stage/monitor.exe" "$build/bin/monitor.exe"
  $triple-strip --strip-debug -o "$stage/belvor-bridge.exe" "$build/bin/belvor-bridge.exe"
  cp include/belvor.h "$stage/include/"
  if [[ $tag == win32 ]]; then
    # stdcall: the .def names carry their @n, which -k drops from the DLL's names.
    cp library/Belvor.def "$stage/lib/Belvor.def"
    llvm-dlltool-14 -m "$machine" -k -d library/Belvor.def -D Belvor.dll -l "$stage/lib/Belvor.lib"
  else
    cp "$build/library/Belvor.def" "$stage/lib/Belvor.def"
    llvm-dlltool-14 -m "$machine" -d "$build/library/Belvor.def" -D Belvor.dll -l "$stage/lib/Belvor.lib"
  fi
  # For mingw, from the same .def: the import library ld makes along with a
  # --kill-at DLL has lost the @n names a 32-bit caller links against.
  # (Run where it writes: dlltool names its symbols after the output's path, which holds the
  # temporary folder's random name.)
  local kill=()
  [[ $tag == win32 ]] && kill=(-k)
  (cd "$stage/lib" && $triple-dlltool "${kill[@]}" -d Belvor.def -D Belvor.dll -l libbelvor.dll.a)
  crlf packaging/Belvor.ini >"$stage/Belvor.ini"
  crlf LICENSE >"$stage/LICENSE.txt"
  local platform=x64 msibits=64 wheel=win_amd64
  [[ $tag == win32 ]] && platform=x86 msibits=32 wheel=win32
  sed "s/@VERSION@/$version/g; s/@BITS@/$bits/g; s/@PLATFORM@/$platform/g; s/@MSIBITS@/$msibits/g; s/@WHEEL@/$wheel/g" \
    packaging/README.windows.txt.in |
    crlf /dev/stdin >"$stage/README.txt"
  host_kit "$stage"
  find "$stage" -exec touch -h -d "@$epoch" {} +
  (cd "$work" && find "$name" -print | LC_ALL=C sort | zip -q -X -@ "$dist/$name.zip")
  echo "release: $name.zip"
}

windows_zip win32 $win32_build i386 32-bit
windows_zip win64 $win64_build i386:x86-64 64-bit

# The Windows installers: the zip's folder under Program Files\Belvor, the bridge's service.
windows_msi() { # tag, wixl's arch
  local name=belvor-$version-$1
  python3 packaging/msi/wxs.py "$work/$name" "$version" "$1" >"$work/$name.wxs"
  (cd "$work/$name" && wixl -a "$2" -o "$dist/$name.msi" "$work/$name.wxs")
  python3 packaging/msi/wxs.py --seal "$dist/$name.msi" "$work/$name.wxs"
  echo "release: $name.msi"
}
windows_msi win32 x86
windows_msi win64 x64

# Linux: the installed tree, relocatable, once under /usr for the package and
# once as an archive.
stage=$work/deb
DESTDIR=$stage cmake --install $linux_build --prefix /usr --strip >/dev/null
# install(PROGRAMS) is not stripped by --strip.
strip_programs() { # the installed tree's bin
  for program in belvor-monitor belvor-bridge; do
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$1/$program"
  done
}
strip_programs "$stage/usr/bin"
# Debian keeps its units in /lib until the move to /usr is finished.
mkdir -p "$stage/lib" && mv "$stage/usr/lib/systemd" "$stage/lib/systemd"
doc=$stage/usr/share/doc/belvor
gzip -9n "$stage/usr/share/man/man1/belvor-monitor.1" "$stage/usr/share/man/man1/belvor-bridge.1"
gzip -9nc CHANGELOG.md >"$doc/changelog.gz"
sed "s/@VERSION@/$version/g; s/@DATE@/$(date -R -u -d "@$epoch")/" packaging/debian/changelog.in | gzip -9n >"$doc/changelog.Debian.gz"
cp packaging/debian/copyright "$doc/copyright"
# Debian has the licence in its copyright file.
rm "$doc/LICENSE"
mkdir -p "$stage/DEBIAN"
# The libraries the programs need, as Debian's own packages name them.
mkdir -p "$work/shlibdeps/debian"
printf 'Source: belvor\n\nPackage: belvor\nArchitecture: amd64\n' >"$work/shlibdeps/debian/control"
depends=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O -e"$stage/usr/lib/libbelvor.so.$version" \
  -e"$stage/usr/bin/belvor-monitor" -e"$stage/usr/bin/belvor-bridge" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
# The Python binding in Debian's module directory is for Debian's python3.
depends+=", python3"
sed "s/@VERSION@/$version/; s/@DEPENDS@/$depends/; s|@SYSTEM_DIR@|$system_dir|; s/@SIZE@/$(du -sk --exclude=DEBIAN "$stage" | cut -f1)/" \
  packaging/debian/control.in >"$stage/DEBIAN/control"
echo "libbelvor ${version%%.*} belvor (>= $version)" >"$stage/DEBIAN/shlibs"
echo "activate-noawait ldconfig" >"$stage/DEBIAN/triggers"
(cd "$stage" && find lib usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum >DEBIAN/md5sums)
find "$stage" -exec touch -h -d "@$epoch" {} +
dpkg-deb --root-owner-group -Zxz --build "$stage" "$dist/belvor_${version}_amd64.deb" >/dev/null
echo "release: belvor_${version}_amd64.deb (system directory $system_dir)"

name=belvor-$version-linux-x86_64
cmake --install $linux_build --prefix "$work/$name" --strip >/dev/null
strip_programs "$work/$name/bin"
cp CHANGELOG.md "$work/$name/share/doc/belvor/"
find "$work/$name" -exec touch -h -d "@$epoch" {} +
tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner -czf "$dist/$name.tar.gz" "$name"
echo "release: $name.tar.gz"

# C#: the binding as a library (Belvor.Net.dll) with the three native libraries, as NuGet lays
# them out. Python: a wheel per platform, its library inside. (The ones the .deb has, stripped.)
mcs -nologo -warnaserror -target:library -out:"$work/Belvor.Net.dll" bindings/csharp/Belvor.cs
so=$stage/usr/lib/libbelvor.so.$version
python3 packaging/nuget.py "$dist" "$version" "$work/Belvor.Net.dll" "$work/belvor-$version-win32/Belvor.dll" \
  "$work/belvor-$version-win64/Belvor.dll" "$so" | sed 's/^/release: /'
python3 packaging/wheel.py "$dist" "$version" linux_x86_64 "$so" | sed 's/^/release: /'
python3 packaging/wheel.py "$dist" "$version" win32 "$work/belvor-$version-win32/Belvor.dll" | sed 's/^/release: /'
python3 packaging/wheel.py "$dist" "$version" win_amd64 "$work/belvor-$version-win64/Belvor.dll" | sed 's/^/release: /'

(cd "$dist" && sha256sum -- *.zip *.msi *.deb *.tar.gz *.nupkg *.whl >SHA256SUMS)

# The proof: the test command reuses the Wine prefixes its Windows tests made.
args=("$dist" "$version" "$system_dir" --wine32 "$root/build/windows/wine" --wine64 "$root/build/windows64/wine")
$reuse && args+=(--run-codes)
bash tests/release/check_release.sh "${args[@]}"
echo "release: done, in $dist"
