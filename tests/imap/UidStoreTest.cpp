// UIDs survive a reload, grow for new messages, and a lost or damaged
// record gives a new UIDVALIDITY rather than reused UIDs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/UidStore.h"
#include "support/TempDir.h"

namespace {

std::vector<uint32_t> Assign(CUidStore& store, const std::string& folder, const std::vector<std::string>& ids) {
  std::vector<uint32_t> uids;
  store.Assign("Demo@hotmail.com", folder, ids, uids);
  return uids;
}

TEST(UidStoreTest, UidsStayAcrossReloadAndNewMessagesGetHigherOnes) {
  TempDir dir;
  std::string path = dir.File("Kestrelon.uid");
  uint32_t validity;
  {
    CUidStore store(path);
    ASSERT_TRUE(store.Load());  // no file yet: empty
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3}), Assign(store, "F1", {"a", "b c%", "\xE6\x97\xA5"}));
    EXPECT_EQ((std::vector<uint32_t>{1}), Assign(store, "F2", {"a"}));
    validity = store.Folder("demo@hotmail.com", "F1").validity;
    ASSERT_TRUE(store.Save());
  }
  CUidStore store(path);
  ASSERT_TRUE(store.Load());
  EXPECT_EQ(validity, store.Folder("DEMO@hotmail.com", "F1").validity);
  // "b c%" expunged, "d" new: the UID of a gone message is not given again.
  EXPECT_EQ((std::vector<uint32_t>{1, 3, 4}), Assign(store, "F1", {"a", "\xE6\x97\xA5", "d"}));
  EXPECT_EQ((std::vector<uint32_t>{5}), Assign(store, "F1", {"b c%"}));
  EXPECT_EQ(6u, store.Add("demo@hotmail.com", "F1", "moved-in"));
  EXPECT_EQ(6u, store.Add("demo@hotmail.com", "F1", "moved-in"));
  EXPECT_EQ((std::vector<uint32_t>{1, 1}), Assign(store, "F2", {"a", "a"}));
  // An empty folder's record is kept too.
  std::vector<uint32_t> uids;
  EXPECT_TRUE(store.Assign("demo@hotmail.com", "F3", {}, uids));
  EXPECT_FALSE(store.Assign("demo@hotmail.com", "F3", {}, uids));
}

TEST(UidStoreTest, LostOrDamagedRecordGivesNewValidity) {
  TempDir dir;
  std::string path = dir.File("Kestrelon.uid");
  uint32_t validity;
  std::string saved;
  {
    CUidStore store(path);
    Assign(store, "F1", {"a", "b"});
    validity = store.Folder("demo@hotmail.com", "F1").validity;
    ASSERT_TRUE(store.Save());
    saved = ReadFile(path);
  }
  const std::string kDamaged[] = {
      saved.substr(0, saved.size() - 1),                     // cut short
      "",                                                    // empty
      "something else\r\n",                                  // not ours
      saved + "99 zz\r\n",                                   // UID not below the next one
      saved + "1 %4\r\n",                                    // bad escape
  };
  for (const std::string& damaged : kDamaged) {
    WriteFile(path, damaged);
    CUidStore store(path);
    EXPECT_FALSE(store.Load()) << damaged;
    if (damaged.compare(0, 16, "kestrelon-uids 1") == 0) {
      EXPECT_GT(store.Folder("demo@hotmail.com", "F1").validity, validity) << damaged;
    }
    EXPECT_EQ((std::vector<uint32_t>{1}), Assign(store, "F1", {"b"}));
  }
  // Two starts without the file (its last validity gone with it), within
  // one second or not: each gives a validity above every one before.
  std::remove(path.c_str());
  for (int start = 0; start < 2; ++start) {
    CUidStore store(path);
    EXPECT_TRUE(store.Load());
    EXPECT_GT(store.Folder("demo@hotmail.com", "F1").validity, validity);
    validity = store.Folder("demo@hotmail.com", "F1").validity;
  }
  // Folder ids and message ids of any bytes survive the escaping.
  for (const std::string& text : {std::string(""), std::string("%"), std::string("a b\r\n\x01\xFF%25")}) {
    std::string back;
    ASSERT_TRUE(CUidStore::Unescape(CUidStore::Escape(text), back));
    EXPECT_EQ(text, back);
  }
}

TEST(UidStoreTest, ExhaustedUidSpaceStartsOverUnderAHigherValidity) {
  TempDir dir;
  std::string path = dir.File("Kestrelon.uid");
  WriteFile(path, "kestrelon-uids 1 1000\r\nF 1000 4294967295 demo@hotmail.com F1\r\n7 a\r\n");
  CUidStore store(path);
  ASSERT_TRUE(store.Load());
  // Known messages keep their UIDs and UIDNEXT stays a UID; a new one has none left.
  EXPECT_EQ((std::vector<uint32_t>{7}), Assign(store, "F1", {"a"}));
  EXPECT_EQ(4294967295u, store.Folder("demo@hotmail.com", "F1").next);
  EXPECT_EQ((std::vector<uint32_t>{1, 2}), Assign(store, "F1", {"a", "b"}));
  EXPECT_GT(store.Folder("demo@hotmail.com", "F1").validity, 1000u);
  EXPECT_EQ(3u, store.Folder("demo@hotmail.com", "F1").next);
}

TEST(UidStoreTest, SaveFailsCleanlyWhereNoFileCanBeWritten) {
  TempDir dir;
  CUidStore store(dir.File("no-such-folder/Kestrelon.uid"));
  Assign(store, "F1", {"a"});
  EXPECT_FALSE(store.Save());
}

}  // namespace
