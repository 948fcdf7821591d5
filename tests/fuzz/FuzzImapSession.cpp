// Received bytes, cut into pieces of any size, through a whole IMAP session
// against an in-memory account whose answers come between the pieces. The
// first byte chooses the piece size and whether EXPUNGE moves or deletes.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <algorithm>
#include <string>

#include "imap/FakeBackend.h"
#include "imap/ImapSession.h"
#include "imap/UidStore.h"

namespace {

const char kMessage[] =
    "From: Ann <ann@example.com>\r\nSubject: Hello\r\nDate: Wed, 2 Jan 2002 03:04:05 +0000\r\n"
    "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nbody one\r\n"
    "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\ninner body\r\n--b--\r\n";

std::string UidPath() {
  static std::string path = [] {
    char dir[] = "/tmp/kestrelon-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    return std::string(dir) + "/Kestrelon.uid";
  }();
  return path;
}

void Fill(FakeBackend& backend) {
  backend.folders = {{{"F1", "Inbox", "inbox"}, {}},
                     {{"F2", "Sent", "sentitems"}, {}},
                     {{"F3", "Deleted", "deleteditems"}, {}},
                     {{"F4", "Old", ""}, {}},
                     {{"F5", "Old", ""}, {}}};
  backend.AddMessage("F1", "MSG1", kMessage, false, "Hello", "Ann <ann@example.com>", 1009940645);
  backend.AddMessage("F1", "MSG2", "Subject: Report\r\n\r\nbody two\r\n", true, "Report", "carl@example.org", 0);
  backend.AddMessage("F4", "MSG3", "no header at all", false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = data[0] % 16 + 1;
  const auto mode = (data[0] & 0x10) != 0 ? CImapSession::DeleteMode::Delete
                                          : CImapSession::DeleteMode::MoveToDeletedItems;
  unlink(UidPath().c_str());
  FakeBackend backend;
  Fill(backend);
  CUidStore uids(UidPath());
  uids.Load();
  std::string out;
  bool closed = false;
  size_t logged = 0;
  CImapSession::Hooks hooks{[&](const std::string& text) { out += text; }, [&] { closed = true; },
                            [&] { return out.size() > 4096; },
                            [&](const std::string& command) { logged += command.size(); }, {}, {}, {}, {}};
  CImapSession::Limits limits;
  limits.maxLine = 1024;
  limits.maxLiteral = 1024;
  limits.maxCommand = 4096;
  {
    CImapSession session(backend, uids, hooks, mode, limits);
    session.Start();
    for (size_t at = 1; at < size && !closed; at += piece) {
      session.Receive(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
      backend.Pump();
      if (out.size() > 4096) {
        out.clear();  // the client reads its replies
        session.ResumeOutput();
        backend.Pump();
      }
      if (session.Idling()) {
        session.OnIdleTimer();
        backend.Pump();
      }
    }
  }
  backend.Pump();  // completions after the session ended are dropped
  if (!out.empty() && out.compare(out.size() - 2, 2, "\r\n") != 0 && out.back() != ' ') abort();
  return 0;
}
