// The announcements of an output to the access managers it listens to.
#include "zqoutput/announcer.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/error.h"
#include "base/log.h"
#include "net/inet_addr.h"
#include "net/tcp_socket.h"
#include "rpc/line_io.h"
#include "rpc/params.h"

namespace zq::zqoutput {

Announcer::Announcer(Output self, int32_t timeoutMs)
    : self_(std::move(self)), timeoutMs_(timeoutMs), worker_([this] { run(); }) {}

Announcer::~Announcer() {
  stop();
  std::unique_lock lock(mutex_);
  closing_ = true;
  wake_.notify_all();
  // What is queued goes if it goes at once; a provider that does not answer
  // must not hold up the program's stop: the announcement under way is then
  // aborted, and the rest dropped.
  if (!drained_.wait_for(lock, std::chrono::milliseconds(kClosingMs), [this] { return idle_; })) {
    abandoned_ = true;
    if (inFlight_ != nullptr) {
      inFlight_->close();
    }
  }
  lock.unlock();
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
    if (tasks_.empty() || abandoned_) {
      idle_ = true;
      drained_.notify_all();
      return;  // closing, and everything sent or given up
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
  try {
    JLineIO link(std::make_unique<JTCPSocket>());
    auto& socket = static_cast<JTCPSocket&>(*link.socket());
    socket.setConnectTimeout(timeoutMs_);
    socket.setWriteTimeout(timeoutMs_);
    socket.setReadTimeout(timeoutMs_);
    // Published while it lives, so that a closing announcer can abort it.
    struct Publish {
      Announcer& self;
      ~Publish() {
        std::lock_guard lock(self.mutex_);
        self.inFlight_ = nullptr;
      }
    } published{*this};
    {
      std::lock_guard lock(mutex_);
      if (abandoned_) {
        throw JTextError("the output is stopping");
      }
      inFlight_ = &socket;
    }
    socket.connect(JInetAddr(task.host, static_cast<uint16_t>(task.port)));
    JParams request;
    request.set("notification", task.notification);
    request.set("equipmentName", self_.equipmentName);
    request.set("equipmentAddress", socket.localAddress().hostText());
    request.set("audioOutputName", self_.name);
    request.set("audioOutputChannel", self_.channel);
    request.set("audioOutputTcpPort", self_.tcpPort);
    link.writeLine("notifyAudioOut(" + request.toString() + ")");
    std::string_view answer;
    if (!link.readLine(answer)) {
      throw JTextError("the connection closed before the answer");
    }
    if (!answer.starts_with("OK")) {
      throw JTextError(std::string(answer));
    }
    sent = true;
  } catch (const JError& e) {
    // Not every provider lists its outputs; the stream is served all the same.
    JLog::logf(kLevelInfo, "zqoutput: could not tell %s:%d that %s %s: %s", task.host.c_str(),
               task.port, self_.name.c_str(),
               task.notification == 0 ? "listens" : "no longer listens", e.message().c_str());
  }
  std::lock_guard lock(mutex_);
  ++(sent ? counts_.sent : counts_.failed);
}

}  // namespace zq::zqoutput
