#define PY_ARRAY_UNIQUE_SYMBOL QM_ARRAY_API
#include "call.hpp"

#include <numpy/arrayobject.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "byte_extent.hpp"

namespace qm::py {

void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrAlready{};
}

void throw_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PyErrAlready{};
}

std::string type_name(PyObject* obj) { return _PyType_Name(Py_TYPE(obj)); }

PyObject* make_tuple(std::initializer_list<Ref> items) {
    PyObject* t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Ref& item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item.get()));
    return t;
}

void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    Ref v(value);
    if (PyDict_SetItem(dict, key, v.get()) < 0) throw_current();
}

void dict_set(PyObject* dict, const char* key, PyObject* value) {
    Ref v(value);
    Ref k(PyUnicode_FromString(key));
    dict_set(dict, k.get(), v.release());
}

// ---------------------------------------------------------------------------
// Fault exception

namespace {

PyObject* panic_type() {
    static std::atomic<PyObject*> type{nullptr};
    return first_use(type, [] {
        return PyErr_NewExceptionWithDoc(
            "quillmarten.PanicException",
            "Raised when the native engine stops a call on a broken guard or internal fault.",
            PyExc_BaseException, nullptr);
    });
}

void set_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation error stays set
    PyErr_SetString(type, message);
}

void report(const char* message) {
    std::fprintf(stderr, "quillmarten: fault: %s\n", message);
    std::fflush(stderr);
}

}  // namespace

PyObject* translate_exception() noexcept {
    try {
        throw;
    } catch (const PyErrAlready&) {
        if (!PyErr_Occurred()) set_panic("native call failed without an error");
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Fault& e) {
        set_panic(e.what());  // reported where it was raised
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a size no allocation can satisfy
    } catch (const std::exception& e) {
        report(e.what());
        set_panic(e.what());
    } catch (...) {
        report("native code failed without a message");
        set_panic("native code failed without a message");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Exception notes

void add_note_to_current(const std::string& note) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
    PyErr_SetRaisedException(exc);
#else
    // 3.11 keeps errors from PyLong_As* unnormalised: make an instance first.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    PyObject* r = value ? PyObject_CallMethod(value, "add_note", "s", note.c_str()) : nullptr;
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
    PyErr_Restore(type, value, tb);
#endif
}

// ---------------------------------------------------------------------------
// Function description and binding

FunctionDef::FunctionDef(const char* name_, const char* params_, const char* doc_, PyCFunction entry,
                         std::size_t arity)
    : name(name_) {
    std::string_view rest(params_);
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        Param p;
        std::size_t eq = item.find('=');
        p.name = std::string(item.substr(0, eq));
        if (eq != std::string_view::npos) p.default_text = std::string(item.substr(eq + 1));
        else if (params.empty() || !params.back().default_text) ++n_required;
        else fault("required parameter after an optional one in " + name);
        params.push_back(std::move(p));
    }
    if (params.size() != arity) fault("parameter list of " + name + " does not match its function");
    doc = name + "(" + params_ + ")\n--\n\n";
    if (doc_ != nullptr) doc += doc_;
    method.ml_name = name.c_str();
    method.ml_meth = entry;
    method.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    method.ml_doc = doc.c_str();
}

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else out += (i + 1 == names.size()) ? ", and " : ", ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

}  // namespace

void bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const std::string fname = def.name + "()";
    const std::size_t n = def.params.size();
    if (static_cast<std::size_t>(nargs) > n) {
        std::string given = std::to_string(nargs) + (nargs == 1 ? " was" : " were");
        if (def.n_required == n)
            throw_type_error(fname + " takes " + std::to_string(n) + " positional arguments but " + given + " given");
        throw_type_error(fname + " takes from " + std::to_string(def.n_required) + " to " + std::to_string(n) +
                         " positional arguments but " + given + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(key, &len);
            if (s == nullptr) throw_current();
            std::string_view kw(s, static_cast<std::size_t>(len));
            std::size_t j = 0;
            while (j < n && def.params[j].name != kw) ++j;
            if (j == n) throw_type_error(fname + " got an unexpected keyword argument '" + std::string(kw) + "'");
            if (slots[j] != nullptr)
                throw_type_error(fname + " got multiple values for argument '" + std::string(kw) + "'");
            slots[j] = args[nargs + k];
        }
    }
    std::vector<std::string> missing;
    for (std::size_t j = 0; j < def.n_required; ++j)
        if (slots[j] == nullptr) missing.push_back(def.params[j].name);
    if (!missing.empty())
        throw_type_error(fname + " missing " + std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

// ---------------------------------------------------------------------------
// Scalar converters

namespace {

// A default as the signature text shows it. from_chars reads the C locale's
// form whatever LC_NUMERIC says; a text that is not wholly a number is ours
// to fix, so it faults at registration.
template <class T>
T parse_default(std::string_view t) {
    T v{};
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc{} || end != t.data() + t.size()) fault("unreadable default '" + std::string(t) + "'");
    return v;
}

long long index_to_ll(PyObject* o) {
    Ref index(PyNumber_Index(o));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyErrAlready{};
    return v;
}

}  // namespace

