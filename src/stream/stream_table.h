// The stream table: a fixed array of 200 frame buffers that one writer fills
// and up to 31 readers read, managed with compare-and-swap only (the js_
// operations), and the memory blocks its buffers live in.
//
// Entry states: unused (sequence -2, bit 31) -> fresh (-3 or -1, lock 0) ->
// held by the writer (bit 31) -> published (sequence >= 0, lock 0 or reader
// bits) -> held by the writer again when recycled. Deletion takes a free entry
// to retired (sequence -1, bit 31, no buffer), from which js_add_buffer brings
// it back.
//
// Concurrency: every operation may run on any thread at the same time as any
// other, except that only one thread writes (js_get_write_buffer, js_publish,
// js_publish_and_take) and a reader id is used by one thread at a time. No
// operation takes a lock; js_delete_oldest (and so js_exit, js_remove_reader
// and js_set_queue) and js_release poll or retry until the entry they need is
// free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zq {

inline constexpr int JS_MAXBUF = 200;
inline constexpr int JS_MAXREADERS = 31;

/// The writer's bit of a lock word; also set on unused and retired entries.
inline constexpr uint32_t kJsWriterBit = 0x80000000u;

/// Sequence values of entries that hold no published frame.
inline constexpr int32_t kJsSeqRetired = -1;  // never written, or retired
inline constexpr int32_t kJsSeqUnused = -2;   // not in use (or being claimed)
inline constexpr int32_t kJsSeqFresh = -3;    // buffer freshly added

/// Writes a diagnostic of the stream engine to the debug output (standard
/// error), as it stands. Any thread.
void jsDebugOutput(const char* text);

/// Every wait of the stream engine sleeps this long between two attempts.
inline constexpr int kJsPollMs = 10;

/// One allocation: its owner kind (0 for the process heap), the usable data
/// pointer, the raw allocation, a board address (board memory only) and two
/// words that stay zero.
struct MemBlock {
  uint32_t owner = 0;
  uint8_t* data = nullptr;
  void* raw = nullptr;
  uint32_t boardAddress = 0;
  uint32_t reserved[2] = {0, 0};
};

/// A memory provider: the table calls it itself whenever it adds or deletes a
/// buffer. allocate returns a block whose data pointer is null on failure.
struct JStreamMemory {
  MemBlock (*allocate)(size_t size);
  void (*free)(const MemBlock& block);
};

/// The heap, with data + 32 a multiple of 64: the 32-byte frame header sits
/// just before a 64-byte aligned payload (63 bytes of slack).
extern const JStreamMemory kLocalStreamMemory;
/// Capture-board memory where a board provides it; without one (always, on
/// this system) a plain heap allocation with no alignment.
extern const JStreamMemory kShareableStreamMemory;

// Entries sit on cache lines of their own: the writer and the readers touch
// neighbouring entries at the same time.
struct alignas(64) JStreamEntry {
  /// Milliseconds of the monotonic clock at publication, cut to 32 bits.
  std::atomic<uint32_t> timeStamp{0};
  std::atomic<int32_t> sequence{kJsSeqUnused};
  /// Bit 31: the writer (or unused, retired); bits 0 to 30: the readers.
  std::atomic<uint32_t> lock{kJsWriterBit};
  std::atomic<uint32_t> key{0};
  /// The buffer; its data pointer is read and written through
  /// JStreamEntry::data() by threads that race for the entry.
  MemBlock buffer;

  uint8_t* data() const;
  void setData(uint8_t* data);
};

/// The allocator record of a table: the provider its buffers come from and
/// go back to, and the size every buffer gets.
struct JStreamAllocator {
  JStreamMemory memory;
  size_t bufferSize;
};

struct JStreamTable {
  MemBlock ownBlock;
  /// The entry most recently published, and its sequence; -1 before the
  /// first publication.
  std::atomic<int32_t> lastIndex{-1};
  std::atomic<int32_t> lastSequence{-1};
  /// Entries that have ever been given a buffer; grows, never shrinks.
  std::atomic<int32_t> entriesInUse{0};
  /// Bit r set while reader id r is allocated.
  std::atomic<uint32_t> readerBits{0};
  /// The configured number of buffers (nbuf, then the "queue" command).
  std::atomic<int32_t> queueLength{0};
  /// The provider and buffer size of every buffer (made by js_init, freed
  /// by js_exit).
  JStreamAllocator* allocator = nullptr;
  JStreamEntry entries[JS_MAXBUF];
};

/// Creates nbuf + extra + 1 buffers of `bufferSize` bytes from `memory`
/// (at most 200). 0, or -2 when a buffer cannot be had (the buffers made so
/// far are freed again). The table must be freshly constructed.
int js_init(JStreamTable* table, const MemBlock& ownBlock, int nbuf, const JStreamMemory& memory,
            size_t bufferSize, int extra);
/// Sets the queue length to 0, deletes every remaining buffer and frees the
/// allocator records. Waits for entries still held (see js_delete_oldest).
void js_exit(JStreamTable* table);

/// The lowest free reader id, with `extra` buffers added for it; -4 when all
/// 31 ids are taken, -1 (table full) or -2 (allocation failed), the id being
/// freed again on failure.
int js_add_reader(JStreamTable* table, int extra);
/// Releases the entry held at `position` (when 0 to 199), deletes `extra`
/// buffers and frees the id.
void js_remove_reader(JStreamTable* table, int id, int position, int extra);

/// Reuses a retired entry or appends one; the index, or -1 when 200 entries
/// are in use, -2 when the buffer cannot be allocated.
int js_add_buffer(JStreamTable* table);
/// Retires the free entry with the smallest sequence and frees its buffer;
/// polls every 10 ms while none is free, and ends the process (exit code 42)
/// after 10 000 attempts.
void js_delete_oldest(JStreamTable* table);
/// Adds or deletes buffers until the queue length is n; the code of the
/// first failing addition, else 0.
int js_set_queue(JStreamTable* table, int n);

/// An entry locked for writing, or -1. `strict`: recycle the oldest frame
/// even while a reader reads it (then -1, and the caller polls); otherwise
/// only entries that nobody holds.
int js_get_write_buffer(JStreamTable* table, int32_t nextSequenceHint, bool strict);
/// Publishes the entry: next sequence, write lock released, recorded as the
/// last. Returns the new sequence + 1.
int32_t js_publish(JStreamTable* table, int index);
/// Publishes `index` when it is 0 or more, then takes the free entry with the
/// smallest sequence for writing (up to 9 attempts); its index, or -1.
int js_publish_and_take(JStreamTable* table, int index);
/// Clears `bits` in the entry's lock word.
void js_release(JStreamTable* table, int index, uint32_t bits);

/// The entry of the oldest frame after `position` (see StreamClient), claimed
/// for reader `id`; `position` unchanged when there is none.
int js_read_next(JStreamTable* table, int position, int id);
/// As js_read_next, preferring frames whose key is `key`; keeps a held entry
/// when no frame carries it.
int js_read_next_key(JStreamTable* table, int position, int id, uint32_t key);
/// As js_read_next, only frames with (key & mask) == value.
int js_read_next_masked(JStreamTable* table, int position, int id, uint32_t mask, uint32_t value);

/// The reference sequence of a position: position - 200 at or above 200,
/// last sequence + position (at least -1) below 0, the entry's sequence
/// otherwise.
int32_t js_reference_sequence(const JStreamTable* table, int position);

}  // namespace zq
