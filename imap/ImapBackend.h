// CImapBackend: what the IMAP sessions need of the account's service. Each
// operation completes later, through its callback, on the thread that
// started it; a session that ends first drops the callbacks it gave.
#ifndef KESTRELON_IMAP_BACKEND_H
#define KESTRELON_IMAP_BACKEND_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

enum class BackendResult { Ok, AuthFailed, Unavailable, NotFound, Failed };

struct ImapFolderInfo {
  std::string id;
  std::string displayName;  // UTF-8: IMAP names are Unicode
  std::string kind;         // the service's special kind: "inbox", "sentitems", ...
};

struct ImapMessageInfo {
  std::string id;
  uint32_t size = 0;
  int64_t date = 0;  // seconds since 1970-01-01 UTC; 0 when the listing had none
  std::string from;
  std::string to;
  std::string subject;
  bool read = false;
};

struct ImapCredentials {
  std::string userName;
  std::string password;
};

class CImapBackend {
 public:
  using Done = std::function<void(BackendResult)>;
  using FoldersDone = std::function<void(BackendResult, const std::vector<ImapFolderInfo>&)>;
  using MessagesDone = std::function<void(BackendResult, const std::vector<ImapMessageInfo>&)>;
  using TextDone = std::function<void(BackendResult, const std::string&)>;

  virtual ~CImapBackend() {}
  virtual void Login(const ImapCredentials& credentials, Done done) = 0;
  virtual void ListFolders(const ImapCredentials& credentials, FoldersDone done) = 0;
  virtual void ListMessages(const ImapCredentials& credentials, const std::string& folderId, MessagesDone done) = 0;
  // The message's text, exactly as the service holds it.
  virtual void FetchMessage(const ImapCredentials& credentials, const std::string& folderId,
                            const std::string& messageId, TextDone done) = 0;
  virtual void SetRead(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
                       bool read, Done done) = 0;
  // Move and copy give the message's id in the destination folder.
  virtual void Move(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
                    const std::string& destinationId, TextDone done) = 0;
  virtual void Copy(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
                    const std::string& destinationId, TextDone done) = 0;
  virtual void Delete(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
                      Done done) = 0;
};

#endif
