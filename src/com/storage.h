// IStorage, a tree of named streams and storages in which a host keeps the
// control's saved state ("Contents"). In memory (createMemoryStorage) or in
// one file (createFileStorage, openFileStorage), written whole and atomically
// (a new file renamed over the old) at each Commit and when the last
// reference to the root of a writable file storage goes.
//
// Names are 1 to 31 UTF-16 units without '/', '\', ':' or '!'.
// Concurrency: the storages and streams of one tree may be used from
// several threads; each call is atomic.
// Public: hosts include it.
#pragma once

#include <string>

#include "com/stream.h"

namespace zq::com {

inline constexpr IID IID_IStorage = makeGuid("{0000000B-0000-0000-C000-000000000046}");

struct IStorage : IUnknown {
  static constexpr const IID& iid = IID_IStorage;

  /// STG_E_FILEALREADYEXISTS when the name is taken and `mode` lacks
  /// STGM_CREATE (with it, the element is replaced).
  virtual HRESULT CreateStream(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                               IStream** stream) = 0;
  /// STG_E_FILENOTFOUND when there is no stream of that name.
  virtual HRESULT OpenStream(const OLECHAR* name, void* reserved1, DWORD mode, DWORD reserved2,
                             IStream** stream) = 0;
  virtual HRESULT CreateStorage(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                IStorage** storage) = 0;
  virtual HRESULT OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, void* exclude,
                              DWORD reserved, IStorage** storage) = 0;
  virtual HRESULT DestroyElement(const OLECHAR* name) = 0;
  virtual HRESULT RenameElement(const OLECHAR* oldName, const OLECHAR* newName) = 0;
  /// Writes a file storage's whole tree; nothing to do in memory.
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;
};

HRESULT createMemoryStorage(IStorage** storage);
/// A new empty storage for the file at `path` (written at Commit): with
/// STGM_CREATE an existing file is replaced, without it
/// STG_E_FILEALREADYEXISTS.
HRESULT createFileStorage(const std::string& path, DWORD mode, IStorage** storage);
/// The storage saved in the file at `path`: STG_E_FILENOTFOUND when there is
/// none, STG_E_INVALIDHEADER when the file is not a storage or is cut.
HRESULT openFileStorage(const std::string& path, DWORD mode, IStorage** storage);

}  // namespace zq::com
