// ITypeInfo over a static JTypeDescription, and the Invoke and
// GetIDsOfNames that the same description drives.
#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <string>

#include "base/error.h"
#include "com/ref_count.h"
#include "com/type_description.h"
#include "com/type_lib.h"

namespace zq::com {
namespace {

bool sameNameNoCase(const char* declared, LPOLESTR asked) {
  if (declared == nullptr || asked == nullptr) {
    return false;
  }
  const std::string name = utf8FromUtf16(asked);
  if (name.size() != std::char_traits<char>::length(declared)) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) !=
        std::tolower(static_cast<unsigned char>(declared[i]))) {
      return false;
    }
  }
  return true;
}

BSTR bstrOrNull(const char* text) {
  return text == nullptr ? nullptr : bstrFromString(text);
}

// One allocation for a FUNCDESC and everything it points to, so that
// ReleaseFuncDesc is one delete.
struct FuncDescBlock {
  FUNCDESC desc;
  ELEMDESC params[kMaxParams];
  TYPEDESC pointees[kMaxParams];
};
static_assert(std::is_standard_layout_v<FuncDescBlock>);

INVOKEKIND kindOfCall(WORD flags) {
  if ((flags & DISPATCH_PROPERTYPUT) != 0) {
    return INVOKE_PROPERTYPUT;
  }
  if ((flags & DISPATCH_PROPERTYPUTREF) != 0) {
    return INVOKE_PROPERTYPUTREF;
  }
  return (flags & DISPATCH_METHOD) != 0 ? INVOKE_FUNC : INVOKE_PROPERTYGET;
}

void fillException(EXCEPINFO* info, const JTypeDescription& type, HRESULT code,
                   const std::string& description) {
  if (info == nullptr) {
    return;
  }
  *info = EXCEPINFO{};
  info->bstrSource = bstrOrNull(type.name);
  info->bstrDescription = bstrFromString(description);
  info->scode = code;
}

// Moves an out value from its slot into the caller's by-reference argument,
// freeing what that held.
HRESULT storeOut(VARIANT& slot, VARIANT& target) {
  if (target.vt == (VT_BYREF | VT_VARIANT)) {
    VariantClear(target.pvarVal);
    *target.pvarVal = slot;
    VariantInit(&slot);
    return S_OK;
  }
  switch (slot.vt) {
    case VT_BSTR:
      SysFreeString(*target.pbstrVal);
      *target.pbstrVal = slot.bstrVal;
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (*target.ppunkVal != nullptr) {
        (*target.ppunkVal)->Release();
      }
      *target.ppunkVal = slot.punkVal;
      break;
    case VT_I1:
      *target.pcVal = slot.cVal;
      break;
    case VT_UI1:
      *target.pbVal = slot.bVal;
      break;
    case VT_I2:
    case VT_BOOL:
      *target.piVal = slot.iVal;
      break;
    case VT_UI2:
      *target.puiVal = slot.uiVal;
      break;
    case VT_R4:
      *target.pfltVal = slot.fltVal;
      break;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
      *target.pllVal = slot.llVal;
      break;
    default:
      *target.plVal = slot.lVal;
      break;
  }
  VariantInit(&slot);
  return S_OK;
}

class Slots {
 public:
  explicit Slots(size_t n) : n_(n) {
    for (size_t i = 0; i < n_; ++i) {
      VariantInit(&v_[i]);
    }
  }
  ~Slots() {
    for (size_t i = 0; i < n_; ++i) {
      VariantClear(&v_[i]);
    }
  }
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  VARIANT& operator[](size_t i) { return v_[i]; }
  VARIANT* data() { return v_; }

 private:
  size_t n_;
  VARIANT v_[kMaxParams];
};

class JTypeInfo : public JComObject<JTypeInfo, ITypeInfo> {
 public:
  explicit JTypeInfo(const JTypeDescription& type) : type_(type) {}

