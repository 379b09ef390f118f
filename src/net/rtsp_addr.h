// JRTSPAddr: the server address of an RTSP URL with the media file it names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/inet_addr.h"

namespace zq {

class JRTSPAddr : public JInetAddr {
 public:
  /// Resolves `host` as JInetAddr does.
  JRTSPAddr(std::string_view host, uint16_t port, std::string_view mediaFile);

  std::unique_ptr<JSockAddr> copy() const override;
  /// The path after the host part of the URL, without its leading "/".
  const std::string& mediaFile() const { return mediaFile_; }

 private:
  std::string mediaFile_;
};

}  // namespace zq
