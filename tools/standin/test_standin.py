"""Tests of the stand-in services, its control API and run_with_standin.py.

Run: python3 -m unittest discover -s tools/standin -p 'test_*.py'
"""

import base64
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from standin_client import (BOUNDARY, StandinProcess,  # noqa: E402
                            multipart_body, multipart_headers)

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(os.path.dirname(HERE), "samples")
RUNNER = os.path.join(HERE, "run_with_standin.py")
MAIL, TOKEN = "taro@example.com", "tok-%&=1"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def read_sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as f:
        return f.read()


def plugin_form(mail, token):
    # The plug-in escapes only %, & and = in its logon form.
    def esc(v):
        return v.replace("%", "%25").replace("&", "%26").replace("=", "%3D")
    return ("user=%s&sync_token=%s" % (esc(mail), esc(token))).encode("utf-8")


def card_parts(sync_id, image, thumb, **card_fields):
    sync_data = ('{"sync_id":"%s","revision":0,"delete_flag":false,'
                 '"modify_datetime":"2024-05-01 09:30:00.0","share_flag":true,'
                 '"correct_request":false,"correct_status":0,"owner_username":"",'
                 '"user_correct":false,"view_datetime":""}' % sync_id)
    address = {k: "" for k in ("place", "zip", "country", "address1", "address2", "address3",
                               "address4")}
    address["addressOrder"] = "0"
    address.update({k: "" for k in ("tel1", "tel2", "tel3", "tel4", "fax", "email", "url",
                                    "skype", "latitude", "longitude")})
    card = {"sync_id": sync_id, "fname": "太郎", "lname": "山田", "fnamer": "", "lnamer": "",
            "cname": "株式会社みなと精機", "cnamer": "", "nameorder": 0, "prefix": "",
            "assign": "", "title": "", "group": "グループ未設定",
            "create_datetime": "2024-05-01 09:30:00.0", "language": 0, "creator": "",
            "address1": address, "address2": dict(address),
            "have_image1": False, "have_image2": False}
    card.update(card_fields)
    card_text = json.dumps(card, ensure_ascii=False, separators=(",", ":"))
    return [("SyncData", sync_data.encode()), ("Card", card_text.encode("utf-8")),
            ("image", "image.jpeg", image), ("thumb", "thumb.jpeg", thumb)]


def ocr_body(name, image=b"\xff\xd8 not really a picture"):
    fields = [("venderCode", b"pX4rTq8LmW2zVn6Hc9JdB3sK"), ("appliCode", b"QRVX52CLIENT"),
              ("cognitionType", b"1"), ("imageFilter", b"0"), ("meishiLang", b"1"),
              ("version", b"1"), ("JSONType", b"1")]
    return multipart_body(fields + [("image", name, image)])


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class StandinTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="standin-test-")
        cls.server = StandinProcess.start(cls.tmp, samples=SAMPLES, extra_args=["--quiet"])
        cls.client = cls.server.client

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.client.reset(accounts=True)
        self.client.add_account(MAIL, TOKEN, limit=2, username="Taro")

    def login(self, mail=MAIL, token=TOKEN):
        reply = self.client.request("POST", "/service/m_login", plugin_form(mail, token), FORM)
        self.assertEqual(200, reply.status, reply.body)
        return reply.session_cookie()

    def get(self, path, cookie):
        return self.client.request("GET", path, cookie=cookie)

    def register(self, cookie, parts=None, sync_id=None):
        if parts is None:
            sync_id = sync_id or self.get("/service/m_newsyncid/", cookie).body.decode()
            parts = card_parts(sync_id, read_sample("card01_yamada.jpg"), b"\xff\xd8thumb")
        return self.client.request("POST", "/service/m_card/", multipart_body(parts),
                                   multipart_headers(), cookie=cookie)


