// What the streams share with the storages that hold them: the bytes of a
// memory stream (shared by every stream opened on them) and the helpers of
// the IStream calls. Internal to the runtime.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com/stream.h"

namespace zq::com {

/// The bytes of a memory stream.
struct JStreamBytes {
  std::mutex mutex;
  std::vector<uint8_t> data;  // guarded by mutex
};

/// A stream on `bytes`, at position 0, named `name` in Stat.
HRESULT createMemoryStreamOn(std::shared_ptr<JStreamBytes> bytes, bool writable, std::string name,
                             IStream** stream);

/// Seek's arithmetic: moves `position` in a stream of `size` bytes.
HRESULT seekFrom(uint64_t& position, uint64_t size, LARGE_INTEGER move, DWORD origin,
                 ULARGE_INTEGER* newPosition);
void fillStat(STATSTG& stat, DWORD flags, const std::string& name, DWORD type, uint64_t size,
              DWORD mode);
/// CopyTo through Read and Write.
HRESULT copyStream(IStream* from, IStream* to, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                   ULARGE_INTEGER* written);

}  // namespace zq::com