  HRESULT GetTypeAttr(TYPEATTR** attr) override {
    if (attr == nullptr) {
      return E_POINTER;
    }
    auto* a = new TYPEATTR{};
    a->guid = type_.guid;
    a->lcid = 0;
    a->memidConstructor = MEMBERID_NIL;
    a->memidDestructor = MEMBERID_NIL;
    a->typekind = type_.kind;
    a->cFuncs = static_cast<WORD>(type_.members.size());
    a->cImplTypes = static_cast<WORD>(type_.implemented.size());
    a->wTypeFlags = type_.typeFlags;
    a->wMajorVerNum = type_.library != nullptr ? type_.library->majorVersion : 1;
    a->wMinorVerNum = type_.library != nullptr ? type_.library->minorVersion : 0;
    *attr = a;
    return S_OK;
  }
  void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }

  HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override {
    if (desc == nullptr) {
      return E_POINTER;
    }
    *desc = nullptr;
    if (index >= type_.members.size()) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    const JMemberDesc& m = type_.members[index];
    auto block = std::make_unique<FuncDescBlock>();
    FUNCDESC& d = block->desc;
    d.memid = m.dispid;
    d.funckind = type_.kind == TKIND_DISPATCH ? FUNC_DISPATCH : FUNC_PUREVIRTUAL;
    d.invkind = m.kind;
    d.callconv = CC_STDCALL;
    d.cParams = static_cast<SHORT>(m.paramCount);
    d.oVft = static_cast<SHORT>(index);
    d.lprgelemdescParam = block->params;
    d.elemdescFunc.tdesc.vt = type_.kind == TKIND_DISPATCH ? VT_VOID : VT_HRESULT;
    for (size_t i = 0; i < m.paramCount; ++i) {
      const JParamDesc& p = m.params[i];
      ELEMDESC& e = block->params[i];
      e.paramdesc.wParamFlags = p.flags;
      if (p.isOut()) {
        block->pointees[i].vt = p.vt;
        e.tdesc.vt = VT_PTR;
        e.tdesc.lptdesc = &block->pointees[i];
      } else {
        e.tdesc.vt = p.vt;
      }
    }
    *desc = &block.release()->desc;
    return S_OK;
  }
  void ReleaseFuncDesc(FUNCDESC* desc) override {
    // The FUNCDESC is the first member of the block it was allocated in.
    delete reinterpret_cast<FuncDescBlock*>(desc);
  }

  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) override {
    if (names == nullptr || count == nullptr) {
      return E_POINTER;
    }
    *count = 0;
    const JMemberDesc* m = type_.find(memid);
    if (m == nullptr) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (maxNames > 0) {
      names[(*count)++] = bstrOrNull(m->name);
    }
    for (size_t i = 0; i < m->paramCount && *count < maxNames; ++i) {
      names[(*count)++] = bstrOrNull(m->params[i].name);
    }
    return S_OK;
  }

  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString, DWORD* helpContext,
                           BSTR* helpFile) override {
    const char* n = type_.name;
    const char* doc = type_.helpString;
    if (memid != MEMBERID_NIL) {
      const JMemberDesc* m = type_.find(memid);
      if (m == nullptr) {
        return TYPE_E_ELEMENTNOTFOUND;
      }
      n = m->name;
      doc = m->helpString;
    }
    if (name != nullptr) {
      *name = bstrOrNull(n);
    }
    if (docString != nullptr) {
      *docString = bstrOrNull(doc);
    }
    if (helpContext != nullptr) {
      *helpContext = 0;
    }
    if (helpFile != nullptr) {
      *helpFile = nullptr;
    }
    return S_OK;
  }

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    return getIDsOfNames(type_, names, count, ids);
  }

  HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr) override {
    return invokeByDescription(type_, instance, memid, flags, params, result, excepInfo, argErr);
  }

  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override {
    if (ref == nullptr) {
      return E_POINTER;
    }
    if (index >= type_.implemented.size()) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    *ref = index;
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* flags) override {
    if (flags == nullptr) {
      return E_POINTER;
    }
    if (index >= type_.implemented.size()) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    *flags = type_.implemented[index].flags;
    return S_OK;
  }
  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override {
    if (info == nullptr) {
      return E_POINTER;
    }
    *info = nullptr;
    if (ref >= type_.implemented.size() || type_.implemented[ref].type == nullptr) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    return createTypeInfo(*type_.implemented[ref].type, info);
  }

  HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) override {
    if (library != nullptr) {
      *library = nullptr;
    }
    if (type_.library == nullptr) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    const auto types = type_.library->types;
    const auto at = std::find(types.begin(), types.end(), &type_);
    if (at == types.end()) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (index != nullptr) {
      *index = static_cast<UINT>(at - types.begin());
    }
    return library != nullptr ? createTypeLib(*type_.library, library) : S_OK;
  }

 private:
  const JTypeDescription& type_;
};

}  // namespace

const JMemberDesc* JTypeDescription::find(DISPID dispid, INVOKEKIND callKind) const {
  for (const JMemberDesc& m : members) {
    if (m.dispid == dispid && m.kind == callKind) {
      return &m;
    }
  }
  return nullptr;
}

const JMemberDesc* JTypeDescription::find(DISPID dispid) const {
  for (const JMemberDesc& m : members) {
    if (m.dispid == dispid) {
      return &m;
    }
  }
  return nullptr;
}

HRESULT createTypeInfo(const JTypeDescription& description, ITypeInfo** info) {
  if (info == nullptr) {
    return E_POINTER;
  }
  *info = new JTypeInfo(description);
  return S_OK;
}

