#include "download/address_registry.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "platform/net/net.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/test_support.h"

namespace net = platform::net;
using qiv::test::LogCapture;

namespace {
uint32_t Ip(const char* text) { return net::TextToIp(text); }

const char kHosts[] =
    "127.0.0.2 cdn.test\n127.0.0.3 cdn.test\n127.0.0.4 cdn.test\n"
    "127.0.0.2 tie.test\n127.0.0.3 tie.test\n127.0.0.4 tie.test\n127.0.0.5 tie.test\n";

// Runs in a private mount namespace whose hosts file gives cdn.test three
// addresses and tie.test four; a CDN server listens on all of them.
class Registry : public ::testing::Test {
 protected:
  void StartCdn() {
    ASSERT_TRUE(cdn.Start({"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}));
    ASSERT_TRUE(cdn.AddFile("/pkg/setup.exe", 5000));
    CAddressRegistry::Get().ResetForTesting();
    CurlLimits generous;  // the machine may be busy: the vote is tested, not the time-outs
    generous.connect_timeout_ms = 5000;
    generous.transfer_timeout_ms = 5000;
    CAddressRegistry::Get().SetProbeLimits(generous);
  }
  void TearDown() override {
    if (qiv::testing::InMountNamespace()) {
      EXPECT_EQ(0, cdn.Stop());
    }
  }
  std::wstring Url(const char* host) {
    return L"http://" + std::wstring(host, host + strlen(host)) + L":" + std::to_wstring(cdn.port()) +
           L"/pkg/setup.exe?token=1";
  }
  qiv::testing::CdnServer cdn;
};
}  // namespace

TEST_F(Registry, MajorityRemovesTheOddAddress) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup(kHosts));
  StartCdn();
  LogCapture log;
  qiv::testing::CdnRule other;
  other.report_size = 7000;
  ASSERT_TRUE(cdn.SetRule("127.0.0.4", "*", other));
  EXPECT_EQ(1, RegisterHost(Url("CDN.test").c_str()));
  auto table = CAddressRegistry::Get().Addresses(L"cdn.test");
  ASSERT_EQ(2u, table.size());
  EXPECT_TRUE(table.count(Ip("127.0.0.2")) && table.count(Ip("127.0.0.3")));
  EXPECT_TRUE(log.Has("[INFO]", "query host=[cdn.test], ip count=[3]"));
  EXPECT_TRUE(log.Has("[INFO]", "host ip=[127.0.0.4]"));
  EXPECT_TRUE(log.Has("[INFO]", "ulfs_max=[5000], count=[2]"));
  EXPECT_TRUE(log.Has("[WARN]", "remove host ip=[127.0.0.4]"));
  EXPECT_TRUE(log.Has("[INFO]", "init host, vaild ip count=[2]"));
  // Every probe went to the URL's path and port, with the host's name.
  auto requests = cdn.Requests();
  ASSERT_EQ(3u, requests.size());
  for (const auto& r : requests) EXPECT_EQ("/pkg/setup.exe", r.path);

  // A registered host is not probed again.
  EXPECT_EQ(1, RegisterHost(Url("cdn.test").c_str()));
  EXPECT_EQ(3u, cdn.Requests().size());

  // The separate size question agrees: two addresses say 5000.
  net::HeadProbeTimeouts generous{1000, 1000, 1000, 1000};
  EXPECT_EQ(5000u, GetCdnFileSize(Url("cdn.test").c_str(), generous));
  EXPECT_TRUE(log.Has("[INFO]", "get cdn file size, content size count=[2]"));
  EXPECT_TRUE(log.Has("[INFO]", "get cdn file size, ulfs_max=[5000], count=[2]"));
  // And with the real (millisecond) time-outs on loopback.
  EXPECT_EQ(5000u, GetCdnFileSize(Url("cdn.test").c_str()));
}

TEST_F(Registry, EqualCountsLetTheSmallerSizeWin) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup(kHosts));
  StartCdn();
  LogCapture log;
  qiv::testing::CdnRule smaller;
  smaller.report_size = 4000;
  ASSERT_TRUE(cdn.SetRule("127.0.0.4", "*", smaller));
  ASSERT_TRUE(cdn.SetRule("127.0.0.5", "*", smaller));
  EXPECT_EQ(1, RegisterHost(Url("tie.test").c_str()));
  auto table = CAddressRegistry::Get().Addresses(L"tie.test");
  ASSERT_EQ(2u, table.size());
  EXPECT_TRUE(table.count(Ip("127.0.0.4")) && table.count(Ip("127.0.0.5")));
  EXPECT_TRUE(log.Has("[INFO]", "ulfs_max=[4000], count=[2]"));
  EXPECT_FALSE(log.Has("[INFO]", "ulfs_max=[5000], count=[2]"));
  net::HeadProbeTimeouts generous{1000, 1000, 1000, 1000};
  EXPECT_EQ(4000u, GetCdnFileSize(Url("tie.test").c_str(), generous));
}

