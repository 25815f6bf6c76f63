#!/usr/bin/env python3
"""kinoro-host under attack: what another client sees.

Four scenarios, each against a fresh kinoro-host on 127.0.0.1, each printing
the victim's latencies (p50, p99, max) and what the attack achieved:

  slowloris    5,000 connections from several 127.0.0.x addresses, each
               sending one header line every 10 s (reconnecting when cut),
               while one victim makes calls over a keep-alive connection and
               another opens a new connection per call. With 80 addresses
               every slow connection is within the per-client limit (64) and
               held; with fewer, most are refused.
  slow-calls   two 30 s calls run while 8 keep-alive clients make calls.
  deep-json    a logged-in user sends calls whose parameter is 1,001 nested
               arrays, as fast as they are answered, while another user
               calls; the victim's success rate and latencies.
  login-flood  2 connections (--flood-connections) send wrong logins as
               fast as they are answered, one at a single account, the
               other at a new name each time; the victim's calls before and
               during the flood, once from one address and once from
               rotating addresses, and whether the targeted account can
               still log in from elsewhere.

usage: bench/http/attack_bench.py --host BUILD/kinoro-host
           [--test-module BUILD/libkinoro_host_testmodule.so]
           [--module BUILD/libkinoro_webapi.so --query QUERY]
           [--scenario all|slowloris|slow-calls|deep-json|login-flood]
           [--connections 5000] [--addresses 80] [--seconds 30]
           [--flood-connections 2]

The victim's call is the test module's "echo" unless --module and --query
name another (e.g. the real module's list_library; its database must hold
the sample library). The slow calls are the test module's "sleep", which is
always loaded. Figures are indicative: the machine is shared with whatever
else runs on it.
"""

import argparse
import http.client
import os
import random
import resource
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ENTRY = "/webapi/entry.cgi"


class Host:
    """kinoro-host in the foreground with its own users.db."""

    def __init__(self, args, extra=()):
        self.dir = tempfile.mkdtemp(prefix="kinoro-attack.")
        self.users_db = os.path.join(self.dir, "users.db")
        self.password = "bench-%d" % random.randrange(1 << 30)
        for name, uid in (("victim", 1024), ("other", 1025)):
            subprocess.run([args.host, "user", "add", name, "--uid", str(uid), "--admin",
                            "--users-db", self.users_db],
                           input=(self.password + "\n").encode(), check=True)
        modules = ["--module", args.test_module]
        if args.module and os.path.abspath(args.module) != os.path.abspath(args.test_module):
            modules += ["--module", args.module]
        port_file = os.path.join(self.dir, "port")
        self.log = open(os.path.join(self.dir, "host.log"), "wb")
        self.proc = subprocess.Popen(
            [args.host, "--listen", "127.0.0.1:0", "--foreground", "--users-db", self.users_db,
             "--port-file", port_file, "--access-log", os.path.join(self.dir, "access.log")]
            + modules + list(extra),
            stdout=subprocess.DEVNULL, stderr=self.log)
        for _ in range(200):
            if os.path.exists(port_file) and open(port_file).read().strip():
                break
            time.sleep(0.05)
        self.port = int(open(port_file).read())

    def login(self, name="victim", source="127.0.0.1"):
        body = "api=VELM.API.Auth&version=1&method=login&account=%s&passwd=%s" % (
            name, urllib.parse.quote(self.password))
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30,
                                          source_address=(source, 0))
        conn.request("POST", ENTRY, body, {"Content-Type": "application/x-www-form-urlencoded"})
        answer = conn.getresponse().read().decode()
        conn.close()
        start = answer.find('"sid":"')
        if start < 0:
            raise RuntimeError("login failed: " + answer)
        return answer[start + 7:answer.index('"', start + 7)]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def percentiles(samples):
    if not samples:
        return "no answers"
    s = sorted(samples)
    pick = lambda q: s[min(len(s) - 1, int(q * len(s)))]
    return "p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms  (%d calls)" % (
        pick(0.50), pick(0.99), s[-1], len(s))


class Victim(threading.Thread):
    """Calls `query` over one keep-alive connection (or a new connection per
    call) until stopped."""

    def __init__(self, port, sid, query, source="127.0.0.1", fresh=False):
        super().__init__(daemon=True)
        self.port, self.sid, self.query, self.source = port, sid, query, source
        self.fresh = fresh
        self.samples, self.failures = [], 0
        self.stopping = threading.Event()

    def run(self):
        conn = None
        while not self.stopping.is_set():
            try:
                if conn is None:
                    conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30,
                                                      source_address=(self.source, 0))
                start = time.monotonic()
                conn.request("GET", ENTRY + "?" + self.query, headers={"Cookie": "id=" + self.sid})
                answer = conn.getresponse().read()
                elapsed = (time.monotonic() - start) * 1000
                if b'"success":true' in answer:
                    self.samples.append(elapsed)
                else:
                    self.failures += 1
                if self.fresh:
                    conn.close()
                    conn = None
            except (OSError, http.client.HTTPException):
                self.failures += 1
                conn = None
            time.sleep(0.01)

    def stop(self):
        self.stopping.set()
        self.join()


