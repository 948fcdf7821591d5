// CMailService: what the front ends ask of the mail service, one operation
// at a time, each for the credentials of the connection that asks. Every
// operation completes later, once, on the window thread, through the
// completion it was given; one that cannot even be started completes at
// once with Unreachable. CHotmailHTTP is the one implementation; tests give
// their own.
#ifndef KESTRELON_MAIL_SERVICE_H
#define KESTRELON_MAIL_SERVICE_H

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "httpmail/Credentials.h"
#include "httpmail/Folder.h"
#include "httpmail/Mail.h"

// What an operation came to.
struct MailResult {
  enum class Outcome {
    Ok,           // the service did what was asked
    Unreachable,  // no answer, or one that could not be read
    Refused,      // the service answered with another status (`status`)
  };
  Outcome outcome = Outcome::Unreachable;
  int status = 0;  // the service's HTTP status; 0 when it did not answer

  static MailResult Done(int status) { return {Outcome::Ok, status}; }
  static MailResult NoAnswer() { return {Outcome::Unreachable, 0}; }
  static MailResult RefusedWith(int status) { return {Outcome::Refused, status}; }

  bool Ok() const { return outcome == Outcome::Ok; }
  bool Unreachable() const { return outcome == Outcome::Unreachable; }
  bool Refused(int code) const { return outcome == Outcome::Refused && status == code; }
  bool CredentialsRefused() const { return Refused(401) || Refused(403); }
  // Refused, but not for the credentials: after a skipped discovery, the
  // account may have moved.
  bool RefusedOtherwise() const { return outcome == Outcome::Refused && !CredentialsRefused(); }
  // A refusal that the same request sent again cannot mend: a 4xx other than
  // a credential refusal, a time-out or a rate limit.
  bool PermanentRefusal() const {
    return outcome == Outcome::Refused && status >= 400 && status <= 499 && status != 401 && status != 408 &&
           status != 429;
  }
};

class CMailService {
 public:
  using Done = std::function<void(const MailResult&)>;
  using FoldersDone = std::function<void(const MailResult&, std::vector<CFolder>&)>;
  using MailsDone = std::function<void(const MailResult&, std::vector<CMail>&)>;
  // The text, and whether it is the whole message or only its start.
  using TextDone = std::function<void(const MailResult&, std::string& text, CMail::Held held)>;
  // The message's id in the destination folder.
  using IdDone = std::function<void(const MailResult&, const std::string& newId)>;
  enum class Transfer { Move, Copy };

  virtual ~CMailService() {}

  static constexpr int kRangeNotSatisfiable = 416;
  // The range of a whole text that was fetched; empty when it is not there.
  static std::string CutRange(const MailResult& result, const std::string& text, size_t first, size_t count) {
    return result.Ok() && first <= text.size() && count <= text.size() - first ? text.substr(first, count)
                                                                              : std::string();
  }

  // Whether these credentials' last discovery found their account.
  virtual bool Discovered(const CCredentials& credentials) const = 0;
  // Account discovery: what it finds is kept for these credentials.
  virtual void Discover(const CCredentials& credentials, Done done) = 0;
  virtual void ListFolders(const CCredentials& credentials, FoldersDone done) = 0;
  virtual void ListMails(const CCredentials& credentials, const CFolder& folder, MailsDone done) = 0;
  // The message's text exactly as the service holds it; with startBytes,
  // only that many bytes of its start are asked for (a service may send all).
  virtual void Fetch(const CCredentials& credentials, const CMail& mail, size_t startBytes, TextDone done) = 0;
  // `count` bytes of the message's text from byte `first`, which the
  // caller knows to lie within it; a service that sends the whole text
  // has it cut. By default the whole text is fetched and cut.
  virtual void FetchRange(const CCredentials& credentials, const CMail& mail, size_t first, size_t count,
                          TextDone done) {
    Fetch(credentials, mail, 0, [first, count, done](const MailResult& result, std::string& text, CMail::Held held) {
      std::string range = CutRange(result, text, first, count);
      done(range.size() == count ? result : MailResult::RefusedWith(kRangeNotSatisfiable), range, held);
    });
  }
  virtual void SetRead(const CCredentials& credentials, const CMail& mail, bool read, Done done) = 0;
  // Into `folder`, under a name the service may choose.
  virtual void MoveAway(const CCredentials& credentials, const CMail& mail, const CFolder& folder, Done done) = 0;
  // MOVE or COPY keeping the message's id when the destination does not
  // hold it yet (a fresh id when `freshId`, or when the first try finds it
  // taken), so the new id is known without reading the reply.
  virtual void TransferTo(Transfer kind, const CCredentials& credentials, const CMail& mail, const CFolder& folder,
                          bool freshId, IdDone done) = 0;
  virtual void Delete(const CCredentials& credentials, const CMail& mail, Done done) = 0;
  // Posts `body` (envelope, empty line, message) to the send URL these
  // credentials discovered.
  virtual void Send(const CCredentials& credentials, std::string body, Done done) = 0;
};

#endif
