"""The plugin catalogue: what the module fetched when it was imported, read
back from the cache file, then one more fetch from the cloud (in the demo,
the loopback catalogue server that devhost/catalogue_server.py runs)."""
import os

CACHE_FILE = os.path.join('data', 'plugin_list.json')


def _describe(catalogue):
    plugins = catalogue.get('list') if isinstance(catalogue, dict) else None
    if not isinstance(plugins, list):
        return 'not a catalogue: %r' % (catalogue,)
    names = [str(p.get('name', '?')) if isinstance(p, dict) else repr(p)
             for p in plugins]
    return '%d plugin(s): %s' % (len(names), ', '.join(names) or '(none)')


def run(Velmora, public):
    print('== Plugin catalogue ==')
    cloud = os.environ.get('VELMORA_CLOUD_OVERRIDE')
    print('cloud requests go to: %s' % (cloud or 'the built-in cloud address'))
    if os.path.exists(CACHE_FILE):
        print('cache file %s holds %d bytes (the import fetched them)'
              % (CACHE_FILE, os.path.getsize(CACHE_FILE)))
    else:
        print('%s is missing: the call below will ask the cloud' % CACHE_FILE)

    print('-- get_plugin_list(0): from the cache file, no request --')
    try:
        print('cached catalogue:', _describe(Velmora.get_plugin_list(0)))
    except Exception as ex:
        print('cache read failed: %s: %s' % (type(ex).__name__, ex))

    print('-- get_plugin_list(): a fresh request; the module reports it --')
    try:
        print('fresh catalogue:', _describe(Velmora.get_plugin_list()))
    except Exception as ex:
        print('cloud request failed: %s: %s' % (type(ex).__name__, ex))
