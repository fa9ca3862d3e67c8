"""The stand-in's module locks, which a child made by fork finds free."""

import os
import threading


def fork_safe_lock(namespace, name):
    """A lock bound as `name` in a module's `namespace`. In a child made by fork the name is bound to a new lock:
    one that another thread of the parent held at the fork would be waited for for ever."""
    namespace[name] = threading.Lock()
    if hasattr(os, "register_at_fork"):
        os.register_at_fork(after_in_child=lambda: namespace.__setitem__(name, threading.Lock()))
    return namespace[name]
