#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need. Safe to run again:
# packages already present are left alone, and jsoncons is unpacked once per tree.
# Run as root, or as a user who may use sudo when something is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
deps="$root/build/deps"

# jsoncons comes from Debian's next suite. Only this package file is accepted:
# another version, or the same version with other contents, is refused.
jsoncons_version=1.3.2-1
jsoncons_sha256=17bed7e9a02838a1e64581d893a9089272e5f9e2f941a1ee4f348682a52768ab

# apt-get install and dpkg --add-architecture need root: through sudo when the
# script is run by another user.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "install-deps.sh: '$*' needs root: run the script as root, or install sudo" >&2
    exit 1
  fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

lists_fresh=no
install_missing() {
  local missing=() p
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  if [ "$lists_fresh" = no ]; then
    # A mirror in the middle of a sync fails one index or another now and then;
    # apt keeps the rest, and the install below says clearly if a package is
    # then missing.
    as_root apt-get update -q || echo "install-deps.sh: apt-get update failed for some index; going on with the lists it has" >&2
    lists_fresh=yes
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Most installers are 32-bit programs: Wine runs them only with its 32-bit part,
# which comes from the i386 architecture, and only where the kernel runs 32-bit
# programs at all. Where it does not, that part is left out, and removed if it
# is there: Wine's launcher prefers its 32-bit loader, which cannot start here,
# so every Wine start would fail.
wine32=no
if "$root/scripts/runs-32-bit.sh" --kernel; then
  wine32=yes
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture (for Wine's 32-bit part)"
    as_root dpkg --add-architecture i386
    lists_fresh=no
  fi
else
  echo "This kernel runs no 32-bit programs (IA-32 emulation is off): Wine's 32-bit part is left out"
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "Removing wine32:i386, whose loader cannot start on this kernel"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q wine32:i386
  fi
fi

install_missing \
  cmake make \
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev \
  wine wine64 \
  libeasyloggingpp-dev googletest \
  xvfb xauth imagemagick \
  openssl osslsigncode python3 curl \
  libcurl4-openssl-dev libssl-dev softhsm2 libengine-pkcs11-openssl nsis \
  clang llvm \
  libbenchmark-dev zlib1g-dev \
  debian-archive-keyring

# Wine's 32-bit part on its own: its i386 libraries must be the very versions
# of the amd64 ones, which a mirror in the middle of a sync can't always give.
# Without it the 32-bit installer scenarios say they skipped
# (scripts/runs-32-bit.sh) and everything else runs.
if [ "$wine32" = yes ] && ! install_missing wine32:i386; then
  echo "install-deps.sh: Wine's 32-bit part could not be installed; 32-bit installers can't be tested on this machine" >&2
fi

# The packages that go with clang carry its major version in their names.
clang_major=$(clang -dumpversion | cut -d. -f1)
install_missing "libclang-rt-$clang_major-dev" "lld-$clang_major" "clang-tidy-$clang_major" "clang-format-$clang_major"

if [ ! -f "$deps/jsoncons/usr/include/jsoncons/json.hpp" ] ||
   [ "$(cat "$deps/jsoncons/version" 2>/dev/null)" != "$jsoncons_version" ]; then
  # Fetched with a private apt configuration, so the machine's own sources stay
  # as they are.
  apt_dir="$deps/apt"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc/preferences.d" "$apt_dir/etc/sources.list.d"
  # Reuse the mirror the machine already uses for Debian.
  mirror=$(grep -hoE '^URIs:\s*\S+' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
  if [ -z "$mirror" ]; then
    mirror=$(grep -hoE '^deb\s+\S+' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
  fi
  [ -n "$mirror" ] || { echo "No Debian mirror found in the apt sources" >&2; exit 1; }
  keyring=$(dpkg -L debian-archive-keyring | grep -E '/debian-archive-keyring\.gpg$' | head -n 1)
  echo "deb [signed-by=$keyring] $mirror trixie main" > "$apt_dir/etc/sources.list"
  opts=(
    -o Dir::Etc::SourceList="$apt_dir/etc/sources.list"
    -o Dir::Etc::SourceParts="$apt_dir/etc/sources.list.d"
    -o Dir::Etc::PreferencesParts="$apt_dir/etc/preferences.d"
    -o Dir::State::Lists="$apt_dir/lists"
    -o Dir::State::Status=/var/lib/dpkg/status
    -o Dir::Cache="$apt_dir/cache"
    -o APT::Architecture=amd64
  )
  apt-get "${opts[@]}" update -q
  rm -f "$apt_dir"/libjsoncons-dev_*.deb
  if ! (cd "$apt_dir" && apt-get "${opts[@]}" download "libjsoncons-dev=$jsoncons_version"); then
    echo "libjsoncons-dev $jsoncons_version is not available from $mirror (trixie); the build expects exactly this version" >&2
    exit 1
  fi
  package="$apt_dir/libjsoncons-dev_${jsoncons_version}_all.deb"
  actual=$(sha256sum "$package" | cut -d' ' -f1)
  if [ "$actual" != "$jsoncons_sha256" ]; then
    echo "Refusing $package: SHA-256 $actual, expected $jsoncons_sha256" >&2
    rm -f "$package"
    exit 1
  fi
  rm -rf "$deps/jsoncons"
  dpkg -x "$package" "$deps/jsoncons"
  echo "$jsoncons_version" > "$deps/jsoncons/version"
fi
echo "Dependencies ready."
