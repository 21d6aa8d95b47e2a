// Paced replay of a merged tick table: send_ticks, the replay and back-filling
// threads, and the host's side of the hand-shake (pop_tick / allow_next_tick).
//
// Fast hand-shake. A thread that finds no token registers its producer on the Ticker
// as parked and sleeps. While it is parked and no token is waiting, allow_next_tick
// does that thread's pass itself: it takes the token it would have put, builds the
// next record and queues it, all on the granting thread, so a pop/grant loop needs no
// thread switch. The parked thread is woken only for what it alone handles: a token
// in the queue, the end of the table, a stop seen after a record, a failure, or a
// newer replay.
#include "ticker.hpp"

#include <algorithm>
#include <chrono>

namespace tovik::ticker {

struct ReplayProducer {
    ReplayProducer(std::uint64_t gen, bool is_backfilling, ref table, Py_ssize_t n)
        : generation(gen), backfilling(is_backfilling), df(std::move(table)), rows(n) {}

    std::uint64_t generation;
    bool backfilling;
    ref df;
    Py_ssize_t rows;
    Py_ssize_t cursor = 0; // next row to send
    Py_ssize_t sent = 0;

    // Columns of rows [chunk_start, chunk_start + chunk_len) as Python lists.
    Py_ssize_t chunk_start = 0;
    Py_ssize_t chunk_len = 0;
    ref ts, code, close, volume, tick_type;

    bool busy = false;   // a granting thread is producing a record right now
    bool missed = false; // the parked thread woke while busy: wake it again afterwards
    bool ending = false; // a granting thread saw the stop flag after its record
    ref error;           // what a granting thread's record failed with
};

namespace {

// Rows fetched from the table per step: bounds the memory of the column lists.
constexpr Py_ssize_t kChunkRows = 16384;

constexpr const char *kNoBounds = "回補資料的開始時間與結束時間不能為空";

enum class Wake { Token, Ending, Finished, Failed, Abandoned };

Ticker &state(PyObject *self) {
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Ticker object is not initialised");
    return native(self);
}

void set_field(PyObject *self, PyObject *key, nb::handle value) {
    check_status(PyObject_SetAttr(self, key, value.ptr()));
}

bool present(nb::handle bound) { return PyUnicode_Check(bound.ptr()) && PyUnicode_GetLength(bound.ptr()) > 0; }

nb::object control_record(const char *member) {
    ref value = import_module(TOVIK_KEY("tovik_backtest.constant")).attr("FLAG").attr(member).attr("value");
    ref record = nb::steal(check(PyDict_New()));
    check_status(PyDict_SetItem(record.ptr(), TOVIK_KEY("tovik_status"), value.ptr()));
    return record;
}

// Durations are measured on the monotonic clock: a clock step must not change them.
double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string count_text(Py_ssize_t n) { return std::to_string((long long) n); }

// ---------------------------------------------------------------------------
// Queues. They are used only through their own methods, looked up on the object at
// each call, so a host may replace one with any object offering put, get, get_nowait
// and empty.

void queue_put(nb::handle q, nb::handle item) { call_method(q, TOVIK_KEY("put"), item); }

// The next item of q, or a null object when it has none (get_nowait raised Empty).
nb::object try_take(nb::handle q) {
    try {
        return call_method(q, TOVIK_KEY("get_nowait"));
    } catch (nb::python_error &e) {
        if (e.matches(import_module(TOVIK_KEY("queue")).attr("Empty")))
            return nb::object();
        throw;
    }
}

void empty_queue(nb::handle q) {
    while (try_take(q)) {
    }
}

// Counts a put or take made for a replay while it is under way (no Python in here).
class InFlight {
  public:
    explicit InFlight(Ticker &t) : t_(t) {
        std::lock_guard<std::mutex> lock(t_.park_mutex);
        ++t_.queue_calls_in_flight;
    }
    ~InFlight() {
        bool last;
        {
            std::lock_guard<std::mutex> lock(t_.park_mutex);
            last = --t_.queue_calls_in_flight == 0;
        }
        if (last)
            t_.park_cv.notify_all(); // send_ticks may be waiting for the last one
    }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

