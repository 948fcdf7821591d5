// HttpSendRequestA: the exchange runs through a pooled curl handle until the
// response headers are in, as in WinInet; a body of a request that sent none
// then arrives as InternetQueryDataAvailable and InternetReadFile ask for
// it, a bounded part at a time. A request that sends a body is run to its
// end here, so the caller's body is never read after the call returns.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <chrono>
#include <new>
#include <string_view>

#include "WinInetHandle.h"
#include "WinInetTls.h"

using namespace kwin32::wininet;

namespace {

using Clock = std::chrono::steady_clock;

// WinInet waits this long for a connection when nobody says otherwise.
constexpr long kConnectTimeoutMs = 60000;
// Redirects followed on their own (GET and HEAD), as WinInet limits them.
constexpr long kMaxRedirects = 10;
// What curl receives at once: a large body arrives in fewer calls.
constexpr long kReceiveBuffer = 256 * 1024;
// The most of one response body held for the reader when it is received
// whole.
constexpr size_t kMaxBufferedBody = size_t{512} * 1024 * 1024;
// A body received as it is read waits here until the reader has taken it.
constexpr size_t kHandOverLimit = 1024 * 1024;
// The longest wait for the socket before the transfer looks at its time-out
// and whether the handle was closed.
constexpr int kPollMs = 100;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWithBlankLine(const std::string& block) {
  return block.size() >= 4 && block.compare(block.size() - 4, 4, "\r\n\r\n") == 0;
}

std::string Trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return std::string(text.substr(b, e - b));
}

// The caller's header lines, separated by CR LF (or a lone LF).
std::vector<std::string> HeaderLines(LPCSTR headers, DWORD length) {
  std::vector<std::string> lines;
  if (headers == nullptr) return lines;
  std::string_view text(headers, length == static_cast<DWORD>(-1) ? strlen(headers) : length);
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string trimmed = Trim(line);
    if (!trimmed.empty()) lines.push_back(trimmed);
  }
  return lines;
}

bool HasHeader(const std::vector<std::string>& lines, const char* name) {
  const size_t n = strlen(name);
  for (const std::string& line : lines)
    if (line.size() > n && line[n] == ':' && strncasecmp(line.c_str(), name, n) == 0) return true;
  return false;
}

// The request target as sent: bytes that may not appear raw on the request
// line are escaped; everything else, '%' included, goes as given.
std::string EscapeObject(const std::string& object) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = object.empty() || object[0] != '/' ? "/" : "";
  for (unsigned char c : object) {
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Origin(const Connection& connection, bool secure) {
  const std::string& name = connection.host;
  const bool bareIpv6 = name.find(':') != std::string::npos && name.front() != '[';
  std::string host = bareIpv6 ? "[" + name + "]" : name;
  return std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(connection.port);
}

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

class HeaderList {
 public:
  ~HeaderList() { curl_slist_free_all(list_); }
  void Clear() {
    curl_slist_free_all(list_);
    list_ = nullptr;
  }
  bool Append(const std::string& line) {
    curl_slist* next = curl_slist_append(list_, line.c_str());
    if (next == nullptr) return false;
    list_ = next;
    return true;
  }
  curl_slist* Get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// The transfer driver of a pooled curl handle, made on its first use. It
// holds the handle's connection cache, so it lives as long as the handle.
CURLM* MultiOf(CURL* curl) {
  char* owned = nullptr;
  curl_easy_getinfo(curl, CURLINFO_PRIVATE, &owned);
  if (owned != nullptr) return reinterpret_cast<CURLM*>(owned);
  CURLM* multi = curl_multi_init();
  if (multi != nullptr) curl_easy_setopt(curl, CURLOPT_PRIVATE, reinterpret_cast<char*>(multi));
  return multi;
}

}  // namespace

namespace kwin32::wininet {

void DestroyCurl(CURL* curl) {
  char* owned = nullptr;
  curl_easy_getinfo(curl, CURLINFO_PRIVATE, &owned);
  curl_easy_cleanup(curl);
  if (owned != nullptr) curl_multi_cleanup(reinterpret_cast<CURLM*>(owned));
}

// One exchange on one curl handle; collects what the request handle keeps.
class Transfer {
 public:
  Transfer(Request& request, CURL* curl, std::string key)
      : request_(request), response_(request.response), curl_(curl), key_(std::move(key)) {}
  ~Transfer();
  DWORD Run(const std::vector<std::string>& lines, const char* body, size_t length);
  // Receives until the body has unread bytes or has ended.
  void Pull();
  // Why the body ended, once it has: ERROR_SUCCESS when it came whole.
  DWORD EndError() const;
  bool Finished() const { return finished_; }

 private:
  template <typename Enough>
  void Drive(Enough enough);
  void Detach();
  bool Configure(const std::vector<std::string>& lines, const char* body, size_t length, const std::string& url);
  void SetMethod(const char* body, size_t length);
  void SetCredentials();
  bool RefusedCachedDigest() const;
  void Restart();
  void LearnAuthScheme();
  void ReserveBody();
  void SynthesizeRequestHeaders(const std::vector<std::string>& lines);
  DWORD Outcome(CURLcode code);

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
  void Touch() { lastActivity_ = Clock::now(); }

  Request& request_;
  Response& response_;
  CURL* curl_;
  const std::string key_;
  CURLM* multi_ = nullptr;
  HeaderList headerList_;
  TlsCheck tls_;
  std::string block_;  // the response header block being received
  DWORD timeoutMs_ = 0;
  Clock::time_point lastActivity_;
  curl_off_t uploaded_ = 0;
  bool timedOut_ = false;
  bool cancelled_ = false;
  bool outOfMemory_ = false;
  bool streaming_ = false;    // the body is handed over as it is read
  bool bodyStarted_ = false;  // the last response's body has begun
  bool paused_ = false;       // curl holds back a piece until the reader asks
  bool finished_ = false;
  int responses_ = 0;  // final responses of this exchange so far
  CURLcode result_ = CURLE_OK;
};

Transfer::~Transfer() {
  Detach();
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);  // the list dies with this transfer
  request_.Owner().Owner().ReturnCurl(key_, curl_);
}

// Taking a handle out before its end closes its connection.
void Transfer::Detach() {
  if (multi_ != nullptr) curl_multi_remove_handle(multi_, curl_);
  multi_ = nullptr;
}

template <typename Enough>
void Transfer::Drive(Enough enough) {
  while (!finished_ && !enough()) {
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      finished_ = true;
      result_ = CURLE_OUT_OF_MEMORY;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      finished_ = true;
      result_ = message->data.result;
    }
    if (finished_ || enough()) break;
    curl_multi_poll(multi_, nullptr, 0, kPollMs, nullptr);
  }
  if (finished_) Detach();
}

