// Merging a day's cache files: the rows of several files of tick records (one file per
// instrument, each in time order as the cache writes it) into one table of columns in
// (time stamp, code rank) order, without a Python call per row.
#include "records.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace tovik::records {
namespace {

// merge_records(parts, codes, ranks, width, columns): the day's files merged into one
// table of columns, the order numpy's stable lexsort on (ts, code rank) gives to the
// files' rows concatenated in the order of `parts`.
PyObject *merge_records(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<5> params{"merge_records", {"parts", "codes", "ranks", "width", "columns"}, 5};
    PyObject *a[5];
    parse_args(params, args, nargsf, kwnames, a);
    const char *f = params.func;
    for (int k : {0, 1, 2, 4})
        require_list(a[k], f, params.names[k]);
    require_int(a[3], f, "width");
    const Py_ssize_t width = PyLong_AsSsize_t(a[3]);
    if (width == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (width < 1)
        raise_value_error("merge_records(): width must be at least 1, not " + std::to_string(width));
    const Py_ssize_t n_parts = PyList_GET_SIZE(a[0]);
    if (PyList_GET_SIZE(a[1]) != n_parts || PyList_GET_SIZE(a[2]) != n_parts)
        raise_value_error("merge_records(): parts, codes and ranks must be of one length");
    if (PyList_GET_SIZE(a[4]) != width + 1)
        raise_value_error("merge_records(): columns must hold width + 1 arrays (the fields, then the code)");

    // The lists' items, held: taking a buffer may run Python code (__buffer__), which
    // could change the lists.
    std::vector<safe_ref> items[5];
    for (int k : {0, 1, 2, 4})
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a[k]); ++i)
            items[k].push_back(safe_ref::borrow(PyList_GET_ITEM(a[k], i)));

    // A part is one file's records, `width` 8-byte words each, the time stamp first.
    struct Part {
        std::unique_ptr<Column<long long>> words;
        long long code, rank;
        Py_ssize_t rows;
    };
    std::vector<Part> parts;
    parts.reserve((size_t) n_parts);
    Py_ssize_t total = 0;
    for (Py_ssize_t p = 0; p < n_parts; ++p) {
        PyObject *code = items[1][(size_t) p].ptr(), *rank = items[2][(size_t) p].ptr();
        require_int(code, f, "codes");
        require_int(rank, f, "ranks");
        auto words = std::make_unique<Column<long long>>(items[0][(size_t) p].ptr(), f, "parts");
        if (words->size() % width != 0)
            raise_value_error("merge_records(): part " + std::to_string(p) + " holds " + std::to_string(words->size()) +
                              " words, not whole records of " + std::to_string(width));
        const Py_ssize_t rows = words->size() / width;
        parts.push_back(Part{std::move(words), PyLong_AsLongLong(code), PyLong_AsLongLong(rank), rows});
        if (PyErr_Occurred())
            throw nb::python_error();
        total += rows;
    }
    std::vector<std::unique_ptr<Column<long long>>> columns;
    for (Py_ssize_t c = 0; c <= width; ++c) {
        columns.push_back(std::make_unique<Column<long long>>(items[4][(size_t) c].ptr(), f, "columns", true));
        const Column<long long> &column = *columns.back();
        if (column.size() != total)
            raise_value_error("merge_records(): column " + std::to_string(c) + " holds " +
                              std::to_string(column.size()) + " items for " + std::to_string(total) + " rows");
        // a column written over a part (or another column) would corrupt what is read
        const auto overlaps = [&](const Column<long long> &other) {
            return column.data() < other.data() + other.size() && other.data() < column.data() + column.size();
        };
        for (const Part &part : parts)
            if (overlaps(*part.words))
                raise_value_error("merge_records(): column " + std::to_string(c) + " shares memory with a part");
        for (size_t other = 0; other + 1 < columns.size(); ++other)
            if (overlaps(*columns[other]))
                raise_value_error("merge_records(): column " + std::to_string(c) + " shares memory with column " +
                                  std::to_string(other));
    }

