// The announcements of an output to the access managers it listens to.
#include "zqoutput/announcer.h"

#include <optional>
#include <string>
#include <utility>

#include "base/error.h"
#include "base/log.h"
#include "net/inet_addr.h"
#include "rpc/params.h"
#include "rpc/rpc_client.h"

namespace zq::zqoutput {

Announcer::Announcer(Output self, int32_t timeoutMs)
    : self_(std::move(self)), timeoutMs_(timeoutMs), worker_([this] { run(); }) {}

Announcer::~Announcer() {
  stop();
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void Announcer::listenTo(const std::string& host, int32_t port) {
  std::lock_guard lock(mutex_);
  if (current_ && *current_ == std::pair(host, port)) {
    return;
  }
  if (current_) {
    tasks_.push_back({current_->first, current_->second, 1});
  }
  current_.emplace(host, port);
  tasks_.push_back({host, port, 0});
  wake_.notify_all();
}

void Announcer::stop() {
  std::lock_guard lock(mutex_);
  if (current_) {
    tasks_.push_back({current_->first, current_->second, 1});
    current_.reset();
    wake_.notify_all();
  }
}

Announcer::Counts Announcer::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void Announcer::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
    if (tasks_.empty()) {
      return;  // closing, and everything sent
    }
    const Task task = tasks_.front();
    tasks_.pop_front();
    lock.unlock();
    send(task);
    lock.lock();
  }
}

void Announcer::send(const Task& task) {
  bool sent = false;
  // No retry and no supervisor: one connection, one request, one answer.
  std::optional<JRPCClient> client;
  try {
    client.emplace(task.host, task.port, timeoutMs_, timeoutMs_, false, true, 0, 0, false);
    JInetAddr local;
    JParams request;
    request.set("notification", task.notification);
    request.set("equipmentName", self_.equipmentName);
    request.set("equipmentAddress",
                client->connectionLocalAddress(local) ? local.hostText() : std::string());
    request.set("audioOutputName", self_.name);
    request.set("audioOutputChannel", self_.channel);
    request.set("audioOutputTcpPort", self_.tcpPort);
    client->call("notifyAudioOut", request.toString(), timeoutMs_);
    sent = true;
  } catch (const JError& e) {
    // Not every provider lists its outputs; the stream is served all the same.
    JLog::logf(kLevelInfo, "zqoutput: could not tell %s:%d that %s %s: %s", task.host.c_str(),
               task.port, self_.name.c_str(),
               task.notification == 0 ? "listens" : "no longer listens", e.message().c_str());
  }
  if (client) {
    client->shutdown();
  }
  std::lock_guard lock(mutex_);
  ++(sent ? counts_.sent : counts_.failed);
}

}  // namespace zq::zqoutput
