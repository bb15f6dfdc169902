#include "sim/serial/snapshot.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>
#include <variant>

#include "sim/gates/block_fusion.hpp"
#include "sim/messages.hpp"
#include "sim/gates/channel.hpp"
#include "sim/noise/catalog.hpp"
#include "sim/serial/wire.hpp"

namespace vantelo::sim::snapshot {

namespace {

using wire::Reader;
using wire::Writer;

constexpr std::uint8_t kMagic[4] = {'V', 'N', 'T', 'L'};

// Codes of the tagged items. Stored values: never renumber.
enum class GateTag : std::uint8_t { Unitary = 0, Measure = 1, Reset = 2, Barrier = 3, Noise = 4 };
enum class ItemTag : std::uint8_t { Fixed = 0, Param = 1 };

// A new member of an operation needs a place in its stored form (put_gate
// and get_gate) before this may change.
static_assert(sizeof(Operation) == 2 * sizeof(std::vector<Qubit>) + sizeof(SharedMatrix),
              "store every member of Operation");

template <class T>
constexpr std::uint8_t kind_of() {
    constexpr auto index = []<std::size_t... I>(std::index_sequence<I...>) {
        std::size_t found = 0;
        (void)((std::is_same_v<T, std::variant_alternative_t<I, Object>> ? (found = I, true) : false) || ...);
        return found;
    }(std::make_index_sequence<std::variant_size_v<Object>>{});
    return static_cast<std::uint8_t>(index);
}

Writer header(std::uint8_t kind) {
    Writer w;
    w.bytes(kMagic);
    w.u16(kFormatVersion);
    w.u8(kind);
    return w;
}

void put_name(Writer& w, const std::optional<std::string>& name) {
    w.u8(name ? 1 : 0);
    if (!name) return;
    w.u32(static_cast<std::uint32_t>(name->size()));
    w.bytes({reinterpret_cast<const std::uint8_t*>(name->data()), name->size()});
}

void put_gate(Writer& w, const Gate& gate) {
    std::visit(
        [&](const auto& item) {
            using T = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<T, Unitary>) {
                w.u8(static_cast<std::uint8_t>(GateTag::Unitary));
                w.u32(static_cast<std::uint32_t>(item.op.targets.size()));
                for (Qubit q : item.op.targets) w.u32(q);
                w.u32(static_cast<std::uint32_t>(item.op.controls.size()));
                for (Qubit q : item.op.controls) w.u32(q);
                w.u64(item.op.matrix.size());
                for (Amplitude a : item.op.matrix) {
                    w.f32(a.re);
                    w.f32(a.im);
                }
            } else if constexpr (std::is_same_v<T, Measure>) {
                w.u8(static_cast<std::uint8_t>(GateTag::Measure));
                w.u32(item.qubit);
            } else if constexpr (std::is_same_v<T, Reset>) {
                w.u8(static_cast<std::uint8_t>(GateTag::Reset));
                w.u32(item.qubit);
            } else if constexpr (std::is_same_v<T, Noise>) {
                const Channel& c = *item.channel;
                w.u8(static_cast<std::uint8_t>(GateTag::Noise));
                w.u32(static_cast<std::uint32_t>(c.qubits.size()));
                for (Qubit q : c.qubits) w.u32(q);
                w.u8(c.mixture ? 1 : 0);
                w.u32(static_cast<std::uint32_t>(c.branches.size()));
                for (std::size_t k = 0; k < c.branches.size(); ++k) {
                    w.u64(std::bit_cast<std::uint64_t>(c.weights[k]));
                    for (Amplitude a : c.branches[k].matrix) {
                        w.f32(a.re);
                        w.f32(a.im);
                    }
                }
            } else {
                static_assert(std::is_same_v<T, Barrier>, "every gate kind needs a stored form");
                w.u8(static_cast<std::uint8_t>(GateTag::Barrier));
            }
        },
        gate);
}

void put_items(Writer& w, const std::vector<CompiledOp>& items) {
    w.u32(static_cast<std::uint32_t>(items.size()));
    for (const CompiledOp& item : items) {
        if (const auto* fixed = std::get_if<FixedOp>(&item)) {
            w.u8(static_cast<std::uint8_t>(ItemTag::Fixed));
            put_gate(w, fixed->gate);
        } else {
            const auto& p = std::get<ParamOp>(item);
            w.u8(static_cast<std::uint8_t>(ItemTag::Param));
            w.u8(static_cast<std::uint8_t>(p.kind));
            w.u32(p.target);
            w.u32(p.slot);
        }
    }
}

Result<std::optional<std::string>> get_name(Reader& r) {
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t flag, r.u8());
    if (flag == 0) return std::optional<std::string>{};
    if (flag != 1) return fail(msg::pickle_invalid_code("name flag", flag));
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t length, r.u32());
    VANTELO_ASSIGN_OR_RETURN(std::string text, r.text(length));
    if (!is_utf8(text)) return fail(msg::pickle_bad_name());
    return std::optional<std::string>{std::move(text)};
}

