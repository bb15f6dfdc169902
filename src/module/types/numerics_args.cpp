#include "module/types/numerics_args.hpp"

#include <string>

#include "module/binding/errors.hpp"
#include "sim/gates/block_fusion.hpp"

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

bool Converter<FusionArg>::convert(PyObject* obj, FusionArg& out) {
    out.value = 0;
    if (obj == nullptr) return true;
    if (PyBool_Check(obj)) {
        raise_type_error("fusion must be an int, not bool");
        return false;
    }
    std::uint32_t k = 0;
    if (!convert_u32(obj, k)) return false;
    if (k == 1 || k > sim::kMaxFusionQubits) {
        raise_value_error("fusion must be 0 (off) or a block width from 2 to 5, not " + std::to_string(k));
        return false;
    }
    out.value = static_cast<std::uint8_t>(k);
    return true;
}

}  // namespace vantelo::module
