"""The project's own tooling: finding the interpreters at configure time,
what the build makes (search paths, Py_DEBUG as the interpreter has it), the
unittest counts behind the test command's closing lines, and the early stop
when the plugin root cannot be written."""
import glob
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import unittest

import support

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPTS = os.path.join(ROOT, 'scripts')
MODULE = os.path.join(support.MODULE_DIR, 'Velmora' + sysconfig.get_config_var('EXT_SUFFIX'))


class ToolingCase(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix='velmora-tooling-')
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def run_tool(self, argv, **kw):
        # Shell tools and CMake run without the sanitizer runtime preloaded.
        env = support.tool_env()
        env.update(kw.pop('env', {}))
        return subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=300, **kw)


class ConfigureTest(ToolingCase):
    @unittest.skipUnless(shutil.which('cmake'), 'needs cmake')
    def test_two_interpreters_of_one_minor_version(self):
        # The same interpreter named twice is the plainest such pair.
        done = self.run_tool(['cmake', '-S', ROOT, '-B', os.path.join(self.tmp, 'build'),
                              '-DVELMORA_PYTHONS=%s;%s' % (sys.executable, sys.executable)])
        self.assertNotEqual(done.returncode, 0)
        message = ' '.join(done.stderr.split())
        self.assertIn('VELMORA_PYTHONS names two CPython %d.%d interpreters'
                      % sys.version_info[:2], message)
        self.assertIn('name one interpreter per minor version', message)


    @unittest.skipUnless(shutil.which('cmake'), 'needs cmake')
    def test_interpreters_found_under_pyenv(self):
        # A pyenv versions folder holding this interpreter under two patch
        # releases: the newer by number wins (10 after 9).
        minor = '%d.%d' % sys.version_info[:2]
        pyenv = os.path.join(self.tmp, 'pyenv')
        for patch in ('9', '10'):
            bin_dir = os.path.join(pyenv, 'versions', '%s.%s' % (minor, patch), 'bin')
            os.makedirs(bin_dir)
            os.symlink(sys.executable, os.path.join(bin_dir, 'python' + minor))
        newest = os.path.join(pyenv, 'versions', minor + '.10', 'bin', 'python' + minor)

        def configure(minors, required):
            return self.run_tool(['cmake', '-S', ROOT, '-B', os.path.join(self.tmp, 'build'),
                                  '-DVELMORA_PYTHONS=', '-DVELMORA_PYTHON_MINORS=' + minors,
                                  '-DVELMORA_REQUIRED_MINORS=' + required],
                                 env={'PYENV_ROOT': pyenv})

        # One that is not there and not required is named, and skipped.
        done = configure('%s;3.98' % minor, minor)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('CPython 3.98 not found (pyenv, PATH); not built for', done.stderr)
        self.assertIn('CPython %s: %s -> ' % (minor, newest), done.stdout)
        with open(os.path.join(self.tmp, 'build', 'interpreters.txt')) as f:
            self.assertEqual([line.split()[1] for line in f], [newest])

        # One that is required stops configure, saying which and how to go on.
        done = configure('%s;3.99' % minor, '%s;3.99' % minor)
        self.assertNotEqual(done.returncode, 0)
        message = ' '.join(done.stderr.split())
        self.assertIn('CPython 3.99 is required but was found neither', message)
        self.assertIn('-DVELMORA_PYTHONS=', message)


def built_modules():
    """Every module the build under test made: one folder per interpreter
    beside the one this suite imports from."""
    if not support.MODULE_DIR:
        return []
    build = os.path.dirname(support.MODULE_DIR)
    return sorted(glob.glob(os.path.join(build, 'py*', 'Velmora.*.so')))


