#!/usr/bin/env python3
"""The plug-in's MSI, the x86 package of the product, under 64-bit Wine:
install, the files in place and the registry rows in the 32-bit view, create
the object through COM, uninstall, and nothing left behind; per machine and
per user. 64-bit msiexec installs an x86 package without running 32-bit code;
creating the 32-bit object, and the DLL's own registration compared with the
package's rows, need 32-bit programs and run only where the machine runs them.

Runs in a 64-bit Wine prefix of its own (<x64 build>/wineprefix-installer) so
that the registrations it makes and removes never meet those of other tests.
Environment (set by CTest): TESSARAN_BUILD_DIR (the x64 build, whose probe
reads both registry views), TESSARAN_PRODUCT_DIR (the x86 build, whose files
the package holds) and TESSARAN_SOURCE_DIR.
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TESSARAN_SOURCE_DIR") or os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import wine_env  # noqa: E402

BUILD = os.environ.get("TESSARAN_BUILD_DIR") or os.path.join(SOURCE, "build", "x64")
PRODUCT = os.environ.get("TESSARAN_PRODUCT_DIR") or os.path.join(os.path.dirname(BUILD), "x86")
PREFIX = os.path.join(BUILD, "wineprefix-installer")
MSI = os.path.join(PRODUCT, "installer", "TessaranService.msi")
PROBE = os.path.join(BUILD, "tests", "InstallerProbe.exe")
PROBE32 = os.path.join(PRODUCT, "tests", "InstallerProbe.exe")
RUNS_32BIT = "x86" in wine_env.arches()
REGSVR32_32 = "C:\\windows\\syswow64\\regsvr32.exe"

CLSID = "{8BB35CD9-4BE4-4B94-9F3A-85113E4F8591}"
LIBID = "{A5F40B2D-A9D1-4FAE-86A3-606AD9F9FBD9}"
IID = "{8261DD48-702A-4CA8-9C01-66713E814B83}"
OLE_PROXY = "{00020424-0000-0000-C000-000000000046}"

# An x86 package installs into the 32-bit program folder of a 64-bit system.
PROGRAM_DIR = "C:\\Program Files (x86)\\Orvell Electronics\\TessaranService\\"
MAKER_DIR = os.path.join(PREFIX, "drive_c", "Program Files (x86)", "Orvell Electronics")
PLUGIN_FILES = ["TessaranService.dll", "AppConfig.XML", "Tessaran.ico", "Tessaran.loc"]
SHARED_FILES = ["zuminfolog.dll", "zumloc.dll", "zumhelp.dll"]


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def make_env():
    base = dict(os.environ)
    base.pop("ZUMINFOLOG_FILE", None)  # the log library's default place
    return wine_env.environment("x64", PREFIX, base)


ENV = make_env()


def wine(*args, capture=False):
    """Runs a Windows program in the test's prefix; its output only when asked for."""
    cmd = wine_env.command(ENV, *args)
    if capture:
        done = subprocess.run(cmd, env=ENV, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout
    done = subprocess.run(cmd, env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120)
    return done.returncode, ""


def registration(root, dll_dir=PROGRAM_DIR, helpdir=None):
    """The plug-in's registry lines as the probe prints them, as a set."""
    dll = dll_dir + "TessaranService.dll"
    c = f"{root}\\Software\\Classes\\CLSID\\{CLSID}"
    t = f"{root}\\Software\\Classes\\TypeLib\\{LIBID}"
    i = f"{root}\\Software\\Classes\\Interface\\{IID}"
    return {
        f"key {c}", f"value {c} []=CSMRMeishiPlugin Class",
        f"key {c}\\InprocServer32", f"value {c}\\InprocServer32 []={dll}",
        f"value {c}\\InprocServer32 [ThreadingModel]=Apartment",
        f"key {c}\\Programmable",
        f"key {c}\\TypeLib", f"value {c}\\TypeLib []={LIBID}",
        f"key {c}\\Version", f"value {c}\\Version []=1.0",
        f"key {t}", f"key {t}\\1.0", f"value {t}\\1.0 []=TessaranService 1.0 Type Library",
        f"key {t}\\1.0\\0", f"key {t}\\1.0\\0\\win32", f"value {t}\\1.0\\0\\win32 []={dll}",
        f"key {t}\\1.0\\FLAGS", f"value {t}\\1.0\\FLAGS []=0",
        f"key {t}\\1.0\\HELPDIR", f"value {t}\\1.0\\HELPDIR []={helpdir or dll_dir}",
        f"key {i}", f"value {i} []=ICSMRMeishiPlugin",
        f"key {i}\\ProxyStubClsid", f"value {i}\\ProxyStubClsid []={OLE_PROXY}",
        f"key {i}\\ProxyStubClsid32", f"value {i}\\ProxyStubClsid32 []={OLE_PROXY}",
        f"key {i}\\TypeLib", f"value {i}\\TypeLib []={LIBID}", f"value {i}\\TypeLib [Version]=1.0",
    }


def class_lines(lines):
    return {line for line in lines if "\\CLSID\\" in line}


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [f for f in SHARED_FILES if not os.path.exists(os.path.join(PRODUCT, "makerlibs", f))]
        missing += [f for f in PLUGIN_FILES if not os.path.exists(os.path.join(PRODUCT, "plugin", f))]
        if missing:
            raise RuntimeError("the x86 build has not made " + ", ".join(missing))
        subprocess.run(["bash", os.path.join(SOURCE, "installer", "build-msi.sh"), PRODUCT], check=True,
                       stdout=subprocess.DEVNULL)
        # A persistent server for this prefix, started off any captured pipe
        # (Wine's background programs would hold it open), and the prefix made.
        wine_env.prepare(ENV)
        # A run that was stopped half-way leaves its installation behind; the
        # cases need a prefix with nothing of ours, so such a prefix is made anew.
        if cls.registry_lines("32")[2] or cls.registry_lines("64")[2] or os.path.exists(MAKER_DIR):
            wine_env.stop(ENV)
            shutil.rmtree(PREFIX)
            wine_env.prepare(ENV)

    @classmethod
    def tearDownClass(cls):
        wine_env.stop(ENV)

    def setUp(self):
        # Each case starts from a prefix with nothing of ours in it.
        self.assertEqual(self.dump(), set(), "a registration left over in the test prefix")
        shutil.rmtree(MAKER_DIR, ignore_errors=True)

    @staticmethod
    def registry_lines(view):
        """(exit code, probe output, the plug-in's rows) in the 32-bit or 64-bit view."""
        rc, out = wine(PROBE, "dump", view, capture=True)
        return rc, out, {line for line in out.splitlines() if not line.startswith("present ")}

    def dump(self, view="32"):
        """The plug-in's rows as a 32-bit program (default) or a 64-bit one sees them."""
        rc, out, rows = self.registry_lines(view)
        self.assertEqual(rc, 0, out)
        self.assertIn("present HKLM\\Software\\Classes\\CLSID", out.splitlines())
        return rows

    def assert_installed_rows(self, root):
        self.assertEqual(self.dump(), registration(root))
        # The x86 class is no 64-bit host's: none of its class rows in the
        # native view. Wine 8 shares HKCU\Software\Classes between the views,
        # where Windows redirects its CLSID key too, so only the machine's
        # rows tell here.
        if root == "HKLM":
            self.assertEqual(class_lines(self.dump("64")), set())

    def probe(self, command):
        rc, out = wine(PROBE32, command, capture=True)
        facts = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return rc, facts, out

    def self_registration(self, regsvr32_args):
        """What the DLL itself writes when registered from the install folder
        by the 32-bit regsvr32, as a 32-bit installer would; None where the
        machine runs no 32-bit programs."""
        if not RUNS_32BIT:
            return None
        os.makedirs(os.path.join(MAKER_DIR, "TessaranService"))
        shutil.copy(os.path.join(PRODUCT, "plugin", "TessaranService.dll"),
                    os.path.join(MAKER_DIR, "TessaranService"))
        dll = PROGRAM_DIR + "TessaranService.dll"
        self.assertEqual(wine(REGSVR32_32, "/s", *regsvr32_args, dll)[0], 0)
        lines = self.dump()
        self.assertEqual(wine(REGSVR32_32, "/s", "/u", *regsvr32_args, dll)[0], 0)
        shutil.rmtree(MAKER_DIR)
        self.assertEqual(self.dump(), set())
        return lines

    def assert_installed_files(self):
        for f in PLUGIN_FILES:
            self.assertTrue(os.path.isfile(os.path.join(MAKER_DIR, "TessaranService", f)), f)
        for f in SHARED_FILES:
            self.assertTrue(os.path.isfile(os.path.join(MAKER_DIR, "Shared Files", f)), f)
        # What is installed is what was built.
        with open(os.path.join(MAKER_DIR, "TessaranService", "TessaranService.dll"), "rb") as a, \
                open(os.path.join(PRODUCT, "plugin", "TessaranService.dll"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def assert_object(self, facts):
        self.assertEqual(facts.get("ISMRPlugin2"), "00000000")
        # COM loaded the installed copy, not the one in the build tree, and
        # it finds its icon and configuration beside it.
        self.assertEqual(facts.get("module", "").lower(), (PROGRAM_DIR + "TessaranService.dll").lower())
        self.assertEqual(facts.get("icon", "").lower(), (PROGRAM_DIR + "Tessaran.ico").lower())
        with open(os.path.join(PRODUCT, "plugin", "AppConfig.XML"), encoding="utf-8") as f:
            version = re.search(r"<version>([^<]*)</version>", f.read()).group(1)
        self.assertEqual(facts.get("version"), version)

    def log_lines(self):
        """Lines of the maker's log library at its default place in the test prefix."""
        lines = []
        for root, _dirs, files in os.walk(os.path.join(PREFIX, "drive_c", "users")):
            if "zuminfolog.log" in files:
                with open(os.path.join(root, "zuminfolog.log"), encoding="utf-8", errors="replace") as f:
                    lines += f.read().splitlines()
        return lines

    def uninstall_and_check_clean(self, *properties):
        self.assertEqual(wine("msiexec", "/x", windows_path(MSI), "/qn", *properties)[0], 0)
        self.assertEqual(self.dump(), set())
        self.assertEqual(self.dump("64"), set())
        self.assertFalse(os.path.exists(MAKER_DIR), "files or folders of the plug-in left behind")

    def test_per_machine(self):
        own = self.self_registration([])
        self.assertEqual(wine("msiexec", "/i", windows_path(MSI), "/qn")[0], 0)
        self.assert_installed_files()
        self.assert_installed_rows("HKLM")
        if own is not None:
            # The class keys are exactly those the DLL's own registration writes.
            self.assertEqual(class_lines(self.dump()), class_lines(own))

            logged_before = len(self.log_lines())
            rc, facts, out = self.probe("create")
            self.assertEqual(rc, 0, out)
            self.assertEqual(facts.get("CoCreateInstance"), "00000000", out)
            self.assert_object(facts)
            # The plug-in found the log library in the maker's shared folder.
            self.assertTrue(any(line.endswith("\tCCSMRMeishiPlugin::get_Version")
                                for line in self.log_lines()[logged_before:]))

        self.uninstall_and_check_clean()

    def test_per_user(self):
        own = self.self_registration(["/n", "/i:user"])
        # ALLUSERS="" is the per-user install that Wine's installer honours;
        # Windows also takes MSIINSTALLPERUSER=1, which Wine ignores.
        self.assertEqual(wine("msiexec", "/i", windows_path(MSI), "/qn", 'ALLUSERS=""')[0], 0)
        self.assert_installed_files()
        self.assert_installed_rows("HKCU")
        if own is not None:
            self.assertEqual(class_lines(self.dump()), class_lines(own))

            rc, facts, out = self.probe("create-user")
            self.assertEqual(rc, 0, out)
            self.assertEqual(facts.get("CreateInstance"), "00000000", out)
            self.assert_object(facts)

        self.uninstall_and_check_clean('ALLUSERS=""')


if __name__ == "__main__":
    unittest.main(verbosity=1)
