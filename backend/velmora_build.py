"""Builds Velmora's wheel and source archive for pip (PEP 517), with the
standard library and CMake only, so that it works with no package index.

A wheel holds the module for the interpreter that runs this backend and no
other: pip under CPython 3.7 makes a cp37 wheel, pip under 3.12 a cp312 one.
The module is built by the project's own CMake build and laid out by its
install rules, so a wheel holds what `cmake --install` installs for that
interpreter: the module and Velmora.pyi at the top level, the build record
in dist-info.  The stub goes in once more as the stub-only package
Velmora-stubs, the one form in which type checkers look up a single-file
module's stub in site-packages.

With VELMORA_NO_EXTENSIONS set (to anything but "" and "0") it makes the
pure wheel instead, velmora-<version>-py3-none-any.whl, for every Python 3.7
or later: the pure-Python implementation pure/Velmora.py and the same stub,
with no compiler or CMake involved.

Config settings (pip's --config-settings KEY=VALUE, from pip 22.1 on):
  cloud-root  the cloud API root built into the module (the pure wheel's
              Velmora.py carries it in place of its default); without it, the
              VELMORA_CLOUD_ROOT environment variable, then CMake's default
  build-type  CMake build type (default Release; Release and MinSizeRel
              builds are stripped); not used by the pure wheel
  build-dir   a folder to keep the CMake build in, for quicker rebuilds
              (default: a temporary folder, removed afterwards); not used by
              the pure wheel
"""
import base64
import csv
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile

NAME = 'Velmora'
DIST = 'velmora'  # the normalised name used in file names
SUMMARY = ('Native CPython extension for the server control panel: runs plugins '
           'and panel modules, caches the plugin catalogue, encrypts texts')
PURE_SUMMARY = ('Pure-Python Velmora for the server control panel: runs plugins and '
                'panel modules, caches the plugin catalogue, encrypts texts')
LICENSE = 'MIT'
REQUIRES_PYTHON = '>=3.7'
# The text ciphers import Crypto.Cipher at call time: the module imports
# without it, but every cipher call (and so every database field) fails.
# pip installs it with the wheel unless told --no-deps, which an offline
# install needs since there is no index to fetch it from.
REQUIRES_DIST = ['pycryptodome']
CLASSIFIERS = [
    'License :: OSI Approved :: MIT License',
    'Operating System :: POSIX :: Linux',
    'Programming Language :: C++',
    'Programming Language :: Python :: Implementation :: CPython',
    'Typing :: Typed',
]
PURE_CLASSIFIERS = [
    'License :: OSI Approved :: MIT License',
    'Operating System :: POSIX :: Linux',
    'Programming Language :: Python :: 3',
    'Typing :: Typed',
]
PURE_TAG = 'py3-none-any'

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Folders that never go into a source archive when it is made without git.
_SKIP_DIRS = {'.git', '__pycache__', '.mypy_cache', 'dist'}


# --- What is being built ---------------------------------------------------

def version():
    """The version from `project(Velmora VERSION x.y.z)` in CMakeLists.txt."""
    with open(os.path.join(ROOT, 'CMakeLists.txt'), encoding='utf-8') as f:
        text = f.read()
    m = re.search(r'^\s*project\s*\(\s*Velmora\b[^)]*?\bVERSION\s+([0-9]+(?:\.[0-9]+){0,3})\b',
                  text, re.IGNORECASE | re.MULTILINE)
    if m is None:
        raise RuntimeError('CMakeLists.txt sets no version in project(Velmora VERSION ...)')
    return m.group(1)


def _interpreter():
    """(CMake's per-interpreter tag, wheel tag) for this interpreter."""
    if sys.implementation.name != 'cpython' or sys.version_info < (3, 7):
        raise RuntimeError('Velmora builds for CPython 3.7 or later only, not %s %s'
                           % (sys.implementation.name, sys.version.split()[0]))
    major, minor = sys.version_info[:2]
    # SOABI is "cpython-37m-x86_64-linux-gnu", "cpython-312-x86_64-linux-gnu":
    # its second field carries the ABI flags (m, d, t) that the tag needs.
    soabi = sysconfig.get_config_var('SOABI') or ''
    m = re.match(r'cpython-(\d+)([a-z]*)', soabi)
    if m is None:
        raise RuntimeError('cannot tell the ABI of this interpreter from SOABI %r' % soabi)
    python_tag = 'cp%d%d' % (major, minor)
    abi_tag = 'cp%s%s' % m.groups()
    platform_tag = re.sub(r'[-.]', '_', sysconfig.get_platform())
    return 'py%d%d' % (major, minor), '%s-%s-%s' % (python_tag, abi_tag, platform_tag)


def _pure():
    """Whether the pure wheel is asked for (VELMORA_NO_EXTENSIONS)."""
    return os.environ.get('VELMORA_NO_EXTENSIONS', '') not in ('', '0')


def _dist_info():
    return '%s-%s.dist-info' % (DIST, version())


