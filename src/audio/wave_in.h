// The wave-input calls through which the sound-card capture source records:
// open a capture device with a PCM format and a completion event, lend it
// buffers, start, reset, close. Four kinds of device stand behind them: a
// test tone, a WAVE file, an ALSA capture PCM and audio pushed by the host
// process (wavein_tone.cpp, wavein_file.cpp, wavein_alsa.cpp,
// wavein_host.cpp); wave_in.cpp holds the device thread and the buffer
// queue that all four share.
//
// Devices are read from the registry at every waveInGetNumDevs and
// waveInOpen, under HKEY_LOCAL_MACHINE\SOFTWARE\Quorvanta\WaveIn: subkeys
// "Device1", "Device2", ... in that order, the list ending at the first
// missing number. Device index i (from 0) is subkey "Device<i+1>". Values:
//   "Type"       string, "tone", "alsa", "file" or "host"; any other (or none)
//                leaves the device in the list but its open gives
//                kMmNoDriver.
//   tone:  "Frequency" dword, Hz (default 1000); "Level" dword, percent of
//          full scale (default 50, at most 100). A sine, the same on every
//          channel, in phase across buffers, produced in real time.
//   alsa:  "Name" string, the ALSA PCM to capture from (default "default").
//          S16_LE or U8 interleaved, as the format asks.
//   file:  "Path" string, a PCM WAVE file, read whole at open; "Loop" dword
//          (default 0): non-zero plays it again from the start at its end.
//          Paced in real time like the tone. Without looping the device
//          records silence once the file is over.
//   host:  no values. What the host process pushes (wavein_host.h), in
//          any PCM format, converted to the device's; silence when nothing
//          is queued. Paced in real time like the tone.
// Without a "Device1" subkey the list is: index 0 a tone of 1000 Hz at level
// 50, index 1 the ALSA PCM "default".
//
// Open failures (besides the argument checks) by kind:
//   any    kWaveBadFormat   the format is not PCM, 8 or 16 bits, 1 or 2
//                           channels, blockAlign = channels x bits / 8,
//                           avgBytesPerSec = blockAlign x rate, rate
//                           4 000..192 000 Hz
//          kMmError         the registry could not be read
//   alsa   kMmBadDeviceId   no such PCM; kMmAllocated the PCM is busy;
//          kWaveBadFormat   the PCM refuses the format; kMmError otherwise
//   file   kMmBadDeviceId   the file cannot be opened (missing, no right)
//          kMmError         the file is not a readable WAVE file: empty, too
//                           short, cut inside a chunk header or before the
//                           first whole sample frame, no format or data chunk
//          kWaveBadFormat   the samples are not PCM, or the format asked is
//                           not the file's
//          kMmNoMemory      the file is too large to hold (over 1 GiB)
// Every failure of a device is logged at level 9 with its reason; every
// device opened is logged at level 3 with its kind and format.
//
// Buffers. A buffer is prepared, then added; the device fills the oldest
// added buffer with whole sample frames (bufferLength rounded down to the
// block align), sets bytesRecorded, then in one release store sets
// kWaveHeaderDone and clears kWaveHeaderInQueue, and sets the event. A reader
// that sees kWaveHeaderDone with an acquire load may read the data. Audio
// captured while no buffer is queued is dropped and counted
// (waveInGetStats). waveInReset stops capture and gives back every queued
// buffer done (bytesRecorded 0: a buffer is filled in one step, never in
// part) and sets the event when it gave any back. The tone and the file
// complete the k-th buffer of a started device at start + the duration of
// buffers 0..k, on the monotonic clock, so the schedule never drifts.
//
// Handles. A handle names one open device; its value is never used again in
// the process, so a handle kept after waveInClose gives kMmInvalidHandle, as
// does a null one. Concurrency: every call may come from any thread; each
// runs under the device's own mutex. The device's thread touches a buffer
// only while it is queued and only under that mutex, apart from the atomic
// flags. The event must outlive the device (until waveInClose returns).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/waitable.h"

