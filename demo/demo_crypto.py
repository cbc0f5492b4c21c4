"""Database field encryption: a multi-line field goes through db_encrypt and
db_decrypt under the installation's IV, which lives encrypted in
data/div.pl under the panel root (created by the first call), and a value
that was never encrypted comes back untouched with status False."""
import os
import shutil
import tempfile

FIELD = 'host: db.internal\nuser: panel\npassword: s3cret-\u5bc6\u7801'
LEGACY = 'stored-before-encryption'


def _section(Velmora, public):
    root = public.get_panel_path()
    iv_file = os.path.join(root, 'data', 'div.pl')
    existed = os.path.exists(iv_file)
    print('panel root: %s' % root)

    encrypted = Velmora.db_encrypt(FIELD)
    iv_state = ('already there (an earlier run made it)' if existed
                else 'created by this first call' if os.path.exists(iv_file)
                else 'could not be created; the fallback IV is in use')
    print('IV file data/div.pl: %s' % iv_state)
    print('field (%d lines):' % len(FIELD.split('\n')))
    for line in FIELD.split('\n'):
        print('    %r' % line)
    print('db_encrypt -> status %s, one cipher text per line:' % encrypted['status'])
    for line in encrypted['msg'].split('\n'):
        print('    %s' % line)

    decrypted = Velmora.db_decrypt(encrypted['msg'])
    print('db_decrypt -> status %s, %s' % (
        decrypted['status'],
        'the field comes back line for line' if decrypted['msg'] == FIELD
        else 'DIFFERENT: %r' % (decrypted['msg'],)))

    legacy = Velmora.db_decrypt(LEGACY)
    print('db_decrypt(%r) -> status %s, msg %r (handed back unchanged)'
          % (LEGACY, legacy['status'], legacy['msg']))

    module_cipher = getattr(Velmora, '__aes_encrypt_module')('abc')
    module_plain = getattr(Velmora, '__aes_decrypt_module')(module_cipher)
    print('__aes_encrypt_module(%r) -> %s -> %r' % ('abc', module_cipher, module_plain))
    if not (encrypted['status'] and decrypted['msg'] == FIELD and legacy['status'] is False
            and module_plain == 'abc'):
        raise RuntimeError('database field round trip failed')
    if not os.path.exists(iv_file):
        # What the fields went under will not decrypt them once the file exists.
        raise RuntimeError('%s could not be made: the fields went under the fallback IV' % iv_file)
    return ('a %d-line field there and back (IV file %s); plain text handed back; '
            'module key' % (len(FIELD.split('\n')), 'made' if not existed else 'reused'))


def run(Velmora, public):
    print('== Database field encryption ==')
    # Under the demo driver the panel root is a temporary folder it made;
    # run on its own, the section makes one so the real panel is untouched.
    own_root = None
    if not os.environ.get('VELMORA_PANEL_PATH'):
        own_root = tempfile.mkdtemp(prefix='velmora-panel-')
        os.makedirs(os.path.join(own_root, 'data'))
        os.environ['VELMORA_PANEL_PATH'] = own_root
    try:
        return _section(Velmora, public)
    finally:
        if own_root:
            del os.environ['VELMORA_PANEL_PATH']
            shutil.rmtree(own_root, ignore_errors=True)
