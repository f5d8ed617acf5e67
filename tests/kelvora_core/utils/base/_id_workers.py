"""Draws ids in several live processes at once; run as a script, prints a JSON summary.

    python _id_workers.py spawn|fork COUNT PROCESSES LOCK_DIR

spawn: every process imports the id module afresh and draws through get_primary_id (the
path a web server's workers take). fork: the parent makes a generator and draws, then forks
children that go on drawing from the inherited generator.
"""

import array
import json
import multiprocessing
import sys


def _draw(draw, worker, count, ready, done, queue):
    ready.wait()  # every process holds its slot before anyone draws
    ids = array.array("q", (draw() for _ in range(count)))
    queue.put((worker, ids.tobytes()))
    done.wait()  # and keeps it until everyone has finished


def spawned(count, ready, done, queue, lock_dir):
    from kelvora_core.utils.base import snowflake

    snowflake.WORKER_LOCK_DIR = lock_dir
    from kelvora_core.utils.minter import get_primary_id, minter_util

    _draw(get_primary_id, minter_util.generator.worker, count, ready, done, queue)


def forked(generator, count, ready, done, queue):
    next(generator)  # takes the child's own slot
    _draw(lambda: next(generator), generator.worker, count - 1, ready, done, queue)


def main(method, count, processes, lock_dir):
    context = multiprocessing.get_context(method)
    ready, done = context.Barrier(processes), context.Barrier(processes)
    queue = context.Queue()
    parent_ids, parent_worker = [], None
    if method == "fork":
        from kelvora_core.utils.base.snowflake import SnowflakeGenerator

        generator = SnowflakeGenerator(instance=9, worker_dir=lock_dir)
        parent_ids = [next(generator) for _ in range(1000)]
        parent_worker = generator.worker
        args = [(generator, count, ready, done, queue)] * processes
        target = forked
    else:
        args = [(count, ready, done, queue, lock_dir)] * processes
        target = spawned
    workers = [context.Process(target=target, args=a) for a in args]
    for worker in workers:
        worker.start()
    ids, slots = array.array("q"), []
    for _ in range(processes):
        slot, drawn = queue.get(timeout=120)
        slots.append(slot)
        ids.frombytes(drawn)
    for worker in workers:
        worker.join(timeout=120)
    if method == "fork":
        ids.extend(parent_ids + [next(generator) for _ in range(1000)])
    json.dump(
        {
            "drawn": len(ids),
            "distinct": len(set(ids)),
            "workers": sorted(slots),
            "parent_worker": parent_worker,
            "exit_codes": [w.exitcode for w in workers],
        },
        sys.stdout,
    )


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
