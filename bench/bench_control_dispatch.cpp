// What late binding costs a host of the control, in one run, the control
// made in-process in a single-threaded apartment of the main thread:
//  1. IDispatch::Invoke of the Port property get against the early-bound
//     get_Port and the group's own getPort, and SetNetSource through Invoke
//     against the group's SetNetSource, with 1 and 10 controllers connected
//     to test AAMs on loopback: median and p99 per call, and the ratio;
//  2. the time from a link loss (a test AAM stopped on another thread) to
//     the LinkDown event run in a sink in the host's apartment.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "activex/zq_audio_output_ctrl.h"
#include "bench_args.h"
#include "com/apartment.h"
#include "com/ref_count.h"
#include "helpers/aam/test_aam.h"
#include "rpc/rpc_controller.h"

namespace {

using namespace zq::activex;
using zq::test::TestAAM;
using Clock = std::chrono::steady_clock;

// DISPIDs of the members the bench calls.
constexpr DISPID kServer = 1;
constexpr DISPID kPort = 2;
constexpr DISPID kBlocking = 3;
constexpr DISPID kRehash = 8;
constexpr DISPID kSetNetSource = 16;
constexpr DISPID kAddToGroupAndConnect = 21;
constexpr DISPID kGetStatusOf = 23;

// Property gets take a few nanoseconds, below the clock's own cost: they are
// timed in batches and each batch's mean counts as one sample.
constexpr int kGetBatch = 64;
// SetNetSource queues a command per controller; the queue is flushed (untimed)
// this often so that it never throttles the caller.
constexpr int kFlushEvery = 200;

struct Figures {
  double median = 0;
  double p99 = 0;
};

Figures figuresOf(std::vector<double> ns) {
  std::sort(ns.begin(), ns.end());
  Figures f;
  f.median = ns[ns.size() / 2];
  f.p99 = ns[std::min(ns.size() - 1, ns.size() * 99 / 100)];
  return f;
}

double nsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::nano>(b - a).count();
}

// Times `samples` batches of `batch` calls of `fn`; per-call figures.
template <class Fn>
Figures timeCalls(int samples, int batch, Fn&& fn, void (*between)(void*) = nullptr,
                  void* context = nullptr) {
  std::vector<double> ns;
  ns.reserve(static_cast<size_t>(samples));
  for (int i = 0; i < samples; ++i) {
    if (between != nullptr && i % kFlushEvery == 0) {
      between(context);
    }
    const auto start = Clock::now();
    for (int j = 0; j < batch; ++j) {
      fn();
    }
    ns.push_back(nsBetween(start, Clock::now()) / batch);
  }
  return figuresOf(std::move(ns));
}

void printRow(const char* what, const Figures& dispatch, const Figures& direct,
              const char* directName) {
  std::printf(
      "  %-34s Invoke median %8.1f ns  p99 %10.1f ns | %-22s median %8.1f ns  p99 %10.1f ns"
      " | ratio median %6.1f  p99 %6.1f\n",
      what, dispatch.median, dispatch.p99, directName, direct.median, direct.p99,
      dispatch.median / std::max(direct.median, 1e-3), dispatch.p99 / std::max(direct.p99, 1e-3));
}

// Invoke with arguments given in declaration order; a put passes its value as
// the named one.
HRESULT invoke(IDispatch* d, DISPID member, WORD flags, std::vector<VARIANT> args,
               VARIANT* result = nullptr) {
  std::reverse(args.begin(), args.end());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  if (flags == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  return d->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

VARIANT byRefLong(LONG* out) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_I4;
  v.plVal = out;
  return v;
}

// Adds a controller for 127.0.0.1:`port` through the control; its
// AddToGroupAndConnect result.
LONG addController(IDispatch* control, uint16_t port, bool blockingConnect) {
  JComVariant server("127.0.0.1");
  JComVariant portValue(static_cast<LONG>(port));
  JComVariant blocking(static_cast<LONG>(blockingConnect ? 1 : 0));
  LONG result = -99;
  if (invoke(control, kServer, DISPATCH_PROPERTYPUT, {server}) != S_OK ||
      invoke(control, kPort, DISPATCH_PROPERTYPUT, {portValue}) != S_OK ||
      invoke(control, kBlocking, DISPATCH_PROPERTYPUT, {blocking}) != S_OK ||
      invoke(control, kAddToGroupAndConnect, DISPATCH_METHOD, {byRefLong(&result)}) != S_OK) {
    return -99;
  }
  return result;
}

LONG statusOf(IDispatch* control, const std::string& name) {
  JComVariant n(name.c_str());
  LONG status = -99;
  invoke(control, kGetStatusOf, DISPATCH_METHOD, {n, byRefLong(&status)});
  return status;
}

// The control's event sink: counts the link events and stamps the time the
// last link-down ran.
class TimedSink : public zq::com::JComObject<TimedSink, IDispatch> {
 public:
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                 UINT*) override {
    if (member == DISPID_LinkDown) {
      lastDown_.store(Clock::now().time_since_epoch().count());
      downs_.fetch_add(1);
    } else if (member == DISPID_LinkUp) {
      ups_.fetch_add(1);
    }
    return S_OK;
  }
  int downs() const { return downs_.load(); }
  int ups() const { return ups_.load(); }
  Clock::time_point lastDown() const {
    return Clock::time_point(Clock::duration(lastDown_.load()));
  }

 private:
  std::atomic<int> downs_{0};
  std::atomic<int> ups_{0};
  std::atomic<Clock::rep> lastDown_{0};

 protected:
  bool queryMore(REFIID riid, void** object) override {
    if (riid == DIID__IZQAudioOutputCtrlEvents) {
      *object = static_cast<IDispatch*>(this);
      return true;
    }
    return false;
  }
};

