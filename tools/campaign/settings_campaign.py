#!/usr/bin/env python3
"""Bad and odd inputs on the settings file and on Import sources, run
black-box through the real plug-in: the host simulator (hostsim) creates the
DLL's object in a Wine prefix of the campaign's own and calls it as a host
would, and fakeuser.exe types into its dialogs and plays other programs.

Each case prepares the settings file (or an Import source, or a dialog's
input), runs the host's operations, and is judged on:
  crash    the host process ended abnormally or did not answer every call
  hang     one host process run held on longer than HANG_SECONDS
  lost     settings that could be read before are gone or changed, or an
           unreadable file was replaced without a copy kept
  wrong    any other result that differs from the sound one: a failure
           reported as success, settings read as empty, a value stored other
           than as typed or shown, a refusal without its message...
and the script prints a table: each case with its result, then per family the
counts of cases, crashes, hangs, settings lost and wrong results. It prints
figures; it passes or fails nothing (tools/campaign.sh).
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))

import run_demo  # noqa: E402
import settings_file  # noqa: E402
import wine_env  # noqa: E402

HANG_SECONDS = 5.0       # longer than this holds the host, for a user
KILL_SECONDS = 90        # a run still going then is killed
LIMIT = 2 * 1024 * 1024  # the store's largest file

A = "{6B0C1F52-3D2A-4E59-9C3B-00000000000A}"
B = "{6B0C1F52-3D2A-4E59-9C3B-00000000000B}"
MAIL_A = "a@example.jp"
MAIL_B = "b@example.jp"
SETTINGS_DIALOG = "詳細設定"
LOGON_DIALOG = "ログオン"
RESULT_DIALOG = "送信結果"
CONFIRM_DIALOG = "確認"
BAD_MAIL = "メールアドレスの形式が正しくありません。"
BAD_TOKEN = "アプリケーショントークンの形式が正しくありません。"
NOT_REGISTERED = "Email : Not registered"
NONE = object()  # a job the file does not hold, or holds without an account: "Not registered"
FAIL = "fail"    # a job the file holds that cannot be read: the summary must fail
CALL = re.compile(r"^(\w+): ([0-9A-F]{8})(?: (.*))?$")


# ---- the settings file's texts ----

def item_xml(guid, mail, token="tok", username="", even="0", ocr="1", back="2", enciphered=None):
    """One Item as the plug-in writes it; texts go in as given (already escaped)."""
    cipher = settings_file.encipher_token(token) if enciphered is None else enciphered
    return ("<Item><Guid>%s</Guid><MailAddress>%s</MailAddress><Username>%s</Username><AppToken>%s</AppToken>"
            "<EvenNumberImageToBackPage>%s</EvenNumberImageToBackPage><OCRLangID>%s</OCRLangID>"
            "<OCRLangBackID>%s</OCRLangBackID></Item>" % (guid, mail, username, cipher, even, ocr, back))


def document(body, declaration='<?xml version="1.0" encoding="UTF-8"?>\r\n'):
    return declaration + "<PluginItem>" + body + "</PluginItem>\r\n"


STANDARD = document(item_xml(A, MAIL_A) + item_xml(B, MAIL_B))


def utf8(text):
    return text.encode("utf-8")


# ---- running Windows programs ----

class Run:
    """One host process: its exit code, output lines, parsed calls, time."""

    def __init__(self, expected, code, output, seconds, killed):
        self.expected = expected  # the number of calls it was given
        self.code = code
        self.output = output
        self.seconds = seconds
        self.killed = killed
        self.calls = []
        for line in output:
            m = CALL.match(line)
            if m:
                value = m.group(3)
                if value and value.startswith('"'):
                    try:
                        value = json.loads(value)
                    except ValueError:
                        pass
                self.calls.append((m.group(1), int(m.group(2), 16), value))

    @property
    def crashed(self):
        # 0: every call succeeded, 1: one failed; anything else, or a call
        # without its answer line, is an abnormal end.
        return not self.killed and (self.code not in (0, 1) or len(self.calls) < self.expected)

    @property
    def hung(self):
        return self.killed or self.seconds > HANG_SECONDS


class Bench:
    """The campaign's prefix, its host installation and the plug-in's files."""

    def __init__(self, args):
        self.build = os.path.join(args.build, args.arch)
        self.work = args.work
        self.wine = run_demo.Wine(args.arch, os.path.join(self.work, "wineprefix-" + args.arch))
        self.host_dir = os.path.join(self.work, "host")
        self.plugin_dir = os.path.join(self.work, "plugin")
        self.scratch = os.path.join(self.work, "scratch")
        self.log_dir = os.path.join(self.work, "logs")
        self.dll = args.dll or os.path.join(self.build, "plugin", "TessaranService.dll")
        self.runs = []
        self.log_name = "setup"  # each case's log lines go to logs/NNN.log

    def install(self):
        for d in (self.host_dir, self.plugin_dir, self.scratch, self.log_dir):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        shutil.copy2(os.path.join(self.build, "hostsim", "hostsim.exe"), self.host_dir)
        shutil.copy2(os.path.join(self.build, "makerlibs", "zuminfolog.dll"), self.host_dir)
        shutil.copy2(os.path.join(self.build, "tools", "fakeuser.exe"), self.host_dir)
        shutil.copy2(self.dll, os.path.join(self.plugin_dir, "TessaranService.dll"))
        shutil.copy2(os.path.join(self.build, "plugin", "Tessaran.loc"), self.plugin_dir)
        # Nothing listens on port 9 of loopback: a run that gets as far as
        # the logon fails at once.
        with open(os.path.join(self.plugin_dir, "AppConfig.XML"), "w", encoding="utf-8", newline="") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\r\n<AppConfig><version>1.0.0.1</version>'
                    "<cardServiceHost>127.0.0.1:9</cardServiceHost><ocrServiceHost>127.0.0.1:9</ocrServiceHost>"
                    "</AppConfig>\r\n")
        self.wine.start()
        # The first program after the prefix's start-up waits for Wine's own
        # services; that wait is no cost of the plug-in.
        self.host("connect")
        found = glob.glob(os.path.join(self.wine.prefix, "drive_c", "users", "*", "AppData", "Roaming",
                                       "Orvell Electronics", "TessaranService", "MeishiPluginSettings.XML"))
        if not found:
            raise SystemExit("campaign: the plug-in made no settings file; see " + self.log_dir)
        self.settings = found[0]
        self.folder = os.path.dirname(self.settings)
        self.image = os.path.join(self.scratch, "card.jpg")
        with open(self.image, "wb") as f:
            f.write(b"\xff\xd8\xff\xe0not really a picture\xff\xd9")

    def win(self, path):
        return run_demo.Wine.windows_path(path)

    def host(self, *commands, log=None):
        """One host process running the commands in order on one object."""
        args = [os.path.join(self.host_dir, "hostsim.exe"), "--dll",
                self.win(os.path.join(self.plugin_dir, "TessaranService.dll"))] + list(commands)
        env = dict(self.wine.env)
        env["ZUMINFOLOG_FILE"] = self.win(os.path.join(self.log_dir, (log or self.log_name) + ".log"))
        begin = time.perf_counter()
        proc = subprocess.Popen(wine_env.command(env, *args), env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        lines = []
        # Lines end at LF alone: U+0085 and U+2028 in a value are no line ends.
        reader = threading.Thread(target=lambda: lines.extend(
            line.rstrip("\r") for line in proc.stdout.read().decode("utf-8", "replace").split("\n") if line),
            daemon=True)
        reader.start()
        killed = False
        try:
            proc.wait(KILL_SECONDS)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            killed = True
        seconds = time.perf_counter() - begin
        reader.join(5)
        expected = sum(1 for c in commands if c.lower() in OPERATIONS)
        run = Run(expected, proc.returncode, lines, seconds, killed)
        self.runs.append(run)
        return run

    def user(self, *steps):
        """fakeuser.exe started beside the host; .finish() gives its lines."""
        return User(self, list(steps))


OPERATIONS = {"connect", "createid", "copyid", "deleteid", "summary", "showsetting", "execute", "import", "export"}


class User:
    def __init__(self, bench, steps):
        args = [os.path.join(bench.host_dir, "fakeuser.exe"), "--timeout", "20"] + steps
        self.proc = subprocess.Popen(wine_env.command(bench.wine.env, *args), env=bench.wine.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.lines = []
        self.holding = threading.Event()

        def read():
            for raw in self.proc.stdout:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                self.lines.append(line)
                if line == "holding" or line.startswith("cannot open"):
                    self.holding.set()
        self.reader = threading.Thread(target=read, daemon=True)
        self.reader.start()

    def finish(self, grace=5):
        """Its lines, once it ended; a step still waiting for a dialog that
        can no longer come is ended."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(grace)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(5)
        return list(self.lines)


