import os
import sys

import anyio


async def one_file(path):
    async with await anyio.open_file(path, "w+b") as f:
        for n in range(200):
            await f.write(b"%099d\n" % n)
        await f.seek(0)
        for n in range(200):
            assert await f.read(100) == b"%099d\n" % n


async def main(folder):
    async with anyio.create_task_group() as group:
        for n in range(100):
            group.start_soon(one_file, os.path.join(folder, f"{n}.dat"))
    print("40000 reads and writes")


anyio.run(main, sys.argv[1])
