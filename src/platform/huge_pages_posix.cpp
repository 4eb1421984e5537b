// Huge-page aligned allocation on POSIX systems; the advice is only a hint where the kernel has no
// huge pages.
#include "platform/huge_pages.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <sys/mman.h>

namespace orvane {

namespace {
constexpr std::size_t huge_page = std::size_t{2} << 20;
}

void advise_huge_pages(void* data, std::size_t bytes)
{
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + huge_page - 1) & ~std::uintptr_t{huge_page - 1};
    const std::uintptr_t last = (begin + bytes) & ~std::uintptr_t{huge_page - 1};
#ifdef MADV_HUGEPAGE
    if (last > first)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)first;
    (void)last;
#endif
}

void* allocate_huge(std::size_t bytes)
{
    if (bytes > SIZE_MAX - huge_page)
        throw std::bad_alloc();
    // Rounded up to whole huge pages, so the last one is advised too (and,
    // once faulted in, counts whole in the resident memory).
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void* data = std::aligned_alloc(huge_page, rounded == 0 ? huge_page : rounded);
    if (!data)
        throw std::bad_alloc();
    advise_huge_pages(data, rounded);
    return data;
}

void* allocate_large(std::size_t bytes)
{
    if (bytes >= huge_page / 2)
        return allocate_huge(bytes);
    void* data = std::malloc(bytes == 0 ? 1 : bytes);
    if (!data)
        throw std::bad_alloc();
    return data;
}

void free_large(void* data) noexcept { std::free(data); }

}  // namespace orvane
