// A scriptable HTTP server on 127.0.0.1 for the tests: canned raw answers
// per request path, 404 for the rest, and a record of every request's bytes.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mirt::test {

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by `path`.
  std::string url(const std::string& path) const;

  // How a scripted answer ends once its pieces are out.
  enum class Ending { kClose, kReset, kHold };
  struct Script {
    std::vector<std::string> pieces;  // each sent in one go
    int pause_ms = 0;                 // between two pieces
    // kHold keeps the connection open, silent, until the client leaves.
    Ending ending = Ending::kClose;
  };

  // The answer to a request for `path`, sent byte for byte, after which
  // the server closes the connection.
  void set_raw(const std::string& path, const std::string& bytes);
  void set_script(const std::string& path, Script script);
  void set_file(const std::string& path, const std::string& body);
  void set_redirect(const std::string& path, const std::string& target);
  // A hostile answer to `path`: a 200 status, then header lines without
  // end, until the client hangs up or `limit` bytes went out.
  void set_endless_header(const std::string& path, size_t limit);
  // Bytes the endless answers sent so far.
  size_t endless_sent() const { return endless_sent_.load(); }

  // A complete answer. The padding header puts every header the client
  // looks for beyond the bytes of its status read.
  static std::string response(const std::string& status_line, const std::string& headers,
                              const std::string& body);

  // What each client sent, in arrival order.
  std::vector<std::string> requests() const;
  int connections() const { return connections_.load(); }

 private:
  void accept_loop();
  void serve(int fd);
  void play(int fd, const Script& script);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<size_t> endless_sent_{0};
  mutable std::mutex mutex_;
  std::map<std::string, Script> answers_;
  std::map<std::string, size_t> endless_;
  std::vector<std::string> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace mirt::test
