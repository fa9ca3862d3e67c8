"""Coverage-guided fuzzing of brivane_core's argument handling and settings lookups with atheris.

Each input is decoded with atheris.FuzzedDataProvider into one to four calls:
FindSolverPaths and FindDataProjectPaths get settings-shaped documents
(nested dicts, lists and tuples with "Families"/"SubFamilies"/"Settings"/
"Name"/"Value" keys, the product's family and setting names, odd types and
hostile objects); any function of the module gets argument tuples and keyword
names (right and wrong counts, valid and invalid names) of fuzzed values. Every
input starts from the module as after import, before set-up (a decoded call
may itself set up on the stand-in installation, whose root is one of the
values). The calls are checked as in the property-based suite
(testkit/brivane_testkit/fuzzing.py) and jailed (its jail.py), so
the functions that do reach files stay inside a sandbox under BRIVANE_FUZZ_SANDBOX.
An operation out of a call's bounds does not stop the fuzzer: it is counted,
the input is kept in BRIVANE_FUZZ_FINDINGS, and the report written at exit
(BRIVANE_FUZZ_ATHERIS_REPORT) lists them, so that scripts/fuzz.sh fails the run.

Runs only confined (scripts/confine.sh). Run against the module built with
clang and -DBRIVANE_FUZZ=ON (libFuzzer coverage, ASan, UBSan), with atheris'
asan_with_fuzzer.so preloaded and PYTHONMALLOC=malloc; scripts/fuzz.sh does
this. Arguments go to libFuzzer (-max_total_time=60, corpus folders,
-artifact_prefix=...).
"""

import ctypes
import hashlib
import json
import os
import sys
import tempfile
import warnings

import atheris
from brivane_testkit import confinement

confinement.require("atheris fuzzing")
warnings.simplefilter("ignore")

from brivane_testkit import fuzzing as support  # noqa: E402

core = support.core
NAMES = sorted(support.FUNCTIONS)
SETTINGS_KEYS = [
    "Families",
    "SubFamilies",
    "Settings",
    "Name",
    "Value",
    "CurrentDatasDirectory",
    "CurrentProjectsDirectory",
]
SETTINGS_NAMES = ["REVAV", "QUELBAR", "PATH", "WINDOWS SOLVER PATH", "SOLVER PATH", "PELORIX", "GRAPHICS", ""]
HOSTILE_NAMES = sorted(support.HOSTILES)
CHECK_OUTSIDE_EVERY = 2000


class Decoder:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, choices):
        return choices[self.fdp.ConsumeIntInRange(0, len(choices) - 1)]

    def text(self):
        kind = self.fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            value = self.pick(SETTINGS_NAMES + SETTINGS_KEYS)
        elif kind == 1:
            value = self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 24))
        elif kind == 2:
            value = self.pick(support.SPECIAL_TEXT)
        else:
            value = "/".join(
                self.pick(["..", ".", "models", "P1", "x", "", "a.thf", "study1.vokel"])
                for _ in range(self.fdp.ConsumeIntInRange(1, 5))
            )
        return value

    def scalar(self):
        kind = self.fdp.ConsumeIntInRange(0, 9)
        if kind == 0:
            return None
        if kind == 1:
            return self.fdp.ConsumeBool()
        if kind == 2:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 80))  # up to 640-bit integers
        if kind == 3:
            return self.fdp.ConsumeRegularFloat() if self.fdp.ConsumeBool() else self.fdp.ConsumeFloat()
        if kind in (4, 5):
            return self.text()
        if kind == 6:
            return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 16))
        if kind == 7:
            return support.HOSTILES[self.pick(HOSTILE_NAMES)]
        return support.CATALOG[self.fdp.ConsumeIntInRange(0, len(support.CATALOG) - 1)]

    def value(self, depth=0):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if depth >= 4 or kind <= 2:
            return self.scalar()
        size = self.fdp.ConsumeIntInRange(0, 3)
        if kind == 3:
            return [self.value(depth + 1) for _ in range(size)]
        if kind == 4:
            return tuple(self.value(depth + 1) for _ in range(size))
        return self.document(depth + 1)

    def key(self):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if kind <= 3:
            return self.pick(SETTINGS_KEYS)
        if kind == 4:
            return self.fdp.ConsumeUnicode(4)
        return self.fdp.ConsumeIntInRange(-2, 2)

    def document(self, depth=0):
        """A dict shaped like a settings document: mostly the document's keys with lists of entries."""
        entries = {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 4)):
            key = self.key()
            if key in ("Name",):
                entries[key] = self.pick(SETTINGS_NAMES) if self.fdp.ConsumeIntInRange(0, 3) else self.value(depth)
            elif key in ("Families", "SubFamilies", "Settings") and depth < 5 and self.fdp.ConsumeIntInRange(0, 3):
                entries[key] = [
                    self.document(depth + 1) if self.fdp.ConsumeIntInRange(0, 4) else self.value(depth)
                    for _ in range(self.fdp.ConsumeIntInRange(0, 3))
                ]
            else:
                entries[key] = self.value(depth + 1)
        return entries

    def call(self, parameters):
        count = len(parameters)
        mode = self.fdp.ConsumeIntInRange(0, 3)
        if mode <= 1:
            return [self.value() for _ in range(count)], {}
        if mode == 2:
            split = self.fdp.ConsumeIntInRange(0, count)
            named = list(parameters[split:])
            if named:
                turn = self.fdp.ConsumeIntInRange(0, len(named) - 1)
                named = named[turn:] + named[:turn]
            return [self.value() for _ in range(split)], {name: self.value() for name in named}
        positional = [self.value() for _ in range(self.fdp.ConsumeIntInRange(0, count + 2))]
        keywords = {}
        for _ in range(self.fdp.ConsumeIntInRange(0, 2)):
            kind = self.fdp.ConsumeIntInRange(0, 2)
            if kind == 0 and parameters:
                name = self.pick(parameters)
            elif kind == 1:
                name = self.pick(support.BAD_KEYWORDS)
            else:
                name = self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 8))
            keywords[name] = self.value()
        return positional, keywords


