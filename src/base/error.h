// The error hierarchy that every layer throws, and the helpers for the three
// moments at which an error is logged: thrown, reported, and caught.
//
// Errors are thrown by value and caught by reference to JError:
//
//   try { ... } catch (const JError& e) { logCaught(e); }
//
// JTextError and JSysError log themselves ("Exception THROW") when built;
// report() logs "Exception REPORT" with the error's own file and line;
// logCaught() logs "Exception CATCH" with the catch site's file and line. All
// three are level 10. Where an error must outlive its catch block (a link
// event carrying it to another thread), clone() makes an owned copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>

namespace zq {

class JError {
 public:
  virtual ~JError() = default;

  /// Writes the message into `buffer` of `size` bytes, always terminated.
  virtual void getMessage(char* buffer, size_t size) const = 0;

  /// An owned copy of the most derived error.
  virtual std::unique_ptr<JError> clone() const = 0;

  /// The message as getMessage gives it in a 1 024-byte buffer.
  std::string message() const;

  /// Source file (at most 255 characters) and line where the error arose.
  const char* file() const { return file_; }
  unsigned line() const { return line_; }

 protected:
  explicit JError(const std::source_location& where);
  JError(const char* file, unsigned line);
  JError(const JError&) = default;
  JError& operator=(const JError&) = default;

  /// Logs the message at level 10, category "Exception THROW", with the
  /// error's file and line: for a subclass that composes its own message, from
  /// its constructor.
  void logThrow() const;

 private:
  char file_[256];
  unsigned line_;
};

/// An error that is a text (at most 255 characters).
class JTextError : public JError {
 public:
  explicit JTextError(std::string_view text,
                      const std::source_location& where = std::source_location::current());
  JTextError(std::string_view text, const char* file, unsigned line);

  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;
  const char* text() const { return text_; }

 private:
  char text_[256];
};

/// A failed system call. The two top bits of the code say where it comes from:
/// the operating system (errno), the socket layer, wave input or wave output.
class JSysError : public JError {
 public:
  static constexpr uint32_t kOriginMask = 0xC0000000u;
  static constexpr uint32_t kSystemOrigin = 0x00000000u;
  static constexpr uint32_t kSocketTag = 0x40000000u;
  static constexpr uint32_t kWaveInTag = 0x80000000u;
  static constexpr uint32_t kWaveOutTag = 0xC0000000u;

  /// The integer tag that nearly every thrower passes.
  static constexpr int kDefaultTag = 100;

  JSysError(uint32_t code, std::string_view function, int tag = kDefaultTag,
            const std::source_location& where = std::source_location::current());

  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;

  uint32_t code() const { return code_; }
  const char* function() const { return function_; }
  int tag() const { return tag_; }

  /// The text of a tagged code, with every CR and LF removed; "unknown error"
  /// when the code's source has no text for it.
  static std::string codeText(uint32_t code);

 protected:
  // Used by subclasses that must not log a second THROW line.
  struct NoThrowLog {};
  JSysError(NoThrowLog, uint32_t code, std::string_view function, int tag,
            const std::source_location& where);

 private:
  std::string compose() const;

  uint32_t code_;
  char function_[256];
  int tag_;
};

/// A file write that failed for lack of space.
class JNoSpaceLeftError : public JSysError {
 public:
  JNoSpaceLeftError(uint32_t code, std::string_view function, int tag = kDefaultTag,
                    const std::source_location& where = std::source_location::current());
  std::unique_ptr<JError> clone() const override;
};

/// A failed native system service, identified by its status code.
class JNtDllError : public JError {
 public:
  JNtDllError(int32_t status, std::string_view function,
              const std::source_location& where = std::source_location::current());
  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;
  int32_t status() const { return status_; }

 private:
  int32_t status_;
  char function_[256];
};

/// A wait or a socket operation that did not complete in time: "Time out!".
class JTimeoutError : public JError {
 public:
  explicit JTimeoutError(int tag = JSysError::kDefaultTag,
                         const std::source_location& where = std::source_location::current());
  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;
  int tag() const { return tag_; }

 private:
  int tag_;
};

/// An error with a message of any length; a caller's buffer too small for the
/// whole message gets an empty message rather than a cut one.
class JGenericError : public JError {
 public:
  explicit JGenericError(std::string message,
                         const std::source_location& where = std::source_location::current());
  JGenericError(std::string message, const char* file, unsigned line);
  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;
  const std::string& text() const { return message_; }

 private:
  std::string message_;
};

/// A failure of the sound mixer.
class JMixerError : public JGenericError {
 public:
  using JGenericError::JGenericError;
  std::unique_ptr<JError> clone() const override;
};

/// Logs the error's message at level 10, category "Exception REPORT", with the
/// file and line where the error arose.
void report(const JError& error);

/// The catch-site helper: logs the error's message at level 10, category
/// "Exception CATCH", with the catch site's file and line.
void logCaught(const JError& error,
               const std::source_location& where = std::source_location::current());

}  // namespace zq
