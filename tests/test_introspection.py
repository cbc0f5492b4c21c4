"""What editors, type checkers and help() learn about the module: the stub
Velmora.pyi against the built module's signatures, a type check of a
caller with deliberate mistakes, and the functions as routines."""
import ast
import inspect
import os
import pydoc
import re
import subprocess
import sys
import unittest

import support

Velmora, public = support.load()

ROOT = os.path.dirname(support.HERE)
STUB = os.path.join(ROOT, 'stubs', 'Velmora.pyi')
CALLER = os.path.join(support.HERE, 'data', 'stub_caller.py')
MYPY = ['/usr/bin/python3', '-m', 'mypy']

FUNCTION_TYPE = type(Velmora.path_check)
EXPORTED = sorted(name for name, value in vars(Velmora).items()
                  if type(value) is FUNCTION_TYPE
                  and not (name.startswith('_') and not name.startswith('__')))


def stub_functions():
    with open(STUB, encoding='utf-8') as f:
        tree = ast.parse(f.read(), STUB)
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def have_mypy():
    return os.path.exists(MYPY[0]) and subprocess.run(
        MYPY + ['--version'], env=support.tool_env(), stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL).returncode == 0


class StubTests(unittest.TestCase):

    def test_exported_functions_are_the_sixteen(self):
        self.assertEqual(len(EXPORTED), 16, EXPORTED)

    def test_stub_names_parameters_and_defaults_equal_the_signatures(self):
        stubs = stub_functions()
        self.assertEqual(sorted(stubs), EXPORTED)
        for name in EXPORTED:
            with self.subTest(name=name):
                args = stubs[name].args
                self.assertEqual((args.vararg, args.kwarg, args.kwonlyargs,
                                  getattr(args, 'posonlyargs', [])), (None, None, [], []))
                stub_defaults = [ast.literal_eval(d) for d in args.defaults]
                stub_params = [(a.arg, None) for a in args.args]
                for i, value in enumerate(stub_defaults, len(args.args) - len(args.defaults)):
                    stub_params[i] = (stub_params[i][0], (type(value), value))

                params = inspect.signature(getattr(Velmora, name)).parameters.values()
                self.assertTrue(all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params))
                self.assertEqual(stub_params, [
                    (p.name, None if p.default is p.empty else (type(p.default), p.default))
                    for p in params])

    def test_stub_docstring_follows_the_module(self):
        # The module's own docstring comes first, as help() shows it.
        node = stub_functions()['get_module']
        self.assertTrue(ast.get_docstring(node).startswith(
            inspect.getdoc(Velmora.get_module) + '\n\n'))

    def test_every_stub_function_documents_parameters_result_and_exceptions(self):
        for name, node in stub_functions().items():
            with self.subTest(name=name):
                doc = ast.get_docstring(node)
                self.assertTrue(doc, 'no docstring')
                lines = doc.splitlines()
                for param in node.args.args:
                    self.assertIn(param.arg + ':', [line.split(' ', 1)[0] for line in lines])
                self.assertEqual(sum(line.startswith('Returns:') for line in lines), 1)
                self.assertEqual(sum(line.startswith('Raises:') for line in lines), 1)

    def test_stub_messages_are_the_modules_own_texts(self):
        # A message quoted with a full-width "!" or "[" would send callers
        # comparing texts astray; <name> stands for a filled-in value.
        source = ''
        for folder, _, files in os.walk(os.path.join(ROOT, 'src')):
            for f in files:
                with open(os.path.join(folder, f), encoding='utf-8') as text:
                    source += text.read()
        with open(STUB, encoding='utf-8') as f:
            messages = re.findall(r'"([^"\n]*[^\x00-\x7f][^"\n]*)"', f.read())
        self.assertGreaterEqual(len(messages), 10)
        source = source.replace('%s', '')
        for message in messages:
            for piece in re.split(r'<[a-z_]+>', message):
                self.assertTrue(piece in source, message)

    def test_stub_parses_as_python_3_7(self):
        with open(STUB, encoding='utf-8') as f:
            source = f.read()
        if sys.version_info >= (3, 8):
            ast.parse(source, STUB, feature_version=(3, 7))
        else:
            ast.parse(source, STUB)

    @unittest.skipUnless(have_mypy(), "needs Debian's python3-mypy")
    def test_type_checker_flags_exactly_the_mistakes(self):
        # The stub's own folder is the search path, as a maintainer's
        # MYPYPATH would name the folder holding the installed module.
        env = dict(support.tool_env(), MYPYPATH=os.path.dirname(STUB))
        env.pop('PYTHONPATH', None)
        r = subprocess.run(
            MYPY + ['--python-version', '3.7', '--no-incremental', '--no-error-summary',
                    '--show-error-codes', os.path.relpath(CALLER, ROOT),
                    os.path.relpath(STUB, ROOT)],
            cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            universal_newlines=True)
        errors = [line for line in r.stdout.splitlines() if ': error: ' in line]
        with open(CALLER, encoding='utf-8') as f:
            mistakes = [i for i, line in enumerate(f, 1) if '# mistake' in line]
        self.assertGreaterEqual(len(mistakes), 5)
        flagged = [int(m.group(1)) for m in
                   (re.match(r'tests/data/stub_caller\.py:(\d+): error', e) for e in errors) if m]
        self.assertEqual(len(flagged), len(errors), r.stdout)  # nothing in the stub itself
        self.assertEqual(flagged, mistakes, r.stdout)


class RoutineTests(unittest.TestCase):

    def test_every_function_is_a_routine(self):
        for name in EXPORTED:
            with self.subTest(name=name):
                self.assertTrue(inspect.isroutine(getattr(Velmora, name)))

    def test_help_lists_the_public_functions_with_signatures(self):
        text = pydoc.render_doc(Velmora, renderer=pydoc.plaintext)
        sections = dict(re.findall(r'^([A-Z]+)\n((?:(?: .*)?\n)*)', text + '\n', re.M))
        functions = sections.get('FUNCTIONS', '')
        public_names = [n for n in EXPORTED if not n.startswith('_')]
        for name in public_names:
            signature = str(inspect.signature(getattr(Velmora, name)))
            self.assertIn('\n    %s%s\n' % (name, signature), '\n' + functions)
        self.assertIn('    get_plugin_list(force=1)\n', functions)
        self.assertIn('    plugin_run(plugin_name, def_name, args)\n', functions)
        self.assertIn('@param filename<string> 模块文件名', functions)
        for name in EXPORTED:
            self.assertNotIn(name, sections.get('DATA', ''))
            if name.startswith('_'):
                self.assertNotIn(name, functions)

    @support.native_only('a Python function read through an instance binds to it')
    def test_a_function_stored_on_a_class_is_never_bound(self):
        class Holder:
            check = Velmora.path_check
            catalogue = Velmora.get_plugin_list

        holder = Holder()
        self.assertIs(Holder.check, Velmora.path_check)
        self.assertIs(holder.check, Velmora.path_check)
        self.assertIs(Velmora.path_check.__get__(holder, Holder), Velmora.path_check)
        self.assertIs(Velmora.path_check.__get__(None, Holder), Velmora.path_check)
        # Called through the instance, the instance is not passed along.
        self.assertIs(holder.check('site'), True)
        self.assertIs(holder.check(path='../site'), False)
        with self.assertRaisesRegex(TypeError, r'takes exactly 1 positional argument \(2 given\)'):
            holder.check(holder, 'site')
        public.reset()
        holder.catalogue()  # force keeps its default: the cloud is asked
        self.assertEqual(len(public.calls_of('HttpGet')), 1)


if __name__ == '__main__':
    unittest.main()
