#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need. Safe to run again:
# packages already present are left alone, and jsoncons is unpacked once per tree.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
deps="$root/build/deps"

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  libeasyloggingpp-dev googletest
  xvfb xauth imagemagick
  openssl python3 curl osslsigncode
  clang libclang-rt-14-dev
  libbenchmark-dev zlib1g-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# jsoncons comes from Debian's next suite. It is fetched with a private apt
# configuration, so the machine's own sources stay as they are.
if [ ! -f "$deps/jsoncons/usr/include/jsoncons/json.hpp" ]; then
  apt_dir="$deps/apt"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc/preferences.d" "$apt_dir/etc/sources.list.d"
  # Reuse the mirror the machine already uses for Debian.
  mirror=$(grep -hoE '^URIs:\s*\S+' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
  if [ -z "$mirror" ]; then
    mirror=$(grep -hoE '^deb\s+\S+' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
  fi
  [ -n "$mirror" ] || { echo "No Debian mirror found in the apt sources" >&2; exit 1; }
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
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
  (cd "$apt_dir" && apt-get "${opts[@]}" download libjsoncons-dev)
  rm -rf "$deps/jsoncons"
  dpkg -x "$apt_dir"/libjsoncons-dev_*.deb "$deps/jsoncons"
fi
echo "Dependencies ready."
