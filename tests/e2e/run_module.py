"""Runs one scenario module as unittest's -v would, and prints how long each
case took, the slowest first: where a module's time goes. The times are also
appended to e2e-case-times.txt beside the lane's prefix, which
scripts/test.sh sums up (ctest shows a passing test's output nowhere).

  python3 run_module.py test_flow.py [unittest options]"""
import sys
import time
import unittest

from stubtest import LANE


class TimedResult(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.case_times = []

    def startTest(self, test):
        self._began = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        super().stopTest(test)
        self.case_times.append((time.monotonic() - self._began, test.id()))


class TimedRunner(unittest.TextTestRunner):
    resultclass = TimedResult

    def run(self, test):
        result = super().run(test)
        self.stream.writeln('Case times:')
        lines = [f'{seconds:8.1f} s  {name}' for seconds, name in sorted(result.case_times, reverse=True)]
        for line in lines:
            self.stream.writeln(line)
        with open(LANE / 'e2e-case-times.txt', 'a', encoding='utf-8') as times:
            times.writelines(line + '\n' for line in lines)
        return result


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    module = sys.argv[1].removesuffix('.py')
    unittest.main(module=module, argv=[sys.argv[0], *sys.argv[2:]], testRunner=TimedRunner(verbosity=2))
