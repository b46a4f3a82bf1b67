// The run's counters in cfg["result"].
#pragma once

#include <string>
#include <string_view>

#include "img_util/errors.hpp"
#include "img_util/value.hpp"
#include "support/deferred.hpp"

namespace img_util {

// result[key] += 1, keeping the number's kind as Python's + would (a float stays a float, a
// bool counts as an int). Throws KeyError when "result" or `key` is missing and TypeError
// when the counter is no number.
inline void count_one(const Value& cfg, std::string_view key) {
  if (DeferredEffects* fx = deferring())
    return fx->add([k = std::string(key)](const Value& run_cfg) { count_one(run_cfg, k); });
  Value& counter = cfg.at("result").at(key);
  if (counter.is_float())
    counter = Value(counter.as_number() + 1.0);
  else if (counter.is_int() || counter.is_bool())
    counter = Value(counter.as_int() + 1);
  else
    throw TypeError("unsupported operand type(s) for +: '" + counter.type_name() + "' and 'int'");
}

}  // namespace img_util
