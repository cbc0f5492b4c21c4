"""Cost of one plugin_run call on each of its paths.

Installs two throw-away plugins under the plugin root (a source one and a
compiled one), times the calls with timeit (minimum of several repeats) and
removes everything again.  Prints one line per figure.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = '/www/server/panel/plugin'
SO_SUFFIX = '_main.cpython-37m-x86_64-linux-gnu.so'


class Request:
    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __contains__(self, key):
        return key in self.__dict__


def main():
    workdir = tempfile.mkdtemp(prefix='velmora-bench-')
    os.makedirs(os.path.join(workdir, 'data'))
    os.chdir(workdir)
    sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'fakehost'))
    import Velmora  # noqa: E402  (needs the fake host first)

    chain, path = [], ROOT
    while path not in ('/', ''):
        if not os.path.isdir(path):
            chain.append(path)
        path = os.path.dirname(path)
    tag = '%d' % os.getpid()
    source, compiled = 'vb_source_' + tag, 'vb_compiled_' + tag
    folders = [os.path.join(ROOT, source), os.path.join(ROOT, compiled)]
    try:
        for folder in folders:
            os.makedirs(folder)
        with open(os.path.join(folders[0], source + '_main.py'), 'w') as f:
            f.write('class %s_main:\n    def run(self, args):\n        return 1\n' % source)
        library = os.path.join(workdir, 'lib.so')
        env = {k: v for k, v in os.environ.items() if k not in ('LD_PRELOAD', 'PYTHONMALLOC')}
        subprocess.run([os.environ.get('VELMORA_CC') or 'cc', '-shared', '-fPIC', '-o', library,
                        os.path.join(HERE, '..', 'tests', 'data', 'compiled_plugin.c')],
                       check=True, env=env)
        shutil.copyfile(library, os.path.join(folders[1], compiled + SO_SUFFIX))

        run = Velmora.plugin_run
        cases = [
            ('source entry, operation called', lambda: run(source, 'run', Request())),
            ('source entry, fetch only', lambda: run(source, 'run', Request(plugin_get_object=1))),
            ('compiled entry, operation called',
             lambda: run(compiled, 'twice', Request(_as_parameter_=2))),
            ('no entry file', lambda: run('vb_absent_' + tag, 'run', Request())),
            ('name refused', lambda: run('../x', 'run', Request())),
        ]
        number = 200
        for label, call in cases:
            best = min(timeit.repeat(call, number=number, repeat=5)) / number
            print('plugin_run %-34s %9.1f us/call' % (label + ':', best * 1e6))
    finally:
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)
        for path in chain:
            try:
                os.rmdir(path)
            except OSError:
                pass
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == '__main__':
    main()
