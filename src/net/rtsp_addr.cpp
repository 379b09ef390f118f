// JRTSPAddr: an RTSP server address and its media file.
#include "net/rtsp_addr.h"

namespace zq {

JRTSPAddr::JRTSPAddr(std::string_view host, uint16_t port, std::string_view mediaFile)
    : JInetAddr(host, port), mediaFile_(mediaFile) {}

std::unique_ptr<JSockAddr> JRTSPAddr::copy() const {
  return std::make_unique<JRTSPAddr>(*this);
}

}  // namespace zq
