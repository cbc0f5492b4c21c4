"""The text cipher, the module-key cipher and database field encryption."""
import base64
import binascii
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

import support

Velmora = public = None
MODULE_KEY, MODULE_IV = 'Qm7TxR2vLp9KdW4s', 'Hn3YcB8uZe5JqA1f'
# Stored fields depend on these never changing.
DB_KEY, FALLBACK_IV = '9K#L!P@Z$R%B&H*D', 'h3%k;a^M~Y?F+J-T'


def setUpModule():
    global Velmora, public
    Velmora, public = support.load()


def fn(name):
    return getattr(Velmora, name)


def encrypt(data, key=MODULE_KEY, iv=MODULE_IV):
    return fn('__aes_encrypt')(data, key, iv)


def decrypt(data, key=MODULE_KEY, iv=MODULE_IV):
    return fn('__aes_decrypt')(data, key, iv)


def openssl(plain, key, iv):
    """AES-CBC with PKCS#7 padding by an implementation of its own."""
    bits = len(key.encode()) * 8
    out = subprocess.run(
        ['openssl', 'enc', '-aes-%d-cbc' % bits, '-K', key.encode().hex(),
         '-iv', iv.encode().hex(), '-base64', '-A'],
        input=plain.encode(), stdout=subprocess.PIPE, env=support.tool_env(), check=True)
    return out.stdout.decode()


def raw_cbc(blocks, key=MODULE_KEY, iv=MODULE_IV):
    """Base64 of blocks encrypted without padding, to feed bad padding in."""
    from Crypto.Cipher import AES
    return base64.b64encode(AES.new(key.encode(), AES.MODE_CBC, iv.encode()).encrypt(blocks)).decode()


class PanelRoot(unittest.TestCase):
    """Each test gets a fresh panel root holding data/ and a reset host."""

    def setUp(self):
        public.reset()
        self.root = tempfile.mkdtemp(prefix='velmora-panel-')
        os.makedirs(os.path.join(self.root, 'data'))
        public.panel_path = self.root
        self.iv_file = os.path.join(self.root, 'data', 'div.pl')
        self.addCleanup(shutil.rmtree, self.root, True)
        self.addCleanup(public.reset)

    def replace(self, name, value):
        old = fn(name)
        self.addCleanup(setattr, Velmora, name, old)
        if value is None:
            delattr(Velmora, name)
        else:
            setattr(Velmora, name, value)


