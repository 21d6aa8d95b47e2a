"""Concurrency soak of the simulated exchange: 8 threads submit adds, cuts, re-prices
and cancellations for 50 instruments through the pending-order queue while one thread
feeds 100,000 ticks and another drains the reports. Afterwards every report was
received exactly once, and for every order the submitted quantity equals what was
filled, cut, cancelled and is still resting. The soak runs in its own interpreter,
which must end cleanly."""

from __future__ import annotations

import json
import textwrap

import pytest

import testkit

# three soaks of 100,000 ticks, each in its own interpreter
pytestmark = pytest.mark.slow

SOAK = textwrap.dedent(
    r'''
    import json
    import queue
    import random
    import sys
    import threading
    import time

    from tovik_backtest import utils
    from tovik_backtest.constant import OperationType
    from tovik_backtest.modules.matcher.matcher import Matcher
    from tovik_backtest.modules.positions.positions import Positions

    SUBMITTERS, ORDERS_EACH, INSTRUMENTS, TICKS, SEED = (int(a) for a in sys.argv[1:6])
    WAIT = 120.0
    CODES = [f"S{i:03d}" for i in range(INSTRUMENTS)]

    lines = []
    utils.console.print = lambda text, *a, **k: lines.append(text)
    errors = []
    utils.logger.error = lambda text, *a, **k: errors.append(text)
    thread_errors = []
    threading.excepthook = lambda args: thread_errors.append(repr(args.exc_value))


    class Book(Positions):
        """The package's position book, counting what it is told of."""

        def __init__(self):
            super().__init__()
            self.deals = self.cancels = self.deal_qty = 0

        def add_trade_record(self, **kw):
            if kw["trade_status"] == "Deal":
                self.deals += 1
                self.deal_qty += kw["quantity"]
            else:
                self.cancels += 1
            super().add_trade_record(**kw)


    book = Book()
    m = Matcher(book)
    known_ids = []  # filled by the drainer from NEW reports
    submitted = {"add": 0, "modify": 0, "cancel": 0}
    submitted_lock = threading.Lock()


    def submitter(seed):
        rng = random.Random(seed)
        counts = {"add": 0, "modify": 0, "cancel": 0}
        for _ in range(ORDERS_EACH):
            roll = rng.random()
            if roll < 0.6 or not known_ids:
                action = rng.choice(["Buy", "Sell"])
                # One order in five is priced away from where the ticks trade, so it
                # rests and later cuts and cancellations find it.
                far = rng.random() < 0.2
                price = (90.0 if action == "Buy" else 110.0) if far else round(100 + rng.uniform(-2, 2), 1)
                m.add_pending_order_queue(
                    "add",
                    {
                        "code": rng.choice(CODES),
                        "product_type": rng.choice(["Stock", "Future"]),
                        "action": action,
                        "price": price,
                        "qty": rng.randint(1, 10),
                        "price_type": rng.choice(["LMT", "LMT", "LMT", "MKT"]),
                        "order_type": rng.choice(["ROD", "ROD", "IOC", "FOK"]),
                    },
                )
                counts["add"] += 1
            elif roll < 0.85:
                payload = {"trade_id": rng.choice(known_ids[-300:])}
                if rng.random() < 0.6:
                    payload["qty"] = rng.randint(1, 4)
                if rng.random() < 0.5 or "qty" not in payload:
                    payload["price"] = round(100 + rng.uniform(-2, 2), 1) if rng.random() < 0.7 else 90.0
                m.add_pending_order_queue("modify", payload)
                counts["modify"] += 1
            else:
                m.add_pending_order_queue("cancel", {"trade_id": rng.choice(known_ids[-300:])})
                counts["cancel"] += 1
            if rng.random() < 0.01:
                time.sleep(0.001)
        with submitted_lock:
            for key, n in counts.items():
                submitted[key] += n


    def feeder():
        rng = random.Random(SEED)
        price = {code: 100.0 for code in CODES}
        ts = 1_704_186_000.0
        for i in range(TICKS):
            code = CODES[rng.randrange(INSTRUMENTS)]
            price[code] = min(103.0, max(97.0, round(price[code] + rng.choice([-0.5, 0.0, 0.5]), 1)))
            ts += 0.001
            m.set_current_tick({"code": code, "timestamp": ts, "close": price[code]})
            m.match_deal(code, price[code], rng.choice([0, 1, 2, 3, 5, 8]), ts)


    received = []
    SENTINEL = {"soak": "end"}


    def drainer():
        while True:
            report = m.pop_response()
            if report is SENTINEL:
                return
            received.append(report)
            if report.get("operation_type") == OperationType.NEW:
                known_ids.append(report["order"]["id"])


    started = time.perf_counter()
    threads = [threading.Thread(target=submitter, args=(SEED * 100 + i,), daemon=True) for i in range(SUBMITTERS)]
    feed = threading.Thread(target=feeder, daemon=True)
    drain = threading.Thread(target=drainer, daemon=True)
    drain.start()
    feed.start()
    for t in threads:
        t.start()
    for t in [*threads, feed]:
        t.join(WAIT)
        assert not t.is_alive(), "a submitting or feeding thread did not finish in time"
    served = threading.Event()
    threading.Thread(target=lambda: (m.pending_order_queue.join(), served.set()), daemon=True).start()
    assert served.wait(WAIT), "the intake worker did not serve every message in time"
    m.add_response_to_queue(SENTINEL)
    drain.join(WAIT)
    assert not drain.is_alive(), "the drainer did not reach the end of the reports"
    elapsed = time.perf_counter() - started

    # Every report put was received, each exactly once. What was put is known from
    # elsewhere: one green line per acknowledged add, modification and cancellation,
    # and one position record per fill and per cancellation by the exchange.
    acknowledged = sum(
        1 for line in lines
        if line.startswith(("[green]新增委託單 ", "[green]修改委託單 ", "[green]取消委託單 "))
    )
    put = acknowledged + book.deals + book.cancels
    assert len(received) == put, (len(received), acknowledged, book.deals, book.cancels)
    assert len({id(r) for r in received}) == len(received)
    assert m.response_queue.qsize() == 0

    # Replay each order's reports in queue order (they are put under the order-book
    # lock, so this is the order in which the changes happened).
    orders = {}
    deal_total = cancel_total = cut_total = 0
    for report in received:
        if "operation_type" not in report:  # a deal report
            o = orders[report["id"]]
            assert report["quantity"] > 0 or o["open"] == 0
            o["filled"] += report["quantity"]
            o["open"] -= report["quantity"]
            deal_total += report["quantity"]
            continue
        order = report["order"]
        op = report["operation_type"]
        if op == OperationType.NEW:
            assert order["id"] not in orders, "an order was acknowledged twice"
            orders[order["id"]] = {"submitted": order["quantity"], "open": order["quantity"],
                                   "filled": 0, "cut": 0, "cancelled": 0, "gone": False}
            continue
        o = orders[order["id"]]
        assert not o["gone"], "a report came for an order that had ended"
        if op == OperationType.UPDATE_QTY:
            cut = o["open"] - order["quantity"]
            assert cut > 0
            o["cut"] += cut
            cut_total += cut
            o["open"] = order["quantity"]
        elif op == OperationType.UPDATE_PRICE:
            assert order["quantity"] == o["open"]
        elif op == OperationType.CANCEL:
            o["cancelled"] += order["quantity"]
            cancel_total += order["quantity"]
            o["open"] -= order["quantity"]
            assert o["open"] == 0
            o["gone"] = True
        else:
            raise AssertionError(f"unexpected operation {op!r}")

    resting = {r["trade_id"]: r["quantity"] for r in m.pending_orders}
    for trade_id, o in orders.items():
        left = resting.get(trade_id, 0)
        assert o["open"] == left, (trade_id, o, left)
        assert o["submitted"] == o["filled"] + o["cut"] + o["cancelled"] + left, (trade_id, o, left)
    assert set(resting) <= set(orders)
    assert sum(1 for r in received if r.get("operation_type") == OperationType.NEW) == submitted["add"]
    assert book.deal_qty == deal_total
    assert not thread_errors, thread_errors
    # Refused cuts (larger than what was left) are the only failures the loop reports.
    for text in errors:
        assert "大於原本的數量" in json.loads(text)["error"], text

    print(json.dumps({
        "seconds": round(elapsed, 2),
        "ticks": TICKS,
        "messages": sum(submitted.values()),
        "adds": submitted["add"],
        "modifies": submitted["modify"],
        "cancels": submitted["cancel"],
        "reports": len(received),
        "deals": sum(1 for r in received if "operation_type" not in r),
        "filled": deal_total,
        "cut": cut_total,
        "cancelled": cancel_total,
        "resting_orders": len(resting),
        "resting_qty": sum(resting.values()),
        "refused_cuts": len(errors),
    }))
    '''
)


