// JZQAudioOutputCtrl, the control object: the dual interface IZQAudioOutputCtrl
// over the one AudioOutputControllerGroup it owns, the LinkUp/LinkDown events
// fired from the controllers' event threads into each sink's apartment,
// persistence of its four connection properties, and the container
// interfaces a host queries. Almost no logic of its own: each member converts
// its arguments and forwards to the group.
//
// Concurrency: automation calls arrive on the thread that created the
// control (apartment-threaded); link events arrive on controllers' event
// threads and are fired from there through the interface table.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "activex/ole_interfaces.h"
#include "activex/zq_atlcom_ext.h"
#include "activex/zq_audio_output_ctrl_interface.h"
#include "com/class_info.h"
#include "com/connection_point.h"
#include "com/persist.h"
#include "com/type_lib.h"
#include "control/audio_output_controller_group.h"

namespace zq::activex {

class JZQAudioOutputCtrl;
extern const JTypeDescription kIZQAudioOutputCtrlType;
extern const JTypeDescription kIZQAudioOutputCtrlEventsType;
extern const JTypeDescription kZQAudioOutputCtrlClassType;
/// ZQAUDIOOUTPUTCONTROLLERLib: the three types above, in that order.
extern const JTypeLibraryDescription kZQAudioOutputControllerLib;

/// Version word at the head of a saved property stream.
constexpr uint32_t kPersistVersion = 0x300;
/// The natural extent, 25 x 25 pixels, in HIMETRIC at 96 pixels per inch.
constexpr LONG kNaturalExtentPixels = 25;
constexpr LONG pixelsToHimetric(LONG pixels) {
  return (2540 * pixels + 48) / 96;
}
/// The toolbox bitmap: 16 x 16 pixels, 0x00RRGGBB.
constexpr int kBitmapSize = 16;
const uint32_t* toolboxBitmap();

class JZQAudioOutputCtrl final
    : public IZQDispatchImpl<JZQAudioOutputCtrl, IZQAudioOutputCtrl, kIZQAudioOutputCtrlType>,
      public IZQControlEventsLog<JZQAudioOutputCtrl, kIZQAudioOutputCtrlEventsType>,
      public IPersistStreamInit,
      public IOleControl,
      public IOleObject,
      public IOleInPlaceActiveObject,
      public IViewObjectEx,
      public IOleInPlaceObjectWindowless,
      public ISupportErrorInfo,
      public JConnectionPointContainer,
      public IPersistStorage,
      public ISpecifyPropertyPages,
      public IQuickActivate,
      public IDataObject,
      public IProvideClassInfo2,
      public IObjectSafety,
      public AudioOutputControllerGroup::NotifyTarget {
 public:
  static constexpr const char* runtimeName = "class JZQAudioOutputCtrl";

  /// Creates a control (FinalConstruct done) and gives its interface `riid`:
  /// what the class factory does.
  static HRESULT create(REFIID riid, void** object);

  JZQAudioOutputCtrl(const JZQAudioOutputCtrl&) = delete;
  JZQAudioOutputCtrl& operator=(const JZQAudioOutputCtrl&) = delete;

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IZQAudioOutputCtrl
  HRESULT get_Server(BSTR* hostname) override;
  HRESULT put_Server(BSTR hostname) override;
  HRESULT get_Port(LONG* port) override;
  HRESULT put_Port(LONG port) override;
  HRESULT get_Blocking(LONG* blocking) override;
  HRESULT put_Blocking(LONG blocking) override;
  HRESULT get_TimeOut(LONG* timeOut) override;
  HRESULT put_TimeOut(LONG timeOut) override;
  HRESULT Rehash(BSTR name, LONG* result) override;
  HRESULT GetId(LONG* id) override;
  HRESULT SetFileSource(BSTR fileSource) override;
  HRESULT SetHardSource(LONG cardNumber, BSTR connector, LONG* result) override;
  HRESULT SetParams(BSTR params) override;
  HRESULT ExtractInteger(BSTR parameter, BSTR params, LONG* value) override;
  HRESULT ExtractBoolean(BSTR parameter, BSTR params, LONG* value) override;
  HRESULT SetNetSource(BSTR proto, BSTR host, LONG port, LONG* result) override;
  HRESULT OpenLocalAAM(LONG port, BSTR connector, LONG board, LONG targetRate, BSTR id,
                       LONG* result) override;
  HRESULT CloseLocalAAM() override;
  HRESULT get_LocalAAMPort(LONG* localPort) override;
  HRESULT get_LocalAAMBoard(LONG* localBoard) override;
  HRESULT AddToGroupAndConnect(LONG* result) override;
  HRESULT DeleteFromGroup(BSTR name, LONG* result) override;
  HRESULT GetStatusOf(BSTR name, LONG* result) override;
  HRESULT RehashGroup() override;
  HRESULT ResetGroup() override;
  HRESULT GetParamsOf(BSTR name, BSTR* params) override;
  HRESULT SetParamsOf(BSTR name, BSTR params, LONG* result) override;
  HRESULT ResetSource() override;
  HRESULT SetLocalAAM_UdpConfig(LONG available, LONG ofInterface, LONG precedence, LONG sourcePort,
                                LONG mtu, LONG* result) override;
  HRESULT SetLocalAAM_AtmConfig(LONG available, LONG multicast, BSTR qos, LONG ofInterface,
                                LONG chunk, LONG* result) override;
  HRESULT SetLocalAAM_IpmConfig(LONG available, LONG ofInterface, LONG precedence, BSTR addr,
                                LONG port, LONG ttl, LONG mtu, LONG* result) override;
  HRESULT StreamFiles(BSTR files, LONG looping, LONG* result) override;
  HRESULT StreamMic(LONG* result) override;
  HRESULT GetStatOf(BSTR name, BSTR* params) override;
  HRESULT FlushGroup() override;
  HRESULT ExtractString(BSTR parameter, BSTR params, BSTR* value) override;
  HRESULT ExtractNumber(BSTR parameter, BSTR params, DOUBLE* value) override;

  // IPersist, IPersistStreamInit, IPersistStorage
  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT IsDirty() override;
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, BOOL clearDirty) override;
  HRESULT GetSizeMax(ULARGE_INTEGER* size) override;
  HRESULT InitNew() override;
  HRESULT InitNew(IStorage* storage) override;
  HRESULT Load(IStorage* storage) override;
  HRESULT Save(IStorage* storage, BOOL sameAsLoad) override;
  HRESULT SaveCompleted(IStorage* storage) override;
  HRESULT HandsOffStorage() override;

