#!/usr/bin/env python3
"""The plug-in's MSI, the x86 package of the product, under 64-bit Wine:
install, the files in place and the registry rows in the 32-bit view, create
the object through COM, uninstall, and nothing left behind; per machine and
per user. 64-bit msiexec installs an x86 package without running 32-bit code;
creating the 32-bit object, and the DLL's own registration compared with the
package's rows, need 32-bit programs and run only where the machine runs them
(elsewhere each case says in one line what it skipped, and the runner repeats
it at the end).

A 64-bit prefix made where 32-bit Wine is not installed has no syswow64, and
its 32-bit CLSID and Interface roots are empty (or missing, once an uninstall
has pruned them): msiexec creates what it needs with the package's rows and
removes the roots again with the last of them, since nothing else is in them.
The test asserts that too, so that "nothing left" means the registry is as it
was before, up to roots that were empty.

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
SKIP_LOG = os.environ.get("TESSARAN_SKIP_LOG")
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


def skipped(what):
    """A part that cannot run on this machine: said here, and kept for the runner's last line."""
    line = "installer: %s: this machine runs no 32-bit programs" % what
    print("skipped " + line, file=sys.stderr, flush=True)
    if SKIP_LOG:
        with open(SKIP_LOG, "a", encoding="utf-8") as f:
            f.write(line + "\n")


def prefix_has_32bit_wine():
    return os.path.isdir(os.path.join(PREFIX, "drive_c", "windows", "syswow64"))


def registry_files_mention_ours():
    """Our GUIDs as the prefix's registry files hold them, read apart from any
    Windows program: the server writes the files when it stops."""
    found = []
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(PREFIX, name)
        if os.path.exists(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read().upper()
            found += ["%s in %s" % (guid, name) for guid in (CLSID, LIBID, IID) if guid.strip("{}") in text]
    return found


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
        if cls.read_registry("32")[0] or cls.read_registry("64")[0] or os.path.exists(MAKER_DIR):
            wine_env.stop(ENV)
            shutil.rmtree(PREFIX)
            wine_env.prepare(ENV)
        # The class roots of a prefix with nothing of ours: what uninstalling must return to.
        cls.clean_roots = {view: cls.read_registry(view)[1] for view in ("32", "64")}

    @classmethod
    def tearDownClass(cls):
        wine_env.stop(ENV)

    def setUp(self):
        # Each case starts from a prefix with nothing of ours in it.
        self.assertEqual(self.dump(), set(), "a registration left over in the test prefix")
        shutil.rmtree(MAKER_DIR, ignore_errors=True)

    @staticmethod
    def read_registry(view):
        """(the plug-in's rows, {class root: its number of subkeys, or
        "absent"}) in the 32-bit or 64-bit view. A probe that could not read
        everything, or printed nothing, fails here: it never reads as a clean
        registry."""
        rc, out = wine(PROBE, "dump", view, capture=True)
        lines = out.splitlines()
        if rc != 0 or not lines or lines[-1] != "end" or any(line.startswith("error ") for line in lines):
            raise AssertionError("the registry probe did not read the %s-bit view (exit %d):\n%s" % (view, rc, out))
        roots = {}
        for line in lines:
            found = re.fullmatch(r"root (.+) (?:present (\d+)|absent)", line)
            if found:
                roots[found.group(1)] = int(found.group(2)) if found.group(2) else "absent"
        if len(roots) != 6:
            raise AssertionError("the probe named %d class roots, not 6:\n%s" % (len(roots), out))
        rows = {line for line in lines[:-1] if not line.startswith("root ")}
        return rows, roots

    def dump(self, view="32"):
        """The plug-in's rows as a 32-bit program (default) or a 64-bit one sees them."""
        return self.read_registry(view)[0]

    def test_clean_prefix_kind(self):
        # Only a prefix made with 32-bit Wine has 32-bit classes before
        # anything is installed; the native view always has its own.
        root = "HKLM\\Software\\Classes\\CLSID"
        classes32 = self.clean_roots["32"][root]
        if prefix_has_32bit_wine():
            self.assertGreater(classes32, 0)
        else:
            self.assertIn(classes32, ("absent", 0))
        self.assertGreater(self.clean_roots["64"][root], 0)

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
            skipped("the DLL's own registration by the 32-bit regsvr32 (%s)" % self.id().rsplit(".", 1)[-1])
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
        for view in ("32", "64"):
            # No row of ours, and the class roots as they were; a root that
            # was empty or missing before may go with the last of our rows.
            rows, roots = self.read_registry(view)
            self.assertEqual(rows, set(), view + "-bit view")
            for root, before in self.clean_roots[view].items():
                if before in ("absent", 0):
                    self.assertIn(roots[root], ("absent", 0), "%s in the %s-bit view" % (root, view))
                else:
                    self.assertEqual(roots[root], before, "%s in the %s-bit view" % (root, view))
        self.assertFalse(os.path.exists(MAKER_DIR), "files or folders of the plug-in left behind")
        wine_env.stop(ENV)
        try:
            self.assertEqual(registry_files_mention_ours(), [])
        finally:
            wine_env.prepare(ENV)

    def test_per_machine(self):
        own = self.self_registration([])
        self.assertEqual(wine("msiexec", "/i", windows_path(MSI), "/qn")[0], 0)
        self.assert_installed_files()
        self.assert_installed_rows("HKLM")
        if own is None:
            skipped("creating the 32-bit object through COM (test_per_machine)")
        else:
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
        if own is None:
            skipped("creating the 32-bit object from the per-user registration (test_per_user)")
        else:
            self.assertEqual(class_lines(self.dump()), class_lines(own))

            rc, facts, out = self.probe("create-user")
            self.assertEqual(rc, 0, out)
            self.assertEqual(facts.get("CreateInstance"), "00000000", out)
            self.assert_object(facts)

        self.uninstall_and_check_clean('ALLUSERS=""')


if __name__ == "__main__":
    unittest.main(verbosity=1)
