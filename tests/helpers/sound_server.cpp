// The private sound server's life, the monitor's recorder and the listening.
#include "helpers/sound_server.h"

#include <glob.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "helpers/waits.h"

namespace zq::test {
namespace {

bool alsaPulsePlugin() {
  glob_t found{};
  const bool any = ::glob("/usr/lib*/{,*/}alsa-lib/libasound_module_pcm_pulse.so", GLOB_BRACE,
                          nullptr, &found) == 0;
  ::globfree(&found);
  return any;
}

bool answers(const std::string& socketPath) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

std::string soundServerMissing() {
  for (const char* program : {"pulseaudio", "parecord"}) {
    if (std::system(("command -v " + std::string(program) + " >/dev/null").c_str()) != 0) {
      return std::string("no sound server: '") + program +
             "' is not installed (scripts/install-deps installs pulseaudio and "
             "pulseaudio-utils)";
    }
  }
  if (!alsaPulsePlugin()) {
    return "no sound server: ALSA's pulse plugin is not installed (scripts/install-deps "
           "installs libasound2-plugins)";
  }
  return "";
}

SoundServer::SoundServer() {
  ::setenv("PULSE_SERVER", ("unix:" + path_ + "/native").c_str(), 1);
  // The clients' cookie (which this server does not ask for) here too,
  // never in the user's home.
  ::setenv("PULSE_COOKIE", (path_ + "/cookie").c_str(), 1);
  start();
}

SoundServer::~SoundServer() {
  if (server_ != nullptr) {
    server_->stop(SIGTERM);
  }
  ::unsetenv("PULSE_SERVER");
  ::unsetenv("PULSE_COOKIE");
}

void SoundServer::kill() {
  if (server_ != nullptr) {
    server_->stop(SIGKILL);
    server_.reset();
  }
}

bool SoundServer::start() {
  kill();
  server_ = std::make_unique<Child>(std::vector<std::string>{ZQ_SOUND_SERVER_SCRIPT, path_});
  if (!eventually([&] { return answers(path_ + "/native"); })) {
    kill();
  }
  return running();
}

Recorder::Recorder(const SoundServer& server) : path_(server.dir() + "/monitor.raw") {
  std::filesystem::remove(path_);
  parecord_ = std::make_unique<Child>(std::vector<std::string>{
      "/usr/bin/env", "parecord", "--latency-msec=20", "--device=zq_null.monitor", "--raw",
      "--format=s16le", "--rate=" + std::to_string(SoundServer::kRate), "--channels=2", path_});
  ready_ = eventually([&] { return recorded() > 0; });
}

Recorder::~Recorder() = default;

uintmax_t Recorder::recorded() const {
  std::error_code e;
  const uintmax_t bytes = std::filesystem::file_size(path_, e);
  return e ? 0 : bytes;
}

bool Recorder::waitFor(double seconds) {
  const uintmax_t until = recorded() + static_cast<uintmax_t>(seconds * SoundServer::kRate) * 4;
  return eventually([&] { return recorded() >= until; });
}

std::vector<int16_t> Recorder::stop() {
  if (parecord_ != nullptr) {
    parecord_->stop(SIGINT);
    parecord_.reset();
  }
  return samples();
}

std::vector<int16_t> Recorder::samples() const {
  std::ifstream in(path_, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
  return samples;
}

Heard listen(const std::vector<int16_t>& samples, uint32_t rate, size_t channels) {
  constexpr int kLoud = 3277;
  std::vector<int> left;
  for (size_t i = 0; i < samples.size(); i += channels) {
    left.push_back(samples[i]);
  }
  Heard h;
  const auto loud = [&](int v) { return std::abs(v) > kLoud; };
  const auto first = std::find_if(left.begin(), left.end(), loud);
  const auto last = std::find_if(left.rbegin(), left.rend(), loud);
  if (first == left.end()) {
    return h;
  }
  const size_t from = static_cast<size_t>(first - left.begin());
  const size_t to = left.size() - static_cast<size_t>(last - left.rbegin());
  // A tone dips below the threshold around each zero crossing; a quiet
  // stretch of 10 ms or more is a break (an underrun on a starved machine),
  // which is not sound played.
  size_t quiet = 0;
  size_t breaks = 0;
  for (size_t i = from; i < to; ++i) {
    quiet = loud(left[i]) ? 0 : quiet + 1;
    breaks += quiet == rate / 100 ? rate / 100 : quiet > rate / 100 ? 1 : 0;
  }
  h.seconds = double(to - from) / rate;
  h.sounding = double(to - from - breaks) / rate;
  // Upward zero crossings, each after a fall below -kLoud, at fractional
  // positions.
  std::vector<double> crossings;
  bool armed = false;
  for (size_t i = from + 1; i < to; ++i) {
    armed = armed || left[i] < -kLoud;
    if (armed && left[i - 1] < 0 && left[i] >= 0) {
      crossings.push_back(double(i - 1) + double(-left[i - 1]) / (left[i] - left[i - 1]));
      armed = false;
    }
  }
  if (crossings.size() < 3) {
    return h;
  }
  std::vector<double> periods;
  for (size_t i = 1; i < crossings.size(); ++i) {
    periods.push_back(crossings[i] - crossings[i - 1]);
  }
  std::vector<double> sorted = periods;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const double usual = sorted[sorted.size() / 2];
  // The frequency over the periods that keep the rhythm: a gap would
  // otherwise count as a slower tone.
  double sum = 0;
  size_t kept = 0;
  bool inGlitch = false;
  for (double p : periods) {
    const bool off = std::abs(p - usual) > usual / 10;
    h.glitches += off && !inGlitch ? 1 : 0;
    inGlitch = off;
    sum += off ? 0 : p;
    kept += off ? 0 : 1;
  }
  h.frequency = rate * double(kept) / sum;
  return h;
}

}  // namespace zq::test
