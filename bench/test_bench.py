#!/usr/bin/env python3
"""Checks of the benchmark suite's own parts: the link-map and log parsers
that the figures rest on, and the streaming server (run by scripts/bench.sh
before the figures; python3 -m unittest discover -s bench)."""

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_benchmarks as rb  # noqa: E402

MAP_TEXT = """Archive member included to satisfy reference by file (symbol)

libstdc++.a(locale-inst.o)  libstub_log.a(easylogging++.cc.obj) (std::locale::locale())

Linker script and memory map

                0x0000000140000000                __image_base__ = 0x140000000
LOAD libstub_log.a

.text           0x0000000140001000     0x3000
 *(.text)
 .text          0x0000000140001000      0x530 /usr/lib/x86_64-w64-mingw32/lib/crt2u.o
                0x00000001400014d0                WinMainCRTStartup
 .text          0x0000000140001530      0x800 libstub_log.a(easylogging++.cc.obj)
 *fill*         0x0000000140001d30       0x10
 .text$_ZNSt6locale5_ImplC2Ey
                0x0000000140001d40     0x1200 /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a(locale-inst.o)
                0x0000000140001d40                std::locale::_Impl::_Impl(unsigned long long)
 .text          0x0000000140002f40        0x0 libstub_crc32.a(crc32.cpp.obj)

.rdata          0x0000000140004000      0x200
 .rdata         0x0000000140004000      0x100 libstub_log.a(easylogging++.cc.obj)
 .rdata         0x0000000140004100       0x40 CMakeFiles/tessaloom_setup.dir/objects.a(main.cpp.obj)

.debug_info     0x0000000140010000     0x4000
 .debug_info    0x0000000140010000     0x4000 libstub_log.a(easylogging++.cc.obj)
"""

LLD_MAP_TEXT = """\
             VMA              LMA     Size Align Out     In      Symbol
00001000 000b1800  4096 .text
00001000 00000530    16         /usr/x86_64-w64-mingw32/lib/crt2u.o:(.text)
00001010 00000000     0                 pre_c_init
00001530 00000010    16         locale-inst.o:(.text$_ZNKSt10moneypunctIcLb0EE16do_decimal_pointEv)
00001540 00000400    16         tessaloom_setup.exe.lto.3.obj:(.text)
000b3000 00020000  4096 .rdata
000b3000 00000020    16         locale-inst.o:(.rdata)
000d3000 00001000  4096 .debug_info
000d3000 00001000     1         tessaloom_setup.exe.lto.3.obj:(.debug_info)
"""

LOG_TEXT = "\r\n".join([
    "2026-01-02 03:04:05,100 INFO  Pexmira wrapper started",
    "2026-01-02 03:04:05,300 INFO  Config file has been downloaded successfully",
    "2026-01-02 03:04:05,350 INFO  Downloading wrapper",
    "2026-01-02 03:04:05,400 INFO  37",
    "2026-01-02 03:04:06,350 INFO  End download",
    "2026-01-02 03:04:06,360 INFO  Wrapper successfully downloaded to \"C:\\t\\qmx1.tmp.exe\"",
    "2026-01-02 03:04:06,390 INFO  Checksum is OK. Continue...",
    "2026-01-02 03:04:06,391 INFO  Launching installer \"C:\\t\\qmx1.tmp.exe -id x\"",
    "2026-01-02 03:04:06,900 INFO  Launching installer again (a later record is not the mark)",
    "not a record",
]) + "\r\n"


