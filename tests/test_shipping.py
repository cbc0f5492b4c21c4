"""Shipping: the wheel that pip builds offline for the interpreter under
test, installed into a fresh venv and imported there; and what
`cmake --install` lays out from the build under test.

The wheel is built from a fresh copy of the tracked sources, as a clone
holds them, made by the backend's own source archive (so edits not yet
committed are built too, and an untracked file the build needs is missed
as a clone would miss it).
"""
import csv
import glob
import hashlib
import base64
import io
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import unittest
import zipfile

import support

ROOT = os.path.dirname(support.HERE)
EXT_SUFFIX = sysconfig.get_config_var('EXT_SUFFIX')
MODULE_FILE = 'Velmora' + EXT_SUFFIX
RECORD_FILE = 'Velmora' + EXT_SUFFIX[:-len('.so')] + '.json'
MYPY = ['/usr/bin/python3', '-m', 'mypy']
SETTING_ROOT = 'https://setting.cloud.test'
ENV_ROOT = 'https://env.cloud.test'


def project_version():
    with open(os.path.join(ROOT, 'CMakeLists.txt'), encoding='utf-8') as f:
        return re.search(r'project\(Velmora VERSION (\S+)', f.read()).group(1)


def wheel_tag():
    abi = EXT_SUFFIX.split('-')[1]  # ".cpython-37m-x86_64..." -> "37m"
    platform = re.sub(r'[-.]', '_', sysconfig.get_platform())
    return 'cp%d%d-cp%s-%s' % (sys.version_info[:2] + (abi, platform))


def clean_env(**extra):
    """The environment of a program that must not see the test's own
    module folder or sanitizer runtime."""
    env = support.tool_env()
    for key in ('PYTHONPATH', 'VELMORA_CLOUD_ROOT'):
        env.pop(key, None)
    env.update(extra)
    return env


def run(cmd, **kwargs):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       universal_newlines=True, timeout=600, **kwargs)
    if r.returncode != 0:
        raise AssertionError('%s failed (%d):\n%s' % (' '.join(cmd), r.returncode, r.stdout))
    return r.stdout


def runpath_entries(library):
    out = run(['readelf', '-d', library], env=support.tool_env())
    return [line for line in out.splitlines() if '(RPATH)' in line or '(RUNPATH)' in line]


def import_with_test_host(python, pythonpath, cwd):
    """Imports Velmora with the test host's `public` in a fresh `python`;
    returns what it reports as a dict."""
    os.makedirs(os.path.join(cwd, 'data'), exist_ok=True)
    code = ('import json, public, Velmora\n'
            'print(json.dumps({"file": Velmora.__file__, '
            '"urls": [a[0] for a in public.calls_of("HttpGet")], '
            '"checked": Velmora.path_check("site")}))\n')
    env = clean_env(PYTHONPATH=os.pathsep.join(pythonpath), PYTHONNOUSERSITE='1',
                    PYTHONDONTWRITEBYTECODE='1')
    if support.SANITIZED:  # the module needs its runtime preloaded
        env = dict(os.environ, PYTHONPATH=env['PYTHONPATH'])
    out = run([python, '-c', code], cwd=cwd, env=env)
    return json.loads(out.splitlines()[-1])


def have_mypy():
    return os.path.exists(MYPY[0]) and subprocess.run(
        MYPY + ['--version'], env=clean_env(), stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL).returncode == 0


def pip_version():
    r = subprocess.run([sys.executable, '-m', 'pip', '--version'], env=clean_env(),
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                       universal_newlines=True)
    m = re.match(r'pip (\d+)\.(\d+)', r.stdout)
    return (int(m.group(1)), int(m.group(2))) if r.returncode == 0 and m else None


@unittest.skipIf(support.SANITIZED,
                 'a wheel holds a release build of its own; the release build runs this')