def slowloris(args, query):
    host = Host(args)
    try:
        sid = host.login()
        addresses = ["127.0.0.%d" % (10 + i) for i in range(args.addresses)]
        head = ("GET %s?%s HTTP/1.1\r\nHost: bench\r\n" % (ENTRY, query)).encode()
        socks = {}  # socket -> source address
        stats = {"opened": 0, "refused": 0, "cut": 0}

        def open_one(source):
            s = socket.socket()
            s.setblocking(False)
            s.bind((source, 0))
            try:
                s.connect(("127.0.0.1", host.port))
            except BlockingIOError:
                pass
            socks[s] = source
            stats["opened"] += 1
            return s

        def sweep(count_as):
            """Drops the connections the server closed; returns how many."""
            gone = 0
            poller = select.poll()
            by_fd = {}
            for s in socks:
                poller.register(s, select.POLLIN)
                by_fd[s.fileno()] = s
            for fd, _ in poller.poll(0):
                s = by_fd[fd]
                try:
                    data = s.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    socks.pop(s)
                    s.close()
                    gone += 1
            stats[count_as] += gone
            return gone

        per_address = args.connections // len(addresses)
        for source in addresses:
            for _ in range(per_address):
                open_one(source)
        time.sleep(1)
        sweep("refused")
        for s in list(socks):
            try:
                s.send(head)
            except OSError:
                pass
        held_at_start = len(socks)
        victim = Victim(host.port, sid, query)
        newcomer = Victim(host.port, sid, query, source="127.0.0.2", fresh=True)
        victim.start()
        newcomer.start()
        end = time.monotonic() + args.seconds
        next_drip = time.monotonic() + 10
        held_min = held_at_start
        while time.monotonic() < end:
            time.sleep(0.5)
            sweep("cut")
            held_min = min(held_min, len(socks))
            if time.monotonic() >= next_drip:
                next_drip += 10
                for s in list(socks):
                    try:
                        s.send(b"X-Slow: %d\r\n" % random.randrange(1000))
                    except OSError:
                        pass
                # An attacker reconnects what was cut.
                missing = args.connections - len(socks)
                fresh = [open_one(addresses[i % len(addresses)]) for i in range(missing)]
                time.sleep(0.5)
                sweep("refused")
                for s in fresh:
                    if s in socks:
                        try:
                            s.send(head)
                        except OSError:
                            pass
        victim.stop()
        newcomer.stop()
        print("slowloris: %d connections from %d addresses, one header line per 10 s"
              % (args.connections, len(addresses)))
        print("  victim, keep-alive:          %s, %d failed" % (percentiles(victim.samples),
                                                                 victim.failures))
        print("  victim, new connection each: %s, %d failed" % (percentiles(newcomer.samples),
                                                                 newcomer.failures))
        print("  slow connections held by the server: %d at the start, between %d and %d later"
              % (held_at_start, held_min, len(socks)))
        print("  opened %d in all: refused at once %d, cut at the request time bound %d"
              % (stats["opened"], stats["refused"], stats["cut"]))
        for s in socks:
            s.close()
    finally:
        host.stop()


def slow_calls(args, query):
    host = Host(args)
    try:
        sid = host.login()

        def slow():
            conn = http.client.HTTPConnection("127.0.0.1", host.port, timeout=60)
            conn.request("GET", ENTRY + "?api=Kinoro.Test&version=1&method=sleep&ms=30000",
                         headers={"Cookie": "id=" + sid})
            conn.getresponse().read()

        slow_threads = [threading.Thread(target=slow, daemon=True) for _ in range(2)]
        for t in slow_threads:
            t.start()
        time.sleep(0.5)
        victims = [Victim(host.port, sid, query) for _ in range(8)]
        for v in victims:
            v.start()
        time.sleep(min(args.seconds, 25))
        for v in victims:
            v.stop()
        samples = [x for v in victims for x in v.samples]
        print("slow calls: two 30 s calls running, 8 keep-alive clients")
        print("  clients: %s, %d failed" % (percentiles(samples),
                                            sum(v.failures for v in victims)))
        for t in slow_threads:
            t.join()
    finally:
        host.stop()


