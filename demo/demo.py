"""One interpreter's part of the demo: imports Velmora through the stand-in
host (which fetches the catalogue from the loopback server at import) and
walks through what the panel uses it for.

    python demo.py [-v]

Prints one line per section saying what it showed; -v prints every call
and its result as well.  A section that fails prints its detail anyway.

Run by demo/run_demo.py, with devhost/ and the module's build folder on
PYTHONPATH, VELMORA_CLOUD_OVERRIDE pointing at the loopback server and the
working directory holding data/.
"""
import contextlib
import importlib
import io
import platform
import sys
import traceback

SECTIONS = [('catalogue', 'demo_catalogue'), ('plugins', 'demo_plugins'),
            ('modules', 'demo_modules'), ('ciphers', 'demo_crypto')]


def main(argv):
    verbose = '-v' in argv
    detail = io.StringIO()

    def shown():
        # What a section prints: on the screen with -v, else kept for
        # showing when the section fails.
        detail.seek(0)
        detail.truncate()
        return contextlib.nullcontext() if verbose else contextlib.redirect_stdout(detail)

    if verbose:
        print('CPython %s: importing Velmora' % platform.python_version())
    try:
        with shown():
            import public
            import Velmora
    except BaseException:
        sys.stdout.write(detail.getvalue())
        raise
    print('CPython %s, %s' % (platform.python_version(), Velmora.__file__))
    failed = False
    for label, name in SECTIONS:
        section = importlib.import_module(name)
        if verbose:
            print()
            print('--- %s (CPython %d.%d)' % (label, *sys.version_info[:2]))
        try:
            with shown():
                summary = section.run(Velmora, public)
        except Exception:
            failed = True
            sys.stdout.write(detail.getvalue())
            traceback.print_exc(file=sys.stdout)
            summary = 'FAILED (see above)'
        else:
            summary = 'ok: ' + summary
        if verbose:
            print()
        print('  %-10s %s' % (label, summary))
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
