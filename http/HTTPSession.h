// CHTTPSession: one HTTP request/response exchange, run through WinInet on
// a worker thread. At most `ThreadCount` sessions run at once; the others
// wait in a first-in-first-out queue. The workers are kept between
// sessions (at most `ThreadCount` of them) and end at Shutdown.
//
// Life of a session: the HTTPMail client creates it on the window thread,
// fills url, method, headers, body, kind and the credentials, and calls
// Submit. On WM_HTTP_SESSION_DONE (wParam = kind, lParam = the session) it
// reads completed, status and response, calls Finish, and deletes it.
#ifndef KESTRELON_HTTP_SESSION_H
#define KESTRELON_HTTP_SESSION_H

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/BodyConsumer.h"

class CSettings;
class CWorkerPool;

// What the transport takes from its owner: the window told of every
// session's end, and the settings read as each session starts (thread
// count, time-out, proxy switch, agent). When a proxy refuses a request,
// the proxy switch is set in these settings and they are saved.
struct TransportSettings {
  HWND window = nullptr;
  CSettings* settings = nullptr;
};

class CHTTPSession {
 public:
  CHTTPSession();
  virtual ~CHTTPSession();
  CHTTPSession(const CHTTPSession&) = delete;
  CHTTPSession& operator=(const CHTTPSession&) = delete;

  // Takes the session over: starts it, or queues it when every slot is
  // taken. True: the transport owns the session until exactly one
  // WM_HTTP_SESSION_DONE for it reaches the main window, even when it cannot
  // be started (then with completed false); count it as one request started.
  // False only when there is no main window to tell: nothing was started and
  // the session stays with the caller.
  static bool Submit(CHTTPSession* session);
  // Gives the transport its window and settings; sessions started later
  // use them. Without settings, the defaults of CSettings apply.
  static void Configure(const TransportSettings& transport);
  // Host window teardown: deletes the queued sessions unrun (one error box),
  // waits a bounded time for the workers to end, closes WinInet (which ends
  // the calls of any still running) and waits for them again.
  static void Shutdown();
  // On the window thread, in the handler of this session's completion:
  // hands its slot to the next queued session. Its worker was done with it
  // when it posted the completion.
  void Finish();

  bool completed;
  bool allowAuth;
  // The largest response body taken; a longer one ends the session not
  // completed, refused while it arrives. 0: no limit.
  size_t maxResponse;
  int kind;
  int status;
  std::string agent;
  std::string url;
  std::string method;
  std::string headers;
  std::string body;
  std::string response;
  // The Content-Range of a 206, which says where its part begins.
  std::string contentRange;
  // When set, a body is handed to it as it arrives, on the worker thread,
  // and `response` stays empty.
  std::unique_ptr<CBodyConsumer> consumer;
  // The account credentials, copied in when the session is created, so a
  // running worker never reads strings the window thread is changing. They
  // go only to the scheme, host and port of `url` as created: a redirect to
  // another origin is followed without them. When the service is reached
  // over https, no request goes over plain http at all.
  std::string userName;
  std::string password;

 private:
  friend class CAttemptHandle;
  static bool StartWaiting(CHTTPSession* submitted = nullptr);
  static void CALLBACK OnWatchdog(HWND window, UINT message, UINT_PTR id, DWORD now);
  void ArmWatchdog();
  void Abort();
  bool Launch();
  bool StartThread();
  bool PostDone();
  static CWorkerPool& Workers();
  static void Run(void* session);
  enum class Admission { WithCredentials, WithoutCredentials, Refused };
  Admission Admit(const std::string& origin, bool secure) const;
  void Execute(int redirects);
  bool SafeToSend();
  void TrustPinned(HINTERNET request) const;
  bool ProbeCertificate(const char* host, INTERNET_PORT port, DWORD flags);
  bool MatchesPin(HINTERNET request) const;
  static bool HasLocation(HINTERNET request);
  void Redirect(HINTERNET request, int redirects, DWORD sendError);
  void FallBackToDirect(int redirects);
  void ReadResponse(HINTERNET request);
  void QueryInfo(std::string& text, HINTERNET request, DWORD level);
  static bool OpenInternet(const std::string& agent);
  static void CloseInternet();

  URL_COMPONENTSA urlParts_;
  char hostName_[1024];
  char urlPath_[1024];
  // Fixed when the session starts, so the worker reads no shared state.
  HWND window_;
  DWORD timeOut_;
  HINTERNET internet_;   // the WinInet handle this session's attempts use
  bool preconfigured_;   // that handle takes the system's proxy settings
  bool switchedToDirect_;  // a proxy answered 400; the rest went direct
  std::string origin_;     // scheme, host and port the credentials are for
  bool secureService_;     // the service's entry URL is https
  std::string pin_;        // SHA-256 the server's certificate must have, or ""
  bool holdsSlot_;
  DWORD started_;  // GetTickCount when the session was handed to a worker
  // The WinInet handles of the running attempt, which Abort closes from the
  // window thread to end a call the worker is blocked in.
  std::mutex handlesLock_;
  std::vector<HINTERNET> handles_;
  std::atomic<bool> aborted_;
};

#endif
