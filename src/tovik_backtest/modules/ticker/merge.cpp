// The merged tick table: every instrument's days of a period, loaded one day at a time
// (cache or broker), concatenated once and sorted once by time stamp, then code.
#include "ticker.hpp"

namespace tovik::ticker {
namespace {

// A day failing with anything but the not-logged-in refusal is attempted this many
// times in a row, then given up, so an instrument the broker does not know cannot
// hold a replay for ever.
constexpr int kMaxAttempts = 3;

// Registers the market of a code seen for the first time. The back-filling thread
// merges at the same time as the host's thread; the test and the insert must be one
// step. A plain dict gets that from setdefault, which runs no Python code for str
// keys; anything else a host may have put there is served under the Ticker's mutex.
void register_market(PyObject *self, nb::handle code, nb::handle market) {
    ref map = nb::borrow(self).attr("code_market_map");
    if (PyDict_CheckExact(map.ptr()) && PyUnicode_CheckExact(code.ptr())) {
#ifndef Py_LIMITED_API
        if (!PyDict_SetDefault(map.ptr(), code.ptr(), market.ptr()))
            throw nb::python_error();
#else
        // No Python code runs between the look and the insert for a str key, so no
        // other thread can take the GIL in between.
        int present = PyDict_Contains(map.ptr(), code.ptr());
        check_status(present);
        if (!present)
            check_status(PyDict_SetItem(map.ptr(), code.ptr(), market.ptr()));
#endif
        return;
    }
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Ticker object is not initialised");
    std::unique_lock<std::mutex> lock(native(self).market_map_mutex, std::defer_lock);
    without_gil([&] { lock.lock(); });
    int present = PySequence_Contains(map.ptr(), code.ptr());
    check_status(present);
    if (!present)
        check_status(PyObject_SetItem(map.ptr(), code.ptr(), market.ptr()));
}

nb::object empty_merged_table(PyObject *self, nb::handle pl) {
    ref schema = nb::steal(check(PyDict_New()));
    ref tick_schema = nb::borrow(self).attr("tick_df_schema");
    check_status(PyDict_Merge(schema.ptr(), tick_schema.ptr(), 1));
    check_status(PyDict_SetItemString(schema.ptr(), "code", pl.attr("String").ptr()));
    return pl.attr("DataFrame")(nb::arg("schema") = schema);
}

nb::object process_and_combine(PyObject *self, nb::handle codes, nb::handle start_from, nb::handle end_to) {
    ref format_to_dt = import_module(TOVIK_KEY("tovik_backtest.utils")).attr("format_to_dt");
    ref start = format_to_dt(start_from);
    ref end = format_to_dt(end_to);
    ref one_day = import_module(TOVIK_KEY("datetime")).attr("timedelta")(nb::arg("days") = 1);
    ref day_format = make_str("%Y-%m-%d");
    ref pl = polars();
    safe<nb::list> collected;

    // Every entry is read and registered before the first day is loaded, so a list
    // with a broken entry is refused before any cache file is written.
    struct Instrument {
        ref code, market;
        std::string code_text;
    };
    std::vector<Instrument> instruments;
    for (Py_ssize_t i = 0; i < list_size(codes.ptr()); ++i) {
        ref entry = nb::borrow(list_item(codes.ptr(), i));
        ref code = nb::steal(check(PyObject_GetItem(entry.ptr(), TOVIK_KEY("code"))));
        ref market = nb::steal(check(PyObject_GetItem(entry.ptr(), TOVIK_KEY("market"))));
        std::string code_text = str_of(code);
        instruments.push_back(Instrument{std::move(code), std::move(market), std::move(code_text)});
    }
    for (const Instrument &instrument : instruments)
        register_market(self, instrument.code, instrument.market);

    for (const Instrument &instrument : instruments) {
        nb::handle code = instrument.code, market = instrument.market;
        const std::string &code_text = instrument.code_text;

        ref current = start;
        int failures = 0;
        while (current <= end) {
            shutdown::exit_point();
            ref day = current.attr("strftime")(day_format);
            std::string day_text = str_of(day);
            console_print(yellow("正在取得 " + code_text + " " + day_text + " 的 Tick 資料..."));
            ref failure;
            try {
                ref table = call_method(self, TOVIK_KEY("_Ticker__auto_fetch_ticks"), code, market, day);
                if (nb::cast<Py_ssize_t>(table.attr("height")) > 0)
                    collected.append(table);
                current = current + one_day;
                failures = 0;
            } catch (nb::python_error &e) {
                if (!is_ordinary(e))
                    throw;
                failure = nb::borrow(e.value()); // reported below, outside the handler
            }
            if (!failure)
                continue;
            safe<nb::dict> data;
            data["code"] = code;
            data["date"] = current.attr("timestamp")();
            log_error_record(failure, data);
            std::string message = str_of(failure);
            bool give_up = false;
            if (message == kNotLoggedIn)
                give_up = true;
            else if (++failures >= kMaxAttempts)
                give_up = true;
            console_print(red("下載 " + code_text + " " + day_text + " 的 Tick 資料失敗, 錯誤訊息: " + message));
            if (give_up) {
                if (failures >= kMaxAttempts)
                    console_print(red("放棄下載 " + code_text + " " + day_text + " 的 Tick 資料: 已連續失敗 " +
                                      std::to_string(failures) + " 次"));
                current = current + one_day;
                failures = 0;
            }
        }
    }

    if (list_size(collected.ptr()) == 0)
        return empty_merged_table(self, pl);
    safe<nb::list> keys;
    keys.append(make_str("ts"));
    keys.append(make_str("code"));
    return pl.attr("concat")(collected).attr("sort")(keys);
}

PyObject *process_and_combine_ticks(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"_Ticker__process_and_combine_ticks", {"codes", "start_from", "end_to"}, 3};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    require_list(a[0], params.func, "codes");
    require_str(a[1], params.func, "start_from");
    require_str(a[2], params.func, "end_to");
    return process_and_combine(self, a[0], a[1], a[2]).release().ptr();
}

PyObject *merge_ticks(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"merge_ticks", {"codes", "start_from", "end_to"}, 3};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    require_list(a[0], params.func, "codes");
    require_str(a[1], params.func, "start_from");
    require_str(a[2], params.func, "end_to");
    // Through the private's attribute, like send_ticks: a replacement on the instance
    // serves both.
    return call_method(self, TOVIK_KEY("_Ticker__process_and_combine_ticks"), a[0], a[1], a[2]).release().ptr();
}

