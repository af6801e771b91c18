// Forced in front of every source of alloc_stress_tsan: the C library's declarations
// first, then the allocator's entry points renamed, so that ThreadSanitizer's own malloc
// stays the process's and the allocator runs as code like any other. (glibc's mallinfo2,
// malloc_stats, malloc_info and malloc_trim are replaced as they stand; the sanitizer
// calls none of them.)
#pragma once

#include <malloc.h>
#include <stdlib.h>

#include <cstdlib>

#define malloc mm_malloc
#define free mm_free
#define realloc mm_realloc
#define calloc mm_calloc
#define aligned_alloc mm_aligned_alloc
#define memalign mm_memalign
#define posix_memalign mm_posix_memalign
#define valloc mm_valloc
#define pvalloc mm_pvalloc
#define malloc_usable_size mm_malloc_usable_size
