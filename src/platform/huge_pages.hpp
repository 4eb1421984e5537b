// Memory for buffers of megabytes that a slice fills in one go, in large pages where the system has
// them.
#pragma once

#include <cstddef>
#include <memory>

namespace orvane {

// Asks for huge pages over the whole 2 MiB pages inside [data, data + bytes).
// Where the kernel does not offer them this is only a hint that fails.
void advise_huge_pages(void* data, std::size_t bytes);

// Fresh memory is faulted in as it is first written, and on some machines
// (virtual ones above all) each small-page fault costs microseconds. A block
// from allocate_huge starts on a 2 MiB boundary and is advised for huge pages
// from its first byte to its last, so it takes one fault per 2 MiB; a plain
// large allocation starts just past a page boundary and leaves its first and
// last 2 MiB to small pages. Throws std::bad_alloc; free with free_large.
void* allocate_huge(std::size_t bytes);

// allocate_huge for blocks of half a huge page or more, plain malloc below
// that, where rounding up to a whole huge page would mostly waste memory. Throws
// std::bad_alloc; free with free_large.
void* allocate_large(std::size_t bytes);

// Frees what allocate_huge or allocate_large gave.
void free_large(void* data) noexcept;

struct free_memory {
    void operator()(void* data) const noexcept { free_large(data); }
};

template <class T> using huge_array = std::unique_ptr<T[], free_memory>;

template <class T> huge_array<T> make_huge_array(std::size_t count)
{
    return huge_array<T>(static_cast<T*>(allocate_huge(count * sizeof(T))));
}

template <class T> huge_array<T> make_large_array(std::size_t count)
{
    return huge_array<T>(static_cast<T*>(allocate_large(count * sizeof(T))));
}

}  // namespace orvane
