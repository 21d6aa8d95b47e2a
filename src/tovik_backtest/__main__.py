"""``python -m tovik_backtest``: the same as the ``tovik-backtest`` command."""

from tovik_backtest.cli import main

raise SystemExit(main())
