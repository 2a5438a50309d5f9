#!/usr/bin/env python3
"""Makes an MSI built by wixl the same bytes on every build of the same sources:
    msi_summary.py MSI EPOCH
wixl stamps the summary information with the time of the build (created, last saved) and a
random package code. The times become EPOCH (seconds since 1970, UTC); the package code becomes
a name-based UUID of the package's own bytes (with the code blanked), so that it still changes
whenever anything in the package changes, as Windows Installer requires, and only then.

The summary stream is a property set (FMTID F29F85E0-4FF9-1068-AB91-08002B27B3D9) that wixl
writes contiguously into the compound file; the values are rewritten in place, same length.
"""
import hashlib
import struct
import sys
import uuid

SUMMARY_FMTID = uuid.UUID("F29F85E0-4FF9-1068-AB91-08002B27B3D9").bytes_le
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 0x1E, 0x40
FILETIME_EPOCH_OFFSET = 11644473600  # seconds from 1601-01-01 to 1970-01-01
BLANK_CODE = b"{00000000-0000-0000-0000-000000000000}"


def fail(text):
    sys.exit(f"msi_summary.py: {text}")


def properties(data):
    """{pid: offset of its typed value in data} of the summary property set."""
    at = data.find(SUMMARY_FMTID)
    if at < 28 or data.find(SUMMARY_FMTID, at + 1) != -1:
        fail("no single summary information property set found")
    header = at - 28
    if data[header:header + 2] != b"\xfe\xff":
        fail("the summary information has an unknown byte order mark")
    section = header + struct.unpack_from("<I", data, at + 16)[0]
    size, count = struct.unpack_from("<II", data, section)
    if section + size > len(data) or count > 64:
        fail("the summary information section does not fit in the file")
    found = {}
    for index in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * index)
        found[pid] = section + offset
    return found


def main():
    if len(sys.argv) != 3:
        fail("usage: msi_summary.py MSI EPOCH")
    path, epoch = sys.argv[1], int(sys.argv[2])
    data = bytearray(open(path, "rb").read())
    found = properties(data)
    filetime = struct.pack("<Q", (epoch + FILETIME_EPOCH_OFFSET) * 10_000_000)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        if pid not in found or struct.unpack_from("<I", data, found[pid])[0] != VT_FILETIME:
            fail(f"the summary information has no time {pid}")
        data[found[pid] + 4:found[pid] + 12] = filetime
    if PID_REVNUMBER not in found:
        fail("the summary information has no package code")
    vt, length = struct.unpack_from("<II", data, found[PID_REVNUMBER])
    start = found[PID_REVNUMBER] + 8
    if vt != VT_LPSTR or length != len(BLANK_CODE) + 1:
        fail("the package code is not a 38-character text")
    data[start:start + len(BLANK_CODE)] = BLANK_CODE
    digest = hashlib.sha256(data).digest()
    code = "{%s}" % str(uuid.UUID(bytes=digest[:16], version=5)).upper()
    data[start:start + len(BLANK_CODE)] = code.encode("ascii")
    with open(path, "wb") as out:
        out.write(data)
    print(code)


if __name__ == "__main__":
    main()
