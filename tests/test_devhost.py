"""The stand-in host in devhost/ and its loopback catalogue server.

Loaded by path under private names: these suites run with the tests' fake
`public` on the path, which must stay the one importable as `public`.
"""
import importlib.util
import json
import os
import signal
import socket
import stat
import string
import subprocess
import tempfile
import unittest
import urllib.error
from unittest import mock

DEVHOST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'devhost')


def _load(name, filename):
    located = importlib.util.spec_from_file_location(name, os.path.join(DEVHOST, filename))
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


host = _load('devhost_public', 'public.py')
server = _load('devhost_catalogue_server', 'catalogue_server.py')

CLOUD_URL = 'https://api.example.com/api/panel/getSoftList'


def _free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class ServerCase(unittest.TestCase):
    def start(self, **kw):
        proc, url = server.start(**kw)
        self.addCleanup(self._stop, proc)
        return proc, url

    @staticmethod
    def _stop(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        proc.stdout.close()

    def override(self, url):
        patcher = mock.patch.dict(os.environ, {'VELMORA_CLOUD_OVERRIDE': url})
        patcher.start()
        self.addCleanup(patcher.stop)


class HttpGetTest(ServerCase):
    def test_override_sends_the_cloud_url_to_the_local_server(self):
        proc, url = self.start()
        self.assertRegex(url, r'^http://127\.0\.0\.1:\d+$')
        self.override(url)
        with open(os.path.join(DEVHOST, 'catalogue.json'), encoding='utf-8') as f:
            expected = f.read()
        body = host.HttpGet(CLOUD_URL)
        self.assertIsInstance(body, str)
        self.assertEqual(body, expected)          # non-ASCII titles decode intact
        self.assertIn('list', json.loads(body))
        # Only scheme and host are replaced: another path reaches the 404.
        with self.assertRaises(urllib.error.HTTPError) as caught:
            host.HttpGet('https://api.example.com/api/panel/other')
        self.assertEqual(caught.exception.code, 404)

    def test_failures_raise(self):
        # A refused connection, an error status and a body that is not
        # UTF-8 must each raise, never come back as text.
        self.override('http://127.0.0.1:%d' % _free_port())
        with self.assertRaises(Exception):
            host.HttpGet(CLOUD_URL)

        with tempfile.TemporaryDirectory() as tmp:
            bad = os.path.join(tmp, 'bad.json')
            with open(bad, 'wb') as f:
                f.write(b'{"list": "\xff\xfe"}')
            _, url = self.start(answer_file=bad)
            self.override(url)
            with self.assertRaises(ValueError):
                host.HttpGet(CLOUD_URL)

        _, url = self.start(status=503)
        self.override(url)
        with self.assertRaises(Exception) as caught:
            host.HttpGet(CLOUD_URL)
        self.assertIn('503', str(caught.exception))

        self.override('ftp://somewhere')
        with self.assertRaises(ValueError):
            host.HttpGet(CLOUD_URL)

    def test_catalogue_file_answers_without_a_server(self):
        # Only catalogue requests are answered from the file, byte for byte,
        # and only while no override names a server to ask instead.
        refused = 'http://127.0.0.1:%d' % _free_port()
        text = '{"list": [{"title": "日志摘要"}]}\r\n'
        with tempfile.TemporaryDirectory() as tmp:
            answer = os.path.join(tmp, 'answer.json')
            with open(answer, 'wb') as f:
                f.write(text.encode('utf-8'))
            with mock.patch.dict(os.environ, {'VELMORA_CATALOGUE_FILE': answer}):
                os.environ.pop('VELMORA_CLOUD_OVERRIDE', None)
                self.assertEqual(host.HttpGet(refused + '/api/panel/getSoftList?type=0'), text)
                with self.assertRaises(OSError):
                    host.HttpGet(refused + '/api/panel/other')
                os.environ['VELMORA_CLOUD_OVERRIDE'] = refused
                with self.assertRaises(OSError):
                    host.HttpGet(CLOUD_URL)

    def test_server_stops_on_sigterm_and_by_itself(self):
        proc, _ = self.start()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)
        proc, _ = self.start(lifetime=0.5)
        self.assertEqual(proc.wait(10), 0)


class FilesTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def test_round_trip_is_exact_and_leaves_no_temp_file(self):
        path = os.path.join(self.dir, 'div.pl')
        text = 'line one\r\nzweite Zeile\n第三行'
        for write, read in ((host.WriteFile, host.ReadFile),
                            (host.writeFile, host.readFile)):
            self.assertIs(write(path, text), True)
            self.assertEqual(read(path), text)
            self.assertIs(write(path, 'shorter'), True)
            self.assertEqual(read(path), 'shorter')
        self.assertEqual(os.listdir(self.dir), ['div.pl'])

    def test_rewrite_keeps_mode_and_writes_through_a_link(self):
        real = os.path.join(self.dir, 'real.json')
        link = os.path.join(self.dir, 'link.json')
        host.writeFile(real, 'old')
        os.chmod(real, 0o640)
        os.symlink(real, link)
        host.writeFile(link, 'new')
        self.assertTrue(os.path.islink(link))
        self.assertEqual(host.readFile(real), 'new')
        self.assertEqual(stat.S_IMODE(os.stat(real).st_mode), 0o640)

    def test_only_the_iv_file_is_flushed_to_the_disk(self):
        # The IV file is written once and every stored field depends on it;
        # the catalogue cache is rewritten at every refresh.
        with mock.patch.object(host.os, 'fsync', wraps=os.fsync) as fsync:
            host.writeFile(os.path.join(self.dir, 'cache'), 'x')
            self.assertEqual(fsync.call_count, 0)
            self.assertIs(host.WriteFile(os.path.join(self.dir, 'div.pl'), 'y'), True)
            self.assertEqual(fsync.call_count, 1)

    def test_failed_write(self):
        # WriteFile answers False; writeFile raises, since its caller only
        # notices exceptions.  Neither leaves a file behind.
        missing = os.path.join(self.dir, 'no', 'such', 'file')
        self.assertIs(host.WriteFile(missing, 'x'), False)
        with self.assertRaises(OSError):
            host.writeFile(missing, 'x')
        with self.assertRaises(TypeError):
            host.writeFile(os.path.join(self.dir, 'f'), 42)
        self.assertEqual(os.listdir(self.dir), [])
        with self.assertRaises(OSError):
            host.ReadFile(missing)


class HelpersTest(unittest.TestCase):
    def test_get_script_object(self):
        with tempfile.TemporaryDirectory() as tmp:
            def script(name, body):
                path = os.path.join(tmp, name)
                with open(path, 'w') as f:
                    f.write(body)
                return path
            good = host.get_script_object(script('good.py', 'VALUE = 7\n'))
            self.assertEqual(good.VALUE, 7)
            for path in (script('syntax.py', 'def (:\n'),
                         script('raises.py', 'raise RuntimeError("boom")\n'),
                         script('notes.txt', 'VALUE = 1\n'),
                         os.path.join(tmp, 'missing.py')):
                self.assertIsNone(host.get_script_object(path), path)

    def test_random_string(self):
        allowed = set(string.ascii_letters + string.digits)
        seen = set()
        for _ in range(50):
            s = host.GetRandomString(16)
            self.assertEqual(len(s), 16)
            self.assertLessEqual(set(s), allowed)
            seen.add(s)
        self.assertEqual(len(seen), 50)
        self.assertEqual(host.GetRandomString(0), '')


if __name__ == '__main__':
    unittest.main()
