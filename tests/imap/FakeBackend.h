// An in-memory account for the IMAP session tests, as a mail service.
// Completions are queued and run by Pump, as the service's answers arrive
// later in the real thing; every call the session made is recorded.
// Folder hrefs are "fake:/<id>/", message hrefs that plus the message id.
#ifndef KESTRELON_TEST_FAKE_BACKEND_H
#define KESTRELON_TEST_FAKE_BACKEND_H

#include <stdint.h>
#include <time.h>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "httpmail/MailService.h"

class FakeBackend : public CMailService {
 public:
  struct FolderInfo {
    std::string id;
    std::string displayName;  // UTF-8
    std::string kind;
  };
  struct MessageInfo {
    std::string id;
    bool read = false;
    std::string subject, from;
    int64_t date = 0;
  };
  struct Message {
    MessageInfo info;
    std::string text;
    int listedSize = -1;  // the size the listing gives, when not the text's
  };
  struct Folder {
    FolderInfo info;
    std::vector<Message> messages;
  };
  static MailResult Unavailable() { return MailResult::NoAnswer(); }
  static MailResult Failed() { return MailResult::RefusedWith(409); }

  std::string password = "demo";
  bool reachable = true;
  std::vector<Folder> folders;
  std::vector<std::string> calls;
  std::map<std::string, MailResult> failures;  // "Move MSG1 F2" -> result
  int nextId = 100;

  Folder* FindFolder(const std::string& id) {
    for (Folder& f : folders) {
      if (f.info.id == id) return &f;
    }
    return nullptr;
  }
  Message* FindMessage(const std::string& folderId, const std::string& id) {
    Folder* f = FindFolder(folderId);
    if (f == nullptr) return nullptr;
    for (Message& m : f->messages) {
      if (m.info.id == id) return &m;
    }
    return nullptr;
  }
  void AddMessage(const std::string& folderId, const std::string& id, const std::string& text, bool read = false,
                  const std::string& subject = "", const std::string& from = "", int64_t date = 0) {
    FindFolder(folderId)->messages.push_back(Message{MessageInfo{id, read, subject, from, date}, text});
  }
  // Runs queued completions (and those they queue) until none is left.
  void Pump() {
    while (!queue_.empty()) {
      auto next = std::move(queue_.front());
      queue_.pop_front();
      next();
    }
  }
  // The newest first, as answers that overtake each other.
  void PumpNewestFirst() {
    while (!queue_.empty()) {
      auto next = std::move(queue_.back());
      queue_.pop_back();
      next();
    }
  }
  size_t Queued() const { return queue_.size(); }

