#!/usr/bin/env python3
# chm_times.py CHM: clears the two times that Free Pascal's chmcmd writes into
# a help file, so that the same sources give the same file: the ITSF header's
# and the #SYSTEM file's entry 10, each the milliseconds since midnight at
# compile time (chmcmd reads no SOURCE_DATE_EPOCH). The help viewer reads
# neither. Both are patched in place; nothing else moves.
import struct
import sys

SYSTEM_TIME_ENTRY = 10


def encint(data, pos):
    """A CHM directory's variable-length number: 7 bits a byte, high bit set on all but the last."""
    value = 0
    while True:
        byte = data[pos]
        pos += 1
        value = value << 7 | byte & 0x7F
        if byte < 0x80:
            return value, pos


def system_file(data):
    """(offset, size) of /#SYSTEM, found in the directory's listing chunks."""
    directory, content = struct.unpack_from("<Q", data, 0x48)[0], struct.unpack_from("<Q", data, 0x58)[0]
    chunk_size, chunk_count = (struct.unpack_from("<I", data, directory + field)[0] for field in (0x10, 0x2C))
    for index in range(chunk_count):
        chunk = directory + 0x54 + index * chunk_size
        if data[chunk:chunk + 4] != b"PMGL":
            continue
        pos, end = chunk + 0x14, chunk + chunk_size - struct.unpack_from("<I", data, chunk + 4)[0]
        while pos < end:
            length, pos = encint(data, pos)
            name, pos = bytes(data[pos:pos + length]), pos + length
            section, pos = encint(data, pos)
            offset, pos = encint(data, pos)
            size, pos = encint(data, pos)
            if name == b"/#SYSTEM" and section == 0:
                return content + offset, size
    sys.exit(f"{sys.argv[1]}: no /#SYSTEM")


path = sys.argv[1]
with open(path, "rb") as chm:
    data = bytearray(chm.read())
if data[:4] != b"ITSF" or struct.unpack_from("<I", data, 4)[0] != 3:
    sys.exit(f"{path}: not a version 3 CHM file")
struct.pack_into("<I", data, 0x10, 0)
start, size = system_file(data)
pos = start + 4  # past the #SYSTEM file's version
while pos < start + size:
    code, length = struct.unpack_from("<HH", data, pos)
    if code == SYSTEM_TIME_ENTRY and length == 4:
        struct.pack_into("<I", data, pos + 4, 0)
        break
    pos += 4 + length
else:
    sys.exit(f"{path}: no time in /#SYSTEM")
with open(path, "wb") as chm:
    chm.write(data)
