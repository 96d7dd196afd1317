#!/usr/bin/env python3
"""The main job, end to end (tools/demo.sh): sets up the machine for the one
build it runs and builds only what the job needs (the plug-in, the maker's
libraries, the host simulator) while the Wine prefix is made, then:

1. the plug-in is put where an installation would put it, in a Wine prefix of
   the demo's own, with our builds of the maker's libraries in the maker's
   shared folder, and "AppConfig.XML" pointing at the local stand-in services;
2. the stand-in card and OCR services start, with the project's sample cards
   and a demo account;
3. the plug-in is registered for the current user and created as a host would;
4. a prepared settings file with two scan jobs and the demo account is brought
   in through the host's Import;
5. each job's scanned images are sent through Execute (with the delete flag),
   the first with page pairing, unattended (under Xvfb without a display);
6. what the card service now holds is printed, with the address of its page
   of registered cards and the place of the plug-in's log.

Run it again and it starts over: a fresh stand-in database, fresh scans.
Each stage's line says how far into the run it begins; the end lists every
stage with its time.
"""
import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "standin"))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, HERE)

import settings_file  # noqa: E402
import wine_env  # noqa: E402
from standin_client import StandinError, StandinProcess  # noqa: E402

SAMPLES = os.path.join(SOURCE, "tools", "samples")
CLSID = "{8BB35CD9-4BE4-4B94-9F3A-85113E4F8591}"
REGDB_E_CLASSNOTREG = "80040154"

DEMO_MAIL = "demo@tessaran.example"
DEMO_TOKEN = "demo-app-token-0001"

# Where an installation puts the plug-in and the maker's libraries.
PLUGIN_DIR_WIN = "C:\\Program Files\\Orvell Electronics\\TessaranService"
SHARED_DIR_WIN = "C:\\Program Files\\Orvell Electronics\\Shared Files"
HOST_CONFIG_WIN = "C:\\ProgramData\\Orvell Electronics\\Scanmoor\\UserConfig\\SMRDB41_Config.XML"
PLUGIN_FILES = ["TessaranService.dll", "Tessaran.ico", "Tessaran.loc"]
MAKER_LIBRARIES = ["zuminfolog.dll", "zumloc.dll", "zumhelp.dll"]


class Timeline:
    """The demo's stages: each begins with a line saying how far into the run
    it starts, and the end lists them all with their own times."""

    def __init__(self):
        self.begin = time.monotonic()
        self.stages = []  # (name, seconds, remark)
        self.current = None

    def step(self, text, name=None):
        self.close()
        now = time.monotonic()
        print("==> [%5.1f s] %s" % (now - self.begin, text), flush=True)
        self.current = (name or text, now)

    def close(self):
        if self.current:
            name, began = self.current
            self.stages.append((name, time.monotonic() - began, ""))
            self.current = None

    def add(self, name, seconds, remark=""):
        self.stages.append((name, seconds, remark))

    def report(self):
        self.close()
        print("==> %.1f s in all, by stage:" % (time.monotonic() - self.begin), flush=True)
        width = max(text_width(name) for name, _, _ in self.stages)
        for name, seconds, remark in self.stages:
            print("    %s %6.1f s%s" % (pad(name, width), seconds, "  " + remark if remark else ""), flush=True)


TIMELINE = Timeline()


def step(text, name=None):
    TIMELINE.step(text, name)


def note(text):
    print("    " + text, flush=True)


