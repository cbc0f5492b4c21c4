"""The interpreter's total of all references over many calls: every
exported function, on a success and a failure path, called a thousand times
after a warm-up, must leave sys.gettotalrefcount() where it was.

The memory suite watches the arguments and the results; the total also
sees a reference leaked to, or taken from, any other object: one the module
keeps itself (a name, a type, a module attribute), an exception
it raised and dropped, a result nobody holds.  Only a debug interpreter
keeps the total, so elsewhere the suite skips.
"""
import sys
import unittest

import support
import workload

DEBUG = hasattr(sys, 'gettotalrefcount')
WARM_UP = 50
ROUNDS = 1000
# What the interpreter itself may keep across the loop whatever the module
# does: a freed block kept for reuse, a cache entry replaced by a later one.
# A leak or an over-release of one reference per call moves the total by the
# number of rounds, far beyond it.
SLACK = 10

if DEBUG:
    Velmora, public = support.load()
    FUNCTIONS = support.exported_functions(Velmora)
else:
    FUNCTIONS = []


def total():
    """The total once nothing but live objects hold references."""
    support.counts([])
    return sys.gettotalrefcount()


@unittest.skipUnless(DEBUG, 'needs a debug interpreter (sys.gettotalrefcount); '
                            'the debug build runs this suite')
class TotalOverManyCalls(workload.PerFunctionCase):

    def drift(self, case):
        try:
            with support.quiet():  # the catalogue prints lines
                self.work.steer(**case.host)
                self.work.verify(case)
                for _ in range(WARM_UP):  # caches, the IV file, first imports
                    case.call()
                    del public.calls[:]
                before = total()
                for _ in range(ROUNDS):
                    case.call()
                    del public.calls[:]
                return total() - before
        finally:
            self.work.steer()

    def judge(self, case):
        drift = self.drift(case)
        self.assertLessEqual(abs(drift), SLACK, '%s (%s path): the total moved by %d over %d calls'
                             % (case.function, case.path, drift, ROUNDS))

    def check(self, function):
        cases = [c for c in self.cases if c.function == function]
        self.assertEqual({c.path for c in cases}, {'ok', 'fail'})
        for case in cases:
            with self.subTest(path=case.path, args=case.args):
                self.judge(case)

    def test_a_leak_of_one_reference_per_call_is_reported(self):
        # The measurement itself, fed a call that keeps one more reference
        # to an object each time, as a leak in the module would.
        kept, leaked = [], object()
        leaking = workload.Case('leaking', 'ok', (), {}, list,
                                lambda: kept.append(leaked) or kept, [leaked], 0)
        with self.assertRaisesRegex(AssertionError, 'the total moved by'):
            self.judge(leaking)


TotalOverManyCalls.add_tests(FUNCTIONS)


if __name__ == '__main__':
    unittest.main()
