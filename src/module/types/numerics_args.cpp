#include "module/types/numerics_args.hpp"

#include <string>

#include "module/binding/errors.hpp"

namespace vantelo::module {

bool Converter<SumsArg>::convert(PyObject* obj, SumsArg& out) {
    if (obj == nullptr) {
        out.value = sim::SumPrecision::Float32;
        return true;
    }
    std::string text;
    if (!convert_text(obj, text)) return false;
    if (text == "float32") {
        out.value = sim::SumPrecision::Float32;
    } else if (text == "float64") {
        out.value = sim::SumPrecision::Float64;
    } else {
        raise_value_error("sums must be 'float32' or 'float64', not '" + text + "'");
        return false;
    }
    return true;
}

}  // namespace vantelo::module
