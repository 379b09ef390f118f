// The listener interfaces of RPC link events: JRPCNotify, told by a client
// that its link came up or went down, and JRPCNotifyWithContext, told the same
// about the object the event concerns (an RPC controller by default).
#pragma once

#include "base/error.h"

namespace zq {

class JRPCControllerInterface;

/// Told by a JRPCClientNotify about its link. Both operations run on the
/// client's supervisor thread, outside the client's call mutex; they must not
/// block for long and must not shut the client down (the supervisor would
/// wait for itself).
class JRPCNotify {
 public:
  virtual ~JRPCNotify() = default;

  /// The link was established or re-established.
  virtual void linkUp() = 0;

  /// The link is down or could not be established; `error` says why (a
  /// JRPCConnectionLostError, or the error of the failed connect).
  /// Ownership of `error` (a raw owning pointer handed over by this
  /// interface) depends on the client's delete-error-after-notify flag: when
  /// set, the client deletes it once this returns and the listener must not
  /// keep it; when clear, the listener owns it from this call on and must
  /// delete it.
  virtual void linkDown(JError* error) = 0;
};

/// Told about the link of the object passed as `context`; for the RPC
/// controller's listener the context is the controller. Other listeners may
/// name their context type (a controller's name, for example).
template <typename Context = JRPCControllerInterface*>
class JRPCNotifyWithContext {
 public:
  virtual ~JRPCNotifyWithContext() = default;

  virtual void linkUp(Context context) = 0;

  /// `error` is never null and stays owned by the caller: it is valid for the
  /// duration of this call only.
  virtual void linkDown(Context context, JError* error) = 0;
};

}  // namespace zq
