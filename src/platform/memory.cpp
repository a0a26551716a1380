#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace telmir::platform {
namespace {

std::size_t rounded(std::size_t bytes) noexcept {
  return (bytes + kLargePieceBytes - 1) & ~(kLargePieceBytes - 1);
}

}  // namespace

void* map_large_pages(std::size_t bytes) noexcept {
  const std::size_t size = rounded(bytes == 0 ? 1 : bytes);
  if (size < bytes) return nullptr;  // wrapped around
  // Map one piece more and keep the aligned part, so every piece can be one large page.
  const std::size_t span = size + kLargePieceBytes;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kLargePieceBytes - 1) & ~(kLargePieceBytes - 1);
  const std::size_t head = aligned - start;
  const std::size_t tail = span - head - size;
  if (head != 0) ::munmap(raw, head);
  if (tail != 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Only advice: without it (or with large pages switched off) this stays ordinary memory.
  ::madvise(p, size, MADV_HUGEPAGE);
#endif
  return p;
}

void unmap_large_pages(void* p, std::size_t bytes) noexcept {
  if (p != nullptr) ::munmap(p, rounded(bytes == 0 ? 1 : bytes));
}

namespace {

struct PiecePool {
  std::mutex mutex;
  std::vector<void*> pieces;
};

// Never destroyed: records may give their pieces back during the program's exit.
PiecePool& piece_pool() {
  static PiecePool* const pool = [] {
    auto* p = new PiecePool;
    p->pieces.reserve(kKeptPieces);
    return p;
  }();
  return *pool;
}

}  // namespace

void* take_large_piece() noexcept {
  PiecePool& pool = piece_pool();
  {
    std::lock_guard lock(pool.mutex);
    if (!pool.pieces.empty()) {
      void* piece = pool.pieces.back();
      pool.pieces.pop_back();
      return piece;
    }
  }
  return map_large_pages(kLargePieceBytes);
}

void give_back_large_piece(void* piece) noexcept {
  if (piece == nullptr) return;
  PiecePool& pool = piece_pool();
  {
    std::lock_guard lock(pool.mutex);
    if (pool.pieces.size() < kKeptPieces) {
      pool.pieces.push_back(piece);
      return;
    }
  }
  unmap_large_pages(piece, kLargePieceBytes);
}

}  // namespace telmir::platform
