// CImapMailbox: the selected folder as one session sees it: its messages in
// sequence order with UIDs and flags. Sequence numbers follow expunges; a
// fresh listing is merged in and the changes come back as the untagged
// responses that announce them. The flags STORE sets (but \Seen) are shared
// with the other sessions on the folder (CFolderFlags): each session holds
// them as last told to its client and takes the others' changes when it
// syncs.
#ifndef KESTRELON_IMAP_MAILBOX_H
#define KESTRELON_IMAP_MAILBOX_H

#include <stdint.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "httpmail/Folder.h"
#include "httpmail/Mail.h"
#include "imap/ImapParser.h"
#include "imap/SharedFlags.h"

struct ImapMessage {
  CMail info;         // as the last listing gave it
  int64_t date = 0;   // its date in seconds since 1970-01-01 UTC; 0 when the listing had none
  uint32_t uid = 0;
  bool deleted = false;               // \Deleted (shared, as this session last told it)
  bool recent = false;                // \Recent: this session saw it first
  std::set<std::string> otherFlags;   // \Flagged, \Answered, \Draft, keywords (the same)
};

class CImapMailbox {
 public:
  CImapMailbox(CFolder folder, std::string name, bool readOnly, uint32_t uidValidity);
  virtual ~CImapMailbox();

  // The record shared with other sessions (this mailbox's own one until then).
  void ShareFlags(std::shared_ptr<CFolderFlags> shared);

  // Takes a complete listing with its UIDs. Gone messages are expunged
  // (EXPUNGE lines, highest number first, so each number is still right
  // when the client reads it), new ones appended (EXISTS), changed flags
  // announced (FETCH FLAGS). `announce` empty on the first listing.
  void Merge(const std::vector<CMail>& listing, const std::vector<uint32_t>& uids, uint32_t uidNext,
             std::vector<std::string>* announce);
  // The flags other sessions stored since the last sync, as untagged FLAGS
  // and FETCH lines.
  std::vector<std::string> SyncFlags();
  // Shares a message's flags after this session's STORE changed them.
  void PublishFlags(const ImapMessage& message);
  // Removes the message with this UID; its sequence number, or 0.
  uint32_t Expunge(uint32_t uid);
  // The message with this UID, or null. UIDs ascend with sequence numbers
  // (a listing only appends higher ones), so this is a binary search.
  ImapMessage* Find(uint32_t uid);
  // The first message of `uids`, from `next` on, that is still here and
  // has an id; `next` then points past it. Null when none is left.
  const ImapMessage* NextListed(const std::vector<uint32_t>& uids, size_t& next);

  // 0-based indexes of the messages a set names, in sequence order. A
  // sequence-number set naming a number past the last is refused (false),
  // but "1:*" and "*" of an empty folder name nothing; a UID set takes what
  // exists.
  bool Resolve(const CSequenceSet& set, bool byUid, std::vector<size_t>& indexes) const;
  std::string Flags(const ImapMessage& message) const;
  // The flags this folder knows, for the FLAGS response: the system flags
  // and the keywords stored in any session.
  std::string FlagList() const;
  enum class KeywordsAdded { None, Some, TooMany };
  // Adds keywords (system flags are skipped): whether any was new to this
  // session (FLAGS to be announced), or none was added as there is no room.
  KeywordsAdded AddKeywords(const std::vector<std::string>& flags);

  const std::string& FolderId() const { return folder_.id; }
  const CFolder& Folder() const { return folder_; }
  const std::string& Name() const { return name_; }
  bool ReadOnly() const { return readOnly_; }
  uint32_t UidValidity() const { return uidValidity_; }
  uint32_t UidNext() const { return uidNext_; }
  uint32_t LargestUid() const { return messages_.empty() ? 0 : messages_.back().uid; }
  size_t Unseen() const;
  size_t Recent() const;
  // Marks \Recent the messages above `claimedBefore` (the largest UID some
  // session had seen); how many are recent now.
  size_t MarkRecent(uint32_t claimedBefore);
  std::vector<ImapMessage>& Messages() { return messages_; }
  const std::vector<ImapMessage>& Messages() const { return messages_; }

 private:
  CFolder folder_;
  std::string name_;
  bool readOnly_;
  uint32_t uidValidity_;
  uint32_t uidNext_ = 1;
  std::vector<ImapMessage> messages_;  // ascending UIDs
  std::vector<std::string> keywords_;  // as last told to the client
  std::shared_ptr<CFolderFlags> shared_;
  uint64_t synced_ = 0;  // the shared record's version this session has taken

  // Takes the flags changed since the last sync into the messages; their
  // UIDs. A FLAGS line goes first into `announce` when keywords changed.
  std::vector<uint32_t> TakeShared(std::vector<std::string>* announce);
  std::string FlagsLine(size_t index) const;
};

#endif