class Wine:
    """Windows programs in the demo's own prefix, never a user's own Wine set-up."""

    def __init__(self, arch, prefix):
        self.prefix = prefix
        base = dict(os.environ)
        # The log goes where it goes on a user's machine, not where a test points it.
        base.pop("ZUMINFOLOG_FILE", None)
        self.env = wine_env.environment(arch, prefix, base)

    def unix_path(self, windows_path):
        drive, rest = windows_path.split(":", 1)
        assert drive.upper() == "C", windows_path
        return os.path.join(self.prefix, "drive_c", *rest.strip("\\").split("\\"))

    @staticmethod
    def windows_path(unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def start(self):
        os.makedirs(self.prefix, exist_ok=True)
        first = not os.path.exists(os.path.join(self.prefix, "system.reg"))
        if first:
            note("making the Wine prefix (once): " + self.prefix)
        # One persistent server keeps each program start cheap; it and Wine's
        # service programs are started off every pipe.
        wine_env.prepare(self.env)

    def stop(self):
        wine_env.stop(self.env)

    def command(self, *args):
        return wine_env.command(self.env, *args)

    def run(self, args, timeout=120, echo=True):
        """Runs a program; returns (exit code, output lines), echoing lines as they come."""
        proc = subprocess.Popen(self.command(*args), env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, encoding="utf-8", errors="replace")
        lines = []

        def read():
            for line in proc.stdout:
                line = line.rstrip("\r\n")
                lines.append(line)
                if echo:
                    note(line)

        # The program's end decides, not the end of its output: a Wine program
        # it started may hold the pipe open after it has exited.
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise DemoError("%s did not finish within %d s; a dialog may be waiting for an answer"
                            % (os.path.basename(args[0]), timeout))
        reader.join(5)
        return proc.returncode, list(lines)


class DemoError(Exception):
    pass


class Alongside(threading.Thread):
    """A stage that runs beside another: its time, and its failure handed back at join."""

    def __init__(self, work):
        super().__init__(daemon=True)
        self.work = work
        self.seconds = 0.0
        self.error = None

    def run(self):
        began = time.monotonic()
        try:
            self.work()
        except BaseException as e:  # handed to the joining thread
            self.error = e
        self.seconds = time.monotonic() - began

    def finish(self):
        self.join()
        if self.error:
            raise self.error
        return self.seconds


class Display:
    """The X display the progress dialog uses: the user's, or a private Xvfb."""

    def __init__(self):
        self.proc = None
        self.name = os.environ.get("DISPLAY") or None
        self.private = False

    def __enter__(self):
        if self.name:
            return self
        if not shutil.which("Xvfb"):
            raise DemoError("no display and no Xvfb (tools/setup.sh installs it)")
        # -displayfd reports the number of a free display once it is listening.
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.__exit__()
            raise DemoError("Xvfb did not start")
        self.name = ":" + number
        self.private = True
        note("no display: the progress dialog shows on a private Xvfb (%s)" % self.name)
        return self

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return False


def manage_windows(wine, managed):
    """Without a window manager Wine waits up to 2 s for each managed window
    to be withdrawn when it closes; unmanaged ones go at once. A stall of the
    display, not of the plug-in: on Windows there is none."""
    wine.run(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "Y" if managed else "N",
              "/f"], echo=False)


def app_config(build_dir, standin, extra=None):
    """The shipped configuration with the two services pointed at the stand-in,
    and any extra elements {name: text}."""
    with open(os.path.join(build_dir, "plugin", "AppConfig.XML"), encoding="utf-8") as f:
        shipped = f.read()
    start = shipped.find("<version>")
    end = shipped.find("</version>")
    version = shipped[start + len("<version>"):end] if 0 <= start < end else "1.0.0.1"
    address = "127.0.0.1:%d" % standin.port
    return ('<?xml version="1.0" encoding="UTF-8"?>\r\n<AppConfig>\r\n'
            "  <version>%s</version>\r\n"
            "  <cardServiceHost>%s</cardServiceHost>\r\n"
            "  <ocrServiceHost>%s</ocrServiceHost>\r\n"
            "  <!-- The stand-ins' certificate is self-signed: for this demo only. -->\r\n"
            "  <trustAnyCertificate>1</trustAnyCertificate>\r\n"
            "%s"
            "</AppConfig>\r\n" % (version, address, address,
                                   "".join("  <%s>%s</%s>\r\n" % (k, v, k) for k, v in (extra or {}).items())))


