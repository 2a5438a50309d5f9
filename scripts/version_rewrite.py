"""Another version of a build, without building it: the shipped programs of a build of version
OLD rewritten as a build of NEW makes them (NEW's text as long as OLD's, so that nothing moves).
The rebuild check proves it byte for byte against a real build of NEW.

    version_rewrite.py OLD NEW FROM_FOLDER TO_FOLDER     the programs an MSI takes, rewritten
"""
import array
import re
import struct
import sys
from pathlib import Path

# The programs an MSI takes (packaging/build_msi.sh).
MSI_PROGRAMS = ("telvarin.exe", "telvarin-client.exe", "telvarin-setup.exe")

VERSION_INFO = "VS_VERSION_INFO\0".encode("utf-16-le")
FIXED_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def next_version(version):
    """The next version with a text as long as `version`'s (1.0.0 -> 1.0.1, 1.0.9 -> 1.1.0)."""
    major, minor, patch = map(int, version.split("."))
    for candidate in (f"{major}.{minor}.{patch + 1}", f"{major}.{minor + 1}.0", f"{major + 1}.0.0"):
        if len(candidate) == len(version):
            return candidate
    raise ValueError(f"no next version of {version} as long as it")


def pe_checksum(data):
    """The PE header's CheckSum as the linker writes it (Windows checks it only for drivers)."""
    at = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    body = data[:at] + bytes(4) + data[at + 4:]
    total = sum(array.array("H", body + bytes(len(body) % 2)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def with_version(data, old, new):
    """A program of a build of version `old` as a build of `new` makes it, without building: the
    version resource's fixed part and texts, and compiled-in texts (the client's `--version` line),
    rewritten in place, then the header's checksum. The two versions' texts have one length, so
    nothing moves."""
    assert len(old) == len(new), (old, new)
    data = bytearray(data)
    for encoding in ("ascii", "utf-16-le"):
        text, unit = old.encode(encoding), len("0".encode(encoding))
        for m in list(re.finditer(re.escape(text), data)):
            around = bytes(data[m.start() - unit:m.start()] + data[m.end():m.end() + unit]).decode(encoding, "replace")
            if not any(c.isdigit() or c == "." for c in around):  # the version itself, not part of a longer number
                data[m.start():m.end()] = new.encode(encoding)
    info = data.find(VERSION_INFO)
    if info >= 0:
        fixed = data.find(FIXED_INFO_SIGNATURE, info)
        major, minor, patch = map(int, new.split("."))
        # dwFileVersionMS, LS and dwProductVersionMS, LS, after the signature and the structure's version.
        struct.pack_into("<4I", data, fixed + 8, major << 16 | minor, patch << 16, major << 16 | minor, patch << 16)
    struct.pack_into("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64, pe_checksum(bytes(data)))
    return bytes(data)


def programs_of_version(bin_folder, old, new, folder):
    """Copies of the MSI's programs in `bin_folder` (a build of `old`) as a build of `new` makes
    them, in `folder`, for build_msi.sh: minutes of building saved."""
    folder.mkdir(parents=True, exist_ok=True)
    for name in MSI_PROGRAMS:
        (folder / name).write_bytes(with_version((Path(bin_folder) / name).read_bytes(), old, new))
    return folder


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    old, new, source, folder = argv
    if len(old) != len(new):
        print(f"version_rewrite.py: {new} is not as long as {old}", file=sys.stderr)
        return 2
    programs_of_version(Path(source), old, new, Path(folder))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
