// Large allocations on Windows: plain aligned memory, since large pages need a privilege users
// lack.
#include "platform/huge_pages.hpp"

#include <malloc.h>

#include <cstdint>
#include <new>

namespace orvane {

namespace {
// Cache-line and page friendly; a 2 MiB alignment would buy nothing here.
constexpr std::size_t alignment = 4096;
}  // namespace

void advise_huge_pages(void*, std::size_t) {}

void* allocate_huge(std::size_t bytes)
{
    void* data = ::_aligned_malloc(bytes == 0 ? 1 : bytes, alignment);
    if (!data)
        throw std::bad_alloc();
    return data;
}

void* allocate_large(std::size_t bytes) { return allocate_huge(bytes); }

void free_large(void* data) noexcept { ::_aligned_free(data); }

}  // namespace orvane
