#include "failing_new.hpp"

#include <cstdlib>
#include <new>

std::atomic<bool> kntest::allocationsFail{false};

void* operator new(std::size_t size)
{
    void* block =
        kntest::allocationsFail ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
    {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t /*size*/) noexcept
{
    std::free(block);
}
