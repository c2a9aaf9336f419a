"""Side-by-side comparison of quillomar with the libraries users would pick instead.

The driver is bench/compare_peers.py; this package holds its pieces: the
workload (word list and queries), one adapter per library, the per-library
measurement that runs in a child process, and the report writer.
"""
