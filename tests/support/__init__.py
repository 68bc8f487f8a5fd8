"""Helpers shared by the tests: where things are, registry emulators in processes of their own,
scenarios in fresh interpreters, and the sizes of repeated scenarios.

pytest puts tests/ and tools/ on sys.path (pytest.ini), so tests import `support.<module>` and
the tools' modules (irr_emulator, proc_stats: the /proc readers) directly; scenarios run by
support.fresh get the same path."""