def _metadata(pure=False):
    lines = [
        'Metadata-Version: 2.1',
        'Name: ' + NAME,
        'Version: ' + version(),
        'Summary: ' + (PURE_SUMMARY if pure else SUMMARY),
        'License: ' + LICENSE,
        'Requires-Python: ' + REQUIRES_PYTHON,
    ]
    lines += ['Requires-Dist: ' + r for r in REQUIRES_DIST]
    lines += ['Classifier: ' + c for c in (PURE_CLASSIFIERS if pure else CLASSIFIERS)]
    return '\n'.join(lines) + '\n'


def _wheel_file(tag, pure=False):
    return ('Wheel-Version: 1.0\n'
            'Generator: velmora_build %s\n'
            'Root-Is-Purelib: %s\n'
            'Tag: %s\n' % (version(), 'true' if pure else 'false', tag))


class _Settings:
    def __init__(self, config_settings):
        given = dict(config_settings or {})
        cloud_root = given.get('cloud-root') or os.environ.get('VELMORA_CLOUD_ROOT') or None
        self.cloud_root = cloud_root
        self.build_type = given.get('build-type') or 'Release'
        self.build_dir = given.get('build-dir') or None
        unknown = sorted(set(given) - {'cloud-root', 'build-type', 'build-dir'})
        if unknown:
            raise ValueError('unknown config setting(s): %s (known: cloud-root, build-type, '
                             'build-dir)' % ', '.join(unknown))


# --- CMake -----------------------------------------------------------------

def _run(cmd):
    print('velmora_build: ' + ' '.join(cmd), flush=True)
    subprocess.run(cmd, check=True)


def _cmake():
    cmake = shutil.which('cmake')
    if cmake is None:
        raise RuntimeError('CMake 3.20 or later is needed to build Velmora (scripts/prepare.sh '
                           'installs it)')
    return cmake


def _build_and_install(settings, component, build_dir, prefix):
    """Builds this interpreter's module and installs its component under
    `prefix`; returns the installed files' paths."""
    cmake = _cmake()
    configure = [cmake, '-S', ROOT, '-B', build_dir,
                 '-DCMAKE_BUILD_TYPE=' + settings.build_type,
                 '-DVELMORA_PYTHONS=' + sys.executable]
    # A kept build folder remembers an earlier cloud root; forget it when
    # none is given now, so the result never depends on what ran before.
    if settings.cloud_root:
        configure.append('-DVELMORA_CLOUD_ROOT=' + settings.cloud_root)
    else:
        configure.append('-UVELMORA_CLOUD_ROOT')
    _run(configure)
    _run([cmake, '--build', build_dir, '--target', 'velmora_' + component,
          '-j', str(os.cpu_count() or 2)])
    install = [cmake, '--install', build_dir, '--component', component, '--prefix', prefix]
    if settings.build_type in ('Release', 'MinSizeRel'):
        install.append('--strip')
    _run(install)
    manifest = os.path.join(build_dir, 'install_manifest_%s.txt' % component)
    with open(manifest, encoding='utf-8') as f:
        return [line for line in f.read().splitlines() if line]


# --- Archives --------------------------------------------------------------

def _timestamp():
    """SOURCE_DATE_EPOCH when set, for reproducible archives; else now."""
    epoch = os.environ.get('SOURCE_DATE_EPOCH')
    return max(int(epoch), 315532800) if epoch else int(time.time())  # zip starts at 1980


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=')
    return 'sha256=' + digest.decode('ascii')


def _write_wheel(path, entries, dist_info):
    """entries: (archive name, bytes, executable).  Adds the RECORD last."""
    stamp = time.gmtime(_timestamp())[:6]
    rows = []
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as zf:
        for name, data, executable in entries:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            zf.writestr(info, data)
            rows.append((name, _record_hash(data), str(len(data))))
        record_name = dist_info + '/RECORD'
        rows.append((record_name, '', ''))
        buf = io.StringIO()
        csv.writer(buf, lineterminator='\n').writerows(rows)
        info = zipfile.ZipInfo(record_name, date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o100644 << 16
        zf.writestr(info, buf.getvalue())


def _read(path):
    with open(path, 'rb') as f:
        return f.read()


def _tracked_files():
    """The files of the source tree: git's tracked files when this is a git
    checkout, otherwise (an unpacked source archive) every file."""
    if os.path.isdir(os.path.join(ROOT, '.git')) and shutil.which('git'):
        out = subprocess.run(['git', 'ls-files', '-z', '--cached'], cwd=ROOT, check=True,
                             stdout=subprocess.PIPE).stdout
        names = [n for n in out.decode('utf-8').split('\0') if n]
        # Deleted but not yet committed files are left out.
        return sorted(n for n in names if os.path.isfile(os.path.join(ROOT, n)))
    found = []
    for folder, dirs, files in os.walk(ROOT):
        rel = os.path.relpath(folder, ROOT)
        dirs[:] = sorted(d for d in dirs if d not in _SKIP_DIRS and not
                         (rel == '.' and d.startswith(('build', 'dist'))))
        for f in files:
            if f == 'PKG-INFO' and rel == '.' or f.endswith(('.pyc', '.whl')):
                continue
            found.append(os.path.normpath(os.path.join(rel, f)))
    return sorted(found)


# --- PEP 517 hooks ---------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    pure = _pure()
    tag = PURE_TAG if pure else _interpreter()[1]
    dist_info = _dist_info()
    target = os.path.join(metadata_directory, dist_info)
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, 'METADATA'), 'w', encoding='utf-8') as f:
        f.write(_metadata(pure))
    with open(os.path.join(target, 'WHEEL'), 'w', encoding='utf-8') as f:
        f.write(_wheel_file(tag, pure))
    return dist_info