class CardServiceTest(StandinTestCase):
    def test_logon_answers_session_cookie_and_refuses_wrong_account(self):
        reply = self.client.request("POST", "/service/m_login", plugin_form(MAIL, TOKEN), FORM)
        self.assertEqual(200, reply.status)
        cookies = reply.header_all("Set-Cookie")
        self.assertEqual(1, len(cookies))
        self.assertRegex(cookies[0], r"^JSESSIONID=[0-9A-F]{32}; Path=/; Secure; HttpOnly$")
        for form in (plugin_form(MAIL, "wrong"), plugin_form("nobody@example.com", TOKEN)):
            reply = self.client.request("POST", "/service/m_login", form, FORM)
            self.assertEqual(401, reply.status)
            self.assertEqual([], reply.header_all("Set-Cookie"))
        self.assertEqual(400, self.client.request("POST", "/service/m_login",
                                                  b"user=" + MAIL.encode(), FORM).status)
        self.assertEqual(400, self.client.request("POST", "/service/m_login",
                                                  plugin_form(MAIL, TOKEN)).status)

    def test_requests_without_valid_session_get_401(self):
        cookie = self.login()
        paths = [("GET", "/service/m_newsyncid/"), ("GET", "/service/user_status/"),
                 ("POST", "/service/m_log/"), ("POST", "/service/m_card/"),
                 ("POST", "/service/m_card/backimage/X"), ("GET", "/service/m_logout"),
                 ("GET", "/service/unknown")]
        for method, path in paths:
            for bad in (None, "JSESSIONID=0000", "OTHER=" + cookie.split("=", 1)[1]):
                reply = self.client.request(method, path, b"" if method == "POST" else None,
                                            cookie=bad)
                self.assertEqual(401, reply.status, (method, path, bad))
        self.assertEqual(200, self.get("/service/user_status/", cookie).status)
        self.assertEqual(200, self.get("/service/m_logout", cookie).status)
        self.assertEqual(401, self.get("/service/user_status/", cookie).status)
        cookie = self.login()
        self.client.expire_sessions()
        self.assertEqual(401, self.get("/service/user_status/", cookie).status)
        self.assertEqual(404, self.get("/service/unknown", self.login()).status)

    def test_idle_session_expires(self):
        with StandinProcess.start(os.path.join(self.tmp, "short"), session_seconds=0.5,
                                  extra_args=["--quiet"]) as short:
            short.client.add_account(MAIL, TOKEN)
            cookie = short.client.login(MAIL, TOKEN)
            for _ in range(3):  # each request starts the idle time over
                time.sleep(0.25)
                self.assertEqual(200, short.client.request(
                    "GET", "/service/user_status/", cookie=cookie).status)
            time.sleep(0.8)
            self.assertEqual(401, short.client.request(
                "GET", "/service/user_status/", cookie=cookie).status)

    def test_sync_ids_are_short_printable_and_new(self):
        cookie = self.login()
        seen = set()
        for _ in range(5):
            reply = self.get("/service/m_newsyncid/", cookie)
            self.assertEqual(200, reply.status)
            text = reply.body.decode("ascii")
            self.assertTrue(0 < len(text) <= 24 and text.isprintable() and text.strip() == text)
            seen.add(text)
        self.assertEqual(5, len(seen))

    def test_card_registration_is_stored_as_sent(self):
        cookie = self.login()
        sync_id = self.get("/service/m_newsyncid/", cookie).body.decode()
        front = read_sample("card01_yamada.jpg")
        parts = card_parts(sync_id, front, b"\xff\xd8thumb", title='a"b/c')
        self.assertEqual(200, self.register(cookie, parts).status)
        log = self.client.request("POST", "/service/m_log/",
                                  json.dumps({"syncidlist": [sync_id]}).encode(),
                                  {"Content-Type": "application/json"}, cookie=cookie)
        self.assertEqual(200, log.status)
        back = self.client.request("POST", "/service/m_card/backimage/" + sync_id,
                                   multipart_body([("image", "image.jpeg", b"\xff\xd8back"),
                                                   ("thumb", "thumb.jpeg", b"\xff\xd8bt")]),
                                   multipart_headers(), cookie=cookie)
        self.assertEqual(200, back.status)

        [card] = self.client.cards()
        self.assertEqual(sync_id, card["sync_id"])
        self.assertEqual(MAIL, card["account"])
        self.assertEqual(parts[0][1].decode(), card["sync_data_text"])
        self.assertEqual("山田", card["card"]["lname"])
        self.assertEqual('a"b/c', card["card"]["title"])
        self.assertEqual({"size": len(front), "width": 1000, "height": 600, "filename": "image.jpeg"},
                         {k: card["image"][k] for k in ("size", "width", "height", "filename")})
        self.assertEqual(len(b"\xff\xd8back"), card["back"]["size"])
        self.assertEqual(["SyncData", "Card", "image", "thumb"],
                         [p["name"] for p in card["multipart"]["parts"]])
        self.assertEqual(BOUNDARY, card["multipart"]["boundary"])
        self.assertEqual(1, len(card["m_log"]))
        status = self.get("/service/user_status/", cookie).json()
        self.assertEqual({"accountname": MAIL, "username": "Taro", "max_count": 2,
                          "use_count": 1}, status)
        page = self.client.request("GET", "/cards").body.decode()
        self.assertIn("株式会社みなと精機", page)
        self.assertEqual(front, self.client.request("GET", "/cards/%s/image" % sync_id).body)

    def test_card_registration_refusals(self):
        cookie = self.login()
        image = read_sample("card06_carter.jpg")
        self.assertEqual(400, self.register(cookie, sync_id="NEVER-ISSUED").status)
        self.client.add_account("other@example.com", "x")
        foreign = self.get("/service/m_newsyncid/", self.login("other@example.com", "x")).body
        self.assertEqual(400, self.register(cookie, sync_id=foreign.decode()).status)

        sync_id = self.get("/service/m_newsyncid/", cookie).body.decode()
        parts = card_parts(sync_id, image, b"t")
        card = json.loads(parts[1][1])
        del card["address2"]["tel4"]
        broken = [parts[0], ("Card", json.dumps(card).encode())] + parts[2:]
        reply = self.register(cookie, broken)
        self.assertEqual(400, reply.status)
        self.assertIn("Card.address2: key tel4 missing", reply.json()["problems"])
        body = multipart_body(parts)
        for cut in (body[:-8], body.replace(b"--" + BOUNDARY.encode(), b"--X", 1)):
            self.assertEqual(400, self.client.request("POST", "/service/m_card/", cut,
                                                      multipart_headers(), cookie=cookie).status)
        self.assertEqual(400, self.register(cookie, parts[:3]).status)  # no thumbnail
        self.assertEqual(200, self.register(cookie, parts).status)
        self.assertEqual(200, self.register(cookie).status)
        self.assertEqual(412, self.register(cookie).status)  # limit 2
        reply = self.client.request("POST", "/service/m_card/backimage/UNKNOWN",
                                    multipart_body([("image", "image.jpeg", b"x")]),
                                    multipart_headers(), cookie=cookie)
        self.assertEqual(404, reply.status)
        self.assertEqual(2, len(self.client.cards()))


    def test_a_repeated_registration_replaces_its_card(self):
        cookie = self.login()
        sync_id = self.get("/service/m_newsyncid/", cookie).body.decode()
        self.assertEqual(200, self.register(cookie, card_parts(sync_id, b"\xff\xd8one", b"t")).status)
        self.assertEqual(200, self.register(cookie).status)  # the account is full now (limit 2)
        again = card_parts(sync_id, b"\xff\xd8two", b"t", lname="Again")
        self.assertEqual(200, self.register(cookie, again).status)
        cards = {c["sync_id"]: c for c in self.client.cards()}
        self.assertEqual(2, len(cards))
        self.assertEqual(("Again", 5, 2), (cards[sync_id]["card"]["lname"],
                                           cards[sync_id]["image"]["size"],
                                           cards[sync_id]["registrations"]))

    def test_one_session_per_account_ends_the_older_session(self):
        first = self.login()
        self.assertEqual(200, self.get("/service/user_status/", first).status)
        self.client.set_options(one_session=True)
        second = self.login()
        self.assertEqual(401, self.get("/service/user_status/", first).status)
        self.assertEqual(200, self.get("/service/user_status/", second).status)
        self.client.reset()
        self.assertEqual({"one_session": False}, self.client.control("GET", "options")["options"])
        with self.assertRaises(Exception):
            self.client.set_options(one_session="yes")


