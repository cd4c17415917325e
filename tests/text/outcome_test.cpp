#include "text/outcome.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "text/texts.h"

namespace droprelay {
namespace {

// Records and --json output name outcomes by token: a value added without one, or two values
// sharing one, would be read back as something else.
TEST(OutcomeTest, EveryOutcomeHasItsOwnTokenAndReason) {
  std::set<std::string_view> tokens;
  for (int value = 0; value <= static_cast<int>(kLastOutcome); ++value) {
    const auto outcome = static_cast<Outcome>(value);
    const std::string_view token = OutcomeToken(outcome);
    EXPECT_NE(token, "unknown") << value;
    EXPECT_TRUE(tokens.insert(token).second) << token;
    EXPECT_EQ(OutcomeFromToken(token), outcome) << token;
    EXPECT_FALSE(texts::OutcomeReason(outcome).empty()) << token;
  }
  EXPECT_EQ(OutcomeFromToken("no-such-outcome"), std::nullopt);
}

}  // namespace
}  // namespace droprelay