void Transfer::Pull() {
  if (finished_) return;
  Touch();  // the time-out counts while somebody waits, not while the reader was away
  if (paused_) {
    paused_ = false;
    curl_easy_pause(curl_, CURLPAUSE_CONT);  // hands over the piece it held back
  }
  Drive([this] { return response_.body.Unread() > 0 || response_.body.LentFull(); });
}

DWORD Transfer::EndError() const {
  if (cancelled_) return ERROR_INTERNET_OPERATION_CANCELLED;
  if (timedOut_) return ERROR_INTERNET_TIMEOUT;
  if (outOfMemory_) return ERROR_NOT_ENOUGH_MEMORY;
  return result_ == CURLE_OK ? ERROR_SUCCESS : ErrorFromCurl(result_);
}

DWORD Transfer::Run(const std::vector<std::string>& lines, const char* body, size_t length) {
  const Connection& connection = request_.Owner();
  const bool secure = (request_.flags & INTERNET_FLAG_SECURE) != 0;
  const std::string url = Origin(connection, secure) + EscapeObject(request_.object);
  response_ = Response();
  response_.sent = true;
  timeoutMs_ = request_.ReceiveTimeout();
  Touch();
  // The handle is not reset: it keeps the account's Digest state. Every
  // option is therefore set anew for each request.
  if (!Configure(lines, body, length, url)) return ERROR_NOT_ENOUGH_MEMORY;
  CURLM* multi = MultiOf(curl_);
  if (multi == nullptr || curl_multi_add_handle(multi, curl_) != CURLM_OK) return ERROR_NOT_ENOUGH_MEMORY;
  multi_ = multi;
  streaming_ = length == 0;
  // A response is the last one once its body begins: curl skips the bodies
  // of the responses it answers itself (challenges, followed redirects).
  Drive([this] { return streaming_ && response_.complete && bodyStarted_; });
  if (RefusedCachedDigest()) {
    // The Digest answer of an earlier challenge was refused with a fresh
    // one (a restarted server forgets its nonces, stale or not): the
    // request goes once more, as WinInet does, and only a refusal of that
    // is final. curl holds a refused challenge as a problem and ignores the
    // next ones of the handle, so the handle starts again from no state.
    Drive([] { return false; });
    CURLM* multi = MultiOf(curl_);
    curl_easy_reset(curl_);
    curl_easy_setopt(curl_, CURLOPT_PRIVATE, reinterpret_cast<char*>(multi));  // the reset forgot it
    headerList_.Clear();
    if (!Configure(lines, body, length, url)) return ERROR_NOT_ENOUGH_MEMORY;
    Restart();
    Drive([this] { return streaming_ && response_.complete && bodyStarted_; });
  }
  long status = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
  response_.status = response_.complete ? status : 0;
  if (!finished_) {
    LearnAuthScheme();
    return Outcome(CURLE_OK);
  }
  if (result_ == CURLE_OK && response_.complete) LearnAuthScheme();
  if (response_.requestHeaders.empty()) SynthesizeRequestHeaders(lines);
  return Outcome(result_);
}

