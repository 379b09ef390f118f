// IProvideClassInfo and IProvideClassInfo2: how a host reads an object's
// class description (its interfaces and its default event interface), and
// ISupportErrorInfo, which says for which interfaces an object reports rich
// errors.
// Public: the control implements them; the call tracing and hosts call them.
#pragma once

#include "com/type_info.h"

namespace zq::com {

inline constexpr IID IID_IProvideClassInfo = makeGuid("{B196B283-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IProvideClassInfo2 = makeGuid("{A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851}");
inline constexpr IID IID_ISupportErrorInfo = makeGuid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");

enum : DWORD { GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1 };

struct IProvideClassInfo : IUnknown {
  static constexpr const IID& iid = IID_IProvideClassInfo;
  /// The type information of the object's class (TKIND_COCLASS).
  virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;
};

struct IProvideClassInfo2 : IProvideClassInfo {
  static constexpr const IID& iid = IID_IProvideClassInfo2;
  /// With GUIDKIND_DEFAULT_SOURCE_DISP_IID: the IID of the default event
  /// interface; E_INVALIDARG for any other kind.
  virtual HRESULT GetGUID(DWORD kind, GUID* guid) = 0;
};

struct ISupportErrorInfo : IUnknown {
  static constexpr const IID& iid = IID_ISupportErrorInfo;
  /// S_OK when the interface reports rich errors, S_FALSE otherwise.
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

}  // namespace zq::com
