#!/usr/bin/env python3
"""Run one command against a freshly started stand-in, then stop it.

    run_with_standin.py --state-dir DIR [--samples DIR] [--fresh | --isolated]
                        [--session-seconds N] [--account MAIL:TOKEN[:LIMIT]]...
                        [--line-rtt-ms MS] [--line-uplink-mbit MBIT]
                        [--line-service PREFIX=MS]... -- COMMAND ARGS...

The command gets STANDIN_HOST, STANDIN_PORT, STANDIN_BASE, STANDIN_STATE_DIR,
STANDIN_CERT and STANDIN_PID in its environment and keeps this program's standard input,
output and error; the stand-in's own log goes to DIR/standin.log. The exit
code is the command's (128 + N when signal N ended it), 125 when the
stand-in could not be started or seeded, 127 when the command cannot be run.

The stand-in never outlives this program: it is stopped on every way out,
and it watches a pipe from this program so that it also ends when this
program itself is killed outright (a test runner's time-out).
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402
from standin_client import StandinError, StandinProcess  # noqa: E402

EXIT_STANDIN = 125
EXIT_NOT_RUNNABLE = 127


def parse_account(text):
    """MAIL:TOKEN[:LIMIT]. The token may hold colons; a last field of digits
    is taken as the card limit."""
    mail, sep, rest = text.partition(":")
    if not sep or not mail:
        raise argparse.ArgumentTypeError("account must be MAIL:TOKEN[:LIMIT]: %r" % text)
    token, sep, limit = rest.rpartition(":")
    if sep and limit.isdigit():
        return mail, token, int(limit)
    return mail, rest, None


def parse_args(argv):
    if "--" not in argv:
        raise SystemExit("usage: run_with_standin.py [options] -- COMMAND ARGS...")
    cut = argv.index("--")
    own, command = argv[:cut], argv[cut + 1:]
    parser = argparse.ArgumentParser(prog="run_with_standin.py",
                                     description="Run a command against the stand-in.")
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--samples", action="append")
    parser.add_argument("--account", action="append", type=parse_account, default=[])
    parser.add_argument("--session-seconds", type=float)
    parser.add_argument("--fresh", action="store_true",
                        help="start from an empty database (the certificate is kept)")
    parser.add_argument("--isolated", action="store_true",
                        help="run in a new sub-folder of the state folder (own database and"
                             " log, shared certificate), removed afterwards unless the"
                             " command failed; for several runs at once on one folder")
    standin.add_line_arguments(parser)
    args = parser.parse_args(own)
    if not command:
        parser.error("no command after --")
    try:
        args.line = standin.line_from_arguments(args)
    except ValueError as e:
        parser.error(str(e))
    return args, command


def isolated_dir(shared):
    """A new run folder under the shared state folder, holding a copy of the
    shared certificate (made once, there)."""
    os.makedirs(shared, exist_ok=True)
    cert, key = standin.ensure_certificate(shared, "127.0.0.1")
    run_dir = tempfile.mkdtemp(prefix="run-", dir=shared)
    shutil.copy(key, os.path.join(run_dir, standin.KEY_NAME))
    shutil.copy(cert, os.path.join(run_dir, standin.CERT_NAME))
    return run_dir


def main(argv=None):
    args, command = parse_args(sys.argv[1:] if argv is None else argv)
    state_dir = os.path.abspath(args.state_dir)
    run_dir = None
    if args.isolated:
        try:
            state_dir = run_dir = isolated_dir(state_dir)
        except (OSError, RuntimeError) as e:
            sys.stderr.write("run_with_standin: %s\n" % e)
            return EXIT_STANDIN
    elif args.fresh:
        for name in ("standin.sqlite3", "standin.sqlite3-journal"):
            path = os.path.join(state_dir, name)
            if os.path.exists(path):
                os.unlink(path)

    child = None
    received = []

    def forward(signum, frame):
        received.append(signum)
        if child is not None and child.poll() is None:
            try:
                child.send_signal(signum)
            except OSError:
                pass
        elif child is None:
            raise KeyboardInterrupt

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, forward)

    server = None
    removable = []
    try:
        try:
            server = StandinProcess.start(state_dir, samples=args.samples,
                                          session_seconds=args.session_seconds,
                                          extra_args=standin.line_arguments(args.line))
            for mail, token, limit in args.account:
                server.client.add_account(mail, token, **({} if limit is None else
                                                          {"limit": limit}))
        except (StandinError, OSError) as e:
            sys.stderr.write("run_with_standin: %s\n" % e)
            return EXIT_STANDIN
        env = dict(os.environ,
                   STANDIN_HOST="127.0.0.1",
                   STANDIN_PORT=str(server.port),
                   STANDIN_BASE=server.base,
                   STANDIN_STATE_DIR=state_dir,
                   STANDIN_CERT=server.cert,
                   STANDIN_PID=str(server.pid))
        try:
            child = subprocess.Popen(command, env=env)
        except OSError as e:
            sys.stderr.write("run_with_standin: cannot run %s: %s\n" % (command[0], e))
            return EXIT_NOT_RUNNABLE
        code = child.wait()
        code = code if code >= 0 else 128 - code
        if code == 0 and run_dir is not None:
            removable.append(run_dir)
        return code
    except KeyboardInterrupt:
        return 128 + (received[0] if received else signal.SIGINT)
    finally:
        if child is not None and child.poll() is None:
            child.kill()
            child.wait()
        if server is not None:
            server.stop()
        for folder in removable:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
