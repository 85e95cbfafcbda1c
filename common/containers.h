// Minimal owning containers for the stub, which links no libstdc++.
// Allocation failure ends the process, as everywhere in the bootstrapper.
#pragma once
#include <stddef.h>
#include <stdlib.h>
#include <new>

#include "common/text.h"

[[noreturn]] inline void OutOfMemory() { abort(); }

inline void* AllocateOrDie(size_t size) {
  void* memory = malloc(size ? size : 1);
  if (!memory) OutOfMemory();
  return memory;
}

// A growable array. Elements are moved, never copied, when it grows.
template <class T>
class Array {
 public:
  Array() = default;
  ~Array() { Clear(); free(items_); }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  Array(Array&& other) : items_(other.items_), size_(other.size_), capacity_(other.capacity_) {
    other.items_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }
  T* begin() { return items_; }
  T* end() { return items_ + size_; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + size_; }

  void Reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    T* grown = static_cast<T*>(AllocateOrDie(capacity * sizeof(T)));
    for (size_t i = 0; i < size_; ++i) {
      new (&grown[i]) T(static_cast<T&&>(items_[i]));
      items_[i].~T();
    }
    free(items_);
    items_ = grown;
    capacity_ = capacity;
  }
  void Append(T&& item) { Insert(size_, static_cast<T&&>(item)); }
  void Append(const T& item) { T copy(item); Insert(size_, static_cast<T&&>(copy)); }
  // Inserts before position `at` (at <= size()).
  void Insert(size_t at, T&& item) {
    if (size_ == capacity_) Reserve(capacity_ ? capacity_ * 2 : 8);
    if (at > size_) at = size_;
    if (at == size_) {
      new (&items_[size_]) T(static_cast<T&&>(item));
    } else {
      new (&items_[size_]) T(static_cast<T&&>(items_[size_ - 1]));
      for (size_t i = size_ - 1; i > at; --i) items_[i] = static_cast<T&&>(items_[i - 1]);
      items_[at] = static_cast<T&&>(item);
    }
    ++size_;
  }
  void Clear() {
    for (size_t i = 0; i < size_; ++i) items_[i].~T();
    size_ = 0;
  }

 private:
  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// An owned, always terminated, growable wide string.
class WideString {
 public:
  WideString() = default;
  explicit WideString(const wchar_t* text) { Append(text); }
  WideString(const wchar_t* text, size_t length) { Append(text, length); }
  WideString(const WideString& other) { Append(other.c_str(), other.size()); }
  WideString(WideString&& other) : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  WideString& operator=(const WideString& other) {
    if (this != &other) { Clear(); Append(other.c_str(), other.size()); }
    return *this;
  }
  WideString& operator=(WideString&& other) {
    if (this != &other) {
      free(data_);
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.data_ = nullptr;
      other.size_ = other.capacity_ = 0;
    }
    return *this;
  }
  ~WideString() { free(data_); }

  const wchar_t* c_str() const { return data_ ? data_ : L""; }
  // Writable storage, e.g. for CreateProcessW, which may modify its command line.
  wchar_t* data() { Reserve(size_); return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  wchar_t operator[](size_t i) const { return data_[i]; }

  void Clear() { size_ = 0; if (data_) data_[0] = 0; }
  void Append(const wchar_t* text) { Append(text, TextLength(text)); }
  void Append(const wchar_t* text, size_t length) {
    if (!text || !length) { Reserve(size_); return; }
    Reserve(size_ + length);
    for (size_t i = 0; i < length; ++i) data_[size_ + i] = text[i];
    size_ += length;
    data_[size_] = 0;
  }
  void Append(wchar_t c) { Append(&c, 1); }
  void Append(const WideString& other) { Append(other.c_str(), other.size()); }

 private:
  void Reserve(size_t length) {
    if (data_ && length < capacity_) return;
    size_t capacity = capacity_ ? capacity_ : 16;
    while (capacity <= length) capacity *= 2;
    wchar_t* grown = static_cast<wchar_t*>(AllocateOrDie(capacity * sizeof(wchar_t)));
    for (size_t i = 0; i < size_; ++i) grown[i] = data_[i];
    grown[size_] = 0;
    free(data_);
    data_ = grown;
    capacity_ = capacity;
  }

  wchar_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};
