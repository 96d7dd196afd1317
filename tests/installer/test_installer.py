#!/usr/bin/env python3
"""The plug-in's MSI under Wine: install, create the object through COM,
uninstall, and nothing left behind; per machine and per user.

Runs in a Wine prefix of its own (<build>/wineprefix-installer) so that the
registrations it makes and removes never meet those of the other tests.
Environment: TESSARAN_BUILD_DIR and TESSARAN_SOURCE_DIR (set by CTest).
"""
import os
import re
import shutil
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TESSARAN_SOURCE_DIR") or os.path.normpath(os.path.join(HERE, "..", ".."))
BUILD = os.environ.get("TESSARAN_BUILD_DIR") or os.path.join(SOURCE, "build")
PREFIX = os.path.join(BUILD, "wineprefix-installer")
MSI = os.path.join(BUILD, "installer", "TessaranService.msi")
PROBE = os.path.join(BUILD, "tests", "InstallerProbe.exe")

CLSID = "{8BB35CD9-4BE4-4B94-9F3A-85113E4F8591}"
LIBID = "{A5F40B2D-A9D1-4FAE-86A3-606AD9F9FBD9}"
IID = "{8261DD48-702A-4CA8-9C01-66713E814B83}"
OLE_PROXY = "{00020424-0000-0000-C000-000000000046}"

PROGRAM_DIR = "C:\\Program Files\\Orvell Electronics\\TessaranService\\"
MAKER_DIR = os.path.join(PREFIX, "drive_c", "Program Files", "Orvell Electronics")
PLUGIN_FILES = ["TessaranService.dll", "AppConfig.XML", "Tessaran.ico", "Tessaran.loc"]
SHARED_FILES = ["zuminfolog.dll", "zumloc.dll", "zumhelp.dll"]


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def wine_env():
    env = dict(os.environ)
    env.pop("ZUMINFOLOG_FILE", None)  # the log library's default place
    env.update(WINEPREFIX=PREFIX, TESSARAN_WINEPREFIX=PREFIX, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def wine(*args, capture=False):
    """Runs a Windows program in the test's prefix; its output only when asked for."""
    cmd = [os.path.join(SOURCE, "tools", "wine-run.sh"), *args]
    if capture:
        done = subprocess.run(cmd, env=wine_env(), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=120)
        return done.returncode, done.stdout
    done = subprocess.run(cmd, env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
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
        missing = [f for f in SHARED_FILES if not os.path.exists(os.path.join(BUILD, "makerlibs", f))]
        missing += [f for f in PLUGIN_FILES if not os.path.exists(os.path.join(BUILD, "plugin", f))]
        if missing:
            raise RuntimeError("the build has not made " + ", ".join(missing))
        subprocess.run(["bash", os.path.join(SOURCE, "installer", "build-msi.sh"), BUILD], check=True,
                       stdout=subprocess.DEVNULL)
        os.makedirs(PREFIX, exist_ok=True)
        # A persistent server for this prefix, started off any captured pipe
        # (Wine's background programs would hold it open), and the prefix made.
        subprocess.run(["wineserver", "-p"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wine("wineboot", "-i")

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def setUp(self):
        # Each case starts from a prefix with nothing of ours in it.
        self.assertEqual(self.dump(), set(), "a registration left over in the test prefix")
        shutil.rmtree(MAKER_DIR, ignore_errors=True)

    def dump(self):
        rc, out = wine(PROBE, "dump", capture=True)
        self.assertEqual(rc, 0, out)
        lines = set(out.splitlines())
        self.assertIn("present HKLM\\Software\\Classes\\CLSID", lines)
        return {line for line in lines if not line.startswith("present ")}

    def probe(self, command):
        rc, out = wine(PROBE, command, capture=True)
        facts = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return rc, facts, out

    def self_registration(self, regsvr32_args):
        """What the DLL itself writes when registered from the install folder."""
        os.makedirs(os.path.join(MAKER_DIR, "TessaranService"))
        shutil.copy(os.path.join(BUILD, "plugin", "TessaranService.dll"), os.path.join(MAKER_DIR, "TessaranService"))
        dll = PROGRAM_DIR + "TessaranService.dll"
        self.assertEqual(wine("regsvr32", "/s", *regsvr32_args, dll)[0], 0)
        lines = self.dump()
        self.assertEqual(wine("regsvr32", "/s", "/u", *regsvr32_args, dll)[0], 0)
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
                open(os.path.join(BUILD, "plugin", "TessaranService.dll"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def assert_object(self, facts):
        self.assertEqual(facts.get("ISMRPlugin2"), "00000000")
        # COM loaded the installed copy, not the one in the build tree, and
        # it finds its icon and configuration beside it.
        self.assertEqual(facts.get("module", "").lower(), (PROGRAM_DIR + "TessaranService.dll").lower())
        self.assertEqual(facts.get("icon", "").lower(), (PROGRAM_DIR + "Tessaran.ico").lower())
        with open(os.path.join(BUILD, "plugin", "AppConfig.XML"), encoding="utf-8") as f:
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
        self.assertFalse(os.path.exists(MAKER_DIR), "files or folders of the plug-in left behind")

    def test_per_machine(self):
        own = self.self_registration([])
        self.assertEqual(wine("msiexec", "/i", windows_path(MSI), "/qn")[0], 0)
        self.assert_installed_files()
        installed = self.dump()
        self.assertEqual(installed, registration("HKLM"))
        # The class keys are exactly those the DLL's own registration writes.
        self.assertEqual(class_lines(installed), class_lines(own))

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
        installed = self.dump()
        self.assertEqual(installed, registration("HKCU"))
        self.assertEqual(class_lines(installed), class_lines(own))

        rc, facts, out = self.probe("create-user")
        self.assertEqual(rc, 0, out)
        self.assertEqual(facts.get("CreateInstance"), "00000000", out)
        self.assert_object(facts)

        self.uninstall_and_check_clean('ALLUSERS=""')


if __name__ == "__main__":
    unittest.main(verbosity=1)
