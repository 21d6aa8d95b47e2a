// The simulated exchange's C++ side. Host-visible state (the queues, the resting-order
// list, the tick table, the position book, account and exchange info) lives in the
// instance's __dict__ as plain Python objects; this struct only holds what Python
// must not see: the order-book lock and the scan's side arrays.
#pragma once

#include "pyhost.hpp"

#include <mutex>
#include <vector>

namespace tovik::matcher {

struct Matcher {
    // Order-book lock: held for each add_order, modify_order, cancel_order and each
    // whole match_deal scan. Re-entrant, so a position book or a format method that
    // calls back into the same matcher on the same thread does not deadlock.
    std::recursive_mutex book_mutex;

    // ---- order book: side array kept beside pending_orders for a fast scan ----
    // One entry per resting record, in list order: the record and its instrument code,
    // interned so that the code test is a pointer compare (nullptr: the code is not
    // plain text and is tested in full). Entries own references, so an address can't
    // be reused by another record while its entry exists; every scan re-validates
    // them against the list by record identity. Guarded by book_mutex.
    struct ScanEntry {
        PyObject *record;
        PyObject *code;
    };
    struct OrderBook {
        std::vector<ScanEntry> entries;
        std::vector<ScanEntry> scratch; // rebuild space, kept to avoid reallocating
        // Constants-module members and types used by matching, loaded on first use.
        bool vocabulary_loaded = false;
        PyObject *price_type_lmt = nullptr;
        PyObject *action_buy = nullptr;       // the member
        PyObject *action_buy_value = nullptr; // its text value
        PyObject *order_type_rod = nullptr;
        PyObject *order_type_ioc = nullptr;
        PyObject *order_type_fok = nullptr;
        PyObject *operation_cancel = nullptr;
        PyObject *operation_update_qty = nullptr;
        PyObject *operation_update_price = nullptr;
        PyObject *code_be_cancel = nullptr;
        PyObject *code_modify = nullptr;
        std::vector<PyObject *> enum_types; // values of these types need no deep copy
        PyObject *trade_record_kwnames = nullptr;

        OrderBook() = default;
        OrderBook(const OrderBook &) = delete;
        OrderBook &operator=(const OrderBook &) = delete;
        ~OrderBook(); // runs in the instance's dealloc, with the GIL held
    } book;
};

inline Matcher &native(PyObject *self) { return *nb::inst_ptr<Matcher>(self); }

// Holds the order-book lock for a scope. The lock is waited for with the GIL
// released, so the holder (which may need the GIL) can always finish.
class BookLock {
  public:
    explicit BookLock(PyObject *self) : mutex_(native(self).book_mutex) {
        if (!mutex_.try_lock())
            without_gil([this] { mutex_.lock(); });
    }
    ~BookLock() { mutex_.unlock(); }
    BookLock(const BookLock &) = delete;
    BookLock &operator=(const BookLock &) = delete;

  private:
    std::recursive_mutex &mutex_;
};

// Each source file contributes its methods to the class's method table.
void add_intake_methods(std::vector<PyMethodDef> &methods);     // intake.cpp
void add_report_methods(std::vector<PyMethodDef> &methods);     // reports.cpp
void add_order_book_methods(std::vector<PyMethodDef> &methods); // order_book.cpp

// Imports what the module needs when it is loaded (a failing import fails the load),
// in intake.cpp.
void load_dependencies(nb::module_ &m);

// Constructor (tp_init slot), in intake.cpp.
int matcher_init(PyObject *self, PyObject *args, PyObject *kwargs);

} // namespace tovik::matcher
