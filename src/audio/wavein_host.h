// The host-fed wave-input device ("Type"="host" in the device list): what
// it records is pushed by the process that hosts the control, such as a
// web console passing on an operator's voice. A capture on it gets the
// pushed audio, converted to the capture's format, and silence whenever
// nothing is queued, paced in real time like the tone, so that a local
// AAM on it keeps serving its receivers between talks.
//
// The host reaches these calls in the control's own copy of this layer: a
// host that loads the control's library finds them there with dlsym under
// the names below, which are those of the functions.
//
// Concurrency: every call may come from any thread, concurrently with the
// captures on the devices.
// Public: hosts call these through the control's library.
#pragma once

#include <cstdint>

extern "C" {

/// Queues `frames` sample frames of 16-bit PCM (host byte order,
/// `channels` 1 or 2 interleaved, `rate` 4 000 to 192 000 Hz) on every
/// host-fed device open in this process. Returns how many devices took
/// them, or -1 for a null `samples` with frames, or a format outside those.
/// A device starts playing a talk once 40 ms are queued (so that the pushes'
/// jitter is not heard as gaps) and never holds more than 1 s: the
/// oldest audio is dropped, and counted as an overrun, so that the delay
/// stays bounded when the pusher's clock runs ahead of the device's. A
/// talk with more than 50 ms queued catches up in its pauses: quiet 10 ms
/// stretches (under -40 dBFS) at the head are dropped, so audio kept while
/// the listeners were being switched to it does not delay the rest.
int ZQWaveInHostWrite(const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels);

/// The talk ends: what is queued plays out, even under 40 ms, then silence.
/// Returns how long that takes, in ms (the most of any device).
uint32_t ZQWaveInHostEnd(void);

/// How many host-fed devices are open in this process.
int ZQWaveInHostDevices(void);

}  // extern "C"

namespace zq {

using ZQWaveInHostWriteFn = int (*)(const int16_t*, uint32_t, uint32_t, uint32_t);
using ZQWaveInHostEndFn = uint32_t (*)();
using ZQWaveInHostDevicesFn = int (*)();

/// The entry points' names, for dlsym.
inline constexpr const char* kWaveInHostWriteName = "ZQWaveInHostWrite";
inline constexpr const char* kWaveInHostEndName = "ZQWaveInHostEnd";
inline constexpr const char* kWaveInHostDevicesName = "ZQWaveInHostDevices";

/// The figures above.
inline constexpr uint32_t kWaveInHostStartMs = 40;
inline constexpr uint32_t kWaveInHostMaxMs = 1000;
inline constexpr uint32_t kWaveInHostLagMs = 50;

}  // namespace zq
