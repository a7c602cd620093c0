// Heap buffers of an exact size, so that AddressSanitizer reports a routine
// that reads or writes even one byte past what its contract allows.
#pragma once

#include <cstring>
#include <memory>
#include <string>

namespace qel::test {

class ExactBuffer {
 public:
  // size bytes, each set to fill. A size of 0 is a real allocation of no
  // bytes, so any access to it is reported too.
  explicit ExactBuffer(size_t size, char fill = '#') : size_(size), data_(new char[size]) {
    std::memset(data_.get(), fill, size);
  }
  // Exactly the bytes of text, followed by a NUL only when withNul.
  static ExactBuffer of(const std::string& text, bool withNul) {
    ExactBuffer buffer(text.size() + (withNul ? 1 : 0));
    std::memcpy(buffer.data(), text.data(), text.size());
    if (withNul) buffer.data()[text.size()] = '\0';
    return buffer;
  }
  char* data() { return data_.get(); }
  size_t size() const { return size_; }
  std::string bytes() const { return std::string(data_.get(), size_); }
  std::string prefix(size_t n) const { return std::string(data_.get(), n); }

 private:
  size_t size_;
  std::unique_ptr<char[]> data_;
};

}  // namespace qel::test
