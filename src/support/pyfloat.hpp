// Python's repr() of a float, shared by repr and JSON output.
#pragma once

#include <string>

namespace img_util {

// Shortest text that reads back as the same double, laid out as Python prints it:
// "1.0", "0.0001", "1e-05", "1e+16", "1.5e+16", "inf", "-inf", "nan".
std::string py_float_repr(double d);

}  // namespace img_util
