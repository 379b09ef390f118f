// HRESULT, the status every automation call returns, and the codes this
// runtime and the control answer with. Public: hosts compare against them.
#pragma once

#include <cstdint>

namespace zq::com {

using HRESULT = int32_t;
using SCODE = HRESULT;

/// The code with the given 32-bit pattern (the documented values are
/// written as unsigned hexadecimal).
constexpr HRESULT hresultOf(uint32_t bits) {
  return static_cast<HRESULT>(bits);
}

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr HRESULT E_NOTIMPL = hresultOf(0x80004001u);
constexpr HRESULT E_NOINTERFACE = hresultOf(0x80004002u);
constexpr HRESULT E_POINTER = hresultOf(0x80004003u);
constexpr HRESULT E_ABORT = hresultOf(0x80004004u);
constexpr HRESULT E_FAIL = hresultOf(0x80004005u);
constexpr HRESULT E_UNEXPECTED = hresultOf(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = hresultOf(0x80070005u);
constexpr HRESULT E_OUTOFMEMORY = hresultOf(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = hresultOf(0x80070057u);

constexpr HRESULT CLASS_E_NOAGGREGATION = hresultOf(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hresultOf(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = hresultOf(0x80040154u);
constexpr HRESULT REGDB_E_IIDNOTREG = hresultOf(0x80040155u);
constexpr HRESULT SELFREG_E_CLASS = hresultOf(0x80040201u);

constexpr HRESULT CONNECT_E_NOCONNECTION = hresultOf(0x80040200u);
constexpr HRESULT CONNECT_E_ADVISELIMIT = hresultOf(0x80040201u);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = hresultOf(0x80040202u);

constexpr HRESULT CO_E_NOTINITIALIZED = hresultOf(0x800401F0u);
constexpr HRESULT CO_E_OBJNOTCONNECTED = hresultOf(0x800401FDu);
constexpr HRESULT RPC_E_CHANGED_MODE = hresultOf(0x80010106u);
constexpr HRESULT RPC_E_DISCONNECTED = hresultOf(0x80010108u);
constexpr HRESULT RPC_E_WRONG_THREAD = hresultOf(0x8001010Eu);

constexpr HRESULT DISP_E_UNKNOWNINTERFACE = hresultOf(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = hresultOf(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = hresultOf(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = hresultOf(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = hresultOf(0x80020006u);
constexpr HRESULT DISP_E_NONAMEDARGS = hresultOf(0x80020007u);
constexpr HRESULT DISP_E_BADVARTYPE = hresultOf(0x80020008u);
constexpr HRESULT DISP_E_EXCEPTION = hresultOf(0x80020009u);
constexpr HRESULT DISP_E_OVERFLOW = hresultOf(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = hresultOf(0x8002000Bu);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = hresultOf(0x8002000Fu);
constexpr HRESULT DISP_E_BADPARAMCOUNT = hresultOf(0x8002000Eu);

constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = hresultOf(0x8002802Bu);

constexpr HRESULT STG_E_FILENOTFOUND = hresultOf(0x80030002u);
constexpr HRESULT STG_E_ACCESSDENIED = hresultOf(0x80030005u);
constexpr HRESULT STG_E_INVALIDFUNCTION = hresultOf(0x80030001u);
constexpr HRESULT STG_E_INVALIDPOINTER = hresultOf(0x80030009u);
constexpr HRESULT STG_E_WRITEFAULT = hresultOf(0x8003001Du);
constexpr HRESULT STG_E_READFAULT = hresultOf(0x8003001Eu);
constexpr HRESULT STG_E_FILEALREADYEXISTS = hresultOf(0x80030050u);
constexpr HRESULT STG_E_INVALIDPARAMETER = hresultOf(0x80030057u);
constexpr HRESULT STG_E_INVALIDHEADER = hresultOf(0x800300FBu);
constexpr HRESULT STG_E_INVALIDNAME = hresultOf(0x800300FCu);

}  // namespace zq::com
