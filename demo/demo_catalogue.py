"""The plugin catalogue: what the module fetched when it was imported, read
back from the cache file, then one more fetch from the cloud (in the demo,
the loopback catalogue server that devhost/catalogue_server.py runs)."""
import os

CACHE_FILE = os.path.join('data', 'plugin_list.json')


def _names(catalogue):
    plugins = catalogue.get('list') if isinstance(catalogue, dict) else None
    if not isinstance(plugins, list):
        raise RuntimeError('not a catalogue: %r' % (catalogue,))
    return [str(p.get('name', '?')) if isinstance(p, dict) else repr(p) for p in plugins]


def run(Velmora, public):
    print('== Plugin catalogue ==')
    cloud = os.environ.get('VELMORA_CLOUD_OVERRIDE')
    print('cloud requests go to: %s' % (cloud or 'the built-in cloud address'))
    if not os.path.exists(CACHE_FILE):
        raise RuntimeError('%s is missing: the import did not cache the catalogue' % CACHE_FILE)
    print('cache file %s holds %d bytes (the import fetched them)'
          % (CACHE_FILE, os.path.getsize(CACHE_FILE)))

    print('-- get_plugin_list(0): from the cache file, no request --')
    cached = _names(Velmora.get_plugin_list(0))
    print('cached catalogue: %d plugin(s): %s' % (len(cached), ', '.join(cached)))

    print('-- get_plugin_list(): a fresh request; the module reports it --')
    fresh = _names(Velmora.get_plugin_list())
    print('fresh catalogue: %d plugin(s): %s' % (len(fresh), ', '.join(fresh)))
    if not cached or cached != fresh:
        raise RuntimeError('the cached and the fresh catalogue differ')
    return ('%d plugins fetched at the import, read back from %s, fetched again'
            % (len(fresh), CACHE_FILE))
