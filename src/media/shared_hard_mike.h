// SharedHardMike: a local input shared by its users: a sound-card input
// captured through WinmmMike (PCM or MP3 coded here), or a capture board's
// input captured through HardMike (MP3 coded on the board), with the board's
// gain registers set from the description and its text commands passed on.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "audio/capture_board.h"
#include "media/shared_mike.h"
#include "stream/mike.h"

namespace zq {

class SharedHardMike : public SharedMike {
 public:
  /// The board command channel's reply buffer for a gain command.
  static constexpr size_t kGainReplySize = 512;
  /// The longest reply control() gives.
  static constexpr size_t kControlReplySize = 1024;

  /// Throws JTextError "invlid connector type" for a connector outside
  /// 0 ... 4 and "no pci2 was found" when a board connector's board is
  /// absent.
  SharedHardMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName);
  ~SharedHardMike() override;

  void open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t word1,
            uint32_t word2, bool noCallback) override;
  int close(int32_t& userId) override;
  /// Passes `command` to the board (empty reply for a sound-card input);
  /// a gain set here is kept for the next start of the capture.
  std::string control(std::string_view command) override;
  /// Adopts nothing: no description of this system asks for it (accessMode
  /// is never 0 or 1), so the first user's parameters stay.
  void update(const MikeDesc& desc) override;

 private:
  // Under usersMutex_: builds the capture for the stored description.
  void startCapture();
  void stopCapture();
  void sendGain(const char* registerName, int32_t gain);

  std::shared_ptr<CaptureBoard> board_;  // board connectors only
  std::unique_ptr<Mike> capture_;        // guarded by streamMutex_
};

}  // namespace zq
