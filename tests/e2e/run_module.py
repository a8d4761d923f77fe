"""Runs one scenario module as unittest's -v would, and prints how long each
case took, the slowest first: where a module's time goes.

  python3 run_module.py test_flow.py [unittest options]"""
import sys
import time
import unittest


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
        for seconds, name in sorted(result.case_times, reverse=True):
            self.stream.writeln(f'{seconds:8.1f} s  {name}')
        return result


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    module = sys.argv[1].removesuffix('.py')
    unittest.main(module=module, argv=[sys.argv[0], *sys.argv[2:]], testRunner=TimedRunner(verbosity=2))
