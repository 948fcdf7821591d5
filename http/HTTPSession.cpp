#include "HTTPSession.h"

#include <wincrypt.h>

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "config/LineText.h"
#include "config/Log.h"
#include "config/LogMask.h"
#include "config/Settings.h"
#include "http/AppendRead.h"
#include "http/Sha256.h"
#include "http/StreamedBody.h"
#include "http/WorkerPool.h"
#include "plugin/PrivateMessages.h"


namespace {

// How long Shutdown waits, in all, for the workers still running, before
// and again after WinInet is closed under them.
constexpr DWORD kShutdownWaitMs = 3000;
// A worker with no session for this long ends, so an idle gateway gives
// back what a thread holds (its stack, per-thread state of WinInet); a
// burst of requests, such as a scan of a folder, keeps it.
constexpr DWORD kWorkerIdleMs = 1000;
// A session ends at the latest this many times HttpTimeOut after it was
// started, however slowly its answer keeps arriving.
constexpr DWORD kTotalTimeOutFactor = 8;
// The window timer that ends sessions past that bound, and how often it looks.
constexpr UINT_PTR kWatchdogTimerId = 0x4854;  // "HT"
constexpr UINT kWatchdogPeriodMs = 1000;
// Redirects followed for one session; one more ends it.
constexpr int kMaxRedirects = 10;
// Room a reader may add around a body without a new buffer (a POP3 status
// line and terminator, the extra dots of a few lines).
constexpr size_t kFramingRoom = 256;
// What one read asks for when the handle cannot say what is waiting.
constexpr DWORD kProbeSize = 16 * 1024;
// The most one read takes: the handle frees what was read, so the body is
// never held twice in full.
constexpr DWORD kMaxReadChunk = 1024 * 1024;

const char kResponseTooLarge[] = "[レスポンスが大きすぎます]";
const char kDowngradeRefused[] = "[https のサービスへのリクエストを http では送りません]";
const char kPinMismatch[] = "[サーバの証明書が ServiceCertPin と一致しません]";
const char kTimedOut[] = "[HTTP リクエストが時間内に終わりませんでした]";
const char kBodyCut[] = "[レスポンスの本文が途中で切れています]";

// What the window thread keeps for all sessions. Workers never touch it.
struct Transport {
  // Per queue (Main, Parallel): sessions holding a slot, and those
  // submitted that have none yet.
  int running[2] = {0, 0};
  std::deque<CHTTPSession*> waiting[2];
  std::vector<CHTTPSession*> started;     // holding a slot
  HINTERNET internet = nullptr;           // the handle new sessions use
  bool internetPreconfigured = false;     // it takes the system's proxy
  std::map<HINTERNET, int> users;         // started sessions per open handle
  std::vector<HINTERNET> retired;         // to close when their users are done
  TransportSettings owner;                // window and settings of the plug-in
  HWND watchdog = nullptr;                // the window the watchdog timer runs on
  CSettings defaults;                     // read while the owner gives none
};

// Built by the first session's constructor, so it is destroyed only after
// every session, those of static storage duration included.
Transport& State() {
  static Transport state;
  return state;
}

CSettings& Settings() {
  Transport& t = State();
  return t.owner.settings != nullptr ? *t.owner.settings : t.defaults;
}

void Log(std::string_view text) { theLog.Write(text); }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool IsCredentialHeader(std::string_view name) {
  return EqualsIgnoreCase(name, "Authorization") || EqualsIgnoreCase(name, "Proxy-Authorization");
}

// One header line as logged: a credential's value, whatever bytes it holds
// up to the line's CR LF, becomes "********" after its scheme name, which is
// all a diagnosis needs.
std::string MaskLine(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || !IsCredentialHeader(std::string_view(line).substr(0, colon))) return line;
  const bool crlf = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0;
  const size_t eol = line.size() - (crlf ? 2 : 0);
  std::string value = line.substr(colon + 1, eol - colon - 1);
  value.erase(0, std::min(value.find_first_not_of(" \t"), value.size()));
  const size_t space = value.find_first_of(" \t");
  const bool hasScheme = space != std::string::npos && value.find_first_not_of(" \t", space) != std::string::npos;
  return MaskedAfter(line.substr(0, colon + 1) + (hasScheme ? " " + value.substr(0, space) : "")) + line.substr(eol);
}

