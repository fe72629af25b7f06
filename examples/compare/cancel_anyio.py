import sys
import time

import anyio


async def main(path):
    async with await anyio.open_file(path, "rb") as f:
        started = time.perf_counter()
        async with anyio.create_task_group() as group:
            group.start_soon(f.read)
            await anyio.sleep(0.001)
            group.cancel_scope.cancel()
        took = time.perf_counter() - started
        print(f"cancelled after {took * 1000:.1f} ms; position {await f.tell()}")


anyio.run(main, sys.argv[1])
