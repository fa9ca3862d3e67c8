"""Reliability suites that go beyond the behaviour tests: the argument fuzzing."""
