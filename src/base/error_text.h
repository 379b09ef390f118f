// The texts behind a JSysError code: the operating system's own messages, the
// socket error table, and the wave-input and wave-output error texts.
// They live here, not in the layers that raise such codes, so that composing
// any error message needs nothing above the foundation layer.
#pragma once

#include <cstdint>
#include <string_view>

namespace zq {

/// English text of an operating-system error number; empty when there is none.
std::string_view systemErrorText(uint32_t code);

/// Text of a socket error code carrying the socket tag (0x40000000 + the
/// Windows Sockets number); "Unknown socket error" for codes not in the table.
std::string_view socketErrorText(uint32_t taggedCode);

/// Text of a wave-input error (low 16 bits of the code); empty when unknown.
std::string_view waveInErrorText(uint32_t code);

/// Text of a wave-output error (low 16 bits of the code); empty when unknown.
std::string_view waveOutErrorText(uint32_t code);

}  // namespace zq
