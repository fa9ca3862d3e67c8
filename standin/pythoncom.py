"""Stand-in for the COM support module ``pythoncom``.

Keeps a count of open apartments per thread so that tests can check that
every ``CoInitialize`` is balanced by a ``CoUninitialize`` on the same thread.
"""

import threading

from brivane_standin import journal


class com_error(Exception):
    """Raised by a failing COM call (here: an unbalanced CoUninitialize)."""


_lock = threading.Lock()
_apartments = {}  # thread ident -> open count


def CoInitialize():
    journal.record("pythoncom", "CoInitialize")
    ident = threading.get_ident()
    with _lock:
        _apartments[ident] = _apartments.get(ident, 0) + 1


def CoUninitialize():
    journal.record("pythoncom", "CoUninitialize")
    ident = threading.get_ident()
    with _lock:
        count = _apartments.get(ident, 0)
        if count <= 0:
            raise com_error(-2147418113, "CoUninitialize without an open apartment on this thread", None, None)
        if count == 1:
            del _apartments[ident]
        else:
            _apartments[ident] = count - 1


def open_apartments():
    """{thread ident: number of apartments still open}, non-zero only."""
    with _lock:
        return dict(_apartments)


def _reset():
    with _lock:
        _apartments.clear()
