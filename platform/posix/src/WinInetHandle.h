// The objects behind HINTERNET values: the Internet (InternetOpenA), a
// connection (InternetConnectA) and a request (HttpOpenRequestA).
//
// Objects are reference counted. The handle holds one reference, each child
// one on its parent, and each call in progress one on its object, so closing
// a handle on one thread never frees what another thread is using; closing
// marks the object, and a transfer in progress under it (or under any of its
// children) is cancelled, as WinInet cancels pending calls of a closed
// handle.
#ifndef KWIN32_WININET_HANDLE_H
#define KWIN32_WININET_HANDLE_H

#include <windows.h>
#include <wininet.h>

#include <curl/curl.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kwin32::wininet {

enum class HandleKind { Internet, Connection, Request };

// WinInet's receive time-out when none is set.
constexpr DWORD kDefaultReceiveTimeout = 30000;

class Object {
 public:
  Object(HandleKind kind, Object* parent);
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HandleKind Kind() const { return kind_; }
  Object* Parent() const { return parent_; }
  void AddRef() { ++refs_; }
  void Release();

  // True once this handle or one of its ancestors was closed.
  bool Closed() const;
  void MarkClosed() { closed_ = true; }

  // The receive time-out of this handle. A new handle starts with its
  // parent's value of the moment: WinInet copies time-outs down when it
  // opens a handle, so a later change on the parent does not reach it.
  DWORD ReceiveTimeout() const { return receiveTimeout_; }
  void SetReceiveTimeout(DWORD milliseconds) { receiveTimeout_ = milliseconds; }

 private:
  const HandleKind kind_;
  Object* const parent_;
  std::atomic<int> refs_{1};
  std::atomic<bool> closed_{false};
  std::atomic<DWORD> receiveTimeout_;
};

// InternetOpenA: the agent, the proxy choice and a pool of curl handles
// whose connection caches keep connections alive from request to request.
class Internet : public Object {
 public:
  Internet() : Object(HandleKind::Internet, nullptr) {}
  ~Internet() override;

  std::string agent;
  std::string httpProxy;   // empty: direct
  std::string httpsProxy;  // empty: direct
  std::string noProxy;     // hosts reached directly even with a proxy

  // A curl handle for one transfer, preferably the one that last served
  // `key` (origin and credentials): it may still hold an open connection
  // there and the account's Digest state, so the request goes out
  // authenticated at once. Without one, a new handle: no state crosses from
  // one account or server to another.
  CURL* AcquireCurl(const std::string& key);
  void ReturnCurl(const std::string& key, CURL* curl);

  // The scheme (one CURLAUTH_ bit) the server of `key` asked for with its
  // first challenge; 0 while none is known. WinInet answers later requests
  // of the server in that scheme without offering the body unauthenticated.
  long AuthScheme(const std::string& key);
  void SetAuthScheme(const std::string& key, long scheme);

 private:
  std::mutex poolLock_;
  std::vector<std::pair<std::string, CURL*>> idle_;
  std::map<std::string, long> authSchemes_;
};

class Connection : public Object {
 public:
  explicit Connection(Internet* internet) : Object(HandleKind::Connection, internet) {}
  Internet& Owner() const { return *static_cast<Internet*>(Parent()); }

  std::string host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
  std::string userName;
  std::string password;
};

// A response body as it arrived, in pieces that are given up as the reader
// takes them: a body read once is never held twice, as WinInet streams it.
// One piece read to its end is kept for the next to arrive, so a body
// streamed through reuses the same memory instead of fresh pages.
class BodyBuffer {
 public:
  size_t Unread() const { return unread_; }
  size_t Received() const { return received_; }  // since the last Clear
  // Bytes still to come, when the header block said; sizes the pieces.
  void Expect(size_t bytes) { expected_ = bytes; }
  void Clear();
  // Throws std::bad_alloc.
  void Append(const char* data, size_t length);
  size_t Read(char* out, size_t length);
  // While a reader waits with nothing unread, what arrives goes straight
  // into its buffer (Lend); the rest is held as usual. TakeBack ends the
  // loan and returns the bytes that landed there.
  void Lend(char* out, size_t length);
  size_t TakeBack();
  size_t Lent() const { return lentFilled_; }
  bool LentFull() const { return lent_ != nullptr && lentFilled_ == lentRoom_; }

