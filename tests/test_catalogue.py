"""The plugin catalogue: cache and cloud paths, checks of the cloud's
answer, the cache file and the printed lines."""
import contextlib
import io
import json
import os
import unittest

import support

Velmora, public = support.load()

CACHE = os.path.join('data', 'plugin_list.json')
URL_PATH = '/api/panel/getSoftList'


class CatalogueTests(unittest.TestCase):

    def setUp(self):
        public.reset()
        os.chdir(support.workdir())
        if os.path.exists(CACHE):
            os.remove(CACHE)

    def fetch(self, *args, **kwargs):
        """Calls get_plugin_list; returns (result or exception, printed text)."""
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            try:
                result = Velmora.get_plugin_list(*args, **kwargs)
            except Exception as e:  # noqa: BLE001 - the test inspects it
                result = e
        return result, out.getvalue()

    def write_cache(self, text):
        with open(CACHE, 'w', encoding='utf-8') as f:
            f.write(text)

    def read_cache(self):
        with open(CACHE, encoding='utf-8') as f:
            return f.read()

    def requests(self):
        return public.calls_of('HttpGet')

    def test_cloud_answer_is_printed_cached_verbatim_and_returned(self):
        answer = '{"list": [{"name": "a"}],\n "page": "<b>\u4e2d</b>"}'
        public.http_answer = answer
        result, printed = self.fetch()
        self.assertEqual(result, json.loads(answer))
        self.assertEqual(printed, 'HTTP GET Response: %s\nData written to cache file successfully.\n' % answer)
        self.assertEqual(self.read_cache(), answer)
        self.assertEqual(public.calls_of('writeFile'), [('data/plugin_list.json', answer)])
        [(url,)] = self.requests()
        self.assertTrue(url.endswith(URL_PATH) and url.count('/') == 5 and '?' not in url, url)
        self.assertTrue(url.startswith(('http://', 'https://')), url)

    def test_force_equal_to_zero_reads_the_cache_anything_else_asks_the_cloud(self):
        class Agreeable(int):
            def __eq__(self, other):
                return True
            __hash__ = int.__hash__

        cache = [0, -0, False, 0.0, Agreeable(7)]
        cloud = [1, -1, 2 ** 80, -2 ** 80, True, Agreeable(0) + 5, None, '0', []]
        cases = [((force,), {}, 'cache') for force in cache]
        cases += [((), {'force': force}, 'cache') for force in cache]
        cases += [((force,), {}, 'cloud') for force in cloud]
        cases += [((), {}, 'cloud'), ((), {'force': 1}, 'cloud')]
        for args, kwargs, source in cases:
            with self.subTest(args=args, kwargs=kwargs):
                public.reset()
                public.http_answer = '{"list": ["cloud"]}'
                # The cache's text is returned unchecked: a list comes back as is.
                self.write_cache('["cache"]')
                result, printed = self.fetch(*args, **kwargs)
                if source == 'cache':
                    self.assertEqual((result, printed), (['cache'], ''))
                    self.assertEqual(self.requests(), [])
                else:
                    self.assertEqual(result, {'list': ['cloud']})
                    self.assertEqual(self.read_cache(), '{"list": ["cloud"]}')

    def test_force_zero_without_cache_fetches_and_creates_it(self):
        result, _ = self.fetch(0)
        self.assertEqual(result['list'][0]['name'], 'demo')
        self.assertEqual(self.read_cache(), public.DEFAULT_CATALOGUE)

    def test_empty_list_is_a_valid_catalogue(self):
        public.http_answer = '{"list": []}'
        result, printed = self.fetch()
        self.assertEqual(result, {'list': []})
        self.assertIn('Data written to cache file successfully.', printed)

    def test_answers_that_are_not_catalogues_raise_and_leave_the_cache(self):
        cases = [
            ('"\u63a5\u53e3\u7ef4\u62a4\u4e2d"', Exception, '\u63a5\u53e3\u7ef4\u62a4\u4e2d'),
            ('[{"list": []}]', Exception, '云端插件列表获取失败'),
            ('{"lists": []}', Exception, '云端插件列表获取失败'),
            ('null', Exception, '云端插件列表获取失败'),
            ('42', Exception, '云端插件列表获取失败'),
            ('{"list": [', json.JSONDecodeError, None),
        ]
        for answer, kind, message in cases:
            with self.subTest(answer=answer):
                public.reset()
                self.write_cache('previous')
                public.http_answer = answer
                result, printed = self.fetch()
                self.assertIs(type(result), kind)
                if message is not None:
                    self.assertEqual(result.args, (message,))
                self.assertEqual(printed, 'HTTP GET Response: %s\n' % answer)
                self.assertEqual(self.read_cache(), 'previous')
                self.assertEqual(public.calls_of('writeFile'), [])

    def test_an_answer_that_is_not_text_propagates_the_decoders_error(self):
        public.http_answer = lambda url: None
        result, printed = self.fetch()
        self.assertIsInstance(result, TypeError)
        self.assertEqual(printed, 'HTTP GET Response: None\n')

    def test_unreachable_cloud_raises_the_hosts_error(self):
        self.write_cache('previous')
        request_error = OSError('[Errno 111] Connection refused')
        public.http_answer = request_error
        result, printed = self.fetch()
        self.assertIsInstance(result, public.CloudError)
        self.assertEqual(str(result), '[Errno 111] Connection refused')
        self.assertIs(result.__context__, request_error)
        self.assertEqual(public.calls_of('error_conn_cloud'), [('[Errno 111] Connection refused',)])
        self.assertEqual(printed, '')
        self.assertEqual(self.read_cache(), 'previous')

    def test_failures_outside_exception_are_not_caught(self):
        public.http_answer = KeyboardInterrupt()
        with self.assertRaises(KeyboardInterrupt):
            Velmora.get_plugin_list()
        self.assertEqual(public.calls_of('error_conn_cloud'), [])
        public.reset()
        public.write_cache_answer = SystemExit(3)
        with self.assertRaises(SystemExit):
            with contextlib.redirect_stdout(io.StringIO()):
                Velmora.get_plugin_list()

    def test_error_conn_cloud_may_return_a_class_or_a_non_exception(self):
        public.http_answer = OSError('x')
        saved = public.error_conn_cloud
        try:
            public.error_conn_cloud = lambda text: LookupError
            result, _ = self.fetch()
            self.assertIs(type(result), LookupError)
            public.error_conn_cloud = lambda text: 'not an exception'
            result, _ = self.fetch()
            self.assertIsInstance(result, TypeError)
            self.assertEqual(str(result), 'exceptions must derive from BaseException')
            # An exception class whose construction gives something else.
            Odd = type('Odd', (Exception,), {'__new__': lambda cls: 5})
            public.error_conn_cloud = lambda text: Odd
            result, _ = self.fetch()
            self.assertIsInstance(result, TypeError)
            self.assertIn('should have returned an instance of BaseException, not int',
                          str(result))
        finally:
            public.error_conn_cloud = saved

    def test_failing_cache_write_is_reported_and_the_catalogue_returned(self):
        public.write_cache_answer = PermissionError(13, 'Permission denied')
        result, printed = self.fetch()
        self.assertEqual(result['list'][0]['name'], 'demo')
        self.assertEqual(printed.splitlines()[1:],
                         ['Error writing to cache file: [Errno 13] Permission denied'])
        self.assertFalse(os.path.exists(CACHE))

    def test_a_write_reported_as_failed_by_its_return_value_still_prints_success(self):
        public.write_cache_answer = lambda path, text: False
        _, printed = self.fetch()
        self.assertIn('Data written to cache file successfully.', printed)

    def test_cache_read_errors_propagate_without_asking_the_cloud(self):
        self.write_cache('{broken')
        result, _ = self.fetch(0)
        self.assertIsInstance(result, json.JSONDecodeError)
        self.assertEqual(self.requests(), [])

    def test_update_prints_and_returns_what_get_plugin_list_returned(self):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            result = Velmora.update_plugin_list()
        self.assertEqual(out.getvalue().splitlines()[-1], 'Updated plugin list: %r' % (result,))
        self.assertEqual(len(self.requests()), 1)

    def test_update_propagates_errors_and_prints_nothing_of_its_own(self):
        public.http_answer = '[]'
        out = io.StringIO()
        with contextlib.redirect_stdout(out), self.assertRaises(Exception):
            Velmora.update_plugin_list()
        self.assertNotIn('Updated plugin list:', out.getvalue())


if __name__ == '__main__':
    unittest.main()
