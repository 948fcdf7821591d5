#include <gtest/gtest.h>

#include <string>

#include "config/Base64.h"

namespace {

// Each input in both readings: the loose one SMTP's AUTH PLAIN has always
// used, and the strict one, which takes only whole groups (IMAP answers
// BAD for what it refuses); what it takes, both read alike.
TEST(Base64Test, LooseAndStrictReadings) {
  struct Case {
    const char* input;
    std::string loose;
    bool strictTakes;
  };
  const Case cases[] = {
      {"TWFu", "Man", true},
      {"TWE=", "Ma", true},
      {"TWE", "Ma", false},
      {"TQ==", "M", true},
      {"TQ", "M", false},
      {"T", "", false},  // a single digit makes no byte
      {"", "", true},
      {"TW\r\nFu IA ==", "Man ", false},
      {"TQ==TWFu", "M", false},  // nothing after the first "="
      {"TQ=A", "M", false},
      {"T===", "", false},
      {"====", "", false},
      {"*T!W-F_u", "Man", false},  // loosely, characters outside the alphabet are skipped
      {"AP/+", std::string("\0\xff\xfe", 3), true},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(k.loose, DecodeBase64Loosely(k.input)) << k.input;
    std::string strict = "left over";
    EXPECT_EQ(k.strictTakes, DecodeBase64(k.input, strict)) << k.input;
    EXPECT_EQ(k.strictTakes ? k.loose : std::string(), strict) << k.input;
  }
}

}  // namespace
