// The one road from Python to the numerical code and back.
//
// A Python-facing function is an ordinary C++ function whose parameter types
// name their converters:
//
//     PyObject* py_random_walk(int32_t length, double drift, ..., uint64_t seed, ...);
//
// and is described once, by its parameter list as Python shows it:
//
//     define<py_random_walk>("random_walk", "length, drift, ..., innov_param")
//
// From that description come the binder (positional/keyword matching with
// CPython's TypeError texts), the conversions in signature order (each failure
// gets the note "while processing '<param>'"), the text signature, the
// registration record and the entry guard that maps C++ failures to Python
// exceptions. A body may throw ValueError / Fault (fault.hpp), std::bad_alloc,
// or PyErrAlready after setting a Python error itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "fork_hooks.hpp"

namespace qm::py {

// Thrown once a Python exception is set; the entry guard just returns NULL.
struct PyErrAlready {};

[[noreturn]] void throw_type_error(const std::string& message);
// Throws PyErrAlready if a Python error is pending (call after a failed C-API call).
[[noreturn]] void throw_current();
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw_current();
    return p;
}

// An owned (strong) reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* new_ref) : p_(check(new_ref)) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        Ref r;
        r.p_ = p;
        return r;
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A process-wide object made on first use. Making it may run Python code (a
// collection can start and run finalizers that call back into us, or let
// another thread take the lock), so nothing waits on a flag here: whoever
// finishes first installs its object and the others drop theirs. A failed
// attempt is retried on the next use.
template <class Make>
PyObject* first_use(std::atomic<PyObject*>& slot, Make make) {
    PyObject* ready = slot.load(std::memory_order_acquire);
    if (ready != nullptr) return ready;
    PyObject* made = make();
    if (made == nullptr) return nullptr;
    if (!slot.compare_exchange_strong(ready, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return ready;
    }
    return made;
}

// The type name CPython shows in messages ("int", "ndarray").
std::string type_name(PyObject* obj);

// ---------------------------------------------------------------------------
// Arrays

enum class Dtype { f64, i32, i64, u64 };
template <class T> constexpr Dtype dtype_of();
template <> constexpr Dtype dtype_of<double>() { return Dtype::f64; }
template <> constexpr Dtype dtype_of<int32_t>() { return Dtype::i32; }
template <> constexpr Dtype dtype_of<int64_t>() { return Dtype::i64; }
template <> constexpr Dtype dtype_of<uint64_t>() { return Dtype::u64; }

// A borrow of an array's data region in the process-wide registry; released
// when the object goes away.
class Borrow {
public:
    Borrow() = default;
    Borrow(Borrow&& o) noexcept : key_(std::exchange(o.key_, 0)) {}
    Borrow& operator=(Borrow&& o) noexcept;
    ~Borrow();
    static Borrow read(PyObject* array);
    static Borrow write(PyObject* array);

private:
    explicit Borrow(uint64_t key) : key_(key) {}
    uint64_t key_ = 0;
};

namespace detail {
void check_array(PyObject* obj, Dtype dtype);          // type/ndim/dtype, TypeError
std::size_t array_size(PyObject* array);
// Contiguity rule, then copies the array's n elements of `elem` bytes into
// dst (n must be the array's current size).
void copy_array_out(PyObject* array, void* dst, std::size_t elem, std::size_t n);
void copy_array_in(PyObject* array, const void* src, std::size_t elem, std::size_t n);
// A result array's owner lives inside its PySliceContainer: the vector is
// moved into the container's storage (no separate allocation) and destroyed
// with it.
inline constexpr std::size_t kOwnerStorage = 3 * sizeof(void*);
struct OwnedBuffer {
    void* data;
    std::size_t size;
};
using MoveOwner = OwnedBuffer (*)(void* from, void* storage);
using DropOwner = void (*)(void* storage);
PyObject* new_array(void* from, MoveOwner move, DropOwner drop, Dtype dtype);
}  // namespace detail

// A one-dimensional NumPy array argument of element type T. Holding it does
// not borrow the data; `to_vector` borrows, checks contiguity and copies.
template <class T>
class ArrayIn {
public:
    explicit ArrayIn(Ref obj) : obj_(std::move(obj)) {}
    PyObject* object() const { return obj_.get(); }
    std::size_t size() const { return detail::array_size(obj_.get()); }
    // Copies the array under a read borrow. With `hold`, the borrow is a
    // write borrow (so a readonly array is refused before any work) and is
    // handed to `hold`: the array stays refused to every other call until
    // the caller writes its result back.
    //
    // Python code may have run since conversion (another argument's __index__,
    // another thread) and given the array a new dtype or shape in place, so
    // the checks are made again right before the bytes are touched.
    std::vector<T> to_vector(Borrow* hold = nullptr) const {
        detail::check_array(obj_.get(), dtype_of<T>());
        Borrow b = hold != nullptr ? Borrow::write(obj_.get()) : Borrow::read(obj_.get());
        std::vector<T> out(size());
        detail::copy_array_out(obj_.get(), out.data(), sizeof(T), out.size());
        if (hold != nullptr) *hold = std::move(b);
        return out;
    }
    // Writes `values` back into the caller's array after letting go of
    // `held` (the borrow to_vector kept). The array may have been resized or
    // made read-only meanwhile, so it is checked again under a fresh write
    // borrow, taken with the lock held throughout.
    void write_back(const std::vector<T>& values, Borrow&& held) const {
        held = Borrow();
        detail::check_array(obj_.get(), dtype_of<T>());
        Borrow b = Borrow::write(obj_.get());
        detail::copy_array_in(obj_.get(), values.data(), sizeof(T), values.size());
    }

private:
    Ref obj_;
};

// An array argument whose read borrow is taken at conversion and held until
// the call ends, so the caller cannot pass it as a write target in the same call.
template <class T>
struct ArrayRead {
    ArrayIn<T> array;
    Borrow borrow;
    std::vector<T> to_vector() const { return array.to_vector(); }
};

// A new array that owns `values` (no copy); its base is a PySliceContainer.
template <class T>
PyObject* to_array(std::vector<T>&& values) {
    using Vec = std::vector<T>;
    static_assert(sizeof(Vec) <= detail::kOwnerStorage && alignof(Vec) <= alignof(void*));
    return detail::new_array(
        &values,
        [](void* from, void* storage) {
            Vec* v = new (storage) Vec(std::move(*static_cast<Vec*>(from)));
            return detail::OwnedBuffer{v->data(), v->size()};
        },
        [](void* storage) { static_cast<Vec*>(storage)->~Vec(); }, dtype_of<T>());
}

// ---------------------------------------------------------------------------
// Results

inline PyObject* to_py(double v) { return check(PyFloat_FromDouble(v)); }
inline PyObject* to_py_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline PyObject* to_py_uint(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
// Builds a tuple of the given objects. Items are owned references, so one
// that fails to build releases those made before it:
//     make_tuple({Ref(to_py(d)), Ref(to_array(std::move(v)))})
PyObject* make_tuple(std::initializer_list<Ref> items);
// Sets dict[key] = value, stealing `value`.
void dict_set(PyObject* dict, const char* key, PyObject* value);
void dict_set(PyObject* dict, PyObject* key, PyObject* value);

// ---------------------------------------------------------------------------
// Interpreter lock

namespace detail {
// PyEval_RestoreThread for a thread that may find the interpreter shutting
// down: CPython before 3.14 ends such a thread with pthread_exit, whose
// unwinding would run our destructors without the lock (or abort on a
// noexcept frame). The thread is parked for good instead, as 3.14 does.
void restore_thread(PyThreadState* state) noexcept;
}  // namespace detail

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { detail::restore_thread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Takes the lock back for a moment, on the thread that released it, and
    // raises a pending signal (KeyboardInterrupt ...) as PyErrAlready.
    // Finalisation is met as in the destructor.
    void check_signals();

private:
    PyThreadState* state_;
};

// Runs f with the interpreter lock released; an exception comes back with the
// lock held again.
template <class F>
decltype(auto) nogil(F&& f) {
    GilRelease release;
    return std::forward<F>(f)();
}

// Same, for the long computations that Ctrl-C can stop: f receives a
// callable that checks for pending signals on the calling thread.
template <class F>
decltype(auto) nogil_interruptible(F&& f) {
    GilRelease release;
    const std::function<void()> check_signals = [&release] { release.check_signals(); };
    return std::forward<F>(f)(check_signals);
}

// What a fork must do with the borrow registry's lock.
ForkHooks borrow_fork_hooks();

// ---------------------------------------------------------------------------
// Function description, binding and conversion

struct Param {
    std::string name;
    std::optional<std::string> default_text;  // as shown in the signature
};

struct FunctionDef {
    FunctionDef(const char* name, const char* params, const char* doc, PyCFunction entry, std::size_t arity);
    std::string name;
    std::vector<Param> params;
    std::size_t n_required = 0;
    std::string doc;  // "name(params)\n--\n\n" + docstring
    PyMethodDef method{};
};

using FunctionTable = std::vector<const FunctionDef*>;

// Fills slots[i] (borrowed) from positional and keyword arguments.
void bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
// Adds the note to the pending exception (the 3.11 form is normalised first).
void add_note_to_current(const std::string& note);

// Maps the exception in flight to a Python error; always returns NULL.
PyObject* translate_exception() noexcept;

template <class T> struct Converter;  // T convert(PyObject*), T from_default(string_view)

template <> struct Converter<int32_t> {
    static int32_t convert(PyObject* o);
    static int32_t from_default(std::string_view t);
};
template <> struct Converter<int64_t> {
    static int64_t convert(PyObject* o);
    static int64_t from_default(std::string_view t);
};
template <> struct Converter<uint64_t> {
    static uint64_t convert(PyObject* o);
    static uint64_t from_default(std::string_view t);
};
template <> struct Converter<double> {
    static double convert(PyObject* o);
    static double from_default(std::string_view t);
};
template <> struct Converter<bool> {
    static bool convert(PyObject* o);
    static bool from_default(std::string_view t) { return t == "True"; }
};
template <> struct Converter<std::string> {
    static std::string convert(PyObject* o);
};
// Any object, borrowed for the call.
template <> struct Converter<PyObject*> {
    static PyObject* convert(PyObject* o) { return o; }
};
// Any object, as a strong reference (for items taken out of containers).
template <> struct Converter<Ref> {
    static Ref convert(PyObject* o) { return Ref::borrow(o); }
};
template <class T> struct Converter<std::optional<T>> {
    static std::optional<T> convert(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return Converter<T>::convert(o);
    }
    static std::optional<T> from_default(std::string_view t) {
        if (t == "None") return std::nullopt;
        if constexpr (requires { Converter<T>::from_default(t); }) return Converter<T>::from_default(t);
        else fault("unreadable default '" + std::string(t) + "'");
    }
};
template <class T> struct Converter<ArrayRead<T>> {
    static ArrayRead<T> convert(PyObject* o) {
        detail::check_array(o, dtype_of<T>());
        return ArrayRead<T>{ArrayIn<T>(Ref::borrow(o)), Borrow::read(o)};
    }
};
template <class T> struct Converter<ArrayIn<T>> {
    static ArrayIn<T> convert(PyObject* o) {
        detail::check_array(o, dtype_of<T>());
        return ArrayIn<T>(Ref::borrow(o));
    }
};

namespace detail {
// Checks "any sequence but str" and returns its length.
Py_ssize_t sequence_length(PyObject* o);
// ValueError unless the sequence still has n items.
void check_sequence_length(PyObject* o, Py_ssize_t n);
}  // namespace detail

template <class T> struct Converter<std::vector<T>> {
    static std::vector<T> convert(PyObject* o) { return items(o, false); }
    // With `same_length` the length is read again before each item and after
    // the last: an item's hook (or the sequence's own __getitem__) may shrink
    // or grow it, and the items read would then mix two sequences.
    //
    // A sequence's __len__ may claim items it does not have, so the vector
    // grows as items are read. Only an exact list or tuple (whose length is
    // that of the items it holds) sizes it up front, and a range (which has
    // every item it counts, and cannot be subclassed) once its first item
    // has converted, so that a range of the wrong kind of item fails on that
    // item whatever its length.
    static std::vector<T> items(PyObject* o, bool same_length) {
        Py_ssize_t n = detail::sequence_length(o);
        std::vector<T> out;
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (same_length) detail::check_sequence_length(o, n);
            Ref item(PySequence_GetItem(o, i));
            out.push_back(Converter<T>::convert(item.get()));
            if (i == 0 && PyRange_Check(o)) out.reserve(static_cast<std::size_t>(n));
        }
        if (same_length) detail::check_sequence_length(o, n);
        return out;
    }
};

// A sequence (not a str) whose length must not change while its items are
// converted; a change raises ValueError.
template <class T>
struct FixedLength {
    std::vector<T> items;
};
template <class T> struct Converter<FixedLength<T>> {
    static FixedLength<T> convert(PyObject* o) { return {Converter<std::vector<T>>::items(o, true)}; }
};

// A list (or list subclass) whose items convert to T; other sequences refuse.
template <class T>
struct List {
    std::vector<T> items;
};
template <class T> struct Converter<List<T>> {
    static List<T> convert(PyObject* o) {
        if (!PyList_Check(o)) throw_type_error("'" + type_name(o) + "' object is not an instance of 'list'");
        return List<T>{Converter<std::vector<T>>::convert(o)};
    }
};

// A dict (or dict subclass), borrowed for the call.
struct Dict {
    PyObject* obj;
};
template <> struct Converter<Dict> {
    static Dict convert(PyObject* o) {
        if (!PyDict_Check(o)) throw_type_error("'" + type_name(o) + "' object is not an instance of 'dict'");
        return Dict{o};
    }
};

// A parameter's default, parsed once when the function is defined.
template <class T>
using Default = std::optional<T>;

template <class T>
Default<T> parse_default(const Param& p) {
    if (!p.default_text) return std::nullopt;
    if constexpr (requires { Converter<T>::from_default(std::string_view{}); }) {
        return Converter<T>::from_default(*p.default_text);
    } else {
        fault("parameter '" + p.name + "' has a default its type cannot read");
    }
}

template <class T>
T convert_arg(const FunctionDef& def, std::size_t i, PyObject* slot, const Default<T>& fallback) {
    // Only parameters with a default can be empty after binding.
    if (slot == nullptr) {
        if constexpr (std::is_copy_constructible_v<T>) return *fallback;
        else fault("parameter '" + def.params[i].name + "' cannot have a default");
    }
    try {
        return Converter<T>::convert(slot);
    } catch (const PyErrAlready&) {
        add_note_to_current("while processing '" + def.params[i].name + "'");
        throw;
    }
}

template <class R, class... Ts>
constexpr std::size_t arity_of(R (*)(Ts...)) {
    return sizeof...(Ts);
}

template <class F> struct Defaults;
template <class R, class... Ts> struct Defaults<R (*)(Ts...)> {
    using type = std::tuple<Default<std::decay_t<Ts>>...>;
};

template <class... Ts, class Tuple>
PyObject* invoke(const FunctionDef& def, PyObject* (*body)(Ts...), const Tuple& defaults, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[sizeof...(Ts) + 1] = {};
    bind(def, args, nargs, kwnames, slots);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        // A braced list evaluates its elements left to right: signature order.
        std::tuple<std::decay_t<Ts>...> values{
            convert_arg<std::decay_t<Ts>>(def, I, slots[I], std::get<I>(defaults))...};
        return std::apply(body, std::move(values));
    }(std::index_sequence_for<Ts...>{});
}

template <auto Body>
struct Binding {
    static inline const FunctionDef* def = nullptr;
    static inline typename Defaults<decltype(Body)>::type defaults{};
    static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        try {
            return invoke(*def, Body, defaults, args, nargs, kwnames);
        } catch (...) {
            return translate_exception();
        }
    }
};

