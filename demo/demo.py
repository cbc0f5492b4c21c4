"""One interpreter's part of the demo: imports Velmora through the stand-in
host (which fetches the catalogue from the loopback server at import) and
walks through what the panel uses it for.

Run by demo/run_demo.py, with devhost/ and the module's build folder on
PYTHONPATH, VELMORA_CLOUD_OVERRIDE pointing at the loopback server and the
working directory holding data/.
"""
import importlib
import platform
import sys
import traceback

SECTIONS = ['demo_catalogue', 'demo_plugins', 'demo_modules', 'demo_crypto']


def main():
    print('=' * 72)
    print('CPython %s: importing Velmora' % platform.python_version())
    print('=' * 72)
    import public
    import Velmora
    print('loaded', Velmora.__file__)
    failed = False
    for name in SECTIONS:
        try:
            section = importlib.import_module(name)
        except ImportError:
            continue
        print()
        print('--- %s (CPython %d.%d)' % (name[len('demo_'):], *sys.version_info[:2]))
        try:
            section.run(Velmora, public)
        except Exception:
            failed = True
            traceback.print_exc()
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
