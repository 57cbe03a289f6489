#include "tests/download/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace testsupport {

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0)
    throw std::runtime_error("cannot listen on loopback");
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  released_.notify_all();
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  ::close(listenFd_);
  for (auto& t : workers_) t.join();
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<ScriptedServer::Request> ScriptedServer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

void ScriptedServer::ReleaseStalls() {
  {
    std::lock_guard lock(mutex_);
    release_ = true;
  }
  released_.notify_all();
}

std::string ScriptedServer::Response(int status, const std::string& body,
                                     const std::vector<std::string>& headers) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
  for (const auto& h : headers) out += h + "\r\n";
  bool hasLength = std::any_of(headers.begin(), headers.end(), [](const std::string& h) {
    return h.rfind("Content-Length:", 0) == 0;
  });
  if (!hasLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return out + "Connection: close\r\n\r\n" + body;
}

void ScriptedServer::AcceptLoop() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    openFds_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void ScriptedServer::Serve(int fd) {
  std::string data;
  char buf[4096];
  while (data.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  auto end = data.find("\r\n\r\n");
  if (end != std::string::npos) {
    Request req;
    req.head = data.substr(0, end);
    auto lineEnd = req.head.find("\r\n");
    std::string first = req.head.substr(0, lineEnd);
    auto sp1 = first.find(' ');
    auto sp2 = first.find(' ', sp1 + 1);
    req.method = first.substr(0, sp1);
    req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t pos = lineEnd;
    while (pos != std::string::npos && pos < req.head.size()) {
      size_t next = req.head.find("\r\n", pos + 2);
      std::string line =
          req.head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
      auto colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        req.headers[name] = line.substr(v);
      }
      pos = next;
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(req);
    }
    Connection conn{*this, fd};
    handler_(req, conn);
  }
  std::lock_guard lock(mutex_);
  openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
}

bool ScriptedServer::Connection::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ScriptedServer::Connection::Stall() {
  std::unique_lock lock(server.mutex_);
  server.released_.wait(lock, [&] { return server.stopping_ || server.release_; });
}

}  // namespace testsupport
