// TEMPORARY core of the logging facility, to be replaced by the full one
// (registry-configured outputs). Records are dropped; the traceable registry
// and thread names work.
#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace zq {
namespace {
std::mutex& registryLock() {
  static std::mutex m;
  return m;
}
std::multimap<std::string, JTraceableObject*>& registry() {
  static std::multimap<std::string, JTraceableObject*> r;
  return r;
}
std::atomic<uint64_t> g_sequence{0};
thread_local std::string t_threadName;
}  // namespace

JTraceableObject::JTraceableObject(std::string_view name, JTraceMask* mask)
    : mask_(mask), sequence_(++g_sequence) {
  std::lock_guard lock(registryLock());
  name_ = name.empty() ? jformat("[%p]", static_cast<void*>(this)) : std::string(name);
  registry().emplace(name_, this);
}

JTraceableObject::~JTraceableObject() {
  std::lock_guard lock(registryLock());
  auto [b, e] = registry().equal_range(name_);
  for (auto it = b; it != e; ++it) {
    if (it->second == this) {
      registry().erase(it);
      break;
    }
  }
}

std::string JTraceableObject::traceName() const {
  std::lock_guard lock(registryLock());
  return name_;
}

void JTraceableObject::setTraceName(std::string_view name) {
  std::lock_guard lock(registryLock());
  auto [b, e] = registry().equal_range(name_);
  for (auto it = b; it != e; ++it) {
    if (it->second == this) {
      registry().erase(it);
      break;
    }
  }
  name_ = std::string(name);
  registry().emplace(name_, this);
}

bool JTraceableObject::traceEnabled(uint32_t bits) const {
  JTraceMask* m = traceMask();
  return m != nullptr && (m->load(std::memory_order_relaxed) & bits) != 0;
}

void JTraceableObject::trace(uint32_t bits, const char* format, ...) const {
  if (!traceEnabled(bits)) return;
  va_list args;
  va_start(args, format);
  std::string text = jvformat(format, args);
  va_end(args);
  JLog::log(kLevelTrace, text, nullptr, 0, nullptr, this);
}

bool JTraceableObject::setMaskOf(std::string_view name, uint32_t mask) {
  std::lock_guard lock(registryLock());
  bool any = false;
  auto [b, e] = registry().equal_range(std::string(name));
  for (auto it = b; it != e; ++it) {
    if (JTraceMask* m = it->second->traceMask()) {
      m->store(mask);
      any = true;
    }
  }
  return any;
}

uint32_t JTraceableObject::maskOf(std::string_view name) {
  std::lock_guard lock(registryLock());
  auto it = registry().find(std::string(name));
  if (it == registry().end() || it->second->traceMask() == nullptr) return 0;
  return it->second->traceMask()->load();
}

std::vector<JTraceableObject::Entry> JTraceableObject::list() {
  std::lock_guard lock(registryLock());
  std::vector<Entry> out;
  for (auto& [name, obj] : registry()) {
    JTraceMask* m = obj->traceMask();
    out.push_back({name, m ? m->load() : 0u, obj->sequence_});
  }
  return out;
}

void JLog::log(int, std::string_view, const char*, int, const char*, const JTraceableObject*) {}

void JLog::logf(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = jvformat(format, args);
  va_end(args);
  log(level, text, nullptr, 0, nullptr, nullptr);
}

void JLog::logTraceable(int level, const JTraceableObject* object, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = jvformat(format, args);
  va_end(args);
  log(level, text, nullptr, 0, nullptr, object);
}

void JLog::debugf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = jvformat(format, args);
  va_end(args);
  log(kLevelDebug, text, nullptr, 0, nullptr, nullptr);
}

void JLog::shutdown() {}
void JLog::reinitialise(unsigned) {}
void JLog::setDefaultFlags(unsigned) {}
void JLog::registerReceiver(std::string_view, JInProcessLogReceiver*) {}
void JLog::unregisterReceiver(std::string_view) {}
std::string JLog::currentThreadName() { return t_threadName; }
void JLog::setCurrentThreadName(std::string_view name) { t_threadName = std::string(name); }

}  // namespace zq
