// Replaces the program's scalar operator new/delete (which the array forms and
// the standard strings use) with ones that refuse every allocation while a
// RefusedAllocations object lives. Include it in exactly one file of a test
// program.
#pragma once

#include <cstdlib>
#include <new>

// The replacements hand out malloc'ed memory and give it back with free; GCC,
// seeing only the standard operator new at an inlined call site, takes that
// for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace refusing_allocator {
inline bool refuse = false;

inline void* Allocate(std::size_t size) {
  if (refuse) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace refusing_allocator

void* operator new(std::size_t size) {
  if (void* p = refusing_allocator::Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return refusing_allocator::Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

class RefusedAllocations {
 public:
  RefusedAllocations() { refusing_allocator::refuse = true; }
  ~RefusedAllocations() { refusing_allocator::refuse = false; }
  RefusedAllocations(const RefusedAllocations&) = delete;
  RefusedAllocations& operator=(const RefusedAllocations&) = delete;
};