class TextCipherTest(unittest.TestCase):

    @unittest.skipUnless(shutil.which('openssl'), 'needs the openssl command')
    def test_known_answers_and_lengths(self):
        k24, k32 = 'K' * 24, 'abcdefghijklmnopqrstuvwxyz012345'
        for text, key, length in [('', MODULE_KEY, 24), ('abc', MODULE_KEY, 24),
                                  ('0123456789abcdef', MODULE_KEY, 44),
                                  ('é' * 8, k24, 44), ('é' * 16, k32, 64),
                                  ('面板数据库字段\n第二行', MODULE_KEY, 44)]:
            with self.subTest(text=text, key=key):
                cipher = encrypt(text, key)
                self.assertEqual(cipher, openssl(text, key, MODULE_IV))
                self.assertEqual(len(cipher), length)
                self.assertEqual(decrypt(cipher, key), text)
                self.assertEqual(encrypt(text, key), cipher)  # a fresh cipher per call

    def test_base64_forms(self):
        # A cipher text using + or /, so that its URL-safe form differs.
        text = next(t for t in map(str, range(1000)) if set(encrypt(t)) & set('+/'))
        cipher = encrypt(text)
        self.assertNotIn('\n', cipher)
        for width in (1, 5, 40):
            lines = '\n'.join(cipher[i:i + width] for i in range(0, len(cipher), width))
            self.assertEqual(decrypt(lines + '\n'), text)
            self.assertEqual(decrypt(lines), text)
        urlsafe = cipher.replace('+', '-').replace('/', '_')
        try:
            self.assertNotEqual(decrypt(urlsafe), text)
        except (ValueError, UnicodeDecodeError, binascii.Error):
            pass

    def test_failures_come_in_order(self):
        # The text is encoded and padded before the key is looked at.
        with self.assertRaises(UnicodeEncodeError):
            encrypt('\ud800', 'short')
        with self.assertRaises(AttributeError):
            encrypt(b'bytes', 'short')
        seen = []

        class Text(str):
            def encode(self, *a):
                seen.append(self)
                return str.encode(self, *a)
        with self.assertRaisesRegex(ValueError, 'key length'):
            encrypt(Text('data'), Text('k' * 15))
        self.assertEqual(seen, ['data', 'k' * 15])
        # The cipher text is base64-decoded before the key is looked at.
        with self.assertRaises(binascii.Error):
            decrypt('abc', 'short')
        with self.assertRaisesRegex(ValueError, '16 byte boundary'):
            decrypt('A' * 20)
        with self.assertRaises(AttributeError):
            decrypt(encrypt('x'), MODULE_KEY, MODULE_IV.encode())

    def test_padding_is_checked(self):
        self.assertEqual(decrypt(raw_cbc(b'\x10' * 16)), '')
        self.assertEqual(decrypt(raw_cbc(b'a' * 15 + b'\x01')), 'a' * 15)
        for blocks in [b'a' * 15 + b'\x00', b'a' * 15 + b'\x11', b'a' * 14 + b'\x01\x02',
                       b'\xff' * 32, b'']:
            with self.subTest(blocks=blocks):
                with self.assertRaisesRegex(ValueError, '^Padding is incorrect.$'):
                    decrypt(raw_cbc(blocks))
        with self.assertRaisesRegex(ValueError, '^Padding is incorrect.$'):
            decrypt(' \n')
        # A wrong key fails loudly rather than returning a wrong or empty text.
        with self.assertRaises((ValueError, UnicodeDecodeError)):
            decrypt(encrypt('secret value'), 'A' * 16)

    def test_iv_length_is_counted_in_utf8_bytes(self):
        # The IV is the UTF-8 form of the text: 16 bytes, whatever the
        # number of characters; the cipher library refuses any other length.
        self.assertEqual(decrypt(encrypt('text', MODULE_KEY, 'é' * 8), MODULE_KEY, 'é' * 8),
                         'text')
        cipher = encrypt('text')
        for iv in ('i' * 15, 'i' * 17, '', 'é' * 16):
            for call in (lambda: encrypt('text', MODULE_KEY, iv),
                         lambda: decrypt(cipher, MODULE_KEY, iv)):
                with self.subTest(iv=iv), self.assertRaises(ValueError) as caught:
                    call()
                self.assertEqual(str(caught.exception),
                                 'Incorrect IV length (it must be 16 bytes long)')


class WithoutCipherLibraryTest(unittest.TestCase):

    def test_module_imports_and_only_cipher_calls_fail(self):
        proc = support.run_python('''
            import os
            import public
            import Velmora
            try:
                import Crypto
                print('HAVE CRYPTO')
            except ImportError:
                pass
            public.panel_path = os.getcwd()
            calls = [('__aes_encrypt', ('x', 'k' * 16, 'i' * 16)),
                     ('__aes_decrypt', ('eKL/X3yEkMgWgb3lUFka1w==', 'k' * 16, 'i' * 16)),
                     ('__aes_encrypt_module', ('x',)),
                     ('__aes_decrypt_module', ('eKL/X3yEkMgWgb3lUFka1w==',)),
                     ('__get_db_iv', ()), ('db_encrypt', ('x',)), ('db_decrypt', ('x',)),
                     ('__get_db_sgin', ()), ('path_check', ('a;b',)),
                     ('module_run', ('', 'x', None)), ('get_plugin_list', (0,))]
            for name, args in calls:
                try:
                    print(name, repr(getattr(Velmora, name)(*args)))
                except Exception as e:
                    print(name, type(e).__name__, e)
            print('IV file', os.path.exists(os.path.join('data', 'div.pl')))
        ''', drop_site=True)
        if 'HAVE CRYPTO' in proc.stdout:
            self.skipTest('this interpreter has a Crypto package of its own')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        missing = "ModuleNotFoundError No module named 'Crypto'"
        self.assertEqual(proc.stdout.splitlines()[-12:], [
            '__aes_encrypt ' + missing, '__aes_decrypt ' + missing,
            '__aes_encrypt_module ' + missing, '__aes_decrypt_module ' + missing,
            '__get_db_iv ' + missing,
            "db_encrypt {'status': False, 'msg': 'x'}", "db_decrypt {'status': False, 'msg': 'x'}",
            "__get_db_sgin '%s'" % DB_KEY, 'path_check False',
            "module_run {'status': False, 'msg': '模块名称和模块方法名称不能为空!'}",
            "get_plugin_list {'list': [{'name': 'demo', 'title': 'Demo'}], 'type': 0}",
            'IV file False'])


