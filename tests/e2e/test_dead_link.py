"""A dead link is ridden out, and a trickle is not waited for for ever."""
import unittest

from scenario import Scenario
from fixture_server import Response  # noqa: E402  (found through stubtest's path)

INSTALLER_PATH = '/qmx_installer.exe'
BOX = 'Cannot obtain installer. Error code 4'


def transfers(result):
    return [r for r in result.requests if r.path == INSTALLER_PATH]


class DeadLinkTest(unittest.TestCase):
    def test_an_outage_of_20_seconds_mid_download_ends_with_0(self):
        with Scenario() as scenario:
            served = [0]

            def answer(request):
                served[0] += 1
                if served[0] == 1:  # half the file, then the server is gone for 20 s
                    scenario.servers.refuse_connections(20, 'http')
                    return Response(200, [('Content-Type', 'application/octet-stream')], scenario.installer,
                                    cut_after=len(scenario.installer) // 2, reset=True)
                return Response(200, [('Content-Type', 'application/octet-stream')], scenario.installer)

            scenario.servers.route(INSTALLER_PATH, answer)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), timeout=150)
        self.assertEqual(result.status, 0, result.records)
        self.assertIsNotNone(result.installer)
        self.assertEqual(len(transfers(result)), 2, 'the refused connections never reached a route')
        self.assertGreaterEqual(result.elapsed, 20)
        pauses = [m for m in result.messages if m.startswith('Trying the download again in ')]
        self.assertGreater(len(pauses), 2, result.messages)
        self.assertNotIn('ERROR', [level for level, _ in result.records])

    def test_a_trickle_of_100_bytes_a_second_ends_with_4_in_bounded_time(self):
        with Scenario() as scenario:
            scenario.serve_installer(scenario.installer, rate=100)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), expect_box=True, timeout=150)
        self.assertEqual((result.status, result.box), (4, BOX))
        self.assertIsNone(result.installer)
        self.assertLess(result.elapsed, 100)
        self.assertIn("The installer's server sent less than 60 KiB in 60 seconds; the transfer is given up",
                      result.messages)
        self.assertRegex(result.records[-1][1], r'^Can\'t download wrapper to "C:\\.+\.tmp\.exe"$')


if __name__ == '__main__':
    unittest.main()
