// JTraceableObject: named objects with their own trace masks, entered in a
// process-wide registry by name for their whole life.
#include <cstdarg>
#include <map>
#include <mutex>

#include "base/log.h"

namespace zq {
namespace {

struct TraceableRegistry {
  std::mutex mutex;
  std::multimap<std::string, JTraceableObject*, std::less<>> objects;
};

// Never destroyed: traceable objects with static storage outlive any order of
// static destruction.
TraceableRegistry& traceables() {
  static TraceableRegistry* r = new TraceableRegistry;
  return *r;
}

std::atomic<uint64_t> g_sequence{0};

void eraseEntry(TraceableRegistry& r, const std::string& name, const JTraceableObject* object) {
  auto [b, e] = r.objects.equal_range(name);
  for (auto it = b; it != e; ++it) {
    if (it->second == object) {
      r.objects.erase(it);
      return;
    }
  }
}

}  // namespace

JTraceableObject::JTraceableObject(std::string_view name, JTraceMask* mask)
    : mask_(mask), sequence_(++g_sequence) {
  TraceableRegistry& r = traceables();
  std::lock_guard lock(r.mutex);
  name_ = name.empty() ? jformat("[%p]", static_cast<void*>(this)) : std::string(name);
  r.objects.emplace(name_, this);
}

JTraceableObject::~JTraceableObject() {
  TraceableRegistry& r = traceables();
  std::lock_guard lock(r.mutex);
  eraseEntry(r, name_, this);
}

std::string JTraceableObject::traceName() const {
  std::lock_guard lock(traceables().mutex);
  return name_;
}

void JTraceableObject::setTraceName(std::string_view name) {
  TraceableRegistry& r = traceables();
  std::lock_guard lock(r.mutex);
  eraseEntry(r, name_, this);
  name_ = std::string(name);
  r.objects.emplace(name_, this);
}

bool JTraceableObject::traceEnabled(uint32_t bits) const {
  JTraceMask* m = traceMask();
  return m != nullptr && (m->load(std::memory_order_relaxed) & bits) != 0;
}

void JTraceableObject::trace(uint32_t bits, const char* format, ...) const {
  if (!traceEnabled(bits)) {
    return;
  }
  char buffer[2048];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) {
    return;
  }
  JLog::log(kLevelTrace, std::string_view(buffer, std::min<size_t>(n, sizeof buffer - 1)), nullptr,
            0, nullptr, this);
}

bool JTraceableObject::setMaskOf(std::string_view name, uint32_t mask) {
  TraceableRegistry& r = traceables();
  std::lock_guard lock(r.mutex);
  bool any = false;
  auto [b, e] = r.objects.equal_range(name);
  for (auto it = b; it != e; ++it) {
    if (JTraceMask* m = it->second->traceMask()) {
      m->store(mask);
      any = true;
    }
  }
  return any;
}

uint32_t JTraceableObject::maskOf(std::string_view name) {
  TraceableRegistry& r = traceables();
  std::lock_guard lock(r.mutex);
  auto it = r.objects.find(name);
  if (it == r.objects.end() || it->second->traceMask() == nullptr) {
    return 0;
  }
  return it->second->traceMask()->load();
}

std::vector<JTraceableObject::Entry> JTraceableObject::list() {
  TraceableRegistry& r = traceables();
  std::lock_guard lock(r.mutex);
  std::vector<Entry> out;
  out.reserve(r.objects.size());
  for (const auto& [name, object] : r.objects) {
    JTraceMask* m = object->traceMask();
    out.push_back({name, m != nullptr ? m->load() : 0u, object->sequence_});
  }
  return out;
}

}  // namespace zq
