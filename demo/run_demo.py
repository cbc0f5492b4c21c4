"""The demo driver: starts the loopback catalogue server, runs demo/demo.py
under every interpreter the build made a module for, shows that the builds
read each other's database cipher texts, and stops the server.

Usage: run_demo.py BUILD_DIR
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEMO = os.path.join(ROOT, 'demo')
DEVHOST = os.path.join(ROOT, 'devhost')
sys.path.insert(0, DEVHOST)
import catalogue_server  # noqa: E402


def interpreters(build_dir):
    with open(os.path.join(build_dir, 'interpreters.txt')) as f:
        return [line.split() for line in f if line.strip()]


def environment(build_dir, module_dir, url, workdir):
    env = dict(os.environ)
    env['PYTHONPATH'] = os.pathsep.join(
        [module_dir, DEVHOST, DEMO, os.path.join(build_dir, 'site')])
    env['PYTHONDONTWRITEBYTECODE'] = '1'
    env['VELMORA_CLOUD_OVERRIDE'] = url
    env['VELMORA_PANEL_PATH'] = os.path.join(workdir, 'panel')
    env['VELMORA_CLASS_PATH'] = os.path.join(workdir, 'panel', 'class')
    return env


def main(build_dir):
    builds = interpreters(build_dir)
    server, url = catalogue_server.start(lifetime=600)
    failed = False
    try:
        print('loopback catalogue server at %s' % url)
        with tempfile.TemporaryDirectory(prefix='velmora-demo-') as workdir:
            os.makedirs(os.path.join(workdir, 'data'))
            os.makedirs(os.path.join(workdir, 'panel', 'data'))
            envs = {}
            for tag, python, module_dir in builds:
                envs[tag] = (python, environment(build_dir, module_dir, url, workdir))
                print()
                r = subprocess.run([python, os.path.join(DEMO, 'demo.py')],
                                   cwd=workdir, env=envs[tag][1])
                failed |= r.returncode != 0
            cross = os.path.join(DEMO, 'cross_build.py')
            if os.path.exists(cross) and len(builds) > 1:
                print()
                print('=' * 72)
                print('Both builds share one panel root: cipher texts cross over')
                print('=' * 72)
                failed |= not cross_check(builds, envs, workdir, cross)
    finally:
        server.terminate()
        server.wait()
        server.stdout.close()
    return 1 if failed else 0


def cross_check(builds, envs, workdir, cross):
    field = 'mysql password: s3cret-\u5bc6\u7801\nline two'
    ok = True
    for writer_tag, _, _ in builds:
        for reader_tag, _, _ in builds:
            if writer_tag == reader_tag:
                continue
            wpy, wenv = envs[writer_tag]
            rpy, renv = envs[reader_tag]
            enc = subprocess.run([wpy, cross, '--encrypt', field], cwd=workdir, env=wenv,
                                 stdout=subprocess.PIPE, universal_newlines=True)
            cipher = enc.stdout.rstrip('\n')
            dec = subprocess.run([rpy, cross, '--decrypt', cipher], cwd=workdir, env=renv,
                                 stdout=subprocess.PIPE, universal_newlines=True)
            plain = dec.stdout.rstrip('\n')
            same = enc.returncode == 0 and dec.returncode == 0 and plain == field
            ok &= same
            print('%-6s encrypts %r' % (writer_tag, field))
            print('       -> %s' % cipher.replace('\n', '\n          '))
            print('%-6s decrypts it: %r  [%s]' % (reader_tag, plain, 'same' if same else 'DIFFERENT'))
    return ok


if __name__ == '__main__':
    sys.exit(main(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build'))))
