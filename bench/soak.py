"""Soak: every exported function, on a success and a failure path, called
100000 times (the memory suite's calls, ten times over), with what the calls
left behind.  Not part of the test run; see scripts/soak.sh.

One line per case: the time per call, the drift of the arguments' reference
counts, the references a result carries beyond the caller's, the growth of
traced interpreter memory after a full collection, and the growth of the
process's resident set.
A case whose counts drift or whose traced memory grows by more than the
memory suite allows is marked LEAK; the exit status is 1 if any is.

    PYTHONPATH=<module dir>:tests:build/site python bench/soak.py [--rounds N] [name ...]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests'))

import support  # noqa: E402
import workload  # noqa: E402


def resident_kib():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--rounds', type=int, default=100000)
    parser.add_argument('names', nargs='*', help='only these functions')
    options = parser.parse_args()

    Velmora, public = support.load()
    work = workload.Workload(Velmora, public)
    version = '%d.%d' % sys.version_info[:2]
    leaks = 0
    print('%s  %-22s %-4s %10s %8s %6s %6s %12s %10s' % (
        'py', 'function', 'path', 'calls', 'us/call', 'refs', 'result', 'traced B', 'RSS KiB'))
    try:
        for case in work.cases():
            if options.names and case.function not in options.names:
                continue
            rss = resident_kib()
            figures = work.measure(case, options.rounds)
            rss = resident_kib() - rss
            drift = max([abs(d) for d in figures.drift] + [0])
            leaked = (drift > 1 or figures.result_refs != 0
                      or figures.grown >= case.slack + options.rounds)
            leaks += leaked
            print('%-4s %-22s %-4s %10d %8.2f %6d %6d %12d %10d%s' % (
                version, case.function, case.path, figures.rounds,
                figures.seconds / figures.rounds * 1e6, drift, figures.result_refs,
                figures.grown, rss, '  LEAK' if leaked else ''), flush=True)
    finally:
        work.close()
    return 1 if leaks else 0


if __name__ == '__main__':
    sys.exit(main())
