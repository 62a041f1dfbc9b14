// The function tables of the nine submodules, each in registration order.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "batch/pool.hpp"
#include "call.hpp"
#include "saturate.hpp"

namespace qm::bindings {

extern const py::FunctionTable augmentation_functions;
extern const py::FunctionTable pattern_injection_functions;
extern const py::FunctionTable distributions_functions;
extern const py::FunctionTable statistical_functions;
extern const py::FunctionTable stochastic_functions;
extern const py::FunctionTable volatility_functions;
extern const py::FunctionTable multivariate_functions;
extern const py::FunctionTable domain_functions;
extern const py::FunctionTable batch_functions;

// True when `slots` names, in order, the parameters of `signature` other
// than length, seed and those in `skip` (the arrays): the batch road's
// scalars then follow the Python function's signature. Used in a
// static_assert beside each generator's definition.
template <class Rec, std::size_t N>
consteval bool slots_follow(std::string_view signature, const std::array<Slot<Rec>, N>& slots,
                            std::initializer_list<std::string_view> skip = {}) {
    std::size_t next = 0;
    while (!signature.empty()) {
        const std::size_t comma = signature.find(',');
        std::string_view item = signature.substr(0, comma);
        signature = comma == std::string_view::npos ? std::string_view{} : signature.substr(comma + 1);
        item = item.substr(0, item.find('='));
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        bool skipped = item == "length" || item == "seed";
        for (std::string_view s : skip) skipped = skipped || item == s;
        if (skipped) continue;
        if (next == N || slots[next].name != item) return false;
        ++next;
    }
    return next == N;
}

// The default pool's size comes from the environment. A call that may use
// the default pool (`n_workers` 0) reads it, the first time, while it still
// holds the interpreter lock, so the read never races a Python thread writing
// os.environ.
inline void read_default_pool_size(uint64_t n_workers = 0) {
    if (n_workers == 0) default_pool_size();
}

// A new series of `length` values (checked > 0 by check_length) filled by
// `core` without the lock.
template <class Core>
PyObject* series(int32_t length, Core core) {
    std::vector<double> out(static_cast<std::size_t>(length));
    py::nogil([&] { core(std::span<double>(out)); });
    return py::to_array(std::move(out));
}

}  // namespace qm::bindings
