"""Python side of the stand-in: start and stop it, talk to its control API,
and send hand-made requests to the two web APIs it imitates.

    with StandinProcess.start(state_dir) as server:
        server.client.add_account("a@example.com", "token", limit=5)
        reply = server.client.request("POST", "/service/m_login", ...)

A stand-in started by run_with_standin.py is reached with Client.from_env().
"""

import http.client
import json
import os
import signal
import ssl
import subprocess
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN = os.path.join(HERE, "standin.py")

BOUNDARY = "--------FFF3F395A90B452BB8BEDC878DDBD152"


class StandinError(Exception):
    pass


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # list of (name, value), in order, repeats kept
        self.body = body

    def header_all(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def session_cookie(self):
        """The JSESSIONID=value text of the first Set-Cookie header, or None."""
        for value in self.header_all("Set-Cookie"):
            start = value.find("JSESSIONID=")
            if start >= 0:
                return value[start:].split(";", 1)[0]
            return None
        return None


class Client:
    def __init__(self, base, cert, timeout=20.0):
        parts = urllib.parse.urlsplit(base)
        if parts.scheme != "https" or not parts.hostname:
            raise StandinError("base must be an https address: %r" % base)
        self.base = base
        self.host = parts.hostname
        self.port = parts.port or 443
        self.cert = cert
        self.timeout = timeout
        self.context = ssl.create_default_context(cafile=cert)

    @classmethod
    def from_env(cls, env=None):
        env = os.environ if env is None else env
        try:
            return cls(env["STANDIN_BASE"], env["STANDIN_CERT"])
        except KeyError as e:
            raise StandinError("no stand-in in the environment (%s unset)" % e)

    @classmethod
    def from_ready_file(cls, path):
        with open(path, encoding="utf-8") as f:
            info = json.load(f)
        return cls(info["base"], info["cert"])

    def connection(self):
        return http.client.HTTPSConnection(self.host, self.port, context=self.context,
                                           timeout=self.timeout)

    def request(self, method, path, body=None, headers=None, cookie=None, conn=None):
        """One exchange; a new connection unless one is given. headers is a
        dict or a list of pairs; cookie is a "JSESSIONID=..." text."""
        own = conn is None
        conn = conn or self.connection()
        try:
            conn.putrequest(method, path, skip_accept_encoding=True)
            pairs = list(headers.items()) if isinstance(headers, dict) else list(headers or [])
            if cookie:
                pairs.append(("Cookie", cookie))
            for name, value in pairs:
                conn.putheader(name, value)
            if body is not None or method in ("POST", "PUT"):
                conn.putheader("Content-Length", str(len(body or b"")))
            conn.endheaders(body or None)
            response = conn.getresponse()
            data = response.read()
            return Reply(response.status, response.getheaders(), data)
        finally:
            if own:
                conn.close()

    # -- control API --------------------------------------------------------

    def control(self, method, path, obj=None):
        body = None if obj is None else json.dumps(obj).encode("utf-8")
        headers = {"Content-Type": "application/json"} if body is not None else None
        reply = self.request(method, "/_control/" + path.lstrip("/"), body, headers)
        if reply.status != 200:
            raise StandinError("%s %s: %d %s" % (method, path, reply.status,
                                                 reply.body[:300].decode("utf-8", "replace")))
        return reply.json()

    def add_account(self, mail, token, limit=100, username=None):
        spec = {"mail": mail, "token": token, "limit": limit}
        if username is not None:
            spec["username"] = username
        return self.control("POST", "accounts", spec)["account"]

    def accounts(self):
        return self.control("GET", "accounts")["accounts"]

    def add_fault(self, path_prefix, **fields):
        """Queue one fault; fields as the control API takes them (count,
        status, delay_ms, action, cookie, body, headers, size, method,
        body_contains)."""
        return self.control("POST", "faults", dict(fields, path_prefix=path_prefix))

    def faults(self):
        return self.control("GET", "faults")["faults"]

    def clear_faults(self):
        return self.control("DELETE", "faults")

    def set_options(self, **options):
        """Service behaviours, reset with everything else: one_session
        (a logon ends the account's other sessions)."""
        return self.control("POST", "options", options)["options"]

    def set_line(self, rtt_ms=0, uplink_mbit=0, service_ms=None):
        """The line model (all zero: off); a reset goes back to the stand-in's
        own start-up line. service_ms: {path prefix or "*": ms}."""
        return self.control("POST", "line", {"rtt_ms": rtt_ms, "uplink_mbit": uplink_mbit,
                                             "service_ms": service_ms or {}})["line"]

    def line(self):
        return self.control("GET", "line")["line"]

    def expire_sessions(self, mail=None):
        return self.control("POST", "expire_sessions", {} if mail is None else {"mail": mail})

    def sessions(self):
        return self.control("GET", "sessions")["sessions"]

    def journal(self, since=0, path_prefix=None, bodies=True):
        query = {"since": since, "bodies": "1" if bodies else "0"}
        if path_prefix:
            query["path_prefix"] = path_prefix
        return self.control("GET", "journal?" + urllib.parse.urlencode(query))["entries"]

    def clear_journal(self):
        return self.control("DELETE", "journal")

    def cards(self):
        return self.control("GET", "cards")["cards"]

    def m_log(self):
        return self.control("GET", "m_log")["reports"]

    def ocr_requests(self):
        return self.control("GET", "ocr_requests")["requests"]

    def reset(self, accounts=False):
        return self.control("POST", "reset", {"accounts": accounts})

    # -- the card service as a client would use it ---------------------------

    def login(self, mail, token):
        """The session cookie text ("JSESSIONID=...") or None on failure."""
        body = urllib.parse.urlencode({"user": mail, "sync_token": token}).encode("utf-8")
        reply = self.request("POST", "/service/m_login", body,
                             {"Content-Type": "application/x-www-form-urlencoded"})
        return reply.session_cookie() if reply.status == 200 else None


def multipart_body(parts, boundary=BOUNDARY):
    """A multipart/form-data body laid out the way the plug-in writes it.
    parts: (name, value_bytes) for a text part, (name, filename, bytes) for a
    file part."""
    out = []
    for part in parts:
        if len(part) == 2:
            name, value = part
            out.append(b"--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n"
                       % (boundary.encode(), name.encode(), value))
        else:
            name, filename, data = part
            out.append(b"--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                       b"Content-Type: application/octet-stream\r\n"
                       b"Content-Transfer-Encoding: binary\r\n\r\n%s\r\n"
                       % (boundary.encode(), name.encode(), filename.encode(), data))
    out.append(b"--%s--\r\n" % boundary.encode())
    return b"".join(out)


def multipart_headers(boundary=BOUNDARY):
    return {"Content-Type": "multipart/form-data; boundary=" + boundary}


class StandinProcess:
    """A stand-in running as a child process of the caller."""

    def __init__(self, proc, info, ready_file):
        self.proc = proc
        self.info = info
        self.ready_file = ready_file
        self.port = info["port"]
        self.base = info["base"]
        self.cert = info["cert"]
        self.pid = info["pid"]
        self.client = Client(self.base, self.cert)

    @classmethod
    def start(cls, state_dir, samples=None, session_seconds=None, bind="127.0.0.1", port=0,
              log=None, extra_args=(), timeout=30.0, watch_stdin=True):
        """Start the stand-in and wait until it listens. log: a file path for
        its stderr (default: the file standin.log in state_dir)."""
        state_dir = os.path.abspath(state_dir)
        os.makedirs(state_dir, exist_ok=True)
        # One name per starter, so that stand-ins sharing a state folder
        # never read each other's ready file.
        ready_file = os.path.join(state_dir, "standin.ready.%d.%s.json"
                                  % (os.getpid(), os.urandom(3).hex()))
        command = [sys.executable, STANDIN, "--state-dir", state_dir, "--bind", bind,
                   "--port", str(port), "--ready-file", ready_file]
        for folder in ([samples] if isinstance(samples, str) else samples or []):
            command += ["--samples", folder]
        if session_seconds is not None:
            command += ["--session-seconds", str(session_seconds)]
        if watch_stdin:
            command.append("--watch-stdin")
        command += list(extra_args)
        log_path = log or os.path.join(state_dir, "standin.log")
        with open(log_path, "ab") as log_file:
            # Own session: a Ctrl-C meant for the caller's command does not
            # reach the stand-in, which the caller stops itself. With
            # --watch-stdin the stand-in also ends when the caller dies.
            proc = subprocess.Popen(command, stdin=subprocess.PIPE if watch_stdin else
                                    subprocess.DEVNULL, stdout=log_file, stderr=log_file,
                                    start_new_session=True)
        try:
            deadline = time.monotonic() + timeout
            while True:
                if os.path.exists(ready_file):
                    with open(ready_file, encoding="utf-8") as f:
                        info = json.load(f)
                    return cls(proc, info, ready_file)
                if proc.poll() is not None:
                    raise StandinError("stand-in exited with %d before it was ready; see %s"
                                       % (proc.returncode, log_path))
                if time.monotonic() > deadline:
                    raise StandinError("stand-in not ready after %.0f s; see %s"
                                       % (timeout, log_path))
                time.sleep(0.02)
        except BaseException:
            _stop_process(proc)
            raise

    def stop(self, timeout=5.0):
        _stop_process(self.proc, timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def _stop_process(proc, timeout=5.0):
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
        except OSError:
            pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stdin:
        try:
            proc.stdin.close()
        except OSError:
            pass
