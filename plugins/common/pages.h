// Large tables read at random: fresh zeroed memory straight from the
// kernel, aligned to and advised for huge pages where the system offers
// them, since with small pages nearly every lookup would also miss the
// TLB. Untouched pages cost nothing. A huge page costs more to fault in
// where the host has taken back free memory (a virtual machine's freed
// 2 MiB blocks), so a table filled once and read once may do better
// without.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace mirt::coding {

class Pages {
 public:
  Pages() = default;
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  ~Pages() {
    if (base_ != nullptr) munmap(base_, size_);
  }

  // False when the system gives no memory.
  bool map(size_t bytes, bool huge = true) {
    constexpr size_t kHuge = size_t{2} << 20;
    size_ = bytes + kHuge;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      size_ = 0;
      return false;
    }
    base_ = static_cast<unsigned char*>(p);
    data_ = base_ + (kHuge - reinterpret_cast<uintptr_t>(base_) % kHuge) % kHuge;
#ifdef MADV_HUGEPAGE
    if (huge && bytes >= kHuge) madvise(data_, bytes, MADV_HUGEPAGE);
#endif
    return true;
  }

  unsigned char* data() const { return data_; }
  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(data_);
  }

 private:
  unsigned char* base_ = nullptr;
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace mirt::coding
