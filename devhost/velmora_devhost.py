"""Runs one plugin operation, or one method of a panel module, through
Velmora and the stand-in host in devhost/, outside the panel.

usage: scripts/devhost plugin PLUGIN_DIR OPERATION [KEY=VALUE ...] [--python VERSION] [--native]
       scripts/devhost module CLASS_DIR MODULE METHOD [KEY=VALUE ...] [--python VERSION] [--native]

  plugin   PLUGIN_DIR is the plugin's working copy; its base name is the
           plugin's name.  For the run it is linked into the panel's plugin
           root, /www/server/panel/plugin/NAME, and the link is removed again
           afterwards.  An existing file or folder there is never touched.
  module   CLASS_DIR serves as the panel's class directory.

  KEY=VALUE  becomes an attribute of the request-argument object, whose `in`
             is true for exactly these keys; values are text.
  --python   3.7, 3.12 or any other CPython 3.7 or later; default the
             newest built, or with nothing built the newest found (pyenv's
             versions folder, then PATH).
  --native   builds the native module first (build/, as the demo does)
             and runs it.

Without --native nothing is built: the native module runs where build/
holds one for the interpreter, as it was last built; otherwise the pure
implementation, pure/Velmora.py, runs at once, and a line on standard
error says so.  VELMORA_NO_EXTENSIONS=1 runs the pure one in any case.
The module's catalogue refresh at import is answered from
devhost/catalogue.json, unless VELMORA_CLOUD_OVERRIDE names a server.
Standard output carries only the result: JSON when it can be encoded, its
repr otherwise.  Everything printed while the module is imported and the
operation runs goes to standard error.

Exit status: 0 a result; 1 a failure result (a dictionary whose "status" is
False) or an exception (traceback on standard error); 2 a usage error;
130 interrupted.

The tool points at the fault, naming the file: an entry file or class
that is not there (the ones that are, and the naming rule), an operation
that cannot take the request argument, a missing operation, method or
module (the ones there are, the closest name, files passed over), a result
JSON cannot encode.  Tracebacks show the plugin's or module's own code only;
when two module folders hold the module, the one used and the others are
named.

VELMORA_MODULE_DIR (and VELMORA_PYTHON, default this interpreter) name an
already built module folder to use instead; the tests use them.
scripts/devhost is the launcher; the tool is this file, devhost/velmora_devhost.py.
"""
import ast
import contextlib
import ctypes
import difflib
import glob
import importlib.machinery
import importlib.util
import inspect
import json
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import traceback
import types

DEVHOST = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(DEVHOST)
SCRIPTS = os.path.join(ROOT, 'scripts')
LAUNCHER = os.path.join(SCRIPTS, 'devhost')
CATALOGUE = os.path.join(DEVHOST, 'catalogue.json')
BUILD = os.path.join(ROOT, 'build')
# Set in the interpreter that the tool moved to, so it never moves twice.
MOVED = 'VELMORA_DEVHOST_MOVED'
# Set to anything but 0, it picks the pure implementation, as in the tests.
NO_EXTENSIONS = 'VELMORA_NO_EXTENSIONS'

PURE = os.path.join(ROOT, 'pure')   # the pure-Python implementation's folder


def fixed_texts(path):
    """The fixed texts and rules of the pure implementation at `path`: its
    module-level names with one leading underscore that are bound to a
    literal.  Read from the file, not imported: an import would refresh the
    catalogue in this process, and the native module may be the one run."""
    with open(path, encoding='utf-8') as f:
        tree = ast.parse(f.read(), path)
    found = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and \
                isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
            if name.startswith('_') and not name.startswith('__'):
                try:
                    found[name] = ast.literal_eval(node.value)
                except ValueError:
                    pass   # computed at import, not a fixed text
    return found


# ------------------------------------------------------------------------
# The module's own rules and messages, which the tool recognises and
# explains: taken from the pure implementation's fixed texts, which the
# tests hold both implementations to, instead of being typed again here.
# A name missing there stops the tool at once.
_FIXED = fixed_texts(os.path.join(PURE, 'Velmora.py'))
PLUGIN_ROOT = _FIXED['_PLUGIN_ROOT']
ENTRY_SUFFIX = _FIXED['_ENTRY_SUFFIX']      # the entry module's and class's: NAME_main
SOURCE_SUFFIX = _FIXED['_SOURCE_SUFFIX']    # the entry file: NAME_main.py
SO_SUFFIX = _FIXED['_LIBRARY_SUFFIX']       # a compiled entry: NAME_main.cpython-37m-...so
# A module file's path, by model_index, by an empty model_index, by search.
MODULE_FILE_CHOSEN = _FIXED['_MODULE_FILE_CHOSEN']
MODULE_FILE_PROJECT = _FIXED['_MODULE_FILE_PROJECT']
MODULE_FILE_SEARCH = _FIXED['_MODULE_FILE_SEARCH']
MODULE_FILE_SUFFIX = os.path.basename(MODULE_FILE_SEARCH.format('', '', ''))   # Model.py
MODULE_CLASS = 'main'   # the runner calls def_object.main(): no fixed text names it
MODULE_DIR_MARK = _FIXED['_MODULE_DIR_MARK']   # a module folder's name holds it, as written,
MODULE_DIR_MIN_LENGTH = _FIXED['_MODULE_DIR_SHORTEST'] + 1   # is at least this long,
MODULE_DIR_NO = _FIXED['_MODULE_DIR_REFUSED']  # and does not hold this
# The runners' messages for an entry that did not load...
PLUGIN_PY_FAILED = _FIXED['_PLUGIN_SOURCE_FAILED']
PLUGIN_SO_FAILED = _FIXED['_PLUGIN_LIBRARY_FAILED']
PLUGIN_LOAD_FAILED = _FIXED['_PLUGIN_LOAD_FAILED']
MODULE_NOT_FOUND = _FIXED['_MODULE_MISSING']
MODULE_NOT_LOADED = _FIXED['_MODULE_NOT_LOADED']
MODULE_NOT_MADE = _FIXED['_MODULE_ENTRY_FAILED']
# ...and for a name the plugin object or the module's entry object lacks.
PLUGIN_NO_OPERATION = _FIXED['_PLUGIN_NO_OPERATION']
MODULE_NO_METHOD = _FIXED['_MODULE_NO_METHOD']
# ------------------------------------------------------------------------

