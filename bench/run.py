#!/usr/bin/env python3
"""Benchmarks of the agent's endpoint against reference servers of the same stack.

    bench/run.py [--rounds N] [--seconds S] [SECTION...]

Sections (all by default, in this order):
  endpoint  qelt-host against the bare server: 1/8/64 connections, kept alive and
            with Connection: close; req/s, p50, p99, server CPU per request
  backlog   qelt-host built with several CPPHTTPLIB_LISTEN_BACKLOG values, 64 and
            256 connections; tail latency, socket errors, the kernel's listen drops
  adapters  the lookup alone (Google Benchmark) and the endpoint's CPU per request
            with 1, 2, 32, 64 and 256 veth interfaces in namespaces of our own
  memory    peak RSS idle and after load (VmHWM, /usr/bin/time -v), time from
            process start to the first answered GET /mac
  profile   perf profiles of the agent and the bare server under the same load
  wine      the Windows build under Wine: latency at 1 and 8 connections against MinGW
            servers making the same two GetAdaptersAddresses calls (with the agent's
            flags and with the old ones); idle wake-ups and CPU of the agent as a
            service against a program blocked in accept(); start-up, RSS, stop time
  policy    under Wine: an allowed request (Origin of a listed site) under an origin
            policy against the same request with no policy, on one agent whose
            policy is switched on and off between runs
Targets alternate within each round; figures are medians over the rounds. The
report never fails on a figure: it only reports. Results go to
build/perf-results/<time>/ (summary.md, raw.json, logs); the summary is printed.
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
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The project's Wine launcher: the prefix given (WINEPREFIX), WINEDEBUG=-all unless set,
# no address-space randomisation (scripts/wine says why).
WINE = [str(ROOT / "scripts" / "wine")]
BUILD = ROOT / "build"
CLK_TCK = os.sysconf("SC_CLK_TCK")
BACKLOGS = [5, 64, 512, 4096]
ADAPTER_COUNTS = [1, 2, 32, 64, 256]
NS_PREFIX = f"qelt-bench-{os.getpid()}"


def log(msg):
    print(msg, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, text=True, **kw)


# ---------------------------------------------------------------------------- builds

def build_native(folder, backlog=None):
    run(["cmake", "--preset", "linux", "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release",
         "-DQELT_BUILD_TESTS=OFF", "-DQELT_BUILD_BENCH=ON", f"-DQELT_LISTEN_BACKLOG={backlog or 512}"],
        stdout=subprocess.DEVNULL)
    targets = ["qelt-host"] if backlog is not None else ["qelt-host", "qelt-bench-server", "qelt-lookup-bench"]
    run(["cmake", "--build", str(folder), "-j2", "--target", *targets], stdout=subprocess.DEVNULL)


def build_windows(folder):
    run(["cmake", "--preset", "windows", "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release",
         "-DQELT_BUILD_TESTS=OFF", "-DQELT_BUILD_BENCH=ON"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", str(folder), "-j2", "--target", "qelt-host", "qelt-agent", "qelt-bench-server"],
        stdout=subprocess.DEVNULL)


# ---------------------------------------------------------------------------- processes

@contextlib.contextmanager
def wine_prefix(name, **extra_env):
    """A fresh Wine prefix with C:\\qelt-logs; yields its environment, and ends its
    processes and removes it afterwards."""
    folder = Path(tempfile.mkdtemp(prefix=f"qelt-bench-{name}-"))
    prefix = folder / "prefix"
    env = dict(os.environ, WINEPREFIX=str(prefix), **extra_env)
    try:
        subprocess.run([str(ROOT / "scripts" / "wine-prefix"), str(prefix)], check=True, timeout=180)
        (prefix / "drive_c" / "qelt-logs").mkdir(parents=True)
        yield env
    finally:
        if prefix.exists():
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(folder, ignore_errors=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get_mac(port, timeout=1.0):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", "/mac")
        answer = conn.getresponse()
        answer.read()
        return answer.status
    finally:
        conn.close()


class Host:
    """A server process serving on 127.0.0.1:port until its standard input closes."""

    def __init__(self, name, argv, port, prefix=(), env=None, work=None):
        self.name, self.port = name, port
        self.stderr = open(work / f"{name}.stderr", "w") if work else subprocess.DEVNULL
        self.proc = subprocess.Popen([*prefix, *argv], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=self.stderr,
                                     env=env, start_new_session=True)
        self.started = time.monotonic()

    @property
    def pid(self):
        return self.proc.pid

    def wait_ready(self, deadline_s, ns=None):
        end = time.monotonic() + deadline_s
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.proc.returncode}")
            try:
                status = probe_status(self.port, ns)
                if status == 200:
                    return time.monotonic() - self.started
            except OSError:
                pass
            time.sleep(0.002)  # polling interval while waiting for the first answer
        raise RuntimeError(f"{self.name} did not answer within {deadline_s}s")

    def stop(self, deadline_s=10):
        if self.proc.poll() is None:
            with contextlib.suppress(OSError):
                self.proc.stdin.close()
            try:
                self.proc.wait(deadline_s)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        if self.stderr is not subprocess.DEVNULL:
            self.stderr.close()


def probe_status(port, ns):
    if ns is None:
        return get_mac(port)
    out = subprocess.run(["ip", "netns", "exec", ns, "curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                          "--max-time", "1", f"http://127.0.0.1:{port}/mac"], text=True, capture_output=True)
    return int(out.stdout or 0)


def cpu_seconds(pid):
    """utime + stime of a process (all its threads), in seconds."""
    text = Path(f"/proc/{pid}/stat").read_text()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def vm_kib(pid, key):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def listen_drops():
    out = subprocess.run(["nstat", "-az", "TcpExtListenOverflows", "TcpExtListenDrops"],
                         text=True, capture_output=True).stdout
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"(TcpExt\w+)\s+(\d+)", out)}


# ---------------------------------------------------------------------------- wrk

UNIT = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def parse_wrk(text):
    def latency(pct):
        m = re.search(rf"^\s*{pct}%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
        return float(m.group(1)) * UNIT[m.group(2)] if m else None
    m = re.search(r"(\d+) requests in", text)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    return {
        "requests": int(m.group(1)) if m else 0,
        "rps": float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1)),
        "p50_ms": latency(50), "p99_ms": latency(99),
        "socket_errors": sum(int(x) for x in errors.groups()) if errors else 0,
        "timeouts": int(errors.group(4)) if errors else 0,
        "non2xx": int(non2xx.group(1)) if non2xx else 0,
    }


def wrk(port, conns, seconds, close, ns=None, path="/mac", headers=()):
    cmd = ["wrk", "-t", str(min(conns, 2)), "-c", str(conns), "-d", f"{seconds}s", "--latency",
           "--timeout", "5s"]
    if close:
        cmd += ["-H", "Connection: close"]
    for header in headers:
        cmd += ["-H", header]
    cmd.append(f"http://127.0.0.1:{port}{path}")
    if ns:
        cmd = ["ip", "netns", "exec", ns, *cmd]
    out = subprocess.run(cmd, text=True, capture_output=True, timeout=seconds + 60)
    if out.returncode != 0:
        raise RuntimeError(f"wrk failed: {out.stderr}")
    return parse_wrk(out.stdout)


def measure(host, conns, seconds, close, ns=None):
    before = cpu_seconds(host.pid)
    result = wrk(host.port, conns, seconds, close, ns)
    result["cpu_us_per_req"] = ((cpu_seconds(host.pid) - before) * 1e6 / result["requests"]
                                if result["requests"] else None)
    return result


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v, digits=0):
    if v is None:
        return "-"
    return f"{v:,.{digits}f}"


# ---------------------------------------------------------------------------- sections

class Bench:
    def __init__(self, args):
        self.args = args
        stamp = time.strftime("%Y%m%d-%H%M%S")
        self.out = BUILD / "perf-results" / stamp
        self.out.mkdir(parents=True, exist_ok=True)
        self.raw = {"machine": machine(), "args": vars(args)}
        self.summary = [f"# Benchmark run {stamp}", "", "Machine: " + self.raw["machine"], ""]
        self.native = BUILD / "perf-linux"
        # The agent and lookup bench measured: this tree's build, or another one's.
        self.agent_build = Path(args.agent_dir).resolve() if args.agent_dir else self.native
        self.hosts = []
        self.namespaces = []

    def host(self, name, argv, port, **kw):
        h = Host(name, argv, port, work=self.out, **kw)
        self.hosts.append(h)
        return h

    def agent_argv(self, folder, port):
        logs = Path(tempfile.mkdtemp(prefix="qelt-bench-logs-"))
        self.raw.setdefault("log_dirs", []).append(str(logs))
        return [str(folder / "src" / "qelt-host"), str(port), str(logs)]

    def bare_argv(self, mode, port):
        return [str(self.native / "bench" / "qelt-bench-server"), mode, str(port)]

    def write(self, lines):
        self.summary += lines + [""]
        (self.out / "summary.md").write_text("\n".join(self.summary) + "\n")
        (self.out / "raw.json").write_text(json.dumps(self.raw, indent=1))
        log("\n".join(lines))

    def cleanup(self):
        for h in self.hosts:
            with contextlib.suppress(Exception):
                h.stop()
        for ns in self.namespaces:
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        for d in self.raw.get("log_dirs", []):
            shutil.rmtree(d, ignore_errors=True)

    # -- endpoint ---------------------------------------------------------------
    def endpoint(self):
        a = self.args
        agent = self.host("agent", self.agent_argv(self.agent_build, p := free_port()), p)
        bare = self.host("bare", self.bare_argv("bare", q := free_port()), q)
        for h in (agent, bare):
            h.wait_ready(10)
            wrk(h.port, 8, 1, False)  # warm-up
        configs = [(c, close) for close in (False, True) for c in (1, 8, 64)]
        results = {(c, close, t): [] for c, close in configs for t in ("agent", "bare")}
        for r in range(a.rounds):
            for c, close in configs:
                order = (agent, bare) if r % 2 == 0 else (bare, agent)
                for h in order:
                    results[(c, close, h.name)].append(measure(h, c, a.seconds, close))
        self.raw["endpoint"] = {f"{c}/{'close' if cl else 'keep'}/{t}": v for (c, cl, t), v in results.items()}
        lines = ["## Endpoint: qelt-host (real lookup and log) against the bare server",
                 f"{a.rounds} rounds x {a.seconds}s, alternating; medians. CPU is the server's utime+stime per request.",
                 "",
                 "| conns | mode | agent req/s | bare req/s | ratio | agent p50 ms | agent p99 ms | bare p50 ms | bare p99 ms | agent CPU us/req | bare CPU us/req | errors agent/bare |",
                 "|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for c, close in configs:
            ag, ba = results[(c, close, "agent")], results[(c, close, "bare")]
            m = lambda rs, k: median([x[k] for x in rs])
            ratio = m(ag, "rps") / m(ba, "rps") if m(ba, "rps") else None
            errs = f"{sum(x['socket_errors'] + x['non2xx'] for x in ag)}/{sum(x['socket_errors'] + x['non2xx'] for x in ba)}"
            lines.append(f"| {c} | {'close' if close else 'keep-alive'} | {fmt(m(ag, 'rps'))} | {fmt(m(ba, 'rps'))} | "
                         f"{fmt(ratio * 100 if ratio else None)}% | {fmt(m(ag, 'p50_ms'), 3)} | {fmt(m(ag, 'p99_ms'), 3)} | "
                         f"{fmt(m(ba, 'p50_ms'), 3)} | {fmt(m(ba, 'p99_ms'), 3)} | {fmt(m(ag, 'cpu_us_per_req'), 1)} | "
                         f"{fmt(m(ba, 'cpu_us_per_req'), 1)} | {errs} |")
        for h in (agent, bare):
            h.stop()
        self.write(lines)

    # -- backlog ----------------------------------------------------------------
    def backlog(self):
        a = self.args
        hosts = []
        for b in BACKLOGS:
            folder = self.native if b == 512 else BUILD / f"perf-backlog-{b}"
            if b != 512:
                build_native(folder, b)
            hosts.append((b, self.host(f"agent-backlog-{b}", self.agent_argv(folder, p := free_port()), p)))
        for _, h in hosts:
            h.wait_ready(10)
        configs = [(64, True), (64, False), (256, True)]
        results = {}
        for r in range(a.rounds):
            for c, close in configs:
                for b, h in (hosts if r % 2 == 0 else hosts[::-1]):
                    drops = listen_drops()
                    res = measure(h, c, a.seconds, close)
                    after = listen_drops()
                    res["listen_overflows"] = after.get("TcpExtListenOverflows", 0) - drops.get("TcpExtListenOverflows", 0)
                    results.setdefault((b, c, close), []).append(res)
        self.raw["backlog"] = {f"{b}/{c}/{'close' if cl else 'keep'}": v for (b, c, cl), v in results.items()}
        lines = ["## Listen backlog (agent built with -DCPPHTTPLIB_LISTEN_BACKLOG=N)",
                 f"{a.rounds} rounds x {a.seconds}s, alternating; medians. Overflows: the kernel's TcpExtListenOverflows during the run (summed).",
                 "",
                 "| backlog | conns | mode | req/s | p50 ms | p99 ms | max p99 ms | listen overflows | socket errors |",
                 "|---|---|---|---|---|---|---|---|---|"]
        for c, close in configs:
            for b in BACKLOGS:
                rs = results[(b, c, close)]
                lines.append(f"| {b} | {c} | {'close' if close else 'keep-alive'} | {fmt(median([x['rps'] for x in rs]))} | "
                             f"{fmt(median([x['p50_ms'] for x in rs]), 3)} | {fmt(median([x['p99_ms'] for x in rs]), 3)} | "
                             f"{fmt(max(x['p99_ms'] or 0 for x in rs), 3)} | {sum(x['listen_overflows'] for x in rs)} | "
                             f"{sum(x['socket_errors'] for x in rs)} |")
        for _, h in hosts:
            h.stop()
        self.write(lines)

    # -- adapters ---------------------------------------------------------------
    def make_namespace(self, count):
        ns, peers = f"{NS_PREFIX}-{count}", f"{NS_PREFIX}-{count}-peers"
        for n in (ns, peers):
            run(["ip", "netns", "add", n])
            self.namespaces.append(n)
        # Each veth's peer lives in the second namespace, so the first holds exactly
        # `count` Ethernet interfaces (and lo), all up.
        batch = [f"link add qb{i} netns {ns} type veth peer name qp{i} netns {peers}" for i in range(count)]
        run(["ip", "-batch", "-"], input="\n".join(batch) + "\n")
        up = ["link set lo up"] + [f"link set qb{i} up" for i in range(count)]
        run(["ip", "-n", ns, "-batch", "-"], input="\n".join(up) + "\n")
        run(["ip", "-n", peers, "-batch", "-"], input="\n".join(f"link set qp{i} up" for i in range(count)) + "\n")
        return ns

    def adapters(self):
        a = self.args
        lookup = {}
        envs = {}
        for n in ADAPTER_COUNTS:
            ns = self.make_namespace(n)
            out = self.out / f"lookup-{n}.json"
            subprocess.run(["ip", "netns", "exec", ns, str(self.agent_build / "bench" / "qelt-lookup-bench"),
                            "--benchmark_filter=system_lookup|stand_in_floor", "--benchmark_min_time=1",
                            f"--benchmark_out={out}", "--benchmark_out_format=json"],
                           stdout=subprocess.DEVNULL, check=True)
            marks = {b["name"]: b for b in json.loads(out.read_text())["benchmarks"]}
            lookup[n] = {"cpu_us": marks["system_lookup"]["cpu_time"] / 1e3, "macs": marks["system_lookup"].get("macs"),
                         "floor_us": marks["stand_in_floor"]["cpu_time"] / 1e3}
            agent = self.host(f"agent-{n}", self.agent_argv(self.agent_build, p := free_port()), p,
                              prefix=["ip", "netns", "exec", ns])
            ref = self.host(f"adapters-{n}", self.bare_argv("adapters", q := free_port()), q,
                            prefix=["ip", "netns", "exec", ns])
            agent.wait_ready(10, ns)
            ref.wait_ready(10, ns)
            envs[n] = (ns, agent, ref)
        synth = self.out / "lookup-synthetic.json"
        subprocess.run([str(self.native / "bench" / "qelt-lookup-bench"), "--benchmark_filter=synthetic|log_record",
                        f"--benchmark_out={synth}", "--benchmark_out_format=json"],
                       stdout=subprocess.DEVNULL, check=True)
        synthetic = {b["name"]: b["cpu_time"] for b in json.loads(synth.read_text())["benchmarks"] if "cpu_time" in b}
        results = {}
        for r in range(a.rounds):
            for n in (ADAPTER_COUNTS if r % 2 == 0 else ADAPTER_COUNTS[::-1]):
                ns, agent, ref = envs[n]
                for h in ((agent, ref) if r % 2 == 0 else (ref, agent)):
                    results.setdefault((n, h.name.split("-")[0]), []).append(measure(h, 8, a.seconds, False, ns))
        self.raw["adapters"] = {"lookup": lookup, "synthetic_ns": synthetic,
                                "endpoint": {f"{n}/{t}": v for (n, t), v in results.items()}}
        one = median([x["cpu_us_per_req"] for x in results[(1, "agent")]])
        lines = ["## Adapters: veth interfaces in a namespace of our own (8 connections, kept alive)",
                 "Lookup: qelt-lookup-bench system_lookup in the namespace (Linux stand-in over getifaddrs and /sys).",
                 "Reference: qelt-bench-server adapters (the two GetAdaptersAddresses calls, fixed body, no log).",
                 "Floor: the same two calls from getifaddrs alone (bench stand_in_floor), what the stand-in could cost.",
                 "",
                 "| interfaces | MACs listed | lookup us (CPU) | floor us | agent req/s | agent CPU us/req | x one adapter | reference req/s | reference CPU us/req |",
                 "|---|---|---|---|---|---|---|---|---|"]
        for n in ADAPTER_COUNTS:
            ag, rf = results[(n, "agent")], results[(n, "adapters")]
            cpu = median([x["cpu_us_per_req"] for x in ag])
            lines.append(f"| {n} | {fmt(lookup[n]['macs'])} | {fmt(lookup[n]['cpu_us'], 1)} | {fmt(lookup[n]['floor_us'], 1)} | "
                         f"{fmt(median([x['rps'] for x in ag]))} | "
                         f"{fmt(cpu, 1)} | {fmt(cpu / one if one else None, 2)} | {fmt(median([x['rps'] for x in rf]))} | "
                         f"{fmt(median([x['cpu_us_per_req'] for x in rf]), 1)} |")
        lines += ["", "Synthetic adapter lists through the lookup's filter (no system call), and one log record:", "",
                  "| benchmark | CPU ns |", "|---|---|"]
        lines += [f"| {k} | {fmt(v)} |" for k, v in synthetic.items()]
        for n in ADAPTER_COUNTS:
            for h in envs[n][1:]:
                h.stop()
        self.write(lines)

    # -- memory and start-up ----------------------------------------------------
    def memory(self):
        a = self.args
        starts = {"agent": [], "bare": []}
        for r in range(max(10, a.rounds * 4)):
            for name in (("agent", "bare") if r % 2 == 0 else ("bare", "agent")):
                p = free_port()
                argv = self.agent_argv(self.native, p) if name == "agent" else self.bare_argv("bare", p)
                h = self.host(f"start-{name}", argv, p)
                starts[name].append(h.wait_ready(10) * 1e3)
                h.stop()
        mem = {}
        for name in ("agent", "bare"):
            p = free_port()
            argv = self.agent_argv(self.native, p) if name == "agent" else self.bare_argv("bare", p)
            timed = self.host(f"mem-{name}", ["/usr/bin/time", "-v", *argv], p)
            timed.wait_ready(10)
            child = int(Path(f"/proc/{timed.pid}/task/{timed.pid}/children").read_text().split()[0])
            idle = vm_kib(child, "VmHWM")
            for close in (False, True):
                for c in (8, 64):
                    wrk(p, c, a.seconds, close)
            loaded = vm_kib(child, "VmHWM")
            rss_now = vm_kib(child, "VmRSS")
            timed.stop()
            text = (self.out / f"mem-{name}.stderr").read_text()
            m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
            mem[name] = {"idle_hwm_kib": idle, "loaded_hwm_kib": loaded, "rss_after_kib": rss_now,
                         "time_v_max_kib": int(m.group(1)) if m else None}
        self.raw["memory"] = {"start_ms": starts, "rss": mem}
        sa, sb = median(starts["agent"]), median(starts["bare"])
        lines = ["## Memory and start-up (native Release)",
                 f"Start-up: process start to the first answered GET /mac, {len(starts['agent'])} alternating starts each, median (min-max).",
                 f"Peak RSS: VmHWM after the first answer (idle) and after {2 * 2 * a.seconds}s of load (8 and 64 connections, kept alive and close); /usr/bin/time -v for the whole run.",
                 "",
                 "| | start-up ms | idle VmHWM MiB | loaded VmHWM MiB | growth MiB | time -v max RSS MiB |",
                 "|---|---|---|---|---|---|"]
        for name, s in (("agent", starts["agent"]), ("bare", starts["bare"])):
            m = mem[name]
            lines.append(f"| {name} | {fmt(median(s), 1)} ({fmt(min(s), 1)}-{fmt(max(s), 1)}) | {fmt(m['idle_hwm_kib'] / 1024, 2)} | "
                         f"{fmt(m['loaded_hwm_kib'] / 1024, 2)} | {fmt((m['loaded_hwm_kib'] - m['idle_hwm_kib']) / 1024, 2)} | "
                         f"{fmt((m['time_v_max_kib'] or 0) / 1024, 2)} |")
        lines += ["", f"Ratios: start-up {fmt(sa / sb, 2)}x bare; loaded peak RSS "
                  f"{fmt(mem['agent']['loaded_hwm_kib'] / mem['bare']['loaded_hwm_kib'], 2)}x bare."]
        self.write(lines)

    # -- profile ----------------------------------------------------------------
    def profile(self):
        lines = ["## Where the time goes (perf, 8 connections kept alive)", ""]
        for name in ("agent", "bare"):
            p = free_port()
            argv = self.agent_argv(self.native, p) if name == "agent" else self.bare_argv("bare", p)
            h = self.host(f"profile-{name}", argv, p)
            h.wait_ready(10)
            data = self.out / f"perf-{name}.data"
            rec = subprocess.Popen(["perf", "record", "-F", "997", "-g", "-o", str(data), "-p", str(h.pid)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            res = wrk(p, 8, self.args.seconds, False)
            rec.send_signal(signal.SIGINT)
            rec.wait(60)
            h.stop()
            report = subprocess.run(["perf", "report", "-i", str(data), "--no-children", "--stdio",
                                     "--sort", "dso", "-q", "-g", "none"], text=True, capture_output=True).stdout
            (self.out / f"perf-{name}-dso.txt").write_text(report)
            syms = subprocess.run(["perf", "report", "-i", str(data), "--no-children", "--stdio",
                                   "--sort", "sym", "-q", "-g", "none", "--percent-limit", "1"],
                                  text=True, capture_output=True).stdout
            (self.out / f"perf-{name}-sym.txt").write_text(syms)
            top = [l for l in report.splitlines() if l.strip()][:6]
            top_syms = [l for l in syms.splitlines() if l.strip()][:12]
            lines += [f"### {name}: {fmt(res['rps'])} req/s during the profile; samples by DSO, then by symbol",
                      "```", *top, "", *top_syms, "```"]
        self.write(lines)

    # -- wine -------------------------------------------------------------------
    def wine(self):
        a = self.args
        folder = BUILD / "perf-windows"
        if not a.no_build:
            build_windows(folder)
        agent_exe = str(folder / "src" / "qelt-host.exe")
        server_exe = str(folder / "bench" / "qelt-bench-server.exe")
        with wine_prefix("wine") as env:
            targets = [("agent", [agent_exe, str(p := free_port()), "C:\\qelt-logs"], p)]
            if a.baseline_windows_agent:
                targets.append(("baseline", [str(Path(a.baseline_windows_agent).resolve()), str(p := free_port()),
                                             "C:\\qelt-logs"], p))
            targets += [("ref-skip", [server_exe, "adapters", str(p := free_port())], p),
                        ("ref-prefix", [server_exe, "adapters-prefix", str(p := free_port())], p)]
            names = [n for n, _, _ in targets]
            hosts = [self.host(f"wine-{n}", [*WINE, *argv], port, env=env) for n, argv, port in targets]
            for h in hosts:
                h.wait_ready(120)
            rss_kib = lambda key: {h.name: vm_kib(wine_pid(h), key) for h in hosts}  # noqa: E731
            rss = {"idle": rss_kib("VmRSS")}
            for h in hosts:
                wrk(h.port, 8, 1, False)
            latency = self.wine_latency(hosts)
            rss["loaded"], rss["peak"] = rss_kib("VmRSS"), rss_kib("VmHWM")
            time.sleep(15)  # the agent's spare workers end 10 s after their last job
            rss["settled"] = rss_kib("VmRSS")
            for h in hosts:
                h.stop(30)
            startup = self.wine_startup(env, targets[: 2 if a.baseline_windows_agent else 1])
            stop_ms = self.wine_stop(env, agent_exe)
            idle = self.wine_idle(env, server_exe)
        self.raw["wine"] = {"latency": {f"{c}/{'close' if cl else 'keep'}/{t}": v for (c, cl, t), v in latency.items()},
                            "rss_kib": rss, "startup_ms": startup, "stop_ms": stop_ms, "idle": idle}
        m = lambda rs, k: median([x[k] for x in rs])  # noqa: E731
        cols = [n for n in names]
        lines = ["## Under Wine: the Windows build against MinGW reference servers",
                 "Fresh prefix, WINEDEBUG=-all; compare Wine figures with Wine figures only. 'agent' is qelt-host.exe "
                 "(real lookup and log); 'ref-skip' and 'ref-prefix' answer a fixed body after the same two "
                 "GetAdaptersAddresses calls, with the agent's flags (the four GAA_FLAG_SKIP_ address lists) and "
                 "with GAA_FLAG_INCLUDE_PREFIX (every list, as the agent asked before)"
                 + ("; 'baseline' is the agent of another build (--baseline-windows-agent)." if a.baseline_windows_agent else "."),
                 f"{a.rounds} rounds x {a.seconds}s, targets alternating; medians of wrk's p50 latency and req/s.", "",
                 "| conns | mode | " + " | ".join(f"{n} p50 ms" for n in cols) + " | "
                 + " | ".join(f"{n} req/s" for n in cols) + " | agent / ref-skip req/s | errors agent |",
                 "|---|---|" + "---|" * (2 * len(cols) + 2)]
        for c, close in WINE_CONFIGS:
            rs = {n: latency[(c, close, f"wine-{n}")] for n in cols}
            ratio = m(rs["agent"], "rps") / m(rs["ref-skip"], "rps") if m(rs["ref-skip"], "rps") else None
            lines.append(f"| {c} | {'close' if close else 'keep-alive'} | "
                         + " | ".join(fmt(m(rs[n], "p50_ms"), 2) for n in cols) + " | "
                         + " | ".join(fmt(m(rs[n], "rps")) for n in cols)
                         + f" | {fmt(ratio * 100 if ratio else None)}% | "
                         f"{sum(x['socket_errors'] + x['non2xx'] for x in rs['agent'])} |")
        lines += ["", f"Idle, {a.idle_seconds} s without a request: voluntary context switches a second summed over "
                  "the process's threads, and its CPU ticks (utime+stime, 1/100 s).", "",
                  "| process | threads | switches/s | CPU ticks |", "|---|---|---|---|"]
        for name, v in idle.items():
            lines.append(f"| {name} | {v['threads']} | {fmt(v['switches_per_s'], 1)} | {v['ticks']} |")
        lines += ["", "Start-up (process start to the first answered GET /mac, warm prefix, median of "
                  f"{len(next(iter(startup.values()), []))}) and memory of the Windows process: VmRSS after the "
                  "first answer, right after the load above, and 15 s later; VmHWM over the whole run.", "",
                  "| | start-up ms | RSS idle MiB | RSS after load MiB | RSS 15 s later MiB | VmHWM MiB |",
                  "|---|---|---|---|---|---|"]
        for n in cols:
            st = startup.get(n)
            mib = lambda key: fmt(rss[key][f"wine-{n}"] / 1024, 1)  # noqa: E731
            lines.append(f"| {n} | {fmt(median(st), 0) if st else '-'} | {mib('idle')} | {mib('loaded')} | "
                         f"{mib('settled')} | {mib('peak')} |")
        lines += ["", f"Stop with one idle kept-alive connection open: end of input to process exit, "
                  f"median of {len(stop_ms)}: {fmt(median(stop_ms), 0)} ms (min {fmt(min(stop_ms), 0)}, max {fmt(max(stop_ms), 0)})."]
        self.write(lines)

    # -- policy -------------------------------------------------------------------
    def policy(self):
        a = self.args
        folder = BUILD / "perf-windows"
        if not a.no_build:
            build_windows(folder)
        key = "HKLM\\SOFTWARE\\Policies\\qelt\\agent"
        site = "https://app.example.com"
        results = {}
        with wine_prefix("policy", WINEDLLOVERRIDES="mscoree,mshtml=") as env:
            reg = lambda *args: subprocess.run([*WINE, "reg", *args, "/reg:64", "/f"], env=env,  # noqa: E731
                                               capture_output=True, check=False)
            port = free_port()
            h = self.host("wine-policy", [*WINE, str(folder / "src" / "qelt-host.exe"), str(port), "C:\\qelt-logs"],
                          port, env=env)
            h.wait_ready(120)

            def restrict(on):
                if on:
                    reg("add", key, "/v", "RestrictOrigins", "/t", "REG_DWORD", "/d", "1")
                    reg("add", key + "\\AllowedOrigins", "/v", "1", "/t", "REG_SZ", "/d", site)
                else:
                    reg("delete", key)
                want = 403 if on else 200
                end = time.monotonic() + 10
                while time.monotonic() < end:
                    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                    conn.request("GET", "/mac", headers={"Origin": "https://other.example"})
                    status = conn.getresponse().status
                    conn.close()
                    if status == want:
                        return
                    time.sleep(0.1)
                raise RuntimeError("the policy did not take effect")

            wrk(port, 8, 1, False, headers=[f"Origin: {site}"])
            for r in range(a.rounds):
                for on in ((False, True) if r % 2 == 0 else (True, False)):
                    restrict(on)
                    for c in (1, 8):
                        results.setdefault((c, on), []).append(
                            wrk(port, c, a.seconds, False, headers=[f"Origin: {site}"]))
            h.stop(30)
        self.raw["policy"] = {f"{c}/{'policy' if on else 'none'}": v for (c, on), v in results.items()}
        m = lambda rs, k: median([x[k] for x in rs])  # noqa: E731
        lines = ["## Under Wine: an allowed request under an origin policy",
                 f"qelt-host.exe, GET /mac with 'Origin: {site}', kept alive; the policy (RestrictOrigins 1, that one "
                 f"site) switched on and off between runs, {a.rounds} rounds x {a.seconds}s each way; medians.", "",
                 "| conns | no policy p50 ms | policy p50 ms | p50 change | no policy req/s | policy req/s | req/s change |",
                 "|---|---|---|---|---|---|---|"]
        for c in (1, 8):
            off, on = results[(c, False)], results[(c, True)]
            p_off, p_on, r_off, r_on = m(off, "p50_ms"), m(on, "p50_ms"), m(off, "rps"), m(on, "rps")
            lines.append(f"| {c} | {fmt(p_off, 2)} | {fmt(p_on, 2)} | {fmt((p_on / p_off - 1) * 100, 1)}% | "
                         f"{fmt(r_off)} | {fmt(r_on)} | {fmt((r_on / r_off - 1) * 100, 1)}% |")
        self.write(lines)

    def wine_latency(self, hosts):
        a = self.args
        results = {}
        for r in range(a.rounds):
            for c, close in WINE_CONFIGS:
                for h in (hosts if r % 2 == 0 else hosts[::-1]):
                    results.setdefault((c, close, h.name), []).append(wrk(h.port, c, a.seconds, close))
        return results

    def wine_startup(self, env, targets):
        starts = {}
        for r in range(6):
            for name, argv, _ in (targets if r % 2 == 0 else targets[::-1]):
                port = free_port()
                h = self.host(f"wine-start-{name}", [*WINE, *argv[:1], str(port), *argv[2:]], port, env=env)
                starts.setdefault(name, []).append(h.wait_ready(120) * 1e3)
                h.stop(30)
        return starts

    def wine_stop(self, env, agent_exe):
        times = []
        for _ in range(5):
            port = free_port()
            h = self.host("wine-stop", [*WINE, agent_exe, str(port), "C:\\qelt-logs"], port, env=env)
            h.wait_ready(120)
            idle = socket.create_connection(("127.0.0.1", port))
            idle.sendall(b"GET /mac HTTP/1.1\r\nHost: x\r\n\r\n")
            idle.recv(4096)
            started = time.monotonic()
            h.stop(30)
            times.append((time.monotonic() - started) * 1e3)
            idle.close()
        return times

    def wine_idle(self, env, server_exe):
        """The agent as a service (scripts/agent-service, in a namespace and prefix of its
        own), qelt-host.exe in the foreground and a MinGW program blocked in accept()."""
        a = self.args
        results = {}
        floor = self.host("wine-accept", [*WINE, server_exe, "accept", str(p := free_port())], p, env=env)
        host = self.host("wine-idle-host", [*WINE, str(BUILD / "perf-windows" / "src" / "qelt-host.exe"),
                                            str(q := free_port()), "C:\\qelt-logs"], q, env=env)
        host.wait_ready(120)
        ns = f"{NS_PREFIX}-service"
        run(["ip", "netns", "add", ns])
        self.namespaces.append(ns)
        run(["ip", "-n", ns, "link", "set", "lo", "up"])
        service_prefix = Path(tempfile.mkdtemp(prefix="qelt-bench-service-"))
        service_env = dict(os.environ, QELT_RUN_PREFIX=str(service_prefix / "prefix"),
                           AGENT_EXE=str(BUILD / "perf-windows" / "src" / "qelt-agent.exe"))
        try:
            run(["ip", "netns", "exec", ns, "bash", str(ROOT / "scripts" / "agent-service"), "run"], env=service_env,
                stdout=subprocess.DEVNULL)
            service = next(pid for pid in map(int, subprocess.run(["ip", "netns", "pids", ns], capture_output=True,
                                                                  text=True).stdout.split())
                           if Path(f"/proc/{pid}/comm").read_text().strip() == "qelt-agent.exe")
            time.sleep(2)  # let start-up activity settle before the idle window
            pids = {"qelt-agent.exe as a service": service, "qelt-host.exe": wine_pid(host),
                    "accept() floor (MinGW)": wine_pid(floor)}
            before = {n: (switches(pid), ticks(pid)) for n, pid in pids.items()}
            time.sleep(a.idle_seconds)
            for n, pid in pids.items():
                s0, t0 = before[n]
                results[n] = {"switches_per_s": (switches(pid) - s0) / a.idle_seconds, "ticks": ticks(pid) - t0,
                              "threads": len(os.listdir(f"/proc/{pid}/task"))}
        finally:
            subprocess.run(["ip", "netns", "exec", ns, "bash", str(ROOT / "scripts" / "agent-service"), "stop"],
                           env=service_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            shutil.rmtree(service_prefix, ignore_errors=True)
            host.stop(30)
            floor.stop(30)
        return results


WINE_CONFIGS = [(1, False), (8, False), (1, True), (8, True)]


def wine_pid(host):
    """The Windows process that `wine` started for a host: the wine script execs into
    it, so it is the host's own pid once its name (comm, 15 characters) is the .exe's."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError):
            if Path(f"/proc/{host.pid}/comm").read_text().strip() not in ("setarch", "wine", "wine64", "sh"):
                return host.pid
        time.sleep(0.1)  # polling interval until Wine has started the program
    raise RuntimeError(f"{host.name}: no Windows process")


