// The engine tests' fixture: a test CDN on 127.0.0.2-4, a scratch save
// folder, a DownloaderManager with a recording owner.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/stat.h>

#include "download/address_registry.h"
#include "download/downloader_manager.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/engine_support.h"
#include "tests/download/test_support.h"

namespace qiv::test {

const char kHosts[] = "127.0.0.2 cdn.test\n127.0.0.3 cdn.test\n127.0.0.4 cdn.test\n";

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    qiv::test::LogCapture start_log;  // the program log, in a scratch temporary folder
    CDownloadManager::SetRetryPauseForTesting(30);
    CDownloadManager::SetDefaultSegments(6);
    CAddressRegistry::Get().ResetForTesting();
    CurlLimits generous;
    generous.connect_timeout_ms = 5000;
    generous.transfer_timeout_ms = 5000;
    CAddressRegistry::Get().SetProbeLimits(generous);
  }
  void Begin() {
    ASSERT_TRUE(cdn.Start({"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
    char pattern[] = "/tmp/qiv-engine-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir = std::string(pattern) + "/";
    dm = std::make_unique<ns_VDL::DownloaderManager>();
    dm->SetCallBack(&rec);
    started = true;
  }
  void TearDown() override {
    if (!started) return;
    dm.reset();
    EXPECT_EQ(0, cdn.Stop());
    EXPECT_FALSE(rec.bad_thread());
    CDownloadManager::SetDefaultSegments(6);
  }
  std::wstring Url(const std::string& file, const std::string& host = "127.0.0.2") {
    return W("http://" + host + ":" + std::to_string(cdn.port()) + file);
  }
  int Add(const std::wstring& url, const char* name, const wchar_t* md5 = nullptr, int id = 7, int force = 0) {
    std::wstring wname = name ? W(name) : L"";
    return dm->AddTask(url.c_str(), W(dir).c_str(), name ? wname.c_str() : nullptr, id, nullptr, md5, force);
  }
  // Bytes of ranged GETs (the workers' transfers) in the CDN's log.
  int64_t RangedBytes() {
    int64_t n = 0;
    for (const auto& r : cdn.Requests()) {
      if (r.method == "GET" && r.range != "-" && r.range != "bytes=0-" && r.range != "bytes=0-1") n += r.body_bytes;
    }
    return n;
  }
  qiv::testing::CdnServer cdn;
  std::string dir;
  Recorder rec;
  std::unique_ptr<ns_VDL::DownloaderManager> dm;
  bool started = false;
};

}  // namespace qiv::test
