// The command line every program shares: the options reader, the exit
// statuses each program's help lists, and the answers before a run.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_status.h"
#include "cli/program.h"

namespace varnock {
namespace {

struct Read {
  std::vector<std::string> options;  // "opt=value" for each option read
  Request request = Request::kRun;
  std::string error;
};

Read read(std::vector<const char*> args) {
  args.insert(args.begin(), "prog");
  OptionReader reader(static_cast<int>(args.size()), args.data(), {"--url", "--seconds"},
                      {"--json"});
  Read r;
  std::string_view option;
  std::string_view value;
  while (reader.next(&option, &value))
    r.options.push_back(std::string(option) + "=" + std::string(value));
  r.request = reader.request();
  r.error = reader.error();
  return r;
}

TEST(OptionReader, Table) {
  struct Case {
    std::vector<const char*> args;
    std::vector<std::string> options;
    Request request;
    std::string error;
  };
  const Case cases[] = {
      {{}, {}, Request::kRun, ""},
      {{"--url", "udpm://", "--json", "--seconds=3"},
       {"--url=udpm://", "--json=", "--seconds=3"},
       Request::kRun,
       ""},
      {{"--url=a=b"}, {"--url=a=b"}, Request::kRun, ""},
      // The first of --help and --version wins and ends reading, as in GNU tools.
      {{"--json", "--help", "--version"}, {"--json="}, Request::kHelp, ""},
      {{"--version", "--help"}, {}, Request::kVersion, ""},
      {{"-h", "--bogus"}, {}, Request::kHelp, ""},
      // An error before them is told.
      {{"--bogus", "--help"}, {}, Request::kRun, "unknown argument '--bogus'"},
      {{"30"}, {}, Request::kRun, "unknown argument '30'"},
      {{"--bogus=1"}, {}, Request::kRun, "unknown argument '--bogus=1'"},
      {{"--json=yes"}, {}, Request::kRun, "--json takes no value"},
      {{"--help=x"}, {}, Request::kRun, "--help takes no value"},
      {{"--json", "--url"}, {"--json="}, Request::kRun, "--url needs a value"},
  };
  for (const Case& c : cases) {
    const Read r = read(c.args);
    std::string what;
    for (const char* a : c.args) what += std::string(a) + " ";
    EXPECT_EQ(r.options, c.options) << what;
    EXPECT_EQ(r.request, c.request) << what;
    EXPECT_EQ(r.error, c.error) << what;
  }
}

TEST(ParseNumber, NamesTheOptionTheRangeAndTheText) {
  int64_t n = 7;
  EXPECT_EQ(parse_number<int64_t>("--seconds", "12", 1, kMaxSeconds, "seconds", &n), "");
  EXPECT_EQ(n, 12);
  for (const char* bad : {"0", "31622401", "1.5", "", "12x", "-3", "99999999999999999999"}) {
    EXPECT_EQ(parse_number<int64_t>("--seconds", bad, 1, kMaxSeconds, "seconds", &n),
              std::string("--seconds needs seconds from 1 to 31622400, not '") + bad + "'");
    EXPECT_EQ(n, 12) << bad;
  }
}

// Each program's help lists exactly the statuses it gives, by number.
TEST(ExitStatusHelp, EachProgramListsItsOwnStatuses) {
  struct Case {
    Program program;
    std::vector<int> statuses;
  };
  const Case cases[] = {
      {Program::kVarnock, {0, 1, 2}},
      {Program::kCheck, {0, 1, 2, 3, 4, 5, 6, 7}},
      {Program::kPace, {0, 1, 2, 6}},
      {Program::kGather, {0, 1, 2, 4, 6}},
  };
  for (const Case& c : cases) {
    const std::string help = exit_status_help(c.program);
    ASSERT_TRUE(help.starts_with("Exit status:\n")) << help;
    std::vector<int> listed;
    size_t at = 0;
    while ((at = help.find("\n  ", at)) != std::string::npos) {
      at += 3;
      listed.push_back(std::stoi(help.substr(at)));
    }
    EXPECT_EQ(listed, c.statuses) << program_name(c.program);
  }
}

class Answer : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
    ASSERT_NE(err_, nullptr);
  }
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
  }
  static std::string text(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buffer[256];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) s.append(buffer, n);
    return s;
  }
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
};

TEST_F(Answer, AUsageErrorNamesTheProgramAndPointsToHelp) {
  const auto status = answer_command_line(Program::kPace, {"unknown argument '--x'", Request::kRun},
                                          "[OPTION]...", "HELP", out_, err_);
  EXPECT_EQ(status, kExitUsage);
  EXPECT_EQ(text(out_), "");
  EXPECT_EQ(text(err_),
            "varnock-pace: unknown argument '--x'\nUsage: varnock-pace [OPTION]...\n"
            "'varnock-pace --help' tells more.\n");
}

TEST_F(Answer, HelpAndVersionGoToStandardOutput) {
  EXPECT_EQ(answer_command_line(Program::kGather, {"", Request::kHelp}, "", "HELP\n", out_, err_),
            kExitOk);
  EXPECT_EQ(answer_command_line(Program::kGather, {"", Request::kVersion}, "", "", out_, err_),
            kExitOk);
  EXPECT_TRUE(text(out_).starts_with("HELP\nvarnock-gather 0.")) << text(out_);
  EXPECT_EQ(text(err_), "");
}

TEST_F(Answer, ARunIsLeftToTheProgram) {
  EXPECT_EQ(answer_command_line(Program::kCheck, {"", Request::kRun}, "", "", out_, err_),
            std::nullopt);
  EXPECT_EQ(text(out_) + text(err_), "");
}

}  // namespace
}  // namespace varnock

namespace varnock {
namespace {

// The README's table of each program's exit statuses lists the numbers the
// program's help lists, in order.
TEST(ExitStatusHelp, TheReadmeListsEachProgramsStatuses) {
  std::ifstream readme(README_PATH);
  std::map<std::string, std::vector<int>> in_readme;
  bool in_section = false;
  std::string program;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("## ")) in_section = line == "## Exit statuses";
    if (!in_section) continue;
    if (line.starts_with("### ")) program = line.substr(4);
    if (!program.empty() && line.size() > 2 && line[0] == '|' && line[2] >= '0' && line[2] <= '9') {
      in_readme[program].push_back(std::stoi(line.substr(2)));
    }
  }
  for (const Program p : {Program::kVarnock, Program::kCheck, Program::kPace, Program::kGather}) {
    const std::string help = exit_status_help(p);
    std::vector<int> listed;
    for (size_t at = 0; (at = help.find("\n  ", at)) != std::string::npos;) {
      at += 3;
      listed.push_back(std::stoi(help.substr(at)));
    }
    EXPECT_EQ(in_readme[program_name(p)], listed) << program_name(p);
  }
}

}  // namespace
}  // namespace varnock
