"""Stand-in for the panel's helper module `public`, for running Velmora
outside the panel.

It offers the twelve functions the module calls, doing the real work with
the standard library only.  Settings come from the environment and are read
at every call, so a driver may change them after import:

  VELMORA_PANEL_PATH      the panel's root folder (default /www/server/panel)
  VELMORA_CLASS_PATH      the panel's class folder (default <panel root>/class)
  VELMORA_CLOUD_OVERRIDE  e.g. http://127.0.0.1:8765: HttpGet sends every
                          request there instead, keeping the URL's path
  VELMORA_CATALOGUE_FILE  a file whose text answers catalogue requests
                          without any server (the override, when set, wins)
  VELMORA_HTTP_TIMEOUT    HttpGet's time-out in seconds (default 10)

`Request` is not one of the twelve: it makes the request-argument object
that a caller of the module hands to plugin operations and module methods.
"""
import importlib.util
import os
import secrets
import string
import urllib.parse
import urllib.request

DEFAULT_PANEL_PATH = '/www/server/panel'
DEFAULT_TIMEOUT = 10.0
CATALOGUE_PATH = '/api/panel/getSoftList'


class CloudError(Exception):
    """Raised by the module when the cloud could not be reached; carries the
    text of the request error."""


class Request:
    """The request-argument object, as the panel makes it for an operation:
    each key an attribute (`args.name`) and `in` true for exactly the keys.
    A plain dict will not do, since operations read `args.name`.  Takes
    what dict() takes:

        Request(name='admin')
        Request({'name': 'admin', 'plugin_get_object': 1})
        Request([('name', 'admin')])
    """

    def __init__(self, *pairs, **fields):
        for key, value in dict(*pairs, **fields).items():
            setattr(self, key, value)

    def __contains__(self, key):
        return key in self.__dict__

    def __repr__(self):
        return 'Request(%s)' % ', '.join('%s=%r' % kv for kv in self.__dict__.items())


def returnMsg(status, msg):
    return {'status': status, 'msg': msg}


def get_panel_path():
    return os.environ.get('VELMORA_PANEL_PATH') or DEFAULT_PANEL_PATH


def get_class_path():
    return (os.environ.get('VELMORA_CLASS_PATH')
            or get_panel_path().rstrip('/') + '/class')


def get_script_object(filename):
    """The module loaded afresh from `filename`, or None when it cannot be
    loaded (missing, not a Python source, or raising while it runs)."""
    name = os.path.splitext(os.path.basename(filename))[0] or 'panel_script'
    try:
        located = importlib.util.spec_from_file_location(name, filename)
        if located is None or located.loader is None:
            return None
        module = importlib.util.module_from_spec(located)
        located.loader.exec_module(module)
        return module
    except Exception:
        return None


def _redirect(url):
    """`url` with its scheme and host replaced by the override, if one is
    set; the path and query stay as they are."""
    override = os.environ.get('VELMORA_CLOUD_OVERRIDE')
    if not override:
        return url, False
    target = urllib.parse.urlsplit(override)
    if target.scheme not in ('http', 'https') or not target.netloc:
        raise ValueError('VELMORA_CLOUD_OVERRIDE must look like '
                         'http://HOST:PORT, not %r' % override)
    parts = urllib.parse.urlsplit(url)
    return urllib.parse.urlunsplit(
        (target.scheme, target.netloc, parts.path, parts.query, '')), True


def _timeout():
    try:
        value = float(os.environ.get('VELMORA_HTTP_TIMEOUT', DEFAULT_TIMEOUT))
    except ValueError:
        return DEFAULT_TIMEOUT
    return value if value > 0 else DEFAULT_TIMEOUT


def _offline_answer(url):
    """The catalogue answer from VELMORA_CATALOGUE_FILE, or None when the
    request should go out: not a catalogue request, no file named, or an
    override naming a server to ask instead."""
    answer = os.environ.get('VELMORA_CATALOGUE_FILE')
    if not answer or os.environ.get('VELMORA_CLOUD_OVERRIDE'):
        return None
    if urllib.parse.urlsplit(url).path != CATALOGUE_PATH:
        return None
    with open(answer, 'rb') as f:
        return f.read().decode('utf-8')


def HttpGet(url):
    """GETs `url` and returns the body as text.  Raises on any transport
    failure, on a status outside 2xx and on a body that is not valid text in
    its declared character set (UTF-8 when none is declared)."""
    offline = _offline_answer(url)
    if offline is not None:
        return offline
    url, overridden = _redirect(url)
    handlers = []
    if overridden:
        # The override points at a local stand-in server: a proxy from the
        # environment must not swallow those requests.
        handlers.append(urllib.request.ProxyHandler({}))
    opener = urllib.request.build_opener(*handlers)
    with opener.open(url, timeout=_timeout()) as response:
        status = response.getcode()
        if not 200 <= status < 300:
            raise OSError('HTTP status %d from %s' % (status, url))
        body = response.read()
        charset = response.headers.get_content_charset() or 'utf-8'
    return body.decode(charset)


def error_conn_cloud(text):
    return CloudError(text)


def _read_text(filename):
    # newline='' keeps the content exactly as stored (no CRLF folding).
    with open(filename, encoding='utf-8', newline='') as f:
        return f.read()


def _write_atomically(filename, content, durable):
    """Writes `content` to a new file beside `filename` and renames it over
    the target, so readers never see a half-written file and a failed write
    leaves the old content in place.  A symbolic link is written through,
    and an existing file keeps its permission bits.  `durable` also flushes
    the content to the disk before the rename, so that a crash cannot leave
    an empty file in its place."""
    if isinstance(content, str):
        content = content.encode('utf-8')
    target = os.path.realpath(filename)
    folder, base = os.path.split(target)
    temp = os.path.join(folder, '.%s.%s.tmp' % (base, secrets.token_hex(6)))
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(content)
            if durable:
                f.flush()
                os.fsync(f.fileno())
        try:
            os.chmod(temp, os.stat(target).st_mode & 0o7777)
        except FileNotFoundError:
            pass
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def readFile(filename):
    return _read_text(filename)


def writeFile(filename, content):
    """Writes the catalogue cache.  Its caller treats only an exception as a
    failure, so a failed write raises instead of returning False.  Not
    flushed to the disk: the cache is rewritten at every refresh and lost
    content comes back with the next one, while a flush costs milliseconds
    on every call."""
    _write_atomically(filename, content, durable=False)
    return True


def ReadFile(filename):
    return _read_text(filename)


def WriteFile(filename, content):
    """Writes the IV file: True when written, False when not.  Flushed to
    the disk, since it is written once and every field encrypted under it
    depends on it."""
    try:
        _write_atomically(filename, content, durable=True)
    except (OSError, TypeError, ValueError):
        return False
    return True


def GetRandomString(length):
    alphabet = string.ascii_letters + string.digits
    return ''.join(secrets.choice(alphabet) for _ in range(length))


def get_div(text):
    return text
