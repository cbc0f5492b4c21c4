"""A loopback stand-in for the cloud's plugin catalogue.

    python devhost/catalogue_server.py [--port 0] [--lifetime 600]
                                       [--answer FILE] [--status 200]

Listens on 127.0.0.1 only and answers GET /api/panel/getSoftList with the
content of devhost/catalogue.json (or of --answer FILE, read afresh for
every request) and 404 for any other path.  The first line it prints on
standard output is its base URL, e.g. http://127.0.0.1:41234: set
VELMORA_CLOUD_OVERRIDE to it for the stand-in host's HttpGet.  It stops by
itself after --lifetime seconds, and cleanly on SIGTERM or SIGINT.

From Python, `start()` runs it as a child process and returns (process, url).
"""
import argparse
import http.server
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_ANSWER = os.path.join(HERE, 'catalogue.json')
CATALOGUE_PATH = '/api/panel/getSoftList'


class _Stop(Exception):
    pass


def _make_handler(answer_file, status, verbose):
    class Handler(http.server.BaseHTTPRequestHandler):
        timeout = 10   # a stalled client must not pin a thread for ever
        server_version = 'CatalogueStandIn/1'

        def do_GET(self):
            if urllib.parse.urlsplit(self.path).path != CATALOGUE_PATH:
                self._reply(404, b'{"error": "not found"}')
                return
            try:
                with open(answer_file, 'rb') as f:
                    body = f.read()
            except OSError as ex:
                self._reply(500, str(ex).encode('utf-8'))
                return
            self._reply(status, body)

        def _reply(self, code, body):
            self.send_response(code)
            self.send_header('Content-Type', 'application/json; charset=utf-8')
            self.send_header('Content-Length', str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format, *args):
            if verbose:
                sys.stderr.write('catalogue: %s\n' % (format % args))

    return Handler


def serve(port=0, lifetime=600.0, answer_file=DEFAULT_ANSWER, status=200,
          verbose=False):
    with open(answer_file, 'rb'):
        pass   # fail at start, not at the first request
    server = http.server.ThreadingHTTPServer(
        ('127.0.0.1', port), _make_handler(answer_file, status, verbose))
    server.daemon_threads = True

    def stop(signum, frame):
        raise _Stop()

    worker = threading.Thread(target=server.serve_forever,
                              kwargs={'poll_interval': 0.2}, daemon=True)
    try:
        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        worker.start()
        # Only now: a driver may signal as soon as it has read this line.
        print('http://127.0.0.1:%d' % server.server_address[1], flush=True)
        deadline = time.monotonic() + lifetime
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(left, 1.0))
    except _Stop:
        pass
    finally:
        # A second signal during the shutdown must not leave the socket open.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if worker.is_alive():
            server.shutdown()   # would wait for ever on a loop never started
        server.server_close()


def start(lifetime=600.0, answer_file=None, status=200, python=None,
          timeout=10.0):
    """Runs the server as a child process on a free port and returns
    (process, base URL).  The caller terminates the process when done."""
    command = [python or sys.executable, os.path.abspath(__file__),
               '--port', '0', '--lifetime', str(lifetime),
               '--status', str(status)]
    if answer_file:
        command += ['--answer', answer_file]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE,
                            universal_newlines=True)
    # The first line may never come if the server fails to start.
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        line = proc.stdout.readline().strip()
    finally:
        timer.cancel()
    if not line.startswith('http://'):
        proc.kill()
        proc.wait()
        raise RuntimeError('catalogue server did not start (exit code %s)'
                           % proc.poll())
    return proc, line


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--port', type=int, default=0,
                        help='port on 127.0.0.1 (0: any free one)')
    parser.add_argument('--lifetime', type=float, default=600.0,
                        help='seconds before it stops by itself')
    parser.add_argument('--answer', default=DEFAULT_ANSWER,
                        help='file whose bytes make the catalogue answer')
    parser.add_argument('--status', type=int, default=200,
                        help='HTTP status of the catalogue answer')
    parser.add_argument('--verbose', action='store_true',
                        help='log requests on standard error')
    args = parser.parse_args(argv)
    if args.lifetime <= 0:
        parser.error('--lifetime must be positive')
    if not 200 <= args.status <= 599:
        parser.error('--status must be an HTTP status code')
    try:
        serve(args.port, args.lifetime, args.answer, args.status, args.verbose)
    except OSError as ex:
        sys.stderr.write('catalogue server: %s\n' % ex)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
