// Announcer: tells the access manager a network source is fetched from that
// this output now listens to it, and later that it no longer does (the
// "notifyAudioOut" announcements an access manager lists in its statistics
// as AudioOutput...[i]). Each one goes over a short connection of its own on
// a thread of its own, so that a provider that is slow, gone, or does not
// know the request never holds up a request of the controller.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/socket.h"

namespace zq::zqoutput {

class Announcer {
 public:
  /// How this output names itself in its announcements.
  struct Output {
    std::string equipmentName;  // the machine
    std::string name;           // the output, unique on the machine
    int32_t channel = 0;
    int32_t tcpPort = 0;  // the port of its RPC service
  };

  /// `timeoutMs` bounds the connection and the answer of each announcement.
  explicit Announcer(Output self, int32_t timeoutMs = 2000);
  /// How long a closing announcer still sends what is queued.
  static constexpr int kClosingMs = 300;

  /// Withdraws from the current provider and sends what is queued, for
  /// kClosingMs at most: then the announcement under way is aborted and
  /// the rest dropped.
  ~Announcer();

  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;

  /// Listens to the access manager at host:port from now on: withdraws
  /// from the previous one, if another, then announces to this one.
  void listenTo(const std::string& host, int32_t port);
  /// Listens to no access manager: withdraws from the current one.
  void stop();

  /// Announcements answered "OK" and those that failed, so far.
  struct Counts {
    uint64_t sent = 0;
    uint64_t failed = 0;
  };
  Counts counts() const;

 private:
  struct Task {
    std::string host;
    int32_t port;
    int32_t notification;  // 0 listening, 1 no longer
  };
  void run();
  void send(const Task& task);

  const Output self_;
  const int32_t timeoutMs_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::condition_variable drained_;
  bool closing_ = false;
  bool idle_ = false;       // the worker has ended
  bool abandoned_ = false;  // closing took too long: nothing more is sent
  JSocket* inFlight_ = nullptr;  // the announcement's socket, while it lives
  std::optional<std::pair<std::string, int32_t>> current_;
  Counts counts_;
  std::thread worker_;  // last: started once the rest is built
};

}  // namespace zq::zqoutput