def run_soak(tmp_path, *, submitters, orders_each, instruments, ticks, seed, timeout):
    script = tmp_path / "soak.py"
    script.write_text(SOAK)
    proc = testkit.run_python(
        [str(script), str(submitters), str(orders_each), str(instruments), str(ticks), str(seed)],
        timeout=timeout,
    )
    assert proc.returncode == 0, (proc.stdout[-3000:] + proc.stderr[-5000:]).strip()
    figures = json.loads(proc.stdout.strip().splitlines()[-1])
    return figures, proc.stderr


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_soak_eight_submitters_fifty_instruments_100k_ticks(tmp_path, capsys, seed):
    figures, stderr = run_soak(
        tmp_path,
        submitters=8,
        orders_each=2_500,
        instruments=50,
        ticks=100_000,
        seed=seed,
        timeout=300,
    )
    assert figures["messages"] == 8 * 2_500
    # The run exercised every path: fills, cuts, cancellations, and orders left resting.
    assert figures["filled"] > 0 and figures["cut"] > 0 and figures["cancelled"] > 0
    assert figures["resting_orders"] > 0
    # A clean end: nothing written to stderr (no thread died, no unraisable error).
    assert stderr.strip() == "", stderr[-3000:]
    with capsys.disabled():
        print(f"\nsoak figures: {json.dumps(figures)}")
