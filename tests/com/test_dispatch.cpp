// A small class declared through the type table: Invoke with the arguments
// in the dispatch order, an out BSTR replacing the caller's, every Invoke
// error, and the type information's answers past what the console host's
// tests read through it (names, help and descriptions of members that exist,
// calls by name, results, out VARIANTs, properties and failures) and the
// control's (out arguments of their own type).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "com/com_ptr.h"
#include "com/dispatch_impl.h"
#include "com/ref_count.h"
#include "com/type_lib.h"

namespace zq::com {
namespace {

inline constexpr IID IID_ISample = makeGuid("{5E1F3C2A-0B7D-4E55-9C11-2F6A8D3B4C01}");

struct ISample : IDispatch {
  static constexpr const IID& iid = IID_ISample;
};

class Sample;
extern const JTypeDescription kSampleType;
extern const JTypeLibraryDescription kSampleLib;

class Sample : public JComObject<Sample, IDispatchImpl<Sample, ISample, kSampleType>> {
 public:
  HRESULT get_Server(BSTR* host) {
    *host = bstrFromString(server);
    return S_OK;
  }
  HRESULT get_Port(LONG* value) {
    *value = port;
    return S_OK;
  }
  HRESULT put_Port(LONG value) {
    port = value;
    return S_OK;
  }
  HRESULT Rehash(BSTR name, LONG* result) {
    *result = stringFromBstr(name) == server ? 0 : -2;
    return S_OK;
  }
  HRESULT Mix(BYTE first, SHORT second, SHORT flag, BSTR last) {
    calls.push_back(std::to_string(first) + "," + std::to_string(second) + "," +
                    std::to_string(flag) + "," + stringFromBstr(last));
    return S_OK;
  }
  HRESULT Describe(LONG n, BSTR* text) {
    *text = bstrFromString("n=" + std::to_string(n));
    return S_OK;
  }
  HRESULT Explode() { throw JTextError("exploded"); }

  std::string server = "localhost";
  LONG port = 10001;
  std::vector<std::string> calls;
};

using M = JMembers<Sample>;
constexpr USHORT kRet = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
inline constexpr JMemberDesc kSampleMembers[] = {
    M::propertyGet<&Sample::get_Server>(1, "Server", {{"Hostname", VT_BSTR, kRet}},
                                        "property Server"),
    M::propertyGet<&Sample::get_Port>(2, "Port", {{"Port", VT_I4, kRet}}, "property Port"),
    M::propertyPut<&Sample::put_Port>(2, "Port", {{"Port", VT_I4}}, "property Port"),
    M::method<&Sample::Rehash>(8, "Rehash", {{"Name", VT_BSTR}, {"Result", VT_I4, PARAMFLAG_FOUT}},
                               "method Rehash"),
    M::method<&Sample::Mix>(
        9, "Mix", {{"First", VT_UI1}, {"Second", VT_I2}, {"Flag", VT_BOOL}, {"Last", VT_BSTR}},
        "method Mix"),
    M::method<&Sample::Describe>(11, "Describe", {{"N", VT_I4}, {"Text", VT_BSTR, PARAMFLAG_FOUT}},
                                 "method Describe"),
    M::method<&Sample::Explode>(13, "Explode", {}, "method Explode"),
};
constexpr JTypeDescription kSampleType{
    "ISample",      IID_ISample, TKIND_INTERFACE, "ISample Interface", TYPEFLAG_FDUAL,
    kSampleMembers, {},          &kSampleLib};

inline constexpr JImplementedType kSampleClassInterfaces[] = {
    {&kSampleType, IMPLTYPEFLAG_FDEFAULT}};
constexpr JTypeDescription kSampleClass{"Sample",
                                        makeGuid("{5E1F3C2A-0B7D-4E55-9C11-2F6A8D3B4C02}"),
                                        TKIND_COCLASS,
                                        "Sample Class",
                                        TYPEFLAG_FCANCREATE,
                                        {},
                                        kSampleClassInterfaces,
                                        &kSampleLib};
inline constexpr const JTypeDescription* kSampleLibTypes[] = {&kSampleType, &kSampleClass};
constexpr JTypeLibraryDescription kSampleLib{"SAMPLELib",
                                             makeGuid("{5E1F3C2A-0B7D-4E55-9C11-2F6A8D3B4C03}"),
                                             2,
                                             1,
                                             "Sample 2.1 Type Library",
                                             kSampleLibTypes};

VARIANT i4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}

// Invokes `member` with `args` given in declaration order (passed last
// first, as the dispatch convention has it); `namedPut` names the last one
// DISPID_PROPERTYPUT.
HRESULT invoke(IDispatch* d, DISPID member, WORD flags, std::vector<VARIANT> args,
               VARIANT* result = nullptr, UINT* argErr = nullptr, bool namedPut = false,
               EXCEPINFO* info = nullptr) {
  std::reverse(args.begin(), args.end());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{args.data(), namedPut ? &put : nullptr, static_cast<UINT>(args.size()),
                    namedPut ? 1u : 0u};
  return d->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, info, argErr);
}

