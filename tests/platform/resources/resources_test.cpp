#include "platform/resources/resources.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using platform::ResourceBundle;
using platform::VersionParts;

extern char** environ;

namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

struct RunResult {
  int code = -1;
  std::string out, err;
};

// Runs a program with its output caught in files.
RunResult RunProgram(const std::vector<std::string>& args, const fs::path& scratch) {
  RunResult r;
  const fs::path out = scratch / "run.out", err = scratch / "run.err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = ReadAll(out);
  r.err = ReadAll(err);
  return r;
}

class ResourceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qiv-resources-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// ---- the bundle format -------------------------------------------------------

ResourceBundle Sample() {
  ResourceBundle b;
  EXPECT_TRUE(b.Set("XML", 106, Bytes("<Product/>")));
  EXPECT_TRUE(b.Set("zipres", 133, std::vector<uint8_t>(1000, 0x5A)));
  EXPECT_TRUE(b.Set("EXE", 105, {}));
  EXPECT_TRUE(b.Set("XML", 9, Bytes("nine")));
  return b;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(Bundle, LayoutMatchesTheDocumentedFormatAndRoundTrips) {
  ResourceBundle b = Sample();
  std::vector<uint8_t> bytes = b.Serialize();
  ASSERT_GE(bytes.size(), 32u + 4 * 32);
  EXPECT_EQ(std::memcmp(bytes.data(), "QIVRES\x1a\n", 8), 0);
  EXPECT_EQ(Le32(bytes, 8), 1u);                  // format version
  EXPECT_EQ(Le32(bytes, 12), 4u);                 // entries
  EXPECT_EQ(Le32(bytes, 16), bytes.size());       // length (low half)
  EXPECT_EQ(Le32(bytes, 20), 0u);
  EXPECT_EQ(bytes.size() % 8, 0u);
  // Sorted by type, then id: EXE 105, XML 9, XML 106, ZIPRES 133.
  const char* types[] = {"EXE", "XML", "XML", "ZIPRES"};
  const uint32_t ids[] = {105, 9, 106, 133};
  const uint32_t sizes[] = {0, 4, 10, 1000};
  uint32_t last_end = 32 + 4 * 32;
  for (size_t i = 0; i < 4; ++i) {
    size_t at = 32 + i * 32;
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + at), types[i]);
    EXPECT_EQ(Le32(bytes, at + 16), ids[i]);
    uint32_t off = Le32(bytes, at + 20);
    EXPECT_EQ(off % 8, 0u);
    EXPECT_GE(off, last_end);
    EXPECT_EQ(Le32(bytes, at + 24), sizes[i]);
    last_end = off + sizes[i];
  }
  EXPECT_EQ(Le32(bytes, 32 + 28 * 1 + 32 * 1), 0x7B1D7C7Du) << "CRC-32 of \"nine\"";

  auto back = ResourceBundle::Parse(bytes);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->resources().size(), 4u);
  EXPECT_EQ(back->Find("xml", 106)->data, Bytes("<Product/>"));
  EXPECT_EQ(back->Find("ZIPRES", 133)->data.size(), 1000u);
  EXPECT_TRUE(back->Find("EXE", 105)->data.empty());
  EXPECT_EQ(back->Find("XML", 107), nullptr);
  EXPECT_EQ(back->Find("X-L", 106), nullptr);
  EXPECT_EQ(back->Serialize(), bytes);

  // Set replaces, Remove removes; bad type names are refused.
  EXPECT_TRUE(back->Set("Xml", 106, Bytes("new")));
  EXPECT_EQ(back->resources().size(), 4u);
  EXPECT_EQ(back->Find("XML", 106)->data, Bytes("new"));
  EXPECT_TRUE(back->Remove("exe", 105));
  EXPECT_FALSE(back->Remove("EXE", 105));
  EXPECT_FALSE(back->Set("", 1, {}));
  EXPECT_FALSE(back->Set("SEVENTEEN_LETTERS", 1, {}));
  EXPECT_FALSE(back->Set("A B", 1, {}));
  EXPECT_TRUE(ResourceBundle::Parse(ResourceBundle().Serialize()).has_value());
}

