"""The run's record belongs to the run: whatever a strategy does to the reports it is
handed, the figures, the saved reports and the later reports stay what the exchange said."""

import pytest

from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]


def _set_price(report):
    report["price"] = 1e9


def _set_quantity(report):
    report["quantity"] = 10**6


def _flip_action(report):
    report["action"] = "Sell" if report.get("action") == "Buy" else "Buy"


def _clear(report):
    report.clear()


def _order_price(report):
    report["order"]["price"] = 1e9


def _order_quantity_and_code(report):
    report["order"]["quantity"] = 10**6
    report["order"]["code"] = "9999"


def _status(report):
    report["trade_status"]["id"] = "forged"
    report["trade_status"].clear()


def _operation(report):
    report["operation_type"] = "Cancel"
    report["order"].clear()


# (what the strategy does to each deal report, to each order report)
TAMPERING = {
    "deal price": (_set_price, None),
    "deal quantity": (_set_quantity, None),
    "deal action": (_flip_action, None),
    "deal emptied": (_clear, None),
    "order's price": (None, _order_price),
    "order's quantity and code": (None, _order_quantity_and_code),
    "trade status": (None, _status),
    "operation and order emptied": (None, _operation),
    "both at once": (_set_price, _order_price),
}


class Tampering(MovingAverageCross):
    """The sample strategy, which then rewrites every report it was handed."""

    def __init__(self, on_deal=None, on_order=None, **params):
        super().__init__(fast=3, slow=8, **params)
        self._deal, self._order = on_deal, on_order
        self.handed = []

    def on_order(self, report):
        super().on_order(report)
        self.handed.append(report)
        if self._order is not None:
            self._order(report)

    def on_deal(self, report):
        super().on_deal(report)
        self.handed.append(report)
        if self._deal is not None:
            self._deal(report)


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("record")
    write_sample_data(folder, days=2, seed=3)
    return folder, *sample_period(2)


def _run(strategy, sample, reference):
    folder, start, end = sample
    bt = Backtest(strategy, INSTRUMENTS, start, end, data_dir=folder, seed=4, contract_sizes={"TXF": 200})
    return bt.run_reference() if reference else bt.run()


def _figures(result):
    summary = result.summary()
    for key in ("wall_seconds", "ticks_per_second"):
        summary["overall"].pop(key)
    return summary


@pytest.fixture(scope="module")
def untouched(sample):
    return {reference: _run(Tampering(), sample, reference) for reference in (False, True)}


@pytest.mark.parametrize("reference", [False, True], ids=["engine", "reference loop"])
@pytest.mark.parametrize("on_deal, on_order", list(TAMPERING.values()), ids=list(TAMPERING))
def test_rewriting_a_handed_report_changes_nothing_of_the_run(sample, untouched, reference, on_deal, on_order):
    clean = untouched[reference]
    assert clean.book.fills and clean.summary()["overall"]["orders"] > 2  # something to tamper with
    tampered = _run(Tampering(on_deal, on_order), sample, reference)
    assert tampered.reports_jsonl() == clean.reports_jsonl()
    assert _figures(tampered) == _figures(clean)
    assert tampered.trades().equals(clean.trades())
    assert tampered.round_trips().equals(clean.round_trips())
    assert tampered.equity().equals(clean.equity())


@pytest.mark.parametrize("reference", [False, True], ids=["engine", "reference loop"])
def test_handed_reports_equal_the_record_and_share_no_dict(sample, reference):
    strategy = Tampering()
    result = _run(strategy, sample, reference)
    assert strategy.handed == result.reports
    record = {id(c) for r in result.reports for c in _containers(r)}
    assert not any(id(c) in record for r in strategy.handed for c in _containers(r))


def _containers(value):
    if isinstance(value, (dict, list)):
        yield value
        for item in value.values() if isinstance(value, dict) else value:
            yield from _containers(item)


@pytest.mark.parametrize(
    "report",
    [
        {},
        {"code": "2330", "price": 587.0, "quantity": 1},
        {"order": {"price": 1.0, "contract": {"code": "2330", "limits": [1, 2]}}, "status": {"deals": []}},
        {"deals": [{"price": 1.0}, [{"qty": 2}], 3], "trade_status": {"id": "x"}},
    ],
    ids=["empty", "flat", "nested dicts", "lists of dicts"],
)
def test_a_handed_copy_is_equal_and_shares_no_container(report):
    from tovik_backtest.engine import handed

    copy = handed(report)
    assert copy == report
    originals = {id(c) for c in _containers(report)}
    assert not any(id(c) in originals for c in _containers(copy))