HRESULT getIDsOfNames(const JTypeDescription& description, LPOLESTR* names, UINT count,
                      DISPID* ids) {
  if (count == 0) {
    return S_OK;
  }
  if (names == nullptr || ids == nullptr) {
    return E_POINTER;
  }
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
  }
  const JMemberDesc* member = nullptr;
  for (const JMemberDesc& m : description.members) {
    if (sameNameNoCase(m.name, names[0])) {
      member = &m;
      break;
    }
  }
  if (member == nullptr) {
    return DISP_E_UNKNOWNNAME;
  }
  ids[0] = member->dispid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    for (size_t p = 0; p < member->paramCount; ++p) {
      if (sameNameNoCase(member->params[p].name, names[i])) {
        ids[i] = static_cast<DISPID>(p);
      }
    }
    if (ids[i] == DISPID_UNKNOWN) {
      hr = DISP_E_UNKNOWNNAME;
    }
  }
  return hr;
}

HRESULT invokeByDescription(const JTypeDescription& type, void* instance, DISPID dispid, WORD flags,
                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                            UINT* argErr) {
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) {
    return E_INVALIDARG;
  }
  const INVOKEKIND kind = kindOfCall(flags);
  const JMemberDesc* m = type.find(dispid, kind);
  // A caller asking for a method or a property get (as scripts do) gets
  // whichever the member is.
  if (m == nullptr && kind == INVOKE_FUNC && (flags & DISPATCH_PROPERTYGET) != 0) {
    m = type.find(dispid, INVOKE_PROPERTYGET);
  }
  if (m == nullptr || m->call == nullptr || instance == nullptr) {
    return DISP_E_MEMBERNOTFOUND;
  }
  // A put takes its value as the one named argument DISPID_PROPERTYPUT;
  // nothing else may be named.
  if (kind == INVOKE_PROPERTYPUT) {
    if (params->cNamedArgs != 1 || params->rgdispidNamedArgs == nullptr ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_PARAMNOTFOUND;
    }
  } else if (params->cNamedArgs != 0) {
    return DISP_E_NONAMEDARGS;
  }
  const bool hasRetval = m->paramCount > 0 && m->params[m->paramCount - 1].isRetval();
  const size_t expected = m->paramCount - (hasRetval ? 1 : 0);
  if (params->cArgs != expected) {
    return DISP_E_BADPARAMCOUNT;
  }
  Slots slots(m->paramCount);
  for (size_t k = 0; k < m->paramCount; ++k) {
    const JParamDesc& p = m->params[k];
    // An out VARIANT starts empty; the member gives it its type.
    const VARTYPE outType = p.vt == VT_VARIANT ? VARTYPE{VT_EMPTY} : p.vt;
    if (p.isRetval()) {
      slots[k].vt = outType;
      continue;
    }
    // The dispatch convention passes the arguments last first.
    const UINT index = params->cArgs - 1 - static_cast<UINT>(k);
    VARIANT& arg = params->rgvarg[index];
    HRESULT hr = S_OK;
    if (p.isOut()) {
      // An out argument must refer to storage of its type, or to a VARIANT.
      if ((arg.vt != (VT_BYREF | p.vt) && arg.vt != (VT_BYREF | VT_VARIANT)) ||
          arg.byref == nullptr) {
        hr = DISP_E_TYPEMISMATCH;
      } else if (arg.vt == (VT_BYREF | p.vt) && p.vt != VT_BSTR && p.vt != VT_DISPATCH &&
                 p.vt != VT_UNKNOWN) {
        // A scalar out argument starts as the caller's value, so that a member
        // that leaves it alone hands it back unchanged.
        hr = VariantCopyInd(&slots[k], &arg);
      } else {
        slots[k].vt = outType;
      }
    } else if (p.vt == VT_VARIANT) {
      hr = VariantCopyInd(&slots[k], &arg);
    } else {
      hr = VariantChangeType(&slots[k], &arg, 0, p.vt);
    }
    if (FAILED(hr)) {
      if (argErr != nullptr) {
        *argErr = index;
      }
      return DISP_E_TYPEMISMATCH;
    }
  }
  HRESULT hr = S_OK;
  try {
    hr = m->call(instance, slots.data());
  } catch (const JError& e) {
    logCaught(e);
    fillException(excepInfo, type, E_FAIL, e.message());
    return DISP_E_EXCEPTION;
  } catch (const std::exception& e) {
    fillException(excepInfo, type, E_FAIL, e.what());
    return DISP_E_EXCEPTION;
  }
  if (FAILED(hr)) {
    fillException(excepInfo, type, hr, {});
    return DISP_E_EXCEPTION;
  }
  for (size_t k = 0; k < m->paramCount; ++k) {
    const JParamDesc& p = m->params[k];
    if (p.isRetval()) {
      if (result != nullptr) {
        VariantClear(result);
        *result = slots[k];
        VariantInit(&slots[k]);
      }
    } else if (p.isOut()) {
      storeOut(slots[k], params->rgvarg[params->cArgs - 1 - k]);
    }
  }
  return hr;
}

}  // namespace zq::com
