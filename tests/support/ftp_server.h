// A scriptable passive-mode FTP server on 127.0.0.1 for the tests: files
// to retrieve, a store for uploads, replies that can be replaced per
// command, and a record of the bytes each control connection sent.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mirt::test {

class FtpServer {
 public:
  struct Session {
    std::string received;        // every byte the client sent on the control connection
    bool closed_by_client = false;  // the client closed it (rather than the server)
  };

  FtpServer();
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  int port() const { return port_; }
  // "ftp://" followed by `authority_prefix` (such as "user:pw@"),
  // "127.0.0.1:PORT" and `path`.
  std::string url(const std::string& path, const std::string& authority_prefix = "") const;

  void set_greeting(const std::string& text);
  // The address a passive reply names ("h1,h2,h3,h4"); the data socket
  // still listens on 127.0.0.1. Anything else there is a lie the client
  // must not follow.
  void set_passive_address(const std::string& fields);
  void add_file(const std::string& path, const std::string& content);
  // Answers `command` (USER, PASS, PASV, TYPE, RETR, STOR) with `text`
  // instead of the normal reply and action; an empty text hangs up.
  void set_reply(const std::string& command, const std::string& text);

  // The upload stored under `path`, waiting up to `timeout_ms` for it.
  std::optional<std::string> stored(const std::string& path, int timeout_ms = 5000);
  std::vector<Session> sessions() const;
  // Waits until `count` control connections have ended.
  bool wait_sessions_ended(size_t count, int timeout_ms = 5000);
  int data_connections() const { return data_connections_.load(); }

 private:
  void accept_loop();
  void serve(size_t index, int fd);
  std::string transfer(int control, const std::string& command, const std::string& argument,
                       int& data_listen);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> data_connections_{0};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string greeting_ = "220 mirt loopback ftp ready\r\n";
  std::string passive_address_ = "127,0,0,1";
  std::map<std::string, std::string> files_;
  std::map<std::string, std::string> replies_;
  std::map<std::string, std::string> stored_;
  std::vector<Session> sessions_;
  size_t ended_ = 0;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace mirt::test
