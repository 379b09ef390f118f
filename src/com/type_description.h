// The static description of an interface or class, declared once as data by
// the class that implements it: its members with their DISPIDs, kinds,
// parameter names and types, help strings and the C++ member each calls.
// The one table answers ITypeInfo and drives IDispatch::Invoke, so the two
// can never disagree.
//
//   struct Sample : IDispatchImpl<Sample, ISample, kSampleType> {
//     HRESULT get_Port(LONG* port);
//     HRESULT Rehash(BSTR name, LONG* result);
//   };
//   inline constexpr JMemberDesc kSampleMembers[] = {
//     JMembers<Sample>::propertyGet<&Sample::get_Port>(
//         2, "Port", {{"Port", VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}, "property Port"),
//     JMembers<Sample>::method<&Sample::Rehash>(
//         8, "Rehash", {{"Name", VT_BSTR}, {"Result", VT_I4, PARAMFLAG_FOUT}}, "method Rehash"),
//   };
//
// A member's C++ parameters must match its declared ones: an in parameter
// takes the value type of its VARTYPE (BSTR, LONG, DOUBLE, SHORT for VT_I2
// and VT_BOOL, ...), an out parameter a pointer to it. A mismatch does not
// compile when the table is constexpr.
// Public: the control declares its interfaces with it.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <type_traits>

#include "com/type_info.h"

namespace zq::com {

constexpr size_t kMaxParams = 10;

struct JParamDesc {
  const char* name = nullptr;
  /// The value's type; for an out parameter the type written back.
  VARTYPE vt = VT_EMPTY;
  USHORT flags = PARAMFLAG_FIN;

  constexpr bool isOut() const { return (flags & PARAMFLAG_FOUT) != 0; }
  constexpr bool isRetval() const { return (flags & PARAMFLAG_FRETVAL) != 0; }
};

/// Calls the member on the object `self` (of the class the table was
/// declared for) with one VARIANT per parameter in declaration order: an in
/// parameter's value of its declared type, an out parameter's empty slot of
/// its type, which the member fills through the pointer it is given.
using JMemberThunk = HRESULT (*)(void* self, VARIANT* slots);

struct JMemberDesc {
  DISPID dispid = DISPID_UNKNOWN;
  INVOKEKIND kind = INVOKE_FUNC;
  const char* name = nullptr;
  const char* helpString = nullptr;
  std::array<JParamDesc, kMaxParams> params{};
  size_t paramCount = 0;
  /// Null for a member the description only names (an event a sink gets).
  JMemberThunk call = nullptr;

  constexpr std::span<const JParamDesc> parameters() const { return {params.data(), paramCount}; }
};

/// An interface of a class, with its IMPLTYPEFLAG_* flags.
struct JTypeDescription;
struct JTypeLibraryDescription;
struct JImplementedType {
  const JTypeDescription* type = nullptr;
  INT flags = 0;
};

struct JTypeDescription {
  const char* name = nullptr;
  GUID guid;
  /// TKIND_INTERFACE for a dual interface, TKIND_DISPATCH for a
  /// dispinterface (events), TKIND_COCLASS for a class.
  TYPEKIND kind = TKIND_INTERFACE;
  const char* helpString = nullptr;
  WORD typeFlags = 0;
  std::span<const JMemberDesc> members;
  std::span<const JImplementedType> implemented;
  /// The library that lists this type; null for a type of none.
  const JTypeLibraryDescription* library = nullptr;

