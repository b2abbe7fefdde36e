#!/usr/bin/env python3
# load_config.py IMAGE: names the section ".lcfg" of a 64-bit PE image as the
# image's load configuration (data directory 10), which the GNU linker of
# this toolchain leaves empty. The section holds the structure that
# src/entry/load_config.cpp defines; its first four bytes are its size.
import struct
import sys

LOAD_CONFIG_DIRECTORY = 10

path = sys.argv[1]
with open(path, "rb") as image:
    data = bytearray(image.read())
header = struct.unpack_from("<I", data, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H", data, header + 6)[0], struct.unpack_from(
    "<H", data, header + 20)[0]
optional = header + 24
if struct.unpack_from("<H", data, optional)[0] != 0x20B:
    sys.exit(f"{path}: not a 64-bit image")
for index in range(sections):
    entry = optional + optional_size + 40 * index
    if data[entry:entry + 8].rstrip(b"\0") == b".lcfg":
        address, raw = struct.unpack_from("<I", data, entry + 12)[0], struct.unpack_from(
            "<I", data, entry + 20)[0]
        size = struct.unpack_from("<I", data, raw)[0]
        struct.pack_into("<II", data, optional + 112 + 8 * LOAD_CONFIG_DIRECTORY, address, size)
        with open(path, "wb") as image:
            image.write(data)
        sys.exit(0)
sys.exit(f"{path}: no .lcfg section")
