"""Reads a valgrind log and fails if any error or definite leak has the
module in its stack. Usage: valgrind_report.py LOG"""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# A frame is the module's when it is in any build of it (quarnel.so,
# quarnel_d.so, quarnel.abi3.so, quarnel.cpython-311d-<triplet>.so) or names
# one of its source files, with or without a directory.
SOURCES = sorted(name for folder in ("guide", "module") for name in os.listdir(os.path.join(TOP, folder)))
MODULE_FRAME = re.compile(r"\bquarnel(_d)?(\.abi3|\.cpython-[\w-]+)?\.so\b|[(/](%s):\d+\)"
                          % "|".join(re.escape(name) for name in SOURCES))
HEAD = re.compile(r"^==\d+== (\S.*)$")
FRAME = re.compile(r"^==\d+==\s+(at|by) ")


def blocks(lines):
    """Each error's heading and its own stack; the stacks of the block it
    touched ("Address ... free'd at") are left out: pymalloc reads freed
    blocks by design, so they would blame whoever freed them last."""
    block = []
    open_stack = False
    for line in lines:
        if HEAD.match(line):
            if block:
                yield block
            block = [line]
            open_stack = True
        elif FRAME.match(line) and open_stack:
            block.append(line)
        else:
            open_stack = False
    if block:
        yield block


def main(path):
    with open(path) as f:
        lines = f.read().splitlines()
    summary = [l for l in lines if "ERROR SUMMARY" in l]
    ours = [b for b in blocks(lines) if len(b) > 1 and any(MODULE_FRAME.search(l) for l in b[1:])]
    for block in ours:
        print("\n".join(block))
        print("")
    print(summary[-1] if summary else "no ERROR SUMMARY in %s" % path)
    print("valgrind: errors through the module: %d" % len(ours))
    print("valgrind: %d passed, %d failed" % (0 if ours else 1, 1 if ours else 0))
    return 1 if ours or not summary else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
