"""Cost of calling an exported function, beside built-ins of the same shape.

The exported functions use the vectorcall protocol where the interpreter has
it; a call with positional or keyword arguments should cost about what a
built-in function call costs.  The functions timed do almost no work of their
own, so the figures are mostly call overhead.  One line per figure.
"""
import os
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))


def best(stmt, namespace, number=200000, repeat=7):
    return min(timeit.repeat(stmt, globals=namespace, number=number, repeat=repeat)) / number * 1e9


def main():
    workdir = tempfile.mkdtemp(prefix='velmora-bench-')
    os.makedirs(os.path.join(workdir, 'data'))
    os.chdir(workdir)
    sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'fakehost'))
    import Velmora  # noqa: E402  (needs the fake host first)

    ns = {'V': Velmora, 'path_check': Velmora.path_check, 'name': '',
          'isinstance': isinstance, 'getattr': getattr, 'o': object()}
    version = '%d.%d' % sys.version_info[:2]
    rows = [
        ('Velmora.path_check("") positional', 'path_check(name)'),
        ('Velmora.path_check(path="") keyword', 'path_check(path=name)'),
        ('built-in isinstance(name, str)', 'isinstance(name, str)'),
        ('built-in getattr(o, "x", None)', 'getattr(o, "x", None)'),
    ]
    for label, stmt in rows:
        print('%s  %-40s %7.1f ns/call' % (version, label, best(stmt, ns)))


if __name__ == '__main__':
    main()
