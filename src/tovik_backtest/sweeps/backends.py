"""One run of a sweep as a worker carries it out, and the back-ends that spread the runs
over workers: a Ray cluster (or local instance) or a local process pool."""

from __future__ import annotations

import logging
import re
import traceback
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tovik_backtest.errors import RayUnavailable
from tovik_backtest.runner import Backtest
from tovik_backtest.sweeps.refs import StrategyRef
from tovik_backtest.sweeps.table import FIGURES, empty_row

__all__ = [
    "INSTALL_HINT",
    "RUNS_PER_WORKER",
    "RunSpec",
    "import_ray",
    "run_folder",
    "run_on_pool",
    "run_on_ray",
    "run_one",
]

INSTALL_HINT = (
    "Ray is not installed: install it with pip install 'tovik_backtest[cluster]' "
    "(or pip install 'ray>=2.30'), or run the sweep on a local process pool with "
    "--local-processes N"
)

# A worker process is replaced after this many runs: every run leaves the matcher's
# daemon thread (and what it holds) behind in the process, so long-lived workers grow.
RUNS_PER_WORKER = 32

Progress = Callable[[int, int], None] | None


@dataclass(frozen=True)
class RunSpec:
    """Everything a worker needs for one run; plain values only."""

    index: int
    params: dict[str, Any]
    strategy: StrategyRef
    instruments: tuple[tuple[str, str], ...]
    start: str
    end: str
    backfill_start: str | None
    backfill_end: str | None
    data_dir: str
    out: str | None = None
    contract_sizes: tuple[tuple[str, int], ...] = ()
    capital: float = 1_000_000.0


def run_one(run_spec: RunSpec) -> dict[str, Any]:
    """Run one back-test and return its row; a failure is reported in the row, not raised."""
    row = empty_row(run_spec.index, run_spec.params)
    try:
        strategy_cls = run_spec.strategy.load()
        strategy = strategy_cls(**run_spec.params)
        backtest = Backtest(
            strategy,
            list(run_spec.instruments),
            run_spec.start,
            run_spec.end,
            run_spec.backfill_start,
            run_spec.backfill_end,
            data_dir=run_spec.data_dir,
            contract_sizes=dict(run_spec.contract_sizes) or None,
            capital=run_spec.capital,
        )
        result = backtest.run()
        overall = result.summary()["overall"]
        for name in FIGURES:
            row[name] = overall[name]
        if run_spec.out is not None:
            row["result"] = str(result.save(run_spec.out))
    except Exception as exc:  # noqa: BLE001 - any failure of a run belongs in its row
        row["error"] = _error_text(exc)
        if run_spec.out is not None:
            row["result"] = _save_error(run_spec.out, run_spec.params, exc)
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


def run_on_ray(ray: Any, specs: list[RunSpec], address: str | None, progress: Progress
                ) -> list[dict[str, Any]]:
    started_here = False
    if not ray.is_initialized():
        # address None: RAY_ADDRESS, else a running local cluster, else a new local instance.
        ray.init(address=address, include_dashboard=False, logging_level=logging.WARNING,
                 log_to_driver=False)
        started_here = True
    try:
        # One retry covers a lost node; a run that kills its worker every time fails soon.
        task = ray.remote(num_cpus=1, max_calls=RUNS_PER_WORKER, max_retries=1)(run_one)
        pending = {task.remote(run_spec): run_spec for run_spec in specs}
        rows: list[dict[str, Any]] = []
        try:
            while pending:
                ready, _ = ray.wait(list(pending), num_returns=1)
                for ref in ready:
                    run_spec = pending.pop(ref)
                    try:
                        rows.append(ray.get(ref))
                    except Exception as exc:  # noqa: BLE001 - the worker died or could not start
                        rows.append(empty_row(run_spec.index, run_spec.params,
                                              _ray_error_text(exc)))
                    if progress is not None:
                        progress(len(rows), len(specs))
        except BaseException:
            for ref in pending:
                ray.cancel(ref, force=True)
            raise
        return rows
    finally:
        if started_here:
            ray.shutdown()


def _ray_error_text(exc: BaseException) -> str:
    first = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {first[0] if first else ''}".strip()


_DIED = "the worker process running this run died (exit or crash in native code)"


def run_on_pool(processes: int, specs: list[RunSpec], progress: Progress) -> list[dict[str, Any]]:
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    # Fresh interpreters: forking a process that runs threads (the matcher's, a progress
    # display's) can deadlock the child.
    context = multiprocessing.get_context("spawn")
    rows: list[dict[str, Any]] = []
    broken: list[RunSpec] = []

    def done(row: dict[str, Any]) -> None:
        rows.append(row)
        if progress is not None:
            progress(len(rows), len(specs))

    pool = ProcessPoolExecutor(max_workers=processes, mp_context=context,
                               max_tasks_per_child=RUNS_PER_WORKER)
    try:
        futures = {pool.submit(run_one, run_spec): run_spec for run_spec in specs}
        for future in as_completed(futures):
            run_spec = futures[future]
            try:
                done(future.result())
            except BrokenProcessPool:
                broken.append(run_spec)
            except Exception as exc:  # noqa: BLE001 - the run could not be sent
                done(empty_row(run_spec.index, run_spec.params, f"{type(exc).__name__}: {exc}"))
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    # A process that dies (a crash in native code, an exit) takes the whole pool down
    # with it, and every unfinished run with it. Those runs are run again one by one,
    # each in a process of its own, so only the run that crashes is lost.
    for run_spec in sorted(broken, key=lambda s: s.index):
        with ProcessPoolExecutor(max_workers=1, mp_context=context) as alone:
            try:
                done(alone.submit(run_one, run_spec).result())
            except BrokenProcessPool:
                done(empty_row(run_spec.index, run_spec.params, _DIED))
    return rows
