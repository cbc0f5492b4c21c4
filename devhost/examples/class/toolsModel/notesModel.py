"""An example panel module to try `scripts/devhost module` on: this folder's
parent, devhost/examples/class, stands in for the panel's class directory."""


class main:
    def get_summary(self, args):
        user = args.user if 'user' in args else 'nobody'
        return {'module': 'notes', 'user': user, 'notes': ['备份完成', 'disk at 41%']}