 private:
  std::deque<std::string> pieces_;
  char* lent_ = nullptr;  // the waiting reader's buffer, while it waits
  size_t lentRoom_ = 0;
  size_t lentFilled_ = 0;
  std::string spare_;  // emptied, with its storage, for the next piece
  size_t head_ = 0;  // bytes of the first piece already read
  size_t unread_ = 0;
  size_t received_ = 0;
  size_t expected_ = 0;
};

// What one HttpSendRequestA left in its request.
struct Response {
  bool sent = false;            // a send was attempted
  std::string requestHeaders;   // the last header block sent, request line first
  bool complete = false;        // a whole response header block arrived
  std::string headers;          // that block, status line first, CR LF ended
  long status = 0;
  std::string serverCertificate;  // DER, when the response came over TLS
  BodyBuffer body;
  DWORD bodyError = ERROR_SUCCESS;  // why the rest of a streamed body cannot come
};

// An exchange whose body is still arriving; it holds its curl handle until
// the body ends or the request is closed or sent again.
class Transfer;
struct TransferDeleter {
  void operator()(Transfer* transfer) const;
};

// HttpOpenRequestA: one request, re-sendable; its response stays until the
// next send or the close.
class Request : public Object {
 public:
  explicit Request(Connection* connection) : Object(HandleKind::Request, connection) {}
  Connection& Owner() const { return *static_cast<Connection*>(Parent()); }

  std::string verb;
  std::string object;
  std::string version;
  DWORD flags = 0;
  DWORD securityFlags = 0;  // the SECURITY_FLAG_IGNORE_ bits the caller set
  Response response;
  std::unique_ptr<Transfer, TransferDeleter> transfer;
};

// Waits until the body has unread bytes or has ended; ERROR_SUCCESS, or why
// the rest of the body cannot come.
DWORD WaitForBody(Request& request);

// A counted reference held for the length of one call.
class ObjectRef {
 public:
  ObjectRef() = default;
  explicit ObjectRef(Object* object) : object_(object) {}
  ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ObjectRef& operator=(ObjectRef&&) = delete;
  ~ObjectRef() {
    if (object_) object_->Release();
  }
  Object* Get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  Object* object_ = nullptr;
};

// Registers a new object and returns its handle value.
HINTERNET Register(Object* object);
// The object of a handle, referenced; empty with the last error set when the
// handle is unknown (ERROR_INVALID_HANDLE) or of another kind
// (ERROR_INTERNET_INCORRECT_HANDLE_TYPE).
ObjectRef Lookup(HINTERNET handle, HandleKind kind);
ObjectRef Lookup(HINTERNET handle);
// Removes a handle; the reference the handle held is given to the caller.
ObjectRef Unregister(HINTERNET handle);

// The value of the index-th header line called `name` (case-insensitive) in
// a header block whose first line is the request or status line.
bool FindHeader(const std::string& block, std::string_view name, DWORD index, std::string* value);

// Sets the last error and returns FALSE.
BOOL Fail(DWORD error);

// curl's outcome of a transfer as a WinInet error number.
DWORD ErrorFromCurl(CURLcode code);

// The SECURITY_FLAG_ bits a caller may set on a request.
constexpr DWORD kSettableSecurityFlags = SECURITY_FLAG_IGNORE_REVOCATION | SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                         SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                         SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

// Frees a pooled curl handle with the transfer driver (and its connection
// cache) that belongs to it.
void DestroyCurl(CURL* curl);
// Starts curl once for the process.
void InitializeCurl();

}  // namespace kwin32::wininet

#endif