EXIT_RESULT, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
# The outcome of a run that raised (its traceback is shown by then): None
# is a result like any other.
RAISED = object()


class UsageError(Exception):
    """Ends the run with status 2 and this text on standard error: one line,
    unless it explains how to get what was asked for."""


class Interrupted(BaseException):
    """A termination signal, raised where the run is so that the plugin's
    link is removed on the way out."""


def say(text):
    sys.stderr.write('devhost: %s\n' % text)
    sys.stderr.flush()


def listing(lines):
    for line in lines:
        sys.stderr.write('    %s\n' % line)
    sys.stderr.flush()


# ---------------------------------------------------------------- arguments

class Invocation:
    def __init__(self, command, folder, names, pairs, python, native):
        self.command = command      # 'plugin' or 'module'
        self.folder = folder        # absolute
        self.names = names          # [OPERATION] or [MODULE, METHOD]
        self.pairs = pairs          # [(key, value)], in the order given
        self.python = python        # the VERSION asked for, or None
        self.native = native        # --native: build the native module and run it


def parse(argv):
    python = None
    native = False
    words = []
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == '--python':
            if i + 1 == len(argv):
                raise UsageError('--python needs a version, such as 3.12')
            python = argv[i + 1]
            i += 2
            continue
        if word.startswith('--python='):
            python = word[len('--python='):]
        elif word == '--native':
            native = True
        elif word in ('-h', '--help'):
            sys.stdout.write(__doc__)
            raise SystemExit(EXIT_RESULT)
        elif word.startswith('-') and '=' not in word:
            raise UsageError('unknown option %s (see scripts/devhost --help)' % word)
        else:
            words.append(word)
        i += 1

    if not words:
        raise UsageError('name a subcommand: plugin or module (see scripts/devhost --help)')
    command, rest = words[0], words[1:]
    if command == 'plugin':
        wanted = ['PLUGIN_DIR', 'OPERATION']
    elif command == 'module':
        wanted = ['CLASS_DIR', 'MODULE', 'METHOD']
    else:
        raise UsageError('unknown subcommand %r: use plugin or module' % command)
    given = rest[:len(wanted)]
    # A pair where a name belongs means the name was left out.
    for i, placeholder in enumerate(wanted):
        if i == len(given) or (i > 0 and '=' in given[i]):
            where = ' before %s' % given[i] if i < len(given) else ''
            raise UsageError('the %s is missing%s: scripts/devhost %s %s [KEY=VALUE ...]'
                             % (PLACEHOLDERS[placeholder], where, command, ' '.join(wanted)))
    folder = given[0]
    if not os.path.isdir(folder):
        raise UsageError('%s is not a folder: %s' % (wanted[0], folder))
    folder = os.path.abspath(folder)
    if command == 'plugin' and os.path.dirname(folder) == folder:
        raise UsageError('PLUGIN_DIR must be the plugin\'s own folder, not %s' % folder)

    pairs = []
    seen = set()
    for word in rest[len(wanted):]:
        key, eq, value = word.partition('=')
        if not eq or not key:
            raise UsageError('malformed argument %r: expected KEY=VALUE' % word)
        if key in seen:
            raise UsageError('%s is given twice' % key)
        seen.add(key)
        pairs.append((key, value))
    if python is not None and version_tuple(python) is None:
        raise UsageError('--python wants a version such as 3.12, not %r' % python)
    return Invocation(command, folder, given[1:], pairs, python, native)


PLACEHOLDERS = {'PLUGIN_DIR': 'plugin folder', 'OPERATION': 'operation',
                'CLASS_DIR': 'class folder', 'MODULE': 'module name', 'METHOD': 'method'}


def version_tuple(text):
    parts = text.split('.')
    if len(parts) != 2 or not all(p.isdigit() for p in parts):
        return None
    return int(parts[0]), int(parts[1])


