"""Ctrl-C during long calls, and memory over many calls."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import nightdehaze as nd
from conftest import hazy_picture

# On one thread each call below takes well over ten seconds when left to run.
LONG_CALLS = {
    "enhance": lambda photo: nd.enhance(photo, non_local=True),
    "kernel": lambda photo: nd.non_local_guided_filter(photo, photo[:, :, 1], search_radius=60),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_ctrl_c_stops_a_long_call_and_leaves_the_package_usable(name, restore_threads):
    nd.set_num_threads(1)
    small = hazy_picture(24, 30, seed=21)
    before = nd.enhance(small, non_local=True)
    photo = hazy_picture(900, 1200, seed=22)
    interrupt = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    interrupt.start()
    with pytest.raises(KeyboardInterrupt):
        LONG_CALLS[name](photo)
    elapsed = time.monotonic() - start
    interrupt.join()
    assert elapsed < 6, f"the call ran on for {elapsed:.1f} s after Ctrl-C"
    assert np.array_equal(nd.enhance(small, non_local=True), before)


def test_a_cancellation_from_another_thread_stops_enhance_and_the_next_call_runs(restore_threads):
    nd.set_num_threads(1)
    small = hazy_picture(24, 30, seed=24)
    before = nd.enhance(small, fast=True)
    cancellation = nd.Cancellation()
    timer = threading.Timer(0.3, cancellation.cancel)
    start = time.monotonic()
    timer.start()
    with pytest.raises(nd.Cancelled):
        nd.enhance(hazy_picture(900, 1200, seed=25), non_local=True, cancellation=cancellation)
    elapsed = time.monotonic() - start
    timer.join()
    assert cancellation.cancelled and elapsed < 6, f"the call ran on for {elapsed:.1f} s"
    with pytest.raises(nd.Cancelled):
        nd.enhance(small, cancellation=cancellation)
    assert np.array_equal(nd.enhance(small, fast=True, cancellation=nd.Cancellation()), before)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_resident_memory_stays_flat_over_500_calls():
    photo = hazy_picture(64, 64, seed=23)  # each call returns about 57 KB of arrays
    for _ in range(20):
        nd.enhance(photo, maps=True)
    settled = resident_bytes()
    for _ in range(480):
        nd.enhance(photo, maps=True)
    grown = resident_bytes() - settled
    assert grown < 16 << 20, f"resident memory grew by {grown >> 20} MiB"
