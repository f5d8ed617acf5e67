#include "kelvora/errors.hpp"

#include <pthread.h>

#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace kelvora {

void before_rethrow() noexcept {
#if defined(__SANITIZE_ADDRESS__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* base = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        char* low = static_cast<char*>(base);
        char* here = static_cast<char*>(__builtin_frame_address(0));
        if (low && here > low) __asan_unpoison_memory_region(low, size_t(here - low));
    }
#endif
}

void raise_pending(Site where) {
    where.record();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native code reported an error without setting one");
    throw nb::python_error();
}

void raise(nb::handle type, const char* message, Site where) {
    where.record();
    PyErr_SetString(type.ptr(), message);
    throw nb::python_error();
}

void raise(nb::handle type, nb::handle message, Site where) {
    where.record();
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

void raise_object(nb::handle exception, Site where) {
    where.record();
    // As `raise exception` does: the exception being handled (if another one)
    // becomes its __context__; its traceback is kept.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

// `error` is a C++ exception (never null).
static void set_from(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error& e) {
        nb::python_error copy(e);  // the original may be rethrown again later
        copy.restore();
    } catch (nb::builtin_exception& e) {
        // nanobind's typed exceptions (nb::type_error, nb::value_error, ...)
        static const struct {
            nb::exception_type kind;
            PyObject* type;
        } table[] = {
            {nb::exception_type::stop_iteration, PyExc_StopIteration},
            {nb::exception_type::index_error, PyExc_IndexError},
            {nb::exception_type::key_error, PyExc_KeyError},
            {nb::exception_type::value_error, PyExc_ValueError},
            {nb::exception_type::type_error, PyExc_TypeError},
            {nb::exception_type::buffer_error, PyExc_BufferError},
            {nb::exception_type::import_error, PyExc_ImportError},
            {nb::exception_type::attribute_error, PyExc_AttributeError},
        };
        PyObject* type = PyExc_RuntimeError;
        for (const auto& row : table)
            if (row.kind == e.type()) type = row.type;
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {  // a C++ exception of another type: `error` is never foreign here
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
    }
}

nb::object exception_object(std::exception_ptr error) {
    // std::current_exception() is empty for an exception that is not C++'s
    // own: the forced unwind ending this thread goes on untouched.
    if (!error) {
        before_rethrow();
        throw;
    }
    // A pending error would be clobbered; keep it as the context of the new one.
    PyObject* pending = PyErr_GetRaisedException();
    set_from(error);
    PyObject* exc = PyErr_GetRaisedException();
    if (pending) PyErr_SetRaisedException(pending);
    return nb::steal(exc);
}

void restore_current_exception() {
    std::exception_ptr error = std::current_exception();
    if (!error) {  // foreign: see exception_object
        before_rethrow();
        throw;
    }
    set_from(error);
}

int raising_line(const char* file, int fallback, std::uint64_t site) noexcept {
    if (!site || !file) return fallback;
    std::uint64_t file_hash = detail::site_file_hash(file);
    if ((site & ~detail::site_line_mask) != (file_hash & ~detail::site_line_mask)) return fallback;
    return int(site & detail::site_line_mask);
}

namespace {

// The traceback entry's code object for one raising place (file, line, name).
// The name can come from Python (a writable __qualname__, any str), so the
// key keeps its code points as they are and the cache is bounded: when it is
// full it starts over, and the places still raising come back.
PyCodeObject* code_for(PyObject* name, const char* file, int line) {
    static std::unordered_map<std::string, PyCodeObject*> codes;
    constexpr std::size_t max_codes = 512;
    PyObject* encoded = name ? PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass") : nullptr;
    if (!encoded) PyErr_Clear();
    std::string key =
        std::string(file) + ":" + std::to_string(line) + ":" + (encoded ? PyBytes_AS_STRING(encoded) : "<native>");
    Py_XDECREF(encoded);
    auto found = codes.find(key);
    if (found == codes.end()) {
        if (codes.size() >= max_codes) {
            auto old = std::move(codes);
            codes.clear();
            for (auto& entry : old) Py_XDECREF(entry.second);
        }
        found = codes.emplace(std::move(key), nullptr).first;
    }
    PyCodeObject*& code = found->second;
    if (code) return code;
    const char* utf8 = name ? PyUnicode_AsUTF8(name) : "<native>";
    if (utf8) {
        code = PyCode_NewEmpty(file, utf8, line);
    } else {  // not UTF-8 (a lone surrogate): made under a stand-in, then renamed to it
        PyErr_Clear();
        nb::object made = nb::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, "", line)));
        PyObject* replace = made ? PyObject_GetAttrString(made.ptr(), "replace") : nullptr;
        PyObject* args = replace ? PyTuple_New(0) : nullptr;
        PyObject* kwargs = args ? Py_BuildValue("{sOsO}", "co_name", name, "co_qualname", name) : nullptr;
        PyObject* renamed = kwargs ? PyObject_Call(replace, args, kwargs) : nullptr;
        Py_XDECREF(kwargs);
        Py_XDECREF(args);
        Py_XDECREF(replace);
        if (renamed && PyCode_Check(renamed))
            code = reinterpret_cast<PyCodeObject*>(renamed);
        else
            Py_XDECREF(renamed);
    }
    return code;
}

}  // namespace

