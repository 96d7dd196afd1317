#!/usr/bin/env python3
"""Loopback stand-in for the card service and the card OCR service.

One HTTPS server on one port answers both web APIs the plug-in talks to
(/service/... and /CardOCR/cardocr), keeps what it receives in SQLite and
offers loopback-only control endpoints (/_control/...) so that tests can seed
accounts, queue faults and inspect exactly what went over the wire.

The request bodies are taken apart with the standard library's parsers
(email for multipart, json, urllib.parse) on purpose: the point of the
stand-in is to check the plug-in's wire format independently of the code
that produced it.

Standard library only, plus the openssl command line for the certificate.
"""

import argparse
import base64
import datetime
import email.parser
import email.policy
import fcntl
import hashlib
import html
import ipaddress
import itertools
import json
import os
import re
import secrets
import select
import signal
import socket
import sqlite3
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SAMPLES = os.path.join(os.path.dirname(HERE), "samples")

DB_NAME = "standin.sqlite3"
CERT_NAME = "cert.pem"
KEY_NAME = "key.pem"

# Bounds that keep a misbehaving client from tying up the stand-in (and the
# test waiting on it): a TLS handshake or a stalled read gives up after these.
HANDSHAKE_TIMEOUT = 10.0
IO_TIMEOUT = 30.0
DEFAULT_MAX_BODY = 64 * 1024 * 1024
MAX_FAULT_DELAY_MS = 600000
DEFAULT_OVERSIZED = 9 * 1024 * 1024
DEFAULT_CARD_LIMIT = 100

# Client codes the OCR service knows; anything else is an unknown client.
OCR_VENDER_CODE = "pX4rTq8LmW2zVn6Hc9JdB3sK"
OCR_APPLI_CODE = "QRVX52CLIENT"
OCR_TEXT_FIELDS = ("venderCode", "appliCode", "cognitionType", "imageFilter",
                   "meishiLang", "version", "JSONType")

IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff")

SYNC_KEYS = (("sync_id", str), ("revision", int), ("delete_flag", bool),
             ("modify_datetime", str), ("share_flag", bool),
             ("correct_request", bool), ("correct_status", int),
             ("owner_username", str), ("user_correct", bool),
             ("view_datetime", str))
CARD_KEYS = (("sync_id", str), ("fname", str), ("lname", str), ("fnamer", str),
             ("lnamer", str), ("cname", str), ("cnamer", str),
             ("nameorder", int), ("prefix", str), ("assign", str),
             ("title", str), ("group", str), ("create_datetime", str),
             ("language", int), ("creator", str), ("address1", dict),
             ("address2", dict), ("have_image1", bool), ("have_image2", bool))
ADDRESS_KEYS = ("place", "zip", "country", "address1", "address2", "address3",
                "address4", "addressOrder", "tel1", "tel2", "tel3", "tel4",
                "fax", "email", "url", "skype", "latitude", "longitude")
DATETIME_RE = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.0$")
DECIMAL_RE = re.compile(r"^-?\d+$")

FAULT_ACTIONS = ("status", "drop", "reset", "malformed", "oversized", "cookie", "delay", "cut",
                 "lose", "hang")
# Answers that never carry a body (RFC 9110): sending one would leave bytes
# that the client reads as the start of its next answer.
BODILESS_STATUSES = frozenset(list(range(100, 200)) + [204, 304])
DEFAULT_OPTIONS = {"one_session": False}
# The line model: request bodies cross the uplink this much at a time; a
# stand-in started with a modelled uplink gives its connections a line's
# segment size and a small receive buffer.
LINE_CHUNK = 16 * 1024
LINE_RECEIVE_BUFFER = 16 * 1024
LINE_SEGMENT = 1460
MAX_LINE_MS = 60000
DEFAULT_MALFORMED = b'{"firstName":"Malformed","company":"cut off'


def now_text(epoch=None):
    t = datetime.datetime.fromtimestamp(time.time() if epoch is None else epoch)
    return t.isoformat(timespec="milliseconds")


def image_dimensions(data):
    """(width, height) from a JPEG's frame header or a PNG's IHDR, else None."""
    if not data:
        return None
    if data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) >= 24 and data[12:16] == b"IHDR":
        return struct.unpack(">II", data[16:24])
    if data[:2] != b"\xff\xd8":
        return None
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        if marker == 0xFF:
            i += 1
            continue
        if marker == 0x01 or 0xD0 <= marker <= 0xD8:
            i += 2
            continue
        if marker in (0xD9, 0xDA):
            return None
        length = int.from_bytes(data[i + 2:i + 4], "big")
        if length < 2:
            return None
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if i + 9 > len(data):
                return None
            height, width = struct.unpack(">HH", data[i + 5:i + 9])
            return width, height
        i += 2 + length
    return None


def blob_info(data, filename=None):
    if data is None:
        return None
    dims = image_dimensions(data)
    info = {"size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
            "width": dims[0] if dims else None,
            "height": dims[1] if dims else None}
    if filename is not None:
        info["filename"] = filename
    return info


def is_loopback(address):
    try:
        return ipaddress.ip_address(address.split("%", 1)[0]).is_loopback
    except ValueError:
        return False


class BadRequest(Exception):
    def __init__(self, status, message, problems=None):
        super().__init__(message)
        self.status = status
        self.problems = problems or []


# ---------------------------------------------------------------------------
# Storage

SCHEMA = """
CREATE TABLE IF NOT EXISTS accounts (
    mail TEXT PRIMARY KEY, token TEXT NOT NULL, card_limit INTEGER NOT NULL,
    username TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY, mail TEXT NOT NULL, created REAL NOT NULL,
    expires REAL NOT NULL, ended INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sync_ids (
    sync_id TEXT PRIMARY KEY, mail TEXT NOT NULL, session TEXT, issued REAL NOT NULL);
CREATE TABLE IF NOT EXISTS cards (
    sync_id TEXT PRIMARY KEY, mail TEXT NOT NULL, created REAL NOT NULL,
    sync_data_text TEXT NOT NULL, card_text TEXT NOT NULL,
    image BLOB, image_name TEXT, thumb BLOB, thumb_name TEXT,
    back BLOB, back_thumb BLOB, back_uploads INTEGER NOT NULL DEFAULT 0,
    multipart TEXT NOT NULL, registrations INTEGER NOT NULL DEFAULT 1);
CREATE TABLE IF NOT EXISTS m_log (
    id INTEGER PRIMARY KEY AUTOINCREMENT, time REAL NOT NULL, mail TEXT NOT NULL,
    sync_id TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS journal (
    id INTEGER PRIMARY KEY AUTOINCREMENT, time REAL NOT NULL, method TEXT NOT NULL,
    path TEXT NOT NULL, query TEXT NOT NULL, headers TEXT NOT NULL, body BLOB NOT NULL,
    client TEXT NOT NULL, status INTEGER, outcome TEXT, note TEXT, connection INTEGER);
CREATE TABLE IF NOT EXISTS ocr_requests (
    id INTEGER PRIMARY KEY AUTOINCREMENT, time REAL NOT NULL, journal_id INTEGER,
    fields TEXT NOT NULL, parts TEXT NOT NULL, image BLOB, image_name TEXT,
    answer_source TEXT, status INTEGER);
"""