# The line of pure/Velmora.py that names the cloud root.
_CLOUD_ROOT_LINE = re.compile(r"^_CLOUD_ROOT = '[^'\n]*'$", re.MULTILINE)


def _pure_module(settings):
    """pure/Velmora.py as bytes, carrying the cloud root when one is set."""
    with open(os.path.join(ROOT, 'pure', 'Velmora.py'), encoding='utf-8') as f:
        source = f.read()
    if settings.cloud_root:
        if settings.cloud_root.endswith('/'):
            raise ValueError('the cloud root must not end with a slash: %s' % settings.cloud_root)
        source, count = _CLOUD_ROOT_LINE.subn(
            lambda m: '_CLOUD_ROOT = %r' % settings.cloud_root, source)
        if count != 1:
            raise RuntimeError('pure/Velmora.py names its cloud root %d times, not once' % count)
    return source.encode('utf-8')


def _build_pure_wheel(wheel_directory, settings):
    dist_info = _dist_info()
    stub = _read(os.path.join(ROOT, 'stubs', 'Velmora.pyi'))
    entries = [
        (NAME + '.py', _pure_module(settings), False),
        (NAME + '.pyi', stub, False),
        (NAME + '-stubs/__init__.pyi', stub, False),
        (dist_info + '/LICENSE', _read(os.path.join(ROOT, 'LICENSE')), False),
        (dist_info + '/METADATA', _metadata(True).encode('utf-8'), False),
        (dist_info + '/WHEEL', _wheel_file(PURE_TAG, True).encode('utf-8'), False),
    ]
    name = '%s-%s-%s.whl' % (DIST, version(), PURE_TAG)
    os.makedirs(wheel_directory, exist_ok=True)
    _write_wheel(os.path.join(wheel_directory, name), entries, dist_info)
    return name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = _Settings(config_settings)
    if _pure():
        return _build_pure_wheel(wheel_directory, settings)
    component, tag = _interpreter()
    dist_info = _dist_info()
    with tempfile.TemporaryDirectory(prefix='velmora-wheel-') as tmp:
        build_dir = os.path.abspath(settings.build_dir or os.path.join(tmp, 'cmake'))
        installed = _build_and_install(settings, component, build_dir,
                                       os.path.join(tmp, 'stage'))
        modules = [p for p in installed if p.endswith('.so')]
        stubs = [p for p in installed if p.endswith('.pyi')]
        records = [p for p in installed if p.endswith('.json')]
        if len(modules) != 1 or len(stubs) != 1 or len(records) != 1:
            raise RuntimeError('expected one module, stub and build record, installed: %r'
                               % installed)
        entries = [
            (os.path.basename(modules[0]), _read(modules[0]), True),
            (os.path.basename(stubs[0]), _read(stubs[0]), False),
            (NAME + '-stubs/__init__.pyi', _read(stubs[0]), False),
            (dist_info + '/' + os.path.basename(records[0]), _read(records[0]), False),
            (dist_info + '/LICENSE', _read(os.path.join(ROOT, 'LICENSE')), False),
            (dist_info + '/METADATA', _metadata().encode('utf-8'), False),
            (dist_info + '/WHEEL', _wheel_file(tag).encode('utf-8'), False),
        ]
        name = '%s-%s-%s.whl' % (DIST, version(), tag)
        os.makedirs(wheel_directory, exist_ok=True)
        _write_wheel(os.path.join(wheel_directory, name), entries, dist_info)
    return name


def build_sdist(sdist_directory, config_settings=None):
    base = '%s-%s' % (DIST, version())
    name = base + '.tar.gz'
    os.makedirs(sdist_directory, exist_ok=True)
    stamp = _timestamp()

    def add(tar, arcname, data, mode):
        info = tarfile.TarInfo(base + '/' + arcname)
        info.size = len(data)
        info.mtime = stamp
        info.mode = mode
        tar.addfile(info, io.BytesIO(data))

    path = os.path.join(sdist_directory, name)
    with open(path, 'wb') as raw, \
            gzip.GzipFile(fileobj=raw, mode='wb', mtime=stamp) as gz, \
            tarfile.open(fileobj=gz, mode='w', format=tarfile.PAX_FORMAT) as tar:
        for rel in _tracked_files():
            full = os.path.join(ROOT, rel)
            executable = os.stat(full).st_mode & 0o111
            add(tar, rel, _read(full), 0o755 if executable else 0o644)
        add(tar, 'PKG-INFO', _metadata().encode('utf-8'), 0o644)
    return name
