"""Panel modules: lays out a sample class directory in a temporary folder,
points the host at it, lists the module directories, runs a method of a
sample module through module_run, and shows names that are refused."""
import os
import tempfile

SAMPLE_MODULE = '''\
import os


class main:
    """A sample panel module: one method that answers a request."""

    def __init__(self):
        self.where = os.path.basename(os.path.dirname(__file__))

    def get_summary(self, args):
        return {'module': 'notes', 'directory': self.where,
                'greeting': 'hello, %s' % getattr(args, 'user', 'nobody')}
'''


def _lay_out(class_dir):
    for folder in ('projectModel', 'toolsModel', 'crontab'):
        os.makedirs(os.path.join(class_dir, folder))
    with open(os.path.join(class_dir, 'toolsModel', 'notesModel.py'), 'w') as f:
        f.write(SAMPLE_MODULE)


def run(Velmora, public):
    Request = public.Request
    saved = os.environ.get('VELMORA_CLASS_PATH')
    with tempfile.TemporaryDirectory(prefix='velmora-demo-class-') as class_dir:
        _lay_out(class_dir)
        os.environ['VELMORA_CLASS_PATH'] = class_dir
        try:
            print('class directory: %s' % public.get_class_path())
            folders = sorted(Velmora.get_module_list())
            print('module directories: %s' % folders)

            found = Velmora.module_run('notes', 'get_summary', Request(user='admin'))
            print("module_run('notes', 'get_summary') searching the directories -> %s" % found)

            named = Velmora.module_run('notes', 'get_summary',
                                       Request(user='admin', model_index='tools'))
            print("  ... with model_index='tools' -> %s" % named)

            method = Velmora.module_run('notes', 'get_summary', Request(module_get_object=1))
            print("  ... with module_get_object=1 -> the method itself: %s.%s"
                  % (type(method.__self__).__name__, method.__name__))

            refusals = [
                (('notes', 'missing', Request()), '在[notes]模块中找不到[missing]方法'),
                (('../notes', 'get_summary', Request()), '模块名或方法名不能包含特殊符号!'),
                (('notes', 'get_summary', Request(model_index='../../tmp/x')),
                 '模块名或方法名不能包含特殊符号!'),
            ]
            refused = 0
            for call, message in refusals:
                result = Velmora.module_run(*call)
                print('module_run(%r, %r, %r) -> %s' % (call + (result,)))
                refused += result == public.returnMsg(False, message)
            checks = {name: Velmora.path_check(name) for name in ('site_v2-beta', 'x;y')}
            for name, answer in checks.items():
                print('path_check(%r) -> %s' % (name, answer))
        finally:
            if saved is None:
                os.environ.pop('VELMORA_CLASS_PATH', None)
            else:
                os.environ['VELMORA_CLASS_PATH'] = saved
    expected = {'module': 'notes', 'directory': 'toolsModel', 'greeting': 'hello, admin'}
    if (folders != ['projectModel', 'toolsModel'] or found != expected or named != expected
            or method.__name__ != 'get_summary' or refused != len(refusals)
            or checks != {'site_v2-beta': True, 'x;y': False}):
        raise RuntimeError('a module call did not answer as expected (see above)')
    return ('%d module folders; a method found by search and by model_index; '
            '%d failure results' % (len(folders), refused))


if __name__ == '__main__':
    import sys
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, '..', 'devhost'))
    import public as host
    import Velmora as module
    run(module, host)