Result<Gate> get_gate(Reader& r) {
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t tag, r.u8());
    switch (static_cast<GateTag>(tag)) {
        case GateTag::Unitary: {
            VANTELO_ASSIGN_OR_RETURN(const std::uint32_t k_raw, r.u32());
            VANTELO_ASSIGN_OR_RETURN(const std::size_t k, r.count(k_raw, 4));
            std::vector<Qubit> targets(k);
            for (Qubit& q : targets) {
                VANTELO_ASSIGN_OR_RETURN(q, r.u32());
            }
            VANTELO_ASSIGN_OR_RETURN(const std::uint32_t c_raw, r.u32());
            VANTELO_ASSIGN_OR_RETURN(const std::size_t c, r.count(c_raw, 4));
            std::vector<Qubit> controls(c);
            for (Qubit& q : controls) {
                VANTELO_ASSIGN_OR_RETURN(q, r.u32());
            }
            VANTELO_ASSIGN_OR_RETURN(const std::uint64_t n_raw, r.u64());
            VANTELO_ASSIGN_OR_RETURN(const std::size_t n, r.count(n_raw, 8));
            std::vector<Amplitude> matrix(n);
            for (Amplitude& a : matrix) {
                VANTELO_ASSIGN_OR_RETURN(a.re, r.f32());
                VANTELO_ASSIGN_OR_RETURN(a.im, r.f32());
            }
            if (!controls.empty())
                return make_controlled_unitary_gate(std::move(controls), std::move(targets), std::move(matrix));
            return unitary_gate(restore_operation(std::move(targets), std::move(matrix)));
        }
        case GateTag::Measure: {
            VANTELO_ASSIGN_OR_RETURN(const Qubit q, r.u32());
            return Gate{Measure{q}};
        }
        case GateTag::Reset: {
            VANTELO_ASSIGN_OR_RETURN(const Qubit q, r.u32());
            return Gate{Reset{q}};
        }
        case GateTag::Barrier: return Gate{Barrier{}};
        case GateTag::Noise: {
            VANTELO_ASSIGN_OR_RETURN(const std::uint32_t k_raw, r.u32());
            if (k_raw < 1 || k_raw > 3) return fail(msg::pickle_invalid_code("channel width", k_raw));
            std::vector<Qubit> qubits(k_raw);
            for (Qubit& q : qubits) {
                VANTELO_ASSIGN_OR_RETURN(q, r.u32());
            }
            VANTELO_ASSIGN_OR_RETURN(const std::uint8_t mixture, r.u8());
            if (mixture > 1) return fail(msg::pickle_invalid_code("channel form", mixture));
            VANTELO_ASSIGN_OR_RETURN(const std::uint32_t b_raw, r.u32());
            const std::size_t dim = std::size_t{1} << k_raw;
            VANTELO_ASSIGN_OR_RETURN(const std::size_t branches, r.count(b_raw, 8 + 8 * dim * dim));
            std::vector<double> weights(branches);
            std::vector<std::vector<Amplitude>> matrices(branches, std::vector<Amplitude>(dim * dim));
            for (std::size_t k = 0; k < branches; ++k) {
                VANTELO_ASSIGN_OR_RETURN(const std::uint64_t bits, r.u64());
                weights[k] = std::bit_cast<double>(bits);
                for (Amplitude& a : matrices[k]) {
                    VANTELO_ASSIGN_OR_RETURN(a.re, r.f32());
                    VANTELO_ASSIGN_OR_RETURN(a.im, r.f32());
                }
            }
            return restore_channel(std::move(qubits), mixture == 1, std::move(weights), std::move(matrices));
        }
    }
    return fail(msg::pickle_invalid_code("gate", tag));
}