def decode_shown(line):
    """("MAIL", "TOKEN") of a fakeuser "shown:" line."""
    rest = line[len("shown: "):]
    decoder = json.JSONDecoder()
    mail, end = decoder.raw_decode(rest)
    token, _ = decoder.raw_decode(rest[end:].lstrip())
    return mail, token


# ---- one case ----

class Outcome:
    def __init__(self):
        self.crash = False
        self.hang = False
        self.lost = []
        self.wrong = []
        self.result = ""
        self.seconds = 0.0

    def add_runs(self, runs):
        for run in runs:
            self.crash |= run.crashed
            self.hang |= run.hung
            self.seconds = max(self.seconds, run.seconds)


class Case:
    def __init__(self, family, name, body):
        self.family = family
        self.name = name
        self.body = body


class Judge:
    """What one case saw, and what was wrong with it."""

    def __init__(self, bench, outcome):
        self.bench = bench
        self.outcome = outcome
        self.results = []

    def host(self, *commands, log=None):
        run = self.bench.host(*commands, log=log)
        for name, hr, value in run.calls:
            self.results.append("%s %08X" % (name, hr) + (" " + short(value) if isinstance(value, str) else ""))
        return run

    def wrong(self, text):
        self.outcome.wrong.append(text)

    def lost(self, text):
        self.outcome.lost.append(text)

    def expect_ok(self, run, what):
        for name, hr, _ in run.calls:
            if hr != 0:
                self.wrong("%s failed with %08X" % (what or name, hr))

    def expect_failed(self, run, what):
        for name, hr, value in run.calls:
            if hr == 0:
                self.wrong("%s succeeded%s" % (what or name, (": " + short(value)) if isinstance(value, str) else ""))


def short(value, width=48):
    text = json.dumps(value, ensure_ascii=True)[1:-1] if isinstance(value, str) else str(value)
    return text if len(text) <= width else text[:width - 3] + "..."


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (IsADirectoryError, FileNotFoundError, PermissionError):
        return None


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def items_of(data):
    """{Guid: [texts of its children]} as a strict reader of our own sees the
    file; None when it does not read it."""
    if data is None:
        return None
    try:
        root = ET.fromstring(data)
    except ET.ParseError:
        return None
    if root.tag != "PluginItem":
        return None
    # Texts as the engine gives them: without the white space around them.
    items = {}
    for item in root:
        guid = item.find("Guid")
        if guid is not None and (guid.text or "").strip() not in items:
            items[(guid.text or "").strip()] = [(child.tag, "".join(child.itertext()).strip()) for child in item]
    return items


def reset_folder(bench):
    """The product folder back to a plain folder holding nothing of a case."""
    for path in glob.glob(os.path.join(bench.folder, "*")):
        if os.path.isdir(path) and not os.path.islink(path):
            os.chmod(path, 0o755)
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.chmod(path, 0o644)
            os.remove(path)
    # Wine keeps hidden and system as an extended attribute of the file.
    try:
        os.removexattr(bench.folder, "user.DOSATTRIB")
    except OSError:
        pass


# ---- the families ----

def file_case(family, name, data, readable, mails=MAIL_A, b_mails=NONE, full=False, create=0, copy=0):
    """A settings file prepared byte for byte, then the host's job operations.

    readable: the store must read it: summaries give mails (A's, B's; NONE
    for a job the file does not hold, which reads "Not registered"; FAIL
    for a job that the file holds but that cannot be read), CreateID and
    CopyID succeed (CopyID fails for a job that cannot be read) and every job
    keeps its settings. Not readable: every operation fails, none reads as
    empty, and the file stays byte for byte. full: the file is so close to
    the store's limit that a job added must be refused as too large, the
    file unchanged. create and copy: the HRESULT with which CreateID and
    CopyID of A must fail, the file unchanged (0: they succeed). readable
    None: either is sound (a file within what XML allows that the store may
    refuse by its own limits), judged by what the first summary shows. Each
    operation runs in a host process of its own, so that each is timed
    alone."""
    def body(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, data)
        read = readable
        if read is None:
            probe = judge.host("summary", A)
            read = bool(probe.calls) and probe.calls[0][1] == 0
            judge.results.append("(%s)" % ("read" if read else "refused"))
        if not read:
            runs = [judge.host("summary", A), judge.host("summary", B), judge.host("createid"),
                    judge.host("copyid", A), judge.host("deleteid", A), judge.host("showsetting", A),
                    judge.host("execute", A, bench.win(bench.image))]
            for run in runs:
                judge.expect_failed(run, None)
            after = read_bytes(bench.settings)
            if after != data:
                kept = [p for p in glob.glob(os.path.join(bench.folder, "*")) if read_bytes(p) == data]
                if not kept:
                    judge.lost("the unreadable file was replaced and no copy kept")
            return
        expected = {A: mails, B: b_mails}
        check_summaries(judge, expected, "before")
        # What the dialog shows for A is what the summary says.
        if expected[A] not in (NONE, FAIL):
            user = bench.user("show", SETTINGS_DIALOG)
            run = judge.host("showsetting", A)
            lines = user.finish()
            judge.expect_ok(run, "ShowSetting")
            shown = [decode_shown(l) for l in lines if l.startswith("shown: ")]
            if not shown:
                judge.wrong("the settings dialog did not show")
            elif shown[0][0] != expected[A]:
                judge.wrong("the dialog shows %s" % short(shown[0][0]))
        before = items_of(read_bytes(bench.settings))
        for operation, refusal in ((["createid"], create), (["copyid", A], copy)):
            data_before = read_bytes(bench.settings)
            run = judge.host(*operation)
            if not run.calls:
                continue
            name, hr, new_id = run.calls[0]
            cannot_read = operation[0] == "copyid" and expected[A] == FAIL
            if hr == 0:
                if cannot_read:
                    judge.wrong("CopyID of a job that cannot be read succeeded")
                elif full or refusal:
                    judge.wrong("%s succeeded where it must be refused" % name)
                judge.expect_ok(judge.host("deleteid", new_id), "DeleteID of the new job")
                continue
            if not (cannot_read or (full and hr == 0x800700DF) or hr == refusal):
                judge.wrong("%s failed with %08X" % (name, hr))
            if read_bytes(bench.settings) != data_before:
                judge.lost("%s refused changed the file" % name)
        check_summaries(judge, expected, "after")
        check_items_kept(judge, before, read_bytes(bench.settings))
    return Case(family, name, body)


def job_name(guid):
    return "A" if guid == A else "B" if guid == B else guid


def check_summaries(judge, expected, when):
    for guid in (A, B):
        want = expected[guid]
        run = judge.host("summary", guid)
        if not run.calls:
            continue
        _, hr, value = run.calls[0]
        if want == FAIL:
            if hr == 0:
                judge.wrong("summary %s %s reads %s for settings that cannot be read" % (job_name(guid), when,
                                                                                         short(value)))
        elif want is NONE:
            if hr != 0 or value != NOT_REGISTERED:
                judge.wrong("summary %s %s: %08X %s" % (job_name(guid), when, hr, short(value)))
        elif hr != 0 or value != "Email : " + want:
            problem = "summary %s %s: %08X %s" % (job_name(guid), when, hr, short(value))
            if when == "after" and judge.outcome.wrong == []:
                judge.lost(problem)
            else:
                judge.wrong(problem)


def check_items_kept(judge, before, after_bytes):
    """Every item that a strict reader saw before is there after, unchanged."""
    after = items_of(after_bytes)
    if before is None:
        return
    if after is None:
        judge.lost("the file no longer reads")
        return
    for guid, children in before.items():
        if guid in after and after[guid] != children:
            judge.lost("item %s changed" % short(guid, 12))
        elif guid not in after:
            judge.lost("item %s gone" % short(guid, 12))


