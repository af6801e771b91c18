// MyMalloc: a thread-safe boundary-tag allocator that takes the place of libc's.
// Programs include this header and compile MyMalloc.cc in; see MyMallocLayout.h for the heap.
#pragma once

#include <stddef.h>

extern "C" {

// libc's contract, with these differences: a request of 0 bytes gets null
// (errno untouched), and realloc always moves the block. noexcept as libc
// declares them, so that this header and <stdlib.h> agree in either order.
void *malloc(size_t size) noexcept;
void free(void *ptr) noexcept;
void *realloc(void *ptr, size_t size) noexcept;
void *calloc(size_t count, size_t size) noexcept;

// Prints the free list, head first, as "FreeList: [offset:O,size:S]->...".
// Takes no lock: call it only while no other thread allocates or frees.
void print_list();
// Prints the heap size and the four call counters.
void print();
// Exit hook registered by the first allocation: calls print().
void atExitHandlerInC();

}  // extern "C"
