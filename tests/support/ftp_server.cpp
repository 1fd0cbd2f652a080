#include "support/ftp_server.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

#include "support/loopback.h"

namespace mirt::test {

FtpServer::FtpServer() {
  listen_fd_ = listen_loopback(port_);
  if (listen_fd_ >= 0) acceptor_ = std::thread([this] { accept_loop(); });
}

FtpServer::~FtpServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

std::string FtpServer::url(const std::string& path, const std::string& authority_prefix) const {
  return "ftp://" + authority_prefix + "127.0.0.1:" + std::to_string(port_) + path;
}

void FtpServer::set_greeting(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  greeting_ = text;
}

void FtpServer::set_passive_address(const std::string& fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  passive_address_ = fields;
}

void FtpServer::add_file(const std::string& path, const std::string& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = content;
}

void FtpServer::set_reply(const std::string& command, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[command] = text;
}

std::optional<std::string> FtpServer::stored(const std::string& path, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return stored_.count(path) != 0; }))
    return std::nullopt;
  return stored_[path];
}

std::vector<FtpServer::Session> FtpServer::sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

bool FtpServer::wait_sessions_ended(size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return ended_ >= count; });
}

void FtpServer::accept_loop() {
  while (!stop_) {
    int fd = accept_bounded(listen_fd_, stop_, 100);
    if (fd < 0) continue;
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = sessions_.size();
      sessions_.emplace_back();
    }
    workers_.emplace_back([this, index, fd] { serve(index, fd); });
  }
}

void FtpServer::serve(size_t index, int fd) {
  std::string greeting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    greeting = greeting_;
  }
  send_all(fd, greeting);
  int data_listen = -1;
  std::string pending;
  bool client_closed = false;
  char buffer[2048];
  for (bool done = false; !done;) {
    long got = read_bounded(fd, buffer, sizeof buffer, stop_, 10000);
    if (got <= 0) {
      // A reset also means the client hung up, with our last reply unread.
      client_closed = got == 0 || (got == -1 && errno == ECONNRESET);
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sessions_[index].received.append(buffer, static_cast<size_t>(got));
    }
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; !done && (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string command = line.substr(0, line.find(' '));
      for (char& c : command) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      std::string argument = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);

      std::string scripted;
      bool has_script;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = replies_.find(command);
        has_script = found != replies_.end();
        if (has_script) scripted = found->second;
      }
      if (has_script) {
        if (scripted.empty()) done = true;  // hang up without a word
        send_all(fd, scripted);
      } else if (command == "USER") {
        send_all(fd, "331 Password required\r\n");
      } else if (command == "PASS") {
        send_all(fd, "230 Logged in\r\n");
      } else if (command == "PASV") {
        if (data_listen >= 0) close(data_listen);
        int data_port = 0;
        data_listen = listen_loopback(data_port);
        std::string address;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          address = passive_address_;
        }
        send_all(fd, "227 Entering Passive Mode (" + address + "," +
                         std::to_string(data_port / 256) + "," + std::to_string(data_port % 256) +
                         ").\r\n");
      } else if (command == "TYPE") {
        send_all(fd, "200 Type set to I\r\n");
      } else if (command == "RETR" || command == "STOR") {
        send_all(fd, transfer(fd, command, argument, data_listen));
      } else if (command == "QUIT") {
        send_all(fd, "221 Bye\r\n");
        done = true;
      } else {
        send_all(fd, "502 Not implemented\r\n");
      }
    }
  }
  if (data_listen >= 0) close(data_listen);
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_[index].closed_by_client = client_closed;
  ++ended_;
  changed_.notify_all();
}

// Runs one transfer on the passive data connection; returns the final reply.
std::string FtpServer::transfer(int control, const std::string& command,
                                const std::string& argument, int& data_listen) {
  if (data_listen < 0) return "425 Use PASV first\r\n";
  std::string content;
  if (command == "RETR") {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = files_.find(argument);
    if (found == files_.end()) return "550 No such file\r\n";
    content = found->second;
  }
  send_all(control, "150 Opening BINARY mode data connection\r\n");
  int data = accept_bounded(data_listen, stop_, 5000);
  close(data_listen);
  data_listen = -1;
  if (data < 0) return "425 No data connection\r\n";
  ++data_connections_;
  if (command == "RETR") {
    send_all(data, content);
  } else {
    std::string received;
    char buffer[4096];
    for (long got; (got = read_bounded(data, buffer, sizeof buffer, stop_, 10000)) > 0;)
      received.append(buffer, static_cast<size_t>(got));
    std::lock_guard<std::mutex> lock(mutex_);
    stored_[argument] = received;
    changed_.notify_all();
  }
  close(data);
  return "226 Transfer complete\r\n";
}

}  // namespace mirt::test
