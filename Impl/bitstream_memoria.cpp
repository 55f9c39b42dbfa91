// The allocation functions, alone in their file: a program that defines
// them itself (the allocation-failure test, which fails the k-th call) takes
// its own, and this object is then not linked from the library.
#include "bitstream.h"

void* alocaMemoria(size_t bytes) {
    void* p = malloc(bytes == 0 ? 1 : bytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void* alocaZerada(size_t count, size_t size) {
    void* p = calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    return p;
}
