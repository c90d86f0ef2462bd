#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Flash and RAM of a linked image by part, read from the GNU linker's map file.

    board_image.py MAP
prints one line per part, "<part> <flash bytes> <RAM bytes>", then "total <flash> <RAM>".
Flash is code, constants and the initial values of data; RAM is data and bss (the stack,
which the linker script reserves, is not counted). Each input section counts for the part
that its object file belongs to: the link library (libdevtcp.a), its lwIP port
(libdevtcp_lwip_raw.a), with TLS its TLS port (libdevtcp_tls.a and the test-only entropy
source) and mbedTLS (libdevtcp_mbedtls.a), lwIP (liblwip.a), the C library (libc, libnosys,
libgcc) and the application (every other object: start-up, driver, main). A part that the
image does not have is not printed.
"""
import re
import sys
from collections import defaultdict

FLASH = {".text", ".init_array", ".ARM.exidx", ".data"}
RAM = {".data", ".bss"}
PARTS = [("library", r"libdevtcp\.a\("), ("port", r"libdevtcp_lwip_raw\.a\("),
         ("TLS port", r"libdevtcp_tls(_insecure_test_entropy)?\.a\("),
         ("mbedTLS", r"libdevtcp_mbedtls\.a\("),
         ("lwIP", r"liblwip\.a\("), ("C library", r"lib(c|c_nano|nosys|gcc)\.a\(")]
ENTRY = re.compile(r"^ (\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")


def part_of(path):
    for name, pattern in PARTS:
        if re.search(pattern, path):
            return name
    return "application"


flash, ram = defaultdict(int), defaultdict(int)
section, in_map = None, False
for line in open(sys.argv[1]):
    line = line.rstrip("\n")
    if line.startswith("Linker script and memory map"):
        in_map = True
        continue
    if not in_map or not line:
        continue
    if line[0] != " ":
        section = line.split()[0]
        continue
    m = ENTRY.match(line)
    if not m:
        continue
    size, part = int(m.group(3), 16), part_of(m.group(4))
    if section in FLASH:
        flash[part] += size
    if section in RAM:
        ram[part] += size
for name in ["library", "port", "TLS port", "mbedTLS", "lwIP", "application", "C library"]:
    if flash[name] or ram[name] or name not in ("TLS port", "mbedTLS"):
        print(name.replace(" ", "_"), flash[name], ram[name])
print("total", sum(flash.values()), sum(ram.values()))
