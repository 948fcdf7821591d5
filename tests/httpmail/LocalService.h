// The local HTTPMail service for a C++ test: tests/httpmail/service_helper.py
// run as a child process, spoken to one line at a time. Every wait is
// bounded; the child goes when the object does.
#ifndef KESTRELON_TESTS_LOCAL_SERVICE_H
#define KESTRELON_TESTS_LOCAL_SERVICE_H

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

class LocalService {
 public:
  LocalService() = default;
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;
  ~LocalService() { Stop(); }

  // Starts the helper with {"mailbox": ..., "options": ...}; false when it
  // does not report ready within the time limit.
  bool Start(const std::string& setup) {
    signal(SIGPIPE, SIG_IGN);  // a helper that died must fail the test, not end it
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    const std::string source = SourceDir();
    const std::string script = source + "/tests/httpmail/service_helper.py";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      setenv("KESTRELON_SOURCE", source.c_str(), 1);
      execlp("python3", "python3", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (pid_ < 0) return false;
    std::string oneLine = setup;
    for (char& c : oneLine)
      if (c == '\n' || c == '\r') c = ' ';
    Send(oneLine);
    const std::string ready = ReadLine();
    char root[4096] = {0};
    if (sscanf(ready.c_str(), "ready %d %4095s", &port, root) != 2) return false;
    this->root = root;
    return true;
  }

  void Stop() {
    if (pid_ <= 0) return;
    Send("quit");
    close(toChild_);
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(fromChild_);
    pid_ = -1;
  }

  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port); }

  std::string Command(const std::string& line) {
    Send(line);
    return ReadLine();
  }

  // "METHOD STATUS PATH" of the authenticated requests, oldest first.
  std::vector<std::string> Requests(const std::string& method = "") {
    const int n = atoi(Command("requests " + method).c_str());
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) lines.push_back(ReadLine());
    return lines;
  }

  std::string Body(const std::string& method, int index) {
    const std::string hex = Command("body " + method + " " + std::to_string(index));
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
  }

  std::vector<std::string> Headers(const std::string& method, int index) {
    Send("headers " + method + " " + std::to_string(index));
    std::vector<std::string> lines;
    for (std::string l = ReadLine(); l != "end" && !l.empty(); l = ReadLine()) lines.push_back(l);
    return lines;
  }

  int port = 0;
  std::string root;

 private:
  // The source tree: from the environment, else as the build recorded it.
  static std::string SourceDir() {
    const char* source = getenv("KESTRELON_SOURCE");
    if (source != nullptr && *source != '\0') return source;
#ifdef KESTRELON_SOURCE_DIR
    return KESTRELON_SOURCE_DIR;
#else
    return ".";
#endif
  }

  void Send(const std::string& line) {
    const std::string text = line + "\n";
    if (write(toChild_, text.data(), text.size()) < 0) return;
  }

  // One line, or empty after 20 s without one.
  std::string ReadLine() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p = {fromChild_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(fromChild_, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    return line;
  }

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffer_;
};

#endif
