#!/usr/bin/env python3
"""Hostile input and faults against the real endpoint (qelt-host).

    stress/run.py [--fast] [--wine] [--agent PATH] [--windows-agent PATH] [CASE...]

Cases (all by default; --fast picks the ones marked fast, a few seconds each):
  hostile_line       64 MiB request line without a line end               (fast)
  hostile_headers    500,000 header lines                                  (fast)
  hostile_header_line one 16 MiB header line                               (fast)
  hostile_post       256 MiB POST, streamed after its 413                  (fast)
  hostile_chunked    a chunked POST that never ends                        (fast)
  idle_keepalive     32 kept-alive connections left idle after one GET     (fast)
  slow_clients       31 clients dripping a header byte every 2 s           (fast)
  slow_flood         256 such clients: the known limit, measured
  adapter_churn      veth interfaces added, removed, renamed, up/down in a namespace
                     while 8 clients GET /mac for 30 s
  log_faults         log folder removed, made read-only, its disk full (fast)
  soak               1,000,000 GET /mac: RSS, open files, log records
  loopback_only      no answer on a veth address of the namespace   (fast)
  wine_hostile       the hostile, idle and slow cases against qelt-host.exe under Wine
                     (--wine, or named)
  wine_log_budget    a flood of GET /mac under Wine with RequestLogLimitMB = 1 set as Group
                     Policy: the day's file stays within the budget and one warning, lifecycle
                     records follow, the Event Log warning is reported, a restart keeps
                     counting (--wine, or named); with --fast from a day's file all but
                     full, without it from none and also the same flood with no budget, for
                     the growth before
A hostile connection must be refused with its status (a request line of 32 KiB or
more is cut off without one), closed at once (the agent reads at most 96 KiB of it),
and leave the agent alive, answering a fresh GET /mac within 1 s. RSS growth and the
fresh-GET times are reported against their targets (1 MiB, 50 ms), not failed on.
Every process, namespace, mount and Wine prefix made here is removed on every path.
Ends with 'N passed, N failed'.
"""
import argparse
import contextlib
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The project's Wine launcher: the prefix given (WINEPREFIX), WINEDEBUG=-all unless set,
# no address-space randomisation (scripts/wine says why).
WINE = [str(ROOT / "scripts" / "wine")]
BUILD = ROOT / "build" / "stress-linux"
WIN_BUILD = ROOT / "build" / "stress-windows"
MIB = 1 << 20
KIB = 1 << 10
RSS_TARGET_KIB = 1024
READ_LIMIT = 96 * KIB  # the refusal point (at most 32 KiB in) and 64 KiB after it
FRESH_GET_TARGET_S = 0.050
POOL = max(48, (os.cpu_count() or 1) - 1)  # the agent's most workers
IDLE_CONNECTIONS = 32
SLOW_CLIENTS = 31
NS = f"qelt-stress-{os.getpid()}"
NOBODY = 65534  # nobody and nogroup
AGENT_EXE = str(BUILD / "src" / "qelt-host")
WINDOWS_AGENT_EXE = str(WIN_BUILD / "src" / "qelt-host.exe")
MAC_LIST = re.compile(r'^\{"data":\[("([0-9A-F]{2}:){5}[0-9A-F]{2}"(,"([0-9A-F]{2}:){5}[0-9A-F]{2}")*)?\],"success":true\}$')
NOT_FOUND = '{"data":"could not find mac address","success":false}'


class CaseFailed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise CaseFailed(what)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get_mac(port, timeout=1.0, host="127.0.0.1"):
    """(status, body) of a fresh GET /mac, or raises after the timeout."""
    conn = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        conn.request("GET", "/mac", headers={"Connection": "close"})
        answer = conn.getresponse()
        return answer.status, answer.read().decode("utf-8", "replace")
    finally:
        conn.close()


def answers_within(port, seconds=1.0):
    start = time.monotonic()
    try:
        status, body = get_mac(port, timeout=seconds)
    except OSError as error:
        raise CaseFailed(f"no answer to a fresh GET /mac within {seconds}s: {error}")
    took = time.monotonic() - start
    check(status == 200 and (MAC_LIST.match(body) or body == NOT_FOUND), f"bad answer {status} {body[:80]}")
    check(took <= seconds, f"answer took {took:.2f}s")
    return took


def all_traced(pid):
    tasks = Path(f"/proc/{pid}/task")
    return all(vm_kib_of(task / "status", "TracerPid") != 0 for task in tasks.iterdir())