def encoding_cases():
    f = "encoding"
    body = item_xml(A, MAIL_A) + item_xml(B, MAIL_B)
    xml = document(body)
    no_decl = "<PluginItem>" + body + "</PluginItem>"
    cases = [
        file_case(f, "UTF-8 with BOM", b"\xef\xbb\xbf" + utf8(xml), True, b_mails=MAIL_B),
        file_case(f, "UTF-8 without declaration", utf8(no_decl), True, b_mails=MAIL_B),
        file_case(f, "UTF-16LE with BOM, declared UTF-16", b"\xff\xfe" + document(body, '<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le"), True, b_mails=MAIL_B),
        file_case(f, "UTF-16BE with BOM, declared UTF-16", b"\xfe\xff" + document(body, '<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-be"), True, b_mails=MAIL_B),
        file_case(f, "UTF-16LE with BOM, no declaration", b"\xff\xfe" + no_decl.encode("utf-16-le"), True, b_mails=MAIL_B),
        file_case(f, "UTF-16LE without BOM, declared UTF-16", document(body, '<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le"), True, b_mails=MAIL_B),
        file_case(f, "UTF-16LE with BOM, declared UTF-8", b"\xff\xfe" + xml.encode("utf-16-le"), True, b_mails=MAIL_B),
        file_case(f, "UTF-8 bytes, declared UTF-16", utf8(document(body, '<?xml version="1.0" encoding="UTF-16"?>')), False),
        file_case(f, "UTF-8 with BOM, declared UTF-16", b"\xef\xbb\xbf" + utf8(document(body, '<?xml version="1.0" encoding="UTF-16"?>')), False),
        file_case(f, "UTF-32LE with BOM", b"\xff\xfe\x00\x00" + xml.encode("utf-32-le"), False),
        file_case(f, "UTF-32BE with BOM", b"\x00\x00\xfe\xff" + xml.encode("utf-32-be"), False),
        file_case(f, "declared ISO-8859-1, Latin-1 bytes", document(item_xml(A, "caf\xe9@example.jp") + item_xml(B, MAIL_B), '<?xml version="1.0" encoding="ISO-8859-1"?>').encode("latin-1"), True, mails="caf\xe9@example.jp", b_mails=MAIL_B),
        file_case(f, "declared ISO-8859-1, UTF-8 bytes", utf8(document(item_xml(A, "山田@example.jp") + item_xml(B, MAIL_B), '<?xml version="1.0" encoding="ISO-8859-1"?>')), True, mails="å±±ç\x94°@example.jp", b_mails=MAIL_B),
        file_case(f, "declared UTF-8, Latin-1 bytes", document(item_xml(A, "caf\xe9@example.jp") + item_xml(B, MAIL_B)).encode("latin-1"), False),
        file_case(f, "declared Shift_JIS", document(item_xml(A, "山田@example.jp") + item_xml(B, MAIL_B), '<?xml version="1.0" encoding="Shift_JIS"?>').encode("shift_jis"), False),
        file_case(f, "declared unknown encoding", utf8(document(body, '<?xml version="1.0" encoding="x-no-such"?>')), False),
        file_case(f, "declaration after a BOM and a blank line", b"\xef\xbb\xbf\r\n" + utf8(xml), False),
        file_case(f, "declaration version 1.1", utf8(document(body, '<?xml version="1.1" encoding="UTF-8"?>')), True, b_mails=MAIL_B),
        file_case(f, "version 1.1 with &#1; in a mail", utf8(document(item_xml(A, "a&#1;@example.jp") + item_xml(B, MAIL_B), '<?xml version="1.1" encoding="UTF-8"?>')), False),
        file_case(f, "invalid UTF-8: lone continuation byte", utf8(document(item_xml(A, "a@example.jp") + item_xml(B, "b")))[:-40] + b"\x80" + utf8(document(""))[-20:], False),
        file_case(f, "invalid UTF-8 in a mail: C3 28", document(item_xml(A, "A_PLACE") + item_xml(B, MAIL_B)).encode().replace(b"A_PLACE", b"a\xc3(@example.jp"), False),
        file_case(f, "invalid UTF-8: overlong slash C0 AF", document(item_xml(A, "A_PLACE") + item_xml(B, MAIL_B)).encode().replace(b"A_PLACE", b"a\xc0\xaf@example.jp"), False),
        file_case(f, "invalid UTF-8: encoded surrogate ED A0 80", document(item_xml(A, "A_PLACE") + item_xml(B, MAIL_B)).encode().replace(b"A_PLACE", b"a\xed\xa0\x80@example.jp"), False),
        file_case(f, "invalid UTF-8: F5 lead byte", document(item_xml(A, "A_PLACE") + item_xml(B, MAIL_B)).encode().replace(b"A_PLACE", b"a\xf5\x80\x80\x80@example.jp"), False),
        file_case(f, "invalid UTF-8: cut sequence at the end", utf8(xml) + b"\xe3\x81", False),
        file_case(f, "UTF-8 of U+FFFF in a mail, as a dialog once saved it", utf8(document(item_xml(A, "a\uffff@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "UTF-8 of U+FFFE in a mail", utf8(document(item_xml(A, "a\ufffe@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "&#xFFFF; in a mail", utf8(document(item_xml(A, "a&#xFFFF;@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "&#xD800; in a mail", utf8(document(item_xml(A, "a&#xD800;@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "&#1; in a mail", utf8(document(item_xml(A, "a&#1;@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "&#0; in a user name", utf8(document(item_xml(A, MAIL_A, username="&#0;") + item_xml(B, MAIL_B))), False),
        file_case(f, "raw control byte 01 in a mail", utf8(document(item_xml(A, "a\x01@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "NUL byte inside a mail", utf8(document(item_xml(A, "a\x00@example.jp") + item_xml(B, MAIL_B))), False),
        file_case(f, "NUL byte first", b"\x00" + utf8(xml), False),
        file_case(f, "NUL bytes after the root", utf8(xml) + b"\x00\x00\x00", True, b_mails=MAIL_B),
        file_case(f, "NUL bytes in place of the file's second half", utf8(xml)[:200] + b"\x00" * 300, False),
        file_case(f, "UTF-16 of a lone surrogate in a mail", b"\xff\xfe" + document(item_xml(A, "A_PLACE") + item_xml(B, MAIL_B), '<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le").replace("A_PLACE".encode("utf-16-le"), b"a\x00\x00\xd8@\x00"), False),
        file_case(f, "&#13;&#10; in a mail (escaped CR LF)", utf8(document(item_xml(A, "a@b&#13;&#10;c") + item_xml(B, MAIL_B))), True, mails="a@b\r\nc", b_mails=MAIL_B),
        file_case(f, "tab in a mail", utf8(document(item_xml(A, "a@b\tc") + item_xml(B, MAIL_B))), True, mails="a@b\tc", b_mails=MAIL_B),
        file_case(f, "emoji (a surrogate pair) in a mail", utf8(document(item_xml(A, "a\U0001F600@example.jp") + item_xml(B, MAIL_B))), True, mails="a\U0001F600@example.jp", b_mails=MAIL_B),
        file_case(f, "&#x1F600; in a mail", utf8(document(item_xml(A, "a&#x1F600;@example.jp") + item_xml(B, MAIL_B))), True, mails="a\U0001F600@example.jp", b_mails=MAIL_B),
        file_case(f, "C1 control U+0085 in a mail", utf8(document(item_xml(A, "a\x85@example.jp") + item_xml(B, MAIL_B))), True, mails="a\x85@example.jp", b_mails=MAIL_B),
        file_case(f, "DEL in a mail", utf8(document(item_xml(A, "a\x7f@example.jp") + item_xml(B, MAIL_B))), True, mails="a\x7f@example.jp", b_mails=MAIL_B),
        file_case(f, "CDATA mail", utf8(document(item_xml(A, "<![CDATA[x<y>@example.jp]]>") + item_xml(B, MAIL_B))), True, mails="x<y>@example.jp", b_mails=MAIL_B),
        file_case(f, "undeclared entity in a mail", utf8(document(item_xml(A, "&mail;") + item_xml(B, MAIL_B))), False),
        file_case(f, "DTD with an entity", utf8('<?xml version="1.0"?><!DOCTYPE PluginItem [<!ENTITY m "e@example.jp">]>' + "<PluginItem>" + item_xml(A, "&m;") + item_xml(B, MAIL_B) + "</PluginItem>"), False),
        file_case(f, "DTD after a comment, in UTF-16", b"\xff\xfe" + ('<!-- c --><!DOCTYPE PluginItem SYSTEM "x.dtd"><PluginItem>' + item_xml(A, MAIL_A) + "</PluginItem>").encode("utf-16-le"), False),
        file_case(f, "comment and PI before the root", utf8('<?xml version="1.0"?><!-- hand --><?app x?>' + "<PluginItem>" + body + "</PluginItem>"), True, b_mails=MAIL_B),
        file_case(f, "two declarations", utf8('<?xml version="1.0"?>' + xml), False),
    ]
    return cases


def size_cases():
    f = "size"
    cases = []

    def many(count, username_length=0, mail_b_last=True):
        items = [item_xml("{6B0C1F52-3D2A-4E59-9C3B-%012X}" % (0x100 + i), "m%d@example.jp" % i,
                          username="u" * username_length) for i in range(count)]
        return utf8(document(item_xml(A, MAIL_A) + "".join(items) + (item_xml(B, MAIL_B) if mail_b_last else "")))

    cases.append(file_case(f, "1,000 jobs with accounts (about 450 KB)", many(1000), True, b_mails=MAIL_B))
    cases.append(file_case(f, "4,500 jobs with accounts (just under the limit)", many(4500), True, b_mails=MAIL_B))
    # Over the store's limit: refused, or (by a store without one) read whole.
    cases.append(file_case(f, "9,000 jobs with accounts (twice the limit)", many(9000), None, b_mails=MAIL_B))
    cases.append(file_case(f, "one user name of 1.9 MB", utf8(document(item_xml(A, MAIL_A, username="u" * 1900000) + item_xml(B, MAIL_B))), True, b_mails=MAIL_B, copy=0x800700DF))
    cases.append(file_case(f, "a mail of 1 MB", utf8(document(item_xml(A, "a@" + "e" * 1000000) + item_xml(B, MAIL_B))), True, mails="a@" + "e" * 1000000, b_mails=MAIL_B))
    small = "<Item><Guid>{6B0C1F52-3D2A-4E59-9C3B-000000000000}</Guid></Item>"
    cases.append(file_case(f, "31,000 tiny items, the job last (2 MB)", utf8(document(small * 31000 + item_xml(A, MAIL_A) + item_xml(B, MAIL_B))), True, b_mails=MAIL_B))
    cases.append(file_case(f, "100,000 empty-Guid items, the job last", utf8(document("<Item><Guid/></Item>" * 100000 + item_xml(A, MAIL_A) + item_xml(B, MAIL_B))), True, b_mails=MAIL_B))
    cases.append(file_case(f, "an element name of 1 MB", utf8(document(item_xml(A, MAIL_A, username="<" + "n" * 1000000 + "/>") + item_xml(B, MAIL_B))), False))
    cases.append(file_case(f, "100,000 different element names", utf8(document(item_xml(A, MAIL_A, username="".join("<e%d/>" % i for i in range(100000))) + item_xml(B, MAIL_B))), True, b_mails=MAIL_B))
    cases.append(file_case(f, "an attribute value of 1 MB", utf8(document(item_xml(A, MAIL_A).replace("<Item>", "<Item a='" + "v" * 1000000 + "'>") + item_xml(B, MAIL_B))), True, b_mails=MAIL_B))
    cases.append(file_case(f, "256 attributes on an item", utf8(document(item_xml(A, MAIL_A).replace("<Item>", "<Item " + " ".join("a%d='1'" % i for i in range(256)) + ">", 1) + item_xml(B, MAIL_B))), True, b_mails=MAIL_B))
    cases.append(file_case(f, "257 attributes on an item", utf8(document(item_xml(A, MAIL_A).replace("<Item>", "<Item " + " ".join("a%d='1'" % i for i in range(257)) + ">", 1) + item_xml(B, MAIL_B))), None, b_mails=MAIL_B))
    cases.append(file_case(f, "100,000 namespace declarations on the root", utf8('<?xml version="1.0"?><PluginItem ' + " ".join("xmlns:p%d='u%d'" % (i, i) for i in range(100000)) + ">" + item_xml(A, MAIL_A) + "</PluginItem>"), None))
    cases.append(file_case(f, "1,000 items with 200 attributes each", utf8(document(item_xml(A, MAIL_A) + "".join("<Item " + " ".join("a%d='1'" % i for i in range(200)) + "><Guid>g</Guid></Item>" for _ in range(1000)) + item_xml(B, MAIL_B))), True, b_mails=MAIL_B))
    # Exactly at the limit and one byte over: the user name is made to fit.
    head = utf8(document(item_xml(A, MAIL_A, username="USER") + item_xml(B, MAIL_B)))
    fill = LIMIT - (len(head) - 4)
    cases.append(file_case(f, "exactly the limit (2 MiB)", head.replace(b"USER", b"u" * fill), True, b_mails=MAIL_B, full=True))
    cases.append(file_case(f, "the limit and one byte", head.replace(b"USER", b"u" * (fill + 1)), None, b_mails=MAIL_B))
    cases.append(file_case(f, "2,000 jobs with 25,000-character user names (50 MB)", many(2000, 25000), False))
    cases.append(file_case(f, "16 MB of white space after the root", utf8(STANDARD) + b" " * (16 << 20), None, b_mails=MAIL_B))
    cases.append(file_case(f, "elements nested 100,000 deep in a user name", utf8(document(item_xml(A, MAIL_A, username="<x>" * 100000 + "</x>" * 100000) + item_xml(B, MAIL_B))), False))
    cases.append(file_case(f, "100,000 attributes on an item", utf8(document(item_xml(A, MAIL_A).replace("<Item>", "<Item " + " ".join("a%d='1'" % i for i in range(100000)) + ">", 1) + item_xml(B, MAIL_B))), None, b_mails=MAIL_B))
    cases.append(file_case(f, "400,000 &amp; in a mail", utf8(document(item_xml(A, "&amp;" * 400000 + "@x") + item_xml(B, MAIL_B))), True, mails="&" * 400000 + "@x", b_mails=MAIL_B, copy=0x800700DF))
    cases.append(sparse_case(f, "a 2 GB file of zeros (sparse)", 2 << 30))

    def import_big(name, data, accepted):
        """accepted None: refused, or imported and then read like any
        settings (the summary after it is timed like every call)."""
        def body(bench, judge):
            reset_folder(bench)
            write_bytes(bench.settings, utf8(STANDARD))
            source = fresh_source(bench)
            write_bytes(os.path.join(source, "MeishiPluginSettings.XML"), data)
            run = judge.host("import", bench.win(source))
            imported = bool(run.calls) and run.calls[0][1] == 0
            if accepted is not None:
                (judge.expect_ok if accepted else judge.expect_failed)(run, "Import")
            if imported:
                judge.expect_ok(judge.host("summary", A), "the summary after the import")
            elif read_bytes(bench.settings) != utf8(STANDARD):
                judge.lost("a refused import changed the settings")
        return Case("size", name, body)
    cases.append(import_big("Import of 2,000 jobs with 25,000-character user names (50 MB)", many(2000, 25000), None))
    cases.append(import_big("Import of the limit and one byte", head.replace(b"USER", b"u" * (fill + 1)), None))
    cases.append(import_big("Import of 4,500 jobs", many(4500), True))
    cases.append(import_big("Import of 9,000 jobs", many(9000), None))

    def export_big(name):
        def body(bench, judge):
            reset_folder(bench)
            big = many(2000, 25000)
            write_bytes(bench.settings, big)
            target = fresh_source(bench)
            write_bytes(os.path.join(target, "MeishiPluginSettings.XML"), utf8(STANDARD))
            run = judge.host("export", bench.win(target))
            # Refused, the earlier export kept; or (by a store without a
            # limit) a whole copy.
            exported = read_bytes(os.path.join(target, "MeishiPluginSettings.XML"))
            if exported not in (utf8(STANDARD), big) or (exported == big) != (bool(run.calls) and run.calls[0][1] == 0):
                judge.wrong("Export: %s, and the folder holds %s" % (run.calls[:1], "the copy" if exported == big else "other bytes"))
            if read_bytes(bench.settings) != big:
                judge.lost("the settings file changed")
        return Case("size", name, body)
    cases.append(export_big("Export of a 50 MB settings file over an earlier export"))
    return cases


def sparse_case(family, name, size):
    def body(bench, judge):
        reset_folder(bench)
        with open(bench.settings, "wb") as f:
            f.truncate(size)
        for run in (judge.host("summary", A), judge.host("createid")):
            judge.expect_failed(run, None)
        if os.path.getsize(bench.settings) != size:
            judge.lost("the file was replaced")
    return Case(family, name, body)


def fresh_source(bench):
    path = os.path.join(bench.scratch, "source")
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def item_cases():
    f = "items"
    good_b = item_xml(B, MAIL_B)
    cases = [
        file_case(f, "no items", utf8(document("")), True, mails=NONE),
        file_case(f, "empty root element", utf8('<?xml version="1.0"?><PluginItem/>'), True, mails=NONE),
        file_case(f, "A twice, different mails", utf8(document(item_xml(A, MAIL_A) + item_xml(A, "second@example.jp") + good_b)), True, b_mails=MAIL_B),
        file_case(f, "Guid in lower case", utf8(document(item_xml(A.lower(), MAIL_A) + good_b)), True, mails=NONE, b_mails=MAIL_B),
        file_case(f, "Guid without braces", utf8(document(item_xml(A[1:-1], MAIL_A) + good_b)), True, mails=NONE, b_mails=MAIL_B),
        # The engine's text of an element leaves out the white space around it.
        file_case(f, "Guid with spaces around", utf8(document(item_xml(" " + A + " ", MAIL_A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "Guid not a GUID", utf8(document(item_xml("not-a-guid", "x@example.jp") + item_xml(A, MAIL_A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "empty Guid before A", utf8(document(item_xml("", "x@example.jp") + item_xml(A, MAIL_A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "Guid of 100,000 characters", utf8(document(item_xml("{" + "0" * 100000 + "}", "x@example.jp") + item_xml(A, MAIL_A) + good_b)), True, b_mails=MAIL_B),
        # Every job behind an item without a Guid is out of reach: reading it
        # fails, and so does adding one there.
        file_case(f, "item without Guid before A", utf8(document("<Item><MailAddress>x</MailAddress></Item>" + item_xml(A, MAIL_A) + good_b)), True, mails=FAIL, b_mails=FAIL, create=0x80004003),
        file_case(f, "item without Guid after A", utf8(document(item_xml(A, MAIL_A) + "<Item><MailAddress>x</MailAddress></Item>" + good_b)), True, b_mails=FAIL, create=0x80004003, copy=0x80004003),
        file_case(f, "A without MailAddress", utf8(document(item_xml(A, MAIL_A).replace("<MailAddress>%s</MailAddress>" % MAIL_A, "") + good_b)), True, mails=FAIL, b_mails=MAIL_B),
        file_case(f, "A without AppToken", utf8(document(re.sub("<AppToken>[^<]*</AppToken>", "", item_xml(A, MAIL_A)) + good_b)), True, mails=FAIL, b_mails=MAIL_B),
        file_case(f, "A without OCRLangBackID", utf8(document(re.sub("<OCRLangBackID>[^<]*</OCRLangBackID>", "", item_xml(A, MAIL_A)) + good_b)), True, mails=FAIL, b_mails=MAIL_B),
        file_case(f, "A with empty elements written short", utf8(document("<Item><Guid>%s</Guid><MailAddress/><Username/><AppToken/><EvenNumberImageToBackPage/><OCRLangID/><OCRLangBackID/></Item>" % A + good_b)), True, mails=NONE, b_mails=MAIL_B),
        file_case(f, "A's elements in another order", utf8(document("<Item><OCRLangBackID>2</OCRLangBackID><MailAddress>%s</MailAddress><Guid>%s</Guid><Username/><AppToken/><EvenNumberImageToBackPage>0</EvenNumberImageToBackPage><OCRLangID>1</OCRLangID></Item>" % (MAIL_A, A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "A with an extra element", utf8(document(item_xml(A, MAIL_A).replace("</Item>", "<Extra>x</Extra></Item>") + good_b)), True, b_mails=MAIL_B),
        file_case(f, "A's MailAddress twice", utf8(document(item_xml(A, MAIL_A).replace("<Username>", "<MailAddress>second</MailAddress><Username>") + good_b)), True, b_mails=MAIL_B),
        file_case(f, "A's mail with a child element", utf8(document(item_xml(A, "a@<b>example</b>.jp") + good_b)), True, mails="a@example.jp", b_mails=MAIL_B),
        file_case(f, "A with attributes", utf8(document(item_xml(A, MAIL_A).replace("<Item>", "<Item id='1' x='y'>") + good_b)), True, b_mails=MAIL_B),
        file_case(f, "another element before A", utf8(document("<Other><Guid>x</Guid></Other>" + item_xml(A, MAIL_A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "comment inside the root before A", utf8(document("<!-- note -->" + item_xml(A, MAIL_A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "processing instruction inside the root before A", utf8(document("<?app x?>" + item_xml(A, MAIL_A) + good_b)), True, b_mails=MAIL_B),
        file_case(f, "comment inside the root after B", utf8(document(item_xml(A, MAIL_A) + good_b + "<!-- note -->")), True, b_mails=MAIL_B),
        file_case(f, "text inside the root before A", utf8(document("stray text" + item_xml(A, MAIL_A) + good_b)), True, mails=FAIL, b_mails=FAIL, create=0x80004003),
        file_case(f, "indented with tabs and CR LF", utf8(document("\r\n\t" + item_xml(A, MAIL_A).replace("><", ">\r\n\t\t<") + "\r\n\t" + good_b + "\r\n")), True, b_mails=MAIL_B),
        file_case(f, "root in lower case", utf8('<?xml version="1.0"?><pluginitem>' + item_xml(A, MAIL_A) + "</pluginitem>"), False),
        file_case(f, "another root element", utf8('<?xml version="1.0"?><Settings>' + item_xml(A, MAIL_A) + "</Settings>"), False),
        file_case(f, "root with a namespace", utf8('<?xml version="1.0"?><PluginItem xmlns="urn:x">' + item_xml(A, MAIL_A) + good_b + "</PluginItem>"), True, b_mails=MAIL_B),
        file_case(f, "root with a prefix", utf8('<?xml version="1.0"?><p:PluginItem xmlns:p="urn:x">' + item_xml(A, MAIL_A) + "</p:PluginItem>"), False),
        file_case(f, "the root's end tag missing", utf8('<?xml version="1.0"?><PluginItem>' + item_xml(A, MAIL_A)), False),
        file_case(f, "a second root", utf8(document(item_xml(A, MAIL_A)) + "<PluginItem/>"), False),
        file_case(f, "items outside the root", utf8(item_xml(A, MAIL_A) + document("")), False),
    ]
    for text in ("abc", "-1", "99999999999", " 2", "0x2", "+1", "1e3", "", "2147483648", "٣", "２", "3",
                 "-2147483648"):
        cases.append(file_case(f, "OCRLangID %s" % json.dumps(text), utf8(document(item_xml(A, MAIL_A, ocr=text) + good_b)), True, b_mails=MAIL_B))
    for text in ("7", "-5", "abc", "1.9"):
        cases.append(file_case(f, "EvenNumberImageToBackPage %s" % json.dumps(text), utf8(document(item_xml(A, MAIL_A, even=text) + good_b)), True, b_mails=MAIL_B))
    for name, cipher in (("token not Base64", "!!!not base64!!!"), ("token Base64 of garbage", "AAAAAAAA"),
                         ("token Base64 with a line break", settings_file.encipher_token("my-secret-token")[:8] + "&#13;&#10;" + settings_file.encipher_token("my-secret-token")[8:]),
                         ("token of 255 Base64 characters", "A" * 255), ("token of 256 Base64 characters", "A" * 256),
                         ("token of 100,000 characters", "A" * 100000), ("token in plain text", "typed in plain"),
                         ("token of one character", "Q"), ("token Base64 of an odd byte count", "QUJD")):
        # A token too long for the cipher's buffers is refused, which makes
        # the job's settings unreadable: reported, not read as empty. One
        # that does not decipher is used as stored, and a copy of a job whose
        # token is too long to encipher is refused rather than written plain.
        unreadable = len(cipher) > 255
        cases.append(file_case(f, name, utf8(document(item_xml(A, MAIL_A, enciphered=cipher) + good_b)), True,
                               mails=FAIL if unreadable else MAIL_A, b_mails=MAIL_B,
                               copy=0x8007007A if len(cipher) > 94 else 0))
    return cases


def state_cases():
    f = "file states"
    cases = [
        file_case(f, "zero length", b"", False),
        file_case(f, "white space only", b"   \r\n", False),
        file_case(f, "a UTF-8 BOM only", b"\xef\xbb\xbf", False),
        file_case(f, "a UTF-16 BOM only", b"\xff\xfe", False),
        file_case(f, "a declaration only", utf8('<?xml version="1.0" encoding="UTF-8"?>'), False),
        file_case(f, "text, not XML", b"not XML at all <", False),
        file_case(f, "a picture", b"\xff\xd8\xff\xe0" + bytes(range(256)) * 4, False),
    ]

    def first_use(bench, judge):
        reset_folder(bench)
        run = judge.host("summary", A)
        if not run.calls or run.calls[0][1] != 0 or run.calls[0][2] != NOT_REGISTERED:
            judge.wrong("first use: %s" % (run.calls[:1],))
        if items_of(read_bytes(bench.settings)) != {}:
            judge.wrong("first use made no empty settings file")
    cases.append(Case(f, "missing (first use)", first_use))

    def folder_in_place(bench, judge):
        reset_folder(bench)
        os.makedirs(bench.settings)
        for run in (judge.host("summary", A), judge.host("createid"), judge.host("copyid", A),
                    judge.host("deleteid", A)):
            judge.expect_failed(run, None)
        if not os.path.isdir(bench.settings):
            judge.lost("the folder in the file's place was replaced")
        # An import must not put a file in its place either.
        source = fresh_source(bench)
        write_bytes(os.path.join(source, "MeishiPluginSettings.XML"), utf8(STANDARD))
        run = judge.host("import", bench.win(source))
        judge.results.append("(import over the folder)")
        if not os.path.isdir(bench.settings) and read_bytes(bench.settings) != utf8(STANDARD):
            judge.lost("the import left neither the folder nor its file")
        shutil.rmtree(bench.settings, ignore_errors=True)
    cases.append(Case(f, "a folder in the file's place", folder_in_place))

    def product_folder_is_file(bench, judge):
        reset_folder(bench)
        shutil.rmtree(bench.folder)
        write_bytes(bench.folder, b"a file")
        try:
            for run in (judge.host("summary", A), judge.host("createid")):
                judge.expect_failed(run, None)
            if read_bytes(bench.folder) != b"a file":
                judge.lost("the file in the folder's place changed")
        finally:
            os.remove(bench.folder)
            os.makedirs(bench.folder)
    cases.append(Case(f, "a file in the product folder's place", product_folder_is_file))

    def read_only(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        judge.bench.wine.run(["attrib", "+r", judge.bench.win(bench.settings)], echo=False)
        check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "before")
        run = judge.host("createid")
        created = bool(run.calls) and run.calls[0][1] == 0
        data = read_bytes(bench.settings)
        if created and items_of(data) is not None and len(items_of(data)) != 3:
            judge.wrong("CreateID succeeded but the job is not in the file")
        if not created and data != utf8(STANDARD):
            judge.lost("a failed CreateID changed the read-only file")
        judge.results.append("(read-only: CreateID %s)" % ("stored" if created else "refused"))
        check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
        judge.bench.wine.run(["attrib", "-r", judge.bench.win(bench.settings)], echo=False)
    cases.append(Case(f, "read-only file", read_only))

    def hidden(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        judge.bench.wine.run(["attrib", "+h", "+s", judge.bench.win(bench.settings)], echo=False)
        check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "before")
        judge.expect_ok(judge.host("createid"), "CreateID")
        check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
        judge.bench.wine.run(["attrib", "-h", "-s", judge.bench.win(bench.settings)], echo=False)
    cases.append(Case(f, "hidden and system file", hidden))

    def held(share):
        def body(bench, judge):
            reset_folder(bench)
            write_bytes(bench.settings, utf8(STANDARD))
            user = bench.user("hold", bench.win(bench.settings), share)
            user.holding.wait(30)
            summary = judge.host("summary", A)
            create = judge.host("createid")
            lines = user.finish()
            if "holding" not in lines:
                judge.wrong("the file could not be held: %s" % lines)
                return
            _, hr, value = summary.calls[0] if summary.calls else ("", 0, None)
            # While another program keeps others from reading, the summary
            # fails; otherwise it reads the account.
            if share == "none":
                if hr == 0:
                    judge.wrong("summary read %s from a file no one could read" % short(value))
            elif hr != 0 or value != "Email : " + MAIL_A:
                judge.wrong("summary: %08X %s" % (hr, short(value)))
            created = bool(create.calls) and create.calls[0][1] == 0
            data = read_bytes(bench.settings)
            if not created and data != utf8(STANDARD):
                judge.lost("a failed CreateID changed the file")
            if created and (items_of(data) is None or len(items_of(data)) != 3):
                judge.wrong("CreateID succeeded but the job is not in the file")
            judge.results.append("(held %s: CreateID %s)" % (share, "stored" if created else "refused"))
            check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
        return body
    for share in ("none", "read", "readwrite"):
        cases.append(Case(f, "held open by another program, sharing %s" % share, held(share)))

    def stale_copies(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        for name in ("~MS1A2B.tmp", "~MSFFFF.tmp"):
            write_bytes(os.path.join(bench.folder, name), b"half a save")
        os.makedirs(os.path.join(bench.folder, "~MS0001.tmp"))
        judge.expect_ok(judge.host("createid"), "CreateID")
        check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
        left = sorted(os.path.basename(p) for p in glob.glob(os.path.join(bench.folder, "~MS*")))
        if left != ["~MS0001.tmp"]:
            judge.wrong("temporary copies left: %s" % left)
    cases.append(Case(f, "copies of killed saves beside it", stale_copies))

    def backup_folder_is_file(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        backup = os.path.join(os.path.dirname(bench.folder), "Brankel")
        shutil.rmtree(backup, ignore_errors=True)
        write_bytes(backup, b"in the way")
        source = fresh_source(bench)
        imported = utf8(document(item_xml(A, "new@example.jp")))
        write_bytes(os.path.join(source, "MeishiPluginSettings.XML"), imported)
        try:
            judge.expect_ok(judge.host("import", bench.win(source)), "Import")
            if read_bytes(bench.settings) != imported:
                judge.wrong("the import did not take")
        finally:
            os.remove(backup)
    cases.append(Case(f, "import while the backup folder's name is a file", backup_folder_is_file))

    def two_hosts(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        results = []

        def worker():
            results.append(bench.host("createid", "createid", "createid", "createid", "createid"))
        threads = [threading.Thread(target=worker) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for run in results:
            judge.outcome.add_runs([run])
            judge.expect_ok(run, None)
        items = items_of(read_bytes(bench.settings))
        if items is None or len(items) != 12:
            judge.lost("two hosts creating jobs at once left %s jobs of 12" % (None if items is None else len(items)))
    cases.append(Case(f, "two hosts creating jobs at once", two_hosts))
    return cases


def transfer_cases():
    f = "import/export"
    cases = []
    good = utf8(document(item_xml(A, "imported@example.jp") + item_xml(B, MAIL_B)))

    def import_case(name, data, accepted, current=None, expect_a=None, setup=None):
        def body(bench, judge):
            reset_folder(bench)
            now = utf8(STANDARD) if current is None else current
            write_bytes(bench.settings, now)
            source = fresh_source(bench)
            target = os.path.join(source, "MeishiPluginSettings.XML")
            if data is not None:
                write_bytes(target, data)
            if setup:
                setup(bench, source, target)
            run = judge.host("import", bench.win(source))
            if accepted:
                judge.expect_ok(run, "Import")
                check_summaries(judge, {A: expect_a or "imported@example.jp", B: MAIL_B}, "after import")
                if items_of(now) is None and now and not any(
                        read_bytes(p) == now for p in glob.glob(os.path.join(bench.folder, "*"))):
                    judge.lost("the unreadable settings were replaced and no copy kept")
            else:
                judge.expect_failed(run, "Import")
                if read_bytes(bench.settings) != now:
                    judge.lost("a refused import changed the settings")
                if items_of(now) is not None:
                    check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
            if accepted or items_of(now) is not None:
                judge.expect_ok(judge.host("createid"), "CreateID after the import")
            if glob.glob(os.path.join(bench.folder, "~MS*")):
                judge.wrong("temporary copies left behind")
        return Case(f, name, body)

    cases += [
        import_case("Import of a good file", good, True),
        import_case("Import of a good file in UTF-16", b"\xff\xfe" + document(item_xml(A, "imported@example.jp") + item_xml(B, MAIL_B), '<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le"), True),
        import_case("Import from a folder without the file", None, False),
        import_case("Import of a zero-length file", b"", False),
        import_case("Import of text that is not XML", b"not XML <", False),
        import_case("Import with another root", utf8('<?xml version="1.0"?><Other/>'), False),
        import_case("Import with a DTD", utf8('<!DOCTYPE PluginItem [<!ENTITY m "x">]><PluginItem/>'), False),
        import_case("Import holding UTF-8 of U+FFFF", utf8(document(item_xml(A, "a\uffff@example.jp"))), False),
        import_case("Import holding &#xFFFE;", utf8(document(item_xml(A, "a&#xFFFE;@example.jp"))), False),
        import_case("Import holding &#x1B;", utf8(document(item_xml(A, "a&#x1B;@example.jp"))), False),
        import_case("Import holding a lone surrogate in UTF-16", b"\xff\xfe" + document(item_xml(A, "A_PLACE"), '<?xml version="1.0" encoding="UTF-16"?>').encode("utf-16-le").replace("A_PLACE".encode("utf-16-le"), b"a\x00\x00\xdc@\x00"), False),
        import_case("Import with invalid UTF-8", utf8(document(item_xml(A, "A_PLACE"))).replace(b"A_PLACE", b"a\xff@x"), False),
        import_case("Import with a NUL byte", utf8(document(item_xml(A, "a\x00@x"))), False),
        import_no_jobs(f),
        import_case("Import of version 1.1 with &#1;", utf8(document(item_xml(A, "a&#1;@x"), '<?xml version="1.1"?>')), False),
        import_case("Import while the settings cannot be read", good, True, current=b"damaged <"),
        import_case("Import while the settings are empty", good, True, current=b""),
    ]

    def read_only_source(bench, source, target):
        bench.wine.run(["attrib", "+r", bench.win(target)], echo=False)
    cases.append(import_case("Import of a read-only file", good, True, setup=read_only_source))

    def folder_named_like_the_file(bench, source, target):
        os.makedirs(target)
    cases.append(import_case("Import where the file's name is a folder", None, False, setup=folder_named_like_the_file))

    def odd_folder(name):
        def body(bench, judge):
            reset_folder(bench)
            write_bytes(bench.settings, utf8(STANDARD))
            source = os.path.join(bench.scratch, name)
            shutil.rmtree(source, ignore_errors=True)
            os.makedirs(source)
            write_bytes(os.path.join(source, "MeishiPluginSettings.XML"), good)
            judge.expect_ok(judge.host("import", bench.win(source)), "Import")
            check_summaries(judge, {A: "imported@example.jp", B: MAIL_B}, "after")
            target = os.path.join(bench.scratch, name + "-export")
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            judge.expect_ok(judge.host("export", bench.win(target)), "Export")
            if read_bytes(os.path.join(target, "MeishiPluginSettings.XML")) != read_bytes(bench.settings):
                judge.wrong("the export is no copy of the settings")
        return Case(f, "Import and export through a folder named %s" % json.dumps(name), body)
    for name in ("a#b%20c", "日本語 フォルダ", "semi;colon&amp"):
        cases.append(odd_folder(name))

    def held_source(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        source = fresh_source(bench)
        write_bytes(os.path.join(source, "MeishiPluginSettings.XML"), good)
        user = bench.user("hold", bench.win(os.path.join(source, "MeishiPluginSettings.XML")), "none")
        user.holding.wait(30)
        run = judge.host("import", bench.win(source))
        user.finish()
        judge.expect_failed(run, "Import")
        if read_bytes(bench.settings) != utf8(STANDARD):
            judge.lost("a failed import changed the settings")
    cases.append(Case(f, "Import of a file held open by another program", held_source))

    def path_case(name, folder_text):
        def body(bench, judge):
            reset_folder(bench)
            write_bytes(bench.settings, utf8(STANDARD))
            run = judge.host("import", folder_text)
            judge.expect_failed(run, "Import")
            run = judge.host("export", folder_text)
            judge.expect_failed(run, "Export")
            if read_bytes(bench.settings) != utf8(STANDARD):
                judge.lost("the settings changed")
        return Case(f, name, body)
    cases.append(path_case("Import and export with a folder path of 300 characters", "C:\\" + "x" * 300))
    cases.append(path_case("Import and export with an empty folder path", ""))
    cases.append(path_case("Import and export with a missing folder", "C:\\no\\such\\folder"))

    def export_case(name, current, accepted, earlier=b"an earlier export", make=None):
        """accepted: the export must succeed (True), fail (False), or may do
        either (None) as long as a failure keeps the earlier export."""
        def body(bench, judge):
            reset_folder(bench)
            if current is not None:
                write_bytes(bench.settings, current)
            target = fresh_source(bench)
            exported = os.path.join(target, "MeishiPluginSettings.XML")
            if earlier is not None:
                write_bytes(exported, earlier)
            if make:
                make(bench, exported)
            run = judge.host("export", bench.win(target))
            succeeded = bool(run.calls) and run.calls[0][1] == 0
            if accepted or (accepted is None and succeeded):
                judge.expect_ok(run, "Export")
                if read_bytes(exported) != read_bytes(bench.settings):
                    judge.wrong("the export is no copy of the settings")
            else:
                judge.expect_failed(run, "Export")
                if earlier is not None and read_bytes(exported) != earlier:
                    judge.lost("a refused export replaced the earlier one")
            if current is not None and read_bytes(bench.settings) != current:
                judge.lost("the export changed the settings")
            if [n for n in os.listdir(target) if n != "MeishiPluginSettings.XML"]:
                judge.wrong("the export left files behind: %s" % os.listdir(target))
        return Case(f, name, body)

    cases += [
        export_case("Export over an earlier export", utf8(STANDARD), True),
        export_case("Export of settings that cannot be read", b"damaged <", False),
        export_case("Export of settings holding U+FFFF", utf8(document(item_xml(A, "a\uffff@x"))), False),
        export_case("Export of a zero-length settings file", b"", False),
        export_case("Export into a folder whose file name is a folder", utf8(STANDARD), False, earlier=None,
                    make=lambda bench, exported: os.makedirs(exported)),
        export_case("Export over a read-only earlier export", utf8(STANDARD), None,
                    make=lambda bench, exported: bench.wine.run(["attrib", "+r", bench.win(exported)], echo=False)),
    ]

    def round_trip(bench, judge):
        """Export, damage, import back: the way out of a damaged file."""
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        target = fresh_source(bench)
        judge.expect_ok(judge.host("export", bench.win(target)), "Export")
        write_bytes(bench.settings, utf8(STANDARD)[:-40])
        judge.expect_failed(judge.host("summary", B), "summary of a damaged file")
        judge.expect_ok(judge.host("import", bench.win(target)), "Import")
        check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
        kept = [p for p in glob.glob(os.path.join(bench.folder, "*")) if read_bytes(p) == utf8(STANDARD)[:-40]]
        if not kept:
            judge.lost("the damaged file was replaced and no copy kept")
    cases.append(Case(f, "export, damage, import back", round_trip))
    return cases


def import_no_jobs(f):
    def body(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        source = fresh_source(bench)
        write_bytes(os.path.join(source, "MeishiPluginSettings.XML"), utf8(document("")))
        judge.expect_ok(judge.host("import", bench.win(source)), "Import")
        check_summaries(judge, {A: NONE, B: NONE}, "after")
    return Case(f, "Import of a file with no jobs", body)


# ---- dialogs ----

def escape_arg(text):
    """fakeuser's argument form: \\uXXXX for everything but printable ASCII."""
    out = []
    for unit in text:
        code = ord(unit)
        if code > 0xFFFF:
            code -= 0x10000
            out.append("\\u%04x\\u%04x" % (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)))
        elif unit == "\\":
            out.append("\\\\")
        elif 0x20 <= code < 0x7F:
            out.append(unit)
        else:
            out.append("\\u%04x" % code)
    return "".join(out)


# What the dialogs must do with each input: "refuse" (the message shown, the
# dialog kept, nothing stored), "accept" (stored exactly as typed, shown back
# as typed), or "either" (refused, or stored and shown back exactly).
DIALOG_INPUTS = [
    ("U+FFFF in the mail", "x\uffff@example.jp", "tok", "refuse", BAD_MAIL),
    ("U+FFFE in the mail", "x\ufffe@example.jp", "tok", "refuse", BAD_MAIL),
    ("a lone high surrogate in the mail", "x\ud800@example.jp", "tok", "refuse", BAD_MAIL),
    ("a lone low surrogate in the mail", "x\udc00@example.jp", "tok", "refuse", BAD_MAIL),
    ("a reversed pair in the mail", "x\udc00\ud800@example.jp", "tok", "refuse", BAD_MAIL),
    ("a high surrogate last in the mail", "x@example.jp\ud83d", "tok", "refuse", BAD_MAIL),
    ("U+0001 in the mail", "x\x01@example.jp", "tok", "refuse", BAD_MAIL),
    ("U+001F in the mail", "x\x1f@example.jp", "tok", "refuse", BAD_MAIL),
    ("U+000B in the mail", "x\x0b@example.jp", "tok", "refuse", BAD_MAIL),
    ("escape U+001B in the mail", "x\x1b@example.jp", "tok", "refuse", BAD_MAIL),
    ("CR LF in the mail", "a@b\r\nc", "tok", "refuse", BAD_MAIL),
    ("LF in the mail", "a@b\nc", "tok", "refuse", BAD_MAIL),
    ("CR in the mail", "a@b\rc", "tok", "refuse", BAD_MAIL),
    ("tab in the mail", "a@b\tc", "tok", "either", BAD_MAIL),
    ("U+FFFF in the token", MAIL_A, "t\uffff", "refuse", BAD_TOKEN),
    ("a lone surrogate in the token", MAIL_A, "t\udbff", "refuse", BAD_TOKEN),
    ("U+0001 in the token", MAIL_A, "t\x01k", "refuse", BAD_TOKEN),
    ("CR LF in the token", MAIL_A, "tok\r\nen", "refuse", BAD_TOKEN),
    ("tab in the token", MAIL_A, "tok\ten", "either", BAD_TOKEN),
    ("U+FFFF in both", "x\uffff@example.jp", "t\uffff", "refuse", BAD_MAIL),
    ("an emoji (a pair) in the mail", "x\U0001F600@example.jp", "tok", "accept", None),
    ("DEL in the mail", "x\x7f@example.jp", "tok", "accept", None),
    ("U+0085 in the mail", "x\x85@example.jp", "tok", "accept", None),
    ("right-to-left override in the mail", "x\u202e@example.jp", "tok", "accept", None),
    ("zero-width space in the mail", "x\u200b@example.jp", "tok", "accept", None),
    ("U+FDD0 (a noncharacter XML allows)", "x\ufdd0@example.jp", "tok", "accept", None),
    ("markup characters", "<a&b>\"'@example.jp", "to<k>&", "accept", None),
    ("Japanese mail and token", "山田@例え.jp", "トークン", "accept", None),
    ("spaces around the mail", "  a@example.jp  ", "tok", "accept", None),
    ("64 characters each", "@" + "m" * 63, "t" * 64, "accept", None),
    ("200 characters each (set, not typed)", "@" + "m" * 199, "t" * 200, "refuse", BAD_MAIL),
    ("65-character token (set, not typed)", MAIL_A, "t" * 65, "refuse", BAD_TOKEN),
    ("a plain account", "taro@example.jp", "my-secret-token", "accept", None),
]


def settings_dialog_case(name, mail, token, want, message, paste):
    def body(bench, judge):
        reset_folder(bench)
        write_bytes(bench.settings, utf8(STANDARD))
        user = bench.user("paste" if paste else "fill", SETTINGS_DIALOG, escape_arg(mail), escape_arg(token))
        run = judge.host("showsetting", A)
        lines = user.finish()
        judge.expect_ok(run, "ShowSetting")
        judge.results.append(" / ".join(l for l in lines if not l.startswith("shown")))
        # A paste stops at the first line break and at the field's limit, as
        # the field takes it; what the user then sees is what counts.
        typed_mail = pasted(mail) if paste else mail
        typed_token = pasted(token) if paste else token
        judge_dialog(bench, judge, lines, typed_mail, typed_token, want, message, stored_in_file=True)
    return Case("dialogs", "settings dialog, %s: %s" % ("pasted" if paste else "set", name), body)


def pasted(text):
    for stop in ("\r", "\n"):
        if stop in text:
            text = text[:text.index(stop)]
    return text[:64]


def judge_dialog(bench, judge, lines, mail, token, want, message, stored_in_file):
    refused = [l for l in lines if l.startswith("refused: ")]
    accepted = "accepted" in lines
    if not refused and not accepted:
        judge.wrong("the dialog gave no answer: %s" % lines)
        return
    if refused:
        shown = json.loads(refused[0][len("refused: "):])
        if want == "accept":
            judge.wrong("refused: %s" % shown)
        elif message and want == "refuse" and shown != message:
            judge.wrong("refused with %s" % shown)
        if "stayed" not in lines:
            judge.wrong("the dialog closed on a refusal")
        if stored_in_file and read_bytes(bench.settings) != utf8(STANDARD):
            judge.lost("a refused input changed the settings")
        if stored_in_file:
            check_summaries(judge, {A: MAIL_A, B: MAIL_B}, "after")
        return
    if want == "refuse":
        judge.wrong("accepted")
    if not stored_in_file:
        return
    # Accepted: stored exactly, read back exactly, shown back exactly, and
    # the other job untouched. The engine reads every text without the white
    # space around it, as it always has.
    mail = mail.strip(" \t\r\n")
    run = judge.host("summary", A)
    if not run.calls or run.calls[0][1] != 0:
        judge.wrong("the file no longer reads: %s" % (run.calls[:1],))
        judge.lost("job A's settings cannot be read any more")
    elif run.calls[0][2] != "Email : " + mail:
        judge.wrong("stored as %s" % short(run.calls[0][2]))
    run = judge.host("summary", B)
    if not run.calls or run.calls[0][1] != 0 or run.calls[0][2] != "Email : " + MAIL_B:
        judge.lost("job B's summary: %s" % (run.calls[:1],))
    user = bench.user("show", SETTINGS_DIALOG)
    judge.host("showsetting", A)
    shown = [decode_shown(l) for l in user.finish() if l.startswith("shown: ")]
    if not shown or shown[0] != (mail, token):
        judge.wrong("shown back as %s" % (short(shown[0][0]) if shown else "nothing"))
    judge.expect_ok(judge.host("createid"), "CreateID after the dialog")


def logon_dialog_case(name, mail, token, want, message):
    """The logon dialog of a run for a job without an account: values for
    that run only, never stored."""
    def body(bench, judge):
        reset_folder(bench)
        data = utf8(document(item_xml(A, "", token="") + item_xml(B, MAIL_B)))
        write_bytes(bench.settings, data)
        user = bench.user("fill", LOGON_DIALOG, escape_arg(mail), escape_arg(token),
                          "press", RESULT_DIALOG, "1029", "press", CONFIRM_DIALOG, "6")
        run = judge.host("execute", A, bench.win(bench.image))
        lines = user.finish()
        judge.results.append(" / ".join(l for l in lines if not l.startswith("shown")))
        # After a refusal the dialog is cancelled, after an accepted logon the
        # run fails at the service (nothing listens); either way the run's
        # result dialog is answered with Finish, and the run ends.
        judge_dialog(bench, judge, lines, mail, token, want, message, stored_in_file=False)
        if read_bytes(bench.settings) != data:
            judge.lost("the logon dialog changed the settings file")
    return Case("dialogs", "logon dialog: %s" % name, body)


def dialog_cases():
    cases = []
    for name, mail, token, want, message in DIALOG_INPUTS:
        cases.append(settings_dialog_case(name, mail, token, want, message, paste=False))
    for name, mail, token, want, message in DIALOG_INPUTS:
        if want == "refuse" and ("\r" in mail + token or "\n" in mail + token):
            continue  # a paste never carries the line break in
        if "(set, not typed)" in name:
            continue  # a paste stops at the field's limit
        cases.append(settings_dialog_case(name, mail, token, want, message, paste=True))
    for name, mail, token, want, message in DIALOG_INPUTS[:20:2] + DIALOG_INPUTS[20:24]:
        cases.append(logon_dialog_case(name, mail, token, want, message))
    return cases


# ---- the run ----

FAMILY_ORDER = ["encoding", "size", "items", "file states", "import/export", "dialogs"]


def all_cases():
    return encoding_cases() + size_cases() + item_cases() + state_cases() + transfer_cases() + dialog_cases()


def run_cases(bench, cases, only):
    outcomes = []
    for number, case in enumerate(cases, 1):
        if only and not re.search(only, case.family + ": " + case.name, re.I):
            continue
        outcome = Outcome()
        judge = Judge(bench, outcome)
        bench.log_name = "%03d" % number
        first = len(bench.runs)
        try:
            case.body(bench, judge)
        except Exception as error:  # a fault of the campaign itself, shown as such
            outcome.wrong.append("campaign error: %r" % error)
        outcome.add_runs(bench.runs[first:])
        outcome.result = "; ".join(judge.results)
        outcomes.append((number, case, outcome))
        print_row(number, case, outcome)
    return outcomes


def verdict(outcome):
    marks = []
    if outcome.crash:
        marks.append("CRASH")
    if outcome.hang:
        marks.append("HANG")
    if outcome.lost:
        marks.append("LOST: " + "; ".join(outcome.lost))
    if outcome.wrong:
        marks.append("WRONG: " + "; ".join(outcome.wrong))
    return " | ".join(marks) if marks else "ok"


def print_row(number, case, outcome):
    print("%3d  %-13s %-62s %5.1fs  %s" % (number, case.family, case.name[:62], outcome.seconds, verdict(outcome)),
          flush=True)
    print("     %s" % outcome.result[:400], flush=True)


def print_table(outcomes, dll):
    print()
    print("Settings campaign: %d cases against %s" % (len(outcomes), dll))
    print("%-14s %6s %8s %6s %15s %14s" % ("family", "cases", "crashes", "hangs", "settings lost", "wrong results"))
    totals = [0, 0, 0, 0, 0]
    for family in FAMILY_ORDER:
        rows = [o for _, c, o in outcomes if c.family == family]
        if not rows:
            continue
        counts = [len(rows), sum(o.crash for o in rows), sum(o.hang for o in rows), sum(bool(o.lost) for o in rows),
                  sum(bool(o.wrong) for o in rows)]
        totals = [a + b for a, b in zip(totals, counts)]
        print("%-14s %6d %8d %6d %15d %14d" % (family, *counts))
    print("%-14s %6d %8d %6d %15d %14d" % ("all", *totals))
    slowest = max((o.seconds for _, _, o in outcomes), default=0.0)
    print("longest single host process run: %.1f s (a hang is a run over %.0f s)" % (slowest, HANG_SECONDS))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--arch", default=None, help="x86 or x64 (default: x86 where it runs, else x64)")
    parser.add_argument("--work", default=None, help="prefix, installation and logs (default: BUILD/campaign)")
    parser.add_argument("--dll", default=None, help="another build of TessaranService.dll of the same kind")
    parser.add_argument("--only", default=None, help="cases whose family or name matches this expression")
    parser.add_argument("--list", action="store_true", help="list the cases and stop")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.arch = args.arch or wine_env.arches()[0]
    args.work = os.path.abspath(args.work or os.path.join(args.build, "campaign"))
    cases = all_cases()
    if args.list:
        for number, case in enumerate(cases, 1):
            print("%3d  %-13s %s" % (number, case.family, case.name))
        return 0
    with run_demo.Display() as display:
        os.environ["DISPLAY"] = display.name
        bench = Bench(args)
        bench.wine.env["DISPLAY"] = display.name
        bench.install()
        try:
            outcomes = run_cases(bench, cases, args.only)
        finally:
            reset_folder(bench)
            bench.wine.stop()
    print_table(outcomes, bench.dll)
    return 0


if __name__ == "__main__":
    sys.exit(main())