class LinkMapTest(unittest.TestCase):
    def test_sizes_per_input_file_and_section(self):
        per_file = rb.parse_link_map(MAP_TEXT)
        self.assertEqual(per_file["crt2u.o"], {".text": 0x530})
        self.assertEqual(per_file["libstub_log.a(easylogging++.cc.obj)"], {".text": 0x800, ".rdata": 0x100})
        # A section name too long for its line has its numbers on the next one.
        self.assertEqual(per_file["libstdc++.a(locale-inst.o)"], {".text": 0x1200})
        self.assertEqual(per_file["objects.a(main.cpp.obj)"], {".rdata": 0x40})
        # Fill, empty sections, symbols and the debug sections strip removes count for nothing.
        self.assertNotIn("libstub_crc32.a(crc32.cpp.obj)", per_file)
        self.assertEqual(sum(sum(s.values()) for s in per_file.values()), 0x530 + 0x800 + 0x1200 + 0x100 + 0x40)

    def test_grouped_by_archive_largest_first(self):
        per_file = rb.parse_link_map(MAP_TEXT)
        contributors = sorted(((sum(s.values()), name, s) for name, s in per_file.items()), reverse=True)
        self.assertEqual(rb.group_contributors(contributors)[0], ("libstdc++.a", 0x1200))
        self.assertEqual(dict(rb.group_contributors(contributors))["libstub_log.a"], 0x900)

    def test_without_memory_map(self):
        self.assertEqual(rb.parse_link_map("LOAD x.o\n"), {})

    def test_lld_map_with_archives_from_the_gnu_map(self):
        per_file = rb.parse_lld_map(LLD_MAP_TEXT)
        self.assertEqual(per_file, {"crt2u.o": {".text": 0x530}, "locale-inst.o": {".text": 0x10, ".rdata": 0x20},
                                    "tessaloom_setup.exe.lto.3.obj": {".text": 0x400}})
        gnu = sorted(((sum(s.values()), n, s) for n, s in rb.parse_link_map(MAP_TEXT).items()), reverse=True)
        groups = dict(rb.group_contributors(rb.ranked(rb.with_archives(per_file, gnu))))
        self.assertEqual(groups, {"libstdc++.a": 0x30, rb.LTO_ORIGIN: 0x400, "crt2u.o": 0x530})

    def test_size_by_part_counts_unwinding_data_apart(self):
        # lld puts the unwinding data into .rdata.
        lld = rb.parse_lld_map(LLD_MAP_TEXT.replace("000d3000 00001000  4096 .debug_info\n", (
            "000b3020 00000008     4         tessaloom_setup.exe.lto.3.obj:(.xdata)\n"
            "000b3028 00000004     4         lib64_libmingwex_a-misc.o:(.rdata)\n"
            "000d3000 00001000  4096 .debug_info\n")))
        per_file = rb.with_archives(lld, sorted(((sum(s.values()), n, s)
                                                 for n, s in rb.parse_link_map(MAP_TEXT).items()), reverse=True))
        self.assertEqual(rb.size_by_part(per_file), {
            "program": 0x400, "C++ library": 0x30, "C runtime and threads": 0x530 + 4, "imports": 0,
            "resources": 0, "unwinding tables": 8})

    def test_link_time_optimised_objects_are_the_program(self):
        for name in ("ccucbATl.ltrans0.ltrans.o", "tessaloom_setup.exe.lto.13.obj"):
            self.assertEqual(rb.origin_of(name), rb.LTO_ORIGIN)
        self.assertEqual(rb.origin_of("libstub_log.a(easylogging++.cc.obj)"), "libstub_log.a")


class LogPhasesTest(unittest.TestCase):
    def test_phases_from_the_first_record_of_each_mark(self):
        marks = rb.parse_log_times(LOG_TEXT)
        started = marks["started"]
        start = started - 0.05
        phases = rb.phase_durations(start, marks, marks["launch"] + 0.02)
        expected = {"wine_start": 0.05, "config_request": 0.2, "window_start": 0.05, "transfer": 1.0,
                    "download_return": 0.01, "checksum": 0.03, "version_and_id": 0.001, "launch": 0.02}
        self.assertEqual(set(phases), set(expected))
        for name, value in expected.items():
            self.assertAlmostEqual(phases[name], value, places=3, msg=name)

    def test_missing_marks_leave_their_phases_out(self):
        text = "2026-01-02 03:04:05,100 INFO  Pexmira wrapper started\n"
        marks = rb.parse_log_times(text)
        phases = rb.phase_durations(marks["started"] - 1, marks, None)
        self.assertEqual(list(phases), ["wine_start"])
        self.assertAlmostEqual(phases["wine_start"], 1.0)


