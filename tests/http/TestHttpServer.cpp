#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

int ListenOnLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen");
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
  size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    size_t start = pos + 2, end = head.find("\r\n", start);
    std::string line = head.substr(start, end - start);
    pos = end;
    size_t colon = line.find(':');
    if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), colon) == 0) {
      size_t v = line.find_first_not_of(' ', colon + 1);
      return v == std::string::npos ? "" : line.substr(v);
    }
  }
  return "";
}

bool HttpRequest::HasHeader(const std::string& name) const {
  std::string probe = "\r\n" + name + ":";
  std::string lower = head, lowerProbe = probe;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (char& c : lowerProbe) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find(lowerProbe) != std::string::npos;
}

std::string HttpReply(int status, const std::string& reason, const std::string& headers, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string HttpChunkedReply(int status, const std::string& reason, const std::string& body, size_t chunk) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[32];
  for (size_t pos = 0; pos < body.size(); pos += chunk) {
    std::string piece = body.substr(pos, chunk);
    snprintf(size, sizeof size, "%zx\r\n", piece.size());
    out += size + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

void Gate::Open() {
  std::lock_guard<std::mutex> guard(lock_);
  open_ = true;
  cond_.notify_all();
}

bool Gate::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return cond_.wait_for(guard, timeout, [this] { return open_; });
}

TestHttpServer::TestHttpServer(HttpHandler handler) : handler_(std::move(handler)) {
  listener_ = ListenOnLoopback(&port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  stopping_ = true;
  shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  close(listener_);
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : clients_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : threads_) t.join();
  for (int fd : clients_) close(fd);
}

std::string TestHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> TestHttpServer::Requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

size_t TestHttpServer::RequestCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_.size();
}

bool TestHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(lock_);
  return arrived_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
}

bool TestHttpServer::Readable(int fd) {
  while (!stopping_) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, 50);
    if (n > 0) return true;
    if (n < 0) return false;
  }
  return false;
}

void TestHttpServer::AcceptLoop() {
  while (Readable(listener_)) {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    int connection = ++connections_;
    std::lock_guard<std::mutex> guard(lock_);
    clients_.push_back(fd);
    threads_.emplace_back([this, fd, connection] { Serve(fd, connection); });
  }
}

bool TestHttpServer::ReadRequest(int fd, std::string& buffer, HttpRequest& request) {
  char chunk[16384];
  size_t end;
  while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!Readable(fd)) return false;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
  request.head = buffer.substr(0, end + 4);
  buffer.erase(0, end + 4);
  size_t sp1 = request.head.find(' '), sp2 = request.head.find(' ', sp1 + 1);
  request.method = request.head.substr(0, sp1);
  request.target = request.head.substr(sp1 + 1, sp2 - sp1 - 1);
  size_t length = static_cast<size_t>(atol(request.Header("Content-Length").c_str()));
  while (buffer.size() < length) {
    if (!Readable(fd)) return false;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
  request.body = buffer.substr(0, length);
  buffer.erase(0, length);
  return true;
}

void TestHttpServer::Serve(int fd, int connection) {
  std::string buffer;
  for (;;) {
    HttpRequest request;
    request.connection = connection;
    if (!ReadRequest(fd, buffer, request)) break;
    {
      std::lock_guard<std::mutex> guard(lock_);
      requests_.push_back(request);
    }
    arrived_.notify_all();
    std::string reply = handler_(request);
    if (reply.empty() || !SendAll(fd, reply)) break;
    if (reply.find("\r\nConnection: close\r\n") != std::string::npos) break;
  }
  shutdown(fd, SHUT_RDWR);
}

int UnusedPort() {
  int port = 0;
  int fd = ListenOnLoopback(&port);
  close(fd);
  return port;
}
