// A small threaded HTTP/1.1 server on 127.0.0.1 for the transport tests:
// one thread a connection, keep-alive, requests recorded, replies from a
// handler the test gives.
#ifndef KESTRELON_TEST_HTTP_SERVER_H
#define KESTRELON_TEST_HTTP_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpRequest {
  std::string method;
  std::string target;  // as on the request line: a path, or an absolute URL through a proxy
  std::string head;    // the whole header block, request line first
  std::string body;
  int connection = 0;  // which accepted connection it came on, from 1

  // The value of the first header of that name (case-insensitive), or "".
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

// Raw reply bytes; an empty text closes the connection without answering.
using HttpHandler = std::function<std::string(const HttpRequest&)>;

// A reply with Content-Length and the given extra header lines (CR LF ended).
std::string HttpReply(int status, const std::string& reason, const std::string& headers = "",
                      const std::string& body = "");
// The same with a chunked body of `chunk`-byte pieces.
std::string HttpChunkedReply(int status, const std::string& reason, const std::string& body, size_t chunk);

// A gate a handler can wait at until the test opens it (or a time-out
// passes, so nothing hangs for ever). Opens itself when destroyed.
class Gate {
 public:
  ~Gate() { Open(); }
  void Open();
  // False when the time-out passed with the gate shut.
  bool Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

 private:
  std::mutex lock_;
  std::condition_variable cond_;
  bool open_ = false;
};

// Opens a gate when it goes out of scope. Declared after the server whose
// handler waits at the gate, it lets that server stop at once, whichever
// way the test ends.
class OpenOnExit {
 public:
  explicit OpenOnExit(Gate& gate) : gate_(gate) {}
  ~OpenOnExit() { gate_.Open(); }

 private:
  Gate& gate_;
};

class TestHttpServer {
 public:
  explicit TestHttpServer(HttpHandler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  int Port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::vector<HttpRequest> Requests() const;
  size_t RequestCount() const;
  int Connections() const { return connections_; }
  // Waits until `count` requests have arrived; false after `timeout`.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

 private:
  void AcceptLoop();
  void Serve(int fd, int connection);
  bool ReadRequest(int fd, std::string& buffer, HttpRequest& request);
  bool Readable(int fd);

  HttpHandler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex lock_;
  mutable std::condition_variable arrived_;
  std::vector<HttpRequest> requests_;
  std::vector<int> clients_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
int UnusedPort();

#endif
