import hashlib
import sys

import anyio


async def main(path):
    digest = hashlib.sha256()
    async with await anyio.open_file(path, "rb") as f:
        while chunk := await f.read(1 << 20):
            digest.update(chunk)
    print(digest.hexdigest())


anyio.run(main, sys.argv[1])
