// The account's outputs: JSON, CSV and text made from one table of fields,
// and docs/output-fields.md held to that table.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "account/account.h"
#include "cli/exit_status.h"
#include "messages/check_report_t.h"
#include "messages/encoding.h"
#include "report/fields.h"
#include "report/formats.h"
#include "report/json_string.h"
#include "report/share.h"

namespace varnock::report {
namespace {

using account::SecondReport;
using account::Summary;

// A stream channel's figures, a different value in every field; without an
// inter-arrival sample.
account::StreamChannelFigures stream_channel(int k, int64_t received) {
  account::StreamChannelFigures f;
  f.channel = k;
  f.counts = {received, 9, 1, 4, 2, 7, 3, 1};
  f.times.latency = {0.021, 0.234, 0.5, {}};
  f.times.delivery = {0.3, 0.476, 0.9, {}};
  return f;
}

// A row with a different value in every field, loss split by cause.
SecondReport sample_row() {
  SecondReport r;
  r.second = 1'796'882'508;
  r.clock_step_s = -3;
  r.counts = {455, 450, 7, 2, 1, 3, 4, 1, 5, 1'234'567, 9, 6, 1};
  r.kernel_drops_known = true;
  r.latency = {0.76, 1.26, 1.33, {}};
  r.times.inter_arrival = {2.17, 2.84, 5.66, {}};
  // No frame followed a status record: delivery unknown.
  r.messages = {stream_channel(0, 998), stream_channel(7, 12)};
  return r;
}

Summary sample_summary() {
  Summary s;
  s.network_known = true;
  s.seconds = 3.0021;
  s.totals = sample_row().counts;
  s.totals.bytes = 2'221'810'068;
  s.kernel_drops_known = true;
  s.latency = {0.76, 1.28, 2.82, {}};
  s.runs = {{60, 1882}, {60, 70}};
  s.messages = {stream_channel(3, 2995)};
  return s;
}

std::vector<std::string> split(const std::string& line, char at) {
  std::vector<std::string> cells;
  std::stringstream in(line);
  for (std::string cell; std::getline(in, cell, at);) cells.push_back(cell);
  if (!line.empty() && line.back() == at) cells.emplace_back();
  return cells;
}

std::string without_newline(std::string s) {
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// The names in the first column of the tables of docs/output-fields.md's
// section headed `heading`, in order.
std::vector<std::string> documented(const std::string& heading) {
  std::ifstream doc(OUTPUT_FIELDS_DOC);
  std::vector<std::string> names;
  bool in_section = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.starts_with("## ")) in_section = line.starts_with("## " + heading);
    if (!in_section || !line.starts_with("| `")) continue;
    const std::string first_cell = line.substr(1, line.find('|', 1) - 1);
    for (size_t at = first_cell.find('`'); at != std::string::npos;) {
      const size_t end = first_cell.find('`', at + 1);
      names.push_back(first_cell.substr(at + 1, end - at - 1));
      at = first_cell.find('`', end + 1);
    }
  }
  return names;
}

std::vector<std::string> keys(const nlohmann::ordered_json& j) {
  std::vector<std::string> out;
  for (const auto& [key, value] : j.items()) out.push_back(key);
  return out;
}

// The lines of the first fenced block after the heading that starts with
// `heading`.
std::vector<std::string> example(const std::string& heading) {
  std::ifstream doc(OUTPUT_FIELDS_DOC);
  std::vector<std::string> lines;
  bool in_section = false;
  bool in_block = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.starts_with("## ")) in_section = line.starts_with("## " + heading);
    if (!in_section) continue;
    if (line.starts_with("```")) {
      if (in_block) break;
      in_block = true;
    } else if (in_block) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(OutputFields, TheDocumentListsEveryFieldInOrder) {
  std::vector<std::string> row = {"type"};
  const std::vector<std::string> csv = split(without_newline(csv_header()), ',');
  row.insert(row.end(), csv.begin(), csv.end());
  row.emplace_back("messages");  // JSON only
  EXPECT_EQ(documented("Per-second rows"), std::vector<std::string>(row.begin() + 1, row.end()));
  EXPECT_EQ(keys(nlohmann::ordered_json::parse(json_row(sample_row()))), row);

  std::vector<std::string> entry = {"channel"};
  for (const StreamField& f : stream_fields()) entry.emplace_back(f.name);
  EXPECT_EQ(documented("Stream messages"), entry);
  EXPECT_EQ(keys(nlohmann::ordered_json::parse(json_row(sample_row()))["messages"][0]), entry);
  EXPECT_EQ(keys(nlohmann::ordered_json::parse(json_summary(sample_summary()))["messages"][0]),
            entry);

  std::vector<std::string> summary = keys(nlohmann::ordered_json::parse(json_summary({})));
  std::vector<std::string> in_doc = documented("Summary");
  std::sort(summary.begin(), summary.end());
  std::sort(in_doc.begin(), in_doc.end());
  EXPECT_EQ(in_doc, summary);

  EXPECT_EQ(documented("Start line"), keys(nlohmann::ordered_json::parse(json_start({}))));
}

// The examples are lines the code writes: the same fields in the same order.
TEST(OutputFields, TheDocumentsExamplesHaveTheCodesFields) {
  struct Case {
    const char* heading;
    std::string line;  // what the code writes
  };
  const Case cases[] = {
      {"Start line", json_start({})},
      {"Per-second rows", json_row(sample_row())},
      {"Summary", json_summary(sample_summary())},
      {"Stream messages", json_row(sample_row())},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines = example(c.heading);
    ASSERT_EQ(lines.size(), 1u) << c.heading;
    const nlohmann::ordered_json doc = nlohmann::ordered_json::parse(lines[0]);
    const nlohmann::ordered_json code = nlohmann::ordered_json::parse(c.line);
    if (std::string(c.heading) == "Stream messages") {
      EXPECT_EQ(keys(doc), keys(code["messages"][0]));
      continue;
    }
    EXPECT_EQ(keys(doc), keys(code)) << c.heading;
    // A list of stream channels has the entries' fields.
    if (doc.contains("messages") && !doc["messages"].empty()) {
      EXPECT_EQ(keys(doc["messages"][0]), keys(code["messages"][0])) << c.heading;
    }
  }
}

// The document's exit statuses are the ones varnock-check's help lists.
TEST(OutputFields, TheDocumentsExitStatusesAreTheHelps) {
  std::string listed;
  for (const std::string& line : example("Exit statuses")) listed += "  " + line + "\n";
  const std::string help = exit_status_help(Program::kCheck);
  EXPECT_TRUE(help.starts_with("Exit status:\n" + listed)) << listed << "\n--\n" << help;
}

TEST(OutputFields, CsvRowsMatchTheHeaderAndTheJson) {
  const std::vector<std::string> header = split(without_newline(csv_header()), ',');
  // The columns scripts/plot-check reads by name.
  for (const char* name :
       {"second", "frames", "lost", "corrupt", "latency_ms_p50", "latency_ms_max",
        "delivery_ms_p50", "lost_receive_buffer", "lost_other"}) {
    EXPECT_NE(std::find(header.begin(), header.end(), name), header.end()) << name;
  }
  SecondReport unknown = sample_row();
  unknown.kernel_drops_known = false;
  for (const SecondReport& r : {sample_row(), unknown, SecondReport{}}) {
    const std::vector<std::string> cells = split(without_newline(csv_row(r)), ',');
    ASSERT_EQ(cells.size(), header.size()) << csv_row(r);
    const nlohmann::json json = nlohmann::json::parse(json_row(r));
    for (size_t i = 0; i < header.size(); ++i) {
      SCOPED_TRACE(header[i]);
      const nlohmann::json& v = json.at(header[i]);
      if (v.is_null()) {
        EXPECT_EQ(cells[i], "");
      } else if (v.is_boolean()) {
        EXPECT_EQ(cells[i], v.get<bool>() ? "true" : "false");
      } else {
        EXPECT_DOUBLE_EQ(std::stod(cells[i]), v.get<double>());
      }
    }
  }
  const nlohmann::json row = nlohmann::json::parse(json_row(sample_row()));
  EXPECT_EQ(row["lost_other"], 1);
  EXPECT_EQ(row["mb_per_s"], 1.235);
  EXPECT_EQ(row["clock_step_s"], -3);
  EXPECT_TRUE(row["delivery_ms_p50"].is_null());
  EXPECT_TRUE(nlohmann::json::parse(json_row(unknown))["kernel_drops"].is_null());
}

// Each stream channel's entry: its name, counts, and times with two
// decimals, null without a sample; an empty list without streams.
TEST(OutputFields, StreamEntriesInJsonAndText) {
  const nlohmann::json row = nlohmann::json::parse(json_row(sample_row()));
  ASSERT_EQ(row["messages"].size(), 2u);
  const nlohmann::json& first = row["messages"][0];
  EXPECT_EQ(first["channel"], "VARNOCK_MSG_0");
  EXPECT_EQ(row["messages"][1]["channel"], "VARNOCK_MSG_7");
  const std::pair<const char*, int64_t> counts[] = {
      {"received", 998}, {"lost", 9},        {"duplicates", 1}, {"reordered", 4},
      {"late", 2},       {"lost_in_lcm", 7}, {"corrupt", 3},
  };
  for (const auto& [name, value] : counts) EXPECT_EQ(first[name], value) << name;
  const std::string text = json_row(sample_row());
  EXPECT_NE(
      text.find(
          R"("latency_ms_p50":0.02,"latency_ms_p99":0.23,"latency_ms_max":0.50,"delivery_ms_p99":0.48,"delivery_ms_max":0.90)"),
      std::string::npos)
      << text;
  EXPECT_TRUE(first["inter_arrival_ms_p99"].is_null());
  EXPECT_EQ(nlohmann::json::parse(json_row(SecondReport{}))["messages"], nlohmann::json::array());
  EXPECT_EQ(nlohmann::json::parse(json_summary(sample_summary()))["messages"][0]["received"], 2995);

  const std::string lines = text_row(sample_row());
  for (const char* part :
       {"\n  VARNOCK_MSG_0 998 lost 9 (in LCM's queue 7) dup 1 reordered 4 late 2 corrupt 3  "
        "latency p50 0.02 p99 0.23 max 0.50 ms, delivery p99 0.48 max 0.90 ms, inter-arrival p99 - "
        "ms\n",
        "\n  VARNOCK_MSG_7 12 lost 9"}) {
    EXPECT_NE(lines.find(part), std::string::npos) << part << " in " << lines;
  }
  EXPECT_NE(text_summary(sample_summary()).find("  VARNOCK_MSG_3 received 2995 lost 9"),
            std::string::npos);

  // --messages-only: the second and its streams, no frame counts.
  const std::string alone = text_row(sample_row(), false);
  EXPECT_TRUE(alone.starts_with("1796882508 (clock stepped -3 s)\n  VARNOCK_MSG_0 998 lost 9"))
      << alone;
  const std::string summary_alone = text_summary(sample_summary(), false);
  EXPECT_NE(summary_alone.find("  VARNOCK_MSG_3 received 2995 lost 9"), std::string::npos);
  for (const std::string& text : {alone, summary_alone}) {
    EXPECT_EQ(text.find("TFIMAGE"), std::string::npos) << text;
  }
}

TEST(OutputFields, TextShowsTheSameFigures) {
  const std::string row = text_row(sample_row());
  for (const char* part :
       {"1796882508 (clock stepped -3 s)", "RECSTAT 455", "TFIMAGE 450", "lost 7 (2 est.)",
        "corrupt 1", "dup 3", "late 4", "new runs 1", "unsequenced 5",
        "(to buffer 6, kernel drops 9)", "1.2 MB/s", "latency p50 0.76 max 1.33 ms"}) {
    EXPECT_NE(row.find(part), std::string::npos) << part << " in " << row;
  }
  const std::string summary = text_summary(sample_summary());
  for (const char* part :
       {"summary: 3.0 s", "TFIMAGE received 450, lost 7 (2 of them estimated", "late 4",
        "lost to a full receive buffer 6 (the kernel dropped 9 datagrams", "elsewhere 1",
        "inside LCM 0", "publisher runs 1: periods 60 to 1882, 60 to 70",
        "latency ms: p50 0.76, p99 1.28", "delivery ms: p50 -, p99 -, max -",
        "3 frames came more than once: a network that repeats datagrams"}) {
    EXPECT_NE(summary.find(part), std::string::npos) << part << " in " << summary;
  }
  const nlohmann::json json = nlohmann::json::parse(json_summary(sample_summary()));
  EXPECT_EQ(json["run_periods"], nlohmann::json::parse("[[60,1882],[60,70]]"));
  EXPECT_EQ(json["seconds"], 3.002);
  EXPECT_EQ(json["bytes"], 2'221'810'068);
}

// A URL is any bytes a user gives: its JSON string must parse, and give back
// every byte, those outside valid UTF-8 as the code points of their values.
TEST(JsonString, KeepsEveryByte) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string decoded;  // what a JSON reader makes of it, in UTF-8
  };
  const Case cases[] = {
      {"plain", "udpm://239.255.76.67:7667?ttl=0", "udpm://239.255.76.67:7667?ttl=0"},
      {"quote, backslash", "a\"b\\c", "a\"b\\c"},
      {"control characters", std::string("a\0b\n\x1f\x7f", 6), std::string("a\0b\n\x1f\x7f", 6)},
      {"valid UTF-8 of 2, 3 and 4 bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"a lone continuation byte",
       "a\x80"
       "b",
       "a\xc2\x80"
       "b"},
      {"0xff", "\xff", "\xc3\xbf"},
      {"an overlong '/'", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
      {"a surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},
      {"cut short at the end", "x\xe2\x82", "x\xc3\xa2\xc2\x82"},
      {"cut short by an ASCII byte", "\xe2\x82z", "\xc3\xa2\xc2\x82z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string quoted = json_string(c.bytes);
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(quoted)) << quoted;
    EXPECT_EQ(parsed.get<std::string>(), c.decoded) << quoted;
    for (const char ch : quoted) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << quoted;
  }
  StartInfo start;
  start.url = "udpm://\xfe\xff:7667";
  EXPECT_TRUE(nlohmann::json::accept(json_start(start)));
}

// What --share publishes carries the JSON line's values: each count and
// time of the message by its own name, an unknown count -1, a time without a
// sample NaN, and the message survives its own encoding.
TEST(SharedReport, CarriesTheJsonValues) {
  const Reporter who{"cam-sub", "host-b", 4242, "udpm://239.255.76.67:7667?ttl=1", 0, "", ""};
  SecondReport row = sample_row();
  row.send_drops = 17;
  const Summary summary = sample_summary();
  struct Case {
    const char* name;
    check_report_t message;
    nlohmann::json json;
  };
  const Case cases[] = {
      {"a second", shared_row(who, row), nlohmann::json::parse(json_row(row))},
      {"the summary", shared_summary(who, summary, row.second),
       nlohmann::json::parse(json_summary(summary))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes(static_cast<size_t>(c.message.encoded_size()));
    store_big_endian<8>(bytes.data(), check_report_t::fingerprint);
    ASSERT_GT(c.message.encode_payload(bytes.data(), 8, static_cast<int32_t>(bytes.size() - 8)), 0);
    check_report_t m;
    ASSERT_TRUE(check_report_t::decode(bytes.data(), static_cast<int64_t>(bytes.size()), &m));
    EXPECT_EQ(m.name, "cam-sub");
    EXPECT_EQ(m.host, "host-b");
    EXPECT_EQ(m.pid, 4242);
    const std::pair<const char*, int64_t> counts[] = {
        {"status_records", m.status_records},
        {"frames", m.frames},
        {"lost", m.lost},
        {"lost_estimated", m.lost_estimated},
        {"corrupt", m.corrupt},
        {"duplicates", m.duplicates},
        {"late", m.late},
        {"runs", m.runs},
        {"unsequenced", m.unsequenced},
        {"kernel_drops", m.kernel_drops},
        {"lost_receive_buffer", m.lost_receive_buffer},
        {"lost_reassembly_memory", m.lost_reassembly_memory},
        {"lost_fragments", m.lost_fragments},
        {"lost_in_lcm", m.lost_in_lcm},
        {"lost_checksum", m.lost_checksum},
        {"lost_other", m.lost_other},
        {"send_drops", m.send_drops},
    };
    for (const auto& [name, value] : counts) {
      SCOPED_TRACE(name);
      EXPECT_EQ(value, c.json[name].is_null() ? -1 : c.json[name].get<int64_t>());
    }
    const std::pair<const char*, double> times[] = {
        {"latency_ms_p50", m.latency_ms_p50},
        {"latency_ms_max", m.latency_ms_max},
        {"inter_arrival_ms_p99", m.inter_arrival_ms_p99},
        {"delivery_ms_p50", m.delivery_ms_p50},
        {"lcm_queue_ms_max", m.lcm_queue_ms_max},
    };
    for (const auto& [name, value] : times) {
      SCOPED_TRACE(name);
      if (c.json[name].is_null()) {
        EXPECT_TRUE(std::isnan(value));
      } else {
        EXPECT_NEAR(value, c.json[name].get<double>(), 0.005);
      }
    }
  }
  const check_report_t second = shared_row(who, row);
  EXPECT_EQ(second.kind, check_report_t::kKindSecond);
  EXPECT_EQ(second.second, row.second);
  EXPECT_EQ(second.send_drops, 17);
  EXPECT_EQ(second.bytes, row.counts.bytes);
  const check_report_t whole = shared_summary(who, summary, row.second);
  EXPECT_EQ(whole.kind, check_report_t::kKindSummary);
  EXPECT_EQ(whole.seconds, summary.seconds);
  EXPECT_EQ(whole.send_drops, -1);
  EXPECT_EQ(whole.bytes, 2'221'810'068);
}

}  // namespace
}  // namespace varnock::report

namespace varnock::report {
namespace {

// Any host on the bus chooses its name: nothing of it reaches a terminal or
// a CSV reader raw, and no byte's value is lost.
TEST(CsvField, EscapesWhatNoReaderShouldSeeRaw) {
  const std::pair<std::string, std::string> cases[] = {
      {"cam-sub", "cam-sub"},
      {"", ""},
      {"h\xc3\xa9t\xe2\x82\xac", "h\xc3\xa9t\xe2\x82\xac"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"back\\slash", "back\\\\slash"},
      {"\x1b[2J", "\\u001b[2J"},
      {"two\nlines\r", "two\\u000alines\\u000d"},
      {"bad \xff\xc3", "bad \\u00ff\\u00c3"},
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},  // a surrogate is no UTF-8
  };
  for (const auto& [text, field] : cases) EXPECT_EQ(csv_field(text), field) << text;
}

}  // namespace
}  // namespace varnock::report