# ------------------------------------------------- building, interpreters

def build():
    """Builds the release build as the demo does; the compiler's progress
    goes to standard error, which leaves standard output to the result."""
    sys.stdout.flush()
    sys.stderr.flush()
    script = os.path.join(SCRIPTS, 'build-release.sh')
    if subprocess.call([script, BUILD], stdout=2) != 0:
        say('the build failed (see above)')
        raise SystemExit(EXIT_FAILURE)


def built(build_dir):
    """[(version, python, module folder)] from the build's list."""
    found = []
    try:
        with open(os.path.join(build_dir, 'interpreters.txt')) as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    for line in lines:
        fields = line.split()
        if len(fields) == 3 and fields[0].startswith('py') and fields[0][2:].isdigit():
            digits = fields[0][2:]
            found.append(((int(digits[0]), int(digits[1:])), fields[1], fields[2]))
    return found


def choose(builds, wanted):
    """The build for VERSION `wanted`, or the newest one when it is None."""
    if not builds:
        raise UsageError('nothing is built: the build made no module')
    if wanted is None:
        return max(builds, key=lambda b: b[0])
    version = version_tuple(wanted)
    for entry in builds:
        if entry[0] == version:
            return entry
    built_list = ', '.join('%d.%d' % b[0] for b in sorted(builds))
    missing = 'no module is built for Python %s; built: %s' % (wanted, built_list)
    if version < (3, 7):
        raise UsageError(missing + '; the module needs CPython 3.7 or later')
    raise UsageError(how_to_build(missing, wanted, builds, find_interpreter(version)))


def how_to_build(missing, wanted, builds, found):
    """The usage error for a version that was not built: where a configure
    looks, and the configure line that adds the interpreter.  VELMORA_PYTHONS
    replaces the search, so the line names the built interpreters too."""
    pythons = [b[1] for b in sorted(builds)] + [found or '/path/to/python%s' % wanted]
    lines = [missing,
             'a configure of %s builds for every CPython 3.7 or later under pyenv\'s '
             'versions folder, or for exactly the interpreters VELMORA_PYTHONS names' % BUILD]
    if found:
        lines.append('Python %s is at %s; to build for it:' % (wanted, found))
    else:
        lines.append('no Python %s was found here; install it (pyenv install %s), '
                     'or build for one installed elsewhere:' % (wanted, wanted))
    lines.append('    cmake -S %s -B %s -DVELMORA_PYTHONS="%s"'
                 % (ROOT, BUILD, ';'.join(pythons)))
    return '\n'.join(lines)


def find_interpreter(version):
    """An interpreter of `version` under pyenv's versions folder or on PATH
    that really runs (pyenv's shims on PATH may refuse to), or None."""
    name = 'python%d.%d' % version
    candidates = sorted(glob.glob(os.path.join(pyenv_versions(), '%d.%d.*' % version,
                                               'bin', name)), reverse=True)
    on_path = shutil.which(name)
    if on_path:
        candidates.append(on_path)
    for exe in candidates:
        try:
            done = subprocess.run([exe, '-c', 'import sys; print(sys.version_info[:2])'],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  universal_newlines=True, timeout=30)
        except (OSError, subprocess.SubprocessError):
            continue
        if done.returncode == 0 and done.stdout.strip() == str(tuple(version)):
            return exe
    return None


def pyenv_versions():
    pyenv = os.environ.get('PYENV_ROOT') or os.path.join(os.path.expanduser('~'), '.pyenv')
    return os.path.join(pyenv, 'versions')


def newest_interpreter():
    """(version, path) of the newest CPython 3.7 or later under pyenv's
    versions folder (or on PATH by that version's name); with none there,
    the interpreter running the tool, which the launcher found on PATH."""
    versions = set()
    for path in glob.glob(os.path.join(pyenv_versions(), '3.*', 'bin', 'python3.*')):
        version = version_tuple(os.path.basename(path)[len('python'):])
        if version is not None and version >= (3, 7):
            versions.add(version)
    for version in sorted(versions, reverse=True):
        found = find_interpreter(version)
        if found:
            return version, found
    return sys.version_info[:2], sys.executable


def pure_forced():
    """VELMORA_NO_EXTENSIONS set, to anything but 0: the pure
    implementation, whatever is built (the tests' switch too)."""
    return os.environ.get(NO_EXTENSIONS, '') not in ('', '0')