def deep_json(args, query):
    host = Host(args)
    try:
        sid = host.login()
        attacker_sid = host.login("other")
        deep = urllib.parse.quote("[" * 1001 + "]" * 1001)
        attack = Victim(host.port, attacker_sid,
                        "api=Kinoro.Test&version=1&method=echo&value=" + deep)
        victim = Victim(host.port, sid, query)
        attack.start()
        victim.start()
        time.sleep(args.seconds)
        victim.stop()
        attack.stop()
        calls = len(victim.samples) + victim.failures
        print("deep JSON: one user sends 1,001 nested arrays in a parameter, another calls")
        print("  victim: %s, %d of %d succeeded (%.1f%%)" % (
            percentiles(victim.samples), len(victim.samples), calls,
            100.0 * len(victim.samples) / max(calls, 1)))
        print("  attacker: %d answered, %d failed" % (len(attack.samples), attack.failures))
    finally:
        host.stop()


def login_flood(args, query):
    for rotate in (False, True):
        host = Host(args)
        try:
            sid = host.login()
            victim = Victim(host.port, sid, query)
            victim.start()
            time.sleep(args.seconds / 3)
            victim.stop()
            before = victim.samples

            stopping = threading.Event()
            counts = {}

            def flood(n):
                i = 0
                while not stopping.is_set():
                    i += 1
                    source = ("127.0.1.%d" % (1 + (i * args.flood_connections + n) % 250)
                              if rotate else "127.0.0.3")
                    try:
                        conn = http.client.HTTPConnection("127.0.0.1", host.port, timeout=30,
                                                          source_address=(source, 0))
                        # The first connection guesses at one account, the
                        # others at a new name each time (each costs a hash).
                        account = "other" if n == 0 else "guess%d-%d" % (n, i)
                        conn.request("POST", ENTRY,
                                     "api=VELM.API.Auth&version=1&method=login&account=%s"
                                     "&passwd=wrong%d" % (account, i),
                                     {"Content-Type": "application/x-www-form-urlencoded"})
                        r = conn.getresponse()
                        body = r.read()
                        code = str(r.status)
                        if r.status == 200:
                            code = body[body.find(b'"code":') + 7:].split(b"}")[0].decode()
                        counts[code] = counts.get(code, 0) + 1
                        conn.close()
                    except (OSError, http.client.HTTPException):
                        counts["error"] = counts.get("error", 0) + 1

            flooders = [threading.Thread(target=flood, args=(n,), daemon=True)
                        for n in range(args.flood_connections)]
            for t in flooders:
                t.start()
            time.sleep(1)
            victim = Victim(host.port, sid, query)
            victim.start()
            time.sleep(args.seconds / 3)
            victim.stop()
            stopping.set()
            for t in flooders:
                t.join()
            try:
                host.login("other", source="127.0.0.4")
                target = "logs in"
            except RuntimeError as e:
                target = "refused: " + str(e)[-40:]
            print("login flood from %d connections, %s:" % (
                args.flood_connections, "rotating over 250 addresses" if rotate else "one address"))
            print("  victim before: %s" % percentiles(before))
            print("  victim during: %s, %d failed" % (percentiles(victim.samples),
                                                       victim.failures))
            print("  the targeted account, right password from another address: " + target)
            print("  flood answers: " + ", ".join(
                "%s: %d" % (k if k in ("503", "error") else "error " + k, v)
                for k, v in sorted(counts.items())))
        finally:
            host.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", required=True)
    parser.add_argument("--test-module")
    parser.add_argument("--module")
    parser.add_argument("--query")
    parser.add_argument("--scenario", default="all",
                        choices=["all", "slowloris", "slow-calls", "deep-json", "login-flood"])
    parser.add_argument("--connections", type=int, default=5000)
    parser.add_argument("--addresses", type=int, default=80)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--flood-connections", type=int, default=2)
    args = parser.parse_args()
    if args.test_module is None:
        args.test_module = os.path.join(os.path.dirname(os.path.abspath(args.host)),
                                        "libkinoro_host_testmodule.so")
    query = args.query or "api=Kinoro.Test&version=1&method=echo&offset=0&limit=50"
    if args.module and not args.query:
        parser.error("--module needs --query")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < args.connections + 256:
        sys.exit("attack_bench: %d descriptors allowed, %d needed" % (hard,
                                                                      args.connections + 256))
    scenarios = {"slowloris": slowloris, "slow-calls": slow_calls, "deep-json": deep_json,
                 "login-flood": login_flood}
    for name, run in scenarios.items():
        if args.scenario in ("all", name):
            run(args, query)
            sys.stdout.flush()


if __name__ == "__main__":
    main()
