"""Ctrl-C and SIGTERM as the package handles them: turned into an exception in the main
thread, held back across a block that must not be cut, or not heeded at all."""

import os
import signal

import pytest

from tovik_backtest.stops import (
    Terminated,
    deferred_interrupts,
    exit_status,
    ignored_interrupts,
    stop_text,
    terminate_as_interrupt,
)

needs_default_sigterm = pytest.mark.skipif(
    signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL, reason="SIGTERM already has a handler here"
)

SIGNALS = [
    pytest.param(signal.SIGINT, KeyboardInterrupt, id="Ctrl-C"),
    pytest.param(signal.SIGTERM, Terminated, id="SIGTERM", marks=needs_default_sigterm),
]


@pytest.mark.parametrize("signum, raised", SIGNALS)
def test_a_signal_during_a_held_block_comes_after_it_whole(signum, raised):
    done = []
    with pytest.raises(raised), terminate_as_interrupt():
        with deferred_interrupts():
            os.kill(os.getpid(), signum)
            done.append("the rest of the block")
        done.append("after the block")
    assert done == ["the rest of the block"]


@pytest.mark.parametrize("signum, raised", SIGNALS)
def test_a_signal_in_an_ignoring_block_is_dropped_and_handlers_come_back(signum, raised):
    with terminate_as_interrupt():
        before = signal.getsignal(signum)
        with ignored_interrupts():
            os.kill(os.getpid(), signum)
        assert signal.getsignal(signum) is before
        with pytest.raises(raised):
            os.kill(os.getpid(), signum)


@needs_default_sigterm
def test_sigterm_gets_its_default_back_and_a_host_handler_is_kept():
    with terminate_as_interrupt():
        assert signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL

    def host(signum, frame):
        pass

    signal.signal(signal.SIGTERM, host)
    try:
        with terminate_as_interrupt():
            assert signal.getsignal(signal.SIGTERM) is host
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


@pytest.mark.parametrize(
    "stop, text",
    [
        (KeyboardInterrupt(), "KeyboardInterrupt: the run was interrupted (Ctrl-C)"),
        (Terminated(), "Terminated: the run was sent SIGTERM"),
        (ZeroDivisionError("division by zero"), "ZeroDivisionError: division by zero"),
    ],
)
def test_what_a_stopped_run_says_of_its_stop(stop, text):
    assert stop_text(stop) == text


@pytest.mark.parametrize("stop, status", [(KeyboardInterrupt(), 130), (Terminated(), 143)])
def test_a_stopped_command_exits_with_128_and_the_signal(stop, status):
    assert exit_status(stop) == status
