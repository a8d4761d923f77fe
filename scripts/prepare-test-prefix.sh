#!/usr/bin/env bash
# Prepares the Wine prefix of a test build folder once: the prefix itself, the
# test certificates, the test CA and the test code-signing CA trusted by the
# machine, and a stand-in browser that records the pages it is asked to open.
# A lane of scenarios other than the first has its prefix and its pages in a
# folder of its own (LANE_DIR, made here); the certificates and programs are
# the build folder's.
#   scripts/prepare-test-prefix.sh BUILD_DIR [LANE_DIR]
set -euo pipefail
build=$(cd "${1:?usage: prepare-test-prefix.sh BUILD_DIR [LANE_DIR]}" && pwd)
lane=${2:-$build}
mkdir -p "$lane"
lane=$(cd "$lane" && pwd)
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="$lane/wineprefix"
export WINEDEBUG=-all
stamp="$WINEPREFIX/.stub-tests-ready"
codesign_stamp="$WINEPREFIX/.stub-codesign-ready"
# A prefix without the 32-bit part this machine can run was made before that
# part was installed; wine-run.sh makes it again, and then it needs everything
# below again.
wow64_ready() { "$root/scripts/prefix-has-wow64.sh" "$WINEPREFIX"; }
# A new prefix links the user's desktop to the Linux home folder, which every
# prefix on the machine shares: the shortcut one test run makes, another
# deletes. The tests' prefix gets a desktop of its own.
own_desktop() {
  local desktop="$WINEPREFIX/drive_c/users/$(id -un)/Desktop"
  if [ -L "$desktop" ]; then
    rm "$desktop"
    mkdir "$desktop"
  fi
}
# The code-signing CA's stamp names the CA it trusted: a build folder whose
# certificates were made again has the new CA trusted too.
codesign_ca_digest() { sha256sum "$build/certs/codesign_ca.der" 2>/dev/null | cut -d' ' -f1; }
codesign_trusted() { [ -f "$codesign_stamp" ] && [ "$(cat "$codesign_stamp")" = "$(codesign_ca_digest)" ]; }
# A prefix that trusts an earlier CA of the same name is made afresh: beside
# the new one, the old CA could still be chosen to build a signer's chain.
if [ -f "$codesign_stamp" ] && ! codesign_trusted && [ -f "$build/certs/codesign_ca.der" ]; then
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
fi
[ -d "$WINEPREFIX" ] && own_desktop
[ -f "$stamp" ] && codesign_trusted && wow64_ready && exit 0

"$root/tests/fixtures/make_certs.sh" "$build/certs"
helper="$build/bin/stub_test_helper.exe"
# A prefix made before the code-signing CA existed gets it added (and one that
# wine-run.sh makes again loses both stamps with it).
if ! codesign_trusted || ! wow64_ready; then
  "$root/scripts/wine-run.sh" "$helper" trust-ca "$(setarch -R winepath -w "$build/certs/codesign_ca.der" 2>/dev/null)"
  wineserver -w
  codesign_ca_digest >"$codesign_stamp"
fi
[ -f "$stamp" ] && exit 0
"$root/scripts/wine-run.sh" "$helper" trust-ca "$(setarch -R winepath -w "$build/certs/ca.der" 2>/dev/null)"

# The browser hand-off: Wine's launcher runs the programs listed here.
browser="$lane/record-browser.sh"
cat > "$browser" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$1" >> "$lane/browser-pages.txt"
SCRIPT
chmod +x "$browser"
"$root/scripts/wine-run.sh" reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$browser" /f >/dev/null 2>&1
wineserver -w
own_desktop
touch "$stamp"
