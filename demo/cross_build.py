"""Encrypts or decrypts one database field with this interpreter's build,
so that a driver can hand cipher texts from one build to the other.

    python cross_build.py --encrypt TEXT
    python cross_build.py --decrypt CIPHERTEXT

The panel root (holding data/div.pl) comes from VELMORA_PANEL_PATH, read by
the stand-in host in devhost/.  Prints the field result's "msg" followed by
one line break, and exits 1 when its "status" is not True.  What the module
prints while it is imported (the catalogue refresh) is discarded.
"""
import argparse
import contextlib
import os
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument('--encrypt', metavar='TEXT')
    mode.add_argument('--decrypt', metavar='CIPHERTEXT')
    args = parser.parse_args(argv)
    with open(os.devnull, 'w') as quiet, contextlib.redirect_stdout(quiet):
        import Velmora
    if args.encrypt is not None:
        result = Velmora.db_encrypt(args.encrypt)
    else:
        result = Velmora.db_decrypt(args.decrypt)
    if result.get('status') is not True:
        print('field not processed: %r' % (result,), file=sys.stderr)
        return 1
    sys.stdout.buffer.write(result['msg'].encode('utf-8') + b'\n')
    return 0


if __name__ == '__main__':
    sys.exit(main())
