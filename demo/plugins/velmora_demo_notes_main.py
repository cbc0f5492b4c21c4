"""A sample source plugin: keeps no state, answers from the request."""
import time


class velmora_demo_notes_main:
    def __init__(self):
        self.loaded_at = time.strftime('%H:%M:%S')

    def get_note(self, args):
        who = args.name if 'name' in args else 'guest'
        return {'status': True, 'msg': 'hello %s, from a plugin loaded at %s'
                % (who, self.loaded_at)}
