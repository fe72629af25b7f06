import asyncio
import sys
import time

import aiofiles


async def main(path):
    async with aiofiles.open(path, "rb") as f:
        started = time.perf_counter()
        read = asyncio.ensure_future(f.read())
        await asyncio.sleep(0.001)
        read.cancel()
        try:
            await read
        except asyncio.CancelledError:
            pass
        took = time.perf_counter() - started
        print(f"cancelled after {took * 1000:.1f} ms; position {await f.tell()}")


asyncio.run(main(sys.argv[1]))
