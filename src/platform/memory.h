#pragma once

// Memory mapped in large aligned pieces, for data that is walked as a whole many times (the
// records of a chain history, indexes over them): the system is asked to back it with large
// pages, so that such a walk needs few address translations and few page faults.

#include <cstddef>
#include <new>

namespace telmir::platform {

// Size and alignment of the pieces map_large_pages hands out.
inline constexpr std::size_t kLargePieceBytes = std::size_t{2} << 20;

// Zeroed memory of `bytes` rounded up to a multiple of kLargePieceBytes, aligned to
// kLargePieceBytes; nullptr when the system refuses the mapping. Where the system has no large
// pages for ordinary memory (or they are switched off), it is ordinary memory.
void* map_large_pages(std::size_t bytes) noexcept;

// Returns memory from map_large_pages (`bytes` as given there).
void unmap_large_pages(void* p, std::size_t bytes) noexcept;

// One piece of kLargePieceBytes, aligned to it (contents unspecified), or nullptr. Pieces given
// back are kept for reuse up to kKeptPieces (then unmapped): memory that is already backed is
// far cheaper to fill than fresh memory, and a history that is emptied is usually refilled.
// Safe to call from any thread.
inline constexpr std::size_t kKeptPieces = 64;
void* take_large_piece() noexcept;
void give_back_large_piece(void* piece) noexcept;

// For containers that grow large: requests of at least kLargePieceBytes come from
// map_large_pages, smaller ones from the heap.
template <class T>
struct LargePageAllocator {
  using value_type = T;

  LargePageAllocator() noexcept = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePieceBytes) return static_cast<T*>(::operator new(bytes));
    void* p = map_large_pages(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePieceBytes) {
      ::operator delete(p);
    } else {
      unmap_large_pages(p, bytes);
    }
  }

  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace telmir::platform
