#include <windows.h>

#include <gtest/gtest.h>

#include "config/Settings.h"
#include "config/SetupDialog.h"
#include "support/TempDir.h"

namespace {

class SettingsTest : public testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.File("Kestrelon.ini");
  CSettings Loaded() {
    CSettings s;
    s.iniPath = ini;
    s.Load();
    return s;
  }
};

// The defaults, as the first save writes them.
TEST_F(SettingsTest, MissingFileGivesDefaultsAndFirstSaveCreatesIt) {
  CSettings s = Loaded();
  EXPECT_EQ("deleteditems", s.deleteTarget);
  EXPECT_TRUE(s.folderIds.empty());
  s.Save();
  EXPECT_EQ(
      "[Property]\r\nPOPPortNumber=6110\r\nSMTPPortNumber=6025\r\nHttpTimeOut=15\r\nThreadCount=1\r\n"
      "DeleteMode=1\r\nLog=0\r\nOnlyNotRead=0\r\nDoNotUseProxy=0\r\nServiceHost=services.msn.com\r\n"
      "ServiceNamespace=http://schemas.microsoft.com/hotmail/\r\n\r\n[Folder]\r\nCount=0\r\n",
      ReadFile(ini));
}

TEST_F(SettingsTest, SaveThenLoadCarriesEveryField) {
  CSettings s;
  s.iniPath = ini;
  s.popPortNumber = 7110;
  s.smtpPortNumber = 7025;
  s.httpTimeOut = 30;
  s.threadCount = 3;
  s.deleteMode = 2;
  s.log = true;
  s.onlyNotRead = true;
  s.doNotUseProxy = true;
  s.serviceHost = "127.0.0.1:8080";
  s.serviceNamespace = "urn:example:ns";
  s.AppendFolder("F000000001", "inbox", "受信トレイ", true);
  s.AppendFolder("Mine", "", "自分のフォルダ", false);
  s.Save();

  CSettings t = Loaded();
  EXPECT_EQ(7110, t.popPortNumber);
  EXPECT_EQ(7025, t.smtpPortNumber);
  EXPECT_EQ(30, t.httpTimeOut);
  EXPECT_EQ(3, t.threadCount);
  EXPECT_EQ(2, t.deleteMode);
  EXPECT_TRUE(t.log);
  EXPECT_TRUE(t.onlyNotRead);
  EXPECT_TRUE(t.doNotUseProxy);
  EXPECT_EQ("127.0.0.1:8080", t.serviceHost);
  EXPECT_EQ("urn:example:ns", t.serviceNamespace);
  EXPECT_EQ(s.folderIds, t.folderIds);
  EXPECT_EQ(s.folderSpecials, t.folderSpecials);
  EXPECT_EQ(s.folderDisplays, t.folderDisplays);
  EXPECT_EQ(s.folderDownLoad, t.folderDownLoad);
}

TEST_F(SettingsTest, MissingRecordIsSkippedAndSaveRenumbersButKeepsOldKeys) {
  WriteFile(ini,
            "[Folder]\r\nCount=3\r\n0=A\r\n2=C\r\n[FolderSpecial]\r\nA=inbox\r\nC=\r\n"
            "[FolderDownLoad]\r\nA=2\r\nC=0\r\n");
  CSettings s = Loaded();
  ASSERT_EQ(2u, s.folderIds.size());
  EXPECT_EQ("A", s.folderIds[0]);
  EXPECT_EQ("C", s.folderIds[1]);
  EXPECT_EQ("inbox", s.folderSpecials[0]);
  EXPECT_TRUE(s.folderDownLoad[0]);  // "2" is non-zero
  EXPECT_FALSE(s.folderDownLoad[1]);
  s.Save();
  EXPECT_EQ(2, static_cast<int>(GetPrivateProfileIntA("Folder", "Count", -1, ini.c_str())));
  char buf[64];
  GetPrivateProfileStringA("Folder", "1", "", buf, sizeof buf, ini.c_str());
  EXPECT_STREQ("C", buf);
  GetPrivateProfileStringA("Folder", "2", "", buf, sizeof buf, ini.c_str());
  EXPECT_STREQ("C", buf);  // the old key stays and is ignored by the next load
  GetPrivateProfileStringA("FolderDownLoad", "A", "", buf, sizeof buf, ini.c_str());
  EXPECT_STREQ("1", buf);
  EXPECT_EQ(2u, Loaded().folderIds.size());
}