  private:
    Ticker &t_;
};

// Puts an item into one of the ticker's queues for the replay `gen`, unless a newer
// replay has started: nothing of an old replay may reach a new one.
bool replay_put(PyObject *self, std::uint64_t gen, PyObject *queue_key, nb::handle item) {
    Ticker &t = native(self);
    InFlight counted(t);
    if (t.replay_generation != gen)
        return false;
    queue_put(get_attr(self, queue_key), item);
    return true;
}

// Takes an item from one of the ticker's queues for the replay `gen` (null when there
// is none or a newer replay has started). Counted in flight, so send_ticks never
// empties the queues while an old thread is taking from them: what an old thread
// takes was put before the new replay began.
nb::object replay_take(PyObject *self, std::uint64_t gen, PyObject *queue_key) {
    Ticker &t = native(self);
    InFlight counted(t);
    if (t.replay_generation != gen)
        return nb::object();
    return try_take(get_attr(self, queue_key));
}

// ---------------------------------------------------------------------------
// Parking. A thread waiting for a token or the back-filling notice sleeps on the
// Ticker's own condition variable, without the GIL. Whoever puts something a parked
// thread may want (allow_next_tick, the back-filling notice, send_ticks) wakes it
// through wake_parked; it then looks at the queue again with get_nowait. An item put
// straight into a queue by the host wakes nobody, so the wait also ends after a
// timeout that starts short and grows while nothing comes.

std::uint64_t wake_count(Ticker &t) {
    std::lock_guard<std::mutex> lock(t.park_mutex);
    return t.wake_count;
}

void wake_parked(Ticker &t) {
    {
        std::lock_guard<std::mutex> lock(t.park_mutex);
        ++t.wake_count;
    }
    t.park_cv.notify_all();
}

class Parking {
  public:
    explicit Parking(Ticker &t) : t_(t), seen_(wake_count(t)) {}

    // Waits for a wake later than the last look, or the timeout. The mutex is let go
    // before the GIL is taken back: nobody holding it ever waits for the GIL.
    void wait() {
        std::uint64_t seen = seen_;
        auto timeout = timeout_;
        without_gil([&] {
            std::unique_lock<std::mutex> lock(t_.park_mutex);
            t_.park_cv.wait_for(lock, timeout, [&] { return t_.wake_count != seen; });
        });
        timeout_ = std::min(timeout_ * 2, std::chrono::milliseconds(32));
    }
    // Call before each look at what the thread waits for: a wake after it is not missed.
    void look() { seen_ = wake_count(t_); }

