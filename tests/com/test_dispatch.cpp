// A small class declared through the type table: Invoke with the arguments
// in the dispatch order, an out BSTR replacing the caller's, every Invoke
// error, and the type information's answers past what the console host's
// tests read through it (names, help and descriptions of members that exist,
// calls by name, results, out VARIANTs, properties and failures) and the
// control's (out arguments of their own type).
//
// BSTR and VARIANT: round trips through the system code page, the byte-length
// prefix, conversion to text of each type the control passes and the
// refusals, conversions between scalars, and who frees what. Texts, longs
// and doubles printed, and a value converted in place to its own type, are
// the console host's and the control's tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "com/com_ptr.h"
#include "com/dispatch_impl.h"
#include "com/ref_count.h"
#include "com/type_lib.h"
#include "com/variant.h"

namespace zq::com {
namespace {

using namespace std::string_literals;

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
    M::propertyGet<&Sample::get_Server>(DISPID_VALUE, "Server", {{"Hostname", VT_BSTR, kRet}},
                                        "property Server"),
    M::propertyGet<&Sample::get_Port>(2, "Port", {{"Port", VT_I4, kRet}}, "property Port"),
    M::propertyPut<&Sample::put_Port>(2, "Port", {{"Port", VT_I4}}, "property Port"),
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

VARIANT make(VARTYPE vt, LONGLONG bits) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.llVal = bits;
  return v;
}

VARIANT i4(LONG v) {
  return make(VT_I4, v);
}

template <class T>
ULONG refsOf(T* object) {
  object->AddRef();
  return object->Release();
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
      {"put of a method", 11, kPut, {i4(1), outRef}, DISP_E_MEMBERNOTFOUND, kUnset, true},
      {"method call of a property", 2, kMethod, {}, DISP_E_MEMBERNOTFOUND},
      {"too few arguments", 11, kMethod, {i4(1)}, DISP_E_BADPARAMCOUNT},
      {"the return value passed", 2, kGet, {outRef}, DISP_E_BADPARAMCOUNT},
      {"put without its named argument", 2, kPut, {i4(1)}, DISP_E_PARAMNOTFOUND},
      {"named argument on a method", 13, kMethod, {}, DISP_E_NONAMEDARGS, kUnset, true},
      {"second out of range", 9, kMethod, {i4(1), i4(70000), i4(0), text}, DISP_E_TYPEMISMATCH, 2},
      {"out argument not by reference", 11, kMethod, {i4(1), text}, DISP_E_TYPEMISMATCH, 0},
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
  BSTR found[2] = {};
  UINT count = 99;
  ASSERT_EQ(info->GetNames(11, found, 1, &count), S_OK) << "as many names as asked";
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(JBstr::adopt(found[0]).str(), "Describe");
  EXPECT_EQ(info->GetNames(5, found, 2, &count), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(count, 0u);
  BSTR name = nullptr;
  EXPECT_EQ(info->GetDocumentation(77, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(name, nullptr);
  FUNCDESC* desc = nullptr;
  EXPECT_EQ(info->GetFuncDesc(std::size(kSampleMembers), &desc), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(desc, nullptr);
}

// The library lists the types in order, and each type's information finds
// its way back to the library, its place in it and its version.
TEST_F(Dispatch, TypeLibraryAndItsTypes) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(createTypeLib(kSampleLib, lib.put()), S_OK);
  ASSERT_EQ(lib->GetTypeInfoCount(), 2u);
  const struct {
    INT index;
    HRESULT hr;
    const char* name;
  } docs[] = {
      {-1, S_OK, "SAMPLELib"},
      {0, S_OK, "ISample"},
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

  // A host finds a class's default interface through the class's information.
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
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(iface->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, IID_ISample);
  iface->ReleaseTypeAttr(attr);
}

// ---- BSTR and VARIANT ------------------------------------------------------------

// Texts into a BSTR and back; what cannot be converted becomes U+FFFD (and
// then comes back as that).
TEST(Bstr, ConvertsThroughUtf8) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
    bool roundTrip = true;
  };
  const Case cases[] = {
      {"ascii", "host1", u"host1"},
      {"astral pair", "\xF0\x9D\x84\x9E!", u"\U0001D11E!"},
      {"embedded NULs", "a\0b\0"s, u"a\0b\0"s},
      {"stray continuation byte",
       "a\x80"
       "b",
       u"a\uFFFDb", false},
      {"cut sequence at the end", "a\xE6\x97", u"a\uFFFD", false},
      {"overlong slash", "\xC0\xAF", u"\uFFFD", false},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JBstr b(c.utf8);
    ASSERT_NE(b.get(), nullptr);
    EXPECT_EQ(SysStringLen(b.get()), c.utf16.size());
    EXPECT_EQ(SysStringByteLen(b.get()), 2 * c.utf16.size());
    // The prefix is the byte length, and a terminator follows the text.
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(b.get()) - 4, 4);
    EXPECT_EQ(prefix, 2 * c.utf16.size());
    EXPECT_EQ(b.get()[c.utf16.size()], 0);
    EXPECT_EQ(b.view(), c.utf16);
    EXPECT_EQ(b.str() == c.utf8, c.roundTrip) << b.str();
    JBstr copy(b);
    EXPECT_NE(copy.get(), b.get());
    EXPECT_EQ(copy.view(), c.utf16);
  }
  EXPECT_EQ(utf8FromUtf16(u"x\xD800y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(utf8FromUtf16(u"\xDC00"), "\xEF\xBF\xBD");
}

TEST(Bstr, NullIsTheEmptyText) {
  EXPECT_EQ(stringFromBstr(nullptr), "");
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
}

VARIANT real(double d) {
  VARIANT v = make(VT_R8, 0);
  v.dblVal = d;
  return v;
}

VARIANT real4(float f) {
  VARIANT v = make(VT_R4, 0);
  v.fltVal = f;
  return v;
}

// Each type the control passes to text, conversions between scalars, and
// the refusals, which leave the destination as it was.
TEST(Variant, ChangeType) {
  LONG referenced = 7;
  VARIANT byRef = make(VT_BYREF | VT_I4, 0);
  byRef.plVal = &referenced;
  JComVariant letters("abc");
  JComVariant big("70000");
  JComVariant n42(" 42 ");
  JComVariant half("4.5");
  JComVariant truth("True");
  JComVariant unknown(static_cast<IDispatch*>(nullptr));
  unknown.vt = VT_UNKNOWN;
  const struct {
    const char* name;
    VARIANT value;
    VARTYPE to;
    HRESULT hr;
    std::string text;  // to VT_BSTR
    LONGLONG bits;     // otherwise: the result's storage, sign-extended from its width
    USHORT flags = 0;
  } cases[] = {
      {"I2", make(VT_I2, 0xFFFB), VT_BSTR, S_OK, "-5", 0},
      {"I4 minimum", make(VT_I4, 0x80000000), VT_BSTR, S_OK, "-2147483648", 0},
      {"UI4", make(VT_UI4, 0xFFFFFFFF), VT_BSTR, S_OK, "4294967295", 0},
      {"I8", make(VT_I8, -9000000000LL), VT_BSTR, S_OK, "-9000000000", 0},
      {"BOOL true", make(VT_BOOL, 0xFFFF), VT_BSTR, S_OK, "-1", 0},
      {"BOOL true as a word", make(VT_BOOL, 0xFFFF), VT_BSTR, S_OK, "True", 0, VARIANT_ALPHABOOL},
      {"R8 large", real(1e21), VT_BSTR, S_OK, "1E+21", 0},
      {"R8 fifteen digits", real(0.1 + 0.2), VT_BSTR, S_OK, "0.3", 0},
      {"R4", real4(0.1f), VT_BSTR, S_OK, "0.1", 0},
      {"CY negative", make(VT_CY, -15000), VT_BSTR, S_OK, "-1.5", 0},
      {"EMPTY", make(VT_EMPTY, 0), VT_BSTR, S_OK, "", 0},
      {"by reference", byRef, VT_BSTR, S_OK, "7", 0},
      {"text to I4", n42, VT_I4, S_OK, "", 42},
      {"half rounds to even down", half, VT_I4, S_OK, "", 4},
      {"half rounds to even up", real(5.5), VT_I4, S_OK, "", 6},
      {"word to BOOL", truth, VT_BOOL, S_OK, "", -1},
      {"non-zero to BOOL", make(VT_I4, 2), VT_BOOL, S_OK, "", -1},
      {"BOOL to I4", make(VT_BOOL, 0xFFFF), VT_I4, S_OK, "", -1},
      {"EMPTY to I4", make(VT_EMPTY, 0), VT_I4, S_OK, "", 0},
      {"NULL to text", make(VT_NULL, 0), VT_BSTR, DISP_E_TYPEMISMATCH, "", 0},
      {"null UNKNOWN to text", unknown, VT_BSTR, DISP_E_TYPEMISMATCH, "", 0},
      {"letters to I4", letters, VT_I4, DISP_E_TYPEMISMATCH, "", 0},
      {"text past I2", big, VT_I2, DISP_E_OVERFLOW, "", 0},
      {"real rounding past I4", real(2147483647.5), VT_I4, DISP_E_OVERFLOW, "", 0},
      {"unknown source type", make(0x7F, 0), VT_BSTR, DISP_E_BADVARTYPE, "", 0},
      {"array target", make(VT_I4, 1), VT_ARRAY | VT_I4, DISP_E_BADVARTYPE, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JComVariant out(LONG{99});
    ASSERT_EQ(VariantChangeType(&out, &c.value, c.flags, c.to), c.hr);
    if (FAILED(c.hr)) {
      EXPECT_EQ(out.vt, VT_I4);
      EXPECT_EQ(out.lVal, 99);
    } else if (c.to == VT_BSTR) {
      ASSERT_EQ(out.vt, VT_BSTR);
      EXPECT_EQ(stringFromBstr(out.bstrVal), c.text);
    } else {
      ASSERT_EQ(out.vt, c.to);
      EXPECT_EQ(c.to == VT_BOOL ? out.iVal : out.lVal, c.bits);
    }
  }
}

TEST(Variant, OwnsItsStringAndReference) {
  auto* object = new Sample;  // one reference, ours
  {
    JComVariant held(static_cast<IDispatch*>(object));
    EXPECT_EQ(refsOf(object), 2u);
    JComVariant copy(held);
    EXPECT_EQ(refsOf(object), 3u);
    // A dispatch value converts through its default property.
    JComVariant text;
    ASSERT_EQ(VariantChangeType(&text, &held, 0, VT_BSTR), S_OK);
    EXPECT_EQ(stringFromBstr(text.bstrVal), "localhost");
    EXPECT_EQ(VariantChangeType(&text, &held, VARIANT_NOVALUEPROP, VT_BSTR), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(refsOf(object), 2u);
    // Converting in place releases what the source held.
    ASSERT_EQ(VariantChangeType(&held, &held, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(held.vt, VT_UNKNOWN);
    EXPECT_EQ(refsOf(object), 2u);
  }
  EXPECT_EQ(refsOf(object), 1u);
  object->Release();

  JComVariant n("12");
  ASSERT_EQ(VariantChangeType(&n, &n, 0, VT_I4), S_OK);
  EXPECT_EQ(n.lVal, 12);

  // A by-reference VARIANT owns nothing (an out argument's copy is the
  // console host's test).
  BSTR owned = bstrFromString("referenced");
  VARIANT ref = make(VT_BYREF | VT_BSTR, 0);
  ref.pbstrVal = &owned;
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(stringFromBstr(owned), "referenced");
  SysFreeString(owned);

  VARIANT bad = make(VT_ARRAY | VT_I4, 0);
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(bad.vt, VT_ARRAY | VT_I4);
}

}  // namespace
}  // namespace zq::com
