// Module loading, the constructor and the three small services the rest of the class
// builds on: save paths under the data directory, cache file names, contract lookup.
#include "ticker.hpp"

#include <new>

namespace tovik::ticker {

// ---------------------------------------------------------------------------
// Shared helpers (declared in ticker.hpp).

nb::object polars() { return import_module(TOVIK_KEY("polars")); }

void require_safe_name_part(nb::handle text, const char *what) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    std::string value(data, (size_t) size);
    // The text becomes part of a cache file name: it must not name another folder.
    bool bad = value.empty() || value == "." || value == ".." ||
               value.find_first_of(std::string("/\\\0", 3)) != std::string::npos;
    if (bad)
        raise_value_error(std::string("不合法的") + what + ": " + repr_of(text) +
                          " (不可為空, 不可為 '.' 或 '..', 不可含路徑分隔符號或 NUL)");
    // Code and date together, with the suffix and the temporary file's additions, must
    // stay within the file system's 255 bytes for one name.
    constexpr size_t kMaxBytes = 100;
    if (value.size() > kMaxBytes) {
        ref head = nb::steal(check(PyUnicode_Substring(text.ptr(), 0, 30)));
        raise_value_error(std::string("不合法的") + what + ": " + repr_of(head) + "... (長度 " +
                          std::to_string(value.size()) + " 位元組, 不可超過 " + std::to_string(kMaxBytes) + ")");
    }
}

namespace {

// ---------------------------------------------------------------------------
// Services.

// Data directory + sub-folders; the directory is created, the file is not.
nb::object generate_save_path(nb::handle file_name, PyObject *const *sub_folders, size_t count) {
    ref data_dir = import_module(TOVIK_KEY("tovik_backtest.constant")).attr("BASIC_INFO").attr("data_dir");
    ref join = import_module(TOVIK_KEY("os")).attr("path").attr("join");
    ref dir = data_dir;
    if (count) {
        std::vector<PyObject *> argv(count + 2);
        argv[1] = data_dir.ptr();
        for (size_t i = 0; i < count; ++i)
            argv[i + 2] = sub_folders[i];
        dir = nb::steal(check(
            PyObject_Vectorcall(join.ptr(), argv.data() + 1, (count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }
    import_module(TOVIK_KEY("tovik_backtest.utils")).attr("make_dir")(dir);
    if (file_name.is_none())
        return dir;
    return join(dir, file_name);
}

PyObject *generate_save_path_method(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    const char *func = "_Ticker__generate_save_path";
    size_t nargs = (size_t) PyVectorcall_NARGS(nargsf);
    nb::handle file_name = Py_None;
    size_t first_sub = 0;
    if (kwnames && tuple_size(kwnames) > 0) {
        // Only `file_name` may be given by keyword, and then no positional argument
        // may precede the sub-folders (Python would see it as a duplicate).
        Py_ssize_t nkw = tuple_size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = tuple_item(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, "file_name") != 0)
                raise_type_error(std::string(func) + "() got an unexpected keyword argument '" + str_of(key) + "'");
        }
        if (nargs > 0)
            raise_type_error(std::string(func) + "() got multiple values for argument 'file_name'");
        file_name = args[nargs];
    } else if (nargs > 0) {
        file_name = args[0];
        first_sub = 1;
    }
    require_str_or_none(file_name, func, "file_name");
    for (size_t i = first_sub; i < nargs; ++i)
        require_str(args[i], func, "sub_folder");
    return generate_save_path(file_name, args + first_sub, nargs - first_sub).release().ptr();
}

PyObject *tick_filename_formatter_method(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<2> params{"_Ticker__tick_filename_formatter", {"code", "date"}, 2};
    PyObject *a[2];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "code");
    require_str(a[1], params.func, "date");
    return tick_filename(a[0], a[1]).release().ptr();
}

PyObject *make_sino_contract_object_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf,
                                           PyObject *kwnames) {
    static const Params<2> params{"_Ticker__make_sino_contract_object", {"code", "market_type"}, 2};
    PyObject *a[2];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "code");
    require_str(a[1], params.func, "market_type");
    return make_contract(self, a[0], a[1]).release().ptr();
}

nb::object make_queue() { return import_module(TOVIK_KEY("queue")).attr("Queue")(); }

} // namespace

