#!/usr/bin/env python3
"""The plug-in's own cost, measured: figures, never pass or fail.

For each stack size N (30 and 300 unless told otherwise), in one run:
1. per card: Execute of N single-sided card scans through the host simulator
   against the stand-in services on loopback, timed inside the host process;
2. the wire floor: the very requests that run sent (as the stand-in recorded
   them) sent again in order through WinINet in one session with the same
   flags, against the same stand-in, and the ratio of the run to it;
3. thumbnails: the plug-in's thumbnail per card next to vipsthumbnail and
   ImageMagick on the same files, each one process over all N files;
4. memory: the host process's peak working set and private bytes, idle and
   after the run, next to the largest image;
5. where the time goes: a breakdown per card from the host simulator's
   record of the plug-in's calls (tools/hostsim/CallTrace.cpp).

The scans are made here, deterministically, into the work folder: about
1050x600 pixels, about 270 KiB, 300 dpi. tools/bench.sh sets up and builds
first.
"""
import argparse
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "standin"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, HERE)

import card_scans  # noqa: E402
import run_demo  # noqa: E402
import settings_file  # noqa: E402
import trace_breakdown  # noqa: E402
from standin_client import StandinError, StandinProcess  # noqa: E402

MAIL = "bench@tessaran.example"
TOKEN = "bench-app-token-0001"
JOB = "{6B1D2C4E-3F5A-4B7C-8D9E-0A1B2C3D4E99}"
AGENT = "SMR-MeishiRegister/1.0"
# Headers WinINet writes itself; a replay gives only the caller's own.
CLIENT_WRITTEN = {"host", "user-agent", "content-length", "connection", "cache-control", "pragma"}
SYNC_ID = re.compile(rb'"sync_id"\s*:\s*"([^"]+)"')
SESSION = re.compile(r"JSESSIONID=([^;\s]+)")


class BenchError(Exception):
    pass


def note(text):
    print("    " + text, flush=True)


def timed(command, env=None, timeout=1800):
    """(seconds, completed process) of one command, its output captured."""
    begin = time.perf_counter()
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          encoding="utf-8", errors="replace", timeout=timeout)
    return time.perf_counter() - begin, done


def load():
    """The load average over 1, 5 and 15 minutes: the machine is shared."""
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---- the run through the host simulator ----

