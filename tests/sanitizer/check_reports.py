"""Reads the sanitizer report files of one run and counts what they report.

Usage: check_reports.py LOGDIR MODULE_SOURCE_DIR

Every memory error and every instance of undefined behaviour counts, in any
process and any phase. Every leak found while an interpreter was still alive
(live.<pid>) counts. Of the leaks found after shutdown (exit.<pid>), one kind
is the interpreter's own and does not count: a str object whose allocation
stack has no frame of the module, or has an import between the allocation
and the module's frames (what an import makes belongs to the imported code;
Python 3.13 imports its traceback module when the module prints an error),
or the str is a name the interpreter interned as a module registered it (a
dict key that PyDict_SetItemString made, or a method's name that module
creation set as an attribute).
The interpreter never frees its interned strings, which are immortal; the
same strings were reachable, and therefore not reported, at the live check.
Anything else leaked after shutdown counts. In a process that ran a
sub-interpreter (marked by subinterpreter.<pid>), the same kind of str block
is set aside at the live check too: destroying a sub-interpreter leaves its
immortal strings behind, unreachable. A frame belongs to the module when it
lies in MODULE_SOURCE_DIR or in one of its shared libraries (varnelle and
varnelle_np._ufuncs).

One block of NumPy's is set aside in either phase: the scratch list of
operands that NumPy's ufunc call allocates itself (malloc called straight from
ufunc_generic_fastcall in NumPy's _multiarray_umath) when a ufunc has more
operands than its list on the stack holds and an argument's __array_ufunc__
(a pandas Series, a dask array, an xarray DataArray) takes the call: NumPy
returns the override's result without freeing it. Any ufunc of that many
operands does it, NumPy's own np.frompyfunc(f, 7, 1) included. Only that
exact allocation site is set aside: a block allocated by the module's loops
has the module's frames between malloc and ufunc_generic_fastcall.

Leaks in the interpreter's own code, or NumPy's, that no module call can lead
to are suppressed by LeakSanitizer itself, from tests/sanitizer/lsan.supp.

Prints one line per report that counts and a summary; exits 1 if any counts.
"""

import pathlib
import re
import sys

RECORD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:\n"
                    r"((?:    #\d+ .*\n?)*)", re.M)
FRAME = re.compile(r"^    #(\d+) 0x[0-9a-f]+ in (\S+)(.*)$", re.M)
ERROR = re.compile(r"^==\d+==ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer): (.*)$|"
                   r"^(.*): runtime error: (.*)$", re.M)


def frames(stack):
    return [(m.group(2), m.group(3)) for m in FRAME.finditer(stack)]


def in_module(frame, module_dir):
    function, location = frame
    return (module_dir in location or "varnelle.abi3" in location or "_ufuncs.abi3" in location
            or function.startswith("varnelle::"))


# Where the interpreter allocates and grows str objects.
STR_ALLOCATORS = {"PyUnicode_New", "resize_compact"}
# Frames of an import: what it allocates belongs to the imported code, even
# when the module started it (printing a traceback may import modules).
IMPORT_FRAMES = {"PyImport_ImportModuleLevelObject", "import_find_and_load", "PyImport_Import"}
# Frames that make a module's attribute names from C strings, which the
# interpreter interns, immortal like every interned string: dict keys, and the
# names of the methods a module is created with. Which process allocates such
# a name depends only on whether something interned the same text first.
INTERNED_KEY_FRAMES = {"PyDict_SetItemString", "_add_methods_to_object"}


def interpreter_string(stack, module_dir):
    """A str block that no call of the module made: none of the module's
    frames lies between the allocation and the outermost frame, or an import
    comes first."""
    found = frames(stack)
    if len(found) < 2 or found[1][0] not in STR_ALLOCATORS:
        return False
    for frame in found[1:]:
        if frame[0] in IMPORT_FRAMES or frame[0] in INTERNED_KEY_FRAMES:
            return True
        if in_module(frame, module_dir):
            return False
    return True


def numpy_override_scratch(stack):
    """NumPy's operand list of a ufunc call handed to an __array_ufunc__
    override, which NumPy does not free."""
    found = frames(stack)
    return (len(found) >= 2 and found[1][0] == "ufunc_generic_fastcall"
            and "_multiarray_umath" in found[1][1])


def main():
    logs, module_dir = pathlib.Path(sys.argv[1]), sys.argv[2]
    counted = []
    allowed = {"strings": [0, 0], "numpy": [0, 0]}  # records, bytes
    files = sorted(p for p in logs.iterdir() if p.is_file() and not p.name.startswith("subinterpreter."))
    with_subinterpreters = {p.name.split(".")[1] for p in logs.glob("subinterpreter.*")}
    for path in files:
        text = path.read_text(errors="replace")
        phase, _, pid = path.name.partition(".")
        strings_allowed = phase == "exit" or (phase == "live" and pid in with_subinterpreters)
        for m in ERROR.finditer(text):
            if m.group(1) == "LeakSanitizer" and "detected memory leaks" in m.group(2):
                continue  # judged record by record below
            counted.append(f"{path.name}: {m.group(0).strip()}")
        for m in RECORD.finditer(text):
            kind, size, stack = m.group(1), int(m.group(2)), m.group(4)
            reason = ("strings" if strings_allowed and interpreter_string(stack, module_dir)
                      else "numpy" if numpy_override_scratch(stack) else None)
            if reason:
                allowed[reason][0] += 1
                allowed[reason][1] += size
                continue
            top = " < ".join(f for f, _ in frames(stack)[1:6])
            counted.append(f"{path.name}: {kind} leak of {size} bytes: {top}")
    for line in counted:
        print(line)
    strings, numpy = allowed["strings"], allowed["numpy"]
    print(f"sanitizer reports: {len(counted)} in {len(files)} report files "
          f"(not counted: {strings[0]} leak records, {strings[1]} bytes, of immortal "
          f"strings that the interpreter does not free; {numpy[0]} records, {numpy[1]} bytes, "
          f"of NumPy's operand lists of overridden ufunc calls)")
    return 1 if counted else 0


if __name__ == "__main__":
    sys.exit(main())