def install_plugin(wine, build_dir, standin, plugin_from=None, config=None):
    """Puts the plug-in where the installer would, configured for the stand-in:
    the plug-in's files from plugin_from (a build folder of the same kind) when
    given, else from build_dir; config: extra AppConfig.XML elements."""
    plugin_dir = wine.unix_path(PLUGIN_DIR_WIN)
    shared_dir = wine.unix_path(SHARED_DIR_WIN)
    os.makedirs(plugin_dir, exist_ok=True)
    for name in PLUGIN_FILES:
        source = os.path.join(plugin_from or build_dir, "plugin", name)
        if os.path.exists(source):
            shutil.copy2(source, plugin_dir)
        else:
            note("not built yet: %s (the plug-in runs without it)" % name)
    with open(os.path.join(plugin_dir, "AppConfig.XML"), "w", encoding="utf-8", newline="") as f:
        f.write(app_config(build_dir, standin, config))
    found = [n for n in MAKER_LIBRARIES if os.path.exists(os.path.join(build_dir, "makerlibs", n))]
    if found:
        os.makedirs(shared_dir, exist_ok=True)
        for name in found:
            shutil.copy2(os.path.join(build_dir, "makerlibs", name), shared_dir)
    missing = sorted(set(MAKER_LIBRARIES) - set(found))
    if missing:
        note("the maker's libraries not built yet: %s (no log, no translations)" % ", ".join(missing))
    note("plug-in: %s\\TessaranService.dll" % PLUGIN_DIR_WIN)
    # The host's own user configuration, which the plug-in reads for where the
    # settings live: 0 keeps them in the user's application data.
    host_config = wine.unix_path(HOST_CONFIG_WIN)
    os.makedirs(os.path.dirname(host_config), exist_ok=True)
    with open(host_config, "w", encoding="utf-8", newline="") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\r\n'
                "<UserConfig><AppDataLocationID>0</AppDataLocationID></UserConfig>\r\n")
    return PLUGIN_DIR_WIN + "\\TessaranService.dll"


def log_places(wine):
    """The log library's files: its default place is in the user's local application data."""
    candidates = []
    for root, _dirs, files in os.walk(os.path.join(wine.prefix, "drive_c", "users")):
        for name in files:
            if name.lower().endswith(".log") and ("orvell" in root.lower() or "tessaran" in name.lower()):
                candidates.append(os.path.join(root, name))
    return sorted(candidates)


def write_list_file(path, images):
    """The host's upload list: UTF-16 with a byte-order mark, one path per CR LF line."""
    text = "".join(Wine.windows_path(p) + "\r\n" for p in images)
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def prepare_scans(work, jobs):
    """Fresh copies of the sample images, as the scanner would have left them."""
    scans = os.path.join(work, "scans")
    shutil.rmtree(scans, ignore_errors=True)
    prepared = []
    for number, job in enumerate(jobs, 1):
        folder = os.path.join(scans, "job%d" % number)
        os.makedirs(folder)
        images = []
        for page in job["pages"]:
            shutil.copy2(os.path.join(SAMPLES, page), folder)
            images.append(os.path.join(folder, page))
        list_file = os.path.join(folder, "upload.lst")
        write_list_file(list_file, images)
        prepared.append({"job": job, "images": images, "list": list_file})
    return prepared


def text_width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def pad(text, width):
    return text + " " * max(0, width - text_width(text))


