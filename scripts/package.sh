#!/usr/bin/env bash
# Makes the packages people install:
#   quarn_<version>_amd64.deb       /usr/bin/quarn, the Windows self-extractor
#                                   in /usr/share/quarn, the manual page, bash
#                                   completion, README and licence notes;
#                                   lintian must report no errors on it
#   quarn-<version>-windows-x64.zip quarn.exe, quarn-sfx.exe, CZYTAJ.txt and
#                                   LICENCJE.txt
#
# scripts/package.sh [--out DIR] [--build-dirs NATIVE WINDOWS]
#
# By default both programs are built afresh, as Release with Debian's
# hardening flags, in build/package/{native,windows}, and the packages land
# in build/package. --build-dirs packages the programs of existing build trees
# instead (the tests do that with their own trees).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/package"
native="" windows=""
while (($#)); do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --build-dirs) native="$2" windows="$3"; shift 3 ;;
    *) echo "usage: scripts/package.sh [--out DIR] [--build-dirs NATIVE WINDOWS]" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if [[ -z "$native" ]]; then
  "$root/scripts/install-deps.sh"
  "$root/scripts/fetch-sources.sh" argon2 >/dev/null
  "$root/scripts/fetch-windows-deps.sh"
  native="$root/build/package/native" windows="$root/build/package/windows"
  rm -rf "$native" "$windows"
  # Debian's hardening flags (fortified functions, stack protector, full RELRO).
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  cmake --build "$native" --target quarn
  cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$windows" --target quarn quarn-sfx
fi

quarn="$native/cli/quarn"
quarn_exe="$windows/cli/quarn.exe"
sfx_exe="$windows/sfx/win32/quarn-sfx.exe"
for f in "$quarn" "$quarn_exe" "$sfx_exe"; do
  [[ -f "$f" ]] || { echo "package: $f is missing; build it first" >&2; exit 1; }
done
version="$(sed -n 's/^#define QUARN_VERSION "\(.*\)"$/\1/p' "$native/generated/quarn_version.h")"
[[ -n "$version" ]] || { echo "package: no version in $native/generated/quarn_version.h" >&2; exit 1; }

# Every file's time is the last change to the packaging notes, so that the
# same programs give the same packages.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(date -d "$(dpkg-parsechangelog -l "$root/packaging/debian/changelog" -S Date)" +%s)}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The Debian package.
stage="$work/deb"
doc="$stage/usr/share/doc/quarn"
install -d "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/share/quarn" "$stage/usr/share/man/man1" \
  "$stage/usr/share/bash-completion/completions" "$doc"
install -m 0755 "$quarn" "$stage/usr/bin/quarn"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/quarn"
install -m 0644 "$sfx_exe" "$stage/usr/share/quarn/quarn-sfx.exe"
sed "s/@VERSION@/$version/" "$root/packaging/quarn.1" | gzip -9n >"$stage/usr/share/man/man1/quarn.1.gz"
install -m 0644 "$root/packaging/quarn.bash-completion" "$stage/usr/share/bash-completion/completions/quarn"
install -m 0644 "$root/packaging/debian/copyright" "$doc/copyright"
gzip -9n <"$root/packaging/debian/changelog" >"$doc/changelog.gz"
gzip -9n <"$root/README.md" >"$doc/README.md.gz"
chmod 0644 "$stage"/usr/share/man/man1/quarn.1.gz "$doc"/*.gz

# Shared-library dependencies as dpkg-shlibdeps finds them.
mkdir -p "$work/shlibs/debian"
: >"$work/shlibs/debian/control"
depends="$(cd "$work/shlibs" && dpkg-shlibdeps -O "$stage/usr/bin/quarn" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')"
[[ -n "$depends" ]] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
installed_size="$(du -k -s --apparent-size --exclude=DEBIAN "$stage" | cut -f1)"
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$installed_size/" -e "s/@DEPENDS@/$depends/" \
  "$root/packaging/debian/control.in" >"$stage/DEBIAN/control"
(cd "$stage" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
deb="$out/quarn_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null

# Windows: the two programs, stripped, and the notes with Windows line ends.
zipdir="$work/zip/quarn-$version"
mkdir -p "$zipdir"
x86_64-w64-mingw32-strip -o "$zipdir/quarn.exe" "$quarn_exe"
x86_64-w64-mingw32-strip -o "$zipdir/quarn-sfx.exe" "$sfx_exe"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/packaging/windows/CZYTAJ.txt" >"$zipdir/CZYTAJ.txt"
sed -e 's/$/\r/' "$root/packaging/windows/LICENCJE.txt" >"$zipdir/LICENCJE.txt"
find "$zipdir" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
zip_file="$out/quarn-$version-windows-x64.zip"
rm -f "$zip_file"
(cd "$work/zip" && TZ=UTC zip -X -q -r "$zip_file" "quarn-$version")

# lintian: errors stop the packaging; warnings are shown.
if command -v lintian >/dev/null; then
  lintian_log="$work/lintian.log"
  lintian --allow-root --tag-display-limit 0 "$deb" >"$lintian_log" 2>&1 || true
  if [[ -s "$lintian_log" ]]; then sed 's/^/lintian: /' "$lintian_log" >&2; fi
  if grep -q '^E: ' "$lintian_log"; then
    echo "package: lintian reports errors on $deb" >&2
    exit 1
  fi
else
  echo "package: lintian is not installed; the .deb was not checked" >&2
fi

echo "$deb"
echo "$zip_file"