  bool Discovered(const CCredentials& c) const override { return discovered_.count(c.userName + "\n" + c.password); }
  void Discover(const CCredentials& c, Done done) override {
    calls.push_back("Login " + c.userName);
    const MailResult r = Checked(c, Ok());
    if (r.Ok()) discovered_.insert(c.userName + "\n" + c.password);
    queue_.push_back([done, r] { done(r); });
  }
  void ListFolders(const CCredentials& c, FoldersDone done) override {
    calls.push_back("ListFolders");
    std::vector<CFolder> list;
    for (const Folder& f : folders) {
      CFolder folder;
      folder.id = f.info.id;
      folder.unicodeName = f.info.displayName;
      folder.special = f.info.kind;
      folder.href = "fake:/" + f.info.id + "/";
      list.push_back(folder);
    }
    const MailResult r = Checked(c, Result("ListFolders"));
    queue_.push_back([done, r, list]() mutable { done(r, list); });
  }
  void ListMails(const CCredentials&, const CFolder& folder, MailsDone done) override {
    calls.push_back("ListMessages " + folder.id);
    std::vector<CMail> list;
    Folder* f = FindFolder(folder.id);
    if (f != nullptr) {
      for (const Message& m : f->messages) list.push_back(Listed(folder.id, m));
    }
    const MailResult r = f == nullptr ? MailResult::RefusedWith(404) : Result("ListMessages " + folder.id);
    queue_.push_back([done, r, list]() mutable { done(r, list); });
  }
  void Fetch(const CCredentials&, const CMail& mail, size_t, TextDone done) override {
    calls.push_back("Fetch " + mail.id);
    Message* m = Find(mail);
    const MailResult r = m == nullptr ? MailResult::RefusedWith(404) : Result("Fetch " + mail.id);
    std::string text = m == nullptr || !r.Ok() ? "" : m->text;
    queue_.push_back([done, r, text]() mutable { done(r, text, CMail::Held::Whole); });
  }
  void SetRead(const CCredentials&, const CMail& mail, bool read, Done done) override {
    calls.push_back(std::string(read ? "Read " : "Unread ") + mail.id);
    Message* m = Find(mail);
    const MailResult r = m == nullptr ? MailResult::RefusedWith(404) : Result(calls.back());
    if (r.Ok()) m->info.read = read;
    queue_.push_back([done, r] { done(r); });
  }
  void MoveAway(const CCredentials& c, const CMail& mail, const CFolder& folder, Done done) override {
    TransferTo(Transfer::Move, c, mail, folder, false, [done](const MailResult& r, const std::string&) { done(r); });
  }
  void TransferTo(Transfer kind, const CCredentials&, const CMail& mail, const CFolder& to, bool, IdDone done) override {
    const bool move = kind == Transfer::Move;
    calls.push_back(std::string(move ? "Move " : "Copy ") + mail.id + " " + to.id);
    Message* m = Find(mail);
    Folder* dest = FindFolder(to.id);
    const MailResult r = m == nullptr || dest == nullptr ? MailResult::RefusedWith(404) : Result(calls.back());
    std::string newId;
    if (r.Ok()) {
      Message copy = *m;
      newId = copy.info.id = "N" + std::to_string(nextId++);
      dest->messages.push_back(copy);
      if (move) Remove(FolderOf(mail), mail.id);
    }
    queue_.push_back([done, r, newId] { done(r, newId); });
  }
  void Delete(const CCredentials&, const CMail& mail, Done done) override {
    calls.push_back("Delete " + mail.id);
    Message* m = Find(mail);
    const MailResult r = m == nullptr ? MailResult::RefusedWith(404) : Result(calls.back());
    if (r.Ok()) Remove(FolderOf(mail), mail.id);
    queue_.push_back([done, r] { done(r); });
  }
  void Send(const CCredentials&, std::string, Done done) override { queue_.push_back([done] { done(Ok()); }); }

 private:
  static MailResult Ok() { return MailResult::Done(200); }
  // What the service answers these credentials, `r` when it takes them.
  MailResult Checked(const CCredentials& c, MailResult r) const {
    return !reachable ? Unavailable() : c.password == password ? r : MailResult::RefusedWith(401);
  }
  MailResult Result(const std::string& call) {
    auto it = failures.find(call);
    return it == failures.end() ? Ok() : it->second;
  }
  static CMail Listed(const std::string& folderId, const Message& m) {
    CMail mail;
    mail.id = m.info.id;
    mail.href = "fake:/" + folderId + "/" + m.info.id;
    mail.size = m.listedSize >= 0 ? m.listedSize : static_cast<int>(m.text.size());
    mail.read = m.info.read;
    mail.subject = m.info.subject;
    mail.from = m.info.from;
    if (m.info.date != 0) {
      time_t t = static_cast<time_t>(m.info.date);
      struct tm tm = *gmtime(&t);
      char text[32];
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
      mail.date = text;
    }
    return mail;
  }
  static std::string FolderOf(const CMail& mail) {
    const size_t start = mail.href.find(":/") + 2;
    return mail.href.substr(start, mail.href.find('/', start) - start);
  }
  Message* Find(const CMail& mail) { return FindMessage(FolderOf(mail), mail.id); }
  void Remove(const std::string& folderId, const std::string& id) {
    auto& list = FindFolder(folderId)->messages;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].info.id == id) list.erase(list.begin() + static_cast<long>(i));
    }
  }

  std::deque<std::function<void()>> queue_;
  std::set<std::string> discovered_;  // "user\npassword" of each discovery that found the account
};

#endif
