// The qiv program as a user runs it: real processes, each in a scratch
// machine (sysroot, temporary, runtime and home folders of its own).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "platform/process/process.h"
#include "platform/resources/resources.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// One scratch machine; several qiv processes may run in it at once.
class Machine {
 public:
  Machine() {
    root_ = fs::temp_directory_path() /
            ("qiv-proc-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(root_);
    for (const char* d : {"tmp", "run", "home", "bin"}) fs::create_directories(root_ / d);
    fs::permissions(root_ / "tmp", fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(root_, fs::perms::all);
    // Each machine gets its own copy of the program, so that restamping it
    // or writing beside it touches nothing else.
    binary_ = root_ / "bin" / "qiv";
    fs::copy_file(QIV_BINARY, binary_);
  }
  ~Machine() { fs::remove_all(root_); }

  const fs::path& root() const { return root_; }
  const fs::path& binary() const { return binary_; }

  std::vector<std::string> Env() const {
    return {"QIV_SYSROOT=" + root_.string(), "TMPDIR=" + (root_ / "tmp").string(),
            "XDG_RUNTIME_DIR=" + (root_ / "run").string(), "HOME=" + (root_ / "home").string(),
            "XDG_CONFIG_HOME=" + (root_ / "home/.config").string(), "DISPLAY=", "WAYLAND_DISPLAY=",
            "LC_ALL=C.UTF-8"};
  }

  // Starts qiv with `args`; `prefix` goes before the program (e.g. setpriv).
  platform::Process Start(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(binary_.string());
    argv.insert(argv.end(), args.begin(), args.end());
    platform::SpawnOptions opt;
    opt.extra_env = Env();
    platform::Process p;
    EXPECT_TRUE(p.Start(argv, opt)) << p.error();
    return p;
  }

  std::string Log(bool fork) const {
    // While running the lines are in the log itself; at exit it is rotated
    // into dated backups. Both are read, oldest backup first.
    std::string name = fork ? "qvForkQIV.log" : "qvQIV.log";
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(root_ / "tmp")) {
      std::string f = e.path().filename().string();
      if (f.rfind(name + ".", 0) == 0) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
      return a.string().size() != b.string().size() ? a.string().size() < b.string().size() : a < b;
    });
    std::string all;
    for (const auto& f : files) all += ReadAll(f);
    return all + ReadAll(root_ / "tmp" / name);
  }

