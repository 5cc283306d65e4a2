// Test-side control of qiv-test-cdn (see cdn_protocol.h), and runs of a test
// body in a private mount namespace (private hosts file, small file systems).
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qiv::testing {

struct CdnRule {
  bool no_ranges = false;
  bool no_length = false;
  std::string header_case;  // "", "lower" or "upper"
  std::string redirect;     // Location value
  int redirect_code = 302;
  int64_t rate = 0;         // bytes per second, 0: unlimited
  bool trickle = false;     // below 1 KiB/s
  int64_t reset_after = -1;
  int64_t report_size = -1;
  int status = 0;
  bool hang = false;
};

struct CdnRequest {
  int id = 0;
  std::string addr, method, path;
  int status = 0;
  std::string range;  // "-" when none
  int64_t body_bytes = 0;
};

class CdnServer {
 public:
  CdnServer() = default;
  ~CdnServer();
  CdnServer(const CdnServer&) = delete;
  CdnServer& operator=(const CdnServer&) = delete;

  // Starts the server on `addresses` (loopback only), all on one port,
  // serving a fresh scratch folder. False when it did not come up in 10 s.
  bool Start(const std::vector<std::string>& addresses, uint16_t port = 0);
  // Stops it (SIGTERM, then SIGKILL after 10 s). The exit status: 0 after a
  // clean stop; anything else (a sanitizer report, a crash) is a failure.
  int Stop();

  uint16_t port() const { return port_; }
  const std::string& root() const { return root_; }
  // "http://<address>:<port><file>"; `file` starts with "/".
  std::string Url(const std::string& address, const std::string& file) const;

  // Writes a file below the root; its bytes are a function of `seed` and
  // the offset (see PatternByte), written in large pieces.
  bool AddFile(const std::string& file, int64_t size, uint32_t seed = 1);
  bool WriteFile(const std::string& file, const std::string& content);
  static uint8_t PatternByte(uint32_t seed, int64_t offset);

  bool SetRule(const std::string& address, const std::string& file, const CdnRule& rule);
  bool Clear();
  std::vector<CdnRequest> Requests();
  // One control command ("rule?...", "clear", "log"); the body of the answer.
  std::string Control(const std::string& command);

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string root_;
  std::string control_address_;
};

// A plain GET of http://address:port/target over a fresh connection; the
// whole answer (head and body) or an empty text.
std::string RawHttpGet(const std::string& address, uint16_t port, const std::string& target);

// True inside a re-run started by RerunCurrentTest.
bool InMountNamespace();
// Runs the current test again in a child process under "unshare --mount",
// after `setup` (a shell script, run as root inside the new namespace). The
// child's exit status (0: the test passed there).
int RerunCurrentTest(const std::string& setup);
// The setup script that bind-mounts a private hosts file with `hosts_text`.
std::string PrivateHostsSetup(const std::string& hosts_text);

}  // namespace qiv::testing

// Runs the rest of the test body in a private mount namespace prepared by
// `setup`; the outer run only checks that the inner one passed.
#define QIV_RUN_IN_MOUNT_NAMESPACE(setup)                              \
  if (!::qiv::testing::InMountNamespace()) {                           \
    ASSERT_EQ(0, ::qiv::testing::RerunCurrentTest(setup));             \
    return;                                                            \
  }