int32_t Converter<int32_t>::convert(PyObject* o) {
    long long v = index_to_ll(o);
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PyErrAlready{};
    }
    return static_cast<int32_t>(v);
}
int32_t Converter<int32_t>::from_default(std::string_view t) { return parse_default<int32_t>(t); }

int64_t Converter<int64_t>::convert(PyObject* o) { return index_to_ll(o); }
int64_t Converter<int64_t>::from_default(std::string_view t) { return parse_default<int64_t>(t); }

uint64_t Converter<uint64_t>::convert(PyObject* o) {
    Ref index(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrAlready{};
    return v;
}
uint64_t Converter<uint64_t>::from_default(std::string_view t) { return parse_default<uint64_t>(t); }

double Converter<double>::convert(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrAlready{};
    return v;
}
double Converter<double>::from_default(std::string_view t) { return parse_default<double>(t); }

bool Converter<bool>::convert(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    PyTypeObject* type = Py_TYPE(o);
    std::string tname = type_name(o);
    if (tname == "bool_" || tname == "bool") {
        Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
        if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
            if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr)
                throw_type_error("object of type '" + tname + "' does not define a '__bool__' conversion");
            int r = type->tp_as_number->nb_bool(o);
            if (r < 0) throw PyErrAlready{};
            return r != 0;
        }
    }
    throw_type_error("'" + tname + "' object is not an instance of 'bool'");
}

std::string Converter<std::string>::convert(PyObject* o) {
    if (!PyUnicode_Check(o)) throw_type_error("'" + type_name(o) + "' object is not an instance of 'str'");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (s == nullptr) throw PyErrAlready{};
    return std::string(s, static_cast<std::size_t>(len));
}

Py_ssize_t detail::sequence_length(PyObject* o) {
    if (PyUnicode_Check(o)) throw_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) throw_type_error("'" + type_name(o) + "' object is not an instance of 'Sequence'");
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw PyErrAlready{};
    return n;
}

void detail::check_sequence_length(PyObject* o, Py_ssize_t n) {
    const Py_ssize_t now = PySequence_Size(o);
    if (now < 0) throw PyErrAlready{};
    if (now != n) {
        PyErr_SetString(PyExc_ValueError, "sequence changed size during conversion");
        throw PyErrAlready{};
    }
}

// ---------------------------------------------------------------------------
// NumPy, set up on first use

namespace {

std::atomic<bool> numpy_ready{false};

void ensure_numpy() {
    if (numpy_ready.load(std::memory_order_acquire)) return;
    // _import_array may release the lock while importing, so two threads can
    // both get here; importing twice is harmless.
    if (_import_array() < 0) {
        std::string detail = "unknown error";
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        if (value != nullptr) {
            PyObject* s = PyObject_Str(value);
            if (s != nullptr) {
                const char* c = PyUnicode_AsUTF8(s);
                if (c != nullptr) detail = c;
                Py_DECREF(s);
            }
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_Clear();
        fault("Failed to access NumPy array API capsule: " + detail);
    }
    numpy_ready.store(true, std::memory_order_release);
}

int typenum_of(Dtype d) {
    switch (d) {
        case Dtype::f64: return NPY_FLOAT64;
        case Dtype::i32: return NPY_INT32;
        case Dtype::i64: return NPY_INT64;
        case Dtype::u64: return NPY_UINT64;
    }
    return NPY_FLOAT64;
}

const char* expected_name(Dtype d) {
    switch (d) {
        case Dtype::f64: return "ndarray[float64]";
        case Dtype::i32: return "ndarray[int32]";
        case Dtype::i64: return "ndarray[int64]";
        case Dtype::u64: return "ndarray[uint64]";
    }
    return "ndarray";
}

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

}  // namespace

void detail::check_array(PyObject* obj, Dtype dtype) {
    ensure_numpy();
    bool ok = PyArray_Check(obj) && PyArray_NDIM(as_array(obj)) == 1;
    if (ok) {
        PyArray_Descr* want = PyArray_DescrFromType(typenum_of(dtype));
        ok = PyArray_EquivTypes(PyArray_DESCR(as_array(obj)), want);
        Py_DECREF(want);
    }
    if (!ok) throw_type_error("'" + type_name(obj) + "' object is not an instance of '" + expected_name(dtype) + "'");
}

std::size_t detail::array_size(PyObject* array) {
    return static_cast<std::size_t>(PyArray_SIZE(as_array(array)));
}

namespace {

void require_contiguous(PyArrayObject* a) {
    if (PyArray_SIZE(a) == 0) return;
    bool contiguous = PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a);
    if (!contiguous || !PyArray_ISALIGNED(a)) throw_type_error("The given array is not contiguous or is misaligned.");
}

}  // namespace

