"""The mode strings and path types ``open`` takes, for type checkers."""

from __future__ import annotations

import os
from typing import Literal, TypeAlias

StrOrBytesPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

BinaryMode: TypeAlias = Literal[
    "br", "rb", "bw", "wb", "ab", "ba", "bx", "xb", "+br", "+rb", "b+r", "br+", "r+b", "rb+", "+bw", "+wb",
    "b+w", "bw+", "w+b", "wb+", "+ab", "+ba", "a+b", "ab+", "b+a", "ba+", "+bx", "+xb", "b+x", "bx+", "x+b",
    "xb+",
]

TextMode: TypeAlias = Literal[
    "r", "w", "a", "x", "+r", "r+", "rt", "tr", "+w", "tw", "w+", "wt", "+a", "a+", "at", "ta", "+x", "tx",
    "x+", "xt", "+rt", "+tr", "r+t", "rt+", "t+r", "tr+", "+tw", "+wt", "t+w", "tw+", "w+t", "wt+", "+at",
    "+ta", "a+t", "at+", "t+a", "ta+", "+tx", "+xt", "t+x", "tx+", "x+t", "xt+",
]
