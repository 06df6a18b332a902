// Replaces the program's operator new and delete (every form: scalar and
// array, throwing and nothrow) with ones that refuse the allocations a rule
// picks while a RefusedAllocations object lives. Include it in exactly one
// file of a test program.
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

struct Request {
  std::size_t size;
  bool array;    // new[]
  bool nothrow;  // new (std::nothrow)
};
// True: this allocation fails (nullptr, or std::bad_alloc for the throwing
// forms).
using Rule = bool (*)(const Request&);

inline bool Everything(const Request&) {
  return true;
}

inline Rule rule = nullptr;

inline void* Allocate(const Request& request) {
  if (rule != nullptr && rule(request)) return nullptr;
  return std::malloc(request.size == 0 ? 1 : request.size);
}

inline void* AllocateOrThrow(const Request& request) {
  if (void* p = Allocate(request)) return p;
  throw std::bad_alloc();
}

}  // namespace refusing_allocator

void* operator new(std::size_t size) {
  return refusing_allocator::AllocateOrThrow({size, false, false});
}
void* operator new[](std::size_t size) {
  return refusing_allocator::AllocateOrThrow({size, true, false});
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return refusing_allocator::Allocate({size, false, true});
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return refusing_allocator::Allocate({size, true, true});
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

// While it lives, the allocations `rule` picks fail (by default, all).
class RefusedAllocations {
 public:
  explicit RefusedAllocations(refusing_allocator::Rule rule = refusing_allocator::Everything) {
    refusing_allocator::rule = rule;
  }
  ~RefusedAllocations() { refusing_allocator::rule = nullptr; }
  RefusedAllocations(const RefusedAllocations&) = delete;
  RefusedAllocations& operator=(const RefusedAllocations&) = delete;
};
