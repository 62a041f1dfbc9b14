// Python-facing functions of the `augmentation` submodule: DTW, DBA,
// decomposition, features and bootstrap.
#include "augmentation/bootstrap.hpp"
#include "augmentation/dba.hpp"
#include "augmentation/decompose.hpp"
#include "augmentation/dtw.hpp"
#include "augmentation/features.hpp"
#include "augmentation/neighbors.hpp"
#include "bindings/bindings.hpp"

namespace qm::bindings {
namespace {

using py::ArrayIn;
using py::Ref;

// A new list of float64 arrays, taking the vectors' buffers.
PyObject* array_list(std::vector<std::vector<double>>& arrays) {
    py::Ref list(PyList_New(static_cast<Py_ssize_t>(arrays.size())));
    for (std::size_t k = 0; k < arrays.size(); ++k)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), py::to_array(std::move(arrays[k])));
    return list.release();
}

std::vector<std::vector<double>> copy_series(const std::vector<ArrayIn<double>>& arrays) {
    std::vector<std::vector<double>> out;
    out.reserve(arrays.size());
    for (const ArrayIn<double>& a : arrays) out.push_back(a.to_vector());
    return out;
}

PyObject* path_list(const DtwPath& path) {
    py::Ref list(PyList_New(static_cast<Py_ssize_t>(path.size())));
    for (std::size_t k = 0; k < path.size(); ++k) {
        PyObject* pair = py::make_tuple({Ref(py::to_py_uint(path[k].first)), Ref(py::to_py_uint(path[k].second))});
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pair);
    }
    return list.release();
}

PyObject* py_dtw_alignment(ArrayIn<double> a, ArrayIn<double> b, std::optional<int64_t> band) {
    std::vector<double> x = a.to_vector();
    std::vector<double> y = b.to_vector();
    const std::optional<std::size_t> w = dtw_checked_band(band);
    DtwAlignment r = py::nogil([&] { return dtw_alignment_core(x, y, w); });
    return py::make_tuple({Ref(py::to_py(r.distance)), Ref(path_list(r.path))});
}

PyObject* py_dtw_distance(ArrayIn<double> a, ArrayIn<double> b, std::optional<int64_t> band) {
    std::vector<double> x = a.to_vector();
    std::vector<double> y = b.to_vector();
    const std::optional<std::size_t> w = dtw_checked_band(band);
    return py::to_py(py::nogil([&] { return dtw_distance_core(x, y, w); }));
}

PyObject* py_nearest_dtw_neighbors(std::vector<ArrayIn<double>> series, double window_fraction,
                                   uint64_t n_neighbors) {
    const std::vector<std::vector<double>> values = copy_series(series);
    read_default_pool_size();
    auto found = py::nogil([&] { return nearest_dtw_neighbors(values, window_fraction, n_neighbors); });
    py::Ref outer(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (std::size_t s = 0; s < found.size(); ++s) {
        py::Ref inner(PyList_New(static_cast<Py_ssize_t>(found[s].size())));
        for (std::size_t k = 0; k < found[s].size(); ++k) {
            const auto [index, distance] = found[s][k];
            PyList_SET_ITEM(inner.get(), static_cast<Py_ssize_t>(k),
                            py::make_tuple({Ref(py::to_py_uint(index)), Ref(py::to_py(distance))}));
        }
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(s), inner.release());
    }
    return outer.release();
}

PyObject* py_dba_barycenter(ArrayIn<double> reference, std::vector<ArrayIn<double>> neighbors,
                            ArrayIn<double> weights, uint64_t n_iterations, std::optional<int64_t> band) {
    const std::vector<double> ref = reference.to_vector();
    const std::vector<std::vector<double>> others = copy_series(neighbors);
    std::vector<std::vector<double>> weighting{weights.to_vector()};
    const std::optional<std::size_t> w = dtw_checked_band(band);
    // DBA is the one long computation that Ctrl-C can stop: the core checks
    // between chunks on the calling thread, and a pending KeyboardInterrupt
    // (or any exception a signal handler raised) leaves as PyErrAlready.
    read_default_pool_size();
    std::vector<std::vector<double>> out = py::nogil_interruptible([&](const std::function<void()>& check_signals) {
        return dba_barycenter_core(ref, others, weighting, n_iterations, w, check_signals);
    });
    return py::to_array(std::move(out.front()));
}

PyObject* py_dba_barycenters(ArrayIn<double> reference, std::vector<ArrayIn<double>> neighbors,
                             std::vector<std::vector<double>> weights, uint64_t n_iterations,
                             std::optional<int64_t> band) {
    const std::vector<double> ref = reference.to_vector();
    const std::vector<std::vector<double>> others = copy_series(neighbors);
    const std::optional<std::size_t> w = dtw_checked_band(band);
    read_default_pool_size();
    std::vector<std::vector<double>> out = py::nogil_interruptible([&](const std::function<void()>& check_signals) {
        return dba_barycenter_core(ref, others, weights, n_iterations, w, check_signals);
    });
    return array_list(out);
}

PyObject* py_classical_decompose(ArrayIn<double> values, std::optional<uint64_t> period) {
    std::vector<double> x = values.to_vector();
    Decomposition d = py::nogil([&] { return classical_decompose_core(x, period); });
    return py::make_tuple({Ref(py::to_array(std::move(d.trend))), Ref(py::to_array(std::move(d.seasonal))),
                           Ref(py::to_array(std::move(d.residual)))});
}


