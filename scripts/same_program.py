#!/usr/bin/env python3
"""Is a shipped program the one a build of its commit makes? Compares two PE files byte for byte
apart from what Authenticode signing changes: the certificate table at the end of the file (and
the zero padding before it, at most 7 bytes), its entry in the security directory, and the PE
checksum. Either file may be signed.

    same_program.py SHIPPED BUILT      exit code 0 and "same" when they match, else 1
"""
import struct
import sys


def unsigned_image(data):
    """The file without its signature and with a zero checksum, and whether it had a signature."""
    data = bytearray(data)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    struct.pack_into("<I", data, optional + 64, 0)  # CheckSum, at the same place in PE32 and PE32+
    security = optional + (96 if magic == 0x10B else 112) + 4 * 8
    offset, size = struct.unpack_from("<II", data, security)
    if not size:
        return data, False
    struct.pack_into("<II", data, security, 0, 0)
    return data[:offset], True


def same(a, b):
    (a, _), (b, _) = unsigned_image(a), unsigned_image(b)
    shorter, longer = sorted((a, b), key=len)
    # Signing pads the file to a multiple of 8 bytes before the certificate table.
    return longer[:len(shorter)] == shorter and len(longer) - len(shorter) < 8 and not any(longer[len(shorter):])


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    with open(sys.argv[1], "rb") as a, open(sys.argv[2], "rb") as b:
        result = same(a.read(), b.read())
    print("same" if result else "different")
    sys.exit(0 if result else 1)


if __name__ == "__main__":
    main()
