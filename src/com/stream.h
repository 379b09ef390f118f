// IStream, the byte stream the control saves its properties to and the
// interface table passes interfaces through, with two implementations: in
// memory (createMemoryStream, CreateStreamOnHGlobal) and on a file
// (createFileStream). Clones share the bytes and keep their own position.
//
// Concurrency: one stream object and its clones may be used from several
// threads; each call is atomic.
// Public: hosts and the control include it.
#pragma once

#include <string>

#include "com/unknown.h"

namespace zq::com {

inline constexpr IID IID_ISequentialStream = makeGuid("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
inline constexpr IID IID_IStream = makeGuid("{0000000C-0000-0000-C000-000000000046}");

struct LARGE_INTEGER {
  LONGLONG QuadPart;
};
struct ULARGE_INTEGER {
  ULONGLONG QuadPart;
};

/// Open modes of streams and storages.
enum : DWORD {
  STGM_READ = 0x0,
  STGM_WRITE = 0x1,
  STGM_READWRITE = 0x2,
  STGM_SHARE_EXCLUSIVE = 0x10,
  STGM_CREATE = 0x1000,
  STGM_FAILIFTHERE = 0x0,
  STGM_DIRECT = 0x0,
  STGM_TRANSACTED = 0x10000,
};

enum : DWORD { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
enum : DWORD { STGTY_STORAGE = 1, STGTY_STREAM = 2 };
enum : DWORD { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1 };

struct STATSTG {
  /// Freed by the caller with CoTaskMemFree; null with STATFLAG_NONAME.
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  DWORD grfMode;
};

/// The allocator of memory that a call hands to its caller to free.
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* p);

struct ISequentialStream : IUnknown {
  static constexpr const IID& iid = IID_ISequentialStream;
  /// Reads up to `size` bytes; fewer (S_OK still) at the end.
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  /// Writes at the position, growing the stream as needed.
  /// STG_E_ACCESSDENIED on a stream opened for reading only.
  virtual HRESULT Write(const void* data, ULONG size, ULONG* written) = 0;
};

struct IStream : ISequentialStream {
  static constexpr const IID& iid = IID_IStream;
  /// STG_E_INVALIDFUNCTION for a position before the start.
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER size) = 0;
  virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                         ULARGE_INTEGER* written) = 0;
  /// Makes what was written durable (a file stream syncs).
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;
  virtual HRESULT Clone(IStream** clone) = 0;
};

/// An empty stream in memory, readable and writable.
HRESULT createMemoryStream(IStream** stream);
/// As the system call of that name: a memory stream (the handle must be null).
HRESULT CreateStreamOnHGlobal(void* handle, BOOL deleteOnRelease, IStream** stream);
/// A stream on the file at `path`: STGM_CREATE makes or empties it, without
/// it the file must exist (STG_E_FILENOTFOUND); STGM_WRITE or
/// STGM_READWRITE allow writing. STG_E_ACCESSDENIED when the system refuses.
HRESULT createFileStream(const std::string& path, DWORD mode, IStream** stream);

}  // namespace zq::com
