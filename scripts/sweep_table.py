#!/usr/bin/env python3
"""Joins a sweep's runs into a table, a TSV and a plot.

    scripts/sweep_table.py DIR [--no-plot]

DIR holds, for each rate run, NN-RATE.pace.json (varnock-pace --json) and
NN-RATE.check.json (varnock-check --json), and sweep.conf (a title line, may
be missing). Only the summary lines of the two are read. Writes DIR/sweep.txt
(also printed), DIR/sweep.tsv and, unless --no-plot, DIR/sweep.png with
gnuplot (its script in DIR/sweep.gp). Exit status: 0 done (a run without a
result is a row saying so, and a message on standard error naming its file),
1 gnuplot missing or failed, 2 usage error or no runs in DIR.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from decimal import Decimal
from typing import List, Optional

RUN_NAME = re.compile(r"^(\d+)-([^/]+)\.pace\.json$")
MARK = "highest rate without loss"


class SweepError(Exception):
    """A problem with a sweep's files, its message naming the file."""


def read_summary(path: str) -> dict:
    """The last "summary" object of a file of JSON lines.

    Numbers with a fraction keep the text they were written with (Decimal),
    so the table shows the figures as the programs wrote them.
    """
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise SweepError(f"cannot read {path}: {e.strerror}") from e
    summary = None
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            obj = json.loads(line, parse_float=Decimal)
        except ValueError as e:
            raise SweepError(f"{path}, line {number}: not JSON ({e})") from e
        if not isinstance(obj, dict):
            raise SweepError(f"{path}, line {number}: not a JSON object")
        if obj.get("type") == "summary":
            summary = obj
    if summary is None:
        raise SweepError(f"{path} has no summary line")
    return summary


def _field(summary: dict, name: str, path: str, nullable: bool = False):
    value = summary.get(name)
    if value is None and nullable and name in summary:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, Decimal)):
        raise SweepError(f"{path}: the summary's {name} is {json.dumps(value, default=str)}, "
                         "not a number")
    return value


@dataclass
class Run:
    rate: str  # as asked: a number of Hz or "max"
    base: str  # the run's files without their endings
    problem: Optional[str] = None  # why there is no result
    achieved: Optional[Decimal] = None
    sent: int = 0
    elapsed: Decimal = Decimal(0)
    frames: int = 0
    duplicates: int = 0
    lost: int = 0
    buffer: Optional[int] = None
    other: Optional[int] = None
    drops: Optional[int] = None
    corrupt: int = 0
    latency_p50: Optional[Decimal] = None
    latency_p99: Optional[Decimal] = None
    delivery_p50: Optional[Decimal] = None

    @property
    def accounted(self) -> int:
        """Frames of the run the check accounted for, whole or lost, as --max-loss counts them."""
        return self.frames - self.duplicates + self.lost

    def percent(self, count: Optional[int]) -> Optional[float]:
        if count is None:
            return None
        return 100 * count / self.accounted if self.accounted > 0 else 0.0

    @property
    def lossless(self) -> bool:
        return self.problem is None and self.lost == 0 and self.corrupt == 0 and self.frames > 0


def read_run(directory: str, name: str) -> Run:
    match = RUN_NAME.match(name)
    assert match
    base = os.path.join(directory, name[: -len(".pace.json")])
    run = Run(rate=match.group(2), base=base)
    pace_path = base + ".pace.json"
    check_path = base + ".check.json"
    try:
        pace = read_summary(pace_path)
        check = read_summary(check_path)
        run.achieved = _field(pace, "achieved_hz", pace_path)
        run.sent = _field(pace, "cycles", pace_path)
        run.elapsed = _field(pace, "seconds", pace_path)
        run.frames = _field(check, "frames", check_path)
        run.duplicates = _field(check, "duplicates", check_path)
        run.lost = _field(check, "lost", check_path)
        run.buffer = _field(check, "lost_receive_buffer", check_path, nullable=True)
        run.other = _field(check, "lost_other", check_path, nullable=True)
        run.drops = _field(check, "kernel_drops", check_path, nullable=True)
        run.corrupt = _field(check, "corrupt", check_path)
        run.latency_p50 = _field(check, "latency_ms_p50", check_path, nullable=True)
        run.latency_p99 = _field(check, "latency_ms_p99", check_path, nullable=True)
        run.delivery_p50 = _field(check, "delivery_ms_p50", check_path, nullable=True)
    except SweepError as e:
        run.problem = str(e)
    return run


