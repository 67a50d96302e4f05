// Publisher runs: which run of which publisher each sequenced frame belongs
// to, and the frames each run's sequence shows missing. A frame's sequence
// number is its pattern period, 60 plus its publisher's cycle index. Beside
// its number and stamp, a frame tells its run by its size and by its
// stamp's offset from this host's receive time, which stays steady for one
// publisher whatever its clock says: a board whose clock reads 1970, a
// replayed log or a stray frame stamped a day ahead each keep to runs of
// their own.
#ifndef VARNOCK_ACCOUNT_PUBLISHER_RUNS_H_
#define VARNOCK_ACCOUNT_PUBLISHER_RUNS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace varnock::account {

// What add() made of a frame.
struct FrameOutcome {
  // kLate: a frame counted missing, received after all; kEarly: a frame from
  // just before its run's first, which nothing had counted missing.
  enum Kind { kContinued, kStarted, kDuplicate, kLate, kEarly };
  Kind kind = kStarted;
  // kContinued: frames missing between the run's previous frame and this one.
  // They were stamped between `previous_stamp_ms` and this frame's stamp and
  // would have arrived from `previous_recv_ms` on.
  int64_t missing = 0;
  int64_t previous_stamp_ms = 0;
  int64_t previous_recv_ms = 0;
};

class RunTracker {
 public:
  // Runs kept at once, each with a window of kWindow numbers (16 KiB): at
  // most 16 MiB. Beyond it, the one heard from longest ago retires.
  static constexpr size_t kMaxRuns = 1024;
  // How far back in a run a late or repeated frame is still recognised.
  static constexpr int64_t kWindow = 1024;
  // Runs silent this long retire.
  static constexpr int64_t kRetireMs = 10 * 60 * 1000;
  // How many runs the summary lists by their periods.
  static constexpr size_t kListed = 100;
  // How far a frame's offset (receive time minus stamp) may fall below the
  // smallest its run has shown (a publisher's clock slewed forward), and
  // rise above it (the frame waited in queues on the way).
  static constexpr int64_t kEarlierOffsetMs = 1'000;
  static constexpr int64_t kLaterOffsetMs = 60'000;

  struct Span {
    int64_t first;
    int64_t last;
  };

  // Accounts for a valid frame of `pixels` pixels with sequence number
  // `seq`, stamped `stamp_ms` by its publisher and received at `recv_ms`
  // (this host's clock). A run continues only with a frame of its size whose
  // offset fits the run's, and with a later number whose stamp leaves room
  // for the cycles between: a publisher's cycle lasts about 2 ms at least
  // (stamps a cycle apart may share a millisecond). Of several such runs, the
  // one whose pace the frame fits best with the fewest frames missing; a run
  // that has not shown its pace yet is taken to have that of the others of
  // its size, or when none has, the one waiting longest is taken. Otherwise
  // the frame is a duplicate (number and stamp seen in a run), late (a
  // number a run showed missing, stamped to fit between its neighbours),
  // early (just before a run's first), or it starts a run. Memory is
  // bounded: at most kMaxRuns runs of kWindow numbers each.
  FrameOutcome add(int64_t seq, int64_t stamp_ms, int64_t recv_ms, int64_t pixels);

  // The receiving host's clock stepped by `delta_ms`: moves the receive
  // times kept by as much, and learns each run's offset anew.
  void shift(int64_t delta_ms);

  // This host stopped receiving for `stalled_ms` (the process was stopped):
  // frames sent meanwhile arrive now, their offsets larger by up to as much,
  // and the stop counts toward no run's silence.
  void stalled(int64_t stalled_ms);
  // Runs started so far.
  int64_t runs_started() const { return runs_started_; }
  // Runs retired while still live (heard within kRetireMs) to make room for
  // another: their later frames start runs anew, so counts may mislead.
  int64_t live_runs_retired() const { return live_runs_retired_; }
  // First and highest sequence number of the first kListed runs, in order of
  // their start.
  const std::vector<Span>& listed() const { return listed_; }

 private:
  struct Seen {
    int64_t seq = -1;
    int64_t stamp_ms = 0;
  };
  struct Run {
    int64_t pixels = 0;
    int64_t min_offset_ms = 0;  // the smallest receive time minus stamp seen
    int64_t stalled_ms = 0;     // this host's stops while the run was live, allowed for
    // False after this host's clock stepped: a publisher on another host
    // moved by the step, one on this host did not, and the next frame tells.
    bool offset_known = true;
    int64_t first = 0;
    int64_t first_stamp_ms = 0;
    int64_t counted_from = 0;  // the run's first frame when it started: gaps count from it
    int64_t last = 0;
    int64_t last_stamp_ms = 0;
    int64_t last_recv_ms = 0;
    double cycle_ms = 0;      // running estimate of the publisher's cycle; 0 until shown
    size_t listed = kListed;  // index in listed_, or kListed when not listed
    std::unique_ptr<std::array<Seen, kWindow>> seen = std::make_unique<std::array<Seen, kWindow>>();
    Seen& slot(int64_t seq) const { return (*seen)[static_cast<size_t>(seq % kWindow)]; }
  };

  static bool offset_fits(const Run& r, int64_t offset_ms);
  Run* best_continuation(int64_t seq, int64_t stamp_ms, int64_t offset_ms, int64_t pixels);
  // The pace of the runs of `pixels` pixels that have shown theirs; 0 when none has.
  double shown_pace(int64_t pixels);
  void start(int64_t seq, int64_t stamp_ms, int64_t recv_ms, int64_t pixels);

  std::vector<Run> runs_;
  std::vector<double> paces_;  // shown_pace's scratch, kept to spare an allocation a frame
  std::vector<Span> listed_;
  int64_t runs_started_ = 0;
  int64_t live_runs_retired_ = 0;
};

}  // namespace varnock::account

#endif  // VARNOCK_ACCOUNT_PUBLISHER_RUNS_H_
