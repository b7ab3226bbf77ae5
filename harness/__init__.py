"""The test harness, shared by scripts/ and tests/: see README.md."""
