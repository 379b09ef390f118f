// The property the packet reassembly must keep for any sequence of
// datagrams, shared by the fuzzer and by the test that replays its corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::fuzz {

/// Reads `size` bytes as a buffer set-up and a sequence of datagrams and
/// feeds them, one by one, to a PredictiveNetBuffer.
///
/// Byte 0 chooses the set-up: bit 0 a 40-byte or a 16-byte frame header
/// (bit 1 set: none), bits 2 to 4 the data capacity (0, 100, 1500, 4096,
/// 65536 or 131040). Then records follow: a tag byte with bit 7 set makes a
/// packet from five bytes (frame, fragment, count, size high byte, size low
/// byte, the size times 3 when the tag's bit 6 is set) and a fill byte;
/// otherwise a big-endian 16-bit length and that many raw bytes (fewer when
/// the input ends) form the datagram. At most 512 datagrams are fed.
///
/// Checks, whatever the bytes:
/// - nothing is written outside the data and header buffers (guard bytes
///   around both stay intact);
/// - the counters match the outcomes: one ignored packet per ignored
///   outcome, one completed frame per completed outcome, and a datagram is
///   accepted only when it is at least a packet header;
/// - the state stays in range: MTU stability 0 to 10, fragment count at most
///   512, received count at most the fragment count, the predicted fragment
///   below the fragment count and never one already received;
/// - a completed frame holds every accepted fragment's bytes at the place
///   its index and the MTU give (and packet 0's frame header in the header
///   buffer), and its size ends where the last fragment's bytes end.
/// Returns "" when everything holds, otherwise what failed.
std::string checkNetBufferProperty(const uint8_t* data, size_t size);

}  // namespace zq::fuzz
