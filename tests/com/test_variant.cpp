// BSTR and VARIANT: round trips through the system code page, the byte-length
// prefix, conversion to text of each type the control passes and the
// refusals, conversions between scalars, and who frees what. Texts, longs
// and doubles printed, and a value converted in place to its own type, are
// the console host's and the control's tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "com/bstr.h"
#include "com/dispatch.h"
#include "com/ref_count.h"
#include "com/variant.h"

namespace zq::com {
namespace {

using namespace std::string_literals;

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

TEST(Bstr, NullAndSizedAllocations) {
  EXPECT_EQ(stringFromBstr(nullptr), "");
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
  JBstr odd = JBstr::adopt(SysAllocStringByteLen("abc", 3));
  EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
  EXPECT_EQ(SysStringLen(odd.get()), 1u);
  JBstr zeros = JBstr::adopt(SysAllocStringLen(nullptr, 4));
  EXPECT_EQ(zeros.view(), std::u16string(4, u'\0'));
}

// Counts its references, so that a test sees what a VARIANT holds.
struct Counted : JComObject<Counted, IDispatch> {
  ULONG refs() {
    AddRef();
    return Release();
  }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  // The default property is the text "value of counted".
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    if (member != DISPID_VALUE || flags != DISPATCH_PROPERTYGET || result == nullptr) {
      return DISP_E_MEMBERNOTFOUND;
    }
    result->vt = VT_BSTR;
    result->bstrVal = bstrFromString("value of counted");
    return S_OK;
  }
};

VARIANT make(VARTYPE vt, LONGLONG bits) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.llVal = bits;
  return v;
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
  auto* object = new Counted;  // one reference, ours
  {
    JComVariant held(static_cast<IDispatch*>(object));
    EXPECT_EQ(object->refs(), 2u);
    JComVariant copy(held);
    EXPECT_EQ(object->refs(), 3u);
    // A dispatch value converts through its default property.
    JComVariant text;
    ASSERT_EQ(VariantChangeType(&text, &held, 0, VT_BSTR), S_OK);
    EXPECT_EQ(stringFromBstr(text.bstrVal), "value of counted");
    EXPECT_EQ(VariantChangeType(&text, &held, VARIANT_NOVALUEPROP, VT_BSTR), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(object->refs(), 2u);
    // Converting in place releases what the source held.
    ASSERT_EQ(VariantChangeType(&held, &held, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(held.vt, VT_UNKNOWN);
    EXPECT_EQ(object->refs(), 2u);
  }
  EXPECT_EQ(object->refs(), 1u);
  object->Release();

  JComVariant n("12");
  ASSERT_EQ(VariantChangeType(&n, &n, 0, VT_I4), S_OK);
  EXPECT_EQ(n.lVal, 12);

  // A by-reference VARIANT owns nothing; VariantCopyInd copies the value.
  BSTR owned = bstrFromString("referenced");
  VARIANT ref = make(VT_BYREF | VT_BSTR, 0);
  ref.pbstrVal = &owned;
  JComVariant deep;
  ASSERT_EQ(VariantCopyInd(&deep, &ref), S_OK);
  EXPECT_EQ(deep.vt, VT_BSTR);
  EXPECT_NE(deep.bstrVal, owned);
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(stringFromBstr(owned), "referenced");
  SysFreeString(owned);

  VARIANT bad = make(VT_ARRAY | VT_I4, 0);
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(bad.vt, VT_ARRAY | VT_I4);
}

}  // namespace
}  // namespace zq::com