// Whether the only response is a 401 with a Digest challenge to a request
// that went with Digest credentials before any challenge of this exchange.
bool Transfer::RefusedCachedDigest() const {
  if (responses_ != 1 || !response_.complete) return false;
  long status = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
  std::string challenge;
  bool digest = false;
  for (DWORD i = 0; FindHeader(response_.headers, "WWW-Authenticate", i, &challenge); ++i)
    digest = digest || strncasecmp(challenge.c_str(), "Digest", 6) == 0;
  return status == 401 && digest && response_.requestHeaders.find("\r\nAuthorization: Digest ") != std::string::npos;
}

// Sends the request again on the same handle, which keeps the challenge
// that the last response brought.
void Transfer::Restart() {
  Detach();
  response_.complete = false;
  response_.headers.clear();
  response_.body.Clear();
  block_.clear();
  bodyStarted_ = paused_ = finished_ = false;
  result_ = CURLE_OK;
  Touch();
  CURLM* multi = MultiOf(curl_);
  if (curl_multi_add_handle(multi, curl_) != CURLM_OK) {
    finished_ = true;
    outOfMemory_ = true;
    return;
  }
  multi_ = multi;
}

bool Transfer::Configure(const std::vector<std::string>& lines, const char* body, size_t length,
                         const std::string& url) {
  const Internet& internet = request_.Owner().Owner();
  const bool secure = (request_.flags & INTERNET_FLAG_SECURE) != 0;
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(curl_, CURLOPT_PATH_AS_IS, 1L);
  // An empty proxy text means no proxy at all, whatever the environment says.
  curl_easy_setopt(curl_, CURLOPT_PROXY, (secure ? internet.httpsProxy : internet.httpProxy).c_str());
  curl_easy_setopt(curl_, CURLOPT_NOPROXY, internet.noProxy.c_str());
  curl_easy_setopt(curl_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION,
                   request_.version == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, internet.agent.empty() ? nullptr : internet.agent.c_str());
  if (secure) tls_.Configure(curl_, request_.securityFlags);
  SetMethod(body, length);
  SetCredentials();

  // The caller's lines as given; curl's own Accept, Expect and form
  // Content-Type are not WinInet's, so they are taken out.
  for (const std::string& line : lines) {
    // "Name:" alone would tell curl to drop the header; "Name;" sends it empty.
    std::string entry = line.back() == ':' ? line.substr(0, line.size() - 1) + ";" : line;
    if (!headerList_.Append(entry)) return false;
  }
  if (!HasHeader(lines, "Accept") && !headerList_.Append("Accept:")) return false;
  if (!HasHeader(lines, "Expect") && !headerList_.Append("Expect:")) return false;
  if (!HasHeader(lines, "Content-Type") && !headerList_.Append("Content-Type:")) return false;
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headerList_.Get());

  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, &Transfer::OnDebug);
  curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
  curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
  return true;
}

void Transfer::SetMethod(const char* body, size_t length) {
  const std::string& verb = request_.verb;
  const bool follow = (request_.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0;
  // What the handle's last request set is undone first (POSTFIELDS itself
  // makes a POST, so GET and HEAD are chosen after it).
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, kMaxRedirects);
  if ((verb == "GET" || verb == "HEAD") && length == 0) {
    // WinInet follows redirects of these verbs by itself.
    curl_easy_setopt(curl_, verb == "GET" ? CURLOPT_HTTPGET : CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
    return;
  }
  // Any other verb carries its body, or an empty one with Content-Length 0.
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
  curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, length > 0 ? body : "");
  curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, verb.c_str());
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L);
}

// Whatever the server asks for, as WinInet answers it; Negotiate is left
// out because it may reach a Kerberos server the URL does not name.
constexpr long kAnsweredSchemes = CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM;

