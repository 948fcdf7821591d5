#include "imap/HotmailIMAP.h"

#include "config/Log.h"

namespace {

const char kReceived[] = "[以下のコマンドを Becky から受信しました]\n";
constexpr int kImapMinimumTimeOut = 30 * 60;
constexpr int kLongestLogInTime = 60;
constexpr UINT_PTR kRelistTimerId = 0x494D;  // "IM"

}  // namespace

CHotmailIMAP* CHotmailIMAP::timerOwner_ = nullptr;

CHotmailIMAP::CHotmailIMAP() {}

CHotmailIMAP::~CHotmailIMAP() {
  if (relistTimer_ != 0 && window_ != nullptr) KillTimer(window_, relistTimer_);
  if (timerOwner_ == this) timerOwner_ = nullptr;
  CloseAll();
}

void CHotmailIMAP::SetUidStorePath(const std::string& path) {
  uids_.reset(new CUidStore(path));
  uids_->Load();
}

void CHotmailIMAP::SetCache(const std::string& folder, uint64_t bound) {
  cache_.reset(new CMessageCache(folder, bound));
}

void CHotmailIMAP::SetClientTimeOut(int seconds) {
  logInMs_ = static_cast<DWORD>(seconds > 0 && seconds < kLongestLogInTime ? seconds : kLongestLogInTime) * 1000;
  if (seconds <= 0) {
    SetIdleTimeOut(0);
    timeOutMs_ = 0;
    return;
  }
  const unsigned effective = static_cast<unsigned>(seconds < kImapMinimumTimeOut ? kImapMinimumTimeOut : seconds);
  SetIdleTimeOut(effective);
  timeOutMs_ = effective > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : effective * 1000;
}

bool CHotmailIMAP::Start(HWND window) {
  window_ = window;
  SetWindow(window);
  if (!uids_) uids_.reset(new CUidStore(""));
  if (port_ == 0) return true;  // off
  if (!Listen()) return false;
  timerOwner_ = this;
  relistTimer_ = SetTimer(window_, kRelistTimerId, relistMs_, &CHotmailIMAP::OnRelistTimer);
  return true;
}

LRESULT CHotmailIMAP::OnMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  retired_.clear();
  if (message == WM_IMAP_SOCKET) OnSocketEvent(wParam, lParam);
  return 0;
}

void CHotmailIMAP::OnConnected() {
  const unsigned serial = ServedConnection();
  std::unique_ptr<Client> client(new Client);
  client->socket = ClientSocket();
  // What the command reader took in is logged as the session read it, so
  // the log masks what the session took for a password.
  CImapSession::Hooks sessionHooks{[this](std::string text) { Reply(std::move(text)); }, [this] { CloseClient(); },
                                   [this] { return ServedBacklogged(); },
                                   [](const std::string& text) {
                                     theLog.Write(kReceived);
                                     theLog.Write(text);
                                   },
                                   [this](const std::string& folder, uint32_t largest, bool claim) {
                                     uint32_t& seen = recentSeen_[folder];
                                     uint32_t before = seen;
                                     if (claim && largest > seen) seen = largest;
                                     return before;
                                   },
                                   // While a command waits for the service, the
                                   // connection's input waits unread.
                                   [this, serial](bool waiting) {
                                     if (waiting)
                                       StartJob();
                                     else
                                       EndJob(serial, [] {});
                                   },
                                   [this, serial](const std::function<void()>& step) {
                                     ServeConnection(serial, step);
                                   },
                                   [this](const std::string& folder, uint32_t validity) {
                                     return sharedFlags_.Folder(folder, validity);
                                   },
                                   [this](const std::string& account, const std::string& folder) {
                                     return cache_ ? cache_->Folder(account, folder) : nullptr;
                                   },
                                   [this](std::vector<COutputPiece> pieces) { ReplyPieces(std::move(pieces)); }};
  CImapSession::DeleteMode mode = deleteMode_ == 1   ? CImapSession::DeleteMode::MoveToDeletedItems
                                  : deleteMode_ == 2 ? CImapSession::DeleteMode::Delete
                                                     : CImapSession::DeleteMode::Keep;
  CImapSession::Limits limits;
  client->session.reset(new CImapSession(*service_, *uids_, sessionHooks, mode, limits));
  client->lastInput = client->connectedAt = GetTickCount();
  clients_[serial] = std::move(client);
}

int CHotmailIMAP::IdleTimeOutMs(unsigned serial) const {
  auto found = clients_.find(serial);
  if (found == clients_.end() || found->second->session->GetState() != CImapSession::State::NotAuthenticated) {
    return CLineServer::IdleTimeOutMs(serial);
  }
  // Before log-in the time counts from the connection, not from its last command.
  const DWORD spent = GetTickCount() - found->second->connectedAt;
  return spent >= logInMs_ ? 1 : static_cast<int>(logInMs_ - spent);
}

void CHotmailIMAP::ReceiveBytes(const char* data, size_t size) {
  auto found = clients_.find(ServedConnection());
  if (found == clients_.end()) return;
  found->second->lastInput = GetTickCount();
  found->second->session->Receive(data, size);
}

void CHotmailIMAP::OnClosed() {
  const unsigned serial = ServedConnection();
  auto found = clients_.find(serial);
  if (found == clients_.end()) return;
  // A command it waited for is dropped with the session: nothing is left
  // waiting for it.
  EndJob(serial, [] {});
  // It may be closing from inside its own session: freed at the next message.
  retired_.push_back(std::move(found->second));
  clients_.erase(found);
}

void CHotmailIMAP::OnOutputDrained() {
  auto found = clients_.find(ServedConnection());
  if (found != clients_.end()) found->second->session->ResumeOutput();
}

void CALLBACK CHotmailIMAP::OnRelistTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (timerOwner_ != nullptr) timerOwner_->Relist();
}

void CHotmailIMAP::Relist() {
  retired_.clear();
  std::vector<unsigned> idling;
  for (const auto& entry : clients_) {
    if (entry.second->session->Idling()) idling.push_back(entry.first);
  }
  const DWORD now = GetTickCount();
  for (unsigned serial : idling) {
    ServeConnection(serial, [this, serial, now] {
      auto found = clients_.find(serial);
      if (found == clients_.end()) return;
      if (timeOutMs_ != 0 && now - found->second->lastInput >= timeOutMs_) {
        // An idling client that has said nothing for the whole time-out
        // (one that vanished) does not keep its connection for ever.
        Reply(LineServerTraits<CHotmailIMAP>::kIdleClose);
        CloseClient();
        return;
      }
      found->second->session->OnIdleTimer();
    });
  }
}