TEST(Bundle, DamagedBundlesGiveNoResourceAndSayWhy) {
  const std::vector<uint8_t> good = Sample().Serialize();
  const size_t e0 = 32;  // first entry (EXE 105, empty)
  const size_t e1 = 64;  // second entry (XML 9, "nine")
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* expect;  // part of the error text
  };
  const Case cases[] = {
      {"bad magic", [](auto& b) { b[0] = 'X'; }, "magic"},
      {"format version 2", [](auto& b) { PutLe32(b, 8, 2); }, "version"},
      {"length past the end", [](auto& b) { PutLe32(b, 16, static_cast<uint32_t>(b.size() + 8)); }, "truncated"},
      {"huge length", [](auto& b) { PutLe32(b, 20, 1); }, "truncated"},
      {"too many entries", [](auto& b) { PutLe32(b, 12, 0x7FFFFFFF); }, "entries"},
      {"data offset inside the table", [e1](auto& b) { PutLe32(b, e1 + 20, 40); }, "outside"},
      {"data past the end", [e1](auto& b) { PutLe32(b, e1 + 24, 0xFFFFFFF0u); }, "outside"},
      {"offset past the end", [e1](auto& b) { PutLe32(b, e1 + 20, 0xFFFFFFF8u); }, "outside"},
      {"bad type character", [e0](auto& b) { b[e0] = '-'; }, "type"},
      {"lower-case type", [e0](auto& b) { b[e0] = 'e'; }, "type"},
      {"empty type", [e0](auto& b) { std::memset(&b[e0], 0, 16); }, "type"},
      {"bytes after the type's end", [e0](auto& b) { b[e0 + 10] = 'Q'; }, "type"},
      {"flipped data byte", [e1](auto& b) { b[Le32(b, e1 + 20)] ^= 1; }, "checksum"},
      {"duplicate entry", [e1](auto& b) { std::memcpy(&b[e1 + 32], &b[e1], 32); }, "twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = good;
    c.damage(bytes);
    std::string error;
    EXPECT_FALSE(ResourceBundle::Parse(bytes, &error).has_value());
    EXPECT_NE(error.find(c.expect), std::string::npos) << error;
  }
  // Every truncation fails; none reads out of bounds (the sanitizers watch).
  for (size_t n = 0; n < good.size(); ++n) {
    std::string error;
    ASSERT_FALSE(ResourceBundle::Parse(std::span(good.data(), n), &error).has_value()) << n;
    ASSERT_FALSE(error.empty());
  }
  // Scattered single-byte damage never crashes; where it is accepted, the
  // result is a well-formed bundle.
  uint32_t seed = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = good;
    seed = seed * 1103515245u + 12345u;
    size_t at = (seed >> 8) % bytes.size();
    seed = seed * 1103515245u + 12345u;
    bytes[at] = static_cast<uint8_t>(seed >> 16);
    auto parsed = ResourceBundle::Parse(bytes);
    if (parsed) {
      EXPECT_EQ(parsed->resources().size(), 4u);
    }
  }
}

// ---- version resources ---------------------------------------------------------

TEST(VersionResource, ParsesTheTextForm) {
  struct Case {
    const char* text;
    std::optional<VersionParts> file, product;
  };
  const Case cases[] = {
      {"FileVersion=3.0.3.7\n", VersionParts{3, 0, 3, 7}, VersionParts{3, 0, 3, 7}},
      {"# c\r\n\r\n fileversion = 1.2 \r\nProductVersion=5.6.7.65535\r\n", VersionParts{1, 2, 0, 0},
       VersionParts{5, 6, 7, 65535}},
      {"FileVersion=7", VersionParts{7, 0, 0, 0}, VersionParts{7, 0, 0, 0}},
      {"", std::nullopt, std::nullopt},
      {"ProductVersion=1.0.0.0\n", std::nullopt, std::nullopt},
      {"FileVersion=1.2.3.4.5\n", std::nullopt, std::nullopt},
      {"FileVersion=65536.0.0.0\n", std::nullopt, std::nullopt},
      {"FileVersion=99999999999999999999\n", std::nullopt, std::nullopt},
      {"FileVersion=1..2\n", std::nullopt, std::nullopt},
      {"FileVersion=1.2.\n", std::nullopt, std::nullopt},
      {"FileVersion=\n", std::nullopt, std::nullopt},
      {"FileVersion=-1\n", std::nullopt, std::nullopt},
      {"FileVersion=1.0\njust words\n", std::nullopt, std::nullopt},
      {"FileVersion=1.0\n=x\n", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    auto info = platform::ParseVersionResource(Bytes(c.text), &error);
    ASSERT_EQ(info.has_value(), c.file.has_value()) << error;
    if (!info) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(info->file, *c.file);
    EXPECT_EQ(info->product, *c.product);
  }
  std::string with_zero("FileVersion=1.0\n\0", 17);
  EXPECT_FALSE(platform::ParseVersionResource(Bytes(with_zero)).has_value());

  auto info = platform::ParseVersionResource(Bytes("FileVersion=1.2.3.4\nCompanyName = Acme  Ltd\nX=\n"));
  ASSERT_TRUE(info);
  ASSERT_EQ(info->strings.size(), 2u);
  EXPECT_EQ(info->strings[0], std::make_pair(std::string("CompanyName"), std::string("Acme  Ltd")));
  EXPECT_EQ(platform::FormatVersion(info->file), "1.2.3.4");
  auto again = platform::ParseVersionResource(Bytes(platform::FormatVersionResource(*info)));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->file, info->file);
  EXPECT_EQ(again->strings, info->strings);
}

