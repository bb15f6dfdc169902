// The byte form of the module's objects, for pickling. Reading it back is
// reading untrusted input: every object is rebuilt through the checks its
// constructors make, and malformed bytes give an error, never a partial or
// unchecked object.
//
// Layout (little-endian): "VNTL", u16 format version, u8 kind (the index of
// the object in Object), then the kind's body; nothing may follow the body.
// A unitary gate is its targets, its controls and its matrix over the
// targets; stored controls are rebuilt as Gate.controlled_unitary builds them.
// Circuits and compiled plans are stored as they run (after fusion), so a
// restored object computes exactly what the original did; numerics other
// than the defaults follow their body as u8 'N', u8 sums (the SumPrecision
// code), u8 fusion, so objects with the defaults keep their bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/exec/circuit.hpp"
#include "sim/exec/circuit_spec.hpp"
#include "sim/gates/gate.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"

namespace vantelo::sim::snapshot {

// Written by this build; it reads every version from 1 to this one.
inline constexpr std::uint16_t kFormatVersion = 2;

// A parameter handle: its slot and its optional display name.
struct ParameterRecord {
    std::uint32_t index = 0;
    std::optional<std::string> name;
};

// Kinds in this order: Gate, Parameter, Observable, CircuitSpec,
// CompiledCircuit, Circuit.
using Object = std::variant<Gate, ParameterRecord, Observable, ParameterizedCircuitSpec,
                            CompiledCircuit, Circuit>;

std::vector<std::uint8_t> encode(const Gate& gate);
std::vector<std::uint8_t> encode(const ParameterRecord& parameter);
std::vector<std::uint8_t> encode(const Observable& observable);
std::vector<std::uint8_t> encode(const ParameterizedCircuitSpec& spec);
std::vector<std::uint8_t> encode(const CompiledCircuit& plan);
std::vector<std::uint8_t> encode(const Circuit& circuit);

// Rebuilds the object; fails on a wrong header, an unknown version or code,
// truncation, trailing bytes, or anything the constructors would refuse.
Result<Object> decode(std::span<const std::uint8_t> bytes);

// True for well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF): what a Python str can be encoded to.
bool is_utf8(std::string_view text);

}  // namespace vantelo::sim::snapshot
