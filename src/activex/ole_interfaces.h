// The user-interface and container interfaces a control answers: hosts that
// embed it query them, and the control answers every one of them. Only what
// this system's hosts use is declared beyond the IID; drawing goes into a
// caller's 32-bit pixel buffer, as there is no window system here.
#pragma once

#include "com/unknown.h"

namespace zq::activex {

using namespace zq::com;

inline constexpr IID IID_IOleControl = makeGuid("{B196B288-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IOleObject = makeGuid("{00000112-0000-0000-C000-000000000046}");
inline constexpr IID IID_IOleInPlaceActiveObject =
    makeGuid("{00000117-0000-0000-C000-000000000046}");
inline constexpr IID IID_IViewObjectEx = makeGuid("{3AF24292-0C96-11CE-A0CF-00AA00600AB8}");
inline constexpr IID IID_IOleInPlaceObjectWindowless =
    makeGuid("{1C2056CC-5EF4-101B-8BC8-00AA003E3B29}");
inline constexpr IID IID_ISpecifyPropertyPages = makeGuid("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IQuickActivate = makeGuid("{CF51ED10-62FE-11CF-BF86-00A0C9034836}");
inline constexpr IID IID_IDataObject = makeGuid("{0000010E-0000-0000-C000-000000000046}");
inline constexpr IID IID_IObjectSafety = makeGuid("{CB5BDC81-93C1-11CF-8F20-00805F2CD064}");
inline constexpr IID IID_IPropertyNotifySink = makeGuid("{9BFBBC02-EFF1-101A-84ED-00AA00341D07}");

struct SIZEL {
  LONG cx;
  LONG cy;
};
struct RECTL {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

enum : DWORD { DVASPECT_CONTENT = 1 };
enum : DWORD {
  OLEMISC_RECOMPOSEONRESIZE = 0x1,
  OLEMISC_CANTLINKINSIDE = 0x10,
  OLEMISC_INSIDEOUT = 0x80,
  OLEMISC_ACTIVATEWHENVISIBLE = 0x100,
  OLEMISC_INVISIBLEATRUNTIME = 0x400,
  OLEMISC_SETCLIENTSITEFIRST = 0x20000,
};
enum : DWORD {
  INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1,
  INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2,
};

/// A caller's pixel buffer: `width` x `height` 32-bit pixels, `stride`
/// pixels from one row to the next.
struct JPixelBuffer {
  uint32_t* pixels;
  LONG width;
  LONG height;
  LONG stride;
};

struct IOleControl : IUnknown {
  static constexpr const IID& iid = IID_IOleControl;
  virtual HRESULT OnAmbientPropertyChange(DISPID dispid) = 0;
  virtual HRESULT FreezeEvents(BOOL freeze) = 0;
};

struct IOleObject : IUnknown {
  static constexpr const IID& iid = IID_IOleObject;
  virtual HRESULT GetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT SetExtent(DWORD aspect, SIZEL* size) = 0;
  virtual HRESULT GetMiscStatus(DWORD aspect, DWORD* status) = 0;
  virtual HRESULT GetUserClassID(CLSID* clsid) = 0;
  virtual HRESULT Close(DWORD saveOption) = 0;
};

struct IOleInPlaceActiveObject : IUnknown {
  static constexpr const IID& iid = IID_IOleInPlaceActiveObject;
  virtual HRESULT EnableModeless(BOOL enable) = 0;
};

struct IViewObjectEx : IUnknown {
  static constexpr const IID& iid = IID_IViewObjectEx;
  /// Draws the control's content stretched over `bounds` of `target`,
  /// clipped to the buffer.
  virtual HRESULT Draw(DWORD aspect, const RECTL* bounds, JPixelBuffer* target) = 0;
};

struct IOleInPlaceObjectWindowless : IUnknown {
  static constexpr const IID& iid = IID_IOleInPlaceObjectWindowless;
  virtual HRESULT InPlaceDeactivate() = 0;
};

struct ISpecifyPropertyPages : IUnknown {
  static constexpr const IID& iid = IID_ISpecifyPropertyPages;
  /// The number of property pages (their CLSIDs are not needed here).
  virtual HRESULT GetPageCount(ULONG* count) = 0;
};

struct IQuickActivate : IUnknown {
  static constexpr const IID& iid = IID_IQuickActivate;
  virtual HRESULT SetContentExtent(SIZEL* size) = 0;
  virtual HRESULT GetContentExtent(SIZEL* size) = 0;
};

struct IDataObject : IUnknown {
  static constexpr const IID& iid = IID_IDataObject;
  virtual HRESULT QueryGetData(void* format) = 0;
};

struct IObjectSafety : IUnknown {
  static constexpr const IID& iid = IID_IObjectSafety;
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) = 0;
};

}  // namespace zq::activex
