// A scratch folder for the fuzz programs that read files: in memory when
// /dev/shm exists, so the many small writes stay cheap.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz/fuzz_check.h"

inline const std::string& FuzzScratchFolder() {
  static const std::string folder = [] {
    struct stat st {};
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string path = base + "/clavora-fuzz-" + std::to_string(getpid());
    mkdir(path.c_str(), 0700);
    return path;
  }();
  return folder;
}

inline void WriteFuzzFile(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
}

inline std::string ReadFuzzFile(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  std::fclose(f);
  return out;
}
