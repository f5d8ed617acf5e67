"""Ids stay unique across the processes of one host: every live process holds its own worker slot."""

import fcntl
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from kelvora_core.utils.base import snowflake
from kelvora_core.utils.base.snowflake import MAX_WORKER, SnowflakeGenerator, WorkerSlotsExhausted

ROOT = Path(__file__).resolve().parents[4]
SCRIPT = Path(__file__).with_name("_id_workers.py")


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_four_live_processes_draw_100000_ids_each_without_a_duplicate(method, tmp_path):
    # One configured instance for every process, so only the worker slots keep them apart.
    config = tmp_path / "config.yaml"
    config.write_text("generate_snowflake: {instance_id: 9}\n")
    env = {**os.environ, "PYTHONPATH": str(ROOT), "KELVORA_CONFIG": str(config)}
    done = subprocess.run(
        [sys.executable, str(SCRIPT), method, "100000", "4", str(tmp_path)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300, check=False,
    )
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    assert summary["exit_codes"] == [0, 0, 0, 0]
    assert summary["distinct"] == summary["drawn"] >= 400_000
    slots = summary["workers"] + ([summary["parent_worker"]] if method == "fork" else [])
    assert len(set(slots)) == len(slots)


def test_slots_run_out_clearly_and_come_free_with_their_holder(tmp_path):
    holders = []
    for slot in range(MAX_WORKER + 1):
        fd = os.open(tmp_path / f"instance-7-worker-{slot}.lock", os.O_RDWR | os.O_CREAT)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        holders.append(fd)
    try:
        with pytest.raises(WorkerSlotsExhausted, match="all 16 worker slots of snowflake instance 7"):
            SnowflakeGenerator(instance=7, worker_dir=tmp_path)
        os.close(holders.pop(5))  # that process ended
        generator = SnowflakeGenerator(instance=7, worker_dir=tmp_path)
        assert generator.worker == 5
        assert generator.parse(next(generator)).worker == 5
        # One slot per process: a second generator of the same instance shares it.
        assert SnowflakeGenerator(instance=7, worker_dir=tmp_path).worker == 5
        # Another instance has slots of its own.
        assert SnowflakeGenerator(instance=8, worker_dir=tmp_path).worker == 0
    finally:
        for fd in holders:
            os.close(fd)


def test_first_id_after_a_claim_lies_past_the_claim_millisecond(tmp_path):
    # The slot's previous holder may have drawn ids in the claim millisecond itself.
    readings = iter([snowflake.DEFAULT_EPOCH_MS + 50] * 3 + [snowflake.DEFAULT_EPOCH_MS + 51])
    generator = SnowflakeGenerator(instance=3, worker_dir=tmp_path, clock=lambda: next(readings))
    parts = generator.parse(next(generator))
    assert (parts.timestamp_ms - snowflake.DEFAULT_EPOCH_MS, parts.sequence) == (51, 0)


@pytest.mark.parametrize(
    ("worker", "error", "match"),
    [(MAX_WORKER + 1, ValueError, "worker must be between 0 and 15, got 16"),
     (-1, ValueError, "between 0 and 15"),
     ("1", TypeError, "worker must be an integer, got str")],
)
def test_bad_worker_numbers(worker, error, match):
    with pytest.raises(error, match=match):
        SnowflakeGenerator(instance=1, worker=worker)
