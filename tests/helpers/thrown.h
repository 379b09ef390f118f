// The message of the error a call throws, for tables of failure cases.
#pragma once

#include <string>

#include "base/error.h"

namespace zq::test {

/// The message of the E `f` throws; "" when it throws none.
template <class E = JError, class F>
std::string thrownText(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.message();
  }
  return "";
}

}  // namespace zq::test