def without_building(builds, wanted, forced):
    """(interpreter, module folder) for a run that builds nothing: the
    native module built for the Python asked for (by default the newest
    built); else the pure implementation, under the Python asked for (by
    default the newest found), saying so."""
    version = version_tuple(wanted) if wanted else None
    if not forced:
        present = [b for b in builds if glob.glob(os.path.join(b[2], 'Velmora.*.so'))]
        for built_version, python, module_dir in sorted(present, reverse=True):
            if version in (None, built_version):
                return python, module_dir
    if version is None:
        version, python = newest_interpreter()
    elif version < (3, 7):
        raise UsageError('the module needs CPython 3.7 or later, not Python %s' % wanted)
    else:
        python = find_interpreter(version)
        if python is None:
            raise UsageError('no Python %s was found here; install it (pyenv install %s), '
                             'or leave out --python' % (wanted, wanted))
    if forced:
        say('%s is set: the pure implementation, pure/Velmora.py, runs under Python %d.%d'
            % ((NO_EXTENSIONS,) + version))
    else:
        say('no native module is built for Python %d.%d: the pure implementation, '
            'pure/Velmora.py, runs; --native builds the native one (needs g++ and CMake)'
            % version)
    return python, PURE


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def move_to(python, module_dir, site_dir):
    """Continues this run in `python`, through the launcher, unless this is
    that interpreter."""
    if same_file(python, sys.executable) or os.environ.get(MOVED):
        return
    env = dict(os.environ)
    env.update({MOVED: '1', 'VELMORA_MODULE_DIR': module_dir, 'VELMORA_PYTHON': python})
    if site_dir:
        env['VELMORA_SITE_DIR'] = site_dir
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execve(python, [python, LAUNCHER] + sys.argv[1:], env)
    except OSError as ex:
        raise UsageError('cannot run %s: %s' % (python, ex.strerror))


def settle_interpreter(wanted, native):
    """Picks the implementation and the interpreter, builds when --native
    asks for it, and makes sure this process is that interpreter; returns
    (module folder, site folder).  The module folder holds the native
    module or, for the pure implementation, Velmora.py."""
    forced = pure_forced()
    if forced and native:
        raise UsageError('--native and %s=%s ask for different implementations'
                         % (NO_EXTENSIONS, os.environ[NO_EXTENSIONS]))
    module_dir = os.environ.get('VELMORA_MODULE_DIR')
    if module_dir:
        if forced:
            module_dir = PURE
        python = os.environ.get('VELMORA_PYTHON') or sys.executable
        move_to(python, module_dir, os.environ.get('VELMORA_SITE_DIR'))
        current = sys.version_info[:2]
        if wanted is not None and version_tuple(wanted) != current:
            raise UsageError('no module is built for Python %s; built: %d.%d' % ((wanted,) + current))
        suffix = sysconfig.get_config_var('EXT_SUFFIX') or '.so'
        if not any(os.path.exists(os.path.join(module_dir, 'Velmora' + s))
                   for s in (suffix, '.py')):
            raise UsageError('VELMORA_MODULE_DIR holds no Velmora%s for Python %d.%d; '
                             'name its interpreter in VELMORA_PYTHON' % ((suffix,) + current))
        return module_dir, os.environ.get('VELMORA_SITE_DIR')
    if native:
        build()
        _, python, module_dir = choose(built(BUILD), wanted)
    else:
        python, module_dir = without_building(built(BUILD), wanted, forced)
    # PyCryptodome as Crypto, for the ciphers, once anything was built.
    site_dir = os.path.join(BUILD, 'site')
    if not os.path.isdir(site_dir):
        site_dir = None
    move_to(python, module_dir, site_dir)
    return module_dir, site_dir


# ------------------------------------------------------ the plugin's link

class Link:
    """The plugin's place under the plugin root for one run: a symbolic link
    to the working copy, and the folders of the root that had to be made.
    `remove` takes away exactly what `place` made, and nothing else."""

    def __init__(self, name, source, plugin_root=PLUGIN_ROOT):
        self.root = plugin_root
        self.path = plugin_root + '/' + name
        self.source = source
        self.made_link = False
        self.made_dirs = []

    def place(self):
        if os.path.lexists(self.path):
            if same_file(self.path, self.source):
                say('%s already leads to this working copy; using it as it is' % self.path)
                return
            raise UsageError('%s already exists and is not this working copy; '
                             'nothing was changed' % self.path)
        for attempt in range(3):
            try:
                self._make_root()
                os.symlink(self.source, self.path)
                self.made_link = True
                return
            except FileExistsError:
                self.remove()
                raise UsageError('%s appeared while devhost was placing its link; '
                                 'nothing was changed' % self.path)
            except FileNotFoundError:
                # Another run removed the emptied root just now: make it again.
                if attempt == 2:
                    self._cannot_write('it keeps disappearing')
            except OSError as ex:
                self._cannot_write(ex.strerror or str(ex))

    def _make_root(self):
        missing = []
        path = self.root
        while path not in ('/', '') and not os.path.isdir(path):
            missing.append(path)
            path = os.path.dirname(path)
        for path in reversed(missing):
            try:
                os.mkdir(path)
            except FileExistsError:
                continue
            self.made_dirs.append(path)

    def _cannot_write(self, why):
        self.remove()
        raise UsageError('cannot write to the plugin root %s (%s): run as root, '
                         'or make it writable for this user' % (self.root, why))

    def remove(self):
        if self.made_link:
            try:
                if os.path.islink(self.path) and os.readlink(self.path) == self.source:
                    os.unlink(self.path)
                self.made_link = False
            except OSError as ex:
                say('could not remove %s: %s' % (self.path, ex))
        while self.made_dirs:
            try:
                os.rmdir(self.made_dirs.pop())   # deepest first
            except OSError:
                break   # not empty: someone else put something there


