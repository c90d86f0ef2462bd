#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What a linked image takes from the C library, read from the GNU linker's map file: the
flash bytes (code and constants) of each C library member that the link pulled in.

    image_size.py MAP [N]
prints "<total bytes> <member>(<bytes>),..." on one line, largest first, the first N
(all by default) and then how many more.
"""
import re
import sys
from collections import defaultdict

FLASH = (".text", ".ARM.exidx", ".data")  # output sections that occupy flash
INPUT = re.compile(r"^ (\S+)?\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+\S*lib(c|c_nano|nosys|gcc)\.a\((.*)\)$")

members = defaultdict(int)
section = None
in_map = False
for line in open(sys.argv[1]):
    if line.startswith("Linker script and memory map"):
        in_map = True
    elif in_map and line[0] not in " \n":
        section = line.split()[0]
    elif in_map and section in FLASH:
        m = INPUT.match(line.rstrip("\n"))
        if m:
            members[re.sub(r"^lib_a-|\.o$", "", m.group(4))] += int(m.group(2), 16)
ranked = sorted(members.items(), key=lambda x: -x[1])
shown = ranked[: int(sys.argv[2])] if len(sys.argv) > 2 else ranked
more = [f"{len(ranked) - len(shown)} more"] if len(shown) < len(ranked) else []
print(sum(members.values()), ",".join([f"{n}({s})" for n, s in shown] + more) or "-")