class WheelTests(unittest.TestCase):
    """One wheel for this interpreter: pip wheel from a fresh copy of the
    sources with no index, then pip install into a fresh venv."""

    @classmethod
    def setUpClass(cls):
        cls.pip = pip_version()
        if cls.pip is None:
            raise unittest.SkipTest('this interpreter has no pip')
        cls.tmp = tempfile.TemporaryDirectory(prefix='velmora-wheel-test-')
        tmp = cls.tmp.name
        # pip learned --config-settings in 22.1; before that only the
        # environment variable can set the cloud root.  Where both are
        # given, the setting wins.
        cls.has_settings = cls.pip >= (22, 1)
        cls.cloud_root = SETTING_ROOT if cls.has_settings else ENV_ROOT

        sys.path.insert(0, os.path.join(ROOT, 'backend'))
        import velmora_build
        sdist = velmora_build.build_sdist(os.path.join(tmp, 'sdist'))
        cls.sdist = os.path.join(tmp, 'sdist', sdist)
        with tarfile.open(cls.sdist) as tar:
            cls.sdist_names = tar.getnames()
            # Only 3.12 and later can be told the archive is plain data.
            kwargs = {'filter': 'data'} if hasattr(tarfile, 'data_filter') else {}
            tar.extractall(os.path.join(tmp, 'src'), **kwargs)
        src = os.path.join(tmp, 'src', sdist[:-len('.tar.gz')])

        cmd = [sys.executable, '-m', 'pip', 'wheel', src, '--no-index', '--no-deps',
               '--no-cache-dir', '--disable-pip-version-check', '-w', os.path.join(tmp, 'wheels')]
        if cls.has_settings:
            cmd += ['--config-settings', 'cloud-root=' + SETTING_ROOT]
        cls.pip_output = run(cmd, cwd=tmp, env=clean_env(VELMORA_CLOUD_ROOT=ENV_ROOT))
        wheels = glob.glob(os.path.join(tmp, 'wheels', '*.whl'))
        if len(wheels) != 1:
            raise AssertionError('expected one wheel: %r\n%s' % (wheels, cls.pip_output))
        cls.wheel = wheels[0]

        cls.venv = os.path.join(tmp, 'venv')
        run([sys.executable, '-m', 'venv', cls.venv], env=clean_env())
        cls.venv_python = os.path.join(cls.venv, 'bin', 'python')
        # The wheel asks for pycryptodome, which no index can supply here.
        cls.install = [cls.venv_python, '-m', 'pip', 'install', '--no-index', '--no-cache-dir',
                       '--disable-pip-version-check', cls.wheel]
        run(cls.install + ['--no-deps'], env=clean_env())

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def read(self, name):
        with zipfile.ZipFile(self.wheel) as zf:
            return zf.read(name)

    def test_name_and_tags_are_this_interpreters(self):
        version = project_version()
        self.assertEqual(os.path.basename(self.wheel),
                         'velmora-%s-%s.whl' % (version, wheel_tag()))
        known = {(3, 7): '-cp37-cp37m-', (3, 12): '-cp312-cp312-'}
        if sys.version_info[:2] in known:
            self.assertIn(known[sys.version_info[:2]], os.path.basename(self.wheel))
        wheel = self.read('velmora-%s.dist-info/WHEEL' % version).decode()
        self.assertIn('Tag: %s\n' % wheel_tag(), wheel)
        self.assertIn('Root-Is-Purelib: false\n', wheel)

    def test_contents_metadata_and_record(self):
        dist_info = 'velmora-%s.dist-info' % project_version()
        with zipfile.ZipFile(self.wheel) as zf:
            names = zf.namelist()
            blobs = {n: zf.read(n) for n in names}
        self.assertEqual(sorted(names), sorted([
            MODULE_FILE, 'Velmora.pyi', 'Velmora-stubs/__init__.pyi',
            dist_info + '/' + RECORD_FILE, dist_info + '/LICENSE',
            dist_info + '/METADATA', dist_info + '/WHEEL', dist_info + '/RECORD']))

        with open(os.path.join(ROOT, 'stubs', 'Velmora.pyi'), 'rb') as f:
            stub = f.read()
        self.assertEqual(blobs['Velmora.pyi'], stub)
        self.assertEqual(blobs['Velmora-stubs/__init__.pyi'], stub)

        meta = blobs[dist_info + '/METADATA'].decode()
        fields = dict(line.split(': ', 1) for line in meta.splitlines() if ': ' in line)
        self.assertEqual([line for line in meta.splitlines() if line.startswith('Requires-Dist:')],
                         ['Requires-Dist: pycryptodome'])
        self.assertEqual(fields['Name'], 'Velmora')
        self.assertEqual(fields['Version'], project_version())
        self.assertEqual(fields['License'], 'MIT')
        self.assertEqual(fields['Requires-Python'], '>=3.7')
        self.assertTrue(fields['Summary'])
        self.assertIn(b'MIT License', blobs[dist_info + '/LICENSE'])

        rows = list(csv.reader(io.StringIO(blobs[dist_info + '/RECORD'].decode())))
        self.assertEqual(sorted(r[0] for r in rows), sorted(names))
        for name, digest, size in rows:
            if name == dist_info + '/RECORD':
                self.assertEqual((digest, size), ('', ''))
                continue
            expected = base64.urlsafe_b64encode(
                hashlib.sha256(blobs[name]).digest()).rstrip(b'=').decode()
            self.assertEqual(digest, 'sha256=' + expected, name)
            self.assertEqual(int(size), len(blobs[name]), name)

    def test_build_record_and_cloud_root(self):
        dist_info = 'velmora-%s.dist-info' % project_version()
        record = json.loads(self.read(dist_info + '/' + RECORD_FILE).decode())
        self.assertEqual(record['version'], project_version())
        self.assertEqual(record['interpreter'], 'CPython %d.%d' % sys.version_info[:2])
        self.assertEqual(record['module'], MODULE_FILE)
        self.assertEqual(record['cloud_root'], self.cloud_root)
        self.assertEqual(record['build_type'], 'Release')
        self.assertIs(record['sanitized'], False)

    def test_no_search_path_in_the_packed_module(self):
        with tempfile.TemporaryDirectory() as tmp:
            with zipfile.ZipFile(self.wheel) as zf:
                library = zf.extract(MODULE_FILE, tmp)
            self.assertEqual(runpath_entries(library), [])

    def test_offline_install_needs_no_deps(self):
        # What the README's offline commands rely on: without --no-deps pip
        # looks for the declared cipher library, finds no index and installs
        # nothing.
        r = subprocess.run(self.install, env=clean_env(), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)
        self.assertNotEqual(r.returncode, 0, r.stdout)
        self.assertIn('pycryptodome', r.stdout)

    def test_source_archive_holds_tracked_sources_only(self):
        base = os.path.basename(self.sdist)[:-len('.tar.gz')] + '/'
        self.assertTrue(all(n.startswith(base) for n in self.sdist_names))
        rel = {n[len(base):] for n in self.sdist_names}
        for needed in ('PKG-INFO', 'pyproject.toml', 'CMakeLists.txt', 'LICENSE',
                       'backend/velmora_build.py', 'stubs/Velmora.pyi'):
            self.assertIn(needed, rel)
        self.assertFalse([n for n in rel if n.startswith(('build/', 'build-', '.git/'))])
        with tarfile.open(self.sdist) as tar:
            pkg_info = tar.extractfile(base + 'PKG-INFO').read().decode()
        self.assertIn('\nRequires-Dist: pycryptodome\n', pkg_info)

    def test_installed_module_imports_in_the_venv(self):
        with tempfile.TemporaryDirectory() as cwd:
            seen = import_with_test_host(self.venv_python, [support.FAKEHOST], cwd)
        site = run([self.venv_python, '-c', 'import sysconfig; print(sysconfig.get_paths()["platlib"])'],
                   env=clean_env()).strip()
        self.assertEqual(os.path.realpath(seen['file']),
                         os.path.realpath(os.path.join(site, MODULE_FILE)))
        self.assertEqual(seen['urls'], [self.cloud_root + '/api/panel/getSoftList'])
        self.assertIs(seen['checked'], True)

    @unittest.skipUnless(have_mypy(), "needs Debian's python3-mypy")
    def test_type_checker_finds_the_installed_stub(self):
        with tempfile.TemporaryDirectory() as tmp:
            caller = os.path.join(tmp, 'caller.py')
            with open(caller, 'w') as f:
                f.write('import Velmora\nVelmora.path_check(1)\n')
            r = subprocess.run(
                MYPY + ['--python-version', '3.7',
                 '--python-executable', self.venv_python, '--no-incremental',
                 '--no-error-summary', 'caller.py'],
                # mypy asks the venv's interpreter for its folders by running
                # a script from mypy's own folder, whose types.py would shadow
                # the standard one there unless the script's folder stays off
                # sys.path (3.11 and later honour this; 3.7 needs no help).
                cwd=tmp, env=clean_env(PYTHONSAFEPATH='1'), stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, universal_newlines=True)
        self.assertEqual(r.stdout.splitlines(), [
            'caller.py:2: error: Argument 1 to "path_check" has incompatible type "int"; '
            'expected "str"  [arg-type]'])


