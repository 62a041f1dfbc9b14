// Python-facing functions of the `batch` submodule: many series in parallel.
#include "batch/batch.hpp"
#include "bindings/bindings.hpp"

#include <mutex>

namespace qm::bindings {
namespace {

using py::ArrayIn;
using py::Ref;

// Converts with T's converter. A value that does not convert gives nullopt,
// whatever error its conversion (or a hook of the value's own) raised, except
// KeyboardInterrupt, SystemExit and MemoryError: swallowing those would lose
// a Ctrl-C, an exit or an exhausted memory, so they propagate.
template <class T>
std::optional<T> lenient(PyObject* value) {
    try {
        return py::Converter<T>::convert(value);
    } catch (const py::PyErrAlready&) {
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit) ||
            PyErr_ExceptionMatches(PyExc_MemoryError))
            throw;
        PyErr_Clear();
        return std::nullopt;
    }
}

std::optional<PiValue> read_pi_value(PiKind kind, PyObject* value) {
    switch (kind) {
        case PiKind::Flag: return PiValue(lenient<bool>(value).value_or(false));
        case PiKind::Int32:
            if (auto v = lenient<int64_t>(value)) return PiValue(*v);
            return std::nullopt;
        case PiKind::Float64: return PiValue(lenient<double>(value).value_or(0.0));
        case PiKind::Text:
            if (auto v = lenient<std::string>(value)) return PiValue(std::move(*v));
            return std::nullopt;
        // A list that shrinks or grows while it is read does not convert.
        case PiKind::FloatVector:
            if (auto v = lenient<py::FixedLength<double>>(value)) return PiValue(std::move(v->items));
            return PiValue(std::vector<double>{});
        case PiKind::TextList:
            if (auto v = lenient<py::FixedLength<std::string>>(value)) return PiValue(std::move(v->items));
            return PiValue(std::vector<std::string>{});
    }
    return std::nullopt;
}

// Absent keys and values that do not convert keep their defaults; a failing
// lookup raises (but not for the float lists), as do KeyboardInterrupt,
// SystemExit and MemoryError from a conversion (see lenient).
PatternInjectionConfig parse_pi_config(PyObject* dict) {
    PatternInjectionConfig config;
    for (const PiFieldInfo& field : kPiConfigFields) {
        Ref key(PyUnicode_FromStringAndSize(field.key.data(), static_cast<Py_ssize_t>(field.key.size())));
        Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key.get()));
        if (!value) {
            if (PyErr_Occurred()) {
                if (pi_lookup_error_is_fatal(field.kind)) throw py::PyErrAlready{};
                PyErr_Clear();
                if (field.kind == PiKind::FloatVector) set_pi_field(config, field.field, std::vector<double>{});
            }
            continue;
        }
        if (auto v = read_pi_value(field.kind, value.get())) set_pi_field(config, field.field, std::move(*v));
    }
    return config;
}

std::vector<std::vector<double>> copy_arrays(const std::vector<ArrayIn<double>>& arrays) {
    std::vector<std::vector<double>> out;
    out.reserve(arrays.size());
    for (const auto& a : arrays) out.push_back(a.to_vector());
    return out;
}

// The four keys of a result dict, made on first use: a batch builds one dict
// per series while holding the lock, so every saved step counts.
enum ResultKey { kValues, kCpIndices, kAnomIndices, kMissIndices };

PyObject* result_key(ResultKey k) {
    static constexpr const char* names[] = {"values", "cp_indices", "anom_indices", "miss_indices"};
    static std::atomic<PyObject*> keys[4]{};
    return py::check(py::first_use(keys[k], [k] { return PyUnicode_InternFromString(names[k]); }));
}

PyObject* result_dict(SeriesResult& r) {
    Ref dict(PyDict_New());
    py::dict_set(dict.get(), result_key(kValues), py::to_array(std::move(r.values)));
    py::dict_set(dict.get(), result_key(kCpIndices), py::to_array(std::move(r.indices.cp_indices)));
    py::dict_set(dict.get(), result_key(kAnomIndices), py::to_array(std::move(r.indices.anom_indices)));
    py::dict_set(dict.get(), result_key(kMissIndices), py::to_array(std::move(r.indices.miss_indices)));
    return dict.release();
}

PyObject* result_list(std::vector<SeriesResult>& results) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result_dict(results[i]));
    return list.release();
}

