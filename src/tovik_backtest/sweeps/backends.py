"""One run of a sweep as a worker carries it out, and the back-ends that spread the runs
over workers: a Ray cluster (or local instance) or a local process pool."""

from __future__ import annotations

import logging
import os
import re
import socket
import traceback
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tovik_backtest.config import RunConfig
from tovik_backtest.errors import RayUnavailable, SweepError
from tovik_backtest.ledger import to_twd
from tovik_backtest.runner import Backtest
from tovik_backtest.sweeps.refs import StrategyRef
from tovik_backtest.sweeps.table import FIGURES, empty_row

__all__ = [
    "INSTALL_HINT",
    "RunJob",
    "import_ray",
    "check_address",
    "run_folder",
    "RaySession",
    "run_on_ray",
    "run_one",
]

INSTALL_HINT = (
    "Ray is not installed: install it with pip install 'tovik_backtest[cluster]' "
    "(or pip install 'ray>=2.30'), or run the sweep on a local process pool with "
    "--local-processes N"
)


OnRow = Callable[[dict[str, Any]], None]
# How long the driver tries to reach a Ray cluster before it gives up.
CONNECT_TIMEOUT_S = 10.0


@dataclass(frozen=True)
class RunJob:
    """Everything a worker needs for one run: the strategy's parameters, where to find
    its class, the run's configuration and where to save its result."""

    index: int
    params: dict[str, Any]
    strategy: StrategyRef
    config: RunConfig
    out: str | None = None
    # also hand back the run's overall summary, equity curve and round trips' nets
    detail: bool = False


def run_one(job: RunJob) -> dict[str, Any]:
    """Run one back-test and return its row; a failure is reported in the row, not raised."""
    row = empty_row(job.index, job.params)
    try:
        strategy_cls = job.strategy.load()
        result = Backtest(strategy_cls(**job.params), config=job.config).run()
        overall = result.summary()["overall"]
        for name in FIGURES:
            row[name] = overall[name]
        if job.detail:
            row["overall"] = {k: v for k, v in overall.items() if k != "skipped_days"}
            book = result.book
            row["days"] = [(day.isoformat(), to_twd(value)) for day, value in book.days]
            row["equity"] = book.equity
            row["trips"] = [to_twd(trip.net_cents) for trip in book.round_trips]
        if job.out is not None:
            # no page per run: a sweep of hundreds of runs would hold hundreds of copies of
            # plotly and of the same prices; `tovik-backtest report` draws one when asked
            row["result"] = str(result.save(job.out, page=False))
    except Exception as exc:  # noqa: BLE001 - any failure of a run belongs in its row
        row["error"] = _error_text(exc)
        if job.out is not None:
            row["result"] = _save_error(job.out, job.params, exc)
    return row


def _error_text(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}".strip()
    frames = traceback.extract_tb(exc.__traceback__)
    if frames:
        last = frames[-1]
        text += f" (at {Path(last.filename).name}:{last.lineno} in {last.name})"
    return text


def _save_error(folder: str, params: dict[str, Any], exc: BaseException) -> str | None:
    try:
        out = Path(folder)
        out.mkdir(parents=True, exist_ok=True)
        text = "".join(traceback.format_exception(exc))
        (out / "error.txt").write_text(f"params: {params!r}\n\n{text}", encoding="utf-8")
        return str(out)
    except OSError:
        return None


def run_folder(out: Path, index: int, params: Mapping[str, Any]) -> Path:
    """The folder of run ``index``'s result under the sweep's ``out``."""
    slug = "-".join(f"{k}={v}" for k, v in params.items())
    slug = re.sub(r"[^A-Za-z0-9._=+-]", "_", slug)[:80]
    return out / "runs" / (f"{index:04d}-{slug}" if slug else f"{index:04d}")


def import_ray() -> Any:
    try:
        import ray
    except ImportError as exc:
        raise RayUnavailable(INSTALL_HINT) from exc
    return ray


def check_address(address: str | None, *, timeout: float = CONNECT_TIMEOUT_S) -> None:
    """Refuse a Ray address nothing answers on, rather than wait for it forever.

    ``address`` None stands for RAY_ADDRESS when that is set. Words Ray resolves itself
    ("auto", "local") and addresses without a port are left to Ray.
    """
    given = address if address is not None else os.environ.get("RAY_ADDRESS") or None
    if given is None:
        return
    named = given if address is not None else f"RAY_ADDRESS={given}"
    text = given.strip()
    text = text.split("://", 1)[1] if "://" in text else text
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit():
        return
    host = host.strip("[]") or "127.0.0.1"
    try:
        with socket.create_connection((host, int(port)), timeout=timeout):
            pass
    except OSError as exc:
        reason = type(exc).__name__ if isinstance(exc, TimeoutError) else (exc.strerror or str(exc))
        raise SweepError(
            f"cannot reach the Ray cluster at {named} ({reason}): start it there with "
            "'ray start --head', correct the address, or run on this machine with "
            "--local-processes N"
        ) from None


def run_on_ray(ray: Any, jobs: list[RunJob], address: str | None, on_row: OnRow) -> None:
    with RaySession(ray, address) as session:
        session.run(jobs, on_row)


class RaySession:
    """A connection to Ray kept between calls of ``run`` (a search hands it a batch at a
    time); a local instance started here is stopped when the ``with`` block is left."""

    def __init__(self, ray: Any, address: str | None) -> None:
        self.ray, self.address, self.started_here = ray, address, False

    def __enter__(self) -> RaySession:
        ray = self.ray
        if not ray.is_initialized():
            # address None: RAY_ADDRESS, else a running local cluster, else a new local instance.
            ray.init(address=self.address, include_dashboard=False, logging_level=logging.WARNING,
                     log_to_driver=False)
            self.started_here = True
        # One retry covers a lost node; a run that kills its worker every time fails soon.
        self.task = ray.remote(num_cpus=1, max_retries=1)(run_one)
        return self

    def __exit__(self, *_: Any) -> None:
        if self.started_here:
            self.ray.shutdown()

    def run(self, jobs: list[RunJob], on_row: OnRow) -> None:
        ray = self.ray
        pending = {self.task.remote(job): job for job in jobs}
        try:
            while pending:
                ready, _ = ray.wait(list(pending), num_returns=1)
                for ref in ready:
                    job = pending.pop(ref)
                    try:
                        row = ray.get(ref)
                    except Exception as exc:  # noqa: BLE001 - the worker died or could not start
                        row = empty_row(job.index, job.params, _ray_error_text(exc))
                    on_row(row)
        except BaseException:
            for ref in pending:
                ray.cancel(ref, force=True)
            raise


def _ray_error_text(exc: BaseException) -> str:
    first = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {first[0] if first else ''}".strip()
