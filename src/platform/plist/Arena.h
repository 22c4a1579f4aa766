#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace plist {

// A bump allocator that frees everything at once. Large chunks are mapped
// with transparent huge pages where the kernel offers them: on small virtual
// machines the first touch of fresh memory costs more than parsing it.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();

    void* allocate(std::size_t bytes, std::size_t align = alignof(std::max_align_t));
    template <typename T>
    T* allocateArray(std::size_t n) {
        return static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
    }
    // Copies text with its length stored before it and a NUL after it.
    const char* storeString(std::string_view text);
    // The same with a 32-bit word of the caller's before the length
    // (set to 0), reachable as key - 8.
    const char* storeKey(std::string_view text);

    std::size_t bytesUsed() const { return used_; }

private:
    struct Chunk {
        char* base;
        std::size_t size;
        bool mapped;
    };
    void grow(std::size_t atLeast);

    std::vector<Chunk> chunks_;
    char* cur_ = nullptr;
    char* end_ = nullptr;
    std::size_t nextChunk_ = 64 * 1024;
    std::size_t used_ = 0;
};

// Blocks for large arrays, such as a reader's stacks or a loader's tables:
// from kLargeBlock bytes on, each is mapped on its own with transparent huge
// pages, as the arena's chunks are, so that filling it takes a few page
// faults instead of one for every 4 KiB.
constexpr std::size_t kLargeBlock = 1024 * 1024;
void* allocateLarge(std::size_t bytes);
void deallocateLarge(void* p, std::size_t bytes);

template <typename T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocateLarge(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { deallocateLarge(p, n * sizeof(T)); }
    friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

}  // namespace plist
