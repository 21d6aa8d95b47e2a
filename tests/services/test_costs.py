import dataclasses
import datetime as dt
import math

import pytest

from tovik_backtest.costs import FUTURES_WITHOUT_COMMISSION_NOTE, CostBook, Costs, FillCost

DAY = dt.date(2024, 1, 2)
NEXT_DAY = dt.date(2024, 1, 3)


def stock(book, action, price, quantity, *, code="2330", per=1000, day=DAY):
    return book.charge(code, "Stock", action, price, quantity, shares_per_unit=per, trading_day=day)


class TestCostsValidation:
    @pytest.mark.parametrize("name", [f.name for f in dataclasses.fields(Costs)])
    @pytest.mark.parametrize("bad", [-0.01, math.nan, math.inf])
    def test_bad_number_names_the_field(self, name, bad):
        with pytest.raises(ValueError, match=name):
            Costs(**{name: bad})

    @pytest.mark.parametrize("bad", ["0.1", None, True, 1j])
    def test_wrong_type(self, bad):
        with pytest.raises(TypeError, match="stock_tax_rate"):
            Costs(stock_tax_rate=bad)

    def test_none_charges_nothing(self):
        book = CostBook(Costs.none())
        costs = [
            stock(book, "Buy", 580.0, 3),
            stock(book, "Sell", 590.0, 2),
            stock(book, "Sell", 12.3, 5, per=1),
            book.charge("TXFR1", "Future", "Buy", 17500.0, 2, point_value=200, trading_day=DAY),
        ]
        assert [(c.commission, c.tax) for c in costs] == [(0, 0)] * 4
        assert book.total == 0

    def test_book_rejects_non_costs(self):
        with pytest.raises(TypeError):
            CostBook({"stock_tax_rate": 0.003})


class TestStockCommission:
    @pytest.mark.parametrize(
        "price, quantity, per, costs, expected",
        [
            # 580 x 1000 x 0.001425 = 826.5: floored, and float noise must not make it 826.49
            (580.0, 1, 1000, Costs(), 826),
            (10.0, 1, 1000, Costs(), 20),  # 14.25 is below the 20 minimum
            (14.05, 1, 1000, Costs(), 20),  # 20.02 floors to 20
            (14.1, 1, 1000, Costs(), 20),  # 20.0925
            (15.0, 1, 1000, Costs(), 21),  # 21.375
            (580.0, 1, 1000, Costs(stock_commission_discount=0.6), 495),  # 495.9
            (100.0, 1, 1000, Costs(stock_commission_discount=0.28), 39),  # 39.9
            (50.0, 1, 1000, Costs(stock_commission_discount=0.28), 20),  # 19.95 -> minimum
            (12.3, 5, 1, Costs(), 1),  # odd lot: 0.087 -> odd-lot minimum
            (580.0, 100, 1, Costs(), 82),  # odd lot: 82.65
            (580.0, 1, 1000, Costs(stock_min_commission=1000), 1000),
            # 32.3 x 1000 x 0.01 is 322.99999999999994 in floats, 323 exactly
            (32.3, 1, 1000, Costs(stock_commission_rate=0.01, stock_min_commission=0), 323),
            (2.3, 100, 1, Costs(stock_commission_rate=0.3), 69),  # 68.99999999999999 in floats
        ],
    )
    def test_commission(self, price, quantity, per, costs, expected):
        for action in ("Buy", "Sell"):
            cost = CostBook(costs).charge(
                "2330", "Stock", action, price, quantity, shares_per_unit=per, trading_day=DAY
            )
            assert cost.commission == expected
        assert cost.value == pytest.approx(price * quantity * per)