// A header block as logged, credentials masked line by line. Only CR LF
// ends a line: a lone CR or LF inside a value stays part of it.
std::string MaskCredentials(const std::string& block) {
  std::string out;
  for (size_t pos = 0; pos < block.size();) {
    size_t end = block.find("\r\n", pos);
    end = end == std::string::npos ? block.size() : end + 2;
    out += MaskLine(block.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

// A Location value as an absolute URL: an absolute path is taken relative
// to the origin of the URL it answered.
std::string ResolveLocation(const std::string& location, const std::string& base) {
  if (location.empty() || location[0] != '/' || location.compare(0, 2, "//") == 0) return location;
  size_t scheme = base.find("://");
  if (scheme == std::string::npos) return location;
  size_t path = base.find('/', scheme + 3);
  return base.substr(0, path) + location;
}

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Whether a block of header lines is only whole lines, each ended by CR LF
// and holding no other CR, LF or NUL: anything else would add header lines,
// or end the block early, where the caller meant a value.
bool WholeHeaderLines(const std::string& block) {
  for (size_t pos = 0; pos < block.size();) {
    const size_t end = block.find("\r\n", pos);
    if (end == std::string::npos || end == pos) return false;  // unended, or an empty line
    if (!FitsInHeader(std::string_view(block).substr(pos, end - pos))) return false;
    pos = end + 2;
  }
  return true;
}

// Scheme, host and port of an absolute URL as InternetCrackUrlA split it.
std::string OriginOf(const std::string& url, const char* host, INTERNET_PORT port) {
  std::string origin = url.substr(0, url.find("://")) + "://" + host + ":" + std::to_string(port);
  for (char& c : origin) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return origin;
}

void CloseNow(HINTERNET handle) {
  if (!InternetCloseHandle(handle)) REPORT_SYSTEM_ERROR(GetLastError());
  Log("[WinInet を閉じました]\n");
}

// A handle no new session gets: closed once no started session uses it.
void Retire(HINTERNET handle) {
  Transport& t = State();
  if (t.users[handle] > 0) {
    t.retired.push_back(handle);
    return;
  }
  t.users.erase(handle);
  CloseNow(handle);
}

void ReleaseInternet(HINTERNET handle) {
  Transport& t = State();
  auto it = t.users.find(handle);
  if (it == t.users.end()) return;  // already closed by Shutdown
  if (--it->second > 0) return;
  auto retired = std::find(t.retired.begin(), t.retired.end(), handle);
  if (retired == t.retired.end()) return;
  t.retired.erase(retired);
  t.users.erase(it);
  CloseNow(handle);
}

}  // namespace

CHTTPSession::CHTTPSession()
    : completed(false),
      allowAuth(true),
      maxResponse(0),
      kind(0),
      status(0),
      agent(Settings().userAgent),
      urlParts_(),
      hostName_(),
      urlPath_(),
      window_(nullptr),
      timeOut_(0),
      internet_(nullptr),
      preconfigured_(false),
      switchedToDirect_(false),
      secureService_(false),
      holdsSlot_(false),
      started_(0),
      aborted_(false) {
  State();  // the transport must outlive this session
}

CHTTPSession::~CHTTPSession() {
  // A session deleted before its turn must never be started.
  std::deque<CHTTPSession*>& waiting = State().waiting[Lane()];
  waiting.erase(std::remove(waiting.begin(), waiting.end(), this), waiting.end());
  if (holdsSlot_) Finish();
}

void CHTTPSession::Configure(const TransportSettings& transport) { State().owner = transport; }

bool CHTTPSession::Submit(CHTTPSession* session) {
  if (session == nullptr || State().owner.window == nullptr || session->holdsSlot_) return false;
  std::deque<CHTTPSession*>& waiting = State().waiting[session->Lane()];
  if (std::find(waiting.begin(), waiting.end(), session) != waiting.end()) return false;
  waiting.push_back(session);
  return StartWaiting(session);
}

// Gives free slots to waiting sessions, oldest first. A ThreadCount below 1
// counts as 1, or nothing would ever run. False when `submitted` could
// neither start nor post its completion: it is left to its submitter, who
// must not wait for it.
bool CHTTPSession::StartWaiting(CHTTPSession* submitted) {
  bool accepted = true;
  for (int lane = 0; lane < 2; ++lane) {
    if (!StartWaiting(lane, submitted)) accepted = false;
  }
  return accepted;
}

bool CHTTPSession::StartWaiting(int lane, CHTTPSession* submitted) {
  bool accepted = true;
  Transport& t = State();
  const int limit = lane == 0 ? std::max(1, Settings().threadCount) : kParallelSlots;
  while (t.running[lane] < limit && !t.waiting[lane].empty()) {
    CHTTPSession* session = t.waiting[lane].front();
    t.waiting[lane].pop_front();
    ++t.running[lane];
    t.started.push_back(session);
    session->holdsSlot_ = true;
    if (session->Launch()) continue;
    // Nobody can be told of this session any more: free its slot and drop it.
    t.started.erase(std::find(t.started.begin(), t.started.end(), session));
    --t.running[lane];
    session->holdsSlot_ = false;
    if (session == submitted)
      accepted = false;
    else
      delete session;
  }
  return accepted;
}

// Starts the worker; a session that cannot start still completes, as not
// completed, through the same message, and keeps its slot until Finish.
bool CHTTPSession::Launch() {
  window_ = State().owner.window;
  timeOut_ = static_cast<DWORD>(Settings().httpTimeOut) * 1000;
  secureService_ = strncasecmp(Settings().EntryURL().c_str(), "https:", 6) == 0;
  pin_ = Settings().serviceCertPin;
  started_ = GetTickCount();
  if (StartThread()) {
    ArmWatchdog();
    return true;
  }
  completed = false;
  Log("[HTTPSession は失敗しました]\n");
  return PostDone();
}

bool CHTTPSession::PostDone() {
  return window_ != nullptr &&
         PostMessageA(window_, WM_HTTP_SESSION_DONE, static_cast<WPARAM>(kind), reinterpret_cast<LPARAM>(this));
}

// Built on first use, after State(), so destroyed before it.
CWorkerPool& CHTTPSession::Workers() {
  static CWorkerPool pool(&CHTTPSession::Run, kWorkerIdleMs);
  return pool;
}

// Hands the session to a free worker, or to a new one while fewer than
// ThreadCount run; the slot this session holds keeps their number bound.
bool CHTTPSession::StartThread() {
  if (!OpenInternet(agent)) return false;
  Transport& t = State();
  internet_ = t.internet;
  preconfigured_ = t.internetPreconfigured;
  ++t.users[internet_];
  // Workers are kept for both queues: as many as may run at once.
  if (!Workers().Post(this, std::max(1, Settings().threadCount) + kParallelSlots)) {
    ReleaseInternet(internet_);
    internet_ = nullptr;
    return false;
  }
  return true;
}

// On a worker thread.
void CHTTPSession::Run(void* parameter) {
  auto* session = static_cast<CHTTPSession*>(parameter);
  try {
    session->Execute(0);
  } catch (const std::bad_alloc&) {
    session->completed = false;
    REPORT_ERROR("[メモリが足りません]", 0);
  }
  if (!session->completed) Log("[HTTPSession は失敗しました]\n");
  Log("[スレッドをシグナル状態にします]\n");
  session->PostDone();  // the worker's last access to the session
}

void CHTTPSession::Finish() {
  if (!holdsSlot_) return;
  Transport& t = State();
  if (switchedToDirect_) {
    // The proxy refused the request and the direct path was taken: from
    // now on every session goes direct. The setting and the shared handle
    // change here, on the window thread, and the proxied handle is closed
    // only when no running session uses it any more.
    CSettings& settings = Settings();
    if (!settings.doNotUseProxy) {
      settings.doNotUseProxy = true;
      if (t.owner.settings != nullptr) settings.Save();
    }
    if (t.internet != nullptr && t.internetPreconfigured) {
      HINTERNET proxied = t.internet;
      t.internet = nullptr;
      Retire(proxied);
    }
  }
  if (internet_ != nullptr) {
    ReleaseInternet(internet_);
    internet_ = nullptr;
  }
  auto it = std::find(t.started.begin(), t.started.end(), this);
  if (it != t.started.end()) {
    t.started.erase(it);
    --t.running[Lane()];
  }
  holdsSlot_ = false;
  StartWaiting();
  if (t.running[0] + t.running[1] == 0 && t.watchdog != nullptr) {
    KillTimer(t.watchdog, kWatchdogTimerId);
    t.watchdog = nullptr;
  }
}

// The watchdog runs while any session does.
void CHTTPSession::ArmWatchdog() {
  Transport& t = State();
  if (t.watchdog == window_) return;
  if (SetTimer(window_, kWatchdogTimerId, kWatchdogPeriodMs, &OnWatchdog) != 0) t.watchdog = window_;
}

// Ends every running session past its total bound; their workers then
// complete them, not completed, and the queue moves on.
void CALLBACK CHTTPSession::OnWatchdog(HWND, UINT, UINT_PTR, DWORD) {
  const DWORD now = GetTickCount();
  for (CHTTPSession* session : State().started) {
    if (session->timeOut_ == 0 || session->aborted_) continue;
    if (now - session->started_ >= static_cast<uint64_t>(session->timeOut_) * kTotalTimeOutFactor) session->Abort();
  }
}

void CHTTPSession::Abort() {
  std::lock_guard<std::mutex> guard(handlesLock_);
  aborted_ = true;
  // The innermost first: the request, then its connection.
  for (auto it = handles_.rbegin(); it != handles_.rend(); ++it) InternetCloseHandle(*it);
  handles_.clear();
}

void CHTTPSession::Shutdown() {
  Transport& t = State();
  if (t.watchdog != nullptr) KillTimer(t.watchdog, kWatchdogTimerId);
  t.watchdog = nullptr;
  // The queue is taken out before the box: its message loop may finish a
  // running session, which must find nothing left to start.
  // Sessions given a slot that no worker has taken yet never ran either.
  std::deque<CHTTPSession*> dropped;
  for (void* session : Workers().TakeQueued()) dropped.push_back(static_cast<CHTTPSession*>(session));
  for (std::deque<CHTTPSession*>& waiting : t.waiting) {
    dropped.insert(dropped.end(), waiting.begin(), waiting.end());
    waiting.clear();
  }
  if (!dropped.empty()) {
    REPORT_ERROR("[HTTP Session がキューに残っています]", 0);
    for (CHTTPSession* session : dropped) delete session;
  }
  // Workers get a bounded time to end; closing WinInet then makes the
  // calls of any still running fail at once instead of using freed
  // handles, and they end too: none may run on into an unloaded module.
  const bool ended = Workers().Stop(kShutdownWaitMs);
  if (!ended) Log("[スレッド終了待ちがタイムアウトしました]\n");
  CloseInternet();
  if (!ended) Workers().Stop(kShutdownWaitMs);
}

bool CHTTPSession::OpenInternet(const std::string& agent) {
  Transport& t = State();
  if (t.internet != nullptr) return true;
  const bool direct = Settings().doNotUseProxy;
  HINTERNET handle = InternetOpenA(agent.c_str(), direct ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PRECONFIG,
                                   nullptr, nullptr, 0);
  if (handle == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return false;
  }
  t.internet = handle;
  t.internetPreconfigured = !direct;
  Log("[WinInet の初期化をしました]\n");
  return true;
}

// Closes every WinInet handle the transport holds, in use or not.
void CHTTPSession::CloseInternet() {
  Transport& t = State();
  if (t.internet != nullptr) CloseNow(t.internet);
  for (HINTERNET handle : t.retired) CloseNow(handle);
  t.internet = nullptr;
  t.retired.clear();
  t.users.clear();
}

// Closes a WinInet handle of an attempt when the attempt ends, unless the
// session was aborted and the window thread closed it already.
class CAttemptHandle {
 public:
  CAttemptHandle(CHTTPSession& session, HINTERNET handle) : session_(session), handle_(handle) {
    if (handle_ == nullptr) return;
    std::lock_guard<std::mutex> guard(session_.handlesLock_);
    if (session_.aborted_) {
      InternetCloseHandle(handle_);  // opened after the abort: ends at once
      handle_ = nullptr;
      SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
      return;
    }
    session_.handles_.push_back(handle_);
  }
  ~CAttemptHandle() {
    if (handle_ == nullptr) return;
    std::lock_guard<std::mutex> guard(session_.handlesLock_);
    auto& handles = session_.handles_;
    auto it = std::find(handles.begin(), handles.end(), handle_);
    if (it == handles.end()) return;  // closed by Abort
    handles.erase(it);
    InternetCloseHandle(handle_);
  }
  CAttemptHandle(const CAttemptHandle&) = delete;
  CAttemptHandle& operator=(const CAttemptHandle&) = delete;
  HINTERNET Get() const { return handle_; }

 private:
  CHTTPSession& session_;
  HINTERNET handle_;
};

// Whether the request may go as filled: header values and credentials that
// hold a line break would add header lines of their own to the request.
bool CHTTPSession::SafeToSend() {
  if (FitsInHeader(url) && FitsInHeader(userName) && FitsInHeader(password) &&
      WholeHeaderLines(headers))
    return true;
  REPORT_ERROR("[リクエストのヘッダに使えない文字が含まれています]", 0);
  return false;
}

// One attempt. Re-runs for a redirect or the proxy fallback happen inside
// it, before its own handles are closed.
void CHTTPSession::Execute(int redirects) {
  memset(&urlParts_, 0, sizeof urlParts_);
  urlParts_.dwStructSize = sizeof urlParts_;
  urlParts_.lpszHostName = hostName_;
  urlParts_.dwHostNameLength = sizeof hostName_;
  urlParts_.lpszUrlPath = urlPath_;
  urlParts_.dwUrlPathLength = sizeof urlPath_;
  bool viaProxy = false;

  Log("[以下の URL にアクセスします]\n");
  Log(url);
  if (!SafeToSend()) return;
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &urlParts_)) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return;
  }
  const std::string origin = OriginOf(url, hostName_, urlParts_.nPort);
  if (origin_.empty()) origin_ = origin;
  const bool secure = urlParts_.nScheme == INTERNET_SCHEME_HTTPS;
  const Admission admission = Admit(origin, secure);
  if (admission == Admission::Refused) {
    REPORT_ERROR(kDowngradeRefused, 0);
    return;
  }
  const bool withCredentials = admission == Admission::WithCredentials && !userName.empty();
  // Redirects of every verb are followed here, never inside WinInet, which
  // might answer another origin's challenge with these credentials.
  const DWORD flags = INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTO_REDIRECT |
                      (allowAuth ? 0 : INTERNET_FLAG_NO_AUTH) | (secure ? INTERNET_FLAG_SECURE : 0);
  const bool pinned = secure && !pin_.empty();
  // A pinned certificate is seen before any credentials go to its server.
  if (pinned && withCredentials && !ProbeCertificate(hostName_, urlParts_.nPort, flags)) return;
  CAttemptHandle connection(*this, InternetConnectA(internet_, hostName_, urlParts_.nPort,
                                             withCredentials ? userName.c_str() : "",
                                             withCredentials ? password.c_str() : "", INTERNET_SERVICE_HTTP, 0, 0));
  if (connection.Get() == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return;
  }
  // WinInet copies the connection's time-outs into a request when it opens
  // it: set later, they would never reach this request.
  DWORD timeOut = timeOut_;
  InternetSetOptionA(connection.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeOut, sizeof timeOut);
  CAttemptHandle request(
      *this, HttpOpenRequestA(connection.Get(), method.c_str(), urlPath_, "HTTP/1.1", nullptr, nullptr, flags, 0));
  if (request.Get() == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return;
  }
  if (pinned) TrustPinned(request.Get());

  Log("[リクエストを送信します]\n");
  const BOOL sent = HttpSendRequestA(request.Get(), headers.empty() ? nullptr : headers.c_str(),
                                     static_cast<DWORD>(headers.size()),
                                     body.empty() ? nullptr : const_cast<char*>(body.data()),
                                     static_cast<DWORD>(body.size()));
  const DWORD sendError = sent ? ERROR_SUCCESS : GetLastError();
  if (aborted_) {  // its handles are closed: nothing more to ask them
    REPORT_ERROR(kTimedOut, 0);
    return;
  }

  // The header blocks are asked for, and masked, only for the log, for a
  // failed send (whose queries report their own failures), and to see
  // whether a PROPFIND went through a proxy.
  std::string text;
  const bool logging = theLog.Enabled();
  if (logging || !sent || (preconfigured_ && method == "PROPFIND")) {
    QueryInfo(text, request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS);
    // An absolute URL on the request line is what WinInet sends to a proxy.
    if (text.compare(0, 16, "PROPFIND http://") == 0) viaProxy = true;
  }
  if (logging) {
    Log("[リクエストのヘッダは以下のとおりです]\n");
    Log(MaskCredentials(text));
    Log("[リクエストの本文は以下のとおりです]\n");
    Log(body);
  }
  if (logging || !sent) {
    QueryInfo(text, request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF);
    Log("[レスポンスのヘッダは以下のとおりです]\n");
    Log(MaskCredentials(text));
  }

  const bool answered = sent || sendError == ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION;
  if (pinned && answered && !MatchesPin(request.Get())) return;
  if (!sent) {
    if (sendError == ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION)
      Redirect(request.Get(), redirects, sendError);
    else
      REPORT_SYSTEM_ERROR(sendError);
    return;
  }
  QueryInfo(text, request.Get(), HTTP_QUERY_STATUS_CODE);
  status = static_cast<int>(strtol(text.c_str(), nullptr, 10));
  // No status line at all (Wine's WinInet takes bytes that are no HTTP,
  // such as a TLS server's alert, as a bare body): no answer was read.
  if (status < 100) {
    status = 0;
    REPORT_SYSTEM_ERROR(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    return;
  }

  if (viaProxy && status == 400 && preconfigured_ && !switchedToDirect_) {
    FallBackToDirect(redirects);
    return;
  }
  if (IsRedirectStatus(status) && HasLocation(request.Get())) {
    Redirect(request.Get(), redirects, ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION);
    return;
  }
  if (viaProxy && status == 407) REPORT_ERROR("[認証に失敗しました。プロクシが原因である可能性があります]", 0);
  // 206: the start of a message, asked for with a byte range.
  if (status == 206) {
    // Asked quietly: a 206 without one (several ranges) is taken as no start.
    char range[128] = "";
    DWORD size = sizeof range;
    if (HttpQueryInfoA(request.Get(), HTTP_QUERY_CONTENT_RANGE, range, &size, nullptr)) contentRange = range;
  }
  if (status == 200 || status == 201 || status == 206 || status == 207)
    ReadResponse(request.Get());
  else
    completed = true;
}