// Pumps the apartment until `done` or `limitMs` passed.
template <class Done>
bool pumpUntil(Done&& done, int limitMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (Clock::now() > end) {
      return false;
    }
    waitApartmentMessages(5);
  }
  return true;
}

void flushGroup(void* control) {
  static_cast<IZQAudioOutputCtrl*>(control)->FlushGroup();
}

// The Invoke figures with `controllers` controllers; false when one could not be set up.
bool dispatchCosts(int controllers, int samples) {
  std::vector<std::unique_ptr<TestAAM>> aams;
  ComPtr<IZQAudioOutputCtrl> control;
  if (JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, control.putVoid()) != S_OK) {
    std::fprintf(stderr, "cannot create the control\n");
    return false;
  }
  for (int i = 0; i < controllers; ++i) {
    aams.push_back(std::make_unique<TestAAM>());
    const LONG added = addController(control.get(), aams.back()->port(), true);
    if (added != 0) {
      std::fprintf(stderr, "AddToGroupAndConnect answered %ld for controller %d\n",
                   static_cast<long>(added), i + 1);
      return false;
    }
  }
  auto& group = static_cast<JZQAudioOutputCtrl*>(control.get())->group();
  std::printf("%d controller%s connected to test AAMs on 127.0.0.1:\n", controllers,
              controllers == 1 ? "" : "s");

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT got;
  VariantInit(&got);
  LONG sink = 0;
  const Figures getInvoke = timeCalls(samples, kGetBatch, [&] {
    control->Invoke(kPort, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &got,
                    nullptr, nullptr);
    sink += got.lVal;
  });
  const Figures getVtable = timeCalls(samples, kGetBatch, [&] {
    LONG port = 0;
    control->get_Port(&port);
    sink += port;
  });
  const Figures getGroup = timeCalls(samples, kGetBatch, [&] {
    // Kept from being hoisted out of the batch.
    benchmark::ClobberMemory();
    LONG port = group.getPort();
    benchmark::DoNotOptimize(port);
    sink += port;
  });
  if (sink == 0) {
    std::fprintf(stderr, "the Port property read as 0\n");
    return false;
  }

  JComVariant proto("udp");
  JComVariant host("127.0.0.1");
  JComVariant port(static_cast<LONG>(5000));
  LONG result = -99;
  std::vector<VARIANT> args{byRefLong(&result), port, host, proto};  // reversed
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  int failures = 0;
  const Figures setInvoke = timeCalls(
      samples, 1,
      [&] {
        control->Invoke(kSetNetSource, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                        nullptr, nullptr, nullptr);
        failures += result != 0;
      },
      flushGroup, control.get());
  const Figures setGroup = timeCalls(
      samples, 1, [&] { failures += group.SetNetSource("udp", "127.0.0.1", 5000) != 0; },
      flushGroup, control.get());
  control->FlushGroup();
  if (failures != 0) {
    std::fprintf(stderr, "%d SetNetSource calls failed\n", failures);
    return false;
  }
  // Every call must have reached every AAM, or the figures are not those of
  // the whole path.
  for (const auto& aam : aams) {
    const size_t received = aam->requests("setNetSource").size();
    if (received != 2 * static_cast<size_t>(samples)) {
      std::fprintf(stderr, "an AAM received %zu setNetSource of %d\n", received, 2 * samples);
      return false;
    }
  }

  printRow("Port get (64-call batches)", getInvoke, getGroup, "group getPort");
  printRow("", getInvoke, getVtable, "early-bound get_Port");
  printRow("SetNetSource(\"udp\", host, 5000)", setInvoke, setGroup, "group SetNetSource");
  return true;
}

