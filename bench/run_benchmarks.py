#!/usr/bin/env python3
"""The stub's benchmark suite: what a run costs in time, memory and size,
measured against the raw transfer, side by side in one run.

Figures (see README.md, "Benchmarks"):
  1  end-to-end: stub start to installer start, against the platform's floor
     (download_floor.exe: URLDownloadToFileW and the stub's CRC-32) and
     against curl to a file + zlib.crc32
  2  peak memory (VmHWM) of the stub's Wine process at each installer size
  3  CRC-32 throughput against zlib (native Google Benchmark program)
  4  size of the stripped stub, unsigned and signed, by section, by part
     and by largest contributor, beside the GCC build linked by GNU ld
  5  start-up: stub start to its configuration request reaching the server,
     against a minimal WinHTTP program in the same prefix
  6  the installer's signature check (the stub's WinVerifyTrust check) on a
     signed file of each size, against the CRC-32 pass over the same file

Prints a table per figure and one line per figure that starts with "BENCH "
followed by JSON. Nothing here asserts on a time: a run fails only when a
program fails or a checksum is wrong.

Usually started by scripts/bench.sh, which builds the programs, prepares the
Wine prefix and keeps a persistent wineserver for the run.
"""

import argparse
import contextlib
import datetime
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
import urllib.parse
import zlib
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
MIB = 1024 * 1024
SIZES = {"1MiB": MIB, "100MiB": 100 * MIB, "1GiB": 1024 * MIB}
QUICK_SIZES = ("1MiB", "100MiB")
SCHEMES = ("http", "https")
READ_BLOCK = MIB
# The programs of figure 1: the stub, the platform's floor for its design
# (download_floor.exe), and curl with Python's zlib.crc32.
TRANSFER_KINDS = ("stub", "floor", "reference")
# The sizes at which the stub's time is held against the floor's (figure 1).
FLOOR_GOAL = {"ratio": 1.05, "sizes": ("100MiB", "1GiB")}
SAMPLE_INTERVAL = 0.01
FILLER_SEED = 7
# The common name of the test code-signing certificate (tests/fixtures/make_certs.sh).
SIGNER_NAME = "Tessaloom Test Signer"

LOG_RECORD = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}) (INFO |WARN |ERROR) (.*)$")
# The log records that mark the phases of a run, in order (prefix match).
PHASE_MARKS = [
    ("started", "Pexmira wrapper started"),
    ("config", "Config file has been downloaded successfully"),
    ("window", "Downloading wrapper"),
    ("transfer", "End download"),
    ("returned", "Wrapper successfully downloaded to"),
    ("checksum", "Checksum is OK"),
    ("launch", "Launching installer"),
]


class BenchError(Exception):
    pass


# Statistics and formatting (kept plain, tested in test_bench.py)