class Store:
    """The stand-in's state. One connection behind one lock: the traffic of a
    test is small, and serialising keeps SQLite out of threading trouble."""

    def __init__(self, path):
        self._lock = threading.RLock()
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._db.execute("PRAGMA synchronous=OFF")
        self._db.executescript(SCHEMA)
        # A state folder kept from an older stand-in lacks the newer columns.
        columns = [r[1] for r in self._db.execute("PRAGMA table_info(cards)")]
        if "registrations" not in columns:
            self._db.execute("ALTER TABLE cards ADD COLUMN registrations INTEGER NOT NULL DEFAULT 1")
        columns = [r[1] for r in self._db.execute("PRAGMA table_info(journal)")]
        if "connection" not in columns:
            self._db.execute("ALTER TABLE journal ADD COLUMN connection INTEGER")

    def close(self):
        with self._lock:
            self._db.close()

    def all(self, sql, params=()):
        with self._lock:
            return self._db.execute(sql, params).fetchall()

    def one(self, sql, params=()):
        with self._lock:
            return self._db.execute(sql, params).fetchone()

    def run(self, sql, params=()):
        with self._lock:
            cur = self._db.execute(sql, params)
            return cur.lastrowid

    def transaction(self):
        return _Transaction(self)


class _Transaction:
    def __init__(self, store):
        self.store = store

    def __enter__(self):
        self.store._lock.acquire()
        self.store._db.execute("BEGIN IMMEDIATE")
        return self.store

    def __exit__(self, kind, value, trace):
        try:
            self.store._db.execute("COMMIT" if kind is None else "ROLLBACK")
        finally:
            self.store._lock.release()
        return False


# ---------------------------------------------------------------------------
# Faults


class FaultQueue:
    def __init__(self):
        self._lock = threading.Lock()
        self._faults = []

    @staticmethod
    def validate(spec):
        if not isinstance(spec, dict):
            raise BadRequest(400, "a fault is a JSON object")
        fault = {
            "path_prefix": spec.get("path_prefix", "/"),
            "method": spec.get("method"),
            "count": spec.get("count", 1),
            "status": spec.get("status", 500),
            "delay_ms": spec.get("delay_ms", 0),
            "body_delay_ms": spec.get("body_delay_ms", 0),
            "trickle_ms": spec.get("trickle_ms", 0),
            "action": spec.get("action", "status"),
            "cookie": spec.get("cookie"),
            "body": spec.get("body"),
            "headers": spec.get("headers", []),
            "size": spec.get("size", DEFAULT_OVERSIZED),
            "body_contains": spec.get("body_contains"),
        }
        if not isinstance(fault["path_prefix"], str) or not fault["path_prefix"].startswith("/"):
            raise BadRequest(400, "path_prefix must be a text starting with /")
        if fault["method"] is not None and not isinstance(fault["method"], str):
            raise BadRequest(400, "method must be a text")
        for key, low, high in (("count", 1, 1 << 30), ("status", 100, 599),
                               ("delay_ms", 0, MAX_FAULT_DELAY_MS),
                               ("body_delay_ms", 0, MAX_FAULT_DELAY_MS),
                               ("trickle_ms", 0, MAX_FAULT_DELAY_MS),
                               ("size", 0, DEFAULT_MAX_BODY)):
            value = fault[key]
            if type(value) is not int or not low <= value <= high:
                raise BadRequest(400, "%s must be an integer from %d to %d" % (key, low, high))
        if fault["action"] not in FAULT_ACTIONS:
            raise BadRequest(400, "action must be one of " + ", ".join(FAULT_ACTIONS))
        cookie = fault["cookie"]
        if isinstance(cookie, str):
            fault["cookie"] = [cookie]
        elif cookie is None:
            fault["cookie"] = []
        elif not (isinstance(cookie, list) and all(isinstance(c, str) for c in cookie)):
            raise BadRequest(400, "cookie must be a text or a list of texts")
        if fault["action"] == "cookie" and not fault["cookie"]:
            raise BadRequest(400, "a cookie fault needs at least one Set-Cookie text")
        if fault["body"] is not None and not isinstance(fault["body"], str):
            raise BadRequest(400, "body must be a text")
        if fault["body_contains"] is not None and not (
                isinstance(fault["body_contains"], str) and fault["body_contains"]):
            raise BadRequest(400, "body_contains must be a non-empty text")
        headers = fault["headers"]
        if isinstance(headers, dict):
            headers = list(headers.items())
        if not (isinstance(headers, list) and all(
                isinstance(h, (list, tuple)) and len(h) == 2 and all(isinstance(x, str) for x in h)
                for h in headers)):
            raise BadRequest(400, "headers must be an object or a list of [name, value] pairs")
        if any("\r" in x or "\n" in x for h in headers for x in h) or \
                any("\r" in c or "\n" in c for c in fault["cookie"]):
            raise BadRequest(400, "header texts must not hold line breaks")
        fault["headers"] = [list(h) for h in headers]
        return fault

    def add(self, faults):
        with self._lock:
            self._faults.extend(faults)

    def clear(self):
        with self._lock:
            self._faults.clear()

    def pending(self):
        with self._lock:
            return [dict(f) for f in self._faults]

    def take(self, method, path, body=b""):
        with self._lock:
            for fault in self._faults:
                if not path.startswith(fault["path_prefix"]):
                    continue
                if fault["method"] and fault["method"].upper() != method:
                    continue
                # Requests in flight together arrive in any order: a test picks
                # its request by what it carries (a file name, say).
                if fault["body_contains"] and fault["body_contains"].encode("utf-8") not in body:
                    continue
                fault["count"] -= 1
                if fault["count"] <= 0:
                    self._faults.remove(fault)
                return dict(fault)
        return None


# ---------------------------------------------------------------------------
# The line model


class Line:
    """A modelled line between the client and both services (off until set):
    a round trip, one uplink shared by every connection, and the time each
    endpoint works on a request.

    - A new connection costs its handshakes first: one round trip for TCP,
      one more for TLS 1.3 or two for older TLS.
    - A request body comes in no faster than the uplink carries it: the
      server reads it a chunk at a time and each chunk waits its turn on the
      one line (first come, first carried), so concurrent uploads share it.
      The connection's receive buffer is small, so the client's own sending
      is held back too rather than finished into loopback buffers.
    - Once the request is in, its endpoint works its service time (longest
      matching path prefix; "*" for the rest; requests are worked on in
      parallel), and the answer arrives one round trip later (half for the
      request's way there, half for the answer's way back).
    - Answers are small and come down unpaced; headers are not paced either.
    Control requests and the card pages are outside the model."""

    def __init__(self, stopping):
        self._stopping = stopping
        self._lock = threading.Lock()
        self._free_at = 0.0
        self.rtt_ms = 0.0
        self.uplink_mbit = 0.0
        self.service_ms = {}

    @staticmethod
    def validate(spec):
        if not isinstance(spec, dict) or set(spec) - {"rtt_ms", "uplink_mbit", "service_ms"}:
            raise BadRequest(400, "a line is {\"rtt_ms\", \"uplink_mbit\", \"service_ms\": {prefix: ms}}")
        rtt = spec.get("rtt_ms", 0)
        uplink = spec.get("uplink_mbit", 0)
        service = spec.get("service_ms", {})
        for name, value in (("rtt_ms", rtt), ("uplink_mbit", uplink)):
            if type(value) not in (int, float) or not 0 <= value <= MAX_LINE_MS:
                raise BadRequest(400, "%s must be a number from 0 to %d" % (name, MAX_LINE_MS))
        if not isinstance(service, dict) or not all(
                isinstance(k, str) and (k == "*" or k.startswith("/")) and type(v) in (int, float)
                and 0 <= v <= MAX_LINE_MS for k, v in service.items()):
            raise BadRequest(400, "service_ms maps \"*\" or a path prefix to milliseconds from 0 to %d"
                             % MAX_LINE_MS)
        return {"rtt_ms": float(rtt), "uplink_mbit": float(uplink),
                "service_ms": {k: float(v) for k, v in service.items()}}

    def configure(self, spec):
        spec = self.validate(spec)
        with self._lock:
            self.rtt_ms = spec["rtt_ms"]
            self.uplink_mbit = spec["uplink_mbit"]
            self.service_ms = spec["service_ms"]
            self._free_at = 0.0

    def settings(self):
        return {"rtt_ms": self.rtt_ms, "uplink_mbit": self.uplink_mbit,
                "service_ms": dict(self.service_ms)}

    @property
    def paced(self):
        return self.uplink_mbit > 0

    def _sleep(self, seconds):
        if seconds > 0:
            self._stopping.wait(seconds)

    def setup(self, tls_version):
        """A new connection's handshakes."""
        trips = 1 + (1 if tls_version == "TLSv1.3" else 2)
        self._sleep(trips * self.rtt_ms / 1000.0)

    def carry(self, count):
        """count bytes that have just come in cross the uplink after those
        before them: returns when the line has carried them."""
        if not self.paced or count <= 0:
            return
        with self._lock:
            start = max(time.monotonic(), self._free_at)
            self._free_at = start + count * 8.0 / (self.uplink_mbit * 1e6)
            until = self._free_at
        self._sleep(until - time.monotonic())

    def service_time_ms(self, path):
        best, ms = -1, self.service_ms.get("*", 0.0)
        for prefix, value in self.service_ms.items():
            if prefix != "*" and path.startswith(prefix) and len(prefix) > best:
                best, ms = len(prefix), value
        return ms

    def answer(self, path):
        """The endpoint's work on a request that is in, and the round trip."""
        self._sleep((self.service_time_ms(path) + self.rtt_ms) / 1000.0)


