"""The interpreter's total of all references over many calls: every
exported function, on a success and a failure path, called a thousand times
after a warm-up, must leave sys.gettotalrefcount() where it was.

The memory suite watches the arguments and a held result; the total also
sees a reference leaked to, or taken from, any other object: one the module
keeps itself (a name, a type, a module attribute), an exception
it raised and dropped, a result nobody holds.  Only a debug interpreter
keeps the total, so elsewhere the suite skips.
"""
import gc
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
    FUNCTIONS = workload.exported_names(Velmora)
else:
    FUNCTIONS = []


def total(public):
    """The total once nothing but live objects hold references: the stand-in
    host's record of calls emptied (it is not the module's), the attribute
    cache of types emptied and cycles collected."""
    del public.calls[:]
    sys._clear_type_cache()
    gc.collect()
    return sys.gettotalrefcount()


@unittest.skipUnless(DEBUG, 'needs a debug interpreter (sys.gettotalrefcount); '
                            'the debug build runs this suite')
class TotalOverManyCalls(workload.PerFunctionCase):

    def drift(self, case):
        saved_stdout = sys.stdout
        sys.stdout = workload.Discard()  # the catalogue prints lines
        try:
            self.work.steer(**case.host)
            for _ in range(WARM_UP):  # caches, the IV file, first imports
                case.call()
                del public.calls[:]
            before = total(public)
            for _ in range(ROUNDS):
                case.call()
                del public.calls[:]
            return total(public) - before
        finally:
            sys.stdout = saved_stdout
            self.work.steer()

    def check(self, function):
        cases = [c for c in self.cases if c.function == function]
        self.assertEqual({c.path for c in cases}, {'ok', 'fail'})
        for case in cases:
            with self.subTest(path=case.path, args=case.args):
                drift = self.drift(case)
                self.assertLessEqual(abs(drift), SLACK,
                                     '%s (%s path): the total moved by %d over %d calls'
                                     % (function, case.path, drift, ROUNDS))

    def test_every_exported_function_has_cases(self):
        self.assertEqual(sorted({c.function for c in self.cases}), sorted(FUNCTIONS))


TotalOverManyCalls.add_tests(FUNCTIONS)


class Sensitivity(unittest.TestCase):
    """The measurement itself sees a leak of one reference per call."""

    @unittest.skipUnless(DEBUG, 'needs a debug interpreter (sys.gettotalrefcount)')
    def test_a_leak_of_one_reference_per_call_is_seen(self):
        kept = []
        leaked = object()

        class Host:
            calls = []

        before = total(Host)
        for _ in range(ROUNDS):
            kept.append(leaked)
        self.assertGreaterEqual(total(Host) - before, ROUNDS - SLACK)


if __name__ == '__main__':
    unittest.main()
