#include "download/md5.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <new>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/text/text.h"

MD5::MD5() {
  ctx_ = EVP_MD_CTX_new();
  if (ctx_ && EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    ctx_ = nullptr;
  }
}

MD5::~MD5() {
  if (ctx_) EVP_MD_CTX_free(ctx_);
}

void MD5::Update(const void* data, size_t size) {
  if (ctx_ && size > 0) EVP_DigestUpdate(ctx_, data, size);
}

std::string MD5::FinalText() {
  if (!ctx_) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_, digest, &len) != 1 || len != 16) return std::string();
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", digest[i]);
    text += hex;
  }
  return text;
}

std::wstring GetFileMd5Pieces(const std::wstring& path, size_t piece_bytes,
                              const std::function<void(int64_t)>& after_piece) {
  if (path.empty() || piece_bytes == 0) return std::wstring();
  int fd = ::open(platform::WideToAnsi(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::wstring();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::wstring();
  }
  int64_t size = st.st_size;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece_bytes]());
  MD5 md5;
  if (!buffer || !md5.ok()) {
    ::close(fd);
    return std::wstring();
  }
  int64_t done = 0;
  while (done < size) {
    size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece_bytes), size - done));
    ssize_t n = ::pread(fd, buffer.get(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    md5.Update(buffer.get(), static_cast<size_t>(n));
    done += n;
    if (after_piece) after_piece(done);
  }
  ::close(fd);
  // Only the whole file, as large as it was when opened, has a digest.
  if (done != size) return std::wstring();
  return platform::AnsiToWide(md5.FinalText());
}

std::wstring GetFileMd5(const std::wstring& path) {
  return GetFileMd5Pieces(path, 64u * 1024 * 1024, nullptr);
}