void add_native_traceback(PyObject* name, const char* file, int line) noexcept {
    // Kept aside while the entry is made: nothing done here may replace it.
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyCodeObject* code = nullptr;
    try {
        code = code_for(name, file, line);
    } catch (std::bad_alloc&) {  // no entry then; the exception itself is what matters
    }
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyObject* next = PyException_GetTraceback(exc);
    // Built through the type's constructor so the entry carries the real line.
    PyObject* tb =
        frame ? PyObject_CallFunction((PyObject*)&PyTraceBack_Type, "OOii", next ? next : Py_None, frame, 0, line)
              : nullptr;
    if (tb) PyException_SetTraceback(exc, tb);
    PyErr_Clear();
    Py_XDECREF(tb);
    Py_XDECREF(next);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    PyErr_SetRaisedException(exc);
}

// The top entry of the thread's handled-exception stack is swapped directly:
// PyErr_GetHandledException walks outer entries, and writing its answer back
// would leave an outer exception visible where there was none.
Handling::Handling(nb::handle exception) noexcept : info_(PyThreadState_Get()->exc_info), previous_(info_->exc_value) {
    info_->exc_value = Py_NewRef(exception.ptr());
}

Handling::~Handling() {
    if (thread_is_ending()) return;  // its thread state is gone with it
    Py_XSETREF(info_->exc_value, previous_);
}

void raise_not_str(nb::handle value, nb::handle method, nb::handle arg, Site where) {
    where.record();
    PyObject* r = PyObject_CallMethodOneArg(value.ptr(), method.ptr(), arg.ptr());
    if (!r) raise_pending();
    Py_DECREF(r);
    PyErr_Format(PyExc_TypeError, "expected str, got %.100s", Py_TYPE(value.ptr())->tp_name);
    raise_pending();
}

bool is_instance(nb::handle value, nb::handle cls, Site where) {
    where.record();
    int r = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (r < 0) raise_pending();
    return r == 1;
}

bool has_attr(nb::handle obj, nb::handle name, Site where) {
    where.record();
    int r = PyObject_HasAttrWithError(obj.ptr(), name.ptr());
    if (r < 0) raise_pending();
    return r == 1;
}

bool contains(nb::handle container, nb::handle item, Site where) {
    where.record();
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) raise_pending();
    return r == 1;
}

bool truthy(nb::handle value, Site where) {
    where.record();
    int t = PyObject_IsTrue(value.ptr());
    if (t < 0) raise_pending();
    return t == 1;
}

}  // namespace kelvora
