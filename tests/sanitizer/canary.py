"""Faults the sanitizer run must report, so that a clean run means something.

python canary.py leak: a block of 4096 bytes that is never freed, and a str
made inside a module call (by a __float__) with a reference that is never
given back, so its allocation stack passes through the module.
python canary.py use-after-free: a read of freed memory (this aborts).
"""

import ctypes
import sys

import varnelle

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]


class LeaksAString:
    def __float__(self):
        ctypes.pythonapi.Py_IncRef(ctypes.py_object("".join(["leaked ", "text"])))
        return 100.0


if sys.argv[1] == "leak":
    libc.malloc(4096)
    varnelle.bs_delta(LeaksAString(), 100.0, 1.0, 0.05, 0.2)
else:
    block = libc.malloc(64)
    libc.free(block)
    ctypes.string_at(block, 8)
