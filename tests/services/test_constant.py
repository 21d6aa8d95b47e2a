import pytest

from tovik_backtest.constant import (
    BASIC_INFO,
    DATA_DIR_ENV,
    FLAG,
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
    SuccessCode,
)

ORDER_ENUMS = (Action, PriceType, OrderType, OrderCond, OrderLot, OCType, OperationType)


class TestTextEnumerations:
    def test_broker_vocabulary(self):
        assert [m.value for m in Action] == ["Buy", "Sell"]
        assert [m.value for m in PriceType] == ["LMT", "MKT", "MKP"]
        assert [m.value for m in OrderType] == ["ROD", "IOC", "FOK"]
        assert [m.value for m in OrderCond] == ["Cash", "MarginTrading", "ShortSelling"]
        assert [m.value for m in OrderLot] == ["Common", "BlockTrade", "Fixing", "Odd", "IntradayOdd"]
        assert [m.value for m in OCType] == ["Auto", "New", "Cover", "DayTrade"]
        assert [m.value for m in OperationType] == ["New", "UpdateQty", "UpdatePrice", "Cancel"]

    @pytest.mark.parametrize("enum", ORDER_ENUMS)
    def test_members_equal_their_text_and_round_trip(self, enum):
        for member in enum:
            assert member == member.value
            assert type(member.value) is str
            assert enum.from_value(member.value) is member
            assert enum.from_value(member) is member
        members = list(enum)
        assert all(a != b for i, a in enumerate(members) for b in members[i + 1:])

    @pytest.mark.parametrize("bad", ["buy", "", None, 1, "Buy "])
    def test_unknown_value_names_enumeration_and_value(self, bad):
        with pytest.raises(ValueError) as info:
            Action.from_value(bad)
        assert "Action" in str(info.value) and repr(bad) in str(info.value)

    def test_member_of_another_enumeration_is_refused(self):
        # OCType.NEW and OperationType.NEW share the text "New" but are different things.
        with pytest.raises(ValueError):
            OCType.from_value(OperationType.NEW)

    def test_str_subclass_is_refused(self):
        class Text(str):
            pass

        with pytest.raises(ValueError):
            Action.from_value(Text("Buy"))


class TestSuccessCodeAndFlags:
    def test_success_codes_carry_code_and_message(self):
        for member in (SuccessCode.CreateOrder, SuccessCode.ModifyOrder, SuccessCode.OrderBeCancel):
            assert member.code == "00"
            assert isinstance(member.message, str) and member.message
        assert len({m.message for m in SuccessCode}) == 3

    def test_flags_are_distinct(self):
        assert FLAG.exit_send_tick.value != FLAG.finish_backfilling.value


class TestDataDir:
    def test_precedence_host_then_environment_then_home(self, monkeypatch, tmp_path):
        saved = BASIC_INFO.assigned_data_dir
        try:
            BASIC_INFO.data_dir = None
            monkeypatch.delenv(DATA_DIR_ENV, raising=False)
            assert BASIC_INFO.data_dir.endswith("data") and ".tovik_backtest" in BASIC_INFO.data_dir
            monkeypatch.setenv(DATA_DIR_ENV, str(tmp_path / "env"))
            assert BASIC_INFO.data_dir == str(tmp_path / "env")  # read anew on every use
            assert BASIC_INFO.assigned_data_dir is None  # the environment's is not assigned
            BASIC_INFO.data_dir = tmp_path / "host"
            assert BASIC_INFO.data_dir == BASIC_INFO.assigned_data_dir == str(tmp_path / "host")
            with pytest.raises(TypeError):
                BASIC_INFO.data_dir = 3
            assert BASIC_INFO.data_dir == str(tmp_path / "host")
        finally:
            BASIC_INFO.data_dir = saved

    @pytest.mark.parametrize("host", [None, "/host/dir"])
    @pytest.mark.parametrize("inner", [None, "/inner", "pathlike"])
    def test_override_restores_what_was_there(self, monkeypatch, tmp_path, host, inner):
        monkeypatch.setenv(DATA_DIR_ENV, str(tmp_path / "env"))
        saved = BASIC_INFO.assigned_data_dir
        try:
            BASIC_INFO.data_dir = host
            before = BASIC_INFO.data_dir
            value = tmp_path / "p" if inner == "pathlike" else inner
            with BASIC_INFO.override(value):
                assert BASIC_INFO.data_dir == (before if value is None else str(value))
            assert BASIC_INFO.data_dir == before
            with pytest.raises(RuntimeError), BASIC_INFO.override(tmp_path / "boom"):
                raise RuntimeError
            assert BASIC_INFO.data_dir == before  # restored when the block raises too
            with pytest.raises(TypeError, match="path text"), BASIC_INFO.override(3):  # type: ignore[arg-type]
                pass
            assert BASIC_INFO.data_dir == before
        finally:
            BASIC_INFO.data_dir = saved
