#!/usr/bin/env python3
"""The arm64 programs under qemu-user, on one multicast bus with the amd64
ones, inside a network namespace of their own: arm64 publishers checked by
the amd64 varnock-check, the arm64 varnock-check and varnock-gather fed by
amd64 programs, and the readings that emulation may hide.

  tests/arm64_qemu_test.py ARM64_DIR AMD64_DIR

ARM64_DIR holds the arm64 programs (build-arm64), AMD64_DIR the amd64 ones
(build); the arm64 ones run through scripts/run-arm64. Needs root for the
namespace. Skips (exit 0, saying why) when something is missing, unless
VARNOCK_ARM64_REQUIRED=1 (CI), when it fails instead.
"""

import json
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_ARM64 = os.path.join(ROOT, "scripts", "run-arm64")
BUS = "udpm://239.255.76.67:7667?ttl=0"
# Holds several 1.6 MB frames while the emulated checker validates one.
GOOD_BUFFER = BUS + "&recv_buf_size=16777216"
# A frame needs 3,276,880 bytes of buffer; this grants 131,072.
SMALL_BUFFER = BUS + "&recv_buf_size=65536"

failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)


def skip_or_fail(reason):
    if os.environ.get("VARNOCK_ARM64_REQUIRED") == "1":
        print(f"arm64_qemu_test: FAIL: {reason}", file=sys.stderr)
        sys.exit(1)
    print(f"arm64_qemu_test: SKIP: {reason}")
    sys.exit(0)


class Program:
    """A program started with its output in files of `tmp`."""

    def __init__(self, tmp, name, argv):
        self.name = name
        self.out_path = os.path.join(tmp, name + ".out")
        self.err_path = os.path.join(tmp, name + ".err")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def lines(self):
        with open(self.out_path, encoding="utf-8") as f:
            text = f.read()
        # The last line may be half written.
        return [json.loads(l) for l in text.splitlines()[: text.count("\n")]]

    def stderr(self):
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for(self, condition, seconds, what):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if condition(self.lines()):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        raise AssertionError(
            f"{self.name}: {what} not seen in {seconds} s (exit {self.proc.poll()}); "
            f"stdout:\n{open(self.out_path).read()}\nstderr:\n{self.stderr()}")

    def finish(self, status=0, timeout=30):
        try:
            got = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            got = self.proc.wait()
        if got != status:
            raise AssertionError(f"{self.name} exited {got}, not {status}; stderr:\n{self.stderr()}")
        lines = self.lines()
        return {
            "start": next(l for l in lines if l["type"] == "start"),
            "rows": [l for l in lines if l["type"] == "second"],
            "summary": next(l for l in lines if l["type"] == "summary"),
        }

    def stop(self, status=0):
        self.proc.send_signal(signal.SIGTERM)
        return self.finish(status)


def started(lines):
    return any(l["type"] == "start" for l in lines)


def start_check(tmp, name, prefix, directory, url, *extra):
    """varnock-check with --json, once its start line says it has subscribed."""
    check_program = Program(tmp, name, prefix + [os.path.join(directory, "varnock-check"),
                                                 "--url", url, "--json", *extra])
    check_program.wait_for(started, 60, "the start line")
    return check_program


def drain_and_stop(check_program, after_second):
    """Stops a checker once a second after `after_second` passed with nothing
    received: whatever the publisher sent has been taken in."""
    check_program.wait_for(
        lambda rows: any(r["type"] == "second" and r["second"] > after_second and
                         r["status_records"] == 0 and r["frames"] == 0 for r in rows),
        60, "a quiet second after the publisher ended")
    return check_program.stop()


def pace(tmp, name, prefix, directory, url, rate, seconds):
    p = Program(tmp, name, prefix + [os.path.join(directory, "varnock-pace"), "--url", url,
                                     "--rate", str(rate), "--seconds", str(seconds), "--json"])
    result = p.finish(timeout=seconds + 60)
    return result["summary"]["cycles"], int(time.time())


def every_frame_whole(summary, cycles, who):
    """The checker received each of `cycles` frames once and whole."""
    check(summary["frames"] == cycles and summary["status_records"] == cycles,
          f"{who}: {summary['frames']} frames, {summary['status_records']} status records "
          f"of {cycles} cycles")
    for field in ("lost", "corrupt", "duplicates", "late"):
        check(summary[field] == 0, f"{who}: {field} {summary[field]}")
    check(summary["runs"] == 1, f"{who}: {summary['runs']} publisher run(s)")