// A rotation item's fields; the caller checks them against its width and
// parameter count.
Result<ParamOp> get_param_op(Reader& r) {
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t kind, r.u8());
    if (kind > static_cast<std::uint8_t>(RotationKind::P))
        return fail(msg::pickle_invalid_code("rotation", kind));
    ParamOp op;
    op.kind = static_cast<RotationKind>(kind);
    VANTELO_ASSIGN_OR_RETURN(op.target, r.u32());
    VANTELO_ASSIGN_OR_RETURN(op.slot, r.u32());
    return op;
}

// Reads the item list, handing each item to add (which checks it).
template <class Add>
Status get_items(Reader& r, Add add) {
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t n_raw, r.u32());
    VANTELO_ASSIGN_OR_RETURN(const std::size_t n, r.count(n_raw, 1));
    bool after_barrier = false;
    for (std::size_t i = 0; i < n; ++i) {
        VANTELO_ASSIGN_OR_RETURN(const std::uint8_t tag, r.u8());
        if (tag == static_cast<std::uint8_t>(ItemTag::Fixed)) {
            VANTELO_ASSIGN_OR_RETURN(Gate gate, get_gate(r));
            const bool barrier = std::holds_alternative<Barrier>(gate);
            if (barrier && after_barrier) continue;  // see get_circuit
            after_barrier = barrier;
            VANTELO_TRY(add(CompiledOp{FixedOp{std::move(gate)}}));
        } else if (tag == static_cast<std::uint8_t>(ItemTag::Param)) {
            after_barrier = false;
            VANTELO_ASSIGN_OR_RETURN(const ParamOp op, get_param_op(r));
            VANTELO_TRY(add(CompiledOp{op}));
        } else {
            return fail(msg::pickle_invalid_code("item", tag));
        }
    }
    return {};
}

Result<Object> get_parameter(Reader& r) {
    ParameterRecord p;
    VANTELO_ASSIGN_OR_RETURN(p.index, r.u32());
    VANTELO_ASSIGN_OR_RETURN(p.name, get_name(r));
    return Object{std::move(p)};
}

Result<Object> get_observable(Reader& r) {
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t n_raw, r.u32());
    VANTELO_ASSIGN_OR_RETURN(const std::size_t n, r.count(n_raw, 8));
    std::vector<PauliTerm> terms;
    terms.reserve(n);
    for (std::size_t t = 0; t < n; ++t) {
        VANTELO_ASSIGN_OR_RETURN(const float coefficient, r.f32());
        VANTELO_ASSIGN_OR_RETURN(const std::uint32_t f_raw, r.u32());
        VANTELO_ASSIGN_OR_RETURN(const std::size_t f, r.count(f_raw, 5));
        std::vector<PauliFactor> factors(f);
        for (PauliFactor& factor : factors) {
            VANTELO_ASSIGN_OR_RETURN(factor.qubit, r.u32());
            VANTELO_ASSIGN_OR_RETURN(const std::uint8_t code, r.u8());
            if (code > static_cast<std::uint8_t>(Pauli::Z))
                return fail(msg::pickle_invalid_code("Pauli", code));
            factor.pauli = static_cast<Pauli>(code);
        }
        VANTELO_ASSIGN_OR_RETURN(PauliTerm term, PauliTerm::create(std::move(factors), coefficient));
        terms.push_back(std::move(term));
    }
    VANTELO_ASSIGN_OR_RETURN(Observable observable, Observable::create(std::move(terms)));
    return Object{std::move(observable)};
}

Result<Object> get_spec(Reader& r) {
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t num_qubits, r.u32());
    VANTELO_ASSIGN_OR_RETURN(ParameterizedCircuitSpec spec, ParameterizedCircuitSpec::create(num_qubits));
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t p_raw, r.u32());
    VANTELO_ASSIGN_OR_RETURN(const std::size_t p, r.count(p_raw, 1));
    for (std::size_t i = 0; i < p; ++i) {
        VANTELO_ASSIGN_OR_RETURN(std::optional<std::string> name, get_name(r));
        register_parameter(spec, std::move(name));
    }
    VANTELO_TRY(get_items(r, [&](CompiledOp item) -> Status {
        if (auto* fixed = std::get_if<FixedOp>(&item)) return add_fixed_gate(spec, std::move(fixed->gate));
        const auto& op = std::get<ParamOp>(item);
        return add_param_single(spec, op.kind, op.target, op.slot);
    }));
    return Object{std::move(spec)};
}

constexpr std::uint8_t kNumericsMark = 'N';

