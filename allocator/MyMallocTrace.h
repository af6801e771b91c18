// The layout of a recording that MYMALLOC_TRACE=FILE makes of a program's allocation calls:
// fixed-size binary records, native byte order (x86-64: little-endian). Shared by the recorder
// in the preload library (MyMallocTrace.inc) and by the reader (heaptrace).
//
// Glossary
//   record     56 bytes; the first record of a file is its header, the rest are calls,
//              module records (each followed by the bytes of its path) and exec records.
//   sequence   a process-wide count taken by every call: before a free hands its block back,
//              after a malloc has its block, so a free sorts before the malloc that reuses
//              its address, whichever threads made them. The file holds each thread's
//              records in that thread's order, threads' runs interleaved; sort by sequence.
//   module     a loaded object (the program, a library): where its code lies and its path,
//              so that a calling address becomes module + offset without a look-up per call.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace mymalloc::trace {

constexpr char kMagic[8] = {'M', 'Y', 'M', 'T', 'R', 'A', 'C', 'E'};
constexpr uint32_t kVersion = 1;

enum Kind : uint8_t {
  kMalloc = 1,
  kFree = 2,
  kRealloc = 3,
  kCalloc = 4,
  kAlignedAlloc = 5,
  kMemalign = 6,
  kPosixMemalign = 7,
  kValloc = 8,
  kPvalloc = 9,
  kLastCall = kPvalloc,
  kModule = 16,  // followed by ceil(result / 56) records holding its path's bytes
  kExec = 17,    // the same process goes on as a new program (after execve): nothing is live
};

// One call. For a module record: size is the load bias (a calling address less it is the
// offset in the ELF file's own addresses), extra and given the range of its code, result the
// length of its path. For an exec record: size the calls the new program made before its
// recording began.
struct Record {
  uint64_t seq;
  uint8_t kind;
  uint8_t spare[3];
  uint32_t thread;  // the kernel's thread id
  uint64_t size;    // the bytes asked for; calloc: the count of elements
  uint64_t extra;   // aligned calls: the alignment; calloc: the element size;
                    // realloc: the sequence taken before the call
  uint64_t given;   // free, realloc: the pointer given
  uint64_t result;  // the pointer returned (posix_memalign: stored), 0 for none
  uint64_t caller;  // the calling address: past operator new when C++ allocates
};
static_assert(sizeof(Record) == 56 && alignof(Record) == 8);

constexpr uint32_t kForked = 1;  // the process is a child of fork: it holds its parent's blocks

// The first record of every file.
struct Header {
  char magic[8];
  uint32_t version;
  uint32_t recordSize;  // sizeof(Record)
  uint32_t pid;         // the process that writes the file
  uint32_t parent;      // its parent when the file was begun
  uint32_t flags;       // kForked
  uint32_t spare;
  uint64_t firstSeq;    // the sequence when the file was begun (a child goes on from its parent's)
  uint64_t unrecorded;  // calls made before the recording began, whose blocks it never saw
  uint64_t spare2;
};
static_assert(sizeof(Header) == sizeof(Record));

constexpr size_t kPathMax = 4096;  // a module's path is cut to this many bytes

}  // namespace mymalloc::trace
