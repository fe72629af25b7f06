import asyncio
import os
import sys

import aiofiles


async def one_file(path):
    async with aiofiles.open(path, "w+b") as f:
        for n in range(200):
            await f.write(b"%099d\n" % n)
        await f.seek(0)
        for n in range(200):
            assert await f.read(100) == b"%099d\n" % n


async def main(folder):
    await asyncio.gather(*(one_file(os.path.join(folder, f"{n}.dat")) for n in range(100)))
    print("40000 reads and writes")


asyncio.run(main(sys.argv[1]))
