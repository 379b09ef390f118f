// The list of capture boards present in the process.
#include "audio/capture_board.h"

#include <map>
#include <mutex>

namespace zq {

namespace {

std::mutex& boardsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<int, std::shared_ptr<CaptureBoard>>& boards() {
  static std::map<int, std::shared_ptr<CaptureBoard>> list;
  return list;
}

}  // namespace

std::shared_ptr<CaptureBoard> findCaptureBoard(int number) {
  std::lock_guard lock(boardsMutex());
  const auto it = boards().find(number);
  return it == boards().end() ? nullptr : it->second;
}

void registerCaptureBoard(std::shared_ptr<CaptureBoard> board) {
  std::lock_guard lock(boardsMutex());
  const int number = board->number();
  boards()[number] = std::move(board);
}

void unregisterCaptureBoard(int number) {
  std::lock_guard lock(boardsMutex());
  boards().erase(number);
}

}  // namespace zq