def print_cards(cards):
    rows = [("sync ID", "name", "company", "back", "thumbnail")]
    for card in cards:
        data = card.get("card") or {}
        last, first = data.get("lname", ""), data.get("fname", "")
        # Family name first in Japanese, given name first in Latin script.
        parts = (first, last) if (last + first).isascii() else (last, first)
        name = " ".join(p for p in parts if p)
        thumb = card.get("thumb") or {}
        size = "%sx%s" % (thumb.get("width"), thumb.get("height")) if thumb else "-"
        rows.append((card["sync_id"], name, data.get("cname", ""), "yes" if card.get("back") else "no", size))
    widths = [max(text_width(r[i]) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("    " + "  ".join(pad(cell, widths[i]) for i, cell in enumerate(row)).rstrip())


def planned_arch(args):
    """The build the demo will run, known before set-up: the product's x86
    build where the kernel runs 32-bit programs (set-up then installs 32-bit
    Wine), else the x64 build."""
    if args.arch:
        return args.arch
    return "x86" if wine_env.runs_32bit() else "x64"


# What the demo runs, and all it builds.
DEMO_TARGETS = ["TessaranService", "zuminfolog", "zumloc", "zumhelp", "hostsim"]


def set_up(args, arch):
    """Set-up for this one build; returns the build that runs (x64 where
    32-bit Wine could not be installed after all)."""
    def install(arch):
        step("Setting up the machine for the %s build (tools/setup.sh --demo %s)" % (arch, arch), "set-up")
        done = subprocess.run(["bash", os.path.join(SOURCE, "tools", "setup.sh"), "--demo", arch],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            print(done.stdout, end="")
            raise DemoError("set-up failed")

    if not args.no_build:
        install(arch)
    chosen = choose_arch(args, arch)
    if chosen != arch and not args.no_build:
        install(chosen)
    return chosen


def build(args, arch):
    """Only what the demo runs, of the one build it runs."""
    step("Building the plug-in, the maker's libraries and the host simulator (%s build), "
         "while the Wine prefix is made" % arch, "build")
    command = ["bash", os.path.join(SOURCE, "tools", "build.sh"), os.path.abspath(args.build), "--arch", arch]
    for target in DEMO_TARGETS:
        command += ["--target", target]
    if subprocess.run(command, stdin=subprocess.DEVNULL).returncode != 0:
        raise DemoError("the build failed")


def choose_arch(args, planned=None):
    """The product's own x86 build where 32-bit programs run, else the x64
    build; planned is what set-up was asked to make ready."""
    runnable = wine_env.arches()
    if args.arch:
        if args.arch not in runnable:
            raise DemoError("this machine cannot run the %s build's programs" % args.arch)
        return args.arch
    if "x86" in runnable:
        return "x86"
    if planned == "x86":
        note("32-bit Wine is not installed after all: the demo uses the x64 build of the plug-in")
    else:
        note("this machine runs no 32-bit programs: the demo uses the x64 build of the plug-in")
    return "x64"


def run(args):
    TIMELINE.__init__()
    arch = planned_arch(args)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(SAMPLES, "jobs.json"), encoding="utf-8") as f:
        jobs = json.load(f)["jobs"]

    # Set-up first: it installs Xvfb and Wine.
    arch = set_up(args, arch)
    build_dir = os.path.join(os.path.abspath(args.build), arch)
    with contextlib.ExitStack() as cleanup:
        # Wine's desktop process takes its display when the prefix's server
        # starts, so the display comes first; windows made later use it.
        display = cleanup.enter_context(Display())
        # Each build has a prefix of its own: a win64 prefix is no place for
        # the 32-bit set-up and the other way round.
        wine = Wine(arch, os.path.abspath(args.prefix) if args.prefix else os.path.join(work, "wineprefix-" + arch))
        wine.env["DISPLAY"] = display.name

        def make_prefix():
            wine.start()
            manage_windows(wine, not (display.private or args.no_window_manager))

        # The prefix is made beside the build, on what the compilers leave of
        # the machine.
        making_prefix = Alongside(make_prefix)
        making_prefix.start()
        cleanup.callback(wine.stop)
        cleanup.callback(making_prefix.join)
        if not args.no_build:
            build(args, arch)
        hostsim = os.path.join(build_dir, "hostsim", "hostsim.exe")
        for needed in (os.path.join(build_dir, "plugin", "TessaranService.dll"), hostsim):
            if not os.path.exists(needed):
                raise DemoError("not built: %s (run tools/build.sh)" % needed)

        step("Starting the stand-in card and OCR services", "stand-in")
        standin = StandinProcess.start(os.path.join(work, "standin"), samples=SAMPLES, port=args.port)
        cleanup.callback(standin.stop)
        client = standin.client
        # Every run starts over, so that what is printed at the end is this run's.
        client.reset(accounts=True)
        client.add_account(DEMO_MAIL, DEMO_TOKEN, limit=args.card_limit)
        note("%s, account %s" % (standin.base, DEMO_MAIL))

        if making_prefix.is_alive():
            step("Waiting for the Wine prefix to be ready", "waiting for the prefix")
        TIMELINE.add("Wine prefix", making_prefix.finish(), "(beside the build)")
        step("Putting the plug-in in place (Wine prefix %s)" % wine.prefix, "plug-in in place")
        log_sizes = {p: os.path.getsize(p) for p in log_places(wine)}
        dll = install_plugin(wine, build_dir, standin)
        result = send_jobs(args, wine, build_dir, dll, work, jobs, client)
        wine.stop()

        step("What the card service holds now", "card table")
        cards = client.cards()
        print_cards(cards)
        note("%d cards; page of registered cards: %s/cards" % (len(cards), standin.base))
        left = [p for job in result["scans"] for p in job["images"] + [job["list"]] if os.path.exists(p)]
        note("scanned files left behind: %d" % len(left))
        places = log_places(wine)
        log_lines = []
        for place in places:
            with open(place, "rb") as f:
                f.seek(log_sizes.get(place, 0))
                log_lines += f.read().decode("utf-8", "replace").splitlines()
        if places:
            failures = [line for line in log_lines if line.split("\t")[1:2] == ["3"]]
            for place in places:
                note("plug-in log: " + place)
            note("%d lines from this run, %d of them failures" % (len(log_lines), len(failures)))
        else:
            note("plug-in log: none (the maker's log library is not built yet)")
        with open(os.path.join(work, "summary.json"), "w", encoding="utf-8") as f:
            ocr = [{"fields": r.get("fields"), "image": r.get("image"), "status": r.get("status")}
                   for r in client.ocr_requests()]
            json.dump({"base": standin.base, "results": result["results"], "cards": cards, "ocr": ocr,
                       "scans": result["scans"], "logs": places, "log_lines": log_lines}, f, ensure_ascii=False, indent=1)
        TIMELINE.report()

        if args.keep_serving:
            print("==> Serving %s/cards until Ctrl-C" % standin.base, flush=True)
            try:
                while standin.proc.poll() is None:
                    time.sleep(1)
            except KeyboardInterrupt:
                pass
        return 0 if result["ok"] else 1


def send_jobs(args, wine, build_dir, dll, work, jobs, client):
    hostsim = os.path.join(build_dir, "hostsim", "hostsim.exe")
    step("Registering the plug-in for the current user", "registration")
    rc, _ = wine.run([hostsim, "register", "--user", dll])
    if rc != 0:
        raise DemoError("registration failed")
    # A host creates the object with CoCreateInstance. Wine 8 does not merge
    # HKCU\Software\Classes into HKEY_CLASSES_ROOT (Windows does), so a class
    # registered for the user only is not found there; the demo then follows
    # the per-user InprocServer32 entry itself and creates the object through
    # that DLL's class object, as COM on Windows would.
    rc, lines = wine.run([hostsim, "create"], echo=False)
    dll_args = []
    if rc == 0:
        note("created through CoCreateInstance")
    elif any(REGDB_E_CLASSNOTREG in line for line in lines):
        registered = registered_server(wine)
        note("CoCreateInstance: %s (Wine 8 does not see per-user classes);" % REGDB_E_CLASSNOTREG)
        note("creating through the registered server instead: " + registered)
        dll_args = ["--dll", registered]
    else:
        for line in lines:
            note(line)
        raise DemoError("the plug-in object could not be created")

    step("Bringing in the prepared settings (two scan jobs, demo account) through Import", "settings import")
    import_dir = os.path.join(work, "settings-import")
    os.makedirs(import_dir, exist_ok=True)
    settings_file.write_settings_file(
        os.path.join(import_dir, "MeishiPluginSettings.XML"),
        [dict(job, mail=DEMO_MAIL, token=DEMO_TOKEN) for job in jobs])
    scans = prepare_scans(work, jobs)

    command = [hostsim, *dll_args, "connect", "import", Wine.windows_path(import_dir)]
    for scan in scans:
        command += ["summary", scan["job"]["guid"],
                    "execute", scan["job"]["guid"], "--delete", "--list", Wine.windows_path(scan["list"])]
    command += ["disconnect"]
    step("Sending the scans through Execute: " +
         ", ".join("%s (%d pages%s)" % (s["job"]["name"], len(s["images"]),
                                         ", pairing" if s["job"]["EvenNumberImageToBackPage"] == 1 else "")
                   for s in scans), "sending (Execute)")
    answerer = None
    if args.answer_dialogs:
        # Someone to answer the dialogs of a run that is meant to fail in part.
        answerer = subprocess.Popen(
            wine.command(os.path.join(build_dir, "tests", "DialogAnswer.exe"), "--timeout", str(args.timeout),
                         *args.answer_dialogs.split(",")),
            env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        rc, lines = wine.run(command, timeout=args.timeout)
    finally:
        if answerer:
            try:
                answered, _ = answerer.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                answerer.kill()
                answered, _ = answerer.communicate()
            for line in answered.splitlines():
                note("dialog answered: " + line)
    results = [line.split(":", 1)[1].strip() for line in lines if line.startswith("Execute:")]
    ok = rc == 0 and len(results) == len(scans) and all(r.startswith("00000000") for r in results)
    if not ok:
        note("the run did not end cleanly (exit %d)" % rc)
    return {"ok": ok, "results": results,
            "scans": [{"guid": s["job"]["guid"], "images": s["images"], "list": s["list"]} for s in scans]}


def registered_server(wine):
    """The per-user InprocServer32 path, read the way COM reads it."""
    key = "HKCU\\Software\\Classes\\CLSID\\%s\\InprocServer32" % CLSID
    rc, lines = wine.run(["reg", "query", key, "/ve"], echo=False)
    for line in lines:
        if "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    raise DemoError("no per-user registration found under " + key)


def build_arguments(parser, folder):
    """The options that say which build runs where, shared with tools/bench:
    --build, --arch, --work (default BUILD/folder) and --no-window-manager."""
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"),
                        help="build folder of tools/build.sh, holding x86/ and x64/ (default: build)")
    parser.add_argument("--arch", choices=("x86", "x64"),
                        help="the build to run (default: x86 where this machine runs 32-bit programs, else x64)")
    parser.add_argument("--work", help="the program's own folder (default: BUILD/%s)" % folder)
    parser.add_argument("--no-window-manager", action="store_true",
                        help="the display has no window manager (as under xvfb-run)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    build_arguments(parser, "demo")
    parser.add_argument("--no-build", action="store_true",
                        help="skip set-up and build (the build folder must hold the plug-in, the maker's "
                             "libraries and the host simulator)")
    parser.add_argument("--prefix", help="Wine prefix (default: WORK/wineprefix-ARCH)")
    parser.add_argument("--port", type=int, default=0, help="stand-in port (default: a free one)")
    parser.add_argument("--card-limit", type=int, default=100, help="cards the demo account may hold")
    parser.add_argument("--timeout", type=int, default=600, help="seconds the sending may take")
    parser.add_argument("--answer-dialogs", metavar="ANSWERS",
                        help="answer the plug-in's dialogs in order, e.g. result=retry,settings=cancel "
                             "(tests/e2e/DialogAnswer.cpp lists them); for runs meant to fail in part")
    parser.add_argument("--keep-serving", action="store_true",
                        help="keep the stand-in (and its page of cards) running until Ctrl-C")
    args = parser.parse_args()
    args.work = args.work or os.path.join(args.build, "demo")
    try:
        return run(args)
    except (DemoError, StandinError) as e:
        print("demo: " + str(e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
