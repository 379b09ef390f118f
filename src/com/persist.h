// The persistence interfaces through which a host saves an object's state
// into a stream or a storage and loads it back.
// Public: the control implements them; hosts call them.
#pragma once

#include "com/storage.h"

namespace zq::com {

inline constexpr IID IID_IPersist = makeGuid("{0000010C-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPersistStream = makeGuid("{00000109-0000-0000-C000-000000000046}");
inline constexpr IID IID_IPersistStreamInit = makeGuid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");
inline constexpr IID IID_IPersistStorage = makeGuid("{0000010A-0000-0000-C000-000000000046}");

struct IPersist : IUnknown {
  static constexpr const IID& iid = IID_IPersist;
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
};

struct IPersistStreamInit : IPersist {
  static constexpr const IID& iid = IID_IPersistStreamInit;
  /// S_OK when changed since the last save, S_FALSE otherwise.
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* size) = 0;
  /// Sets the initial state of a new object.
  virtual HRESULT InitNew() = 0;
};

struct IPersistStream : IPersist {
  static constexpr const IID& iid = IID_IPersistStream;
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, BOOL clearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* size) = 0;
};

struct IPersistStorage : IPersist {
  static constexpr const IID& iid = IID_IPersistStorage;
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT InitNew(IStorage* storage) = 0;
  virtual HRESULT Load(IStorage* storage) = 0;
  /// `sameAsLoad`: the storage is the one the object was loaded from.
  virtual HRESULT Save(IStorage* storage, BOOL sameAsLoad) = 0;
  virtual HRESULT SaveCompleted(IStorage* storage) = 0;
  virtual HRESULT HandsOffStorage() = 0;
};

}  // namespace zq::com
