// IZQAudioOutputCtrl, the control's dual interface, with the identities of
// its type library, its class and its event dispinterface. What a host
// includes to call the control early-bound; late-bound callers use
// IDispatch and the type information alone.
#pragma once

#include "com/dispatch.h"

namespace zq::activex {

using namespace zq::com;

inline constexpr GUID LIBID_ZQAUDIOOUTPUTCONTROLLERLib =
    makeGuid("{FD291BDF-E161-444B-A24D-0A5C31564EE6}");
inline constexpr IID IID_IZQAudioOutputCtrl = makeGuid("{232B42FD-A8E5-4691-A9E9-808FE2CBCA74}");
inline constexpr IID DIID__IZQAudioOutputCtrlEvents =
    makeGuid("{ED084A2B-E3D1-4DD4-95BB-51244C06F0DC}");
inline constexpr CLSID CLSID_ZQAudioOutputCtrl = makeGuid("{EF82A84C-2CB5-4738-8968-2A757693A44A}");

/// DISPIDs of the events.
enum : DISPID { DISPID_LinkUp = 1, DISPID_LinkDown = 2 };

/// Every method answers S_OK; results come back in the out parameters.
struct IZQAudioOutputCtrl : IDispatch {
  static constexpr const IID& iid = IID_IZQAudioOutputCtrl;
  static constexpr const char* runtimeName = "struct IZQAudioOutputCtrl";

  virtual HRESULT get_Server(BSTR* hostname) = 0;
  virtual HRESULT put_Server(BSTR hostname) = 0;
  virtual HRESULT get_Port(LONG* port) = 0;
  virtual HRESULT put_Port(LONG port) = 0;
  virtual HRESULT get_Blocking(LONG* blocking) = 0;
  virtual HRESULT put_Blocking(LONG blocking) = 0;
  virtual HRESULT get_TimeOut(LONG* timeOut) = 0;
  virtual HRESULT put_TimeOut(LONG timeOut) = 0;
  virtual HRESULT Rehash(BSTR name, LONG* result) = 0;
  virtual HRESULT GetId(LONG* id) = 0;
  virtual HRESULT SetFileSource(BSTR fileSource) = 0;
  virtual HRESULT SetHardSource(LONG cardNumber, BSTR connector, LONG* result) = 0;
  virtual HRESULT SetParams(BSTR params) = 0;
  virtual HRESULT ExtractInteger(BSTR parameter, BSTR params, LONG* value) = 0;
  virtual HRESULT ExtractBoolean(BSTR parameter, BSTR params, LONG* value) = 0;
  virtual HRESULT SetNetSource(BSTR proto, BSTR host, LONG port, LONG* result) = 0;
  virtual HRESULT OpenLocalAAM(LONG port, BSTR connector, LONG board, LONG targetRate, BSTR id,
                               LONG* result) = 0;
  virtual HRESULT CloseLocalAAM() = 0;
  virtual HRESULT get_LocalAAMPort(LONG* localPort) = 0;
  virtual HRESULT get_LocalAAMBoard(LONG* localBoard) = 0;
  virtual HRESULT AddToGroupAndConnect(LONG* result) = 0;
  virtual HRESULT DeleteFromGroup(BSTR name, LONG* result) = 0;
  virtual HRESULT GetStatusOf(BSTR name, LONG* result) = 0;
  virtual HRESULT RehashGroup() = 0;
  virtual HRESULT ResetGroup() = 0;
  virtual HRESULT GetParamsOf(BSTR name, BSTR* params) = 0;
  virtual HRESULT SetParamsOf(BSTR name, BSTR params, LONG* result) = 0;
  virtual HRESULT ResetSource() = 0;
  virtual HRESULT SetLocalAAM_UdpConfig(LONG available, LONG ofInterface, LONG precedence,
                                        LONG sourcePort, LONG mtu, LONG* result) = 0;
  virtual HRESULT SetLocalAAM_AtmConfig(LONG available, LONG multicast, BSTR qos, LONG ofInterface,
                                        LONG chunk, LONG* result) = 0;
  virtual HRESULT SetLocalAAM_IpmConfig(LONG available, LONG ofInterface, LONG precedence,
                                        BSTR addr, LONG port, LONG ttl, LONG mtu, LONG* result) = 0;
  virtual HRESULT StreamFiles(BSTR files, LONG looping, LONG* result) = 0;
  virtual HRESULT StreamMic(LONG* result) = 0;
  virtual HRESULT GetStatOf(BSTR name, BSTR* params) = 0;
  virtual HRESULT FlushGroup() = 0;
  virtual HRESULT ExtractString(BSTR parameter, BSTR params, BSTR* value) = 0;
  virtual HRESULT ExtractNumber(BSTR parameter, BSTR params, DOUBLE* value) = 0;
};

}  // namespace zq::activex
