// The keyword-only numerics options of Circuit and CircuitSpec.compile, one
// converter per option; numerics_from gathers them into the core's value.
#pragma once

#include "module/binding/args.hpp"
#include "module/binding/convert.hpp"
#include "sim/numerics.hpp"

namespace vantelo::module {

// sums="float32" (the default) or "float64".
struct SumsArg {
    sim::SumPrecision value = sim::SumPrecision::Float32;
};

template <>
struct Converter<SumsArg> {
    static bool convert(PyObject* obj, SumsArg& out);
};

// fusion=0 (the default) or a block width from 2 to 5.
struct FusionArg {
    std::uint8_t value = 0;
};

template <>
struct Converter<FusionArg> {
    static bool convert(PyObject* obj, FusionArg& out);
};

inline constexpr Param kSumsParam{"sums", "'float32'", true};
inline constexpr Param kFusionParam{"fusion", "0", true};

inline sim::Numerics numerics_from(FusionArg fusion, SumsArg sums) {
    sim::Numerics numerics;
    numerics.sums = sums.value;
    numerics.fusion = fusion.value;
    return numerics;
}

}  // namespace vantelo::module