VARIANT byRef(VARTYPE vt, void* to) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | vt;
  v.byref = to;
  return v;
}

class Dispatch : public ::testing::Test {
 protected:
  ~Dispatch() override { sample_->Release(); }
  Sample* sample_ = new Sample;
};

// Each refusal leaves the object untouched and the result empty; argErr
// counts from the last argument. Type mismatches of in arguments by text are
// the console host's test.
TEST_F(Dispatch, InvokeErrors) {
  JComVariant text("x");
  LONG out = 0;
  const VARIANT outRef = byRef(VT_I4, &out);
  constexpr WORD kMethod = DISPATCH_METHOD, kGet = DISPATCH_PROPERTYGET,
                 kPut = DISPATCH_PROPERTYPUT;
  constexpr UINT kUnset = 77;
  const struct {
    const char* name;
    DISPID member;
    WORD flags;
    std::vector<VARIANT> args;
    HRESULT hr;
    UINT argErr = kUnset;
    bool namedPut = false;
  } cases[] = {
      {"put of a method", 8, kPut, {text, outRef}, DISP_E_MEMBERNOTFOUND, kUnset, true},
      {"method call of a property", 2, kMethod, {}, DISP_E_MEMBERNOTFOUND},
      {"too few arguments", 8, kMethod, {text}, DISP_E_BADPARAMCOUNT},
      {"the return value passed", 2, kGet, {outRef}, DISP_E_BADPARAMCOUNT},
      {"put without its named argument", 2, kPut, {i4(1)}, DISP_E_PARAMNOTFOUND},
      {"named argument on a method", 13, kMethod, {}, DISP_E_NONAMEDARGS, kUnset, true},
      {"second out of range", 9, kMethod, {i4(1), i4(70000), i4(0), text}, DISP_E_TYPEMISMATCH, 2},
      {"out argument not by reference", 8, kMethod, {text, i4(0)}, DISP_E_TYPEMISMATCH, 0},
      {"out argument of another type", 11, kMethod, {i4(1), outRef}, DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UINT argErr = kUnset;
    JComVariant result;
    EXPECT_EQ(invoke(sample_, c.member, c.flags, c.args, &result, &argErr, c.namedPut), c.hr);
    EXPECT_EQ(argErr, c.argErr);
    EXPECT_EQ(result.vt, VT_EMPTY);
  }
  EXPECT_TRUE(sample_->calls.empty());
  EXPECT_EQ(sample_->port, 10001);

  // A member that throws fails as an exception with the error's text.
  EXCEPINFO info;
  EXPECT_EQ(invoke(sample_, 13, DISPATCH_METHOD, {}, nullptr, nullptr, false, &info),
            DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, E_FAIL);
  EXPECT_EQ(JBstr::adopt(info.bstrSource).str(), "ISample");
  EXPECT_EQ(JBstr::adopt(info.bstrDescription).str(), "exploded");
}

// The arguments arrive in declaration order although passed last first,
// each converted to its declared type; an out BSTR replaces (and frees) what
// the caller's storage held.
TEST_F(Dispatch, ArgumentsInOrderAndOutArguments) {
  JComVariant last("end");
  JComVariant flag("True");
  ASSERT_EQ(invoke(sample_, 9, DISPATCH_METHOD, {i4(7), i4(-3), flag, last}), S_OK);
  EXPECT_EQ(sample_->calls, std::vector<std::string>{"7,-3,-1,end"});
  BSTR text = bstrFromString("old");
  ASSERT_EQ(invoke(sample_, 11, DISPATCH_METHOD, {i4(4), byRef(VT_BSTR, &text)}), S_OK);
  EXPECT_EQ(JBstr::adopt(text).str(), "n=4");
}

std::vector<std::string> namesOf(ITypeInfo* info, MEMBERID id, UINT max, HRESULT* hr) {
  BSTR names[20] = {};
  UINT count = 99;
  *hr = info->GetNames(id, names, max, &count);
  std::vector<std::string> out;
  for (UINT i = 0; i < count && i < 20; ++i) {
    out.push_back(stringFromBstr(names[i]));
    SysFreeString(names[i]);
  }
  return out;
}

TEST_F(Dispatch, NamesAndTypeInfoPastTheMembers) {
  std::u16string member = u"pORT", unknown = u"Nope";  // names are found in any case
  LPOLESTR names[] = {member.data(), unknown.data(), member.data()};
  std::vector<DISPID> ids(3, 1234);
  EXPECT_EQ(sample_->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids.data()),
            DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids, (std::vector<DISPID>{2, DISPID_UNKNOWN, 0}));

  ComPtr<ITypeInfo> info;
  EXPECT_EQ(sample_->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
  ASSERT_EQ(sample_->GetTypeInfo(0, 0, info.put()), S_OK);
  HRESULT hr = S_OK;
  EXPECT_EQ(namesOf(info.get(), 8, 1, &hr), std::vector<std::string>{"Rehash"});
  EXPECT_EQ(hr, S_OK);
  EXPECT_TRUE(namesOf(info.get(), 5, 20, &hr).empty());
  EXPECT_EQ(hr, TYPE_E_ELEMENTNOTFOUND);
  BSTR name = nullptr;
  EXPECT_EQ(info->GetDocumentation(77, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(name, nullptr);
  FUNCDESC* desc = nullptr;
  EXPECT_EQ(info->GetFuncDesc(std::size(kSampleMembers), &desc), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(desc, nullptr);
}

// The library lists the types in order, and each type's information finds
// its way back to the library, its place in it and its version.
TEST_F(Dispatch, TypeLibraryAndTheClassTypeInfo) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(createTypeLib(kSampleLib, lib.put()), S_OK);
  ASSERT_EQ(lib->GetTypeInfoCount(), 2u);
  const struct {
    INT index;
    HRESULT hr;
    const char* name;
  } docs[] = {
      {-1, S_OK, "SAMPLELib"},
      {1, S_OK, "Sample"},
      {2, TYPE_E_ELEMENTNOTFOUND, ""},
  };
  for (const auto& c : docs) {
    SCOPED_TRACE(c.index);
    JBstr name;
    EXPECT_EQ(lib->GetDocumentation(c.index, name.put(), nullptr, nullptr, nullptr), c.hr);
    EXPECT_EQ(name.str(), c.name);
    ComPtr<ITypeInfo> info;
    if (c.index < 0 || lib->GetTypeInfo(static_cast<UINT>(c.index), info.put()) != S_OK) {
      continue;
    }
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->wMajorVerNum * 10 + attr->wMinorVerNum, 21) << "the library's version";
    info->ReleaseTypeAttr(attr);
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(nullptr, &index), S_OK);
    EXPECT_EQ(index, static_cast<UINT>(c.index));
  }
  ComPtr<ITypeInfo> none;
  static constexpr JTypeDescription kLoose{"ILoose", IID_IDispatch, TKIND_DISPATCH, nullptr, 0, {},
                                           {}};
  ASSERT_EQ(createTypeInfo(kLoose, none.put()), S_OK);
  UINT index = 0;
  EXPECT_EQ(none->GetContainingTypeLib(nullptr, &index), TYPE_E_ELEMENTNOTFOUND);

  // The class names its interfaces.
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(kSampleClass.guid, info.put()), S_OK);
  INT flags = 0;
  ASSERT_EQ(info->GetImplTypeFlags(0, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
  EXPECT_EQ(info->GetImplTypeFlags(1, &flags), TYPE_E_ELEMENTNOTFOUND);
  HREFTYPE ref = 0;
  ASSERT_EQ(info->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> iface;
  ASSERT_EQ(info->GetRefTypeInfo(ref, iface.put()), S_OK);
  HRESULT hr = S_OK;
  EXPECT_EQ(namesOf(iface.get(), 1, 1, &hr), std::vector<std::string>{"Server"});
}

}  // namespace
}  // namespace zq::com
