// Folder normalisation against the folder table, and what reaches the INI.
#include "HttpMailTest.h"

namespace {

const char kNoId[] = "[フォルダ ID が取得できませんでした]";
const char kNotStorable[] = "[フォルダ ID または名前に設定ファイルへ保存できない文字が含まれています]";

}  // namespace

class FolderTest : public HttpMailTest {
 protected:
  int List(const std::string& responses) {
    auto r = Reply(207, Multistatus(responses));
    return http_.ParseFolderReply(*r);
  }
  // The folder table as a fresh start of the host reads it back.
  CSettings Reloaded() const {
    CSettings s;
    s.iniPath = settings_.iniPath;
    s.Load();
    return s;
  }
  const CFolder& Folder(size_t i) const { return *http_.GetFolders().at(i); }
  ListingClient http_{settings_};
};

TEST_F(FolderTest, FirstListingRegistersEveryKindWithItsDefaults) {
  ASSERT_EQ(207, List(FolderResponse("http://h/1/", "F000000001", "inbox", "") +
                      FolderResponse("http://h/2/", "F000000002", "sentitems", "") +
                      FolderResponse("http://h/3/", "F000000004", "deleteditems", "") +
                      FolderResponse("http://h/4/", "F000000003", "draft", "") +
                      FolderResponse("http://h/5/", "F000000005", "bulkmail", "") +
                      FolderResponse("http://h/6/", "F000000006", "msnpromo", "") +
                      FolderResponse("http://h/7/", "Work", "", "Work")));
  const char* names[] = {"受信トレイ", "送信済み", "ごみ箱", "draft", "迷惑メール", "お知らせ", "Work"};
  const bool downloads[] = {true, false, false, false, true, false, true};
  CSettings stored = Reloaded();
  ASSERT_EQ(7u, stored.folderIds.size());
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(names[i], Folder(i).displayName) << i;
    EXPECT_EQ(downloads[i], Folder(i).download) << i;
    EXPECT_EQ(Folder(i).id, stored.folderIds[i]);
    EXPECT_EQ(names[i], stored.folderDisplays[i]);
    EXPECT_EQ(downloads[i], static_cast<bool>(stored.folderDownLoad[i]));
  }
  EXPECT_EQ("Work", stored.folderSpecials[6]);  // an own folder's kind is its id
}

TEST_F(FolderTest, StoredEntryWinsOverWhatTheServiceSaysLater) {
  ASSERT_EQ(207, List(FolderResponse("http://h/1/", "F1", "inbox", "Posteingang")));
  EXPECT_EQ("Posteingang", Folder(0).displayName);  // the reply's name at first sight
  ASSERT_EQ(207, List(FolderResponse("http://h/1/", "F1", "bulkmail", "Renamed")));
  EXPECT_EQ("Posteingang", Folder(1).displayName);
  EXPECT_EQ("inbox", Folder(1).special);
  EXPECT_EQ(1u, settings_.folderIds.size());
}

TEST_F(FolderTest, DownloadChoiceEditedInTheIniTakesEffectAfterARestart) {
  ASSERT_EQ(207, List(FolderResponse("http://h/1/", "F1", "inbox", "")));
  ASSERT_TRUE(Folder(0).download);
  WritePrivateProfileStringA("FolderDownLoad", "F1", "0", settings_.iniPath.c_str());
  settings_.Load();
  auto r = Reply(207, Multistatus(FolderResponse("http://h/1/", "F1", "inbox", "")));
  ASSERT_EQ(207, http_.ParseFolderReply(*r));
  EXPECT_FALSE(Folder(1).download);
}

TEST_F(FolderTest, OwnFolderWithAFixedIdGetsItsFixedName) {
  ASSERT_EQ(207, List(FolderResponse("http://h/d/", "F000000003", "", "")));
  EXPECT_EQ("F000000003", Folder(0).special);
  EXPECT_EQ("下書き", Folder(0).displayName);
  EXPECT_TRUE(Folder(0).download);
}

