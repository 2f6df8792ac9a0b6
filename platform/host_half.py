"""The host half of the platform headers: kernel.h, ks.h and bda.h each hold the Windows build's #include of
the DDK under `#ifdef ZADIVO_WDK` and the host's own declarations after its `#else`. Read by the loader's
export table generator and by the image tests' layout comparison."""
import os

HEADERS = ("kernel.h", "ks.h", "bda.h")


def host_half(repo, header):
    """The text between the header's `#else` of ZADIVO_WDK and its closing `#endif`."""
    path = os.path.join(repo, "platform", header)
    with open(path) as f:
        text = f.read()
    start = text.find("#ifdef ZADIVO_WDK")
    split = text.find("\n#else", start)
    end = text.rfind("#endif  // ZADIVO_WDK")
    if start < 0 or split < 0 or end < split:
        raise SystemExit(f"{path}: no #ifdef ZADIVO_WDK ... #else ... #endif  // ZADIVO_WDK")
    return text[split + len("\n#else"):end]


def host_halves(repo):
    """(header, host half) of each platform header."""
    return [(h, host_half(repo, h)) for h in HEADERS]
