"""Requests and calls that the other side never ends: the configuration
request, the failed hit and the opening of the cancellation page each end at
their deadline, whatever the server or the desktop's shell does."""
import datetime
import os
import signal
import socket
import threading
import time
import unittest

from scenario import ANALYTICS_PORT, CONFIG_PORT, HINTS, Scenario, drain_late_pages
from stubtest import prefix_processes, read_log_bytes
from fixture_server import HOST  # noqa: E402  (found through stubtest's path)

CONFIG_DEADLINE = 30
HIT_DEADLINE = 10
PAGE_DEADLINE = 10
# What a run may take beyond a deadline: Wine's start and end, the box.
SLACK = 12
GIVEN_UP = 'The configuration request did not end within 30 seconds; it is given up'


class BlackHole:
    """A port whose connection requests go unanswered, like those to a host
    behind a firewall that drops them: the listener's one place in its queue
    is taken, so the system drops every further request without a word."""

    def __init__(self, port):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, port))
        self.listener.listen(0)
        self.filler = socket.create_connection((HOST, port), timeout=5)
        probe = socket.socket()
        probe.settimeout(0.5)
        try:
            probe.connect((HOST, port))
            raise AssertionError('the black hole accepted a connection')
        except socket.timeout:
            pass
        finally:
            probe.close()

    def close(self):
        self.filler.close()
        self.listener.close()


def record_time(since, prefix):
    """The Unix time of the first log record after `since` bytes whose message
    begins with prefix."""
    for line in read_log_bytes()[since:].decode('utf-8').split('\r\n'):
        if line[30:].startswith(prefix):  # date and time, level, message
            return datetime.datetime.strptime(line[:23], '%Y-%m-%d %H:%M:%S,%f').timestamp()
    raise AssertionError(f'no record begins with {prefix!r}')


class DeadlineTestCase(unittest.TestCase):
    def run_on(self, scenario, serve, *args, **options):
        """Runs the stub once serve(scenario) has set the road up; a black
        hole that serve returns is closed afterwards."""
        hole = serve(scenario)
        try:
            return scenario.run(*args, **options)
        finally:
            if hole:
                hole.close()

    def assertTook(self, log_start, first, last, seconds):
        """From the first record beginning with `first` to the one beginning
        with `last`: the deadline, and hardly more."""
        took = record_time(log_start, last) - record_time(log_start, first)
        self.assertGreaterEqual(took, seconds - 0.5)
        self.assertLess(took, seconds + 3)


class ConfigurationDeadlineTest(DeadlineTestCase):
    def test_a_host_that_drops_connection_requests(self):
        # It would cost three connection time-outs of 60 s. A trickle and a
        # server that never answers end at the client's deadline too; the
        # client's own tests drive those roads on a deadline of 2 s.
        with Scenario() as scenario:
            log_start = len(read_log_bytes())
            result = self.run_on(scenario, lambda s: s.servers.stop() or BlackHole(CONFIG_PORT), expect_box=True,
                                 timeout=CONFIG_DEADLINE + 3 * SLACK)
        self.assertEqual(result.status, 1)
        self.assertEqual(result.box.split('\n'), ['Cannot obtain configuration. Error code 1', HINTS['connection']])
        self.assertIsNone(result.installer, 'the installer ran')
        self.assertEqual(result.records[-3:], [('INFO', 'Downloading config file'), ('ERROR', GIVEN_UP),
                                               ('ERROR', "Can't download config file")])
        self.assertTook(log_start, 'Downloading config file', GIVEN_UP, CONFIG_DEADLINE)


class FailedHitDeadlineTest(DeadlineTestCase):
    def test_an_analytics_host_that_drops_connection_requests(self):
        # A server that accepts and never answers ends at the same deadline:
        # the client's own tests drive that road on a deadline of 2 s.
        with Scenario() as scenario:
            scenario.serve_document()
            log_start = len(read_log_bytes())
            result = self.run_on(scenario, lambda s: s.analytics.stop() or BlackHole(ANALYTICS_PORT),
                                 *scenario.installer_args(4), timeout=HIT_DEADLINE + 4 * SLACK)
        # The run ends as every failed one does.
        self.assertEqual(result.status, 4)
        sending = result.messages.index('Sending failed hit to Piwik')
        self.assertEqual(result.records[sending + 1:sending + 3],
                         [('WARN', 'The failed hit did not end within 10 seconds; it is given up'),
                          ('INFO', 'Sent failed hit to Piwik')])
        self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting')
        self.assertFalse([m for level, m in result.records if level == 'ERROR'], result.records)
        self.assertTook(log_start, 'Sending failed hit', 'Sent failed hit to Piwik', HIT_DEADLINE)


def explorer_processes():
    """The Linux processes of this prefix's explorer.exe, which serves the
    desktop's shell."""
    return [pid for pid, command in prefix_processes() if command and command[0].lower().endswith(b'explorer.exe')]


class SuspendedExplorer:
    """Suspends this prefix's explorer once the stub has begun to wait for the
    installer (earlier, the stub's own windows would wait for it too), and
    resumes it at the end."""

    def __init__(self, log_start):
        self.log_start = log_start
        self.stopped = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def watch(self):
        deadline = time.monotonic() + 60
        while not self.done.is_set() and time.monotonic() < deadline:
            if b'Waiting for installer to complete...' in read_log_bytes()[self.log_start:]:
                for pid in explorer_processes():
                    os.kill(pid, signal.SIGSTOP)
                    self.stopped.append(pid)
                return
            time.sleep(0.05)

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join(5)
        for pid in self.stopped:
            os.kill(pid, signal.SIGCONT)


class PageDeadlineTest(DeadlineTestCase):
    def test_a_suspended_explorer_never_answers(self):
        with Scenario() as scenario:
            scenario.serve_document()
            self.assertTrue(explorer_processes(), 'no explorer.exe serves this prefix')
            log_start = len(read_log_bytes())
            with SuspendedExplorer(log_start) as explorer:
                # No page can come while the explorer is stopped.
                result = scenario.run(*scenario.installer_args(5, '--post=cancelled', '--sleep=2000'),
                                      timeout=PAGE_DEADLINE + 4 * SLACK, page_wait=0)
                self.assertTrue(explorer.stopped, 'explorer.exe was never suspended')
            # The resumed explorer may still open the queued page: it must not
            # land in a later scenario's run.
            drain_late_pages()
        self.assertEqual(result.status, 5)
        navigating = result.messages.index('Navigating user to cancellation page')
        self.assertEqual(result.records[navigating + 1],
                         ('WARN', "The desktop's shell did not open the page within 10 seconds; it is given up"))
        self.assertEqual(result.pages, [])
        self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting')
        self.assertTook(log_start, 'Navigating user', "The desktop's shell did not open the page", PAGE_DEADLINE)


if __name__ == '__main__':
    unittest.main()