PyObject* features_tuple(const SpectralFeatures& f) {
    return py::make_tuple({Ref(py::to_py(f.spectral_entropy)), Ref(py::to_py(f.trend_strength)),
                           Ref(py::to_py(f.seasonal_strength)), Ref(py::to_py(f.acf1))});
}

PyObject* features_list(const SpectralFeatures& f) {
    py::Ref list(PyList_New(4));
    const double v[4] = {f.spectral_entropy, f.trend_strength, f.seasonal_strength, f.acf1};
    for (Py_ssize_t k = 0; k < 4; ++k) PyList_SET_ITEM(list.get(), k, py::to_py(v[k]));
    return list.release();
}

PyObject* py_compute_features(ArrayIn<double> values, std::optional<uint64_t> period) {
    const std::vector<double> x = values.to_vector();
    return features_tuple(py::nogil([&] { return compute_features_core(x, period); }));
}

PyObject* py_compute_feature_set(ArrayIn<double> values, std::optional<uint64_t> period,
                                 std::optional<uint64_t> window_size) {
    const std::vector<double> x = values.to_vector();
    const FeatureSetRow row = py::nogil([&] { return compute_feature_set_core(x, period, window_size); });
    py::Ref list(PyList_New(static_cast<Py_ssize_t>(row.size())));
    for (std::size_t k = 0; k < row.size(); ++k)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), py::to_py(row[k]));
    return list.release();
}

PyObject* py_compute_feature_set_batch(ArrayIn<double> values, ArrayIn<int64_t> offsets,
                                       std::optional<uint64_t> period, std::optional<uint64_t> window_size,
                                       uint64_t n_workers) {
    const std::vector<double> x = values.to_vector();
    const std::vector<int64_t> bounds = offsets.to_vector();
    for (int64_t b : bounds)
        if (b < 0) value_error("offsets must be non-negative");
    read_default_pool_size(n_workers);
    return py::to_array(
        py::nogil([&] { return compute_feature_set_batch(x, bounds, period, window_size, n_workers); }));
}

PyObject* py_mar_features_batch(std::vector<std::vector<double>> scalars,
                                std::vector<std::vector<std::vector<double>>> arrays, std::vector<uint64_t> lengths,
                                std::vector<std::vector<uint64_t>> seeds, std::optional<uint64_t> period,
                                uint64_t n_workers) {
    read_default_pool_size(n_workers);
    std::vector<MarCandidateFeatures> found =
        py::nogil([&] { return mar_features_batch(scalars, arrays, lengths, seeds, period, n_workers); });
    py::Ref outer(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (std::size_t c = 0; c < found.size(); ++c) {
        PyObject* entry;
        if (!found[c]) {
            entry = Py_NewRef(Py_None);
        } else {
            py::Ref records(PyList_New(static_cast<Py_ssize_t>(found[c]->size())));
            for (std::size_t k = 0; k < found[c]->size(); ++k)
                PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(k), features_list((*found[c])[k]));
            entry = records.release();
        }
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(c), entry);
    }
    return outer.release();
}


PyObject* py_moving_block_bootstrap(ArrayIn<double> values, uint64_t block_size, uint64_t seed,
                                    std::optional<uint64_t> period) {
    const std::vector<double> x = values.to_vector();
    return py::to_array(py::nogil([&] { return moving_block_bootstrap(x, block_size, seed, period); }));
}

PyObject* py_moving_block_bootstrap_many(ArrayIn<double> values, uint64_t block_size,
                                         std::vector<uint64_t> seeds, std::optional<uint64_t> period) {
    const std::vector<double> x = values.to_vector();
    std::vector<std::vector<double>> out =
        py::nogil([&] { return moving_block_bootstrap_many(x, block_size, seeds, period); });
    return array_list(out);
}

}  // namespace

const py::FunctionTable augmentation_functions = {
    py::define<py_dtw_alignment>("dtw_alignment", "a, b, band=None"),
    py::define<py_dtw_distance>("dtw_distance", "a, b, band=None"),
    py::define<py_nearest_dtw_neighbors>("nearest_dtw_neighbors", "series, window_fraction, n_neighbors"),
    py::define<py_dba_barycenter>("dba_barycenter", "reference, neighbors, weights, n_iterations, band=None"),
    py::define<py_dba_barycenters>("dba_barycenters", "reference, neighbors, weights, n_iterations, band=None"),
    py::define<py_mar_features_batch>("mar_features_batch",
                                      "scalars, arrays, lengths, seeds, period=None, n_workers=0",
                                      "Score independent native MAR draws in one pool; failed candidates return None."),
    py::define<py_classical_decompose>("classical_decompose", "values, period=None"),
    py::define<py_compute_features>("compute_features", "values, period=None"),
    py::define<py_compute_feature_set>("compute_feature_set", "values, period=None, window_size=None"),
    py::define<py_compute_feature_set_batch>(
        "compute_feature_set_batch", "values, offsets, period=None, window_size=None, n_workers=0",
        "Native feature rows for a flat panel in one call; returns n_series * 12 values."),
    py::define<py_moving_block_bootstrap>("moving_block_bootstrap", "values, block_size, seed, period=None"),
    py::define<py_moving_block_bootstrap_many>("moving_block_bootstrap_many",
                                               "values, block_size, seeds, period=None"),
};

}  // namespace qm::bindings