class ModuleKeyTest(PanelRoot):

    def test_round_trip_under_fixed_key(self):
        enc, dec = fn('__aes_encrypt_module'), fn('__aes_decrypt_module')
        self.assertEqual(enc(data='abc'), 'eKL/X3yEkMgWgb3lUFka1w==')
        for text in ['', 'A' * 16, 'ümlaut 中文 🙂', 'x' * 100]:
            self.assertEqual(enc(text), encrypt(text, MODULE_KEY, MODULE_IV))
            self.assertEqual(dec(enc(text)), text)
        self.assertEqual([len(enc('')), len(enc('A' * 16))], [24, 44])


class KeyMaterialTest(PanelRoot):

    def test_key_is_fixed(self):
        self.assertEqual(fn('__get_db_sgin')(), DB_KEY)

    def test_a_module_os_whose_realpath_is_not_text_leaves_no_iv_file(self):
        # The host may rebind the module's `os`: a path resolution that
        # answers something other than text stops the IV file's creation,
        # and the field calls keep their input.
        import types
        fake_path = types.SimpleNamespace(**vars(os.path))
        fake_path.realpath = lambda path: path.encode()
        fake_os = types.SimpleNamespace(**vars(os))
        fake_os.path = fake_path
        self.addCleanup(setattr, Velmora, 'os', os)
        Velmora.os = fake_os
        with self.assertRaises(TypeError) as cm:
            fn('__get_db_iv')()
        self.assertEqual(str(cm.exception), 'os.path.realpath() returned bytes, not str')
        self.assertFalse(os.path.exists(self.iv_file))
        self.assertEqual(Velmora.db_encrypt('x'), {'status': False, 'msg': 'x'})

    def test_iv_file_created_once_and_read_every_call(self):
        public.random_answer = 'R4nd0mIVtext1234'
        self.assertEqual(fn('__get_db_iv')(), 'R4nd0mIVtext1234')
        with open(self.iv_file) as f:
            self.assertEqual(f.read(), fn('__aes_encrypt_module')('R4nd0mIVtext1234'))
        self.assertEqual(os.listdir(os.path.dirname(self.iv_file)), ['div.pl'])
        made = os.stat(self.iv_file)
        public.random_answer = 'another-one-1234'
        self.assertEqual(fn('__get_db_iv')(), 'R4nd0mIVtext1234')
        self.assertEqual(os.stat(self.iv_file).st_ino, made.st_ino)
        # What the file holds now is the IV, whoever wrote it.
        with open(self.iv_file, 'w') as f:
            f.write(fn('__aes_encrypt_module')('written-by-hand!'))
        self.assertEqual(fn('__get_db_iv')(), 'written-by-hand!')

    def test_iv_file_holds_what_get_div_returns(self):
        # The host's get_div is handed the new IV under the module key, and
        # what it returns is what goes into the file.
        public.random_answer = 'R4nd0mIVtext1234'
        public.div_answer = lambda text: fn('__aes_encrypt_module')('fr0m-get-div-16b')
        self.assertEqual(fn('__get_db_iv')(), 'fr0m-get-div-16b')
        with open(self.iv_file) as f:
            self.assertEqual(f.read(), fn('__aes_encrypt_module')('fr0m-get-div-16b'))
        self.assertIn((fn('__aes_encrypt_module')('R4nd0mIVtext1234'),),
                      public.calls_of('get_div'))

    def test_fallback_iv_when_nothing_written(self):
        public.write_file_answer = lambda path, text: False
        self.assertEqual([fn('__get_db_iv')(), fn('__get_db_iv')()], [FALLBACK_IV] * 2)
        self.assertEqual(os.listdir(os.path.dirname(self.iv_file)), [])

    def test_iv_of_the_first_creator_wins(self):
        # Another process creates the file while this one writes its own.
        def racing_write(path, text):
            with open(self.iv_file, 'w') as f:
                f.write(fn('__aes_encrypt_module')('theirs-theirs-16'))
            with open(path, 'w') as f:
                f.write(text)
        public.write_file_answer = racing_write
        self.assertEqual(fn('__get_db_iv')(), 'theirs-theirs-16')
        self.assertEqual(os.listdir(os.path.dirname(self.iv_file)), ['div.pl'])

    def test_processes_racing_agree_on_one_iv(self):
        for round_ in range(4):
            shutil.rmtree(os.path.join(self.root, 'data'))
            os.makedirs(os.path.join(self.root, 'data'))
            go = os.path.join(self.root, 'go-%d' % round_)
            code = textwrap.dedent('''
                import os, time, Velmora
                print('ready', flush=True)
                deadline = time.time() + 60
                while not os.path.exists(%r) and time.time() < deadline: pass
                print('iv', getattr(Velmora, '__get_db_iv')())
            ''' % go)
            env = support.base_env({'VELMORA_TEST_PANEL_PATH': self.root})
            procs = []
            try:
                for _ in range(6):
                    cwd = tempfile.mkdtemp(dir=self.root)
                    os.makedirs(os.path.join(cwd, 'data'))
                    procs.append(subprocess.Popen(
                        [sys.executable, '-c', code], cwd=cwd, env=env,
                        stdout=subprocess.PIPE, universal_newlines=True))
                for p in procs:  # all imported, now waiting for the start
                    while p.stdout.readline() not in ('ready\n', ''):
                        pass
            finally:
                open(go, 'w').close()
            outputs = [p.communicate(timeout=120)[0] for p in procs]
            ivs = {line[3:] for out in outputs for line in out.splitlines()
                   if line.startswith('iv ')}
            self.assertEqual([p.returncode for p in procs], [0] * 6)
            with open(self.iv_file) as f:
                stored = fn('__aes_decrypt_module')(f.read())
            self.assertEqual(ivs, {stored}, 'round %d' % round_)
            self.assertEqual(sorted(os.listdir(os.path.dirname(self.iv_file))), ['div.pl'])