class StatisticsTest(unittest.TestCase):
    def test_summary_skips_missing_values(self):
        self.assertEqual(rb.summary([3, None, 1, 2]), {"median": 2, "min": 1, "max": 3, "n": 3})
        self.assertIsNone(rb.summary([None]))

    def test_pairs_alternate_their_order(self):
        self.assertEqual([rb.interleaved_order(i)[0] for i in range(4)], ["stub", "reference"] * 2)

    def test_three_kinds_take_every_order_and_each_pair_flips_within_two_repetitions(self):
        kinds = rb.TRANSFER_KINDS
        orders = [rb.interleaved_order(i, kinds) for i in range(6)]
        self.assertEqual(len(set(orders)), 6)
        for order in orders:
            self.assertEqual(sorted(order), sorted(kinds))
        for first, second in zip(orders[0::2], orders[1::2]):
            for a in kinds:
                for b in kinds:
                    if a != b:
                        self.assertNotEqual(first.index(a) < first.index(b), second.index(a) < second.index(b))

    def test_comparison_of_medians_and_of_the_runs_of_each_repetition(self):
        compared = rb.compare_runs([1.0, 3.0, 2.2], [2.0, 1.0, 2.0])
        self.assertAlmostEqual(compared["ratio"], 1.1)
        self.assertAlmostEqual(compared["difference"], 0.2)
        self.assertEqual((compared["pairs"]["min"], compared["pairs"]["max"], compared["pairs"]["n"]), (0.5, 3.0, 3))
        self.assertEqual(rb.format_ratio(compared), "1.100 [0.500-3.000]")

    def test_floor_goal_only_at_its_sizes(self):
        def runs(stub, floor):
            return {"stub": [{"elapsed": t} for t in stub], "floor": [{"elapsed": t} for t in floor]}
        measured = {("1MiB", "http"): runs([9.0], [1.0]), ("100MiB", "http"): runs([1.04, 1.0], [1.0, 1.0]),
                    ("1GiB", "https"): runs([10.0], [10.0])}
        verdict = rb.floor_goal_verdict(measured)
        self.assertNotIn("1MiB", verdict)
        self.assertIn("100MiB http 1.020, 1GiB https 1.000; goal met", verdict)
        measured[("1GiB", "http")] = runs([10.6], [10.0])
        self.assertTrue(rb.floor_goal_verdict(measured).endswith("1GiB http 1.060; goal NOT met"))
        self.assertIsNone(rb.floor_goal_verdict({("1MiB", "http"): runs([1.0], [1.0])}))

    def test_windows_path_is_on_drive_z(self):
        self.assertEqual(rb.windows_path("/tmp/a b/c.txt"), "Z:\\tmp\\a b\\c.txt")

    def test_resident_memory_of_this_process(self):
        mapped = rb.resident_by_mapping(os.getpid())
        self.assertGreater(mapped.get("anonymous", 0), 0)
        self.assertEqual(rb.resident_by_mapping(2 ** 22 + 1), {})


class SignatureFigureTest(unittest.TestCase):
    def test_row_against_the_crc_and_the_stubs_https_time(self):
        runs = [{"first_s": 0.3, "second_s": 0.1, "crc_s": 0.02}, {"first_s": 0.5, "second_s": 0.2, "crc_s": 0.03},
                {"first_s": 0.4, "second_s": 0.1, "crc_s": 0.01}]
        transfer = {("100MiB", "https"): {"stub": [{"elapsed": 2.0}, {"elapsed": 4.0}, {"elapsed": 3.0}]},
                    ("100MiB", "http"): {"stub": [{"elapsed": 100.0}]}}
        row = rb.signature_row("100MiB", runs, transfer)
        self.assertEqual((row["first_s"]["median"], row["second_s"]["median"], row["crc_s"]["median"]),
                         (0.4, 0.1, 0.02))
        self.assertAlmostEqual(row["first_per_crc"], 20.0)
        self.assertAlmostEqual(row["first_mib_per_s"], 250.0)
        self.assertAlmostEqual(row["share_of_stub"], 0.4 / 3.0)
        # Without figure 1 (or without that size in it) there is no share.
        self.assertIsNone(rb.signature_row("100MiB", runs, None)["share_of_stub"])
        self.assertIsNone(rb.signature_row("1GiB", [dict(r) for r in runs], transfer)["share_of_stub"])