// Whether a request to `origin` may go, and with the account's credentials.
// They go only to the origin the session was made for; once the service is
// reached over https, nothing goes over plain http, with credentials or
// without: a body (a message, a change to the mailbox) would travel in
// clear text, and an answer from there could not be trusted.
CHTTPSession::Admission CHTTPSession::Admit(const std::string& origin, bool secure) const {
  if (secureService_ && !secure) return Admission::Refused;
  return origin == origin_ ? Admission::WithCredentials : Admission::WithoutCredentials;
}

// With a pin, a certificate no store vouches for may still serve: the pin
// decides. Its dates and host name are still checked.
void CHTTPSession::TrustPinned(HINTERNET request) const {
  DWORD security = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (!InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security))
    REPORT_SYSTEM_ERROR(GetLastError());
}

// A HEAD without credentials or a body, only to see the server's
// certificate before the request proper goes.
bool CHTTPSession::ProbeCertificate(const char* host, INTERNET_PORT port, DWORD flags) {
  CAttemptHandle connection(*this, InternetConnectA(internet_, host, port, "", "", INTERNET_SERVICE_HTTP, 0, 0));
  if (connection.Get() == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return false;
  }
  DWORD timeOut = timeOut_;
  InternetSetOptionA(connection.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeOut, sizeof timeOut);
  CAttemptHandle probe(*this, HttpOpenRequestA(connection.Get(), "HEAD", urlPath_, "HTTP/1.1", nullptr, nullptr,
                                        flags | INTERNET_FLAG_NO_AUTH, 0));
  if (probe.Get() == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return false;
  }
  TrustPinned(probe.Get());
  Log("[サーバの証明書を確かめます]\n");
  if (!HttpSendRequestA(probe.Get(), nullptr, 0, nullptr, 0)) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return false;
  }
  return MatchesPin(probe.Get());
}

