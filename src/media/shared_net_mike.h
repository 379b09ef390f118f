// SharedNetMike: a remote provider's audio, received once through a
// ServerController and shared by its users. The source is a leaf of its own
// controller, to follow the stream, and registers each user as a leaf too,
// so that users hear the link's events straight from the controller. The
// first user's open decides how the controller connects: persistent or not,
// and at once (synchronous) or on the controller's supervisor.
#pragma once

#include <memory>
#include <string>
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
  static constexpr int32_t kPingPeriod = 2000;

  SharedNetMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName);
  ~SharedNetMike() override;

  /// The first user's open creates the controller, persistent (it
  /// reconnects after a lost link or a failed connect) when `persistent` is
  /// non-zero. With `synchronous` non-zero the controller connects and asks
  /// for the stream here, so that the source is open when this returns and
  /// every failure (no connection, the provider's refusal) is thrown to the
  /// caller, with no user recorded; otherwise the supervisor connects once
  /// the source is its leaf, and users hear linkUp when the stream comes.
  /// Later users join as they are (their flags are not looked at).
  void open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t persistent,
            uint32_t synchronous, bool noCallback) override;
  int close(int32_t& userId) override;
  /// Connected and with a stream.
  bool isOpen() const override;
  /// The controller's name: "ServerController[<proto>://<host>:<port>]".
  static std::string controllerName(const MikeDesc& desc);
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
