"""Allocation failure, one allocation at a time.

For the import of the module and for each exported function, on its success
path and its main failure path, the n-th allocation is made to fail for
n = 0, 1, 2, ... until the call completes without reaching it
(`_testcapi.set_nomemory`).  Whatever happens must be the normal result, the
function's own failure result, or an exception; never a crash, never a
SystemError from the module, never an error left pending or in
sys.exc_info(), and the same call must work normally right afterwards.

Besides the two paths, __get_db_iv is swept while it creates the IV file,
which must come out whole or not at all.  Lasting state (the IV file, the
plugin's sys.path entry and entry module) is checked after every injection.

The sweeps run in child processes (data/nomemory_driver.py), one per
function, so that a crash fails the test that names the function and the n
instead of ending the suite.

Under the sanitizers every call costs several times as much, so the sweeps
there take every STRIDE-th n only.
"""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import support

DRIVER = os.path.join(support.HERE, 'data', 'nomemory_driver.py')
DEBUG_INTERPRETER = hasattr(sys, 'gettotalrefcount')
STRIDE = 2 if support.SANITIZED else 1
NEW_312 = sys.version_info >= (3, 12)

# What is left out, and why.  CPython 3.12 and 3.13 themselves crash
# (SIGSEGV) when an allocation fails while they make a function object
# (PyFunction_NewWithQualName): a `def`, a lambda, a generator expression or
# a class body run under injection.  Their import machinery makes one for
# every module lock it takes (importlib._bootstrap._get_module_lock) and in
# its path helpers (_path_split), and ctypes.CDLL defines a class on every
# call, so `import`, importlib.reload, spec_from_file_location and CDLL crash
# there with no code of this module involved.  Those paths are swept in
# their "-loaded" variants instead, where what the call would load is handed
# back loaded beforehand, and the import is swept through the extension
# loader's own two steps (create_module, exec_module) without the locks.
#
# The debug build of CPython 3.11 checks what its release build lets pass,
# and stops the process where os.stat goes on after a failed allocation with
# the MemoryError still set ("_Py_CheckSlotResult: Slot * of type int
# succeeded with an exception set": fill_time in posixmodule.c ignores its
# own failures; 3.12 checks each step).  There the module is handed an `os`
# that answers existence tests and listings as the real one did before the
# sweep, the import is swept through the extension loader (the import
# machinery stats the module's folder), and the paths that stat inside the
# import machinery (reload, get_module) are left out.  Its ctypes.CDLL stops
# at an assertion of its own (ceval.c: `STACK_LEVEL() == 0`).
RECORDED_OS = DEBUG_INTERPRETER and sys.version_info[:2] == (3, 11)
NO_IMPORTLIB = NEW_312 or RECORDED_OS
#
# From 3.11 on CPython loses an exception that passes through a Python frame
# when the frame object it then makes for the traceback cannot be allocated;
# the release build reports a SystemError for it (which the sweep tells
# apart from the module's own), the debug build stops at an assertion
# (ceval.c: `_PyErr_Occurred(tstate)`).  So the debug build leaves out the
# failure paths whose exception is raised in Python code: by the stand-in
# host's raising answers, and by PyCryptodome refusing a key.  It also stops
# at `STACK_LEVEL() == 0` (ceval.c) when an allocation fails in some Python
# calls, as in the stand-in host's GetRandomString on the way to creating
# the IV file.
IN_PYTHON_FRAMES = DEBUG_INTERPRETER and sys.version_info >= (3, 11)
LEFT_OUT = {
    'plugin_run/ok': NO_IMPORTLIB,            # importlib.reload of the entry module
    'load_so_plugin/ok': NEW_312 or DEBUG_INTERPRETER,    # ctypes.CDLL
    'load_so_plugin/fail': NEW_312 or DEBUG_INTERPRETER,  # ctypes.CDLL, class first
    'get_module/ok': NO_IMPORTLIB,            # importlib.util, and a class statement
    'get_module/ok-plain': NO_IMPORTLIB,      # importlib.util
    'get_module/fail': NO_IMPORTLIB,          # importlib.util
    'get_plugin_list/fail': IN_PYTHON_FRAMES,  # the host's HttpGet raises
    'db_encrypt/fail': IN_PYTHON_FRAMES,      # the host's get_panel_path raises
    '__get_db_iv/fail': IN_PYTHON_FRAMES,     # the host's get_panel_path raises
    '__aes_encrypt/fail': IN_PYTHON_FRAMES,   # AES.new refuses the key
    '__get_db_iv/create': IN_PYTHON_FRAMES,   # four host calls in Python
}

FUNCTIONS = ['get_plugin_list', 'update_plugin_list', 'plugin_run', 'load_so_plugin',
             'module_run', 'get_module_list', 'get_module', 'path_check', 'db_encrypt',
             'db_decrypt', '__get_db_sgin', '__get_db_iv', '__aes_encrypt_module',
             '__aes_decrypt_module', '__aes_decrypt', '__aes_encrypt']

# Totals for the closing line: injections and seconds per sweep.
TOTALS = {}