TEST_F(SettingsTest, FindFolderIsExactAndReturnsTheFirstOfTwins) {
  WriteFile(ini, "[Folder]\nCount=3\n0=inbox\n1=X\n2=inbox\n[FolderDisplay]\ninbox=first\n");
  CSettings s = Loaded();
  ASSERT_EQ(3u, s.folderIds.size());
  EXPECT_EQ(0, s.FindFolder("inbox"));
  EXPECT_EQ(-1, s.FindFolder("Inbox"));
  EXPECT_EQ(-1, s.FindFolder("inbo"));
  EXPECT_EQ(1, s.FindFolder("X"));
  EXPECT_EQ("first", s.folderDisplays[2]);  // both twins read the same keys
}

TEST_F(SettingsTest, NegativeOrZeroCountReadsNoRecords) {
  WriteFile(ini, "[Folder]\nCount=-2\n0=A\n");
  EXPECT_TRUE(Loaded().folderIds.empty());
  // A corrupt count is bounded by the records present, read in order.
  WriteFile(ini, "[Folder]\nCount=2000000000\n7=B\n00=X\n0=A\n2000000000=Y\n");
  CSettings s = Loaded();
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), s.folderIds);
}

TEST_F(SettingsTest, SetupDialogOkCarriesOnlyTheEditedFields) {
  CSettings live = Loaded();
  CSetupDialog dialog(nullptr);
  dialog.settings = live;
  const CSettings opened = live;
  // While the dialog is open, the host's messages run on.
  live.AppendFolder("F1", "inbox", "Inbox", true);
  live.doNotUseProxy = true;
  dialog.settings.popPortNumber = 7110;
  dialog.settings.log = true;
  dialog.ApplyEdits(opened, live);
  EXPECT_EQ(7110, live.popPortNumber);
  EXPECT_TRUE(live.log);
  EXPECT_TRUE(live.doNotUseProxy) << "the HTTP layer's switch stays";
  EXPECT_EQ(1u, live.folderIds.size()) << "the folder seen stays";
  // A switch the user turned is taken.
  dialog.settings.doNotUseProxy = true;
  live.doNotUseProxy = false;
  CSettings reopened = opened;
  reopened.doNotUseProxy = false;
  dialog.ApplyEdits(reopened, live);
  EXPECT_TRUE(live.doNotUseProxy);
}

TEST_F(SettingsTest, SaveOverwritesHandEditsKeyByKey) {
  CSettings s = Loaded();
  s.Save();
  WriteFile(ini, ReadFile(ini) + "; a comment\r\n[Other]\r\nKeep=yes\r\n");
  WritePrivateProfileStringA("Property", "POPPortNumber", "9999", ini.c_str());
  s.Save();
  CSettings t = Loaded();
  EXPECT_EQ(6110, t.popPortNumber);
  EXPECT_NE(std::string::npos, ReadFile(ini).find("; a comment\r\n[Other]\r\nKeep=yes\r\n"));
}

TEST_F(SettingsTest, LongValuesAreCutTo1023Characters) {
  std::string id(1500, 'x');
  WriteFile(ini, "[Folder]\nCount=1\n0=" + id + "\n");
  CSettings s = Loaded();
  ASSERT_EQ(1u, s.folderIds.size());
  EXPECT_EQ(std::string(1023, 'x'), s.folderIds[0]);
}