  /// The first member with `dispid` callable as `kind`; null when none.
  const JMemberDesc* find(DISPID dispid, INVOKEKIND callKind) const;
  /// The first member with `dispid` of any kind; null when none.
  const JMemberDesc* find(DISPID dispid) const;
};

namespace detail {

// How a C++ parameter type takes its value from a slot VARIANT.
template <class T>
struct SlotAccess;

#define ZQ_COM_SLOT(Type, Field, ...)                                                   \
  template <>                                                                           \
  struct SlotAccess<Type> {                                                             \
    static constexpr bool out = false;                                                  \
    static constexpr bool accepts(VARTYPE vt) { return __VA_ARGS__; }                   \
    static Type get(VARIANT& v) { return v.Field; }                                     \
  };                                                                                    \
  template <>                                                                           \
  struct SlotAccess<Type*> {                                                            \
    static constexpr bool out = true;                                                   \
    static constexpr bool accepts(VARTYPE vt) { return SlotAccess<Type>::accepts(vt); } \
    static Type* get(VARIANT& v) { return &v.Field; }                                   \
  };

ZQ_COM_SLOT(LONG, lVal, vt == VT_I4 || vt == VT_INT || vt == VT_ERROR)
ZQ_COM_SLOT(ULONG, ulVal, vt == VT_UI4 || vt == VT_UINT)
ZQ_COM_SLOT(SHORT, iVal, vt == VT_I2 || vt == VT_BOOL)
ZQ_COM_SLOT(USHORT, uiVal, vt == VT_UI2)
ZQ_COM_SLOT(BYTE, bVal, vt == VT_UI1)
ZQ_COM_SLOT(CHAR, cVal, vt == VT_I1)
ZQ_COM_SLOT(LONGLONG, llVal, vt == VT_I8)
ZQ_COM_SLOT(ULONGLONG, ullVal, vt == VT_UI8)
ZQ_COM_SLOT(FLOAT, fltVal, vt == VT_R4)
ZQ_COM_SLOT(DOUBLE, dblVal, vt == VT_R8 || vt == VT_DATE)
ZQ_COM_SLOT(BSTR, bstrVal, vt == VT_BSTR)
ZQ_COM_SLOT(IDispatch*, pdispVal, vt == VT_DISPATCH)
ZQ_COM_SLOT(IUnknown*, punkVal, vt == VT_UNKNOWN)
#undef ZQ_COM_SLOT

// A VARIANT parameter takes the slot itself.
template <>
struct SlotAccess<VARIANT> {
  static constexpr bool out = false;
  static constexpr bool accepts(VARTYPE vt) { return vt == VT_VARIANT; }
  static VARIANT get(VARIANT& v) { return v; }
};
template <>
struct SlotAccess<VARIANT*> {
  static constexpr bool out = true;
  static constexpr bool accepts(VARTYPE vt) { return vt == VT_VARIANT; }
  static VARIANT* get(VARIANT& v) { return &v; }
};

template <class Fn>
struct MemberTraits;
template <class C, class... Args>
struct MemberTraits<HRESULT (C::*)(Args...)> {
  static constexpr size_t arity = sizeof...(Args);
  template <class Class, auto Fn, size_t... I>
  static HRESULT call(void* self, VARIANT* slots, std::index_sequence<I...>) {
    return (static_cast<Class*>(self)->*Fn)(SlotAccess<Args>::get(slots[I])...);
  }
  static constexpr bool matches(std::span<const JParamDesc> params) {
    if (params.size() != arity) {
      return false;
    }
    const bool outs[] = {SlotAccess<Args>::out..., false};
    bool (*const accepts[])(VARTYPE) = {&SlotAccess<Args>::accepts..., nullptr};
    for (size_t i = 0; i < arity; ++i) {
      if (outs[i] != params[i].isOut() || !accepts[i](params[i].vt)) {
        return false;
      }
    }
    return true;
  }
};

constexpr JMemberDesc describe(DISPID dispid, INVOKEKIND kind, const char* name,
                               std::initializer_list<JParamDesc> params, const char* help) {
  if (params.size() > kMaxParams) {
    throw "too many parameters";
  }
  JMemberDesc m;
  m.dispid = dispid;
  m.kind = kind;
  m.name = name;
  m.helpString = help;
  size_t retvals = 0;
  for (const JParamDesc& p : params) {
    if (p.isRetval() && !p.isOut()) {
      throw "a return value is an out parameter";
    }
    retvals += p.isRetval() ? 1 : 0;
    m.params[m.paramCount++] = p;
  }
  if (retvals > 1 || (retvals == 1 && !m.params[m.paramCount - 1].isRetval())) {
    throw "only the last parameter may be the return value";
  }
  return m;
}

}  // namespace detail

/// Member declarations bound to the members of `Class`.
template <class Class>
struct JMembers {
  template <auto Fn>
  static constexpr JMemberDesc method(DISPID dispid, const char* name,
                                      std::initializer_list<JParamDesc> params,
                                      const char* help = nullptr) {
    return bind<Fn>(detail::describe(dispid, INVOKE_FUNC, name, params, help));
  }
  /// The value is the last parameter, an out return value.
  template <auto Fn>
  static constexpr JMemberDesc propertyGet(DISPID dispid, const char* name,
                                           std::initializer_list<JParamDesc> params,
                                           const char* help = nullptr) {
    return bind<Fn>(detail::describe(dispid, INVOKE_PROPERTYGET, name, params, help));
  }
  /// The value is the last parameter, an in parameter.
  template <auto Fn>
  static constexpr JMemberDesc propertyPut(DISPID dispid, const char* name,
                                           std::initializer_list<JParamDesc> params,
                                           const char* help = nullptr) {
    return bind<Fn>(detail::describe(dispid, INVOKE_PROPERTYPUT, name, params, help));
  }

 private:
  template <auto Fn>
  static constexpr JMemberDesc bind(JMemberDesc m) {
    using Traits = detail::MemberTraits<decltype(Fn)>;
    if (!Traits::matches(m.parameters())) {
      throw "the member's C++ parameters do not match its declared parameters";
    }
    if (m.kind == INVOKE_PROPERTYGET &&
        (m.paramCount == 0 || !m.params[m.paramCount - 1].isRetval())) {
      throw "a property get returns its value in its last parameter";
    }
    if (m.kind == INVOKE_PROPERTYPUT && (m.paramCount == 0 || m.params[m.paramCount - 1].isOut())) {
      throw "a property put takes its value in its last parameter";
    }
    m.call = [](void* self, VARIANT* slots) {
      return Traits::template call<Class, Fn>(self, slots,
                                              std::make_index_sequence<Traits::arity>());
    };
    return m;
  }
};

/// A member that is only described, for a dispinterface that the runtime
/// does not implement (events, whose sinks implement Invoke themselves).
constexpr JMemberDesc describedMember(DISPID dispid, const char* name,
                                      std::initializer_list<JParamDesc> params,
                                      const char* help = nullptr) {
  return detail::describe(dispid, INVOKE_FUNC, name, params, help);
}

/// An ITypeInfo answering from `description`, which must outlive it (they
/// are static tables). Never fails but for a null `info` (E_POINTER).
HRESULT createTypeInfo(const JTypeDescription& description, ITypeInfo** info);

/// IDispatch::GetIDsOfNames answered from `description`.
HRESULT getIDsOfNames(const JTypeDescription& description, LPOLESTR* names, UINT count,
                      DISPID* ids);

/// IDispatch::Invoke driven by `description` on `instance` (of the class
/// the table was declared for): checks the kind of call, the argument count
/// and the named argument of a put, converts each argument to its declared
/// type, calls the member and hands back its out values and its return
/// value. A member's failed HRESULT, or an error it throws, is answered as
/// DISP_E_EXCEPTION with the code (E_FAIL for a thrown error) in
/// `excepInfo->scode`.
HRESULT invokeByDescription(const JTypeDescription& description, void* instance, DISPID member,
                            WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                            UINT* argErr);

}  // namespace zq::com
