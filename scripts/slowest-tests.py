#!/usr/bin/env python3
"""Prints the slowest tests of a ctest run from its JUnit report (ctest --output-junit)."""
import sys
import xml.etree.ElementTree as ET

def main() -> int:
    if len(sys.argv) < 2:
        print("usage: slowest-tests.py REPORT.xml [COUNT]", file=sys.stderr)
        return 2
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    try:
        cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
    except (OSError, ET.ParseError) as e:
        print(f"no test report: {e}", file=sys.stderr)
        return 0
    timed = sorted(((float(c.get("time", 0)), c.get("name", "?"), c.get("status", "")) for c in cases),
                   reverse=True)
    print(f"-- {min(count, len(timed))} slowest tests")
    for seconds, name, status in timed[:count]:
        print(f"{seconds:8.2f} s  {name}{'' if status in ('run', '') else '  (' + status + ')'}")
    return 0

if __name__ == "__main__":
    sys.exit(main())
