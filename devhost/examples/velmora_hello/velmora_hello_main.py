"""An example plugin to try scripts/devhost on.  The folder's name,
velmora_hello, is the plugin's name: the entry file is velmora_hello_main.py
and the plugin object is made from its class velmora_hello_main."""


class velmora_hello_main:
    def greet(self, args):
        name = args.name if 'name' in args else 'guest'
        print('greeting %s' % name)   # under devhost this goes to standard error
        return {'status': True, 'msg': '你好, %s!' % name}

    def refuse(self, args):
        return {'status': False, 'msg': '没有权限'}