// Whether the certificate the server showed for this request has the
// pinned SHA-256; its digest is logged either way, so a user can pin it.
bool CHTTPSession::MatchesPin(HINTERNET request) const {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD size = sizeof chain;
  std::string digest;
  if (InternetQueryOptionA(request, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) && chain != nullptr) {
    if (chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
      const CERT_CONTEXT* cert = chain->rgpChain[0]->rgpElement[0]->pCertContext;
      digest = Sha256Hex(std::string_view(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded));
    }
    CertFreeCertificateChain(chain);
  } else {
    REPORT_SYSTEM_ERROR(GetLastError());
    return false;
  }
  Log("[サーバの証明書の SHA-256 は " + digest + " です]\n");
  if (digest == pin_) return true;
  REPORT_ERROR(kPinMismatch, 0);
  return false;
}

// Whether the response names where to go, asked quietly: a 3xx without a
// Location is an answer like any other.
bool CHTTPSession::HasLocation(HINTERNET request) {
  DWORD size = 0;
  return !HttpQueryInfoA(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr) &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

void CHTTPSession::Redirect(HINTERNET request, int redirects, DWORD sendError) {
  if (redirects >= kMaxRedirects) {
    REPORT_ERROR("[リダイレクトの回数が上限を超えました]", 0);
    return;
  }
  std::string location;
  QueryInfo(location, request, HTTP_QUERY_LOCATION);
  if (location.empty()) {
    REPORT_SYSTEM_ERROR(sendError);
    return;
  }
  Log("[リダイレクトします]\n");
  url = ResolveLocation(location, url);
  Execute(redirects + 1);
}

// The proxy answered 400 to a PROPFIND: the request is sent again on a
// direct handle of this session's own, so the shared handle other sessions
// may be using stays open. Finish makes the switch for everyone.
void CHTTPSession::FallBackToDirect(int redirects) {
  Log("[プロキシを使わない設定に変更しました]");
  switchedToDirect_ = true;
  HINTERNET direct = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (direct == nullptr) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return;
  }
  Log("[WinInet の初期化をしました]\n");
  HINTERNET proxied = internet_;
  internet_ = direct;
  Execute(redirects);
  internet_ = proxied;
  CloseNow(direct);
}