def arm64_varnock_to_amd64_check(tmp, arm64, amd64):
    check_program = start_check(tmp, "check-of-varnock", [], amd64, GOOD_BUFFER)
    # varnock runs until a key on its terminal.
    pid, terminal = pty.fork()
    if pid == 0:
        os.environ["LCM_DEFAULT_URL"] = BUS
        os.execv(RUN_ARM64, [RUN_ARM64, os.path.join(arm64, "varnock")])
    output = b""
    end = time.monotonic() + 8
    while time.monotonic() < end:
        ready, _, _ = select.select([terminal], [], [], 0.2)
        if ready:
            output += os.read(terminal, 4096)
    os.write(terminal, b"q")
    end = time.monotonic() + 30
    status = None
    while time.monotonic() < end and status is None:
        ready, _, _ = select.select([terminal], [], [], 0.2)
        if ready:
            try:
                output += os.read(terminal, 4096)
            except OSError:  # the terminal closed with varnock's exit
                pass
        done, raw = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(raw)
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(terminal)
    check(status == 0, f"arm64 varnock ended on 'q' with status {status}")
    summary = drain_and_stop(check_program, int(time.time()))["summary"]
    # varnock runs flat out, a few hundred 1.6 MB frames a second even under
    # qemu, more than a checker on a shared CI host may keep up with: every
    # cycle must be accounted for, every frame that came whole, and any loss
    # the checker's own buffer's, never elsewhere.
    who = "amd64 check of arm64 varnock"
    periods = summary["run_periods"]
    cycles = periods[0][1] - periods[0][0] + 1 if len(periods) == 1 else None
    check(summary["frames"] + summary["lost"] == cycles,
          f"{who}: {summary['frames']} frames and {summary['lost']} lost of the {cycles} "
          f"cycles of periods {periods}")
    check(summary["lost_receive_buffer"] == summary["lost"] and summary["lost_other"] == 0,
          f"{who}: lost {summary['lost']}, to its receive buffer {summary['lost_receive_buffer']}, "
          f"elsewhere {summary['lost_other']}")
    for field in ("corrupt", "duplicates", "late"):
        check(summary[field] == 0, f"{who}: {field} {summary[field]}")
    check(summary["runs"] == 1, f"{who}: {summary['runs']} publisher run(s)")
    check(summary["frames"] >= 5 and summary["lost"] * 10 <= summary["frames"],
          f"arm64 varnock published {summary['frames']} frames in 8 s "
          f"(its terminal: {output.decode(errors='replace')[-200:]!r})")


def arm64_pace_to_amd64_check(tmp, arm64, amd64):
    check_program = start_check(tmp, "check-of-pace", [], amd64, GOOD_BUFFER)
    cycles, ended = pace(tmp, "arm64-pace", [RUN_ARM64], arm64, BUS, 10, 3)
    summary = drain_and_stop(check_program, ended)["summary"]
    every_frame_whole(summary, cycles, "amd64 check of arm64 varnock-pace")


def readings(start, summary):
    """The fields of a checker's start and summary lines it could not read."""
    return {k for k, v in list(start.items()) + list(summary.items()) if v is None}


def arm64_check_of_amd64_pace(tmp, arm64, amd64):
    # Both checkers hear the same stream, so that what the emulated one
    # cannot read shows against the native one's readings.
    arm64_check = start_check(tmp, "arm64-check", [RUN_ARM64], arm64, GOOD_BUFFER)
    native_check = start_check(tmp, "amd64-check", [], amd64, GOOD_BUFFER)
    cycles, ended = pace(tmp, "amd64-pace", [], amd64, BUS, 5, 4)
    arm64_result = drain_and_stop(arm64_check, ended)
    native_result = drain_and_stop(native_check, ended)
    summary = arm64_result["summary"]
    every_frame_whole(summary, cycles, "arm64 check, good buffer")
    check(summary["kernel_drops"] == 0 and summary["lost_receive_buffer"] == 0,
          f"arm64 check, good buffer: kernel_drops {summary['kernel_drops']}, "
          f"lost_receive_buffer {summary['lost_receive_buffer']}")
    check(arm64_result["start"]["receive_buffer_bytes"] ==
          native_result["start"]["receive_buffer_bytes"],
          f"receive buffer granted: arm64 {arm64_result['start']['receive_buffer_bytes']}, "
          f"amd64 {native_result['start']['receive_buffer_bytes']}")

    unknown = readings(arm64_result["start"], summary) - readings(native_result["start"],
                                                                    native_result["summary"])
    print(f"      unknown under qemu only: {sorted(unknown) or 'none'}")
    notes = [l for l in arm64_check.stderr().splitlines() if "note:" in l]
    for line in notes:
        print(f"      arm64 checker's {line}")
    # A reading emulation hides is named on standard error, never guessed.
    for field in unknown:
        check(any(field in l for l in notes), f"a note names the unknown {field}")
    # SO_MEMINFO's drops do not pass through qemu-user; /proc/net/udp's do.
    check(any("SO_MEMINFO gives no drops" in l and "/proc/self/net/udp" in l for l in notes),
          "the arm64 checker says its drops come from /proc/self/net/udp")
    check("SO_MEMINFO" not in native_check.stderr(),
          "the amd64 checker reads its drops from SO_MEMINFO without a note")

    # A buffer too small for a frame: every frame lost, and lost to it.
    small = start_check(tmp, "arm64-check-small", [RUN_ARM64], arm64, SMALL_BUFFER)
    cycles, ended = pace(tmp, "amd64-pace-small", [], amd64, BUS, 5, 3)
    summary = drain_and_stop(small, ended)["summary"]
    check(summary["lost"] == cycles and summary["frames"] == 0,
          f"arm64 check, small buffer: lost {summary['lost']} of {cycles}, "
          f"frames {summary['frames']}")
    check(summary["lost_receive_buffer"] == summary["lost"] and summary["lost_other"] == 0,
          f"arm64 check, small buffer: lost_receive_buffer {summary['lost_receive_buffer']}, "
          f"lost_other {summary['lost_other']}")
    check(summary["kernel_drops"] is not None and summary["kernel_drops"] >= summary["lost"],
          f"arm64 check, small buffer: kernel_drops {summary['kernel_drops']}")


