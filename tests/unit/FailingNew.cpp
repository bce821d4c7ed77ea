// The language's allocation for the unit tests: as the run-time's, except
// that a machine can make one allocation of a given size fail, so that the
// tool's answer to running out of memory can be tested.
#include <cstdlib>
#include <new>

#include "Machine.h"

namespace {

void* Allocate(std::size_t size) { return std::malloc(size != 0 ? size : 1); }

// Only the throwing form fails on request: the simulated heap takes its
// blocks through the other.
void* AllocateOrThrow(std::size_t size) {
  void* block = sim::TakeAllocationFailure(size) ? nullptr : Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
