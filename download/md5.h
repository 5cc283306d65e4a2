// MD5 digests of whole files (RFC 1321, computed by OpenSSL's EVP interface).
//
// The text form of a digest is its 16 bytes, first to last, each as two
// upper-case hexadecimal digits: 32 characters, no separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

class MD5 {
 public:
  MD5();
  virtual ~MD5();
  MD5(const MD5&) = delete;
  MD5& operator=(const MD5&) = delete;

  void Update(const void* data, size_t size);
  // The 32-character upper-case text; the object is spent afterwards.
  std::string FinalText();
  bool ok() const { return ctx_ != nullptr; }

 private:
  EVP_MD_CTX* ctx_ = nullptr;
};

// The digest of the file's contents, or an empty text when the file cannot
// be opened or read completely (a file that shrinks while it is hashed gives
// an empty text). Reads in 64 MiB pieces.
std::wstring GetFileMd5(const std::wstring& path);

// GetFileMd5 with the piece size chosen and a hook called after every piece
// with the bytes read so far (tests use it to change the file underway).
std::wstring GetFileMd5Pieces(const std::wstring& path, size_t piece_bytes,
                              const std::function<void(int64_t)>& after_piece);