namespace zq {

enum WaveInResult : uint32_t {
  kMmNoError = 0,
  kMmError = 1,
  kMmBadDeviceId = 2,
  kMmAllocated = 4,
  kMmInvalidHandle = 5,
  kMmNoDriver = 6,
  kMmNoMemory = 7,
  kMmInvalidFlag = 10,
  kMmInvalidParam = 11,
  kWaveBadFormat = 32,
  kWaveStillPlaying = 33,
  kWaveUnprepared = 34
};
/// waveInGetErrorText for a code that has no text.
constexpr uint32_t kMmBadErrorNumber = 9;

constexpr uint32_t kCallbackEvent = 0x50000;
constexpr uint16_t kWaveFormatPcm = 1;

struct WaveFormat {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;
};

constexpr uint32_t kWaveHeaderDone = 0x01, kWaveHeaderPrepared = 0x02, kWaveHeaderInQueue = 0x10;

/// One capture buffer, owned by the caller.
struct WaveHeader {
  uint8_t* data = nullptr;
  uint32_t bufferLength = 0;
  uint32_t bytesRecorded = 0;
  uintptr_t user = 0;
  std::atomic<uint32_t> flags{0};
  uint32_t loops = 0;
  WaveHeader* next = nullptr;
  uintptr_t reserved = 0;
  /// Everything but `data` back to zero. Not while the buffer is queued.
  void clear();
};

class WaveInDevice;  // opaque
using WaveInHandle = WaveInDevice*;

/// What a device did since it was opened.
struct WaveInStats {
  uint64_t buffersDone = 0;    // buffers filled (not those given back by a reset)
  uint64_t droppedFrames = 0;  // frames captured while no buffer was queued
  uint64_t overruns = 0;       // ALSA overruns recovered from
};

/// The number of configured devices (0 when the registry cannot be read).
uint32_t waveInGetNumDevs();
/// Opens device `deviceIndex` (from 0). `flags` must be kCallbackEvent
/// (else kMmInvalidFlag) and `event` (an auto-reset flag) non-null; null
/// `handle` or `event` give kMmInvalidParam; kMmNoMemory when the device's
/// thread cannot be started. `instance` is not used. On failure *handle is
/// null and nothing of the device is left.
uint32_t waveInOpen(WaveInHandle* handle, uint32_t deviceIndex, const WaveFormat& format,
                    JFlag* event, uintptr_t instance, uint32_t flags);
/// Marks the buffer prepared. kMmInvalidParam for a null header, no data or
/// a length of 0; kWaveStillPlaying while it is queued.
uint32_t waveInPrepareHeader(WaveInHandle, WaveHeader*);
/// Clears the prepared mark; kWaveStillPlaying while the buffer is queued.
uint32_t waveInUnprepareHeader(WaveInHandle, WaveHeader*);
/// Queues the buffer. kWaveUnprepared when not prepared, kWaveStillPlaying
/// when already queued, kMmInvalidParam when it cannot hold one frame.
uint32_t waveInAddBuffer(WaveInHandle, WaveHeader*);
/// Starts capture (nothing when already started); an ALSA device that cannot
/// start gives kMmError.
uint32_t waveInStart(WaveInHandle);
/// Stops capture and gives back every queued buffer done.
uint32_t waveInReset(WaveInHandle);
/// For a device that keeps time itself (the tone, a file, the host's
/// pushes): waits in the caller's thread until the oldest queued buffer is
/// due, then fills it and hands it back as the device's thread would (the
/// same samples, the event set), so that a capture costs one thread one
/// wake a buffer instead of two threads. With `buffers` above 1 it waits
/// until the last of the `buffers` oldest queued (or of all queued, when
/// fewer) is due and fills them all in that one wake: a caller that has no
/// use for a buffer before the next ones (an encoder that completes a frame
/// only every few) saves the wakes between. From the first call on, the
/// device's thread leaves such buffers to these calls. *filled is false
/// when none was filled: at once for a device that blocks (ALSA, whose
/// thread fills), one not started or with nothing queued; on a reset, close
/// or stop meanwhile. kMmInvalidParam for a null `filled` or no buffers.
uint32_t waveInFillDue(WaveInHandle, bool* filled, uint32_t buffers = 1);
/// kWaveStillPlaying while buffers are queued; otherwise stops the device's
/// thread, closes the device and ends the handle.
uint32_t waveInClose(WaveInHandle);
/// The text of `result`, cut to `size` bytes with its terminator.
/// kMmInvalidParam for a null or empty buffer, kMmBadErrorNumber for a code
/// without text (the buffer then holds an empty string).
uint32_t waveInGetErrorText(uint32_t result, char* text, size_t size);
/// The device's counters.
uint32_t waveInGetStats(WaveInHandle, WaveInStats* stats);

}  // namespace zq
