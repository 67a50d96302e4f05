// Every program answers its command line the same way: the first of --help
// and --version wins, and an unknown option is named, with exit status 2,
// before anything is opened.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace varnock {
namespace {

struct Program {
  varnock::Program id;
  const char* binary;
};

const Program kPrograms[] = {
    {varnock::Program::kVarnock, VARNOCK_BINARY},
    {varnock::Program::kCheck, CHECK_BINARY},
    {varnock::Program::kPace, PACE_BINARY},
    {varnock::Program::kGather, GATHER_BINARY},
};

struct Ran {
  std::optional<int> status;
  std::string out;
  std::string err;
};

class EveryProgram : public ::testing::Test {
 protected:
  Ran run(const char* binary, const std::vector<std::string>& args) {
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = dir_.path("out");
    const std::string err = dir_.path("err");
    Ran r;
    {
      testing::ChildProcess child(argv, out, err);
      r.status = child.wait_exit(std::chrono::seconds(10));
    }
    r.out = testing::read_file(out);
    r.err = testing::read_file(err);
    return r;
  }

  testing::TempDir dir_{"varnock-cli"};
};

TEST_F(EveryProgram, TheFirstOfHelpAndVersionWins) {
  for (const Program& p : kPrograms) {
    const std::string name = program_name(p.id);
    const Ran help = run(p.binary, {"--help", "--version"});
    EXPECT_EQ(help.status, kExitOk) << name;
    EXPECT_TRUE(help.out.starts_with("Usage: " + name + " ")) << name << ": " << help.out;
    // The help ends with the statuses the program's table gives it.
    EXPECT_TRUE(help.out.ends_with(exit_status_help(p.id))) << name << ": " << help.out;
    EXPECT_EQ(help.err, "") << name;

    const Ran version = run(p.binary, {"--version", "--help"});
    EXPECT_EQ(version.status, kExitOk) << name;
    std::istringstream lines(version.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(line.starts_with(name + " 0.")) << name << ": " << version.out;
    std::getline(lines, line);
    EXPECT_EQ(line, "LCM " BUILT_LCM_VERSION " (the library loaded now)") << name;
    EXPECT_FALSE(std::getline(lines, line)) << name << ": " << version.out;
  }
}

// LCM is named as loaded at run time: varnock built on one LCM and run on
// another names the other, in --version and in varnock-check's start line.
TEST_F(EveryProgram, TheLcmNamedIsTheLibraryLoaded) {
  struct Case {
    std::string library_path;  // LD_LIBRARY_PATH, "" for none
    std::string release;
  };
  std::vector<Case> cases{{"", BUILT_LCM_VERSION}};
  if (*LCM_152_LIB != '\0') cases.push_back({LCM_152_LIB, "1.5.2"});
  for (const Case& c : cases) {
    SCOPED_TRACE("LD_LIBRARY_PATH=" + c.library_path);
    for (const Program& p : kPrograms) {
      const Ran version = run("env", {"LD_LIBRARY_PATH=" + c.library_path, p.binary, "--version"});
      EXPECT_EQ(version.status, kExitOk) << version.err;
      EXPECT_NE(version.out.find("\nLCM " + c.release + " (the library loaded now)\n"),
                std::string::npos)
          << version.out;
    }
    const Ran check = run("env", {"LD_LIBRARY_PATH=" + c.library_path, CHECK_BINARY, "--json",
                                  "--seconds", "1", "--url", "memq://"});
    EXPECT_EQ(check.status, kExitShortfall) << check.err;  // no frames in a second
    const nlohmann::json start =
        nlohmann::json::parse(check.out.substr(0, check.out.find('\n')), nullptr, false);
    ASSERT_TRUE(start.is_object()) << check.out;
    EXPECT_EQ(start["type"], "start");
    EXPECT_EQ(start["lcm_version"], c.release) << check.out;
  }
}

TEST_F(EveryProgram, AnUnknownOptionIsNamedWithStatus2) {
  for (const Program& p : kPrograms) {
    const std::string name = program_name(p.id);
    for (const char* bogus : {"--bogus", "-x", "extra"}) {
      const Ran r = run(p.binary, {bogus, "--help"});
      EXPECT_EQ(r.status, kExitUsage) << name << " " << bogus;
      EXPECT_EQ(r.out, "") << name << " " << bogus;
      std::string expected = name;
      expected += ": unknown argument '";
      expected += bogus;
      expected += "'\nUsage: ";
      expected += name;
      EXPECT_TRUE(r.err.starts_with(expected)) << r.err;
    }
  }
}

}  // namespace
}  // namespace varnock
