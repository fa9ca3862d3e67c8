"""What the tests, the integration suite, the reliability tools, the benchmarks and the demo share: the
refusal to run unconfined and the watch on every change outside the sandbox (confinement), the jail of the
fuzzers and the thread stress (jail), the module as specified (module_table), folder trees to compare
(trees) and the argument fuzzers' harness (fuzzing).

It reaches them, with the stand-in of the platform, through PYTHONPATH, which scripts/common.sh sets; it is
never installed.
"""