def summary(values):
    """Median and range of a list of numbers (None for an empty list)."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "n": len(values)}


def interleaved_order(repetition, kinds=("stub", "reference")):
    """The order of the kinds in one repetition, so that a drift of the
    machine weighs on every side alike: every odd repetition reverses the one
    before it (each pair's order flips within two repetitions), and the
    rotation moves on every two repetitions (with three kinds, six
    repetitions give every order once)."""
    kinds = list(kinds)
    shift = (2 * (repetition // 2)) % len(kinds)
    order = kinds[shift:] + kinds[:shift]
    return tuple(reversed(order) if repetition % 2 else order)


def windows_path(path):
    """Wine maps the Linux root to drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def read_vm_status(pid):
    """VmHWM and RssAnon of a process in KiB (None when it is gone)."""
    try:
        with open("/proc/%d/status" % pid) as stream:
            text = stream.read()
    except OSError:
        return None
    values = {}
    for line in text.splitlines():
        name, _, rest = line.partition(":")
        if name in ("VmHWM", "RssAnon"):
            values[name] = int(rest.split()[0])
    return values


def parse_log_times(text):
    """The local time (Unix seconds) of the first record of each phase mark."""
    found = {}
    for line in text.splitlines():
        match = LOG_RECORD.match(line.rstrip("\r"))
        if not match:
            continue
        moment = datetime.datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S,%f").timestamp()
        for name, prefix in PHASE_MARKS:
            if name not in found and match.group(3).startswith(prefix):
                found[name] = moment
    return found


def phase_durations(start, marks, installer_start):
    """Seconds spent between consecutive marks: process start to the first
    record, the configuration request, the window start, the transfer, the
    return of the download call, the checksum, and the launch to the
    installer's first instant. Missing marks give missing phases."""
    points = [("start", start)] + [(name, marks.get(name)) for name, _ in PHASE_MARKS]
    points.append(("installer", installer_start))
    names = {"started": "wine_start", "config": "config_request", "window": "window_start",
             "transfer": "transfer", "returned": "download_return", "checksum": "checksum",
             "launch": "version_and_id", "installer": "launch"}
    phases = {}
    for (_, before), (name, after) in zip(points, points[1:]):
        if before is not None and after is not None:
            phases[names[name]] = after - before
    return phases


def resume_row(answers, size):
    """Figure 7's facts of one run from the server's lines of its answers."""
    sent = sum(answer["sent"] for answer in answers)
    return {"answers": len(answers), "resumed": sum(1 for answer in answers if answer["start"] > 0),
            "sent": sent, "sent_per_size": sent / size}


def format_seconds(stat):
    if stat is None:
        return "-"
    return "%.3f [%.3f-%.3f]" % (stat["median"], stat["min"], stat["max"])


def compare_runs(stub, other):
    """The stub's times against another program's, both listed per
    repetition: the ratio of the medians, the range of the ratios within each
    repetition (the runs of one repetition ran next to each other), and the
    difference of the medians."""
    ratio = statistics.median(stub) / statistics.median(other)
    pairs = summary([a / b for a, b in zip(stub, other) if a is not None and b])
    return {"ratio": ratio, "pairs": pairs, "difference": statistics.median(stub) - statistics.median(other)}


def format_ratio(comparison):
    pairs = comparison["pairs"]
    return "%.3f [%.3f-%.3f]" % (comparison["ratio"], pairs["min"], pairs["max"])


def floor_goal_verdict(runs):
    """One line on the stub's ratio to the floor at the sizes of the goal
    (None when none of them was measured)."""
    parts, met = [], True
    for (label, scheme), kinds in runs.items():
        if label not in FLOOR_GOAL["sizes"]:
            continue
        ratio = compare_runs([r["elapsed"] for r in kinds["stub"]], [r["elapsed"] for r in kinds["floor"]])["ratio"]
        met = met and ratio <= FLOOR_GOAL["ratio"]
        parts.append("%s %s %.3f" % (label, scheme, ratio))
    if not parts:
        return None
    return "stub/floor (goal: at most %.2f at %s): %s; %s" % (
        FLOOR_GOAL["ratio"], " and ".join(FLOOR_GOAL["sizes"]), ", ".join(parts),
        "goal met" if met else "goal NOT met")


def format_table(headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    lines = ["  ".join(str(cell).ljust(width) for cell, width in zip(headers, widths)).rstrip()]
    lines.append("  ".join("-" * width for width in widths))
    for row in rows:
        lines.append("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
    return "\n".join(lines)


def bench_line(figure, **values):
    return "BENCH " + json.dumps(dict(figure=figure, **values), sort_keys=True)


# The map file of GNU ld: which input file put how many bytes in which section.

MAP_OUTPUT = re.compile(r"^(\.[^\s]+)(\s|$)")
MAP_INPUT = re.compile(r"^ (\.[^\s]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
MAP_INPUT_NAME = re.compile(r"^ (\.[^\s]+)$")
MAP_CONTINUATION = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
LOADED_SECTIONS = (".text", ".data", ".rdata", ".pdata", ".xdata", ".bss", ".tls", ".CRT", ".idata", ".rsrc",
                   ".reloc")
ARCHIVE_MEMBER = re.compile(r"^(?:.*/)?([^/()]+\.a)\((.+)\)$")


def contributor_name(path):
    """'libx.a(member.o)' for an archive member, the file name otherwise."""
    path = path.strip()
    match = ARCHIVE_MEMBER.match(path)
    if match:
        return "%s(%s)" % match.groups()
    return os.path.basename(path)


# The object files of a link-time optimised link: the project's own code, the
# log library and the configuration reader, optimised as one.
LTO_OBJECT = re.compile(r"(\.ltrans\d*\.ltrans\.o|\.lto\.\d+\.obj)$")
LTO_ORIGIN = "program (link-time optimised)"


def origin_of(name):
    """The archive (or object file) that a contributor comes from."""
    if LTO_OBJECT.search(name):
        return LTO_ORIGIN
    return name.partition("(")[0]


# The map file of lld: address, size, alignment, then an output section at the
# first indentation or "file:(input section)" at the second.
LLD_OUTPUT = re.compile(r"^[0-9a-f]+ +[0-9a-f]+ +\d+ (\.\S+)$")
LLD_INPUT = re.compile(r"^[0-9a-f]+ +([0-9a-f]+) +\d+ {9}(\S.*):\(([^()]+)\)$")


def parse_lld_map(text):
    """Bytes per input file and output section, from an lld map file."""
    per_file = {}
    output = None
    for line in text.splitlines():
        head = LLD_OUTPUT.match(line)
        if head:
            output = head.group(1) if head.group(1) in LOADED_SECTIONS else None
            continue
        match = LLD_INPUT.match(line)
        if match and output is not None:
            # lld merges the unwinding data (.xdata) into .rdata.
            kind = match.group(3).partition("$")[0]
            section = kind if kind in UNWIND_SECTIONS else output
            add_contribution(per_file, section, int(match.group(1), 16), match.group(2))
    return per_file


def parse_any_map(text):
    """Bytes per input file and section, from a GNU ld or an lld map file."""
    return parse_link_map(text) if "Linker script and memory map" in text else parse_lld_map(text)


# The parts of the executable that the size is told by.
UNWIND_SECTIONS = (".pdata", ".xdata")
PARTS = ("program", "C++ library", "C runtime and threads", "imports", "resources", "unwinding tables")
CXX_LIBRARIES = ("libstdc++.a", "libsupc++.a", "libgcc.a", "libgcc_eh.a")
C_RUNTIME = ("libmingwex.a", "libmingw32.a", "libmsvcrt.a", "libpthread.a", "libwinpthread.a", "crt2u.o", "crtbegin.o",
             "crtend.o")


# Members of the C runtime's archives as lld names them (without the archive).
RUNTIME_MEMBER = re.compile(r"^(lib64_lib(mingwex|mingw32)_a-|libmsvcrt|libwinpthread_la-)")


def part_of(name):
    """Which part of the executable an input file (or archive member) is."""
    origin = origin_of(name)
    if origin.endswith(".res") or origin == "objects.a" and name.endswith(".res)"):
        return "resources"
    if origin in CXX_LIBRARIES:
        return "C++ library"
    if origin in C_RUNTIME or RUNTIME_MEMBER.match(origin):
        return "C runtime and threads"
    if origin == LTO_ORIGIN or origin.startswith("libstub_") or origin.endswith(".obj"):
        return "program"
    return "imports"


def size_by_part(per_file):
    """Bytes per part; the unwinding tables of every part counted apart."""
    parts = dict.fromkeys(PARTS, 0)
    for name, sections in per_file.items():
        for section, size in sections.items():
            parts["unwinding tables" if section in UNWIND_SECTIONS else part_of(name)] += size
    return parts


def parse_link_map(text):
    """Bytes per input file and output section, from the memory map part of
    a GNU ld map file; sections that strip removes (debug) are left out."""
    per_file = {}
    output = None
    pending = False
    lines = text.splitlines()
    try:
        first = lines.index("Linker script and memory map") + 1
    except ValueError:
        return per_file
    for line in lines[first:]:
        head = MAP_OUTPUT.match(line)
        if head:
            output = head.group(1) if head.group(1) in LOADED_SECTIONS else None
            pending = False
            continue
        if output is None:
            continue
        if pending:
            pending = False
            match = MAP_CONTINUATION.match(line)
            if match:
                add_contribution(per_file, output, int(match.group(2), 16), match.group(3))
            continue
        match = MAP_INPUT.match(line)
        if match:
            add_contribution(per_file, output, int(match.group(3), 16), match.group(4))
        elif MAP_INPUT_NAME.match(line):
            # The input section's name was too long: its numbers follow.
            pending = True
    return per_file


def add_contribution(per_file, section, size, source):
    if size == 0:
        return
    entry = per_file.setdefault(contributor_name(source), {})
    entry[section] = entry.get(section, 0) + size


# The machine the figures were measured on

def cpu_ticks():
    """Busy and total ticks of all cores, and busy ticks per process name."""
    with open("/proc/stat") as stream:
        fields = [int(v) for v in stream.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    per_name = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stream:
                text = stream.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        values = text[text.rindex(")") + 2:].split()
        per_name[name] = per_name.get(name, 0) + int(values[11]) + int(values[12])
    return sum(fields) - idle, sum(fields), per_name


def machine_state(seconds=2.0):
    """Cores, load averages, and what kept the cores busy over a short
    window (share of all cores, busiest process names)."""
    busy0, total0, names0 = cpu_ticks()
    time.sleep(seconds)
    busy1, total1, names1 = cpu_ticks()
    share = (busy1 - busy0) / max(1, total1 - total0)
    ticks = os.sysconf("SC_CLK_TCK") * seconds
    busiest = sorted(((names1[n] - names0.get(n, 0), n) for n in names1), reverse=True)
    busy = ["%s %.0f%%" % (name, 100.0 * delta / ticks) for delta, name in busiest[:5] if delta / ticks >= 0.05]
    return {"cores": os.cpu_count(), "load": [round(v, 2) for v in os.getloadavg()],
            "cpu_busy_percent": round(100.0 * share, 1), "busy": busy}


def describe_machine(state):
    return "%d cores, load %s, all cores %.0f%% busy over 2 s (%s)" % (
        state["cores"], " ".join(map(str, state["load"])), state["cpu_busy_percent"],
        ", ".join(state["busy"]) or "no process above 5% of a core")


def resident_by_mapping(pid):
    """Resident KiB of a process per mapped file name (anonymous memory,
    heaps and stacks together under "anonymous")."""
    totals = {}
    name = None
    try:
        with open("/proc/%d/smaps" % pid) as stream:
            for line in stream:
                parts = line.split()
                if not parts:
                    continue
                if "-" in parts[0] and len(parts) >= 5 and not parts[0].endswith(":"):
                    path = " ".join(parts[5:])
                    name = os.path.basename(path) if path.startswith("/") else "anonymous"
                elif parts[0] == "Rss:" and name is not None:
                    totals[name] = totals.get(name, 0) + int(parts[1])
    except OSError:
        return {}
    return totals


class Suite:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build).resolve()
        self.work = Path(args.work).resolve()
        self.files = self.work / "files"
        self.run_dir = self.work / "run"
        self.prefix = Path(os.environ.get("WINEPREFIX", self.build / "wineprefix"))
        user_dir = self.prefix / "drive_c" / "users" / os.environ.get("USER", "root")
        if not user_dir.is_dir():
            user_dir = next((self.prefix / "drive_c" / "users").glob("*/AppData")).parent
        self.user_dir = user_dir
        # The user's log; where the stub finds no desktop shell to act for, the
        # administrators' one beside its copy.
        self.log_files = [user_dir / "AppData" / "Roaming" / "Pexmira" / "QMXT.log",
                          self.prefix / "drive_c" / "Program Files" / "Tessaloom Setup" / "Pexmira" / "QMXT.log"]
        self.temp_dir = user_dir / "Temp"
        # Each run of the stub makes its own folder in the system's temporary folder.
        self.system_temp_dir = self.prefix / "drive_c" / "windows" / "temp"
        self.cache_dir = user_dir / "AppData" / "Local" / "Microsoft" / "Windows" / "INetCache"
        self.stub = self.build / "bin" / "tessaloom_setup.exe"
        self.installer = self.build / "bin" / "bench_installer.exe"
        self.minimal = self.build / "bin" / "minimal_request.exe"
        self.floor = self.build / "bin" / "download_floor.exe"
        self.signature_check = self.build / "bin" / "signature_check.exe"
        self.certs = self.build / "certs"
        self.wine_run = SOURCE / "scripts" / "wine-run.sh"
        self.config_url = urllib.parse.urlsplit(read_cache_value(self.build, "STUB_CONFIG_URL"))
        self.server = None
        self.server_log_offset = 0
        self.made_files = []

    # Environment

    def wine_env(self):
        env = dict(os.environ)
        env["WINEPREFIX"] = str(self.prefix)
        env["WINEDEBUG"] = "-all"
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
            env.pop(name, None)
        return env

    def start_server(self):
        for name in ("config.json", "requests.log", "ready.json"):
            with contextlib.suppress(FileNotFoundError):
                (self.run_dir / name).unlink()
        (self.run_dir / "config.json").write_text("{}")
        https_port = self.config_url.port or 443
        command = [sys.executable, str(SOURCE / "bench" / "bench_server.py"),
                   "--root", str(self.files), "--config", str(self.run_dir / "config.json"),
                   "--log", str(self.run_dir / "requests.log"), "--ready", str(self.run_dir / "ready.json"),
                   "--http", "0", "--https", str(https_port),
                   "--cert", str(self.certs / "server.pem"), "--key", str(self.certs / "server.key"),
                   "--lifetime", str(self.args.server_lifetime)]
        self.server = subprocess.Popen(command, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not (self.run_dir / "ready.json").exists():
            if self.server.poll() is not None:
                raise BenchError("the benchmark server did not start (is port %d taken?)" % https_port)
            if time.monotonic() > deadline:
                raise BenchError("the benchmark server did not get ready")
            time.sleep(0.05)
        self.ports = json.loads((self.run_dir / "ready.json").read_text())

    def stop_server(self):
        if self.server is None:
            return
        self.server.terminate()
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.server = None

    def new_requests(self):
        path = self.run_dir / "requests.log"
        with open(path) as stream:
            stream.seek(self.server_log_offset)
            text = stream.read()
            self.server_log_offset = stream.tell()
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def url(self, scheme, path):
        # HTTPS goes to the name of the configuration address (the test
        # certificate's name); plain HTTP to the loopback address.
        if scheme == "https":
            return "https://%s:%d%s" % (self.config_url.hostname, self.ports["https"], path)
        return "http://127.0.0.1:%d%s" % (self.ports["http"], path)

    # Installer files

    def installer_file(self, label):
        """The bench installer followed by filler bytes up to the size of the
        label; made once and reused while the installer program is unchanged.
        Returns (path, CRC-32)."""
        size = SIZES[label]
        path = self.files / ("installer_%s.exe" % label)
        sidecar = path.with_suffix(".json")
        program = self.installer.read_bytes()
        stamp = {"size": size, "program_crc": zlib.crc32(program), "program_size": len(program)}
        if path.exists() and sidecar.exists():
            saved = json.loads(sidecar.read_text())
            if all(saved.get(k) == v for k, v in stamp.items()) and path.stat().st_size == size \
                    and saved.get("mtime") == path.stat().st_mtime_ns:
                self.warm(path)
                return path, saved["crc"]
        if size < len(program):
            raise BenchError("the installer program (%d bytes) is larger than %s" % (len(program), label))
        filler = random.Random(FILLER_SEED).randbytes(MIB)
        crc = zlib.crc32(program)
        with open(path, "wb") as stream:
            stream.write(program)
            left = size - len(program)
            while left > 0:
                piece = filler[:min(left, len(filler))]
                stream.write(piece)
                crc = zlib.crc32(piece, crc)
                left -= len(piece)
        sidecar.write_text(json.dumps(dict(stamp, crc=crc, mtime=path.stat().st_mtime_ns)))
        self.made_files += [path, sidecar]
        return path, crc

    @staticmethod
    def warm(path):
        """Reads a file once, so that every timed run finds it in the page cache."""
        with open(path, "rb") as stream:
            while stream.read(8 * MIB):
                pass

    def write_config(self, wrapper, crc):
        document = {"shortcut": False, "wrapper": wrapper, "checksum": crc, "version": "1.0"}
        partial = self.run_dir / "config.json.part"
        partial.write_text(json.dumps(document))
        os.replace(partial, self.run_dir / "config.json")

    # One run of each kind

    def read_log(self):
        """The stub's log as the last run left it ("" when it wrote none)."""
        for log_file in self.log_files:
            if log_file.exists():
                return log_file.read_text(errors="replace")
        return ""

    def settle(self):
        """Between timed runs: written data on disk, the stub's files gone."""
        os.sync()
        for log_file in self.log_files:
            with contextlib.suppress(FileNotFoundError):
                log_file.unlink()
        for leftover in [*self.temp_dir.glob("qmx*"), *self.system_temp_dir.glob("qmx-*")]:
            with contextlib.suppress(OSError):
                shutil.rmtree(leftover) if leftover.is_dir() else leftover.unlink()
        clear_tree(self.cache_dir)

    def run_windows_program(self, program, args, timeout, on_sample=None):
        """Starts a Windows program and samples its memory until it ends
        (on_sample(pid) is called at each sample). Returns (start time, exit
        status, peak VmHWM KiB, peak RssAnon KiB)."""
        start = time.time()
        process = subprocess.Popen([str(self.wine_run), str(program), *args], env=self.wine_env(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        hwm = anon = 0
        deadline = time.monotonic() + timeout
        try:
            while process.poll() is None:
                if time.monotonic() > deadline:
                    raise BenchError("%s did not end within %d s" % (program.name, timeout))
                status = read_vm_status(process.pid)
                if status:
                    hwm = max(hwm, status.get("VmHWM", 0))
                    anon = max(anon, status.get("RssAnon", 0))
                if on_sample is not None:
                    on_sample(process.pid)
                time.sleep(SAMPLE_INTERVAL)
        finally:
            if process.poll() is None:
                # The process group is this run's own (start_new_session).
                os.killpg(process.pid, 9)
                process.wait()
        return start, process.returncode, hwm, anon

    def run_stub(self, wrapper, crc, size, extra_args=(), on_sample=None):
        self.settle()
        self.write_config(wrapper, crc)
        record = self.run_dir / "installer-start.txt"
        with contextlib.suppress(FileNotFoundError):
            record.unlink()
        self.new_requests()
        timeout = 60 + size // (5 * MIB)
        start, status, hwm, anon = self.run_windows_program(
            self.stub, ["--record=" + windows_path(record), *extra_args], timeout, on_sample)
        if status != 0 or not record.exists():
            log = self.read_log() or "(no log)"
            raise BenchError("the stub ended with status %s without starting the installer:\n%s" % (status, log))
        installer_start = float(record.read_text().strip())
        marks = parse_log_times(self.read_log())
        if not marks:
            raise BenchError("the stub wrote no log where the benchmark reads it (%s): its phases can't be timed"
                             % ", ".join(map(str, self.log_files)))
        requests = self.new_requests()
        # What a run leaves on disk: its download's copy in the Internet cache
        # and the files of the temporary folder (settle() removes both).
        cache_left = tree_size(self.cache_dir)
        temp_left = sum(1 for _ in self.temp_dir.glob("qmx*")) + sum(1 for _ in self.system_temp_dir.glob("qmx-*"))
        config_arrival = next((r["time"] for r in requests if r["path"] == "/qmx.json"), None)
        return {"elapsed": installer_start - start, "vmhwm_kib": hwm, "rss_anon_kib": anon,
                "startup": None if config_arrival is None else config_arrival - start,
                "cache_left": cache_left, "temp_left": temp_left,
                "phases": phase_durations(start, marks, installer_start), "requests": requests}

    def run_reference(self, url, path, crc, size):
        self.settle()
        target = self.run_dir / "reference-download.bin"
        with contextlib.suppress(FileNotFoundError):
            target.unlink()
        command = ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*",
                   "--max-time", str(60 + size // (5 * MIB)), "-o", str(target)]
        if url.startswith("https:"):
            host = urllib.parse.urlsplit(url)
            command += ["--cacert", str(self.certs / "ca.pem"),
                        "--resolve", "%s:%d:127.0.0.1" % (host.hostname, host.port)]
        command.append(url)
        start = time.time()
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL, timeout=120 + size // MIB)
        got = 0
        with open(target, "rb") as stream:
            while True:
                block = stream.read(READ_BLOCK)
                if not block:
                    break
                got = zlib.crc32(block, got)
        end = time.time()
        target.unlink()
        if got != crc:
            raise BenchError("curl's download of %s has the wrong CRC-32" % path.name)
        return {"elapsed": end - start}

    def run_floor(self, url, crc, size):
        """download_floor.exe: URLDownloadToFileW to the temporary folder, then
        the stub's CRC-32 over the file; timed from process start to the
        instant it recorded after the checksum."""
        self.settle()
        target = self.temp_dir / "qmx_floor.bin"
        record = self.run_dir / "floor-end.txt"
        for leftover in (target, record):
            with contextlib.suppress(FileNotFoundError):
                leftover.unlink()
        start, status, hwm, _ = self.run_windows_program(
            self.floor, [url, windows_path(target), str(crc), "--record=" + windows_path(record)],
            60 + size // (5 * MIB))
        if status != 0 or not record.exists():
            raise BenchError("download_floor.exe ended with status %s (1 download failed, 3 read failed,"
                             " 4 wrong CRC-32)" % status)
        finished = float(record.read_text().strip())
        with contextlib.suppress(FileNotFoundError):
            target.unlink()
        return {"elapsed": finished - start, "vmhwm_kib": hwm}

    # Figures 1 and 2

    def figure_transfer(self, labels):
        repetitions = self.args.repetitions
        runs = {(label, scheme): {kind: [] for kind in TRANSFER_KINDS} for label in labels for scheme in SCHEMES}
        for label in labels:
            path, crc = self.installer_file(label)
            for repetition in range(repetitions):
                for scheme in SCHEMES:
                    url = self.url(scheme, "/files/" + path.name)
                    # The stub appends its own ?rn=N; the others get one of the same kind.
                    busted = url + "?rn=%d" % random.randrange(1 << 15)
                    for kind in interleaved_order(repetition, TRANSFER_KINDS):
                        if kind == "stub":
                            result = self.run_stub(url, crc, SIZES[label])
                        elif kind == "floor":
                            result = self.run_floor(busted, crc, SIZES[label])
                        else:
                            result = self.run_reference(busted, path, crc, SIZES[label])
                        runs[(label, scheme)][kind].append(result)
                    latest = {kind: runs[(label, scheme)][kind][-1]["elapsed"] for kind in TRANSFER_KINDS}
                    progress("figure 1: %s %s repetition %d/%d: stub %.3f s, floor %.3f s, curl+crc %.3f s" % (
                        label, scheme, repetition + 1, repetitions, latest["stub"], latest["floor"],
                        latest["reference"]))
        return runs

    def memory_breakdown(self, label):
        """One more stub run whose installer waits 2 s: the stub's resident
        memory per mapping, taken while it waits (its peak is behind it)."""
        path, crc = self.installer_file(label)
        record = self.run_dir / "installer-start.txt"
        taken = {}

        def snapshot(pid):
            if not taken and record.exists():
                taken.update(resident_by_mapping(pid))

        self.run_stub(self.url("https", "/files/" + path.name), crc, SIZES[label], ["--hold=2000"], snapshot)
        return taken

    def report_transfer(self, runs):
        rows, lines = [], []
        for (label, scheme), kinds in runs.items():
            times = {kind: [r["elapsed"] for r in kinds[kind]] for kind in TRANSFER_KINDS}
            stats = {kind: summary(values) for kind, values in times.items()}
            floor = compare_runs(times["stub"], times["floor"])
            reference = compare_runs(times["stub"], times["reference"])
            phases = {}
            for name in ("wine_start", "config_request", "window_start", "transfer", "download_return",
                         "checksum", "version_and_id", "launch"):
                values = summary([r["phases"].get(name) for r in kinds["stub"]])
                if values:
                    phases[name] = round(values["median"], 4)
            size = SIZES[label]
            rows.append([label, scheme, format_seconds(stats["stub"]), format_seconds(stats["floor"]),
                         format_seconds(stats["reference"]), format_ratio(floor), format_ratio(reference),
                         "%+.3f" % floor["difference"]] +
                        ["%.0f" % (size / MIB / stats[kind]["median"]) for kind in TRANSFER_KINDS])
            lines.append(bench_line(1, size=label, scheme=scheme, stub_s=stats["stub"], floor_s=stats["floor"],
                                    reference_s=stats["reference"], floor_ratio=round(floor["ratio"], 3),
                                    floor_pair_ratios=floor["pairs"], ratio=round(reference["ratio"], 3),
                                    reference_pair_ratios=reference["pairs"], stub_phases_median_s=phases))
        print("\nFigure 1: stub start to installer start, against download_floor.exe (URLDownloadToFileW and the"
              " stub's CRC-32, start to checksum) and curl to a file + zlib.crc32"
              " (seconds: median [min-max], %d repetitions, interleaved)" % self.args.repetitions)
        print(format_table(["size", "scheme", "stub", "floor", "curl+crc", "stub/floor [pairs]",
                            "stub/curl [pairs]", "stub-floor", "stub MiB/s", "floor MiB/s", "curl MiB/s"], rows))
        verdict = floor_goal_verdict(runs)
        if verdict:
            print(verdict)
        print("\nStub phases (median seconds, from its log; ms resolution):")
        phase_rows = []
        for (label, scheme), kinds in runs.items():
            row = [label, scheme]
            for name in ("wine_start", "config_request", "window_start", "transfer", "download_return",
                         "checksum", "version_and_id", "launch"):
                values = summary([r["phases"].get(name) for r in kinds["stub"]])
                row.append("%.3f" % values["median"] if values else "-")
            phase_rows.append(row)
        print(format_table(["size", "scheme", "wine start", "config", "window", "transfer", "dl return",
                            "checksum", "id", "launch"], phase_rows))
        for line in lines:
            print(line)

    def report_memory(self, runs, floor, breakdown, breakdown_label):
        rows, lines = [], []
        for (label, scheme), kinds in runs.items():
            hwm = summary([r["vmhwm_kib"] / 1024 for r in kinds["stub"]])
            anon = summary([r["rss_anon_kib"] / 1024 for r in kinds["stub"]])
            left = summary([r["cache_left"] / MIB for r in kinds["stub"]])
            temp = summary([r["temp_left"] for r in kinds["stub"]])
            floor_hwm = summary([r["vmhwm_kib"] / 1024 for r in kinds["floor"]])
            rows.append([label, scheme, "%.1f [%.1f-%.1f]" % (hwm["median"], hwm["min"], hwm["max"]),
                         "%.1f [%.1f-%.1f]" % (anon["median"], anon["min"], anon["max"]),
                         "%.1f" % left["median"], "%d" % temp["median"],
                         "%.1f [%.1f-%.1f]" % (floor_hwm["median"], floor_hwm["min"], floor_hwm["max"])])
            lines.append(bench_line(2, size=label, scheme=scheme, vmhwm_mib=hwm, rss_anon_peak_mib=anon,
                                    floor_vmhwm_mib=floor_hwm,
                                    internet_cache_left_mib=round(left["median"], 1),
                                    temp_files_left=temp["median"]))
        print("\nFigure 2: peak memory of the stub's Wine process (MiB: median [min-max])")
        print(format_table(["size", "scheme", "VmHWM", "peak RssAnon", "INetCache MiB left", "Temp files left",
                            "floor VmHWM"], rows))
        if breakdown:
            total = sum(breakdown.values())
            top = sorted(breakdown.items(), key=lambda item: -item[1])
            print("Resident while it waits for the installer (%s, https): %.1f MiB in all; largest:" % (
                breakdown_label, total / 1024))
            print(format_table(["mapping", "MiB"], [[name, "%.1f" % (kib / 1024)] for name, kib in top[:12]]))
            lines.append(bench_line(2, size=breakdown_label, scheme="https", resident_mib=round(total / 1024, 1),
                                    resident_by_mapping_mib={n: round(k / 1024, 2) for n, k in top[:12]}))
        if floor:
            print("For scale: minimal_request.exe (one WinHTTP GET) in the same prefix: VmHWM %.1f MiB,"
                  " peak RssAnon %.1f MiB" % (floor["vmhwm"]["median"], floor["anon"]["median"]))
            lines.append(bench_line(2, size="minimal_request", scheme="https", vmhwm_mib=floor["vmhwm"],
                                    rss_anon_peak_mib=floor["anon"]))
        for line in lines:
            print(line)

    # Figure 6

    def signed_installer_file(self, label):
        """The installer file of a size signed by the test signer (osslsigncode,
        SHA-256); made once and reused while the unsigned file and the
        certificate are unchanged. Returns its path."""
        source, crc = self.installer_file(label)
        path = self.files / ("installer_%s.signed.exe" % label)
        sidecar = path.with_suffix(".json")
        certificate = self.certs / "signer.pem"
        stamp = {"source_crc": crc, "source_size": source.stat().st_size,
                 "certificate_mtime": certificate.stat().st_mtime_ns}
        if path.exists() and sidecar.exists():
            saved = json.loads(sidecar.read_text())
            if all(saved.get(k) == v for k, v in stamp.items()) and saved.get("mtime") == path.stat().st_mtime_ns:
                self.warm(path)
                return path
        with contextlib.suppress(FileNotFoundError):
            path.unlink()
        self.sign(source, path, "Tessaloom benchmark installer", timeout=600)
        sidecar.write_text(json.dumps(dict(stamp, mtime=path.stat().st_mtime_ns)))
        self.made_files += [path, sidecar]
        self.warm(path)
        return path

    def sign(self, source, target, description, timeout):
        """A copy of source signed by the test signer (osslsigncode, SHA-256)."""
        subprocess.run(["osslsigncode", "sign", "-certs", str(self.certs / "signer.pem"),
                        "-key", str(self.certs / "signer.key"), "-h", "sha256", "-n", description,
                        "-in", str(source), "-out", str(target)],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=timeout)

    def run_signature_check(self, path, crc_first):
        record = self.run_dir / "signature-check.json"
        with contextlib.suppress(FileNotFoundError):
            record.unlink()
        args = [windows_path(path), SIGNER_NAME, "--record=" + windows_path(record)]
        if crc_first:
            args.append("--crc-first")
        _, status, _, _ = self.run_windows_program(self.signature_check, args, 120 + path.stat().st_size // MIB)
        if status != 0 or not record.exists():
            raise BenchError("signature_check.exe ended with status %s on %s (1 refused, 3 unreadable)" % (
                status, path.name))
        return json.loads(record.read_text())

    def figure_signature(self, labels, transfer_runs):
        """The stub's signature check on a signed installer of each size, in
        processes of its own, the CRC-32 pass before or after it in turn."""
        results = {}
        for label in labels:
            path = self.signed_installer_file(label)
            results[label] = []
            for repetition in range(self.args.repetitions):
                results[label].append(self.run_signature_check(path, crc_first=repetition % 2 == 1))
            progress("figure 6: %s: %d checks" % (label, self.args.repetitions))
        self.report_signature(results, transfer_runs)

    def report_signature(self, results, transfer_runs):
        rows, lines = [], []
        for label, runs in results.items():
            row = signature_row(label, runs, transfer_runs)
            rows.append([label, format_seconds(row["first_s"]), format_seconds(row["second_s"]),
                         format_seconds(row["crc_s"]), "%.1f" % row["first_per_crc"],
                         "%.0f" % row["first_mib_per_s"],
                         "-" if row["share_of_stub"] is None else "%.1f%%" % (100 * row["share_of_stub"])])
            lines.append(bench_line(6, size=label, **row))
        print("\nFigure 6: the installer's signature check (WinVerifyTrust through the stub's own check) on a file"
              " signed by the test signer, against the stub's CRC-32 pass over the same held file"
              " (seconds: median [min-max], %d processes, CRC-32 before and after in turn)" % self.args.repetitions)
        print(format_table(["size", "first check", "second check", "CRC-32 pass", "first/CRC", "check MiB/s",
                            "first / stub (fig. 1, https)"], rows))
        for line in lines:
            print(line)

    # Figure 7

    def figure_resume(self, label, runs=3, cuts=4):
        """The stub's download of an installer that the server breaks off at
        `cuts` random points: what the server sent in all, against the file."""
        path, crc = self.installer_file(label)
        size = SIZES[label]
        rows, lines = [], []
        for run in range(runs):
            offsets = sorted(random.sample(range(1, size), cuts))
            route = "/cut/%s/%s" % (",".join(map(str, offsets)), path.name)
            result = self.run_stub(self.url("http", route), crc, size)
            answers = [r for r in result["requests"] if r["path"] == route and "sent" in r]
            row = resume_row(answers, size)
            progress("figure 7: %s run %d/%d: %d answers, %.3f of the file sent" % (
                label, run + 1, runs, row["answers"], row["sent_per_size"]))
            rows.append([label, run + 1, cuts, row["answers"], row["resumed"], "%.0f" % (row["sent"] / MIB),
                         "%.3f" % row["sent_per_size"], "%.1f" % result["elapsed"]])
            lines.append(bench_line(7, size=label, cuts=cuts, elapsed_s=round(result["elapsed"], 3), **row))
        print("\nFigure 7: an installer broken off (connection reset) at %d random points over HTTP, each break"
              " resumed; bytes the server sent in all against the file's size (goal: at most 1.1)" % cuts)
        print(format_table(["size", "run", "cuts", "answers", "resumed (206)", "sent MiB", "sent/size",
                            "stub s"], rows))
        for line in lines:
            print(line)

    # Figure 3

    def figure_crc(self):
        program = Path(self.args.crc_benchmark)
        if not program.exists():
            raise BenchError("%s is missing (scripts/bench.sh builds it)" % program)
        data = self.work / "crc-page-cache.bin"
        with open(data, "wb") as stream:
            stream.write(random.Random(FILLER_SEED).randbytes(64 * MIB))
        self.warm(data)
        try:
            out = subprocess.run([str(program), "--crc_file=" + str(data), "--benchmark_format=json",
                                  "--benchmark_min_time=%s" % self.args.crc_min_time,
                                  "--benchmark_repetitions=%d" % self.args.crc_repetitions,
                                  "--benchmark_report_aggregates_only=true"],
                                 capture_output=True, text=True, timeout=600)
        finally:
            data.unlink()
        if out.returncode != 0:
            raise BenchError("the CRC-32 benchmark failed:\n%s" % out.stderr)
        report = json.loads(out.stdout)
        rates = {}
        for entry in report["benchmarks"]:
            if entry.get("aggregate_name") not in ("median", "min", "max", "mean"):
                continue
            name = entry["run_name"]
            rates.setdefault(name, {})[entry["aggregate_name"]] = entry["bytes_per_second"] / 1e9
        rows, lines = [], []
        pairs = [(name, name.replace("UpdateCrc32", "ZlibCrc32").replace("ComputeFileCrc32", "ZlibFileCrc32"))
                 for name in rates if name.startswith(("UpdateCrc32", "ComputeFileCrc32"))]
        for ours, theirs in pairs:
            a, b = rates[ours], rates.get(theirs, {})
            ratio = a["median"] / b["median"] if b.get("median") else None
            rows.append([ours, "%.2f" % a["median"], theirs, "%.2f" % b.get("median", 0),
                         "-" if ratio is None else "%.2f" % ratio])
            lines.append(bench_line(3, benchmark=ours, gb_per_s=round(a["median"], 3), zlib=theirs,
                                    zlib_gb_per_s=round(b.get("median", 0), 3),
                                    ratio=None if ratio is None else round(ratio, 3),
                                    results_identical=True))
        print("\nFigure 3: CRC-32 throughput, natively (GB/s, median of %d repetitions; checksums checked"
              " equal to zlib's before timing)" % self.args.crc_repetitions)
        print(format_table(["stub", "GB/s", "zlib", "GB/s", "ratio"], rows))
        context = report.get("context", {})
        print("(%s CPUs at %s MHz; library build type %s)" % (context.get("num_cpus"), context.get("mhz_per_cpu"),
                                                             context.get("library_build_type")))
        for line in lines:
            print(line)

    # Figure 4

    def figure_size(self):
        stripped = self.work / "tessaloom_setup.stripped.exe"
        signed = self.work / "tessaloom_setup.signed.exe"
        shutil.copyfile(self.stub, stripped)
        subprocess.run(["x86_64-w64-mingw32-strip", str(stripped)], check=True, timeout=60)
        size = stripped.stat().st_size
        sections = section_sizes(stripped)
        # Signed as a release is: the signature's certificates are the test
        # chain's, a publisher's chain (and a time stamp) adds a few KiB more.
        with contextlib.suppress(FileNotFoundError):
            signed.unlink()
        self.sign(stripped, signed, "Tessaloom Setup", timeout=60)
        signed_size = signed.stat().st_size
        signed.unlink()
        stripped.unlink()
        # The GCC build's GNU ld map names the archive of each member, which
        # lld's map leaves out.
        gcc_exe = SOURCE / "build" / "windows-gcc" / "bin" / "tessaloom_setup.exe"
        gcc_map = gcc_exe.parent.parent / "tessaloom_setup.map"
        gcc_contributors = []
        if gcc_map.exists():
            gcc_contributors = ranked(parse_link_map(gcc_map.read_text(errors="replace")))
        contributors = []
        map_file = self.build / "tessaloom_setup.map"
        if map_file.exists():
            contributors = ranked(with_archives(parse_any_map(map_file.read_text(errors="replace")),
                                                gcc_contributors))
        print("\nFigure 4: stripped stub %d bytes unsigned (%.1f KiB), %d bytes signed (%.1f KiB);"
              " %s; link-time optimisation %s; goal below 1 MiB %s" % (
                  size, size / 1024, signed_size, signed_size / 1024, read_cache_value(self.build, "CMAKE_CXX_COMPILER"),
                  read_cache_value(self.build, "STUB_LTO"), "met" if signed_size < MIB else "NOT met"))
        print(format_table(["section", "bytes"], [[name, value] for name, value in
                                                  sorted(sections.items(), key=lambda item: -item[1])]))
        groups, parts = [], {}
        if contributors:
            total = sum(c[0] for c in contributors)
            print("\nLargest contributors (link map, loaded sections; %d bytes in all):" % total)
            rows = [[name, value, ", ".join("%s %d" % item for item in sorted(s.items(), key=lambda i: -i[1])[:3])]
                    for value, name, s in contributors[:self.args.top]]
            print(format_table(["input file", "bytes", "largest sections"], rows))
            groups = group_contributors(contributors)
            print("\nBy origin:")
            print(format_table(["origin", "bytes"], [[name, value] for name, value in groups]))
            parts = size_by_part({name: s for _, name, s in contributors})
            # lld makes the delay-import tables itself, from no input file.
            parts["headers, import tables, relocations, alignment"] = size - sum(parts.values())
            print("\nBy part (of the stripped, unsigned file):")
            print(format_table(["part", "bytes", "KiB"], [[name, value, "%.1f" % (value / 1024)]
                                                          for name, value in parts.items()]))
        else:
            print("(no link map at %s)" % map_file)
        second = self.gcc_size(gcc_exe, gcc_contributors)
        print(bench_line(4, stripped_bytes=size, stripped_kib=round(size / 1024, 1), signed_bytes=signed_size,
                         sections=sections, parts=parts,
                         top=[{"file": name, "bytes": value} for value, name, _ in contributors[:self.args.top]],
                         origins=dict(groups), **second))

    def gcc_size(self, exe, contributors):
        """The same sources built with GCC and linked by GNU ld (build/windows-gcc,
        made by scripts/bench.sh), for comparison: GNU ld keeps every
        function's unwinding data, and with it nearly all of each member of
        the C++ library that the program touches."""
        if not exe.exists() or not contributors:
            print("\n(no GCC build at %s to compare with)" % exe)
            return {}
        stripped = self.work / "tessaloom_setup.gcc.exe"
        shutil.copyfile(exe, stripped)
        subprocess.run(["x86_64-w64-mingw32-strip", str(stripped)], check=True, timeout=60)
        size = stripped.stat().st_size
        stripped.unlink()
        groups = dict(group_contributors(contributors))
        print("\nThe same sources built with GCC and linked by GNU ld: %d bytes stripped (%.1f KiB),"
              " libstdc++.a %d bytes, program %d bytes" % (
                  size, size / 1024, groups.get("libstdc++.a", 0), groups.get(LTO_ORIGIN, 0)))
        return {"gcc_ld_bytes": size, "gcc_ld_libstdcxx_bytes": groups.get("libstdc++.a", 0),
                "gcc_ld_program_bytes": groups.get(LTO_ORIGIN, 0)}

    # Figure 5 (and the memory floor of figure 2)

    def figure_startup(self):
        path, crc = self.installer_file("1MiB")
        wrapper = self.url("https", "/files/" + path.name)
        minimal_url = "https://%s:%d/startup.json" % (self.config_url.hostname, self.ports["https"])
        stub_times, minimal_times, hwm, anon = [], [], [], []
        for repetition in range(self.args.startup_runs):
            for kind in interleaved_order(repetition):
                if kind == "stub":
                    stub_times.append(self.run_stub(wrapper, crc, SIZES["1MiB"])["startup"])
                else:
                    self.settle()
                    self.new_requests()
                    start, status, peak, peak_anon = self.run_windows_program(self.minimal, [minimal_url], 60)
                    if status != 0:
                        raise BenchError("minimal_request.exe ended with status %d" % status)
                    arrival = next((r["time"] for r in self.new_requests() if r["path"] == "/startup.json"), None)
                    minimal_times.append(None if arrival is None else arrival - start)
                    hwm.append(peak / 1024)
                    anon.append(peak_anon / 1024)
        stub, minimal = summary(stub_times), summary(minimal_times)
        print("\nFigure 5: process start to the configuration request reaching the server"
              " (seconds: median [min-max] of %d runs, interleaved, HTTPS)" % self.args.startup_runs)
        print(format_table(["program", "start-up", "difference"],
                           [["tessaloom_setup.exe", format_seconds(stub), "%+.3f" % (stub["median"] - minimal["median"])],
                            ["minimal_request.exe", format_seconds(minimal), ""]]))
        print(bench_line(5, stub_s=stub, minimal_request_s=minimal,
                         difference_s=round(stub["median"] - minimal["median"], 4)))
        return {"vmhwm": summary(hwm), "anon": summary(anon)}

    def cleanup(self):
        self.stop_server()
        self.settle()
        if not self.args.keep_files:
            for path in self.files.glob("installer_*"):
                with contextlib.suppress(OSError):
                    path.unlink()


def signature_row(label, runs, transfer_runs):
    """The figures of one size of figure 6; the first check's share of the
    stub's end-to-end time over HTTPS when figure 1 measured that size."""
    first = summary([r["first_s"] for r in runs])
    second = summary([r["second_s"] for r in runs])
    crc = summary([r["crc_s"] for r in runs])
    stub = (transfer_runs or {}).get((label, "https"))
    share = None
    if stub:
        share = first["median"] / statistics.median([r["elapsed"] for r in stub["stub"]])
    return {"first_s": first, "second_s": second, "crc_s": crc,
            "first_per_crc": first["median"] / crc["median"] if crc["median"] else float("inf"),
            "first_mib_per_s": SIZES[label] / MIB / first["median"], "share_of_stub": share}


def ranked(per_file):
    """(bytes, input file, bytes per section), largest first."""
    return sorted(((sum(s.values()), name, s) for name, s in per_file.items()), reverse=True)


def with_archives(per_file, contributors):
    """lld names an archive member without its archive: the archive is taken
    from the GNU ld map of the GCC build, which links the same archives."""
    archive_of = {}
    for _, name, _ in contributors:
        member = name.partition("(")[2]
        if member:
            archive_of[member[:-1]] = name
    return {archive_of.get(name, name): sections for name, sections in per_file.items()}


def section_sizes(executable):
    out = subprocess.run(["x86_64-w64-mingw32-size", "-A", str(executable)], capture_output=True,
                         text=True, check=True, timeout=60).stdout
    sections = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0].startswith("."):
            sections[parts[0]] = sections.get(parts[0], 0) + int(parts[1])
    return sections


def group_contributors(contributors):
    """Bytes per archive or object file, largest first."""
    groups = {}
    for value, name, _ in contributors:
        groups[origin_of(name)] = groups.get(origin_of(name), 0) + value
    return sorted(groups.items(), key=lambda item: -item[1])


def tree_size(folder):
    total = 0
    for dirpath, _, names in os.walk(folder):
        for name in names:
            with contextlib.suppress(OSError):
                total += os.path.getsize(os.path.join(dirpath, name))
    return total


def clear_tree(folder):
    """Empties the Internet cache folder of the benchmark prefix (the stub's
    downloads land there too); the folder structure stays."""
    for dirpath, _, names in os.walk(folder):
        for name in names:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(dirpath, name))


def read_cache_value(build, name):
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.partition("=")[2]
    raise BenchError("%s is not set in %s" % (name, build / "CMakeCache.txt"))


def progress(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def parse_args(argv):
    parser = argparse.ArgumentParser(description="The stub's benchmarks (see README.md, Benchmarks).")
    parser.add_argument("--build", required=True, help="Windows build folder (bin/, certs/, wineprefix/)")
    parser.add_argument("--work", required=True, help="folder for installer files and run data")
    parser.add_argument("--crc-benchmark", help="the native CRC-32 benchmark program")
    parser.add_argument("--figures", default="1,2,3,4,5,6,7", help="comma-separated figure numbers")
    parser.add_argument("--sizes", default=",".join(SIZES), help="installer sizes of figures 1-2")
    parser.add_argument("--quick", action="store_true", help="1 MiB and 100 MiB, 3 repetitions, 10 start-ups")
    parser.add_argument("--repetitions", type=int, default=5, help="pairs per size and scheme (figure 1)")
    parser.add_argument("--startup-runs", type=int, default=20, help="runs of each program (figure 5)")
    parser.add_argument("--crc-repetitions", type=int, default=5)
    parser.add_argument("--crc-min-time", default="0.5", help="seconds per CRC-32 benchmark repetition")
    parser.add_argument("--top", type=int, default=15, help="contributors listed in figure 4")
    parser.add_argument("--keep-files", action="store_true", help="keep the installer files for the next run")
    parser.add_argument("--server-lifetime", type=float, default=7200.0)
    args = parser.parse_args(argv)
    args.figure_set = {int(f) for f in args.figures.split(",") if f.strip()}
    if args.quick:
        args.sizes = ",".join(QUICK_SIZES)
        args.repetitions = min(args.repetitions, 3)
        args.startup_runs = min(args.startup_runs, 10)
        args.crc_repetitions = min(args.crc_repetitions, 3)
        args.crc_min_time = "0.2"
    args.size_labels = [s for s in args.sizes.split(",") if s]
    unknown = [s for s in args.size_labels if s not in SIZES]
    if unknown:
        parser.error("unknown sizes %s (known: %s)" % (", ".join(unknown), ", ".join(SIZES)))
    if 3 in args.figure_set and not args.crc_benchmark:
        parser.error("figure 3 needs --crc-benchmark")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    suite = Suite(args)
    suite.files.mkdir(parents=True, exist_ok=True)
    suite.run_dir.mkdir(parents=True, exist_ok=True)
    before = machine_state()
    print("Machine before the run: " + describe_machine(before))
    print(bench_line("machine", when="before", **before))
    needs_wine = args.figure_set & {1, 2, 5, 6, 7}
    try:
        if needs_wine:
            suite.start_server()
        floor = None
        if 5 in args.figure_set or 2 in args.figure_set:
            floor = suite.figure_startup() if 5 in args.figure_set else None
        runs = None
        if args.figure_set & {1, 2}:
            runs = suite.figure_transfer(args.size_labels)
            if 1 in args.figure_set:
                suite.report_transfer(runs)
            if 2 in args.figure_set:
                label = args.size_labels[-1]
                suite.report_memory(runs, floor, suite.memory_breakdown(label), label)
        if 6 in args.figure_set:
            suite.figure_signature(args.size_labels, runs)
        if 7 in args.figure_set:
            suite.figure_resume(args.size_labels[-1])
        if 3 in args.figure_set:
            suite.figure_crc()
        if 4 in args.figure_set:
            suite.figure_size()
    except BenchError as error:
        sys.stderr.write("bench: %s\n" % error)
        return 1
    finally:
        suite.cleanup()
    after = machine_state()
    print("\nMachine after the run: " + describe_machine(after))
    print(bench_line("machine", when="after", **after))
    return 0


if __name__ == "__main__":
    sys.exit(main())
