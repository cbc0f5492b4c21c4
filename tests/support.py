"""Shared helpers for the test suites.

The suites run under CTest, once per built interpreter, with PYTHONPATH
holding the module's build folder, this folder and the build-local site
folder.  The module initialises once per process, so whatever depends on
import-time behaviour runs in a fresh subprocess (`run_python`).
"""
import gc
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FAKEHOST = os.path.join(HERE, 'fakehost')
MODULE_DIR = os.environ.get('VELMORA_MODULE_DIR', '')
SITE_DIR = os.environ.get('VELMORA_SITE_DIR', '')
SANITIZED = os.environ.get('VELMORA_SANITIZED') == '1'
PY37 = sys.version_info[:2] == (3, 7)

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


class RefcountMixin:
    """Checks that repeated calls neither leak nor over-release references."""

    def assertRefcountsStable(self, call, objects, rounds=200):
        call()  # warm caches first
        gc.collect()
        before = [sys.getrefcount(o) for o in objects]
        total_before = getattr(sys, 'gettotalrefcount', lambda: 0)()
        for _ in range(rounds):
            call()
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


def skip_unless(condition, reason):
    return unittest.skipUnless(condition, reason)
