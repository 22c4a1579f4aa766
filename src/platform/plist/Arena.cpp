#include "Arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace plist {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kMaxChunk = 16 * 1024 * 1024;

std::size_t hugePageMultiple(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// A private mapping of `size` bytes (a multiple of the huge page) that starts
// on a huge-page boundary and asks for huge pages; null when mapping fails.
void* mapHugePages(std::size_t size) {
#if defined(__linux__)
    // Over-map by one huge page so the block can start on a boundary.
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto addr = reinterpret_cast<std::uintptr_t>(raw);
    std::uintptr_t aligned = (addr + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1);
    std::size_t head = aligned - addr;
    if (head) munmap(raw, head);
    std::size_t tail = kHugePage - head;
    if (tail) munmap(reinterpret_cast<char*>(aligned) + size, tail);
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
#else
    (void)size;
    return nullptr;
#endif
}

}  // namespace

void* allocateLarge(std::size_t bytes) {
#if defined(__linux__)
    if (bytes >= kLargeBlock) {
        void* p = mapHugePages(hugePageMultiple(bytes));
        if (!p) throw std::bad_alloc();
        return p;
    }
#endif
    return ::operator new(bytes);
}

void deallocateLarge(void* p, std::size_t bytes) {
#if defined(__linux__)
    if (bytes >= kLargeBlock) {
        munmap(p, hugePageMultiple(bytes));
        return;
    }
#endif
    ::operator delete(p);
}

Arena::~Arena() {
    for (const Chunk& c : chunks_) {
#if defined(__linux__)
        if (c.mapped) {
            munmap(c.base, c.size);
            continue;
        }
#endif
        std::free(c.base);
    }
}

void Arena::grow(std::size_t atLeast) {
    std::size_t size = nextChunk_;
    while (size < atLeast) size *= 2;
    if (nextChunk_ < kMaxChunk) nextChunk_ *= 2;

    Chunk chunk{nullptr, size, false};
    if (size >= kHugePage) {
        size = hugePageMultiple(size);
        if (void* p = mapHugePages(size)) chunk = Chunk{static_cast<char*>(p), size, true};
    }
    if (!chunk.base) {
        chunk.base = static_cast<char*>(std::malloc(size));
        chunk.size = size;
        if (!chunk.base) throw std::bad_alloc();
    }
    chunks_.push_back(chunk);
    cur_ = chunk.base;
    end_ = chunk.base + chunk.size;
}

void* Arena::allocate(std::size_t bytes, std::size_t align) {
    auto p = reinterpret_cast<std::uintptr_t>(cur_);
    std::uintptr_t aligned = (p + align - 1) & ~std::uintptr_t(align - 1);
    if (!cur_ || aligned + bytes > reinterpret_cast<std::uintptr_t>(end_)) {
        grow(bytes + align);
        p = reinterpret_cast<std::uintptr_t>(cur_);
        aligned = (p + align - 1) & ~std::uintptr_t(align - 1);
    }
    cur_ = reinterpret_cast<char*>(aligned + bytes);
    used_ += bytes;
    return reinterpret_cast<void*>(aligned);
}

const char* Arena::storeString(std::string_view text) {
    auto* block = static_cast<char*>(allocate(sizeof(std::uint32_t) + text.size() + 1, alignof(std::uint32_t)));
    auto len = static_cast<std::uint32_t>(text.size());
    std::memcpy(block, &len, sizeof len);
    char* chars = block + sizeof len;
    if (!text.empty()) std::memcpy(chars, text.data(), text.size());
    chars[text.size()] = '\0';
    return chars;
}

const char* Arena::storeKey(std::string_view text) {
    auto* block = static_cast<char*>(allocate(2 * sizeof(std::uint32_t) + text.size() + 1, alignof(std::uint32_t)));
    std::uint32_t stamp = 0, len = static_cast<std::uint32_t>(text.size());
    std::memcpy(block, &stamp, sizeof stamp);
    std::memcpy(block + sizeof stamp, &len, sizeof len);
    char* chars = block + 2 * sizeof(std::uint32_t);
    if (!text.empty()) std::memcpy(chars, text.data(), text.size());
    chars[text.size()] = '\0';
    return chars;
}

}  // namespace plist
