// SharedNetMike: a remote provider's audio, received once through a
// ServerController and shared by its users. The source is a leaf of its own
// controller, to follow the stream, and registers each user as a leaf too,
// so that users hear the link's events straight from the controller.
#pragma once

#include <memory>
#include <string_view>

#include "media/server_controller.h"
#include "media/shared_mike.h"

namespace zq {

class SharedNetMike : public SharedMike, public LinkNotifier {
 public:
  /// The cookie of the source's own registration with its controller; user
  /// ids start at 1.
  static constexpr uint32_t kOwnCookie = 0;
  /// The controller's keep-alive period (ms).
  static constexpr int32_t kPingPeriod = 4000;

  SharedNetMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName);
  ~SharedNetMike() override;

  /// The first user's open creates the controller (its errors propagate)
  /// and starts its supervisor once the source is its leaf.
  void open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t word1,
            uint32_t word2, bool noCallback) override;
  int close(int32_t& userId) override;
  /// Connected and with a stream.
  bool isOpen() const override;
  bool isRemote() const override { return true; }
  void setUserContext(int32_t userId, uint32_t context) override;
  uint32_t getUserContext(int32_t userId) const override;

  // LinkNotifier, from the controller's supervisor thread.
  bool linkDown(const JError* reason, uint32_t context) override;
  void linkUp(JStream* stream, uint32_t context) override;

 private:
  void dropController();

  // Guards the controller pointer apart from the stream: the controller calls
  // linkUp/linkDown (which take streamMutex_) with its own mutex held, so
  // its calls must never be made under streamMutex_.
  mutable std::mutex controllerMutex_;
  std::unique_ptr<ServerController> controller_;  // guarded by controllerMutex_
};

}  // namespace zq
