// The message of the JError a call throws, for tables of failure cases.
#pragma once

#include <functional>
#include <string>

#include "base/error.h"

namespace zq::test {

/// The message of the JError `f` throws; "" when it throws none.
inline std::string thrownText(const std::function<void()>& f) {
  try {
    f();
  } catch (const JError& e) {
    return e.message();
  }
  return "";
}

}  // namespace zq::test
