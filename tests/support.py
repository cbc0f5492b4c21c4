"""Shared helpers for the test suites.

The suites run under CTest, once per built interpreter, with PYTHONPATH
holding the module's build folder, this folder and the build-local site
folder.  The module initialises once per process, so whatever depends on
import-time behaviour runs in a fresh subprocess (`run_python`).
"""
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FAKEHOST = os.path.join(HERE, 'fakehost')
# VELMORA_NO_EXTENSIONS (any value but "" and "0") picks the pure-Python
# implementation in pure/: first in the module path, here and in children.
PURE = os.environ.get('VELMORA_NO_EXTENSIONS', '') not in ('', '0')
PURE_DIR = os.path.join(os.path.dirname(HERE), 'pure')
MODULE_DIR = PURE_DIR if PURE else os.environ.get('VELMORA_MODULE_DIR', '')
if PURE and sys.path[:1] != [PURE_DIR]:
    sys.path.insert(0, PURE_DIR)
SITE_DIR = os.environ.get('VELMORA_SITE_DIR', '')
SANITIZED = os.environ.get('VELMORA_SANITIZED') == '1'
# Set by scripts/memcheck.sh: the suites run under valgrind, some fifty times
# slower, so loops shrink and tests that only exercise child processes
# (which valgrind does not follow) are skipped.
VALGRIND = os.environ.get('VELMORA_VALGRIND') == '1'
PY37 = sys.version_info[:2] == (3, 7)
PLUGIN_ROOT = '/www/server/panel/plugin'

_workdir = None


def workdir():
    """This process's working directory: a private temporary folder holding
    `data/`, so the catalogue cache never lands in the source tree."""
    global _workdir
    if _workdir is None:
        _workdir = tempfile.TemporaryDirectory(prefix='velmora-test-')
        os.makedirs(os.path.join(_workdir.name, 'data'))
        os.chdir(_workdir.name)
    return _workdir.name


def load():
    """Imports the fake `public` and the module in this process (once) and
    returns (Velmora, public)."""
    workdir()
    if FAKEHOST not in sys.path:
        sys.path.insert(0, FAKEHOST)
    import public
    import Velmora
    return Velmora, public


def base_env(extra=None, drop_site=False):
    env = dict(os.environ)
    parts = [MODULE_DIR, HERE, FAKEHOST]
    if SITE_DIR and not drop_site:
        parts.append(SITE_DIR)
    env['PYTHONPATH'] = os.pathsep.join(p for p in parts if p)
    env['PYTHONDONTWRITEBYTECODE'] = '1'
    if extra:
        env.update(extra)
    return env


def tool_env():
    """Environment for programs that are not the interpreter under test
    (compilers, nm, openssl): without the sanitizer runtime preloaded."""
    env = dict(os.environ)
    for key in ('LD_PRELOAD', 'PYTHONMALLOC'):
        env.pop(key, None)
    return env


def run_python(code, cwd=None, env=None, drop_site=False, timeout=120):
    """Runs `code` (dedented) in a fresh interpreter of the same build, with
    the fake `public` importable.  `cwd` defaults to a new temporary folder
    holding `data/`.  Returns the CompletedProcess (text mode)."""
    owned = None
    if cwd is None:
        owned = tempfile.TemporaryDirectory(prefix='velmora-sub-')
        cwd = owned.name
        os.makedirs(os.path.join(cwd, 'data'))
    try:
        return subprocess.run(
            [sys.executable, '-c', textwrap.dedent(code)],
            cwd=cwd, env=base_env(env, drop_site=drop_site),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, timeout=timeout)
    finally:
        if owned is not None:
            owned.cleanup()


def _forget_host_calls():
    public = sys.modules.get('public')
    calls = getattr(public, 'calls', None)
    if isinstance(calls, list):
        del calls[:]


class RefcountMixin:
    """Checks that repeated calls neither leak nor over-release references."""

    def assertRefcountsStable(self, call, objects, rounds=200):
        call()  # warm caches first
        _forget_host_calls()
        gc.collect()
        before = [sys.getrefcount(o) for o in objects]
        total_before = getattr(sys, 'gettotalrefcount', lambda: 0)()
        for _ in range(rounds):
            call()
        # The stand-in host's record of every call holds references that
        # are not the module's: emptied before the total is read.
        _forget_host_calls()
        gc.collect()
        after = [sys.getrefcount(o) for o in objects]
        self.assertEqual(before, after, 'reference counts drifted')
        if hasattr(sys, 'gettotalrefcount'):
            self.assertLess(sys.gettotalrefcount() - total_before, rounds // 2)

    def assertResultRefcountStable(self, call, rounds=200):
        """The returned object must carry no extra references: hold one
        result, call many times, and its count must not move."""
        kept = call()
        gc.collect()
        before = sys.getrefcount(kept)
        for _ in range(rounds):
            call()
        gc.collect()
        self.assertEqual(before, sys.getrefcount(kept))


def scaled(count):
    """An iteration count for loops that only have to be long enough: the
    full count in the release build, a fifth under the sanitizers (each call
    costs several times as much there), a fiftieth under valgrind."""
    if VALGRIND:
        return max(count // 50, 20)
    if SANITIZED:
        return max(count // 5, 20)
    return count


def skip_under_valgrind(reason='runs its work in child processes, which valgrind does not follow'):
    return unittest.skipIf(VALGRIND, reason)


# Folders of the plugin root chain that a test run created, shared between
# the suites of all interpreters, which may run at the same time: the last
# one to finish removes them.
_MADE_PLUGIN_DIRS = os.path.join(tempfile.gettempdir(), 'velmora-test-plugin-root')


def make_plugin_folder(folder):
    """Creates a plugin's folder under the fixed plugin root, noting which
    folders of the root chain did not exist before."""
    path = PLUGIN_ROOT
    while path != '/':
        if not os.path.isdir(path):
            with open(_MADE_PLUGIN_DIRS, 'a') as f:
                f.write(path + '\n')
        path = os.path.dirname(path)
    for attempt in range(3):
        try:
            return os.makedirs(folder)
        except FileNotFoundError:
            if attempt == 2:  # another suite removed the emptied root just now
                raise


def remove_plugin_root():
    """Removes the folders of the root chain that test runs created, once no
    suite has plugins left there."""
    try:
        with open(_MADE_PLUGIN_DIRS) as f:
            made = set(f.read().split())
    except FileNotFoundError:
        return
    for path in sorted(made, key=len, reverse=True):
        try:
            os.rmdir(path)
        except OSError:
            pass  # not empty: another suite still has plugins there
    if not any(os.path.isdir(path) for path in made):
        try:
            os.unlink(_MADE_PLUGIN_DIRS)
        except FileNotFoundError:
            pass


def forget_plugin(name):
    """Removes a plugin a test made: its folder, entry module, search-path
    entry and importer cache entry."""
    folder = os.path.join(PLUGIN_ROOT, name)
    shutil.rmtree(folder, ignore_errors=True)
    sys.modules.pop(name + '_main', None)
    while folder in sys.path:
        sys.path.remove(folder)
    sys.path_importer_cache.pop(folder, None)


def skip_unless(condition, reason):
    return unittest.skipUnless(condition, reason)


def native_only(reason):
    """Skips a test (or a class) under the pure implementation, which
    cannot pass it for `reason`."""
    return unittest.skipIf(PURE, 'native module only: ' + reason)