void put_numerics(Writer& w, const Numerics& numerics) {
    if (numerics == Numerics{}) return;
    w.u8(kNumericsMark);
    w.u8(static_cast<std::uint8_t>(numerics.sums));
    w.u8(numerics.fusion);
}

Status get_numerics(Reader& r, Numerics& numerics) {
    if (r.remaining() == 0) return {};
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t mark, r.u8());
    if (mark != kNumericsMark) return fail(msg::pickle_invalid_code("numerics", mark));
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t sums, r.u8());
    if (sums > static_cast<std::uint8_t>(SumPrecision::Float64))
        return fail(msg::pickle_invalid_code("sums", sums));
    numerics.sums = static_cast<SumPrecision>(sums);
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t fusion, r.u8());
    if (fusion == 1 || fusion > kMaxFusionQubits) return fail(msg::pickle_invalid_code("fusion", fusion));
    numerics.fusion = fusion;
    return {};
}

// The plan's steps are taken as stored (already fused); each is checked as
// add_fixed_gate and add_param_single check the items they accept.
Result<Object> get_plan(Reader& r) {
    CompiledCircuit plan;
    VANTELO_ASSIGN_OR_RETURN(plan.num_qubits, r.u32());
    if (plan.num_qubits == 0) return fail(msg::spec_needs_qubits());
    VANTELO_ASSIGN_OR_RETURN(plan.parameter_count, r.u32());
    VANTELO_TRY(get_items(r, [&](CompiledOp item) -> Status {
        if (const auto* fixed = std::get_if<FixedOp>(&item)) {
            VANTELO_TRY(check_gate_qubits(fixed->gate, plan.num_qubits));
        } else {
            const auto& op = std::get<ParamOp>(item);
            if (op.target >= plan.num_qubits) return fail(msg::qubit_out_of_range(op.target, plan.num_qubits));
            if (op.slot >= plan.parameter_count) return fail(msg::parameter_slot_missing(op.slot));
        }
        plan.ops.push_back(std::move(item));
        return {};
    }));
    VANTELO_TRY(get_numerics(r, plan.numerics));
    return Object{std::move(plan)};
}

// How a stored circuit's list was written (format 2 on): the caller's list,
// which the reader fuses again as the constructor did, or the list as run,
// taken as stored (format 1 stored every circuit so).
enum class ListForm : std::uint8_t { AsListed = 0, AsRun = 1 };

// The qubits of the gates are checked against the register when the circuit
// runs, as for a circuit built from gates.
Result<Object> get_circuit(Reader& r, std::uint16_t version) {
    ListForm form = ListForm::AsRun;
    if (version >= 2) {
        VANTELO_ASSIGN_OR_RETURN(const std::uint8_t code, r.u8());
        if (code > static_cast<std::uint8_t>(ListForm::AsRun)) return fail(msg::pickle_invalid_code("list form", code));
        form = static_cast<ListForm>(code);
    }
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t n_raw, r.u32());
    VANTELO_ASSIGN_OR_RETURN(const std::size_t n, r.count(n_raw, 1));
    Circuit circuit;
    // A stored barrier takes one byte and a decoded gate 72, so untrusted
    // bytes could ask for 72 times their size. A run of barriers acts as one
    // (nothing runs at a barrier and it only separates what fusion may join),
    // so only its first is kept; every other gate takes 5 bytes or more, and
    // the reservation stays within what those could fill.
    constexpr std::size_t kMinKeptGateBytes = 5;
    circuit.gates.reserve(std::min(n, r.remaining() / kMinKeptGateBytes + 1));
    bool after_barrier = false;
    bool merged = false;
    for (std::size_t i = 0; i < n; ++i) {
        VANTELO_ASSIGN_OR_RETURN(Gate gate, get_gate(r));
        const bool barrier = std::holds_alternative<Barrier>(gate);
        if (barrier && after_barrier) {
            merged = true;
            continue;
        }
        after_barrier = barrier;
        circuit.gates.push_back(std::move(gate));
    }
    VANTELO_TRY(get_numerics(r, circuit.numerics));
    if (form == ListForm::AsListed) circuit = Circuit::create(std::move(circuit.gates), circuit.numerics);
    if (form == ListForm::AsRun || merged) {
        // Conditions name gates by their place in the caller's list, which
        // this one no longer is.
        circuit.listed.clear();
        circuit.renumbered = true;
    }
    return Object{std::move(circuit)};
}