# ---------------------------------------------------------------------------
# OCR samples


class SampleIndex:
    """Images of the sample folders by SHA-256, each with its answer file
    (NAME.json beside NAME.jpg) when there is one."""

    def __init__(self, folders):
        self.by_hash = {}
        for folder in folders:
            if not os.path.isdir(folder):
                continue
            for name in sorted(os.listdir(folder)):
                stem, suffix = os.path.splitext(name)
                answer = os.path.join(folder, stem + ".json")
                if suffix.lower() not in IMAGE_SUFFIXES or not os.path.isfile(answer):
                    continue
                with open(os.path.join(folder, name), "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                self.by_hash.setdefault(digest, answer)

    def answer_for(self, data):
        path = self.by_hash.get(hashlib.sha256(data).hexdigest())
        if path is None:
            return None, None
        with open(path, "rb") as f:
            return f.read(), os.path.basename(path)


def default_ocr_answer(filename):
    base = re.split(r"[\\/:]", filename or "")[-1]
    stem = os.path.splitext(base)[0] or "card"
    return {"lastName": stem, "firstName": "", "company": "Loopback Sample Co.",
            "title": "Default answer", "email_A": ""}


# ---------------------------------------------------------------------------
# Request bodies


def parse_multipart(content_type, body):
    """Parts of a multipart/form-data body, read by the email package.

    Returns (parts, info): parts is a list of dicts (name, filename,
    content_type, transfer_encoding, data) in body order; info describes the
    framing for the control API. Structural defects are a bad request."""
    if not content_type:
        raise BadRequest(400, "no Content-Type")
    head = b"Content-Type: " + content_type.encode("latin-1", "replace") + \
        b"\r\nMIME-Version: 1.0\r\n\r\n"
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
    if msg.get_content_type() != "multipart/form-data":
        raise BadRequest(400, "Content-Type is not multipart/form-data")
    defects = [type(d).__name__ for d in msg.defects]
    parts = []
    if msg.is_multipart():
        for index, part in enumerate(msg.iter_parts()):
            defects.extend("part %d: %s" % (index, type(d).__name__) for d in part.defects)
            disposition = part.get_content_disposition()
            if disposition != "form-data":
                defects.append("part %d: Content-Disposition is %r" % (index, disposition))
            data = part.get_payload(decode=True)
            parts.append({
                "name": part.get_param("name", header="content-disposition"),
                "filename": part.get_filename(),
                "content_type": part.get("content-type"),
                "transfer_encoding": part.get("content-transfer-encoding"),
                "data": data if data is not None else b"",
            })
    info = {
        "boundary": msg.get_boundary(),
        "parts": [{k: v for k, v in p.items() if k != "data"} | {"size": len(p["data"])}
                  for p in parts],
        "preamble": msg.preamble,
        "epilogue": msg.epilogue,
        "defects": defects,
    }
    if defects or not msg.is_multipart():
        raise BadRequest(400, "malformed multipart body", defects or ["not multipart"])
    return parts, info


def parts_by_name(parts):
    named = {}
    for part in parts:
        if part["name"] in named:
            raise BadRequest(400, "part %r appears twice" % part["name"])
        named[part["name"]] = part
    return named


def _no_duplicate_keys(pairs):
    obj = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError("duplicate key %r" % key)
        obj[key] = value
    return obj


def parse_json_text(data, what):
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise BadRequest(400, "%s is not UTF-8: %s" % (what, e))
    try:
        return text, json.loads(text, object_pairs_hook=_no_duplicate_keys)
    except ValueError as e:
        raise BadRequest(400, "%s is not valid JSON: %s" % (what, e))


def _check_keys(obj, keys, where, problems):
    for key, kind in keys:
        if key not in obj:
            problems.append("%s: key %s missing" % (where, key))
            continue
        value = obj[key]
        # bool is an int to Python; JSON keeps them apart.
        if kind is int and (type(value) is not int):
            problems.append("%s: %s is not an integer" % (where, key))
        elif kind is not int and not isinstance(value, kind):
            problems.append("%s: %s is not a %s" % (where, key, kind.__name__))


def check_card_json(sync_data, card):
    problems = []
    if not isinstance(sync_data, dict):
        return ["SyncData is not a JSON object"]
    if not isinstance(card, dict):
        return ["Card is not a JSON object"]
    _check_keys(sync_data, SYNC_KEYS, "SyncData", problems)
    _check_keys(card, CARD_KEYS, "Card", problems)
    stamp = sync_data.get("modify_datetime")
    if isinstance(stamp, str) and not DATETIME_RE.match(stamp):
        problems.append("SyncData: modify_datetime %r is not YYYY-MM-DD hh:mm:ss.0" % stamp)
    for name in ("address1", "address2"):
        address = card.get(name)
        if not isinstance(address, dict):
            continue
        _check_keys(address, [(k, str) for k in ADDRESS_KEYS], "Card." + name, problems)
        order = address.get("addressOrder")
        if isinstance(order, str) and not DECIMAL_RE.match(order):
            problems.append("Card.%s: addressOrder %r is not decimal text" % (name, order))
    if sync_data.get("sync_id") != card.get("sync_id"):
        problems.append("SyncData and Card name different sync IDs")
    return problems


# ---------------------------------------------------------------------------
# HTTP


class Reply:
    def __init__(self, status, body=b"", ctype="application/json; charset=utf-8",
                 headers=None, close=False):
        self.status = status
        self.body = body
        self.ctype = ctype
        self.headers = list(headers or [])
        self.close = close
        self.note = ""
        self.session = None
        self.cut = False  # only the first half of the body goes out, then the connection closes
        self.body_delay_ms = 0  # the body follows the head that much later, as over a slow line
        self.trickle_ms = 0  # the body goes out a byte at a time, this far apart

    @classmethod
    def json(cls, status, obj, **kw):
        return cls(status, json.dumps(obj, ensure_ascii=False).encode("utf-8"), **kw)

    @classmethod
    def error(cls, status, message, problems=None):
        obj = {"error": message}
        if problems:
            obj["problems"] = problems
        reply = cls.json(status, obj)
        reply.note = message + ("; " + "; ".join(problems) if problems else "")
        return reply


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "Standin/1.0"

    def version_string(self):
        return self.server_version

    # -- plumbing -----------------------------------------------------------

    def setup(self):
        # One handler per connection: its number tells a kept-alive connection
        # from a new one in the journal.
        self.connection_number = next(self.server.connections)
        self.handshakes_modelled = False
        super().setup()

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("%s %s %s\n" % (now_text(), self.client_address[0], fmt % args))
            sys.stderr.flush()

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = \
        lambda self: self._dispatch()

    def _read_body(self, paced=False):
        encoding = self.headers.get("Transfer-Encoding")
        if encoding is not None:
            if encoding.strip().lower() != "chunked":
                raise BadRequest(501, "Transfer-Encoding %r not supported" % encoding)
            return self._read_chunked(paced)
        lengths = self.headers.get_all("Content-Length") or []
        if not lengths:
            return b""
        if len(set(v.strip() for v in lengths)) != 1:
            raise BadRequest(400, "conflicting Content-Length headers")
        text = lengths[0].strip()
        if not (text.isascii() and text.isdigit()):
            raise BadRequest(400, "bad Content-Length %r" % lengths[0])
        length = int(text)
        if length > self.server.max_body:
            raise BadRequest(413, "body of %d bytes is over the limit" % length)
        return self._read_exact(length, paced)

    def _read_exact(self, count, paced=False):
        """count bytes of the body; paced, each chunk crosses the modelled
        uplink before the next is read."""
        line = self.server.line
        step = LINE_CHUNK if paced and line.paced else 1 << 16
        chunks = []
        while count > 0:
            data = self.rfile.read(min(count, step))
            if not data:
                raise ConnectionError("connection closed inside the body")
            if paced:
                line.carry(len(data))
            chunks.append(data)
            count -= len(data)
        return b"".join(chunks)

    def _read_chunked(self, paced=False):
        chunks, total = [], 0
        while True:
            line = self.rfile.readline(1024)
            if not line.endswith(b"\n"):
                raise BadRequest(400, "bad chunk size line")
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise BadRequest(400, "bad chunk size line")
            if size < 0 or total + size > self.server.max_body:
                raise BadRequest(413, "chunked body over the limit")
            if size == 0:
                for _ in range(100):  # trailer lines, up to the empty one
                    if self.rfile.readline(1024) in (b"\r\n", b"\n", b""):
                        return b"".join(chunks)
                raise BadRequest(400, "too many trailer lines")
            chunks.append(self._read_exact(size, paced))
            total += size
            self._read_exact(2)

    def _send(self, reply):
        bodiless = reply.status in BODILESS_STATUSES
        body = b"" if bodiless else reply.body
        self.send_response(reply.status)
        if not bodiless:
            self.send_header("Content-Type", reply.ctype)
        self.send_header("Cache-Control", "no-store")
        for name, value in reply.headers:
            self.send_header(name, value)
        if not bodiless:
            self.send_header("Content-Length", str(len(body)))
        if reply.close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if reply.body_delay_ms and body:
            self.server.stopping.wait(reply.body_delay_ms / 1000.0)
        if reply.cut:
            body = body[:len(body) // 2]
        if reply.trickle_ms:
            for offset in range(len(body)):
                if offset and self.server.stopping.wait(reply.trickle_ms / 1000.0):
                    break
                self.wfile.write(body[offset:offset + 1])
                self.wfile.flush()
            body = b""
        view = memoryview(body)
        for offset in range(0, len(view), 1 << 20):
            self.wfile.write(view[offset:offset + (1 << 20)])
        self.wfile.flush()
        if reply.cut:
            self._drop(abortive=False)

    def _hang(self):
        # No answer, nothing handled: the request stays unanswered until the
        # client gives up and closes the connection, or the stand-in stops.
        self.close_connection = True
        while not self.server.stopping.wait(0.1):
            try:
                readable, _, _ = select.select([self.connection], [], [], 0)
                if readable and not self.connection.recv(1):
                    return
            except (OSError, ValueError):
                return

    def _drop(self, abortive):
        # No answer and no TLS close_notify. The orderly TCP close behaves the
        # same on every run; an abortive one (RST) races with the client's
        # reading and so gives different client errors from run to run.
        self.close_connection = True
        try:
            if abortive:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
            else:
                self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _dispatch(self):
        store = self.server.store
        path, _, query = self.path.partition("?")
        method = self.command
        restricted = path.startswith("/_control") or path == "/cards" or path.startswith("/cards/")
        line = self.server.line
        if not restricted and not self.handshakes_modelled:
            # Modelled at the connection's first request to the services, so
            # that control requests on a line never pay for it.
            self.handshakes_modelled = True
            if line.rtt_ms:
                line.setup(getattr(self.connection, "version", lambda: None)())
        try:
            body = self._read_body(paced=not restricted)
        except BadRequest as e:
            if not restricted:
                self._journal(method, path, query, b"", e.status, "rejected", str(e))
            reply = Reply.error(e.status, str(e))
            reply.close = True
            self._send(reply)
            return
        except (OSError, ConnectionError):
            self.close_connection = True
            return

        if restricted:
            if not is_loopback(self.client_address[0]):
                self._send(Reply.error(403, "control and browse pages answer loopback clients only"))
                return
            reply = self._control(method, path, query, body) if path.startswith("/_control") \
                else self._browse(method, path)
            self._send(reply)
            return

        journal_id = self._journal(method, path, query, body)
        line.answer(path)
        fault = self.server.faults.take(method, path, body)
        if fault and fault["delay_ms"]:
            self.server.stopping.wait(fault["delay_ms"] / 1000.0)
        if fault and fault["action"] == "hang":
            store.run("UPDATE journal SET outcome=? WHERE id=?", ("fault:hang", journal_id))
            self._hang()
            return
        if fault and (fault["action"] in ("status", "drop", "reset", "malformed", "oversized") or
                      (fault["action"] == "cut" and fault["body"] is not None)):
            self._apply_fault(fault, journal_id)
            return

        try:
            reply = self._route(method, path, body)
        except BadRequest as e:
            reply = Reply.error(e.status, str(e), e.problems)
        except Exception as e:  # a stand-in bug must still answer, not hang the client
            reply = Reply.error(500, "stand-in failure: %r" % e)
        outcome = "ok"
        if fault and fault["action"] == "cookie":
            session = reply.session or secrets.token_hex(16).upper()
            reply.headers = [h for h in reply.headers if h[0].lower() != "set-cookie"]
            reply.headers += [("Set-Cookie", c.replace("{session}", session))
                              for c in fault["cookie"]]
            outcome = "fault:cookie"
        elif fault:
            outcome = "fault:" + fault["action"]
        if fault and fault["action"] == "lose":
            # Handled and stored like any request; only the answer never arrives.
            store.run("UPDATE journal SET outcome=?, note=? WHERE id=?",
                      (outcome, reply.note, journal_id))
            self._drop(abortive=False)
            return
        reply.cut = bool(fault) and fault["action"] == "cut"
        reply.body_delay_ms = fault["body_delay_ms"] if fault else 0
        reply.trickle_ms = fault["trickle_ms"] if fault else 0
        reply.headers += fault["headers"] if fault else []
        store.run("UPDATE journal SET status=?, outcome=?, note=? WHERE id=?",
                  (reply.status, outcome, reply.note, journal_id))
        self._send(reply)

    def _journal(self, method, path, query, body, status=None, outcome=None, note=None):
        headers = json.dumps([[k, v] for k, v in self.headers.items()], ensure_ascii=False)
        return self.server.store.run(
            "INSERT INTO journal (time, method, path, query, headers, body, client, status,"
            " outcome, note, connection) VALUES (?,?,?,?,?,?,?,?,?,?,?)",
            (time.time(), method, path, query, headers, body, self.client_address[0],
             status, outcome, note, self.connection_number))

    def _apply_fault(self, fault, journal_id):
        action = fault["action"]
        store = self.server.store
        if action in ("drop", "reset"):
            store.run("UPDATE journal SET outcome=? WHERE id=?", ("fault:" + action, journal_id))
            self._drop(abortive=action == "reset")
            return
        if action == "status":
            body = fault["body"].encode("utf-8") if fault["body"] is not None else \
                json.dumps({"error": "injected fault", "status": fault["status"]}).encode()
            reply = Reply(fault["status"], body)
        elif action in ("malformed", "cut"):
            body = fault["body"].encode("utf-8") if fault["body"] is not None else DEFAULT_MALFORMED
            reply = Reply(200, body)
            reply.cut = action == "cut"
        else:
            size = fault["size"]
            if fault["body"]:
                unit = fault["body"].encode("utf-8")
                body = (unit * (size // len(unit) + 1))[:size]
            else:
                # Still one valid JSON object, so a reader that copes with the
                # size sees a usable (if absurd) answer.
                head, tail = b'{"lastName":"', b'"}'
                body = head + b"A" * max(0, size - len(head) - len(tail)) + tail
            reply = Reply(200, body)
        reply.headers += fault["headers"]
        reply.body_delay_ms = fault["body_delay_ms"]
        reply.trickle_ms = fault["trickle_ms"]
        store.run("UPDATE journal SET status=?, outcome=? WHERE id=?",
                  (reply.status, "fault:" + action, journal_id))
        self._send(reply)

    # -- card service and OCR ----------------------------------------------

    def _session(self):
        """(session id, mail) of the request's valid JSESSIONID, or (None, None);
        a valid session's lifetime starts over with every request."""
        store = self.server.store
        now = time.time()
        for header in self.headers.get_all("Cookie") or []:
            for item in header.split(";"):
                name, _, value = item.strip().partition("=")
                if name != "JSESSIONID" or not value:
                    continue
                row = store.one("SELECT mail, expires FROM sessions WHERE id=? AND ended=0",
                                (value,))
                if row and row[1] > now:
                    store.run("UPDATE sessions SET expires=? WHERE id=?",
                              (now + self.server.session_seconds, value))
                    return value, row[0]
        return None, None

    def _route(self, method, path, body):
        if path == "/CardOCR/cardocr":
            if method != "POST":
                return Reply.error(405, "use POST")
            return self._cardocr(body)
        if path == "/service/m_login":
            if method != "POST":
                return Reply.error(405, "use POST")
            return self._login(body)
        if not path.startswith("/service/"):
            return Reply.error(404, "no such page")
        session, mail = self._session()
        if session is None:
            return Reply.error(401, "no valid session")
        routes = {
            "/service/m_logout": ("GET", self._logout),
            "/service/user_status/": ("GET", self._user_status),
            "/service/m_newsyncid/": ("GET", self._newsyncid),
            "/service/m_log/": ("POST", self._m_log),
            "/service/m_card/": ("POST", self._m_card),
        }
        prefix = "/service/m_card/backimage/"
        if path.startswith(prefix) and len(path) > len(prefix):
            wanted, handler = "POST", lambda s, m, b: self._backimage(s, m, b, path[len(prefix):])
        elif path in routes:
            wanted, handler = routes[path]
        else:
            return Reply.error(404, "no such page")
        if method != wanted:
            return Reply.error(405, "use " + wanted)
        reply = handler(session, mail, body)
        reply.session = reply.session or session
        return reply

    def _content_type(self):
        return (self.headers.get("Content-Type") or "").split(";", 1)[0].strip().lower()

    def _login(self, body):
        if self._content_type() != "application/x-www-form-urlencoded":
            return Reply.error(400, "logon form must be application/x-www-form-urlencoded")
        try:
            fields = urllib.parse.parse_qs(body.decode("utf-8"), keep_blank_values=True,
                                           strict_parsing=True, errors="strict")
        except (UnicodeDecodeError, ValueError) as e:
            return Reply.error(400, "unreadable logon form: %s" % e)
        if any(len(v) != 1 for v in fields.values()) or \
                "user" not in fields or "sync_token" not in fields:
            return Reply.error(400, "logon form needs exactly one user and one sync_token")
        mail, token = fields["user"][0], fields["sync_token"][0]
        store = self.server.store
        row = store.one("SELECT token FROM accounts WHERE mail=?", (mail,))
        if row is None or not secrets.compare_digest(row[0].encode(), token.encode()):
            return Reply.error(401, "unknown account or wrong token")
        session = secrets.token_hex(16).upper()
        now = time.time()
        if self.server.options["one_session"]:
            # A service that keeps one session per account: the new one ends the others.
            store.run("UPDATE sessions SET ended=1 WHERE mail=? AND ended=0", (mail,))
        store.run("INSERT INTO sessions (id, mail, created, expires) VALUES (?,?,?,?)",
                  (session, mail, now, now + self.server.session_seconds))
        reply = Reply.json(200, {"result": "ok"})
        reply.headers.append(("Set-Cookie", "JSESSIONID=%s; Path=/; Secure; HttpOnly" % session))
        reply.session = session
        return reply

    def _logout(self, session, mail, body):
        self.server.store.run("UPDATE sessions SET ended=1 WHERE id=?", (session,))
        return Reply.json(200, {"result": "ok"})

    def _user_status(self, session, mail, body):
        store = self.server.store
        limit, username = store.one("SELECT card_limit, username FROM accounts WHERE mail=?",
                                    (mail,))
        count = store.one("SELECT COUNT(*) FROM cards WHERE mail=?", (mail,))[0]
        return Reply.json(200, {"accountname": mail, "username": username,
                                "max_count": limit, "use_count": count})

    def _newsyncid(self, session, mail, body):
        # 20 printable characters: within the 24 that a card record holds.
        sync_id = "S" + secrets.token_hex(8).upper() + "%03d" % secrets.randbelow(1000)
        self.server.store.run(
            "INSERT INTO sync_ids (sync_id, mail, session, issued) VALUES (?,?,?,?)",
            (sync_id, mail, session, time.time()))
        return Reply(200, sync_id.encode("ascii"), ctype="text/plain; charset=us-ascii")

    def _m_log(self, session, mail, body):
        if self._content_type() != "application/json":
            return Reply.error(400, "sync ID report must be application/json")
        _, report = parse_json_text(body, "sync ID report")
        ids = report.get("syncidlist") if isinstance(report, dict) else None
        if not isinstance(ids, list) or not ids or not all(isinstance(i, str) for i in ids):
            return Reply.error(400, "syncidlist must be a non-empty list of texts")
        now = time.time()
        with self.server.store.transaction() as store:
            for sync_id in ids:
                store._db.execute("INSERT INTO m_log (time, mail, sync_id) VALUES (?,?,?)",
                                  (now, mail, sync_id))
        return Reply.json(200, {"result": "ok", "count": len(ids)})

    def _m_card(self, session, mail, body):
        parts, info = parse_multipart(self.headers.get("Content-Type"), body)
        named = parts_by_name(parts)
        missing = [n for n in ("SyncData", "Card", "image", "thumb") if n not in named]
        if missing:
            return Reply.error(400, "missing parts: " + ", ".join(missing))
        for name in ("image", "thumb"):
            if not named[name]["data"]:
                return Reply.error(400, "part %s is empty" % name)
        sync_text, sync_data = parse_json_text(named["SyncData"]["data"], "SyncData")
        card_text, card = parse_json_text(named["Card"]["data"], "Card")
        problems = check_card_json(sync_data, card)
        if problems:
            return Reply.error(400, "card JSON does not fit", problems)
        sync_id = sync_data["sync_id"]
        with self.server.store.transaction() as store:
            db = store._db
            issued = db.execute("SELECT mail FROM sync_ids WHERE sync_id=?", (sync_id,)).fetchone()
            if issued is None or issued[0] != mail:
                return Reply.error(400, "sync ID %r was not issued to this account" % sync_id)
            if db.execute("SELECT 1 FROM cards WHERE sync_id=?", (sync_id,)).fetchone():
                # Cards are kept by sync ID: a registration sent again (its
                # first answer lost) replaces the card and takes no new place.
                db.execute(
                    "UPDATE cards SET sync_data_text=?, card_text=?, image=?, image_name=?, thumb=?,"
                    " thumb_name=?, multipart=?, registrations=registrations+1 WHERE sync_id=?",
                    (sync_text, card_text, named["image"]["data"], named["image"]["filename"],
                     named["thumb"]["data"], named["thumb"]["filename"],
                     json.dumps(info, ensure_ascii=False), sync_id))
                return Reply.json(200, {"result": "ok", "sync_id": sync_id, "replaced": True})
            limit = db.execute("SELECT card_limit FROM accounts WHERE mail=?", (mail,)).fetchone()[0]
            count = db.execute("SELECT COUNT(*) FROM cards WHERE mail=?", (mail,)).fetchone()[0]
            if count >= limit:
                return Reply.error(412, "the account holds %d of %d cards" % (count, limit))
            db.execute(
                "INSERT INTO cards (sync_id, mail, created, sync_data_text, card_text, image,"
                " image_name, thumb, thumb_name, multipart) VALUES (?,?,?,?,?,?,?,?,?,?)",
                (sync_id, mail, time.time(), sync_text, card_text, named["image"]["data"],
                 named["image"]["filename"], named["thumb"]["data"], named["thumb"]["filename"],
                 json.dumps(info, ensure_ascii=False)))
        return Reply.json(200, {"result": "ok", "sync_id": sync_id})

    def _backimage(self, session, mail, body, sync_id):
        store = self.server.store
        row = store.one("SELECT mail FROM cards WHERE sync_id=?", (sync_id,))
        if row is None or row[0] != mail:
            return Reply.error(404, "no card %r in this account" % sync_id)
        parts, _ = parse_multipart(self.headers.get("Content-Type"), body)
        named = parts_by_name(parts)
        for name in ("image", "thumb"):
            if name not in named or not named[name]["data"]:
                return Reply.error(400, "part %s is missing or empty" % name)
        store.run("UPDATE cards SET back=?, back_thumb=?, back_uploads=back_uploads+1"
                  " WHERE sync_id=?", (named["image"]["data"], named["thumb"]["data"], sync_id))
        return Reply.json(200, {"result": "ok", "sync_id": sync_id})

    def _cardocr(self, body):
        store = self.server.store
        fields, info, image, image_name, source = {}, {"parts": []}, None, None, None
        try:
            parts, info = parse_multipart(self.headers.get("Content-Type"), body)
            named = parts_by_name(parts)
            for part in parts:
                if part["filename"] is None:
                    fields[part["name"]] = part["data"].decode("utf-8", "replace")
            if "image" in named:
                image, image_name = named["image"]["data"], named["image"]["filename"]
            missing = [n for n in OCR_TEXT_FIELDS if n not in fields]
            if missing:
                raise BadRequest(400, "missing fields: " + ", ".join(missing))
            if fields["venderCode"] != OCR_VENDER_CODE or fields["appliCode"] != OCR_APPLI_CODE:
                raise BadRequest(403, "unknown client codes")
            if fields["meishiLang"] not in ("1", "2"):
                raise BadRequest(400, "meishiLang must be 1 or 2")
            if not image:
                raise BadRequest(400, "no image")
            answer, source = self.server.samples.answer_for(image)
            if answer is None:
                answer = json.dumps(default_ocr_answer(image_name), ensure_ascii=False).encode()
                source = "default"
            else:
                source = "sample:" + source
            reply = Reply(200, answer)
        except BadRequest as e:
            reply = Reply.error(e.status, str(e), e.problems)
            source = "error"
        store.run("INSERT INTO ocr_requests (time, fields, parts, image, image_name,"
                  " answer_source, status) VALUES (?,?,?,?,?,?,?)",
                  (time.time(), json.dumps(fields, ensure_ascii=False),
                   json.dumps(info, ensure_ascii=False), image, image_name, source, reply.status))
        return reply

    # -- control and browse pages -------------------------------------------

    def _control(self, method, path, query, body):
        try:
            return self._control_inner(method, path, urllib.parse.parse_qs(query), body)
        except BadRequest as e:
            return Reply.error(e.status, str(e), e.problems)
        except Exception as e:  # answer the test rather than leave it waiting
            return Reply.error(500, "stand-in failure: %r" % e)

    def _control_inner(self, method, path, query, body):
        store = self.server.store
        args = None
        if body:
            try:
                args = json.loads(body.decode("utf-8"))
            except ValueError as e:
                raise BadRequest(400, "control body is not JSON: %s" % e)
        key = (method, path.rstrip("/"))
        ok = {"ok": True}
        if key == ("POST", "/_control/accounts"):
            return Reply.json(200, ok | {"account": self._put_account(args)})
        if key == ("GET", "/_control/accounts"):
            rows = store.all("SELECT a.mail, a.token, a.card_limit, a.username,"
                             " (SELECT COUNT(*) FROM cards c WHERE c.mail=a.mail)"
                             " FROM accounts a ORDER BY a.mail")
            return Reply.json(200, {"accounts": [
                {"mail": r[0], "token": r[1], "limit": r[2], "username": r[3], "use_count": r[4]}
                for r in rows]})
        if key == ("POST", "/_control/faults"):
            specs = args if isinstance(args, list) else [args]
            faults = [FaultQueue.validate(s) for s in specs]
            self.server.faults.add(faults)
            return Reply.json(200, ok | {"queued": len(faults)})
        if key == ("GET", "/_control/faults"):
            return Reply.json(200, {"faults": self.server.faults.pending()})
        if key == ("DELETE", "/_control/faults"):
            self.server.faults.clear()
            return Reply.json(200, ok)
        if key == ("POST", "/_control/expire_sessions"):
            mail = args.get("mail") if isinstance(args, dict) else None
            if mail is None:
                store.run("UPDATE sessions SET expires=0")
            else:
                store.run("UPDATE sessions SET expires=0 WHERE mail=?", (mail,))
            return Reply.json(200, ok)
        if key == ("GET", "/_control/options"):
            return Reply.json(200, {"options": dict(self.server.options)})
        if key == ("POST", "/_control/options"):
            if not isinstance(args, dict) or any(
                    k not in DEFAULT_OPTIONS or type(v) is not type(DEFAULT_OPTIONS[k])
                    for k, v in args.items()):
                raise BadRequest(400, "options: " + ", ".join(
                    "%s (%s)" % (k, type(v).__name__) for k, v in DEFAULT_OPTIONS.items()))
            self.server.options.update(args)
            return Reply.json(200, ok | {"options": dict(self.server.options)})
        if key == ("GET", "/_control/line"):
            return Reply.json(200, {"line": self.server.line.settings()})
        if key == ("POST", "/_control/line"):
            self.server.line.configure(args if args is not None else {})
            return Reply.json(200, ok | {"line": self.server.line.settings()})
        if key == ("GET", "/_control/sessions"):
            now = time.time()
            rows = store.all("SELECT id, mail, created, expires, ended FROM sessions ORDER BY created")
            return Reply.json(200, {"sessions": [
                {"id": r[0], "mail": r[1], "created": now_text(r[2]), "ended": bool(r[4]),
                 "valid": not r[4] and r[3] > now} for r in rows]})
        if key == ("GET", "/_control/journal"):
            return Reply.json(200, self._journal_listing(query))
        if key == ("DELETE", "/_control/journal"):
            store.run("DELETE FROM journal")
            return Reply.json(200, ok)
        if key == ("GET", "/_control/cards"):
            return Reply.json(200, {"cards": self._card_listing()})
        if key == ("GET", "/_control/m_log"):
            rows = store.all("SELECT m.id, m.time, m.mail, m.sync_id,"
                             " EXISTS(SELECT 1 FROM cards c WHERE c.sync_id=m.sync_id)"
                             " FROM m_log m ORDER BY m.id")
            return Reply.json(200, {"reports": [
                {"id": r[0], "time": now_text(r[1]), "account": r[2], "sync_id": r[3],
                 "known": bool(r[4])} for r in rows]})
        if key == ("GET", "/_control/ocr_requests"):
            rows = store.all("SELECT id, time, fields, parts, image, image_name, answer_source,"
                             " status FROM ocr_requests ORDER BY id")
            return Reply.json(200, {"requests": [
                {"id": r[0], "time": now_text(r[1]), "fields": json.loads(r[2]),
                 "multipart": json.loads(r[3]), "image": blob_info(r[4], r[5]),
                 "answer_source": r[6], "status": r[7]} for r in rows]})
        if key == ("POST", "/_control/reset"):
            keep_accounts = not (isinstance(args, dict) and args.get("accounts"))
            self.server.faults.clear()
            self.server.options = dict(DEFAULT_OPTIONS)
            self.server.line.configure(self.server.line_at_start)
            with store.transaction() as s:
                for table in ("sessions", "sync_ids", "cards", "m_log", "journal",
                              "ocr_requests") + (() if keep_accounts else ("accounts",)):
                    s._db.execute("DELETE FROM " + table)
            return Reply.json(200, ok)
        return Reply.error(404, "no control endpoint %s %s" % (method, path))

    def _put_account(self, args):
        if not isinstance(args, dict):
            raise BadRequest(400, "an account is a JSON object")
        mail, token = args.get("mail"), args.get("token")
        limit = args.get("limit", DEFAULT_CARD_LIMIT)
        username = args.get("username", (mail or "").split("@", 1)[0])
        if not isinstance(mail, str) or not mail or not isinstance(token, str):
            raise BadRequest(400, "mail (non-empty text) and token (text) are needed")
        if type(limit) is not int or limit < 0 or not isinstance(username, str):
            raise BadRequest(400, "limit must be a non-negative integer, username a text")
        self.server.store.run(
            "INSERT OR REPLACE INTO accounts (mail, token, card_limit, username) VALUES (?,?,?,?)",
            (mail, token, limit, username))
        return {"mail": mail, "token": token, "limit": limit, "username": username}

    def _journal_listing(self, query):
        def first(name, default):
            return query.get(name, [default])[0]
        try:
            since = int(first("since", "0"))
        except ValueError:
            raise BadRequest(400, "since must be an integer")
        prefix = first("path_prefix", "")
        bodies = first("bodies", "1") not in ("0", "false", "no")
        rows = self.server.store.all(
            "SELECT id, time, method, path, query, headers, body, client, status, outcome, note,"
            " connection FROM journal WHERE id>? AND substr(path, 1, ?)=? ORDER BY id",
            (since, len(prefix), prefix))
        entries = []
        for r in rows:
            entry = {"id": r[0], "time": now_text(r[1]), "method": r[2], "path": r[3],
                     "query": r[4], "headers": json.loads(r[5]), "body_size": len(r[6]),
                     "client": r[7], "status": r[8], "outcome": r[9], "note": r[10],
                     "connection": r[11]}
            if bodies:
                entry["body_b64"] = base64.b64encode(r[6]).decode("ascii")
            entries.append(entry)
        last = self.server.store.one("SELECT MAX(id) FROM journal")[0] or 0
        return {"entries": entries, "last_id": last}

    def _card_listing(self):
        store = self.server.store
        rows = store.all("SELECT sync_id, mail, created, sync_data_text, card_text, image,"
                         " image_name, thumb, thumb_name, back, back_thumb, back_uploads,"
                         " multipart, registrations FROM cards ORDER BY created, sync_id")
        cards = []
        for r in rows:
            reports = store.all("SELECT time FROM m_log WHERE sync_id=? ORDER BY id", (r[0],))
            cards.append({
                "sync_id": r[0], "account": r[1], "created": now_text(r[2]),
                "sync_data": json.loads(r[3]), "card": json.loads(r[4]),
                "sync_data_text": r[3], "card_text": r[4],
                "image": blob_info(r[5], r[6]), "thumb": blob_info(r[7], r[8]),
                "back": blob_info(r[9]), "back_thumb": blob_info(r[10]),
                "back_uploads": r[11], "m_log": [now_text(t[0]) for t in reports],
                "multipart": json.loads(r[12]), "registrations": r[13],
            })
        return cards

    def _browse(self, method, path):
        if method != "GET":
            return Reply.error(405, "read-only page")
        if path.rstrip("/") == "/cards":
            return Reply(200, self._cards_page().encode("utf-8"), ctype="text/html; charset=utf-8")
        match = re.fullmatch(r"/cards/([^/]+)/(image|thumb|back|backthumb)", path)
        column = {"image": "image", "thumb": "thumb", "back": "back",
                  "backthumb": "back_thumb"}.get(match.group(2)) if match else None
        row = self.server.store.one("SELECT %s FROM cards WHERE sync_id=?" % column,
                                    (urllib.parse.unquote(match.group(1)),)) if column else None
        if not row or row[0] is None:
            return Reply.error(404, "no such image")
        data = row[0]
        ctype = "image/jpeg" if data[:2] == b"\xff\xd8" else \
            "image/png" if data[:4] == b"\x89PNG" else "application/octet-stream"
        return Reply(200, data, ctype=ctype)

    def _cards_page(self):
        rows = self.server.store.all(
            "SELECT sync_id, mail, card_text, back IS NOT NULL FROM cards ORDER BY created")
        out = ["<!DOCTYPE html><html><head><meta charset='utf-8'><title>Cards</title>",
               "<style>body{font-family:sans-serif}td{padding:4px 8px;vertical-align:top}"
               "img{max-height:120px;border:1px solid #ccc}</style></head><body>",
               "<h1>Registered cards (%d)</h1><table>" % len(rows),
               "<tr><th>Name</th><th>Company</th><th>Account</th><th>Sync ID</th>"
               "<th>Front</th><th>Back</th></tr>"]
        for sync_id, mail, card_text, has_back in rows:
            try:
                card = json.loads(card_text)
            except ValueError:
                card = {}
            name = " ".join(x for x in (card.get("lname", ""), card.get("fname", "")) if x)
            link = "/cards/" + urllib.parse.quote(sync_id, safe="")
            back = ("<a href='%s/back'><img src='%s/backthumb' alt='back'></a>" % (link, link)
                    if has_back else "")
            out.append("<tr><td>%s</td><td>%s</td><td>%s</td><td><code>%s</code></td>"
                       "<td><a href='%s/image'><img src='%s/thumb' alt='front'></a></td>"
                       "<td>%s</td></tr>" % (
                           html.escape(name), html.escape(str(card.get("cname", ""))),
                           html.escape(mail), html.escape(sync_id), link, link, back))
        out.append("</table></body></html>")
        return "\n".join(out)


class StandinServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 64

    def __init__(self, address, context, store, samples, session_seconds, max_body, quiet, line=None):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.ssl_context = context
        self.store = store
        self.samples = samples
        self.faults = FaultQueue()
        self.options = dict(DEFAULT_OPTIONS)
        self.session_seconds = session_seconds
        self.max_body = max_body
        self.quiet = quiet
        self.stopping = threading.Event()
        self.connections = itertools.count(1)
        # The line the stand-in started with; a reset goes back to it.
        self.line_at_start = Line.validate(line or {})
        self.line = Line(self.stopping)
        self.line.configure(self.line_at_start)
        super().__init__(address, Handler)

    def server_bind(self):
        if self.line_at_start["uplink_mbit"]:
            # Before any connection: a line's segment size and a small window,
            # inherited by every accepted socket, so that a client's bytes
            # wait on its own side of the modelled uplink rather than in
            # loopback buffers (its kernel still queues some: see README).
            self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, LINE_SEGMENT)
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, LINE_RECEIVE_BUFFER)
        super().server_bind()

    def finish_request(self, request, client_address):
        # The TLS handshake happens here, on the connection's own thread, so a
        # client that never completes it cannot stall the accept loop.
        request.settimeout(HANDSHAKE_TIMEOUT)
        try:
            # Small answers go out at once instead of waiting on a delayed ACK.
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
        try:
            conn = self.ssl_context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        try:
            conn.settimeout(IO_TIMEOUT)
            self.RequestHandlerClass(conn, client_address, self)
        except (OSError, ssl.SSLError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if not self.quiet:
            sys.stderr.write("%s error serving %s: %r\n" % (now_text(), client_address[0],
                                                            sys.exc_info()[1]))


def ensure_certificate(state_dir, host):
    cert = os.path.join(state_dir, CERT_NAME)
    key = os.path.join(state_dir, KEY_NAME)
    if os.path.isfile(cert) and os.path.isfile(key):
        return cert, key
    # Stand-ins started together on one folder must agree on one key pair.
    with open(os.path.join(state_dir, ".cert.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.isfile(cert) and os.path.isfile(key):
            return cert, key
        return _make_certificate(cert, key, host)


def _make_certificate(cert, key, host):
    names = ["IP:127.0.0.1", "DNS:localhost"]
    try:
        if not ipaddress.ip_address(host).is_unspecified and host != "127.0.0.1":
            names.append("IP:" + host)
    except ValueError:
        names.append("DNS:" + host)
    tag = "%d.%s" % (os.getpid(), secrets.token_hex(4))
    tmp_cert, tmp_key = cert + "." + tag, key + "." + tag
    command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
               "-days", "3650", "-subj", "/CN=127.0.0.1", "-keyout", tmp_key, "-out", tmp_cert,
               "-addext", "subjectAltName=" + ",".join(names),
               "-addext", "extendedKeyUsage=serverAuth"]
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        if result.returncode != 0:
            raise RuntimeError("openssl failed: " + result.stdout.decode("utf-8", "replace"))
        os.chmod(tmp_key, 0o600)
        # Key first: a reader that finds the certificate also finds its key.
        os.replace(tmp_key, key)
        os.replace(tmp_cert, cert)
    finally:
        for leftover in (tmp_cert, tmp_key):
            if os.path.exists(leftover):
                os.unlink(leftover)
    return cert, key


def write_ready_file(path, info):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(info, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True,
                        help="folder for the certificate, the database and the log")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--ready-file", help="written (atomically) once the server listens")
    parser.add_argument("--session-seconds", type=float, default=1800.0,
                        help="idle lifetime of a logon session")
    parser.add_argument("--samples", action="append",
                        help="folder of OCR sample images with NAME.json answers (repeatable;"
                             " default: the samples folder beside this program)")
    parser.add_argument("--max-body", type=int, default=DEFAULT_MAX_BODY)
    parser.add_argument("--quiet", action="store_true", help="no access log on stderr")
    parser.add_argument("--watch-stdin", action="store_true",
                        help="stop when standard input reaches end of file (the parent died)")
    add_line_arguments(parser)
    return parser.parse_args(argv)


def add_line_arguments(parser):
    """The line model's options, shared with run_with_standin.py."""
    parser.add_argument("--line-rtt-ms", type=float, default=0.0, metavar="MS",
                        help="modelled round trip (0: none)")
    parser.add_argument("--line-uplink-mbit", type=float, default=0.0, metavar="MBIT",
                        help="modelled uplink shared by every connection, in Mbit/s (0: unlimited)")
    parser.add_argument("--line-service", action="append", default=[], metavar="PREFIX=MS",
                        help="time an endpoint works on a request: its path prefix (longest wins)"
                             " or * for the rest (repeatable)")


def line_from_arguments(args):
    """The line spec of the parsed options; raises ValueError for a bad one."""
    service = {}
    for item in args.line_service:
        prefix, sep, ms = item.rpartition("=")
        if not sep:
            raise ValueError("--line-service takes PREFIX=MS: %r" % item)
        service[prefix] = float(ms)
    spec = {"rtt_ms": args.line_rtt_ms, "uplink_mbit": args.line_uplink_mbit, "service_ms": service}
    try:
        return Line.validate(spec)
    except BadRequest as e:
        raise ValueError(str(e))


def line_arguments(spec):
    """The command line options of a line spec (for a stand-in started by another program)."""
    spec = spec or {}
    out = []
    if spec.get("rtt_ms"):
        out += ["--line-rtt-ms", str(spec["rtt_ms"])]
    if spec.get("uplink_mbit"):
        out += ["--line-uplink-mbit", str(spec["uplink_mbit"])]
    for prefix, ms in (spec.get("service_ms") or {}).items():
        out += ["--line-service", "%s=%s" % (prefix, ms)]
    return out


def main(argv=None):
    args = parse_args(argv)
    state_dir = os.path.abspath(args.state_dir)
    try:
        os.makedirs(state_dir, exist_ok=True)
        cert, key = ensure_certificate(state_dir, args.bind)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        store = Store(os.path.join(state_dir, DB_NAME))
        samples = SampleIndex(args.samples if args.samples else [DEFAULT_SAMPLES])
        server = StandinServer((args.bind, args.port), context, store, samples,
                               args.session_seconds, args.max_body, args.quiet,
                               line_from_arguments(args))
    except (OSError, RuntimeError, ValueError, ssl.SSLError, sqlite3.Error) as e:
        sys.stderr.write("standin: cannot start: %s\n" % e)
        return 2
    port = server.server_address[1]
    host = args.bind if ":" not in args.bind else "[%s]" % args.bind
    try:
        if ipaddress.ip_address(args.bind).is_unspecified:
            host = "127.0.0.1"
    except ValueError:
        pass
    info = {"port": port, "pid": os.getpid(), "cert": cert, "base": "https://%s:%d" % (host, port)}

    stop = server.stopping
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, lambda *_: stop.set())
    if args.watch_stdin:
        def watch():
            # The raw descriptor, not sys.stdin: a daemon thread blocked inside
            # a buffered reader holds its lock and delays interpreter exit.
            try:
                while os.read(0, 4096):
                    pass
            except OSError:
                pass
            stop.set()
        threading.Thread(target=watch, name="stdin-watch", daemon=True).start()

    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              name="serve", daemon=True)
    thread.start()
    if args.ready_file:
        write_ready_file(os.path.abspath(args.ready_file), info)
    if not args.quiet:
        sys.stderr.write("%s standin listening on %s (pid %d, %d OCR samples)\n"
                         % (now_text(), info["base"], os.getpid(), len(samples.by_hash)))
        sys.stderr.flush()
    try:
        while not stop.wait(0.5):
            pass
    finally:
        server.shutdown()
        server.server_close()
        if args.ready_file:
            try:
                os.unlink(os.path.abspath(args.ready_file))
            except OSError:
                pass
        store.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
