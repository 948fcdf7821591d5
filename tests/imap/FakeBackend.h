// An in-memory account for the IMAP session tests. Completions are queued
// and run by Pump, as the service's answers arrive later in the real thing;
// every call the session made is recorded.
#ifndef KESTRELON_TEST_FAKE_BACKEND_H
#define KESTRELON_TEST_FAKE_BACKEND_H

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "imap/ImapBackend.h"

class FakeBackend : public CImapBackend {
 public:
  struct Message {
    ImapMessageInfo info;
    std::string text;
  };
  struct Folder {
    ImapFolderInfo info;
    std::vector<Message> messages;
  };

  std::string password = "demo";
  bool reachable = true;
  std::vector<Folder> folders;
  std::vector<std::string> calls;
  std::map<std::string, BackendResult> failures;  // "Move MSG1" -> result
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
    Message m;
    m.info.id = id;
    m.info.size = static_cast<uint32_t>(text.size());
    m.info.read = read;
    m.info.subject = subject;
    m.info.from = from;
    m.info.date = date;
    m.text = text;
    FindFolder(folderId)->messages.push_back(m);
  }
  // Runs queued completions (and those they queue) until none is left.
  void Pump() {
    while (!queue_.empty()) {
      auto next = std::move(queue_.front());
      queue_.pop_front();
      next();
    }
  }
  size_t Queued() const { return queue_.size(); }

  void Login(const ImapCredentials& c, Done done) override {
    calls.push_back("Login " + c.userName);
    BackendResult r = !reachable ? BackendResult::Unavailable
                      : c.password == password ? BackendResult::Ok
                                               : BackendResult::AuthFailed;
    queue_.push_back([done, r] { done(r); });
  }
  void ListFolders(const ImapCredentials&, FoldersDone done) override {
    calls.push_back("ListFolders");
    std::vector<ImapFolderInfo> list;
    for (const Folder& f : folders) list.push_back(f.info);
    BackendResult r = Result("ListFolders");
    queue_.push_back([done, r, list] { done(r, list); });
  }
  void ListMessages(const ImapCredentials&, const std::string& folderId, MessagesDone done) override {
    calls.push_back("ListMessages " + folderId);
    std::vector<ImapMessageInfo> list;
    Folder* f = FindFolder(folderId);
    if (f != nullptr) {
      for (const Message& m : f->messages) list.push_back(m.info);
    }
    BackendResult r = f == nullptr ? BackendResult::NotFound : Result("ListMessages " + folderId);
    queue_.push_back([done, r, list] { done(r, list); });
  }
  void FetchMessage(const ImapCredentials&, const std::string& folderId, const std::string& id,
                    TextDone done) override {
    calls.push_back("Fetch " + id);
    Message* m = FindMessage(folderId, id);
    BackendResult r = m == nullptr ? BackendResult::NotFound : Result("Fetch " + id);
    std::string text = m == nullptr ? "" : m->text;
    queue_.push_back([done, r, text] { done(r, text); });
  }
  void SetRead(const ImapCredentials&, const std::string& folderId, const std::string& id, bool read,
               Done done) override {
    calls.push_back(std::string(read ? "Read " : "Unread ") + id);
    Message* m = FindMessage(folderId, id);
    BackendResult r = m == nullptr ? BackendResult::NotFound : Result(calls.back());
    if (r == BackendResult::Ok) m->info.read = read;
    queue_.push_back([done, r] { done(r); });
  }
  void Move(const ImapCredentials& c, const std::string& folderId, const std::string& id, const std::string& to,
            TextDone done) override {
    Transfer(c, folderId, id, to, done, true);
  }
  void Copy(const ImapCredentials& c, const std::string& folderId, const std::string& id, const std::string& to,
            TextDone done) override {
    Transfer(c, folderId, id, to, done, false);
  }
  void Delete(const ImapCredentials&, const std::string& folderId, const std::string& id, Done done) override {
    calls.push_back("Delete " + id);
    Message* m = FindMessage(folderId, id);
    BackendResult r = m == nullptr ? BackendResult::NotFound : Result(calls.back());
    if (r == BackendResult::Ok) Remove(folderId, id);
    queue_.push_back([done, r] { done(r); });
  }

 private:
  BackendResult Result(const std::string& call) {
    auto it = failures.find(call);
    return it == failures.end() ? BackendResult::Ok : it->second;
  }
  void Remove(const std::string& folderId, const std::string& id) {
    auto& list = FindFolder(folderId)->messages;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].info.id == id) list.erase(list.begin() + static_cast<long>(i));
    }
  }
  void Transfer(const ImapCredentials&, const std::string& folderId, const std::string& id, const std::string& to,
                TextDone done, bool move) {
    calls.push_back(std::string(move ? "Move " : "Copy ") + id + " " + to);
    Message* m = FindMessage(folderId, id);
    Folder* dest = FindFolder(to);
    BackendResult r = m == nullptr || dest == nullptr ? BackendResult::NotFound : Result(calls.back());
    std::string newId;
    if (r == BackendResult::Ok) {
      Message copy = *m;
      newId = copy.info.id = "N" + std::to_string(nextId++);
      dest->messages.push_back(copy);
      if (move) Remove(folderId, id);
    }
    queue_.push_back([done, r, newId] { done(r, newId); });
  }

  std::deque<std::function<void()>> queue_;
};

#endif
