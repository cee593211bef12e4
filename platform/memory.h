// The program's own memory: the two steps of the memory clean-up, which return it to the system,
// and large pages for big tables read at random.
#pragma once

#include <cstddef>
#include <filesystem>
#include <new>

namespace platform {

// The file whose write resets the process's page reference state (Linux: /proc/self/clear_refs).
// Windows needs no file and returns an empty path.
std::filesystem::path default_page_reference_file();

// Step 1: trims the working set (Windows) or hands free heap memory back (Linux). True on success.
bool trim_working_set();

// Step 2: asks the system to drop as many pages of this process as it can (Windows: both
// working-set limits set to -1; Linux: "1" written to page_reference_file). True on success.
bool reset_working_set(const std::filesystem::path& page_reference_file);

// Asks for large pages under a big table not yet touched, where the system grants them on request:
// a table read at random costs a translation miss per look on small pages. Only a hint; nothing
// changes where it is not followed.
void prefer_large_pages(void* data, std::size_t size);

// An allocator for big tables read at random: a table of a large page or more starts on a large
// page boundary and asks for large pages, so none of its pages is left out for want of alignment.
template <class T>
struct LargePageAllocator {
    using value_type = T;
    static constexpr std::size_t kLargePage = std::size_t{2} << 20;

    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kLargePage) return static_cast<T*>(::operator new(bytes));
        void* data = ::operator new (bytes, std::align_val_t{kLargePage});
        prefer_large_pages(data, bytes);
        return static_cast<T*>(data);
    }
    void deallocate(T* data, std::size_t count) noexcept {
        if (count * sizeof(T) < kLargePage) {
            ::operator delete(data);
        } else {
            ::operator delete (data, std::align_val_t{kLargePage});
        }
    }
    template <class U>
    bool operator==(const LargePageAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace platform
