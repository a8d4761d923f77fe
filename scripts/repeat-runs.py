#!/usr/bin/env python3
"""Runs the stub's whole job against the loopback test servers many times in a
row, in the tests build (build/tests, its Wine prefix), and prints what went
otherwise than expected. Not part of the test command.

  scripts/repeat-runs.py rate [N]   a short successful run N times (default 300):
                                    the failure rate, and each failure's status,
                                    last records and Wine's standard error
  scripts/repeat-runs.py soak [N]   the whole job N times (default 1000), the
                                    three outcomes in turn: unexpected endings,
                                    files left in the temporary folder and on the
                                    desktop beyond what the outcomes leave, the
                                    growth of handles and memory between the first
                                    and last hundred runs, and the time per run

Run it through scripts/repeat-runs.sh, which builds, prepares the prefix and
keeps a persistent Wine server for the run.
"""
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))

from scenario import SHORTCUT, Scenario, clean_desktop_and_copy, temp_files  # noqa: E402
from stubtest import DESKTOP, PREFIX  # noqa: E402

OUTCOMES = ((0, []), (2, ['--post=cancelled']), (77, []))


def wineserver_pid():
    """The persistent Wine server of the prefix."""
    for entry in Path('/proc').iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if not (entry / 'comm').read_text().strip().startswith('wineserver'):
                continue
            environ = (entry / 'environ').read_bytes().split(b'\0')
        except OSError:
            continue
        if f'WINEPREFIX={PREFIX}'.encode() in environ:
            return int(entry.name)
    return None


def process_figures(pid):
    """Open file descriptors and resident memory (KiB) of a Linux process."""
    try:
        fds = len(os.listdir(f'/proc/{pid}/fd'))
        status = Path(f'/proc/{pid}/status').read_text()
        rss = int(next(line.split()[1] for line in status.splitlines() if line.startswith('VmRSS:')))
        return fds, rss
    except (OSError, StopIteration, ValueError):
        return None, None


class PeakSampler:
    """Samples the peak resident memory of the stub's Wine process during a run."""

    def __init__(self):
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def sample(self):
        while not self.stop.wait(0.05):
            for entry in Path('/proc').iterdir():
                if not entry.name.isdigit():
                    continue
                try:
                    if (entry / 'comm').read_text().strip()[:13] != 'tessaloom_set':
                        continue
                    status = (entry / 'status').read_text()
                except OSError:
                    continue
                for line in status.splitlines():
                    if line.startswith('VmHWM:'):
                        self.peak = max(self.peak, int(line.split()[1]))

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def describe_failure(index, result, expected):
    tail = '\n'.join(f'      {m}' for m in result.messages[-4:]) or '      (no record)'
    stderr = '\n'.join(f'      {line}' for line in result.stderr.splitlines()) or '      (empty)'
    return (f'  run {index}: status {result.status} (expected {expected}), box {result.box!r}\n'
            f'    last records:\n{tail}\n    Wine standard error:\n{stderr}')


def run_once(scenario, code, extra):
    return scenario.run(*scenario.installer_args(code, *extra), timeout=90)


def rate(count):
    failures = []
    began = time.monotonic()
    with Scenario() as scenario:
        scenario.serve_document()
        for index in range(1, count + 1):
            try:
                result = run_once(scenario, 0, [])
            except AssertionError as error:  # no start, or no end within the limit
                failures.append(f'run {index}: {error}')
                continue
            if result.status != 0 or result.installer is None:
                failures.append(describe_failure(index, result, 0))
            if index % 50 == 0:
                print(f'{index} runs, {len(failures)} failed', flush=True)
    elapsed = time.monotonic() - began
    print(f'\n{len(failures)} of {count} runs failed ({100.0 * len(failures) / count:.2f} %), '
          f'{elapsed / count:.2f} s per run')
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def soak(count):
    clean_desktop_and_copy()
    temp_before = temp_files()
    desktop_before = set(os.listdir(DESKTOP)) if DESKTOP.exists() else set()
    server = wineserver_pid()
    unexpected, times, peaks, server_figures = [], [], [], []
    with Scenario() as scenario:
        for index in range(count):
            code, extra = OUTCOMES[index % len(OUTCOMES)]
            scenario.serve_document(scenario.document(shortcut=(code == 2)))
            began = time.monotonic()
            try:
                with PeakSampler() as sampler:
                    result = run_once(scenario, code, extra)
            except AssertionError as error:  # no start, or no end within the limit
                unexpected.append(f'run {index + 1}: {error}')
                continue
            times.append(time.monotonic() - began)
            peaks.append(sampler.peak)
            server_figures.append(process_figures(server) if server else (None, None))
            if (result.status != code or result.installer is None
                    or not result.messages or result.messages[-1] != 'Pexmira wrapper exiting'):
                unexpected.append(describe_failure(index + 1, result, code))
            if (index + 1) % 100 == 0:
                print(f'{index + 1} runs, {len(unexpected)} unexpected', flush=True)
        # By design a run leaves nothing in the temporary folders (its own folder
        # goes with the installer), and a cancellation with "shortcut" the stub
        # copy, in its own folder, and the desktop shortcut. (The scenario's end
        # cleans up: look before.)
        new_files = temp_files() - temp_before
    placeholders = len([path for path in new_files if path.name.startswith('qmx')])
    left = sorted(str(path) for path in new_files)
    desktop_left = sorted(set(os.listdir(DESKTOP)) - desktop_before - {SHORTCUT.name}) if DESKTOP.exists() else []

    def mean(values):
        values = [v for v in values if v]
        return statistics.mean(values) if values else float('nan')

    window = min(100, max(1, count // 2))
    print(f'\n{count} runs, {len(unexpected)} ended otherwise than expected')
    for failure in unexpected:
        print(failure)
    print(f'temporary folder: new files and folders: {left or "none"} ({placeholders} of the stub\'s "qmx" names)')
    print(f'desktop: new files beyond the shortcut: {desktop_left or "none"}')
    print(f'stub peak memory (VmHWM, KiB): first {window} runs {mean(peaks[:window]):.0f}, '
          f'last {window} {mean(peaks[-window:]):.0f}')
    fds = [f for f, _ in server_figures]
    rss = [r for _, r in server_figures]
    print(f'wineserver descriptors: first {window} runs {mean(fds[:window]):.1f}, last {window} {mean(fds[-window:]):.1f}; '
          f'resident memory (KiB): {mean(rss[:window]):.0f} -> {mean(rss[-window:]):.0f}')
    print(f'time per run: median {statistics.median(times):.2f} s, min {min(times):.2f} s, max {max(times):.2f} s')
    clean_desktop_and_copy()
    return 1 if unexpected or left or desktop_left else 0


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else 'rate'
    if mode not in ('rate', 'soak'):
        sys.exit(__doc__)
    count = int(sys.argv[2]) if len(sys.argv) > 2 else (300 if mode == 'rate' else 1000)
    sys.exit(rate(count) if mode == 'rate' else soak(count))


if __name__ == '__main__':
    main()
