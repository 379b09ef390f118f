// The WAVE-file capture source: plays the sample data of a PCM WAVE file,
// once (then silence) or in a loop. The file is read whole at open, so that
// the device's thread never waits on the disk; it paces the data by the
// clock like the tone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "audio/pcm_format.h"
#include "audio/wave_file.h"
#include "audio/wavein_source.h"
#include "base/format.h"
#include "base/log.h"

namespace zq {

namespace {

constexpr uint64_t kLargestFile = uint64_t{1} << 30;

class FileSource final : public WaveInSource {
 public:
  FileSource(std::vector<uint8_t> bytes, const WaveFileHeader& header, std::string path, bool loop)
      : bytes_(std::move(bytes)),
        header_(header),
        path_(std::move(path)),
        loop_(loop),
        silence_(silenceByte(header.format)) {}

  bool paced() const override { return true; }

  uint32_t read(uint8_t* out, uint32_t frames, const std::function<bool()>&) override {
    size_t wanted = static_cast<size_t>(frames) * header_.format.blockAlign;
    const uint8_t* data = bytes_.data() + header_.dataOffset;
    while (wanted > 0) {
      if (position_ == header_.dataLength) {
        if (!loop_) {
          std::memset(out, silence_, wanted);
          break;
        }
        position_ = 0;
      }
      const size_t n = std::min(wanted, header_.dataLength - position_);
      std::memcpy(out, data + position_, n);
      out += n;
      position_ += n;
      wanted -= n;
    }
    return frames;
  }

  void skip(uint64_t frames) override {
    const uint64_t bytes = frames * header_.format.blockAlign;
    const uint64_t length = header_.dataLength;
    position_ = loop_ ? static_cast<size_t>((position_ + bytes % length) % length)
                      : static_cast<size_t>(std::min<uint64_t>(position_ + bytes, length));
  }

  std::string describe() const override {
    return jformat("file '%s'%s", path_.c_str(), loop_ ? " looping" : "");
  }

 private:
  const std::vector<uint8_t> bytes_;
  const WaveFileHeader header_;
  const std::string path_;
  const bool loop_;
  const uint8_t silence_;
  size_t position_ = 0;  // in the data, a whole number of frames; dataLength at the end
};

// The whole file, or a WaveInResult in `result`.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, uint32_t& result) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    JLog::logf(kLevelWarning, "waveIn file '%s' cannot be opened: %s", path.c_str(),
               std::strerror(errno));
    result = kMmBadDeviceId;
    return false;
  }
  struct stat st {};
  result = kMmNoError;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    JLog::logf(kLevelWarning, "waveIn file '%s' is not a regular file", path.c_str());
    result = kMmBadDeviceId;
  } else if (static_cast<uint64_t>(st.st_size) > kLargestFile) {
    JLog::logf(kLevelWarning, "waveIn file '%s' is too large (%lld bytes)", path.c_str(),
               static_cast<long long>(st.st_size));
    result = kMmNoMemory;
  } else {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      got += static_cast<size_t>(n);
    }
    // A file that shrank while being read is taken as it now is.
    bytes.resize(got);
  }
  ::close(fd);
  return result == kMmNoError;
}

bool sameFormat(const WaveFormat& a, const WaveFormat& b) {
  return a.formatTag == b.formatTag && a.channels == b.channels &&
         a.samplesPerSec == b.samplesPerSec && a.bitsPerSample == b.bitsPerSample &&
         a.blockAlign == b.blockAlign;
}

}  // namespace

std::unique_ptr<WaveInSource> openFileSource(const WaveFormat& format, const std::string& path,
                                             bool loop, uint32_t& result) {
  std::vector<uint8_t> bytes;
  if (!readWholeFile(path, bytes, result)) {
    return nullptr;
  }
  WaveFileHeader header;
  const WaveFileProblem problem = readWaveHeader(bytes, header);
  if (problem != WaveFileProblem::kNone) {
    JLog::logf(kLevelWarning, "waveIn file '%s': %s", path.c_str(),
               std::string(waveFileProblemText(problem)).c_str());
    result = problem == WaveFileProblem::kNotPcm ? kWaveBadFormat : kMmError;
    return nullptr;
  }
  if (const std::string unplayable =
          pcmFormatProblem(header.format.samplesPerSec, header.format.bitsPerSample,
                           header.format.channels, header.format.blockAlign);
      !unplayable.empty()) {
    JLog::logf(kLevelWarning, "waveIn file '%s': %s", path.c_str(), unplayable.c_str());
    result = kWaveBadFormat;
    return nullptr;
  }
  if (!sameFormat(header.format, format)) {
    const WaveFormat& f = header.format;
    JLog::logf(kLevelWarning,
               "waveIn file '%s' holds %u Hz, %u bits, %u channel(s), block %u: not the format "
               "asked (%u Hz, %u bits, %u channel(s), block %u)",
               path.c_str(), f.samplesPerSec, f.bitsPerSample, f.channels, f.blockAlign,
               format.samplesPerSec, format.bitsPerSample, format.channels, format.blockAlign);
    result = kWaveBadFormat;
    return nullptr;
  }
  if (header.dataTruncated) {
    JLog::logf(kLevelWarning, "waveIn file '%s': the data chunk is cut short; %zu bytes are played",
               path.c_str(), header.dataLength);
  }
  result = kMmNoError;
  return std::make_unique<FileSource>(std::move(bytes), header, path, loop);
}

}  // namespace zq
