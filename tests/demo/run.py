#!/usr/bin/env python3
"""Runs the demo's tests (the virtual module, the MIDI files, the README's
main command end to end) and ends with "demo: N passed, N failed, N skipped"."""
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
suite = unittest.defaultTestLoader.discover(here, pattern="test_*.py", top_level_dir=here)
result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
skipped = len(result.skipped)
print("demo: %d passed, %d failed, %d skipped" % (result.testsRun - failed - skipped, failed, skipped))
sys.exit(1 if failed else 0)
