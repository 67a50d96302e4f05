#!/usr/bin/env python3
"""Debian's Prometheus scraping varnock-check, varnock-gather and
varnock-pace (--metrics) during a run with loss, in a network namespace of
its own on 127.0.0.1; then what its HTTP API returns held to the programs'
JSON:

- the checkers as varnock-gather serves them equal their JSON summaries and
  their final --metrics-file, histograms bucket by bucket;
- every scrape of a checker, and of gather while it runs, equals the sums of
  a first part of the checker's JSON rows;
- histogram_quantile(0.99, ...) over gather's delivery buckets falls in the
  bucket that holds the JSON p99, each checker's and the two together's;
- `promtool check metrics` passes on every exposition and on the textfiles;
- every query of dashboards/varnock.json evaluates, and those that draw the
  run return data;
- a hostile client against a checker's --metrics (a flood of connections
  held open, slow and huge headers) leaves its account whole: frames
  received once or lost equal the frames published, as for the checker
  beside it that nobody attacks.

  tests/prometheus_test.py PROGRAMS_DIR DASHBOARD_JSON

PROGRAMS_DIR holds varnock-check, varnock-gather and varnock-pace. Needs
root for the namespace (skipped, exit 77, otherwise) and Debian's
prometheus package (fails, naming it, without).
"""

import json
import math
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

BUS = "udpm://239.255.76.67:7667?ttl=0"
# The checkers' buffer holds a second of frames: they lose only what is dropped.
CHECK_BUS = BUS + "&recv_buf_size=8388608"
PROMETHEUS = "127.0.0.1:9090"
# Two checkers on one bus: the first is attacked, the second is the clean case.
HOSTILE, CLEAN = "e2e-hostile", "e2e-clean"
PORTS = {HOSTILE: 9101, CLEAN: 9102, "gather": 9103, "pace": 9104}
RATE, SECONDS = 100, 12
# Of the datagrams that carry frames' fragments (LCM's "LC03"), this many in
# a hundred are dropped; status records and shared reports go whole.
DROP_PERCENT = 3

CAUSES = ("receive_buffer", "reassembly_memory", "fragments", "in_lcm", "checksum", "other")
# Each counter of a checker and the field of its JSON rows and summary.
COUNTERS = {
    "varnock_check_frames_received_total": "frames",
    "varnock_check_frames_lost_estimated_total": "lost_estimated",
    "varnock_check_status_records_received_total": "status_records",
    "varnock_check_corrupt_messages_total": "corrupt",
    "varnock_check_duplicate_frames_total": "duplicates",
    "varnock_check_late_frames_total": "late",
    "varnock_check_publisher_runs_total": "runs",
    "varnock_check_received_bytes_total": "bytes",
    "varnock_check_kernel_drops_total": "kernel_drops",
    "varnock_check_send_drops_total": "send_drops",
}
HISTOGRAMS = ("latency", "delivery", "inter_arrival", "lcm_queue")

failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def finish_with(code, message):
    print(f"prometheus_test: {message}", file=sys.stderr if code == 1 else sys.stdout)
    sys.exit(code)


# --- the programs ------------------------------------------------------------

class Program:
    """A program started with its output in files of `tmp`."""

    def __init__(self, tmp, name, argv):
        self.name = name
        self.out_path = os.path.join(tmp, name + ".out")
        self.err_path = os.path.join(tmp, name + ".err")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def text(self, path=None):
        with open(path or self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def lines(self):
        text = self.text()
        # The last line may be half written.
        return [json.loads(l) for l in text.splitlines()[: text.count("\n")]]

    def of_type(self, kind):
        return [l for l in self.lines() if l.get("type") == kind]

    def wait_for(self, condition, seconds, what):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if condition():
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise AssertionError(f"{self.name}: {what} not seen in {seconds} s "
                             f"(exit {self.proc.poll()}); stderr:\n{self.text(self.err_path)}")

    def finish(self, timeout=30, status=0):
        """The summary, once the program has exited with `status` (negative:
        died of that signal)."""
        try:
            got = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            got = self.proc.wait()
        if got != status:
            raise AssertionError(f"{self.name} exited {got}, not {status}; "
                                 f"stderr:\n{self.text(self.err_path)}")
        return self.of_type("summary")[0]

    def stop(self, status=0):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.finish(status=status)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def fetch(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode("utf-8")


def exposition(port):
    return fetch(f"http://127.0.0.1:{port}/metrics")


def promtool_check(text, what):
    result = subprocess.run(["promtool", "check", "metrics"], input=text.encode(),
                            capture_output=True, check=False)
    problems = (result.stdout + result.stderr).decode().strip()
    check(result.returncode == 0 and not problems,
          f"promtool check metrics on {what} ({text.count(chr(10))} lines)"
          + (f": {problems}" if problems else ""))


# --- the text exposition format ------------------------------------------------

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})?\s+(\S+)(?:\s+\S+)?$')
LABEL = re.compile(r'\s*([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"\s*,?')