void detail::copy_array_out(PyObject* array, void* dst, std::size_t elem, std::size_t n) {
    PyArrayObject* a = as_array(array);
    require_contiguous(a);
    if (static_cast<std::size_t>(PyArray_SIZE(a)) != n || static_cast<std::size_t>(PyArray_ITEMSIZE(a)) != elem)
        fault("array changed between its check and its copy");
    if (n > 0) std::memcpy(dst, PyArray_DATA(a), n * elem);
}

void detail::copy_array_in(PyObject* array, const void* src, std::size_t elem, std::size_t n) {
    PyArrayObject* a = as_array(array);
    if (PyArray_SIZE(a) == 0 && n == 0) return;
    require_contiguous(a);
    // The array may have been resized while the lock was released: fetch the
    // data pointer and size now, never from before.
    std::size_t size = static_cast<std::size_t>(PyArray_SIZE(a));
    if (size != n) value_error("values array changed length during the call");
    if (static_cast<std::size_t>(PyArray_ITEMSIZE(a)) != elem) fault("array changed between its check and its copy");
    if (n > 0) std::memcpy(PyArray_DATA(a), src, n * elem);
}

// ---------------------------------------------------------------------------
// Borrow registry: which arrays are being read and which written.
//
// Two borrows conflict when at least one of them writes and they are the same
// array object, or they share at least one byte of memory, whatever objects
// own it: a view made through a memoryview, a buffer, ctypes or
// __array_interface__ reaches the same bytes as its source without naming it
// as its base. The rule is symmetric, so whether a call is refused never
// depends on which of its arrays was taken first. An empty array holds no
// byte, so it conflicts only with itself: NumPy gives an empty view a data
// pointer anywhere in (or at either end of) its parent's memory, which says
// nothing about sharing.

namespace {

struct BorrowEntry {
    uint64_t key;
    // Identity only, never dereferenced: whoever holds the borrow holds a
    // reference to the array for as long.
    PyObject* array;
    std::uintptr_t start;  // the bytes the array can reach, [start, end); empty if it holds no byte
    std::uintptr_t end;
    bool write;
};

bool conflicts(const BorrowEntry& a, const BorrowEntry& b) {
    if (!a.write && !b.write) return false;
    if (a.array == b.array) return true;
    const bool both_hold_bytes = a.start < a.end && b.start < b.end;
    return both_hold_bytes && a.start < b.end && b.start < a.end;
}

std::mutex borrow_mutex;
std::vector<BorrowEntry> borrows;
uint64_t next_borrow_key = 1;

// The address of the lowest and one past the highest byte the array's
// elements occupy, strides of either sign included. start == end when it holds
// no byte: it has no element, or its strides reach past the address space.
// Such an array cannot be contiguous and is refused before any byte is read;
// until then it conflicts only with itself, like an empty one, so the caller
// sees that refusal rather than a conflict.
std::pair<std::uintptr_t, std::uintptr_t> extent_of(PyArrayObject* a) {
    static_assert(std::is_same_v<npy_intp, std::ptrdiff_t>);
    const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    const auto ndim = static_cast<std::size_t>(PyArray_NDIM(a));
    const auto extent = byte_extent(PyArray_ITEMSIZE(a), {PyArray_DIMS(a), ndim}, {PyArray_STRIDES(a), ndim});
    const auto range = extent ? address_range(data, *extent) : std::nullopt;
    if (!range) return {data, data};
    return {range->start, range->end};
}

// A forked child has only the thread that forked. The mutex must not stay
// locked by a thread that is gone, and the borrows of those threads would
// never be released, so the child starts with none (the forking thread's own
// are dropped too; releasing them later finds nothing).
void lock_for_fork() noexcept { borrow_mutex.lock(); }
void unlock_after_fork() noexcept { borrow_mutex.unlock(); }
void reset_after_fork() noexcept {
    borrows.clear();
    new (&borrow_mutex) std::mutex;
}

uint64_t acquire(PyObject* array, bool write) {
    PyArrayObject* a = as_array(array);
    if (write && !PyArray_ISWRITEABLE(a)) throw_type_error("The given array is not writeable");
    const auto [start, end] = extent_of(a);
    BorrowEntry entry{0, array, start, end, write};
    {
        // No Python call under the mutex: setting an error can start a
        // collection whose finalizers call back in and take a borrow.
        std::lock_guard<std::mutex> lock(borrow_mutex);
        const bool conflict =
            std::any_of(borrows.begin(), borrows.end(), [&](const BorrowEntry& e) { return conflicts(e, entry); });
        if (!conflict) {
            entry.key = next_borrow_key++;
            borrows.push_back(entry);
        }
    }
    if (entry.key == 0) throw_type_error("The given array is already borrowed");
    return entry.key;
}

void release(uint64_t key) {
    if (key == 0) return;
    std::lock_guard<std::mutex> lock(borrow_mutex);
    auto it = std::find_if(borrows.begin(), borrows.end(), [key](const BorrowEntry& e) { return e.key == key; });
    if (it != borrows.end()) borrows.erase(it);
}

}  // namespace

