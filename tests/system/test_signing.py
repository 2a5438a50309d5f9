"""Signed releases, as a release manager makes them: `./dev package --sign` and `./dev sdk --sign`
with a throwaway self-signed certificate made here by openssl. Every program inside each MSI
(files and Binary table) and each MSI carry a SHA-256 Authenticode signature that osslsigncode
verifies against that certificate; the SDK's DLLs too. A wrong password fails in one line and
leaves no signed output. The doctor calls the installed signed service signed.
"""
import os
import re
import shutil
import subprocess
import tempfile
import zipfile
from pathlib import Path

import systest
from patience import patient
from winehost import bin_dir

ROOT = Path(__file__).resolve().parents[2]
PASSWORD = "correct horse"
# The programs inside an MSI: installed files, and the Binary table's copies run by custom actions.
MSI_FILES = ["telvarin.exe", "telvarin-client.exe"]
MSI_STREAMS = ["Binary.TelvarinSetup"]


def run(*command, env=None, check=True):
    result = subprocess.run([str(c) for c in command], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            timeout=patient(1200), env=env)
    if check and result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")
    return result


class Signing(systest.SessionTestCase):
    emulator = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = Path(tempfile.mkdtemp(prefix="telvarin-signing-"))
        try:
            cls.make_certificate()
            cls.version = cls.host.version()
            cls.signed = cls.host.build / "signed"
            cls.msis = [cls.signed / f"telvarin-{cls.version}.msi", cls.signed / f"telvarin-{cls.version}-x64.msi"]
            cls.zip = cls.signed / f"telvarin-sdk-{cls.version}.zip"
            env = {k: v for k, v in os.environ.items() if not k.startswith("TELVARIN_SIGN")}
            # Wrong first, into an empty folder: they must leave nothing there.
            shutil.rmtree(cls.signed, ignore_errors=True)
            wrong = dict(env, TELVARIN_SIGN_PASSWORD="wrong horse")
            cls.wrong_package = run(ROOT / "dev", "package", "--sign", cls.pfx, env=wrong, check=False)
            cls.wrong_sdk = run(ROOT / "dev", "sdk", "--sign", cls.pfx, env=wrong, check=False)
            cls.left_after_wrong = sorted(p.name for p in cls.host.build.glob("signed/*")) + \
                sorted(p.name for p in cls.host.build.glob("signing.*"))
            cls.on_command_line = run(ROOT / "dev", "package", "--sign", cls.pfx, "--sign-password", PASSWORD,
                                      env=env, check=False)
            # The password from the environment for the packages, from a file for the SDK.
            run(ROOT / "dev", "package", "--sign", cls.pfx, env=dict(env, TELVARIN_SIGN_PASSWORD=PASSWORD))
            (cls.work / "password").write_text(PASSWORD + "\n")
            run(ROOT / "dev", "sdk", "--sign", cls.pfx, "--sign-password-file", cls.work / "password", env=env)
        except BaseException:
            cls.tearDownClass()  # unittest skips it when setUpClass fails
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)
        super().tearDownClass()

    @classmethod
    def make_certificate(cls):
        cls.cert, key, cls.pfx = cls.work / "cert.pem", cls.work / "key.pem", cls.work / "release.pfx"
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cls.cert, "-days", "2",
            "-subj", "/CN=Telvarin test release", "-addext", "extendedKeyUsage=codeSigning")
        run("openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", cls.pfx, "-passout", f"pass:{PASSWORD}")

    def verify(self, path):
        """osslsigncode's verdict on one file against the test certificate: (passed, its output)."""
        result = run("osslsigncode", "verify", "-CAfile", self.cert, "-in", path, check=False)
        return result.returncode == 0, result.stdout + result.stderr

    def assert_signed(self, path):
        passed, output = self.verify(path)
        self.assertTrue(passed, f"{path.name}: {output[-1500:]}")
        self.assertRegex(output, r"(?i)message digest algorithm\s*:\s*sha256")
        self.assertIn("CN=Telvarin test release", output)

    def programs_inside(self, msi):
        """The programs an MSI carries, extracted with msitools: {name: path}."""
        folder = self.work / (msi.name + ".contents")
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        run("msiextract", "-C", folder, msi)
        programs = {p.name: p for p in folder.rglob("*.exe")}
        for stream in MSI_STREAMS:
            data = subprocess.run(["msiinfo", "extract", str(msi), stream], capture_output=True, check=True).stdout
            (folder / stream).write_bytes(data)
            programs[stream] = folder / stream
        return programs

    def test_every_program_inside_each_msi_and_each_msi_are_signed(self):
        for msi in self.msis:
            with self.subTest(msi=msi.name):
                self.assert_signed(msi)
                programs = self.programs_inside(msi)
                self.assertEqual(sorted(programs), sorted(MSI_FILES + MSI_STREAMS))
                built = bin_dir(self.host.build, "x64" if msi.name.endswith("-x64.msi") else "x86")
                for name, path in programs.items():
                    with self.subTest(program=name):
                        self.assert_signed(path)
                        # Apart from the signature, the very program the build made (how a
                        # deployer checks a shipped program against its commit).
                        original = {"Binary.TelvarinSetup": "telvarin-setup.exe"}
                        result = run(ROOT / "scripts" / "same_program.py", path, built / original.get(name, name),
                                     check=False)
                        self.assertEqual((result.returncode, result.stdout.strip()), (0, "same"))
        # The unsigned packages of the build tree stay unsigned.
        unsigned = self.host.build / self.msis[0].name
        self.assertFalse(self.verify(unsigned)[0])
        self.assertFalse(self.verify(self.programs_inside(unsigned)["telvarin.exe"])[0])

    def test_the_sdk_s_dlls_are_signed(self):
        folder = self.work / "sdk"
        with zipfile.ZipFile(self.zip) as archive:
            archive.extractall(folder)
        for arch in ("x86", "x64"):
            with self.subTest(arch=arch):
                self.assert_signed(folder / "lib" / arch / "telvarin_client.dll")

    def test_a_wrong_password_fails_in_one_line_and_leaves_no_signed_output(self):
        for what, result in (("package", self.wrong_package), ("sdk", self.wrong_sdk)):
            with self.subTest(command=what):
                self.assertNotEqual(result.returncode, 0)
                # Said once, before anything was built: the whole output is that line.
                self.assertEqual(result.stderr.splitlines()[-1:], [f"sign: the password does not open {self.pfx}"],
                                 result.stderr[-2000:])
                self.assertNotIn("PKCS12", result.stdout + result.stderr)
                self.assertNotIn("building", result.stdout + result.stderr)
        self.assertEqual(self.left_after_wrong, [])
        # Never a password on the command line: refused before anything is built.
        self.assertEqual(self.on_command_line.returncode, 2)
        self.assertIn("never given on the command line", self.on_command_line.stderr)

    def test_the_doctor_calls_the_installed_signed_service_signed(self):
        host = self.host
        msi = self.msis[0] if host.arch == "x86" else self.msis[1]
        self.addCleanup(lambda: [host.msiexec("/x", code) for code in host.installed_products()])
        self.assertEqual(host.msiexec("/i", str(msi.relative_to(host.build))).code, 0)
        doctor = host.wine(host.exe("telvarin-client.exe"), "doctor").stdout
        self.assertIn("info  service.signature: signed", doctor)
        self.assertTrue(re.search(r"^ok    service\.path: .*telvarin\.exe\"$", doctor, re.M), doctor)


if __name__ == "__main__":
    systest.main()
