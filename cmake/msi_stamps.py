#!/usr/bin/env python3
# msi_stamps.py MSI EPOCH: takes out of a Windows Installer package what wixl
# stamps it with besides its sources, so that the same sources give the same
# package: the summary information's creation and save times and the dates of
# the files in the embedded cabinet (the files' modification times) become
# EPOCH (SOURCE_DATE_EPOCH); the package code, random in wixl, becomes a
# name-based UUID of the package's content, so that it changes exactly when
# the content does, as Windows Installer expects.
#
# The package is a compound file; every field keeps its size and is patched
# where it lies, so nothing else in the file moves.
import hashlib
import struct
import sys
import time
import uuid

FREE_SECTOR = 0xFFFFFFFA  # this and above end a chain or mark special sectors
SUMMARY_INFORMATION = "\x05SummaryInformation"
PACKAGE_CODE, CREATED, LAST_SAVED = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
# The project's own: no other name-based UUID can match a package code.
PACKAGE_CODE_NAMESPACE = uuid.UUID("5f0c7e0a-3d1b-4c6e-9a51-2b8d6f4e7c13")


class CompoundFile:
    """The streams of a compound file, as the file offsets of their pieces."""

    def __init__(self, data):
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
        fats, directory, _, self.cutoff, minifat, _, difat, difats = struct.unpack_from(
            "<8I", data, 0x2C)
        per_sector = self.sector // 4
        fat_sectors = list(struct.unpack_from("<109I", data, 0x4C))
        for _ in range(difats):
            entries = struct.unpack_from(f"<{per_sector}I", data, self.at(difat))
            fat_sectors += entries[:-1]
            difat = entries[-1]
        self.fat = self.table(fat_sectors[:fats])
        self.minifat = self.table(self.chain(minifat, self.fat))
        self.entries = {}
        for sector in self.chain(directory, self.fat):
            for entry in range(self.at(sector), self.at(sector) + self.sector, 128):
                name_size = struct.unpack_from("<H", data, entry + 64)[0]
                name = data[entry:entry + max(name_size - 2, 0)].decode("utf-16-le")
                start, size = struct.unpack_from("<II", data, entry + 116)
                if data[entry + 66] == 2:
                    self.entries[name] = (start, size)
                elif data[entry + 66] == 5:  # the root, whose stream holds the small streams
                    self.mini_stream = list(self.chain(start, self.fat))

    def at(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start, table):
        while start < FREE_SECTOR:
            yield start
            start = table[start]

    def table(self, sectors):
        words = []
        for sector in sectors:
            words += struct.unpack_from(f"<{self.sector // 4}I", self.data, self.at(sector))
        return words

    def pieces(self, name):
        start, size = self.entries[name]
        if size < self.cutoff:
            for mini in self.chain(start, self.minifat):
                offset = mini * self.mini
                yield self.at(self.mini_stream[offset // self.sector]) + offset % self.sector, self.mini
        else:
            for sector in self.chain(start, self.fat):
                yield self.at(sector), self.sector

    def read(self, name):
        return b"".join(self.data[at:at + size] for at, size in self.pieces(name))[:self.entries[name][1]]

    def write(self, name, content):
        for at, size in self.pieces(name):
            piece, content = content[:size], content[size:]
            self.data[at:at + len(piece)] = piece


def set_properties(stream, values):
    """Overwrites properties of a property set stream (summary information) with values of the
    same type and size: a type, for a string its size, then the bytes."""
    stream = bytearray(stream)
    section = struct.unpack_from("<I", stream, 44)[0]
    for index in range(struct.unpack_from("<I", stream, section + 4)[0]):
        identifier, offset = struct.unpack_from("<II", stream, section + 8 + 8 * index)
        value = values.pop(identifier, None)
        at = section + offset
        if value is None:
            continue
        header = 8 if value[0] == VT_LPSTR else 4
        if stream[at:at + header] != value[:header]:
            sys.exit(f"{sys.argv[1]}: summary information property {identifier} is not as expected")
        stream[at:at + len(value)] = value
    if values:
        sys.exit(f"{sys.argv[1]}: the summary information lacks properties {sorted(values)}")
    return bytes(stream)


def package_code(code):
    text = b"{%s}\0" % str(code).upper().encode()
    return struct.pack("<II", VT_LPSTR, len(text)) + text


def cabinet_dates(cabinet, epoch):
    """The cabinet with every file's date and time (MS-DOS format, 1980 at the earliest) set to EPOCH."""
    cabinet = bytearray(cabinet)
    year, month, day, hour, minute, second = time.gmtime(max(epoch, 315532800))[:6]
    date, clock = (year - 1980) << 9 | month << 5 | day, hour << 11 | minute << 5 | second // 2
    offset, count = struct.unpack_from("<I", cabinet, 16)[0], struct.unpack_from("<H", cabinet, 28)[0]
    for _ in range(count):
        struct.pack_into("<HH", cabinet, offset + 10, date, clock)
        offset = cabinet.index(b"\0", offset + 16) + 1  # past the file's name
    return bytes(cabinet)


path, epoch = sys.argv[1], int(sys.argv[2])
with open(path, "rb") as msi:
    package = CompoundFile(bytearray(msi.read()))
filetime = struct.pack("<IQ", VT_FILETIME, (epoch + 11644473600) * 10**7)  # 100 ns since 1601
package.write(SUMMARY_INFORMATION, set_properties(package.read(SUMMARY_INFORMATION), {
    CREATED: filetime, LAST_SAVED: filetime, PACKAGE_CODE: package_code(uuid.UUID(int=0))}))
cabinets = [name for name in package.entries if package.read(name)[:4] == b"MSCF"]
for name in cabinets:
    package.write(name, cabinet_dates(package.read(name), epoch))
digest = hashlib.sha256(package.data).hexdigest()
code = uuid.uuid5(PACKAGE_CODE_NAMESPACE, digest)
package.write(SUMMARY_INFORMATION, set_properties(package.read(SUMMARY_INFORMATION),
                                                  {PACKAGE_CODE: package_code(code)}))
with open(path, "wb") as msi:
    msi.write(package.data)
