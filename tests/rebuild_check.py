"""Two builds of the same sources in different folders give the same bytes, and another version
made of a build (scripts/version_rewrite.py, which ./dev package uses) is what a build of that
version gives. The sources are copied to a fresh folder and the shipped programs of both flavours
are built there (two jobs) as the next version; telvarin.exe, the setup helper, the client tool
and the client DLL of each flavour must equal the main build's rewritten as that version, and the
MSI made from each set of programs must equal the other's.

    rebuild_check.py --source ROOT --build BUILD
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from version_rewrite import next_version, with_version  # noqa: E402

SHIPPED = ["telvarin.exe", "telvarin-setup.exe", "telvarin-client.exe", "telvarin_client.dll"]
TARGETS = ["telvarin", "telvarin_setup", "telvarin_client", "telvarin_client_dll"]
ARGS = None


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def run(*command, **kwargs):
    result = subprocess.run([str(c) for c in command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=3600, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} failed:\n{result.stdout[-3000:]}")
    return result.stdout


class Rebuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.source, cls.build = ARGS.source.resolve(), ARGS.build.resolve()
        cls.work = Path(tempfile.mkdtemp(prefix="telvarin-rebuild-"))
        try:
            # Another folder, with another name length, for the sources and for the build.
            other = cls.work / "elsewhere" / "telvarin-src"
            files = run("git", "ls-files", "-z", cwd=cls.source).split("\0")
            for name in filter(None, files):
                if (cls.source / name).is_file():
                    (other / name).parent.mkdir(parents=True, exist_ok=True)
                    shutil.copy2(cls.source / name, other / name)
            built = next(line.split("=", 1)[1] for line in (cls.build / "CMakeCache.txt").read_text().splitlines()
                         if line.startswith("TELVARIN_VERSION:STRING="))
            version = next_version(built)
            cls.trees = {"x86": cls.work / "b", "x64": cls.work / "b" / "x64-tree"}
            for arch, tree in cls.trees.items():
                run("cmake", "-S", other, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DCMAKE_TOOLCHAIN_FILE={other / 'cmake' / 'toolchain-mingw.cmake'}", f"-DTELVARIN_ARCH={arch}",
                    f"-DTELVARIN_VERSION={version}", f"-DTELVARIN_ROOT_BUILD_DIR={cls.trees['x86']}")
                run("cmake", "--build", tree, "--parallel", "2", "--target", *TARGETS)
            cls.version = version
            cls.rewritten = {arch: cls.work / f"rewritten-{arch}" for arch in cls.trees}
            for arch, folder in cls.rewritten.items():
                folder.mkdir()
                for name in SHIPPED:
                    (folder / name).write_bytes(with_version((cls.main_bin(arch) / name).read_bytes(), built, version))
        except BaseException:
            shutil.rmtree(cls.work, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def main_bin(cls, arch):
        return cls.build / "bin" if arch == "x86" else cls.build / "x64" / "bin"

    def test_the_shipped_programs_are_the_same_bytes(self):
        for arch, tree in self.trees.items():
            for name in SHIPPED:
                with self.subTest(arch=arch, file=name):
                    ours, theirs = self.rewritten[arch] / name, tree / "bin" / name
                    self.assertEqual(sha256(theirs), sha256(ours), f"{theirs} differs from {ours}")
                    print(f"{arch} {name} {sha256(ours)}")
                    # No folder of either build is named inside.
                    data = theirs.read_bytes()
                    for folder in (self.work, self.build, self.source):
                        self.assertNotIn(str(folder).encode(), data)

    def test_the_msis_are_the_same_bytes(self):
        script = self.source / "packaging" / "build_msi.sh"
        codes = {}
        for arch, tree in self.trees.items():
            with self.subTest(arch=arch):
                a, b = self.work / f"{arch}-main.msi", self.work / f"{arch}-other.msi"
                # The second built later, in another time zone: neither takes a date from the clock.
                env = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
                run(script, self.version, arch, self.rewritten[arch], a, env=dict(env, TZ="Asia/Tokyo"))
                run(script, self.version, arch, tree / "bin", b, env=dict(env, TZ="America/New_York"))
                self.assertEqual(sha256(a), sha256(b))
                print(f"{arch} MSI {sha256(a)}")
                codes[arch] = package_code(a)
        # The package code follows the contents: another package, another code.
        if len(codes) == 2:
            self.assertNotEqual(codes["x86"], codes["x64"])


def package_code(msi):
    for line in run("msiinfo", "suminfo", msi).splitlines():
        if line.startswith("Revision number"):
            return line.split(":", 1)[1].strip()
    raise AssertionError(f"{msi} has no package code")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--build", type=Path, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