void Transfer::SetCredentials() {
  const Connection& connection = request_.Owner();
  if ((request_.flags & INTERNET_FLAG_NO_AUTH) || connection.userName.empty()) {
    curl_easy_setopt(curl_, CURLOPT_USERNAME, nullptr);
    curl_easy_setopt(curl_, CURLOPT_PASSWORD, nullptr);
    curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    return;
  }
  curl_easy_setopt(curl_, CURLOPT_USERNAME, connection.userName.c_str());
  curl_easy_setopt(curl_, CURLOPT_PASSWORD, connection.password.c_str());
  // Once the server's scheme is known, only that one is offered: a body is
  // then never sent on an unauthenticated try (Digest probes with an empty
  // body first, Basic goes at once).
  const long known = request_.Owner().Owner().AuthScheme(key_);
  curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, known != 0 ? known : kAnsweredSchemes);
}

// The scheme curl answered the server's challenge with, in curl's order of
// preference, remembered for the key's later requests. A request that still
// ends 401 forgets it, so the next one lets the server choose again.
void Transfer::LearnAuthScheme() {
  const Connection& connection = request_.Owner();
  if ((request_.flags & INTERNET_FLAG_NO_AUTH) || connection.userName.empty()) return;
  Internet& internet = connection.Owner();
  if (response_.status == 401) {
    internet.SetAuthScheme(key_, 0);
    return;
  }
  long offered = 0;
  if (curl_easy_getinfo(curl_, CURLINFO_HTTPAUTH_AVAIL, &offered) != CURLE_OK) return;
  offered &= kAnsweredSchemes;
  for (long scheme : {static_cast<long>(CURLAUTH_DIGEST), static_cast<long>(CURLAUTH_NTLM),
                      static_cast<long>(CURLAUTH_BASIC)}) {
    if (offered & scheme) {
      internet.SetAuthScheme(key_, scheme);
      return;
    }
  }
}

// The length of the body the header block announces sizes the pieces it is
// received in; a body over what this layer holds is refused before it comes.
void Transfer::ReserveBody() {
  if (request_.verb == "HEAD") return;  // its length is that of a body never sent
  std::string value;
  if (!FindHeader(response_.headers, "Content-Length", 0, &value)) return;
  char* end = nullptr;
  const unsigned long long length = strtoull(value.c_str(), &end, 10);
  if (end == value.c_str() || value[0] == '-') return;
  if (length > kMaxBufferedBody) {
    outOfMemory_ = true;
    return;
  }
  response_.body.Expect(static_cast<size_t>(length));
}

// What WinInet reports as the request headers of a request it could not
// send: the request line and the headers it was given.
void Transfer::SynthesizeRequestHeaders(const std::vector<std::string>& lines) {
  const Connection& connection = request_.Owner();
  std::string block = request_.verb + " " + EscapeObject(request_.object) + " " + request_.version + "\r\n";
  for (const std::string& line : lines) block += line + "\r\n";
  block += "Host: " + connection.host + ":" + std::to_string(connection.port) + "\r\n\r\n";
  response_.requestHeaders = block;
}

DWORD Transfer::Outcome(CURLcode code) {
  if (cancelled_) return ERROR_INTERNET_OPERATION_CANCELLED;
  if (timedOut_) return ERROR_INTERNET_TIMEOUT;
  if (outOfMemory_) return ERROR_NOT_ENOUGH_MEMORY;
  if (code != CURLE_OK) return (request_.flags & INTERNET_FLAG_SECURE) ? tls_.ErrorOf(code) : ErrorFromCurl(code);
  if (!response_.complete) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  // A redirect of any other verb needs the caller's consent, as in WinInet.
  const std::string& verb = request_.verb;
  if (verb != "GET" && verb != "HEAD" && (request_.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0 &&
      IsRedirect(response_.status) && FindHeader(response_.headers, "Location", 0, nullptr))
    return ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION;
  return ERROR_SUCCESS;
}

size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const size_t n = size * count;
  std::string_view line(data, n);
  try {
    if (StartsWith(line, "HTTP/")) {
      // A new response (after 100 Continue, an authentication round or a
      // followed redirect): only the last one counts.
      t->block_.assign(line);
      if (!StartsWith(line.substr(line.find(' ') + 1), "1")) ++t->responses_;
      t->response_.complete = false;
      t->bodyStarted_ = false;
      t->response_.headers.clear();
      t->response_.body.Clear();
      if ((t->request_.flags & INTERNET_FLAG_SECURE) && t->response_.serverCertificate.empty())
        t->response_.serverCertificate = TlsCheck::ServerCertificate(t->curl_);
    } else {
      t->block_.append(line);
    }
    if (line == "\r\n" || line == "\n") {
      t->response_.headers = t->block_;
      t->response_.complete = true;
      t->ReserveBody();
      if (t->outOfMemory_) return 0;
    }
  } catch (const std::bad_alloc&) {
    t->outOfMemory_ = true;
    return 0;
  }
  t->Touch();
  return n;
}

