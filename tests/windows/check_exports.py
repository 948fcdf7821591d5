"""Checks the 32-bit Windows build of the module: it exports exactly the 15
BKC_ callbacks, undecorated, with ordinals 1 to 15 in the host's order, and
each callback takes the argument bytes the host pushes (stdcall: a wrong
count corrupts the host's stack).

    python3 tests/windows/check_exports.py BUILD_DIR   (an i686 mingw build)
"""
import re
import subprocess
import sys

# The host's callbacks in ordinal order, with their argument count.
CALLBACKS = [("BKC_OnStart", 0), ("BKC_OnExit", 0), ("BKC_OnMenuInit", 3), ("BKC_OnOpenFolder", 1),
             ("BKC_OnOpenMail", 1), ("BKC_OnEveryMinute", 0), ("BKC_OnOpenCompose", 2),
             ("BKC_OnOutgoing", 2), ("BKC_OnKeyDispatch", 3), ("BKC_OnRetrieve", 2), ("BKC_OnSend", 1),
             ("BKC_OnFinishRetrieve", 1), ("BKC_OnPlugInSetup", 1), ("BKC_OnPlugInInfo", 1),
             ("BKC_OnDragDrop", 4)]


def main(build):
    failures = []
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", build + "/Kestrelon.dll"],
                          capture_output=True, text=True, check=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1].strip("\n").split("\n\n", 1)[0]
    exported = {name: int(index) + base for index, name in re.findall(r"\[\s*(\d+)\]\s+(\S+)", table)}
    expected = {name: ordinal for ordinal, (name, _) in enumerate(CALLBACKS, start=1)}
    if exported != expected:
        failures.append("exports %s, expected %s" % (sorted(exported.items()), sorted(expected.items())))

    obj = build + "/CMakeFiles/kestrelon_core.dir/plugin/KestrelonInfo.cpp.obj"
    symbols = subprocess.run(["i686-w64-mingw32-nm", "--defined-only", obj],
                             capture_output=True, text=True, check=True).stdout
    decorated = dict(re.findall(r" T _(BKC_\w+)@(\d+)$", symbols, re.M))
    for name, count in CALLBACKS:
        if decorated.get(name) != str(4 * count):
            failures.append("%s takes %s bytes of arguments, the host pushes %d"
                            % (name, decorated.get(name), 4 * count))
    for failure in failures:
        print("check_exports: " + failure)
    print("check_exports: %d passed, %d failed" % (len(CALLBACKS) + 1 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
