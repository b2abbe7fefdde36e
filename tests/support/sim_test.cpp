#include "support/sim_test.h"

namespace testing_support {

void SimTest::TearDown() {
  EXPECT_THAT(sim.Leaks(), ::testing::IsEmpty()) << "the program left resources behind";
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                        bytes, nullptr, nullptr);
  return narrow;
}

}  // namespace testing_support
