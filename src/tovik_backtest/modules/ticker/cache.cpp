// Historical ticks of one instrument: downloaded from the broker a day at a time, past
// days cached as CSV files under <data dir>/sino/ticks, cached days read back without
// the broker.
#include "ticker.hpp"

#include <iterator>
#include <utility>

namespace tovik::ticker {
namespace {

nb::object schema_of(PyObject *self) { return nb::borrow(self).attr("tick_df_schema"); }

nb::object date_text(nb::handle day) { return day.attr("strftime")(make_str("%Y-%m-%d")); }

// The broker's `ticks` result as a plain dict: a dict, or anything with keys() and
// __getitem__ (the broker's own Ticks objects).
nb::object as_mapping(nb::handle ticks) {
    if (!PyDict_Check(ticks.ptr()) && !PyObject_HasAttrString(ticks.ptr(), "keys"))
        raise_type_error("永豐 API 回傳的 Tick 資料不是 mapping (dict 或具有 keys() 的物件): " + type_name_of(ticks));
    ref mapping = nb::steal(check(PyDict_New()));
    check_status(PyDict_Merge(mapping.ptr(), ticks.ptr(), 1));
    return mapping;
}

// One day's table from the broker's result. Its columns must be the schema's, in
// order, so that nothing but a well-formed table is ever written to the cache.
nb::object day_table(nb::handle pl, nb::handle schema, nb::handle ticks) {
    ref table = pl.attr("DataFrame")(as_mapping(ticks));
    ref columns = table.attr("columns");
    ref expected = nb::steal(check(PySequence_List(schema.ptr())));
    int same = PyObject_RichCompareBool(columns.ptr(), expected.ptr(), Py_EQ);
    check_status(same);
    if (!same)
        raise_value_error("永豐 API 回傳的 Tick 欄位不符: " + repr_of(columns) + ", 應為 " + repr_of(expected));
    // Empty sequences carry no type; an empty day is stored with the schema's types.
    if (nb::cast<Py_ssize_t>(table.attr("height")) == 0)
        return pl.attr("DataFrame")(nb::arg("schema") = schema);
    return table;
}

// Writes the table to a temporary file in the target folder and renames it into
// place: a reader (or a crash) never sees a partly written cache file, and two
// writers of the same day leave one whole file.
void write_atomically(nb::handle table, nb::handle path) {
    ref os = import_module(TOVIK_KEY("os"));
    ref folder = os.attr("path").attr("dirname")(path);
    ref base = os.attr("path").attr("basename")(path);
    // A hidden, unique name next to the target; created like any new file (the umask
    // decides its mode), so the renamed cache file has ordinary permissions.
    ref unique = import_module(TOVIK_KEY("uuid")).attr("uuid4")().attr("hex");
    ref tmp = os.attr("path").attr("join")(folder, make_str(".") + base + make_str(".") + unique + make_str(".tmp"));
    // Temporary files a killed writer left (an hour old) go before a new one is made.
    import_module(TOVIK_KEY("tovik_backtest.tick_cache")).attr("remove_stale_temporaries")(folder);
    ref flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    os.attr("close")(os.attr("open")(tmp, flags, 0666));
    ref failure;
    try {
        table.attr("write_csv")(tmp);
        os.attr("replace")(tmp, path);
        return;
    } catch (nb::python_error &e) {
        failure = nb::borrow(e.value()); // the clean-up below runs outside the handler
    }
    try {
        os.attr("remove")(tmp);
    } catch (nb::python_error &cleanup) {
        if (!is_ordinary(cleanup))
            throw;
        // the temporary file stays behind under its own name; the write error is what matters
    }
    raise_again(std::move(failure));
}

// The bytes of a cache file without the blank lines at its end (an editor or a copy
// may add them; polars would read each as a row of nulls). Everything up to the line
// break after the last non-blank character is kept as it is.
nb::object cache_bytes(nb::handle path) {
    ref content = import_module(TOVIK_KEY("pathlib")).attr("Path")(path).attr("read_bytes")();
    char *data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(content.ptr(), &data, &size));
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    Py_ssize_t last = size;
    while (last > 0 && blank(data[last - 1]))
        --last;
    if (last == 0)
        return std::move(content); // nothing but blanks: polars refuses it as unreadable
    Py_ssize_t end = last;
    while (end < size && data[end] != '\n')
        ++end;
    if (end < size)
        ++end; // the last data line keeps its line break
    if (end == size)
        return std::move(content);
    return nb::steal(check(PyBytes_FromStringAndSize(data, end)));
}

// What makes a read tick damaged: a missing value anywhere, a close that is not a
// finite positive price, a bid or ask price that is not finite and non-negative, a
// negative volume, a time outside the trading day the file is named for, a price above
// the highest the instrument can trade at. Prices from the broker are never NaN or
// infinite and the broker delivers a day's ticks within that day's sessions, so such a
// value means the file was altered or broken after it was written.
enum class Rule { Positive, NonNegativePrice, NonNegativeVolume, TradingHours, Ceiling };
struct Check {
    const char *column; // nullptr: any column missing a value
    Rule rule;
    const char *reason;
};
constexpr Check kChecks[] = {
    {nullptr, Rule::Positive, "缺少欄位值"},
    {"close", Rule::Positive, "close 不是有限的正數"},
    {"bid_price", Rule::NonNegativePrice, "bid_price 不是有限的非負數"},
    {"ask_price", Rule::NonNegativePrice, "ask_price 不是有限的非負數"},
    {"volume", Rule::NonNegativeVolume, "volume 為負數"},
    {"bid_volume", Rule::NonNegativeVolume, "bid_volume 為負數"},
    {"ask_volume", Rule::NonNegativeVolume, "ask_volume 為負數"},
    {"ts", Rule::TradingHours, "ts 不在檔案日期 {day} 的交易時段內"},
    {"close", Rule::Ceiling, "close 超過價格上限 {ceiling}"},
    {"bid_price", Rule::Ceiling, "bid_price 超過價格上限 {ceiling}"},
    {"ask_price", Rule::Ceiling, "ask_price 超過價格上限 {ceiling}"},
};

// What the ticks of one file must keep beyond finite numbers, from the package's
// exchange facts (tovik_backtest.market, the one place they live): the stretches of the
// file's trading day and the top of the instrument's price range.
struct Bounds {
    ref windows; // ((start, end), ...) in tick ns, end excluded
    ref ceiling; // float
    std::string day;
};

Bounds bounds_of(nb::handle code, nb::handle market, nb::handle day) {
    ref facts = import_module(TOVIK_KEY("tovik_backtest.market"));
    // "Stock" exactly is a stock; every other market text reads futures, as the
    // contract lookup does.
    bool stock = PyUnicode_Check(market.ptr()) && PyUnicode_CompareWithASCIIString(market.ptr(), "Stock") == 0;
    ref name = make_str(stock ? "Stock" : "Future");
    ref range = facts.attr("price_range")(name, code);
    return Bounds{facts.attr("tick_windows")(name, day), nb::borrow(tuple_item(range.ptr(), 1)), str_of(day)};
}

// The code and day of a cache file from its name ("<code> <day> - ticks.csv").
std::pair<ref, ref> code_and_day_of(nb::handle path) {
    ref base = import_module(TOVIK_KEY("os")).attr("path").attr("basename")(path);
    std::string name = str_of(base);
    const std::string suffix = " - ticks.csv";
    size_t cut = name.size() >= suffix.size() ? name.size() - suffix.size() : std::string::npos;
    size_t blank = cut == std::string::npos ? std::string::npos : name.rfind(' ', cut - 1);
    if (cut == std::string::npos || name.compare(cut, suffix.size(), suffix) != 0 || blank == std::string::npos ||
        blank == 0 || blank + 1 >= cut)
        raise_value_error("不是 Tick 快取檔案的檔名 (<商品代碼> <日期> - ticks.csv): " + repr_of(base));
    return {make_str(name.substr(0, blank)), make_str(name.substr(blank + 1, cut - blank - 1))};
}

struct Damage {
    long long line = 0; // 1-based line of the file (the header is line 1); 0: none
    std::string reason;
};

nb::object bad_rows(nb::handle pl, const Check &c, const Bounds &bounds, nb::handle zero) {
    if (!c.column)
        return pl.attr("any_horizontal")(pl.attr("all")().attr("is_null")());
    ref col = pl.attr("col")(make_str(c.column));
    switch (c.rule) {
    case Rule::NonNegativeVolume:
        return col.attr("lt")(zero);
    case Rule::TradingHours: {
        ref inside = pl.attr("lit")(nb::bool_(false));
        for (Py_ssize_t i = 0; i < PyTuple_Size(bounds.windows.ptr()); ++i) {
            PyObject *window = tuple_item(bounds.windows.ptr(), i);
            nb::handle from(tuple_item(window, 0)), until(tuple_item(window, 1));
            ref within = col.attr("ge")(from).attr("and_")(col.attr("lt")(until));
            inside = inside.attr("or_")(within);
        }
        return inside.attr("not_")();
    }
    case Rule::Ceiling:
        return col.attr("gt")(bounds.ceiling);
    default:
        return col.attr("is_finite")().attr("not_")().attr("or_")(
            col.attr(c.rule == Rule::Positive ? "le" : "lt")(zero));
    }
}

std::string reason_of(const Check &c, const Bounds &bounds) {
    std::string reason = c.reason;
    auto put = [&reason](const std::string &mark, const std::string &text) {
        size_t at = reason.find(mark);
        if (at != std::string::npos)
            reason.replace(at, mark.size(), text);
    };
    put("{day}", bounds.day);
    put("{ceiling}", str_of(bounds.ceiling));
    return reason;
}

// The first damaged tick of the table, found in one pass over the columns.
Damage find_damage(nb::handle pl, nb::handle table, const Bounds &bounds) {
    ref zero = nb::steal(check(PyLong_FromLong(0)));
    safe<nb::list> exprs;
    for (size_t i = 0; i < std::size(kChecks); ++i) {
        ref bad = bad_rows(pl, kChecks[i], bounds, zero);
        exprs.append(bad.attr("arg_true")().attr("first")().attr("alias")(make_str(std::to_string(i))));
    }
    ref firsts = table.attr("select")(exprs).attr("row")(0);
    Damage damage;
    long long best = -1;
    size_t which = 0;
    for (size_t i = 0; i < std::size(kChecks); ++i) {
        nb::handle first = tuple_item(firsts.ptr(), (Py_ssize_t) i);
        if (first.is_none())
            continue;
        long long row = nb::cast<long long>(first);
        if (best < 0 || row < best) {
            best = row;
            which = i;
        }
    }
    if (best < 0)
        return damage;
    // Our files hold one tick a line (no quoted line breaks), blank lines included.
    damage.line = best + 2;
    damage.reason = reason_of(kChecks[which], bounds);
    if (kChecks[which].column) {
        ref value = table.attr("get_column")(make_str(kChecks[which].column))[nb::int_(best)];
        damage.reason += " (" + repr_of(value) + ")";
    }
    return damage;
}

// Reads a cache file with the schema imposed. A file that does not fit, or holds a
// damaged tick, is renamed aside and the error raised, so the caller's retry
// downloads the day again. A damaged tick gets an error record naming the file, the
// line and the reason, and where the file was set aside (None when it could not be
// moved: the day is refused all the same); so does a file that could not be parsed and
// not be moved (line 0).
nb::object read_cached(nb::handle pl, nb::handle schema, nb::handle path, const Bounds &bounds) {
    ref failure;
    Damage damage;
    try {
        ref table = pl.attr("read_csv")(cache_bytes(path), nb::arg("schema") = schema);
        damage = find_damage(pl, table, bounds);
        if (!damage.line)
            return std::move(table);
        std::string message =
            "Tick 快取檔案 " + str_of(path) + " 第 " + std::to_string(damage.line) + " 行有誤: " + damage.reason;
        failure = nb::steal(check(call_one(PyExc_ValueError, make_str(message).ptr())));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e))
            throw;
        failure = nb::borrow(e.value()); // handled below, outside the handler
    }
    ref exc_mod = import_module(TOVIK_KEY("polars.exceptions"));
    bool corrupt = PyErr_GivenExceptionMatches(failure.ptr(), exc_mod.attr("PolarsError").ptr()) ||
                   PyErr_GivenExceptionMatches(failure.ptr(), PyExc_ValueError);
    if (!corrupt)
        raise_again(std::move(failure)); // e.g. permission denied: the file itself may be fine
    ref stamp = import_module(TOVIK_KEY("datetime"))
                    .attr("datetime")
                    .attr("now")()
                    .attr("strftime")(make_str("%Y%m%d-%H%M%S-%f"));
    ref aside = nb::borrow(path) + make_str(".corrupt.") + stamp;
    std::string not_moved;
    try {
        import_module(TOVIK_KEY("os")).attr("rename")(path, aside);
    } catch (nb::python_error &move) {
        if (!is_ordinary(move))
            throw;
        not_moved = str_of(move.value()); // a read-only cache, or another reader moved it first
    }
    // A file that could not be parsed and was set aside is reported by the caller (the
    // merge's record of the failed day); one left in place is recorded here, so the
    // run still learns that its day is refused.
    if (damage.line || !not_moved.empty()) {
        safe<nb::dict> data;
        data["file"] = path;
        data["line"] = nb::int_(damage.line);
        data["reason"] = make_str(damage.line ? damage.reason : str_of(failure));
        data["set_aside"] = not_moved.empty() ? nb::object(aside) : nb::none();
        if (!not_moved.empty())
            data["not_moved"] = make_str(not_moved);
        log_error_record(failure, data);
    }
    if (not_moved.empty())
        console_print(red("檔案 " + str_of(path) + " 無法讀取 (" + str_of(failure) + "), 已移至 " + str_of(aside) +
                          ", 將重新下載"));
    else
        console_print(
            red("檔案 " + str_of(path) + " 無法讀取 (" + str_of(failure) + "), 且無法移開 (" + not_moved + ")"));
    raise_again(std::move(failure));
}

