// CFolderFlags: the flags STORE sets other than \Seen (which is the read
// mark on the service) and \Recent (per session): \Deleted, \Answered,
// \Flagged, \Draft and keywords, one record per account and folder that
// every session of this process with the folder selected shares. They live
// as long as the process, not in a file, so PERMANENTFLAGS does not name
// them. A message's entry goes when the message leaves the folder; the
// keywords of a folder are capped.
#ifndef KESTRELON_IMAP_SHARED_FLAGS_H
#define KESTRELON_IMAP_SHARED_FLAGS_H

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct ImapFlags {
  bool deleted = false;
  std::set<std::string> others;  // \Answered, \Flagged, \Draft, keywords
};

class CFolderFlags {
 public:
  static constexpr size_t kMaxKeywords = 100;

  explicit CFolderFlags(uint32_t uidValidity) : uidValidity_(uidValidity) {}

  uint32_t UidValidity() const { return uidValidity_; }
  // Raised by every change: a session that saw this version has seen all.
  uint64_t Version() const { return version_; }
  // The flags of a message; none when nothing was stored for it.
  ImapFlags Get(uint32_t uid) const;
  void Set(uint32_t uid, const ImapFlags& flags);
  // The message left the folder.
  void Drop(uint32_t uid);
  // A complete listing's UIDs: the entries of every other message go.
  void Retain(const std::vector<uint32_t>& uids);
  // The UIDs changed after `version`, ascending.
  std::vector<uint32_t> ChangedSince(uint64_t version) const;

  // The keywords in the order first stored.
  const std::vector<std::string>& Keywords() const { return keywords_; }
  // Adds those not known yet, all or none: false when the folder has no
  // room for them (after dropping those no message carries).
  bool AddKeywords(const std::vector<std::string>& keywords);

 private:
  struct Entry {
    ImapFlags flags;
    uint64_t version = 0;
  };
  void Erase(std::map<uint32_t, Entry>::iterator at);

  uint32_t uidValidity_;
  uint64_t version_ = 0;
  std::map<uint32_t, Entry> entries_;     // by UID
  std::map<uint64_t, uint32_t> changes_;  // an entry's last version -> its UID
  std::vector<std::string> keywords_;
};

// The records of every account and folder, kept by the IMAP server.
class CSharedFlags {
 public:
  // A folder's record, started over when its UIDs were (a new UIDVALIDITY).
  std::shared_ptr<CFolderFlags> Folder(const std::string& folderKey, uint32_t uidValidity);

 private:
  std::map<std::string, std::shared_ptr<CFolderFlags>> folders_;
};

#endif