def parse_exposition(text):
    """{(name, frozenset of labels): value} of every sample in `text`."""
    samples = {}
    for line in text.splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        m = SAMPLE.match(line)
        if not m:
            raise AssertionError(f"not a sample line: {line!r}")
        labels, rest = {}, m.group(2) or ""
        while rest.strip():
            lm = LABEL.match(rest)
            if not lm:
                raise AssertionError(f"bad labels in {line!r}")
            labels[lm.group(1)] = re.sub(r'\\(.)', lambda e: "\n" if e.group(1) == "n" else e.group(1),
                                         lm.group(2))
            rest = rest[lm.end():]
        samples[(m.group(1), frozenset(labels.items()))] = float(m.group(3))
    return samples


# --- Prometheus ----------------------------------------------------------------

def api(path, **params):
    url = f"http://{PROMETHEUS}/api/v1/{path}?" + urllib.parse.urlencode(params, doseq=True)
    try:
        body = fetch(url, timeout=10)
    except urllib.error.HTTPError as e:
        body = e.read().decode("utf-8")
    answer = json.loads(body)
    if answer.get("status") != "success":
        raise AssertionError(f"{path} {params}: {answer.get('errorType')}: {answer.get('error')}")
    return answer["data"]


def query(expr, at):
    """An instant query's answer at `at`: [(labels, value)]."""
    data = api("query", query=expr, time=f"{at:.3f}")
    if data["resultType"] == "scalar":
        return [({}, float(data["result"][1]))]
    return [(r["metric"], float(r["value"][1])) for r in data["result"]]


def value(expr, at):
    result = query(expr, at)
    if len(result) != 1:
        raise AssertionError(f"{expr} at {at:.3f}: {len(result)} series, not one: {result}")
    return result[0][1]


def start_prometheus(tmp):
    config = os.path.join(tmp, "prometheus.yml")
    with open(config, "w", encoding="utf-8") as f:
        f.write(f"""global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: check
    static_configs: [{{targets: ['127.0.0.1:{PORTS[HOSTILE]}', '127.0.0.1:{PORTS[CLEAN]}']}}]
  - job_name: gather
    static_configs: [{{targets: ['127.0.0.1:{PORTS["gather"]}']}}]
  - job_name: pace
    static_configs: [{{targets: ['127.0.0.1:{PORTS["pace"]}']}}]
""")
    prometheus = Program(tmp, "prometheus", [
        "prometheus", f"--config.file={config}", f"--storage.tsdb.path={tmp}/tsdb",
        f"--web.listen-address={PROMETHEUS}", "--log.level=warn"])

    def ready():
        try:
            fetch(f"http://{PROMETHEUS}/-/ready", timeout=1)
            return True
        except (urllib.error.URLError, ConnectionError, socket.timeout):
            return False
    prometheus.wait_for(ready, 60, "/-/ready")
    return prometheus


def last_scrape(job, instance=None):
    """The newest scrape's time of `job` (of `instance`), or 0."""
    selector = f'job="{job}"' + (f',instance="{instance}"' if instance else "")
    result = query(f"timestamp(up{{{selector}}})", time.time())
    return max((v for _, v in result), default=0.0)