PyObject *fetch_sino_history_ticks(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<4> params{"fetch_sino_history_ticks", {"code", "product_type", "start_from", "end_to"}, 4};
    PyObject *a[4];
    parse_args(params, args, nargsf, kwnames, a);
    nb::handle code = a[0], product_type = a[1], start_from = a[2], end_to = a[3];
    require_str(code, params.func, "code");
    require_str(start_from, params.func, "start_from");
    require_str(end_to, params.func, "end_to");
    require_safe_name_part(code, "商品代碼");

    ref api = nb::borrow(self).attr("api");
    if (!truthy(api))
        raise_value_error(kNotLoggedIn);

    ref datetime = import_module(TOVIK_KEY("datetime"));
    ref today = datetime.attr("datetime").attr("now")().attr("date")();
    ref format_to_dt = import_module(TOVIK_KEY("tovik_backtest.utils")).attr("format_to_dt");
    ref day = format_to_dt(start_from).attr("date")();
    ref end = format_to_dt(end_to).attr("date")();
    ref contract = make_contract(self, code, product_type);
    ref one_day = datetime.attr("timedelta")(nb::arg("days") = 1);

    ref pl = polars();
    ref schema = schema_of(self);
    ref result = pl.attr("DataFrame")(nb::arg("schema") = schema);
    ref ticks_method = api.attr("ticks");
    while (day <= end) {
        shutdown::exit_point();
        ref day_str = date_text(day);
        ref ticks = ticks_method(nb::arg("contract") = contract, nb::arg("date") = day_str);
        ref table = day_table(pl, schema, ticks);
        if (nb::cast<Py_ssize_t>(table.attr("height")) > 0) {
            safe<nb::list> parts;
            parts.append(result);
            parts.append(table);
            result = pl.attr("concat")(parts);
        }
        if (day < today) {
            ref path = save_path(tick_filename(code, day_str), {"sino", "ticks"});
            write_atomically(table, path);
            console_print(
                green("下載 " + str_of(code) + " " + str_of(day_str) + " 的 Tick 資料成功, 儲存於 " + str_of(path)));
        }
        day = day + one_day;
    }
    return result.release().ptr();
}