ForkHooks borrow_fork_hooks() { return {lock_for_fork, unlock_after_fork, reset_after_fork}; }

Borrow Borrow::read(PyObject* array) { return Borrow(acquire(array, false)); }
Borrow Borrow::write(PyObject* array) { return Borrow(acquire(array, true)); }
Borrow::~Borrow() { release(key_); }
Borrow& Borrow::operator=(Borrow&& o) noexcept {
    if (this != &o) {
        release(key_);
        key_ = std::exchange(o.key_, 0);
    }
    return *this;
}

// ---------------------------------------------------------------------------
// Result arrays over owned vectors

namespace {

struct SliceContainer {
    PyObject_HEAD
    alignas(void*) unsigned char storage[detail::kOwnerStorage];
    detail::DropOwner drop;  // null until the storage holds a vector
};

void slice_container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->drop != nullptr) c->drop(c->storage);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the buffer of an array returned by the native engine.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "quillmarten._lib.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

PyTypeObject* slice_container_type() {
    static std::atomic<PyObject*> type{nullptr};
    PyObject* t = first_use(type, [] { return PyType_FromSpec(&slice_container_spec); });
    if (t == nullptr) fault("Failed to create slice container");
    return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace

PyObject* detail::new_array(void* from, MoveOwner move, DropOwner drop, Dtype dtype) {
    ensure_numpy();
    PyTypeObject* type = slice_container_type();
    auto* container = PyObject_New(SliceContainer, type);
    if (container == nullptr) fault("Failed to create slice container");
    container->drop = nullptr;
    Ref holder(reinterpret_cast<PyObject*>(container));
    const OwnedBuffer buffer = move(from, container->storage);
    container->drop = drop;
    // NumPy allocates its own buffer for NULL data, so an empty result points
    // at a static aligned word instead.
    alignas(16) static const char empty_data[16] = {};
    void* data = buffer.size == 0 ? const_cast<char*>(empty_data) : buffer.data;
    npy_intp dims[1] = {static_cast<npy_intp>(buffer.size)};
    Ref array(PyArray_SimpleNewFromData(1, dims, typenum_of(dtype), data));
    if (PyArray_SetBaseObject(as_array(array.get()), holder.release()) < 0) throw_current();
    return array.release();
}

// ---------------------------------------------------------------------------

namespace {

[[noreturn]] void park_thread_forever() noexcept {
    for (;;) ::pause();
}

}  // namespace

void detail::restore_thread(PyThreadState* state) noexcept {
    // Finalisation may begin while we wait for the lock; the interpreter then
    // ends this thread with pthread_exit (before 3.14), whose unwinding would
    // run our destructors without the lock. The unwind is caught and the
    // thread parked for good instead. Caught with `...`: the forced unwind
    // carries no C++ exception object, and binding it by reference
    // (abi::__forced_unwind&) is reported as a null reference by the
    // undefined-behaviour sanitizer.
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        park_thread_forever();
    }
}

void GilRelease::check_signals() {
    detail::restore_thread(state_);
    const int r = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (r < 0) throw PyErrAlready{};
}

}  // namespace qm::py
