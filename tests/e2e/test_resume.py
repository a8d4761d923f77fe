"""A broken transfer asks for the rest of the file, and no byte of the
download lands in the user's Internet cache."""
import threading
import time
import unittest

from scenario import Scenario
from stubtest import USER_DIR
from fixture_server import RangedFile  # noqa: E402  (found through stubtest's path)

INSTALLER_PATH = '/qmx_installer.exe'
CACHE_FOLDERS = [USER_DIR / 'AppData' / 'Local' / 'Microsoft' / 'Windows' / name
                 for name in ('INetCache', 'Temporary Internet Files')]


def transfers(result):
    return [r for r in result.requests if r.path == INSTALLER_PATH]


def cache_files():
    return {path for folder in CACHE_FOLDERS if folder.exists() for path in folder.rglob('*') if path.is_file()}


class ResumeTest(unittest.TestCase):
    def test_a_transfer_cut_twice_asks_for_the_rest_each_time(self):
        with Scenario() as scenario:
            size = len(scenario.installer)
            cuts = [size // 3, 2 * size // 3]
            ranged = RangedFile(scenario.installer, cuts=cuts)
            scenario.servers.route(INSTALLER_PATH, ranged)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), timeout=150)
        self.assertEqual(result.status, 0, result.records)
        self.assertIn('Checksum is OK. Continue...', result.messages)
        requests = transfers(result)
        self.assertEqual(len(requests), 3, result.records)
        self.assertIsNone(requests[0].header('Range'))
        for request, cut in zip(requests[1:], cuts):
            self.assertEqual((request.header('Range'), request.header('If-Range')), (f'bytes={cut}-', '"v1"'))
            self.assertIn(f"The installer's server sends the rest from byte {cut}", result.messages)
        self.assertLessEqual(ranged.sent, 1.3 * size)

    def test_a_server_that_ignores_the_range_sends_the_whole_file_again(self):
        with Scenario() as scenario:
            ranged = RangedFile(scenario.installer, cuts=[len(scenario.installer) // 2], honour_range=False)
            scenario.servers.route(INSTALLER_PATH, ranged)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), timeout=150)
        self.assertEqual(result.status, 0, result.records)
        self.assertIn('Checksum is OK. Continue...', result.messages)
        requests = transfers(result)
        self.assertEqual(len(requests), 2, result.records)
        self.assertIsNotNone(requests[1].header('Range'))
        self.assertIn("The installer's server sends the whole file again", result.messages)

    def test_nothing_of_the_download_is_in_the_internet_cache_while_it_runs_or_after(self):
        before = cache_files()
        seen = set()
        running = threading.Event()

        def watch():
            while running.is_set():
                seen.update(cache_files() - before)
                time.sleep(0.05)

        with Scenario() as scenario:
            # Paced, so that the transfer lasts a few seconds under watch.
            scenario.serve_installer(scenario.installer, rate=len(scenario.installer) / 3)
            scenario.serve_document()
            running.set()
            watcher = threading.Thread(target=watch)
            watcher.start()
            try:
                result = scenario.run(*scenario.installer_args(0), timeout=120)
            finally:
                running.clear()
                watcher.join()
        self.assertEqual(result.status, 0, result.records)
        self.assertGreaterEqual(result.elapsed, 2)
        self.assertEqual(seen | (cache_files() - before), set())
        self.assertNotIn('Cache filename available', result.messages)


if __name__ == '__main__':
    unittest.main()
