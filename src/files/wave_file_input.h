// WAVE files as streams of blocks: WAVEFileInfo describes a WAVE file (its
// format and where its samples lie), WAVEInput reads it in blocks of 25 ms
// (nSamplesPerSec / 40 samples), the last block filled up with silence. A
// file whose data chunk says 0 bytes is still being written: it is read as
// far as it has grown, one block at a time.
//
// PCM (an extensible header with the PCM sub-format included) is described
// as PCM; any other coding by its own wave format and extra bytes. Formats
// the system cannot play (pcm_format.h) are refused before anything is
// sized from them.
//
// Concurrency: as FileInfo and FileInput.
#pragma once

#include <cstdint>
#include <string>

#include "audio/wave_file.h"
#include "files/file_info.h"

namespace zq {

/// What describing a WAVE file finds.
struct WaveFileDescription {
  std::shared_ptr<FileDescription> description;
  WaveStreamHeader header;
  uint32_t blockSize = 0;  // bytes
};

/// Describes the WAVE file open on `file`. Throws JTextError "invalid wave
/// format" for a file that is not RIFF/WAVE, whose chunks before the samples
/// are cut or malformed, whose 18-byte PCM format says it has extra bytes,
/// or whose coded format lacks the extra bytes it states; "unsupported wave
/// format: " and what is wrong for a format the system cannot play;
/// JSysError when it cannot be read.
WaveFileDescription describeWaveFile(const JFileHandle& file);

class WAVEFileInfo : public FileInfo {
 public:
  WAVEFileInfo(const std::string& fileName, const JFileHandle& file);

  std::unique_ptr<FileInput> openInput() override;

  uint64_t dataOffset() const { return header_.dataOffset; }
  uint32_t blockSize() const { return blockSize_; }
  /// The byte that stands for silence: 0x80 for 8-bit samples, else 0.
  uint8_t silence() const { return header_.format.bitsPerSample == 8 ? 0x80 : 0; }

 private:
  WAVEFileInfo(const std::string& fileName, WaveFileDescription described);

  const WaveStreamHeader header_;
  const uint32_t blockSize_;
};

class WAVEInput : public FileInput {
 public:
  WAVEInput(WAVEFileInfo& info, JFileHandle file);

  int nextFrame(bool* got, uint32_t* size, int64_t* time, bool* syncPoint) override;
  /// The current block; bytes the data does not hold are silence.
  uint32_t read(uint8_t* buffer, uint32_t length) override;

 private:
  const uint64_t dataOffset_;
  const uint32_t blockSize_;
  const uint8_t silence_;
};

}  // namespace zq
