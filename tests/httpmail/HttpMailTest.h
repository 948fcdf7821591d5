// Shared set-up of the HTTPMail client tests: settings of their own with a
// temporary INI file, the log captured in a file, and canned replies.
#ifndef KESTRELON_TESTS_HTTPMAIL_TEST_H
#define KESTRELON_TESTS_HTTPMAIL_TEST_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/Log.h"
#include "httpmail/HotmailHTTP.h"
#include "config/Settings.h"
#include "support/TempDir.h"

class HttpMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.iniPath = dir_.File("Kestrelon.ini");
    settings_.log = true;
    theLog.SetPath(dir_.File("Kestrelon.log"), &settings_);
  }
  void TearDown() override {
    theLog.SetPath(std::string(), nullptr);
  }

  std::string Log() const { return ReadFile(dir_.File("Kestrelon.log")); }
  std::string Ini() const { return ReadFile(dir_.File("Kestrelon.ini")); }

  // How often a text occurs in the log.
  int LogCount(const std::string& text) const {
    const std::string log = Log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
    return n;
  }

  static std::unique_ptr<CHotmailRequest> Reply(int status, const std::string& body, bool completed = true) {
    std::unique_ptr<CHotmailRequest> r(new CHotmailRequest);
    r->completed = completed;
    r->status = status;
    r->response = body;
    return r;
  }

  TempDir dir_;
  CSettings settings_;
};

// The client with what the POP3 side keeps of its readers' results, as its
// log-in takes them: folders completed from the folder table (and new ones
// saved), messages numbered in the order listed. Results as numbers: -1 for
// no answer, else the status.
class ListingClient : public CHotmailHTTP {
 public:
  explicit ListingClient(CSettings& settings) : CHotmailHTTP(settings), settings_(settings) {}
  ~ListingClient() override {
    for (CFolder* f : folders_) delete f;
    for (CMail* m : mails_) delete m;
  }
  static int Code(const MailResult& r) { return r.Unreachable() ? -1 : r.status; }

  int ParseRootReply(CHTTPSession& r) { return Code(ReadDiscovery(r)); }
  int ParseFolderReply(CHTTPSession& r) {
    std::vector<CFolder> got;
    const MailResult result = ReadFolders(r, got);
    bool registered = false;
    for (CFolder& f : got) {
      registered = f.Normalize(settings_) || registered;
      folders_.push_back(new CFolder(f));
    }
    if (registered) settings_.SaveFolders();
    return Code(result);
  }
  int ParseMailReply(CHTTPSession& r) {
    std::vector<CMail> got;
    const MailResult result = ReadMails(r, got);
    for (CMail& m : got) {
      m.ConvertDate();
      m.number = static_cast<int>(mails_.size()) + 1;
      mails_.push_back(new CMail(m));
    }
    return Code(result);
  }
  const std::vector<CFolder*>& GetFolders() const { return folders_; }
  const std::vector<CMail*>& GetMails() const { return mails_; }
  CMail* MailAt(int number) const {
    return number >= 1 && number <= static_cast<int>(mails_.size()) ? mails_[static_cast<size_t>(number) - 1] : nullptr;
  }

  using CHotmailHTTP::NewMessageRequest;
  using CHotmailHTTP::NewMoveRequest;
  using CHotmailHTTP::NewMarkReadRequest;
  using CHotmailHTTP::NewDeleteRequest;
  std::unique_ptr<CHotmailRequest> NewMessageRequest(const CCredentials& c, int number, size_t start = 0) {
    return MailAt(number) ? NewMessageRequest(c, *MailAt(number), start) : nullptr;
  }
  std::unique_ptr<CHotmailRequest> NewMoveRequest(const CCredentials& c, int number, int folder) {
    if (!MailAt(number) || folder < 1 || folder > static_cast<int>(folders_.size())) return nullptr;
    return NewMoveRequest(c, *MailAt(number), *folders_[static_cast<size_t>(folder) - 1]);
  }
  std::unique_ptr<CHotmailRequest> NewMarkReadRequest(const CCredentials& c, int number) {
    return MailAt(number) ? NewMarkReadRequest(c, *MailAt(number)) : nullptr;
  }
  std::unique_ptr<CHotmailRequest> NewDeleteRequest(const CCredentials& c, int number) {
    return MailAt(number) ? NewDeleteRequest(c, *MailAt(number)) : nullptr;
  }

 private:
  CSettings& settings_;
  std::vector<CFolder*> folders_;
  std::vector<CMail*> mails_;
};

// A 207 body with the usual prefixes bound; `responses` goes inside.
inline std::string Multistatus(const std::string& responses) {
  return "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\" "
         "xmlns:m=\"urn:schemas:mailheader:\" xmlns:h=\"http://schemas.microsoft.com/hotmail/\">" +
         responses + "</D:multistatus>";
}

inline std::string Prop(const char* name, const std::string& value) {
  return std::string("<") + name + ">" + value + "</" + name + ">";
}

inline std::string FolderResponse(const std::string& href, const std::string& id, const std::string& special,
                                  const std::string& display) {
  std::string props;
  if (!id.empty()) props += Prop("D:id", id);
  if (!display.empty()) props += Prop("D:displayname", display);
  if (!special.empty()) props += Prop("hm:special", special);
  std::string link = href.empty() ? std::string() : Prop("D:href", href);
  return "<D:response>" + link + "<D:propstat><D:prop>" + props +
         "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>";
}

inline std::string MailResponse(const std::string& href, const std::string& id, const std::string& extra = "") {
  std::string link = href.empty() ? std::string() : Prop("D:href", href);
  std::string ident = id.empty() ? std::string() : Prop("D:id", id);
  return "<D:response>" + link + "<D:propstat><D:prop>" + ident + extra + "</D:prop></D:propstat></D:response>";
}

#endif