PyObject *auto_fetch_ticks(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"_Ticker__auto_fetch_ticks", {"code", "product_type", "date"}, 3};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    nb::handle code = a[0], product_type = a[1], date = a[2];
    require_str(code, params.func, "code");
    require_str(product_type, params.func, "product_type");
    require_str(date, params.func, "date");

    // The date text is used exactly as given: it is the cache key.
    ref path = save_path(tick_filename(code, date), {"sino", "ticks"});
    ref pl = polars();
    ref table;
    int exists = PyObject_IsTrue(import_module(TOVIK_KEY("os")).attr("path").attr("isfile")(path).ptr());
    check_status(exists);
    if (!exists) {
        console_print(red("檔案 " + str_of(path) + " 不存在, 開始下載歷史 Tick 資料..."));
        table = call_method(self, TOVIK_KEY("fetch_sino_history_ticks"), code, product_type, date, date);
    } else {
        console_print(green("檔案 " + str_of(path) + " 已存在, 開始讀取檔案..."));
        table = read_cached(pl, schema_of(self), path, bounds_of(code, product_type, date));
    }
    ref column = pl.attr("lit")(code).attr("alias")(make_str("code"));
    return table.attr("with_columns")(column).release().ptr();
}

// One cache file read as the merge reads it, for hosts that keep their own copy of
// the vetted table: same damage rules, same setting aside and error record. The code
// and day come from the file's name; the market is `market`, or the one the merge
// registered for the code.
PyObject *read_cache_file(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<2> params{"read_cache_file", {"path", "market"}, 1};
    PyObject *a[2];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "path");
    if (a[1] && a[1] != Py_None)
        require_str(a[1], params.func, "market");
    auto [code, day] = code_and_day_of(a[0]);
    ref market = a[1] && a[1] != Py_None ? nb::borrow(a[1]) : nb::object();
    if (!market) {
        ref map = nb::borrow(self).attr("code_market_map");
        ref known = nb::steal(check(PyObject_CallMethod(map.ptr(), "get", "O", code.ptr())));
        if (known.is_none())
            raise_value_error("read_cache_file: 商品 " + str_of(code) +
                              " 的市場未知, 請以 market 指定 'Stock' 或 'Future'");
        market = known;
    }
    return read_cached(polars(), schema_of(self), a[0], bounds_of(code, market, day)).release().ptr();
}

} // namespace

