"""The plugin runner: installs a sample source plugin and a sample compiled
plugin under the panel's plugin root, runs an operation of each through
plugin_run, shows how failures come back, and removes the samples again."""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = '/www/server/panel/plugin'
HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, 'plugins')
SOURCE_PLUGIN = 'velmora_demo_notes'
COMPILED_PLUGIN = 'velmora_demo_calc'
SO_SUFFIX = '_main.cpython-37m-x86_64-linux-gnu.so'


class Request:
    """What the panel hands a plugin: `in` and attribute reads; the integer
    in _as_parameter_ is what ctypes passes to a compiled operation."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __contains__(self, key):
        return key in self.__dict__


def _missing_chain():
    chain, path = [], ROOT
    while path not in ('/', ''):
        if not os.path.isdir(path):
            chain.append(path)
        path = os.path.dirname(path)
    return chain


def _build_library(target):
    """Compiles the sample C plugin; returns an error text or None."""
    compiler = os.environ.get('VELMORA_CC') or shutil.which('cc') or shutil.which('gcc')
    if not compiler:
        return 'no C compiler found'
    env = {k: v for k, v in os.environ.items() if k not in ('LD_PRELOAD', 'PYTHONMALLOC')}
    done = subprocess.run(
        [compiler, '-shared', '-fPIC', '-O2', '-o', target,
         os.path.join(SAMPLES, COMPILED_PLUGIN + '.c')],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, env=env)
    return None if done.returncode == 0 else done.stdout.strip() or 'compiler failed'


def _install(build_dir):
    """Puts both samples under the plugin root; returns the folders made."""
    made = []
    source_dir = os.path.join(ROOT, SOURCE_PLUGIN)
    compiled_dir = os.path.join(ROOT, COMPILED_PLUGIN)
    for folder in (source_dir, compiled_dir):
        if os.path.exists(folder):
            print('%s already exists; leaving it alone' % folder)
            continue
        os.makedirs(folder)
        made.append(folder)
    if source_dir in made:
        shutil.copyfile(os.path.join(SAMPLES, SOURCE_PLUGIN + '_main.py'),
                        os.path.join(source_dir, SOURCE_PLUGIN + '_main.py'))
        print('installed source plugin   %s/%s_main.py' % (source_dir, SOURCE_PLUGIN))
    if compiled_dir in made:
        library = os.path.join(build_dir, 'calc.so')
        problem = _build_library(library)
        if problem:
            print('compiled plugin not built: %s' % problem)
        else:
            target = os.path.join(compiled_dir, COMPILED_PLUGIN + SO_SUFFIX)
            shutil.copyfile(library, target)
            print('installed compiled plugin %s' % target)
    return made


def _show(label, call):
    try:
        print('%-44s -> %r' % (label, call()))
    except Exception as ex:
        print('%-44s -> raised %s: %s' % (label, type(ex).__name__, ex))


def run(Velmora, public):
    print('== Plugin runner ==')
    print('interpreter %d.%d, plugin root %s' % (sys.version_info[0], sys.version_info[1], ROOT))
    created_chain = _missing_chain()
    path_before = list(sys.path)
    build_dir = tempfile.mkdtemp(prefix='velmora-demo-plugin-')
    made = []
    try:
        made = _install(build_dir)
        run_ = Velmora.plugin_run
        _show("plugin_run('%s', 'get_note')" % SOURCE_PLUGIN,
              lambda: run_(SOURCE_PLUGIN, 'get_note', Request(name='admin')))
        _show("plugin_run('%s', 'square')  [21]" % COMPILED_PLUGIN,
              lambda: run_(COMPILED_PLUGIN, 'square', Request(_as_parameter_=21)))
        _show("plugin_run('%s', 'add_ten') [5]" % COMPILED_PLUGIN,
              lambda: run_(COMPILED_PLUGIN, 'add_ten', Request(_as_parameter_=5)))
        print('-- failures come back as result dictionaries --')
        _show("plugin_run('%s', 'no_such_op')" % SOURCE_PLUGIN,
              lambda: run_(SOURCE_PLUGIN, 'no_such_op', Request()))
        _show("plugin_run('velmora_demo_absent', 'x')",
              lambda: run_('velmora_demo_absent', 'x', Request()))
        _show("plugin_run('../../class', 'x')",
              lambda: run_('../../class', 'x', Request()))
    finally:
        for folder in made:
            shutil.rmtree(folder, ignore_errors=True)
        for path in created_chain:  # deepest first
            try:
                os.rmdir(path)
            except OSError:
                pass
        shutil.rmtree(build_dir, ignore_errors=True)
        for name in (SOURCE_PLUGIN, COMPILED_PLUGIN, 'velmora_demo_absent'):
            sys.modules.pop(name + '_main', None)
            sys.path_importer_cache.pop(os.path.join(ROOT, name), None)
        sys.path[:] = path_before
        print('samples removed')


if __name__ == '__main__':
    import Velmora
    import public
    run(Velmora, public)
