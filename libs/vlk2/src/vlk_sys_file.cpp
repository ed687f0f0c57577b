// Cvlk_file: a buffered file over a C stream.
#include <cstring>

#include "vlk_sys.h"

namespace {

constexpr int kMaxPath = 259;

}  // namespace

Cvlk_file::Cvlk_file(const char* path, QObject* parent) : QObject(parent) {
  std::memset(m_path, 0, sizeof m_path);
  if (!VlkStrLenZero(path)) VlkCopyStr(m_path, path, kMaxPath);
}

Cvlk_file::~Cvlk_file() { close(); }

int Cvlk_file::open(const char* mode) {
  close();
  if (VlkStrLenZero(m_path) || VlkStrLenZero(mode)) return -1;
  m_stream = std::fopen(m_path, mode);
  if (m_stream == nullptr) return -1;
  std::fflush(m_stream);
  return 1;
}

int Cvlk_file::open(const char* path, const char* mode) {
  // Copied aside first: path may be the stored one (getPath()), which the
  // clearing below would otherwise empty. An empty path must not fall back to
  // the one stored before.
  char copy[sizeof m_path] = {};
  if (!VlkStrLenZero(path)) VlkCopyStr(copy, path, kMaxPath);
  std::memcpy(m_path, copy, sizeof m_path);
  return open(mode);
}

int Cvlk_file::close() {
  if (m_stream == nullptr) return -1;
  std::fclose(m_stream);
  m_stream = nullptr;
  return 1;
}

int Cvlk_file::eof() { return m_stream != nullptr ? std::feof(m_stream) : 1; }

int Cvlk_file::fflush() { return std::fflush(m_stream); }

int Cvlk_file::read(void* buf, int n) {
  if (buf == nullptr || n < 0 || m_stream == nullptr) return -1;
  return static_cast<int>(std::fread(buf, 1, static_cast<std::size_t>(n), m_stream));
}

int Cvlk_file::write(void* buf, int size) {
  if (buf == nullptr || size < 0 || m_stream == nullptr) return -1;
  if (size == 0) return 0;
  return std::fwrite(buf, static_cast<std::size_t>(size), 1, m_stream) == 1 ? 1 : 0;
}

int Cvlk_file::seek(long offset, int whence) {
  if (m_stream == nullptr) return -1;
  return std::fseek(m_stream, offset, whence);
}
