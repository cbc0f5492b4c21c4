"""scripts/devhost end to end: each case runs the tool in a child process,
with the interpreter and module build under test (VELMORA_MODULE_DIR and
VELMORA_PYTHON, as CTest sets them, so the tool builds nothing).

Plugins are uniquely named working copies in a temporary folder; the tool
links them into /www/server/panel/plugin for the run, and every case checks
that the link is gone afterwards.
"""
import importlib.machinery
import importlib.util
import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import support

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, 'scripts', 'devhost')
PLUGIN_ROOT = support.PLUGIN_ROOT
_serial = itertools.count()


def setUpModule():
    # Held for the whole module, through the suites' shared record of the
    # root folders that runs created: the tool then neither makes nor
    # removes the root under the feet of a plugin suite running meanwhile.
    support.make_plugin_folder(os.path.join(PLUGIN_ROOT, 'velmora_cli_%d' % os.getpid()))


def tearDownModule():
    os.rmdir(os.path.join(PLUGIN_ROOT, 'velmora_cli_%d' % os.getpid()))
    support.remove_plugin_root()


def load_tool():
    """scripts/devhost as a module (it has no .py suffix)."""
    loader = importlib.machinery.SourceFileLoader('devhost_tool', TOOL)
    spec = importlib.util.spec_from_loader('devhost_tool', loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def tool_environment():
    env = dict(os.environ)
    for key in ('VELMORA_CLOUD_OVERRIDE', 'VELMORA_CATALOGUE_FILE', 'VELMORA_CLASS_PATH',
                'VELMORA_DEVHOST_MOVED'):
        env.pop(key, None)
    env['VELMORA_PYTHON'] = sys.executable
    env['PYTHONDONTWRITEBYTECODE'] = '1'
    return env


class ToolCase(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix='velmora-devhost-cli-')
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def plugin(self, body):
        """A working copy named uniquely, holding its entry file; `body` may
        use {name} for the plugin's name."""
        name = 'velmora_cli_%d_%d' % (os.getpid(), next(_serial))
        folder = os.path.join(self.tmp, name)
        os.mkdir(folder)
        with open(os.path.join(folder, name + '_main.py'), 'w', encoding='utf-8') as f:
            f.write(textwrap.dedent(body).replace('{name}', name))
        self.addCleanup(lambda: self.assertNoLink(name))
        return name, folder

    def tool(self, *argv, timeout=120):
        done = subprocess.run([sys.executable, TOOL] + list(argv), cwd=self.tmp,
                              env=tool_environment(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        out, err = done.stdout.decode('utf-8'), done.stderr.decode('utf-8', 'replace')
        return done.returncode, out, err

    def assertNoLink(self, name):
        self.assertFalse(os.path.lexists(os.path.join(PLUGIN_ROOT, name)))


class PluginTest(ToolCase):
    def test_operation_with_arguments(self):
        name, folder = self.plugin('''\
            print('printed by the import')

            class {name}_main:
                def greet(self, args):
                    print('printed by the operation')
                    return {'status': True, 'msg': '你好, ' + args.user,
                            'present': [k for k in ('user', 'count', 'empty', 'other')
                                        if k in args],
                            'count': args.count, 'empty': args.empty}
            ''')
        code, out, err = self.tool('plugin', folder, 'greet', 'user=管理员', 'count=42',
                                   'empty=')
        self.assertEqual(code, 0, err)
        # Standard output is the result alone, one line, not ASCII-escaped.
        self.assertEqual(out.count('\n'), 1)
        self.assertIn('你好, 管理员', out)
        self.assertEqual(json.loads(out), {
            'status': True, 'msg': '你好, 管理员',
            'present': ['user', 'count', 'empty'], 'count': '42', 'empty': ''})
        # The import's catalogue refresh was answered from catalogue.json,
        # and it and the plugin printed to standard error.
        self.assertIn('Updated plugin list:', err)
        self.assertIn('Notes board', err)
        self.assertIn('printed by the import', err)
        self.assertIn('printed by the operation', err)

    def test_failure_results_and_exceptions(self):
        name, folder = self.plugin('''\
            class {name}_main:
                def refuse(self, args):
                    return {'status': False, 'msg': 'disk full'}
                def odd(self, args):
                    return {1, 2}
                def explode(self, args):
                    raise ValueError('the operation broke')
            ''')
        code, out, _ = self.tool('plugin', folder, 'refuse')
        self.assertEqual((code, json.loads(out)), (1, {'status': False, 'msg': 'disk full'}))
        code, out, _ = self.tool('plugin', folder, 'absent')
        self.assertEqual((code, json.loads(out)['msg']),
                         (1, '在[%s]插件中找不到[absent]方法' % name))
        # Not JSON: its repr, and a plain result.
        self.assertEqual(self.tool('plugin', folder, 'odd')[:2], (0, '{1, 2}\n'))

        code, out, err = self.tool('plugin', folder, 'explode')
        self.assertEqual((code, out), (1, ''))
        self.assertIn('%s_main.py", line 7, in explode' % name, err)
        self.assertTrue(err.rstrip().endswith('ValueError: the operation broke'), err)
        self.assertNotIn('scripts/devhost', err)   # the tool's own frames are left out

    def test_entry_that_fails_to_import(self):
        name, folder = self.plugin('''\
            import os

            import velmora_no_such_module

            class {name}_main:
                pass
            ''')
        code, out, err = self.tool('plugin', folder, 'anything')
        self.assertEqual(code, 1)
        self.assertEqual(json.loads(out)['msg'],
                         "加载 Python 插件模块失败: No module named 'velmora_no_such_module'")
        entry = os.path.join(folder, name + '_main.py')
        self.assertIn('File "%s", line 3, in <module>' % entry, err)
        self.assertIn("ModuleNotFoundError: No module named 'velmora_no_such_module'", err)
        # The entry paths looked for, under the plugin root.
        self.assertIn('%s/%s/%s_main.py  [found]' % (PLUGIN_ROOT, name, name), err)
        self.assertIn('%s/%s/%s_main.cpython-37m-x86_64-linux-gnu.so  [missing]'
                      % (PLUGIN_ROOT, name, name), err)

    def test_clash_in_the_plugin_root_touches_nothing(self):
        name, folder = self.plugin('''\
            class {name}_main:
                def run(self, args):
                    return 'ran'
            ''')
        taken = os.path.join(PLUGIN_ROOT, name)
        os.mkdir(taken)
        self.addCleanup(shutil.rmtree, taken)
        with open(os.path.join(taken, 'keep.txt'), 'w') as f:
            f.write('installed')
        code, out, err = self.tool('plugin', folder, 'run')
        self.assertEqual((code, out), (2, ''))
        self.assertEqual(err.count('\n'), 1, err)
        self.assertIn(taken, err)
        self.assertFalse(os.path.islink(taken))
        self.assertEqual(os.listdir(taken), ['keep.txt'])

    def test_interrupt_removes_the_link(self):
        name, folder = self.plugin('''\
            import time

            class {name}_main:
                def wait(self, args):
                    open(args.marker, 'w').close()
                    time.sleep(60)
            ''')
        link = os.path.join(PLUGIN_ROOT, name)
        for signum, status in ((signal.SIGINT, 130), (signal.SIGTERM, 128 + signal.SIGTERM)):
            marker = os.path.join(self.tmp, 'running-%d' % signum)
            proc = subprocess.Popen([sys.executable, TOOL, 'plugin', folder, 'wait',
                                     'marker=' + marker], cwd=self.tmp, env=tool_environment(),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 60
                while not os.path.exists(marker) and proc.poll() is None:
                    self.assertLess(time.monotonic(), deadline, 'the operation never started')
                    time.sleep(0.05)
                self.assertTrue(os.path.islink(link))
                proc.send_signal(signum)
                out, err = proc.communicate(timeout=60)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.communicate()
            self.assertEqual(proc.returncode, status, err)
            self.assertEqual(out, b'')
            self.assertNoLink(name)

    @unittest.skipIf(support.SANITIZED, 'the shell part would run sh and awk with the '
                     'sanitizer runtime preloaded')
    def test_started_as_a_program(self):
        # Through the shell part, which finds an interpreter and hands over.
        name, folder = self.plugin('''\
            import sys

            class {name}_main:
                def version(self, args):
                    return '%d.%d' % sys.version_info[:2]
            ''')
        done = subprocess.run([TOOL, 'plugin', folder, 'version'], cwd=self.tmp,
                              env=tool_environment(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout), '%d.%d' % sys.version_info[:2])


class ModuleTest(ToolCase):
    def module_file(self, folder, name, body):
        os.makedirs(os.path.join(self.tmp, 'class', folder), exist_ok=True)
        with open(os.path.join(self.tmp, 'class', folder, name + 'Model.py'), 'w') as f:
            f.write(textwrap.dedent(body))

    def test_method_through_model_index(self):
        body = '''\
            class main:
                def summary(self, args):
                    return {'from': %r, 'user': args.user, 'index': args.model_index}
            '''
        # The search would find aModel first; model_index picks toolsModel.
        self.module_file('aModel', 'notes', body % 'aModel')
        self.module_file('toolsModel', 'notes', body % 'toolsModel')
        code, out, err = self.tool('module', os.path.join(self.tmp, 'class'), 'notes',
                                   'summary', 'model_index=tools', 'user=admin')
        self.assertEqual(code, 0, err)
        self.assertEqual(json.loads(out), {'from': 'toolsModel', 'user': 'admin',
                                           'index': 'tools'})

    def test_module_that_fails_to_load(self):
        self.module_file('projectModel', 'broken', '''\
            VALUE = 1
            raise RuntimeError('the module broke')
            ''')
        code, out, err = self.tool('module', os.path.join(self.tmp, 'class'), 'broken',
                                   'summary', 'model_index=')
        self.assertEqual((code, json.loads(out)['msg']), (1, '模块[broken]不存在!'))
        self.assertIn('brokenModel.py", line 2, in <module>', err)
        self.assertIn('RuntimeError: the module broke', err)


class UsageTest(ToolCase):
    def test_usage_errors(self):
        real = os.path.join(self.tmp, 'velmora_cli_usage')
        os.mkdir(real)
        cases = [
            ((), 'subcommand'),
            (('deploy', real, 'x'), "unknown subcommand 'deploy'"),
            (('plugin', os.path.join(self.tmp, 'missing'), 'run'), 'is not a folder'),
            (('plugin', real, 'run', 'user'), "malformed argument 'user'"),
            (('plugin', real, 'run', '=x'), "malformed argument '=x'"),
            (('plugin', real, 'user=admin'), 'needs PLUGIN_DIR OPERATION'),
            (('module', real, 'notes'), 'needs CLASS_DIR MODULE METHOD'),
            (('plugin', real, 'run', '--python', '2.9'), 'no module is built for Python 2.9'),
            (('plugin', real, 'run', '--python', 'newest'), '--python wants a version'),
            (('plugin', real, 'run', '--verbose'), 'unknown option --verbose'),
        ]
        for argv, expected in cases:
            with self.subTest(argv=argv):
                code, out, err = self.tool(*argv)
                self.assertEqual((code, out), (2, ''))
                self.assertEqual(err.count('\n'), 1, err)
                self.assertIn(expected, err)
        self.assertNoLink('velmora_cli_usage')


class LinkTest(unittest.TestCase):
    def test_roots_the_child_process_cases_cannot_use(self):
        devhost = load_tool()
        with tempfile.TemporaryDirectory(prefix='velmora-devhost-link-') as tmp:
            source = os.path.join(tmp, 'work', 'velmora_piece')
            os.makedirs(source)
            # A missing root is made for the link and removed with it...
            root = os.path.join(tmp, 'www', 'panel', 'plugin')
            link = devhost.Link('velmora_piece', source, plugin_root=root)
            link.place()
            self.assertEqual(os.readlink(os.path.join(root, 'velmora_piece')), source)
            link.remove()
            self.assertEqual(os.listdir(tmp), ['work'])
            # ...unless it gained other plugins meanwhile.
            link.place()
            os.mkdir(os.path.join(root, 'other'))
            link.remove()
            self.assertEqual(os.listdir(root), ['other'])
            shutil.rmtree(os.path.join(tmp, 'www'))

            # A root that cannot be made is a usage error, and leaves nothing.
            open(os.path.join(tmp, 'file'), 'w').close()
            link = devhost.Link('velmora_piece', source,
                                plugin_root=os.path.join(tmp, 'file', 'panel', 'plugin'))
            with self.assertRaises(devhost.UsageError) as caught:
                link.place()
            self.assertIn('cannot write to the plugin root', str(caught.exception))
            self.assertEqual(sorted(os.listdir(tmp)), ['file', 'work'])


if __name__ == '__main__':
    unittest.main()