@contextlib.contextmanager
def signals_held():
    """Holds back the signals that end a run while links are placed or
    removed, so neither is cut in half; they arrive when this ends."""
    held = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
    old = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def catch_signals():
    def interrupted(signum, frame):
        raise Interrupted(signum)
    # Set explicitly: a run started in the background inherits SIGINT
    # ignored, and a Ctrl-C must still remove the link.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, interrupted)
    if signal.getsignal(signal.SIGHUP) != signal.SIG_IGN:
        signal.signal(signal.SIGHUP, interrupted)


# ---------------------------------------------------------------- the run

@contextlib.contextmanager
def output_to_stderr():
    """Sends everything printed during the run to standard error, both the
    interpreter's sys.stdout and file descriptor 1 (which compiled plugins
    write to), so that standard output carries the result alone."""
    sys.stdout.flush()
    saved_fd = os.dup(1)
    saved_stdout = sys.stdout
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    try:
        yield
    finally:
        try:
            sys.stderr.flush()
            ctypes.CDLL(None).fflush(None)   # C stdio buffers of compiled code
        except Exception:
            pass
        sys.stdout = saved_stdout
        os.dup2(saved_fd, 1)
        os.close(saved_fd)


def load_module(module_dir, site_dir, class_dir=None):
    # No __pycache__ folders in the author's working copy.
    sys.dont_write_bytecode = True
    for path in reversed([module_dir, DEVHOST] + ([site_dir] if site_dir else [])):
        sys.path.insert(0, path)
    if not os.environ.get('VELMORA_CLOUD_OVERRIDE'):
        os.environ.setdefault('VELMORA_CATALOGUE_FILE', CATALOGUE)
    if class_dir:
        os.environ['VELMORA_CLASS_PATH'] = class_dir
    # The import refreshes the catalogue cache, data/plugin_list.json under
    # the working directory: in a folder of its own, not the author's.
    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix='velmora-devhost-') as work:
        os.mkdir(os.path.join(work, 'data'))
        os.chdir(work)
        try:
            import public   # noqa: F401  (the stand-in host, first on the path)
            import Velmora
        finally:
            os.chdir(here)
    return Velmora


def render(result):
    """The result as standard output shows it, and whether that is JSON."""
    try:
        return json.dumps(result, ensure_ascii=False, allow_nan=False), True
    except (TypeError, ValueError, RecursionError):
        pass
    try:
        return repr(result), False
    except Exception:
        return object.__repr__(result), False


def is_failure(result):
    return isinstance(result, dict) and result.get('status') is False


def failure_message(result):
    msg = result.get('msg') if is_failure(result) else None
    return msg if isinstance(msg, str) else ''


def is_tool_file(filename):
    """Frames of devhost itself and of the import machinery: nothing in them
    is the author's, whatever happened."""
    if filename.startswith('<frozen importlib'):
        return True
    real = os.path.realpath(filename)
    # The pure implementation's frames too: the native module has none.
    return os.path.dirname(real) in (os.path.realpath(DEVHOST), os.path.realpath(PURE)) or \
        real == os.path.realpath(LAUNCHER)


def own_frames(tb, own_folders):
    """`tb` from the first frame of a file under one of `own_folders` on,
    without devhost's frames and the import machinery's; None when no frame
    there is the author's (a syntax error, or a call the module refused)."""
    roots = [os.path.join(os.path.realpath(f), '') for f in own_folders]
    kept = []
    started = False
    while tb is not None:
        name = tb.tb_frame.f_code.co_filename
        started = started or os.path.realpath(name).startswith(tuple(roots))
        if started and not is_tool_file(name):
            kept.append(tb)
        tb = tb.tb_next
    trimmed = None
    for entry in reversed(kept):
        trimmed = types.TracebackType(trimmed, entry.tb_frame, entry.tb_lasti, entry.tb_lineno)
    return trimmed


def print_traceback(own_folders):
    """The current exception's traceback, showing the author's code only,
    and that of every exception chained to it."""
    exc = sys.exc_info()[1]
    seen = set()
    chained = exc
    while chained is not None and id(chained) not in seen:
        seen.add(id(chained))
        chained.__traceback__ = own_frames(chained.__traceback__, own_folders)
        chained = chained.__cause__ or (None if chained.__suppress_context__
                                        else chained.__context__)
    traceback.print_exception(type(exc), exc, exc.__traceback__)
    sys.stderr.flush()


def show_failure(what, steps, own_folders):
    """Does `what` again (`steps`: a step of the load that the runner did)
    and shows its traceback, which the runner reduced to the exception's
    text; or what `steps` found when it does not fail this time."""
    try:
        outcome = steps()
    except Exception:
        say('%s raised:' % what)
        print_traceback(own_folders)
    else:
        say('%s again: %s' % (what, outcome))


def public_operations(cls):
    """The names a runner can reach on an object of `cls` that are meant to
    be reached: its callable attributes not starting with _."""
    names = []
    for name in dir(cls):
        if name.startswith('_'):
            continue
        try:
            if callable(getattr(cls, name)):
                names.append(name)
        except Exception:
            continue
    return names