// The body is read straight into `response`, sized once by the length the
// server announced, and that length is asked for in one read (WinInet
// returns when the buffer is full or the body has ended). A body over
// `maxResponse` is refused as soon as that is known, before more of it is
// held.
void CHTTPSession::ReadResponse(HINTERNET request) {
  std::string().swap(response);
  if (consumer) {  // handed over as it arrives, never held here
    completed = CStreamedBody(request, maxResponse).DeliverTo(*consumer, *this);
    return;
  }
  const size_t cap = maxResponse != 0 ? maxResponse : std::string().max_size();
  DWORD announced = 0;
  DWORD size = sizeof announced;
  const bool hasLength =
      HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &size, nullptr) != FALSE;
  if (hasLength && announced > cap) {
    REPORT_ERROR(kResponseTooLarge, 0);
    return;
  }
  try {
    if (hasLength) response.reserve(static_cast<size_t>(announced) + kFramingRoom);
    for (;;) {
      DWORD available = 0;
      if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
        REPORT_SYSTEM_ERROR(GetLastError());
        std::string().swap(response);
        return;
      }
      size_t want = std::min<size_t>(available, kMaxReadChunk);
      if (hasLength && response.size() < announced) want = announced - response.size();
      if (want > cap - response.size() + 1) want = cap - response.size() + 1;
      DWORD error = ERROR_SUCCESS;
      size_t read = 0;
      if (want == 0) {
        // Asks again, and learns of the end, without growing the body past
        // the size it was given (a larger string would copy it all).
        char probe[kProbeSize];
        DWORD got = 0;
        if (InternetReadFile(request, probe, sizeof probe, &got))
          response.append(probe, read = got);
        else
          error = GetLastError();
      } else {
        read = AppendRead(response, want, [&](char* into, size_t room) -> size_t {
          DWORD got = 0;
          if (InternetReadFile(request, into, static_cast<DWORD>(room), &got)) return got;
          error = GetLastError();
          return 0;
        });
      }
      if (error != ERROR_SUCCESS) {
        REPORT_SYSTEM_ERROR(error);
        std::string().swap(response);
        return;
      }
      if (response.size() > cap) {
        std::string().swap(response);
        REPORT_ERROR(kResponseTooLarge, 0);
        return;
      }
      if (read == 0) break;
    }
  } catch (const std::bad_alloc&) {
    std::string().swap(response);
    REPORT_ERROR("[メモリが足りません]", 0);
    return;
  }
  // WinInet ends a body cut off by the connection's close as if it were
  // whole: one shorter than announced is no answer.
  if (hasLength && response.size() < announced) {
    std::string().swap(response);
    REPORT_ERROR(kBodyCut, 0);
    return;
  }
  Log("[レスポンスの本文は以下のとおりです]\n");
  Log(response);
  completed = true;
}

void CHTTPSession::QueryInfo(std::string& text, HINTERNET request, DWORD level) {
  text.clear();
  DWORD size = 0;
  if (HttpQueryInfoA(request, level, nullptr, &size, nullptr)) {
    Log("[HttpQueryInfo にて取得に失敗しました]\n");
    return;
  }
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    REPORT_SYSTEM_ERROR(error);
    return;
  }
  std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
  DWORD length = static_cast<DWORD>(buffer.size());
  if (!HttpQueryInfoA(request, level, buffer.data(), &length, nullptr)) {
    REPORT_SYSTEM_ERROR(GetLastError());
    return;
  }
  text = buffer.data();
}
