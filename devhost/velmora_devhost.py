"""Runs one plugin operation, or one method of a panel module, through
the built Velmora module and the stand-in host in devhost/, outside the panel.

usage: scripts/devhost plugin PLUGIN_DIR OPERATION [KEY=VALUE ...] [--python VERSION]
       scripts/devhost module CLASS_DIR MODULE METHOD [KEY=VALUE ...] [--python VERSION]

  plugin   PLUGIN_DIR is the plugin's working copy; its base name is the
           plugin's name.  For the run it is linked into the panel's plugin
           root, /www/server/panel/plugin/NAME, and the link is removed again
           afterwards.  An existing file or folder there is never touched.
  module   CLASS_DIR serves as the panel's class directory.

  KEY=VALUE  becomes an attribute of the request-argument object, whose `in`
             is true for exactly these keys; values are text.
  --python   3.7, 3.12 or any other built interpreter; default the newest.

The module is built first (build/, as the demo does).  Its catalogue refresh
at import is answered from devhost/catalogue.json, unless
VELMORA_CLOUD_OVERRIDE names a server.  Standard output carries only the
result: JSON when it can be encoded, its repr otherwise.  Everything printed
while the module is imported and the operation runs goes to standard error.

Exit status: 0 a result; 1 a failure result (a dictionary whose "status" is
False) or an exception (traceback on standard error); 2 a usage error;
130 interrupted.

When an operation or method is missing, the ones the plugin or module
offers are listed; when the plugin or module fails, its traceback shows its
own code only; when two module folders hold the module, the one used and
the others are named.

VELMORA_MODULE_DIR (and VELMORA_PYTHON, default this interpreter) name an
already built module folder to use instead of building; the tests use them.
scripts/devhost is the launcher; the tool is this file, devhost/velmora_devhost.py.
"""
import contextlib
import ctypes
import difflib
import glob
import importlib.util
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
PLUGIN_ROOT = '/www/server/panel/plugin'
SO_SUFFIX = '_main.cpython-37m-x86_64-linux-gnu.so'
# Set in the interpreter that the tool moved to, so it never moves twice.
MOVED = 'VELMORA_DEVHOST_MOVED'

# The runners' own messages for an entry that did not load.
PLUGIN_LOAD_FAILURES = ('加载 Python 插件模块失败: ', '加载 SO 插件模块失败: ', '插件加载失败!')
MODULE_NOT_FOUND = '模块[%s]不存在'
MODULE_NOT_LOADED = '模块[%s]不存在!'
MODULE_NOT_MADE = '模块入口实例化失败'
# ...and for a name the plugin object or the module's entry object lacks.
PLUGIN_NO_OPERATION = '在[%s]插件中找不到[%s]方法'
MODULE_NO_METHOD = '在[%s]模块中找不到[%s]方法'

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
    def __init__(self, command, folder, names, pairs, python):
        self.command = command      # 'plugin' or 'module'
        self.folder = folder        # absolute
        self.names = names          # [OPERATION] or [MODULE, METHOD]
        self.pairs = pairs          # [(key, value)], in the order given
        self.python = python        # the VERSION asked for, or None


def parse(argv):
    python = None
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
    short = len(given) < len(wanted) or any('=' in w for w in given[1:])
    if short:
        raise UsageError('%s needs %s before any KEY=VALUE' % (command, ' '.join(wanted)))
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
    return Invocation(command, folder, given[1:], pairs, python)


def version_tuple(text):
    parts = text.split('.')
    if len(parts) != 2 or not all(p.isdigit() for p in parts):
        return None
    return int(parts[0]), int(parts[1])