// ---- PE files ------------------------------------------------------------------

// A minimal PE file: headers in the first 0x200 bytes, one ".rsrc" section
// at file offset 0x200, RVA 0x1000, holding a resource tree with an empty
// icon type (3) and the version type (16) -> id 1 -> language 0x409 -> the
// VS_VERSIONINFO block.
constexpr size_t kRsrc = 0x200;
constexpr size_t kRootDir = 0, kIconDir = 32, kVersionDir = 48, kNameDir = 72, kDataEntry = 96, kVsInfo = 112;
constexpr size_t kVsLength = 92;

std::vector<uint8_t> MakePe(bool plus, VersionParts file, VersionParts product) {
  std::vector<uint8_t> b(0x400, 0);
  auto u16 = [&](size_t at, uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; };
  auto u32 = [&](size_t at, uint32_t v) { PutLe32(b, at, v); };
  b[0] = 'M', b[1] = 'Z';
  u32(0x3C, 0x80);
  std::memcpy(&b[0x80], "PE\0\0", 4);
  const size_t coff = 0x84, opt = 0x98;
  const uint16_t opt_size = plus ? 240 : 224;
  u16(coff, plus ? 0x8664 : 0x14C);
  u16(coff + 2, 1);
  u16(coff + 16, opt_size);
  u16(opt, plus ? 0x20B : 0x10B);
  const size_t dirs = opt + (plus ? 112 : 96);
  u32(opt + (plus ? 108 : 92), 16);
  u32(dirs + 16, 0x1000);  // resource directory RVA
  u32(dirs + 20, kVsInfo + kVsLength);
  const size_t sec = opt + opt_size;
  std::memcpy(&b[sec], ".rsrc\0\0\0", 8);
  u32(sec + 8, kVsInfo + kVsLength);
  u32(sec + 12, 0x1000);
  u32(sec + 16, 0x200);
  u32(sec + 20, kRsrc);

  const size_t r = kRsrc;
  u16(r + kRootDir + 14, 2);
  u32(r + kRootDir + 16, 3), u32(r + kRootDir + 20, 0x80000000u | kIconDir);
  u32(r + kRootDir + 24, 16), u32(r + kRootDir + 28, 0x80000000u | kVersionDir);
  // icon directory: no entries (16 bytes of zeros)
  u16(r + kVersionDir + 14, 1);
  u32(r + kVersionDir + 16, 1), u32(r + kVersionDir + 20, 0x80000000u | kNameDir);
  u16(r + kNameDir + 14, 1);
  u32(r + kNameDir + 16, 0x409), u32(r + kNameDir + 20, kDataEntry);
  u32(r + kDataEntry, 0x1000 + kVsInfo);
  u32(r + kDataEntry + 4, kVsLength);
  const size_t v = r + kVsInfo;
  u16(v, kVsLength);
  u16(v + 2, 52);
  const char* key = "VS_VERSION_INFO";
  for (size_t i = 0; i <= std::strlen(key); ++i) u16(v + 6 + 2 * i, static_cast<uint16_t>(key[i]));
  u32(v + 40, 0xFEEF04BDu);
  u32(v + 44, 0x00010000u);
  u32(v + 48, uint32_t{file[0]} << 16 | file[1]);
  u32(v + 52, uint32_t{file[2]} << 16 | file[3]);
  u32(v + 56, uint32_t{product[0]} << 16 | product[1]);
  u32(v + 60, uint32_t{product[2]} << 16 | product[3]);
  return b;
}

