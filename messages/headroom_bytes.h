// The growable byte container of a message's variable byte array. It keeps
// `Headroom` bytes of room in front of its contents, so that a message whose
// array is its last field can write the fields before the array there and go
// to the bus in one piece, without copying the array.
#ifndef VARNOCK_MESSAGES_HEADROOM_BYTES_H_
#define VARNOCK_MESSAGES_HEADROOM_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>

namespace varnock {

template <size_t Headroom>
class HeadroomBytes {
 public:
  HeadroomBytes() = default;
  HeadroomBytes(std::initializer_list<uint8_t> bytes) {
    resize_for_overwrite(bytes.size());
    std::memcpy(data(), bytes.begin(), bytes.size());
  }
  HeadroomBytes(const HeadroomBytes& other) { *this = other; }
  HeadroomBytes& operator=(const HeadroomBytes& other) {
    if (this != &other) {
      resize_for_overwrite(other.size_);
      if (size_ > 0) std::memcpy(data(), other.data(), size_);
    }
    return *this;
  }
  // A move leaves the source empty: no storage, size and capacity 0.
  HeadroomBytes(HeadroomBytes&& other) noexcept
      : storage_(std::move(other.storage_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  HeadroomBytes& operator=(HeadroomBytes&& other) noexcept {
    if (this != &other) {
      storage_ = std::move(other.storage_);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint8_t* data() { return storage_ ? storage_.get() + Headroom : nullptr; }
  const uint8_t* data() const { return storage_ ? storage_.get() + Headroom : nullptr; }
  uint8_t& operator[](size_t i) { return data()[i]; }
  uint8_t operator[](size_t i) const { return data()[i]; }
  uint8_t* begin() { return data(); }
  uint8_t* end() { return data() + size_; }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + size_; }
  operator std::span<const uint8_t>() const { return {data(), size_}; }  // NOLINT: a view

  // Holds `n` bytes of `value`; the storage grows only when too small.
  void assign(size_t n, uint8_t value) {
    resize_for_overwrite(n);
    if (n > 0) std::memset(data(), value, n);
  }

  // Frees the storage.
  void release() {
    storage_.reset();
    size_ = 0;
    capacity_ = 0;
  }

  // The `Headroom` bytes just before data(), or nullptr when nothing is held.
  // Scratch space for the message's encoding, not part of the contents.
  uint8_t* headroom() { return storage_.get(); }

 private:
  void resize_for_overwrite(size_t n) {
    if (n > capacity_) {
      storage_ = std::make_unique_for_overwrite<uint8_t[]>(Headroom + n);
      capacity_ = n;
    }
    size_ = n;
  }

  std::unique_ptr<uint8_t[]> storage_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace varnock

#endif  // VARNOCK_MESSAGES_HEADROOM_BYTES_H_
