"""Stand-in for the Brivane .NET product, the CLR bridge and COM support.

The folder holding this package also holds ``clr.py`` and ``pythoncom.py``;
putting that folder on ``sys.path`` lets ``brivane_computer`` run on a machine
without .NET.  Every call the extension module can make is recorded in
:mod:`brivane_standin.journal`; :mod:`brivane_standin.knobs` forces faults.
"""


def reset():
    """Forget every piece of process state kept by the stand-in.

    Clears the journal, restores the knobs, drops the assembly references
    (and their namespace modules), the COM apartments, the .NET thread
    records and the product's process-wide state.
    """
    import clr
    import pythoncom

    from . import dotnet, journal, knobs, product

    clr._reset()
    pythoncom._reset()
    dotnet._reset()
    product._reset()
    knobs.knobs.reset()
    journal.clear()
