#pragma once
// Bytes of an extent as a host hands them over: the tag, then a pattern that
// differs from seed to seed; `length` bytes in all (the tag cut short below
// its 7 bytes).

#include <cstddef>
#include <string>

inline std::string Payload(size_t length, unsigned seed) {
    std::string bytes = "TAGHD01";
    unsigned x = seed * 2654435761u + 17;
    for (size_t i = bytes.size(); i < length; ++i) {
        x = x * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(x >> 16));
    }
    bytes.resize(length);
    return bytes;
}
