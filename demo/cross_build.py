"""Encrypts or decrypts database fields with this interpreter's build, so
that a driver can hand cipher texts from one build to the others.

    python cross_build.py --encrypt TEXT
    python cross_build.py --decrypt CIPHERTEXT [CIPHERTEXT ...]

The panel root (holding data/div.pl) comes from VELMORA_PANEL_PATH, read by
the stand-in host in devhost/.  Prints, as JSON, the field result's "msg"
(encrypting) or the list of them (decrypting), and exits 1 when any
"status" is not True.  What the module prints while it is imported (the
catalogue refresh) is discarded.
"""
import argparse
import contextlib
import json
import os
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument('--encrypt', metavar='TEXT')
    mode.add_argument('--decrypt', metavar='CIPHERTEXT', nargs='+')
    args = parser.parse_args(argv)
    with open(os.devnull, 'w') as quiet, contextlib.redirect_stdout(quiet):
        import Velmora
    if args.encrypt is not None:
        results = [Velmora.db_encrypt(args.encrypt)]
    else:
        results = [Velmora.db_decrypt(text) for text in args.decrypt]
    failed = [r for r in results if r.get('status') is not True]
    for result in failed:
        print('field not processed: %r' % (result,), file=sys.stderr)
    texts = [r['msg'] for r in results]
    print(json.dumps(texts[0] if args.encrypt is not None else texts))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