PyObject *get_ticks_df(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<4> params{"get_ticks_df", {"code", "market_type", "start_from", "end_to"}, 4};
    PyObject *a[4];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "code");
    require_str(a[2], params.func, "start_from");
    require_str(a[3], params.func, "end_to");
    safe<nb::dict> entry;
    entry["code"] = nb::handle(a[0]);
    entry["market"] = nb::handle(a[1]);
    safe<nb::list> codes;
    codes.append(entry);
    return call_method(self, TOVIK_KEY("_Ticker__process_and_combine_ticks"), codes, a[2], a[3]).release().ptr();
}

} // namespace

void add_merge_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_LONG_METHOD(
        "_Ticker__process_and_combine_ticks", process_and_combine_ticks,
        "_Ticker__process_and_combine_ticks($self, codes, start_from, end_to)\n--\n\n"
        "處理與合併 Tick 資料\n\n"
        "        Args:\n"
        "            codes (List[Dict[str, str]]): 商品列表, 例如 [{'code': '2330', 'market': 'Stock'}, "
        "{'code': 'TXFR1', 'market': 'Future'}]\n"
        "            start_from (str): 開始時間\n"
        "            end_to (str): 結束時間\n\n"
        "        Returns:\n"
        "            pl.DataFrame: 依 ts 與 code 排序的合併 Tick 資料\n"));
    methods.push_back(
        TOVIK_LONG_METHOD("merge_ticks", merge_ticks,
                          "merge_ticks($self, codes, start_from, end_to)\n--\n\n"
                          "合併多個商品的 Tick 資料\n\n"
                          "        Args:\n"
                          "            codes (List[Dict[str, str]]): 商品列表, 每項為含 code 與 market 的字典\n"
                          "            start_from (str): 開始時間\n"
                          "            end_to (str): 結束時間\n\n"
                          "        Returns:\n"
                          "            pl.DataFrame: 依 ts 與 code 排序的合併 Tick 資料\n"));
    methods.push_back(TOVIK_LONG_METHOD("get_ticks_df", get_ticks_df,
                                        "get_ticks_df($self, code, market_type, start_from, end_to)\n--\n\n"
                                        "取得指定商品的 Tick 資料\n\n"
                                        "        Args:\n"
                                        "            code (str): 商品代碼\n"
                                        "            market_type (Literal['Stock', 'Future']): 市場類型\n"
                                        "            start_from (str): 開始時間\n"
                                        "            end_to (str): 結束時間\n\n"
                                        "        Returns:\n"
                                        "            pl.DataFrame: 依 ts 與 code 排序的 Tick 資料\n"));
}

} // namespace tovik::ticker