class Fuzzer:
    def __init__(self, parent, findings=None):
        self.counts = support.new_counts()
        self.harness = support.Harness(parent, self.counts).__enter__()
        self.inputs = 0
        self.findings = findings
        self.inputs_out_of_bounds = 0

    def one_input(self, data):
        decoder = Decoder(data)
        violations = len(self.harness.jail.violations)
        self.harness.prepare("before")
        for _ in range(decoder.fdp.ConsumeIntInRange(1, 4)):
            target = decoder.fdp.ConsumeIntInRange(0, 4)
            if target == 3:
                args, kwargs = [decoder.document()], {}
                name = "FindSolverPaths"
            elif target == 4:
                args, kwargs = [decoder.document()], {}
                name = "FindDataProjectPaths"
            else:
                name = decoder.pick(NAMES)
                args, kwargs = decoder.call(support.FUNCTIONS[name])
            self.harness.call(name, args, kwargs)
        self.inputs += 1
        if len(self.harness.jail.violations) > violations:
            self.keep_finding(data)
        if self.inputs % CHECK_OUTSIDE_EVERY == 0:
            self.harness.verify_outside()
            self.report()

    def keep_finding(self, data):
        self.inputs_out_of_bounds += 1
        if self.findings and self.inputs_out_of_bounds <= 50:
            os.makedirs(self.findings, exist_ok=True)
            with open(os.path.join(self.findings, "out-of-bounds-" + hashlib.sha1(data).hexdigest()), "wb") as f:
                f.write(data)

    def report(self):
        target = os.environ.get("BRIVANE_FUZZ_ATHERIS_REPORT")
        if target:
            jail = self.harness.jail
            with open(target, "w", encoding="utf-8") as f:
                json.dump(
                    {
                        "inputs": self.inputs,
                        "calls": dict(sorted(self.counts.items())),
                        "total": sum(self.counts.values()),
                        "out_of_bounds": len(jail.violations),
                        "inputs_out_of_bounds": self.inputs_out_of_bounds,
                        "contained": jail.contained,
                        "refused_reads": jail.refused_reads,
                        "violations": [str(v) for v in list(dict.fromkeys(jail.violations))[:20]],
                    },
                    f,
                    indent=1,
                )


def at_process_exit(function):
    """Runs `function` when libFuzzer ends the process with exit(), which skips Python's own atexit."""
    callback = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(lambda _: function())
    ctypes.CDLL(None).__cxa_atexit(callback, None, None)  # glibc's atexit() is this call
    return callback  # to be kept alive


def main():
    parent = os.environ.get("BRIVANE_FUZZ_SANDBOX") or tempfile.mkdtemp(prefix="brivane-atheris-")
    os.makedirs(parent, exist_ok=True)
    fuzzer = Fuzzer(parent, os.environ.get("BRIVANE_FUZZ_FINDINGS"))
    fuzzer.exit_hook = at_process_exit(fuzzer.report)
    atheris.Setup(sys.argv, fuzzer.one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
