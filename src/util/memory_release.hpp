#pragma once
// How the kernel gives memory back to the system after a large message.
//
// Large blocks (a long result's text, its JSON, its frames, the Python objects behind it) are
// mmap'ed and unmapped when freed: the mmap threshold is fixed (glibc would otherwise raise it to
// the size of the last large block freed, up to 32 MB, and keep such blocks in its heaps). They
// are asked to be backed by huge pages (see reserve_large), so filling one takes a few page faults
// instead of one per 4 KB. Once enough small frames have been freed, malloc_trim(0) hands the free
// heap pages back, on the reaper thread below.
//
// Memory touched for the first time is the dearest part of a large message (on a virtual machine
// each new page may also fault in the host: about 1.8 ms per MB here, against 0.1 ms to fill
// pages already touched), so large buffers and Python's large blocks are recycled: one given back
// is kept (up to kKeepBytes in all) and handed to the next large reservation, and whatever is
// kept is freed once nothing large has been asked for or given back for kKeepForMs.
#include <cstddef>
#include <string>

namespace gridlet::memory_release {

inline constexpr std::size_t kMmapThreshold = std::size_t(4) << 20;
// Bytes of frames freed since the last trim that make the next trim worth it.
inline constexpr std::size_t kTrimAfter = std::size_t(8) << 20;

// Buffers kept for reuse, in bytes, and how long they are kept after the last use.
inline constexpr std::size_t kKeepBytes = std::size_t(48) << 20;
inline constexpr int kKeepForMs = 250;

// Reserves room for `capacity` bytes in `s`. A block that large is mmap'ed by itself; it is asked
// to be backed by huge pages, so filling it takes a few page faults instead of thousands.
void reserve_large(std::string& s, std::size_t capacity);

// Gives a buffer back once its text is no longer needed: a large one is kept for the next
// reserve_large (while there is room), anything else is simply freed. `s` is left empty.
void recycle(std::string& s);

// Mapped blocks of whole huge pages (Python's large blocks and arenas), kept the same way.
inline constexpr std::size_t kHugePage = std::size_t(2) << 20;
// A new mapping of `size` bytes (a multiple of kHugePage), 2 MB-aligned and advised to be huge
// pages; null when the system refuses.
void* map_huge(std::size_t size);
// A kept block of exactly `size` bytes, or null.
void* take_block(std::size_t size);
// Keeps a block from map_huge for reuse, or unmaps it when the cache is full.
void give_block(void* p, std::size_t size);

// Bytes held for reuse now (tests, figures).
std::size_t kept_bytes();

// Frees every kept buffer at once (tests; also what the idle timeout does).
void release_kept();

// Sets the allocator's thresholds; call once at startup, before threads start.
void configure();

// Notes that `bytes` of small frame buffers were just freed; when enough have been and nothing
// more is queued (`idle`), the reaper runs malloc_trim(0) once nothing large has happened for
// kKeepForMs.
void note_freed(std::size_t bytes, bool idle);

}  // namespace gridlet::memory_release
