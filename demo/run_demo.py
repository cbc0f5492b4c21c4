"""The demo driver: starts the loopback catalogue server, runs demo/demo.py
under every interpreter the build made a module for, shows that the builds
read each other's database cipher texts, and stops the server.

Usage: run_demo.py [-v] [BUILD_DIR]

Prints a summary, one line per section and interpreter and one for the
crossover; -v prints every call and its result as well.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEMO = os.path.join(ROOT, 'demo')
DEVHOST = os.path.join(ROOT, 'devhost')
sys.path.insert(0, DEVHOST)
import catalogue_server  # noqa: E402

FIELD = 'mysql password: s3cret-\u5bc6\u7801\nline two'


def interpreters(build_dir):
    with open(os.path.join(build_dir, 'interpreters.txt')) as f:
        return [line.split() for line in f if line.strip()]


def version(tag):
    """'py312' -> '3.12'."""
    return '%s.%s' % (tag[2], tag[3:])


def environment(build_dir, module_dir, url, workdir):
    env = dict(os.environ)
    env['PYTHONPATH'] = os.pathsep.join(
        [module_dir, DEVHOST, DEMO, os.path.join(build_dir, 'site')])
    env['PYTHONDONTWRITEBYTECODE'] = '1'
    env['VELMORA_CLOUD_OVERRIDE'] = url
    env['VELMORA_PANEL_PATH'] = os.path.join(workdir, 'panel')
    env['VELMORA_CLASS_PATH'] = os.path.join(workdir, 'panel', 'class')
    return env


def main(build_dir, verbose):
    builds = interpreters(build_dir)
    print('built for %d interpreters: %s (%s)'
          % (len(builds), ', '.join(version(tag) for tag, _, _ in builds),
             os.path.join(build_dir, 'interpreters.txt')))
    server, url = catalogue_server.start(lifetime=600)
    failed = False
    try:
        print('loopback catalogue server at %s%s'
              % (url, '' if verbose else '; -v shows every call and its result'))
        with tempfile.TemporaryDirectory(prefix='velmora-demo-') as workdir:
            os.makedirs(os.path.join(workdir, 'data'))
            os.makedirs(os.path.join(workdir, 'panel', 'data'))
            envs = {}
            for tag, python, module_dir in builds:
                envs[tag] = (python, environment(build_dir, module_dir, url, workdir))
                print()
                sys.stdout.flush()
                r = subprocess.run([python, os.path.join(DEMO, 'demo.py')] +
                                   (['-v'] if verbose else []), cwd=workdir, env=envs[tag][1])
                failed |= r.returncode != 0
            if len(builds) > 1:
                print()
                failed |= not cross_check(builds, envs, workdir, verbose)
    finally:
        server.terminate()
        server.wait()
        server.stdout.close()
    return 1 if failed else 0


def cross_check(builds, envs, workdir, verbose):
    """Every build encrypts the field once, and decrypts the others' cipher
    texts in one go: the builds share one panel root and so one IV."""
    cross = os.path.join(DEMO, 'cross_build.py')

    def call(tag, *args):
        python, env = envs[tag]
        done = subprocess.run([python, cross] + list(args), cwd=workdir, env=env,
                              stdout=subprocess.PIPE, universal_newlines=True)
        try:
            return done.returncode, json.loads(done.stdout)
        except ValueError:
            return 1, None

    ciphers = {}
    for tag, _, _ in builds:
        code, cipher = call(tag, '--encrypt', FIELD)
        ciphers[tag] = cipher if code == 0 else None
        if verbose:
            print('%-6s encrypts %r' % (tag, FIELD))
            print('       -> %r' % (cipher,))
    pairs = same = 0
    for reader, _, _ in builds:
        writers = [tag for tag, _, _ in builds if tag != reader]
        texts = [ciphers[w] for w in writers]
        if None in texts:
            code, plains = 1, [None] * len(writers)
        else:
            code, plains = call(reader, '--decrypt', *texts)
            if code != 0 or not isinstance(plains, list) or len(plains) != len(writers):
                plains = [None] * len(writers)
        for writer, plain in zip(writers, plains):
            pairs += 1
            same += plain == FIELD
            if verbose:
                print('%-6s decrypts %-6s: %r  [%s]'
                      % (reader, writer + "'s", plain, 'same' if plain == FIELD else 'DIFFERENT'))
    if verbose:
        print()
    print('crossover    %s: %d of %d pairs: each build decrypts the fields the other %d encrypted'
          % ('ok' if same == pairs else 'FAILED', same, pairs, len(builds) - 1))
    return same == pairs


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('-v', '--verbose', action='store_true')
    parser.add_argument('build_dir', nargs='?', default=os.path.join(ROOT, 'build'))
    options = parser.parse_args()
    sys.exit(main(os.path.abspath(options.build_dir), options.verbose))