class ReadmeCommandTests(unittest.TestCase):
    """The README's pip commands as a reader would paste them."""

    def test_offline_pip_commands_skip_the_declared_dependency(self):
        with open(os.path.join(ROOT, 'README.md'), encoding='utf-8') as f:
            commands = [line.strip() for line in f
                        if line.startswith('    ') and re.search(r'-m pip (install|wheel)\b', line)]
        self.assertGreaterEqual(len(commands), 3)
        for command in commands:
            with self.subTest(command=command):
                if '--no-index' in command:
                    self.assertIn('--no-deps', command)
                # A bare python3.X is often a pyenv shim that needs `pyenv init`.
                self.assertNotRegex(command, r'^python3\.\d+ ')


@support.native_only('cmake --install lays out the built modules')
class InstallTests(unittest.TestCase):
    """cmake --install for this interpreter's component of the build under
    test: module, build record and stub together in one folder."""

    @classmethod
    def setUpClass(cls):
        cls.build_dir = os.path.dirname(support.MODULE_DIR)
        cache = {}
        with open(os.path.join(cls.build_dir, 'CMakeCache.txt'), encoding='utf-8') as f:
            for line in f:
                m = re.match(r'([A-Za-z_0-9]+):[A-Z]+=(.*)$', line.rstrip('\n'))
                if m:
                    cache[m.group(1)] = m.group(2)
        cls.cache = cache
        cls.tmp = tempfile.TemporaryDirectory(prefix='velmora-install-test-')
        cls.prefix = os.path.join(cls.tmp.name, 'prefix')
        cls.output = run([cache['CMAKE_COMMAND'], '--install', cls.build_dir,
                          '--component', os.path.basename(support.MODULE_DIR),
                          '--prefix', cls.prefix], env=support.tool_env())
        cls.folder = os.path.join(cls.prefix, cache['VELMORA_INSTALL_DIR'])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_layout(self):
        self.assertEqual(self.cache['VELMORA_INSTALL_DIR'], 'lib/velmora')
        self.assertEqual(sorted(os.listdir(self.folder)),
                         sorted([MODULE_FILE, RECORD_FILE, 'Velmora.pyi']))
        with open(os.path.join(self.folder, RECORD_FILE), encoding='utf-8') as f:
            record = json.load(f)
        self.assertEqual(record['version'], project_version())
        self.assertEqual(record['module'], MODULE_FILE)
        self.assertEqual(record['cloud_root'], self.cache['VELMORA_CLOUD_ROOT'])
        self.assertEqual(record['build_type'], self.cache['CMAKE_BUILD_TYPE'])
        self.assertIs(record['sanitized'], support.SANITIZED)

    def test_installed_module_has_no_search_path_and_imports(self):
        installed = os.path.join(self.folder, MODULE_FILE)
        self.assertEqual(runpath_entries(installed), [])
        with tempfile.TemporaryDirectory() as cwd:
            seen = import_with_test_host(sys.executable, [self.folder, support.FAKEHOST], cwd)
        self.assertEqual(seen['file'], installed)


if __name__ == '__main__':
    unittest.main()
