// The layout of a recording that MYMALLOC_TRACE=FILE makes of a program's allocation calls:
// fixed-size binary records, native byte order (x86-64: little-endian). Shared by the recorder
// in the preload library (MyMallocTrace.inc) and by the reader (heaptrace).
//
// Glossary
//   record     32 bytes; the first record of a file is its header. Each call is one record,
//              and realloc, calloc and the aligned calls add a second (kExtra) with what
//              does not fit in the first. A module record is followed by a kExtra and by
//              the bytes of its path; a kThread record names the thread of the records after
//              it, up to the next one (each buffer a thread writes begins with one).
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
  kModule = 16,  // then a kExtra, then ceil(length / 32) records holding its path's bytes
  kExec = 17,    // the same process goes on as a new program (after execve): nothing is live
  kThread = 18,  // the records after it, up to the next kThread, are this thread's
  kExtra = 19,   // the second record of a realloc, calloc, aligned call or module
};

constexpr int kKindShift = 56;  // the kind is the top byte of a record's first word
constexpr uint64_t kSeqMask = (uint64_t{1} << kKindShift) - 1;

// One record: the sequence and the kind in the first word, three words by kind.
//   malloc                 a: bytes asked for   b: the block returned (0: none)   c: the caller
//   free                   a: the pointer given                                   c: the caller
//   realloc, calloc,       a: bytes asked for (calloc: the count of elements)
//   aligned calls          b: the block returned (posix_memalign: stored)         c: the caller
//     and then kExtra      a: realloc: the pointer given; calloc: the element size; aligned:
//                             the alignment   b: realloc: the sequence taken before the call
//   module                 a: load bias (a calling address less it is the offset in the ELF
//                             file's own addresses)   b, c: the range of its code
//     and then kExtra      a: the length of its path; then the path in whole records
//   exec                   a: calls the new program made before its recording began
//   thread                 a: the kernel's thread id (the sequence word holds only the kind)
struct Record {
  uint64_t seqKind;
  uint64_t a, b, c;
};
static_assert(sizeof(Record) == 32 && alignof(Record) == 8);

constexpr uint64_t seqKind(uint64_t seq, Kind kind) {
  return (seq & kSeqMask) | uint64_t{kind} << kKindShift;
}
constexpr uint8_t kindOf(const Record &r) { return static_cast<uint8_t>(r.seqKind >> kKindShift); }
constexpr uint64_t seqOf(const Record &r) { return r.seqKind & kSeqMask; }
// Whether a call of this kind has a kExtra record after it.
constexpr bool hasExtra(uint8_t kind) { return kind != kMalloc && kind != kFree; }

constexpr uint32_t kForked = 1;
// A program that goes on in the file after an execve numbers its calls from execs << kExecShift,
// past every number the programs before it took, within the reader's limit of 2^52.
constexpr int kExecShift = 40;
constexpr uint32_t kMaxExecs = (1u << (52 - kExecShift)) - 1;  // the process is a child of fork: it holds its parent's blocks

// The first record of every file.
struct Header {
  char magic[8];
  uint32_t version;
  uint32_t recordSize;  // sizeof(Record)
  uint32_t pid;         // the process that writes the file
  uint32_t parent;      // its parent when the file was begun
  uint32_t flags;       // kForked
  uint32_t execs;       // the execve's the process has gone on through in this file
};
static_assert(sizeof(Header) == sizeof(Record));

constexpr size_t kPathMax = 4096;  // a module's path is cut to this many bytes

// What a reader accepts (heaptrace, and the explorer's reader, which is handed these): a
// recording past them is refused, not read.
constexpr uint64_t kAddressLimit = 1ull << 56;  // past any user address (5-level paging)
constexpr uint64_t kBlockLimit = 1ull << 47;    // no block that was returned is larger
constexpr uint64_t kSeqLimit = 1ull << 52;      // the explorer's script counts in doubles
constexpr size_t kRaceWindow = 65536;           // calls a realloc's two sequences may stand apart
static_assert(kSeqLimit <= kSeqMask + 1);

// The calls' names by kind, as the readers print them.
constexpr const char *kKindNames[kLastCall + 1] = {
    "", "malloc", "free", "realloc", "calloc", "aligned_alloc", "memalign", "posix_memalign",
    "valloc", "pvalloc"};

}  // namespace mymalloc::trace
