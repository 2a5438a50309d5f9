"""The client SDK as a client author gets it. `./dev sdk` builds the zip; unzipped into an empty
folder, the example builds from that folder alone, for both architectures with mingw: through the
CMake package, by hand against the import library, and statically with gcc (a C program that
needs no C++ runtime); and as Visual Studio builds it, stood in for by clang in MSVC mode and
lld-link with MSVC's import library, x86 under /SAFESEH as Win32 configurations link. The builds
this host can run talk to the running service and the emulator.
"""
import re
import shutil
import subprocess
import tempfile
import zipfile
from pathlib import Path

import systest
from patience import patient
from test_client import check_protocol_example
from winehost import ARCHES

ROOT = Path(__file__).resolve().parents[2]
TOOLCHAIN = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}
MSVC_TARGET = {"x86": "i686-pc-windows-msvc", "x64": "x86_64-pc-windows-msvc"}
LIBRARIES = ["libtelvarin_client.a", "libtelvarin_client.dll.a", "telvarin_client.dll", "telvarin_client.lib"]


def run(*command, cwd=None):
    result = subprocess.run([str(part) for part in command], cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=patient(900))
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} failed:\n{result.stdout[-3000:]}")
    return result.stdout


def build_example(sdk, work, arch):
    """The SDK's example built three ways from the SDK alone: {way: the program}."""
    cc = TOOLCHAIN[arch] + "-gcc"
    source = sdk / "example" / "telvarin_example.c"
    lib = sdk / "lib" / arch
    programs = {}

    tree = work / f"cmake-{arch}"
    run("cmake", "-S", sdk / "example", "-B", tree, "-G", "Ninja", "-DCMAKE_SYSTEM_NAME=Windows",
        f"-DCMAKE_C_COMPILER={cc}", f"-DCMAKE_PREFIX_PATH={sdk}")
    run("cmake", "--build", tree)
    programs["CMake package"] = tree / "telvarin_example.exe"

    hand = work / f"hand-{arch}"
    hand.mkdir()
    run(cc, "-Wall", "-Werror", source, "-I", sdk / "include", lib / "libtelvarin_client.dll.a",
        "-o", hand / "telvarin_example.exe")
    shutil.copy(lib / "telvarin_client.dll", hand)
    programs["by hand"] = hand / "telvarin_example.exe"

    static = work / f"static-{arch}"
    static.mkdir()
    run(cc, "-Wall", "-Werror", "-DTELVARIN_CLIENT_STATIC", source, "-I", sdk / "include",
        lib / "libtelvarin_client.a", "-ladvapi32", "-o", static / "telvarin_example.exe")
    programs["static"] = static / "telvarin_example.exe"
    return programs


# A Visual Studio client in miniature, with no C runtime so that it links against the SDK alone:
# asks for device B and ends with 100 + the answer (0 off, 1 on), or with the library's error.
MSVC_CLIENT = r"""
#include <telvarin_client.h>

int msvc_client(void)
{
    telvarin_answer answer;
    long status = telvarin_request(1, 5000, TELVARIN_REQUEST_ATTEMPTS, NULL, &answer);
    return status == TELVARIN_OK ? 100 + answer.on : (int)status;
}
"""


def build_msvc_client(sdk, work, arch):
    """The client compiled in MSVC mode and linked as link.exe would, Visual Studio's defaults
    (x86: /SAFESEH) included, against the SDK's include/ and lib/ARCH/ only. clang takes the
    Windows headers from mingw-w64, which need a GNU version to keep their attributes (and _X86_
    on x86); that is about the headers, not the SDK."""
    folder = work / f"msvc-{arch}"
    folder.mkdir()
    (folder / "client.c").write_text(MSVC_CLIENT)
    resources = run("clang", "-print-resource-dir").strip()
    run("clang", f"--target={MSVC_TARGET[arch]}", "-fgnuc-version=4.2.1", *(["-D_X86_"] if arch == "x86" else []),
        "-nostdinc", "-isystem", f"{resources}/include", "-isystem", "/usr/share/mingw-w64/include",
        "-I", sdk / "include", "-Wall", "-Werror", "-c", folder / "client.c", "-o", folder / "client.obj")
    run("lld-link", "/nologo", "/nodefaultlib", "/entry:msvc_client", "/subsystem:console",
        f"/machine:{arch}", *(["/safeseh"] if arch == "x86" else []),
        folder / "client.obj", sdk / "lib" / arch / "telvarin_client.lib", f"/out:{folder / 'client.exe'}")
    shutil.copy(sdk / "lib" / arch / "telvarin_client.dll", folder)
    return folder / "client.exe"


