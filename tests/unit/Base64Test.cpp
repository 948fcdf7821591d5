#include <gtest/gtest.h>

#include <string>

#include "config/Base64.h"
#include "http/Sha256.h"

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

// The certificate pin's digest: FIPS 180 examples, and the lengths where
// the padding takes one block or two.
TEST(Sha256Test, KnownDigestsAndEveryPaddingEdge) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Sha256Hex(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex("abc"));
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", Sha256Hex(std::string(1000000, 'a')));
  // 55, 56 and 64 bytes: the length fits, just misses, and a block is whole.
  EXPECT_EQ("9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318", Sha256Hex(std::string(55, 'a')));
  EXPECT_EQ("b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a", Sha256Hex(std::string(56, 'a')));
  EXPECT_EQ("ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb", Sha256Hex(std::string(64, 'a')));
}