PyObject* py_generate_batch(int32_t gen_type, ArrayIn<double> scalar_params, py::List<ArrayIn<double>> array_params,
                            ArrayIn<int32_t> lengths, ArrayIn<uint64_t> gen_seeds, ArrayIn<uint64_t> pi_seeds,
                            py::Dict pi_config_dict, uint64_t n_workers) {
    BatchSpec spec;
    spec.gen_type = gen_type;
    spec.scalar_params = scalar_params.to_vector();
    spec.array_params = copy_arrays(array_params.items);
    spec.lengths = lengths.to_vector();
    spec.gen_seeds = gen_seeds.to_vector();
    spec.pi_seeds = pi_seeds.to_vector();
    spec.pi_config = parse_pi_config(pi_config_dict.obj);
    if (spec.lengths.empty()) return py::check(PyList_New(0));
    read_default_pool_size(n_workers);
    std::vector<SeriesResult> results = py::nogil([&] { return run_batch(spec, n_workers); });
    return result_list(results);
}

// Looks up a key of one entry of `specs`; an absent key is "missing <key>".
PyObject* spec_item(PyObject* dict, const char* key) {
    Ref k(PyUnicode_FromString(key));
    PyObject* v = PyDict_GetItemWithError(dict, k.get());
    if (v == nullptr) {
        if (PyErr_Occurred()) throw py::PyErrAlready{};
        value_error(std::string("missing ") + key);
    }
    return v;
}

template <class T>
T spec_value(PyObject* dict, const char* key) {
    // The looked-up value is only borrowed from its dict: T must own it.
    static_assert(!std::is_same_v<T, py::Dict> && !std::is_same_v<T, PyObject*>);
    Ref v = Ref::borrow(spec_item(dict, key));
    return py::Converter<T>::convert(v.get());
}

BatchSpec parse_spec(PyObject* item) {
    py::Dict dict = py::Converter<py::Dict>::convert(item);
    BatchSpec spec;
    spec.gen_type = spec_value<int32_t>(dict.obj, "gen_type");
    spec.scalar_params = spec_value<ArrayIn<double>>(dict.obj, "scalar_params").to_vector();
    spec.array_params = copy_arrays(spec_value<py::List<ArrayIn<double>>>(dict.obj, "array_params").items);
    spec.lengths = spec_value<ArrayIn<int32_t>>(dict.obj, "lengths").to_vector();
    spec.gen_seeds = spec_value<ArrayIn<uint64_t>>(dict.obj, "gen_seeds").to_vector();
    spec.pi_seeds = spec_value<ArrayIn<uint64_t>>(dict.obj, "pi_seeds").to_vector();
    // Held for the parse: converting its values runs Python code, which may
    // replace this entry's "pi_config" and drop the dict's last other reference.
    Ref config = Ref::borrow(spec_item(dict.obj, "pi_config"));
    spec.pi_config = parse_pi_config(py::Converter<py::Dict>::convert(config.get()).obj);
    return spec;
}

PyObject* py_generate_multi_batch(py::List<Ref> specs, uint64_t n_workers) {
    std::vector<BatchSpec> parsed;
    parsed.reserve(specs.items.size());
    for (const Ref& item : specs.items) parsed.push_back(parse_spec(item.get()));
    read_default_pool_size(n_workers);
    std::vector<std::vector<SeriesResult>> results = py::nogil([&] { return run_multi_batch(parsed, n_workers); });
    Ref outer(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t s = 0; s < results.size(); ++s)
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(s), result_list(results[s]));
    return outer.release();
}

}  // namespace

const py::FunctionTable batch_functions = {
    py::define<py_generate_batch>(
        "generate_batch", "gen_type, scalar_params, array_params, lengths, gen_seeds, pi_seeds, pi_config_dict, n_workers=0",
        "Generate multiple series of a single generator type in parallel.\n"
        "\n"
        "Returns a list of dicts, each with:\n"
        "  \"values\": numpy array of f64\n"
        "  \"cp_indices\": numpy array of i64\n"
        "  \"anom_indices\": numpy array of i64\n"
        "  \"miss_indices\": numpy array of i64"),
    py::define<py_generate_multi_batch>(
        "generate_multi_batch", "specs, n_workers=0",
        "Generate series from multiple generators in parallel.\n"
        "\n"
        "Takes a list of spec dicts, each with:\n"
        "  \"gen_type\": int, \"scalar_params\": numpy array,\n"
        "  \"array_params\": list of numpy arrays,\n"
        "  \"lengths\": numpy array, \"gen_seeds\": numpy array,\n"
        "  \"pi_seeds\": numpy array, \"pi_config\": dict\n"
        "\n"
        "Returns list[list[dict]] \u2014 outer list per generator, inner per series."),
};

}  // namespace qm::bindings