def write_list(path, images):
    text = "".join(run_demo.Wine.windows_path(p) + "\r\n" for p in images)
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def fresh_copies(images, folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    copies = []
    for image in images:
        target = os.path.join(folder, os.path.basename(image))
        shutil.copyfile(image, target)
        copies.append(target)
    return copies


def parse_memory(line):
    return {k: int(v) for k, v in (item.split("=") for item in line.split()[2:])}


def run_plugin(wine, build_dir, dll, work, images, count):
    scans = fresh_copies(images[:count], os.path.join(work, "scans-%d" % count))
    list_file = os.path.join(work, "scans-%d" % count, "upload.lst")
    write_list(list_file, scans)
    trace = os.path.join(work, "trace-%d.tsv" % count)
    log = os.path.join(work, "log-%d.txt" % count)
    if os.path.exists(log):
        os.remove(log)
    wine.env["ZUMINFOLOG_FILE"] = run_demo.Wine.windows_path(log)
    hostsim = os.path.join(build_dir, "hostsim", "hostsim.exe")
    command = [hostsim, "--dll", dll, "connect", "import", run_demo.Wine.windows_path(os.path.join(work, "settings")),
               "trace", run_demo.Wine.windows_path(trace), "memory", "modules",
               "execute", JOB, "--delete", "--list", run_demo.Wine.windows_path(list_file), "memory", "modules",
               "disconnect"]
    rc, lines = wine.run(command, timeout=3600, echo=False)
    memory = [parse_memory(line) for line in lines if line.startswith("ProcessMemory: 00000000")]
    executed = [line for line in lines if line.startswith("Execute:")]
    if rc != 0 or len(memory) != 2 or executed != ["Execute: 00000000"]:
        raise BenchError("the run of %d cards did not end cleanly (exit %d):\n%s" % (count, rc, "\n".join(lines)))
    # The modules the run brought into the host: most of its one-time cost.
    marks = [i for i, line in enumerate(lines) if line.startswith("Execute:")]
    idle = {m for m in modules(lines[:marks[0]])}
    loaded = [(name, size) for name, size in modules(lines[marks[0]:]) if (name, size) not in idle]
    return {"memory_idle": memory[0], "memory_after": memory[1], "trace": trace_breakdown.read(trace),
            "log": log, "loaded_modules": loaded}


def modules(lines):
    found = []
    for line in lines:
        if line.startswith("Module: "):
            name, size = line[len("Module: "):].rsplit(" ", 1)
            found.append((json.loads(name), int(size)))
    return found


# ---- the wire floor ----

def recording(entries, port):
    """The replay file of the journal's entries: each request as it came, with
    the values the service handed out marked, so that the replay can use its own."""
    requests = []
    for i, entry in enumerate(entries):
        body = base64.b64decode(entry["body_b64"])
        path = entry["path"] + ("?" + entry["query"] if entry.get("query") else "")
        capture = "none"
        if entry["path"] == "/service/m_login":
            # The session it opened is the one the next requests carry.
            for later in entries[i + 1:]:
                cookies = [v for k, v in later["headers"] if k.lower() == "cookie"]
                found = SESSION.search(cookies[0]) if cookies else None
                if found:
                    capture = "cookie " + found.group(1)
                    break
        elif entry["path"] == "/service/m_newsyncid/":
            # The sync ID it handed out is the one the next registration names.
            for later in entries[i + 1:]:
                if later["path"] == "/service/m_card/":
                    found = SYNC_ID.search(base64.b64decode(later["body_b64"]))
                    if found:
                        capture = "body " + found.group(1).decode("ascii")
                    break
        headers = ["%s: %s" % (k, v) for k, v in entry["headers"] if k.lower() not in CLIENT_WRITTEN]
        requests.append((entry["method"], path, capture, headers, body))
    out = bytearray(b"wirereplay 1\nagent %s\nhost 127.0.0.1\nport %d\nrequests %d\n"
                    % (AGENT.encode(), port, len(requests)))
    for method, path, capture, headers, body in requests:
        out += ("request %s %s\ncapture %s\nheaders %d\n" % (method, path, capture, len(headers))).encode("utf-8")
        for header in headers:
            out += header.encode("utf-8") + b"\n"
        out += b"body %d\n" % len(body) + body + b"\n"
    return bytes(out)


def run_replay(wine, build_dir, work, client, port, count):
    entries = [e for e in client.journal() if e["outcome"] == "ok"]
    path = os.path.join(work, "replay-%d.bin" % count)
    with open(path, "wb") as f:
        f.write(recording(entries, port))
    # The same stand-in, empty again but for the account, as before the run.
    client.reset()
    rc, lines = wine.run([os.path.join(build_dir, "tools", "wirereplay.exe"), run_demo.Wine.windows_path(path)],
                         timeout=3600, echo=False)
    summary = [line for line in lines if line.startswith("replay:")]
    if not summary:
        raise BenchError("the replay of %d cards gave no figures (exit %d):\n%s" % (count, rc, "\n".join(lines)))
    fields = dict(item.split("=") for item in summary[0].split()[1:])
    kinds = {}
    for line in lines:
        if line.startswith("kind "):
            _, name, number, ms = line.split()
            kinds[name] = (int(number), float(ms))
    failures = [line[len("status "):] for line in lines if line.startswith("status ")]
    memory = [int(line.split("=")[1]) for line in lines if line.startswith("memory peak_working_set=")]
    cards = [line.split() for line in lines if line.startswith("cards ")]
    private = {k: int(v) for k, v in (item.split("=") for item in cards[0][3:])} if cards else {}
    return {"total_ms": float(fields["total_ms"]), "requests": int(fields["requests"]), "kinds": kinds,
            "failures": failures, "peak_working_set": memory[0] if memory else 0, "private": private}


# ---- thumbnails ----

def run_thumbnails(wine, build_dir, work, images, count):
    folder = os.path.join(work, "thumbs-%d" % count)
    sources = fresh_copies(images[:count], os.path.join(folder, "in"))
    figures = {}
    rc, lines = wine.run([os.path.join(build_dir, "tools", "thumbtimes.exe"),
                          run_demo.Wine.windows_path(os.path.join(folder, "in"))], timeout=1800, echo=False)
    summary = [line for line in lines if line.startswith("thumbnails:")]
    if summary:
        fields = dict(item.split("=") for item in summary[0].split()[1:])
        figures["plug-in"] = float(fields["total_ms"]) / count
    memory = [line for line in lines if line.startswith("memory first=")]
    if memory:
        figures["memory"] = {k: int(v) for k, v in (item.split("=") for item in memory[0].split()[1:])}
    out = os.path.join(folder, "out")
    os.makedirs(out, exist_ok=True)
    if shutil.which("vipsthumbnail"):
        seconds, done = timed(["vipsthumbnail", "-s", "200", "-o", os.path.join(out, "%s_vips.jpg"), *sources])
        if done.returncode == 0:
            figures["vipsthumbnail"] = seconds * 1000 / count
    magick = card_scans.image_magick()
    if magick:
        seconds, done = timed([magick, "-path", out, "-thumbnail", "200x200", "-format", "jpg", *sources])
        if done.returncode == 0:
            figures["ImageMagick"] = seconds * 1000 / count
    return figures


# ---- the whole ----

def mib(value):
    return "%.1f MiB" % (value / 1048576.0)


def table(title, rows, sizes):
    print()
    print(title)
    head = ["figure"] + ["N = %d" % n for n in sizes]
    widths = [max(len(str(r[i])) for r in [head] + rows) for i in range(len(head))]
    print("  " + "  ".join(h.ljust(widths[0]) if i == 0 else h.rjust(widths[i]) for i, h in enumerate(head)))
    for row in rows:
        print("  " + "  ".join(str(c).ljust(widths[0]) if i == 0 else str(c).rjust(widths[i])
                               for i, c in enumerate(row)))


def report(results, sizes, images, arch):
    r = {n: results[n] for n in sizes}
    per_card = {n: r[n]["trace"].execute_ms / n for n in sizes}
    floor = {n: r[n]["replay"]["total_ms"] / n for n in sizes}
    rows = [
        ["plug-in time per card (ms)"] + ["%.1f" % per_card[n] for n in sizes],
        ["wire floor per card (ms)"] + ["%.1f" % floor[n] for n in sizes],
        ["ratio to the floor"] + ["%.2f" % (per_card[n] / floor[n]) for n in sizes],
        ["whole Execute (ms)"] + ["%.0f" % r[n]["trace"].execute_ms for n in sizes],
        ["whole replay (ms, %s requests)" % "/".join(str(r[n]["replay"]["requests"]) for n in sizes)]
        + ["%.0f" % r[n]["replay"]["total_ms"] for n in sizes],
    ]
    table("1-2. Execute against the wire floor (%s build)" % arch, rows, sizes)
    for n in sizes:
        if r[n]["replay"]["failures"]:
            note("replay of N = %d: %d answers outside 2xx, e.g. %s"
                 % (n, len(r[n]["replay"]["failures"]), r[n]["replay"]["failures"][0]))

    tools = ["plug-in", "vipsthumbnail", "ImageMagick"]
    rows = [["%s per card (ms)" % t] + ["%.1f" % r[n]["thumbs"][t] if t in r[n]["thumbs"] else "-" for n in sizes]
            for t in tools]
    rows.append(["plug-in inside the run (ms)"] + ["%.1f" % (r[n]["trace"].thumbnail_ms / n) for n in sizes])
    table("3. Thumbnails, one process over all N files", rows, sizes)

    largest = max(images[:max(sizes)], key=os.path.getsize)
    rows = []
    for label, key, field in (("idle: peak working set", "memory_idle", "peak_working_set"),
                              ("idle: private bytes", "memory_idle", "private_bytes"),
                              ("after: peak working set", "memory_after", "peak_working_set"),
                              ("after: peak private bytes", "memory_after", "peak_private_bytes"),
                              ("after: private bytes", "memory_after", "private_bytes")):
        rows.append([label] + [mib(r[n][key][field]) for n in sizes])
    rows.append(["the replay's peak working set"] + [mib(r[n]["replay"]["peak_working_set"]) for n in sizes])
    rows.append(["peak working set above idle"]
                + [mib(r[n]["memory_after"]["peak_working_set"] - r[n]["memory_idle"]["peak_working_set"])
                   for n in sizes])
    table("4. Memory of the host process (largest image: %s, %d bytes, %s decoded at 24 bits)"
          % (os.path.basename(largest), os.path.getsize(largest),
             mib(card_scans.WIDTH * card_scans.HEIGHT * 3)), rows, sizes)
    for n in sizes:
        kept = r[n]["trace"].private_bytes
        if len(kept) > 3:
            # The second half shows what each card leaves once the heap has grown to what a card needs.
            half = len(kept) // 2
            note("N = %d: private bytes before card 1: %s, card %d: %s, card %d: %s (%+.1f KiB a card over the"
                 " second half)" % (n, mib(kept[0]), half + 1, mib(kept[half]), len(kept), mib(kept[-1]),
                                    (kept[-1] - kept[half]) / 1024.0 / (len(kept) - 1 - half)))
    for n in sizes:
        kept = r[n]["replay"]["private"]
        if kept:
            note("N = %d: WinINet alone (the replay): private bytes before card 1: %s, card %d: %s, card %d: %s"
                 " (%+.1f KiB a card over the second half)"
                 % (n, mib(kept["first"]), n // 2 + 1, mib(kept["half"]), n, mib(kept["last"]),
                    (kept["last"] - kept["half"]) / 1024.0 / max(1, n - 1 - n // 2)))
    for n in sizes:
        kept = r[n]["thumbs"].get("memory")
        if kept:
            note("N = %d: thumbnails alone (thumbtimes): private bytes after the first %s, after the last %s"
                 % (n, mib(kept["first"]), mib(kept["last"])))
    for n in sizes:
        loaded = r[n]["loaded_modules"]
        note("N = %d: the run loaded %d modules into the host, %s of images: %s"
             % (n, len(loaded), mib(sum(size for _, size in loaded)),
                ", ".join(name for name, _ in sorted(loaded, key=lambda m: -m[1]))))
    if len(sizes) > 1:
        a, b = sizes[0], sizes[-1]
        note("peak working set at N = %d minus N = %d: %s"
             % (b, a, mib(r[b]["memory_after"]["peak_working_set"] - r[a]["memory_after"]["peak_working_set"])))

    names = trace_breakdown.CATEGORIES
    rows = [[name] + ["%.2f" % (r[n]["trace"].per_card.get(name, 0.0) / n) for n in sizes] for name in names]
    rows.append(["sum (ms per card)"] + ["%.2f" % (sum(r[n]["trace"].per_card.values()) / n) for n in sizes])
    table("5. Where the time goes, per card (ms; the card loop divided by N)", rows, sizes)
    rows = []
    for name in names:
        floors = []
        for n in sizes:
            ms = sum(v[1] for k, v in r[n]["replay"]["kinds"].items()
                     if trace_breakdown.request_category("X " + k) == name)
            floors.append(ms)
        if any(floors):
            rows.append([name] + ["%.2f" % (ms / n) for ms, n in zip(floors, sizes)])
    table("   The same requests in the replay, per card (ms)", rows, sizes)
    rows = []
    for phase in ("start", "end"):
        for name in names:
            values = [r[n]["trace"].once[phase].get(name, 0.0) for n in sizes]
            if any(v >= 0.05 for v in values):
                rows.append(["%s: %s" % (phase, name)] + ["%.1f" % v for v in values])
        rows.append(["%s: all" % phase] + ["%.1f" % sum(r[n]["trace"].once[phase].values()) for n in sizes])
    table("   Once per run, before the first card and after the last (ms)", rows, sizes)
    waits = []
    for n in sizes:
        for wait in r[n]["trace"].long_waits:
            waits.append("N = %d: %s" % (n, wait))
    if waits:
        print()
        print("   Waits and pauses of 50 ms or more on the run's thread:")
        for wait in waits:
            print("     " + wait)


def run(args):
    arch = run_demo.choose_arch(args)
    build_dir = os.path.join(os.path.abspath(args.build), arch)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    for needed in ("plugin/TessaranService.dll", "hostsim/hostsim.exe", "tools/wirereplay.exe",
                   "tools/thumbtimes.exe"):
        if not os.path.exists(os.path.join(build_dir, needed)):
            raise BenchError("not built: %s (run tools/build.sh)" % os.path.join(build_dir, needed))
    sizes = sorted(set(int(n) for n in args.sizes.split(",")))
    print("bench: the %s build, N = %s; load average before: %s" % (arch, ", ".join(map(str, sizes)), load()),
          flush=True)
    images = card_scans.ensure(os.path.join(work, "images"), max(sizes))

    wine = run_demo.Wine(arch, os.path.join(work, "wineprefix-" + arch))
    standin = StandinProcess.start(os.path.join(work, "standin"))
    results = {}
    try:
        client = standin.client
        client.reset(accounts=True)
        client.add_account(MAIL, TOKEN, limit=100000)
        with run_demo.Display() as display:
            wine.env["DISPLAY"] = display.name
            wine.start()
            run_demo.manage_windows(wine, not (display.private or args.no_window_manager))
            try:
                dll = run_demo.install_plugin(wine, build_dir, standin)
                os.makedirs(os.path.join(work, "settings"), exist_ok=True)
                settings_file.write_settings_file(
                    os.path.join(work, "settings", "MeishiPluginSettings.XML"),
                    [{"guid": JOB, "mail": MAIL, "token": TOKEN, "EvenNumberImageToBackPage": 0,
                      "OCRLangID": 1, "OCRLangBackID": 2}])
                for n in sizes:
                    note("N = %d: the run through the host simulator" % n)
                    client.reset()
                    result = run_plugin(wine, build_dir, dll, work, images, n)
                    note("N = %d: the wire floor" % n)
                    result["replay"] = run_replay(wine, build_dir, work, client, standin.port, n)
                    client.reset()
                    note("N = %d: thumbnails" % n)
                    result["thumbs"] = run_thumbnails(wine, build_dir, work, images, n)
                    results[n] = result
            finally:
                wine.stop()
    finally:
        standin.stop()
    report(results, sizes, images, arch)
    print()
    print("bench: load average after: %s" % load())
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_demo.build_arguments(parser, "bench")
    parser.add_argument("--sizes", default="30,300", help="stack sizes, comma-separated (default: 30,300)")
    args = parser.parse_args()
    args.work = args.work or os.path.join(args.build, "bench")
    try:
        return run(args)
    except (BenchError, StandinError, run_demo.DemoError, RuntimeError) as e:
        print("bench: " + str(e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
