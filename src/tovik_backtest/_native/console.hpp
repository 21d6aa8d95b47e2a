// Console lines and JSON error records, written through the package's utils module.
#pragma once

#include "calls.hpp"
#include "safe_ref.hpp"
#include "text.hpp"

#include <string>

namespace tovik {

// Package services, looked up by attribute at every call as Python code would,
// so a host or a test can replace `console.print`, `logger.error` or the objects.
// Every reference is a safe one: intake workers and replay threads print a line for
// nearly every step, so they are often in here when the interpreter ends them.

inline ref utils_module() { return host::import_module(TOVIK_KEY("tovik_backtest.utils")); }

inline void console_print(nb::handle text) {
    ref console = host::get_attr(utils_module(), TOVIK_KEY("console"));
    host::call_method(console, TOVIK_KEY("print"), text);
}
inline void console_print(const std::string &text) { console_print(make_str(text)); }
// console.print(head + str(value) + tail), the text put together as an f-string would.
inline void console_print(PyObject *head, nb::handle value, PyObject *tail) {
    ref middle = nb::steal(check(PyObject_Str(value.ptr())));
    ref parts = nb::steal(check(PyTuple_Pack(3, head, middle.ptr(), tail)));
    console_print(ref(nb::steal(check(PyUnicode_Join(TOVIK_KEY(""), parts.ptr())))));
}

inline void logger_error(nb::handle text) {
    ref logger = host::get_attr(utils_module(), TOVIK_KEY("logger"));
    host::call_method(logger, TOVIK_KEY("error"), text);
}

// The formatted traceback of an error being handled (what traceback.format_exc()
// gives inside an `except` block).
inline nb::object format_traceback(nb::handle error) {
    ref lines = nb::module_::import_("traceback").attr("format_exception")(error);
    return nb::str("").attr("join")(lines);
}

// The JSON text of an error record {"error", "traceback", "data"}, encoded with
// json.dumps' default settings. A value JSON cannot represent must not make the
// error branch fail itself: such values are written as their text form, and as a
// last resort the whole data part is written as its repr.
// `error` is the exception object; a handler passes it on after leaving its `catch`
// block, so no nb::python_error is alive while Python code runs on a daemon thread
// (its destructor takes the GIL, which may end the thread in the middle of unwinding).
inline nb::object error_record_json(nb::handle error, nb::handle data) {
    safe<nb::module_> json = nb::module_::import_("json");
    safe<nb::dict> record;
    record["error"] = nb::steal(check(PyObject_Str(error.ptr())));
    record["traceback"] = format_traceback(error);
    record["data"] = data;
    try {
        return json.attr("dumps")(record);
    } catch (nb::python_error &first) {
        if (!is_ordinary(first))
            throw;
    }
    try {
        return json.attr("dumps")(record, nb::arg("default") = nb::module_::import_("builtins").attr("str"));
    } catch (nb::python_error &second) {
        if (!is_ordinary(second))
            throw;
    }
    PyObject *text = PyObject_Repr(data.ptr());
    if (!text) {
        // Even repr() failed: the record still says what kind of object the data was.
        nb::python_error failed;
        if (!is_ordinary(failed))
            throw failed;
        text = check(PyUnicode_FromFormat("<unrepresentable %s>", type_name_text(data.ptr()).c_str()));
    }
    record["data"] = nb::steal(text);
    return json.attr("dumps")(record);
}

inline nb::object error_record_json(const nb::python_error &e, nb::handle data) {
    return error_record_json(e.value(), data);
}

inline void log_error_record(nb::handle error, nb::handle data) { logger_error(error_record_json(error, data)); }
inline void log_error_record(const nb::python_error &e, nb::handle data) { log_error_record(e.value(), data); }

} // namespace tovik
