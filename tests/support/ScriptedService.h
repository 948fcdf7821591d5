// ScriptedService: a mail service whose operations wait until the test
// completes them all with one HTTP-like result (-1: no answer; 2xx, or
// 1024 + n for a download: done; else refused). Folders and messages listed
// are the test's.
#ifndef KESTRELON_TEST_SCRIPTED_SERVICE_H
#define KESTRELON_TEST_SCRIPTED_SERVICE_H

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "httpmail/MailService.h"

class ScriptedService : public CMailService {
 public:
  std::vector<CFolder> folders;
  std::vector<CMail> mails;  // what every folder lists
  std::string text = "Subject: x\r\n\r\nbody\r\n";
  std::vector<std::string> calls;

  // Completes every waiting operation, and those they start, with `result`.
  void Complete(long result) {
    const MailResult r = result == -1                     ? MailResult::NoAnswer()
                         : result >= 1024 || (result >= 200 && result <= 299) ? MailResult::Done(result >= 1024 ? 200 : static_cast<int>(result))
                                                                              : MailResult::RefusedWith(static_cast<int>(result));
    while (!queue_.empty()) {
      auto next = std::move(queue_.front());
      queue_.pop_front();
      next(r);
    }
  }
  size_t Waiting() const { return queue_.size(); }

  bool discovered = false;  // what Discovered says of any credentials
  bool Discovered(const CCredentials&) const override { return discovered; }
  void Discover(const CCredentials& c, Done done) override { Wait("Discover " + c.userName, Only(207, done)); }
  void ListFolders(const CCredentials&, FoldersDone done) override {
    Wait("ListFolders", [this, done](const MailResult& r) {
      std::vector<CFolder> list = r.Ok() ? folders : std::vector<CFolder>();
      done(r, list);
    });
  }
  void ListMails(const CCredentials&, const CFolder& folder, MailsDone done) override {
    Wait("ListMails " + folder.id, [this, done](const MailResult& r) {
      std::vector<CMail> list = r.Ok() ? mails : std::vector<CMail>();
      done(r, list);
    });
  }
  void Fetch(const CCredentials&, const CMail& mail, size_t, TextDone done) override {
    Wait("Fetch " + mail.id, [this, done](const MailResult& r) {
      std::string body = r.Ok() ? text : std::string();
      done(r, body, CMail::Held::Whole);
    });
  }
  void SetRead(const CCredentials&, const CMail& mail, bool, Done done) override { Wait("SetRead " + mail.id, done); }
  void MoveAway(const CCredentials&, const CMail& mail, const CFolder&, Done done) override {
    Wait("MoveAway " + mail.id, done);
  }
  void TransferTo(Transfer, const CCredentials&, const CMail& mail, const CFolder&, bool, IdDone done) override {
    Wait("TransferTo " + mail.id, [done, id = mail.id](const MailResult& r) { done(r, r.Ok() ? id : ""); });
  }
  void Delete(const CCredentials&, const CMail& mail, Done done) override { Wait("Delete " + mail.id, done); }
  void Send(const CCredentials&, std::string, Done done) override { Wait("Send", Only(201, done)); }

 private:
  // As the service's readers take it: only this status is success.
  static Done Only(int status, Done done) {
    return [status, done](const MailResult& r) {
      done(r.Ok() && r.status != status ? MailResult::RefusedWith(r.status) : r);
    };
  }
  void Wait(const std::string& call, Done done) {
    calls.push_back(call);
    queue_.push_back(std::move(done));
  }
  std::deque<Done> queue_;
};

#endif
