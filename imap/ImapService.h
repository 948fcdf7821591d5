// CImapService: the IMAP backend of one connection over the HTTPMail
// client. Each operation submits a request marked with the connection's
// serial and tells the server that the connection waits for a job; the
// reply comes back through OnReply, the server's job message follows, and
// Complete then reads the reply and runs the session's callback. One
// operation runs at a time, as the session never starts a second before the
// first has completed.
#ifndef KESTRELON_IMAP_SERVICE_H
#define KESTRELON_IMAP_SERVICE_H

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "httpmail/HotmailHTTP.h"
#include "imap/ImapBackend.h"

class CImapService : public CImapBackend {
 public:
  struct Hooks {
    std::function<void()> startJob;            // the connection now waits for a job
    std::function<void(LPARAM result)> jobDone;  // posts the job's completion message
  };

  CImapService(CHotmailHTTP& http, unsigned serial, Hooks hooks);
  ~CImapService() override;

  // The finished request of this connection (WM_HTTP_SESSION_DONE).
  void OnReply(std::unique_ptr<CHotmailRequest> request);
  // The job message: reads the reply and runs the waiting callback.
  void Complete(LPARAM result);

  void Login(const ImapCredentials& credentials, Done done) override;
  void ListFolders(const ImapCredentials& credentials, FoldersDone done) override;
  void ListMessages(const ImapCredentials& credentials, const std::string& folderId, MessagesDone done) override;
  void FetchMessage(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
                    TextDone done) override;
  void SetRead(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
               bool read, Done done) override;
  void Move(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
            const std::string& destinationId, TextDone done) override;
  void Copy(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
            const std::string& destinationId, TextDone done) override;
  void Delete(const ImapCredentials& credentials, const std::string& folderId, const std::string& messageId,
              Done done) override;

  // What a finished request's status means to a session.
  static BackendResult ResultOf(LPARAM result);

 private:
  using Reader = std::function<void(CHotmailRequest* reply, LPARAM result)>;
  // Submits `request` (null: could not be built) and waits; `reader` gets
  // the reply, or null with -1 when there is none.
  void Run(std::unique_ptr<CHotmailRequest> request, Reader reader);
  std::string MessageHref(const std::string& folderId, const std::string& messageId) const;
  void Transfer(bool move, const CCredentials& credentials, const std::string& href, const std::string& folderId,
                const std::string& destinationId, const std::string& newId, bool retried, TextDone done);

  CHotmailHTTP& http_;
  unsigned serial_;
  Hooks hooks_;
  Reader reader_;
  std::unique_ptr<CHotmailRequest> reply_;
  std::map<std::string, std::string> folderHrefs_;                                // folder id -> href
  std::map<std::pair<std::string, std::string>, std::string> messageHrefs_;       // (folder, message) -> href
};

#endif