namespace detail {
// Not constexpr: reaching it while a Signature is checked stops the build.
void signature_does_not_match_the_function();

consteval std::size_t count_params(const char* text) {
    std::size_t n = 0;
    bool in_item = false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == ',') {
            if (!in_item) return std::size_t(-1);  // empty item
            ++n;
            in_item = false;
        } else if (*c != ' ') {
            in_item = true;
        }
    }
    if (in_item) ++n;
    else if (n > 0) return std::size_t(-1);  // trailing comma
    return n;
}
}  // namespace detail

// A parameter list exactly as the text signature shows it ("values,
// period=None"), checked at compile time against the function's arity.
template <std::size_t Arity>
struct Signature {
    const char* text;
    consteval Signature(const char* t) : text(t) {
        if (detail::count_params(t) != Arity) detail::signature_does_not_match_the_function();
    }
};

// Describes the Python function backed by Body; its defaults are parsed here,
// once, when the submodule's table is built.
template <auto Body>
const FunctionDef* define(const char* name, Signature<arity_of(Body)> params, const char* doc = nullptr) {
    static const FunctionDef def(name, params.text, doc,
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Binding<Body>::entry)),
                                 arity_of(Body));
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((std::get<I>(Binding<Body>::defaults) =
              parse_default<typename std::tuple_element_t<I, typename Defaults<decltype(Body)>::type>::value_type>(
                  def.params[I])),
         ...);
    }(std::make_index_sequence<arity_of(Body)>{});
    Binding<Body>::def = &def;
    return &def;
}

}  // namespace qm::py