TEST_F(ResourceFiles, PeFixedVersionBlock) {
  for (bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    auto pe = MakePe(plus, {10, 0, 19041, 1}, {10, 0, 0, 65535});
    std::string error;
    auto v = platform::ReadPeVersion(pe, &error);
    ASSERT_TRUE(v) << error;
    EXPECT_EQ(platform::FormatVersion(v->file), "10.0.19041.1");
    EXPECT_EQ(platform::FormatVersion(v->product), "10.0.0.65535");

    // The same through a file, as callers check a downloaded installer.
    const fs::path path = dir_ / "setup.exe";
    WriteAll(path, std::string(pe.begin(), pe.end()));
    auto fv = platform::GetFileVersion(path.string());
    ASSERT_TRUE(fv) << platform::ResourceLastErrorText();
    EXPECT_EQ(fv->file, (VersionParts{10, 0, 19041, 1}));
  }
}

TEST(PeVersion, DamagedFilesGiveNoVersion) {
  const size_t r = kRsrc;
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  const size_t opt = 0x98, dirs = opt + 112, sec = opt + 240;
  const Case cases[] = {
      {"no MZ", [](auto& b) { b[0] = 'X'; }},
      {"PE header past the end", [](auto& b) { PutLe32(b, 0x3C, 0xFFFFFFF0u); }},
      {"no PE signature", [](auto& b) { b[0x81] = 'X'; }},
      {"unknown optional header", [](auto& b) { b[opt] = 0x99; }},
      {"tiny optional header", [](auto& b) { b[0x84 + 16] = 8, b[0x84 + 17] = 0; }},
      {"two data directories", [](auto& b) { PutLe32(b, opt + 108, 2); }},
      {"no resource directory", [dirs](auto& b) { PutLe32(b, dirs + 16, 0); }},
      {"resource RVA outside every section", [dirs](auto& b) { PutLe32(b, dirs + 16, 0x9000); }},
      {"section table past the end", [](auto& b) { b[0x86] = 0xFF, b[0x87] = 0xFF; }},
      {"raw data past the end", [sec](auto& b) { PutLe32(b, sec + 20, 0x7FFFFF00u); }},
      {"no version type", [r](auto& b) { PutLe32(b, r + 24, 17); }},
      {"version type is a leaf", [r](auto& b) { PutLe32(b, r + 28, kVersionDir); }},
      {"sub-directory far outside", [r](auto& b) { PutLe32(b, r + 28, 0x80000000u | 0x7FFFFF00u); }},
      {"huge entry count", [r](auto& b) { b[r + kNameDir + 14] = 0xFF, b[r + kNameDir + 15] = 0xFF; }},
      {"language entry is a directory", [r](auto& b) { PutLe32(b, r + kNameDir + 20, 0x80000000u | kNameDir); }},
      {"data RVA past the section", [r](auto& b) { PutLe32(b, r + kDataEntry, 0x1000 + 0x1F0); }},
      {"data too short", [r](auto& b) { PutLe32(b, r + kDataEntry + 4, 20); }},
      {"wrong key", [r](auto& b) { b[r + kVsInfo + 6] = 'X'; }},
      {"no fixed block", [r](auto& b) { b[r + kVsInfo + 2] = 0; }},
      {"bad signature", [r](auto& b) { b[r + kVsInfo + 40] ^= 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto pe = MakePe(true, {1, 2, 3, 4}, {1, 2, 3, 4});
    c.damage(pe);
    std::string error;
    EXPECT_FALSE(platform::ReadPeVersion(pe, &error).has_value());
    EXPECT_FALSE(error.empty());
  }
  // Truncated anywhere before the end of the version block: no version.
  auto pe = MakePe(false, {1, 2, 3, 4}, {1, 2, 3, 4});
  const size_t needed = kRsrc + kVsInfo + 92;  // through the fixed block
  for (size_t n = 0; n < pe.size(); ++n) {
    auto v = platform::ReadPeVersion(std::span(pe.data(), n));
    ASSERT_EQ(v.has_value(), n >= needed) << n;
  }
}

// ---- ELF files and the stamped program ------------------------------------------

TEST_F(ResourceFiles, StampedProgramReadsItsOwnResources) {
  RunResult r = RunProgram({RES_PROBE, "XML", "106"}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, ReadAll(fs::path(PROBE_SOURCE_DIR) / "probe_product.xml"));
  r = RunProgram({RES_PROBE, "xml", "131"}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, ReadAll(fs::path(PROBE_SOURCE_DIR) / "probe_lang.xml"));
  r = RunProgram({RES_PROBE, "version"}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "1.2.3.4 1.2.0.0\n");
  r = RunProgram({RES_PROBE, "XML", "109"}, dir_);
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("XML 109"), std::string::npos) << r.err;

  // From outside, by path.
  auto data = platform::LoadResourceFromFile(RES_PROBE, "XML", 106);
  ASSERT_TRUE(data) << platform::ResourceLastErrorText();
  EXPECT_EQ(std::string(data->begin(), data->end()), ReadAll(fs::path(PROBE_SOURCE_DIR) / "probe_product.xml"));
  auto v = platform::GetFileVersion(RES_PROBE);
  ASSERT_TRUE(v) << platform::ResourceLastErrorText();
  EXPECT_EQ(platform::FormatVersion(v->file), "1.2.3.4");
  ASSERT_EQ(v->strings.size(), 1u);
  EXPECT_EQ(v->strings[0].second, "QIV test");
}

TEST_F(ResourceFiles, ReplacingAResourceInABuiltCopyNeedsNoRecompiling) {
  const fs::path copy = dir_ / "probe";
  fs::copy_file(RES_PROBE, copy);
  ASSERT_EQ(chmod(copy.c_str(), 0750), 0);
  const std::string product = "<Product><ProductName>Other product</ProductName></Product>\n";
  WriteAll(dir_ / "other.xml", product);
  WriteAll(dir_ / "version.txt", "FileVersion=4.5.6.7\n");

  RunResult r = RunProgram({QIV_RES, "replace", copy.string(), "XML", "106", (dir_ / "other.xml").string()}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;
  r = RunProgram({QIV_RES, "replace", copy.string(), "VERSION", "1", (dir_ / "version.txt").string()}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;

  r = RunProgram({copy.string(), "XML", "106"}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, product);
  r = RunProgram({copy.string(), "version"}, dir_);
  EXPECT_EQ(r.out, "4.5.6.7 4.5.6.7\n");
  r = RunProgram({copy.string(), "xml", "131"}, dir_);  // the others are kept
  EXPECT_EQ(r.out, ReadAll(fs::path(PROBE_SOURCE_DIR) / "probe_lang.xml"));

  struct stat st;
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  // The build's own program is untouched.
  r = RunProgram({RES_PROBE, "XML", "106"}, dir_);
  EXPECT_EQ(r.out, ReadAll(fs::path(PROBE_SOURCE_DIR) / "probe_product.xml"));

  // The library writes the same way: a bundle with one new resource.
  ResourceBundle b;
  b.Set("ZIPRES", 133, std::vector<uint8_t>(70000, 0x42));
  ASSERT_TRUE(platform::WriteBundleToFile(copy.string(), b)) << platform::ResourceLastErrorText();
  r = RunProgram({copy.string(), "ZIPRES", "133"}, dir_);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, std::string(70000, 0x42));
  r = RunProgram({copy.string(), "XML", "106"}, dir_);
  EXPECT_EQ(r.code, 3);
  // No temporary files are left beside it.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.path().filename().string()[0] == '.';
  EXPECT_EQ(files, 0u);
}

TEST_F(ResourceFiles, DamagedElfFilesGiveNoResource) {
  const std::string good = ReadAll(RES_PROBE);
  ASSERT_GT(good.size(), 1000u);
  const fs::path path = dir_ / "damaged";

  auto u64 = [](const std::string& s, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
  };
  auto put64 = [](std::string& s, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  };
  const uint64_t shoff = u64(good, 0x28);
  // Finds the .qivres section header's offset in the file.
  auto bundle_offset = [&]() -> uint64_t {
    auto bundle = platform::ReadBundleFromFile(RES_PROBE);
    EXPECT_TRUE(bundle);
    size_t at = good.rfind("QIVRES\x1a\n");  // the loader's own copy of the magic sits earlier
    EXPECT_NE(at, std::string::npos);
    return at;
  };
  const uint64_t bundle_at = bundle_offset();

  // The section header whose data is the bundle.
  const uint16_t shnum = static_cast<uint16_t>(static_cast<uint8_t>(good[0x3C]) | static_cast<uint8_t>(good[0x3D]) << 8);
  size_t bundle_header = 0;
  for (size_t i = 0; i < shnum; ++i)
    if (u64(good, shoff + i * 64 + 24) == bundle_at) bundle_header = shoff + i * 64;
  ASSERT_NE(bundle_header, 0u);

  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
  };
  const Case cases[] = {
      {"bundle section longer than the file", [&](std::string& s) { put64(s, bundle_header + 32, s.size()); }},
      {"bundle section at a huge offset", [&](std::string& s) { put64(s, bundle_header + 24, ~uint64_t{0} - 8); }},
      {"bundle section shorter than the bundle", [&](std::string& s) { put64(s, bundle_header + 32, 100); }},
      {"section headers past the end", [&](std::string& s) { put64(s, 0x28, s.size() - 10); }},
      {"section headers at a huge offset", [&](std::string& s) { put64(s, 0x28, ~uint64_t{0} - 100); }},
      {"name table index out of range", [&](std::string& s) { s[0x3E] = 0x7F, s[0x3F] = 0x7F; }},
      {"tiny section header size", [&](std::string& s) { s[0x3A] = 4, s[0x3B] = 0; }},
      {"32-bit class", [&](std::string& s) { s[4] = 1; }},
      {"not ELF", [&](std::string& s) { s[1] = 'X'; }},
      {"bundle magic", [&](std::string& s) { s[bundle_at] = 'X'; }},
      {"bundle entry length", [&](std::string& s) { s[bundle_at + 32 + 27] = 0x7F; }},
      {"bundle data", [&](std::string& s) { s[s.rfind("<Product>")] = '('; }},
      {"truncated inside the bundle", [&](std::string& s) { s.resize(bundle_at + 40); }},
      {"truncated before the section headers", [&](std::string& s) { s.resize(shoff + 100); }},
      {"empty file", [&](std::string& s) { s.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = good;
    c.damage(bytes);
    WriteAll(path, bytes);
    EXPECT_FALSE(platform::LoadResourceFromFile(path.string(), "XML", 106).has_value());
    EXPECT_FALSE(platform::ResourceLastErrorText().empty());
    EXPECT_FALSE(platform::GetFileVersion(path.string()).has_value());
  }
  // Cuts of the file, through the headers, the bundle and the section
  // headers, are refused without harm.
  std::vector<size_t> cuts;
  for (size_t n = 0; n < 256; n += 7) cuts.push_back(n);
  for (size_t n = 0; n < good.size(); n += good.size() / 64) cuts.push_back(n);
  for (size_t n = bundle_at; n < bundle_at + 400; n += 13) cuts.push_back(n);
  for (size_t n = shoff; n < good.size(); n += 29) cuts.push_back(n);
  for (size_t n : cuts) {
    WriteAll(path, good.substr(0, n));
    ASSERT_FALSE(platform::LoadResourceFromFile(path.string(), "XML", 106).has_value()) << n;
  }
  EXPECT_FALSE(platform::LoadResourceFromFile((dir_ / "missing").string(), "XML", 106).has_value());
  EXPECT_NE(platform::ResourceLastErrorText().find("missing"), std::string::npos);
  EXPECT_FALSE(platform::LoadResourceFromFile(dir_.string(), "XML", 106).has_value());

  // This test program itself has no bundle: no resource, no crash.
  EXPECT_FALSE(platform::LoadResource("XML", 106).has_value());
  EXPECT_FALSE(platform::FindResource("XML", 106).has_value());
  EXPECT_FALSE(platform::GetOwnFileVersion().has_value());
  auto own = platform::ReadBundleFromFile("/proc/self/exe");
  ASSERT_TRUE(own);
  EXPECT_TRUE(own->empty());
}

}  // namespace