@contextlib.contextmanager
def socket_reads(pid):
    """Counts the bytes the process receives from its sockets while the block runs
    (strace on every thread: recvfrom natively, recvmsg under Wine)."""
    folder = Path(tempfile.mkdtemp(prefix="qelt-stress-strace-"))
    tracer = subprocess.Popen(["strace", "-qq", "-f", "-ff", "-e", "trace=recvfrom,recvmsg", "-e", "signal=none",
                               "-s", "0", "-o", str(folder / "t"), "-p", str(pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    counted = {"bytes": 0}
    try:
        deadline = time.monotonic() + 10
        while not all_traced(pid):
            check(time.monotonic() < deadline and tracer.poll() is None, "strace did not attach")
            time.sleep(0.01)  # polling interval until every thread is traced
        yield counted
    finally:
        tracer.send_signal(signal.SIGINT)
        with contextlib.suppress(subprocess.TimeoutExpired):
            tracer.wait(10)
        if tracer.poll() is None:
            tracer.kill()
            tracer.wait()
        for trace in folder.glob("t.*"):
            for line in trace.read_text(errors="replace").splitlines():
                m = re.search(r"\) = (\d+)$", line)
                if m:
                    counted["bytes"] += int(m.group(1))
        shutil.rmtree(folder, ignore_errors=True)


def vm_kib_of(status_file, key):
    with contextlib.suppress(OSError):
        for line in Path(status_file).read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def vm_kib(pid, key):
    return vm_kib_of(f"/proc/{pid}/status", key)


class Agent:
    """qelt-host on a free loopback port, logging into its own folder."""

    def __init__(self, argv_prefix=(), exe=None, log_dir=None, env=None, user=None):
        self.port = free_port()
        self.log_dir = Path(log_dir or tempfile.mkdtemp(prefix="qelt-stress-logs-"))
        self.own_log_dir = log_dir is None
        exe = exe or AGENT_EXE
        argv = [*argv_prefix, exe, str(self.port), str(self.log_dir)]
        if user:
            argv = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *argv]  # numeric ids
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr, env=env, start_new_session=True)

    def wait_ready(self, deadline_s=15, probe=None):
        end = time.monotonic() + deadline_s
        while time.monotonic() < end:
            check(self.proc.poll() is None, f"agent exited with {self.proc.returncode}: {self.errors()}")
            with contextlib.suppress(OSError, CaseFailed):
                if (probe or (lambda: get_mac(self.port)[0]))() == 200:
                    return
            time.sleep(0.01)  # polling interval until the first answer
        raise CaseFailed("agent never answered")

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def errors(self):
        self.stderr.seek(0)
        return self.stderr.read().decode("utf-8", "replace")[-400:]

    def log_file(self):
        files = sorted(self.log_dir.glob("qelt_*.log"))
        return files[-1] if files else None

    def stop(self):
        if self.proc.poll() is None:
            with contextlib.suppress(OSError):
                self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.stderr.close()
        if self.own_log_dir:
            shutil.rmtree(self.log_dir, ignore_errors=True)


# ------------------------------------------------------------------ hostile senders

def blast(port, head, body_chunks, deadline_s=60):
    """Sends head then the chunks as fast as the agent takes them, until it closes,
    the chunks end, or the deadline passes. Returns (bytes sent, first answer line,
    whether the agent closed the connection)."""
    sent = 0
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    sock.settimeout(5)
    end = time.monotonic() + deadline_s
    try:
        sock.sendall(head)
        sent += len(head)
        for chunk in body_chunks:
            if time.monotonic() > end:
                break
            sock.sendall(chunk)
            sent += len(chunk)
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass  # the agent answered and closed before taking everything
    answer, closed = b"", False
    try:
        sock.settimeout(10)
        while True:
            data = sock.recv(4096)
            if not data:
                closed = True
                break
            answer += data
    except ConnectionResetError:
        closed = True  # closed with unread input pending: a reset, after the answer
    except OSError:
        pass  # still open when the wait ended
    sock.close()
    return sent, answer.split(b"\r\n", 1)[0].decode("latin-1"), closed


def repeated(block, total):
    full, rest = divmod(total, len(block))
    for _ in range(full):
        yield block
    if rest:
        yield block[:rest]


def endless_chunks(seconds, most):
    """4 KiB chunks and never the last one, for `seconds` or until `most` bytes."""
    end = time.monotonic() + seconds
    chunk = b"1000\r\n" + b"x" * 0x1000 + b"\r\n"
    sent = 0
    while time.monotonic() < end and sent < most:
        yield chunk
        sent += len(chunk)


# Each hostile sender and the first answer line it must get ("" for a connection that
# is cut off without one).
HOSTILE = {
    "hostile_line": lambda port: blast(port, b"GET /", repeated(b"a" * 65536, 64 * MIB)),
    "hostile_headers": lambda port: blast(port, b"GET /mac HTTP/1.1\r\n",
                                          repeated(b"X-Filler-Header: 0123456789\r\n" * 1000, 500000 * 29)),
    "hostile_header_line": lambda port: blast(port, b"GET /mac HTTP/1.1\r\nX-Long: ",
                                              repeated(b"h" * 65536, 16 * MIB)),
    "hostile_post": lambda port: blast(port, b"POST /mac HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % (256 * MIB),
                                       repeated(b"p" * 65536, 256 * MIB)),
    "hostile_chunked": lambda port: blast(port, b"POST /mac HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                                          endless_chunks(20, 256 * MIB)),
}
REFUSAL = {
    "hostile_line": "",
    "hostile_headers": "HTTP/1.1 400 Bad Request",
    "hostile_header_line": "HTTP/1.1 400 Bad Request",
    "hostile_post": "HTTP/1.1 413 Payload Too Large",
    "hostile_chunked": "HTTP/1.1 413 Payload Too Large",
}


def reset_peak(agent):
    # Restart the peak (VmHWM) so that an earlier case's peak does not hide this one's.
    with contextlib.suppress(OSError):
        Path(f"/proc/{agent.pid}/clear_refs").write_text("5")
    return vm_kib(agent.pid, "VmRSS"), vm_kib(agent.pid, "VmHWM")


def rss_report(agent, rss0, hwm0, one_connection=True):
    """The RSS growth since reset_peak; one connection's is held to the 1 MiB target."""
    rss1, hwm1 = vm_kib(agent.pid, "VmRSS"), vm_kib(agent.pid, "VmHWM")
    over = one_connection and max(rss1 - rss0, hwm1 - hwm0) > RSS_TARGET_KIB
    return (f"RSS {rss0 / 1024:.1f} -> {rss1 / 1024:.1f} MiB, peak +{(hwm1 - hwm0) / 1024:.2f} MiB"
            f"{'  [over the 1 MiB target]' if over else ''}")


def ms(seconds):
    return f"{seconds * 1e3:.0f} ms{'  [over the 50 ms target]' if seconds > FRESH_GET_TARGET_S else ''}"


def hostile_case(name, agent, report):
    rss0, hwm0 = reset_peak(agent)
    result = {}
    # A fresh GET /mac while the hostile connection is still open, and after it.
    worker = threading.Thread(target=lambda: result.update(zip(("sent", "answer", "closed"), HOSTILE[name](agent.port))))
    during = None
    with socket_reads(agent.pid) as reads:
        started = time.monotonic()
        worker.start()
        while worker.is_alive() and time.monotonic() - started < 0.3:
            worker.join(0.05)
        if worker.is_alive():
            during = answers_within(agent.port)
        worker.join(120)
    check(not worker.is_alive(), "hostile sender did not finish")
    check(agent.alive(), f"agent died: {agent.errors()}")
    after = answers_within(agent.port)
    report(f"{name}: sent {result.get('sent', 0) / MIB:.1f} MiB, answer '{result.get('answer', '')}', "
           f"{'closed' if result.get('closed') else 'left open'}, agent read {reads['bytes'] / KIB:.1f} KiB, "
           f"fresh GET during {'-' if during is None else ms(during)}, after {ms(after)}, "
           + rss_report(agent, rss0, hwm0))
    check(result.get("answer") == REFUSAL[name], f"answer '{result.get('answer')}', expected '{REFUSAL[name]}'")
    check(result.get("closed"), "the connection was left open after the refusal")
    check(reads["bytes"] <= READ_LIMIT, f"the agent read {reads['bytes'] / KIB:.0f} KiB of the hostile connection")


class idle_connections:
    """`count` connections that each GET /mac once, kept alive, then stay idle."""

    def __init__(self, port, count):
        self.socks = []
        for _ in range(count):
            sock = socket.create_connection(("127.0.0.1", port), timeout=10)
            sock.sendall(b"GET /mac HTTP/1.1\r\nHost: x\r\n\r\n")
            self.socks.append(sock)
        for sock in self.socks:
            answer = b""
            while b"\r\n\r\n" not in answer or not answer.endswith(b"}"):
                data = sock.recv(4096)
                check(data, "an idle connection was closed before its answer")
                answer += data
            check(answer.startswith(b"HTTP/1.1 200 OK"), f"idle connection got {answer[:40]}")

    def close(self):
        for sock in self.socks:
            sock.close()


def drip(port, stop, opened):
    """A client that sends its request head one byte every 2 s."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    opened.release()
    request = b"GET /mac HTTP/1.1\r\nX-Slow: " + b"s" * 1000
    try:
        for byte in request:
            sock.sendall(bytes([byte]))
            if stop.wait(2.0):
                break
    except OSError:
        pass
    finally:
        sock.close()


def with_drippers(port, count, body):
    stop = threading.Event()
    opened = threading.Semaphore(0)
    clients = [threading.Thread(target=drip, args=(port, stop, opened)) for _ in range(count)]
    for c in clients:
        c.start()
    try:
        for _ in clients:
            opened.acquire(timeout=10)
        # Each connection holds a worker once the listener has handed it over: wait
        # until the kernel shows them established on the agent's side.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and established(port) < count:
            time.sleep(0.02)
        time.sleep(0.2)  # the first byte of each has reached its worker
        return body()
    finally:
        stop.set()
        for c in clients:
            c.join(10)


def idle_keepalive_case(agent, report, prefix=""):
    rss0, hwm0 = reset_peak(agent)
    idle = idle_connections(agent.port, IDLE_CONNECTIONS)
    try:
        took = answers_within(agent.port)
    finally:
        idle.close()
    report(f"{prefix}idle_keepalive: {IDLE_CONNECTIONS} idle kept-alive connections: fresh GET /mac in {ms(took)}, "
           f"{len(os.listdir(f'/proc/{agent.pid}/task'))} threads, " + rss_report(agent, rss0, hwm0, one_connection=False))


def slow_clients_case(agent, report, prefix="", count=SLOW_CLIENTS):
    took = with_drippers(agent.port, count, lambda: answers_within(agent.port))
    report(f"{prefix}slow_clients: {count} clients dripping a byte every 2 s: fresh GET /mac in {ms(took)}")
    check(agent.alive(), "agent died")


# ------------------------------------------------------------------ namespaces

@contextlib.contextmanager
def namespaces(*names):
    made = []
    try:
        for n in names:
            subprocess.run(["ip", "netns", "add", n], check=True)
            made.append(n)
            subprocess.run(["ip", "-n", n, "link", "set", "lo", "up"], check=True)
        yield
    finally:
        for n in made:
            subprocess.run(["ip", "netns", "del", n], stderr=subprocess.DEVNULL)


def ns_probe(ns, port):
    def probe():
        out = subprocess.run(["ip", "netns", "exec", ns, "curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                              "--max-time", "1", f"http://127.0.0.1:{port}/mac"], text=True, capture_output=True)
        return int(out.stdout or 0)
    return probe


# ------------------------------------------------------------------ cases

class Stress:
    def __init__(self, args):
        self.args = args
        self.lines = []

    def report(self, line):
        self.lines.append(line)
        print("  " + line, flush=True)

    def with_agent(self, body, **kw):
        agent = Agent(**kw)
        try:
            agent.wait_ready()
            body(agent)
        finally:
            agent.stop()

    def hostile_line(self):
        self.with_agent(lambda a: hostile_case("hostile_line", a, self.report))

    def hostile_headers(self):
        self.with_agent(lambda a: hostile_case("hostile_headers", a, self.report))

    def hostile_post(self):
        self.with_agent(lambda a: hostile_case("hostile_post", a, self.report))

    def hostile_chunked(self):
        self.with_agent(lambda a: hostile_case("hostile_chunked", a, self.report))

    def hostile_header_line(self):
        self.with_agent(lambda a: hostile_case("hostile_header_line", a, self.report))

    def idle_keepalive(self):
        self.with_agent(lambda a: idle_keepalive_case(a, self.report))

    def slow_clients(self):
        self.with_agent(lambda a: slow_clients_case(a, self.report))

    def slow_flood(self):
        # More drippers than workers: the rest wait in the queue, and so does a fresh GET.
        def body(agent):
            count = 256

            def fresh():
                start = time.monotonic()
                try:
                    status, _ = get_mac(agent.port, timeout=30)
                    return f"answered {status} after {time.monotonic() - start:.1f} s"
                except OSError as error:
                    return f"no answer within 30 s ({error})"
            outcome = with_drippers(agent.port, count, fresh)
            check(agent.alive(), "agent died")
            self.report(f"slow_flood: {count} drippers (pool {POOL}, known limit): fresh GET /mac {outcome}; "
                        f"answered within 1 s once they are gone: {ms(answers_within(agent.port, 10))}")
        self.with_agent(body)

    def adapter_churn(self):
        ns, peers = NS, NS + "-peers"
        with namespaces(ns, peers):
            agent = Agent(argv_prefix=["ip", "netns", "exec", ns])
            stop = threading.Event()
            churn_errors = []

            def churn():
                i = 0
                while not stop.is_set():
                    a, b = f"ca{i % 6}", f"cb{i % 6}"
                    steps = [["ip", "-n", ns, "link", "add", a, "type", "veth", "peer", "name", b, "netns", peers],
                             ["ip", "-n", ns, "link", "set", a, "up"],
                             ["ip", "-n", peers, "link", "set", b, "up"],
                             ["ip", "-n", ns, "link", "set", a, "down"],
                             ["ip", "-n", ns, "link", "set", a, "name", f"cr{i % 6}"],
                             ["ip", "-n", ns, "link", "set", f"cr{i % 6}", "up"],
                             ["ip", "-n", ns, "link", "del", f"cr{i % 6}"]]
                    for step in steps[: 7 if i % 3 else 6]:  # every third pair stays until its name comes round again
                        if stop.is_set():
                            break
                        r = subprocess.run(step, capture_output=True)
                        if r.returncode != 0 and b"File exists" not in r.stderr and b"Cannot find" not in r.stderr:
                            churn_errors.append(r.stderr.decode()[:100])
                    if i % 6 == 5:
                        for j in range(6):
                            subprocess.run(["ip", "-n", ns, "link", "del", f"cr{j}"], capture_output=True)
                    i += 1

            try:
                agent.wait_ready(probe=ns_probe(ns, agent.port))
                churner = threading.Thread(target=churn)
                churner.start()
                try:
                    out = subprocess.run(["ip", "netns", "exec", ns, sys.executable, __file__, "_clients",
                                          str(agent.port), "8", "30"], capture_output=True, text=True, timeout=120)
                finally:
                    stop.set()
                    churner.join(60)
                check(out.returncode == 0, f"clients failed: {out.stderr[-300:]}")
                tally = json.loads(out.stdout)
                check(agent.alive(), f"agent died: {agent.errors()}")
                self.report(f"adapter_churn: {tally['answers']} answers in 30 s from 8 clients, "
                            f"{tally['lists']} lists ({tally['sizes']} MACs seen per answer), "
                            f"{tally['not_found']} 'could not find', bad {len(tally['bad'])}, churn errors {len(churn_errors)}")
                check(not tally["bad"], f"malformed answers: {tally['bad'][:3]}")
                check(tally["answers"] > 0, "no answers")
            finally:
                agent.stop()

    def log_faults(self):
        # Run as nobody so that permissions bind (root ignores them).
        folder = Path(tempfile.mkdtemp(prefix="qelt-stress-logfault-"))
        try:
            logs = folder / "logs"
            logs.mkdir()
            shutil.chown(folder, NOBODY, NOBODY)
            shutil.chown(logs, NOBODY, NOBODY)
            os.chmod(folder, 0o755)
            agent = Agent(log_dir=logs, user=NOBODY)
            try:
                agent.wait_ready()
                log_file = agent.log_file()
                # read-only: the folder and the file lose their write bits
                os.chmod(log_file, 0o444)
                os.chmod(logs, 0o555)
                for _ in range(20):
                    answers_within(agent.port)
                os.chmod(logs, 0o755)
                # removed while open
                shutil.rmtree(logs)
                for _ in range(20):
                    answers_within(agent.port)
                check(agent.alive(), "agent died")
                self.report("log_faults: folder read-only, then removed: every GET /mac answered within 1 s")
            finally:
                agent.stop()
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        # A full disk: the log folder is a 64 KiB tmpfs in a mount namespace of the
        # agent's own, gone with the process.
        logs = Path(tempfile.mkdtemp(prefix="qelt-stress-full-"))
        try:
            agent = Agent(argv_prefix=["unshare", "-m", "--propagation", "private", "sh", "-c",
                                       f"mount -t tmpfs -o size=64k qelt-full '{logs}' && exec \"$0\" \"$@\""],
                          log_dir=logs)
            try:
                agent.wait_ready()
                for _ in range(2000):  # far more records than 64 KiB holds
                    get_mac(agent.port)
                answers_within(agent.port)
                check(agent.alive(), "agent died")
                errors = agent.errors().count("LOG ERROR")
                self.report(f"log_faults: log disk full (64 KiB tmpfs) after 2000 requests: still answering "
                            f"within 1 s; stderr log-error lines (tail): {errors}")
            finally:
                agent.stop()
        finally:
            shutil.rmtree(logs, ignore_errors=True)

    def soak(self):
        def body(agent):
            total, target = 0, self.args.soak_requests
            samples = []
            log_file = agent.log_file()
            lines0 = count_lines(log_file)
            fds0 = fd_count(agent.pid)
            while total < target:
                out = subprocess.run(["wrk", "-t", "2", "-c", "8", "-d", "10s", f"http://127.0.0.1:{agent.port}/mac"],
                                     capture_output=True, text=True, timeout=120)
                m = re.search(r"(\d+) requests in", out.stdout)
                check(m, f"wrk: {out.stdout[-200:]} {out.stderr[-200:]}")
                check("Non-2xx" not in out.stdout, "non-200 answers")
                total += int(m.group(1))
                # The agent closes wrk's connections just after wrk exits: poll for that.
                settle = time.monotonic() + 5
                while fd_count(agent.pid) > fds0 and time.monotonic() < settle:
                    time.sleep(0.01)
                samples.append((total, vm_kib(agent.pid, "VmRSS"), fd_count(agent.pid)))
            lines1 = count_lines(agent.log_file())
            check(agent.alive(), "agent died")
            # after the first sample (warm), RSS and fds should stay flat
            rss = [s[1] for s in samples]
            fds = [s[2] for s in samples]
            base = rss[min(1, len(rss) - 1)]
            spread = (max(rss[1:] or rss) - base) / base
            records = lines1 - lines0
            self.report(f"soak: {total:,} GET /mac; RSS {rss[0] / 1024:.1f} .. {max(rss) / 1024:.1f} MiB "
                        f"(growth after warm-up {spread * 100:.1f}%), open files {fds0} idle, {min(fds)}..{max(fds)} after each run, "
                        f"log records +{records:,} ({records / total:.3f} per request)")
            check(spread <= 0.10, f"RSS grew {spread * 100:.1f}% after warm-up")
            check(max(fds) == fds0, f"open files went {fds0} -> {max(fds)}")
            check(2 * total <= records <= 2 * total + 2 * 8 * len(samples) + 4,
                  f"{records} records for {total} requests (2 a request expected)")
        self.with_agent(body)

    def loopback_only(self):
        ns, peers = NS + "-lo", NS + "-lo-peers"
        with namespaces(ns, peers):
            subprocess.run(["ip", "-n", ns, "link", "add", "qv0", "type", "veth", "peer", "name", "qv1",
                            "netns", peers], check=True)
            subprocess.run(["ip", "-n", ns, "addr", "add", "10.203.0.1/30", "dev", "qv0"], check=True)
            subprocess.run(["ip", "-n", peers, "addr", "add", "10.203.0.2/30", "dev", "qv1"], check=True)
            subprocess.run(["ip", "-n", ns, "link", "set", "qv0", "up"], check=True)
            subprocess.run(["ip", "-n", peers, "link", "set", "qv1", "up"], check=True)
            agent = Agent(argv_prefix=["ip", "netns", "exec", ns])
            try:
                agent.wait_ready(probe=ns_probe(ns, agent.port))
                for where, addr in ((ns, "10.203.0.1"), (peers, "10.203.0.1")):
                    out = subprocess.run(["ip", "netns", "exec", where, "curl", "-s", "-o", "/dev/null", "-w",
                                          "%{http_code}", "--max-time", "2", f"http://{addr}:{agent.port}/mac"],
                                         capture_output=True, text=True)
                    check(out.stdout in ("000", ""), f"answered on {addr} from {where}: {out.stdout}")
                listening = subprocess.run(["ip", "netns", "exec", ns, "ss", "-Hltn", f"sport = :{agent.port}"],
                                           capture_output=True, text=True).stdout.split()
                check("127.0.0.1:%d" % agent.port in listening, f"listens on {listening}")
                self.report("loopback_only: no answer on the namespace's veth address, from inside or from the peer; "
                            "listens on 127.0.0.1 only")
            finally:
                agent.stop()

    @contextlib.contextmanager
    def wine_prefix(self):
        """A fresh Wine prefix with a logs folder at C:\\logs; ended and removed afterwards."""
        folder = Path(tempfile.mkdtemp(prefix="qelt-stress-wine-"))
        prefix = folder / "prefix"
        env = dict(os.environ, WINEPREFIX=str(prefix))
        try:
            subprocess.run([str(ROOT / "scripts" / "wine-prefix"), str(prefix)], check=True, timeout=180)
            (prefix / "drive_c" / "logs").mkdir(parents=True, exist_ok=True)
            yield prefix, env
        finally:
            if prefix.exists():
                subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
                subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=60)
            shutil.rmtree(folder, ignore_errors=True)

    def wine_hostile(self):
        with self.wine_prefix() as (prefix, env):
            agent = Agent(argv_prefix=WINE, exe=WINDOWS_AGENT_EXE, log_dir="C:\\logs", env=env)
            agent.own_log_dir = False
            try:
                agent.wait_ready(120)
                # The wine process's own RSS is what the figures show here.
                wine_report = lambda line: self.report("wine " + line)  # noqa: E731
                for name in HOSTILE:
                    hostile_case(name, agent, wine_report)
                idle_keepalive_case(agent, wine_report)
                slow_clients_case(agent, wine_report)
            finally:
                agent.stop()

    def wine_log_budget(self):
        limit_mb = 1
        budget = limit_mb * MIB
        # Past the budget (about 3,900 requests from an empty day): by half for the figures.
        # The fast run starts from a day's file that an earlier run has all but filled
        # (the agent counts what the day's file holds), with 128 KiB left: about 500
        # requests, then past them by as many.
        requests = 1000 if self.args.fast else 6000
        earlier = budget - 128 * KIB if self.args.fast else 0
        runs = [("no budget", 0)] if not self.args.fast else []
        runs.append(("budget", limit_mb))
        for label, mb in runs:
            with self.wine_prefix() as (prefix, env):
                subprocess.run([*WINE, "reg", "add", "HKLM\\SOFTWARE\\Policies\\qelt\\agent", "/v", "RequestLogLimitMB",
                                "/t", "REG_DWORD", "/d", str(mb), "/reg:64", "/f"], env=env, capture_output=True, check=True)
                log_dir = prefix / "drive_c" / "logs"
                if earlier and mb:
                    record = time.strftime("[%Y-%m-%d %H:%M:%S] [info] [stress, earlier:1] ") + "x" * 60 + "\r\n"
                    (log_dir / time.strftime("qelt_%Y-%m-%d.log")).write_text(
                        record * (earlier // len(record)), newline="")

                events = []

                def run_agent(count):
                    # Wine 8 stores no event: it prints a warning's texts on its eventlog channel.
                    agent = Agent(argv_prefix=WINE, exe=WINDOWS_AGENT_EXE, log_dir="C:\\logs",
                                  env=dict(env, WINEDEBUG="-all,warn+eventlog"))
                    agent.own_log_dir = False
                    try:
                        agent.wait_ready(120)
                        started = time.monotonic()
                        sent = flood(agent.port, count)
                        return sent, time.monotonic() - started
                    finally:
                        events.append(re.findall(r'warn:eventlog:ReportEventW L"([^"]*)"', agent.errors()))
                        agent.stop()

                sent, took = run_agent(requests)
                text = next(log_dir.glob("qelt_*.log")).read_text(errors="replace")
                size = len(text.encode())
                recorded = text.count("mac addres request: /mac")
                if mb == 0:
                    self.report(f"wine_log_budget: no budget: {sent:,} GET /mac in {took:.0f} s, the day's file "
                                f"{size / MIB:.2f} MiB ({size / max(sent, 1):.0f} bytes a request)")
                    continue
                warnings = text.count("request records are suppressed until midnight")
                lines = text.splitlines()
                warning_at = next(i for i, line in enumerate(lines) if "suppressed until midnight" in line) \
                    if warnings else len(lines)
                after = [line for line in lines[warning_at + 1:] if "mac addres request" in line]
                check(warnings == 1, f"{warnings} budget warnings, expected 1")
                check(size <= budget + 2 * KIB, f"the day's file is {size:,} bytes, the budget {budget:,}")
                check(not after, f"{len(after)} request records after the warning")
                check(lines[-1].endswith("server stopped"), f"the last record is not the stop: {lines[-1][-80:]}")
                check(events[0] == [f"{mb} MiB", time.strftime("%Y-%m-%d")], f"the Event Log's warning: {events[0]}")
                # A restart the same day goes on from the day's file: no request record more.
                run_agent(200)
                text2 = next(log_dir.glob("qelt_*.log")).read_text(errors="replace")
                check(text2.count("mac addres request: /mac") == recorded, "a restart wrote request records again")
                start = f" on a day's file of {earlier / MIB:.2f} MiB" if earlier else ""
                self.report(f"wine_log_budget: RequestLogLimitMB {mb}: {sent:,} GET /mac{start} in {took:.0f} s, the day's "
                            f"file {size / MIB:.2f} MiB, {recorded:,} requests recorded and {sent - recorded:,} "
                            f"suppressed, one warning; after a restart the same day and 200 more: "
                            f"+{len(text2.encode()) - size:,} bytes (start, settings and stop records, the warning)")


def flood(port, count, clients=8):
    """GET /mac `count` times from `clients` kept-alive connections; the number answered 200."""
    lock = threading.Lock()
    tally = {"left": count, "ok": 0}

    def client():
        conn = None
        while True:
            with lock:
                if tally["left"] == 0:
                    break
                tally["left"] -= 1
            try:
                conn = conn or http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                conn.request("GET", "/mac")
                answer = conn.getresponse()
                answer.read()
                if answer.status == 200:
                    with lock:
                        tally["ok"] += 1
                if answer.getheader("Connection", "").lower() == "close" or answer.will_close:
                    conn.close()
                    conn = None
            except OSError:
                if conn:
                    conn.close()
                conn = None
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return tally["ok"]


def established(port):
    out = subprocess.run(["ss", "-Htn", "state", "established", f"sport = :{port}"], capture_output=True, text=True)
    return len(out.stdout.splitlines())


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def count_lines(path):
    if path is None or not path.exists():
        return 0
    with open(path, "rb") as f:
        return sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 20), b""))


def clients_main(port, count, seconds):
    """Runs inside a namespace: `count` clients GET /mac for `seconds`; prints a tally."""
    tally = {"answers": 0, "lists": 0, "not_found": 0, "bad": [], "sizes": set()}
    lock = threading.Lock()
    end = time.monotonic() + seconds

    def client():
        conn = None
        while time.monotonic() < end:
            try:
                conn = conn or http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                conn.request("GET", "/mac")
                answer = conn.getresponse()
                body = answer.read().decode("utf-8", "replace")
                if answer.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = None
            except OSError as error:
                with lock:
                    tally["bad"].append(f"error {error}")
                conn = None
                continue
            with lock:
                tally["answers"] += 1
                if answer.status == 200 and MAC_LIST.match(body):
                    tally["lists"] += 1
                    tally["sizes"].add(body.count(":") // 5)
                elif answer.status == 200 and body == NOT_FOUND:
                    tally["not_found"] += 1
                else:
                    tally["bad"].append(f"{answer.status} {body[:100]}")

    threads = [threading.Thread(target=client) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    tally["sizes"] = sorted(tally["sizes"])
    print(json.dumps(tally))


FAST = ["hostile_line", "hostile_headers", "hostile_header_line", "hostile_post", "hostile_chunked",
        "idle_keepalive", "slow_clients", "log_faults", "loopback_only"]
ALL = FAST + ["slow_flood", "adapter_churn", "soak"]


def build(windows):
    subprocess.run(["cmake", "--preset", "linux", "-B", str(BUILD), "-DQELT_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j2", "--target", "qelt-host"], check=True, stdout=subprocess.DEVNULL)
    if windows:
        subprocess.run(["cmake", "--preset", "windows", "-B", str(WIN_BUILD), "-DQELT_BUILD_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(WIN_BUILD), "-j2", "--target", "qelt-host"], check=True,
                       stdout=subprocess.DEVNULL)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "_clients":
        clients_main(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fast", action="store_true")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--agent", help="a qelt-host already built (no build then), e.g. build/linux/src/qelt-host")
    parser.add_argument("--windows-agent", help="a qelt-host.exe already built, for wine_hostile")
    parser.add_argument("--soak-requests", type=int, default=1_000_000)
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    cases = args.cases or ((FAST if args.fast else ALL) + (["wine_hostile", "wine_log_budget"] if args.wine else []))
    global AGENT_EXE, WINDOWS_AGENT_EXE
    if args.windows_agent:
        WINDOWS_AGENT_EXE = str(Path(args.windows_agent).resolve())
    if args.agent:
        AGENT_EXE = str(Path(args.agent).resolve())
    elif not args.no_build:
        build(any(case.startswith("wine_") for case in cases))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    stress = Stress(args)
    passed = failed = 0
    for case in cases:
        print(f"stress: {case}", flush=True)
        started = time.monotonic()
        try:
            getattr(stress, case)()
            passed += 1
            print(f"stress: {case} passed ({time.monotonic() - started:.0f} s)", flush=True)
        except Exception as error:  # CaseFailed or an unexpected error: the case failed
            failed += 1
            print(f"stress: {case} FAILED: {type(error).__name__}: {error}", flush=True)
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