// Each number of the INI file: a whole decimal number in its key's range is
// taken, anything else is refused and replaced by the key's default.
TEST_F(SettingsTest, NumbersOutsideTheirRangeAreRefusedAndReplacedByTheDefault) {
  struct Row {
    const char* line;
    int CSettings::*field;
    int expected;
    bool refused;
  };
  const Row rows[] = {
      {"POPPortNumber=abc", &CSettings::popPortNumber, 6110, true},
      {"POPPortNumber=70000", &CSettings::popPortNumber, 6110, true},
      {"POPPortNumber=0", &CSettings::popPortNumber, 6110, true},
      {"POPPortNumber=6110x", &CSettings::popPortNumber, 6110, true},
      {"POPPortNumber=-1", &CSettings::popPortNumber, 6110, true},
      {"POPPortNumber=65535", &CSettings::popPortNumber, 65535, false},
      {"POPPortNumber=", &CSettings::popPortNumber, 6110, false},  // empty: the default
      {"SMTPPortNumber=99999999999", &CSettings::smtpPortNumber, 6025, true},
      {"SMTPPortNumber= 7025 ", &CSettings::smtpPortNumber, 7025, false},
      {"IMAPPortNumber=0", &CSettings::imapPortNumber, 0, false},  // 0: no IMAP server
      {"IMAPPortNumber=65536", &CSettings::imapPortNumber, 6143, true},
      {"IMAPCacheSize=-1", &CSettings::imapCacheSize, 256, true},
      {"HttpTimeOut=0", &CSettings::httpTimeOut, 0, false},
      {"HttpTimeOut=1e3", &CSettings::httpTimeOut, 15, true},
      {"ThreadCount=0", &CSettings::threadCount, 1, true},
      {"IdleTimeOut=-5", &CSettings::idleTimeOut, 600, true},
      {"DeleteMode=7", &CSettings::deleteMode, 7, false},  // any other number keeps
      {"DeleteMode=move", &CSettings::deleteMode, 1, true},
  };
  for (const Row& row : rows) {
    WriteFile(ini, std::string("[Property]\n") + row.line + "\n");
    CSettings s = Loaded();
    EXPECT_EQ(row.expected, s.*row.field) << row.line;
    ASSERT_EQ(row.refused ? 1u : 0u, s.refused.size()) << row.line;
    if (!row.refused) continue;
    const std::string line = row.line;
    EXPECT_EQ(line.substr(0, line.find('=')), s.refused[0].key);
    EXPECT_EQ(line.substr(line.find('=') + 1), s.refused[0].value);
    EXPECT_EQ(row.expected, s.refused[0].used);
  }
  // Flags: any number, non-zero is on; a word is refused.
  WriteFile(ini, "[Property]\nLog=7\nOnlyNotRead=yes\n[Folder]\nCount=1\n0=F1\n[FolderDownLoad]\nF1=x\n");
  CSettings s = Loaded();
  EXPECT_TRUE(s.log);
  EXPECT_FALSE(s.onlyNotRead);
  ASSERT_EQ(1u, s.folderIds.size());
  EXPECT_FALSE(s.folderDownLoad[0]);
  ASSERT_EQ(2u, s.refused.size());
  EXPECT_EQ("OnlyNotRead", s.refused[0].key);
  EXPECT_EQ("[FolderDownLoad] F1", s.refused[1].key);
}

}  // namespace

// ServiceURL and ServiceCertPin: a bad value is refused and the default
// kept; a good one is taken as written (the pin normalised).
TEST(ServiceURLTest, OnlyHttpAndHttpsURLsWithAHostAreTaken) {
  struct Row {
    const char* text;
    bool taken;
  } rows[] = {
      {"https://mail.example.net/httpmail", true}, {"HTTP://127.0.0.1:8080/svcs/x.asp", true},
      {"https://[::1]:8443/", true},               {"https://host", true},
      {"ftp://host/x", false},                     {"https:/host/x", false},
      {"https://", false},                         {"https://:443/x", false},
      {"https://host:0/x", false},                 {"https://host:65536/x", false},
      {"https://host:/x", false},                  {"https://user:pw@host/x", false},
      {"https://host/a b", false},                 {"host/x", false},
  };
  for (const Row& row : rows) EXPECT_EQ(row.taken, IsServiceURL(row.text)) << row.text;
  const std::string digits(64, 'a');
  std::string colons;
  for (int i = 0; i < 32; ++i) colons += std::string(i ? ":" : "") + "AB";
  EXPECT_EQ(digits, NormalizePin(digits));
  std::string lower;
  for (int i = 0; i < 32; ++i) lower += "ab";
  EXPECT_EQ(lower, NormalizePin(colons));
  for (const std::string& bad : {digits.substr(1), digits + "a", digits.substr(1) + "g", ":" + digits, digits + ":",
                                std::string("a:") + digits.substr(1)})
    EXPECT_EQ("", NormalizePin(bad)) << bad;
}

TEST_F(SettingsTest, BadServiceURLAndPinAreRefusedAtLoadWithTheDefaultKept) {
  WritePrivateProfileStringA("Property", "ServiceHost", "127.0.0.1:1", ini.c_str());
  WritePrivateProfileStringA("Property", "ServiceURL", "gopher://x/", ini.c_str());
  WritePrivateProfileStringA("Property", "ServiceCertPin", "12:34", ini.c_str());
  CSettings s = Loaded();
  EXPECT_EQ("http://127.0.0.1:1/svcs/hotmail/httpmail.asp", s.EntryURL());
  EXPECT_EQ("", s.serviceCertPin);
  EXPECT_EQ(2u, s.refusedReasons.size());
  WritePrivateProfileStringA("Property", "ServiceURL", "https://127.0.0.1:2/other/path", ini.c_str());
  s = Loaded();
  EXPECT_EQ("https://127.0.0.1:2/other/path", s.EntryURL());
  EXPECT_EQ(1u, s.refusedReasons.size());
  s.Save();  // set by hand only: a save leaves it as written
  EXPECT_EQ("https://127.0.0.1:2/other/path", Loaded().serviceURL);
}