    std::vector<long long *> out;
    for (auto &column : columns)
        out.push_back(column->data());
    long long *const *const to = out.data();
    long long *const code_out = to[width];
    Py_ssize_t r = 0; // rows written
    const auto emit = [&](const long long *record, long long code) {
        for (Py_ssize_t c = 0; c < width; ++c)
            to[c][r] = record[c];
        code_out[r++] = code;
    };

    // Every file in time order (as the cache writes them): a k-way merge, each step
    // taking the smallest (ts, rank, part) of the parts' next records. Else a stable sort.
    std::vector<const long long *> at((size_t) n_parts), end((size_t) n_parts);
    std::vector<long long> codes((size_t) n_parts), ranks((size_t) n_parts);
    bool in_order = true;
    for (size_t p = 0; p < (size_t) n_parts; ++p) {
        at[p] = parts[p].words->data();
        end[p] = at[p] + parts[p].rows * width;
        codes[p] = parts[p].code;
        ranks[p] = parts[p].rank;
        for (const long long *record = at[p] + width; record < end[p] && in_order; record += width)
            in_order = record[-width] <= record[0];
    }
    // Over a few files a scan of their heads is quickest; over many, a heap of them.
    constexpr Py_ssize_t kScanned = 8;
    if (in_order && n_parts > kScanned) {
        struct Head {
            long long ts, rank;
            size_t part;
        };
        const auto later = [](const Head &x, const Head &y) {
            return x.ts != y.ts ? x.ts > y.ts : x.rank != y.rank ? x.rank > y.rank : x.part > y.part;
        };
        std::vector<Head> heads;
        for (size_t p = 0; p < (size_t) n_parts; ++p)
            if (at[p] < end[p])
                heads.push_back(Head{*at[p], ranks[p], p});
        std::make_heap(heads.begin(), heads.end(), later);
        while (!heads.empty()) {
            std::pop_heap(heads.begin(), heads.end(), later);
            const size_t p = heads.back().part;
            emit(at[p], codes[p]);
            at[p] += width;
            if (at[p] < end[p]) {
                heads.back().ts = *at[p];
                std::push_heap(heads.begin(), heads.end(), later);
            } else {
                heads.pop_back();
            }
        }
    } else if (in_order) {
        for (Py_ssize_t left = total; left > 0; --left) {
            size_t best = 0;
            bool found = false;
            for (size_t p = 0; p < (size_t) n_parts; ++p) {
                if (at[p] == end[p])
                    continue;
                if (!found || *at[p] < *at[best] || (*at[p] == *at[best] && ranks[p] < ranks[best])) {
                    best = p;
                    found = true;
                }
            }
            emit(at[best], codes[best]);
            at[best] += width;
        }
    } else {
        struct Key {
            long long ts, rank;
            const long long *record;
            long long code;
        };
        std::vector<Key> order;
        order.reserve((size_t) total);
        for (size_t p = 0; p < (size_t) n_parts; ++p)
            for (const long long *record = at[p]; record < end[p]; record += width)
                order.push_back(Key{record[0], ranks[p], record, codes[p]});
        std::stable_sort(order.begin(), order.end(),
                         [](const Key &x, const Key &y) { return x.ts != y.ts ? x.ts < y.ts : x.rank < y.rank; });
        for (const Key &key : order)
            emit(key.record, key.code);
    }
    Py_RETURN_NONE;
}

} // namespace

void add_merge_functions(std::vector<PyMethodDef> &functions) {
    functions.push_back(
        TOVIK_METHOD("merge_records", merge_records,
                     "merge_records(parts, codes, ranks, width, columns)\n--\n\n"
                     "Merge files of tick records into one table, in (time stamp, code rank) order.\n\n"
                     "parts are contiguous int64 arrays of whole records (width 8-byte words each, the\n"
                     "time stamp first), codes and ranks give each part's code index and that code's\n"
                     "place among the codes sorted as text. Rows of equal time stamp and rank keep the\n"
                     "order of the parts, then of the rows. columns are width + 1 writable int64 arrays\n"
                     "(views of float columns serve), one per field and then the code, each as long as\n"
                     "all parts together."));
}

} // namespace tovik::records