def dynamic_section(library):
    return subprocess.run(['readelf', '-d', library], env=support.tool_env(),
                          stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout


@unittest.skipUnless(support.MODULE_DIR, 'needs the build under test (VELMORA_MODULE_DIR)')
class BuiltModulesTest(unittest.TestCase):
    def test_no_empty_search_path_entry(self):
        # An empty entry in RUNPATH or RPATH (":/lib", "/lib:", "a::b") makes
        # the loader search the folder the process happens to run in.
        modules = built_modules()
        self.assertIn(MODULE, modules)
        for module in modules:
            for line in dynamic_section(module).splitlines():
                if '(RUNPATH)' in line or '(RPATH)' in line:
                    entries = line.split('[', 1)[1].rsplit(']', 1)[0].split(':')
                    self.assertNotIn('', entries, '%s: %s' % (module, line.strip()))

    def test_compiled_with_py_debug_exactly_when_the_interpreter_was(self):
        # Reference counting of a Py_DEBUG compile reports a negative count
        # through the interpreter; a release compile has no such call.  A
        # module that disagrees with its interpreter on Py_DEBUG misreads
        # every object it is handed.
        undefined = subprocess.run(
            ['nm', '-D', '--undefined-only', MODULE],
            env=support.tool_env(), stdout=subprocess.PIPE, universal_newlines=True,
            check=True).stdout
        names = {line.split()[-1].split('@')[0] for line in undefined.splitlines() if line.strip()}
        self.assertEqual('_Py_NegativeRefcount' in names, hasattr(sys, 'gettotalrefcount'))


SYNTHETIC = '''\
import unittest


class Outcomes(unittest.TestCase):
    def test_passes(self): pass
    def test_fails(self): self.fail('no')
    def test_errors(self): raise RuntimeError('no')
    @unittest.skip('not here')
    def test_skipped(self): pass
    @unittest.expectedFailure
    def test_expected_failure(self): self.fail('known')
    @unittest.expectedFailure
    def test_unexpected_success(self): pass


class BrokenFixture(unittest.TestCase):
    @classmethod
    def setUpClass(cls): raise RuntimeError('fixture')
    def test_never_runs(self): pass
'''


class CountsTest(ToolingCase):
    def suite(self, name, body):
        with open(os.path.join(self.tmp, name + '.py'), 'w') as f:
            f.write(textwrap.dedent(body))
        return subprocess.run(
            [sys.executable, os.path.join(ROOT, 'tests', 'suite_runner.py'), name],
            cwd=self.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, timeout=120,
            env=dict(os.environ, PYTHONPATH=self.tmp, VELMORA_COUNTS_DIR=self.counts))

    def setUp(self):
        super().setUp()
        self.counts = os.path.join(self.tmp, 'counts')

    def read(self, name):
        tag = 'py%d%d' % sys.version_info[:2]
        with open(os.path.join(self.counts, '%s.%s' % (tag, name))) as f:
            return f.read()

    def test_counts_from_unittest_to_the_closing_lines(self):
        version = '%d.%d' % sys.version_info[:2]
        done = self.suite('synthetic_outcomes', SYNTHETIC)
        self.assertEqual(done.returncode, 1)
        self.assertIn('test_passes (', done.stderr)   # verbose, as -m unittest -v
        # Passed: one plus the expected failure.  Failed: the failure, the
        # error, the unexpected success and the class fixture.
        self.assertEqual(self.read('synthetic_outcomes'), '%s 2 4 1\n' % version)
        # A suite that cannot be imported is a failed test, as under
        # -m unittest; one that dies midway leaves only its start behind.
        self.assertEqual(self.suite('synthetic_unimportable', 'import velmora_nowhere\n')
                         .returncode, 1)
        self.assertEqual(self.read('synthetic_unimportable'), '%s 0 1 0\n' % version)
        died = self.suite('synthetic_dies', '''\
            import os, unittest
            class Dies(unittest.TestCase):
                def test_exit(self): os._exit(3)
            ''')
        self.assertEqual(died.returncode, 3)
        self.assertEqual(self.read('synthetic_dies'), 'started\n')

        done = self.run_tool([os.path.join(SCRIPTS, 'test-counts.sh'), 'release', self.counts])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, 'release %s: 2 passed, 5 failed, 1 skipped; '
                                      'no result from synthetic_dies\n' % version)

        # The sum over the builds: the suite without counts and a build where
        # no suite ran count as failed.
        empty = os.path.join(self.tmp, 'empty')
        os.mkdir(empty)
        none = self.run_tool([os.path.join(SCRIPTS, 'test-counts.sh'), 'debug', empty])
        self.assertEqual(none.stdout, 'debug: no unittest counts (no suite ran)\n')
        total = self.run_tool([os.path.join(SCRIPTS, 'test-counts.sh'), '--total'],
                              input=done.stdout + done.stdout + none.stdout)
        self.assertEqual((total.returncode, total.stdout), (0, '4 passed, 13 failed\n'))


class PluginRootCheckTest(ToolingCase):
    def test_check(self):
        check = os.path.join(SCRIPTS, 'check-plugin-root.sh')
        # A root that can be made passes, and what the check made is gone.
        done = self.run_tool([check, os.path.join(self.tmp, 'www', 'server', 'plugin')])
        self.assertEqual((done.returncode, done.stderr), (0, ''))
        self.assertEqual(os.listdir(self.tmp), [])

        # One below a regular file cannot be made: one sentence, status 1.
        open(os.path.join(self.tmp, 'file'), 'w').close()
        blocked = os.path.join(self.tmp, 'file', 'plugin')
        done = self.run_tool([check, blocked])
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.count('\n'), 1)
        self.assertIn('install sample plugins under %s, which this user cannot create or '
                      'write to' % blocked, done.stderr)
        self.assertEqual(os.listdir(self.tmp), ['file'])


if __name__ == '__main__':
    unittest.main()