// The LinkDown figures over `losses` link losses of one controller; false on a time-out.
bool linkDownLatency(int losses) {
  TestAAM aam;
  ComPtr<IZQAudioOutputCtrl> control;
  if (JZQAudioOutputCtrl::create(IID_IZQAudioOutputCtrl, control.putVoid()) != S_OK) {
    return false;
  }
  ComPtr<IConnectionPoint> point;
  ComPtr<IConnectionPointContainer>::queryFrom(control.get())
      ->FindConnectionPoint(DIID__IZQAudioOutputCtrlEvents, point.put());
  auto timed = ComPtr<TimedSink>::adopt(new TimedSink);
  DWORD cookie = 0;
  if (!point || point->Advise(timed.get(), &cookie) != S_OK) {
    std::fprintf(stderr, "cannot advise the sink\n");
    return false;
  }
  const std::string name = "127.0.0.1:" + std::to_string(aam.port());
  if (addController(control.get(), aam.port(), false) != 0 ||
      !pumpUntil([&] { return timed->ups() >= 1; }, 10000)) {
    std::fprintf(stderr, "the controller did not come up\n");
    point->Unadvise(cookie);
    return false;
  }

  std::vector<double> latencyUs;
  std::vector<double> stopUs;
  bool ok = true;
  const int pingMs = static_cast<int>(zq::JRPCController::kPingPeriodMs);
  for (int i = 0; i < losses && ok; ++i) {
    // The link is found lost at the controller's next PING: the losses are
    // spread over one PING period after the (re)connection, so that the
    // figures are not those of one phase only. The wait is pumped, as a
    // host's message loop does.
    pumpUntil([] { return false; }, i * pingMs / losses);
    const int downsBefore = timed->downs();
    std::atomic<Clock::rep> lostAt{0};
    std::atomic<Clock::rep> stoppedAt{0};
    // The loss happens on another thread so that the host's thread is
    // pumping, as a host's message loop is, when the event arrives.
    std::thread stopper([&] {
      lostAt.store(Clock::now().time_since_epoch().count());
      aam.stop();
      stoppedAt.store(Clock::now().time_since_epoch().count());
    });
    ok = pumpUntil([&] { return timed->downs() > downsBefore; }, 10000);
    stopper.join();
    if (!ok) {
      std::fprintf(stderr, "no LinkDown within 10 s of loss %d\n", i + 1);
      break;
    }
    const Clock::time_point lost{Clock::duration(lostAt.load())};
    latencyUs.push_back(nsBetween(lost, timed->lastDown()) / 1000);
    stopUs.push_back(nsBetween(lost, Clock::time_point(Clock::duration(stoppedAt.load()))) / 1000);

    // Back up before the next loss: the AAM listens again and the controller
    // is told to reconnect (untimed).
    aam.restart();
    const int upsBefore = timed->ups();
    JComVariant n(name.c_str());
    LONG rehashed = -99;
    invoke(control.get(), kRehash, DISPATCH_METHOD, {n, byRefLong(&rehashed)});
    ok = pumpUntil([&] { return timed->ups() > upsBefore && statusOf(control.get(), name) == 2; },
                   10000);
    if (!ok) {
      std::fprintf(stderr, "the controller did not reconnect after loss %d\n", i + 1);
    }
  }
  point->Unadvise(cookie);
  if (latencyUs.empty()) {
    return false;
  }
  std::sort(latencyUs.begin(), latencyUs.end());
  std::sort(stopUs.begin(), stopUs.end());
  std::printf(
      "link loss to LinkDown run in the host's apartment: median %.0f us, min %.0f us, max %.0f us"
      " over %zu losses\n",
      latencyUs[latencyUs.size() / 2], latencyUs.front(), latencyUs.back(), latencyUs.size());
  std::printf(
      "  (of which the test AAM's stop took median %.0f us; the loss is noticed at the\n"
      "  controller's next PING, every %d ms: the losses come 0 to %d ms after a reconnect,\n"
      "  evenly spread)\n",
      stopUs[stopUs.size() / 2], pingMs, (losses - 1) * pingMs / losses);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "What late binding costs a host of the control, created in-process in a single-threaded\n"
      "apartment of the main thread: IDispatch::Invoke of the Port property get and of\n"
      "SetNetSource against the same reads and calls made directly, with 1 and 10 controllers\n"
      "connected to test AAMs on loopback; then the time from a link loss to the LinkDown event\n"
      "run in a sink in the host's apartment.",
      "  per controller count: median and p99 per call of Invoke and of the direct call, and\n"
      "  their ratio (Port: each sample is the mean of a batch of 64 calls; SetNetSource: one\n"
      "  call per sample, the command queues flushed untimed every 200 calls); the link loss to\n"
      "  LinkDown time: median, min, max over the losses, spread over one PING period after\n"
      "  the controller's (re)connection.",
      {{"samples", "samples of each call", 2000, 100, 100000},
       {"losses", "link losses timed (each takes some 6 s)", 7, 1, 50}});
  args.parse(argc, argv);
  const int samples = args.integer(0);
  const int losses = args.integer(1);
  zq::bench::ScratchRegistry registry;

  if (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != S_OK) {
    std::fprintf(stderr, "cannot join a single-threaded apartment\n");
    return 1;
  }
  int status = 0;
  for (const int controllers : {1, 10}) {
    if (!dispatchCosts(controllers, samples)) {
      status = 1;
      break;
    }
  }
  if (status == 0 && !linkDownLatency(losses)) {
    status = 1;
  }
  pumpApartmentMessages();
  CoUninitialize();
  return status;
}