def tearDownModule():
    if TOTALS:
        injections = sum(count for count, _ in TOTALS.values())
        seconds = sum(spent for _, spent in TOTALS.values())
        each = ', '.join('%s %d' % (name.strip('_'), count)
                         for name, (count, _) in sorted(TOTALS.items()))
        sys.stderr.write('\nnomemory: %d injections in %d sweeps, %.1f s, stride %d (%s)\n'
                         % (injections, len(TOTALS), seconds, STRIDE, each))
    support.remove_plugin_root()


def driver_env():
    env = {'VELMORA_NOMEM_RECORDED_OS': str(int(RECORDED_OS))}
    # A failed allocation makes CPython and PyCryptodome's C parts drop
    # what they had allocated on the way (a cipher state whose Python owner
    # could not be made, say).  Those leaks are theirs, and the memory suite
    # watches the module's own; here the sanitizers look for bad accesses.
    asan = os.environ.get('ASAN_OPTIONS')
    if asan is not None:
        env['ASAN_OPTIONS'] = asan.replace('detect_leaks=1', 'detect_leaks=0') \
            if 'detect_leaks=1' in asan else asan + ':detect_leaks=0'
    return support.base_env(env)


def run_driver(*arguments):
    """Runs the driver; returns (status, stdout, stderr, seconds)."""
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix='velmora-nomem-') as workdir:
        child = subprocess.Popen(
            [sys.executable, DRIVER] + [str(a) for a in arguments],
            cwd=workdir, env=driver_env(),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        try:
            out, err = child.communicate(timeout=600)
        except subprocess.TimeoutExpired:
            child.kill()
            out, err = child.communicate()
        if child.returncode != 0:
            remove_residue(child.pid)
    return child.returncode, out, err, time.monotonic() - started


def last_progress(stderr):
    lines = [line for line in stderr.splitlines() if line.startswith('@ ')]
    return lines[-1][2:] if lines else 'before the first injection'


def remove_residue(pid):
    """A child that crashed left its workload plugin behind."""
    prefix = 'vt_workload_%d_' % pid
    try:
        names = os.listdir(support.PLUGIN_ROOT)
    except OSError:
        return
    for name in names:
        if name.startswith(prefix):
            shutil.rmtree(os.path.join(support.PLUGIN_ROOT, name), ignore_errors=True)


@support.native_only("allocation failures in C code; Python code's are the interpreter's")
@support.skip_under_valgrind()
@unittest.skipUnless(importlib.util.find_spec('_testcapi'),
                     'needs _testcapi.set_nomemory, which this interpreter lacks')
class SweepCase(unittest.TestCase):

    def check_child(self, status, out, err, what):
        if status != 0:
            detail = '\n'.join(line for line in err.splitlines() if not line.startswith('@ '))
            self.fail('%s: the child ended with status %d at %s\n%s'
                      % (what, status, last_progress(err), detail[-3000:]))
        return json.loads(out.splitlines()[-1])

    def check_reports(self, reports):
        for report in reports:
            with self.subTest(case=report['case']):
                self.assertEqual(report['faults'], [], report)
                self.assertGreater(sum(report['outcomes'].values()), 0, report)


class ImportTest(SweepCase):

    # CPython 3.13.0 itself crashes when an allocation fails inside
    # PyType_FromSpec: a dictionary insertion that failed for lack of memory
    # leaves the type's dictionary corrupt, and the next insertion crashes in
    # CPython's own dictionary code (a C extension that does nothing but call
    # PyType_FromSpec under the same injection crashes the same way).  Every
    # import makes the functions' type, so the import is swept on the other
    # interpreters only; the functions are swept on 3.13 too.
    @unittest.skipIf(sys.version_info[:2] == (3, 13),
                     'CPython 3.13 crashes inside PyType_FromSpec under injected allocation failures')
    def test_import(self):
        # A failed import leaves the module uninitialised and the next one
        # starts again, so one child sweeps on until an import succeeds; when
        # that import had an allocation fail in it (the catalogue refresh
        # swallows failures of its cache write) a fresh child goes on.
        mode = 'import-loader' if NO_IMPORTLIB else 'import'
        start, reports, spent, children = 0, [], 0.0, 0
        while start is not None:
            status, out, err, seconds = run_driver(mode, start, STRIDE)
            spent += seconds
            children += 1
            answer = self.check_child(status, out, err, 'import from n=%d' % start)
            reports.extend(answer['reports'])
            start = answer['next']
            self.assertLess(children, 200, 'the import sweep does not come to an end')
        self.check_reports(reports)
        injections = sum(r['injections'] for r in reports)
        TOTALS['import'] = (injections, spent)
        self.assertGreater(injections, 150 // STRIDE)


class FunctionsTest(SweepCase):

    def sweep(self, function):
        skipped = [name for name, leave in LEFT_OUT.items()
                   if leave and name.startswith(function + '/')]
        status, out, err, seconds = run_driver('call', function, STRIDE, ','.join(skipped))
        answer = self.check_child(status, out, err, function)
        reports = answer['reports']
        self.check_reports(reports)
        TOTALS[function] = (sum(r['injections'] for r in reports), seconds)
        # The success path is swept everywhere, in one variant or another.
        paths = {r['case'].split('/')[1].split('-')[0] for r in reports}
        self.assertIn('ok', paths, reports)


for _name in FUNCTIONS:
    setattr(FunctionsTest, 'test_' + _name.strip('_'),
            lambda self, name=_name: self.sweep(name))


if __name__ == '__main__':
    unittest.main()