def list_operations(owner, wanted, names, what):
    if not names:
        say('%s has no public %ss (callable attributes not starting with _)' % (owner, what))
        return
    say('%s has no %s %r; its public %ss:' % (owner, what, wanted, what))
    listing(names)
    close = difflib.get_close_matches(wanted, names, n=1)
    if close:
        say('did you mean %s?' % close[0])


def classes_defined(module):
    """The names of the classes a module's own code defines."""
    try:
        space = vars(module)
    except TypeError:
        return []
    return sorted(name for name, value in space.items()
                  if isinstance(value, type) and value.__module__ == module.__name__)


def say_classes(path, module, wanted, rule):
    """The entry class is missing: the rule, and the classes that are there."""
    say('%s defines no class %s: %s' % (path, wanted, rule))
    classes = classes_defined(module)
    if len(classes) == 1:
        say('its one class is %s: rename it to %s' % (classes[0], wanted))
    else:
        say('its classes: %s' % (', '.join(classes) or 'none'))


def call_shape(cls, name, what):
    """Tells when `name` on an object of `cls` cannot be called with the
    request argument alone, as the runners call it; says nothing when it
    can, or when its signature cannot be read."""
    try:
        found = inspect.getattr_static(cls, name)
    except AttributeError:
        return
    if isinstance(found, staticmethod):
        function, bound = found.__func__, ()
    elif isinstance(found, classmethod):
        function, bound = found.__func__, (cls,)
    elif inspect.isfunction(found):
        function, bound = found, (None,)
    else:
        return
    try:
        signature = inspect.signature(function)
        signature.bind(*bound, 'args')
        return
    except TypeError:
        pass
    except ValueError:
        return
    code = function.__code__
    say('%s, line %d: def %s%s cannot be called with one argument'
        % (code.co_filename, code.co_firstlineno, name, signature))
    say('every %s is called with the request-argument object alone: def %s(self, args)'
        % (what, name))


def exported_functions(library):
    """The functions a compiled library exports, as `nm -D` lists them, or
    None when nm is not installed."""
    nm = shutil.which('nm')
    if nm is None:
        return None
    done = subprocess.run([nm, '-D', '--defined-only', library], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, universal_newlines=True)
    fields = (line.split() for line in done.stdout.splitlines())
    return sorted(f[2] for f in fields if len(f) == 3 and f[1] in 'TtWi' and
                  not f[2].startswith('_'))


def entry_class(name):
    """The entry class from the entry module that the runner imported (not
    a new plugin object, so the plugin's code does not run again), or None."""
    entry = sys.modules.get(name + ENTRY_SUFFIX)
    try:
        return getattr(entry, name + ENTRY_SUFFIX, None)
    except Exception:
        return None


def explain_plugin_operation(name, operation, source):
    so_file = os.path.join(source, name + SO_SUFFIX)
    if os.path.exists(os.path.join(source, name + SOURCE_SUFFIX)):
        cls = entry_class(name)
        if cls is not None:
            list_operations(name, operation, public_operations(cls), 'operation')
    elif os.path.exists(so_file):
        names = exported_functions(so_file)
        if names is None:
            say('%s is a compiled plugin: its operations are the functions its library '
                'exports (install binutils for nm to have them listed)' % name)
        else:
            list_operations(name, operation, names, 'operation')


def explain_plugin(name, source):
    """The plugin did not load: which part of its entry is at fault."""
    entry_name = name + ENTRY_SUFFIX
    main_file = os.path.join(source, entry_name + '.py')
    so_file = os.path.join(source, name + SO_SUFFIX)
    if os.path.exists(main_file):
        explain_entry(name, main_file, source)
    elif os.path.exists(so_file):
        show_failure('opening %s' % so_file,
                     lambda: ctypes.CDLL(so_file) and 'it opens this time', [source])
    else:
        explain_missing_entry(name, source)


def explain_missing_entry(name, source):
    entry = name + SOURCE_SUFFIX
    say('%s holds no %s: a plugin\'s entry file is named after its folder, '
        'NAME%s.py (or NAME%s when compiled)' % (source, entry, ENTRY_SUFFIX, SO_SUFFIX))
    try:
        files = sorted(os.listdir(source))
    except OSError:
        return
    sources = [f for f in files if f.endswith('.py')]
    libraries = [f for f in files if f.endswith('.so')]
    there = sources or libraries
    if not there:
        say('there is no .py file in it')
    elif len(there) == 1:
        say('its one %s file is %s: rename it to %s'
            % ('.py' if sources else '.so', there[0], entry if sources else name + SO_SUFFIX))
    else:
        say('its %s files: %s' % ('.py' if sources else '.so', ', '.join(there)))


