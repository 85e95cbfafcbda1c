// An owned heap block of bytes: malloc-based, so the stub needs no
// libstdc++ for it, and move-only, so exactly one owner frees it.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "common/containers.h"

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(size_t size) { Allocate(size); }
  ~ByteBuffer() { free(bytes_); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) : bytes_(other.bytes_), size_(other.size_) {
    other.bytes_ = nullptr;
    other.size_ = 0;
  }
  ByteBuffer& operator=(ByteBuffer&& other) {
    if (this != &other) {
      free(bytes_);
      bytes_ = other.bytes_;
      size_ = other.size_;
      other.bytes_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }

  // Replaces the block by a new one of `size` bytes, contents undefined.
  // Allocation failure ends the process.
  void Allocate(size_t size) {
    free(bytes_);
    bytes_ = static_cast<uint8_t*>(AllocateOrDie(size));
    size_ = size;
  }

  uint8_t* get() const { return bytes_; }  // null until allocated
  size_t size() const { return size_; }

 private:
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
};
