#!/usr/bin/env bash
# Builds what the benchmarks need and runs them: the stub for loopback servers
# in a build folder of its own (its own Wine prefix and ports, so that a test
# run in build/tests is never disturbed), the Windows helper programs, and the
# native CRC-32 benchmark. Options go to bench/run_benchmarks.py:
#   --quick                 1 MiB and 100 MiB only, fewer repetitions
#   --figures 1,3           only these figures
#   --repetitions N         pairs per size and scheme of figure 1 (default 5)
#   --keep-files            keep the installer files in build/bench/files for the next run
# Not part of scripts/test.sh: nothing here is an assertion on a time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
work="$root/build/bench"
build="$work/windows"
port=${STUB_BENCH_PORT:-18743}
mkdir -p "$work"
# What the build needs, and the same sources built with GCC and linked by GNU
# ld, which figure 4 compares with.
"$root/scripts/build-presets.sh" --log "$work/gcc-build.log" windows-gcc

# One configure per build folder (afresh where another compiler built it);
# the loopback addresses are baked in. The stub is built as README's build
# makes it: clang and lld.
toolchain="$root/cmake/clang-mingw-w64-x86_64.cmake"
if ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$build/CMakeCache.txt" 2>/dev/null; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
  cmake -S "$root" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DSTUB_CONFIG_URL="https://localhost:$port/qmx.json" \
    -DSTUB_ANALYTICS_HOST="localhost:$((port + 1))" -DSTUB_WEBSITE_HOST="localhost:$((port + 2))" \
    -DSTUB_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$build" -j2 --target tessaloom_setup bench_installer minimal_request download_floor signature_check stub_test_helper

# The CRC-32 benchmark: the stub's checksum code and zlib, same compiler and flags.
crc_benchmark="$work/crc32_benchmark"
if [ ! -x "$crc_benchmark" ] || [ -n "$(find "$root/src/files/crc32.cpp" "$root/src/files/crc32.h" \
    "$root/bench/crc32_benchmark.cpp" -newer "$crc_benchmark" 2>/dev/null)" ]; then
  g++ -std=c++17 -O2 -Wall -Wextra -I "$root/src" \
    "$root/bench/crc32_benchmark.cpp" "$root/src/files/crc32.cpp" \
    -lbenchmark -lpthread -lz -o "$crc_benchmark"
fi

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
"$root/scripts/prepare-test-prefix.sh" "$build"

# A persistent Wine server for this prefix only, so that each run's start is
# not a server start, and Wine's desktop, as a user's session has one; ended
# with the run, whatever the outcome.
stop_wine() { WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
"$root/scripts/start-wine-session.sh" "$build" >/dev/null
# Windows' Explorer registers the desktop's shell window, through which the
# stub finds the signed-in user and keeps its log in the user's profile;
# Wine's desktop registers none. The tests' helper stands in for it, as in the
# scenarios, until the Wine server ends.
shell_out="$work/desktop-shell.txt"
setsid "$root/scripts/wine-run.sh" "$build/bin/stub_test_helper.exe" desktop-shell 86400 </dev/null >"$shell_out" 2>&1 &
for _ in $(seq 100); do grep -q "^ready" "$shell_out" 2>/dev/null && break; sleep 0.1; done
grep -q "^ready" "$shell_out" || { echo "bench.sh: the stand-in desktop shell did not start: $(cat "$shell_out")" >&2; exit 1; }

# The suite's own parsers and server first (a second or so).
python3 -m unittest discover -s "$root/bench" -p "test_*.py"

echo "uptime: $(uptime)"
python3 "$root/bench/run_benchmarks.py" --build "$build" --work "$work" --crc-benchmark "$crc_benchmark" "$@"