  private:
    Ticker &t_;
    std::uint64_t seen_;
    std::chrono::milliseconds timeout_{1};
};

// One hand-shake token for producer p, or the news that ends its wait. While the
// thread sleeps it is registered as parked, so allow_next_tick may do its passes.
Wake take_token(PyObject *self, const std::shared_ptr<ReplayProducer> &p) {
    Ticker &t = native(self);
    Parking parking(t);
    try {
        for (;;) {
            parking.look();
            if (t.replay_generation != p->generation) {
                if (t.parked == p) // left by a look that overlapped the new replay's start
                    t.parked.reset();
                return Wake::Abandoned;
            }
            if (p->busy) {
                p->missed = true; // the granting thread wakes us when it is done
            } else {
                // Leaving the slot before any Python runs: no grant may start now.
                if (t.parked == p)
                    t.parked.reset();
                if (p->error)
                    return Wake::Failed;
                if (p->ending)
                    return Wake::Ending;
                if (p->backfilling && p->cursor >= p->rows)
                    return Wake::Finished;
                if (replay_take(self, p->generation, TOVIK_KEY("allow_next_tick_flag_queue")))
                    return Wake::Token;
                if (!t.parked || t.parked->generation != t.replay_generation)
                    t.parked = p;
            }
            parking.wait();
        }
    } catch (nb::python_error &) {
        if (t.parked == p) // no grant may serve a producer whose thread has left
            t.parked.reset();
        throw;
    }
}

// The back-filling notice for replay `gen`; false when a newer replay started.
bool take_notice(PyObject *self, std::uint64_t gen) {
    Ticker &t = native(self);
    Parking parking(t);
    for (;;) {
        parking.look();
        if (replay_take(self, gen, TOVIK_KEY("backfilling_notify_finish_queue")))
            return t.replay_generation == gen;
        if (t.replay_generation != gen)
            return false;
        parking.wait();
    }
}

// ---------------------------------------------------------------------------
// Records.

void load_chunk(ReplayProducer &p) {
    Py_ssize_t n = std::min(kChunkRows, p.rows - p.cursor);
    ref piece = p.df.attr("slice")(p.cursor, n);
    auto column = [&](const char *name) {
        ref values = piece.attr("get_column")(name).attr("to_list")();
        if (!PyList_Check(values.ptr()) || PyList_Size(values.ptr()) != n)
            raise_value_error(std::string("Tick 資料表的欄位 ") + name + " 長度不符");
        return values;
    };
    p.ts = column("ts");
    p.code = column("code");
    p.close = column("close");
    p.volume = column("volume");
    p.tick_type = column("tick_type");
    p.chunk_start = p.cursor;
    p.chunk_len = n;
}

// The tick record of row p.cursor, keys in their fixed order.
nb::object make_record(PyObject *self, ReplayProducer &p) {
    if (p.cursor >= p.chunk_start + p.chunk_len)
        load_chunk(p);
    Py_ssize_t i = p.cursor - p.chunk_start;
    PyObject *ts = PyList_GetItem(p.ts.ptr(), i);
    PyObject *code = PyList_GetItem(p.code.ptr(), i);
    PyObject *close = PyList_GetItem(p.close.ptr(), i);
    PyObject *qty = PyList_GetItem(p.volume.ptr(), i);
    PyObject *tick_type = PyList_GetItem(p.tick_type.ptr(), i);
    if (!ts || !code || !close || !qty || !tick_type)
        throw nb::python_error();

    ref map = get_attr(self, TOVIK_KEY("code_market_map"));
    ref market = nb::steal(check(PyObject_GetItem(map.ptr(), code)));
    ref format = get_attr(import_module(TOVIK_KEY("tovik_backtest.utils")), TOVIK_KEY("format_nano_ts_to_second_ts"));
    ref eight = nb::steal(check(PyLong_FromLong(8)));
    ref stamp = call(format, ts, eight);

    ref record = nb::steal(check(PyDict_New()));
    PyObject *r = record.ptr();
    check_status(PyDict_SetItem(r, TOVIK_KEY("market_type"), market.ptr()));
    check_status(PyDict_SetItem(r, TOVIK_KEY("timestamp"), stamp.ptr()));
    check_status(PyDict_SetItem(r, TOVIK_KEY("code"), code));
    check_status(PyDict_SetItem(r, TOVIK_KEY("close"), close));
    check_status(PyDict_SetItem(r, TOVIK_KEY("qty"), qty));
    check_status(PyDict_SetItem(r, TOVIK_KEY("tick_type"), tick_type));
    check_status(PyDict_SetItem(r, TOVIK_KEY("is_simulate"), Py_False));
    check_status(PyDict_SetItem(r, TOVIK_KEY("is_backfilling"), p.backfilling ? Py_True : Py_False));
    return record;
}

// Builds and queues the record of the next row; false when a newer replay started.
bool send_next(PyObject *self, ReplayProducer &p) {
    ref record = make_record(self, p);
    if (!replay_put(self, p.generation, TOVIK_KEY("tick_queue"), record))
        return false;
    ++p.cursor;
    ++p.sent;
    return true;
}

[[noreturn]] void raise_stored(ReplayProducer &p) { raise_again(std::move(p.error)); }

// allow_next_tick's fast way: when a producer is parked for a token and no token is
// waiting, do its pass here. Returns false when the token must be put.
bool grant_directly(PyObject *self, nb::handle q) {
    Ticker &t = native(self);
    if (!t.parked)
        return false;
    // A token already waiting is the parked thread's to take first.
    if (!truthy(call_method(q, TOVIK_KEY("empty"))))
        return false;
    // Checked after the call above, which may have let other threads run.
    std::shared_ptr<ReplayProducer> p = t.parked;
    if (!p || p->busy || p->generation != t.replay_generation || p->error || p->ending || p->cursor >= p->rows)
        return false;
    p->busy = true;
    bool wake = false;
    try {
        if (!send_next(self, *p))
            wake = true;
        else if (p->backfilling)
            wake = p->cursor >= p->rows; // the back-filling thread posts the notice
        else if (truthy(get_attr(self, TOVIK_KEY("exit_send_thread_flag")))) {
            p->ending = true; // the next pass would see the flag: the thread ends the replay
            wake = true;
        }
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) {
            p->busy = false;
            throw;
        }
        p->error = nb::borrow(e.value()); // reported and raised by the replay's own thread
        wake = true;
    }
    p->busy = false;
    if (wake || p->missed) {
        p->missed = false;
        wake_parked(t);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Threads.

// Which replay a thread belongs to: the one send_ticks started it for, or, when the
// host calls the method itself, the current one.
bool claim_launch(PyObject *self, bool backfilling, ReplayLaunch &out) {
    Ticker &t = native(self);
    ref current = import_module(TOVIK_KEY("threading")).attr("current_thread")();
    for (auto it = t.launches.begin(); it != t.launches.end(); ++it) {
        if (it->thread == current.ptr() && it->backfilling == backfilling) {
            out = *it;
            t.launches.erase(it);
            return true;
        }
    }
    return false;
}

void launch(PyObject *self, PyObject *target_key, nb::handle args, std::uint64_t gen, bool backfilling, bool asked) {
    Ticker &t = native(self);
    ref target = get_attr(self, target_key);
    ref thread = import_module(TOVIK_KEY("threading"))
                     .attr("Thread")(nb::arg("target") = target, nb::arg("args") = args, nb::arg("daemon") = true);
    t.launches.push_back(ReplayLaunch{thread.ptr(), backfilling, gen, asked});
    try {
        call_method(thread, TOVIK_KEY("start"));
    } catch (nb::python_error &) {
        t.launches.erase(std::remove_if(t.launches.begin(), t.launches.end(),
                                        [&](const ReplayLaunch &l) { return l.thread == thread.ptr(); }),
                         t.launches.end());
        throw;
    }
}

void notify_finish(PyObject *self, std::uint64_t gen) {
    Ticker &t = native(self);
    if (t.replay_generation != gen)
        return; // a newer replay has its own back-filling
    InFlight counted(t);
    call_method(self, TOVIK_KEY("_Ticker__notify_backfilling_finish"));
}

// Waits for the end of back-filling and relays it to the consumer.
bool relay_backfilling_end(PyObject *self, std::uint64_t gen) {
    if (!take_notice(self, gen))
        return false;
    return replay_put(self, gen, TOVIK_KEY("tick_queue"), control_record("finish_backfilling"));
}

void report_replay_failure(PyObject *self, std::uint64_t gen, nb::handle error, Py_ssize_t row) {
    console_print(red("傳送 Tick 資料失敗, 錯誤訊息: " + str_of(error)));
    safe<nb::dict> data;
    data["row"] = row;
    log_error_record(error, data);
    replay_put(self, gen, TOVIK_KEY("tick_queue"), control_record("exit_send_tick"));
}

void run_replay(PyObject *self, nb::handle df, std::uint64_t gen, bool asked) {
    Ticker &t = native(self);
    std::shared_ptr<ReplayProducer> p;
    ref failure;
    try {
        Py_ssize_t n = PyObject_Length(df.ptr());
        if (n < 0)
            throw nb::python_error();
        if (n == 0) {
            if (asked && !relay_backfilling_end(self, gen))
                return;
            if (replay_put(self, gen, TOVIK_KEY("tick_queue"), control_record("exit_send_tick")))
                console_print(red("傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒"));
            return;
        }
        double start = now_seconds();
        p = std::make_shared<ReplayProducer>(gen, false, nb::borrow(df), n);
        bool relayed = false;
        for (;;) {
            if (t.replay_generation != gen)
                return;
            if (truthy(get_attr(self, TOVIK_KEY("exit_send_thread_flag"))))
                break;
            if (asked && !relayed) {
                // Back-filling first: its records, then the marker, then ours.
                if (!relay_backfilling_end(self, gen))
                    return;
                relayed = true;
            }
            Wake w = take_token(self, p);
            if (w == Wake::Abandoned)
                return;
            if (w == Wake::Failed)
                raise_stored(*p);
            if (w == Wake::Ending)
                break;
            if (p->cursor >= n) {
                if (t.replay_generation != gen)
                    return;
                set_field(self, TOVIK_KEY("exit_send_thread_flag"), Py_True);
                if (!replay_put(self, gen, TOVIK_KEY("tick_queue"), control_record("exit_send_tick")))
                    return;
                break;
            }
            if (!send_next(self, *p))
                return;
        }
        // Stopped before its first pass: the consumer still learns that back-filling ended.
        if (asked && !relayed && !relay_backfilling_end(self, gen))
            return;
        if (t.replay_generation != gen)
            return;
        ref elapsed = nb::steal(check(PyFloat_FromDouble(now_seconds() - start)));
        ref two_decimals = nb::steal(check(PyUnicode_FromString(".2f")));
        std::string seconds = str_of(nb::steal(check(PyObject_Format(elapsed.ptr(), two_decimals.ptr()))));
        console_print(green("傳送 Tick 資料結束, 需傳送資料共 " + count_text(n) + " 筆, 已傳送 " + count_text(p->sent) +
                            " 筆, 耗時 " + seconds + " 秒"));
        return;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e) || t.replay_generation != gen)
            throw;
        failure = nb::borrow(e.value()); // reported below, outside the handler
    }
    // A consumer waiting in pop_tick must not wait for ever: it gets the exit marker.
    report_replay_failure(self, gen, failure, p ? p->cursor : 0);
    raise_again(std::move(failure));
}

// ---------------------------------------------------------------------------
// Methods.

PyObject *send_ticks(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<5> params{
        "send_ticks", {"codes", "start_from", "end_to", "backfilling_start_from", "backfilling_end_to"}, 3};
    PyObject *a[5];
    parse_args(params, args, nargsf, kwnames, a);
    require_list(a[0], params.func, "codes");
    require_str(a[1], params.func, "start_from");
    require_str(a[2], params.func, "end_to");
    nb::handle bf_start = a[3] ? a[3] : Py_None, bf_end = a[4] ? a[4] : Py_None;
    require_str_or_none(bf_start, params.func, "backfilling_start_from");
    require_str_or_none(bf_end, params.func, "backfilling_end_to");
    Ticker &t = state(self);

    // End any earlier replay: its threads are woken to see the new generation, and
    // puts and takes already under way finish before the queues are emptied.
    std::uint64_t gen = ++t.replay_generation;
    bool replacing = t.live_replay != 0;
    t.live_replay = 0;
    t.parked.reset();
    wake_parked(t);
    without_gil([&] {
        std::unique_lock<std::mutex> lock(t.park_mutex);
        t.park_cv.wait(lock, [&] { return t.queue_calls_in_flight == 0; });
    });

    safe<nb::dict> replay_params;
    replay_params["codes"] = nb::handle(a[0]);
    replay_params["start_from"] = nb::handle(a[1]);
    replay_params["end_to"] = nb::handle(a[2]);
    set_field(self, TOVIK_KEY("current_send_ticks_params"), replay_params);
    set_field(self, TOVIK_KEY("exit_send_thread_flag"), Py_False);
    empty_queue(get_attr(self, TOVIK_KEY("tick_queue")));
    empty_queue(get_attr(self, TOVIK_KEY("backfilling_notify_finish_queue")));
    set_field(self, TOVIK_KEY("backfilling_finish_flag"), Py_False);
    // The replaced replay may have taken the waiting token for a record it never
    // delivered (dropped above, or given up at the new generation), and the consumer
    // grants only after records it received: without a token the new replay would
    // never send. A token left waiting is kept as it is.
    if (replacing) {
        ref tokens = get_attr(self, TOVIK_KEY("allow_next_tick_flag_queue"));
        if (truthy(call_method(tokens, TOVIK_KEY("empty"))))
            queue_put(tokens, Py_True);
    }

    bool asked = present(bf_start) || present(bf_end);
    if (asked) {
        ref bf_args = nb::steal(check(PyTuple_Pack(3, a[0], bf_start.ptr(), bf_end.ptr())));
        launch(self, TOVIK_KEY("backfilling"), bf_args, gen, true, false);
    } else {
        set_field(self, TOVIK_KEY("backfilling_finish_flag"), Py_True);
    }

    ref all_df = call_method(self, TOVIK_KEY("_Ticker__process_and_combine_ticks"), a[0], a[1], a[2]);
    if (t.replay_generation != gen)
        Py_RETURN_NONE; // a newer send_ticks took over while this table was built
    Py_ssize_t n = PyObject_Length(all_df.ptr());
    if (n < 0)
        throw nb::python_error();
    console_print(green("開始傳送 Tick 資料, Tick 數 " + count_text(n) + ". ..."));
    ref replay_args = nb::steal(check(PyTuple_Pack(1, all_df.ptr())));
    t.live_replay = gen;
    launch(self, TOVIK_KEY("_Ticker__push_tick_to_queue"), replay_args, gen, false, asked);
    Py_RETURN_NONE;
}

PyObject *push_tick_to_queue(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"_Ticker__push_tick_to_queue", {"df"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    Ticker &t = state(self);
    ReplayLaunch launched{};
    std::uint64_t gen = t.replay_generation;
    bool asked;
    if (claim_launch(self, false, launched)) {
        gen = launched.generation;
        asked = launched.backfilling_asked;
    } else {
        // Called by the host itself: wait for back-filling if it is still running.
        asked = !truthy(get_attr(self, TOVIK_KEY("backfilling_finish_flag")));
    }
    // However the replay ends (also by a forced unwind at exit: no Python here).
    struct Ended {
        Ticker &t;
        std::uint64_t gen;
        ~Ended() {
            if (t.live_replay == gen)
                t.live_replay = 0;
        }
    } ended{t, gen};
    run_replay(self, a[0], gen, asked);
    Py_RETURN_NONE;
}

PyObject *backfilling(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"backfilling", {"codes", "start_from", "end_to"}, 1};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    require_list(a[0], params.func, "codes");
    ref start_from = nb::borrow(a[1] ? a[1] : Py_None), end_to = nb::borrow(a[2] ? a[2] : Py_None);
    require_str_or_none(start_from, params.func, "start_from");
    require_str_or_none(end_to, params.func, "end_to");
    Ticker &t = state(self);
    ReplayLaunch launched{};
    std::uint64_t gen = claim_launch(self, true, launched) ? launched.generation : t.replay_generation;

    bool has_start = present(start_from), has_end = present(end_to);
    if (!has_start && !has_end) {
        notify_finish(self, gen); // a replay waiting for back-filling is released all the same
        raise_value_error(kNoBounds);
    }
    if (!has_start)
        start_from = end_to;
    if (!has_end)
        end_to = start_from;
    if (t.replay_generation != gen)
        Py_RETURN_NONE;
    ref replay_params = get_attr(self, TOVIK_KEY("current_send_ticks_params"));
    check_status(PyObject_SetItem(replay_params.ptr(), TOVIK_KEY("backfilling_start_from"), start_from.ptr()));
    check_status(PyObject_SetItem(replay_params.ptr(), TOVIK_KEY("backfilling_end_to"), end_to.ptr()));

    bool holding_token = false; // taken for a record not yet queued
    ref failure;
    try {
        ref all_df = call_method(self, TOVIK_KEY("_Ticker__process_and_combine_ticks"), a[0], start_from, end_to);
        if (t.replay_generation != gen)
            Py_RETURN_NONE;
        Py_ssize_t n = PyObject_Length(all_df.ptr());
        if (n < 0)
            throw nb::python_error();
        console_print(green("開始回補 Tick 資料, Tick 數 " + count_text(n) + ". ..."));
        auto p = std::make_shared<ReplayProducer>(gen, true, all_df, n);
        while (p->cursor < p->rows) {
            Wake w = take_token(self, p);
            if (w == Wake::Abandoned)
                Py_RETURN_NONE;
            holding_token = w != Wake::Finished;
            if (w == Wake::Failed)
                raise_stored(*p);
            if (w == Wake::Finished)
                break;
            if (!send_next(self, *p))
                Py_RETURN_NONE;
            holding_token = false;
        }
    } catch (nb::python_error &e) {
        if (!is_ordinary(e))
            throw;
        failure = nb::borrow(e.value()); // handled below, outside the handler
    }
    if (failure) {
        // The token of the record that failed sent nothing: it is the replay's, whose
        // consumer grants only after records it has received.
        if (holding_token && t.replay_generation == gen) {
            queue_put(get_attr(self, TOVIK_KEY("allow_next_tick_flag_queue")), Py_True);
            wake_parked(t);
        }
        console_print(red("回補 Tick 資料失敗, 錯誤訊息: " + str_of(failure)));
        notify_finish(self, gen);
        raise_again(std::move(failure));
    }
    notify_finish(self, gen);
    Py_RETURN_NONE;
}

PyObject *notify_backfilling_finish(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("_Ticker__notify_backfilling_finish", nargsf, kwnames);
    Ticker &t = state(self);
    // The flag goes up before the notice is posted: a replay woken by the notice must
    // find it raised.
    set_field(self, TOVIK_KEY("backfilling_finish_flag"), Py_True);
    ref q = get_attr(self, TOVIK_KEY("backfilling_notify_finish_queue"));
    queue_put(q, control_record("finish_backfilling"));
    wake_parked(t);
    Py_RETURN_NONE;
}

PyObject *pop_tick(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("pop_tick", nargsf, kwnames);
    ref q = get_attr(self, TOVIK_KEY("tick_queue"));
    return call_method(q, TOVIK_KEY("get")).release().ptr();
}

PyObject *allow_next_tick(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("allow_next_tick", nargsf, kwnames);
    Ticker &t = state(self);
    ref q = get_attr(self, TOVIK_KEY("allow_next_tick_flag_queue"));
    if (!grant_directly(self, q)) {
        queue_put(q, Py_True);
        wake_parked(t);
    }
    Py_RETURN_NONE;
}

PyObject *stop_send_ticks(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("stop_send_ticks", nargsf, kwnames);
    set_field(self, TOVIK_KEY("exit_send_thread_flag"), Py_True);
    ref q = get_attr(self, TOVIK_KEY("tick_queue"));
    queue_put(q, control_record("exit_send_tick"));
    Py_RETURN_NONE;
}

} // namespace

