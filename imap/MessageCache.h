// CMessageCache: what the gateway learned of messages, kept on disk, so
// that a client's header scan does not download them again, even after a
// restart. A message never changes under its id, so what was learned of
// it holds while it is listed with the same size; entries of messages no
// longer listed are dropped. All lives in one folder beside the INI file:
// per account and folder a file of summaries (the header block, BODY and
// BODYSTRUCTURE), and whole texts in files of their own, all under one
// bound. A file that does not read back whole and as ours is ignored and
// made anew: the cache may make the gateway slower, never wrong.
#ifndef KESTRELON_IMAP_MESSAGE_CACHE_H
#define KESTRELON_IMAP_MESSAGE_CACHE_H

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "httpmail/Mail.h"
#include "imap/MimePart.h"

class CMessageCache;

// Where BODY[n] of a message lies in its text, n as "1.2".
struct CachedPart {
  std::string path;
  uint64_t first = 0;
  uint64_t size = 0;
};

struct CachedMessage {
  uint64_t size = 0;      // as listed when it was learned
  std::string header;     // the header block, with the blank line that ends it
  std::string body;       // BODY
  std::string structure;  // BODYSTRUCTURE
  std::vector<CachedPart> parts;
  uint64_t textSize = 0;  // 0: the text is not kept
  uint64_t textSum = 0;
  uint64_t stamp = 0;  // when its text was kept: the oldest goes first
};

// A cached header block parsed as a message of its own: what header items
// and header searches read.
struct CachedHeader {
  std::string text;
  std::unique_ptr<CMimePart> tree;
  void Take(const CachedMessage& message) {
    text = message.header;
    tree = CMimePart::Parse(text);
  }
};

// One folder of one account, shared by the sessions that select it.
class CFolderCache {
 public:
  CFolderCache(CMessageCache& owner, std::string key, std::string account, std::string folderId);
  CFolderCache(const CFolderCache&) = delete;
  CFolderCache& operator=(const CFolderCache&) = delete;
  virtual ~CFolderCache();

  // What is known of the message listed with this id and size, or null.
  const CachedMessage* Find(const std::string& id, uint64_t size) const;
  const CachedMessage* Find(const CMail& mail) const { return Find(mail.id, static_cast<uint64_t>(mail.size)); }
  static const CachedPart* FindPart(const CachedMessage& message, const std::string& path);
  // Its kept text; false (and the text forgotten) when the file is gone or
  // not what was written.
  bool ReadText(const std::string& id, std::string& text);
  // Learns a downloaded message: its summary, and with `keepText` its text
  // while the bound allows (a file each: not for texts that were wanted
  // only for their header).
  void Learn(const std::string& id, uint64_t size, const std::string& text, const CMimePart& tree, bool keepText);
  // Forgets every message not in a complete listing.
  void Retain(const std::vector<std::string>& listed);
  // Writes the summaries when they changed.
  void Save();

  // The bytes on disk: the summary file and the texts.
  uint64_t Bytes() const { return summaryBytes_ + textBytes_; }
  size_t Count() const { return entries_.size(); }

 private:
  void Load();
  std::string Serialize() const;
  bool Parse(const std::string& data);
  std::string SummaryPath() const;
  std::string TextPath(const std::string& id) const;
  void DropText(const std::string& id, CachedMessage& entry);
  // Forgets an entry and its text; the entry after it.
  std::map<std::string, CachedMessage>::iterator Drop(std::map<std::string, CachedMessage>::iterator entry);
  // Makes room for `bytes` more, dropping this folder's oldest texts.
  bool MakeRoom(uint64_t bytes, const std::string& keep);

  CMessageCache& owner_;
  std::string key_;  // the file names' stem
  std::string account_;
  std::string folderId_;
  std::map<std::string, CachedMessage> entries_;
  uint64_t summaryBytes_ = 0;  // as last written
  uint64_t textBytes_ = 0;
  uint64_t nextStamp_ = 1;
  bool changed_ = false;
};

class CMessageCache {
 public:
  // `folder` is made when missing; a bound of 0 keeps nothing.
  CMessageCache(std::string folder, uint64_t bound);
  CMessageCache(const CMessageCache&) = delete;
  CMessageCache& operator=(const CMessageCache&) = delete;
  virtual ~CMessageCache();

  // The folder's cache, loaded when no session holds it; null when the
  // cache is off.
  std::shared_ptr<CFolderCache> Folder(const std::string& account, const std::string& folderId);

  bool On() const { return bound_ > 0 && usable_; }
  uint64_t Bound() const { return bound_; }
  uint64_t Used() const;
  const std::string& Path() const { return folder_; }

  // A text kept beyond this share of the bound would leave too little room
  // for the rest.
  static constexpr uint64_t kLargestTextShare = 8;

 private:
  friend class CFolderCache;
  // A folder's bytes on disk, recorded in the ledger so that the bound
  // counts the folders not loaded since the start too.
  void Account(const std::string& key, uint64_t bytes);
  std::string LedgerPath() const;
  void LoadLedger();
  void SaveLedger();

  std::string folder_;
  uint64_t bound_;
  bool usable_ = false;
  std::map<std::string, uint64_t> ledger_;
  std::map<std::string, std::weak_ptr<CFolderCache>> open_;
};

#endif