Result<Object> get_body(Reader& r, std::uint8_t kind, std::uint16_t version) {
    switch (kind) {
        case kind_of<Gate>(): {
            VANTELO_ASSIGN_OR_RETURN(Gate gate, get_gate(r));
            return Object{std::in_place_index<kind_of<Gate>()>, std::move(gate)};
        }
        case kind_of<ParameterRecord>(): return get_parameter(r);
        case kind_of<Observable>(): return get_observable(r);
        case kind_of<ParameterizedCircuitSpec>(): return get_spec(r);
        case kind_of<CompiledCircuit>(): return get_plan(r);
        case kind_of<Circuit>(): return get_circuit(r, version);
        default: return fail(msg::pickle_invalid_code("object", kind));
    }
}

}  // namespace

std::vector<std::uint8_t> encode(const Gate& gate) {
    Writer w = header(kind_of<Gate>());
    put_gate(w, gate);
    return std::move(w).take();
}

std::vector<std::uint8_t> encode(const ParameterRecord& parameter) {
    Writer w = header(kind_of<ParameterRecord>());
    w.u32(parameter.index);
    put_name(w, parameter.name);
    return std::move(w).take();
}

std::vector<std::uint8_t> encode(const Observable& observable) {
    Writer w = header(kind_of<Observable>());
    w.u32(static_cast<std::uint32_t>(observable.terms.size()));
    for (const PauliTerm& term : observable.terms) {
        w.f32(term.coefficient);
        w.u32(static_cast<std::uint32_t>(term.ops.size()));
        for (const PauliFactor& f : term.ops) {
            w.u32(f.qubit);
            w.u8(static_cast<std::uint8_t>(f.pauli));
        }
    }
    return std::move(w).take();
}

std::vector<std::uint8_t> encode(const ParameterizedCircuitSpec& spec) {
    Writer w = header(kind_of<ParameterizedCircuitSpec>());
    w.u32(spec.num_qubits);
    w.u32(static_cast<std::uint32_t>(spec.parameters.size()));
    for (const auto& name : spec.parameters) put_name(w, name);
    put_items(w, spec.items);
    return std::move(w).take();
}

std::vector<std::uint8_t> encode(const CompiledCircuit& plan) {
    Writer w = header(kind_of<CompiledCircuit>());
    w.u32(plan.num_qubits);
    w.u32(plan.parameter_count);
    put_items(w, plan.ops);
    put_numerics(w, plan.numerics);
    return std::move(w).take();
}

std::vector<std::uint8_t> encode(const Circuit& circuit) {
    Writer w = header(kind_of<Circuit>());
    const ListForm form = circuit.renumbered ? ListForm::AsRun : ListForm::AsListed;
    const std::vector<Gate>& gates = circuit.renumbered ? circuit.gates : listed_gates(circuit);
    w.u8(static_cast<std::uint8_t>(form));
    w.u32(static_cast<std::uint32_t>(gates.size()));
    for (const Gate& gate : gates) put_gate(w, gate);
    put_numerics(w, circuit.numerics);
    return std::move(w).take();
}

Result<Object> decode(std::span<const std::uint8_t> bytes) {
    Reader r(bytes);
    for (std::uint8_t expected : kMagic) {
        auto byte = r.u8();
        if (!byte || *byte != expected) return fail(msg::pickle_not_ours());
    }
    VANTELO_ASSIGN_OR_RETURN(const std::uint16_t version, r.u16());
    if (version == 0 || version > kFormatVersion) return fail(msg::pickle_version(version, kFormatVersion));
    VANTELO_ASSIGN_OR_RETURN(const std::uint8_t kind, r.u8());
    VANTELO_ASSIGN_OR_RETURN(Object object, get_body(r, kind, version));
    if (r.remaining() != 0) return fail(msg::pickle_trailing(r.remaining()));
    return object;
}

bool is_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t cp = 0;
        if (b0 < 0x80) { ++i; continue; }
        if (b0 >= 0xC2 && b0 <= 0xDF) { length = 2; cp = b0 & 0x1F; }
        else if (b0 >= 0xE0 && b0 <= 0xEF) { length = 3; cp = b0 & 0x0F; }
        else if (b0 >= 0xF0 && b0 <= 0xF4) { length = 4; cp = b0 & 0x07; }
        else return false;
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        // Overlong three- and four-byte forms, surrogates, beyond U+10FFFF.
        if ((length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

}  // namespace vantelo::sim::snapshot
