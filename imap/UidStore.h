// CUidStore: the IMAP UIDs of every folder, kept in a file so that they
// stay the same across sessions and restarts. A folder's record holds its
// UIDVALIDITY, the next UID to give and the UID of each message id. Known
// ids keep their UIDs, a message that leaves a folder loses its UID there,
// new ids get higher ones, and a folder whose record is lost (or whose
// last save failed) starts over with a new, higher UIDVALIDITY.
#ifndef KESTRELON_UID_STORE_H
#define KESTRELON_UID_STORE_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

class CUidStore {
 public:
  struct FolderRecord {
    uint32_t validity = 0;
    uint32_t next = 1;
    std::map<std::string, uint32_t> uids;  // message id -> UID
  };

  // `path`: the file; empty keeps the UIDs in memory only.
  explicit CUidStore(std::string path);
  virtual ~CUidStore();

  // Reads the file. A missing file is an empty store; a file that does
  // not read whole is dropped (false), so every folder gets a new
  // UIDVALIDITY rather than UIDs that may be wrong.
  bool Load();
  // Writes the file through a temporary one; false when that fails, which
  // is logged (once until a save succeeds again) and marks the file so that
  // the next start does not trust it.
  bool Save();

  // Gives the messages of one complete folder listing their UIDs (in
  // `uids`, in listing order) and forgets ids no longer listed. True when
  // the record changed.
  bool Assign(const std::string& account, const std::string& folderId, const std::vector<std::string>& ids,
              std::vector<uint32_t>& uids);
  // The UID of one message, given a new one when it has none (the folder
  // starts over when it is out of UIDs).
  uint32_t Add(const std::string& account, const std::string& folderId, const std::string& id);
  // The message has left the folder: should it come back, it gets a new UID.
  void Remove(const std::string& account, const std::string& folderId, const std::string& id);
  // The folder's record, made when there is none.
  const FolderRecord& Folder(const std::string& account, const std::string& folderId);

  // The escaping the file uses for account, folder and message ids.
  static std::string Escape(const std::string& text);
  static bool Unescape(const std::string& text, std::string& out);

 private:
  FolderRecord& Record(const std::string& account, const std::string& folderId, bool* created);
  // A validity above `above` and above every one made before.
  uint32_t NewValidity(uint32_t above);
  void StartOver(FolderRecord& record);
  void MarkLost();

  std::string path_;
  std::map<std::string, FolderRecord> folders_;  // "account folder" -> record
  uint32_t lastValidity_ = 0;
  uint32_t runValidity_ = 0;  // the one this run gives new records
  bool saveFailed_ = false;
};

#endif
