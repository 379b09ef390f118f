// Error texts: operating-system messages, the socket table, wave errors.
#include "base/error_text.h"

#include <cstring>
#include <iterator>

namespace zq {
namespace {

struct CodeText {
  uint32_t code;
  const char* text;
};

// The socket error table: one entry per socket error number the system knows,
// keyed by the tagged code.
constexpr uint32_t kTag = 0x40000000u;
constexpr CodeText kSocketTexts[] = {
    {kTag + 0, "The operation completed successfully"},
    {kTag + 10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall"},
    {kTag + 10009, "The file handle supplied is not valid"},
    {kTag + 10013, "An attempt was made to access a socket in a way forbidden by its access permissions"},
    {kTag + 10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call"},
    {kTag + 10022, "An invalid argument was supplied"},
    {kTag + 10024, "Too many open sockets"},
    {kTag + 10035, "A non-blocking socket operation could not be completed immediately"},
    {kTag + 10036, "A blocking operation is currently executing"},
    {kTag + 10037, "An operation was attempted on a non-blocking socket that already had an operation in progress"},
    {kTag + 10038, "An operation was attempted on something that is not a socket"},
    {kTag + 10039, "A required address was omitted from an operation on a socket"},
    {kTag + 10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram into was smaller than the datagram itself"},
    {kTag + 10041, "A protocol was specified in the socket function call that does not support the semantics of the socket type requested"},
    {kTag + 10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call"},
    {kTag + 10043, "The requested protocol has not been configured into the system, or no implementation for it exists"},
    {kTag + 10044, "The support for the specified socket type does not exist in this address family"},
    {kTag + 10045, "The attempted operation is not supported for the type of object referenced"},
    {kTag + 10046, "The protocol family has not been configured into the system or no implementation for it exists"},
    {kTag + 10047, "An address incompatible with the requested protocol was used"},
    {kTag + 10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted"},
    {kTag + 10049, "The requested address is not valid in its context"},
    {kTag + 10050, "A socket operation encountered a dead network"},
    {kTag + 10051, "A socket operation was attempted to an unreachable network"},
    {kTag + 10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress"},
    {kTag + 10053, "An established connection was aborted by the software in your host machine"},
    {kTag + 10054, "An existing connection was forcibly closed by the remote host"},
    {kTag + 10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full"},
    {kTag + 10056, "A connect request was made on an already connected socket"},
    {kTag + 10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied"},
    {kTag + 10058, "A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call"},
    {kTag + 10059, "Too many references to some kernel object"},
    {kTag + 10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond"},
    {kTag + 10061, "No connection could be made because the target machine actively refused it"},
    {kTag + 10062, "Cannot translate name"},
    {kTag + 10063, "Name component or name was too long"},
    {kTag + 10064, "A socket operation failed because the destination host was down"},
    {kTag + 10065, "A socket operation was attempted to an unreachable host"},
    {kTag + 10066, "Cannot remove a directory that is not empty"},
    {kTag + 10067, "A Windows Sockets implementation may have a limit on the number of applications that may use it simultaneously"},
    {kTag + 10068, "Ran out of quota"},
    {kTag + 10069, "Ran out of disk quota"},
    {kTag + 10070, "File handle reference is no longer available"},
    {kTag + 10071, "Item is not available locally"},
    {kTag + 10091, "WSAStartup cannot function at this time because the underlying system it uses to provide network services is currently unavailable"},
    {kTag + 10092, "The Windows Sockets version requested is not supported"},
    {kTag + 10093, "Either the application has not called WSAStartup, or WSAStartup failed"},
    {kTag + 10101, "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful shutdown sequence"},
    {kTag + 10102, "No more results can be returned by WSALookupServiceNext"},
    {kTag + 10103, "A call to WSALookupServiceEnd was made while this call was still processing. The call has been canceled"},
    {kTag + 10104, "The procedure call table is invalid"},
    {kTag + 10105, "The requested service provider is invalid"},
    {kTag + 10106, "The requested service provider could not be loaded or initialized"},
    {kTag + 10107, "A system call that should never fail has failed"},
    {kTag + 10108, "No such service is known. The service cannot be found in the specified name space"},
    {kTag + 10109, "The specified class was not found"},
    {kTag + 10110, "No more results can be returned by WSALookupServiceNext"},
    {kTag + 10111, "A call to WSALookupServiceEnd was made while this call was still processing. The call has been canceled"},
    {kTag + 10112, "A database query failed because it was actively refused"},
    {kTag + 11001, "No such host is known"},
    {kTag + 11002, "This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server"},
    {kTag + 11003, "A non-recoverable error occurred during a database lookup"},
    {kTag + 11004, "The requested name is valid, but no data of the requested type was found"},
    {kTag + 11005, "At least one reserve has arrived"},
    {kTag + 11006, "At least one path has arrived"},
    {kTag + 11007, "There are no senders"},
    {kTag + 11008, "There are no receivers"},
    {kTag + 11009, "Reserve has been confirmed"},
    {kTag + 11010, "Error due to lack of resources"},
    {kTag + 11011, "Rejected for administrative reasons - bad credentials"},
    {kTag + 11012, "Unknown or conflicting style"},
    {kTag + 11013, "Problem with some part of the filterspec or providerspecific buffer in general"},
    {kTag + 11014, "Problem with some part of the flowspec"},
    {kTag + 11015, "General QOS error"},
};
static_assert(std::size(kSocketTexts) == 74);

// Wave device error numbers: the general multimedia errors (0..21) and the
// wave-specific ones (32..35).
constexpr CodeText kWaveCommonTexts[] = {
    {0, "The operation completed successfully."},
    {1, "An unspecified error has occurred."},
    {2, "The device identifier is out of range."},
    {3, "The driver failed to enable."},
    {4, "The device is already allocated."},
    {5, "The device handle is invalid."},
    {6, "No device driver is present."},
    {7, "Unable to allocate or lock memory."},
    {8, "The function is not supported."},
    {9, "The error number is out of range."},
    {10, "An invalid flag was passed to a system function."},
    {11, "An invalid parameter was passed to a system function."},
    {12, "The handle is being used simultaneously on another thread."},
    {13, "The specified alias was not found."},
    {14, "The configuration database is corrupt."},
    {15, "The specified configuration key was not found."},
    {16, "The configuration data could not be read."},
    {17, "The configuration data could not be written."},
    {18, "The configuration data could not be deleted."},
    {19, "The configuration value was not found."},
    {20, "The driver did not generate a valid callback."},
    {21, "More data is available."},
    {32, "The wave format is not supported."},
    {34, "The wave header was not prepared."},
    {35, "The device is synchronous and cannot be opened without the WAVE_ALLOWSYNC flag."},
};

std::string_view find(const CodeText* begin, const CodeText* end, uint32_t code) {
  for (const CodeText* it = begin; it != end; ++it) {
    if (it->code == code) {
      return it->text;
    }
  }
  return {};
}

std::string_view waveText(uint32_t code, const char* stillBusyText) {
  const uint32_t low = code & 0xFFFFu;
  if (low == 33) {
    return stillBusyText;
  }
  return find(std::begin(kWaveCommonTexts), std::end(kWaveCommonTexts), low);
}

}  // namespace

std::string_view systemErrorText(uint32_t code) {
  // strerrordesc_np gives the English text whatever the locale, and nothing
  // for numbers the system does not know.
  const char* text = ::strerrordesc_np(static_cast<int>(code));
  return text != nullptr ? std::string_view(text) : std::string_view();
}

std::string_view socketErrorText(uint32_t taggedCode) {
  const std::string_view text =
      find(std::begin(kSocketTexts), std::end(kSocketTexts), taggedCode);
  return text.empty() ? std::string_view("Unknown socket error") : text;
}

std::string_view waveInErrorText(uint32_t code) {
  return waveText(code, "The device is still recording.");
}

std::string_view waveOutErrorText(uint32_t code) {
  return waveText(code, "The device is still playing.");
}

}  // namespace zq