def read_runs(directory: str) -> List[Run]:
    """The runs of a sweep's folder, in the order they ran."""
    try:
        names = os.listdir(directory)
    except OSError as e:
        raise SweepError(f"cannot read the folder {directory}: {e.strerror}") from e
    names = sorted((n for n in names if RUN_NAME.match(n)),
                   key=lambda n: (int(RUN_NAME.match(n).group(1)), n))
    if not names:
        raise SweepError(f"no runs in {directory} (files NN-RATE.pace.json and "
                         "NN-RATE.check.json)")
    return [read_run(directory, n) for n in names]


def best_run(runs: List[Run]) -> Optional[Run]:
    """The run of the highest achieved rate with nothing lost or corrupt and frames received."""
    best = None
    for run in runs:
        if run.lossless and (best is None or run.achieved > best.achieved):
            best = run
    return best


def _text(value) -> str:
    return "-" if value is None else str(value)


def _share(run: Run) -> str:
    return f"{run.percent(run.lost):.2f}"


def table_text(runs: List[Run], title: str = "") -> str:
    """sweep.txt: the title, the table, the verdict and where loss begins."""
    best = best_run(runs)
    out = [title, "",
           "| rate | achieved | sent | received | lost | lost % | to buffer | elsewhere "
           "| kernel drops | corrupt | latency p50 ms | latency p99 ms | delivery p50 ms | |",
           "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    if not title:
        out = out[1:]
    first_loss = None
    for run in runs:
        if run.problem is not None:
            cells = [run.rate] + ["-"] * 12 + ["no result"]
        else:
            note = ""
            if run is best:
                note = MARK
            elif not run.lossless and run.accounted == 0:
                note = "nothing received"
            elif not run.lossless and first_loss is None:
                first_loss = run
            cells = [run.rate, _text(run.achieved), str(run.sent), str(run.frames),
                     str(run.lost), _share(run), _text(run.buffer), _text(run.other),
                     _text(run.drops), str(run.corrupt), _text(run.latency_p50),
                     _text(run.latency_p99), _text(run.delivery_p50), note]
        out.append("| " + " | ".join(cells) + " |" if cells[-1] else
                   "| " + " | ".join(cells[:-1]) + " | |")
    out.append("")
    if best is not None:
        out.append(f"highest rate without loss: {best.rate} (achieved {best.achieved} a second)")
    else:
        out.append("highest rate without loss: none")
    if first_loss is not None:
        r = first_loss
        out.append(f"loss begins at {r.rate}: {r.lost} of {r.accounted} frames lost "
                   f"({_share(r)}%), {_text(r.buffer)} to the receive buffer, "
                   f"{_text(r.other)} elsewhere; {r.corrupt} corrupt")
    return "\n".join(out) + "\n"


def _number(value) -> str:
    return "" if value is None else f"{float(value):.6g}"


TSV_HEADER = ("achieved", "received_per_s", "lost_receive_buffer_percent", "lost_other_percent",
              "lost_percent", "latency_ms_p50", "latency_ms_p99", "delivery_ms_p50", "rate")


def tsv_text(runs: List[Run]) -> str:
    """sweep.tsv: a line a run with a result, for the plot; unknown figures empty."""
    lines = ["\t".join(TSV_HEADER)]
    for r in runs:
        if r.problem is not None:
            continue
        received = r.frames / r.elapsed if r.elapsed > 0 else None
        lines.append("\t".join([
            _number(r.achieved), _number(received), _number(r.percent(r.buffer)),
            _number(r.percent(r.other)), _number(r.percent(r.lost)), _number(r.latency_p50),
            _number(r.latency_p99), _number(r.delivery_p50), r.rate]))
    return "\n".join(lines) + "\n"


def _gnuplot_string(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return '"' + escaped + '"'


def gnuplot_script(runs: List[Run], tsv: str, png: str, title: str) -> str:
    """A gnuplot script drawing tsv into png: loss and received frames, then the times."""
    results = [r for r in runs if r.problem is None and r.achieved and r.achieved > 0]
    best = best_run(runs)
    data = _gnuplot_string(tsv)
    # Lost split by cause where it is known (udpm), the plain loss otherwise.
    if any(r.buffer is not None for r in results):
        lost_plot = (f'{data} using 1:3 with linespoints lw 2 pt 7 lc rgb "#d62728" '
                     'title "lost: receive buffer", \\\n     "" using 1:4 with linespoints lw 2 '
                     'pt 5 lc rgb "#ff7f0e" title "lost: elsewhere"')
    else:
        lost_plot = f'{data} using 1:5 with linespoints lw 2 pt 7 lc rgb "#d62728" title "lost"'
    # A tic at each rate run, named by what was asked: "max" shows what it achieved.
    tics = ", ".join(
        (f'"max\\n({int(r.achieved)})"' if r.rate == "max" else _gnuplot_string(r.rate))
        + f" {r.achieved}" for r in results)
    mark = ""
    if best is not None:
        mark = (f'set arrow from {best.achieved}, graph 0 to {best.achieved}, graph 1 nohead '
                'dt 2 lw 2 lc rgb "#2ca02c"\n'
                f'set label "no loss up to {best.achieved} Hz" at {best.achieved}, graph 0.95 '
                'offset 0.5, 0 tc rgb "#2ca02c"\n')
    heading = "scripts/sweep: " + title.removeprefix("sweep: ").replace("; ", "\n")
    # With no time measured (nothing received), the panel is drawn empty on a
    # fixed range rather than failing.
    times = [v for r in results for v in (r.latency_p50, r.latency_p99, r.delivery_p50)
             if v is not None]
    times_range = "set autoscale y" if any(v > 0 for v in times) else "set yrange [0.1:10]"
    # The x range is fixed too, for the same reason, and so that a single run shows.
    low = min(float(r.achieved) for r in results) / 1.25
    high = max(float(r.achieved) for r in results) * 1.25
    return f"""set datafile separator "\\t"
set datafile missing ""
set terminal pngcairo noenhanced size 900,600 font ",10"
set output {_gnuplot_string(png)}
set key outside right
set logscale x 2
set xrange [{low:.6g}:{high:.6g}]
set xtics ({tics})
set lmargin at screen 0.08
set rmargin at screen 0.70
set multiplot layout 2,1 title {_gnuplot_string(heading)} font ",9"
set ylabel "lost, % of received + lost"
set y2label "received, frames / s"
set ytics nomirror
set y2tics
set grid
set yrange [0:*]
set y2range [0:*]
{mark}plot {lost_plot}, \\
     "" using 1:2 axes x1y2 with linespoints lw 1 dt 3 pt 9 lc rgb "#1f77b4" title "received (right)"
unset arrow
unset label
unset y2label
unset y2tics
set ytics mirror
set ylabel "ms"
set xlabel "cycles a second (achieved)"
set logscale y
{times_range}
plot {data} using 1:6 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "latency p50", \\
     "" using 1:7 with linespoints lw 1 pt 6 lc rgb "#9467bd" title "latency p99", \\
     "" using 1:8 with linespoints lw 2 pt 5 lc rgb "#2ca02c" title "delivery p50"
unset multiplot
"""


def plot(directory: str, runs: List[Run], title: str) -> None:
    """Draws DIR/sweep.png; a failed plot leaves no PNG behind."""
    if not any(r.problem is None and r.achieved and r.achieved > 0 for r in runs):
        raise SweepError("no run has a result to plot")
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        raise SweepError("gnuplot is needed for the plot (or --no-plot): scripts/install-deps "
                         "installs it, or apt-get install gnuplot-nox")
    png = os.path.join(directory, "sweep.png")
    fd, partial = tempfile.mkstemp(prefix=".sweep-", suffix=".png", dir=directory)
    os.close(fd)
    try:
        script = os.path.join(directory, "sweep.gp")
        with open(script, "w", encoding="utf-8") as f:
            f.write(gnuplot_script(runs, os.path.join(directory, "sweep.tsv"), partial, title))
        done = subprocess.run([gnuplot, script], stderr=subprocess.PIPE, text=True, check=False)
        if done.returncode != 0:
            raise SweepError(f"gnuplot failed on {script}:\n{done.stderr.rstrip()}")
        os.chmod(partial, 0o644)
        os.replace(partial, png)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)


def main(argv: List[str]) -> int:
    args = [a for a in argv if a != "--no-plot"]
    if len(args) != 1 or args[0].startswith("-"):
        print("usage: sweep_table.py DIR [--no-plot]", file=sys.stderr)
        return 2
    directory = args[0]
    try:
        runs = read_runs(directory)
    except SweepError as e:
        print(f"sweep: {e}", file=sys.stderr)
        return 2
    title = ""
    conf = os.path.join(directory, "sweep.conf")
    if os.path.exists(conf):
        with open(conf, encoding="utf-8", errors="replace") as f:
            title = f.readline().rstrip("\n")
    for run in runs:
        if run.problem is not None:
            print(f"sweep: rate {run.rate} has no result: {run.problem} (see {run.base}.err)",
                  file=sys.stderr)
    table = table_text(runs, title)
    with open(os.path.join(directory, "sweep.txt"), "w", encoding="utf-8") as f:
        f.write(table)
    with open(os.path.join(directory, "sweep.tsv"), "w", encoding="utf-8") as f:
        f.write(tsv_text(runs))
    sys.stdout.write(table)
    if "--no-plot" not in argv:
        try:
            plot(directory, runs, title)
        except SweepError as e:
            print(f"sweep: {e}", file=sys.stderr)
            return 1
        print(f"wrote {os.path.join(directory, 'sweep.png')}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
