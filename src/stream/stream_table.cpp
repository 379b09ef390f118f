// The js_ operations on a stream table and the two memory providers. Every
// change of a lock word, of the reader bits and of the entries-in-use count is
// a compare-and-swap, retried with the value it found.
#include "stream/stream_table.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "base/thread.h"

namespace zq {
namespace {

constexpr int kDeletePatience = 10000;
// js_read_next's search found nothing to claim.
constexpr int kNothing = INT_MIN;

// Buffers start zeroed: a writer keeps the flag bit of the time stamp it
// finds in the frame header, so a fresh buffer must hold a clear one.
MemBlock allocateLocal(size_t size) {
  MemBlock block;
  void* raw = std::calloc(1, size + 63);
  if (raw == nullptr) {
    return block;
  }
  const auto start = reinterpret_cast<uintptr_t>(raw);
  block.raw = raw;
  block.data = reinterpret_cast<uint8_t*>(((start + 32 + 63) & ~uintptr_t{63}) - 32);
  return block;
}

MemBlock allocateShareable(size_t size) {
  MemBlock block;
  block.raw = std::calloc(1, size);
  block.data = static_cast<uint8_t*>(block.raw);
  return block;
}

void freeHeap(const MemBlock& block) {
  std::free(block.raw);
}

bool claimLock(JStreamEntry& entry, uint32_t from, uint32_t to, uint32_t* found = nullptr) {
  const bool done = entry.lock.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                                       std::memory_order_acquire);
  if (found != nullptr) {
    *found = from;
  }
  return done;
}

// Sets or clears bits of a word with compare-and-swap.
void changeBits(std::atomic<uint32_t>& word, uint32_t set, uint32_t clear) {
  uint32_t value = word.load(std::memory_order_acquire);
  while (!word.compare_exchange_weak(value, (value | set) & ~clear, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
  }
}

void addToCount(std::atomic<int32_t>& count, int32_t delta) {
  int32_t value = count.load(std::memory_order_acquire);
  while (!count.compare_exchange_weak(value, value + delta, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
  }
}

int entriesInUse(const JStreamTable* table) {
  return table->entriesInUse.load(std::memory_order_acquire);
}

// Claims the published frame with the smallest sequence above the position's
// reference that `accept` takes, for reader `id`. A frame the writer takes
// between the search and the claim sends the search round again, three times
// in all ("tough"). kNothing when no frame qualifies.
template <typename Accept>
int claimNext(JStreamTable* table, int position, int id, Accept accept) {
  const uint32_t bit = 1u << id;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int32_t last = table->lastSequence.load(std::memory_order_acquire);
    const int32_t reference = js_reference_sequence(table, position);
    int best = -1;
    int32_t bestSequence = INT32_MAX;
    const int count = entriesInUse(table);
    for (int i = 0; i < count; ++i) {
      const JStreamEntry& entry = table->entries[i];
      if ((entry.lock.load(std::memory_order_acquire) & kJsWriterBit) != 0) {
        continue;
      }
      const int32_t sequence = entry.sequence.load(std::memory_order_acquire);
      if (sequence <= reference || sequence > last || sequence >= bestSequence) {
        continue;
      }
      if (accept(entry)) {
        best = i;
        bestSequence = sequence;
      }
    }
    if (best < 0) {
      return kNothing;
    }
    JStreamEntry& entry = table->entries[best];
    uint32_t lock = entry.lock.load(std::memory_order_acquire);
    while ((lock & kJsWriterBit) == 0) {
      if (claimLock(entry, lock, lock | bit, &lock)) {
        return best;
      }
    }
  }
  jsDebugOutput("tough\n");
  return position;
}

}  // namespace

void jsDebugOutput(const char* text) {
  std::fputs(text, stderr);
}

const JStreamMemory kLocalStreamMemory{allocateLocal, freeHeap};
const JStreamMemory kShareableStreamMemory{allocateShareable, freeHeap};

uint8_t* JStreamEntry::data() const {
  return std::atomic_ref<uint8_t*>(const_cast<uint8_t*&>(buffer.data))
      .load(std::memory_order_acquire);
}

void JStreamEntry::setData(uint8_t* data) {
  std::atomic_ref<uint8_t*>(buffer.data).store(data, std::memory_order_release);
}

int js_init(JStreamTable* table, const MemBlock& ownBlock, int nbuf, const JStreamMemory& memory,
            size_t bufferSize, int extra) {
  const int count = nbuf + extra + 1;
  if (nbuf < 0 || extra < 0 || count > JS_MAXBUF) {
    return -1;
  }
  table->ownBlock = ownBlock;
  table->lastIndex.store(-1);
  table->lastSequence.store(-1);
  table->readerBits.store(0);
  table->queueLength.store(nbuf);
  table->allocator = new JStreamAllocator{memory, bufferSize};
  for (int i = 0; i < JS_MAXBUF; ++i) {
    JStreamEntry& entry = table->entries[i];
    entry.timeStamp.store(0);
    entry.key.store(0);
    if (i >= count) {
      entry.sequence.store(kJsSeqUnused);
      entry.lock.store(kJsWriterBit);
      continue;
    }
    entry.buffer = memory.allocate(bufferSize);
    if (entry.buffer.data == nullptr) {
      for (int made = 0; made < i; ++made) {
        memory.free(table->entries[made].buffer);
        table->entries[made].buffer = MemBlock{};
      }
      delete table->allocator;
      table->allocator = nullptr;
      return -2;
    }
    entry.sequence.store(kJsSeqRetired);
    entry.lock.store(0);
  }
  table->entriesInUse.store(count, std::memory_order_release);
  return 0;
}

void js_exit(JStreamTable* table) {
  table->queueLength.store(0);
  for (;;) {
    bool buffered = false;
    const int count = entriesInUse(table);
    for (int i = 0; i < count && !buffered; ++i) {
      buffered = table->entries[i].data() != nullptr;
    }
    if (!buffered) {
      break;
    }
    js_delete_oldest(table);
  }
  delete table->allocator;
  table->allocator = nullptr;
}

int js_add_reader(JStreamTable* table, int extra) {
  uint32_t bits = table->readerBits.load(std::memory_order_acquire);
  int id = 0;
  for (;;) {
    id = 0;
    while (id < JS_MAXREADERS && (bits & (1u << id)) != 0) {
      ++id;
    }
    if (id == JS_MAXREADERS) {
      return -4;
    }
    if (table->readerBits.compare_exchange_weak(bits, bits | (1u << id), std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
      break;
    }
  }
  for (int added = 0; added < extra; ++added) {
    const int result = js_add_buffer(table);
    if (result < 0) {
      for (int undo = 0; undo < added; ++undo) {
        js_delete_oldest(table);
      }
      changeBits(table->readerBits, 0, 1u << id);
      return result;
    }
  }
  return id;
}

void js_remove_reader(JStreamTable* table, int id, int position, int extra) {
  if (position >= 0 && position < JS_MAXBUF) {
    js_release(table, position, 1u << id);
  }
  for (int i = 0; i < extra; ++i) {
    js_delete_oldest(table);
  }
  changeBits(table->readerBits, 0, 1u << id);
}

int js_add_buffer(JStreamTable* table) {
  int index = -1;
  const int count = entriesInUse(table);
  for (int i = 0; i < count && index < 0; ++i) {
    JStreamEntry& entry = table->entries[i];
    int32_t retired = kJsSeqRetired;
    // Retired: the writer's bit, no buffer, and the retired sequence, which
    // an entry takes last as it retires. The checks and the exchange are not
    // one step: the entry may have been reused and be retiring again
    // between them, and the exchange succeeds only once that is over.
    if (entry.lock.load(std::memory_order_acquire) == kJsWriterBit && entry.data() == nullptr &&
        entry.sequence.compare_exchange_strong(retired, kJsSeqUnused, std::memory_order_acq_rel)) {
      index = i;
    }
  }
  if (index < 0) {
    int32_t used = table->entriesInUse.load(std::memory_order_acquire);
    do {
      if (used >= JS_MAXBUF) {
        return -1;
      }
    } while (!table->entriesInUse.compare_exchange_weak(used, used + 1, std::memory_order_acq_rel,
                                                        std::memory_order_acquire));
    index = used;
  }
  JStreamEntry& entry = table->entries[index];
  const MemBlock block = table->allocator->memory.allocate(table->allocator->bufferSize);
  if (block.data == nullptr) {
    entry.sequence.store(kJsSeqRetired, std::memory_order_release);  // reusable
    return -2;
  }
  // Other threads look at the data pointer while they search: it is set
  // alone, and last.
  entry.buffer.owner = block.owner;
  entry.buffer.raw = block.raw;
  entry.buffer.boardAddress = block.boardAddress;
  entry.setData(block.data);
  entry.timeStamp.store(0);
  entry.key.store(0);
  entry.sequence.store(kJsSeqFresh, std::memory_order_release);
  claimLock(entry, kJsWriterBit, 0);
  return index;
}

void js_delete_oldest(JStreamTable* table) {
  for (int attempt = 0;;) {
    int best = -1;
    int32_t bestSequence = INT32_MAX;
    const int count = entriesInUse(table);
    for (int i = 0; i < count; ++i) {
      const JStreamEntry& entry = table->entries[i];
      if (entry.lock.load(std::memory_order_acquire) != 0) {
        continue;
      }
      const int32_t sequence = entry.sequence.load(std::memory_order_acquire);
      if (sequence <= bestSequence) {  // the last such entry on ties
        best = i;
        bestSequence = sequence;
      }
    }
    if (best >= 0) {
      JStreamEntry& entry = table->entries[best];
      if (claimLock(entry, 0, kJsWriterBit)) {
        MemBlock block = entry.buffer;
        block.data = entry.data();
        table->allocator->memory.free(block);
        entry.buffer.owner = 0;
        entry.buffer.raw = nullptr;
        entry.setData(nullptr);
        // Last: js_add_buffer takes a retired entry by this sequence, and one
        // that saw the entry retired before (writer's bit, no buffer) may only
        // now get to take it; it must find everything above done.
        entry.sequence.store(kJsSeqRetired, std::memory_order_release);
        return;
      }
      continue;  // taken meanwhile: look again at once
    }
    if (++attempt > kDeletePatience) {
      jsDebugOutput("js_delete_oldest must kill");
      std::fflush(stderr);
      std::_Exit(42);
    }
    JThread::sleep(kJsPollMs);
  }
}

int js_set_queue(JStreamTable* table, int n) {
  if (n < 0) {
    n = 0;
  }
  const int change = n - table->queueLength.load(std::memory_order_acquire);
  for (int i = 0; i < -change; ++i) {
    js_delete_oldest(table);
    addToCount(table->queueLength, -1);
  }
  for (int i = 0; i < change; ++i) {
    const int result = js_add_buffer(table);
    if (result < 0) {
      return result;
    }
    addToCount(table->queueLength, 1);
  }
  return 0;
}

int js_get_write_buffer(JStreamTable* table, int32_t nextSequenceHint, bool strict) {
  int32_t below = nextSequenceHint;
  if (below == 1 && table->lastIndex.load(std::memory_order_acquire) >= 0) {
    below = table->lastSequence.load(std::memory_order_acquire) + 1;
  }
  // Readers only ever take published frames: losing a race to one is rare,
  // and a bounded number of searches keeps a pathological case from spinning.
  for (int search = 0; search < 1000; ++search) {
    int best = -1;
    int32_t bestSequence = INT32_MAX;
    const int count = entriesInUse(table);
    for (int i = 0; i < count; ++i) {
      const JStreamEntry& entry = table->entries[i];
      const uint32_t lock = entry.lock.load(std::memory_order_acquire);
      const int32_t sequence = entry.sequence.load(std::memory_order_acquire);
      if (sequence >= below || sequence >= bestSequence) {
        continue;
      }
      const bool candidate =
          strict ? (sequence >= 0
                        ? (lock & kJsWriterBit) == 0
                        : (sequence == kJsSeqRetired || sequence == kJsSeqFresh) && lock == 0)
                 : lock == 0;
      if (candidate) {
        best = i;
        bestSequence = sequence;
      }
    }
    if (best < 0) {
      return -1;
    }
    uint32_t found = 0;
    if (claimLock(table->entries[best], 0, kJsWriterBit, &found)) {
      return best;
    }
    if (strict && (found & ~kJsWriterBit) != 0) {
      return -1;  // a reader still reads the oldest frame
    }
  }
  return -1;
}

int32_t js_publish(JStreamTable* table, int index) {
  JStreamEntry& entry = table->entries[index];
  const int32_t sequence = table->lastSequence.load(std::memory_order_acquire) + 1;
  // Above the last sequence, the entry stays invisible to readers until the
  // last sequence catches up with it.
  entry.sequence.store(sequence, std::memory_order_release);
  changeBits(entry.lock, 0, kJsWriterBit);
  table->lastIndex.store(index, std::memory_order_release);
  table->lastSequence.store(sequence, std::memory_order_release);
  return sequence + 1;
}

int js_publish_and_take(JStreamTable* table, int index) {
  if (index >= 0) {
    js_publish(table, index);
  }
  for (int attempt = 0; attempt < 9; ++attempt) {
    const int32_t below = table->lastSequence.load(std::memory_order_acquire) + 1;
    int best = -1;
    int32_t bestSequence = INT32_MAX;
    const int count = entriesInUse(table);
    for (int i = 0; i < count; ++i) {
      const JStreamEntry& entry = table->entries[i];
      const int32_t sequence = entry.sequence.load(std::memory_order_acquire);
      if (entry.lock.load(std::memory_order_acquire) == 0 && sequence < below &&
          sequence < bestSequence) {
        best = i;
        bestSequence = sequence;
      }
    }
    if (best >= 0 && claimLock(table->entries[best], 0, kJsWriterBit)) {
      return best;
    }
  }
  return -1;
}

void js_release(JStreamTable* table, int index, uint32_t bits) {
  std::atomic<uint32_t>& lock = table->entries[index].lock;
  uint32_t value = lock.load(std::memory_order_acquire);
  for (int attempt = 1;; ++attempt) {
    if (lock.compare_exchange_weak(value, value & ~bits, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      return;
    }
    if (attempt == 2) {
      jsDebugOutput("vroum\n");
    }
  }
}

int32_t js_reference_sequence(const JStreamTable* table, int position) {
  if (position >= JS_MAXBUF) {
    return position - JS_MAXBUF;
  }
  if (position < 0) {
    const int32_t sequence = table->lastSequence.load(std::memory_order_acquire) + position;
    return sequence < -1 ? -1 : sequence;
  }
  return table->entries[position].sequence.load(std::memory_order_acquire);
}

int js_read_next(JStreamTable* table, int position, int id) {
  const int result = claimNext(table, position, id, [](const JStreamEntry&) { return true; });
  return result == kNothing ? position : result;
}

int js_read_next_key(JStreamTable* table, int position, int id, uint32_t key) {
  const int keyed = claimNext(table, position, id, [key](const JStreamEntry& entry) {
    return entry.key.load(std::memory_order_acquire) == key;
  });
  if (keyed != kNothing) {
    return keyed;
  }
  if (position >= 0 && position < JS_MAXBUF) {
    return position;
  }
  return js_read_next(table, position, id);
}

int js_read_next_masked(JStreamTable* table, int position, int id, uint32_t mask, uint32_t value) {
  const int result = claimNext(table, position, id, [mask, value](const JStreamEntry& entry) {
    return (entry.key.load(std::memory_order_acquire) & mask) == value;
  });
  return result == kNothing ? position : result;
}

}  // namespace zq
