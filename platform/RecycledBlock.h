#pragma once
// An allocator for the objects a request makes and frees once each (its
// Reader, the read item, a statement's handle): each thread keeps the last
// block it freed of a size and hands it to the next allocation of that size,
// so that a request's road does not go to malloc and free for each of them.
// At most one block per size and thread is kept; it goes back to the heap
// when another is freed before it is reused, and when the thread ends.
//
// Use with boost::allocate_shared, which allocates the object and its
// reference count as one block.

#include <cstddef>
#include <new>

namespace detail {

// The kept block of one size on one thread. Trivially constructed and
// destroyed, so that a look-up is one access to the thread's storage and the
// block stays readable while the thread's other objects go.
struct SpareBlock {
    void* block;
    bool gone;  // set when the thread's owner went: nothing is kept from then on
};

template <std::size_t Size>
SpareBlock& Spare() {
    static thread_local SpareBlock spare{nullptr, false};
    return spare;
}

// Frees the kept block when the thread ends.
template <std::size_t Size>
struct SpareBlockOwner {
    ~SpareBlockOwner() {
        SpareBlock& spare = Spare<Size>();
        ::operator delete(spare.block);
        spare.block = nullptr;
        spare.gone = true;
    }
};

// Made when the thread first keeps a block of the size.
template <std::size_t Size>
void OwnSpare() {
    static thread_local SpareBlockOwner<Size> owner;
    static_cast<void>(owner);
}

}  // namespace detail

template <typename T>
class RecycledBlock {
public:
    using value_type = T;

    RecycledBlock() = default;
    template <typename U>
    RecycledBlock(const RecycledBlock<U>&) {}

    T* allocate(std::size_t n) {
        detail::SpareBlock& spare = detail::Spare<sizeof(T)>();
        if (n == 1 && spare.block != nullptr) {
            void* block = spare.block;
            spare.block = nullptr;
            return static_cast<T*>(block);
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }

    void deallocate(T* block, std::size_t n) {
        detail::SpareBlock& spare = detail::Spare<sizeof(T)>();
        if (n == 1 && spare.block == nullptr && !spare.gone) {
            detail::OwnSpare<sizeof(T)>();
            spare.block = block;
            return;
        }
        ::operator delete(block);
    }
};

template <typename T, typename U>
bool operator==(const RecycledBlock<T>&, const RecycledBlock<U>&) {
    return true;
}
template <typename T, typename U>
bool operator!=(const RecycledBlock<T>&, const RecycledBlock<U>&) {
    return false;
}