class OcrTest(StandinTestCase):
    FIELDS = [("venderCode", b"pX4rTq8LmW2zVn6Hc9JdB3sK"), ("appliCode", b"QRVX52CLIENT"),
              ("cognitionType", b"1"), ("imageFilter", b"0"), ("meishiLang", b"2"),
              ("version", b"1"), ("JSONType", b"1")]

    def ocr(self, image, filename="card001.jpg", fields=None):
        parts = list(self.FIELDS if fields is None else fields) + [("image", filename, image)]
        return self.client.request("POST", "/CardOCR/cardocr", multipart_body(parts),
                                   multipart_headers())

    def test_answers_from_samples_or_from_file_name(self):
        reply = self.ocr(read_sample("card01_yamada.jpg"), "scan 0001.jpg")
        self.assertEqual(200, reply.status)
        self.assertEqual(read_sample("card01_yamada.json"), reply.body)
        reply = self.ocr(b"\xff\xd8 not a sample", "card001.jpg")
        self.assertEqual(200, reply.status)
        self.assertEqual("card001", reply.json()["lastName"])
        [first, second] = self.client.ocr_requests()
        self.assertEqual(dict((k, v.decode()) for k, v in self.FIELDS), first["fields"])
        self.assertEqual("sample:card01_yamada.json", first["answer_source"])
        self.assertEqual("scan 0001.jpg", first["image"]["filename"])
        self.assertEqual([n for n, _ in self.FIELDS] + ["image"],
                         [p["name"] for p in first["multipart"]["parts"]])
        self.assertEqual("default", second["answer_source"])

    def test_refuses_incomplete_requests(self):
        self.assertEqual(400, self.ocr(b"x", fields=self.FIELDS[:4]).status)
        wrong_code = [("venderCode", b"other")] + self.FIELDS[1:]
        self.assertEqual(403, self.ocr(b"x", fields=wrong_code).status)
        wrong_lang = self.FIELDS[:4] + [("meishiLang", b"3")] + self.FIELDS[5:]
        self.assertEqual(400, self.ocr(b"x", fields=wrong_lang).status)
        self.assertEqual(400, self.ocr(b"").status)
        self.assertEqual([400, 403, 400, 400], [r["status"] for r in self.client.ocr_requests()])