def explain_entry(name, main_file, source):
    entry_name = name + ENTRY_SUFFIX
    entry = sys.modules.get(entry_name)
    found = getattr(entry, '__file__', None)
    if not isinstance(found, str):
        # The import itself failed, and took the module out again.
        show_failure('importing %s' % main_file,
                     lambda: load_file(entry_name, main_file) and
                     'it imports without an error this time', [source])
        return
    if not same_file(found, main_file):
        say('%s was imported from %s, not from %s' % (entry_name, found, main_file))
        say('a module of that name comes earlier on sys.path: give the plugin a name of its own')
        return
    cls = entry_class(name)
    if cls is None:
        say_classes(main_file, entry, entry_name, 'the entry class is named after the plugin, NAME%s' % ENTRY_SUFFIX)
        return

    def make():
        if cls() is None:
            return '%s() returned None, so there is no plugin object' % entry_name
        return 'it makes the plugin object without an error this time'
    show_failure('making the plugin object, %s() of %s,' % (entry_name, main_file), make,
                 [source])


def load_file(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def module_candidates(Velmora, class_dir, mod_name, args):
    """The module files that the runner tries, in its order."""
    if 'model_index' in args:
        index = args.model_index
        if index:
            return [MODULE_FILE_CHOSEN.format(class_dir, index, mod_name)]
        return [MODULE_FILE_PROJECT.format(class_dir, mod_name)]
    return [MODULE_FILE_SEARCH.format(class_dir, d, mod_name)
            for d in Velmora.get_module_list()]


def report_duplicates(mod_name, candidates):
    """Several module folders holding the module: the runner took the first
    in the class directory's listing order, which no name shows."""
    present = [p for p in candidates if os.path.exists(p)]
    if len(present) < 2:
        return
    say('%s is in %d module folders; the first in the class directory\'s listing '
        'order was used:' % (mod_name, len(present)))
    listing([present[0] + '  [used]'] + [p + '  [not used]' for p in present[1:]])
    folders = [os.path.basename(os.path.dirname(p)) for p in present]
    picks = ['model_index=%s' % f[:-len(MODULE_DIR_MARK)] for f in folders
             if f.endswith(MODULE_DIR_MARK) and f != MODULE_DIR_MARK]
    if picks:
        say('to choose one, pass %s' % ' or '.join(picks))


def module_folder_rule(folder):
    """The rule for module folders' names that `folder` breaks, or None."""
    if len(folder) < MODULE_DIR_MIN_LENGTH:
        return 'is at least %d characters long' % MODULE_DIR_MIN_LENGTH
    if MODULE_DIR_NO in folder:
        return 'holds no %r' % MODULE_DIR_NO
    if MODULE_DIR_MARK not in folder:
        return 'holds %r, capitalised so' % MODULE_DIR_MARK
    return None


def explain_missing_module(Velmora, class_dir, mod_name, candidates):
    """No module file: the paths looked for, the modules with a name like
    it, and files that the runner passed over though meant as this one."""
    say('no module file found; looked for:')
    listing(candidates or ['(no module folders in %s)' % class_dir])
    module_dirs = Velmora.get_module_list()
    wanted = mod_name + MODULE_FILE_SUFFIX
    known = {}
    try:
        folders = sorted(f for f in os.listdir(class_dir)
                         if os.path.isdir(os.path.join(class_dir, f)))
    except OSError:
        folders = []
    for folder in folders:
        try:
            files = sorted(os.listdir(os.path.join(class_dir, folder)))
        except OSError:
            continue
        broken = None if folder in module_dirs else module_folder_rule(folder)
        for f in files:
            path = os.path.join(class_dir, folder, f)
            if f == wanted and broken:
                say('%s is passed over: %s is not a module folder (a module folder\'s name %s)'
                    % (path, folder, broken))
            elif f != wanted and f.lower() in (mod_name.lower() + '.py', wanted.lower()):
                say('%s is passed over: module files are named MODULE%s; rename it to %s'
                    % (path, MODULE_FILE_SUFFIX, wanted))
            elif folder in module_dirs and f.endswith(MODULE_FILE_SUFFIX):
                known.setdefault(f[:-len(MODULE_FILE_SUFFIX)], path)
    close = difflib.get_close_matches(mod_name, sorted(known), n=1)
    if close:
        say('did you mean %s? (%s)' % (close[0], known[close[0]]))


def explain_module(Velmora, class_dir, mod_name, method, args, message, loaded):
    candidates = module_candidates(Velmora, class_dir, mod_name, args)
    if message == MODULE_NOT_FOUND % mod_name:
        explain_missing_module(Velmora, class_dir, mod_name, candidates)
        return
    found = next((p for p in candidates if os.path.exists(p)), None)
    if found is None:
        return
    if message == MODULE_NOT_LOADED % mod_name:
        say('the host could not load the module file')
        show_failure('loading %s' % found, lambda: load_file(mod_name + 'Model', found) and
                     'it loads without an error this time', [class_dir])
        return
    # The module object the host made for the runner: its top-level code
    # does not run again.
    entry = getattr(loaded, MODULE_CLASS, None)
    if message == MODULE_NO_METHOD % (mod_name, method):
        if isinstance(entry, type):
            list_operations('%s (%s)' % (mod_name, found), method, public_operations(entry),
                            'method')
    elif entry is None:
        say_classes(found, loaded, MODULE_CLASS, 'a panel module\'s entry class is named %s'
                    % MODULE_CLASS)
    else:
        show_failure('making the entry object, %s() of %s,' % (MODULE_CLASS, found),
                     lambda: getattr(entry(), method, None) and
                     'it makes the entry object without an error this time', [class_dir])


def load_from_working_copy(link, folder):
    """Has imports through the plugin's folder under the root load from the
    working copy behind the link instead, so that the plugin's __file__
    (and its helpers') names its own file, which outlives the run."""
    machinery = importlib.machinery
    details = [(machinery.ExtensionFileLoader, machinery.EXTENSION_SUFFIXES),
               (machinery.SourceFileLoader, machinery.SOURCE_SUFFIXES),
               (machinery.SourcelessFileLoader, machinery.BYTECODE_SUFFIXES)]

    def finder(path):
        if path != link.path:
            raise ImportError('not the linked plugin folder')
        return machinery.FileFinder(folder, *details)
    sys.path_hooks.insert(0, finder)
    sys.path_importer_cache.pop(link.path, None)


def run_plugin(invocation, module_dir, site_dir, pairs):
    """(result, where the result came from)."""
    folder = os.path.realpath(invocation.folder)
    name = os.path.basename(invocation.folder)
    operation = invocation.names[0]
    link = Link(name, invocation.folder)
    where = '%s.%s (%s)' % (name + ENTRY_SUFFIX, operation,
                            os.path.join(folder, name + SOURCE_SUFFIX))
    try:
        with signals_held():
            link.place()
        Velmora = load_module(module_dir, site_dir)
        load_from_working_copy(link, folder)
        import public
        try:
            result = Velmora.plugin_run(name, operation, public.Request(pairs))
        except Exception as ex:
            print_traceback([invocation.folder])
            cls = entry_class(name)
            if isinstance(ex, TypeError) and cls is not None:
                call_shape(cls, operation, 'operation')
            return RAISED, where
        message = failure_message(result)
        if message.startswith((PLUGIN_PY_FAILED, PLUGIN_SO_FAILED, PLUGIN_LOAD_FAILED)):
            explain_plugin(name, folder)
        elif message == PLUGIN_NO_OPERATION % (name, operation):
            explain_plugin_operation(name, operation, folder)
        return result, where
    finally:
        with signals_held():
            link.remove()


def run_module(invocation, module_dir, site_dir, pairs):
    """(result, where the result came from)."""
    class_dir = invocation.folder
    mod_name, method = invocation.names
    Velmora = load_module(module_dir, site_dir, class_dir)
    import public
    args = public.Request(pairs)
    # The module object the host makes, kept to explain a failure with.
    loaded = []
    host_load = public.get_script_object

    def get_script_object(filename):
        loaded.append(host_load(filename))
        return loaded[-1]
    public.get_script_object = get_script_object
    try:
        result = Velmora.module_run(mod_name, method, args)
    except Exception as ex:
        print_traceback([class_dir])
        entry = getattr(loaded[-1], MODULE_CLASS, None) if loaded else None
        if isinstance(ex, TypeError) and isinstance(entry, type):
            call_shape(entry, method, 'method')
        result = RAISED
    candidates = module_candidates(Velmora, class_dir, mod_name, args)
    if 'model_index' not in args:
        report_duplicates(mod_name, candidates)
    message = failure_message(result)
    if message in (MODULE_NOT_FOUND % mod_name, MODULE_NOT_LOADED % mod_name,
                   MODULE_NOT_MADE, MODULE_NO_METHOD % (mod_name, method)):
        explain_module(Velmora, class_dir, mod_name, method, args, message,
                       loaded[-1] if loaded else None)
    found = next((p for p in candidates if os.path.exists(p)), class_dir)
    return result, '%s.%s (%s)' % (MODULE_CLASS, method, found)


def run(invocation, module_dir, site_dir):
    """Runs the operation or method; returns the exit status."""
    with output_to_stderr():
        if invocation.command == 'plugin':
            result, where = run_plugin(invocation, module_dir, site_dir, invocation.pairs)
        else:
            result, where = run_module(invocation, module_dir, site_dir, invocation.pairs)
    if result is RAISED:
        return EXIT_FAILURE
    text, is_json = render(result)
    if not is_json:
        say('%s returned %s, which JSON cannot encode: the panel expects a dictionary, '
            'or at least something JSON can encode' % (where, type(result).__name__))
    data = (text + '\n').encode('utf-8', 'backslashreplace')
    while data:
        data = data[os.write(1, data):]
    return EXIT_FAILURE if is_failure(result) else EXIT_RESULT


def main(argv, launcher=None):
    """The tool; `launcher` is the script that started it, which a move to
    another interpreter starts again."""
    global LAUNCHER
    if launcher:
        LAUNCHER = launcher
    catch_signals()
    try:
        invocation = parse(argv)
        module_dir, site_dir = settle_interpreter(invocation.python, invocation.native)
        return run(invocation, module_dir, site_dir)
    except UsageError as ex:
        for line in str(ex).splitlines():
            say(line)
        return EXIT_USAGE
    except KeyboardInterrupt:
        say('interrupted')
        return EXIT_INTERRUPTED
    except Interrupted as ex:
        say('stopped by signal %d' % ex.args[0])
        return 128 + ex.args[0]