class TestStockTax:
    @pytest.mark.parametrize(
        "code, price, quantity, per, expected",
        [
            ("2330", 580.0, 1, 1000, 1740),
            ("2330", 12.35, 1, 1000, 37),  # 37.05
            ("2330", 12.3, 7, 1, 0),  # 0.2583 floors to nothing
            ("0050", 150.35, 1, 1000, 150),  # ETF 0.1%: 150.35
            ("00878", 22.05, 3, 1000, 66),  # 66.15
        ],
    )
    def test_sell_tax(self, code, price, quantity, per, expected):
        book = CostBook()
        assert stock(book, "Buy", price, quantity, code=code, per=per, day=DAY).tax == 0
        # sold on a later day: no day trade
        cost = stock(book, "Sell", price, quantity, code=code, per=per, day=NEXT_DAY)
        assert (cost.tax, cost.day_trade_shares) == (expected, 0)

    @pytest.mark.parametrize(
        "buys, sells, expected",
        [
            # (lots bought same day) -> each sell: (day-trade shares, tax at 590)
            ([1], [1], [(1000, 885)]),
            ([1], [3], [(1000, 885 + 3540)]),  # 1 lot at 0.15% + 2 lots at 0.3%, floored once
            ([2, 1], [1, 1, 1, 1], [(1000, 885), (1000, 885), (1000, 885), (0, 1770)]),
            ([1, 1], [3], [(2000, 1770 + 1770)]),
            ([], [1], [(0, 1770)]),
        ],
    )
    def test_day_trade_fifo(self, buys, sells, expected):
        book = CostBook()
        for lots in buys:
            stock(book, "Buy", 580.0, lots)
        got = [(c.day_trade_shares, c.tax) for c in (stock(book, "Sell", 590.0, lots) for lots in sells)]
        assert got == expected

    def test_tax_float_noise(self):
        # 64.1 x 1000 x 0.01 is 640.9999999999999 in floats
        book = CostBook(Costs(stock_tax_rate=0.01))
        assert stock(book, "Sell", 64.1, 1).tax == 641

    @pytest.mark.parametrize("price, lots, tax", [
        (0.7 + 0.1, 50, 120),  # 0.7999999999999999 stands for the grid price 0.80
        (sum([0.1] * 100), 10, 300),  # 9.99999999999998 stands for 10.00
    ])
    def test_prices_built_by_adding_steps_are_charged_as_grid_prices(self, price, lots, tax):
        assert stock(CostBook(), "Sell", price, lots).tax == tax

    def test_mixed_sell_floors_once(self):
        # 10.05 x 500 x 0.0015 = 7.5375 and 10.05 x 500 x 0.003 = 15.075: 22.6125 -> 22,
        # where flooring each part would give 7 + 15
        book = CostBook()
        stock(book, "Buy", 10.0, 500, per=1)
        cost = stock(book, "Sell", 10.05, 1000, per=1)
        assert (cost.day_trade_shares, cost.tax) == (500, 22)

    def test_day_trade_memory_is_per_code_and_day(self):
        book = CostBook()
        stock(book, "Buy", 580.0, 1, code="2330")
        assert stock(book, "Sell", 100.0, 1, code="2317").day_trade_shares == 0
        stock(book, "Buy", 580.0, 1, code="2317", day=NEXT_DAY)
        # the 2330 buy was on the previous day
        assert stock(book, "Sell", 590.0, 1, code="2330", day=NEXT_DAY).day_trade_shares == 0
        assert stock(book, "Sell", 100.0, 1, code="2317", day=NEXT_DAY).day_trade_shares == 1000

    def test_etf_day_trade_keeps_the_lower_etf_rate(self):
        book = CostBook()
        stock(book, "Buy", 150.0, 1, code="0050")
        cost = stock(book, "Sell", 150.0, 1, code="0050")
        assert (cost.day_trade_shares, cost.tax) == (1000, 150)


