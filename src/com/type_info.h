// ITypeInfo, the description of an interface or class that hosts and the
// call tracing read: member names, DISPIDs, kinds, parameters and help
// strings, and the late-bound call driven by that description.
// Public: hosts include it.
#pragma once

#include "com/dispatch.h"

namespace zq::com {

inline constexpr IID IID_ITypeInfo = makeGuid("{00020401-0000-0000-C000-000000000046}");

struct ITypeLib;

constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;
using HREFTYPE = DWORD;

enum TYPEKIND : int32_t {
  TKIND_ENUM = 0,
  TKIND_RECORD = 1,
  TKIND_MODULE = 2,
  TKIND_INTERFACE = 3,
  TKIND_DISPATCH = 4,
  TKIND_COCLASS = 5,
};

enum INVOKEKIND : int32_t {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};

enum FUNCKIND : int32_t { FUNC_VIRTUAL = 0, FUNC_PUREVIRTUAL = 1, FUNC_DISPATCH = 4 };
enum CALLCONV : int32_t { CC_STDCALL = 4 };

enum : USHORT {
  PARAMFLAG_NONE = 0,
  PARAMFLAG_FIN = 0x1,
  PARAMFLAG_FOUT = 0x2,
  PARAMFLAG_FRETVAL = 0x8,
};

enum : WORD {
  TYPEFLAG_FCANCREATE = 0x2,
  TYPEFLAG_FDUAL = 0x40,
  TYPEFLAG_FDISPATCHABLE = 0x1000,
};

enum : INT {
  IMPLTYPEFLAG_FDEFAULT = 0x1,
  IMPLTYPEFLAG_FSOURCE = 0x2,
};

/// A type: `vt`, or for VT_PTR the type pointed to in `lptdesc`.
struct TYPEDESC {
  const TYPEDESC* lptdesc;
  VARTYPE vt;
};
struct PARAMDESC {
  void* pparamdescex;
  USHORT wParamFlags;
};
struct ELEMDESC {
  TYPEDESC tdesc;
  PARAMDESC paramdesc;
};

struct FUNCDESC {
  MEMBERID memid;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;
  ELEMDESC* lprgelemdescParam;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
};

struct ITypeInfo : IUnknown {
  static constexpr const IID& iid = IID_ITypeInfo;

  /// Freed by ReleaseTypeAttr.
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  /// The index-th member in declaration order; TYPE_E_ELEMENTNOTFOUND past
  /// the end. Freed by ReleaseFuncDesc.
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
  /// The member's name, then its parameters' names, at most `maxNames` in
  /// all; the caller frees them. TYPE_E_ELEMENTNOTFOUND for an unknown
  /// member (and for any member of a class, which has none of its own).
  virtual HRESULT GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) = 0;
  /// The member's (or with MEMBERID_NIL the type's) name, help string, help
  /// context and help file; each output may be null. The caller frees them.
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString, DWORD* helpContext,
                                   BSTR* helpFile) = 0;
  /// As IDispatch::GetIDsOfNames, matching names without regard to case; a
  /// parameter's id is its position.
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
  /// Calls the member on `instance`, which must be the object type the
  /// description was declared for. Errors as IDispatch::Invoke.
  virtual HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) = 0;
  /// For a class: the index-th interface it implements, and its flags
  /// (IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE).
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* flags) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) = 0;
  /// The library that lists this type, and the type's index in it (either
  /// output may be null); TYPE_E_ELEMENTNOTFOUND for a type of no library.
  virtual HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) = 0;
};

}  // namespace zq::com