def diagnose_alike(tmp, arm64, amd64):
    """--diagnose reads routes (netlink), interfaces (ioctl) and /proc/sys:
    under qemu it must find what the native checker finds."""
    def verdicts(name, prefix, directory):
        p = Program(tmp, name, prefix + [os.path.join(directory, "varnock-check"), "--url",
                                          GOOD_BUFFER, "--diagnose"])
        p.proc.wait(timeout=120)
        with open(p.out_path, encoding="utf-8") as f:
            return [l for l in f.read().splitlines() if l.strip()], p.proc.returncode

    arm64_lines, arm64_status = verdicts("arm64-diagnose", [RUN_ARM64], arm64)
    native_lines, native_status = verdicts("amd64-diagnose", [], amd64)
    check(arm64_lines == native_lines and arm64_status == native_status,
          f"--diagnose finds the same under qemu (exit {arm64_status}, amd64 {native_status})" +
          "".join(f"\n      arm64: {a}\n      amd64: {b}"
                  for a, b in zip(arm64_lines, native_lines) if a != b))


def arm64_gather(tmp, arm64, amd64):
    gather = Program(tmp, "arm64-gather", [RUN_ARM64, os.path.join(arm64, "varnock-gather"),
                                           "--url", BUS, "--json"])
    gather.wait_for(started, 60, "the start line")
    checker = start_check(tmp, "shared-check", [], amd64, GOOD_BUFFER, "--share", "--name",
                          "native-checker")
    cycles, ended = pace(tmp, "gathered-pace", [], amd64, BUS, 10, 3)
    drain_and_stop(checker, ended)
    gather.wait_for(lambda lines: any(l["type"] == "second" and l["name"] == "native-checker"
                                      and l["second"] > ended for l in lines),
                    30, "the checker's rows after the publisher ended")
    time.sleep(2)  # its summary, sent as it stopped
    # varnock-gather writes its summary on SIGTERM, then ends by the signal.
    result = gather.stop(-signal.SIGTERM)
    checkers = result["summary"]["checkers"]
    check(len(checkers) == 1 and checkers[0]["name"] == "native-checker",
          f"arm64 gather heard checkers {[c['name'] for c in checkers]}")
    if checkers:
        c = checkers[0]
        check(c["ended"] and not c["silent"] and c["missing_reports"] == 0,
              f"arm64 gather: ended {c['ended']}, silent {c['silent']}, "
              f"missing reports {c['missing_reports']}")
        every_frame_whole(c, cycles, "arm64 gather's view of the amd64 check")


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: tests/arm64_qemu_test.py ARM64_DIR AMD64_DIR")
    arm64, amd64 = (os.path.abspath(d) for d in sys.argv[1:])
    if os.environ.get("VARNOCK_ARM64_NETNS") != "1":
        if os.geteuid() != 0:
            skip_or_fail("not root: the multicast tests need a network namespace of their own")
        if shutil.which("qemu-aarch64-static") is None:
            skip_or_fail("qemu-aarch64-static is missing (scripts/install-deps installs it)")
        for d, names in ((arm64, ("varnock", "varnock-pace", "varnock-check", "varnock-gather")),
                         (amd64, ("varnock-pace", "varnock-check"))):
            for name in names:
                if not os.access(os.path.join(d, name), os.X_OK):
                    skip_or_fail(f"no {os.path.join(d, name)} (scripts/test-arm64 builds it)")
        env = dict(os.environ, VARNOCK_ARM64_NETNS="1")
        sys.exit(subprocess.call(["unshare", "-n", sys.executable] + sys.argv, env=env))

    for command in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                    ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
        subprocess.run(command, check=True)
    os.environ.pop("LCM_DEFAULT_URL", None)
    with tempfile.TemporaryDirectory() as tmp:
        for test in (arm64_varnock_to_amd64_check, arm64_pace_to_amd64_check,
                     arm64_check_of_amd64_pace, diagnose_alike, arm64_gather):
            print(f"== {test.__name__}", flush=True)
            try:
                test(tmp, arm64, amd64)
            except (AssertionError, KeyError, StopIteration, json.JSONDecodeError) as e:
                check(False, f"{test.__name__}: {type(e).__name__}: {e}")
    if failures:
        print(f"arm64_qemu_test: {len(failures)} failed", file=sys.stderr)
        sys.exit(1)
    print("arm64_qemu_test: passed")


if __name__ == "__main__":
    main()