void add_replay_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("_Ticker__notify_backfilling_finish", notify_backfilling_finish,
                                   "_Ticker__notify_backfilling_finish($self)\n--\n\n"
                                   "通知回補資料已經完成\n"));
    methods.push_back(TOVIK_METHOD(
        "send_ticks", send_ticks,
        "send_ticks($self, codes, start_from, end_to, backfilling_start_from=None, backfilling_end_to=None)\n--\n\n"
        "逐筆傳送 Tick 資料\n\n"
        "        Args:\n"
        "            codes (list): 商品清單, 每項為含 code 與 market 的字典\n"
        "            start_from (str): 開始時間\n"
        "            end_to (str): 結束時間\n"
        "            backfilling_start_from (str): 回補資料的開始時間, 可為 None\n"
        "            backfilling_end_to (str): 回補資料的結束時間, 可為 None\n"));
    methods.push_back(TOVIK_METHOD("backfilling", backfilling,
                                   "backfilling($self, codes, start_from=None, end_to=None)\n--\n\n"
                                   "回補 Tick 資料\n\n"
                                   "        Args:\n"
                                   "            codes (list): 商品清單, 每項為含 code 與 market 的字典\n"
                                   "            start_from (str): 回補資料的開始時間, 可為 None\n"
                                   "            end_to (str): 回補資料的結束時間, 可為 None\n"));
    methods.push_back(TOVIK_METHOD("_Ticker__push_tick_to_queue", push_tick_to_queue,
                                   "_Ticker__push_tick_to_queue($self, df)\n--\n\n"
                                   "將 Tick 資料逐筆寫入 Queue\n\n"
                                   "        Args:\n"
                                   "            df (pl.DataFrame): 合併後的 Tick 資料表\n"));
    methods.push_back(TOVIK_METHOD("pop_tick", pop_tick,
                                   "pop_tick($self)\n--\n\n"
                                   "從 Queue 中取出 Tick 資料\n\n"
                                   "        Returns:\n"
                                   "            dict: 下一筆 Tick 資料或控制訊息\n"));
    methods.push_back(TOVIK_METHOD("allow_next_tick", allow_next_tick,
                                   "allow_next_tick($self)\n--\n\n"
                                   "允許傳送下一筆 Tick 資料\n"));
    methods.push_back(TOVIK_METHOD("stop_send_ticks", stop_send_ticks,
                                   "stop_send_ticks($self)\n--\n\n"
                                   "停止傳送 Tick 資料\n"));
}

} // namespace tovik::ticker
