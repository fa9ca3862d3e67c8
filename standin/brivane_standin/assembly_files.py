"""Where each referenced assembly was loaded from.

The bridge (``clr``) records here what ``AddReference`` loaded; the product
reads it (the application finds its installation from the SDK's file).
Both import this module, so the product never imports the bridge.
"""

from .locks import fork_safe_lock

_lock = fork_safe_lock(globals(), "_lock")
_locations = {}  # assembly name -> file, or None for a base library


def record(name, location):
    with _lock:
        _locations[name] = location


def location(name):
    """File an assembly was referenced from, or None (not referenced, or a base library)."""
    with _lock:
        return _locations.get(name)


def clear():
    with _lock:
        _locations.clear()
