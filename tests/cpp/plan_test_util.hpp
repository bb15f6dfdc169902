// Shared helpers for tests of compiled plans: a small builder over the
// circuit-builder API, reproducible random plans and parameters, and a
// double-precision dense oracle that runs a compiled plan step by step.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/exec/circuit_spec.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/observables/observable.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim::testing {

class PlanBuilder {
public:
    PlanBuilder(std::uint32_t num_qubits, std::uint32_t num_params)
        : spec_(ParameterizedCircuitSpec::create(num_qubits).value()) {
        for (std::uint32_t k = 0; k < num_params; ++k) register_parameter(spec_, std::nullopt);
    }
    PlanBuilder& gate(Gate g) {
        EXPECT_TRUE(add_fixed_gate(spec_, std::move(g)));
        return *this;
    }
    PlanBuilder& h(Qubit q) { return gate(single_qubit_gate(q, matrices::h()).value()); }
    PlanBuilder& x(Qubit q) { return gate(single_qubit_gate(q, matrices::x()).value()); }
    PlanBuilder& cx(Qubit c, Qubit t) { return gate(controlled_gate({c}, t, matrices::x()).value()); }
    PlanBuilder& measure(Qubit q) { return gate(Measure{q}); }
    PlanBuilder& reset(Qubit q) { return gate(Reset{q}); }
    PlanBuilder& rot(RotationKind kind, Qubit q, std::uint32_t slot) {
        EXPECT_TRUE(add_param_single(spec_, kind, q, slot));
        return *this;
    }
    CompiledCircuit compile() const { return sim::compile(spec_); }

private:
    ParameterizedCircuitSpec spec_;
};

// A plan of `steps` random items on n ≥ 2 qubits: one- and two-qubit fixed
// gates and rotations whose slots are drawn from `slots`.
inline CompiledCircuit random_plan(std::uint32_t n, std::uint32_t num_params,
                                   const std::vector<std::uint32_t>& slots, std::size_t steps,
                                   std::mt19937& rng) {
    PlanBuilder b(n, num_params);
    for (std::size_t i = 0; i < steps; ++i) {
        const Qubit q = rng() % n;
        const Qubit other = (q + 1 + rng() % (n - 1)) % n;
        switch (rng() % 6) {
            case 0: b.h(q); break;
            case 1: b.cx(q, other); break;
            case 2:
                b.gate(Unitary{Operation::create({q, other}, matrices::iswap()).value()});
                break;
            default:
                if (slots.empty()) {
                    b.h(q);
                } else {
                    b.rot(static_cast<RotationKind>(rng() % 4), q, slots[rng() % slots.size()]);
                }
        }
    }
    return b.compile();
}

inline std::vector<float> random_params(std::size_t count, std::mt19937& rng) {
    std::vector<float> p(count);
    for (float& v : p) v = std::uniform_real_distribution<float>(-3.5f, 3.5f)(rng);
    return p;
}

// The rotation of a parameter step in double precision, from its definition.
inline DenseMatrix rotation_dense(RotationKind kind, double theta) {
    const double t = theta;
    const std::complex<double> i(0.0, 1.0);
    switch (kind) {
        case RotationKind::Rx:
            return {std::cos(t / 2), -i * std::sin(t / 2), -i * std::sin(t / 2), std::cos(t / 2)};
        case RotationKind::Ry:
            return {std::cos(t / 2), -std::sin(t / 2), std::sin(t / 2), std::cos(t / 2)};
        case RotationKind::Rz:
            return {std::exp(-i * t / 2.0), 0.0, 0.0, std::exp(i * t / 2.0)};
        case RotationKind::P:
            return {1.0, 0.0, 0.0, std::exp(i * t)};
    }
    return {};
}

// The final state of a plan without measurements or resets, in double
// precision: every step applied as a dense matrix on the whole register.
// The parameters may be float or double.
template <class T>
std::vector<std::complex<double>> run_dense(const CompiledCircuit& plan,
                                            const std::vector<T>& params) {
    const std::size_t size = std::size_t{1} << plan.num_qubits;
    std::vector<std::complex<double>> v(size);
    v[0] = 1.0;
    for (const CompiledOp& step : plan.ops) {
        DenseMatrix full;
        if (const auto* p = std::get_if<ParamOp>(&step)) {
            const DenseMatrix m = rotation_dense(p->kind, params[p->slot]);
            const std::size_t bit = std::size_t{1} << p->target;
            full.assign(size * size, 0.0);
            for (std::size_t r = 0; r < size; ++r)
                for (std::size_t c = 0; c < size; ++c)
                    if ((r & ~bit) == (c & ~bit))
                        full[r * size + c] = m[((r & bit) ? 2 : 0) + ((c & bit) ? 1 : 0)];
        } else {
            const Gate& g = std::get<FixedOp>(step).gate;
            const auto* u = std::get_if<Unitary>(&g);
            if (u == nullptr) continue;  // barriers
            full = full_matrix(u->op, plan.num_qubits);
        }
        std::vector<std::complex<double>> out(size);
        for (std::size_t r = 0; r < size; ++r)
            for (std::size_t c = 0; c < size; ++c) out[r] += full[r * size + c] * v[c];
        v = out;
    }
    return v;
}

inline ::testing::AssertionResult near_dense(const StateVector& state,
                                             const std::vector<std::complex<double>>& want,
                                             double tol) {
    if (state.size() != want.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (std::size_t i = 0; i < want.size(); ++i) {
        const std::complex<double> got(state.amplitudes[i].re, state.amplitudes[i].im);
        if (std::abs(got - want[i]) > tol)
            return ::testing::AssertionFailure() << "amplitude " << i << ": " << got << " vs "
                                                 << want[i];
    }
    return ::testing::AssertionSuccess();
}

// Same float; +0 equals −0 and NaN equals NaN.
inline ::testing::AssertionResult same_float(float a, float b) {
    if (a == b || (std::isnan(a) && std::isnan(b))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b << " (bits " << std::hex << bits(a)
                                         << " vs " << bits(b) << ")";
}

inline ::testing::AssertionResult same_floats(std::span<const float> a, std::span<const float> b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (std::size_t i = 0; i < a.size(); ++i)
        if (auto r = same_float(a[i], b[i]); !r) return r << " at entry " << i;
    return ::testing::AssertionSuccess();
}

inline Observable z_on(Qubit q) { return Observable::single(Pauli::Z, q, 1.0f).value(); }

// A mixed observable over n ≥ 2 qubits: every phase class and an identity.
inline Observable mixed_observable(std::uint32_t n) {
    std::vector<PauliTerm> terms;
    terms.push_back(PauliTerm::create({{0, Pauli::Z}, {1, Pauli::Z}}, 0.5f).value());
    terms.push_back(PauliTerm::create({{0, Pauli::X}, {n - 1, Pauli::Y}}, -0.75f).value());
    terms.push_back(PauliTerm::create({{1, Pauli::Y}}, 1.25f).value());
    terms.push_back(PauliTerm::create({{0, Pauli::Y}, {1, Pauli::Y}}, 0.3f).value());
    terms.push_back(PauliTerm::create({}, -0.2f).value());
    return Observable::create(std::move(terms)).value();
}

}  // namespace vantelo::sim::testing