  // IOleControl, IOleObject, IOleInPlaceActiveObject, IViewObjectEx,
  // IOleInPlaceObjectWindowless, ISpecifyPropertyPages, IQuickActivate,
  // IDataObject
  HRESULT OnAmbientPropertyChange(DISPID dispid) override;
  HRESULT FreezeEvents(BOOL freeze) override;
  HRESULT GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT GetUserClassID(CLSID* clsid) override;
  HRESULT Close(DWORD saveOption) override;
  HRESULT EnableModeless(BOOL enable) override;
  HRESULT Draw(DWORD aspect, const RECTL* bounds, JPixelBuffer* target) override;
  HRESULT InPlaceDeactivate() override;
  HRESULT GetPageCount(ULONG* count) override;
  HRESULT SetContentExtent(SIZEL* size) override;
  HRESULT GetContentExtent(SIZEL* size) override;
  HRESULT QueryGetData(void* format) override;

  // ISupportErrorInfo, IProvideClassInfo2, IObjectSafety
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;
  HRESULT GetClassInfo(ITypeInfo** info) override;
  HRESULT GetGUID(DWORD kind, GUID* guid) override;
  HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

  /// The event connection point (for diagnostics and tests).
  JConnectionPoint& eventsPoint() { return events_; }
  /// The group the members forward to.
  AudioOutputControllerGroup& group() { return *group_; }

  /// The link notifications, on a controller's event thread: fire LinkUp and
  /// LinkDown into each sink's apartment.
  void linkUp(const std::string& name) override;
  void linkDown(const std::string& name, JError* error) override;

 protected:
  std::span<JConnectionPoint* const> connectionPoints() override { return points_; }

 private:
  JZQAudioOutputCtrl();
  ~JZQAudioOutputCtrl() override;
  void finalConstruct();
  void finalRelease();
  void fireLinkUp(BSTR name);
  void fireLinkDown(BSTR name, BSTR textError);

  // The group under groupMutex_ for one expression.
  struct LockedGroup {
    std::unique_lock<std::mutex> lock;
    AudioOutputControllerGroup* group;
    AudioOutputControllerGroup* operator->() const { return group; }
  };
  LockedGroup lockedGroup();

  std::atomic<ULONG> refs_{1};
  // The points live inside the control, whose references they share.
  JConnectionPoint events_;
  JConnectionPoint propertyNotify_;
  JConnectionPoint* const points_[2] = {&events_, &propertyNotify_};
  SIZEL extent_;
  bool dirty_ = false;
  DWORD safetyEnabled_ = 0;
  // Set at final release: link events arriving while the group goes are not
  // fired any more.
  std::atomic<bool> closing_{false};
  // Held by whoever uses the group's state: a member on the host thread, or
  // the worker that runs a member that may wait for a controller's thread.
  std::mutex groupMutex_;
  std::unique_ptr<AudioOutputControllerGroup> group_;
};

/// The stream that GetId handed out under `id`, taken out of the
/// control's keeping (the caller releases it, usually through
/// CoGetInterfaceAndReleaseStream); null for an unknown or taken id.
/// Ids are 32-bit and this process has 64-bit addresses, so GetId gives
/// the stream a number instead of its address.
IStream* takeInterfaceStream(LONG id);

}  // namespace zq::activex
