// A small class declared through the type table: Invoke of methods and
// properties with the arguments in the dispatch order, out arguments by
// reference and as the return value, every Invoke error, GetIDsOfNames, and
// the ITypeInfo answers from the same table (each function's description is
// read by the console host, whose help listing shows every parameter).
#include <gtest/gtest.h>

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
  HRESULT put_Server(BSTR host) {
    server = stringFromBstr(host);
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
  HRESULT Measure(BSTR name, DOUBLE* value) {
    *value = static_cast<double>(SysStringLen(name)) / 2;
    return S_OK;
  }
  HRESULT Describe(LONG n, BSTR* text) {
    *text = bstrFromString("n=" + std::to_string(n));
    return S_OK;
  }
  HRESULT Echo(VARIANT in, VARIANT* out) { return VariantCopy(out, &in); }
  HRESULT Refuse() { return E_ACCESSDENIED; }
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
    M::propertyPut<&Sample::put_Server>(1, "Server", {{"Hostname", VT_BSTR}}, "property Server"),
    M::propertyGet<&Sample::get_Port>(2, "Port", {{"Port", VT_I4, kRet}}, "property Port"),
    M::propertyPut<&Sample::put_Port>(2, "Port", {{"Port", VT_I4}}, "property Port"),
    M::method<&Sample::Rehash>(8, "Rehash", {{"Name", VT_BSTR}, {"Result", VT_I4, PARAMFLAG_FOUT}},
                               "method Rehash"),
    M::method<&Sample::Mix>(
        9, "Mix", {{"First", VT_UI1}, {"Second", VT_I2}, {"Flag", VT_BOOL}, {"Last", VT_BSTR}},
        "method Mix"),
    M::method<&Sample::Measure>(10, "Measure", {{"Name", VT_BSTR}, {"Value", VT_R8, kRet}},
                                "method Measure"),
    M::method<&Sample::Describe>(11, "Describe", {{"N", VT_I4}, {"Text", VT_BSTR, PARAMFLAG_FOUT}},
                                 "method Describe"),
    M::method<&Sample::Refuse>(12, "Refuse", {}, "method Refuse"),
    M::method<&Sample::Echo>(14, "Echo", {{"In", VT_VARIANT}, {"Out", VT_VARIANT, kRet}},
                             "method Echo"),
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

// Arguments given in declaration order, reversed into DISPPARAMS on use.
struct Call {
  DISPID member;
  WORD flags;
  std::vector<VARIANT> args;  // declaration order; owned by the test's variants
  bool namedPut = false;
};

class Invoker {
 public:
  explicit Invoker(Call call) : call_(std::move(call)) {
    reversed_.assign(call_.args.rbegin(), call_.args.rend());
    params_.rgvarg = reversed_.data();
    params_.cArgs = static_cast<UINT>(reversed_.size());
    if (call_.namedPut) {
      params_.rgdispidNamedArgs = &put_;
      params_.cNamedArgs = 1;
    }
  }
  HRESULT run(IDispatch* d, VARIANT* result, UINT* argErr, EXCEPINFO* info = nullptr) {
    return d->Invoke(call_.member, IID_NULL, LOCALE_USER_DEFAULT, call_.flags, &params_, result,
                     info, argErr);
  }

 private:
  Call call_;
  std::vector<VARIANT> reversed_;
  DISPPARAMS params_;
  DISPID put_ = DISPID_PROPERTYPUT;
};

class Dispatch : public ::testing::Test {
 protected:
  ~Dispatch() override { sample_->Release(); }
  Sample* sample_ = new Sample;
};

TEST_F(Dispatch, InvokeErrors) {
  JComVariant text("x");
  JComVariant letters("abc");
  LONG out = 0;
  VARIANT byRef = i4(0);
  byRef.vt = VT_BYREF | VT_I4;
  byRef.plVal = &out;
  struct Case {
    const char* name;
    Call call;
    HRESULT hr;
    UINT argErr;  // kept as 77 when not set
  };
  const Case cases[] = {
      {"unknown DISPID", {99, DISPATCH_METHOD, {}}, DISP_E_MEMBERNOTFOUND, 77},
      {"put of a method",
       {8, DISPATCH_PROPERTYPUT, {text, byRef}, true},
       DISP_E_MEMBERNOTFOUND,
       77},
      {"method call of a property", {2, DISPATCH_METHOD, {}}, DISP_E_MEMBERNOTFOUND, 77},
      {"too few arguments", {8, DISPATCH_METHOD, {text}}, DISP_E_BADPARAMCOUNT, 77},
      {"too many arguments", {12, DISPATCH_METHOD, {text}}, DISP_E_BADPARAMCOUNT, 77},
      {"the return value passed", {2, DISPATCH_PROPERTYGET, {byRef}}, DISP_E_BADPARAMCOUNT, 77},
      {"put without its named argument",
       {2, DISPATCH_PROPERTYPUT, {i4(1)}},
       DISP_E_PARAMNOTFOUND,
       77},
      {"named argument on a method", {12, DISPATCH_METHOD, {}, true}, DISP_E_NONAMEDARGS, 77},
      // rgvarg holds Last at 0, Flag at 1, Second at 2, First at 3.
      {"first argument not a number",
       {9, DISPATCH_METHOD, {letters, i4(1), i4(0), text}},
       DISP_E_TYPEMISMATCH,
       3},
      {"second argument out of range",
       {9, DISPATCH_METHOD, {i4(1), i4(70000), i4(0), text}},
       DISP_E_TYPEMISMATCH,
       2},
      {"out argument not by reference",
       {8, DISPATCH_METHOD, {text, i4(0)}},
       DISP_E_TYPEMISMATCH,
       0},
      {"out argument of another type",
       {11, DISPATCH_METHOD, {i4(1), byRef}},
       DISP_E_TYPEMISMATCH,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UINT argErr = 77;
    JComVariant result;
    EXPECT_EQ(Invoker(c.call).run(sample_, &result, &argErr), c.hr);
    EXPECT_EQ(argErr, c.argErr);
    EXPECT_EQ(result.vt, VT_EMPTY);
  }
  EXPECT_TRUE(sample_->calls.empty());
  EXPECT_EQ(sample_->port, 10001);
}

TEST_F(Dispatch, FailuresOfTheMemberAreExceptions) {
  struct Case {
    const char* name;
    DISPID member;
    SCODE scode;
    std::string description;
  };
  const Case cases[] = {
      {"failed HRESULT", 12, E_ACCESSDENIED, ""},
      {"thrown error", 13, E_FAIL, "exploded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXCEPINFO info;
    EXPECT_EQ(Invoker({c.member, DISPATCH_METHOD, {}}).run(sample_, nullptr, nullptr, &info),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, c.scode);
    EXPECT_EQ(stringFromBstr(info.bstrSource), "ISample");
    EXPECT_EQ(stringFromBstr(info.bstrDescription), c.description);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
  }
}

TEST_F(Dispatch, PropertiesMethodsAndOutArguments) {
  // Puts convert their value to the declared type.
  JComVariant port("6000");
  ASSERT_EQ(Invoker({2, DISPATCH_PROPERTYPUT, {port}, true}).run(sample_, nullptr, nullptr), S_OK);
  EXPECT_EQ(sample_->port, 6000);
  JComVariant got;
  ASSERT_EQ(Invoker({2, DISPATCH_PROPERTYGET, {}}).run(sample_, &got, nullptr), S_OK);
  EXPECT_EQ(got.vt, VT_I4);
  EXPECT_EQ(got.lVal, 6000);
  // Scripts call a get as a method too.
  ASSERT_EQ(Invoker({2, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}}).run(sample_, &got, nullptr),
            S_OK);
  EXPECT_EQ(got.lVal, 6000);
  JComVariant host("h\xC3\xB4te1");
  ASSERT_EQ(Invoker({1, DISPATCH_PROPERTYPUT, {host}, true}).run(sample_, nullptr, nullptr), S_OK);
  ASSERT_EQ(Invoker({1, DISPATCH_PROPERTYGET, {}}).run(sample_, &got, nullptr), S_OK);
  EXPECT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(stringFromBstr(got.bstrVal), "h\xC3\xB4te1");

  // The arguments arrive in declaration order although passed last first.
  JComVariant last("end");
  JComVariant flag("True");
  ASSERT_EQ(
      Invoker({9, DISPATCH_METHOD, {i4(7), i4(-3), flag, last}}).run(sample_, nullptr, nullptr),
      S_OK);
  ASSERT_EQ(sample_->calls.size(), 1u);
  EXPECT_EQ(sample_->calls[0], "7,-3,-1,end");

  // Out by reference to its type, and to a VARIANT.
  LONG result = 5;
  VARIANT byRef = i4(0);
  byRef.vt = VT_BYREF | VT_I4;
  byRef.plVal = &result;
  JComVariant unknownName("nobody");
  ASSERT_EQ(Invoker({8, DISPATCH_METHOD, {unknownName, byRef}}).run(sample_, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result, -2);
  JComVariant holder(LONG{1});
  VARIANT toVariant = i4(0);
  toVariant.vt = VT_BYREF | VT_VARIANT;
  toVariant.pvarVal = &holder;
  ASSERT_EQ(Invoker({8, DISPATCH_METHOD, {host, toVariant}}).run(sample_, nullptr, nullptr), S_OK);
  EXPECT_EQ(holder.vt, VT_I4);
  EXPECT_EQ(holder.lVal, 0);
  // An out BSTR replaces (and frees) what the caller's storage held.
  BSTR text = bstrFromString("old");
  VARIANT textRef = i4(0);
  textRef.vt = VT_BYREF | VT_BSTR;
  textRef.pbstrVal = &text;
  ASSERT_EQ(Invoker({11, DISPATCH_METHOD, {i4(4), textRef}}).run(sample_, nullptr, nullptr), S_OK);
  EXPECT_EQ(stringFromBstr(text), "n=4");
  SysFreeString(text);

  // VARIANT parameters take any type, by reference ones as their value.
  LONG referenced = 31;
  VARIANT i4Ref = i4(0);
  i4Ref.vt = VT_BYREF | VT_I4;
  i4Ref.plVal = &referenced;
  struct EchoCase {
    const char* name;
    VARIANT in;
    VARTYPE vt;
    std::string text;
  };
  const EchoCase echoes[] = {
      {"text", host, VT_BSTR, "h\xC3\xB4te1"},
      {"by reference", i4Ref, VT_I4, "31"},
      {"empty", JComVariant(), VT_EMPTY, ""},
  };
  for (const EchoCase& c : echoes) {
    SCOPED_TRACE(c.name);
    JComVariant echoed;
    ASSERT_EQ(Invoker({14, DISPATCH_METHOD, {c.in}}).run(sample_, &echoed, nullptr), S_OK);
    EXPECT_EQ(echoed.vt, c.vt);
    JComVariant shown;
    ASSERT_EQ(VariantChangeType(&shown, &echoed, 0, VT_BSTR), S_OK);
    EXPECT_EQ(stringFromBstr(shown.bstrVal), c.text);
  }

  // The return value lands in the result, replacing what it held.
  JComVariant name("abcd");
  JComVariant measured("previous");
  ASSERT_EQ(Invoker({10, DISPATCH_METHOD, {name}}).run(sample_, &measured, nullptr), S_OK);
  EXPECT_EQ(measured.vt, VT_R8);
  EXPECT_DOUBLE_EQ(measured.dblVal, 2.0);
}

TEST_F(Dispatch, GetIDsOfNames) {
  struct Case {
    const char* name;
    std::vector<std::u16string> names;
    HRESULT hr;
    std::vector<DISPID> ids;
  };
  const Case cases[] = {
      {"member", {u"Rehash"}, S_OK, {8}},
      {"any case", {u"rEHASH"}, S_OK, {8}},
      {"member and parameters", {u"Rehash", u"Result", u"name"}, S_OK, {8, 1, 0}},
      {"unknown member", {u"Rehash2"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
      {"unknown parameter",
       {u"Port", u"Nope", u"Port"},
       DISP_E_UNKNOWNNAME,
       {2, DISPID_UNKNOWN, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::u16string> names = c.names;
    std::vector<LPOLESTR> pointers;
    for (auto& n : names) {
      pointers.push_back(n.data());
    }
    std::vector<DISPID> ids(names.size(), 1234);
    EXPECT_EQ(sample_->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(names.size()),
                                     LOCALE_USER_DEFAULT, ids.data()),
              c.hr);
    EXPECT_EQ(ids, c.ids);
  }
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

TEST_F(Dispatch, TypeInfoAnswersFromTheTable) {
  UINT count = 0;
  ASSERT_EQ(sample_->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(sample_->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
  ASSERT_EQ(sample_->GetTypeInfo(0, 0, info.put()), S_OK);

  struct NamesCase {
    const char* name;
    MEMBERID id;
    UINT max;
    HRESULT hr;
    std::vector<std::string> names;
  };
  const NamesCase names[] = {
      {"method and parameters", 8, 20, S_OK, {"Rehash", "Name", "Result"}},
      {"cut to the maximum", 8, 1, S_OK, {"Rehash"}},
      {"property", 2, 20, S_OK, {"Port", "Port"}},
      {"no parameters", 12, 20, S_OK, {"Refuse"}},
      {"unknown member", 5, 20, TYPE_E_ELEMENTNOTFOUND, {}},
  };
  for (const NamesCase& c : names) {
    SCOPED_TRACE(c.name);
    HRESULT hr = S_OK;
    EXPECT_EQ(namesOf(info.get(), c.id, c.max, &hr), c.names);
    EXPECT_EQ(hr, c.hr);
  }

  struct DocCase {
    MEMBERID id;
    HRESULT hr;
    std::string name;
    std::string doc;
  };
  const DocCase docs[] = {
      {8, S_OK, "Rehash", "method Rehash"},
      {1, S_OK, "Server", "property Server"},
      {MEMBERID_NIL, S_OK, "ISample", "ISample Interface"},
      {77, TYPE_E_ELEMENTNOTFOUND, "", ""},
  };
  for (const DocCase& c : docs) {
    SCOPED_TRACE(c.id);
    BSTR name = nullptr;
    BSTR doc = nullptr;
    EXPECT_EQ(info->GetDocumentation(c.id, &name, &doc, nullptr, nullptr), c.hr);
    EXPECT_EQ(stringFromBstr(name), c.name);
    EXPECT_EQ(stringFromBstr(doc), c.doc);
    SysFreeString(name);
    SysFreeString(doc);
  }

  // The descriptions past the last member.
  FUNCDESC* desc = nullptr;
  EXPECT_EQ(info->GetFuncDesc(std::size(kSampleMembers), &desc), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(desc, nullptr);

  // ITypeInfo::Invoke is the same call.
  JComVariant port;
  DISPPARAMS none;
  ASSERT_EQ(info->Invoke(sample_, 2, DISPATCH_PROPERTYGET, &none, &port, nullptr, nullptr), S_OK);
  EXPECT_EQ(port.lVal, 10001);
}

// The library lists the types in order, and each type's information finds
// its way back to the library and its place in it.
TEST_F(Dispatch, TypeLibraryAndTheClassTypeInfo) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(createTypeLib(kSampleLib, lib.put()), S_OK);
  TLIBATTR* libAttr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&libAttr), S_OK);
  EXPECT_EQ(libAttr->guid, kSampleLib.libid);
  EXPECT_EQ(libAttr->wMajorVerNum * 10 + libAttr->wMinorVerNum, 21);
  lib->ReleaseTLibAttr(libAttr);
  ASSERT_EQ(lib->GetTypeInfoCount(), 2u);
  const struct {
    INT index;
    HRESULT hr;
    const char* name;
    const char* doc;
  } docs[] = {
      {-1, S_OK, "SAMPLELib", "Sample 2.1 Type Library"},
      {0, S_OK, "ISample", "ISample Interface"},
      {1, S_OK, "Sample", "Sample Class"},
      {2, TYPE_E_ELEMENTNOTFOUND, "", ""},
  };
  for (const auto& c : docs) {
    SCOPED_TRACE(c.index);
    JBstr name, doc;
    EXPECT_EQ(lib->GetDocumentation(c.index, name.put(), doc.put(), nullptr, nullptr), c.hr);
    EXPECT_EQ(name.str(), c.name);
    EXPECT_EQ(doc.str(), c.doc);
    if (c.index < 0) {
      continue;
    }
    const UINT at = static_cast<UINT>(c.index);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfo(at, info.put()), c.hr);
    if (!info) {
      continue;
    }
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->wMajorVerNum * 10 + attr->wMinorVerNum, 21) << "the library's version";
    info->ReleaseTypeAttr(attr);
    ComPtr<ITypeLib> back;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(back.put(), &index), S_OK);
    EXPECT_EQ(index, at);
    EXPECT_EQ(back->GetTypeInfoCount(), 2u);
  }
  ComPtr<ITypeInfo> none;
  EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, none.put()), TYPE_E_ELEMENTNOTFOUND);
  static constexpr JTypeDescription kLoose{"ILoose", IID_IDispatch, TKIND_DISPATCH, nullptr, 0, {},
                                           {}};
  ASSERT_EQ(createTypeInfo(kLoose, none.put()), S_OK);
  UINT index = 0;
  EXPECT_EQ(none->GetContainingTypeLib(nullptr, &index), TYPE_E_ELEMENTNOTFOUND);

  // The class names its interfaces and has no members of its own.
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(kSampleClass.guid, info.put()), S_OK);
  HRESULT hr = S_OK;
  EXPECT_TRUE(namesOf(info.get(), 1, 20, &hr).empty());
  EXPECT_EQ(hr, TYPE_E_ELEMENTNOTFOUND);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_EQ(attr->cImplTypes, 1);
  info->ReleaseTypeAttr(attr);
  INT flags = 0;
  ASSERT_EQ(info->GetImplTypeFlags(0, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
  EXPECT_EQ(info->GetImplTypeFlags(1, &flags), TYPE_E_ELEMENTNOTFOUND);
  HREFTYPE ref = 0;
  ASSERT_EQ(info->GetRefTypeOfImplType(0, &ref), S_OK);
  ComPtr<ITypeInfo> iface;
  ASSERT_EQ(info->GetRefTypeInfo(ref, iface.put()), S_OK);
  EXPECT_EQ(namesOf(iface.get(), 1, 1, &hr), std::vector<std::string>{"Server"});
}

}  // namespace
}  // namespace zq::com