class Sdk(systest.SessionTestCase):
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = Path(tempfile.mkdtemp(prefix="telvarin-sdk-test-"))
        try:
            run(ROOT / "dev", "sdk")
            cls.sdk = cls.work / "sdk"
            with zipfile.ZipFile(cls.host.build / f"telvarin-sdk-{cls.host.version()}.zip") as archive:
                cls.names = sorted(archive.namelist())
                archive.extractall(cls.sdk)
            cls.programs = {arch: build_example(cls.sdk, cls.work, arch) for arch in ARCHES}
            # Linking is the check of x86's /SAFESEH: lld-link refuses import objects without the mark.
            cls.msvc_clients = {arch: build_msvc_client(cls.sdk, cls.work, arch) for arch in ARCHES}
        except BaseException:
            cls.tearDownClass()  # unittest skips it when setUpClass fails
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)
        super().tearDownClass()

    def test_the_zip_holds_the_sdk(self):
        files = [name for name in self.names if not name.endswith("/")]
        self.assertEqual(files, sorted(["README.md", "docs/protocol.md", "include/telvarin_client.h", "cmake/TelvarinClientConfig.cmake",
                                        "cmake/TelvarinClientConfigVersion.cmake", "example/CMakeLists.txt",
                                        "example/telvarin_example.c"] +
                                       [f"lib/{arch}/{name}" for arch in ARCHES for name in LIBRARIES]))
        # The example is the one of docs/protocol.md, the one the build compiles from the page.
        self.assertIn((self.sdk / "example" / "telvarin_example.c").read_text(),
                      (ROOT / "docs" / "protocol.md").read_text())
        # The page the README and the header point to is the project's.
        self.assertEqual((self.sdk / "docs" / "protocol.md").read_text(), (ROOT / "docs" / "protocol.md").read_text())

    def test_each_library_offers_the_header_s_functions_by_their_c_names(self):
        header = (self.sdk / "include" / "telvarin_client.h").read_text()
        functions = sorted(re.findall(r"TELVARIN_CALL (telvarin_\w+)\(", header))
        self.assertIn("telvarin_request", functions)
        for arch in ARCHES:
            with self.subTest(arch=arch):
                lib = self.sdk / "lib" / arch
                exports = run(f"{TOOLCHAIN[arch]}-objdump", "-p", lib / "telvarin_client.dll")
                table = exports[exports.index("[Ordinal/Name Pointer] Table"):]
                self.assertEqual(sorted(re.findall(r"\] (telvarin_\w+)", table)), functions)
                # MSVC links x86 __cdecl functions by a leading underscore, x64 ones by the plain name.
                symbols = run(f"{TOOLCHAIN[arch]}-nm", lib / "telvarin_client.lib")
                c_name = "_{}" if arch == "x86" else "{}"
                for function in functions:
                    self.assertRegex(symbols, rf"\bT {c_name.format(function)}\n")
                    self.assertRegex(symbols, rf"\bI __imp_{c_name.format(function)}\n")

    def test_the_examples_built_from_the_sdk_run_against_the_service(self):
        host = self.host
        host.start_winmgmt()
        host.install_and_start()
        host.wait_until(lambda: host.emulator_subscribers() >= 1, 30, "the button-event subscription")
        # An x64 client of the x86 service is every real machine's layout. A host that cannot run
        # 32-bit code runs only the x64 tree's tests: no x86 program runs there.
        for arch in ARCHES if host.arch == "x86" else ["x64"]:
            for way, program in self.programs[arch].items():
                with self.subTest(arch=arch, way=way):
                    check_protocol_example(self, program)
            with self.subTest(arch=arch, way="MSVC"):
                for state, answer in (("on", 101), ("off", 100)):
                    host.fwemu("set", "device-b", state)
                    result = host.wine(host.win_path(self.msvc_clients[arch]), timeout=60)
                    self.assertEqual(result.returncode, answer, f"device B {state}: {result.stderr[-500:]}")


if __name__ == "__main__":
    systest.main()
