// qiv-test-cdn: see cdn_protocol.h for what it does and how it is driven.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testing/cdn/cdn_protocol.h"

namespace {

int g_stop_pipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  ssize_t r = ::write(g_stop_pipe[1], &c, 1);
  (void)r;
}

struct Rule {
  bool no_ranges = false;
  bool no_length = false;
  std::string header_case;  // "", "lower", "upper"
  std::string redirect;
  int redirect_code = 302;
  int64_t rate = 0;
  int64_t reset_after = -1;
  int64_t report_size = -1;
  int status = 0;
  bool hang = false;
};

struct Record {
  int id;
  std::string addr, method, path;
  int status;
  std::string range;
  int64_t body_bytes;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() + 0 && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else if (s[i] == '+') {
      out.push_back('+');
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::map<std::string, std::string> ParseQuery(const std::string& q) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos <= q.size()) {
    size_t amp = q.find('&', pos);
    std::string part = q.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = part.find('=');
    if (!part.empty()) {
      out[PercentDecode(part.substr(0, eq))] = eq == std::string::npos ? "" : PercentDecode(part.substr(eq + 1));
    }
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return out;
}

class Server {
 public:
  explicit Server(std::string root) : root_(std::move(root)) {}

  bool Listen(const std::vector<std::string>& addrs, uint16_t port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      uint16_t p = port;
      std::vector<int> fds;
      bool ok = true;
      for (const std::string& a : addrs) {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(p);
        if (::inet_pton(AF_INET, a.c_str(), &sa.sin_addr) != 1 ||
            ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 128) != 0) {
          ::close(s);
          ok = false;
          break;
        }
        if (p == 0) {
          socklen_t len = sizeof sa;
          ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
          p = ntohs(sa.sin_port);
        }
        fds.push_back(s);
      }
      if (ok) {
        listeners_ = fds;
        port_ = p;
        return true;
      }
      for (int s : fds) ::close(s);
      if (port != 0) return false;  // a fixed port that is taken stays taken
    }
    return false;
  }

  uint16_t port() const { return port_; }

  void Run() {
    std::vector<pollfd> fds;
    for (int s : listeners_) fds.push_back({s, POLLIN, 0});
    fds.push_back({g_stop_pipe[0], POLLIN, 0});
    for (;;) {
      int r = ::poll(fds.data(), fds.size(), 1000);
      ReapFinished();
      if (r < 0 && errno != EINTR) break;
      if (r <= 0) continue;
      if (fds.back().revents) break;
      for (size_t i = 0; i + 1 < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        int c = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        StartConnection(c);
      }
    }
    stopping_ = true;
    for (int s : listeners_) ::close(s);
    {
      std::lock_guard<std::mutex> g(conn_lock_);
      for (auto& c : conns_) {
        std::lock_guard<std::mutex> fd_guard(c->fd_lock);
        if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
      }
    }
    std::lock_guard<std::mutex> g(conn_lock_);
    for (auto& c : conns_) c->thread.join();
    conns_.clear();
  }

 private:
  struct Conn {
    std::mutex fd_lock;  // the socket is closed by its thread; Run() may shut it down meanwhile
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void StartConnection(int fd) {
    auto conn = std::make_unique<Conn>();
    conn->fd = fd;
    Conn* raw = conn.get();
    {
      std::lock_guard<std::mutex> g(conn_lock_);
      conns_.push_back(std::move(conn));
      // The thread starts under the lock, so Run() never joins a thread object
      // that is still being assigned.
      raw->thread = std::thread([this, raw] {
        Serve(raw->fd);
        {
          std::lock_guard<std::mutex> fd_guard(raw->fd_lock);
          ::close(raw->fd);
          raw->fd = -1;
        }
        raw->done.store(true);
      });
    }
  }

  void ReapFinished() {
    std::lock_guard<std::mutex> g(conn_lock_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      if ((*it)->done.load()) {
        (*it)->thread.join();
        it = conns_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Sleeps up to `ms`; false when the server is stopping.
  bool Pause(int ms) {
    pollfd p{g_stop_pipe[0], POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    return !(r > 0 || stopping_);
  }

  static bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  Rule FindRule(const std::string& addr, const std::string& path) {
    std::lock_guard<std::mutex> g(state_lock_);
    for (const auto& key : {std::make_pair(addr, path), std::make_pair(addr, std::string("*")),
                            std::make_pair(std::string("*"), path), std::make_pair(std::string("*"), std::string("*"))}) {
      auto it = rules_.find(key);
      if (it != rules_.end()) return it->second;
    }
    return Rule();
  }

  std::string HeaderName(const Rule& rule, const std::string& name) {
    if (rule.header_case == "lower") return Lower(name);
    if (rule.header_case == "upper") {
      std::string s = name;
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return s;
    }
    return name;
  }

  void AddRecord(Record r) {
    std::lock_guard<std::mutex> g(state_lock_);
    r.id = next_id_++;
    log_.push_back(std::move(r));
  }

  std::string Control(const std::string& target) {
    size_t q = target.find('?');
    std::string command = target.substr(std::strlen(qiv::testing::kCdnControlPrefix),
                                        q == std::string::npos ? std::string::npos : q - std::strlen(qiv::testing::kCdnControlPrefix));
    auto args = ParseQuery(q == std::string::npos ? "" : target.substr(q + 1));
    if (command == "rule") {
      Rule r;
      if (args.count("ranges")) r.no_ranges = args["ranges"] == "0";
      if (args.count("length")) r.no_length = args["length"] == "0";
      if (args.count("case")) r.header_case = args["case"];
      if (args.count("redirect")) r.redirect = args["redirect"];
      if (args.count("redirect_code")) r.redirect_code = std::atoi(args["redirect_code"].c_str());
      if (args.count("rate")) r.rate = std::atoll(args["rate"].c_str());
      if (args.count("trickle") && args["trickle"] == "1") r.rate = 512;
      if (args.count("reset_after")) r.reset_after = std::atoll(args["reset_after"].c_str());
      if (args.count("size")) r.report_size = std::atoll(args["size"].c_str());
      if (args.count("status")) r.status = std::atoi(args["status"].c_str());
      if (args.count("hang")) r.hang = args["hang"] == "1";
      std::string addr = args.count("addr") ? args["addr"] : "*";
      std::string file = args.count("file") ? args["file"] : "*";
      std::lock_guard<std::mutex> g(state_lock_);
      rules_[{addr, file}] = r;
      return "OK\n";
    }
    if (command == "clear") {
      std::lock_guard<std::mutex> g(state_lock_);
      rules_.clear();
      log_.clear();
      return "OK\n";
    }
    if (command == "log") {
      for (int i = 0; i < 200 && in_flight_.load() > 1; ++i) Pause(10);
      std::lock_guard<std::mutex> g(state_lock_);
      std::string out;
      for (const Record& r : log_) {
        out += std::to_string(r.id) + " " + r.addr + " " + r.method + " " + r.path + " " + std::to_string(r.status) +
               " " + (r.range.empty() ? "-" : r.range) + " " + std::to_string(r.body_bytes) + "\n";
      }
      return out;
    }
    return "unknown command\n";
  }

  void Serve(int fd) {
    in_flight_.fetch_add(1);
    ServeOne(fd);
    in_flight_.fetch_sub(1);
  }

  void ServeOne(int fd) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    char addr_text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, addr_text, sizeof addr_text);
    std::string addr = addr_text;

    // Read the request head (at most 64 KiB).
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (head.size() > 65536) return;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      head.append(buf, static_cast<size_t>(n));
    }
    size_t line_end = head.find("\r\n");
    std::string line = head.substr(0, line_end);
    size_t s1 = line.find(' ');
    size_t s2 = line.find(' ', s1 == std::string::npos ? 0 : s1 + 1);
    if (s1 == std::string::npos || s2 == std::string::npos) return;
    std::string method = line.substr(0, s1);
    std::string target = line.substr(s1 + 1, s2 - s1 - 1);
    std::string range;
    {
      std::string low = Lower(head);
      size_t at = low.find("\r\nrange:");
      if (at != std::string::npos) {
        size_t v = at + 8;
        size_t e = head.find("\r\n", v);
        for (size_t i = v; i < e; ++i) {
          if (head[i] != ' ' && head[i] != '\t') range.push_back(head[i]);
        }
      }
    }
    if (target.rfind(qiv::testing::kCdnControlPrefix, 0) == 0) {
      std::string body = Control(target);
      std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
      SendAll(fd, resp.data(), resp.size());
      ::shutdown(fd, SHUT_WR);
      return;
    }
    std::string path = target.substr(0, target.find('?'));
    Record rec{0, addr, method, path, 0, range, 0};
    Rule rule = FindRule(addr, path);
    auto header = [&](const std::string& name, const std::string& value) {
      return HeaderName(rule, name) + ": " + value + "\r\n";
    };
    auto simple = [&](int code, const std::string& reason, const std::string& extra) {
      std::string body = reason + "\n";
      std::string resp = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n" + extra;
      if (!rule.no_length) resp += header("Content-Length", std::to_string(body.size()));
      resp += header("Connection", "close") + "\r\n";
      if (method != "HEAD") resp += body;
      SendAll(fd, resp.data(), resp.size());
      rec.status = code;
      rec.body_bytes = method != "HEAD" ? static_cast<int64_t>(body.size()) : 0;
      AddRecord(rec);
    };
    if (rule.hang) {
      pollfd p[2] = {{fd, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
      while (!stopping_) {
        int r = ::poll(p, 2, 200);
        if (r > 0 && p[1].revents) break;
        if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
          char c;
          if (::recv(fd, &c, 1, MSG_DONTWAIT) <= 0) break;
        }
      }
      rec.status = 0;
      AddRecord(rec);
      return;
    }
    if (rule.status) return simple(rule.status, rule.status == 404 ? "Not Found" : "Error", "");
    if (!rule.redirect.empty()) {
      return simple(rule.redirect_code, "Moved", header("Location", rule.redirect));
    }
    if (method == "POST") {
      // The body is read before answering, so closing never resets the
      // connection under the client's feet.
      std::string low = Lower(head);
      size_t at = low.find("\r\ncontent-length:");
      int64_t want = at == std::string::npos ? 0 : std::atoll(head.c_str() + at + 17);
      int64_t have = static_cast<int64_t>(head.size() - (head.find("\r\n\r\n") + 4));
      while (have < want) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += n;
      }
      return simple(200, "OK", "");
    }
    if (method != "GET" && method != "HEAD") return simple(405, "Method Not Allowed", "");
    std::string rel = PercentDecode(path);
    if (rel.find("..") != std::string::npos || rel.empty() || rel[0] != '/') return simple(404, "Not Found", "");
    int file = ::open((root_ + rel).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file < 0 || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (file >= 0) ::close(file);
      return simple(404, "Not Found", "");
    }
    int64_t actual = st.st_size;
    int64_t size = rule.report_size >= 0 ? rule.report_size : actual;
    int64_t first = 0, last = size - 1;
    bool partial = false;
    if (!rule.no_ranges && range.rfind("bytes=", 0) == 0) {
      std::string spec = range.substr(6);
      size_t dash = spec.find('-');
      if (dash != std::string::npos && dash > 0) {
        first = std::atoll(spec.substr(0, dash).c_str());
        if (dash + 1 < spec.size()) last = std::min<int64_t>(std::atoll(spec.substr(dash + 1).c_str()), size - 1);
        if (first >= size || first > last) {
          ::close(file);
          return simple(416, "Range Not Satisfiable", header("Content-Range", "bytes */" + std::to_string(size)));
        }
        partial = true;
      }
    }
    int64_t count = size > 0 ? last - first + 1 : 0;
    std::string resp = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    resp += header("Content-Type", "application/octet-stream");
    if (!rule.no_ranges) resp += header("Accept-Ranges", "bytes");
    if (partial) {
      resp += header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                          std::to_string(size));
    }
    if (!rule.no_length) resp += header("Content-Length", std::to_string(count));
    resp += header("Connection", "close") + "\r\n";
    rec.status = partial ? 206 : 200;
    bool ok = SendAll(fd, resp.data(), resp.size());
    int64_t sent = 0;
    if (ok && method == "GET") {
      // The body comes from the file; a reported size larger than the file
      // ends with the file.
      int64_t todo = std::max<int64_t>(0, std::min(count, actual - first));
      bool reset = rule.reset_after >= 0 && rule.reset_after < todo;
      if (reset) todo = rule.reset_after;
      off_t off = static_cast<off_t>(first);
      auto start = std::chrono::steady_clock::now();
      while (sent < todo && !stopping_) {
        size_t chunk = static_cast<size_t>(std::min<int64_t>(todo - sent, 1 << 20));
        if (rule.rate > 0) {
          double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          int64_t allowed = static_cast<int64_t>(secs * static_cast<double>(rule.rate)) - sent;
          if (allowed <= 0) {
            if (!Pause(20)) break;
            continue;
          }
          chunk = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk), std::min<int64_t>(allowed, 65536)));
        }
        ssize_t n = ::sendfile(fd, file, &off, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += n;
      }
      if (reset && sent == todo) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
    }
    ::close(file);
    rec.body_bytes = sent;
    AddRecord(rec);
    if (rule.reset_after < 0) ::shutdown(fd, SHUT_WR);
  }

  std::string root_;
  std::vector<int> listeners_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> in_flight_{0};
  std::mutex conn_lock_;
  std::list<std::unique_ptr<Conn>> conns_;
  std::mutex state_lock_;
  std::map<std::pair<std::string, std::string>, Rule> rules_;
  std::vector<Record> log_;
  int next_id_ = 1;
};

}  // namespace

int main(int argc, char** argv) {
  std::string root = ".";
  std::vector<std::string> addrs;
  uint16_t port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--root") root = argv[i + 1];
    else if (k == "--addr") addrs.push_back(argv[i + 1]);
    else if (k == "--port") port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
  }
  if (addrs.empty()) addrs.push_back("127.0.0.1");
  for (const std::string& a : addrs) {
    if (a.rfind("127.", 0) != 0) {
      std::fprintf(stderr, "qiv-test-cdn: %s is not a loopback address\n", a.c_str());
      return 2;
    }
  }
  // A test that dies does not leave its server behind.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::pipe2(g_stop_pipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  Server server(root);
  if (!server.Listen(addrs, port)) {
    std::fprintf(stderr, "qiv-test-cdn: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("READY %u\n", server.port());
  std::fflush(stdout);
  server.Run();
  return 0;
}
