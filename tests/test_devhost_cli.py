"""scripts/devhost end to end: each case runs the tool in a child process,
with the interpreter and module build under test (VELMORA_MODULE_DIR and
VELMORA_PYTHON, as CTest sets them, so the tool builds nothing).  What a
child process cannot reach is tried on the tool's module in this process.

Plugins are uniquely named working copies in a temporary folder; the tool
links them into /www/server/panel/plugin for the run, and every case checks
that the link is gone afterwards.
"""
import glob
import importlib.util
import itertools
import json
import os
import re
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
TOOL_MODULE = os.path.join(ROOT, 'devhost', 'velmora_devhost.py')
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
    """The tool's module, under a private name."""
    spec = importlib.util.spec_from_file_location('devhost_tool', TOOL_MODULE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def assertNoToolFrames(test, err):
    for name in ('scripts/devhost', 'velmora_devhost', 'devhost/public.py', 'importlib'):
        test.assertNotIn(name, err)


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

    def plugin(self, body, entry='{name}_main.py'):
        """A working copy named uniquely, holding its entry file; `body` and
        `entry` may use {name} for the plugin's name."""
        name = 'velmora_cli_%d_%d' % (os.getpid(), next(_serial))
        folder = os.path.join(self.tmp, name)
        os.mkdir(folder)
        with open(os.path.join(folder, entry.format(name=name)), 'w', encoding='utf-8') as f:
            f.write(textwrap.dedent(body).replace('{name}', name))
        self.addCleanup(lambda: self.assertNoLink(name))
        return name, folder

    def tool(self, *argv, timeout=120, launcher=TOOL, env=None):
        done = subprocess.run([sys.executable, launcher] + list(argv), cwd=self.tmp,
                              env=env or tool_environment(), stdout=subprocess.PIPE,
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
                            'count': args.count, 'empty': args.empty,
                            'file': __file__}
            ''')
        code, out, err = self.tool('plugin', folder, 'greet', 'user=管理员', 'count=42',
                                   'empty=')
        self.assertEqual(code, 0, err)
        # Standard output is the result alone, one line, not ASCII-escaped.
        self.assertEqual(out.count('\n'), 1)
        self.assertIn('你好, 管理员', out)
        self.assertEqual(json.loads(out), {
            'status': True, 'msg': '你好, 管理员',
            'present': ['user', 'count', 'empty'], 'count': '42', 'empty': '',
            # The working copy's own path, not the link's, gone after the run.
            'file': os.path.join(os.path.realpath(folder), name + '_main.py')})
        # The import's catalogue refresh was answered from catalogue.json,
        # and it and the plugin printed to standard error.
        self.assertIn('Updated plugin list:', err)
        self.assertIn('Notes board', err)
        self.assertIn('printed by the import', err)
        self.assertIn('printed by the operation', err)

    def test_failure_results_and_missing_operations(self):
        name, folder = self.plugin('''\
            class {name}_main:
                label = 'not an operation'
                def refuse(self, args):
                    return {'status': False, 'msg': 'disk full'}
                def odd(self, args):
                    return {1, 2}
                def nothing(self, args):
                    return None
                def _helper(self):
                    pass
            ''')
        code, out, _ = self.tool('plugin', folder, 'refuse')
        self.assertEqual((code, json.loads(out)), (1, {'status': False, 'msg': 'disk full'}))
        # Not JSON: its repr, a plain result, and a warning that names the
        # operation's file.  None is a result too, and JSON.
        code, out, err = self.tool('plugin', folder, 'odd')
        self.assertEqual((code, out), (0, '{1, 2}\n'))
        self.assertIn('devhost: %s_main.odd (%s) returned set, which JSON cannot encode: the '
                      'panel expects a dictionary' % (name, os.path.join(folder, name + '_main.py')),
                      err)
        code, out, err = self.tool('plugin', folder, 'nothing')
        self.assertEqual((code, out), (0, 'null\n'))
        self.assertNotIn('JSON', err)

        # A missing operation: the callable attributes not starting with _.
        public = ("devhost: %s has no operation %%r; its public operations:\n"
                  "    nothing\n    odd\n    refuse\n" % name)
        code, out, err = self.tool('plugin', folder, 'absent')
        self.assertEqual((code, json.loads(out)['msg']),
                         (1, '在[%s]插件中找不到[absent]方法' % name))
        self.assertIn(public % 'absent', err)
        self.assertNotIn('did you mean', err)
        code, out, err = self.tool('plugin', folder, 'refuze')
        self.assertIn(public % 'refuze' + 'devhost: did you mean refuse?\n', err)

    def test_traceback_shows_the_plugins_own_code(self):
        name, folder = self.plugin('''\
            import {name}_util

            class {name}_main:
                def explode(self, args):
                    try:
                        {name}_util.lookup({})
                    except KeyError:
                        raise ValueError('the operation broke')
            ''')
        with open(os.path.join(folder, name + '_util.py'), 'w') as f:
            f.write('def lookup(table):\n    return table["key"]\n')
        code, out, err = self.tool('plugin', folder, 'explode')
        self.assertEqual((code, out), (1, ''))
        # Both chained exceptions, each from the plugin's frame on.
        frames = [line.strip() for line in err.splitlines() if line.strip().startswith('File "')]
        self.assertEqual([f.split(', ', 1)[1] for f in frames],
                         ['line 6, in explode', 'line 2, in lookup', 'line 8, in explode'])
        self.assertIn('%s_util.py"' % name, frames[1])
        self.assertIn("KeyError: 'key'", err)
        self.assertTrue(err.rstrip().endswith('ValueError: the operation broke'), err)
        assertNoToolFrames(self, err)

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
        assertNoToolFrames(self, err)
        self.assertIn('devhost: importing %s raised:\n' % entry, err)

    def test_commonest_mistakes_are_named(self):
        # What is wrong, in which file, and the rule that was broken.
        cases = [
            ('{name}_main.py', 'class main:\n    def run(self, args):\n        return 1\n',
             ['{entry} defines no class {name}_main: the entry class is named after the '
              'plugin, NAME_main\n', 'its one class is main: rename it to {name}_main\n']),
            ('main.py', 'class {name}_main:\n    def run(self, args):\n        return 1\n',
             ["{folder} holds no {name}_main.py: a plugin's entry file is named after its "
              "folder", 'its one .py file is main.py: rename it to {name}_main.py\n']),
            ('{name}_main.py', 'class {name}_main:\n    def run(self):\n        return 1\n',
             ['{entry}, line 2: def run(self) cannot be called with one argument\n',
              'every operation is called with the request-argument object alone: '
              'def run(self, args)\n']),
        ]
        for entry, body, expected in cases:
            name, folder = self.plugin(body, entry)
            with self.subTest(entry=entry, body=body):
                code, out, err = self.tool('plugin', folder, 'run')
                self.assertEqual(code, 1, err)
                for line in expected:
                    self.assertIn('devhost: ' + line.format(
                        name=name, folder=folder,
                        entry=os.path.join(folder, name + '_main.py')), err)

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


class ImplementationTest(ToolCase):
    def test_native_where_built_else_pure_at_once(self):
        # The tool as a fresh clone has it, with no build/ of its own; the
        # only interpreter pyenv's versions folder offers is the one under
        # test, so the tool runs in it without moving.
        clone = os.path.join(self.tmp, 'clone')
        for part in ('devhost', 'pure'):
            shutil.copytree(os.path.join(ROOT, part), os.path.join(clone, part),
                            ignore=shutil.ignore_patterns('__pycache__'))
        os.mkdir(os.path.join(clone, 'scripts'))
        launcher = shutil.copy(TOOL, os.path.join(clone, 'scripts'))
        version = '%d.%d' % sys.version_info[:2]
        pyenv = os.path.join(self.tmp, 'pyenv')
        os.makedirs(os.path.join(pyenv, 'versions', version + '.0', 'bin'))
        os.symlink(sys.executable, os.path.join(pyenv, 'versions', version + '.0', 'bin',
                                                'python' + version))
        name, folder = self.plugin('''\
            import sys

            class {name}_main:
                def which(self, args):
                    return sys.modules['Velmora'].__file__
            ''')
        native = glob.glob(os.path.join(support.MODULE_DIR, 'Velmora.*.so'))
        pure = os.path.join(clone, 'pure', 'Velmora.py')
        half_made = os.path.join(self.tmp, 'half-made')
        os.mkdir(half_made)
        said = ('devhost: no native module is built for Python %s: the pure implementation, '
                'pure/Velmora.py, runs; --native builds the native one' % version)
        cases = [
            # (module folder build/ lists for it, VELMORA_NO_EXTENSIONS, module run, line)
            (None, '', pure, said),
            (half_made, '', pure, said),
            (support.MODULE_DIR, '', native[0] if native else None, None),
            (support.MODULE_DIR, '1', pure, 'devhost: VELMORA_NO_EXTENSIONS is set: the '
                                            'pure implementation, pure/Velmora.py, runs'),
        ]
        env = tool_environment()
        for key in ('VELMORA_MODULE_DIR', 'VELMORA_PYTHON', 'VELMORA_SITE_DIR'):
            env.pop(key, None)
        env['PYENV_ROOT'] = pyenv
        for listed, no_extensions, expected, line in cases:
            with self.subTest(listed=listed, no_extensions=no_extensions):
                if expected is None:
                    self.skipTest('no native module under test')
                shutil.rmtree(os.path.join(clone, 'build'), ignore_errors=True)
                if listed:
                    os.mkdir(os.path.join(clone, 'build'))
                    with open(os.path.join(clone, 'build', 'interpreters.txt'), 'w') as f:
                        f.write('py%d%d %s %s\n' % (sys.version_info[:2] + (sys.executable,
                                                                            listed)))
                env['VELMORA_NO_EXTENSIONS'] = no_extensions
                code, out, err = self.tool('plugin', folder, 'which', launcher=launcher, env=env)
                self.assertEqual((code, json.loads(out)), (0, expected), err)
                told = [text for text in err.splitlines() if text.startswith('devhost:')]
                self.assertEqual(len(told), 0 if line is None else 1, err)
                if line is not None:
                    self.assertTrue(told[0].startswith(line), told[0])


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
        # The search would find alphaModel first; model_index picks toolsModel.
        self.module_file('alphaModel', 'notes', body % 'alphaModel')
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
        self.module_file('projectModel', 'typo', '''\
            class main:
                def summary(self, args)
                    return 1
            ''')
        code, out, err = self.tool('module', os.path.join(self.tmp, 'class'), 'broken',
                                   'summary', 'model_index=')
        self.assertEqual((code, json.loads(out)['msg']), (1, '模块[broken]不存在!'))
        self.assertIn('Traceback', err)
        self.assertIn('brokenModel.py", line 2, in <module>', err)
        self.assertIn('RuntimeError: the module broke', err)
        assertNoToolFrames(self, err)

        # A module that does not compile has no frame of its own to show:
        # the place of the error, and nothing of the tool's.
        code, out, err = self.tool('module', os.path.join(self.tmp, 'class'), 'typo',
                                   'summary', 'model_index=')
        self.assertEqual((code, json.loads(out)['msg']), (1, '模块[typo]不存在!'))
        self.assertIn('typoModel.py", line 2\n', err)
        self.assertIn('SyntaxError', err)
        self.assertNotIn('Traceback', err)
        assertNoToolFrames(self, err)

    def test_module_in_two_folders_and_a_missing_method(self):
        body = '''\
            class main:
                def summary(self, args):
                    return %r
                def _hidden(self, args):
                    pass
            '''
        for folder in ('alphaModel', 'toolsModel'):
            self.module_file(folder, 'notes', body % folder)
        class_dir = os.path.join(self.tmp, 'class')
        # The first module folder in the directory's own order is the one run.
        order = [f for f in os.listdir(class_dir) if f in ('alphaModel', 'toolsModel')]
        paths = [os.path.join(class_dir, f, 'notesModel.py') for f in order]
        code, out, err = self.tool('module', class_dir, 'notes', 'summary')
        self.assertEqual((code, json.loads(out)), (0, order[0]))
        self.assertIn("devhost: notes is in 2 module folders; the first in the class "
                      "directory's listing order was used:\n"
                      "    %s  [used]\n    %s  [not used]\n" % tuple(paths), err)
        self.assertIn('pass model_index=%s or model_index=%s'
                      % tuple(f[:-len('Model')] for f in order), err)

        # Named by model_index, nothing is said about the other folder.
        code, out, err = self.tool('module', class_dir, 'notes', 'summry', 'model_index=tools')
        self.assertEqual((code, json.loads(out)['msg']), (1, '在[notes]模块中找不到[summry]方法'))
        self.assertNotIn('module folders', err)
        self.assertIn("has no method 'summry'; its public methods:\n    summary\n"
                      "devhost: did you mean summary?\n", err)


    def test_misspelled_and_passed_over_modules(self):
        self.module_file('toolsModel', 'notes', 'class main:\n    pass\n')
        self.module_file('ncmodel', 'disk', 'class main:\n    pass\n')
        os.makedirs(os.path.join(self.tmp, 'class', 'toolModel'))
        open(os.path.join(self.tmp, 'class', 'toolModel', 'disk.py'), 'w').close()
        class_dir = os.path.join(self.tmp, 'class')
        cases = [
            ('note', ['did you mean notes? (%s/toolsModel/notesModel.py)' % class_dir]),
            ('disk', ["%s/ncmodel/diskModel.py is passed over: ncmodel is not a module folder "
                      "(a module folder's name holds 'Model', capitalised so)" % class_dir,
                      '%s/toolModel/disk.py is passed over: module files are named '
                      'MODULEModel.py; rename it to diskModel.py' % class_dir]),
        ]
        for module, expected in cases:
            with self.subTest(module=module):
                code, out, err = self.tool('module', class_dir, module, 'summary')
                self.assertEqual((code, json.loads(out)['msg']), (1, '模块[%s]不存在' % module))
                for line in expected:
                    self.assertIn('devhost: %s\n' % line, err)


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
            (('plugin', real), 'the operation is missing: scripts/devhost plugin PLUGIN_DIR '
                                'OPERATION [KEY=VALUE ...]'),
            (('plugin', real, 'user=admin'), 'the operation is missing before user=admin'),
            (('module', real, 'notes'), 'the method is missing: scripts/devhost module'),
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


class ReadmeExampleTest(ToolCase):
    def test_calling_velmora_from_your_own_script(self):
        # devhost/README.md's example as written, for this interpreter's
        # build, under a plugin name of the test's own (suites of several
        # interpreters may run at once).
        tag = 'py%d%d' % sys.version_info[:2]
        if os.path.realpath(support.MODULE_DIR) != os.path.join(ROOT, 'build', tag):
            self.skipTest('the example names the release build in build/')
        with open(os.path.join(ROOT, 'devhost', 'README.md'), encoding='utf-8') as f:
            section = f.read().split('## Calling Velmora from your own script\n')[1]
        blocks = re.findall(r'^```(\w+)\n(.*?)^```$', section.split('\n## ')[0], re.S | re.M)
        self.assertEqual([kind for kind, _ in blocks], ['sh', 'python', 'sh', 'text'])
        (_, setup), (_, caller), (_, run), (_, expected) = blocks
        name = 'velmora_cli_%d_readme' % os.getpid()
        example = os.path.join(ROOT, 'devhost', 'examples', 'velmora_hello')
        copy = os.path.join(self.tmp, name)
        os.mkdir(copy)
        with open(os.path.join(example, 'velmora_hello_main.py'), encoding='utf-8') as f:
            entry = f.read().replace('velmora_hello', name)
        with open(os.path.join(copy, name + '_main.py'), 'w', encoding='utf-8') as f:
            f.write(entry)
        self.addCleanup(lambda: self.assertNoLink(name))
        script = (setup + "cat > \"$work/caller.py\" <<'EOF'\n" + caller + 'EOF\n' + run)
        script = script.replace('"py37"', '"%s"' % tag).replace(
            '"$root/devhost/examples/velmora_hello"', copy).replace('velmora_hello', name)
        # The same again under the pure implementation, as the text says.
        pure = 'moddir="$root/pure"'
        self.assertIn('`%s`' % pure, section)
        env = tool_environment()
        env['TMPDIR'] = self.tmp
        for variant in (script, re.sub(r'^moddir=.*$', pure, script, flags=re.M)):
            done = subprocess.run(['sh', '-e', '-c', variant], cwd=ROOT, env=env, timeout=120,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.decode('utf-8'), expected)


class InProcessTest(unittest.TestCase):
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

    def test_interpreter_that_was_not_built(self):
        devhost = load_tool()
        builds = [((3, 7), '/opt/py37/bin/python3.7', '/b/py37'),
                  ((3, 12), '/opt/py312/bin/python3.12', '/b/py312')]
        self.assertEqual(devhost.choose(builds, None), builds[1])
        self.assertEqual(devhost.choose(builds, '3.7'), builds[0])
        with self.assertRaises(devhost.UsageError) as caught:
            devhost.choose(builds, '2.9')
        self.assertEqual(str(caught.exception).count('\n'), 0)
        self.assertIn('needs CPython 3.7 or later', str(caught.exception))

        # How to build it: the configure line names the built interpreters
        # too, since VELMORA_PYTHONS replaces the search.
        for found in ('/opt/py39/bin/python3.9', None):
            devhost.find_interpreter = lambda version, found=found: found
            with self.assertRaises(devhost.UsageError) as caught:
                devhost.choose(builds, '3.9')
            lines = str(caught.exception).splitlines()
            self.assertEqual(lines[0], 'no module is built for Python 3.9; built: 3.7, 3.12')
            self.assertIn("every CPython 3.7 or later under pyenv's versions folder", lines[1])
            self.assertIn('VELMORA_PYTHONS', lines[1])
            self.assertIn('pyenv install 3.9' if found is None else found, lines[2])
            self.assertTrue(lines[3].endswith(
                '-DVELMORA_PYTHONS="/opt/py37/bin/python3.7;/opt/py312/bin/python3.12;%s"'
                % (found or '/path/to/python3.9')), lines[3])

    def test_find_interpreter_runs_what_it_finds(self):
        devhost = load_tool()
        with tempfile.TemporaryDirectory(prefix='velmora-devhost-pyenv-') as pyenv:
            def fake(version, script):
                folder = os.path.join(pyenv, 'versions', version, 'bin')
                os.makedirs(folder)
                path = os.path.join(folder, 'python' + version.rsplit('.', 1)[0])
                with open(path, 'w') as f:
                    f.write('#!/bin/sh\n' + script)
                os.chmod(path, 0o755)
                return path
            works = fake('3.97.1', 'echo "(3, 97)"\n')
            fake('3.98.0', 'exit 1\n')            # a broken install is passed over
            saved = os.environ.get('PYENV_ROOT')
            os.environ['PYENV_ROOT'] = pyenv
            try:
                self.assertEqual(devhost.find_interpreter((3, 97)), works)
                self.assertIsNone(devhost.find_interpreter((3, 98)))
            finally:
                if saved is None:
                    del os.environ['PYENV_ROOT']
                else:
                    os.environ['PYENV_ROOT'] = saved


if __name__ == '__main__':
    unittest.main()
