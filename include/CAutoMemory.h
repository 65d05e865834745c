#pragma once
// A growable byte buffer, reused across reads so that extents of the same or
// a smaller size allocate once.

#include <cstdint>
#include <cstring>
#include <new>

template <typename T>
class CAutoMemory;

template <>
class CAutoMemory<char> {
public:
    explicit CAutoMemory(bool owns = true) : owns(owns) {}
    ~CAutoMemory() {
        if (owns) Release();
    }
    CAutoMemory(const CAutoMemory&) = delete;
    CAutoMemory& operator=(const CAutoMemory&) = delete;

    // Frees a held buffer unless it is borrowed through Link.
    void Release() {
        if (pointer != nullptr && !borrowed) delete[] pointer;
        pointer = nullptr;
        size = 0;
        capacity = 0;
        borrowed = false;
    }

    char* Ptr() { return size != 0 ? pointer : nullptr; }
    const char* Ptr() const { return size != 0 ? pointer : nullptr; }
    uint64_t Size() const { return size; }
    uint64_t Capacity() const { return capacity; }

    // Room for n bytes; the contents are not kept.
    char* Allocate(uint64_t n) {
        if (n == 0) {
            size = 0;
            return nullptr;
        }
        if (pointer != nullptr && n <= capacity) {
            size = n;
            return pointer;
        }
        // Borrowed memory is never replaced: growing past the lent length
        // would free or lose memory the buffer does not own.
        if (borrowed) return nullptr;
        Release();
        pointer = new (std::nothrow) char[n];
        if (pointer == nullptr) return nullptr;
        size = capacity = n;
        return pointer;
    }

    // Room for n bytes, keeping the valid bytes.
    char* ReAllocate(uint64_t n) {
        if (n == 0 || (pointer != nullptr && n <= capacity)) return Allocate(n);
        if (borrowed) return nullptr;
        char* fresh = new (std::nothrow) char[n];
        if (fresh == nullptr) {
            Release();
            return nullptr;
        }
        if (size != 0) std::memcpy(fresh, pointer, size);
        delete[] pointer;
        pointer = fresh;
        size = capacity = n;
        return pointer;
    }

    // Lends the buffer memory it does not own; take it back with Unlink.
    void Link(char* memory, uint64_t n) {
        if (owns) Release();
        pointer = memory;
        size = capacity = n;
        borrowed = true;
    }

    // Hands out the pointer and the capacity without freeing.
    void Unlink(char** out, uint64_t* outCapacity) {
        if (out != nullptr) *out = pointer;
        if (outCapacity != nullptr) *outCapacity = capacity;
        pointer = nullptr;
        size = 0;
        capacity = 0;
        borrowed = false;
    }

private:
    uint64_t capacity = 0;
    char* pointer = nullptr;
    uint64_t size = 0;
    bool owns;
    bool borrowed = false;  // pointer came from Link and is never freed here
};
