#pragma once
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A loopback HTTP server whose every answer is scripted by the test, down to raw
// bytes: it can stall, close early or lie about ranges. One thread per connection;
// each connection serves one request and is then closed.
class ScriptedServer {
 public:
  struct Request {
    std::string method, target, head;            // head: request line + headers
    std::map<std::string, std::string> headers;  // lower-case names
    bool Has(const std::string& name) const { return headers.count(name) > 0; }
    std::string Header(const std::string& name) const {
      auto it = headers.find(name);
      return it == headers.end() ? "" : it->second;
    }
  };

  class Connection {
   public:
    // False once the peer went away.
    bool Send(const std::string& bytes);
    // Blocks until the server is released or destroyed (a stalled peer).
    void Stall();
    ScriptedServer& server;
    int fd;
  };

  using Handler = std::function<void(const Request&, Connection&)>;

  explicit ScriptedServer(Handler handler);
  ~ScriptedServer();

  int Port() const { return port_; }
  std::string Url(const std::string& path = "/") const;
  std::vector<Request> Requests();
  void ReleaseStalls();

  // A complete response with Content-Length and "Connection: close".
  static std::string Response(int status, const std::string& body,
                              const std::vector<std::string>& headers = {});

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool stopping_ = false, release_ = false;
  std::vector<std::thread> workers_;
  std::vector<int> openFds_;
  std::vector<Request> requests_;
};

}  // namespace testsupport