class TestFutures:
    @pytest.mark.parametrize(
        "price, contracts, pv, expected_tax",
        [
            (17500.0, 1, 200, 70),
            (16125.0, 1, 200, 65),  # 64.5: halves go up (round() would give 64)
            (16500.0, 1, 50, 17),  # 16.5
            (16124.0, 1, 200, 64),  # 64.496
            (17500.0, 3, 10, 11),  # 10.5
            (17123.0, 2, 50, 34),  # 34.246
        ],
    )
    def test_tax_rounds_half_up(self, price, contracts, pv, expected_tax):
        cost = CostBook().charge("TXFR1", "Future", "Sell", price, contracts, point_value=pv, trading_day=DAY)
        assert cost == FillCost(price * pv * contracts, 0, expected_tax, 0)

    def test_commission_per_contract_and_note(self):
        book = CostBook(Costs(futures_commission_per_contract=12.5))
        cost = book.charge("MXFR1", "Future", "Buy", 17500.0, 4, point_value=50, trading_day=DAY)
        assert cost.commission == 50
        assert not book.futures_without_commission

        free = CostBook()
        stock(free, "Buy", 580.0, 1)
        assert not free.futures_without_commission  # no futures traded yet
        free.charge("TXFR1", "Future", "Buy", 17500.0, 1, point_value=200, trading_day=DAY)
        assert free.futures_without_commission and free.untaxed_futures_commission
        assert "futures_commission_per_contract" in FUTURES_WITHOUT_COMMISSION_NOTE


class TestBook:
    def test_totals(self):
        book = CostBook()
        parts = [
            stock(book, "Buy", 580.0, 1),
            stock(book, "Sell", 590.0, 1),
            book.charge("TXFR1", "Future", "Sell", 16125.0, 1, point_value=200, trading_day=DAY),
        ]
        assert book.commission == sum(p.commission for p in parts) == 826 + 840
        assert book.tax == sum(p.tax for p in parts) == 885 + 65
        assert book.total == sum(p.total for p in parts)
        assert book.fills == 3

    @pytest.mark.parametrize(
        "args, kwargs, error, words",
        [
            (("2330", "Stocks", "Buy", 580.0, 1), {"shares_per_unit": 1000}, ValueError, "market"),
            (("2330", "Stock", "Hold", 580.0, 1), {"shares_per_unit": 1000}, ValueError, "Hold"),
            (("2330", "Stock", "Buy", -1.0, 1), {"shares_per_unit": 1000}, ValueError, "price"),
            (("2330", "Stock", "Buy", math.nan, 1), {"shares_per_unit": 1000}, ValueError, "price"),
            (("2330", "Stock", "Buy", "580", 1), {"shares_per_unit": 1000}, TypeError, "price"),
            (("2330", "Stock", "Buy", 580.0, 0), {"shares_per_unit": 1000}, ValueError, "quantity"),
            (("2330", "Stock", "Buy", 580.0, 1.0), {"shares_per_unit": 1000}, TypeError, "quantity"),
            (("2330", "Stock", "Buy", 580.0, 1), {}, ValueError, "shares_per_unit"),
            (("2330", "Stock", "Buy", 580.0, 1), {"point_value": 200}, ValueError, "shares_per_unit"),
            (("TXFR1", "Future", "Buy", 17500.0, 1), {}, ValueError, "point_value"),
            (("TXFR1", "Future", "Buy", 17500.0, 1), {"shares_per_unit": 1000}, ValueError, "point_value"),
            (
                ("2330", "Stock", "Buy", 580.0, 1),
                {"shares_per_unit": 1000, "trading_day": "2024-01-02"},
                TypeError,
                "trading_day",
            ),
        ],
    )
    def test_bad_fill_changes_nothing(self, args, kwargs, error, words):
        book = CostBook()
        stock(book, "Buy", 580.0, 1)
        kwargs = {"trading_day": DAY, **kwargs}
        with pytest.raises(error, match=words):
            book.charge(*args, **kwargs)
        assert (book.fills, book.commission, book.tax) == (1, 826, 0)
        assert stock(book, "Sell", 590.0, 1).day_trade_shares == 1000
