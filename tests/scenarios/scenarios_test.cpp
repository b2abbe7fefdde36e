// Every scenario of this folder, run and compared with its transcript. A run
// that differs leaves its whole file, with the transcript it gave, in the
// build folder (ACTUAL_DIR); with UPDATE_SCENARIOS=1 it rewrites the scenario.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "scenarios/runner.h"

namespace scenarios {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The first line where the two differ, with its neighbours.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
  std::vector<std::string> want = SplitLines(expected), got = SplitLines(actual);
  size_t at = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at]) {
    ++at;
  }
  std::string text = "first difference at transcript line " + std::to_string(at + 1) + ":\n";
  for (size_t i = at > 2 ? at - 2 : 0; i < at + 3; ++i) {
    text += "  expected: " + (i < want.size() ? want[i] : "(end)") + "\n";
    text += "  actual:   " + (i < got.size() ? got[i] : "(end)") + "\n";
  }
  return text;
}

class Scenario : public ::testing::TestWithParam<Script> {};

TEST_P(Scenario, GivesItsTranscript) {
  const Script& script = GetParam();
  std::unique_ptr<sim::Sim> sim = sim::Sim::New();
  std::string actual = RunScript(*sim, script).transcript;
  if (actual == script.expected) {
    return;
  }
  const char* update = std::getenv("UPDATE_SCENARIOS");
  bool rewrite = update != nullptr && update[0] == '1';
  std::ofstream(rewrite ? script.path : ACTUAL_DIR "/" + script.name + ".scn", std::ios::binary)
      << script.head << actual;
  ADD_FAILURE() << script.name << ".scn: " << FirstDifference(script.expected, actual);
}

INSTANTIATE_TEST_SUITE_P(All, Scenario, ::testing::ValuesIn(Scripts()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace scenarios