  // Waits until the log holds `text` (or the process ended).
  bool WaitForLog(bool fork, const std::string& text, platform::Process& p, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 20) {
      if (Log(fork).find(text) != std::string::npos) return true;
      if (p.Wait(0)) return Log(fork).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Asks a running qiv to close (as the desktop does at logout) and returns its exit code.
  static int Stop(platform::Process& p) {
    ::kill(p.pid(), SIGTERM);
    EXPECT_TRUE(p.Wait(10000));
    return p.exit_code();
  }

  void StampProduct(const std::string& xml) {
    fs::path file = root_ / "product.xml";
    std::ofstream(file, std::ios::binary) << xml;
    platform::Process tool;
    ASSERT_TRUE(tool.Start({QIV_RES_BINARY, "replace", binary_.string(), "XML", "106", file.string()}));
    ASSERT_TRUE(tool.Wait(30000));
    ASSERT_EQ(tool.exit_code(), 0);
  }

 private:
  static inline int counter_ = 0;
  fs::path root_;
  fs::path binary_;
};

std::string Product(const std::string& name, const std::string& brand) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Product><ProductBrand>" + brand + "</ProductBrand><ProductName>" +
         name + "</ProductName><ProductID>4711</ProductID><Channel>test</Channel></Product>";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

constexpr int kFailed = 255;  // the exit code -1 as a parent sees it

TEST(QivProcess, StartsRunsItsLoopAndEndsWithZero) {
  Machine m;
  platform::Process p = m.Start({});
  ASSERT_TRUE(m.WaitForLog(false, " - MessageLoop\r\n", p));
  EXPECT_EQ(Machine::Stop(p), 0);
  std::string log = m.Log(false);
  const char* order[] = {" - start, fork=[0].", " - LoadLocalXml\r\n", " - config folder=[", " - ReadRunConfig",
                         " - loadLangXML", " - MessageLoop\r\n", " - MessageLoop end", " - exit!"};
  size_t pos = 0;
  for (const char* line : order) {
    size_t at = log.find(line, pos);
    ASSERT_NE(at, std::string::npos) << line << "\n" << log;
    pos = at;
  }
  // At exit the log was rotated: its lines are in the dated backup and the log itself is empty.
  EXPECT_EQ(fs::file_size(m.root() / "tmp/qvQIV.log"), 0u);
  EXPECT_TRUE(fs::is_directory(m.root() / "var/lib/Quorvane"));
}

TEST(QivProcess, SingleInstancePerProductAndMode) {
  Machine m;
  platform::Process first = m.Start({});
  ASSERT_TRUE(m.WaitForLog(false, " - MessageLoop\r\n", first));

  // A second normal instance of the same product gives up.
  platform::Process second = m.Start({});
  ASSERT_TRUE(second.Wait(10000));
  EXPECT_EQ(second.exit_code(), kFailed);

  // A fork instance of the same product runs beside the normal one ...
  platform::Process fork = m.Start({"OnlyForkInstallDependent=1", "HostLang=Deutsch", "HostVersion=1.2.3.4",
                                    "HostHwnd=305419896"});
  ASSERT_TRUE(m.WaitForLog(true, " - MessageLoop\r\n", fork));
  // ... and a second fork instance gives up.
  platform::Process fork2 = m.Start({"OnlyForkInstallDependent=1"});
  ASSERT_TRUE(fork2.Wait(10000));
  EXPECT_EQ(fork2.exit_code(), kFailed);

  EXPECT_EQ(Machine::Stop(fork), 0);
  EXPECT_EQ(Machine::Stop(first), 0);

  std::string normal_log = m.Log(false);
  std::string fork_log = m.Log(true);
  EXPECT_NE(normal_log.find(" - Already exist PreInstance."), std::string::npos) << normal_log;
  EXPECT_NE(fork_log.find(" - start, fork=[1]."), std::string::npos);
  EXPECT_NE(fork_log.find(" - set select lang=[Deutsch]."), std::string::npos) << fork_log;
  EXPECT_NE(fork_log.find(" - set host hwnd=[12345678]."), std::string::npos) << fork_log;
  EXPECT_NE(fork_log.find(" - Already exist PreInstance."), std::string::npos);
  // Once the first has ended, the name is free again.
  size_t loops_before = Count(m.Log(false), " - MessageLoop\r\n");
  platform::Process again = m.Start({});
  for (int i = 0; i < 500 && Count(m.Log(false), " - MessageLoop\r\n") == loops_before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(Count(m.Log(false), " - MessageLoop\r\n"), loops_before + 1);
  EXPECT_EQ(Machine::Stop(again), 0);
}

TEST(QivProcess, HostSwitchesCountOnlyInForkModeAndBadHandlesAreIgnored) {
  Machine m;
  platform::Process normal = m.Start({"OnlyForkInstallDependent=0", "HostLang=Deutsch", "HostHwnd=12"});
  ASSERT_TRUE(m.WaitForLog(false, " - MessageLoop\r\n", normal));
  EXPECT_EQ(Machine::Stop(normal), 0);
  std::string log = m.Log(false);
  EXPECT_NE(log.find(" - start, fork=[0]."), std::string::npos);
  EXPECT_EQ(log.find("set select lang"), std::string::npos);
  EXPECT_EQ(log.find("set host hwnd"), std::string::npos);

  platform::Process fork = m.Start({"OnlyForkInstallDependent=1", "HostLang=", "HostHwnd=4294967296"});
  ASSERT_TRUE(m.WaitForLog(true, " - MessageLoop\r\n", fork));
  EXPECT_EQ(Machine::Stop(fork), 0);
  std::string fork_log = m.Log(true);
  EXPECT_EQ(fork_log.find("set select lang"), std::string::npos);
  EXPECT_NE(fork_log.find(" - ignore host hwnd=[4294967296]."), std::string::npos) << fork_log;
}

TEST(QivProcess, RestampedProductIsReadWithoutRecompilingAndTwoProductsRunSideBySide) {
  Machine m;
  platform::Process sample = m.Start({});
  ASSERT_TRUE(m.WaitForLog(false, " - MessageLoop\r\n", sample));

  // Another product in a copy of the same binary, restamped with qiv-res.
  fs::path sample_binary = m.binary();
  fs::path other = m.root() / "bin" / "other";
  fs::create_directories(other);
  fs::copy_file(sample_binary, other / "qiv");
  platform::Process tool;
  fs::path xml = m.root() / "tessarin.xml";
  std::ofstream(xml, std::ios::binary) << Product("Tessarin Paint", "Tessarin");
  ASSERT_TRUE(tool.Start({QIV_RES_BINARY, "replace", (other / "qiv").string(), "XML", "106", xml.string()}));
  ASSERT_TRUE(tool.Wait(30000));
  ASSERT_EQ(tool.exit_code(), 0);
  auto stamped = platform::LoadResourceFromFile((other / "qiv").string(), "XML", 106);
  ASSERT_TRUE(stamped.has_value());

  platform::SpawnOptions opt;
  opt.extra_env = m.Env();
  // Its own temporary folder keeps the two logs apart.
  fs::create_directories(m.root() / "tmp2");
  opt.extra_env.push_back("TMPDIR=" + (m.root() / "tmp2").string());
  platform::Process tessarin;
  ASSERT_TRUE(tessarin.Start({(other / "qiv").string()}, opt));
  std::string log2;
  for (int i = 0; i < 500 && log2.find(" - MessageLoop\r\n") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log2 = ReadAll(m.root() / "tmp2/qvQIV.log");
  }
  EXPECT_NE(log2.find(" - config folder=[" + m.root().string() + "/var/lib/Tessarin/]."), std::string::npos) << log2;
  EXPECT_TRUE(tessarin.running()) << "a different product must not be taken for another instance";
  EXPECT_EQ(Machine::Stop(tessarin), 0);
  EXPECT_EQ(Machine::Stop(sample), 0);
  EXPECT_NE(m.Log(false).find("/var/lib/Quorvane/]."), std::string::npos);
}

TEST(QivProcess, WithoutRootItStopsBeforeReadingTheProduct) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start qiv as another user";
  Machine m;
  platform::Process p = m.Start({}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  ASSERT_TRUE(p.Wait(10000));
  EXPECT_EQ(p.exit_code(), kFailed);
  std::string log = m.Log(false);
  EXPECT_NE(log.find(" - start, fork=[0]."), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR] "), std::string::npos);
  EXPECT_NE(log.find(" - You must be logged in as administrator when installing this program.\r\n"), std::string::npos);
  // With no display the box is not shown; its text is logged instead.
  EXPECT_NE(log.find("no display for the message box [Error]: You must be logged in"), std::string::npos) << log;
  EXPECT_EQ(log.find("LoadLocalXml"), std::string::npos);
  EXPECT_FALSE(fs::exists(m.root() / "var/lib/Quorvane"));

  platform::Process fork = m.Start({"OnlyForkInstallDependent=1"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  ASSERT_TRUE(fork.Wait(10000));
  EXPECT_EQ(fork.exit_code(), kFailed);
  std::string fork_log = m.Log(true);
  EXPECT_NE(fork_log.find(" - You must be logged in as administrator"), std::string::npos);
  EXPECT_EQ(fork_log.find("message box"), std::string::npos) << "fork mode shows no box";
}

TEST(QivProcess, BadProductResourcesEndTheStartUp) {
  struct Case {
    const char* name;
    std::string xml;
    const char* line;
  } cases[] = {
      {"empty", "", " - LoadLocalXml, size error!"},
      {"not xml", "just text, no markup", " - LoadLocalXml err 3"},
      {"no product", "<Other><ProductName>x</ProductName></Other>", " - LoadLocalXml, not find product."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.StampProduct(c.xml);
    platform::Process p = m.Start({});
    ASSERT_TRUE(p.Wait(10000));
    EXPECT_EQ(p.exit_code(), kFailed);
    std::string log = m.Log(false);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    EXPECT_NE(log.find(" - LoadLocalXml failed!"), std::string::npos);
    EXPECT_NE(log.find("[Error]: Load product xml error."), std::string::npos);
  }
}

TEST(QivProcess, DamagedOrMissingResourcesAndAnUnwritableLogFolder) {
  {
    // A damaged bundle: one byte of the product XML's data is changed, so
    // its checksum no longer matches and no resource is given out.
    Machine m;
    std::string bytes = ReadAll(m.binary());
    size_t at = bytes.find("<ProductName>Quorvane Studio");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 1] = 'X';
    std::ofstream(m.binary(), std::ios::binary | std::ios::trunc) << bytes;
    platform::Process p = m.Start({});
    ASSERT_TRUE(p.Wait(10000));
    EXPECT_EQ(p.exit_code(), kFailed);
    EXPECT_NE(m.Log(false).find(" - LoadLocalXml, find failed!"), std::string::npos) << m.Log(false);
  }
  {
    // No language document.
    Machine m;
    platform::Process tool;
    ASSERT_TRUE(tool.Start({QIV_RES_BINARY, "remove", m.binary().string(), "XML", "131"}));
    ASSERT_TRUE(tool.Wait(30000));
    ASSERT_EQ(tool.exit_code(), 0);
    platform::Process p = m.Start({});
    ASSERT_TRUE(p.Wait(10000));
    EXPECT_EQ(p.exit_code(), kFailed);
    std::string log = m.Log(false);
    EXPECT_NE(log.find(" - loadLangXML failed!"), std::string::npos) << log;
    EXPECT_NE(log.find("[Error]: Load lang xml error."), std::string::npos);
  }
  {
    // A damaged machine registry: the writes fail with a log line, the
    // identity is still made, and the start-up goes on.
    Machine m;
    fs::create_directories(m.root() / "var/lib/qiv");
    std::ofstream(m.root() / "var/lib/qiv/machine.db", std::ios::binary) << std::string(4096, '\x5a');
    platform::Process p = m.Start({});
    ASSERT_TRUE(m.WaitForLog(false, " - MessageLoop\r\n", p));
    EXPECT_EQ(Machine::Stop(p), 0);
    std::string log = m.Log(false);
    EXPECT_NE(log.find("err=[1015]."), std::string::npos) << log;
    EXPECT_NE(log.find(" - client sign=[{"), std::string::npos);
  }
  {
    // A temporary folder that does not exist: the lines are lost, the program still runs.
    Machine m;
    platform::SpawnOptions opt;
    opt.extra_env = m.Env();
    opt.extra_env.push_back("TMPDIR=" + (m.root() / "no/such/folder").string());
    platform::Process p;
    ASSERT_TRUE(p.Start({m.binary().string()}, opt));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_TRUE(p.running());
    EXPECT_EQ(Machine::Stop(p), 0);
    EXPECT_FALSE(fs::exists(m.root() / "no"));
  }
}

}  // namespace