void add_cache_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_LONG_METHOD("_Ticker__auto_fetch_ticks", auto_fetch_ticks,
                                        "_Ticker__auto_fetch_ticks($self, code, product_type, date)\n--\n\n"
                                        "自動取得歷史 Tick 資料\n\n"
                                        "        Args:\n"
                                        "            code (str): 商品代碼\n"
                                        "            product_type (str): 商品類型, Stock 或 Future\n"
                                        "            date (str): 日期, 格式為 %Y-%m-%d\n\n"
                                        "        Returns:\n"
                                        "            pl.DataFrame: 當日的 Tick 資料, 含 code 欄位\n"));
    methods.push_back(
        TOVIK_LONG_METHOD("read_cache_file", read_cache_file,
                          "read_cache_file($self, path, market=None)\n--\n\n"
                          "讀取一個 Tick 快取檔案 (與合併時的讀取相同)\n\n"
                          "        Args:\n"
                          "            path (str): 快取檔案路徑\n"
                          "            market (str | None): 商品類型 Stock 或 Future; None 時用已登記的市場\n\n"
                          "        Returns:\n"
                          "            pl.DataFrame: 檔案中的 Tick 資料, 依檔案順序, 不含 code 欄位\n\n"
                          "        Raises:\n"
                          "            ValueError, PolarsError: 檔案有誤或無法解析 (已移至 .corrupt. 檔名)\n"));
    methods.push_back(
        TOVIK_LONG_METHOD("fetch_sino_history_ticks", fetch_sino_history_ticks,
                          "fetch_sino_history_ticks($self, code, product_type, start_from, end_to)\n--\n\n"
                          "從永豐 API 下載歷史 Tick 資料\n\n"
                          "        Args:\n"
                          "            code (str): 商品代碼\n"
                          "            product_type (Literal['Stock', 'Future']): 商品類型\n"
                          "            start_from (str): 開始日期\n"
                          "            end_to (str): 結束日期\n\n"
                          "        Returns:\n"
                          "            pl.DataFrame: 期間內的 Tick 資料\n"));
}

} // namespace tovik::ticker
