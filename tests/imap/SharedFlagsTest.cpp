// The flags the sessions of a folder share: what a session learns when it
// looks again, and that a message's entry goes when the message does.
#include <gtest/gtest.h>

#include "imap/SharedFlags.h"

TEST(SharedFlagsTest, ChangesAreListedAndEntriesGoWithTheirMessages) {
  CFolderFlags folder(7);
  ImapFlags flagged, none;
  flagged.others = {"\\Flagged"};
  for (uint32_t uid : {3u, 1u, 2u}) folder.Set(uid, flagged);
  const uint64_t seen = folder.Version();
  folder.Set(2, flagged);  // no change
  folder.Set(1, none);     // taken away: the others must still learn it
  folder.Set(4, none);     // nothing was stored: no entry
  EXPECT_EQ(std::vector<uint32_t>{1}, folder.ChangedSince(seen));
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3}), folder.ChangedSince(0));
  folder.Retain({2, 4});  // 1 and 3 left the folder
  EXPECT_EQ(std::vector<uint32_t>{2}, folder.ChangedSince(0));
  folder.Drop(2);
  EXPECT_TRUE(folder.ChangedSince(0).empty());
  EXPECT_TRUE(folder.Get(2).others.empty());
  // A folder whose UIDs started over starts with no flags.
  CSharedFlags shared;
  shared.Folder("a\nF1", 1)->Set(5, flagged);
  EXPECT_EQ(1u, shared.Folder("a\nF1", 1)->ChangedSince(0).size());
  EXPECT_TRUE(shared.Folder("a\nF1", 2)->ChangedSince(0).empty());
}
