"""Packs a cross-built _kiln.pyd into an abi3 wheel for Windows.

Usage: cross_wheel.py PYPROJECT PYD PLATFORM OUT_DIR
       (PLATFORM is win32 or win_amd64)

The native build's wheel comes from scikit-build-core, which cannot drive a
cross-compilation; this writes the same layout by hand: the module at the top
level, the pure-Python packages of wheel.packages beside it, and a .dist-info
with METADATA from pyproject.toml, WHEEL and RECORD.
The archive is reproducible: fixed times and order.
"""

import base64
import hashlib
import re
import sys
import tomllib
import zipfile
from pathlib import Path

PYTHON_TAG = "cp312"
ABI_TAG = "abi3"
PLATFORMS = {"win32", "win_amd64"}
# Zip cannot store times before 1980.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def project_version(project: dict, tool: dict, root: Path) -> str:
    """The static version, or the one the version provider's input file sets."""
    if "version" in project:
        return project["version"]
    source = root / tool["metadata"]["version"]["input"]
    found = re.search(r'^__version__ = "([^"]+)"', source.read_text(encoding="utf-8"), re.MULTILINE)
    if not found:
        sys.exit(f"no __version__ in {source}")
    return found.group(1)


def package_files(tool: dict, root: Path) -> list[tuple[str, bytes, int]]:
    """The files of the pure-Python packages, each under its folder's last name."""
    files = []
    for folder in tool.get("wheel", {}).get("packages", []):
        base = root / folder
        for path in sorted(base.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                name = f"{base.name}/{path.relative_to(base).as_posix()}"
                files.append((name, path.read_bytes(), 0o644))
    return files


def metadata(project: dict, version: str, root: Path) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {version}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    license_ = project.get("license")
    if isinstance(license_, dict) and "text" in license_:
        lines.append(f"License: {license_['text']}")
    elif isinstance(license_, str):
        lines.append(f"License: {license_}")
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str) and (root / readme).is_file():
        kind = "text/markdown" if readme.lower().endswith(".md") else "text/plain"
        lines.append(f"Description-Content-Type: {kind}")
        body = (root / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + body


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}"


def main(pyproject: str, pyd: str, platform: str, out_dir: str) -> None:
    if platform not in PLATFORMS:
        sys.exit(f"platform must be one of {sorted(PLATFORMS)}")
    pyproject_path = Path(pyproject)
    config = tomllib.loads(pyproject_path.read_text(encoding="utf-8"))
    project, tool = config["project"], config.get("tool", {}).get("scikit-build", {})
    # Wheel file names and .dist-info folders use the normalised name.
    name = re.sub(r"[-_.]+", "_", project["name"]).lower()
    version = project_version(project, tool, pyproject_path.parent)
    tag = f"{PYTHON_TAG}-{ABI_TAG}-{platform}"
    dist_info = f"{name}-{version}.dist-info"

    files = [
        ("_kiln.pyd", Path(pyd).read_bytes(), 0o755),
        *package_files(tool, pyproject_path.parent),
        *((f"{dist_info}/licenses/{path}", (pyproject_path.parent / path).read_bytes(), 0o644)
          for path in project.get("license-files", [])),
        (f"{dist_info}/METADATA", metadata(project, version, pyproject_path.parent).encode("utf-8"), 0o644),
        (
            f"{dist_info}/WHEEL",
            (
                "Wheel-Version: 1.0\n"
                "Generator: kiln scripts/cross_wheel.py\n"
                "Root-Is-Purelib: false\n"
                f"Tag: {tag}\n"
            ).encode("utf-8"),
            0o644,
        ),
    ]
    record = "\n".join([record_line(path, data) for path, data, _ in files] + [f"{dist_info}/RECORD,,"]) + "\n"
    files.append((f"{dist_info}/RECORD", record.encode("utf-8"), 0o644))

    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    wheel = out / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for path, data, mode in files:
            info = zipfile.ZipInfo(path, date_time=FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o100000 | mode) << 16
            archive.writestr(info, data)
    print(wheel)


if __name__ == "__main__":
    main(*sys.argv[1:])
