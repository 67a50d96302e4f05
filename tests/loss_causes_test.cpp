// A second's loss split by cause: each counter alone, several at once and in
// their order, counters that outnumber the loss or are unknown, and what
// passes to and from the seconds beside.
#include "account/loss_causes.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace varnock::account {

void PrintTo(const LossSplit& s, std::ostream* os) {
  *os << "{buffer " << s.receive_buffer << ", checksum " << s.checksum << ", memory "
      << s.reassembly_memory << ", fragments " << s.fragments << ", in_lcm " << s.in_lcm
      << ", other " << s.other << ", drops_borrowed " << s.drops_borrowed << ", queues_borrowed "
      << s.queues_borrowed << ", drops_carried " << s.drops_carried << "}";
}

namespace {

TEST(LossCauses, Table) {
  using Next = LossEvidence::Lendable;
  struct Case {
    const char* name;
    LossEvidence e;
    LossSplit want;
  };
  const Case cases[] = {
      // Each cause alone.
      {"no counter known: nothing is split, the carry stays",
       {.lost = 10, .kernel_drops = 40, .drops_carried = 3, .reassembly_failures = 9},
       {.drops_carried = 3}},
      {"a full receive buffer: its drops beyond the loss carry on",
       {.lost = 10, .kernel_drops_known = true, .kernel_drops = 40},
       {.receive_buffer = 10, .drops_carried = 30}},
      {"fewer drops than frames lost: the rest is other",
       {.lost = 10, .kernel_drops_known = true, .kernel_drops = 4},
       {.receive_buffer = 4, .other = 6}},
      {"bad checksums, counted among the drops too",
       {.lost = 10,
        .kernel_drops_known = true,
        .network_known = true,
        .kernel_drops = 3,
        .checksum_errors = 3},
       {.checksum = 3, .other = 7}},
      {"reassembly memory full: fragments refused, no timeouts",
       {.lost = 10, .network_known = true, .reassembly_failures = 900},
       {.reassembly_memory = 10}},
      {"fragments lost on the way: counted once, by their queues",
       {.lost = 10,
        .network_known = true,
        .reassembly_failures = 4,
        .reassembly_timeouts = 4,
        .queues_left = 4},
       {.fragments = 4, .other = 6}},
      {"LCM's queue deep, records lost in step",
       {.lost = 10, .network_known = true, .lost_with_records = 10, .deepest_queue_ms = 150},
       {.in_lcm = 10}},
      {"LCM's queue deep from its threshold on",
       {.lost = 10, .network_known = true, .lost_with_records = 10, .deepest_queue_ms = 50},
       {.in_lcm = 10}},
      {"records lost in step, the queue short",
       {.lost = 10, .network_known = true, .lost_with_records = 10, .deepest_queue_ms = 49.9},
       {.other = 10}},
      {"records lost in step, no wait measured",
       {.lost = 10, .network_known = true, .lost_with_records = 10},
       {.other = 10}},

      // Several causes: each takes what the ones before it left, in order.
      {"every cause at once",
       {.lost = 10,
        .kernel_drops_known = true,
        .network_known = true,
        .kernel_drops = 3,
        .checksum_errors = 1,
        .reassembly_failures = 3,
        .reassembly_timeouts = 1,
        .queues_left = 2,
        .lost_with_records = 5,
        .deepest_queue_ms = 60},
       {.receive_buffer = 2, .checksum = 1, .reassembly_memory = 2, .fragments = 2, .in_lcm = 3}},
      {"more counted than lost: the first causes take it all",
       {.lost = 3,
        .kernel_drops_known = true,
        .network_known = true,
        .kernel_drops = 10,
        .checksum_errors = 2,
        .reassembly_failures = 5,
        .queues_left = 5},
       {.receive_buffer = 1, .checksum = 2, .drops_carried = 7}},
      {"no loss: the drops carry on whole",
       {.lost = 0, .kernel_drops_known = true, .network_known = true, .kernel_drops = 5},
       {.drops_carried = 5}},
      {"late frames gave back more than the second counted",
       {.lost = -2, .kernel_drops_known = true, .kernel_drops = 5},
       {.other = -2, .drops_carried = 5}},

      // Counters known in part.
      {"drops known, the host's counters not: those are not read",
       {.lost = 10,
        .kernel_drops_known = true,
        .kernel_drops = 2,
        .checksum_errors = 5,
        .reassembly_failures = 9,
        .queues_left = 9,
        .lost_with_records = 10,
        .deepest_queue_ms = 500},
       {.receive_buffer = 2, .other = 8}},
      {"the host's counters known, drops not: no drop explains, none carries",
       {.lost = 10,
        .network_known = true,
        .kernel_drops = 40,
        .drops_carried = 4,
        .checksum_errors = 3},
       {.checksum = 3, .other = 7, .drops_carried = 4}},

      // The seconds beside.
      {"drops the second before left over explain first",
       {.lost = 3, .kernel_drops_known = true, .kernel_drops = 5, .drops_carried = 2},
       {.receive_buffer = 3, .drops_carried = 4}},
      {"drops carry one second only",
       {.lost = 0, .kernel_drops_known = true, .kernel_drops = 5, .drops_carried = 4},
       {.drops_carried = 5}},
      {"drops borrowed from the second after, as many as needed",
       {.lost = 10, .kernel_drops_known = true, .kernel_drops = 2, .next = Next{50, 0}},
       {.receive_buffer = 10, .drops_borrowed = 8}},
      {"drops borrowed from the second after, as many as it has",
       {.lost = 10, .kernel_drops_known = true, .kernel_drops = 2, .next = Next{5, 0}},
       {.receive_buffer = 7, .other = 3, .drops_borrowed = 5}},
      {"no second after open: nothing borrowed",
       {.lost = 10, .kernel_drops_known = true, .kernel_drops = 2},
       {.receive_buffer = 2, .other = 8}},
      {"own drops enough: nothing borrowed",
       {.lost = 10, .kernel_drops_known = true, .kernel_drops = 12, .next = Next{5, 0}},
       {.receive_buffer = 10, .drops_carried = 2}},
      {"queues borrowed from the second after",
       {.lost = 10, .network_known = true, .queues_left = 1, .next = Next{0, 5}},
       {.fragments = 6, .other = 4, .queues_borrowed = 5}},
      {"queues below zero (one in flight completed) borrow from zero",
       {.lost = 10, .network_known = true, .queues_left = -2, .next = Next{0, 3}},
       {.fragments = 3, .other = 7, .queues_borrowed = 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LossSplit got = split_loss(c.e);
    EXPECT_EQ(got, c.want);
    if (c.e.kernel_drops_known || c.e.network_known) {
      EXPECT_EQ(got.receive_buffer + got.checksum + got.reassembly_memory + got.fragments +
                    got.in_lcm + got.other,
                c.e.lost)
          << "the causes add up to the loss";
    }
  }
}

// Seconds in a row, as the account settles them: what one leaves or borrows
// is what the next has, so that each drop explains one loss at most.
TEST(LossCauses, DropsExplainOneLossAcrossSeconds) {
  struct Second {
    int64_t lost, drops;
    int64_t want_buffer, want_other;
  };
  struct Case {
    const char* name;
    std::vector<Second> seconds;
  };
  const Case cases[] = {
      {"read the second before the loss", {{0, 5, 0, 0}, {5, 0, 5, 0}, {5, 0, 0, 5}}},
      {"read the second after the loss", {{5, 0, 5, 0}, {5, 5, 0, 5}}},
      {"read two seconds before: too far", {{0, 5, 0, 0}, {0, 0, 0, 0}, {5, 0, 0, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t carried = 0;
    int64_t lent = 0;  // of the current second's drops, to the one before
    for (size_t i = 0; i < c.seconds.size(); ++i) {
      const Second& s = c.seconds[i];
      LossEvidence e{.lost = s.lost,
                     .kernel_drops_known = true,
                     .kernel_drops = s.drops - lent,
                     .drops_carried = carried};
      if (i + 1 < c.seconds.size()) e.next = LossEvidence::Lendable{c.seconds[i + 1].drops, 0};
      const LossSplit got = split_loss(e);
      EXPECT_EQ(got.receive_buffer, s.want_buffer) << "second " << i;
      EXPECT_EQ(got.other, s.want_other) << "second " << i;
      carried = got.drops_carried;
      lent = got.drops_borrowed;
    }
  }
}

}  // namespace
}  // namespace varnock::account
