// `async with` for coroutine bodies: the statement's lookups, its awaitability
// checks and its exit protocol.
#include "kelvora/coro.hpp"

namespace kelvora {

namespace {

// type(obj).<name> bound to obj, as the interpreter looks up special methods;
// empty when the type has none.
nb::object special_method(nb::handle obj, nb::handle name) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    nb::object found = nb::borrow(_PyType_Lookup(type, name.ptr()));
    if (!found) return {};
    descrgetfunc get = Py_TYPE(found.ptr())->tp_descr_get;
    if (!get) return found;
    PyObject* bound = get(found.ptr(), obj.ptr(), reinterpret_cast<PyObject*>(type));
    if (!bound) raise_pending();
    return nb::steal(bound);
}

bool awaitable(nb::handle obj) {
    PyAsyncMethods* as_async = Py_TYPE(obj.ptr())->tp_as_async;
    return PyCoro_CheckExact(obj.ptr()) || (as_async && as_async->am_await);
}

[[noreturn]] void not_awaitable(const char* method, nb::handle obj) {
    PyErr_Format(PyExc_TypeError, "'async with' received an object from %s that does not implement __await__: %.100s",
                 method, Py_TYPE(obj.ptr())->tp_name);
    raise_pending();
}

}  // namespace

AsyncWith::AsyncWith(nb::handle manager, Site where) {
    where.record();
    try {
        nb::object enter = special_method(manager, "__aenter__"_n);
        if (!enter) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                         Py_TYPE(manager.ptr())->tp_name);
            raise_pending();
        }
        exit_ = special_method(manager, "__aexit__"_n).release().ptr();
        if (!exit_) {
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the asynchronous context manager protocol "
                         "(missed __aexit__ method)",
                         Py_TYPE(manager.ptr())->tp_name);
            raise_pending();
        }
        PyObject* method = enter.release().ptr();
        entering_ = PyObject_CallNoArgs(method);
        Py_DECREF(method);
        if (!entering_) raise_pending();
        if (!awaitable(entering_)) not_awaitable("__aenter__", entering_);
    } catch (...) {
        if (!thread_is_ending()) {  // a constructor that throws has no destructor run
            Py_CLEAR(exit_);
            Py_CLEAR(entering_);
        }
        before_rethrow();
        throw;
    }
}

AsyncWith::~AsyncWith() {
    if (thread_is_ending()) return;
    Py_XDECREF(entering_);
    Py_XDECREF(exit_);
}

detail::AsyncWithExit AsyncWith::exit(Caught& body) {
    nb::object leaving;
    nb::handle aexit(exit_);
    if (!body) {
        leaving = aexit(nb::none(), nb::none(), nb::none());
    } else {
        nb::handle exc = body.value();
        nb::object tb = nb::steal(PyException_GetTraceback(exc.ptr()));
        leaving = aexit(exc.type(), exc, tb ? tb : nb::none());
    }
    if (!awaitable(leaving)) not_awaitable("__aexit__", leaving);
    return {std::move(leaving), body};
}

void detail::PromiseBase::ExitAwaiter::await_resume() {
    nb::object suppressed = Awaiter::await_resume();
    if (!body_) return;
    if (!truthy(suppressed)) body_.rethrow();
    body_.dismiss();
}

}  // namespace kelvora