TEST_F(FolderTest, MissingIdTakesTheKindAndIsReported) {
  ASSERT_EQ(207, List(FolderResponse("http://h/i/", "", "inbox", "")));
  EXPECT_EQ("inbox", Folder(0).id);
  EXPECT_EQ(1, LogCount(kNoId));
  EXPECT_EQ(0, settings_.FindFolder("inbox"));
}

TEST_F(FolderTest, SameIdTwiceRegistersOnceAndListsBoth) {
  ASSERT_EQ(207, List(FolderResponse("http://h/a/", "F9", "sentitems", "A") +
                      FolderResponse("http://h/b/", "F9", "inbox", "B")));
  ASSERT_EQ(2u, http_.GetFolders().size());
  EXPECT_EQ("A", Folder(1).displayName);
  EXPECT_EQ("sentitems", Folder(1).special);
  EXPECT_EQ("http://h/b/", Folder(1).href);
  EXPECT_EQ(1u, Reloaded().folderIds.size());
}

TEST_F(FolderTest, RecordsThatWouldBreakTheIniStayOutOfIt) {
  // Each of these would add, cut or change lines of the INI file.
  const std::string bad[][2] = {
      {"F1&#13;&#10;[Property]&#13;&#10;POPPortNumber=1", ""}, {"F2=x", ""}, {"[F3]", ""}, {" F4", ""}, {"F5 ", ""},
      {";F6", ""}, {"F7", "Name&#13;&#10;POPPortNumber=1"}, {"F8", "\"quoted\""}, {"F9", " padded"},
  };
  std::string responses;
  for (const auto& b : bad) responses += FolderResponse("http://h/x/", b[0], "", b[1]);
  responses += FolderResponse("http://h/ok/", "OK1", "inbox", "");
  ASSERT_EQ(207, List(responses));
  // All are usable in this session, none is in the table.
  ASSERT_EQ(10u, http_.GetFolders().size());
  EXPECT_EQ("F7", Folder(6).id);
  EXPECT_EQ("Name\r\nPOPPortNumber=1", Folder(6).displayName);
  EXPECT_TRUE(Folder(6).download);
  EXPECT_EQ(9, LogCount(kNotStorable));
  CSettings stored = Reloaded();
  ASSERT_EQ(1u, stored.folderIds.size());
  EXPECT_EQ("OK1", stored.folderIds[0]);
  EXPECT_EQ(6110, stored.popPortNumber);
  EXPECT_EQ(std::string::npos, Ini().find("POPPortNumber=1\r"));
}

TEST(FolderModel, AssignDisplayNameOrder) {
  std::string name = "stale";
  CFolder::AssignDisplayName(name, "inbox");
  EXPECT_EQ("受信トレイ", name);
  CFolder::AssignDisplayName(name, "F000000005");
  EXPECT_EQ("迷惑メール", name);
  CFolder::AssignDisplayName(name, "draft");
  EXPECT_EQ("draft", name);  // no fixed name for drafts by kind
  CFolder::AssignDisplayName(name, "Inbox");
  EXPECT_EQ("Inbox", name);  // comparisons are exact
  CFolder::AssignDisplayName(name, "");
  EXPECT_EQ("", name);
}

TEST(FolderModel, DefaultDownloadByKind) {
  EXPECT_TRUE(CFolder::DefaultDownload("inbox"));
  EXPECT_TRUE(CFolder::DefaultDownload("bulkmail"));
  EXPECT_TRUE(CFolder::DefaultDownload(""));
  EXPECT_TRUE(CFolder::DefaultDownload("F000000002"));
  EXPECT_FALSE(CFolder::DefaultDownload("sentitems"));
  EXPECT_FALSE(CFolder::DefaultDownload("deleteditems"));
  EXPECT_FALSE(CFolder::DefaultDownload("draft"));
  EXPECT_FALSE(CFolder::DefaultDownload("msnpromo"));
}