class Request:
    """The request-argument object: the pairs as attributes, and `in` true
    for exactly their keys."""

    def __init__(self, pairs):
        for key, value in pairs:
            setattr(self, key, value)

    def __contains__(self, key):
        return key in self.__dict__

    def __repr__(self):
        return 'Request(%s)' % ', '.join('%s=%r' % kv for kv in self.__dict__.items())


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
             'a configure of %s builds for every CPython 3.7 to 3.13 under pyenv\'s '
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
    pyenv = os.environ.get('PYENV_ROOT') or os.path.join(os.path.expanduser('~'), '.pyenv')
    candidates = sorted(glob.glob(os.path.join(pyenv, 'versions', '%d.%d.*' % version,
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


def settle_interpreter(wanted):
    """Builds when needed and makes sure this process is the interpreter
    asked for; returns (module folder, site folder)."""
    module_dir = os.environ.get('VELMORA_MODULE_DIR')
    if module_dir:
        python = os.environ.get('VELMORA_PYTHON') or sys.executable
        move_to(python, module_dir, os.environ.get('VELMORA_SITE_DIR'))
        current = sys.version_info[:2]
        if wanted is not None and version_tuple(wanted) != current:
            raise UsageError('no module is built for Python %s; built: %d.%d' % ((wanted,) + current))
        suffix = sysconfig.get_config_var('EXT_SUFFIX') or '.so'
        if not os.path.exists(os.path.join(module_dir, 'Velmora' + suffix)):
            raise UsageError('VELMORA_MODULE_DIR holds no Velmora%s for Python %d.%d; '
                             'name its interpreter in VELMORA_PYTHON' % ((suffix,) + current))
        return module_dir, os.environ.get('VELMORA_SITE_DIR')
    build()
    _, python, module_dir = choose(built(BUILD), wanted)
    site_dir = os.path.join(BUILD, 'site')
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
    try:
        return json.dumps(result, ensure_ascii=False, allow_nan=False)
    except (TypeError, ValueError, RecursionError):
        pass
    try:
        return repr(result)
    except Exception:
        return object.__repr__(result)


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
    return os.path.dirname(real) == os.path.realpath(DEVHOST) or \
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


def show_traceback_of(what, steps, own_folders):
    """Runs `steps` (the load that the runner did, done again directly) and
    prints its traceback; the runner reports only the exception's text."""
    say('%s directly:' % what)
    try:
        outcome = steps()
    except Exception:
        print_traceback(own_folders)
    else:
        say(outcome)


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


def explain_plugin_operation(name, operation, link):
    main_file = '%s/%s_main.py' % (link.path, name)
    so_file = '%s/%s%s' % (link.path, name, SO_SUFFIX)
    if os.path.exists(main_file):
        # The entry module that the runner imported: its class is listed,
        # not a new plugin object, so the plugin's code does not run again.
        entry = sys.modules.get(name + '_main')
        cls = getattr(entry, name + '_main', None)
        if cls is not None:
            list_operations(name, operation, public_operations(cls), 'operation')
    elif os.path.exists(so_file):
        names = exported_functions(so_file)
        if names is None:
            say('%s is a compiled plugin: its operations are the functions its library '
                'exports (install binutils for nm to have them listed)' % name)
        else:
            list_operations(name, operation, names, 'operation')


def explain_plugin(name, link, source):
    main_file = '%s/%s_main.py' % (link.path, name)
    so_file = '%s/%s%s' % (link.path, name, SO_SUFFIX)
    say('the plugin did not load; entry files looked for (%s leads to %s):' % (link.path, source))
    listing('%s  [%s]' % (path, 'found' if os.path.exists(path) else 'missing')
            for path in (main_file, so_file))
    if os.path.exists(main_file):
        own_file = os.path.join(source, name + '_main.py')

        def load():
            entry = load_file(name + '_main', own_file)
            made = getattr(entry, name + '_main')()
            if made is None:
                return '%s_main() returned None, so there is no plugin object' % name
            return 'it loads without an error this time'
        show_traceback_of('importing %s' % own_file, load, [source])
    elif os.path.exists(so_file):
        show_traceback_of('opening %s' % so_file,
                          lambda: ctypes.CDLL(so_file) and 'it opens this time', [source])


def load_file(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def module_candidates(Velmora, class_dir, mod_name, args):
    """The module files that the runner tries, in its order."""
    if 'model_index' in args:
        index = args.model_index
        folder = '%sModel' % index if index else 'projectModel'
        return ['%s/%s/%sModel.py' % (class_dir, folder, mod_name)]
    return ['%s/%s/%sModel.py' % (class_dir, d, mod_name) for d in Velmora.get_module_list()]


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
    picks = ['model_index=%s' % f[:-len('Model')] for f in folders
             if f.endswith('Model') and f != 'Model']
    if picks:
        say('to choose one, pass %s' % ' or '.join(picks))


def explain_module(Velmora, class_dir, mod_name, method, args, message):
    candidates = module_candidates(Velmora, class_dir, mod_name, args)
    if message == MODULE_NOT_FOUND % mod_name:
        say('no module file found; looked for:')
        listing(candidates or ['(no module folders in %s)' % class_dir])
        return
    found = next((p for p in candidates if os.path.exists(p)), None)
    if found is None:
        return
    if message == MODULE_NO_METHOD % (mod_name, method):
        # The entry class's methods, read off the class: main() does not
        # run again.  The file's top-level code does, to get the class.
        try:
            entry = getattr(load_file(mod_name + 'Model', found), 'main', None)
        except Exception:
            return
        if isinstance(entry, type):
            list_operations('%s (%s)' % (mod_name, found), method, public_operations(entry),
                            'method')
        return

    def load():
        module = load_file(mod_name + 'Model', found)
        getattr(module.main(), method, None)
        return 'it loads without an error this time'
    if message == MODULE_NOT_MADE:
        say('the entry object could not be made with main()')
    else:
        say('the host could not load the module file')
    show_traceback_of('loading %s' % found, load, [class_dir])


def run_plugin(invocation, module_dir, site_dir, args):
    name = os.path.basename(invocation.folder)
    operation = invocation.names[0]
    link = Link(name, invocation.folder)
    try:
        with signals_held():
            link.place()
        Velmora = load_module(module_dir, site_dir)
        try:
            result = Velmora.plugin_run(name, operation, args)
        except Exception:
            print_traceback([invocation.folder])
            return RAISED
        message = failure_message(result)
        if message.startswith(PLUGIN_LOAD_FAILURES):
            explain_plugin(name, link, invocation.folder)
        elif message == PLUGIN_NO_OPERATION % (name, operation):
            explain_plugin_operation(name, operation, link)
        return result
    finally:
        with signals_held():
            link.remove()


def run_module(invocation, module_dir, site_dir, args):
    class_dir = invocation.folder
    mod_name, method = invocation.names
    Velmora = load_module(module_dir, site_dir, class_dir)
    try:
        result = Velmora.module_run(mod_name, method, args)
    except Exception:
        print_traceback([class_dir])
        result = RAISED
    if 'model_index' not in args:
        report_duplicates(mod_name, module_candidates(Velmora, class_dir, mod_name, args))
    message = failure_message(result)
    if message in (MODULE_NOT_FOUND % mod_name, MODULE_NOT_LOADED % mod_name,
                   MODULE_NOT_MADE, MODULE_NO_METHOD % (mod_name, method)):
        explain_module(Velmora, class_dir, mod_name, method, args, message)
    return result


def run(invocation, module_dir, site_dir):
    """Runs the operation or method; returns the exit status."""
    args = Request(invocation.pairs)
    with output_to_stderr():
        if invocation.command == 'plugin':
            result = run_plugin(invocation, module_dir, site_dir, args)
        else:
            result = run_module(invocation, module_dir, site_dir, args)
    if result is RAISED:
        return EXIT_FAILURE
    text = render(result) + '\n'
    data = text.encode('utf-8', 'backslashreplace')
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
        module_dir, site_dir = settle_interpreter(invocation.python)
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
