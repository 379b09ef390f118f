// Connection points: how a source object (the control) finds the sinks that
// want its events. A sink advises a point with its event interface and gets
// a cookie; the point keeps each sink in the Global Interface Table, so that
// firing from any thread reaches every sink in its own apartment.
//
// JConnectionPoint keeps the cookies in an array of slots that holds one,
// then grows to four, then doubles; a new sink takes the first free slot,
// and firing goes in slot order. Its AddRef and Release are its container's:
// it lives inside the object that fires.
//
// Concurrency: Advise, Unadvise, EnumConnections and firing may run at once
// on any threads; the lock is held while one sink is registered, removed or
// looked up, never while a sink is called.
// Public: the control and hosts include it.
#pragma once

#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "com/com_ptr.h"
#include "com/dispatch.h"
#include "com/global_interface_table.h"

namespace zq::com {

inline constexpr IID IID_IConnectionPoint = makeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IConnectionPointContainer =
    makeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IEnumConnections = makeGuid("{B196B287-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IEnumConnectionPoints = makeGuid("{B196B285-BAB4-101A-B69C-00AA00341D07}");

struct IConnectionPointContainer;

struct CONNECTDATA {
  /// The sink, AddRef'd for the receiver.
  IUnknown* pUnk;
  DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
  static constexpr const IID& iid = IID_IEnumConnections;
  /// Up to `count` connections; S_FALSE when fewer were left.
  virtual HRESULT Next(ULONG count, CONNECTDATA* out, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** clone) = 0;
};

struct IConnectionPoint : IUnknown {
  static constexpr const IID& iid = IID_IConnectionPoint;
  virtual HRESULT GetConnectionInterface(IID* connectionIid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  /// CONNECT_E_CANNOTCONNECT when `sink` lacks the event interface,
  /// CONNECT_E_ADVISELIMIT when no slot can be added.
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  /// CONNECT_E_NOCONNECTION for a cookie that is not connected.
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  /// The connections as they are now, in slot order.
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;
};

struct IEnumConnectionPoints : IUnknown {
  static constexpr const IID& iid = IID_IEnumConnectionPoints;
  virtual HRESULT Next(ULONG count, IConnectionPoint** out, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** clone) = 0;
};

struct IConnectionPointContainer : IUnknown {
  static constexpr const IID& iid = IID_IConnectionPointContainer;
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  /// CONNECT_E_NOCONNECTION when the object fires no such events.
  virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) = 0;
};

class JConnectionPoint : public IConnectionPoint {
 public:
  /// A point for the event interface `eventIid` inside `container` (not
  /// owned: the container owns the point). `maxSlots` bounds the slot
  /// array (0: only memory does).
  JConnectionPoint(IUnknown& container, REFIID eventIid, size_t maxSlots = 0);
  /// Revokes every sink still connected.
  ~JConnectionPoint() override;
  JConnectionPoint(const JConnectionPoint&) = delete;
  JConnectionPoint& operator=(const JConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID riid, void** object) override;
  ULONG AddRef() override { return container_.AddRef(); }
  ULONG Release() override { return container_.Release(); }
  HRESULT GetConnectionInterface(IID* connectionIid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT Unadvise(DWORD cookie) override;
  HRESULT EnumConnections(IEnumConnections** connections) override;

  const IID& eventIid() const { return eventIid_; }
  /// The number of slots the array has now (for diagnostics and tests).
  size_t slotCount() const;

  /// Calls `fn` with each sink's event interface (a dispatch interface) in
  /// slot order, got on the calling thread from the table; a sink that
  /// cannot be got is skipped. The caller's thread must be in an apartment.
  void forEachSink(const std::function<void(IDispatch*)>& fn);
  /// Fires the event `member` with `params` (the last argument first) at
  /// every sink: Invoke with IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD
  /// and a result variant; a sink's failure does not stop the others.
  void fire(DISPID member, DISPPARAMS* params);

 private:
  IUnknown& container_;
  const IID eventIid_;
  const size_t maxSlots_;
  ComPtr<IGlobalInterfaceTable> table_;
  mutable std::mutex mutex_;
  std::vector<DWORD> slots_;  // table cookies; 0 is a free slot. Guarded by mutex_
};

/// IConnectionPointContainer over the points a class lists.
class JConnectionPointContainer : public IConnectionPointContainer {
 public:
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

 protected:
  ~JConnectionPointContainer() override = default;
  /// The object's points; they live as long as the object.
  virtual std::span<JConnectionPoint* const> connectionPoints() = 0;
};

}  // namespace zq::com
