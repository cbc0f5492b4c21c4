"""Runs one suite as `python -m unittest -v SUITE` does, and keeps its
counts for the test command's closing lines.

    python suite_runner.py SUITE

With VELMORA_COUNTS_DIR set, it writes the file py<major><minor>.SUITE
there: "started" first, so that a process that dies midway (a crash, a
sanitizer abort, a time-out) is noticed, and at the end one line

    <major>.<minor> <passed> <failed> <skipped>

Failures, errors (including those of class and module fixtures) and
unexpected successes count as failed; expected failures as passed.  A suite
that runs no test at all fails (status 5, as unittest itself does from
3.12 on): it is always a mistake in the suite.
"""
import os
import sys
import unittest


class CountingResult(unittest.TextTestResult):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = 0

    def addSuccess(self, test):
        super().addSuccess(test)
        self.passed += 1

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self.passed += 1


def counts_line(result):
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    return '%d.%d %d %d %d\n' % (sys.version_info[:2] + (result.passed, failed, len(result.skipped)))


def write(path, text):
    # Replaced whole, so a reader never sees half a line.
    with open(path + '.tmp', 'w') as f:
        f.write(text)
    os.replace(path + '.tmp', path)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: suite_runner.py SUITE\n')
        return 2
    suite = argv[1]
    counts_dir = os.environ.get('VELMORA_COUNTS_DIR')
    path = None
    if counts_dir:
        os.makedirs(counts_dir, exist_ok=True)
        path = os.path.join(counts_dir, 'py%d%d.%s' % (sys.version_info[:2] + (suite,)))
        write(path, 'started\n')
    runner = unittest.TextTestRunner(verbosity=2, resultclass=CountingResult)
    # As `-m unittest SUITE`: a suite that fails to import is reported as a
    # failed test, not as a traceback of this runner.
    program = unittest.main(module=None, argv=['python -m unittest', suite],
                            testRunner=runner, exit=False)
    result = program.result
    if path:
        write(path, counts_line(result))
    if result.testsRun == 0 and not result.skipped:
        return 5
    return 0 if result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