nb::object tick_filename(nb::handle code, nb::handle date) {
    require_safe_name_part(code, "商品代碼");
    require_safe_name_part(date, "日期");
    return nb::steal(check(PyUnicode_FromFormat("%U %U - ticks.csv", code.ptr(), date.ptr())));
}

nb::object make_contract(PyObject *self, nb::handle code, nb::handle market_type) {
    // "Stock" exactly selects the stock contracts; every other text selects futures.
    bool stock =
        PyUnicode_Check(market_type.ptr()) && PyUnicode_CompareWithASCIIString(market_type.ptr(), "Stock") == 0;
    ref api = nb::borrow(self).attr("api");
    ref book = api.attr("Contracts").attr(stock ? "Stocks" : "Futures");
    return nb::steal(check(PyObject_GetItem(book.ptr(), code.ptr())));
}

nb::object save_path(nb::handle file_name, std::initializer_list<const char *> sub_folders) {
    std::vector<ref> parts;
    std::vector<PyObject *> raw;
    for (const char *s : sub_folders) {
        parts.push_back(nb::steal(check(PyUnicode_FromString(s))));
        raw.push_back(parts.back().ptr());
    }
    return generate_save_path(file_name, raw.data(), raw.size());
}

// ---------------------------------------------------------------------------
// Module load.

namespace {

// The broker library opens its log file when it is first imported: shioaji.log in the
// current directory unless SJ_LOG_PATH names another file (whose folder must exist).
// Unless the user chose a place, the file goes into the data directory if that exists;
// an import creates no folder, so otherwise it goes to a per-user file in the system's
// temporary folder.
void place_broker_log() {
    ref os = import_module(TOVIK_KEY("os"));
    ref environ = os.attr("environ");
    int chosen = PySequence_Contains(environ.ptr(), TOVIK_KEY("SJ_LOG_PATH"));
    check_status(chosen);
    if (chosen)
        return;
    ref join = os.attr("path").attr("join");
    ref data_dir = import_module(TOVIK_KEY("tovik_backtest.constant")).attr("BASIC_INFO").attr("data_dir");
    ref path;
    if (truthy(os.attr("path").attr("isdir")(data_dir))) {
        path = join(data_dir, make_str("shioaji.log"));
    } else {
        std::string name = "tovik_backtest-shioaji";
        if (PyObject_HasAttrString(os.ptr(), "getuid"))
            name += "-" + str_of(os.attr("getuid")());
        ref temp_dir = import_module(TOVIK_KEY("tempfile")).attr("gettempdir")();
        path = join(temp_dir, make_str(name + ".log"));
    }
    check_status(PyObject_SetItem(environ.ptr(), TOVIK_KEY("SJ_LOG_PATH"), path.ptr()));
}

} // namespace

void load_dependencies(nb::module_ &m) {
    place_broker_log(); // before the broker library is imported below

    m.attr("json") = nb::module_::import_("json");
    m.attr("os") = nb::module_::import_("os");
    m.attr("pl") = nb::module_::import_("polars");
    m.attr("queue") = nb::module_::import_("queue");
    m.attr("sj") = nb::module_::import_("shioaji");
    m.attr("time") = nb::module_::import_("time");
    m.attr("traceback") = nb::module_::import_("traceback");
    nb::module_ datetime = nb::module_::import_("datetime");
    m.attr("dt") = datetime;
    m.attr("timedelta") = datetime.attr("timedelta");
    m.attr("Thread") = nb::module_::import_("threading").attr("Thread");
    nb::module_ typing = nb::module_::import_("typing");
    for (const char *name : {"Dict", "List", "Literal"})
        m.attr(name) = typing.attr(name);
    nb::module_ constant = nb::module_::import_("tovik_backtest.constant");
    for (const char *name : {"BASIC_INFO", "FLAG"})
        m.attr(name) = constant.attr(name);
    nb::module_ utils = nb::module_::import_("tovik_backtest.utils");
    for (const char *name : {"console", "format_to_dt", "format_nano_ts_to_second_ts", "logger", "make_dir"})
        m.attr(name) = utils.attr(name);
}

// ---------------------------------------------------------------------------
// Constructor.