def wait_for_scrape_after(job, after, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = last_scrape(job)
        if t > after:
            return t
        time.sleep(0.2)
    raise AssertionError(f"Prometheus scraped no {job} after {after:.3f} in {seconds} s")


def samples_by_scrape(selector, at):
    """{scrape time: {(name, labels without job/instance): value}} of the
    series `selector` picks, every sample Prometheus holds up to `at`."""
    data = api("query", query=f"{selector}[1h]", time=f"{at:.3f}")
    scrapes = {}
    for series in data["result"]:
        labels = dict(series["metric"])
        name = labels.pop("__name__")
        for drop in ("job", "instance"):
            labels.pop(drop, None)
        for t, v in series["values"]:
            scrapes.setdefault(float(t), {})[(name, frozenset(labels.items()))] = float(v)
    return scrapes


# --- what is compared ------------------------------------------------------------

def counters_of(fields, checker):
    """The checker's counters as its exposition names them, from JSON fields
    (a row or a summary); an unknown (null) field names no sample."""
    out = {}
    for name, field in COUNTERS.items():
        if fields.get(field) is not None:
            out[(name, frozenset({("checker", checker)}))] = fields[field]
    for cause in CAUSES:
        if fields.get("lost_" + cause) is not None:
            out[("varnock_check_frames_lost_total",
                 frozenset({("checker", checker), ("cause", cause)}))] = fields["lost_" + cause]
    return out


def prefix_sums(rows, checker):
    sums, running = [counters_of({}, checker)], {}
    for row in rows:
        for key, v in counters_of(row, checker).items():
            running[key] = running.get(key, 0) + v
        sums.append(dict(running))
    return sums


def counters_only(samples):
    names = set(COUNTERS) | {"varnock_check_frames_lost_total"}
    return {k: v for k, v in samples.items() if k[0] in names}


def each_scrape_a_prefix(scrapes, rows, checker, who):
    """Every scrape's counters equal the sums of the first k rows, for one k."""
    sums = prefix_sums(rows, checker)
    bad, used = [], set()
    for t, samples in sorted(scrapes.items()):
        got = counters_only(samples)
        if not got:
            continue
        ks = [k for k, s in enumerate(sums) if all(s.get(key, 0) == v for key, v in got.items())]
        if ks:
            used.add(ks[0])
        else:
            bad.append((t, got))
    check(scrapes and not bad and len(used) > 3,
          f"{who}: {len(scrapes)} scrapes, each the sum of the first k of {len(rows)} JSON rows "
          f"(k seen: {sorted(used)})" + (f"; not a prefix at {bad[0][0]:.3f}: {sorted(bad[0][1].items())}"
                                         if bad else ""))


def bucket_holding(bounds, seconds):
    """(lower, upper] of the bucket holding `seconds`."""
    lower = 0.0
    for upper in bounds:
        if seconds <= upper:
            return lower, upper
        lower = upper
    return lower, math.inf


def within_bucket(answer, json_ms, bounds):
    """Prometheus' answer lies in the bucket that holds the JSON figure (exact
    to 0.2% and a microsecond, so either side of a bound near it will do)."""
    slack = json_ms * 0.002 + 0.001
    for ms in (json_ms - slack, json_ms, json_ms + slack):
        lower, upper = bucket_holding(bounds, ms / 1000)
        if lower <= answer <= upper:
            return True
    return False


# --- a hostile client --------------------------------------------------------------

def rss_kb(pid):
    with open(f"/proc/{pid}/status", encoding="utf-8") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def attack(port, victim, bystander, seconds):
    """Holds a flood of connections open on `port`, feeds a few a header a
    byte at a time and one a header of 128 MB, for `seconds`. Returns what the
    victim's memory (beyond the growth of the bystander's, which does the
    same work unattacked: a sanitizer's quarantine grows with the work) and
    descriptors did, and how far the big header got."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    before_rss, before_fds = rss_kb(victim.proc.pid), descriptors(victim.proc.pid)
    bystander_before = rss_kb(bystander.proc.pid)
    # The headers first, so that the flood cannot keep them out.
    big = socket.socket()
    big.settimeout(1)
    big.connect(("127.0.0.1", port))
    big.sendall(b"GET /metrics HTTP/1.1\r\nX-Huge: ")
    slow = []
    for _ in range(8):
        s = socket.socket()
        s.settimeout(1)
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
            slow.append(s)
        except OSError:
            s.close()
    flood, held = 1500, []
    for _ in range(flood):
        s = socket.socket()
        s.setblocking(False)
        if s.connect_ex(("127.0.0.1", port)) not in (0, 115):  # EINPROGRESS
            s.close()
            continue
        held.append(s)
    big_sent, big_cut = 0, ""
    chunk = b"a" * 65536
    peak_rss, peak_fds, bystander_peak = before_rss, before_fds, bystander_before
    end = time.monotonic() + seconds
    next_byte = 0.0
    while time.monotonic() < end:
        if not big_cut and big_sent < 128 << 20:
            try:
                big_sent += big.send(chunk)
            except socket.timeout:
                pass
            except OSError as e:
                big_cut = str(e)
        else:
            time.sleep(0.05)
        if time.monotonic() >= next_byte:
            next_byte = time.monotonic() + 0.2
            for s in slow:
                try:
                    s.send(b"X")
                except OSError:
                    pass
            peak_rss = max(peak_rss, rss_kb(victim.proc.pid))
            bystander_peak = max(bystander_peak, rss_kb(bystander.proc.pid))
            peak_fds = max(peak_fds, descriptors(victim.proc.pid))
    for s in held + slow + [big]:
        s.close()
    return {"flood": flood, "held": len(held), "slow": len(slow), "big_sent": big_sent,
            "big_cut": big_cut or "left unread", "rss_growth_kb": peak_rss - before_rss,
            "bystander_rss_growth_kb": bystander_peak - bystander_before,
            "fd_growth": peak_fds - before_fds}


# --- the run -------------------------------------------------------------------------

def in_namespace(programs_dir, dashboard_path):
    for command in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                    ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
        subprocess.run(command, check=True)
    rules = f"""table ip varnock_prometheus_test {{
  chain input {{
    type filter hook input priority 0;
    udp dport 7667 @th,64,32 0x4c433033 numgen random mod 100 < {DROP_PERCENT} counter drop
  }}
}}"""
    subprocess.run(["nft", "-f", "-"], input=rules.encode(), check=True)
    os.environ.pop("LCM_DEFAULT_URL", None)
    with open(dashboard_path, encoding="utf-8") as f:
        dashboard = json.load(f)
    with tempfile.TemporaryDirectory(prefix="prometheus-test-") as tmp:
        started = []
        try:
            run(tmp, programs_dir, dashboard, started)
        except (AssertionError, KeyError, IndexError, StopIteration, json.JSONDecodeError,
                OSError) as e:
            check(False, f"{type(e).__name__}: {e}")
        finally:
            for p in started:
                p.kill()


def run(tmp, programs_dir, dashboard, started):
    def program(name, binary, *args):
        p = Program(tmp, name, [os.path.join(programs_dir, binary), *args])
        started.append(p)
        return p

    prometheus = start_prometheus(tmp)
    started.append(prometheus)
    gather = program("gather", "varnock-gather", "--url", BUS, "--json",
                     "--metrics", f":{PORTS['gather']}")
    gather.wait_for(lambda: gather.of_type("start"), 30, "the start line")
    checkers = {}
    for name in (HOSTILE, CLEAN):
        checkers[name] = program(name, "varnock-check", "--url", CHECK_BUS, "--json", "--share",
                                 "--name", name, "--metrics", f":{PORTS[name]}",
                                 "--metrics-file", os.path.join(tmp, name + ".prom"))
    for c in checkers.values():
        c.wait_for(lambda c=c: c.of_type("start"), 30, "the start line")
    # Prometheus takes a few seconds to begin scraping: the run waits for it.
    for job, targets in (("check", 2), ("gather", 1)):
        prometheus.wait_for(lambda job=job, targets=targets:
                            len(query(f'up{{job="{job}"}} == 1', time.time())) == targets,
                            30, f"a scrape of every {job} target")
    pace = program("pace", "varnock-pace", "--url", BUS, "--width", "320", "--height", "240",
                   "--rate", str(RATE), "--seconds", str(SECONDS), "--json",
                   "--metrics", f":{PORTS['pace']}")
    pace_start = time.time()
    hostile = checkers[HOSTILE]
    hostile.wait_for(lambda: sum(r["frames"] for r in hostile.of_type("second")) > 2 * RATE, 30,
                     "two seconds of frames")
    prometheus.wait_for(lambda: query('up{job="pace"} == 1', time.time()), 30,
                        "a scrape of varnock-pace")
    expositions = {"varnock-pace": exposition(PORTS["pace"])}
    for name in checkers:
        expositions[f"varnock-check --name {name}"] = exposition(PORTS[name])

    hostile_client(hostile, checkers[CLEAN])

    cycles = pace.finish(timeout=SECONDS + 60)["cycles"]
    pace_end = time.time()
    summaries, stopped = {}, {}
    for name, c in checkers.items():
        c.wait_for(lambda c=c: any(r["second"] > pace_end and r["frames"] == 0 and
                                   r["status_records"] == 0 for r in c.of_type("second")),
                   30, "a quiet second after varnock-pace ended")
        stopped[name] = time.time()
        summaries[name] = c.stop()
    checkers_end = time.time()
    # Gather has heard the summaries (sent within 300 ms of the end) once a
    # scrape is a second after that.
    at = wait_for_scrape_after("gather", checkers_end + 1.0)
    expositions["varnock-gather"] = exposition(PORTS["gather"])

    accounts(summaries, {n: c.of_type("start")[0] for n, c in checkers.items()}, cycles)
    textfiles = {name: c.text(os.path.join(tmp, name + ".prom")) for name, c in checkers.items()}
    bounds, stamps = gathered_against_summaries(summaries, textfiles, at, checkers_end)
    quantiles_against_json(summaries, bounds, at)

    print("== the dashboard's queries", flush=True)
    dashboard_queries(dashboard, pace_start + 2, pace_end - 1)
    # Once the checkers have said nothing for 5 s, they show as silent.
    silent_at = wait_for_scrape_after("gather", max(stamps) + 6)
    for title, target in dashboard_targets(dashboard):
        if "> 5" in target["expr"]:
            result = query(substitute(target["expr"], 60), silent_at)
            check(sorted(r[0].get("checker") for r in result) == sorted(summaries),
                  f"{title}, {silent_at - max(stamps):.1f} s after the last report: "
                  f"{[r[0].get('checker') for r in result]}")

    # Like a program without handlers, gather dies of SIGTERM once it has
    # written its summary.
    gather_summary = gather.stop(-signal.SIGTERM)
    heard = {c["name"]: c for c in gather_summary["checkers"]}
    check(sorted(heard) == sorted(summaries) and gather_summary["missing_reports"] == 0
          and all(c["ended"] for c in heard.values()),
          f"gather heard {sorted(heard)}, each ended, missing reports "
          f"{gather_summary['missing_reports']}")

    print("== every scrape during the run, against the sums of the JSON rows", flush=True)
    now = time.time()
    for name, c in checkers.items():
        # The rows as gather heard them carry the bytes exactly.
        rows = [r for r in gather.of_type("second") if r["name"] == name]
        own = c.of_type("second")
        same = [r["second"] for r in own] == [r["second"] for r in rows] and all(
            counters_of(dict(r, bytes=None), name) == counters_of(dict(g, bytes=None), name)
            for r, g in zip(own, rows))
        check(same, f"{name}: gather's {len(rows)} rows are the checker's own {len(own)}")
        each_scrape_a_prefix(samples_by_scrape(f'{{job="check",checker="{name}"}}', now),
                             rows, name, f"{name} scraped itself")
        running = {t: s for t, s in samples_by_scrape(f'{{job="gather",checker="{name}"}}',
                                                      now).items() if t < stopped[name]}
        each_scrape_a_prefix(running, rows, name, f"{name} scraped from gather while it ran")

    print("== varnock-pace", flush=True)
    pace_cycles = [v for t, s in sorted(samples_by_scrape('varnock_pace_cycles_total', now).items())
                   for v in s.values()]
    check(pace_cycles and pace_cycles == sorted(pace_cycles) and 0 < pace_cycles[-1] <= cycles,
          f"varnock_pace_cycles_total rose to {pace_cycles[-1] if pace_cycles else None} "
          f"over {len(pace_cycles)} scrapes, of {cycles} cycles in its summary")
    # Once varnock-pace has gone, Prometheus marks its series stale.
    target = value('max(varnock_pace_target_rate_hertz)', pace_end - 1)
    check(target == RATE, f"varnock_pace_target_rate_hertz {target}")

    print("== promtool check metrics", flush=True)
    for what, text in expositions.items():
        promtool_check(text, f"{what}'s /metrics")
    for name, text in textfiles.items():
        promtool_check(text, f"{name}'s --metrics-file")


def hostile_client(victim, bystander):
    """The attack, while frames flow: the account must keep settling seconds,
    memory and descriptors stay bounded, and /metrics answer again after."""
    rows_before = len(victim.of_type("second"))
    attack_start = time.time()
    harm = attack(PORTS[victim.name], victim, bystander, 4)
    attack_end = time.time()
    rows_during = len(victim.of_type("second")) - rows_before
    print(f"      attack on {victim.name}'s --metrics: {harm['held']} of {harm['flood']} "
          f"connections held open, {harm['slow']} sending a header a byte at a time, a huge "
          f"header cut after {harm['big_sent']} bytes ({harm['big_cut']}); its memory grew "
          f"{harm['rss_growth_kb']} KB ({bystander.name}'s {harm['bystander_rss_growth_kb']} KB) "
          f"and its descriptors {harm['fd_growth']}", flush=True)
    check(rows_during >= 2, f"{victim.name} settled {rows_during} seconds during a 4 s attack")
    check(harm["big_sent"] < 128 << 20,
          f"{victim.name} refused a 128 MB header (took {harm['big_sent']} bytes)")
    beyond = harm["rss_growth_kb"] - harm["bystander_rss_growth_kb"]
    check(beyond < 32 << 10, f"{victim.name}'s memory grew by {beyond} KB more than "
                             f"{bystander.name}'s (< 32 MB) under the attack")
    check(harm["fd_growth"] < harm["flood"] // 2,
          f"{victim.name} held {harm['fd_growth']} more descriptors for {harm['flood']} connections")
    served = ""
    end = time.monotonic() + 15
    while not served and time.monotonic() < end:
        try:
            served = exposition(PORTS[victim.name])
        except (urllib.error.URLError, ConnectionError, socket.timeout):
            time.sleep(0.2)
    check("varnock_check_frames_received_total" in served,
          f"{victim.name} serves /metrics again once the attackers leave")
    # Prometheus comes from the attackers' address, so it may be kept out too.
    ups = api("query", query=f'up{{instance="127.0.0.1:{PORTS[victim.name]}"}}[1h]',
              time=f"{time.time():.3f}")["result"][0]["values"]
    print(f"      Prometheus' scrapes of {victim.name} during the attack (up): "
          + " ".join(v for t, v in ups if attack_start <= float(t) <= attack_end + 1), flush=True)


def accounts(summaries, starts, cycles):
    print(f"== the account: varnock-pace published {cycles} frames; {DROP_PERCENT}% of frames' "
          "datagrams dropped", flush=True)
    for name, s in summaries.items():
        check(s["frames"] - s["duplicates"] + s["lost"] == cycles and s["corrupt"] == 0,
              f"{name}: frames {s['frames']} - duplicates {s['duplicates']} + lost {s['lost']} = "
              f"{s['frames'] - s['duplicates'] + s['lost']} of {cycles} published, "
              f"corrupt {s['corrupt']}")
    check(all(s["lost"] > 0 and s["status_records"] == cycles for s in summaries.values()),
          "both lost frames to the drops, and no status record: " + ", ".join(
              f"{n} {s['lost']} (other {s['lost_other']})" for n, s in summaries.items()))
    # The drops are made once for both sockets: the attacked checker lost what
    # the other did, and nothing more.
    hostile, clean = summaries[HOSTILE], summaries[CLEAN]
    check(all(hostile[f] == clean[f] for f in ("frames", "lost", "kernel_drops")),
          f"{HOSTILE} received {hostile['frames']}, lost {hostile['lost']}, kernel drops "
          f"{hostile['kernel_drops']}; {CLEAN} {clean['frames']}, {clean['lost']}, "
          f"{clean['kernel_drops']} (receive buffers "
          f"{[starts[n]['receive_buffer_bytes'] for n in (HOSTILE, CLEAN)]} bytes)")


def gathered_against_summaries(summaries, textfiles, at, checkers_end):
    """Gather's samples in Prometheus at `at` against each checker's summary
    and final --metrics-file. Returns the histograms' bucket bounds and the
    checkers' last report times."""
    print("== varnock-gather as Prometheus scraped it after the checkers ended, against their "
          "JSON summaries and final --metrics-file", flush=True)
    gathered = samples_by_scrape('{job="gather"}', at)
    final = gathered[max(gathered)]
    bounds, stamps = {}, []
    for name, s in summaries.items():
        textfile = parse_exposition(textfiles[name])
        mine = {k: v for k, v in final.items() if ("checker", name) in k[1]}
        want = counters_of(s, name)
        diff = {k[0] + str(sorted(k[1])): (mine.get(k), v) for k, v in want.items()
                if mine.get(k) != v}
        check(not diff, f"{name}: gather's {len(want)} counters in Prometheus equal the JSON summary"
              + (f"; differ (Prometheus, JSON): {diff}" if diff else
                 f" (frames {s['frames']}, lost {s['lost']}: " +
                 ", ".join(f"{cause} {s['lost_' + cause]}" for cause in CAUSES) + ")"))
        lost = value(f'sum(varnock_check_frames_lost_total{{job="gather",checker="{name}"}})', at)
        check(lost == s["lost"], f"{name}: the causes sum to {lost:.0f}, the JSON lost {s['lost']}")
        # Everything the checker wrote last but its clock's reading.
        keep = {k: v for k, v in textfile.items()
                if k[0] != "varnock_check_last_report_timestamp_seconds"}
        diff = {k[0] + str(sorted(k[1])): (mine.get(k), v) for k, v in keep.items()
                if mine.get(k) is None or abs(mine[k] - v) > 1e-9 * max(1.0, abs(v))}
        check(not diff and keep, f"{name}: gather's {len(keep)} samples equal the final "
                                 f"--metrics-file's, every histogram bucket included"
              + (f"; differ (Prometheus, file): {diff}" if diff else ""))
        check(all(textfile.get(k) == v for k, v in want.items()),
              f"{name}: the final --metrics-file's counters equal the JSON summary")
        for histogram in HISTOGRAMS:
            les = sorted(float(dict(k[1])["le"]) for k in textfile
                         if k[0] == f"varnock_check_{histogram}_seconds_bucket"
                         and ("checker", name) in k[1])
            bounds[histogram] = [b for b in les if b != math.inf]
        # Every frame has a latency, every frame but the first an
        # inter-arrival, and, no status record being lost, a delivery time;
        # every message waited in LCM's queue.
        counts = {"latency": s["frames"], "delivery": s["frames"],
                  "inter_arrival": s["frames"] - 1, "lcm_queue": s["frames"] + s["status_records"]}
        got = {h: mine.get((f"varnock_check_{h}_seconds_count", frozenset({("checker", name)})))
               for h in HISTOGRAMS}
        check(got == counts, f"{name}: gather's histogram counts {got} from the JSON summary's "
                             f"frames and status records: {counts}")
        stamp = textfile[("varnock_check_last_report_timestamp_seconds",
                          frozenset({("checker", name)}))]
        check(abs(stamp - checkers_end) < 5,
              f"{name}: last report {stamp:.3f}, ended {checkers_end:.3f}")
        stamps.append(stamp)
    b = bounds["delivery"]
    check(b and b[0] <= 5e-05 and 0.0001 in b and 0.0002 in b and b[-1] >= 10,
          f"delivery's buckets reach from {b[0] if b else None} to {b[-1] if b else None} s "
          "with 0.1 and 0.2 ms apart")
    return bounds, stamps


def quantiles_against_json(summaries, bounds, at):
    print("== histogram_quantile(0.99) over gather's delivery buckets, against the JSON p99",
          flush=True)
    b = bounds["delivery"]
    for name, s in summaries.items():
        q = value(f'histogram_quantile(0.99, sum by (le) '
                  f'(varnock_check_delivery_seconds_bucket{{job="gather",checker="{name}"}}))', at)
        check(within_bucket(q, s["delivery_ms_p99"], b),
              f"{name}: {q * 1000:.3f} ms, JSON p99 {s['delivery_ms_p99']} ms, in the bucket "
              f"{bucket_holding(b, s['delivery_ms_p99'] / 1000)} s")
    # The p99 of the two together lies between theirs.
    fleet = value('histogram_quantile(0.99, sum by (le) '
                  '(varnock_check_delivery_seconds_bucket{job="gather"}))', at)
    p99s = sorted(s["delivery_ms_p99"] for s in summaries.values())
    lower = bucket_holding(b, (p99s[0] - p99s[0] * 0.002 - 0.001) / 1000)[0]
    upper = bucket_holding(b, (p99s[-1] + p99s[-1] * 0.002 + 0.001) / 1000)[1]
    check(lower <= fleet <= upper,
          f"both checkers: {fleet * 1000:.3f} ms, between their p99s' buckets "
          f"({lower * 1000:.3f} to {upper * 1000:.3f} ms; JSON p99s {p99s} ms)")


def dashboard_targets(dashboard):
    """(panel title, target) of every query, rows' panels included."""
    out = []

    def walk(panels):
        for p in panels:
            out.extend((p["title"], t) for t in p.get("targets", []) if t.get("expr"))
            walk(p.get("panels", []))
    walk(dashboard.get("panels", []))
    return out


def substitute(expr, seconds):
    """`expr` as Grafana sends it, over `seconds` with every checker chosen."""
    for var, value_ in (("$__rate_interval", "10s"), ("${__rate_interval}", "10s"),
                        ("$__interval", "2s"), ("${__interval}", "2s"),
                        ("$__range", f"{seconds}s"), ("${__range}", f"{seconds}s"),
                        ("${checker}", ".*"), ("$checker", ".*")):
        expr = expr.replace(var, value_)
    return expr


def dashboard_queries(dashboard, start, end):
    variables = {v["name"]: v for v in dashboard["templating"]["list"]}
    source = variables.get("datasource", {})
    check(source.get("type") == "datasource" and source.get("query") == "prometheus",
          "the dashboard has a Prometheus data-source variable")
    wanted = {"type": "prometheus", "uid": "${datasource}"}
    loose = [p["title"] for p in dashboard["panels"]
             if p.get("datasource") != wanted or any(t.get("datasource") != wanted
                                                     for t in p.get("targets", []))]
    check(not loose, "every panel and query takes the data-source variable"
          + (f"; these do not: {loose}" if loose else ""))
    checker = variables.get("checker", {})
    definition = checker.get("query", {}).get("query", "")
    check(definition == "label_values(varnock_check_info, checker)" and checker.get("multi")
          and checker.get("includeAll"), f"the checker variable: {definition}")
    names = api("label/checker/values", **{"match[]": "varnock_check_info"})
    check(sorted(names) == sorted([HOSTILE, CLEAN]), f"its values: {names}")

    # Over the time frames flowed, each query as Grafana asks it (a range for
    # a graph, an instant for a table or a figure) answers with data; the
    # silent checkers' answers nothing, since every checker reported.
    for title, target in dashboard_targets(dashboard):
        expr = substitute(target["expr"], int(end - start))
        try:
            if target.get("instant"):
                result = query(expr, end)
            else:
                data = api("query_range", query=expr, start=f"{start:.3f}", end=f"{end:.3f}",
                           step="1")
                result = [(r["metric"], float(r["values"][-1][1])) for r in data["result"]]
        except AssertionError as err:
            check(False, f"{title}: {err}")
            continue
        silent = "> 5" in target["expr"]
        check(bool(result) != silent, f"{title}: {expr} -> " + (", ".join(
            f"{r[0].get('checker') or r[0].get('cause') or r[0].get('instance') or ''}"
            f"={r[1]:.4g}" for r in result[:6]) or "nothing"))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: tests/prometheus_test.py PROGRAMS_DIR DASHBOARD_JSON")
    programs_dir, dashboard_path = (os.path.abspath(a) for a in sys.argv[1:])
    if os.environ.get("VARNOCK_PROMETHEUS_NETNS") != "1":
        missing = [t for t in ("prometheus", "promtool") if shutil.which(t) is None]
        if missing:
            finish_with(1, f"FAIL: {' and '.join(missing)} not found: install Debian's prometheus "
                           "package (scripts/install-deps does)")
        if os.geteuid() != 0:
            finish_with(77, "skipped: a network namespace needs root")
        env = dict(os.environ, VARNOCK_PROMETHEUS_NETNS="1")
        sys.exit(subprocess.call(["unshare", "-n", sys.executable, "-B"] + sys.argv, env=env))
    in_namespace(programs_dir, dashboard_path)
    if failures:
        finish_with(1, f"{len(failures)} failed")
    print("prometheus_test: passed")


if __name__ == "__main__":
    main()
