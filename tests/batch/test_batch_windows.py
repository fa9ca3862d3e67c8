"""On Windows: a worker's job object ends every process that its solve started, once the worker is ended by
TerminateProcess, when no event reaches it (a cancelled scheduled task). Run by the Windows workflow only."""

import ctypes
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(sys.platform != "win32", reason="job objects exist on Windows only")

WORKER = """
import subprocess, sys
from brivane_computer.batch._lifetime import lead_own_tree
lead_own_tree()
solve = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
print(solve.pid, flush=True)
solve.wait()
"""


def test_a_terminated_worker_takes_its_solve_with_it():
    worker = subprocess.Popen([sys.executable, "-c", WORKER], stdout=subprocess.PIPE, text=True)
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenProcess.restype = ctypes.c_void_p
    synchronize = 0x00100000
    try:
        solve = kernel32.OpenProcess(synchronize, False, int(worker.stdout.readline()))
        assert solve
        worker.kill()  # TerminateProcess
        worker.wait(timeout=60)
        # The job's only handle closed with the worker: its solve ends (0: signalled).
        assert kernel32.WaitForSingleObject(ctypes.c_void_p(solve), 10_000) == 0
        kernel32.CloseHandle(ctypes.c_void_p(solve))
    finally:
        if worker.poll() is None:
            worker.kill()
        worker.stdout.close()
