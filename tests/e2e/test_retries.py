"""A download that breaks is tried again: dropped, cut and refused transfers,
until a minute passes in which no attempt got further."""
import unittest

from scenario import INSTALLER, Scenario
from fixture_server import Response  # noqa: E402  (found through stubtest's path)

INSTALLER_PATH = '/qmx_installer.exe'
BOX = 'Cannot obtain installer. Error code 4'
# A cut a little past half the test installer, whatever its size: the bar
# has shown 50 % before the transfer breaks.
CUT = INSTALLER.stat().st_size // 2 + 4096


def serve_failing_first(scenario, failures, status=200, **failure):
    """Serves the installer; the first `failures` transfers fail as `status`
    and the Response fields in `failure` say."""
    served = [0]

    def answer(request):
        served[0] += 1
        failing = served[0] <= failures
        return Response(status if failing else 200, [('Content-Type', 'application/octet-stream')],
                        scenario.installer, **(failure if failing else {}))

    scenario.servers.route(INSTALLER_PATH, answer)


def transfers(result):
    return [r for r in result.requests if r.path == INSTALLER_PATH]


class RetryTest(unittest.TestCase):
    def test_a_transfer_that_breaks_twice_succeeds_on_the_third_attempt(self):
        cases = {
            # Wine reports a cut transfer done: only the announced length tells.
            'cut': ({'cut_after': CUT}, rf"The installer's server announced \d+ bytes, but {CUT} arrived"),
            # Wine reports an answer that never came as an empty download.
            'reset': ({'reset': True}, r"The installer's (download failed with error 0x8[0-9a-f]{7}|server sent no data)"),
            'server error': ({'status': 503}, r"The installer's server answered with HTTP status 503"),
        }
        for name, (failure, warning) in cases.items():
            with self.subTest(name), Scenario() as scenario:
                serve_failing_first(scenario, 2, **failure)
                scenario.serve_document()
                result = scenario.run(*scenario.installer_args(0))
                self.assertEqual(result.status, 0, result.records)
                self.assertIsNotNone(result.installer)
                self.assertEqual(len(transfers(result)), 3)
                warnings = [m for level, m in result.records if level == 'WARN']
                self.assertEqual(len(warnings), 2, result.records)
                for attempt, message in enumerate(warnings, 1):
                    self.assertRegex(message, f'^{warning} \\(attempt {attempt}\\)$')
                pauses = [m for m in result.messages if m.startswith('Trying the download again in ')]
                self.assertEqual(len(pauses), 2, result.messages)
                self.assertRegex(pauses[0], r'^Trying the download again in (0\.[5-9]|1\.0) seconds \(attempt 2\)$')
                self.assertRegex(pauses[1], r'^Trying the download again in (1\.[0-9]|2\.0) seconds \(attempt 3\)$')
                if name == 'cut':  # the bar started over: the second attempt's 50 % is new again
                    self.assertEqual(result.messages.count('50'), 2, result.messages)

    def test_a_server_that_always_cuts_at_the_same_byte_ends_with_4_a_minute_later(self):
        with Scenario() as scenario:
            serve_failing_first(scenario, 1000, cut_after=5000)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), expect_box=True, timeout=150)
        self.assertEqual((result.status, result.box), (4, BOX))
        self.assertIsNone(result.installer)
        self.assertGreater(len(transfers(result)), 3)
        self.assertGreaterEqual(result.elapsed, 60)
        self.assertLess(result.elapsed, 120)
        self.assertIn('No attempt of the download made progress for 60 seconds; it is given up', result.messages)
        self.assertRegex(result.records[-1][1], r'^Can\'t download wrapper to "C:\\.+\.tmp\.exe"$')
        self.assertEqual([level for level, _ in result.records].count('ERROR'), 1)
        self.assertNotIn('Checksum is OK. Continue...', result.messages)


if __name__ == '__main__':
    unittest.main()