class ServerTest(unittest.TestCase):
    """The server runs as its own process, as in the benchmarks."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        root = Path(cls.folder.name)
        (root / "files").mkdir()
        cls.big = os.urandom(3 * rb.MIB + 17)
        (root / "files" / "big.bin").write_bytes(cls.big)
        (root / "secret.txt").write_text("outside the served folder")
        cls.config = root / "config.json"
        cls.config.write_text('{"n": 1}')
        cls.log = root / "requests.log"
        ready = root / "ready.json"
        cls.server = subprocess.Popen(
            [sys.executable, str(Path(__file__).with_name("bench_server.py")), "--root", str(root / "files"),
             "--config", str(cls.config), "--log", str(cls.log), "--ready", str(ready), "--http", "0",
             "--lifetime", "60"], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not ready.exists() and time.monotonic() < deadline and cls.server.poll() is None:
            time.sleep(0.02)
        cls.port = json.loads(ready.read_text())["http"]

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(10)
        cls.folder.cleanup()

    def get(self, path):
        return urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=10)

    def test_streams_a_file_byte_for_byte_ignoring_the_query(self):
        with self.get("/files/big.bin?rn=123") as response:
            self.assertEqual(response.headers["Content-Length"], str(len(self.big)))
            self.assertEqual(response.read(), self.big)

    def test_configuration_is_read_at_each_request(self):
        with self.get("/qmx.json") as response:
            self.assertEqual(json.loads(response.read()), {"n": 1})
        self.config.write_text('{"n": 2}')
        with self.get("/qmx.json") as response:
            self.assertEqual(json.loads(response.read()), {"n": 2})

    def test_nothing_outside_the_folder(self):
        for path in ("/files/../secret.txt", "/files/%2e%2e/secret.txt", "/files/", "/secret.txt"):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                self.get(path)
            self.assertEqual(caught.exception.code, 404, path)

    def test_a_cut_route_breaks_off_and_serves_the_rest_of_the_same_version(self):
        import http.client
        route = "/cut/1000,5000/big.bin"

        def fetch(headers):
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
            connection.request("GET", route + "?rn=1", headers=headers)
            response = connection.getresponse()
            try:
                body = response.read()
            except http.client.IncompleteRead as broken:
                body = broken.partial
            connection.close()
            return response, body

        first, body = fetch({})
        self.assertEqual((first.status, body), (200, self.big[:1000]))
        etag = first.headers["ETag"]
        cases = [  # request headers, status, first byte, body's end (each cut breaks one answer)
            ({"Range": "bytes=500-", "If-Range": etag}, 206, 500, 5000),
            ({"Range": "bytes=5000-"}, 206, 5000, len(self.big)),
            ({"Range": "bytes=1000-", "If-Range": '"another"'}, 200, 0, len(self.big)),
            ({"Range": "bytes=10-20"}, 200, 0, len(self.big)),
        ]
        for headers, status, start, end in cases:
            with self.subTest(headers=headers):
                response, body = fetch(headers)
                self.assertEqual(response.status, status)
                self.assertEqual(body, self.big[start:end])
        sent = [json.loads(line) for line in self.log.read_text().splitlines()]
        self.assertEqual([e["sent"] for e in sent if e["path"] == route and "sent" in e],
                         [1000, 4500, len(self.big) - 5000, len(self.big), len(self.big)])
        self.assertEqual(rb.resume_row([{"start": 0, "sent": 60}, {"start": 60, "sent": 40}], 100),
                         {"answers": 2, "resumed": 1, "sent": 100, "sent_per_size": 1.0})

    def test_logs_the_arrival_of_each_request(self):
        before = time.time()
        with self.get("/startup.json") as response:
            response.read()
        entries = [json.loads(line) for line in self.log.read_text().splitlines()]
        arrival = [e for e in entries if e["path"] == "/startup.json"][-1]
        self.assertEqual(arrival["listener"], "http")
        self.assertLessEqual(before, arrival["time"])
        self.assertLessEqual(arrival["time"], time.time())


if __name__ == "__main__":
    unittest.main()
