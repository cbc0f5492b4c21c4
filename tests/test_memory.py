"""What many calls leave behind: every exported function, on a success and a
failure path, called ten thousand times (fewer under the sanitizers and
valgrind, where each call costs far more) must leave the reference counts of
its arguments where they were, hand back results that carry no reference
but the caller's, and must not grow the memory the interpreter has handed
out by more than a fixed slack.  A leak of even the smallest object per
call exceeds that slack several times over."""
import unittest

import support
import workload

Velmora, public = support.load()
# Under the sanitizers a tenth: a thousand calls still turn a leak of the
# smallest object per call into twice the slack, and the reference counts
# show any drift at all; the release build runs the full count.
ROUNDS = 1000 if support.SANITIZED and not support.VALGRIND else support.scaled(10000)
FUNCTIONS = support.exported_functions(Velmora)


class FlatOverManyCalls(workload.PerFunctionCase):

    def check(self, function):
        cases = [c for c in self.cases if c.function == function]
        self.assertEqual({c.path for c in cases}, {'ok', 'fail'})
        for case in cases:
            with self.subTest(path=case.path, args=case.args):
                figures = self.work.measure(case, ROUNDS)
                # A constant offset of one is a cache holding the last call's
                # argument; a leak or an over-release moves with the count.
                for drift in figures.drift:
                    self.assertLessEqual(abs(drift), 1, figures)
                self.assertEqual(figures.result_refs, 0, figures)
                self.assertLess(figures.grown, case.slack + ROUNDS, figures)


FlatOverManyCalls.add_tests(FUNCTIONS)


if __name__ == '__main__':
    unittest.main()