size_t Transfer::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const size_t n = size * count;
  if (n == 0) return 0;
  t->bodyStarted_ = true;
  // Streamed, the reader takes each part before curl receives more.
  if (t->streaming_ && t->response_.body.Unread() >= kHandOverLimit) {
    t->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  // Held whole, a body that never ends must not take all memory.
  if (!t->streaming_ && t->response_.body.Received() + n > kMaxBufferedBody) {
    t->outOfMemory_ = true;
    return 0;
  }
  try {
    t->response_.body.Append(data, n);
  } catch (const std::bad_alloc&) {
    t->outOfMemory_ = true;
    return 0;
  }
  t->Touch();
  return n;
}

int Transfer::OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
  if (type != CURLINFO_HEADER_OUT) return 0;
  auto* t = static_cast<Transfer*>(self);
  std::string& sent = t->response_.requestHeaders;
  try {
    if (sent.empty() || EndsWithBlankLine(sent))
      sent.assign(data, size);  // each request of the exchange replaces the last
    else
      sent.append(data, size);
  } catch (const std::bad_alloc&) {
    t->outOfMemory_ = true;
  }
  return 0;
}

int Transfer::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
  auto* t = static_cast<Transfer*>(self);
  if (t->request_.Closed()) {
    t->cancelled_ = true;
    return 1;
  }
  if (t->outOfMemory_) return 1;
  if (uploaded != t->uploaded_) {
    t->uploaded_ = uploaded;
    t->Touch();
  }
  // The receive time-out counts from the last byte that moved; 0 and
  // INFINITE mean no limit.
  if (t->timeoutMs_ != 0 && t->timeoutMs_ != INFINITE &&
      Clock::now() - t->lastActivity_ > std::chrono::milliseconds(t->timeoutMs_)) {
    t->timedOut_ = true;
    return 1;
  }
  return 0;
}

void TransferDeleter::operator()(Transfer* transfer) const { delete transfer; }

// What arrived before an error is read first; the error then stays.
DWORD WaitForBody(Request& request) {
  Response& response = request.response;
  Transfer* transfer = request.transfer.get();
  if (transfer != nullptr && response.body.Unread() == 0) {
    transfer->Pull();
    if (transfer->Finished()) {
      response.bodyError = transfer->EndError();
      request.transfer.reset();  // the handle goes back to the pool
    }
  }
  return response.body.Unread() > 0 || response.body.Lent() > 0 ? ERROR_SUCCESS : response.bodyError;
}

}  // namespace kwin32::wininet

namespace {

// Which pooled curl handle a request may use: the server, and the account
// whose authentication state the handle carries.
std::string PoolKey(const Request& request) {
  const Connection& connection = request.Owner();
  std::string key = Origin(connection, (request.flags & INTERNET_FLAG_SECURE) != 0);
  // A connection checked under relaxed flags serves only requests with the same.
  if (request.securityFlags != 0) key += "\nflags " + std::to_string(request.securityFlags);
  if ((request.flags & INTERNET_FLAG_NO_AUTH) == 0 && !connection.userName.empty()) {
    key += '\n' + connection.userName;
    key += '\n' + connection.password;
  }
  return key;
}

}  // namespace

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                             DWORD dwOptionalLength) {
  ObjectRef object = Lookup(hRequest, HandleKind::Request);
  if (!object) return FALSE;
  auto& request = *static_cast<Request*>(object.Get());
  if (request.Closed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
  if (lpOptional == nullptr) dwOptionalLength = 0;
  std::vector<std::string> lines;
  try {
    lines = HeaderLines(lpszHeaders, dwHeadersLength);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }

  request.transfer.reset();  // a body not read to its end is dropped
  Internet& internet = request.Owner().Owner();
  std::string key = PoolKey(request);
  CURL* curl = internet.AcquireCurl(key);
  if (curl == nullptr) return Fail(ERROR_INTERNET_OUT_OF_HANDLES);
  DWORD error = ERROR_SUCCESS;
  try {
    request.transfer.reset(new Transfer(request, curl, std::move(key)));
  } catch (const std::bad_alloc&) {
    internet.ReturnCurl(PoolKey(request), curl);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  error = request.transfer->Run(lines, static_cast<const char*>(lpOptional), dwOptionalLength);
  // A body still arriving stays readable, whatever the outcome says.
  if (request.transfer->Finished() || !request.response.complete) request.transfer.reset();
  if (error != ERROR_SUCCESS) return Fail(error);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
