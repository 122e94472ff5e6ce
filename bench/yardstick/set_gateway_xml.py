#!/usr/bin/python3
"""Sets elements of a GateWay.xml in place: set_gateway_xml.py FILE Name=Value ...
Elements are matched by tag name anywhere in the file; a missing one is an error."""
import re
import sys

path = sys.argv[1]
raw = open(path, "rb").read()
text = raw.decode("utf-8")
for item in sys.argv[2:]:
    name, value = item.split("=", 1)
    text, n = re.subn(r"(<%s>)[^<]*(</%s>)" % (name, name), r"\g<1>%s\g<2>" % value, text)
    if n == 0:
        sys.exit("set_gateway_xml: no element %s in %s" % (name, path))
open(path, "wb").write(text.encode("utf-8"))