TEST_F(Registry, FailedProbesAreDroppedUnlessAllFail) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup(kHosts));
  StartCdn();
  LogCapture log;
  qiv::testing::CdnRule broken;
  broken.status = 500;
  ASSERT_TRUE(cdn.SetRule("127.0.0.3", "*", broken));
  EXPECT_EQ(1, RegisterHost(Url("cdn.test").c_str()));
  EXPECT_EQ(2u, CAddressRegistry::Get().Addresses(L"cdn.test").size());
  EXPECT_TRUE(log.Has("[WARN]", "remove host ip=[127.0.0.3]"));

  ASSERT_TRUE(cdn.SetRule("*", "*", broken));
  EXPECT_EQ(1, RegisterHost(Url("tie.test").c_str()));
  EXPECT_EQ(4u, CAddressRegistry::Get().Addresses(L"tie.test").size());
  net::HeadProbeTimeouts generous{1000, 1000, 1000, 1000};
  EXPECT_EQ(0u, GetCdnFileSize(Url("tie.test").c_str(), generous));
  EXPECT_TRUE(log.Has("[ERROR]",
                      "get cdn file size, win http query headers failed! ip=[127.0.0.2], size=[6], index=[0], "
                      "err=[500]."));
}

TEST_F(Registry, SixWorkersSpreadOverThreeAddresses) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup(kHosts));
  StartCdn();
  ASSERT_EQ(1, RegisterHost(Url("cdn.test").c_str()));
  std::vector<uint32_t> picked(6);
  std::vector<std::thread> workers;
  for (int i = 0; i < 6; ++i) workers.emplace_back([&, i] { picked[i] = PickAddress(L"cdn.test"); });
  for (auto& w : workers) w.join();
  for (const auto& [ip, uses] : CAddressRegistry::Get().Addresses(L"cdn.test")) EXPECT_EQ(2, uses);
  workers.clear();
  for (int i = 0; i < 6; ++i) workers.emplace_back([&, i] { ReleaseAddress(picked[i], L"cdn.test"); });
  for (auto& w : workers) w.join();
  for (const auto& [ip, uses] : CAddressRegistry::Get().Addresses(L"cdn.test")) EXPECT_EQ(0, uses);
  // Counts never go below 0; unknown hosts and addresses change nothing.
  ReleaseAddress(Ip("127.0.0.2"), L"cdn.test");
  ReleaseAddress(Ip("127.0.0.9"), L"cdn.test");
  ReleaseAddress(Ip("127.0.0.2"), L"other.test");
  EXPECT_EQ(0, CAddressRegistry::Get().Addresses(L"cdn.test").at(Ip("127.0.0.2")));
  // Least used first, the lowest address on ties.
  EXPECT_EQ(Ip("127.0.0.2"), PickAddress(L"cdn.test"));
  EXPECT_EQ(Ip("127.0.0.3"), PickAddress(L"cdn.test"));
  ReleaseAddress(Ip("127.0.0.2"), L"cdn.test");
  EXPECT_EQ(Ip("127.0.0.2"), PickAddress(L"cdn.test"));
  EXPECT_EQ(Ip("127.0.0.4"), PickAddress(L"cdn.test"));
}

TEST(RegistryArguments, BadUrlsAndUnknownHosts) {
  LogCapture log;
  CAddressRegistry::Get().ResetForTesting();
  EXPECT_EQ(0, RegisterHost(nullptr));
  EXPECT_TRUE(log.Has("[ERROR]", "init host url is empty."));
  EXPECT_EQ(0, RegisterHost(L"no scheme at all"));
  EXPECT_TRUE(log.Has("[ERROR]", "init host name is empty."));
  EXPECT_EQ(0u, PickAddress(L"never.registered"));
  EXPECT_EQ(0u, GetCdnFileSize(nullptr));
  EXPECT_TRUE(log.Has("[ERROR]", "get cdn file size, url is empty."));
  // A host name as long as a whole URL buffer does not fit.
  std::wstring long_host = L"http://" + std::wstring(600, L'a') + L"/x";
  EXPECT_EQ(0, RegisterHost(long_host.c_str()));
}

TEST(RegistryArguments, CrackUrl) {
  std::wstring scheme, host, path;
  uint16_t port = 0;
  ASSERT_TRUE(CrackUrl(L"HTTP://Cdn.Example:8080/a/b.exe?x=1#f", &scheme, &host, &port, &path));
  EXPECT_EQ(L"http", scheme);
  EXPECT_EQ(L"cdn.example", host);
  EXPECT_EQ(8080, port);
  EXPECT_EQ(L"/a/b.exe", path);
  ASSERT_TRUE(CrackUrl(L"https://h", &scheme, &host, &port, &path));
  EXPECT_EQ(443, port);
  EXPECT_EQ(L"/", path);
  EXPECT_FALSE(CrackUrl(L"h/x", &scheme, &host, &port, &path));
  EXPECT_FALSE(CrackUrl(L"http://h:99999/", &scheme, &host, &port, &path));
}
