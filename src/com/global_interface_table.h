// The Global Interface Table: a thread registers an interface of an object
// it owns and passes the cookie to other threads, which get from it either
// the object itself (in the owner's apartment, or when the owner is in the
// multithreaded one) or a proxy that runs each call on the owner thread.
// One table per process; every instance created is a view of it.
//
// CoMarshalInterThreadInterfaceInStream and CoGetInterfaceAndReleaseStream
// pass one interface to one other thread through a stream the same way.
// Public: hosts and the control include it.
#pragma once

#include "com/unknown.h"

namespace zq::com {

struct IStream;

inline constexpr IID IID_IGlobalInterfaceTable = makeGuid("{00000146-0000-0000-C000-000000000046}");
inline constexpr CLSID CLSID_StdGlobalInterfaceTable =
    makeGuid("{00000323-0000-0000-C000-000000000046}");

struct IGlobalInterfaceTable : IUnknown {
  static constexpr const IID& iid = IID_IGlobalInterfaceTable;

  /// Keeps a reference on `object`'s interface `riid` for its apartment (the
  /// caller's) and gives a non-zero cookie. CO_E_NOTINITIALIZED when the
  /// caller joined no apartment; E_NOINTERFACE when `object` lacks `riid`.
  virtual HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID riid, DWORD* cookie) = 0;
  /// Drops the registration and its reference; E_INVALIDARG for a cookie
  /// that is not registered. Any thread.
  virtual HRESULT RevokeInterfaceFromGlobal(DWORD cookie) = 0;
  /// The registered interface, or a proxy of it, for the calling thread.
  /// `riid` is the registered IID or IUnknown (or IDispatch for an
  /// interface proxied as a dispatch interface). E_INVALIDARG for an unknown
  /// cookie, CO_E_NOTINITIALIZED outside any apartment, RPC_E_DISCONNECTED
  /// when the owner's apartment has ended, REGDB_E_IIDNOTREG when the
  /// interface has no proxy.
  virtual HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** object) = 0;
};

/// A view of the process's table; the same as CoCreateInstance with
/// CLSID_StdGlobalInterfaceTable.
HRESULT createGlobalInterfaceTable(IGlobalInterfaceTable** table);

/// Writes into a new stream what lets one other thread of the process get
/// `object`'s interface `riid` once.
HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, IUnknown* object, IStream** stream);
/// Gets the interface that `stream` carries and releases `stream`, whether
/// it succeeds or not. E_INVALIDARG when the stream carries none (or it was
/// already taken).
HRESULT CoGetInterfaceAndReleaseStream(IStream* stream, REFIID riid, void** object);

}  // namespace zq::com