class ControlTest(StandinTestCase):
    def test_journal_keeps_requests_as_received(self):
        self.client.clear_journal()
        cookie = self.login()
        self.get("/service/user_status/", cookie)
        entries = self.client.journal()
        self.assertEqual(["/service/m_login", "/service/user_status/"],
                         [e["path"] for e in entries])
        self.assertEqual(plugin_form(MAIL, TOKEN).decode(),
                         base64.b64decode(entries[0]["body_b64"]).decode())
        self.assertIn(["Cookie", cookie], entries[1]["headers"])
        self.assertEqual([200, 200], [e["status"] for e in entries])
        later = self.client.journal(since=entries[0]["id"], bodies=False)
        self.assertEqual([entries[1]["id"]], [e["id"] for e in later])
        self.assertNotIn("body_b64", later[0])
        self.assertNotEqual(entries[0]["connection"], entries[1]["connection"])
        conn = self.client.connection()
        try:
            for _ in range(2):
                self.client.request("GET", "/service/user_status/", cookie=cookie, conn=conn)
        finally:
            conn.close()
        kept = self.client.journal(since=entries[1]["id"], bodies=False)
        self.assertEqual(kept[0]["connection"], kept[1]["connection"])
        self.assertNotIn(kept[0]["connection"], [e["connection"] for e in entries])
        self.client.clear_journal()
        self.assertEqual([], self.client.journal())

    def test_status_and_malformed_faults_apply_count_times_to_matching_requests(self):
        cookie = self.login()
        self.client.add_fault("/service/user_status/", count=2, status=500)
        self.client.add_fault("/service/m_newsyncid/", action="malformed", body="not json")
        self.client.add_fault("/service/", method="POST", status=503)
        self.assertEqual(500, self.get("/service/user_status/", cookie).status)
        self.assertEqual(500, self.get("/service/user_status/", cookie).status)
        self.assertEqual(200, self.get("/service/user_status/", cookie).status)
        reply = self.get("/service/m_newsyncid/", cookie)
        self.assertEqual((200, b"not json"), (reply.status, reply.body))
        self.assertEqual(1, len(self.client.faults()))  # the POST fault still waits
        self.client.clear_faults()
        self.assertEqual([], self.client.faults())
        outcomes = [e["outcome"] for e in self.client.journal(bodies=False)]
        self.assertEqual(["ok", "fault:status", "fault:status", "ok", "fault:malformed"], outcomes)
        with self.assertRaises(Exception):
            self.client.add_fault("/service/", action="explode")

        # Requests out together arrive in any order: a fault can pick its own
        # by what the body carries.
        self.client.add_fault("/CardOCR/", body_contains="card2.jpg", status=500)
        for name, status in (("card1.jpg", 200), ("card2.jpg", 500), ("card2.jpg", 200)):
            reply = self.client.request("POST", "/CardOCR/cardocr", ocr_body(name), multipart_headers())
            self.assertEqual(status, reply.status, name)

    def test_drop_and_oversized_faults(self):
        for action in ("drop", "reset"):
            self.client.add_fault("/CardOCR/", action=action)
            with self.assertRaises((ConnectionError, OSError)):
                self.client.request("POST", "/CardOCR/cardocr", b"x", multipart_headers())
        self.client.add_fault("/CardOCR/", action="oversized")
        reply = self.client.request("POST", "/CardOCR/cardocr", b"x", multipart_headers())
        self.assertEqual(200, reply.status)
        self.assertEqual(9 * 1024 * 1024, len(reply.body))
        self.assertEqual("AAAA", reply.json()["lastName"][:4])

    def test_cut_and_lose_faults(self):
        cookie = self.login()
        self.client.add_fault("/service/user_status/", action="cut")
        conn = self.client.connection()
        try:
            with self.assertRaises(http.client.IncompleteRead) as cut:
                self.client.request("GET", "/service/user_status/", cookie=cookie, conn=conn)
        finally:
            conn.close()
        whole = self.get("/service/user_status/", cookie).body
        self.assertEqual(whole[:len(whole) // 2], cut.exception.partial)
        self.assertEqual(len(whole) // 2, len(cut.exception.partial))

        # A lost answer: the card is stored, the client hears nothing.
        sync_id = self.get("/service/m_newsyncid/", cookie).body.decode()
        self.client.add_fault("/service/m_card/", action="lose")
        with self.assertRaises((ConnectionError, OSError, http.client.HTTPException)):
            self.register(cookie, card_parts(sync_id, b"\xff\xd8f", b"t"))
        self.assertEqual([sync_id], [c["sync_id"] for c in self.client.cards()])
        self.assertEqual(["fault:cut", "fault:lose"],
                         [e["outcome"] for e in self.client.journal(bodies=False)
                          if e["outcome"].startswith("fault:")])

    def test_hang_and_trickle_faults(self):
        cookie = self.login()
        # A request that is never answered: the client gives up, nothing is handled.
        self.client.add_fault("/service/m_newsyncid/", action="hang")
        conn = http.client.HTTPSConnection(self.client.host, self.client.port,
                                           context=self.client.context, timeout=0.5)
        try:
            with self.assertRaises((TimeoutError, OSError)):
                self.client.request("GET", "/service/m_newsyncid/", cookie=cookie, conn=conn)
        finally:
            conn.close()
        hung = self.client.journal(bodies=False)[-1]
        self.assertEqual(("fault:hang", None), (hung["outcome"], hung["status"]))

        # A body that trickles: each byte comes on its own, the whole takes long.
        self.client.add_fault("/service/user_status/", status=200, body="abcd", trickle_ms=150)
        started = time.monotonic()
        reply = self.get("/service/user_status/", cookie)
        self.assertEqual((200, b"abcd"), (reply.status, reply.body))
        self.assertGreaterEqual(time.monotonic() - started, 0.4)

    def test_answers_without_a_body_leave_the_connection_in_step(self):
        cookie = self.login()
        conn = self.client.connection()
        try:
            for status in (204, 304):
                self.client.add_fault("/service/user_status/", status=status)
                reply = self.client.request("GET", "/service/user_status/", cookie=cookie, conn=conn)
                self.assertEqual((status, b"", []), (reply.status, reply.body,
                                                     reply.header_all("Content-Length")))
                after = self.client.request("GET", "/service/user_status/", cookie=cookie, conn=conn)
                self.assertEqual(MAIL, after.json()["accountname"])
        finally:
            conn.close()

    def test_cookie_fault_sends_the_given_set_cookie_headers(self):
        variants = ["lang=ja; Path=/", "JSESSIONID={session}; Path=/; Secure; HttpOnly"]
        self.client.add_fault("/service/m_login", action="cookie", cookie=variants)
        reply = self.client.request("POST", "/service/m_login", plugin_form(MAIL, TOKEN), FORM)
        self.assertEqual(200, reply.status)
        sent = reply.header_all("Set-Cookie")
        self.assertEqual("lang=ja; Path=/", sent[0])
        session = sent[1].split(";", 1)[0]
        self.assertRegex(session, r"^JSESSIONID=[0-9A-F]{32}$")
        self.assertEqual(200, self.get("/service/user_status/", session).status)


class LineModelTest(unittest.TestCase):
    """The modelled line. Its figures are checked from below only: a slow
    machine makes an exchange longer, never shorter, than the line allows."""

    RTT = 0.05
    MBIT = 8.0
    OCR = 0.1

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="standin-line-")
        cls.server = StandinProcess.start(
            cls.tmp, samples=SAMPLES,
            extra_args=["--quiet", "--line-rtt-ms", str(cls.RTT * 1000), "--line-uplink-mbit", str(cls.MBIT),
                        "--line-service", "/CardOCR/=%d" % (cls.OCR * 1000), "--line-service", "*=0"])
        cls.client = cls.server.client

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def post(self, body, results, key):
        # The handshakes are timed too: each connection is new.
        began = time.monotonic()
        reply = self.client.request("POST", "/CardOCR/cardocr", body, multipart_headers())
        results[key] = (reply.status, time.monotonic() - began)

    def test_bodies_share_the_uplink_and_answers_come_a_round_trip_after_the_work(self):
        line = {"rtt_ms": self.RTT * 1000, "uplink_mbit": self.MBIT,
                "service_ms": {"/CardOCR/": self.OCR * 1000, "*": 0.0}}
        self.assertEqual(line, self.client.line())
        self.client.set_line(rtt_ms=1)
        self.client.reset()
        self.assertEqual(line, self.client.line())  # a reset goes back to the start-up line

        body = ocr_body("card.jpg", os.urandom(200000))
        carried = len(body) * 8 / (self.MBIT * 1e6)
        # Connection (TCP and TLS, at least one round trip each), body, work, answer.
        least = 2 * self.RTT + carried + self.OCR + self.RTT
        results = {}
        self.post(body, results, "alone")
        self.assertEqual(200, results["alone"][0])
        self.assertGreaterEqual(results["alone"][1], least)
        workers = [threading.Thread(target=self.post, args=(body, results, k)) for k in ("a", "b")]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        # One uplink: two bodies at once take it twice as long.
        self.assertGreaterEqual(max(results["a"][1], results["b"][1]), least + carried)

        with self.assertRaises(Exception):
            self.client.set_line(rtt_ms=-1)


class RunWithStandinTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="standin-run-")
        cls.state = os.path.join(cls.tmp, "state")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_script(self, script, account="a@example.com:t:oken:7", options=(), **kw):
        command = [sys.executable, RUNNER, "--state-dir", self.state, "--account", account,
                   *options, "--", sys.executable, "-c", textwrap.dedent(script)]
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)

    def standin_pid(self):
        with open(os.path.join(self.tmp, "pid")) as f:
            return int(f.read())

    PRELUDE = """
        import json, os, sys, time
        sys.path.insert(0, %r)
        from standin_client import Client
        with open(%r, "w") as f:
            f.write(os.environ["STANDIN_PID"])
        """

    def prelude(self):
        return self.PRELUDE % (HERE, os.path.join(self.tmp, "pid"))

    def test_passes_environment_output_and_exit_code(self):
        proc = self.run_script(self.prelude() + """
        client = Client.from_env()
        assert os.environ["STANDIN_BASE"] == "https://127.0.0.1:" + os.environ["STANDIN_PORT"]
        assert os.environ["STANDIN_CERT"].endswith("cert.pem")
        [account] = client.accounts()
        assert (account["mail"], account["token"], account["limit"]) == ("a@example.com", "t:oken", 7)
        assert client.login("a@example.com", "t:oken")
        line = client.line()
        assert (line["rtt_ms"], line["service_ms"]) == (5.0, {"/CardOCR/": 7.0}), line
        print("out"); print("err", file=sys.stderr)
        sys.exit(3)
        """, options=["--line-rtt-ms", "5", "--line-service", "/CardOCR/=7"])
        out, err = proc.communicate(timeout=30)
        self.assertEqual((3, b"out\n", b"err\n"), (proc.returncode, out, err))
        self.assertFalse(process_alive(self.standin_pid()))

    def test_stand_in_ends_when_command_or_runner_is_killed(self):
        proc = self.run_script(self.prelude() + """
        os.kill(os.getpid(), 9)
        """)
        proc.communicate(timeout=30)
        self.assertEqual(128 + 9, proc.returncode)
        self.assertFalse(process_alive(self.standin_pid()))

        os.unlink(os.path.join(self.tmp, "pid"))
        proc = self.run_script(self.prelude() + """
        print(os.getpid(), flush=True)
        time.sleep(60)
        """)
        command_pid = int(proc.stdout.readline())
        try:
            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=30)
            self.assertTrue(wait_until(lambda: not process_alive(self.standin_pid())),
                            "stand-in outlived a killed runner")
        finally:
            os.kill(command_pid, signal.SIGKILL)
            proc.stdout.close()
            proc.stderr.close()

    def test_isolated_runs_share_a_state_folder(self):
        script = """
            import os, sys
            print(os.environ["STANDIN_PORT"], os.environ["STANDIN_STATE_DIR"])
            sys.exit(int(sys.argv[1]))
            """
        runs = [self.run_script(script.replace("sys.argv[1]", code), options=["--isolated"])
                for code in ("0", "1")]
        results = [p.communicate(timeout=30) + (p.returncode,) for p in runs]
        self.assertEqual([0, 1], [r[2] for r in results])
        (port0, dir0), (port1, dir1) = [r[0].decode().split() for r in results]
        self.assertNotEqual(port0, port1)
        self.assertEqual(self.state, os.path.dirname(dir0))
        self.assertFalse(os.path.exists(dir0))  # removed after success
        self.assertTrue(os.path.exists(os.path.join(dir1, "standin.sqlite3")))

    def test_reports_a_command_that_cannot_run(self):
        proc = subprocess.run([sys.executable, RUNNER, "--state-dir", self.state, "--",
                               os.path.join(self.tmp, "no-such-program")],
                              capture_output=True, timeout=30)
        self.assertEqual(127, proc.returncode)
        self.assertIn(b"cannot run", proc.stderr)


if __name__ == "__main__":
    unittest.main()
