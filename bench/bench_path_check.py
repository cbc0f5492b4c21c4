"""Timing of path_check against the same 37 membership tests in plain Python.

Run with the tests' PYTHONPATH (module folder, tests/, tests/fakehost, the
build-local site folder).  Prints one line per case and exits 0; the target
(the module at least 10 times faster on the clean name) is reported, not
asserted.
"""
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
import support  # noqa: E402

Velmora, public = support.load()

FORBIDDEN = ['./', '..', ',', ';', ':', '?', "'", '"', '<', '>', '|', '\\',
             '\n', '\r', '\t', '\b', '\a', '\f', '\v', '*', '%', '&', '$', '#',
             '@', '!', '~', '`', '^', '(', ')', '+', '=', '{', '}', '[', ']']


def plain_path_check(path):
    for entry in FORBIDDEN:
        if entry in path:
            return False
    return True


CASES = [
    ('clean 12-character name', 'site_manager'),
    ('fails on the last entry only', 'site_manage]'),
]
NUMBER = 200000
REPEAT = 7


def best_ns(func, arg):
    timer = timeit.Timer('func(arg)', globals={'func': func, 'arg': arg})
    return min(timer.repeat(repeat=REPEAT, number=NUMBER)) / NUMBER * 1e9


def main():
    version = '%d.%d' % sys.version_info[:2]
    for label, name in CASES:
        assert Velmora.path_check(name) == plain_path_check(name)
        module_ns = best_ns(Velmora.path_check, name)
        plain_ns = best_ns(plain_path_check, name)
        print('path_check [CPython %s] %s %r: module %.1f ns, plain Python %.1f ns, '
              'speed-up %.1fx' % (version, label, name, module_ns, plain_ns, plain_ns / module_ns))
    return 0


if __name__ == '__main__':
    sys.exit(main())
