"""Recording what a routine calls, for the tests, the benchmark and the demo: callees bound
by name in a module, and namespaces put back exactly as they were."""
from pelmora_tools.names import GL_CALLEES


class Failure(Exception):
    """What a recording callee raises on its armed call."""


class Rebinding(object):
    """Puts back every binding of `modules` as it was at creation, deleting the names that
    were not there, on restore() or at the end of a with block."""

    def __init__(self, modules):
        self.saved = [(module, dict(module.__dict__)) for module in modules]

    def restore(self):
        for module, saved in self.saved:
            for name in [name for name in module.__dict__ if name not in saved]:
                delattr(module, name)
            for name, value in saved.items():
                if module.__dict__.get(name, saved) is not value:
                    setattr(module, name, value)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.restore()


class Recorder(object):
    """Binds each of `names` in `module` to a callee that appends (name, args) to `calls`:
    functions, or with `instance` objects with __call__. Call number `fail_at` (from 1)
    raises Failure."""

    def __init__(self, module, names=GL_CALLEES, fail_at=None, calls=None, instance=False):
        self.calls, self.count, self.fail_at = [] if calls is None else calls, 0, fail_at
        for name in names:
            record = self.callee(name)
            call = type("Callee", (object,), {"__call__": staticmethod(record)})
            setattr(module, name, call() if instance else record)

    def callee(self, name):
        def record(*args):
            self.calls.append((name, args))
            self.count += 1
            if self.count == self.fail_at:
                raise Failure(name)
        return record


def record(module, routine, args=(), names=GL_CALLEES):
    """The (name, args) calls that one call of `routine` makes, those of the drawSquare
    inside a cube included; the namespace is left as it was."""
    with Rebinding([module]):
        recorder = Recorder(module, names)
        getattr(module, routine)(*args)
    return recorder.calls
