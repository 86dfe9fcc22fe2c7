// A buffer kept for every input whose first n bytes are addressable and the rest
// poisoned: ASan sees any access outside those n bytes, as with a block of exactly that
// size, without an allocation per use.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sanitizer/asan_interface.h>

template <size_t Capacity> struct KeptBuffer {
    alignas(16) uint8_t bytes[Capacity];
    size_t open = Capacity;

    // Makes exactly the first n bytes (at most Capacity) addressable, touching only the
    // shadow that changes.
    uint8_t* Open(size_t n) {
        if (n > open) {
            ASAN_UNPOISON_MEMORY_REGION(bytes + open, n - open);
        } else if (n < open) {
            ASAN_POISON_MEMORY_REGION(bytes + n, open - n);
        }
        open = n;
        return bytes;
    }
};
