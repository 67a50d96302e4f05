"""scripts/sweep_table.py on small sweeps written here: the join of
varnock-pace's and varnock-check's summaries, the marking of the highest rate
without loss, unknown figures, and runs whose files are broken. Also what
scripts/sweep and scripts/plot-check do without gnuplot, and plot-check on a
run that lost every frame."""

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts")
sys.path.insert(0, SCRIPTS)
import sweep_table  # noqa: E402 pylint: disable=wrong-import-position


def pace_lines(cycles, seconds, achieved, rate):
    return [
        {"type": "start", "version": "0.3.0", "url": "udpm://239.255.76.67:7667?ttl=0",
         "width": 320, "height": 240, "message_bytes": 76840, "rate_hz": rate,
         "seconds": 2},
        {"type": "second", "second": 1796866845, "cycles": cycles, "achieved_hz": achieved},
        {"type": "summary", "cycles": cycles, "seconds": seconds, "rate_hz": rate,
         "achieved_hz": achieved},
    ]


def check_lines(frames, lost, corrupt=0, duplicates=0, buffer=0, other=0, drops=0,
                latency=(0.75, 1.5), delivery=0.25):
    summary = {"type": "summary", "seconds": 5.003, "status_records": frames + lost,
               "frames": frames, "lost": lost, "lost_estimated": 0, "corrupt": corrupt,
               "duplicates": duplicates, "late": 0, "runs": 1, "unsequenced": 0,
               "kernel_drops": drops, "lost_receive_buffer": buffer, "lost_other": other,
               "run_periods": [[60, 60 + frames + lost]], "bytes": 1000,
               "latency_ms_p50": latency[0], "latency_ms_p99": latency[1],
               "latency_ms_max": latency[1], "delivery_ms_p50": delivery}
    return [{"type": "start", "version": "0.3.0"},
            {"type": "second", "second": 1796866845, "frames": frames}, summary]


class SweepTableTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sweep-table-")
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, lines):
        with open(os.path.join(self.dir, name), "w", encoding="utf-8") as f:
            for line in lines:
                f.write(line if isinstance(line, str) else json.dumps(line))
                f.write("\n")

    def add_run(self, index, rate, pace, check):
        base = f"{index:02d}-{rate}"
        self.write(base + ".pace.json", pace)
        self.write(base + ".check.json", check)

    def join(self, *args):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = sweep_table.main([self.dir, "--no-plot", *args])
        return status, out.getvalue(), err.getvalue()

    def rows(self, table):
        return {line.split(" | ")[0][2:]: line for line in table.splitlines()
                if line.startswith("| ") and not line.startswith("| rate ")}

    def test_joins_both_summaries_and_marks_the_highest_rate_without_loss(self):
        self.write("sweep.conf", ["sweep: 320 x 240 frames (76880 bytes), 2 s a rate"])
        self.add_run(1, "10", pace_lines(20, 2.0, 10.0, 10), check_lines(20, 0))
        self.add_run(2, "20", pace_lines(40, 2.0, 20.0, 20), check_lines(40, 0))
        self.add_run(3, "200", pace_lines(400, 2.0, 200.0, 200),
                     check_lines(300, 100, duplicates=2, buffer=90, other=10, drops=2000))
        self.add_run(4, "max", pace_lines(900, 2.0, 450.0, None),
                     check_lines(500, 400, corrupt=1, buffer=400, other=0, drops=9000))
        status, out, err = self.join()
        self.assertEqual((status, err), (0, ""))
        with open(os.path.join(self.dir, "sweep.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), out)
        lines = out.splitlines()
        self.assertEqual(lines[:2], ["sweep: 320 x 240 frames (76880 bytes), 2 s a rate", ""])
        rows = self.rows(out)
        self.assertEqual(list(rows), ["10", "20", "200", "max"])
        self.assertEqual(rows["10"], "| 10 | 10.0 | 20 | 20 | 0 | 0.00 | 0 | 0 | 0 | 0 | 0.75 "
                                     "| 1.5 | 0.25 | |")
        self.assertEqual(rows["20"], "| 20 | 20.0 | 40 | 40 | 0 | 0.00 | 0 | 0 | 0 | 0 | 0.75 "
                                     "| 1.5 | 0.25 | highest rate without loss |")
        # lost % of received + lost, duplicates not counted twice: 100 of 398.
        self.assertEqual(rows["200"], "| 200 | 200.0 | 400 | 300 | 100 | 25.13 | 90 | 10 | 2000 "
                                      "| 0 | 0.75 | 1.5 | 0.25 | |")
        self.assertIn("highest rate without loss: 20 (achieved 20.0 a second)", lines)
        self.assertIn("loss begins at 200: 100 of 398 frames lost (25.13%), 90 to the receive "
                      "buffer, 10 elsewhere; 0 corrupt", lines)

        with open(os.path.join(self.dir, "sweep.tsv"), encoding="utf-8") as f:
            tsv = [line.split("\t") for line in f.read().splitlines()]
        self.assertEqual(tsv[0], list(sweep_table.TSV_HEADER))
        self.assertEqual(tsv[3], ["200", "150", "22.6131", "2.51256", "25.1256", "0.75", "1.5",
                                  "0.25", "200"])
        self.assertEqual(tsv[4][-1], "max")

    def test_the_highest_achieved_rate_wins_whatever_the_order(self):
        # Runs in the order they ran: the file numbers, not the names' sort.
        self.add_run(9, "40", pace_lines(80, 2.0, 40.0, 40), check_lines(80, 0))
        self.add_run(10, "max", pace_lines(600, 2.0, 300.0, None), check_lines(600, 0))
        self.add_run(11, "80", pace_lines(160, 2.0, 80.0, 80), check_lines(0, 0))
        status, out, _ = self.join()
        self.assertEqual(status, 0)
        rows = self.rows(out)
        self.assertEqual(list(rows), ["40", "max", "80"])
        self.assertTrue(rows["max"].endswith("| highest rate without loss |"))
        self.assertTrue(rows["40"].endswith(" | |"))
        self.assertTrue(rows["80"].endswith("| nothing received |"), rows["80"])
        self.assertIn("highest rate without loss: max (achieved 300.0 a second)", out)
        self.assertNotIn("loss begins", out)

    def test_unknown_figures_show_as_dashes_and_no_loss_means_none(self):
        # A file:// or memq:// bus: no kernel drops, no split by cause; nothing received: no times.
        self.add_run(1, "10", pace_lines(20, 2.0, 10.0, 10),
                     check_lines(10, 10, buffer=None, other=None, drops=None,
                                 latency=(None, None), delivery=None))
        status, out, _ = self.join()
        self.assertEqual(status, 0)
        self.assertEqual(self.rows(out)["10"],
                         "| 10 | 10.0 | 20 | 10 | 10 | 50.00 | - | - | - | 0 | - | - | - | |")
        self.assertIn("highest rate without loss: none", out)
        self.assertIn("loss begins at 10: 10 of 20 frames lost (50.00%), - to the receive "
                      "buffer, - elsewhere; 0 corrupt", out)
        with open(os.path.join(self.dir, "sweep.tsv"), encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines()[1].split("\t"),
                             ["10", "5", "", "", "50", "", "", "", "10"])

    def test_a_run_without_a_usable_summary_is_named_and_shown_without_result(self):
        cases = [
            ("no summary line", "pace", pace_lines(20, 2.0, 10.0, 10)[:2],
             "01-10.pace.json has no summary line"),
            ("not JSON", "check", [check_lines(20, 0)[0], "total: 20 cycles"],
             "01-10.check.json, line 2: not JSON"),
            ("a line not an object", "check", ["[1, 2]"], "01-10.check.json, line 1: not a JSON "
                                                           "object"),
            ("a count not a number", "check",
             [dict(check_lines(20, 0)[2], frames="20")],
             "01-10.check.json: the summary's frames is \"20\", not a number"),
            ("a count missing", "pace",
             [{"type": "summary", "seconds": 2.0, "rate_hz": 10, "achieved_hz": 10.0}],
             "01-10.pace.json: the summary's cycles is null, not a number"),
            ("no file", "check", None, "cannot read"),
        ]
        for name, broken, lines, message in cases:
            with self.subTest(name):
                for entry in os.listdir(self.dir):
                    os.unlink(os.path.join(self.dir, entry))
                self.add_run(1, "10", pace_lines(20, 2.0, 10.0, 10), check_lines(20, 0))
                self.add_run(2, "20", pace_lines(40, 2.0, 20.0, 20), check_lines(40, 0))
                path = os.path.join(self.dir, f"01-10.{broken}.json")
                if lines is None:
                    os.unlink(path)
                else:
                    self.write(os.path.basename(path), lines)
                status, out, err = self.join()
                self.assertEqual(status, 0)
                self.assertIn(message, err)
                self.assertIn("rate 10 has no result", err)
                self.assertIn("01-10.err", err)
                rows = self.rows(out)
                self.assertEqual(rows["10"], "| 10 " + "| - " * 12 + "| no result |")
                self.assertTrue(rows["20"].endswith("| highest rate without loss |"))

    def test_a_folder_without_runs_is_a_usage_error(self):
        self.write("notes.txt", ["nothing here"])
        status, out, err = self.join()
        self.assertEqual((status, out), (2, ""))
        self.assertIn(f"no runs in {self.dir}", err)

    @unittest.skipIf(shutil.which("gnuplot") is None, "gnuplot is not installed")
    def test_the_plot_is_drawn_even_when_nothing_arrived(self):
        # Every frame lost: no time was measured, and the plot must still be made.
        self.write("sweep.conf", ['sweep: 64 x 48 frames; varnock-check on "file:///a\\b"'])
        self.add_run(1, "10", pace_lines(20, 2.0, 10.0, 10),
                     check_lines(0, 20, buffer=20, other=0, drops=500,
                                 latency=(None, None), delivery=None))
        self.add_run(2, "max", pace_lines(900, 2.0, 450.0, None),
                     check_lines(0, 900, buffer=900, other=0, drops=9000,
                                 latency=(None, None), delivery=None))
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = sweep_table.main([self.dir])
        self.assertEqual(status, 0, err.getvalue())
        with open(os.path.join(self.dir, "sweep.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".sweep-")], [])


CSV_HEADER = ("second,clock_step_s,status_records,frames,lost,lost_estimated,corrupt,duplicates,"
              "late,runs,unsequenced,kernel_drops,lost_receive_buffer,lost_other,mb_per_s,"
              "latency_ms_p50,latency_ms_p99,latency_ms_max,inter_arrival_ms_p50,"
              "inter_arrival_ms_p99,inter_arrival_ms_max,delivery_ms_p50,delivery_ms_p99,"
              "delivery_ms_max")


class ScriptsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sweep-scripts-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path_without_gnuplot(self, *programs):
        """A PATH holding only `programs` (links to the real ones)."""
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        for program in programs:
            os.symlink(shutil.which(program), os.path.join(bin_dir, program))
        return bin_dir

    def run_script(self, args, path=None):
        env = dict(os.environ)
        if path is not None:
            env["PATH"] = path
        return subprocess.run(args, capture_output=True, text=True, env=env, check=False)

    def test_without_gnuplot_the_scripts_say_what_is_missing_and_install_nothing(self):
        runs = os.path.join(self.dir, "runs")
        os.mkdir(runs)
        for name, lines in (("01-10.pace.json", pace_lines(20, 2.0, 10.0, 10)),
                            ("01-10.check.json", check_lines(20, 0))):
            with open(os.path.join(runs, name), "w", encoding="utf-8") as f:
                f.write("".join(json.dumps(line) + "\n" for line in lines))
        path = self.path_without_gnuplot("bash", "dirname", "python3", "awk", "mktemp", "rm")
        sweep = os.path.join(SCRIPTS, "sweep")
        done = self.run_script([sweep, "--join", runs], path)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("gnuplot is needed", done.stderr)
        self.assertIn("apt-get install gnuplot-nox", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(runs, "sweep.txt")))
        done = self.run_script([sweep, "--join", runs, "--no-plot"], path)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("highest rate without loss: 10 (achieved 10.0 a second)", done.stdout)

        csv = os.path.join(self.dir, "run.csv")
        with open(csv, "w", encoding="utf-8") as f:
            f.write(CSV_HEADER + "\n1796900001" + ",0" * 23 + "\n")
        done = self.run_script([os.path.join(SCRIPTS, "plot-check"), csv,
                                os.path.join(self.dir, "run.png")], path)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("gnuplot is needed", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "run.png")))

    @unittest.skipIf(shutil.which("gnuplot") is None, "gnuplot is not installed")
    def test_plot_check_draws_a_run_that_lost_every_frame(self):
        csv = os.path.join(self.dir, "lost.csv")
        with open(csv, "w", encoding="utf-8") as f:
            f.write(CSV_HEADER + "\n")
            for second in range(4):
                # 50 status records, no frame: no time measured at all.
                f.write(f"{1796900001 + second},0,50,0,50,0,0,0,0,0,0,1300,50,0,0.000"
                        + "," * 9 + "\n")
        png = os.path.join(self.dir, "lost.png")
        done = self.run_script([os.path.join(SCRIPTS, "plot-check"), csv, png])
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(png, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertEqual(sorted(os.listdir(self.dir)), ["lost.csv", "lost.png"])


if __name__ == "__main__":
    unittest.main()