def switches(pid):
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        with contextlib.suppress(OSError):
            for line in (task / "status").read_text().splitlines():
                if line.startswith("voluntary_ctxt_switches:"):
                    total += int(line.split()[1])
    return total


def ticks(pid):
    text = Path(f"/proc/{pid}/stat").read_text()
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def machine():
    cpu = next((l.split(":", 1)[1].strip() for l in Path("/proc/cpuinfo").read_text().splitlines()
                if l.startswith("model name")), "?")
    load = Path("/proc/loadavg").read_text().split()[:3]
    return f"{os.cpu_count()} cores ({cpu}), kernel {os.uname().release}, load average at start {' '.join(load)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--no-build", action="store_true", help="use the binaries already in build/perf-*")
    parser.add_argument("--agent-dir", help="measure qelt-host and qelt-lookup-bench of another build folder "
                        "(for trying a change to the agent against the same references)")
    parser.add_argument("--baseline-windows-agent", help="wine section: also measure this qelt-host.exe "
                        "(an earlier build) beside the agent")
    parser.add_argument("--idle-seconds", type=int, default=60, help="wine section: the idle window")
    parser.add_argument("sections", nargs="*",
                        default=["endpoint", "backlog", "adapters", "memory", "profile", "wine", "policy"])
    args = parser.parse_args()
    if os.geteuid() != 0 and "adapters" in args.sections:
        sys.exit("bench: the adapters section needs root (network namespaces)")
    bench = Bench(args)
    if not args.no_build:
        build_native(bench.native)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        for section in args.sections:
            log(f"bench: {section} ...")
            try:
                getattr(bench, section)()
            except Exception as error:  # a report, not a test: note it and go on
                bench.write([f"## {section}: not measured", f"{type(error).__name__}: {error}"])
    finally:
        bench.cleanup()
    log(f"bench: results in {bench.out}")


if __name__ == "__main__":
    main()
