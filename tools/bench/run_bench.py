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
   record of the plug-in's calls (tools/hostsim/CallTrace.cpp);
6. a modelled office line (the stand-in's line model: round trip, one
   shared uplink, each endpoint's service time): the plug-in's time per card
   against the same requests replayed one after another on the same line,
   the uplink floor and the floor of a pipelined client, with the host's
   processor time per card against WinINet's alone.

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
import standin  # noqa: E402
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
# The office line of the section 6: a 60 ms round trip, a 20 Mbit/s uplink
# shared by every connection, the OCR service working 700 ms per card, the
# registration 120 ms and every other request 30 ms.
OFFICE_LINE = {"rtt_ms": 60, "uplink_mbit": 20,
               "service_ms": {"/CardOCR/": 700, "/service/m_card/": 120, "/service/m_card/backimage/": 30,
                              "*": 30}}
# The plug-in's own default for ocrRequestsAhead (upload/OcrAhead.h), which
# the section's floor assumes.
DEFAULT_OCR_AHEAD = 3
CARD_SERVICE_KINDS = ("sync ID", "registration", "back", "report")


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


def parse_times(line):
    fields = dict(item.split("=") for item in line.split()[2:])
    return float(fields["user_ms"]) + float(fields["kernel_ms"])


def run_plugin(wine, build_dir, dll, work, images, count, tag=""):
    scans = fresh_copies(images[:count], os.path.join(work, "scans-%d" % count))
    list_file = os.path.join(work, "scans-%d" % count, "upload.lst")
    write_list(list_file, scans)
    trace = os.path.join(work, "trace-%d%s.tsv" % (count, tag))
    log = os.path.join(work, "log-%d%s.txt" % (count, tag))
    if os.path.exists(log):
        os.remove(log)
    wine.env["ZUMINFOLOG_FILE"] = run_demo.Wine.windows_path(log)
    hostsim = os.path.join(build_dir, "hostsim", "hostsim.exe")
    command = [hostsim, "--dll", dll, "connect", "import", run_demo.Wine.windows_path(os.path.join(work, "settings")),
               "trace", run_demo.Wine.windows_path(trace), "memory", "modules", "cputime",
               "execute", JOB, "--delete", "--list", run_demo.Wine.windows_path(list_file), "cputime", "memory",
               "modules", "disconnect"]
    rc, lines = wine.run(command, timeout=3600, echo=False)
    memory = [parse_memory(line) for line in lines if line.startswith("ProcessMemory: 00000000")]
    times = [parse_times(line) for line in lines if line.startswith("ProcessTimes: 00000000")]
    executed = [line for line in lines if line.startswith("Execute:")]
    if rc != 0 or len(memory) != 2 or executed != ["Execute: 00000000"]:
        raise BenchError("the run of %d cards did not end cleanly (exit %d):\n%s" % (count, rc, "\n".join(lines)))
    # The modules the run brought into the host: most of its one-time cost.
    marks = [i for i, line in enumerate(lines) if line.startswith("Execute:")]
    idle = {m for m in modules(lines[:marks[0]])}
    loaded = [(name, size) for name, size in modules(lines[marks[0]:]) if (name, size) not in idle]
    return {"memory_idle": memory[0], "memory_after": memory[1], "trace": trace_breakdown.read(trace),
            "log": log, "loaded_modules": loaded, "cpu_ms": times[1] - times[0] if len(times) == 2 else None}


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
    cpu = [line for line in lines if line.startswith("cpu ")]
    cpu_ms = sum(float(item.split("=")[1]) for item in cpu[0].split()[1:]) if cpu else None
    return {"total_ms": float(fields["total_ms"]), "requests": int(fields["requests"]), "kinds": kinds,
            "failures": failures, "peak_working_set": memory[0] if memory else 0, "private": private,
            "cpu_ms": cpu_ms, "sent": [(e["path"], e["body_size"]) for e in entries]}


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


def office_figures(result, line, k):
    """The office line's figures of one size, per card (ms)."""
    n = result["count"]
    replay = result["replay"]
    model = standin.Line(None)
    model.configure(line)
    bits = line["uplink_mbit"] * 1e6
    sent_bytes = sum(size for _, size in replay["sent"])
    kinds = replay["kinds"]

    def replay_ms(categories):
        return sum(ms for kind, (_, ms) in kinds.items()
                   if trace_breakdown.request_category("X " + kind) in categories)

    ocr_count = sum(number for kind, (number, _) in kinds.items()
                    if trace_breakdown.request_category("X " + kind) == "OCR request")
    ocr_each = replay_ms({"OCR request"}) / max(1, ocr_count)
    chain = replay_ms(set(CARD_SERVICE_KINDS)) / n
    uplink = sent_bytes * 8 / bits * 1000 / n if bits else 0.0
    predicted = sum(line["rtt_ms"] + (size * 8 / bits * 1000 if bits else 0) + model.service_time_ms(path)
                    for path, size in replay["sent"]) / n
    return {"plugin": result["trace"].execute_ms / n, "replay": replay["total_ms"] / n, "uplink": uplink,
            "ocr": ocr_each, "chain": chain, "floor": max(uplink, ocr_each / k, chain), "predicted": predicted,
            "cpu_plugin": result["cpu_ms"] / n if result["cpu_ms"] is not None else None,
            "cpu_replay": replay["cpu_ms"] / n if replay["cpu_ms"] is not None else None}


def office_report(office, sweep, sizes, line, plugin_label):
    service = ", ".join("%s %g ms" % ("other requests" if prefix == "*" else prefix, ms)
                        for prefix, ms in line["service_ms"].items())
    k = DEFAULT_OCR_AHEAD
    f = {n: office_figures(office[n], line, k) for n in sizes}

    def cpu(value):
        return "%.1f" % value if value is not None else "-"

    rows = [
        ["plug-in time per card (ms, %s)" % plugin_label] + ["%.1f" % f[n]["plugin"] for n in sizes],
        ["one after another: the replay per card (ms)"] + ["%.1f" % f[n]["replay"] for n in sizes],
        ["uplink floor per card (ms)"] + ["%.1f" % f[n]["uplink"] for n in sizes],
        ["  OCR request in the replay (ms)"] + ["%.1f" % f[n]["ocr"] for n in sizes],
        ["  card service's chain per card in the replay (ms)"] + ["%.1f" % f[n]["chain"] for n in sizes],
        ["pipelined floor, longest of uplink, OCR / %d, chain (ms)" % k] + ["%.1f" % f[n]["floor"] for n in sizes],
        ["ratio plug-in / one after another"] + ["%.2f" % (f[n]["plugin"] / f[n]["replay"]) for n in sizes],
        ["ratio plug-in / pipelined floor"] + ["%.2f" % (f[n]["plugin"] / f[n]["floor"]) for n in sizes],
        ["ratio one after another / uplink floor"] + ["%.2f" % (f[n]["replay"] / f[n]["uplink"]) for n in sizes],
        ["host process CPU per card (ms)"] + [cpu(f[n]["cpu_plugin"]) for n in sizes],
        ["WinINet alone (the replay's) CPU per card (ms)"] + [cpu(f[n]["cpu_replay"]) for n in sizes],
        ["the model's replay per card (ms), to check it"] + ["%.1f" % f[n]["predicted"] for n in sizes],
        ["ratio replay / the model's"] + ["%.2f" % (f[n]["replay"] / f[n]["predicted"]) for n in sizes],
    ]
    for ahead in sorted({a for (_, a) in sweep}):
        rows.append(["plug-in per card with %d OCR requests ahead (ms)" % ahead]
                    + ["%.1f" % (sweep[(n, ahead)]["trace"].execute_ms / n) if (n, ahead) in sweep else "-"
                       for n in sizes])
    table("6. A modelled office line: %g ms round trip, %g Mbit/s uplink shared, %s"
          % (line["rtt_ms"], line["uplink_mbit"], service), rows, sizes)
    note("the model's replay: one round trip, the body over the uplink and the endpoint's service time per"
         " request; the handshakes of the replay's one connection are left out")
    note("CPU: the host process's processor time from before Execute to after it (every thread: the"
         " plug-in, WinINet, thumbnails), and the replay's over its exchanges; per card")


def install_for(wine, build_dir, service, args, config=None):
    return run_demo.install_plugin(wine, build_dir, service, plugin_from=args.plugin_from, config=config)


def run(args):
    arch = run_demo.choose_arch(args)
    build_dir = os.path.join(os.path.abspath(args.build), arch)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    for needed in ("plugin/TessaranService.dll", "hostsim/hostsim.exe", "tools/wirereplay.exe",
                   "tools/thumbtimes.exe"):
        if not os.path.exists(os.path.join(build_dir, needed)):
            raise BenchError("not built: %s (run tools/build.sh)" % os.path.join(build_dir, needed))
    if args.plugin_from:
        args.plugin_from = os.path.join(os.path.abspath(args.plugin_from), arch)
        if not os.path.exists(os.path.join(args.plugin_from, "plugin", "TessaranService.dll")):
            raise BenchError("no plug-in in %s" % os.path.join(args.plugin_from, "plugin"))
    plugin_label = "the plug-in of %s" % args.plugin_from if args.plugin_from else "this build's plug-in"
    sizes = sorted(set(int(n) for n in args.sizes.split(",")))
    sections = set(args.sections.split(","))
    line = standin.Line.validate(dict(OFFICE_LINE, **{k: v for k, v in (
        ("rtt_ms", args.office_rtt_ms), ("uplink_mbit", args.office_uplink_mbit)) if v is not None}))
    if args.office_service:
        line["service_ms"] = standin.line_from_arguments(argparse.Namespace(
            line_rtt_ms=0, line_uplink_mbit=0, line_service=args.office_service))["service_ms"]
    sweep_ahead = [int(a) for a in args.office_ahead.split(",")] if args.office_ahead else []
    print("bench: the %s build, N = %s, %s; load average before: %s"
          % (arch, ", ".join(map(str, sizes)), plugin_label, load()), flush=True)
    images = card_scans.ensure(os.path.join(work, "images"), max(sizes))

    wine = run_demo.Wine(arch, os.path.join(work, "wineprefix-" + arch))
    results = {}
    office = {}
    sweep = {}
    services = []
    try:
        loopback = StandinProcess.start(os.path.join(work, "standin"))
        services.append(loopback)
        # The office line's own stand-in: its sockets take the line from its command line.
        line_service = StandinProcess.start(os.path.join(work, "standin-office"),
                                            extra_args=standin.line_arguments(line))
        services.append(line_service)
        for service in services:
            service.client.reset(accounts=True)
            service.client.add_account(MAIL, TOKEN, limit=100000)
        with run_demo.Display() as display:
            wine.env["DISPLAY"] = display.name
            wine.start()
            run_demo.manage_windows(wine, not (display.private or args.no_window_manager))
            try:
                os.makedirs(os.path.join(work, "settings"), exist_ok=True)
                settings_file.write_settings_file(
                    os.path.join(work, "settings", "MeishiPluginSettings.XML"),
                    [{"guid": JOB, "mail": MAIL, "token": TOKEN, "EvenNumberImageToBackPage": 0,
                      "OCRLangID": 1, "OCRLangBackID": 2}])
                if "loopback" in sections:
                    client = loopback.client
                    dll = install_for(wine, build_dir, loopback, args)
                    for n in sizes:
                        note("N = %d: the run through the host simulator" % n)
                        client.reset()
                        result = run_plugin(wine, build_dir, dll, work, images, n)
                        note("N = %d: the wire floor" % n)
                        result["replay"] = run_replay(wine, build_dir, work, client, loopback.port, n)
                        client.reset()
                        note("N = %d: thumbnails" % n)
                        result["thumbs"] = run_thumbnails(wine, build_dir, work, images, n)
                        results[n] = result
                if "office" in sections:
                    client = line_service.client
                    for n in sizes:
                        dll = install_for(wine, build_dir, line_service, args)
                        note("N = %d: the run on the office line" % n)
                        client.reset()
                        result = run_plugin(wine, build_dir, dll, work, images, n, tag="-office")
                        result["count"] = n
                        note("N = %d: the same requests one after another on the office line" % n)
                        result["replay"] = run_replay(wine, build_dir, work, client, line_service.port, n)
                        office[n] = result
                        for ahead in sweep_ahead:
                            dll = install_for(wine, build_dir, line_service, args, {"ocrRequestsAhead": ahead})
                            note("N = %d: the run on the office line, %d OCR requests ahead" % (n, ahead))
                            client.reset()
                            sweep[(n, ahead)] = run_plugin(wine, build_dir, dll, work, images, n,
                                                           tag="-office-%d" % ahead)
                        client.reset()
            finally:
                wine.stop()
    finally:
        for service in services:
            service.stop()
    if results:
        report(results, sizes, images, arch)
    if office:
        office_report(office, sweep, sizes, line, plugin_label)
    print()
    print("bench: load average after: %s" % load())
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_demo.build_arguments(parser, "bench")
    parser.add_argument("--sizes", default="30,300", help="stack sizes, comma-separated (default: 30,300)")
    parser.add_argument("--sections", default="loopback,office",
                        help="loopback (sections 1-5), office (section 6), or both (the default)")
    parser.add_argument("--plugin-from", metavar="BUILD",
                        help="the plug-in of another build folder of tools/build.sh (an older commit's, say),"
                             " run with this build's tools")
    parser.add_argument("--office-rtt-ms", type=float, help="the office line's round trip (60)")
    parser.add_argument("--office-uplink-mbit", type=float, help="its uplink, shared (20)")
    parser.add_argument("--office-service", action="append", metavar="PREFIX=MS",
                        help="its service times, all of them (default: /CardOCR/=700,"
                             " /service/m_card/=120, /service/m_card/backimage/=30, *=30)")
    parser.add_argument("--office-ahead", metavar="LIST",
                        help="also run the plug-in on the office line with each of these ocrRequestsAhead"
                             " values (e.g. 0,1,2,3,4)")
    args = parser.parse_args()
    args.work = args.work or os.path.join(args.build, "bench")
    try:
        return run(args)
    except (BenchError, StandinError, run_demo.DemoError, RuntimeError) as e:
        print("bench: " + str(e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