namespace {

int init_impl(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"sino_api", nullptr};
    PyObject *sino_api = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Ticker", const_cast<char **>(names), &sino_api))
        throw nb::python_error();
    if (nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Ticker.__init__() may only be called once per object");

    // Everything that can fail is built before the object is touched, so a failed
    // construction leaves no half-made instance behind.
    ref allow_queue = make_queue();
    allow_queue.attr("put")(nb::handle(Py_True));
    ref notify_queue = make_queue();
    ref ticks_name = nb::steal(check(PyUnicode_FromString("ticks")));
    ref tick_file_save_path = generate_save_path(ticks_name, nullptr, 0);
    ref tick_queue = make_queue();
    safe<nb::dict> code_market_map;
    ref pl = polars();
    safe<nb::dict> schema;
    ref i64 = pl.attr("Int64"), f64 = pl.attr("Float64");
    schema["ts"] = i64;
    schema["close"] = f64;
    schema["volume"] = i64;
    schema["bid_price"] = f64;
    schema["bid_volume"] = i64;
    schema["ask_price"] = f64;
    schema["ask_volume"] = i64;
    schema["tick_type"] = i64;
    safe<nb::dict> params;

    new (nb::inst_ptr<Ticker>(self)) Ticker();
    nb::inst_mark_ready(self);

    ref dict = self_dict(self);
    auto set = [&](const char *key, nb::handle value) {
        check_status(PyDict_SetItemString(dict.ptr(), key, value.ptr()));
    };
    set("api", sino_api);
    set("allow_next_tick_flag_queue", allow_queue);
    set("backfilling_notify_finish_queue", notify_queue);
    set("backfilling_finish_flag", Py_False);
    set("exit_send_thread_flag", Py_False);
    set("tick_file_save_path", tick_file_save_path);
    set("tick_queue", tick_queue);
    set("code_market_map", code_market_map);
    set("tick_df_schema", schema);
    set("current_send_ticks_params", params);
    return 0;
}

} // namespace

int ticker_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    try {
        return init_impl(self, args, kwargs);
    } catch (nb::python_error &e) { // typed handlers only: a forced unwind passes (see guarded<>)
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

namespace {

// `Ticker.__init__` as the class's own attribute, so that it carries its docstring and
// signature; construction itself goes through the tp_init slot above.
PyObject *init_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"__init__", {"sino_api"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    ref tuple = nb::steal(check(PyTuple_Pack(1, a[0])));
    init_impl(self, tuple.ptr(), nullptr);
    Py_RETURN_NONE;
}

} // namespace

void add_core_methods(std::vector<PyMethodDef> &methods) {
    PyMethodDef init = TOVIK_METHOD("__init__", init_method,
                                    "__init__($self, sino_api)\n--\n\n"
                                    "Ticker Module Constructor\n\n"
                                    "        Args:\n"
                                    "            sino_api (object): 永豐 API 物件\n");
    init.ml_flags |= METH_COEXIST; // replace the slot wrapper CPython would put there
    methods.push_back(init);
    methods.push_back(TOVIK_METHOD("_Ticker__generate_save_path", generate_save_path_method,
                                   "_Ticker__generate_save_path($self, file_name=None, *sub_folder)\n--\n\n"
                                   "產生檔案儲存路徑\n\n"
                                   "        Args:\n"
                                   "            file_name (str): 檔案名稱, 為 None 時回傳資料夾路徑\n"
                                   "            sub_folder (str): 子資料夾名稱, 依序串接\n\n"
                                   "        Returns:\n"
                                   "            str: 檔案或資料夾的完整路徑\n"));
    methods.push_back(TOVIK_METHOD("_Ticker__make_sino_contract_object", make_sino_contract_object_method,
                                   "_Ticker__make_sino_contract_object($self, code, market_type)\n--\n\n"
                                   "建立永豐用的商品物件\n\n"
                                   "        Args:\n"
                                   "            code (str): 商品代碼\n"
                                   "            market_type (str): 市場類型, Stock 或 Future\n\n"
                                   "        Returns:\n"
                                   "            sj.contracts.Contract: 永豐 API 的商品物件\n"));
    methods.push_back(TOVIK_METHOD("_Ticker__tick_filename_formatter", tick_filename_formatter_method,
                                   "_Ticker__tick_filename_formatter($self, code, date)\n--\n\n"
                                   "Tick 檔案名稱格式化\n\n"
                                   "        Args:\n"
                                   "            code (str): 商品代碼\n"
                                   "            date (str): 日期, 格式為 %Y-%m-%d\n\n"
                                   "        Returns:\n"
                                   "            str: Tick 檔案名稱\n"));
}

} // namespace tovik::ticker