class FieldTest(support.RefcountMixin, PanelRoot):

    def test_lines_round_trip(self):
        public.random_answer = 'IVIVIVIVIVIVIVIV'
        self.assertEqual(Velmora.db_encrypt(''), {'status': True, 'msg': ''})
        self.assertTrue(os.path.exists(self.iv_file))
        one = Velmora.db_encrypt(data='secret')
        self.assertEqual(list(one), ['status', 'msg'])
        self.assertEqual(one['msg'], encrypt('secret', DB_KEY, 'IVIVIVIVIVIVIVIV'))
        self.assertEqual(Velmora.db_decrypt(one['msg']), {'status': True, 'msg': 'secret'})
        many = Velmora.db_encrypt('a\n\nb\n')
        self.assertEqual(many['msg'], '\n'.join(encrypt(t, DB_KEY, 'IVIVIVIVIVIVIVIV') for t in 'ab'))
        self.assertEqual(Velmora.db_decrypt(many['msg']), {'status': True, 'msg': 'a\nb'})

    def test_failures_hand_the_input_back(self):
        good = Velmora.db_encrypt('first')['msg']
        for value in [good + '\nnot a cipher text', 'stored before encryption', None, 42]:
            with self.subTest(value=value):
                result = Velmora.db_decrypt(value)
                self.assertIs(result['msg'], value)
                self.assertIs(result['status'], False)
        self.assertEqual(Velmora.db_encrypt(None), {'status': False, 'msg': None})
        public.panel_path = RuntimeError('host failed')
        self.assertEqual(Velmora.db_encrypt('x'), {'status': False, 'msg': 'x'})
        with self.assertRaises(RuntimeError):
            fn('__get_db_iv')()
        public.panel_path = KeyboardInterrupt()
        with self.assertRaises(KeyboardInterrupt):
            Velmora.db_encrypt('x')

    def test_references(self):
        # A value that is no cipher text comes back as the result; the other
        # ways are the memory suite's (workload.py).
        plain = support.fresh('never encrypted')
        self.assertRefcountsStable(lambda: Velmora.db_decrypt(plain), [plain], rounds=50)


if __name__ == '__main__':
    unittest.main()
