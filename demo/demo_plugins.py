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


def _show(label, call, expected):
    """Runs one call and prints its result; true when it was `expected`
    (a callable is asked whether it was)."""
    try:
        result = call()
    except Exception as ex:
        print('%-44s -> raised %s: %s' % (label, type(ex).__name__, ex))
        return False
    print('%-44s -> %r' % (label, result))
    return expected(result) if callable(expected) else result == expected


def run(Velmora, public):
    print('== Plugin runner ==')
    print('interpreter %d.%d, plugin root %s' % (sys.version_info[0], sys.version_info[1], ROOT))
    created_chain = _missing_chain()
    path_before = list(sys.path)
    build_dir = tempfile.mkdtemp(prefix='velmora-demo-plugin-')
    made = []
    Request = public.Request
    try:
        made = _install(build_dir)
        compiled = os.path.exists(os.path.join(ROOT, COMPILED_PLUGIN, COMPILED_PLUGIN + SO_SUFFIX))
        run_ = Velmora.plugin_run
        answered = _show("plugin_run('%s', 'get_note')" % SOURCE_PLUGIN,
                         lambda: run_(SOURCE_PLUGIN, 'get_note', Request(name='admin')),
                         lambda r: isinstance(r, dict) and r.get('status') is True)
        if compiled:
            answered &= _show("plugin_run('%s', 'square')  [21]" % COMPILED_PLUGIN,
                              lambda: run_(COMPILED_PLUGIN, 'square', Request(_as_parameter_=21)),
                              441)
            answered &= _show("plugin_run('%s', 'add_ten') [5]" % COMPILED_PLUGIN,
                              lambda: run_(COMPILED_PLUGIN, 'add_ten', Request(_as_parameter_=5)),
                              15)
        print('-- failures come back as result dictionaries --')
        failures = [
            (SOURCE_PLUGIN, 'no_such_op', '在[%s]插件中找不到[no_such_op]方法' % SOURCE_PLUGIN),
            ('velmora_demo_absent', 'x', '插件加载失败!'),
            ('../../class', 'x', '插件加载失败!'),
        ]
        refused = 0
        for name, operation, message in failures:
            refused += _show("plugin_run(%r, %r)" % (name, operation),
                             lambda: run_(name, operation, Request()),
                             public.returnMsg(False, message))
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
    if not answered or refused != len(failures):
        raise RuntimeError('a plugin call did not answer as expected (see above)')
    return ('a source plugin; %s; %d failure results'
            % ('a compiled one (square 21 -> 441, add_ten 5 -> 15)' if compiled
               else 'no compiled one (not built)', refused))


if __name__ == '__main__':
    import Velmora
    import public
    run(Velmora, public)
