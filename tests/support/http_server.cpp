#include "support/http_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "support/loopback.h"

namespace mirt::test {

HttpServer::HttpServer() {
  listen_fd_ = listen_loopback(port_);
  if (listen_fd_ >= 0) acceptor_ = std::thread([this] { accept_loop(); });
}

HttpServer::~HttpServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::set_raw(const std::string& path, const std::string& bytes) {
  set_script(path, Script{{bytes}});
}

void HttpServer::set_script(const std::string& path, Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[path] = std::move(script);
}

void HttpServer::set_file(const std::string& path, const std::string& body) {
  set_raw(path, response("HTTP/1.0 200 OK",
                         "Content-Length: " + std::to_string(body.size()) + "\r\n", body));
}

void HttpServer::set_redirect(const std::string& path, const std::string& target) {
  set_raw(path, response("HTTP/1.0 302 Found", "Location: " + target + "\r\n", ""));
}

void HttpServer::set_endless_header(const std::string& path, size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  endless_[path] = limit;
}

std::string HttpServer::response(const std::string& status_line, const std::string& headers,
                                 const std::string& body) {
  return status_line + "\r\nServer: mirt-loopback-test-server/1.0 (for unit tests)\r\n" +
         headers + "\r\n" + body;
}

std::vector<std::string> HttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void HttpServer::accept_loop() {
  while (!stop_) {
    int fd = accept_bounded(listen_fd_, stop_, 100);
    if (fd < 0) continue;
    ++connections_;
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void HttpServer::serve(int fd) {
  std::string request;
  char buffer[4096];
  // Up to the empty line; our client ends lines with a bare line feed.
  while (request.find("\n\n") == std::string::npos &&
         request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    long got = read_bounded(fd, buffer, sizeof buffer, stop_, 5000);
    if (got <= 0) break;
    request.append(buffer, static_cast<size_t>(got));
  }
  Script answer;
  size_t endless_limit = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    std::string path;
    if (request.compare(0, 4, "GET ") == 0) path = request.substr(4, request.find(' ', 4) - 4);
    if (auto endless = endless_.find(path); endless != endless_.end()) endless_limit = endless->second;
    auto found = answers_.find(path);
    answer = found != answers_.end()
                 ? found->second
                 : Script{{response("HTTP/1.0 404 Not Found", "Content-Length: 0\r\n", "")}};
  }
  if (endless_limit > 0) {
    send_all(fd, "HTTP/1.0 200 OK\r\n");
    const std::string lines = [] {
      std::string text;
      while (text.size() < 64 * 1024) text += "X-Filler: the header goes on and on\r\n";
      return text;
    }();
    // A send fails once the client has hung up (or after the socket's
    // bounded wait when it stopped reading).
    while (!stop_ && endless_sent_ < endless_limit && send_all(fd, lines))
      endless_sent_ += lines.size();
  } else {
    play(fd, answer);
  }
  close(fd);
}

void HttpServer::play(int fd, const Script& script) {
  for (size_t i = 0; i < script.pieces.size(); ++i) {
    for (int waited = 0; i > 0 && waited < script.pause_ms && !stop_; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A client that hung up ends the answer.
    if (stop_ || !send_all(fd, script.pieces[i])) return;
  }
  if (script.ending == Ending::kReset) {
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else if (script.ending == Ending::kHold) {
    char sink[256];
    for (long got = 1; !stop_ && (got > 0 || got == -2);)
      got = read_bounded(fd, sink, sizeof sink, stop_, 100);
  }
}

}  // namespace mirt::test
