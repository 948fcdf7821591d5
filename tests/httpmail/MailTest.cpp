// The service's dates through CMail::ConvertDate.
#include "HttpMailTest.h"

#include <stdlib.h>
#include <time.h>

namespace {

const char kNotConverted[] = "[日時形式の変換が行えませんでした]";
const char kNotNormalised[] = "[日時形式の正規化に失敗しました]";

}  // namespace

class MailDateTest : public HttpMailTest {
 protected:
  void SetUp() override {
    HttpMailTest::SetUp();
    const char* tz = getenv("TZ");
    savedTz_ = tz != nullptr ? tz : "";
    hadTz_ = tz != nullptr;
    Zone("UTC0");
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", savedTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
    HttpMailTest::TearDown();
  }
  static void Zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  static std::string Convert(const std::string& date) {
    CMail mail;
    mail.date = date;
    mail.ConvertDate();
    return mail.date;
  }
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(MailDateTest, ServiceFormsBecomeTheAsctimeLayout) {
  EXPECT_EQ("Wed Jan 02 03:04:05 2002", Convert("2002-01-02T03:04:05Z"));
  EXPECT_EQ("Wed Jan 02 03:04:05 2002", Convert("2002-01-02T03:04:05.250+09:00"));  // the zone is ignored
  EXPECT_EQ("Wed Jan 02 00:00:00 2002", Convert("2002-01-02"));
  EXPECT_EQ("Wed Jan 02 00:00:00 2002", Convert("  2002-01-02"));  // %d skips white space
  EXPECT_EQ("Thu Jan 01 00:00:00 1970", Convert("1970-01-01T00:00:00"));
  EXPECT_EQ(0, LogCount(kNotConverted));
  EXPECT_EQ(0, LogCount(kNotNormalised));
}

TEST_F(MailDateTest, OutOfRangeFieldsCarry) {
  EXPECT_EQ("Sat Mar 02 00:00:00 2002", Convert("2002-02-30T00:00:00"));
  EXPECT_EQ("Fri Mar 01 00:00:00 2024", Convert("2024-02-30T00:00:00"));  // a leap year
  EXPECT_EQ("Thu Jan 03 01:00:00 2002", Convert("2002-01-02T25:00:00"));
  EXPECT_EQ("Tue Jan 01 00:00:00 2002", Convert("2001-13-01"));
}

TEST_F(MailDateTest, TextThatDoesNotReadIsKeptAndLogged) {
  const char* texts[] = {"2002/01/02 03:04:05", "", "2002-01-02T03", "2002-01-02T03:04", "Wed, 2 Jan 2002", "2002-01"};
  for (const char* t : texts) EXPECT_EQ(t, Convert(t));
  EXPECT_EQ(6, LogCount(kNotConverted));
  EXPECT_EQ(0, LogCount(kNotNormalised));
}

TEST_F(MailDateTest, DatesOutsideA32BitClockAreKeptAndReported) {
  const char* texts[] = {
      "1960-01-01T00:00:00", "1800-06-01", "1969-12-31T23:59:59", "2038-01-19T03:14:08", "2040-01-01",
      "2002-01-99999999999T00:00:00",  // a field too large for an int
      "2002-1000-01",                  // the carry of months leaves the range
  };
  for (const char* t : texts) EXPECT_EQ(t, Convert(t));
  EXPECT_EQ(7, LogCount(kNotNormalised));
  EXPECT_EQ("Tue Jan 19 03:14:07 2038", Convert("2038-01-19T03:14:07"));
}

TEST_F(MailDateTest, SummerDateKeepsTheServiceClockTimeUnderDaylightSaving) {
  Zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ("Mon Jul 01 12:00:00 2002", Convert("2002-07-01T12:00:00"));
  EXPECT_EQ("Tue Jan 01 12:00:00 2002", Convert("2002-01-01T12:00:00"));
  EXPECT_EQ("Sun Mar 31 02:30:00 2002", Convert("2002-03-31T02:30:00"));  // in the hour the clocks skip
}
