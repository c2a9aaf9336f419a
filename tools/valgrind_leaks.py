"""Fails when a valgrind memcheck log has a "definitely lost" record whose
stack passes through the extension.

The stock interpreter keeps some allocations until exit that memcheck may
report; only records attributed to _quillomar's own code count here.

Usage: python tools/valgrind_leaks.py VALGRIND_LOG
"""

import re
import sys


def leak_records(text: str):
    """Yields each loss record (its header line and stack) of the log."""
    record: list[str] = []
    for line in text.splitlines():
        body = re.sub(r"^==\d+==\s?", "", line)
        if "are definitely lost in loss record" in body:
            record = [body]
        elif record:
            if body.strip():
                record.append(body)
            else:
                yield record
                record = []
    if record:
        yield record


def main() -> int:
    with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
        text = f.read()
    if "ERROR SUMMARY" not in text:
        print("valgrind log is incomplete: the run did not finish")
        return 1
    ours = [r for r in leak_records(text) if any("quillomar" in l for l in r)]
    total = len(list(leak_records(text)))
    for record in ours:
        print("\n".join(record), end="\n\n")
    print(f"{total} definitely-lost records, {len(ours)} attributed to _quillomar")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
