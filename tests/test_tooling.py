"""The project's own tooling: the configure check on VELMORA_PYTHONS, the
unittest counts behind the test command's closing lines, and the early stop
when the plugin root cannot be written."""
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

import support

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPTS = os.path.join(ROOT, 'scripts')


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
