import asyncio
import hashlib
import sys

import aiofiles


async def main(path):
    digest = hashlib.sha256()
    async with aiofiles.open(path, "rb") as f:
        while chunk := await f.read(1 << 20):
            digest.update(chunk)
    print(digest.hexdigest())


asyncio.run(main(sys.argv[1]))
